// Sound-card stream: device opening and closing, the record and playout steps, and the sound-card thread.
#include "voice/soundcard.h"

#include <cstdio>
#include <cstring>

#include "platform/mmtimer.h"
#include "voice/mixer.h"
#include "voice/send_path.h"
#include "voice/trace.h"

namespace {

constexpr uint32_t kLateWakeMs = 8;
constexpr DWORD kPrimeWaitMs = 2000;
// Speaker levels 0..255 map onto the mixer's 0..65535.
constexpr int kSpeakerStep = 257;

TraceSink* T() { return EngineTrace(); }

// A line naming a device id and, where the format has a second value, the mapper's id: the trace
// takes a value of -1 as absent, and -1 is the mapper here, so the values are written in first.
void TraceDeviceLine(const char* format, int device) {
  char line[TraceFileSink::kMaxLine + 1];
  std::snprintf(line, sizeof line, format, device, static_cast<int>(WAVE_MAPPER));
  T()->Print(kTraceInfo, line, -1, -1);
}

}  // namespace

SndCardStream::SndCardStream() {
  format_.wFormatTag = WAVE_FORMAT_PCM;
  format_.nChannels = 1;
  format_.nSamplesPerSec = kCardRate;
  format_.nAvgBytesPerSec = kCardRate * 2;
  format_.nBlockAlign = 2;
  format_.wBitsPerSample = 16;
  format_.cbSize = 0;
  std::memset(recBuffers_, 0, sizeof recBuffers_);
  std::memset(playBuffers_, 0, sizeof playBuffers_);
}

SndCardStream::~SndCardStream() {
  shutDown();
  stop_play();
  stop_recording();
}

void SndCardStream::SetDevices(int inDevice, int outDevice) {
  inDevice_ = inDevice;
  outDevice_ = outDevice;
}

// ---------------------------------------------------------------------------
// Capture
// ---------------------------------------------------------------------------

int SndCardStream::initRecord() {
  if (recordInit_) {
    T()->Print(kTraceInfo, "\tSound card recording already initialized", -1, -1);
    return 0;
  }
  TraceDeviceLine("\t in_device = %d WAVE_MAPPER = %d", inDevice_);
  const UINT id = inDevice_ < 0 ? WAVE_MAPPER : static_cast<UINT>(inDevice_);
  MMRESULT r = waveInOpen(&waveIn_, id, &format_, 0, 0, CALLBACK_NULL);
  if (r != MMSYSERR_NOERROR) {
    T()->Print(kTraceError, "\twaveInOpen() failed (error code %d)", static_cast<int>(r), -1);
    if (r != MMSYSERR_ALLOCATED) return -1;
    T()->Print(kTraceError, "\terror = MMSYSERR_ALLOCATED, trying to close", -1, -1);
    if (waveIn_) {
      if (MMRESULT e = waveInReset(waveIn_)) T()->Print(kTraceError, "\twaveInReset() failed (error code %d)", static_cast<int>(e), -1);
      if (MMRESULT e = waveInStop(waveIn_)) T()->Print(kTraceError, "\twaveInStop() failed (error code %d)", static_cast<int>(e), -1);
      if (MMRESULT e = waveInClose(waveIn_)) T()->Print(kTraceError, "\twaveInClose() failed (error code %d)", static_cast<int>(e), -1);
    }
    r = waveInOpen(&waveIn_, id, &format_, 0, 0, CALLBACK_NULL);
    if (r != MMSYSERR_NOERROR) {
      T()->Print(kTraceError, "\tDid not help, error= %i", static_cast<int>(r), -1);
      waveIn_ = nullptr;
      recordInit_ = false;
      return -1;
    }
    T()->Print(kTraceInfo, "\tNow waveInOpen worked", -1, -1);
  }
  TraceDeviceLine("\twaveInOpen() performed (in_device=%d)", inDevice_);
  recIndex_ = 0;
  takenSamples_ = 0;
  recStartPosition_ = 0;
  lastRecorded_ = 0;
  handedBack_ = 0;
  shortBlocks_ = 0;
  recordInit_ = true;
  return 0;
}

