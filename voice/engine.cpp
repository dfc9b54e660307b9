// The voice engine's API object: codec table and lists, start and stop, settings, files, and the notification thread.
#include "voice/engine.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "platform/net.h"
#include "platform/random.h"
#include "voice/codec_set.h"
#include "voice/trace.h"

namespace {

TraceSink* T() { return EngineTrace(); }

class DefaultObserver : public SonraVE_Observer {
 public:
  void error_handler(int) override {}
};

struct CodecRowDef {
  int kind;
  const char* name;
  int pltype;
  int freq;
  int pacsize;
  int rate;
  int sizes[kSonraMaxPacketSizes];
  int sizeCount;
};

// The full codec table in table order; a codec joins the engine's table once it is present.
const CodecRowDef kCodecRows[] = {
    {kCodecPcmu, "PCMU", 0, 8000, 160, 64000, {80, 160, 240, 320, 400, 480}, 6},
    {kCodecPcma, "PCMA", 8, 8000, 160, 64000, {80, 160, 240, 320, 400, 480}, 6},
    {kCodecOstrelWb, "OSTRELWB", 97, 16000, 320, 80000, {160, 320, 480, 640}, 4},
    {kCodecIlbc, "iLBC", 102, 8000, 240, 13300, {160, 240, 320, 480}, 4},
    {kCodecOstrel711U, "OSTREL711U", 100, 8000, 160, 64000, {80, 160, 240, 320}, 4},
    {kCodecOstrel711A, "OSTREL711A", 101, 8000, 160, 64000, {80, 160, 240, 320}, 4},
    {kCodecQuill, "QUILL", 103, 16000, 480, 20000, {480}, 1},
    {kCodecTelephoneEvent, "telephone-event", 106, 8000, 1600, 0, {1600}, 1},
    {kCodecCn, "CN", 107, 8000, 1, 0, {160}, 1},
};

// Preference lists by network status, by codec kind.
const int kPreference[kSonraNetworkStatusCount][9] = {
    {kCodecOstrelWb, kCodecQuill, kCodecOstrel711U, kCodecOstrel711A, kCodecPcmu, kCodecPcma, kCodecIlbc,
     kCodecTelephoneEvent, kCodecCn},
    {kCodecOstrelWb, kCodecQuill, kCodecOstrel711U, kCodecOstrel711A, kCodecPcmu, kCodecPcma, kCodecIlbc,
     kCodecTelephoneEvent, kCodecCn},
    {kCodecQuill, kCodecOstrelWb, kCodecOstrel711U, kCodecOstrel711A, kCodecPcmu, kCodecPcma, kCodecIlbc,
     kCodecTelephoneEvent, kCodecCn},
    {kCodecQuill, kCodecIlbc, kCodecTelephoneEvent, kCodecCn, -1, -1, -1, -1, -1},
};

}  // namespace

SonraVE* GetVEobj() {
  // Built on first use and destroyed at exit (its destructor stops the engine first).
  static SonraVE VEobj;
  return &VEobj;
}

SonraVE::SonraVE() : defaultObserver_(new DefaultObserver), observer_(defaultObserver_) {
  Sonra_RegisterBuiltInComponents();
  BuildCodecTable();
  for (int c = 0; c < kSonraMaxChannels; ++c) {
    sendCodec_[c] = Codecinst{0, "pcmu", 8000, 160, 1, 64000};
    recPort_[c] = sendPort_[c] = srcPort_[c] = 0;
    qosType_[c] = -1;
    dtmfPt_[c] = recPt_[KindIndex(kCodecTelephoneEvent)][c];
    tx_.Transmitter(c).setCNPayloadType(recPt_[KindIndex(kCodecCn)][c]);
  }
  EngineTraceManager().SetMode(kTraceModeNone);
  EngineTraceManager().SetScramble(1);
  EngineTraceManager().SetLevelMask(kTraceDefaultMask);
  snd_.SetTX(&tx_);
  snd_.SetMixer(&mixer_);
  snd_.SetNoticeEvent(&notificationWake_);
  mixer_.SetTX(&tx_);
  mixer_.SetAecPc(&aec_);
  tx_.SetAecPc(&aec_);
  tx_.SetEchoStatus(0);
}

SonraVE::~SonraVE() {
  SonraVE_Terminate();
  if (notification_.joinable()) notification_.join();
  snd_.shutDown();
  snd_.SetNoticeEvent(nullptr);
  if (aes_) AesFix_Free(aes_);
  aes_ = nullptr;
  delete defaultObserver_;
}

