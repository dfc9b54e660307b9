// Wave audio devices (polled capture and playout, WinMM-shaped) and the software mixer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/wintypes.h"

// ---------------------------------------------------------------------------
// Model
// ---------------------------------------------------------------------------
// Devices are opened without callbacks and polled, as the sound-card thread and
// the clip recorder expect:
// - Capture: prepared headers are queued with waveInAddBuffer and filled strictly
//   in queue order once started. A header is published only when full (or cut
//   short by waveInStop/waveInReset): then dwBytesRecorded is set and WHDR_DONE
//   raised (release order, so a poller that sees the count also sees the data).
//   Samples arriving while no header is queued are dropped and not counted.
//   The position (TIME_SAMPLES) counts samples delivered into headers since open
//   (reset by waveInReset), reported modulo 2^32.
// - Playout: written headers play in write order from open on; a header gets
//   WHDR_DONE once played. With nothing queued the device plays silence and the
//   position (samples really played) stops, so it catches up with the written
//   total on underrun. waveOutReset drops what is queued (marked done) and sets
//   the position to 0.
// - One device of each direction; id 0 or WAVE_MAPPER. Opening a device that is
//   already open gives MMSYSERR_ALLOCATED. Only 16-bit PCM is accepted (mono or
//   stereo for PortAudio, mono for the file and manual devices), any rate
//   8000..48000.
// - dwBytesRecorded and dwFlags are atomics: the device writes them from its own
//   thread; read them directly (implicit load) or with .load().
//
// Backends (plat::SetAudioBackend, else the environment variable TESSALY_AUDIO):
// - "portaudio": the machine's sound cards through PortAudio (when built with it);
//   the default when available.
// - "file": capture reads a WAV file (TESSALY_WAVE_IN / SetWaveInFile; 8- or
//   16-bit PCM, any rate, read as it plays, mixed to mono and converted to the device rate),
//   then loops or gives silence after its end (TESSALY_WAVE_IN_LOOP=1 /
//   SetWaveInLoop); no file = silence. Playout writes a 16-bit WAV file
//   (TESSALY_WAVE_OUT / SetWaveOutFile; none = discarded), with silence written on
//   underrun so the file keeps the timeline. The output goes to "<path>.tmp" and
//   is renamed to path, with a correct header, when the device closes. While
//   SetWaveOutContinues is on, an open continues the file the last close finished
//   (same path and format, untouched since) with the time the device stayed closed
//   written as silence, so a call whose sound pauses (held) keeps one file. Both follow
//   the clock of sync.h in 2-ms steps with no thread of their own: the thread that
//   waits for a periodic event timer (the sound-card thread) moves them on at each
//   expiry, or a 2-ms timer while no such timer runs (a TestClock drives them exactly).
// - "manual": nothing moves by itself; a test drives the devices through
//   plat::ManualWave (feed capture samples, play out samples, inject failures).

struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};

struct WAVEHDR {
  char* lpData = nullptr;
  DWORD dwBufferLength = 0;
  std::atomic<DWORD> dwBytesRecorded{0};
  DWORD_PTR dwUser = 0;
  std::atomic<DWORD> dwFlags{0};
  DWORD dwLoops = 0;
  WAVEHDR* lpNext = nullptr;
  DWORD_PTR reserved = 0;
};

struct MMTIME {
  UINT wType;
  union {
    DWORD ms;
    DWORD sample;
    DWORD cb;
  } u;
};

struct HWAVEIN__;
typedef HWAVEIN__* HWAVEIN;
struct HWAVEOUT__;
typedef HWAVEOUT__* HWAVEOUT;

inline constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);
inline constexpr WORD WAVE_FORMAT_PCM = 1;
inline constexpr DWORD CALLBACK_NULL = 0x00000000;
inline constexpr DWORD WAVE_FORMAT_QUERY = 0x0001;

inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;