int SndCardStream::start_rec() {
  if (!recordInit_) return -1;
  putBackDelay_ = 4;
  MMTIME t{};
  t.wType = TIME_SAMPLES;
  if (MMRESULT r = waveInGetPosition(waveIn_, &t, sizeof t)) {
    T()->Print(kTraceError, "\twaveInGetPosition failed (result=%d)", static_cast<int>(r), -1);
    return -1;
  }
  recStartPosition_ = t.u.sample;
  takenSamples_ = t.u.sample;
  lastRecorded_ = t.u.sample;
  recIndex_ = 0;
  handedBack_ = 0;
  for (int i = 0; i < kHeaders; ++i) {
    WAVEHDR& h = recHeaders_[i];
    h.lpData = reinterpret_cast<char*>(recBuffers_[i]);
    h.dwBufferLength = kCardBlockBytes;
    h.dwBytesRecorded = 0;
    h.dwFlags = 0;
    h.dwLoops = 0;
    if (MMRESULT r = waveInPrepareHeader(waveIn_, &h, sizeof h)) {
      T()->Print(kTraceError, "\twaveInPrepareHeader[%d] failed (result=%d)", i, static_cast<int>(r));
      return -1;
    }
    if (MMRESULT r = waveInAddBuffer(waveIn_, &h, sizeof h)) {
      T()->Print(kTraceError, "\twaveInAddBuffer[%d] failed on start (result =%d)", i, static_cast<int>(r));
      return -2;
    }
  }
  T()->Print(kTraceInfo, "\twaveInStart performed", -1, -1);
  if (MMRESULT r = waveInStart(waveIn_)) {
    T()->Print(kTraceError, "\twaveInStart failed (result=%d)", static_cast<int>(r), -1);
    return -3;
  }
  captureStartMs_ = plat::NowMs();
  recordRestarted_ = true;
  recording_ = true;
  timerEvent_.set();
  return 0;
}

int SndCardStream::stop_recording() {
  if (!recordInit_) return 0;
  recording_ = false;
  for (int round = 0; round < 3; ++round) {
    T()->Print(kTraceInfo, "\tPerforming waveInStop()", -1, -1);
    if (MMRESULT r = waveInStop(waveIn_)) {
      if (r == MMSYSERR_INVALHANDLE) T()->Print(kTraceError, "\twaveInStop() (error code = MMSYSERR_INVALHANDLE)", -1, -1);
      else if (r == MMSYSERR_NODRIVER) T()->Print(kTraceError, "\twaveInStop() (error code = MMSYSERR_NODRIVER)", -1, -1);
      else if (r == MMSYSERR_NOMEM) T()->Print(kTraceError, "\twaveInStop() (MMSYSERR_NOMEM error)", -1, -1);
      else T()->Print(kTraceError, "\twaveInStop() error: (result=%i)", static_cast<int>(r), -1);
      return -1;
    }
    T()->Print(kTraceInfo, "\tPerforming waveReset()", -1, -1);
    if (MMRESULT r = waveInReset(waveIn_)) {
      if (r == MMSYSERR_INVALHANDLE) T()->Print(kTraceError, "\twaveInReset() (error code = MMSYSERR_INVALHANDLE)", -1, -1);
      else if (r == MMSYSERR_NODRIVER) T()->Print(kTraceError, "\twaveInReset() (error code = MMSYSERR_NODRIVER)", -1, -1);
      else T()->Print(kTraceError, "\twaveInReset() (unknown error: %i)", static_cast<int>(r), -1);
      return -1;
    }
    for (int i = 0; i < kHeaders; ++i) {
      MMRESULT r = waveInUnprepareHeader(waveIn_, &recHeaders_[i], sizeof(WAVEHDR));
      if (r == WAVERR_STILLPLAYING)
        T()->Print(kTraceError, "   waveInUnprepareHeader() [%i] failed (error code = WAVERR_STILLPLAYING)", i, -1);
      else if (r != MMSYSERR_NOERROR)
        T()->Print(kTraceError, "   waveInUnprepareHeader() [%i] failed (error code = %i)", i, static_cast<int>(r));
    }
    T()->Print(kTraceInfo, "\tPerforming waveInClose()", -1, -1);
    MMRESULT r = waveInClose(waveIn_);
    if (r == MMSYSERR_NOERROR) {
      waveIn_ = nullptr;
      recordInit_ = false;
      return 0;
    }
    if (r == WAVERR_STILLPLAYING) {
      T()->Print(kTraceError, "\twaveInClose() (error code = WAVERR_STILLPLAYING)", -1, -1);
      continue;
    }
    if (r == MMSYSERR_INVALHANDLE) T()->Print(kTraceError, "\twaveInClose() (error code = MMSYSERR_INVALHANDLE)", -1, -1);
    else if (r == MMSYSERR_NODRIVER) T()->Print(kTraceError, "\twaveInClose() (error code = MMSYSERR_NODRIVER)", -1, -1);
    else T()->Print(kTraceError, "\twaveInClose() (unknown error: %i)", static_cast<int>(r), -1);
    return -1;
  }
  return -1;
}

