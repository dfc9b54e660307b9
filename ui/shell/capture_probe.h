// The capture check before a call or a voice message, shared by the frame and the chat windows.
#pragma once

namespace shell {
// 0 capture may start; 1 no capture device; 2 the device cannot be opened for 16-bit mono PCM at 22050 Hz
// (no such device, in use, no driver, no memory, format refused).
int HasWaveInDevice();
}  // namespace shell
