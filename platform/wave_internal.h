// Internal: the PortAudio backend's narrow interface to the wave device core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/wave.h"

namespace plat::wavepa {

// Moves frames between the sound card and the device core (called on PortAudio's thread).
using CaptureFn = std::function<void(const int16_t* frames, size_t count)>;
using PlayoutFn = std::function<void(int16_t* frames, size_t count)>;

class Stream {
 public:
  virtual ~Stream() = default;
  // Stops the stream; no callback runs after this returns.
  virtual void Stop() = 0;
  // The stream's output or input latency in frames.
  virtual size_t LatencyFrames() const = 0;
};

// True when built with PortAudio.
bool Available();
// Number of input / output devices (0 when PortAudio is missing or finds none).
int InputDeviceCount();
int OutputDeviceCount();
// Opens and starts a stream on the default device; null with *error set on failure.
std::unique_ptr<Stream> OpenInput(const WAVEFORMATEX& format, CaptureFn fn, MMRESULT* error);
std::unique_ptr<Stream> OpenOutput(const WAVEFORMATEX& format, PlayoutFn fn, MMRESULT* error);

}  // namespace plat::wavepa