inline constexpr DWORD WHDR_DONE = 0x00000001;
inline constexpr DWORD WHDR_PREPARED = 0x00000002;
inline constexpr DWORD WHDR_BEGINLOOP = 0x00000004;
inline constexpr DWORD WHDR_ENDLOOP = 0x00000008;
inline constexpr DWORD WHDR_INQUEUE = 0x00000010;

inline constexpr UINT TIME_MS = 0x0001;
inline constexpr UINT TIME_SAMPLES = 0x0002;
inline constexpr UINT TIME_BYTES = 0x0004;

// Number of capture / playout devices (0 or 1).
UINT waveInGetNumDevs();
UINT waveOutGetNumDevs();

// Opens the capture device (CALLBACK_NULL only; WAVE_FORMAT_QUERY only checks the format).
MMRESULT waveInOpen(HWAVEIN* phwi, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags);
// Closes it; WAVERR_STILLPLAYING while headers are queued.
MMRESULT waveInClose(HWAVEIN hwi);
// Marks a header prepared (lpData and dwBufferLength set, length a whole number of samples).
MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* hdr, UINT cbwh);
// Clears the prepared mark; WAVERR_STILLPLAYING while the header is queued.
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* hdr, UINT cbwh);
// Queues a prepared header (dwBytesRecorded and WHDR_DONE cleared); WAVERR_UNPREPARED if not prepared.
MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* hdr, UINT cbwh);
// Starts capturing into the queued headers.
MMRESULT waveInStart(HWAVEIN hwi);
// Stops capturing; the header being filled is returned with what it holds (if anything).
MMRESULT waveInStop(HWAVEIN hwi);
// Stops and returns every queued header (done, with what it holds); position back to 0.
MMRESULT waveInReset(HWAVEIN hwi);
// Samples (TIME_SAMPLES), bytes (TIME_BYTES) or ms (TIME_MS) delivered, modulo 2^32.
MMRESULT waveInGetPosition(HWAVEIN hwi, MMTIME* mmt, UINT cbmmt);

// Opens the playout device (CALLBACK_NULL only; WAVE_FORMAT_QUERY only checks the format).
MMRESULT waveOutOpen(HWAVEOUT* phwo, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags);
// Closes it; WAVERR_STILLPLAYING while headers are queued.
MMRESULT waveOutClose(HWAVEOUT hwo);
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* hdr, UINT cbwh);
// WAVERR_STILLPLAYING while the header is queued.
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* hdr, UINT cbwh);
// Queues a prepared header for playing (WHDR_DONE cleared); WAVERR_UNPREPARED if not prepared,
// WAVERR_STILLPLAYING if it is still queued.
MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* hdr, UINT cbwh);
// Pauses / resumes playing (the position stops while paused).
MMRESULT waveOutPause(HWAVEOUT hwo);
MMRESULT waveOutRestart(HWAVEOUT hwo);
// Drops every queued header (marked done) and sets the position to 0.
MMRESULT waveOutReset(HWAVEOUT hwo);
// Samples played (TIME_SAMPLES), bytes or ms, modulo 2^32.
MMRESULT waveOutGetPosition(HWAVEOUT hwo, MMTIME* mmt, UINT cbmmt);

