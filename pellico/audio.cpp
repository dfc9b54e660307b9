// Voice clip recorder and player: AMR-NB clips recorded from and played to the polled wave devices.
#include "pellico/audio.h"

#include <opencore-amrnb/interf_dec.h>
#include <opencore-amrnb/interf_enc.h>

#include <cstring>
#include <list>

#include "pellico/engine.h"

#if defined(PELLICO_HAVE_PLATFORM_WAVE)
#include "platform/wave.h"
#endif

namespace pellico {

size_t AmrFrameSize(uint8_t header) {
  static const uint8_t sizes[16] = {13, 14, 16, 18, 20, 21, 27, 32, 6, 1, 1, 1, 1, 1, 1, 1};
  return sizes[(header >> 3) & 0x0F];
}

int AmrCountFrames(const uint8_t* p, size_t n) {
  int frames = 0;
  size_t pos = 0;
  while (pos < n) {
    size_t size = AmrFrameSize(p[pos]);
    if (pos + size > n) break;
    pos += size;
    ++frames;
  }
  return frames;
}

#if defined(PELLICO_HAVE_PLATFORM_WAVE)
namespace {
WAVEFORMATEX PcmFormat() {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = 1;
  f.nSamplesPerSec = 8000;
  f.nAvgBytesPerSec = 16000;
  f.nBlockAlign = 2;
  f.wBitsPerSample = 16;
  return f;
}

// Capture through the platform wave layer: a ring of 50 buffers of 200 ms, polled in order.
class PlatformWaveIn : public KxWaveIn {
 public:
  static constexpr int kBuffers = 50;
  explicit PlatformWaveIn(WaveErrorLog log) : m_log(std::move(log)) {}
  ~PlatformWaveIn() override { Close(); }
  int Open() override {
    if (m_h) return 0;
    WAVEFORMATEX f = PcmFormat();
    MMRESULT r = waveInOpen(&m_h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL);
    if (r != 0) {
      m_h = nullptr;
      return static_cast<int>(r);
    }
    for (int i = 0; i < kBuffers; ++i) {
      m_hdr[i].lpData = m_data[i];
      m_hdr[i].dwBufferLength = CAudioManager::kBufferBytes;
      Check(waveInPrepareHeader(m_h, &m_hdr[i], sizeof(WAVEHDR)), "waveInPrepareHeader");
      Check(waveInAddBuffer(m_h, &m_hdr[i], sizeof(WAVEHDR)), "waveInAddBuffer");
    }
    m_next = 0;
    m_recording = false;
    return 0;
  }
  int Start() override {
    if (!m_h) return -1;
    m_recording = true;
    return static_cast<int>(waveInStart(m_h));
  }
  int Stop() override {
    if (!m_h) return -1;
    m_recording = false;
    MMRESULT r = waveInStop(m_h);
    Check(waveInReset(m_h), "waveInReset");
    return static_cast<int>(r);
  }
  size_t Read(uint8_t* buf, size_t max) override {
    size_t got = 0;
    if (!m_h) return 0;
    for (int k = 0; k < kBuffers; ++k) {
      WAVEHDR& h = m_hdr[m_next];
      if (!(h.dwFlags.load() & WHDR_DONE)) break;
      size_t n = h.dwBytesRecorded.load();
      if (got + n > max) break;
      memcpy(buf + got, h.lpData, n);
      got += n;
      h.dwFlags.store(h.dwFlags.load() & ~WHDR_DONE);
      h.dwBytesRecorded.store(0);
      if (m_recording) Check(waveInAddBuffer(m_h, &h, sizeof(WAVEHDR)), "waveInAddBuffer");
      m_next = (m_next + 1) % kBuffers;
    }
    return got;
  }
  void Close() override {
    if (!m_h) return;
    Check(waveInReset(m_h), "waveInReset");
    for (int i = 0; i < kBuffers; ++i)
      Check(waveInUnprepareHeader(m_h, &m_hdr[i], sizeof(WAVEHDR)), "waveInUnprepareHeader");
    Check(waveInClose(m_h), "waveInClose");
    m_h = nullptr;
  }

