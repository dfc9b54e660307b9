// Fuzz target: untrusted WAV (and iLBC) files through the engine's file conversion.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "voice/file_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  {
    MemoryInStream in(bytes);
    MemoryOutStream out;
    FILEConvert convert;
    convert.ConvertFile(in, out);
  }
  {
    MemoryInStream in(bytes);
    MemoryOutStream out;
    FILEConvert convert;
    convert.ConvertIlbcFile(in, out);
  }
  return 0;
}
