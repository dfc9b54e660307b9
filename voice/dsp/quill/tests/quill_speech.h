// Speech for the Quill tests (espeak-ng and sox at 16 kHz, cached) and the quality measures they use.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace quilltest {

inline std::vector<int16_t> readPcmWav(const std::string& path) {
  std::vector<int16_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  std::vector<uint8_t> data;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) data.insert(data.end(), buf, buf + n);
  std::fclose(f);
  size_t pos = 12;
  while (pos + 8 <= data.size()) {
    const uint32_t size = data[pos + 4] | (data[pos + 5] << 8) | (data[pos + 6] << 16) | (uint32_t(data[pos + 7]) << 24);
    if (data[pos] == 'd' && data[pos + 1] == 'a' && data[pos + 2] == 't' && data[pos + 3] == 'a') {
      for (size_t i = pos + 8; i + 1 < data.size() && i < pos + 8 + size; i += 2)
        out.push_back(static_cast<int16_t>(data[i] | (data[i + 1] << 8)));
      break;
    }
    pos += 8 + size + (size & 1);
  }
  return out;
}

// 16-kHz speech for one of a few fixed sentences and voices (different from the table training set).
inline std::vector<int16_t> speech(int which) {
  static const char* kVoices[] = {"en-us+m3", "en-gb+f2", "en-gb-scotland+m1", "en-us+f4"};
  static const char* kTexts[] = {
      "Every morning the baker opens the shop before the sun rises over the quiet town.",
      "Could you send the report by Friday? The numbers for March still look a little odd.",
      "Bright violet kites drifted high above the hills while a dog barked at the geese.",
      "Turn left at the second traffic light, then follow the signs to the railway station.",
  };
  const int i = which % 4;
  // Cached outside the build and source folders, for the user running the tests.
  const std::string dir = "/tmp/tessaly_quill_speech_" + std::to_string(::getuid());
  ::mkdir(dir.c_str(), 0700);
  const std::string wav = dir + "/quill_speech" + std::to_string(i) + ".wav";
  std::vector<int16_t> pcm = readPcmWav(wav);
  if (!pcm.empty()) return pcm;
  // Tests run in parallel: each writes its own files and renames the result into place.
  const std::string tmp = wav + "." + std::to_string(::getpid());
  const std::string cmd = std::string("espeak-ng -v ") + kVoices[i] + " -s 150 -w '" + tmp + ".raw.wav' '" +
                          kTexts[i] + "' && sox -q -D '" + tmp + ".raw.wav' -r 16000 -c 1 -b 16 '" + tmp +
                          ".wav' && mv -f '" + tmp + ".wav' '" + wav + "'; rm -f '" + tmp + ".raw.wav'";
  const int rc = std::system(cmd.c_str());
  pcm = readPcmWav(wav);
  if (pcm.empty()) ADD_FAILURE() << "espeak-ng and sox are needed for the speech tests (" << rc << "): " << cmd;
  return pcm;
}

// The codec's own fixed high-pass filters (analysis and output) applied to a reference, so that
// quality measures the coding and not the intended removal of the band below about 150 Hz.
inline std::vector<double> fixedFilters(const std::vector<int16_t>& x) {
  std::vector<double> r(x.begin(), x.end());
  auto section = [&](double b1, double b2, double a1, double a2) {
    double s1 = 0, s2 = 0;
    for (double& v : r) {
      const double in = v;
      const double y = in + b1 * s1 + b2 * s2;
      const double n1 = in + a1 * s1 + a2 * s2;
      s2 = s1;
      s1 = n1;
      v = y;
    }
  };
  section(-0.05101826, 0.05015484, 1.9489596, -0.94984514);
  section(0.017010493, -0.017042045, 1.9970105, -0.997142);
  section(0.006452945, -0.0066243554, 1.9864529, -0.9867244);
  return r;
}

// Segmental SNR (20-ms segments above a level floor, each limited to -10..35 dB) of out against ref
// with out delayed by `delay` samples.
inline double segSnr(const std::vector<double>& ref, const std::vector<int16_t>& out, int delay) {
  double sum = 0.0;
  int count = 0;
  for (size_t i = 0; i + 320 + delay <= out.size() && i + 320 <= ref.size(); i += 320) {
    double e = 0, s = 0;
    for (int k = 0; k < 320; ++k) {
      const double d = ref[i + k] - out[i + k + delay];
      e += d * d;
      s += ref[i + k] * ref[i + k];
    }
    if (s / 320 < 1e4) continue;
    double v = 10.0 * std::log10((s + 1.0) / (e + 1.0));
    v = v < -10 ? -10 : (v > 35 ? 35 : v);
    sum += v;
    ++count;
  }
  return count ? sum / count : -100.0;
}

}  // namespace quilltest