int SndCardStream::RecordDelay() {
  if (!recordInit_) return 0;
  MMTIME t{};
  t.wType = TIME_SAMPLES;
  if (MMRESULT r = waveInGetPosition(waveIn_, &t, sizeof t)) {
    T()->Print(kTraceError, "waveInGetPosition failed (mmr=%d)", static_cast<int>(r), -1);
    return 0;
  }
  int64_t recorded = t.u.sample;
  int64_t taken = takenSamples_;
  int wraps = 0;
  bool below32 = false;
  if (taken - recorded >= kWrapGap) {
    // The card counts in fewer than 32 bits: the power of two that explains the gap is added to
    // the position, and taken from the taken total once that total has passed it.
    T()->Print(kTraceInfo, "WRAP 1 (recDifference =%d)", static_cast<int>(taken - recorded), -1);
    for (int bits = 31; bits >= 15 && !below32; --bits) {
      const int64_t wrap = int64_t{1} << bits;
      const int64_t pending = recorded + wrap - taken;
      if (pending >= 0 && pending < kWrapGap) {
        below32 = true;
        ++wraps;
        if (taken >= wrap) {
          taken -= wrap;
          takenSamples_ = static_cast<uint32_t>(taken);
        } else {
          recorded += wrap;
        }
      }
    }
  } else {
    T()->Print(kTraceStream, "AEC (rec_samples_old %d *recSamples %d)", static_cast<int>(lastRecorded_),
               static_cast<int>(recorded));
  }
  if (!below32 && wraps <= kMaxRecordWraps) {
    // A 32-bit wrap of the position, or of the taken total before it.
    if (recorded < static_cast<int64_t>(lastRecorded_)) {
      T()->Print(kTraceInfo, "WRAP 2 (rec_samples_old %d *recSamples %d)", static_cast<int>(lastRecorded_),
                 static_cast<int>(recorded));
      recorded += int64_t{1} << 32;
      ++wraps;
    } else if (taken > recorded) {
      T()->Print(kTraceInfo, "WRAP 3 (*readSamples %d *recSamples %d)", static_cast<int>(taken),
                 static_cast<int>(recorded));
      recorded += int64_t{1} << 32;
      ++wraps;
    }
  }
  lastRecorded_ = t.u.sample;
  const int64_t delay = (recorded - taken) / 48;
  if (delay > 2000 || delay < 0 || wraps > kMaxRecordWraps) {
    T()->Print(kTraceError, "msec_read error (res %d wrapCounter %d)", static_cast<int>(delay), wraps);
    MMTIME again{};
    again.wType = TIME_SAMPLES;
    if (waveInGetPosition(waveIn_, &again, sizeof again) == MMSYSERR_NOERROR) t = again;
    takenSamples_ = t.u.sample;
    recStartPosition_ = t.u.sample;
    lastRecorded_ = t.u.sample;
    return 20;
  }
  return static_cast<int>(delay);
}