namespace plat {

enum class AudioBackend { Default, PortAudio, File, Manual };

// Chooses the backend for devices opened afterwards (Default = TESSALY_AUDIO, else
// PortAudio when built with it, else File).
void SetAudioBackend(AudioBackend backend);
// Backend that the next open will use.
AudioBackend CurrentAudioBackend();
// True when this build has the PortAudio backend.
bool PortAudioAvailable();
// File device settings (empty restores the environment's value).
void SetWaveInFile(const std::string& path);
void SetWaveOutFile(const std::string& path);
void SetWaveInLoop(bool loop);
// While on, a file playout device that opens continues the file its last close finished, the
// closed time as silence; off, an open starts the file anew. The voice engine keeps it on while a
// call outlives its sound (held), off once no call is left.
void SetWaveOutContinues(bool on);
bool WaveOutContinues();

// Is there a usable capture device? Answers the injected probe when one is set;
// otherwise: file/manual backends always, PortAudio when its default input accepts
// 16-bit mono at the rate (the device is not kept open).
bool WaveInUsable(DWORD sampleRate = 22050);
// Replaces the probe (empty function restores the default).
void SetWaveInProbe(std::function<bool(DWORD sampleRate)> probe);

// ---------------------------------------------------------------------------
// Mixer stand-in: software gain applied by the wave devices.
// ---------------------------------------------------------------------------
// Volumes range 0..65535 (kMixerVolumeMax), in steps of 1.
// Speaker: linear gain volume/65535 on playout (default 65535 = unchanged).
// Microphone: linear gain volume/32768 on capture, clipped (default 32768 =
// unchanged, up to twice the level), so gain control can move both ways.
// Mute replaces the samples by silence. Settings are process-wide and survive
// device close.
inline constexpr DWORD kMixerVolumeMin = 0;
inline constexpr DWORD kMixerVolumeMax = 65535;
inline constexpr DWORD kMicVolumeUnity = 32768;

// Number of mixers (1: the software mixer).
UINT MixerCount();
void SetSpeakerVolume(DWORD volume);
DWORD GetSpeakerVolume();
void SetSpeakerMute(bool mute);
bool GetSpeakerMute();
void SetMicVolume(DWORD volume);
DWORD GetMicVolume();
void SetMicMute(bool mute);
bool GetMicMute();

// Milliseconds between the microphone and the capture buffers of the open capture device: the input
// latency PortAudio reports for its stream; 0 for the file and manual devices, which hand samples on
// as they come. (The playout position already lags by the output latency.)
UINT CaptureLatencyMs();

// ---------------------------------------------------------------------------
// Manual backend: test control of the open devices (AudioBackend::Manual).
// ---------------------------------------------------------------------------
namespace ManualWave {

// Delivers captured samples (mono) as the device would: into the queued headers
// in order (mic gain applied) while started; returns how many were delivered
// (the rest are dropped as with no header queued).
size_t Capture(const int16_t* samples, size_t count);
// Ends the header being filled now with what it holds (a short block).
bool CompleteCurrentCaptureHeader();
// Plays count samples (mono) from the queued playout headers (speaker gain
// applied), silence where nothing is queued; appends them to out when not null;
// returns how many came from headers.
size_t Playout(size_t count, std::vector<int16_t>* out = nullptr);
// The next call of the named function ("waveInAddBuffer", "waveOutWrite",
// "waveInOpen", "waveOutOpen", "waveInPrepareHeader", "waveOutPrepareHeader",
// "waveInUnprepareHeader", "waveOutUnprepareHeader", "waveInGetPosition",
// "waveOutGetPosition", "waveInStart", "waveInStop", "waveInReset",
// "waveInClose", "waveOutReset", "waveOutClose") fails with result, `times` times.
void FailNext(const std::string& function, MMRESULT result, int times = 1);
// Adds offset to the reported positions (to reach the 2^32 wrap quickly).
void SetPositionOffset(uint64_t inputOffset, uint64_t outputOffset);
// Reports the positions modulo 2^bits, as a card whose counters wrap below 32 bits (32 = whole).
void SetPositionBits(int inputBits, int outputBits);
// Clears failures, offsets and position widths.
void ResetFaults();
// True while the capture / playout device is open.
bool InputOpen();
bool OutputOpen();

}  // namespace ManualWave

// Reads a whole 8/16-bit PCM WAV file into 16-bit samples (channels interleaved);
// false with a reason for anything else or a damaged file (never reads out of bounds).
bool ReadWavFile(const std::string& path, std::vector<int16_t>* samples, DWORD* sampleRate, WORD* channels,
                 std::string* error = nullptr);
// Writes 16-bit PCM samples as a WAV file (temporary file + rename).
bool WriteWavFile(const std::string& path, const std::vector<int16_t>& samples, DWORD sampleRate, WORD channels);

}  // namespace plat