 private:
  void Check(MMRESULT r, const char* call) {
    if (r != 0 && m_log) m_log(static_cast<int>(r), call);
  }
  WaveErrorLog m_log;
  HWAVEIN m_h = nullptr;
  WAVEHDR m_hdr[kBuffers];
  char m_data[kBuffers][CAudioManager::kBufferBytes];
  int m_next = 0;
  bool m_recording = false;
};

class PlatformWaveOut : public KxWaveOut {
 public:
  explicit PlatformWaveOut(WaveErrorLog log) : m_log(std::move(log)) {}
  ~PlatformWaveOut() override { Close(); }
  int Open() override {
    if (m_h) return 0;
    WAVEFORMATEX f = PcmFormat();
    MMRESULT r = waveOutOpen(&m_h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL);
    if (r != 0) m_h = nullptr;
    return static_cast<int>(r);
  }
  int Write(const uint8_t* pcm, size_t bytes) override {
    if (!m_h || bytes == 0) return -1;
    auto node = std::make_unique<Block>();
    node->data.assign(pcm, pcm + bytes);
    node->hdr.lpData = reinterpret_cast<char*>(node->data.data());
    node->hdr.dwBufferLength = static_cast<DWORD>(bytes);
    MMRESULT r = waveOutPrepareHeader(m_h, &node->hdr, sizeof(WAVEHDR));
    Check(r, "waveOutPrepareHeader");
    if (r == 0) {
      r = waveOutWrite(m_h, &node->hdr, sizeof(WAVEHDR));
      Check(r, "waveOutWrite");
    }
    if (r != 0) return static_cast<int>(r);
    m_blocks.push_back(std::move(node));
    return 0;
  }
  size_t Pending() override {
    size_t pending = 0;
    for (auto it = m_blocks.begin(); it != m_blocks.end();) {
      if ((*it)->hdr.dwFlags.load() & WHDR_DONE) {
        Check(waveOutUnprepareHeader(m_h, &(*it)->hdr, sizeof(WAVEHDR)), "waveOutUnprepareHeader");
        it = m_blocks.erase(it);
      } else {
        pending += (*it)->data.size();
        ++it;
      }
    }
    return pending;
  }
  void Reset() override {
    if (!m_h) return;
    Check(waveOutReset(m_h), "waveOutReset");
    Pending();
  }
  void Close() override {
    if (!m_h) return;
    Reset();
    m_blocks.clear();
    Check(waveOutClose(m_h), "waveOutClose");
    m_h = nullptr;
  }

 private:
  void Check(MMRESULT r, const char* call) {
    if (r != 0 && m_log) m_log(static_cast<int>(r), call);
  }
  WaveErrorLog m_log;
  struct Block {
    WAVEHDR hdr;
    std::vector<uint8_t> data;
  };
  HWAVEOUT m_h = nullptr;
  std::list<std::unique_ptr<Block>> m_blocks;
};
}  // namespace

std::unique_ptr<KxWaveIn> MakeDefaultWaveIn(WaveErrorLog log) { return std::make_unique<PlatformWaveIn>(std::move(log)); }
std::unique_ptr<KxWaveOut> MakeDefaultWaveOut(WaveErrorLog log) {
  return std::make_unique<PlatformWaveOut>(std::move(log));
}
#else
namespace {
class NoWaveIn : public KxWaveIn {
 public:
  int Open() override { return 2; }
  int Start() override { return 2; }
  int Stop() override { return 0; }
  size_t Read(uint8_t*, size_t) override { return 0; }
  void Close() override {}
};
class NoWaveOut : public KxWaveOut {
 public:
  int Open() override { return 2; }
  int Write(const uint8_t*, size_t) override { return 2; }
  size_t Pending() override { return 0; }
  void Reset() override {}
  void Close() override {}
};
}  // namespace
std::unique_ptr<KxWaveIn> MakeDefaultWaveIn(WaveErrorLog) { return std::make_unique<NoWaveIn>(); }
std::unique_ptr<KxWaveOut> MakeDefaultWaveOut(WaveErrorLog) { return std::make_unique<NoWaveOut>(); }
#endif

}  // namespace pellico

using namespace pellico;

CAudioManager::CAudioManager(CKxEngine* engine) : m_engine(engine) {}

WaveErrorLog CAudioManager::WaveLog() {
  CKxEngine* engine = m_engine;
  return [engine](int r, const char* call) { engine->Log("Wave error (%d) in %s", r, call); };
}

CAudioManager::~CAudioManager() {
  if (m_in && m_inOpen) m_in->Close();
  ReleasePlayer();
  if (m_encoder) Encoder_Interface_exit(m_encoder);
  if (m_decoder) Decoder_Interface_exit(m_decoder);
}

void CAudioManager::SetDevices(std::unique_ptr<KxWaveIn> in, std::unique_ptr<KxWaveOut> out) {
  if (in) m_in = std::move(in);
  if (out) m_out = std::move(out);
}

void CAudioManager::StartRecording() {
  m_engine->Log("Releasing player");
  ReleasePlayer();
  if (!m_in) m_in = MakeDefaultWaveIn(WaveLog());
  m_pending.clear();
  int r = m_in->Open();
  if (r != 0) m_engine->Log("Wave error (%d) in %s", r, "waveInOpen");
  m_inOpen = r == 0;
  if (m_inOpen && (r = m_in->Start()) != 0) m_engine->Log("Wave error (%d) in %s", r, "waveInStart");
  m_engine->Log("Started recording");
  m_state = RECORDING;
}