int SndCardStream::RecordProc() {
  if (!recordInit_ || !recording_) return 0;
  if (recIndex_ >= kHeaders) recIndex_ = 0;
  WAVEHDR& h = recHeaders_[recIndex_];
  const DWORD bytes = h.dwBytesRecorded.load(std::memory_order_acquire);
  if (bytes == 0) return 0;
  bool full = true;
  if (bytes != kCardBlockBytes) {
    if (++shortBlocks_ < 5) return 0;
    T()->Print(kTraceWarning, "\t\tbytesRecorded=%d", static_cast<int>(bytes), -1);
    shortBlocks_ = 0;
    full = false;
    shortBlocksDropped_.fetch_add(1);
  } else {
    shortBlocks_ = 0;
  }
  int16_t block[kCardBlockSamples];
  const int samples = static_cast<int>((bytes > kCardBlockBytes ? kCardBlockBytes : bytes) / 2);
  std::memcpy(block, recBuffers_[recIndex_], sizeof(int16_t) * static_cast<size_t>(samples));
  takenSamples_ += static_cast<uint32_t>(samples);

  if (full && tx_) {
    // The echo reaches this block through the playout queue, the capture buffers and the capture
    // device's own latency.
    const int delay = msecleft() + RecordDelay() + static_cast<int>(plat::CaptureLatencyMs());
    const bool agc = tx_->AgcOn();
    // Gain control works on the mixer's own volume values (0..65535) in both directions.
    const int level = agc ? static_cast<int>(plat::GetMicVolume()) : 0;
    const int newLevel = tx_->recordMicrophone(block, kCardBlockSamples, delay, level);
    if (agc && newLevel != 0) plat::SetMicVolume(static_cast<DWORD>(newLevel));
  }

  // Hand back the header that lies the put-back delay behind.
  if (handedBack_ >= putBackDelay_) {
    const int back = (recIndex_ - putBackDelay_ + kHeaders) % kHeaders;
    WAVEHDR& b = recHeaders_[back];
    b.dwBytesRecorded = 0;
    MMRESULT r = waveInUnprepareHeader(waveIn_, &b, sizeof b);
    if (r == WAVERR_STILLPLAYING)
      T()->Print(kTraceError, "   waveInUnprepareHeader() [%i] failed (error code = WAVERR_STILLPLAYING)", back, -1);
    else if (r != MMSYSERR_NOERROR)
      T()->Print(kTraceError, "   waveInUnprepareHeader() [%i] failed (error code = %i)", back, static_cast<int>(r));
    if (MMRESULT p = waveInPrepareHeader(waveIn_, &b, sizeof b)) {
      T()->Print(kTraceError, "\twaveInPrepareHeader [%d] failed (result=%d)", back, static_cast<int>(p));
      return -1;
    }
    if (MMRESULT a = waveInAddBuffer(waveIn_, &b, sizeof b)) {
      if (a == WAVERR_UNPREPARED) T()->Print(kTraceError, "\twaveInAddBuffer [%d] (error code = WAVERR_UNPREPARED)", back, -1);
      else if (a == MMSYSERR_INVALHANDLE) T()->Print(kTraceError, "\twaveInAddBuffer [%d] (error code = MMSYSERR_INVALHANDLE)", back, -1);
      else if (a == MMSYSERR_NODRIVER) T()->Print(kTraceError, "\twaveInAddBuffer [%d] (error code = MMSYSERR_NODRIVER)", back, -1);
      else if (a == MMSYSERR_NOMEM) T()->Print(kTraceError, "\twaveInAddBuffer [%d] (error code = MMSYSERR_NOMEM)", back, -1);
      else T()->Print(kTraceError, "\twaveInAddBuffer [%d] (unknown error: %i)", back, static_cast<int>(a));
      if (putBackDelay_ < kMaxPutBackDelay) {
        ++putBackDelay_;
        T()->Print(kTraceWarning, "\twaveInAddBuffer failed (put-back-delay increased to %d)", putBackDelay_, -1);
      } else {
        RaiseRecordErrorFlag();
      }
    }
  }
  if (handedBack_ <= putBackDelay_) ++handedBack_;
  recIndex_ = (recIndex_ + 1) % kHeaders;
  return static_cast<int>(bytes);
}

// ---------------------------------------------------------------------------
// Playout
// ---------------------------------------------------------------------------

void SndCardStream::ResetPlayoutControl() {
  buffersize_ = 80;
  // The older NT family needed a larger floor; every system this runs on is of the newer kind.
  minBuffer_ = 25;
  waitCounter_ = 1700;
  underruns_ = 0;
  growingAllowed_ = true;
  playInterval_ = 10;
  playRate_ = 8000;
}

void SndCardStream::SetPlayoutControl(int buffersize, int minBuffer, int waitCounter) {
  buffersize_ = buffersize;
  minBuffer_ = minBuffer;
  waitCounter_ = waitCounter;
}

