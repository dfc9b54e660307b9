// Speech for the Quill benchmarks: espeak-ng sentences at 16 kHz (cached in the temporary folder).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

namespace quillbench {

inline std::vector<int16_t> readWav(const std::string& path) {
  std::vector<int16_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  std::vector<uint8_t> d;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) d.insert(d.end(), buf, buf + n);
  std::fclose(f);
  size_t pos = 12;
  while (pos + 8 <= d.size()) {
    const uint32_t size = d[pos + 4] | (d[pos + 5] << 8) | (d[pos + 6] << 16) | (uint32_t(d[pos + 7]) << 24);
    if (d[pos] == 'd' && d[pos + 1] == 'a' && d[pos + 2] == 't' && d[pos + 3] == 'a') {
      for (size_t i = pos + 8; i + 1 < d.size() && i < pos + 8 + size; i += 2)
        out.push_back(static_cast<int16_t>(d[i] | (d[i + 1] << 8)));
      break;
    }
    pos += 8 + size + (size & 1);
  }
  return out;
}

// About 25 s of speech from four voices.
inline std::vector<int16_t> speech() {
  static const char* kVoices[] = {"en-us+m3", "en-gb+f2", "en-gb-scotland+m1", "en-us+f4"};
  static const char* kText =
      "Every morning the baker opens the shop before the sun rises over the quiet town. Could you send the "
      "report by Friday? Bright violet kites drifted high above the hills.";
  std::vector<int16_t> all;
  for (int i = 0; i < 4; ++i) {
    const std::string wav = "/tmp/quill_bench_speech" + std::to_string(i) + ".wav";
    std::vector<int16_t> pcm = readWav(wav);
    if (pcm.empty()) {
      const std::string tmp = wav + "." + std::to_string(::getpid());
      const std::string cmd = std::string("espeak-ng -v ") + kVoices[i] + " -s 150 -w '" + tmp + ".raw' '" + kText +
                              "' && sox -q -D -t wav '" + tmp + ".raw' -r 16000 -c 1 -b 16 '" + tmp + ".wav' && mv -f '" +
                              tmp + ".wav' '" + wav + "'; rm -f '" + tmp + ".raw'";
      if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "espeak-ng or sox failed\n");
      pcm = readWav(wav);
    }
    all.insert(all.end(), pcm.begin(), pcm.end());
  }
  if (all.empty()) {
    // No synthesiser: a buzzy vowel-like signal so the benchmark still runs.
    for (int i = 0; i < 16000 * 10; ++i) {
      const double t = i / 16000.0;
      all.push_back(static_cast<int16_t>(6000 * std::sin(2 * 3.14159265 * 120 * t) * std::sin(2 * 3.14159265 * 700 * t)));
    }
  }
  return all;
}

}  // namespace quillbench
