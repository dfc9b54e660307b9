// Sound-card stream: the polled wave-in and wave-out devices, their adaptive playout queue and the 2-ms sound-card thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/wave.h"
#include "voice/engine_defs.h"

class TX;
class Mixer;

class SndCardStream {
 public:
  static constexpr int kHeaders = 200;
  static constexpr int kMaxPutBackDelay = 50;

  SndCardStream();
  ~SndCardStream();
  SndCardStream(const SndCardStream&) = delete;
  SndCardStream& operator=(const SndCardStream&) = delete;

  // The engine lock: both thread steps run under it, and so do the RTP receive entry and the
  // engine's operations that change channels, codecs or flags.
  plat::RecursiveMutex& Lock() { return lock_; }

  void SetTX(TX* tx) { tx_ = tx; }
  void SetMixer(Mixer* mixer) { mixer_ = mixer; }

  // Device ids (-1 = the wave mapper), read when the devices open.
  void SetDevices(int inDevice, int outDevice);
  int InDevice() const { return inDevice_; }
  int OutDevice() const { return outDevice_; }

  // Opens wave-in (0, or -1). Already open: 0.
  int initRecord();
  // Opens wave-out and prepares its headers; -1 when it cannot be opened, -2 for a header.
  int initPlayback();
  // Queues the record buffers and starts wave-in: 0, -1 (position), -2 (add), -3 (start).
  int start_rec();
  // Primes three blocks of silence on the sound-card thread and waits for it: 0; -6 when
  // playback is not initialised; -7 when the thread does not answer.
  int start_play();
  // Stop and close the devices; 0 or -1.
  int stop_play();
  int stop_recording();

  // One-time preparation of the mixer controls.
  void Prepare();
  // Starts the sound-card thread and its 2-ms timer (false when it cannot be started).
  bool StartThread();
  // Stops the thread and waits for it; closes the mixer handles.
  void shutDown();
  bool ThreadRunning() const { return thread_.joinable() && !thread_.finished(); }

  // Speaker volume 0..255 (-1 on failure); microphone level 0..255.
  int SetSpeakerVolume(int level);
  int GetSpeakerVolume() const;
  int setMicLevel(int level);
  int getMicLevel() const;

  // Milliseconds of audio queued in wave-out (0 when not playing).
  int msecleft();
  // Milliseconds recorded by wave-in but not yet taken.
  int RecordDelay();

  // The two steps of the thread (public for tests; call under Lock()).
  int PlayProc();
  int RecordProc();
  // One wake of the thread after the timer event (tests drive it directly).
  void Wake();

  bool Recording() const { return recording_.load(); }
  bool Playing() const { return playing_.load(); }
  bool RecordInitialised() const { return recordInit_.load(); }
  bool PlaybackInitialised() const { return playbackInit_.load(); }

  // Flags the engine's notification thread reads and clears. Raising one also sets the notice
  // event, on which that thread sleeps while no flag is up.
  bool TakeSlowFlag() { return soundCardSlow_.exchange(false); }
  bool TakeRecordErrorFlag() { return recordError_.exchange(false); }
  bool FlagRaised() const { return soundCardSlow_.load() || recordError_.load(); }
  void RaiseSlowFlag();
  void RaiseRecordErrorFlag();
  void SetNoticeEvent(plat::Event* event) { notice_.store(event); }

  int PlayoutRate() const { return playRate_.load(); }