int SndCardStream::initPlayback() {
  TraceDeviceLine("\t out_device = %d WAVE_MAPPER = %d", outDevice_);
  const UINT id = outDevice_ < 0 ? WAVE_MAPPER : static_cast<UINT>(outDevice_);
  if (playbackInit_) stop_play();
  MMRESULT r = waveOutOpen(&waveOut_, id, &format_, 0, 0, CALLBACK_NULL);
  if (r != MMSYSERR_NOERROR) {
    T()->Print(kTraceError, "\twaveOutOpen() failed (result=%d)", static_cast<int>(r), -1);
    if (r != MMSYSERR_ALLOCATED) return -1;
    if (waveOut_) {
      if (MMRESULT e = waveOutReset(waveOut_)) T()->Print(kTraceError, "\twaveOutReset() failed (result=%d)", static_cast<int>(e), -1);
      if (MMRESULT e = waveOutClose(waveOut_)) T()->Print(kTraceError, "\twaveOutClose() failed (result=%d)", static_cast<int>(e), -1);
    }
    r = waveOutOpen(&waveOut_, id, &format_, 0, 0, CALLBACK_NULL);
    if (r != MMSYSERR_NOERROR) {
      T()->Print(kTraceError, " Second Try waveOutOpen() failed (result=%d)", static_cast<int>(r), -1);
      waveOut_ = nullptr;
      return -1;
    }
    T()->Print(kTraceInfo, " Second Try waveOutOpen sucessful", -1, -1);
  }
  playoutOpenMs_ = plat::NowMs();
  TraceDeviceLine("\twaveOutOpen() performed (out_device=%d)", outDevice_);
  for (int i = 0; i < kHeaders; ++i) {
    WAVEHDR& h = playHeaders_[i];
    h.lpData = reinterpret_cast<char*>(playBuffers_[i]);
    h.dwBufferLength = kCardBlockBytes;
    h.dwFlags = 0;
    h.dwLoops = 0;
    if (MMRESULT e = waveOutPrepareHeader(waveOut_, &h, sizeof h)) {
      T()->Print(kTraceError, "\twaveOutPrepareHeader() [%d] failed (mmr=%d)", i, static_cast<int>(e));
      waveOutClose(waveOut_);
      waveOut_ = nullptr;
      return -2;
    }
  }
  ResetPlayoutControl();
  T()->Print(kTraceInfo, "\tGetVersion() = %d", 0x0A000000, -1);
  T()->Print(kTraceInfo, "\tInitial playout status: buffersize=%d, minBuffer=%d", buffersize_, minBuffer_);
  writeIndex_ = 0;
  writtenSamples_ = 0;
  lastPlayed_ = 0;
  playbackInit_ = true;
  return 0;
}

int SndCardStream::start_play() {
  if (!playbackInit_) return -6;
  writeIndex_ = 0;
  primed_.reset();
  primeRequest_ = true;
  timerEvent_.set();  // no need to wait for the next tick
  if (!ThreadRunning() || primed_.wait(kPrimeWaitMs) != WAIT_OBJECT_0) {
    // No sound-card thread to answer: fail instead of waiting for ever.
    primeRequest_ = false;
    T()->Print(kTraceCritical, "\tstart_play(): the sound-card thread did not answer", -1, -1);
    return -7;
  }
  return 0;
}

int SndCardStream::stop_play() {
  if (!playbackInit_) return 0;
  playing_ = false;
  playbackInit_ = false;
  if (MMRESULT r = waveOutReset(waveOut_)) T()->Print(kTraceError, "\twaveOutReset() failed (mmr=%d)", static_cast<int>(r), -1);
  for (int i = 0; i < kHeaders; ++i) {
    MMRESULT r = waveOutUnprepareHeader(waveOut_, &playHeaders_[i], sizeof(WAVEHDR));
    if (r == WAVERR_STILLPLAYING) {
      T()->Print(kTraceError, "\twaveOutUnprepareHeader() failed (mmr=%d) (WaveHeader[%d]", static_cast<int>(r), i);
      T()->Print(kTraceError, "Try again waveOutUnprepareHeader()", -1, -1);
      waveOutReset(waveOut_);
      Sleep(30);
      if (MMRESULT s = waveOutUnprepareHeader(waveOut_, &playHeaders_[i], sizeof(WAVEHDR)))
        T()->Print(kTraceError, "\tSecond try waveOutUnprepareHeader() failed (mmr=%d)", static_cast<int>(s), -1);
    }
  }
  MMRESULT r = waveOutClose(waveOut_);
  if (r != MMSYSERR_NOERROR) {
    T()->Print(kTraceError, "\twaveOutClose() failed (mmr=%d)", static_cast<int>(r), -1);
    return -1;
  }
  waveOut_ = nullptr;
  T()->Print(kTraceInfo, " waveOutClose() performed", -1, -1);
  return 0;
}

