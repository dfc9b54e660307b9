// PortAudio backend of the wave devices: callbacks move frames to and from the device core.
#include "platform/wave_internal.h"

#ifdef TESSALY_HAVE_PORTAUDIO
#include <portaudio.h>

#include <cstdio>
#include <mutex>

namespace plat::wavepa {
namespace {

bool Init() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    PaError e = Pa_Initialize();
    ok = e == paNoError;
    if (!ok) std::fprintf(stderr, "wave: PortAudio initialisation failed: %s\n", Pa_GetErrorText(e));
  });
  return ok;
}

class PaStreamHolder : public Stream {
 public:
  ~PaStreamHolder() override { Stop(); }
  void Stop() override {
    if (!stream_) return;
    Pa_StopStream(stream_);  // waits for the callback to finish
    Pa_CloseStream(stream_);
    stream_ = nullptr;
  }
  size_t LatencyFrames() const override { return latency_; }

  static int InputCallback(const void* in, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                           PaStreamCallbackFlags, void* user) {
    auto* self = static_cast<PaStreamHolder*>(user);
    if (in) self->capture_(static_cast<const int16_t*>(in), frames);
    return paContinue;
  }
  static int OutputCallback(const void*, void* out, unsigned long frames, const PaStreamCallbackTimeInfo*,
                            PaStreamCallbackFlags, void* user) {
    auto* self = static_cast<PaStreamHolder*>(user);
    self->playout_(static_cast<int16_t*>(out), frames);
    return paContinue;
  }

  PaStream* stream_ = nullptr;
  size_t latency_ = 0;
  CaptureFn capture_;
  PlayoutFn playout_;
};

std::unique_ptr<Stream> Open(bool input, const WAVEFORMATEX& f, CaptureFn cfn, PlayoutFn pfn, MMRESULT* error) {
  *error = MMSYSERR_NODRIVER;
  if (!Init()) return nullptr;
  PaDeviceIndex dev = input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
  if (dev == paNoDevice) {
    // Machines without a sound card still talk through WAV files.
    std::fprintf(stderr, "wave: no %s device; TESSALY_AUDIO=file with TESSALY_WAVE_IN (a WAV file to speak) and "
                         "TESSALY_WAVE_OUT (a WAV file that records) uses files instead\n",
                 input ? "capture" : "playout");
    return nullptr;
  }
  const PaDeviceInfo* info = Pa_GetDeviceInfo(dev);
  if (!info) return nullptr;
  PaStreamParameters p{};
  p.device = dev;
  p.channelCount = f.nChannels;
  p.sampleFormat = paInt16;
  p.suggestedLatency = input ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
  auto holder = std::make_unique<PaStreamHolder>();
  holder->capture_ = std::move(cfn);
  holder->playout_ = std::move(pfn);
  // About 2 ms per callback keeps the positions moving smoothly for the polling thread.
  unsigned long perBuffer = f.nSamplesPerSec / 500u;
  PaError e = Pa_OpenStream(&holder->stream_, input ? &p : nullptr, input ? nullptr : &p, f.nSamplesPerSec,
                            perBuffer, paNoFlag,
                            input ? &PaStreamHolder::InputCallback : &PaStreamHolder::OutputCallback, holder.get());
  if (e != paNoError) {
    std::fprintf(stderr, "wave: cannot open the %s device: %s\n", input ? "capture" : "playout", Pa_GetErrorText(e));
    holder->stream_ = nullptr;
    *error = (e == paInvalidSampleRate || e == paInvalidChannelCount || e == paSampleFormatNotSupported)
                 ? WAVERR_BADFORMAT
                 : (e == paDeviceUnavailable ? MMSYSERR_ALLOCATED : MMSYSERR_ERROR);
    return nullptr;
  }
  if (const PaStreamInfo* si = Pa_GetStreamInfo(holder->stream_))
    holder->latency_ = static_cast<size_t>((input ? si->inputLatency : si->outputLatency) * f.nSamplesPerSec);
  e = Pa_StartStream(holder->stream_);
  if (e != paNoError) {
    std::fprintf(stderr, "wave: cannot start the %s device: %s\n", input ? "capture" : "playout", Pa_GetErrorText(e));
    Pa_CloseStream(holder->stream_);
    holder->stream_ = nullptr;
    *error = MMSYSERR_ERROR;
    return nullptr;
  }
  *error = MMSYSERR_NOERROR;
  return holder;
}

int CountDevices(bool input) {
  if (!Init()) return 0;
  int n = Pa_GetDeviceCount();
  int count = 0;
  for (int i = 0; i < n; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info && (input ? info->maxInputChannels : info->maxOutputChannels) > 0) ++count;
  }
  return count;
}

}  // namespace

bool Available() { return true; }
int InputDeviceCount() { return CountDevices(true); }
int OutputDeviceCount() { return CountDevices(false); }

std::unique_ptr<Stream> OpenInput(const WAVEFORMATEX& format, CaptureFn fn, MMRESULT* error) {
  return Open(true, format, std::move(fn), nullptr, error);
}

std::unique_ptr<Stream> OpenOutput(const WAVEFORMATEX& format, PlayoutFn fn, MMRESULT* error) {
  return Open(false, format, nullptr, std::move(fn), error);
}

}  // namespace plat::wavepa

#else  // built without PortAudio

namespace plat::wavepa {

bool Available() { return false; }
int InputDeviceCount() { return 0; }
int OutputDeviceCount() { return 0; }

std::unique_ptr<Stream> OpenInput(const WAVEFORMATEX&, CaptureFn, MMRESULT* error) {
  *error = MMSYSERR_NODRIVER;
  return nullptr;
}

std::unique_ptr<Stream> OpenOutput(const WAVEFORMATEX&, PlayoutFn, MMRESULT* error) {
  *error = MMSYSERR_NODRIVER;
  return nullptr;
}

}  // namespace plat::wavepa

#endif