void SonraVE::BuildCodecTable() {
  for (int& k : kindIndex_) k = -1;
  codecCount_ = 0;
  for (const CodecRowDef& row : kCodecRows) {
    if (!Sonra_CodecPresent(row.kind) || codecCount_ >= kSonraMaxCodecs) continue;
    Codecinst& c = codecs_[codecCount_];
    c = Codecinst{};
    c.pltype = row.pltype;
    std::snprintf(c.plname, sizeof c.plname, "%s", row.name);
    c.plfreq = row.freq;
    c.pacsize = row.pacsize;
    c.channels = 1;
    c.rate = row.rate;
    packetSizeCount_[codecCount_] = row.sizeCount;
    for (int i = 0; i < row.sizeCount; ++i) packetSizes_[codecCount_][i] = row.sizes[i];
    for (int ch = 0; ch < kSonraMaxChannels; ++ch) recPt_[codecCount_][ch] = static_cast<int16_t>(row.pltype);
    kindIndex_[row.kind] = codecCount_;
    ++codecCount_;
  }
  for (int s = 0; s < kSonraNetworkStatusCount; ++s) {
    listCount_[s] = 0;
    for (int& v : lists_[s]) v = -1;
    for (int kind : kPreference[s]) {
      if (kind < 0 || kindIndex_[kind] < 0) continue;
      lists_[s][listCount_[s]++] = kindIndex_[kind];
    }
  }
}

// ---------------------------------------------------------------------------
// Trace and errors
// ---------------------------------------------------------------------------

void SonraVE::ApiLine(const char* name, const char* args, int a, int b, const char* infoArgs) {
  if (EngineTraceManager().GetMode() != kTraceModeFile) return;
  const std::string call = std::string("VEobj.") + name + "(" + args + ");";
  T()->Print(kTraceApiCall, call.c_str(), a, b);
  const std::string info = std::string(name) + "(" + (infoArgs ? infoArgs : args) + ")";
  T()->Print(kTraceInfo, info.c_str(), a, b);
}

void SonraVE::ApiLine3(const char* name, int a, int b, int c) {
  if (EngineTraceManager().GetMode() != kTraceModeFile) return;
  char args[48];
  std::snprintf(args, sizeof args, "%d, %d, %d", a, b, c);
  ApiLine(name, args);
}

void SonraVE::SettleFileRecording() {
  if (!fileRecording_ || tx_.RecordingMic()) return;
  if (recordFile_) recordFile_->Close();
  recordFile_.reset();
  fileRecording_ = false;
}

int SonraVE::Fail(int code) {
  lastError_ = code;
  return -1;
}

int SonraVE::Warn(int code) {
  lastError_ = code;
  return 0;
}