int SndCardStream::WriteBlock(const int16_t* samples) {
  if (!playbackInit_) return 0;
  WAVEHDR& h = playHeaders_[writeIndex_];
  std::memcpy(playBuffers_[writeIndex_], samples, kCardBlockBytes);
  h.dwBufferLength = kCardBlockBytes;
  const MMRESULT r = waveOutWrite(waveOut_, &h, sizeof h);
  writeIndex_ = (writeIndex_ + 1) % kHeaders;
  if (r == MMSYSERR_NOERROR) {
    writtenSamples_ += kCardBlockSamples;
    return 0;
  }
  switch (r) {
    case MMSYSERR_INVALHANDLE: T()->Print(kTraceError, "\twaveOutWrite (error code = MMSYSERR_INVALHANDLE)", -1, -1); return -1;
    case MMSYSERR_NODRIVER: T()->Print(kTraceError, "\twaveOutWrite (error code = MMSYSERR_NODRIVER)", -1, -1); return -2;
    case MMSYSERR_NOMEM: T()->Print(kTraceError, "\twaveOutWrite (error code = MMSYSERR_NOMEM)", -1, -1); return -3;
    case WAVERR_UNPREPARED: T()->Print(kTraceError, "\twaveOutWrite (error code = WAVERR_UNPREPARED)", -1, -1); return -4;
    case WAVERR_STILLPLAYING: T()->Print(kTraceError, "\twaveOutWrite (error code = WAVERR_STILLPLAYING)", -1, -1); return -5;
    default: T()->Print(kTraceError, "\twaveOutWrite failed (unknown error: %i)", static_cast<int>(r), -1); return -6;
  }
}

int SndCardStream::msecleft() {
  if (!playing_ || !playbackInit_) return 0;
  MMTIME t{};
  t.wType = TIME_SAMPLES;
  if (waveOutGetPosition(waveOut_, &t, sizeof t) != MMSYSERR_NOERROR) return 0;
  const uint32_t played = t.u.sample;
  uint32_t queued = writtenSamples_ - played;
  bool below32 = false;
  if (queued >= kWrapGap) {
    // Far more written than played: the card counts in fewer than 32 bits. The power of two that
    // brings the written total just ahead of the position is the card's wrap.
    for (int bits = 31; bits >= 15 && !below32; --bits) {
      const uint32_t wrap = 1u << bits;
      if (writtenSamples_ < wrap) continue;
      const uint32_t behind = writtenSamples_ - wrap;
      if (behind >= played && behind - played < kWrapGap) {
        T()->Print(kTraceInfo, "\tmsecleft() (wrap around occured: %d bits used by sound card)", bits, -1);
        writtenSamples_ = behind;
        queued = behind - played;
        below32 = true;
      }
    }
  }
  if (!below32 && played < lastPlayed_) {
    // A 32-bit wrap: the totals are compared modulo 2^32, so only the trace is left to do.
    T()->Print(kTraceInfo,
               writtenSamples_ <= kWrapLimit ? "\tmsecleft() (wrap around occured after having used all 32 bits)"
                                             : "\tmsecleft() (wrap around occured: correction of output is done)",
               -1, -1);
  }
  lastPlayed_ = played;
  // A position ahead of what was written means nothing is queued.
  if (queued > 0x80000000u) return 0;
  return static_cast<int>(queued / 48u);
}

