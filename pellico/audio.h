// Voice clip recorder and player: polled wave devices, AMR-NB encoding of 200 ms buffers, clip playback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pellico {


// Polled capture device: 8 kHz mono 16-bit PCM.
class KxWaveIn {
 public:
  virtual ~KxWaveIn() = default;
  virtual int Open() = 0;  // 0 or an error code
  virtual int Start() = 0;
  virtual int Stop() = 0;
  virtual size_t Read(uint8_t* buf, size_t max) = 0;  // recorded bytes available now
  virtual void Close() = 0;
};

// Polled playout device: 8 kHz mono 16-bit PCM.
class KxWaveOut {
 public:
  virtual ~KxWaveOut() = default;
  virtual int Open() = 0;
  virtual int Write(const uint8_t* pcm, size_t bytes) = 0;
  virtual size_t Pending() = 0;  // bytes written but not yet played
  virtual void Reset() = 0;
  virtual void Close() = 0;
};

// Makes the devices; the default uses the platform wave layer.
using WaveInFactory = std::unique_ptr<KxWaveIn> (*)();
using WaveOutFactory = std::unique_ptr<KxWaveOut> (*)();
// The default devices report each failing waveform call (its result and name) through `log`.
using WaveErrorLog = std::function<void(int result, const char* call)>;
std::unique_ptr<KxWaveIn> MakeDefaultWaveIn(WaveErrorLog log = nullptr);
std::unique_ptr<KxWaveOut> MakeDefaultWaveOut(WaveErrorLog log = nullptr);

// Storage size of an AMR frame from its header byte (frame type in bits 3-6).
size_t AmrFrameSize(uint8_t header);
// Number of complete frames in a block of storage-form frames.
int AmrCountFrames(const uint8_t* p, size_t n);

}  // namespace pellico

class CKxEngine;

class CAudioManager {
 public:
  enum { IDLE = 0, RECORDING = 1, PLAYING = 2 };
  static constexpr size_t kBufferBytes = 3200;

  explicit CAudioManager(CKxEngine* engine);
  ~CAudioManager();

  void SetDevices(std::unique_ptr<pellico::KxWaveIn> in, std::unique_ptr<pellico::KxWaveOut> out);
  int State() const { return m_state; }
  bool IsRecording() const { return m_state == RECORDING; }

  void StartRecording();
  void StopRecording();                    // handles what is left, then the engine queues END_AUDIO
  int PlayBlock(const uint8_t* frames, size_t len);  // decodes and writes one block
  void AutoPlay();                         // plays arriving packets from the engine's playback queue
  void Tick();
  void ReleasePlayer();

  // 3200 bytes of PCM to 130 bytes of MR475 frames; empty on another length.
  std::vector<uint8_t> Encode(const uint8_t* pcm, size_t len);

 private:
  void RecordTick(bool final);
  bool PlaybackTick();
  bool OpenOut();
  pellico::WaveErrorLog WaveLog();

  CKxEngine* m_engine;
  int m_state = IDLE;
  std::unique_ptr<pellico::KxWaveIn> m_in;
  std::unique_ptr<pellico::KxWaveOut> m_out;
  bool m_inOpen = false;
  bool m_outOpen = false;
  std::vector<uint8_t> m_pending;  // recorded bytes not yet making a full buffer
  void* m_encoder = nullptr;
  void* m_decoder = nullptr;
};