bool SonraVE::CheckChannel(int channel, bool mustBeCreated) {
  if (channel < 0 || channel >= kSonraMaxChannels) {
    T()->Print(kTraceError, "Channel not valid (channel = %d)", channel, -1);
    lastError_ = VE_CHANNEL_NOT_VALID;
    return false;
  }
  if (mustBeCreated && !created_[channel]) {
    T()->Print(kTraceError, "Channel not created (channel = %d)", channel, -1);
    lastError_ = VE_CHANNEL_NOT_VALID;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Start and stop
// ---------------------------------------------------------------------------

int SonraVE::SonraVE_Init() {
  ApiLine("SonraVE_Init", "");
  plat::srand15(static_cast<uint32_t>(plat::NowMs()) ^ (static_cast<uint32_t>(getpid()) << 16));
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  {
    std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
    if (aec_.Init(8000, tx_.EchoOption()) != 0) {
      T()->Print(kTraceWarning, "\tInitialization of AEC failed (warning code = %d)", VE_AEC_INIT, -1);
      Warn(VE_AEC_INIT);
    }
    if (!aes_ && AesFix_Create(&aes_) != 0) aes_ = nullptr;
    tx_.SetAesFix(aes_);
    mixer_.SetAesFix(aes_);
    if (!aes_ || AesFix_Init(aes_, 100, 0, 0) == -1) {
      T()->Print(kTraceWarning, "\tInitialization of AES failed (warning code = %d)", VE_AES_INIT, -1);
      Warn(VE_AES_INIT);
    }
    playingCount_ = 0;
    // The devices are checked here and released again: the engine holds them only while a
    // channel sends or plays, so call control's record-device check finds the microphone free.
    bool captureOpen = snd_.RecordInitialised();
    if (!captureOpen) {
      if (snd_.initRecord() != 0) {
        T()->Print(kTraceWarning, "\tCannot access microphone (warning code = %d)", VE_MIC_OPEN, -1);
        Warn(VE_MIC_OPEN);
      } else {
        snd_.stop_recording();
      }
    }
    snd_.Prepare();
    if (!snd_.PlaybackInitialised()) {
      if (snd_.initPlayback() != 0) {
        T()->Print(kTraceWarning, "\tCannot access speaker (warning code = %d)", VE_SPEAKER_OPEN, -1);
        Warn(VE_SPEAKER_OPEN);
      } else {
        snd_.stop_play();
      }
    }
    tx_.SetAgcStatus(1);
    if (!initialised_ && plat::WSAStartup(0x0202, nullptr) != 0) {
      snd_.stop_play();
      snd_.stop_recording();
      return Fail(VE_WINSOCK);
    }
    nextDynamicPt_ = 120;
    mixer_.Reset();
    tx_.Reset();
    for (int& t : tos_) t = 0;
    initialised_ = true;
  }
  // The sound-card thread is started on every initialisation, so playout never waits for a
  // thread that does not exist.
  snd_.StartThread();
  if (notification_.joinable()) {
    // Initialised again while running: the running notification thread gives way to a new one.
    stopNotification_ = true;
    notificationWake_.set();
    notification_.join();
  }
  notification_ = plat::Thread();
  stopNotification_ = false;
  notificationWake_.reset();
  if (!notification_.start("ve_notify", [this] {
        plat::SetCurrentThreadPriority(THREAD_PRIORITY_BELOW_NORMAL);
        NotificationThread();
      })) {
    T()->Print(kTraceCritical, "\tCreateThread() (error code = %d)", static_cast<int>(::GetLastError()), -1);
  }
  return 0;
}

int SonraVE::SonraVE_Terminate() {
  ApiLine("SonraVE_Terminate", "");
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  if (!initialised_) return 0;
  playoutRunning_ = false;
  {
    std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
    for (int c = 0; c < kSonraMaxChannels; ++c) mixer_.StopPlaying(c);
    snd_.stop_play();
    snd_.stop_recording();
  }
  for (int c = 0; c < kSonraMaxChannels; ++c)
    if (created_[c]) SonraVE_DeleteChannel(c);
  {
    std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
    plat::WSACleanup();
    initialised_ = false;
    playingCount_ = 0;
  }
  // Both engine threads are stopped and waited for, so a following Init starts them afresh.
  stopNotification_ = true;
  notificationWake_.set();
  if (notification_.joinable()) notification_.join();
  snd_.shutDown();
  return 0;
}

void SonraVE::NotificationThread() {
  // The flags are looked at 500 ms after the previous look, as by a loop that sleeps 500 ms between
  // looks; while no flag is up there is nothing to look at, so the thread sleeps until one is raised.
  constexpr uint64_t kBeatMs = 500;
  uint64_t lastLook = plat::NowMs();
  for (;;) {
    while (!stopNotification_ && !snd_.FlagRaised()) notificationWake_.wait(INFINITE);
    uint64_t now = plat::NowMs();
    if (now < lastLook) lastLook = now;  // another clock took over (tests)
    const uint64_t due = lastLook + ((now - lastLook) / kBeatMs + 1) * kBeatMs;
    while (!stopNotification_ && (now = plat::NowMs()) < due) notificationWake_.wait(static_cast<DWORD>(due - now));
    if (stopNotification_) return;
    // One look takes both flags before reporting, so a flag raised while the observer runs waits for
    // the next beat instead of joining this look.
    const bool slow = snd_.TakeSlowFlag();
    const bool recordError = snd_.TakeRecordErrorFlag();
    lastLook = plat::NowMs();
    SonraVE_Observer* o = observer_.load();
    if (slow && o) o->error_handler(VE_SLOW_SOUND_CARD);
    if (recordError && o) o->error_handler(VE_RECORD_ERROR);
  }
}

bool SonraVE::NotificationThreadRunning() const { return notification_.joinable() && !notification_.finished(); }

int SonraVE::SetObserver(SonraVE_Observer* observer) {
  if (EngineTraceManager().GetMode() == kTraceModeFile) {
    // This call line has always closed with "];", and trace readers match it so.
    T()->Print(kTraceApiCall, "VEobj.SetObserver(?];", -1, -1);
    T()->Print(kTraceInfo, "SetObserver(?)", -1, -1);
  }
  if (!observer) return -1;
  observer_ = observer;
  return 0;
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

int SonraVE::SonraVE_SetNetworkStatus(int status) {
  ApiLine("SonraVE_SetNetworkStatus", "%d", status);
  if (status < 0 || status >= kSonraNetworkStatusCount) return Fail(VE_INVALID_VALUE);
  networkStatus_ = status;
  return 0;
}

int SonraVE::SonraVE_GetNetworkStatus() {
  ApiLine("SonraVE_GetNetworkStatus", "");
  return networkStatus_;
}

int SonraVE::SonraVE_SetVADStatus(int mode) {
  ApiLine("SonraVE_SetVADStatus", "%d", mode);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  vadStatus_ = static_cast<int16_t>(mode);
  for (int c = 0; c < kSonraMaxChannels; ++c) tx_.Transmitter(c).setVAD(mode != 0);
  return 0;
}

int SonraVE::SonraVE_GetVADStatus() {
  ApiLine("SonraVE_GetVADStatus", "");
  return vadStatus_;
}

int SonraVE::SonraVE_SetECStatus(int mode) {
  ApiLine("SonraVE_SetECStatus", "%d", mode);
  if (mode < 0 || mode > 2) return Fail(VE_INVALID_VALUE);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  tx_.SetEchoStatus(mode);
  return 0;
}

int SonraVE::SonraVE_GetECStatus() {
  ApiLine("SonraVE_GetECStatus", "");
  return tx_.EchoOption() ? 2 : tx_.EchoStatus();
}

int SonraVE::SonraVE_GetECActivity() {
  ApiLine("SonraVE_GetECActivity", "");
  return tx_.EchoActivity();
}

int SonraVE::SonraVE_SetECType(int type) {
  ApiLine("SonraVE_SetECType", "%d", type);
  if (type != 0 && type != 1) return Fail(VE_INVALID_VALUE);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  tx_.SetEchoType(type);
  return 0;
}

int SonraVE::SonraVE_GetECType() {
  ApiLine("SonraVE_GetECType", "");
  return tx_.EchoType();
}

int SonraVE::SonraVE_SetAGCStatus(int mode) {
  ApiLine("SonraVE_SetAGCStatus", "%d", mode);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  tx_.SetAgcStatus(mode);
  return 0;
}

int SonraVE::SonraVE_GetAGCStatus() {
  ApiLine("SonraVE_GetAGCStatus", "");
  return tx_.AgcStatus();
}

int SonraVE::SonraVE_SetDTMFFeedbackStatus(int mode) {
  ApiLine("SonraVE_SetDTMFFeedbackStatus", "%d", mode);
  if (mode != 0 && mode != 1) return Fail(VE_INVALID_VALUE);
  dtmfFeedback_ = static_cast<int16_t>(mode);
  return 0;
}

int SonraVE::SonraVE_GetDTMFFeedbackStatus() {
  ApiLine("SonraVE_GetDTMFFeedbackStatus", "");
  return dtmfFeedback_;
}

int SonraVE::SonraVE_GetNoOfChannels() {
  ApiLine("SonraVE_GetNoOfChannels", "");
  return kSonraMaxChannels;
}

int SonraVE::SonraVE_GetInputLevel() {
  ApiLine("SonraVE_GetInputLevel", "");
  return tx_.InputLevel();
}

int SonraVE::SonraVE_GetOutputLevel() {
  ApiLine("SonraVE_GetOutputLevel", "");
  return mixer_.OutputLevel();
}

int SonraVE::SonraVE_GetLastError() {
  ApiLine("SonraVE_GetLastError", "");
  return lastError_;
}

int SonraVE::SonraVE_SetTrace(int mode) {
  ApiLine("SonraVE_SetTrace", "%d", mode);
  if (mode == 0) {
    T()->Print(kTraceInfo, "SonraVE_SetTrace() (mode = %d)", mode, -1);
    EngineTraceManager().SetMode(kTraceModeNone);
    return 0;
  }
  if (mode == 2) {
    EngineTraceManager().SetMode(kTraceModeFile);
    T()->Print(kTraceInfo, "SonraVE_SetTrace() (mode = %d)", mode, -1);
    return 0;
  }
  return Fail(VE_INVALID_VALUE);
}

int SonraVE::SonraVE_GetVersion(char* version, int length) {
  ApiLine("SonraVE_GetVersion", "?, buflen");
  char list[2048];
  char aec[64] = {};
  const int n = Sonra_ComponentVersionList(list, sizeof list);
  if (!version || n < 0 || aec_.Version(aec, sizeof aec) != 0) return Fail(VE_VERSION_BUFFER);
  // The jitter buffer's line, the echo canceller's, then the other components.
  const std::string all(list, static_cast<size_t>(n));
  const size_t jitterLine = all.find('\n') + 1;
  const std::string text =
      "Tonebox\t1.1.8\n" + all.substr(0, jitterLine) + aec + "\n" + all.substr(jitterLine);
  if (static_cast<int>(text.size()) + 1 > length) return Fail(VE_VERSION_BUFFER);
  std::memcpy(version, text.c_str(), text.size() + 1);
  return 0;
}

// ---------------------------------------------------------------------------
// Codecs
// ---------------------------------------------------------------------------

int SonraVE::SonraVE_GetNofCodecs() {
  ApiLine("SonraVE_GetNofCodecs", "");
  return listCount_[networkStatus_];
}

int SonraVE::SonraVE_GetCodec(short listNumber, Codecinst& codec) {
  ApiLine("SonraVE_GetCodec", "%d, ?", listNumber);
  const int s = networkStatus_;
  if (listNumber < 0 || listNumber >= listCount_[s]) return Fail(VE_NO_CODEC);
  codec = codecs_[lists_[s][listNumber]];
  return 0;
}

int SonraVE::FindInCurrentList(const char* name) const {
  const int s = networkStatus_;
  for (int i = 0; i < listCount_[s]; ++i)
    if (strcasecmp(codecs_[lists_[s][i]].plname, name) == 0) return lists_[s][i];
  return -1;
}

int SonraVE::SonraVE_SetSendCodec(int channel, const Codecinst& codec) {
  ApiLine("SonraVE_SetSendCodec", "%d, ?", channel);
  if (EngineTraceManager().GetMode() == kTraceModeFile) {
    const std::string line = "\tcodec = " + TraceLiteral(codec.plname, sizeof codec.plname);
    T()->Print(kTraceInfo, line.c_str(), -1, -1);
  }
  if (!CheckChannel(channel)) return -1;
  if (codec.channels != 1) return Fail(VE_CODEC_CHANNELS);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  char name[32];
  std::snprintf(name, sizeof name, "%.*s", 31, codec.plname);
  if (strcasecmp(name, "cn") == 0 || strcasecmp(name, "telephone-event") == 0) return Fail(VE_CODEC_NAME);
  const int index = FindInCurrentList(name);
  if (index < 0) return Fail(VE_CODEC_NAME);
  const Codecinst& known = codecs_[index];
  if (codec.plfreq != known.plfreq) return Fail(VE_CODEC_FREQUENCY);
  if (packetSizeCount_[index] > 0) {
    bool allowed = false;
    for (int i = 0; i < packetSizeCount_[index]; ++i) allowed = allowed || packetSizes_[index][i] == codec.pacsize;
    if (!allowed) return Fail(VE_PACKET_SIZE);
  }
  if (codec.pacsize < 1) return Fail(VE_PACKET_SIZE);
  if (codec.pltype != known.pltype && (codec.pltype < 96 || codec.pltype > 127)) return Fail(VE_PAYLOAD_TYPE);

  Codecinst& current = sendCodec_[channel];
  const bool newName = strcasecmp(current.plname, name) != 0;
  const bool newCodec = newName || current.pacsize != codec.pacsize;
  current.pacsize = codec.pacsize;
  current.plfreq = codec.plfreq;
  std::snprintf(current.plname, sizeof current.plname, "%s", name);
  current.pltype = codec.pltype;
  current.rate = known.rate;
  current.channels = 1;
  if (sending_[channel]) {
    const bool narrow = codec.plfreq == 8000;
    mixer_.SetNarrowband(narrow);
    const int rate = (narrow && mixer_.MultiRate() && mixer_.PlayingCount() < 2) ? 8000 : 16000;
    tx_.SetWorkingRate(rate);
    aec_.Init(rate, tx_.EchoOption());
    if (aes_) AesFix_Init(aes_, 100, 0, 0);
    tx_.Transmitter(channel).setCoder(current.plname, current.pltype, current.plfreq, current.pacsize, newCodec);
  }
  return 0;
}

int SonraVE::SonraVE_GetCurrentSendCodec(int channel, Codecinst& codec) {
  ApiLine("SonraVE_GetCurrentSendCodec", "%d, ?", channel);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  codec = sendCodec_[channel];
  return 0;
}

// ---------------------------------------------------------------------------
// Volumes and devices
// ---------------------------------------------------------------------------

int SonraVE::SonraVE_SetSpeakerVolume(int level) {
  ApiLine("SonraVE_SetSpeakerVolume", "%d", level);
  if (snd_.SetSpeakerVolume(level) != 0) return Fail(VE_SPEAKER_VOLUME);
  return 0;
}

int SonraVE::SonraVE_GetSpeakerVolume() {
  ApiLine("SonraVE_GetSpeakerVolume", "");
  const int v = snd_.GetSpeakerVolume();
  if (v < 0) return Fail(VE_SPEAKER_VOLUME_READ);
  return v;
}

int SonraVE::SonraVE_SetMicVolume(int level) {
  ApiLine("SonraVE_SetMicVolume", "%d", level);
  if (snd_.setMicLevel(level) != 0) return Fail(VE_MIC_VOLUME);
  return 0;
}

int SonraVE::SonraVE_GetMicVolume() {
  ApiLine("SonraVE_GetMicVolume", "");
  return snd_.getMicLevel();
}

int SonraVE::SonraVE_SetSoundDevices(int waveInDevice, int waveOutDevice) {
  ApiLine("SonraVE_SetSoundDevices", "%d, %d", waveInDevice, waveOutDevice);
  if (playoutRunning_) return Fail(VE_PLAYOUT_RUNNING);
  if (snd_.Recording()) return Fail(VE_SENDING);
  snd_.SetDevices(waveInDevice, waveOutDevice);
  return 0;
}

int SonraVE::SonraVE_CheckIfAudioIsAvailable(int checkPlayout, int checkCapture) {
  ApiLine("SonraVE_CheckIfAudioIsAvailable", "%d, %d", checkPlayout, checkCapture);
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  if (checkPlayout) {
    if (playoutRunning_ || snd_.PlaybackInitialised()) return Fail(VE_PLAYOUT_RUNNING);
    std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
    const int r = snd_.initPlayback();
    if (r == -1) return Fail(VE_PLAYOUT_OPEN);
    if (r == -2) return Fail(VE_PLAYOUT_TEST_2);
    if (r != 0) return Fail(VE_PLAYOUT_TEST);
    snd_.stop_play();
  }
  if (checkCapture && !snd_.RecordInitialised()) {
    std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
    if (snd_.initRecord() != 0) return Fail(VE_CAPTURE_OPEN);
    snd_.stop_recording();
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Encryption hook
// ---------------------------------------------------------------------------

int SonraVE::SonraVE_InitEncryption(SonraVE_Encryption* encryption) {
  ApiLine("SonraVE_InitEncryption", "?");
  encryptionPrepared_ = true;
  encryption_ = encryption;
  return 0;
}

int SonraVE::SonraVE_EnableEncryption(int channel) {
  ApiLine("SonraVE_EnableEncryption", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  if (!encryptionPrepared_ || !encryption_) return Fail(VE_ENCRYPTION);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  senders_[channel].setEncryptionHook(encryption_, true);
  rtpRecv_[channel].SetDecryptionHook(encryption_, true);
  return 0;
}

int SonraVE::SonraVE_DisableEncryption(int channel) {
  ApiLine("SonraVE_DisableEncryption", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  if (!encryptionPrepared_) return Fail(VE_ENCRYPTION);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  senders_[channel].setEncryptionHook(encryption_, false);
  rtpRecv_[channel].SetDecryptionHook(encryption_, false);
  return 0;
}

// ---------------------------------------------------------------------------
// Operations that are not supported and the spare ones
// ---------------------------------------------------------------------------

int SonraVE::SonraVE_StartPTTPlayout(int channel) {
  ApiLine("SonraVE_StartPTTPlayout", "%d", channel);
  EngineTraceManager().SetMode(kTraceModeNone);
  EngineTraceManager().SetScramble(0);
  return Fail(VE_NOT_SUPPORTED);
}

int SonraVE::SonraVE_GetPTTActivity(int channel) {
  ApiLine("SonraVE_GetPTTActivity", "%d", channel);
  return Fail(VE_NOT_SUPPORTED);
}

int SonraVE::SonraVE_GetPTTSession(int channel, void*) {
  ApiLine("SonraVE_GetPTTSession", "%d, ?", channel);
  return Fail(VE_NOT_SUPPORTED);
}

int SonraVE::SonraVE_SetSendTransport(int channel, void*) {
  ApiLine("SonraVE_SetSendTransport", "%d, ?", channel);
  if (!CheckChannel(channel, false)) return -1;
  T()->Print(kTraceError, "SonraVE_SetSendTransport() not supported (error code = %d)", VE_TRANSPORT, -1);
  return Fail(VE_TRANSPORT);
}

int SonraVE::SonraVE_ReceivedRTPPacket(int channel, const void*, int length) {
  ApiLine("SonraVE_ReceivedRTPPacket", "%d, ?, %d", channel, length);
  T()->Print(kTraceError, "SonraVE_ReceivedRTPPacket() not supported (error code = %d)", VE_TRANSPORT, -1);
  return Fail(VE_TRANSPORT);
}

int SonraVE::SonraVE_Spare1() { return Fail(VE_NOT_SUPPORTED); }
int SonraVE::SonraVE_Spare2(int) { return Fail(VE_NOT_SUPPORTED); }
int SonraVE::SonraVE_Spare3(int, int) { return Fail(VE_NOT_SUPPORTED); }
int SonraVE::SonraVE_Spare4(int, int, int) { return Fail(VE_NOT_SUPPORTED); }
int SonraVE::SonraVE_Spare5(int, int, int, int) { return Fail(VE_NOT_SUPPORTED); }
int SonraVE::SonraVE_Spare6() { return Fail(VE_NOT_SUPPORTED); }

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

int SonraVE::SonraVE_PlayPCM(int channel, const char* fileName, int loop) {
  ApiLine("SonraVE_PlayPCM", "%d, file", channel);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  if (!mixer_.Playing(channel)) {
    T()->Print(kTraceError, "SonraVE_PlayFile can only be used while SonraVE_StartPlayout is active", -1, -1);
    return Fail(VE_FILE);
  }
  auto stream = std::make_unique<InStream>();
  if (!fileName || stream->Open(fileName, loop != 0) != 0) return Fail(VE_FILE);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  if (mixer_.playAudio(channel, nullptr, true, stream.get()) != 0) return Fail(VE_FILE);
  playFile_[channel] = std::move(stream);
  return 0;
}

int SonraVE::SonraVE_PlayPCM(int channel, InStream* stream) {
  ApiLine("SonraVE_PlayPCM", "%d, stream", channel);
  if (!CheckChannel(channel)) return -1;
  if (!mixer_.Playing(channel)) {
    T()->Print(kTraceError, "SonraVE_PlayFile can only be used while SonraVE_StartPlayout is active", -1, -1);
    return Fail(VE_FILE);
  }
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  if (mixer_.playAudio(channel, nullptr, true, stream) != 0) return Fail(VE_FILE);
  return 0;
}

int SonraVE::SonraVE_PlayPCMAsMicrophone(int channel, const char* fileName, int loop, int mixWithMic) {
  ApiLine("SonraVE_PlayPCMAsMicrophone", "%d, file", channel);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  auto stream = std::make_unique<InStream>();
  if (!fileName || stream->Open(fileName, loop != 0) != 0) return Fail(VE_FILE);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  if (tx_.playAudioAsMic(channel, nullptr, true, mixWithMic != 0, stream.get()) != 0) return Fail(VE_FILE);
  micFile_[channel] = std::move(stream);
  return 0;
}

int SonraVE::SonraVE_PlayPCMAsMicrophone(int channel, InStream* stream, int mixWithMic) {
  ApiLine("SonraVE_PlayPCMAsMicrophone", "%d, stream", channel);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  if (tx_.playAudioAsMic(channel, nullptr, true, mixWithMic != 0, stream) != 0) return Fail(VE_FILE);
  return 0;
}

int SonraVE::SonraVE_IsPlayingFile(int channel) {
  ApiLine("SonraVE_IsPlayingFile", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  return mixer_.IsPlayingFile(channel) ? 1 : 0;
}

// The stream forms stand among the untraced operations: no call line.
int SonraVE::SonraVE_IsPlayingFile(int channel, InStream*) {
  if (!CheckChannel(channel)) return -1;
  return mixer_.IsPlayingFile(channel) ? 1 : 0;
}

int SonraVE::SonraVE_IsPlayingFileAsMicrophone(int channel) {
  ApiLine("SonraVE_IsPlayingFileAsMicrophone", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  return tx_.IsPlayingFileAsMic(channel) ? 1 : 0;
}

int SonraVE::SonraVE_IsPlayingFileAsMicrophone(int channel, InStream*) {
  if (!CheckChannel(channel)) return -1;
  return tx_.IsPlayingFileAsMic(channel) ? 1 : 0;
}

int SonraVE::SonraVE_StartPlayingFileOnChannel(int channel, const char* fileName) {
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  auto stream = std::make_unique<InStream>();
  if (!fileName || stream->Open(fileName, false) != 0) return Fail(VE_FILE);
  {
    std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
    if (mixer_.playAudio(channel, nullptr, true, stream.get()) != 0) return Fail(VE_FILE);
    playFile_[channel] = std::move(stream);
  }
  return SonraVE_StartPlayout(channel);
}

int SonraVE::SonraVE_StopPlayingFileOnChannel(int channel) {
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  {
    std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
    mixer_.StopPlayingFile(channel);
    playFile_[channel].reset();
  }
  return SonraVE_StopPlayout(channel);
}

int SonraVE::StartCaptureForStream(int* mapped) {
  *mapped = 0;
  if (snd_.Recording()) return 0;
  if (snd_.initRecord() != 0) {
    *mapped = VE_CAPTURE_OPEN;
    return -1;
  }
  const int r = snd_.start_rec();
  if (r == 0) return 0;
  *mapped = r == -1 ? VE_CAPTURE_START_1 : r == -2 ? VE_CAPTURE_START_2 : r == -3 ? VE_CAPTURE_START_3 : VE_PLAYOUT_START_OTHER;
  T()->Print(kTraceCritical, "SonraVE_StartSend() (error code = %d)", *mapped, -1);
  return -1;
}

int SonraVE::SonraVE_StartSend(OutStream* stream) {
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  SettleFileRecording();
  if (!stream || tx_.StartRecordingMic(stream) != 0) return Fail(VE_FILE);
  fileRecording_ = true;
  int mapped = 0;
  if (StartCaptureForStream(&mapped) != 0) return Fail(mapped);
  return 0;
}

int SonraVE::SonraVE_StartRecordingToFile(const char* fileName) {
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  {
    std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
    SettleFileRecording();
    if (fileRecording_) return Fail(VE_FILE);
  }
  auto stream = std::make_unique<OutStream>();
  if (!fileName || stream->Open(fileName) != 0) return Fail(VE_FILE);
  recordFile_ = std::move(stream);
  const int r = SonraVE_StartSend(recordFile_.get());
  if (r != 0 && !fileRecording_) recordFile_.reset();
  return r;
}

int SonraVE::SonraVE_StopRecordingToFile() {
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  tx_.StopRecordingMic();
  if (recordFile_) recordFile_->Close();
  recordFile_.reset();
  fileRecording_ = false;
  if (tx_.SendingCount() == 0 && snd_.stop_recording() != 0) return Fail(VE_CAPTURE_CLOSE);
  return 0;
}

int SonraVE::SonraVE_ConvertWavToPCM(InStream* in, OutStream* out) {
  ApiLine("SonraVE_ConvertWavToPCM", "InStream, OutStream");
  return SonraVE_ConvertWavToPCMQuiet(in, out);
}

int SonraVE::SonraVE_ConvertWavToPCM(const char* inFile, const char* outFile) {
  ApiLine("SonraVE_ConvertWavToPCM", "InFile, OutFile");
  return SonraVE_ConvertWavToPCMQuiet(inFile, outFile);
}

int SonraVE::SonraVE_ConvertWavToPCM(InStream* in, OutStream* out, int format) {
  ApiLine("SonraVE_ConvertWavToPCM", "InStream, OutStream, %d", format);
  if (!in || !out) return Fail(VE_FILE);
  FILEConvert convert;
  const int r = format == 1 ? convert.ConvertIlbcFile(*in, *out) : convert.ConvertFile(*in, *out);
  return r == 0 ? 0 : Fail(VE_FILE);
}

int SonraVE::SonraVE_ConvertWavToPCM(const char* inFile, const char* outFile, int format) {
  ApiLine("SonraVE_ConvertWavToPCM", "InFile, OutFile, %d", format);
  InStream in;
  OutStream out;
  if (!inFile || !outFile || in.Open(inFile) != 0 || out.Open(outFile) != 0) return Fail(VE_FILE);
  FILEConvert convert;
  const int r = format == 1 ? convert.ConvertIlbcFile(in, out) : convert.ConvertFile(in, out);
  if (!out.Close() || r != 0) return Fail(VE_FILE);
  return 0;
}

int SonraVE::SonraVE_ConvertWavToPCMQuiet(InStream* in, OutStream* out) {
  if (!in || !out) return Fail(VE_FILE);
  FILEConvert convert;
  return convert.ConvertFile(*in, *out) == 0 ? 0 : Fail(VE_FILE);
}

int SonraVE::SonraVE_ConvertWavToPCMQuiet(const char* inFile, const char* outFile) {
  InStream in;
  OutStream out;
  if (!inFile || !outFile || in.Open(inFile) != 0 || out.Open(outFile) != 0) return Fail(VE_FILE);
  FILEConvert convert;
  const int r = convert.ConvertFile(in, out);
  if (!out.Close() || r != 0) return Fail(VE_FILE);
  return 0;
}