int SndCardStream::PlayProc() {
  playSteps_.fetch_add(1);
  const int left = msecleft();
  ++waitCounter_;
  if (left < buffersize_ + 9) {
    playInterval_ = 5;
    if (left > 0 && left >= minBuffer_) {
      underruns_ = 0;
      if (left >= buffersize_ - 9) playInterval_ = 10;
    }
    if (left > 0 && left < minBuffer_ && waitCounter_ > 30) {
      buffersize_ += 10;
      if (!growingAllowed_) waitCounter_ = 0;
      T()->Print(kTraceInfo, "\tPlayout status: er<minBuffer, buffersize=%d, minBuffer=%d", buffersize_, minBuffer_);
    }
    if (left == 0 && waitCounter_ > 30) {
      underrunsTotal_.fetch_add(1);
      ++underruns_;
      if (underruns_ == 2) {
        buffersize_ += 15;
        minBuffer_ += 20;
        waitCounter_ = 50;
      } else if (underruns_ == 3) {
        underruns_ = 0;
        buffersize_ += 30;
        minBuffer_ += 25;
        waitCounter_ = 0;
      } else {
        buffersize_ += 15;
        minBuffer_ += 10;
        waitCounter_ = 50;
      }
      T()->Print(kTraceInfo, "\tPlayout status: er=0, buffersize=%d, minBuffer=%d", buffersize_, minBuffer_);
    }
    int16_t block[kCardBlockSamples];
    int rate = playRate_;
    const int n = mixer_ ? mixer_->Mix(block, &rate) : (std::memset(block, 0, sizeof block), kCardBlockSamples);
    if (n < 0) return -1;
    playRate_ = rate;
    const int w = WriteBlock(block);
    if (w != 0) {
      T()->Print(kTraceError, "\twaveOutWrite() failed", -1, -1);
      return w;
    }
  }
  if (left > buffersize_ + 9) {
    underruns_ = 0;
    playInterval_ = 2;
  }
  if (waitCounter_ > 2000) {
    buffersize_ -= 1;
    growingAllowed_ = false;
    waitCounter_ -= 10;
    T()->Print(kTraceInfo, "\tPlayout status: waitCounter>2000, buffersize=%d, minBuffer=%d", buffersize_, minBuffer_);
  }
  if (buffersize_ > 150) {
    buffersize_ = 150;
    T()->Print(kTraceInfo, "\tPlayout status: buffersize>150, buffersize=%d, minBuffer=%d", buffersize_, minBuffer_);
  }
  if (minBuffer_ >= 66) {
    minBuffer_ = 65;
    T()->Print(kTraceInfo, "\tPlayout status: minBuffer>65, buffersize=%d, minBuffer=%d", buffersize_, minBuffer_);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Thread
// ---------------------------------------------------------------------------

void SndCardStream::Prepare() {
  if (prepared_) return;
  T()->Print(kTraceInfo, "\tInitialization of speaker control", -1, -1);
  if (waveOutGetNumDevs() == 0) T()->Print(kTraceWarning, "\tinitiateSpeaker failed (waveOutGetNumDevs() = %d)", 0, -1);
  else T()->Print(kTraceInfo, "\t\t%d mixers will be controlled (total %d)", 1, static_cast<int>(plat::MixerCount()));
  T()->Print(kTraceInfo, "\tInitialization of mic control", -1, -1);
  if (plat::MixerCount() == 0) T()->Print(kTraceWarning, "\tmixerGetNumDevs() (no mixers present)", -1, -1);
  prepared_ = true;
}

bool SndCardStream::StartThread() {
  if (ThreadRunning()) return true;
  if (thread_.joinable()) thread_.join();
  thread_ = plat::Thread();
  stop_ = false;
  timerEvent_.reset();
  if (!thread_.start("ve_soundcard", [this] { ThreadProc(); })) {
    T()->Print(kTraceCritical, "\tCreateThread() (error code = %d)", static_cast<int>(::GetLastError()), -1);
    return false;
  }
  return true;
}

void SndCardStream::shutDown() {
  stop_ = true;
  timerEvent_.set();
  if (thread_.joinable()) {
    if (thread_.id() == GetCurrentThreadId())
      thread_.detach();
    else
      thread_.join();
  }
  thread_ = plat::Thread();
  // A timer restarted by a step run without the thread must not outlive the stream either.
  if (timerId_) plat::KillTimer(timerId_);
  timerId_ = 0;
}

void SndCardStream::RaiseSlowFlag() {
  soundCardSlow_.store(true);
  if (plat::Event* e = notice_.load()) e->set();
}

void SndCardStream::RaiseRecordErrorFlag() {
  recordError_.store(true);
  if (plat::Event* e = notice_.load()) e->set();
}

void SndCardStream::Prime() {
  int16_t silence[kCardBlockSamples] = {};
  for (int i = 0; i < 3; ++i) {
    if (WriteBlock(silence) != 0) T()->Print(kTraceError, "\twaveOutWrite() failed", -1, -1);
  }
  primeRequest_ = false;
  // The time of the last playout step stays as it was: the priming wake itself runs the first steps
  // (two, the last step being long past), so playout starts with 50 ms queued.
  playing_ = true;
  primed_.set();
}

void SndCardStream::Wake() {
  if (primeRequest_) Prime();
  if (stop_) return;
  if (!recording_ && !playing_) {
    lastWake_ = timeGetTime();
    recordBytesStart_ = lastWake_;
    return;
  }
  const uint32_t now = timeGetTime();
  if (now - lastWake_ >= kLateWakeMs) {
    if (++lateWakes_ == 6) {
      T()->Print(kTraceTimer, "\tRestarting timerID", -1, -1);
      if (timerId_) plat::KillTimer(timerId_);
      timerId_ = plat::StartEventTimer(2, true, &timerEvent_);
      lateWakes_ = -10;
      timerRestarts_.fetch_add(1);
    }
  } else {
    lateWakes_ = 0;
  }
  lastWake_ = now;

  if (playing_) {
    const uint32_t elapsed = now - lastPlay_;
    if (static_cast<int>(elapsed) > playInterval_ - 1) {
      lock_.lock();
      if (PlayProc() != 0) T()->Print(kTraceError, "\tPlayProc() failed", -1, -1);
      if (playing_ && elapsed >= 13) {
        if (PlayProc() != 0) T()->Print(kTraceError, "\tPlayProc() failed", -1, -1);
      }
      lock_.unlock();
      lastPlay_ = now;
    }
  }
  if (recording_) {
    if (recordRestarted_.exchange(false)) {
      // The start time follows the clock while nothing records (the idle thread did not run); the byte
      // total carries over.
      recordBytesStart_ = now;
      lastRecord_ = now - 5;
    }
    if (now - lastRecord_ > 4) {
      lock_.lock();
      const int n = RecordProc();
      lock_.unlock();
      if (n < 0)
        T()->Print(kTraceError, "\tRecordProc() error", -1, -1);
      else
        recordBytes_ += static_cast<uint32_t>(n);
      lastRecord_ = now;
      if (recordBytes_ > 480000u) {
        if (now - recordBytesStart_ > 5700u) RaiseSlowFlag();
        recordBytes_ = 0;
        recordBytesStart_ = now;
      }
    }
  } else {
    recordBytesStart_ = now;
  }
}

void SndCardStream::ThreadProc() {
  plat::SetCurrentThreadPriority(THREAD_PRIORITY_TIME_CRITICAL);
  lastWake_ = timeGetTime();
  recordBytesStart_ = lastWake_;
  for (;;) {
    // The 2-ms timer runs only while there is something to do; an idle engine sleeps until
    // capture or playout starts (both wake the thread).
    const bool active = recording_ || playing_ || primeRequest_;
    if (active && !timerId_) {
      timerId_ = plat::StartEventTimer(2, true, &timerEvent_);
      if (!timerId_) T()->Print(kTraceCritical, "\ttimeSetEvent() failed", -1, -1);
      lastWake_ = timeGetTime();
    } else if (!active && timerId_) {
      plat::KillTimer(timerId_);
      timerId_ = 0;
    }
    timerEvent_.wait(INFINITE);
    if (primeRequest_) Prime();
    if (stop_) break;
    Wake();
  }
  if (timerId_) plat::KillTimer(timerId_);
  timerId_ = 0;
}

// ---------------------------------------------------------------------------
// Volumes
// ---------------------------------------------------------------------------

int SndCardStream::SetSpeakerVolume(int level) {
  if (level < 0 || level > 255) return -1;
  plat::SetSpeakerVolume(static_cast<DWORD>(level * kSpeakerStep));
  return 0;
}

int SndCardStream::GetSpeakerVolume() const { return static_cast<int>(plat::GetSpeakerVolume() / kSpeakerStep); }

int SndCardStream::setMicLevel(int level) {
  if (plat::MixerCount() == 0) {
    T()->Print(kTraceError, "\tsetMicLevel() (sound card not found)", -1, -1);
    return -1;
  }
  if (level < 0) level = 0;
  if (level > 255) level = 255;
  plat::SetMicVolume(static_cast<DWORD>(level * 256));
  return 0;
}

int SndCardStream::getMicLevel() const {
  if (plat::MixerCount() == 0) {
    T()->Print(kTraceError, "\tgetMicLevel() (sound card not found)", -1, -1);
    return -1;
  }
  return static_cast<int>(plat::GetMicVolume() / 256);
}