void CAudioManager::StopRecording() {
  if (m_state != RECORDING) return;
  m_state = IDLE;
  if (m_inOpen) {
    int r = m_in->Stop();
    if (r != 0) m_engine->Log("Wave error (%d) in %s", r, "waveInStop");
  }
  RecordTick(true);
  if (m_inOpen) m_in->Close();
  m_inOpen = false;
  m_engine->OnRecordingStopped();
  m_engine->Log("Stopped recording");
}

void CAudioManager::RecordTick(bool final) {
  if (!m_inOpen) return;
  uint8_t buf[kBufferBytes * 4];
  for (;;) {
    size_t n = m_in->Read(buf, sizeof buf);
    if (n == 0) break;
    m_pending.insert(m_pending.end(), buf, buf + n);
    while (m_pending.size() >= kBufferBytes) {
      std::vector<uint8_t> frames = Encode(m_pending.data(), kBufferBytes);
      m_pending.erase(m_pending.begin(), m_pending.begin() + kBufferBytes);
      if (!frames.empty()) m_engine->OnEncodedAudio(frames.data(), frames.size());
      if (m_state != RECORDING && !final) return;  // the engine stopped the recording
    }
  }
  if (final && !m_pending.empty()) {
    m_pending.resize(kBufferBytes, 0);
    std::vector<uint8_t> frames = Encode(m_pending.data(), kBufferBytes);
    if (!frames.empty()) m_engine->OnEncodedAudio(frames.data(), frames.size());
    m_pending.clear();
  }
}

std::vector<uint8_t> CAudioManager::Encode(const uint8_t* pcm, size_t len) {
  std::vector<uint8_t> out;
  if (len != kBufferBytes) {
    m_engine->Log("BAD AUDIO DATA LENGTH %d should be %d", static_cast<int>(len), static_cast<int>(kBufferBytes));
    return out;
  }
  if (!m_encoder) m_encoder = Encoder_Interface_init(0);
  if (!m_encoder) return out;
  const size_t room = 330;
  out.reserve(room);
  for (size_t f = 0; f < 10; ++f) {
    short speech[160];
    memcpy(speech, pcm + f * 320, 320);
    unsigned char frame[64];
    int n = Encoder_Interface_Encode(m_encoder, MR475, speech, frame, 0);
    if (n <= 0 || out.size() + static_cast<size_t>(n) > room) break;
    out.insert(out.end(), frame, frame + n);
  }
  return out;
}

bool CAudioManager::OpenOut() {
  if (m_outOpen) return true;
  if (!m_out) m_out = MakeDefaultWaveOut(WaveLog());
  int r = m_out->Open();
  if (r != 0) {
    m_engine->Log("Wave error (%d) in %s", r, "waveOutOpen");
    return false;
  }
  m_outOpen = true;
  return true;
}

int CAudioManager::PlayBlock(const uint8_t* frames, size_t len) {
  if (!OpenOut()) return -1;
  m_state = PLAYING;
  if (!m_decoder) m_decoder = Decoder_Interface_init();
  if (!m_decoder) return -1;
  int count = AmrCountFrames(frames, len);
  std::vector<uint8_t> pcm(static_cast<size_t>(count) * 320);
  size_t pos = 0;
  for (int i = 0; i < count; ++i) {
    size_t size = AmrFrameSize(frames[pos]);
    short out[160];
    Decoder_Interface_Decode(m_decoder, frames + pos, out, 0);
    memcpy(pcm.data() + static_cast<size_t>(i) * 320, out, 320);
    pos += size;
  }
  if (!pcm.empty()) {
    m_out->Write(pcm.data(), pcm.size());  // the device reports its own failing call
  }
  return 0;
}

void CAudioManager::AutoPlay() {
  if (m_state == RECORDING) return;
  auto& q = m_engine->PlaybackQueue();
  if (q.empty()) return;
  // Start once 600 ms wait, or at once when the clip already ended.
  if (m_state != PLAYING && q.size() < 3 && m_engine->ReceivingClip()) return;
  while (!q.empty()) {
    PacketPtr p = q.front();
    q.pop_front();
    AudioPacket a;
    if (DecodeAudio(p->data.data(), p->data.size(), &a)) PlayBlock(a.frames, a.frameLen);
  }
}

bool CAudioManager::PlaybackTick() {
  if (m_state != PLAYING || !m_outOpen) return false;
  if (m_out->Pending() == 0) {
    // Everything played: close the device so that it can be used by others.
    m_out->Close();
    m_outOpen = false;
    m_state = IDLE;
    return true;
  }
  return false;
}

void CAudioManager::Tick() {
  PlaybackTick();
  if (m_state == RECORDING) RecordTick(false);
  AutoPlay();
}

void CAudioManager::ReleasePlayer() {
  if (m_outOpen) {
    m_out->Reset();
    m_out->Close();
    m_outOpen = false;
  }
  if (m_engine) m_engine->PlaybackQueue().clear();
  if (m_state == PLAYING) m_state = IDLE;
}
