// Fuzz target: profile files and WAV files read from untrusted bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/ini.h"
#include "platform/wave.h"

namespace {

std::string ScratchPath(const char* name) {
  return std::string("/tmp/fuzz-platform-") + std::to_string(::getpid()) + "-" + name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);

  // Profile file: lookups, lists, and a rewrite that must keep the file readable.
  std::string ini = ScratchPath("x.ini");
  plat::WriteFileAtomic(ini, bytes);
  char small[7];
  char big[512];
  GetPrivateProfileStringA("a", "k", "def", small, sizeof small, ini.c_str());
  GetPrivateProfileStringA("A", nullptr, "", big, sizeof big, ini.c_str());
  GetPrivateProfileSectionNamesA(small, sizeof small, ini.c_str());
  GetPrivateProfileSectionA("a", big, sizeof big, ini.c_str());
  GetPrivateProfileIntA("a", "n", 5, ini.c_str());
  if (WritePrivateProfileStringA("fz", "key", "value", ini.c_str())) {
    if (GetPrivateProfileStringA("fz", "key", "", big, sizeof big, ini.c_str()) != 5) __builtin_trap();
  }
  WritePrivateProfileStringA("a", nullptr, nullptr, ini.c_str());
  plat::RemoveFile(ini);

  // WAV file.
  std::string wav = ScratchPath("x.wav");
  plat::WriteFileAtomic(wav, bytes);
  std::vector<int16_t> samples;
  DWORD rate = 0;
  WORD channels = 0;
  if (plat::ReadWavFile(wav, &samples, &rate, &channels)) {
    if (channels == 0 || samples.size() % channels != 0) __builtin_trap();
  }
  plat::RemoveFile(wav);
  return 0;
}
