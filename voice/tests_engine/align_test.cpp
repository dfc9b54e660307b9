// The two-process tests' alignment: it follows the receiver's deliberate timing changes and still scores lost, garbled or doubled audio low.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Samples = std::vector<int16_t>;

// Speech at 16 kHz shaped as the two-process tests shape their reference; empty without the tools.
Samples Speech(const char* text) {
  const std::string dir = e2e::TempDir("align");
  const std::string wav = dir + "/speech.wav";
  Samples s48, out;
  DWORD rate = 0;
  if (!e2e::MakeSpeech(dir, text, wav) || !e2e::ReadMono(wav, &s48, &rate) || rate != 48000) return out;
  return e2e::To16k(s48, true);
}

constexpr long kMs = 16;  // samples per millisecond at 16 kHz
constexpr long kDelay = 150 * kMs;

// What a receiver does to the stream: concealment that repeats the last pitch period, fading.
Samples Concealment(const Samples& before, long length) {
  const long period = 5 * kMs;
  Samples out(static_cast<size_t>(length));
  for (long i = 0; i < length; ++i) {
    const double fade = 1.0 - static_cast<double>(i) / static_cast<double>(length);
    out[i] = static_cast<int16_t>(before[before.size() - static_cast<size_t>(period) + static_cast<size_t>(i % period)] * fade);
  }
  return out;
}

struct Case {
  const char* name;
  std::function<Samples(const Samples&)> path;  // what the receiver makes of the sent speech (before its delay)
  double minMedian, maxMedian;                   // the median window score must lie in [min, max]
  long lowestMs, highestMs;                      // the followed delay's range (-1: not judged)
};

TEST(E2eAlign, FollowsTheReceiversTimingAndScoresFaultsLow) {
  const Samples sent = Speech("The quick brown fox jumps over the lazy dog. One two three four five.");
  const Samples other = Speech("Six seven eight nine ten, a big black bug bit a big black bear.");
  if (sent.empty() || other.empty()) GTEST_SKIP() << "espeak-ng and sox are needed";

  const Case cases[] = {
      {"unchanged", [](const Samples& s) { return s; }, 0.99, 1.0, 150, 150},
      // Late packets concealed and played afterwards (the delay grows by 80 and 60 ms), a pitch
      // period at a time taken out to win 60 ms back, an underrun's silence of 30 ms.
      {"concealed, shortened and underrun",
       [](const Samples& s) {
         Samples out;
         size_t at = 0;
         auto copy = [&](long until) {
           out.insert(out.end(), s.begin() + static_cast<long>(at), s.begin() + until);
           at = static_cast<size_t>(until);
         };
         copy(900 * kMs);
         const Samples c1 = Concealment(out, 80 * kMs);
         out.insert(out.end(), c1.begin(), c1.end());
         copy(1500 * kMs);
         for (int i = 0; i < 12; ++i) {  // 5 ms out of every 60 ms
           copy(static_cast<long>(at) + 55 * kMs);
           at += 5 * kMs;
         }
         copy(2600 * kMs);
         const Samples c2 = Concealment(out, 60 * kMs);
         out.insert(out.end(), c2.begin(), c2.end());
         copy(3100 * kMs);
         out.insert(out.end(), 30 * kMs, 0);
         copy(static_cast<long>(s.size()));
         return out;
       },
       0.97, 1.0, 150, 260},
      // Faults: a third of the 20-ms packets lost, every 10-ms block played twice, other speech.
      {"packets lost",
       [](const Samples& s) {
         Samples out = s;
         for (size_t i = 0; i < out.size(); ++i)
           if ((i / (20 * kMs)) % 3 == 1) out[i] = 0;
         return out;
       },
       0.0, 0.85, -1, -1},
      {"blocks doubled",
       [](const Samples& s) {
         Samples out;
         for (size_t at = 0; at + 10 * kMs <= s.size(); at += 10 * kMs)
           for (int twice = 0; twice < 2; ++twice) out.insert(out.end(), s.begin() + at, s.begin() + at + 10 * kMs);
         return out;
       },
       0.0, 0.4, -1, -1},
      {"other speech", [&](const Samples&) { return other; }, 0.0, 0.3, -1, -1},
  };
  for (const Case& c : cases) {
    Samples received(kDelay, 0);
    const Samples heard = c.path(sent);
    received.insert(received.end(), heard.begin(), heard.end());
    received.resize(received.size() + 16000, 0);
    const e2e::Alignment al = e2e::Align(sent, received, 0, 1000 * kMs);
    std::printf("%s: median %.3f (worst %.3f, %d windows), delay %.1f-%.1f ms\n", c.name, al.median, al.worst,
                al.windows, al.lowestLag / 16.0, al.highestLag / 16.0);
    EXPECT_GE(al.windows, 10) << c.name;
    EXPECT_GE(al.median, c.minMedian) << c.name;
    EXPECT_LE(al.median, c.maxMedian) << c.name;
    if (c.lowestMs >= 0) {
      EXPECT_NEAR(c.lowestMs, al.lowestLag / 16.0, 1.0) << c.name;
      EXPECT_NEAR(c.highestMs, al.highestLag / 16.0, 1.0) << c.name;
    }
  }
}

}  // namespace

// A listener whose playout opened after the talker began: its recording starts inside the first
// word, and the lag is negative.
TEST(E2eAlign, ARecordingThatBeganLateAlignsAtANegativeLag) {
  const Samples sent = Speech("The quick brown fox jumps over the lazy dog. One two three four five.");
  if (sent.empty()) GTEST_SKIP() << "espeak-ng and sox are needed";
  size_t start = 0;
  while (start < sent.size() && std::abs(sent[start]) < 1000) ++start;  // the first word
  const long late = static_cast<long>(start) + 80 * kMs;
  const Samples received(sent.begin() + late, sent.end());
  const e2e::Alignment al = e2e::Align(sent, received, -1000 * kMs, 1000 * kMs);
  EXPECT_GE(al.median, 0.99);
  EXPECT_EQ(-late, al.lag);
  EXPECT_EQ(-late, al.lowestLag);
  EXPECT_EQ(-late, al.highestLag);
  // Searched from 0 on, as before, it is not found.
  EXPECT_LT(e2e::Align(sent, received, 0, 1000 * kMs).median, 0.5);
}