  // Playout control values (for tests and figures).
  int BufferSize() const { return buffersize_; }
  int MinBuffer() const { return minBuffer_; }
  int WaitCounter() const { return waitCounter_; }
  int PlayInterval() const { return playInterval_; }
  int PutBackDelay() const { return putBackDelay_; }
  int LateWakes() const { return lateWakes_; }
  // Figures since construction.
  uint32_t Underruns() const { return underrunsTotal_.load(); }
  uint32_t ShortBlocksDropped() const { return shortBlocksDropped_.load(); }
  uint32_t TimerRestarts() const { return timerRestarts_.load(); }
  uint32_t PlaySteps() const { return playSteps_.load(); }
  // Clock (ms) when capture last started and playout last opened; 0 before.
  uint64_t CaptureStartMs() const { return captureStartMs_.load(); }
  uint64_t PlayoutOpenMs() const { return playoutOpenMs_.load(); }
  // Sets the playout control values as a test wants them.
  void SetPlayoutControl(int buffersize, int minBuffer, int waitCounter);

 private:
  int WriteBlock(const int16_t* samples);
  void ThreadProc();
  void Prime();
  void ResetPlayoutControl();

  // Written totals up to this many samples tell a 32-bit wrap of the playout position apart.
  static constexpr uint32_t kWrapLimit = 64000;
  // A gap of 2^15 samples (680 ms) between a card's counters is never real audio: the card's
  // position wrapped at 2^15..2^31.
  static constexpr uint32_t kWrapGap = 32768;
  // Wraps corrected in one delay reading before the reading counts as wrong.
  static constexpr int kMaxRecordWraps = 200;

  plat::RecursiveMutex lock_;
  TX* tx_ = nullptr;
  Mixer* mixer_ = nullptr;
  int inDevice_ = -1;
  int outDevice_ = -1;
  WAVEFORMATEX format_{};

  // Capture.
  HWAVEIN waveIn_ = nullptr;
  WAVEHDR recHeaders_[kHeaders];
  int16_t recBuffers_[kHeaders][kCardBlockSamples];
  int recIndex_ = 0;
  int handedBack_ = 0;
  int putBackDelay_ = 4;
  int shortBlocks_ = 0;
  std::atomic<bool> recordInit_{false};
  std::atomic<bool> recording_{false};
  std::atomic<bool> recordError_{false};
  std::atomic<plat::Event*> notice_{nullptr};
  uint32_t takenSamples_ = 0;
  uint32_t recStartPosition_ = 0;
  uint32_t lastRecorded_ = 0;  // the capture position at the last delay reading

  // Playout.
  HWAVEOUT waveOut_ = nullptr;
  WAVEHDR playHeaders_[kHeaders];
  int16_t playBuffers_[kHeaders][kCardBlockSamples];
  int writeIndex_ = 0;
  uint32_t writtenSamples_ = 0;
  uint32_t lastPlayed_ = 0;  // the playout position at the last reading
  std::atomic<bool> playbackInit_{false};
  std::atomic<bool> playing_{false};
  std::atomic<bool> primeRequest_{false};

  // Playout control.
  int buffersize_ = 80;
  int minBuffer_ = 25;
  int waitCounter_ = 1700;
  int underruns_ = 0;
  bool growingAllowed_ = true;
  std::atomic<int> playInterval_{10};
  std::atomic<int> playRate_{8000};

  // Thread and timer.
  plat::Thread thread_;
  plat::Event timerEvent_{false, false};
  plat::Event primed_{false, false};
  std::atomic<bool> stop_{false};
  UINT timerId_ = 0;
  int lateWakes_ = 0;
  uint32_t lastWake_ = 0;
  uint32_t lastPlay_ = 0;
  uint32_t lastRecord_ = 0;
  uint32_t recordBytes_ = 0;
  uint32_t recordBytesStart_ = 0;
  std::atomic<bool> soundCardSlow_{false};
  std::atomic<bool> recordRestarted_{false};  // capture started again: the slow-card clock restarts
  bool prepared_ = false;

  std::atomic<uint32_t> underrunsTotal_{0};
  std::atomic<uint32_t> shortBlocksDropped_{0};
  std::atomic<uint32_t> timerRestarts_{0};
  std::atomic<uint32_t> playSteps_{0};
  std::atomic<uint64_t> captureStartMs_{0};
  std::atomic<uint64_t> playoutOpenMs_{0};
};
