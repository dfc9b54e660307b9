// Wave device core (header queues, positions, gains), the file and manual backends, and WAV files.
#include "platform/wave.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/clock_internal.h"
#include "platform/fs.h"
#include "platform/sync.h"
#include "platform/wave_internal.h"

namespace plat {
namespace {

constexpr uint64_t kMaxWavData = 0xFFFFFFFFull - 64;
constexpr uint64_t kMaxWavRead = 512u * 1024u * 1024u;  // ReadWavFile loads the samples whole

// ---------------------------------------------------------------------------
// Settings, mixer and test faults
// ---------------------------------------------------------------------------

struct Settings {
  std::mutex mu;
  AudioBackend backend = AudioBackend::Default;
  std::string inFile, outFile;
  bool inFileSet = false, outFileSet = false;
  int loop = -1;  // -1 = environment
  std::function<bool(DWORD)> probe;
  std::map<std::string, std::pair<MMRESULT, int>, std::less<>> faults;
  std::atomic<bool> anyFault{false};  // the device calls skip the lock while none is pending
  std::atomic<uint64_t> inOffset{0}, outOffset{0};
  std::atomic<int> inBits{32}, outBits{32};
  bool outContinues = false;
};

// The playout file the last close of the file device finished: a later open may continue it.
struct FinishedOut {
  std::string path;
  DWORD rate = 0;
  WORD channels = 0;
  uint64_t bytes = 0;     // of samples, after the 44-byte header
  uint64_t closedAt = 0;  // clock ms
};
std::mutex g_finishedMu;
FinishedOut g_finished;  // empty path: none

Settings& Cfg() {
  static Settings* s = new Settings;
  return *s;
}

std::atomic<DWORD> g_speakerVolume{kMixerVolumeMax};
std::atomic<bool> g_speakerMute{false};
std::atomic<DWORD> g_micVolume{kMicVolumeUnity};
std::atomic<bool> g_micMute{false};

std::string EnvOr(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

AudioBackend ResolveBackend() {
  AudioBackend b;
  {
    std::lock_guard<std::mutex> lk(Cfg().mu);
    b = Cfg().backend;
  }
  if (b != AudioBackend::Default) return b;
  std::string env = EnvOr("TESSALY_AUDIO");
  if (env == "file") return AudioBackend::File;
  if (env == "manual") return AudioBackend::Manual;
  if (env == "portaudio") return AudioBackend::PortAudio;
  return wavepa::Available() ? AudioBackend::PortAudio : AudioBackend::File;
}

std::string InFilePath() {
  std::lock_guard<std::mutex> lk(Cfg().mu);
  return Cfg().inFileSet ? Cfg().inFile : EnvOr("TESSALY_WAVE_IN");
}

std::string OutFilePath() {
  std::lock_guard<std::mutex> lk(Cfg().mu);
  return Cfg().outFileSet ? Cfg().outFile : EnvOr("TESSALY_WAVE_OUT");
}

bool InLoop() {
  std::lock_guard<std::mutex> lk(Cfg().mu);
  if (Cfg().loop >= 0) return Cfg().loop == 1;
  return EnvOr("TESSALY_WAVE_IN_LOOP") == "1";
}

// An injected failure for the named call, if one is pending.
MMRESULT Fault(const char* function) {
  if (!Cfg().anyFault.load(std::memory_order_acquire)) return MMSYSERR_NOERROR;
  std::lock_guard<std::mutex> lk(Cfg().mu);
  auto it = Cfg().faults.find(std::string_view(function));
  if (it == Cfg().faults.end()) return MMSYSERR_NOERROR;
  MMRESULT r = it->second.first;
  if (--it->second.second <= 0) Cfg().faults.erase(it);
  Cfg().anyFault.store(!Cfg().faults.empty());
  return r;
}

int16_t Saturate(int32_t v) { return static_cast<int16_t>(std::clamp(v, -32768, 32767)); }

// Applies a gain of volume/unity (mute = silence) in place.
void ApplyGain(int16_t* s, size_t n, DWORD volume, DWORD unity, bool mute) {
  if (mute || volume == 0) {
    std::memset(s, 0, n * sizeof(int16_t));
    return;
  }
  if (volume == unity) return;
  for (size_t i = 0; i < n; ++i) {
    s[i] = Saturate(static_cast<int32_t>((static_cast<int64_t>(s[i]) * volume) / static_cast<int64_t>(unity)));
  }
}

// ---------------------------------------------------------------------------
// WAV files
// ---------------------------------------------------------------------------

uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void Put32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void Put16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void MakeWavHeader(unsigned char h[44], uint32_t dataBytes, DWORD rate, WORD channels) {
  std::memcpy(h, "RIFF", 4);
  Put32(h + 4, 36u + dataBytes);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  Put32(h + 16, 16);
  Put16(h + 20, WAVE_FORMAT_PCM);
  Put16(h + 22, channels);
  Put32(h + 24, rate);
  Put32(h + 28, rate * channels * 2u);
  Put16(h + 32, static_cast<uint16_t>(channels * 2u));
  Put16(h + 34, 16);
  std::memcpy(h + 36, "data", 4);
  Put32(h + 40, dataBytes);
}

// Where a WAV file's samples lie and what they are.
struct WavLayout {
  WORD tag = 0, channels = 0, bits = 0;
  DWORD rate = 0;
  uint64_t dataOffset = 0, dataBytes = 0;
};

// Walks the RIFF chunks of an open file of `size` bytes without reading the samples; false with
// a reason for anything but 8/16-bit PCM or a damaged file (never reads past the end).
bool ParseWavLayout(FILE* f, uint64_t size, WavLayout* w, const char** why) {
  unsigned char head[40];
  auto readAt = [&](uint64_t pos, size_t n) {
    return std::fseek(f, static_cast<long>(pos), SEEK_SET) == 0 && std::fread(head, 1, n, f) == n;
  };
  if (size < 12 || !readAt(0, 12) || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) {
    *why = "not a RIFF/WAVE file";
    return false;
  }
  uint64_t pos = 12;
  bool haveFmt = false;
  while (pos + 8 <= size) {
    if (!readAt(pos, 8)) break;
    const uint32_t chunk = Le32(head + 4);
    const uint64_t avail = size - (pos + 8);
    if (std::memcmp(head, "fmt ", 4) == 0) {
      if (chunk < 16 || chunk > avail || !readAt(pos + 8, std::min<size_t>(chunk, sizeof head))) {
        *why = "bad format chunk";
        return false;
      }
      w->tag = Le16(head);
      w->channels = Le16(head + 2);
      w->rate = Le32(head + 4);
      w->bits = Le16(head + 14);
      if (w->tag == 0xFFFE && chunk >= 40) w->tag = Le16(head + 24);  // extensible: the sub-format's tag
      haveFmt = true;
    } else if (std::memcmp(head, "data", 4) == 0) {
      if (!haveFmt) {
        *why = "data before format";
        return false;
      }
      if (w->tag != WAVE_FORMAT_PCM || (w->bits != 8 && w->bits != 16) || w->channels < 1 || w->channels > 8 ||
          w->rate < 1000 || w->rate > 384000) {
        *why = "not 8- or 16-bit PCM";
        return false;
      }
      // A size of 0 or past the end (a writer that never finished) means "to the end".
      w->dataOffset = pos + 8;
      w->dataBytes = (chunk == 0 || chunk > avail) ? avail : chunk;
      return true;
    }
    if (chunk > avail) break;
    pos += 8 + static_cast<uint64_t>(chunk) + (chunk & 1u);
  }
  *why = "no data chunk";
  return false;
}

uint64_t FileSize(FILE* f) {
  struct stat st {};
  return ::fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

// A capture file read as it plays: mixed to mono and converted to the device rate by linear
// interpolation a window at a time, so a long file never sits in memory whole.
class WavSource {
 public:
  ~WavSource() {
    if (f_) std::fclose(f_);
  }

  bool Open(const std::string& path, DWORD toRate, std::string* error) {
    const char* why = "cannot read the file";
    f_ = OpenRegularStream(path, "rb");
    if (!f_ || !ParseWavLayout(f_, FileSize(f_), &w_, &why)) {
      *error = why;
      return false;
    }
    frameBytes_ = static_cast<size_t>(w_.channels) * (w_.bits / 8u);
    frames_ = w_.dataBytes / frameBytes_;
    toRate_ = toRate;
    outFrames_ = frames_ * toRate / w_.rate;
    raw_.resize(kWindow * frameBytes_);
    window_.resize(kWindow);
    path_ = path;
    return true;
  }

  // Fills n frames; after the end it loops or gives silence.
  void Read(int16_t* out, size_t n, bool loop) {
    for (size_t i = 0; i < n; ++i) {
      if (pos_ >= outFrames_ && loop && outFrames_ > 0) pos_ = 0;
      out[i] = pos_ < outFrames_ ? Sample(pos_++) : 0;
    }
  }

 private:
  static constexpr size_t kWindow = 4096;

  int16_t Sample(uint64_t i) {
    if (w_.rate == toRate_) return Mono(i);
    const double at = static_cast<double>(i) * w_.rate / toRate_;
    const uint64_t a = static_cast<uint64_t>(at);
    const uint64_t b = std::min(a + 1, frames_ - 1);
    const double t = at - static_cast<double>(a);
    return Saturate(static_cast<int32_t>(std::lround(Mono(a) * (1.0 - t) + Mono(b) * t)));
  }

  int16_t Mono(uint64_t frame) {
    if (frame < windowStart_ || frame >= windowStart_ + windowLen_) Fill(frame);
    return frame - windowStart_ < windowLen_ ? window_[frame - windowStart_] : 0;
  }

  void Fill(uint64_t frame) {
    windowStart_ = frame;
    windowLen_ = 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kWindow, frames_ - frame));
    size_t got = 0;
    if (std::fseek(f_, static_cast<long>(w_.dataOffset + frame * frameBytes_), SEEK_SET) == 0) {
      got = std::fread(raw_.data(), 1, want * frameBytes_, f_) / frameBytes_;
    }
    if (got < want && !failed_) {
      std::fprintf(stderr, "wave: reading %s failed; capture gives silence there\n", path_.c_str());
      failed_ = true;
    }
    std::fill(window_.begin() + static_cast<std::ptrdiff_t>(got), window_.end(), int16_t{0});
    for (size_t k = 0; k < got; ++k) {
      int32_t sum = 0;
      for (WORD c = 0; c < w_.channels; ++c) {
        const unsigned char* p = raw_.data() + k * frameBytes_ + c * (w_.bits / 8u);
        sum += w_.bits == 16 ? static_cast<int16_t>(Le16(p)) : static_cast<int16_t>((static_cast<int>(*p) - 128) << 8);
      }
      window_[k] = static_cast<int16_t>(sum / w_.channels);
    }
    windowLen_ = want;
  }

  FILE* f_ = nullptr;
  std::string path_;
  WavLayout w_;
  size_t frameBytes_ = 0;
  uint64_t frames_ = 0;  // in the file
  DWORD toRate_ = 0;
  uint64_t outFrames_ = 0;  // at the device rate
  uint64_t pos_ = 0;
  std::vector<unsigned char> raw_;
  std::vector<int16_t> window_;
  uint64_t windowStart_ = 0;
  size_t windowLen_ = 0;
  bool failed_ = false;
};

// ---------------------------------------------------------------------------
// Devices
// ---------------------------------------------------------------------------

struct Device {
  bool open = false;
  bool closing = false;
  uintptr_t handle = 0;
  AudioBackend backend = AudioBackend::Manual;
  WAVEFORMATEX fmt{};
  std::deque<WAVEHDR*> queue;
  size_t offset = 0;  // bytes filled (capture) or consumed (playout) of queue.front()
  uint64_t position = 0;  // frames delivered / played
  bool started = false;   // capture: started; playout: not paused
  // Output latency (the playout position lags by it) or input latency (reported apart).
  size_t latency = 0;
  uint64_t silenceRun = 0;
  uint64_t reported = 0;
  // File backend.
  int pacer = 0;
  // Clock ms at which the pacer next has something to do (a header fills or plays out); calls on
  // the device bring it up to date themselves, so the ticks in between cost only this look.
  std::atomic<uint64_t> nextDue{0};
  uint64_t movedAt = 0;    // clock ms of the last move
  uint64_t clockBase = 0;  // clock ms at which the paced timeline (re)started
  uint64_t framesDone = 0;  // frames moved since clockBase
  std::unique_ptr<WavSource> source;  // capture file; none = silence
  bool loop = false;
  FILE* out = nullptr;
  std::string outPath;
  uint64_t outBytes = 0;
  // PortAudio backend.
  std::unique_ptr<wavepa::Stream> stream;
};

std::mutex g_mu;  // guards both devices
Device g_in;
Device g_out;
uintptr_t g_nextHandle = 0x5000;

size_t FrameBytes(const Device& d) { return static_cast<size_t>(d.fmt.nChannels) * 2u; }

// The device behind handle h, when h is that open device's handle (g_mu held).
Device* Find(Device& d, const void* h) {
  return (d.open && !d.closing && reinterpret_cast<uintptr_t>(h) == d.handle) ? &d : nullptr;
}

void MoveFile(Device& d);
void ScheduleNext(Device& d);

// Runs f on the device behind handle h under g_mu; MMSYSERR_INVALHANDLE when h is not its handle.
// A file device is first brought up to the clock, and its next move planned after f.
template <typename F>
MMRESULT OnDevice(Device& dev, const void* h, F&& f) {
  std::lock_guard<std::mutex> lk(g_mu);
  Device* d = Find(dev, h);
  if (!d) return MMSYSERR_INVALHANDLE;
  if (d->backend != AudioBackend::File) return f(*d);
  MoveFile(*d);
  const MMRESULT r = f(*d);
  ScheduleNext(*d);
  return r;
}

// Hands a header back to the program: out of the queue and done (release order, so a poller that
// sees the flag also sees what the device wrote).
void MarkDone(WAVEHDR* h) {
  DWORD f = h->dwFlags.load(std::memory_order_relaxed);
  h->dwFlags.store((f & ~WHDR_INQUEUE) | WHDR_DONE, std::memory_order_release);
}

// Hands the front capture header back to the program (g_mu held).
void CompleteFront(Device& d) {
  WAVEHDR* h = d.queue.front();
  d.queue.pop_front();
  h->dwBytesRecorded.store(static_cast<DWORD>(d.offset), std::memory_order_release);
  MarkDone(h);
  d.offset = 0;
}

// Delivers captured frames into the queued headers (g_mu held). Returns frames delivered.
size_t CaptureLocked(Device& d, const int16_t* frames, size_t count) {
  if (!d.open || d.closing || !d.started) return 0;
  size_t fb = FrameBytes(d);
  size_t ch = d.fmt.nChannels;
  size_t delivered = 0;
  int16_t tmp[512];  // gain is applied chunk by chunk: no allocation on the audio thread
  while (delivered < count && !d.queue.empty()) {
    WAVEHDR* h = d.queue.front();
    size_t room = (h->dwBufferLength - d.offset) / fb;
    if (room == 0) {
      CompleteFront(d);
      continue;
    }
    size_t take = std::min({room, count - delivered, sizeof tmp / sizeof tmp[0] / ch});
    std::memcpy(tmp, frames + delivered * ch, take * fb);
    ApplyGain(tmp, take * ch, g_micVolume.load(), kMicVolumeUnity, g_micMute.load());
    std::memcpy(h->lpData + d.offset, tmp, take * fb);
    d.offset += take * fb;
    delivered += take;
    d.position += take;
    if (d.offset + fb > h->dwBufferLength) CompleteFront(d);
  }
  return delivered;  // the rest is dropped: no header was waiting
}

// Fills count frames for playing (g_mu held); silence where nothing is queued.
size_t PlayoutLocked(Device& d, int16_t* out, size_t count) {
  size_t fb = FrameBytes(d);
  size_t done = 0;
  if (d.open && !d.closing && d.started) {
    while (done < count && !d.queue.empty()) {
      WAVEHDR* h = d.queue.front();
      size_t avail = (h->dwBufferLength - d.offset) / fb;
      size_t take = std::min(avail, count - done);
      std::memcpy(out + done * d.fmt.nChannels, h->lpData + d.offset, take * fb);
      d.offset += take * fb;
      done += take;
      if (d.offset + fb > h->dwBufferLength) {
        d.queue.pop_front();
        MarkDone(h);
        d.offset = 0;
      }
    }
  }
  std::memset(out + done * d.fmt.nChannels, 0, (count - done) * fb);
  ApplyGain(out, done * d.fmt.nChannels, g_speakerVolume.load(), kMixerVolumeMax, g_speakerMute.load());
  if (d.started) {
    d.position += done;
    d.silenceRun = done == count ? 0 : (done > 0 ? count - done : d.silenceRun + count);
  }
  return done;
}

uint64_t OutPosition(Device& d) {
  uint64_t pending = d.latency > d.silenceRun ? d.latency - d.silenceRun : 0;
  uint64_t p = d.position > pending ? d.position - pending : 0;
  d.reported = std::max(d.reported, p);
  return d.reported;
}

// Frames due on the paced timeline since the last tick (g_mu held).
size_t DueFrames(Device& d) {
  uint64_t now = NowMs();
  uint64_t target = (now - d.clockBase) * d.fmt.nSamplesPerSec / 1000u;
  if (target <= d.framesDone) return 0;
  size_t due = static_cast<size_t>(std::min<uint64_t>(target - d.framesDone, d.fmt.nSamplesPerSec));
  d.framesDone = target;  // a stall longer than a second is not made up
  return due;
}

void RestartTimeline(Device& d) {
  d.clockBase = NowMs();
  d.movedAt = d.clockBase;
  d.framesDone = 0;
}

// Starts (or resumes) a device; its paced timeline begins now.
void Resume(Device& d) {
  if (!d.started) {
    d.started = true;
    RestartTimeline(d);
  }
}

// Frames moved per step of a tick, on the stack: no allocation on the thread that paces.
constexpr size_t kTickChunk = 960;

// Moves a started file device along the timeline up to now (g_mu held).
void MoveIn(Device& d) {
  int16_t frames[kTickChunk];
  for (size_t due = DueFrames(d); due > 0;) {
    const size_t n = std::min(due, kTickChunk);
    if (d.source) {
      d.source->Read(frames, n, d.loop);
    } else {
      std::memset(frames, 0, n * sizeof frames[0]);
    }
    CaptureLocked(d, frames, n);
    due -= n;
  }
}

void MoveOut(Device& d) {
  int16_t frames[kTickChunk];  // the file device is mono
  unsigned char bytes[kTickChunk * 2];
  for (size_t due = DueFrames(d); due > 0;) {
    const size_t n = std::min(due, kTickChunk);
    due -= n;
    PlayoutLocked(d, frames, n);
    if (!d.out || d.outBytes + n * 2 > kMaxWavData) continue;
    for (size_t i = 0; i < n; ++i) Put16(&bytes[i * 2], static_cast<uint16_t>(frames[i]));
    if (std::fwrite(bytes, 1, n * 2, d.out) == n * 2) {
      d.outBytes += n * 2;
    } else {
      std::fprintf(stderr, "wave: writing %s failed; playout output stops\n", d.outPath.c_str());
      std::fclose(d.out);
      d.out = nullptr;
    }
  }
}

void MoveFile(Device& d) {
  if (!d.open || d.closing) return;
  if (!d.started) {  // not started or paused: the timeline stops
    RestartTimeline(d);
    return;
  }
  if (&d == &g_in) {
    MoveIn(d);
  } else {
    MoveOut(d);
  }
  d.movedAt = NowMs();
}

// Even with nothing queued the timeline moves now and then (samples dropped, silence written).
constexpr uint64_t kIdleMoveMs = 500;

// When the front header fills (capture) or has played (playout) on the timeline (g_mu held).
void ScheduleNext(Device& d) {
  uint64_t next = detail::kNoDeadline;
  if (d.open && !d.closing && d.started && d.backend == AudioBackend::File) {
    next = d.movedAt + kIdleMoveMs;
    if (!d.queue.empty()) {
      const WAVEHDR* h = d.queue.front();
      const uint64_t rate = d.fmt.nSamplesPerSec;
      const uint64_t frames = d.framesDone + (h->dwBufferLength - d.offset) / FrameBytes(d);
      next = std::min(next, d.clockBase + (frames * 1000 + rate - 1) / rate);
    }
  }
  d.nextDue.store(next, std::memory_order_release);
}

// The pacer of a file device: most ticks find nothing due and take no lock.
template <Device* D>
void FileTick() {
  if (NowMs() < D->nextDue.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lk(g_mu);
  MoveFile(*D);
  ScheduleNext(*D);
}

void ResetDevice(Device& d) {
  d.open = false;
  d.closing = false;
  d.handle = 0;
  d.queue.clear();
  d.offset = 0;
  d.position = 0;
  d.started = false;
  d.latency = 0;
  d.silenceRun = 0;
  d.reported = 0;
  d.pacer = 0;
  d.source.reset();
  d.out = nullptr;
  d.outPath.clear();
  d.outBytes = 0;
  d.stream.reset();
}

MMRESULT CheckFormat(const WAVEFORMATEX* f, AudioBackend b) {
  if (!f) return MMSYSERR_INVALPARAM;
  WORD maxChannels = b == AudioBackend::PortAudio ? 2 : 1;
  if (f->wFormatTag != WAVE_FORMAT_PCM || f->wBitsPerSample != 16 || f->nChannels < 1 || f->nChannels > maxChannels ||
      f->nSamplesPerSec < 8000 || f->nSamplesPerSec > 48000 || f->nBlockAlign != f->nChannels * 2) {
    return WAVERR_BADFORMAT;
  }
  return MMSYSERR_NOERROR;
}

// The checks of an open call before anything is claimed; fills the backend to use.
MMRESULT CheckOpen(UINT deviceId, const WAVEFORMATEX* format, DWORD flags, AudioBackend* b) {
  if (deviceId != WAVE_MAPPER && deviceId != 0) return MMSYSERR_BADDEVICEID;
  if ((flags & ~WAVE_FORMAT_QUERY) != CALLBACK_NULL) return MMSYSERR_NOTSUPPORTED;
  *b = ResolveBackend();
  return CheckFormat(format, *b);
}

// Claims the device for an open; it stays unusable (closing) until fully set up.
MMRESULT Reserve(Device& d, AudioBackend b, const WAVEFORMATEX& format) {
  std::lock_guard<std::mutex> lk(g_mu);
  if (d.open) return MMSYSERR_ALLOCATED;
  ResetDevice(d);
  d.open = true;
  d.closing = true;
  d.backend = b;
  d.fmt = format;
  d.handle = g_nextHandle++;
  return MMSYSERR_NOERROR;
}

MMRESULT PrepareHeader(WAVEHDR* h, UINT cbwh) {
  if (!h || cbwh < sizeof(DWORD) * 2 || !h->lpData || h->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
  if (h->dwFlags.load() & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  h->dwFlags.fetch_or(WHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

MMRESULT UnprepareHeader(WAVEHDR* h) {
  if (!h) return MMSYSERR_INVALPARAM;
  if (h->dwFlags.load() & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  h->dwFlags.fetch_and(~WHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

// The checks before a header is queued; its flags in *flags.
MMRESULT CheckQueueable(WAVEHDR* hdr, DWORD* flags) {
  if (!hdr || !hdr->lpData) return MMSYSERR_INVALPARAM;
  DWORD f = hdr->dwFlags.load();
  if (!(f & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (f & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  *flags = f;
  return MMSYSERR_NOERROR;
}

MMRESULT GetPosition(uint64_t frames, const WAVEFORMATEX& f, MMTIME* mmt, UINT cbmmt) {
  if (!mmt || cbmmt < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
  switch (mmt->wType) {
    case TIME_BYTES:
      mmt->u.cb = static_cast<DWORD>(frames * f.nBlockAlign);
      break;
    case TIME_MS:
      mmt->u.ms = static_cast<DWORD>(frames * 1000u / f.nSamplesPerSec);
      break;
    default:
      mmt->wType = TIME_SAMPLES;
      mmt->u.sample = static_cast<DWORD>(frames);
      break;
  }
  return MMSYSERR_NOERROR;
}

// The position of the device behind handle h, with the injected offset, in the unit asked for.
MMRESULT DevicePosition(Device& dev, const void* h, bool output, MMTIME* mmt, UINT cbmmt) {
  const uint64_t offset = output ? Cfg().outOffset.load() : Cfg().inOffset.load();
  const int bits = output ? Cfg().outBits.load() : Cfg().inBits.load();
  const uint64_t mask = bits >= 32 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1u;
  return OnDevice(dev, h, [&](Device& d) {
    return GetPosition(((output ? OutPosition(d) : d.position) + offset) & mask, d.fmt, mmt, cbmmt);
  });
}

// First half of a close, refused while headers are queued: the device is marked closing and what
// moves it is stopped (outside g_mu: the tick or callback may be waiting for it).
MMRESULT StopForClose(Device& dev, const void* h) {
  int pacer;
  std::unique_ptr<wavepa::Stream> stream;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    Device* d = Find(dev, h);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (!d->queue.empty()) return WAVERR_STILLPLAYING;
    if (d->backend == AudioBackend::File) MoveFile(*d);  // the output file's timeline runs up to the close
    d->closing = true;
    ScheduleNext(*d);
    pacer = d->pacer;
    stream = std::move(d->stream);
  }
  if (pacer) detail::RemovePacer(pacer);
  if (stream) stream->Stop();
  return MMSYSERR_NOERROR;
}

// Starts the clock-paced ticks of a file device: they follow the clock's pacers, no thread of their own.
void StartFileTicks(Device& d, void (*tick)()) {
  const int pacer = detail::AddPacer(tick);
  std::lock_guard<std::mutex> lk(g_mu);
  d.pacer = pacer;
}

bool OpenInFile(Device& d, std::string* error) {
  std::string path = InFilePath();
  d.loop = InLoop();
  if (path.empty()) return true;  // silence
  auto source = std::make_unique<WavSource>();
  if (!source->Open(path, d.fmt.nSamplesPerSec, error)) return false;
  d.source = std::move(source);
  return true;
}

// Writes frames of silence to the playout file (its size kept within a WAV file's); false on a write error.
bool WriteSilence(FILE* f, uint64_t frames, size_t frameBytes, uint64_t* bytes) {
  static const unsigned char zeros[4096] = {};
  uint64_t left = std::min<uint64_t>(frames * frameBytes, kMaxWavData - std::min(*bytes, kMaxWavData));
  while (left > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, sizeof zeros));
    if (std::fwrite(zeros, 1, n, f) != n) return false;
    *bytes += n;
    left -= n;
  }
  return true;
}

// Continues the playout file an earlier close finished (same path and format, unchanged since):
// it goes back to its temporary name, and the time the device stayed closed is written as silence.
bool ContinueOutFile(Device& d) {
  FinishedOut last;
  {
    std::lock_guard<std::mutex> lk(g_finishedMu);
    last = g_finished;
  }
  if (last.path != d.outPath || last.rate != d.fmt.nSamplesPerSec || last.channels != d.fmt.nChannels) return false;
  const std::string tmp = d.outPath + ".tmp";
  struct stat st {};
  if (::stat(d.outPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != 44 + last.bytes) {
    std::fprintf(stderr, "wave: %s changed since it was written; the recording starts anew\n", d.outPath.c_str());
    return false;
  }
  if (!RenameFile(d.outPath, tmp)) return false;
  d.out = std::fopen(tmp.c_str(), "r+b");
  if (!d.out || std::fseek(d.out, 0, SEEK_END) != 0) {
    if (d.out) std::fclose(d.out);
    d.out = nullptr;
    RenameFile(tmp, d.outPath);
    return false;
  }
  d.outBytes = last.bytes;
  const uint64_t now = NowMs();
  const uint64_t gap = now > last.closedAt ? (now - last.closedAt) * d.fmt.nSamplesPerSec / 1000u : 0;
  if (!WriteSilence(d.out, gap, FrameBytes(d), &d.outBytes)) {
    std::fprintf(stderr, "wave: writing %s failed; playout output stops\n", tmp.c_str());
    std::fclose(d.out);
    d.out = nullptr;
  }
  return true;
}

bool OpenOutFile(Device& d) {
  d.outPath = OutFilePath();
  if (d.outPath.empty()) return true;  // discarded
  bool continues;
  {
    std::lock_guard<std::mutex> lk(Cfg().mu);
    continues = Cfg().outContinues;
  }
  if (continues && ContinueOutFile(d)) return true;
  std::string tmp = d.outPath + ".tmp";
  d.out = OpenRegularStream(tmp, "wb");
  if (!d.out) {
    std::fprintf(stderr, "wave: cannot create %s\n", tmp.c_str());
    return false;
  }
  unsigned char h[44];
  MakeWavHeader(h, 0, d.fmt.nSamplesPerSec, d.fmt.nChannels);
  std::fwrite(h, 1, sizeof h, d.out);
  d.outBytes = 0;
  return true;
}

// Finishes the playout file: correct header, flushed, renamed into place; remembered, so that a
// later open may continue it.
void FinishOutFile(FILE* f, const std::string& path, uint64_t bytes, DWORD rate, WORD channels) {
  if (!f) return;
  unsigned char h[44];
  MakeWavHeader(h, static_cast<uint32_t>(bytes), rate, channels);
  bool ok = std::fseek(f, 0, SEEK_SET) == 0 && std::fwrite(h, 1, sizeof h, f) == sizeof h && std::fflush(f) == 0 &&
            ::fsync(fileno(f)) == 0;
  ok = std::fclose(f) == 0 && ok;
  std::string tmp = path + ".tmp";
  if (!ok || !RenameFile(tmp, path)) {
    std::fprintf(stderr, "wave: cannot finish %s\n", path.c_str());
    RemoveFile(tmp);
    ok = false;
  }
  std::lock_guard<std::mutex> lk(g_finishedMu);
  g_finished = ok ? FinishedOut{path, rate, channels, bytes, NowMs()} : FinishedOut{};
}

}  // namespace

// ---------------------------------------------------------------------------
// Settings API
// ---------------------------------------------------------------------------

void SetAudioBackend(AudioBackend backend) {
  std::lock_guard<std::mutex> lk(Cfg().mu);
  Cfg().backend = backend;
}

AudioBackend CurrentAudioBackend() { return ResolveBackend(); }

bool PortAudioAvailable() { return wavepa::Available(); }

void SetWaveInFile(const std::string& path) {
  std::lock_guard<std::mutex> lk(Cfg().mu);
  Cfg().inFile = path;
  Cfg().inFileSet = !path.empty();
}

void SetWaveOutFile(const std::string& path) {
  std::lock_guard<std::mutex> lk(Cfg().mu);
  Cfg().outFile = path;
  Cfg().outFileSet = !path.empty();
}

void SetWaveOutContinues(bool on) {
  std::lock_guard<std::mutex> lk(Cfg().mu);
  Cfg().outContinues = on;
}

bool WaveOutContinues() {
  std::lock_guard<std::mutex> lk(Cfg().mu);
  return Cfg().outContinues;
}

void SetWaveInLoop(bool loop) {
  std::lock_guard<std::mutex> lk(Cfg().mu);
  Cfg().loop = loop ? 1 : 0;
}

bool WaveInUsable(DWORD sampleRate) {
  std::function<bool(DWORD)> probe;
  {
    std::lock_guard<std::mutex> lk(Cfg().mu);
    probe = Cfg().probe;
  }
  if (probe) return probe(sampleRate);
  WAVEFORMATEX f{WAVE_FORMAT_PCM, 1, sampleRate, sampleRate * 2u, 2, 16, 0};
  HWAVEIN h = nullptr;
  if (waveInOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return false;
  waveInClose(h);
  return true;
}

void SetWaveInProbe(std::function<bool(DWORD)> probe) {
  std::lock_guard<std::mutex> lk(Cfg().mu);
  Cfg().probe = std::move(probe);
}

UINT MixerCount() { return 1; }
void SetSpeakerVolume(DWORD v) { g_speakerVolume.store(std::min(v, kMixerVolumeMax)); }
DWORD GetSpeakerVolume() { return g_speakerVolume.load(); }
void SetSpeakerMute(bool m) { g_speakerMute.store(m); }
bool GetSpeakerMute() { return g_speakerMute.load(); }
void SetMicVolume(DWORD v) { g_micVolume.store(std::min(v, kMixerVolumeMax)); }
DWORD GetMicVolume() { return g_micVolume.load(); }
void SetMicMute(bool m) { g_micMute.store(m); }
bool GetMicMute() { return g_micMute.load(); }

// ---------------------------------------------------------------------------
// Manual backend
// ---------------------------------------------------------------------------

UINT CaptureLatencyMs() {
  std::lock_guard<std::mutex> lk(g_mu);
  if (!g_in.open || g_in.fmt.nSamplesPerSec == 0) return 0;
  return static_cast<UINT>(g_in.latency * 1000u / g_in.fmt.nSamplesPerSec);
}

namespace ManualWave {

size_t Capture(const int16_t* samples, size_t count) {
  std::lock_guard<std::mutex> lk(g_mu);
  if (!g_in.open || g_in.backend != AudioBackend::Manual) return 0;
  return CaptureLocked(g_in, samples, count);
}

bool CompleteCurrentCaptureHeader() {
  std::lock_guard<std::mutex> lk(g_mu);
  if (!g_in.open || g_in.queue.empty() || g_in.offset == 0) return false;
  CompleteFront(g_in);
  return true;
}

size_t Playout(size_t count, std::vector<int16_t>* out) {
  std::lock_guard<std::mutex> lk(g_mu);
  if (!g_out.open || g_out.backend != AudioBackend::Manual) return 0;
  std::vector<int16_t> buf(count * g_out.fmt.nChannels);
  size_t n = PlayoutLocked(g_out, buf.data(), count);
  if (out) out->insert(out->end(), buf.begin(), buf.end());
  return n;
}

void FailNext(const std::string& function, MMRESULT result, int times) {
  std::lock_guard<std::mutex> lk(Cfg().mu);
  Cfg().faults[function] = {result, times};
  Cfg().anyFault.store(true);
}

void SetPositionOffset(uint64_t inputOffset, uint64_t outputOffset) {
  std::lock_guard<std::mutex> lk(Cfg().mu);
  Cfg().inOffset = inputOffset;
  Cfg().outOffset = outputOffset;
}

void SetPositionBits(int inputBits, int outputBits) {
  Cfg().inBits = inputBits < 1 || inputBits > 32 ? 32 : inputBits;
  Cfg().outBits = outputBits < 1 || outputBits > 32 ? 32 : outputBits;
}

void ResetFaults() {
  std::lock_guard<std::mutex> lk(Cfg().mu);
  Cfg().inBits = 32;
  Cfg().outBits = 32;
  Cfg().faults.clear();
  Cfg().anyFault.store(false);
  Cfg().inOffset = 0;
  Cfg().outOffset = 0;
}

bool InputOpen() {
  std::lock_guard<std::mutex> lk(g_mu);
  return g_in.open;
}

bool OutputOpen() {
  std::lock_guard<std::mutex> lk(g_mu);
  return g_out.open;
}

}  // namespace ManualWave

// ---------------------------------------------------------------------------
// WAV files
// ---------------------------------------------------------------------------

bool ReadWavFile(const std::string& path, std::vector<int16_t>* samples, DWORD* sampleRate, WORD* channels,
                 std::string* error) {
  const char* why = "cannot read the file";
  FILE* f = OpenRegularStream(path, "rb");
  WavLayout w;
  bool ok = f && ParseWavLayout(f, FileSize(f), &w, &why);
  std::vector<unsigned char> body;
  if (ok && w.dataBytes > kMaxWavRead) {
    why = "file too large";
    ok = false;
  }
  if (ok) {
    body.resize(static_cast<size_t>(w.dataBytes));
    ok = std::fseek(f, static_cast<long>(w.dataOffset), SEEK_SET) == 0 &&
         std::fread(body.data(), 1, body.size(), f) == body.size();
    if (!ok) why = "cannot read the file";
  }
  if (f) std::fclose(f);
  if (!ok) {
    if (error) *error = why;
    return false;
  }
  const size_t bytesPerSample = w.bits / 8u;
  const size_t count = body.size() / bytesPerSample / w.channels * w.channels;
  samples->resize(count);
  for (size_t i = 0; i < count; ++i) {
    (*samples)[i] = w.bits == 16 ? static_cast<int16_t>(Le16(&body[i * 2]))
                                 : static_cast<int16_t>((static_cast<int>(body[i]) - 128) << 8);
  }
  *sampleRate = w.rate;
  *channels = w.channels;
  return true;
}

bool WriteWavFile(const std::string& path, const std::vector<int16_t>& samples, DWORD sampleRate, WORD channels) {
  if (samples.size() * 2 > kMaxWavData || channels == 0) return false;
  std::string bytes(44 + samples.size() * 2, '\0');
  unsigned char* p = reinterpret_cast<unsigned char*>(bytes.data());
  MakeWavHeader(p, static_cast<uint32_t>(samples.size() * 2), sampleRate, channels);
  for (size_t i = 0; i < samples.size(); ++i) Put16(p + 44 + i * 2, static_cast<uint16_t>(samples[i]));
  return WriteFileAtomic(path, bytes);
}

}  // namespace plat

// ---------------------------------------------------------------------------
// Capture calls
// ---------------------------------------------------------------------------

using plat::g_in;
using plat::g_mu;
using plat::g_out;

UINT waveInGetNumDevs() {
  plat::AudioBackend b = plat::ResolveBackend();
  if (b == plat::AudioBackend::PortAudio) return plat::wavepa::InputDeviceCount() > 0 ? 1 : 0;
  return 1;
}

UINT waveOutGetNumDevs() {
  plat::AudioBackend b = plat::ResolveBackend();
  if (b == plat::AudioBackend::PortAudio) return plat::wavepa::OutputDeviceCount() > 0 ? 1 : 0;
  return 1;
}

MMRESULT waveInOpen(HWAVEIN* phwi, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR /*callback*/,
                    DWORD_PTR /*instance*/, DWORD flags) {
  if (MMRESULT r = plat::Fault("waveInOpen")) return r;
  plat::AudioBackend b;
  if (MMRESULT r = plat::CheckOpen(deviceId, format, flags, &b)) return r;
  if (flags & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;
  if (!phwi) return MMSYSERR_INVALPARAM;
  if (MMRESULT r = plat::Reserve(g_in, b, *format)) return r;
  // Backend set-up outside the lock (file reading, device opening).
  MMRESULT result = MMSYSERR_NOERROR;
  plat::Device staging;
  staging.fmt = *format;
  std::unique_ptr<plat::wavepa::Stream> stream;
  if (b == plat::AudioBackend::File) {
    std::string why;
    if (!plat::OpenInFile(staging, &why)) {
      std::fprintf(stderr, "wave: cannot use the capture file %s: %s\n", plat::InFilePath().c_str(), why.c_str());
      result = MMSYSERR_NODRIVER;
    }
  } else if (b == plat::AudioBackend::PortAudio) {
    stream = plat::wavepa::OpenInput(
        *format,
        [](const int16_t* frames, size_t count) {
          std::lock_guard<std::mutex> lk(g_mu);
          plat::CaptureLocked(g_in, frames, count);
        },
        &result);
  }
  {
    std::lock_guard<std::mutex> lk(g_mu);
    if (result != MMSYSERR_NOERROR) {
      plat::ResetDevice(g_in);
      return result;
    }
    g_in.source = std::move(staging.source);
    g_in.loop = staging.loop;
    g_in.latency = stream ? stream->LatencyFrames() : 0;
    g_in.stream = std::move(stream);
    g_in.closing = false;
    plat::RestartTimeline(g_in);
    plat::ScheduleNext(g_in);
    *phwi = reinterpret_cast<HWAVEIN>(g_in.handle);
  }
  if (b == plat::AudioBackend::File) plat::StartFileTicks(g_in, plat::FileTick<&plat::g_in>);
  return MMSYSERR_NOERROR;
}

MMRESULT waveInClose(HWAVEIN hwi) {
  if (MMRESULT r = plat::Fault("waveInClose")) return r;
  if (MMRESULT r = plat::StopForClose(g_in, hwi)) return r;
  std::lock_guard<std::mutex> lk(g_mu);
  plat::ResetDevice(g_in);
  return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* hdr, UINT cbwh) {
  if (MMRESULT r = plat::Fault("waveInPrepareHeader")) return r;
  return plat::OnDevice(g_in, hwi, [&](plat::Device&) { return plat::PrepareHeader(hdr, cbwh); });
}

MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* hdr, UINT /*cbwh*/) {
  if (MMRESULT r = plat::Fault("waveInUnprepareHeader")) return r;
  return plat::OnDevice(g_in, hwi, [&](plat::Device&) { return plat::UnprepareHeader(hdr); });
}

MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* hdr, UINT /*cbwh*/) {
  if (MMRESULT r = plat::Fault("waveInAddBuffer")) return r;
  return plat::OnDevice(g_in, hwi, [&](plat::Device& d) {
    DWORD f;
    if (MMRESULT r = plat::CheckQueueable(hdr, &f)) return r;
    if (hdr->dwBufferLength < plat::FrameBytes(d)) return MMSYSERR_INVALPARAM;
    hdr->dwBytesRecorded.store(0);
    hdr->dwFlags.store((f & ~WHDR_DONE) | WHDR_INQUEUE);
    d.queue.push_back(hdr);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT waveInStart(HWAVEIN hwi) {
  if (MMRESULT r = plat::Fault("waveInStart")) return r;
  return plat::OnDevice(g_in, hwi, [](plat::Device& d) {
    plat::Resume(d);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT waveInStop(HWAVEIN hwi) {
  if (MMRESULT r = plat::Fault("waveInStop")) return r;
  return plat::OnDevice(g_in, hwi, [](plat::Device& d) {
    d.started = false;
    if (!d.queue.empty() && d.offset > 0) plat::CompleteFront(d);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT waveInReset(HWAVEIN hwi) {
  if (MMRESULT r = plat::Fault("waveInReset")) return r;
  return plat::OnDevice(g_in, hwi, [](plat::Device& d) {
    d.started = false;
    while (!d.queue.empty()) plat::CompleteFront(d);
    d.position = 0;
    return MMSYSERR_NOERROR;
  });
}

MMRESULT waveInGetPosition(HWAVEIN hwi, MMTIME* mmt, UINT cbmmt) {
  if (MMRESULT r = plat::Fault("waveInGetPosition")) return r;
  return plat::DevicePosition(g_in, hwi, false, mmt, cbmmt);
}

// ---------------------------------------------------------------------------
// Playout calls
// ---------------------------------------------------------------------------

MMRESULT waveOutOpen(HWAVEOUT* phwo, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR /*callback*/,
                     DWORD_PTR /*instance*/, DWORD flags) {
  if (MMRESULT r = plat::Fault("waveOutOpen")) return r;
  plat::AudioBackend b;
  if (MMRESULT r = plat::CheckOpen(deviceId, format, flags, &b)) return r;
  if (flags & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;
  if (!phwo) return MMSYSERR_INVALPARAM;
  if (MMRESULT r = plat::Reserve(g_out, b, *format)) return r;
  MMRESULT result = MMSYSERR_NOERROR;
  plat::Device staging;
  staging.fmt = *format;
  std::unique_ptr<plat::wavepa::Stream> stream;
  if (b == plat::AudioBackend::File) {
    if (!plat::OpenOutFile(staging)) result = MMSYSERR_NODRIVER;
  } else if (b == plat::AudioBackend::PortAudio) {
    stream = plat::wavepa::OpenOutput(
        *format,
        [](int16_t* frames, size_t count) {
          std::lock_guard<std::mutex> lk(g_mu);
          plat::PlayoutLocked(g_out, frames, count);
        },
        &result);
  }
  {
    std::lock_guard<std::mutex> lk(g_mu);
    if (result != MMSYSERR_NOERROR) {
      plat::ResetDevice(g_out);
      return result;
    }
    g_out.out = staging.out;
    g_out.outPath = staging.outPath;
    g_out.outBytes = staging.outBytes;
    g_out.latency = stream ? stream->LatencyFrames() : 0;
    g_out.stream = std::move(stream);
    g_out.started = true;  // playout runs from open on
    g_out.closing = false;
    plat::RestartTimeline(g_out);
    plat::ScheduleNext(g_out);
    *phwo = reinterpret_cast<HWAVEOUT>(g_out.handle);
  }
  if (b == plat::AudioBackend::File) plat::StartFileTicks(g_out, plat::FileTick<&plat::g_out>);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT hwo) {
  if (MMRESULT r = plat::Fault("waveOutClose")) return r;
  if (MMRESULT r = plat::StopForClose(g_out, hwo)) return r;
  FILE* f;
  std::string path;
  uint64_t bytes;
  WAVEFORMATEX fmt;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    f = g_out.out;
    path = g_out.outPath;
    bytes = g_out.outBytes;
    fmt = g_out.fmt;
    g_out.out = nullptr;
  }
  plat::FinishOutFile(f, path, bytes, fmt.nSamplesPerSec, fmt.nChannels);
  std::lock_guard<std::mutex> lk(g_mu);
  plat::ResetDevice(g_out);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* hdr, UINT cbwh) {
  if (MMRESULT r = plat::Fault("waveOutPrepareHeader")) return r;
  return plat::OnDevice(g_out, hwo, [&](plat::Device&) { return plat::PrepareHeader(hdr, cbwh); });
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* hdr, UINT /*cbwh*/) {
  if (MMRESULT r = plat::Fault("waveOutUnprepareHeader")) return r;
  return plat::OnDevice(g_out, hwo, [&](plat::Device&) { return plat::UnprepareHeader(hdr); });
}

MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* hdr, UINT /*cbwh*/) {
  if (MMRESULT r = plat::Fault("waveOutWrite")) return r;
  return plat::OnDevice(g_out, hwo, [&](plat::Device& d) {
    DWORD f;
    if (MMRESULT r = plat::CheckQueueable(hdr, &f)) return r;
    hdr->dwFlags.store((f & ~WHDR_DONE) | WHDR_INQUEUE);
    if (hdr->dwBufferLength < plat::FrameBytes(d)) {  // nothing to play: done at once
      plat::MarkDone(hdr);
      return MMSYSERR_NOERROR;
    }
    d.queue.push_back(hdr);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT waveOutPause(HWAVEOUT hwo) {
  return plat::OnDevice(g_out, hwo, [](plat::Device& d) {
    d.started = false;
    return MMSYSERR_NOERROR;
  });
}

MMRESULT waveOutRestart(HWAVEOUT hwo) {
  return plat::OnDevice(g_out, hwo, [](plat::Device& d) {
    plat::Resume(d);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT waveOutReset(HWAVEOUT hwo) {
  if (MMRESULT r = plat::Fault("waveOutReset")) return r;
  return plat::OnDevice(g_out, hwo, [](plat::Device& d) {
    for (WAVEHDR* h : d.queue) plat::MarkDone(h);
    d.queue.clear();
    d.offset = 0;
    d.position = 0;
    d.reported = 0;
    d.silenceRun = 0;
    plat::Resume(d);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT waveOutGetPosition(HWAVEOUT hwo, MMTIME* mmt, UINT cbmmt) {
  if (MMRESULT r = plat::Fault("waveOutGetPosition")) return r;
  return plat::DevicePosition(g_out, hwo, true, mmt, cbmmt);
}
