// Notification sounds through PortAudio, on their own output stream beside the voice devices.
#include "platform/sound.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/wave.h"
#include "platform/wave_internal.h"

namespace plat {
namespace {

struct Clip {
  std::vector<int16_t> samples;  // interleaved
  WORD channels = 1;
  bool loop = false;
  std::atomic<size_t> pos{0};
  std::atomic<bool> done{false};
};

std::mutex g_mu;
std::unique_ptr<wavepa::Stream> g_stream;  // guarded by g_mu
std::shared_ptr<Clip> g_clip;
std::string g_current;
bool g_silentLoop = false;

bool SoundCardWanted() {
  return CurrentAudioBackend() == AudioBackend::PortAudio && wavepa::Available() && wavepa::OutputDeviceCount() > 0;
}

}  // namespace

bool PlaySoundFile(const std::string& path, bool loop) {
  auto clip = std::make_shared<Clip>();
  DWORD rate = 0;
  if (!ReadWavFile(path, &clip->samples, &rate, &clip->channels) || clip->channels == 0 || clip->channels > 2) {
    StopSound();
    return false;
  }
  clip->loop = loop;
  std::unique_ptr<wavepa::Stream> old;
  std::lock_guard<std::mutex> lock(g_mu);
  old = std::move(g_stream);
  if (old) old->Stop();  // no callback of the old clip runs after this
  g_clip = clip;
  g_current = path;
  g_silentLoop = false;
  if (!SoundCardWanted() || clip->samples.empty()) {
    g_silentLoop = loop;
    clip->done = true;
    return true;
  }
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = clip->channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = 16;
  f.nBlockAlign = static_cast<WORD>(2 * clip->channels);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  MMRESULT error = 0;
  Clip* c = clip.get();
  g_stream = wavepa::OpenOutput(
      f,
      [c](int16_t* out, size_t frames) {
        const size_t want = frames * c->channels;
        size_t i = 0;
        while (i < want) {
          size_t pos = c->pos.load();
          if (pos >= c->samples.size()) {
            if (!c->loop || c->samples.empty()) break;
            pos = 0;
          }
          const size_t n = std::min(want - i, c->samples.size() - pos);
          std::copy_n(c->samples.data() + pos, n, out + i);
          c->pos = pos + n;
          i += n;
        }
        if (i < want) {
          std::fill(out + i, out + want, int16_t{0});
          c->done = true;
        }
      },
      &error);
  if (!g_stream) clip->done = true;  // no device after all: silent
  return true;
}

void StopSound() {
  std::unique_ptr<wavepa::Stream> old;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    old = std::move(g_stream);
    if (g_clip) g_clip->done = true;
    g_silentLoop = false;
  }
  if (old) old->Stop();
}

std::string CurrentSound() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_current;
}

bool SoundPlaying() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_silentLoop || (g_clip && !g_clip->done);
}

}  // namespace plat
