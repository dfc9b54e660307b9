// Processing wrappers and files: DTMF tones, resampler counts, level meter, high-pass filter, streams and WAV conversion.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "voice/file_stream.h"
#include "voice/processing.h"

namespace {

double Power(const std::vector<int16_t>& x, double freq, double rate) {
  const double k = 2.0 * std::cos(2.0 * M_PI * freq / rate);
  double s1 = 0, s2 = 0;
  for (int16_t v : x) {
    const double s0 = v + k * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return s1 * s1 + s2 * s2 - k * s1 * s2;
}

TEST(DtmfTones, EveryDigitAtBothRatesHasItsTwoTones) {
  static const double kRows[4] = {697, 770, 852, 941};
  static const double kCols[4] = {1209, 1336, 1477, 1633};
  for (int rate : {8000, 16000}) {
    for (int digit = 0; digit < 16; ++digit) {
      SCOPED_TRACE("digit " + std::to_string(digit) + " at " + std::to_string(rate));
      DtmfToneGenerator g;
      std::vector<int16_t> x(static_cast<size_t>(rate / 10));
      for (size_t at = 0; at < x.size(); at += 80) ASSERT_EQ(0, g.Tone(&x[at], digit, 10, 80, rate));
      int rowHz = 0, colHz = 0;
      Sonra_DtmfFrequencies(digit, &rowHz, &colHz);
      double row = 0, col = 0, other = 0;
      for (double f : kRows) {
        if (f == rowHz)
          row = Power(x, f, rate);
        else
          other = std::max(other, Power(x, f, rate));
      }
      for (double f : kCols) {
        if (f == colHz)
          col = Power(x, f, rate);
        else
          other = std::max(other, Power(x, f, rate));
      }
      EXPECT_GT(row, 100 * other);
      EXPECT_GT(col, 100 * other);
      // The row tone is 3 dB below the column tone.
      EXPECT_NEAR(10 * std::log10(col / row), 3.0, 0.6);
      int16_t peak = 0;
      for (int16_t v : x) peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(v)));
      EXPECT_GT(peak, 6000);
      EXPECT_LT(peak, 12000);  // 10 dB below the generator's full level
    }
  }
  int rowHz = 0, colHz = 0;
  Sonra_DtmfFrequencies(11, &rowHz, &colHz);
  EXPECT_EQ(941, rowHz);
  EXPECT_EQ(1477, colHz);
  DtmfToneGenerator g;
  int16_t x[80];
  EXPECT_EQ(-1, g.Tone(x, 3, 10, 80, 44100));
  EXPECT_EQ(-1, g.Tone(x, 16, 10, 80, 8000));
}

struct ResampleCase {
  int mode;
  int perCall;
  int calls;
  int firstOut;  // outputs of the first call (the fractional stage holds some inputs back)
};

TEST(ResamplerTo16, OutputCountsPerMode) {
  const ResampleCase cases[] = {
      {8, 80, 5, 160},  {16, 80, 5, 80}, {32, 80, 5, 40},  {44, 80, 50, 24}, {48, 48, 50, 12},
      {24, 48, 50, 28}, {22, 44, 50, 24}, {11, 44, 50, 56}, {12, 48, 50, 60},
  };
  for (const ResampleCase& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode));
    SonraResamplerTo16 st;
    ASSERT_EQ(0, Sonra_ResamplerTo16_init(&st, c.mode));
    std::vector<int16_t> in(static_cast<size_t>(c.perCall), 1000);
    int16_t out[400];
    int total = 0;
    for (int i = 0; i < c.calls; ++i) {
      int n = -1;
      ASSERT_EQ(0, Sonra_ResamplerTo16(&st, in.data(), c.perCall, out, &n, 400));
      if (i == 0) {
        EXPECT_EQ(c.firstOut, n);
      }
      total += n;
    }
    // In the long run the output keeps the ratio 16 / mode exactly, less what is held back.
    const double ideal = static_cast<double>(c.perCall) * c.calls * 16.0 / c.mode;
    EXPECT_LE(total, ideal);
    EXPECT_GE(total, ideal - 20);
  }
  SonraResamplerTo16 st;
  for (int bad : {0, 7, 10, 20, 96, -8}) {
    EXPECT_EQ(-1, Sonra_ResamplerTo16_init(&st, bad)) << bad;
  }
}

TEST(LevelMeter, RisesAfterElevenBlocksAndHalvesItsPeak) {
  LevelMeter m;
  std::vector<int16_t> loud(160, 32767), quiet(160, 0);
  for (int i = 0; i < 10; ++i) m.Process(loud.data(), 160);
  EXPECT_EQ(0, m.Level());
  m.Process(loud.data(), 160);
  EXPECT_EQ(9, m.Level());
  // Silence afterwards: the peak halves every 11 blocks: 16383, 8191, 4095, 2047, 1023, 511, 255, 127.
  const int expected[] = {7, 5, 4, 2, 1, 1, 1, 0};
  for (int e : expected) {
    for (int i = 0; i < 11; ++i) m.Process(quiet.data(), 160);
    EXPECT_EQ(e, m.Level());
  }
  LevelMeter n;
  std::vector<int16_t> neg(80, -20000);
  for (int i = 0; i < 11; ++i) n.Process(neg.data(), 80);
  EXPECT_EQ(8, n.Level());
}

TEST(HighPassFilter, RefusesBadBlocksAndRemovesDc) {
  HighPassFilter f;
  std::vector<int16_t> x(321, 5000);
  EXPECT_EQ(65535, f.Filter(x.data(), 321, 16000));
  EXPECT_EQ(5000, x[0]);
  EXPECT_EQ(65535, f.Filter(x.data(), 160, 44100));
  for (int rate : {8000, 16000}) {
    HighPassFilter g;
    std::vector<int16_t> dc(160, 8000);
    int last = 0;
    for (int i = 0; i < 200; ++i) {
      std::fill(dc.begin(), dc.end(), 8000);
      ASSERT_EQ(160, g.Filter(dc.data(), 160, rate));
      last = dc.back();
    }
    EXPECT_LT(std::abs(last), 50) << rate;
  }
}

TEST(RateConverters, SineSurvivesTheRoundTrip) {
  Rate48To16 down;
  RateHalver halve;
  RateDoubler twice;
  Rate16To48 up;
  std::vector<double> in, out;
  for (int blk = 0; blk < 60; ++blk) {
    int16_t x[480];
    for (int i = 0; i < 480; ++i) {
      x[i] = static_cast<int16_t>(10000 * std::sin(2 * M_PI * 1000.0 * (blk * 480 + i) / 48000.0));
      in.push_back(x[i]);
    }
    int16_t w[160], n[80], y[480];
    down.Convert(x, 480, w);
    halve.Process(w, 160, n);
    twice.Process(n, 80, w);
    up.Convert(w, y);
    out.insert(out.end(), y, y + 480);
  }
  double best = 0;
  for (int lag = 0; lag < 400; ++lag) {
    double num = 0, ea = 0, eb = 0;
    for (size_t i = 5000; i < 25000; ++i) {
      num += in[i] * out[i + lag];
      ea += in[i] * in[i];
      eb += out[i + lag] * out[i + lag];
    }
    best = std::max(best, num / std::sqrt(ea * eb));
  }
  EXPECT_GT(best, 0.999);
}

// ---------------------------------------------------------------------------
// Streams and WAV conversion
// ---------------------------------------------------------------------------

std::string Le32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string Le16(uint16_t v) { return std::string{char(v), char(v >> 8)}; }
std::string Fmt(uint16_t tag, uint16_t ch, uint32_t rate, uint16_t bits, uint32_t size = 16) {
  std::string f = "fmt " + Le32(size) + Le16(tag) + Le16(ch) + Le32(rate) + Le32(rate * ch * bits / 8) +
                  Le16(static_cast<uint16_t>(ch * bits / 8)) + Le16(bits);
  if (size > 16) f += std::string(size - 16, '\0');
  return f;
}
std::string Data(const std::string& samples) { return "data" + Le32(static_cast<uint32_t>(samples.size())) + samples; }
std::string Wav(const std::string& chunks) { return "RIFF" + Le32(static_cast<uint32_t>(chunks.size() + 4)) + "WAVE" + chunks; }

std::vector<int16_t> Convert(const std::string& wav, int* result) {
  std::vector<uint8_t> bytes(wav.begin(), wav.end());
  MemoryInStream in(bytes);
  MemoryOutStream out;
  FILEConvert c;
  *result = c.ConvertFile(in, out);
  std::vector<int16_t> s(out.Data().size() / 2);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(out.Data()[2 * i] | (out.Data()[2 * i + 1] << 8));
  return s;
}

TEST(WavConversion, EightBitSamplesAndChunksAroundTheData) {
  // 16-kHz 8-bit: converted sample by sample without resampling.
  const std::string samples = std::string{char(0x80), char(0xFF), char(0x00), char(0x80)};
  int r = -1;
  std::vector<int16_t> s = Convert(Wav(Fmt(1, 1, 16000, 8) + Data(samples)), &r);
  ASSERT_EQ(0, r);
  ASSERT_EQ(4u, s.size());
  EXPECT_EQ(0, s[0]);
  EXPECT_EQ(32385, s[1]);
  EXPECT_EQ(-32640, s[2]);
  // A LIST chunk (odd-sized, so padded) between "fmt " and "data" is skipped.
  const std::string list = "LIST" + Le32(5) + "abcde" + std::string(1, '\0');
  s = Convert(Wav(Fmt(1, 1, 16000, 8) + list + Data(samples)), &r);
  ASSERT_EQ(0, r);
  EXPECT_EQ((std::vector<int16_t>{0, 32385, -32640, 0}), s);
  // An extensible fmt chunk longer than 16 bytes is accepted.
  s = Convert(Wav(Fmt(1, 1, 16000, 8, 18) + Data(samples)), &r);
  EXPECT_EQ(0, r);
  EXPECT_EQ(4u, s.size());
}

TEST(WavConversion, StereoIsAveragedAndResampled) {
  std::string samples;
  for (int i = 0; i < 4410; ++i) samples += Le16(1000) + Le16(3001);  // 0.1 s at 44100 Hz
  int r = -1;
  const std::vector<int16_t> s = Convert(Wav(Fmt(1, 2, 44100, 16) + Data(samples)), &r);
  ASSERT_EQ(0, r);
  EXPECT_NEAR(1600.0, static_cast<double>(s.size()), 40.0);
  // (1000 + 3001 + 1) >> 1 = 2001 once the filters have settled.
  EXPECT_NEAR(2001, s[s.size() / 2], 30);
}

TEST(WavConversion, DamagedOrForeignFilesAreRefused) {
  const std::string good = Data(std::string(160, '\x80'));
  const std::string cases[] = {
      "RIF",                                                      // too short
      "RIFX" + Le32(40) + "WAVE" + Fmt(1, 1, 8000, 8) + good,     // not RIFF
      "RIFF" + Le32(40) + "WAVX" + Fmt(1, 1, 8000, 8) + good,     // not WAVE
      Wav("fmt " + Le32(12) + std::string(12, '\0') + good),      // fmt chunk shorter than 16
      Wav(Fmt(85, 1, 8000, 8) + good),                            // MP3 format tag
      Wav(Fmt(1, 3, 8000, 8) + good),                             // three channels
      Wav(Fmt(1, 1, 8000, 24) + good),                            // 24-bit
      Wav(Fmt(7, 1, 16000, 16) + good),                           // mu-law of 16 bits a sample
      Wav(Fmt(6, 1, 16000, 16) + good),                           // A-law of 16 bits a sample
      Wav(Fmt(1, 1, 9000, 16) + good),                            // a rate the resampler does not know
      Wav(Fmt(1, 1, 8000, 16) + "data" + Le32(0xFFFFFFF0u) + "xx"),  // data size beyond reason
      Wav(Fmt(1, 1, 8000, 16) + "data" + Le32(100) + "short"),    // data cut off
      Wav("JUNK" + Le32(1000) + "abc"),                           // chunk running past the end
  };
  for (const std::string& wav : cases) {
    int r = 0;
    Convert(wav, &r);
    EXPECT_EQ(-1, r) << wav.substr(0, 12);
  }
}

// A WAV header followed by 8-bit silence made as it is read, and an output that only counts: a
// long file without the memory of one.
class GeneratedWav : public InStream {
 public:
  GeneratedWav(std::string head, uint64_t silence) : head_(std::move(head)), silence_(silence) {}
  int Read(void* buffer, int n) override {
    auto* p = static_cast<uint8_t*>(buffer);
    int got = 0;
    while (got < n && at_ < head_.size()) p[got++] = static_cast<uint8_t>(head_[at_++]);
    const uint64_t left = head_.size() + silence_ - at_;
    const int more = static_cast<int>(std::min<uint64_t>(left, static_cast<uint64_t>(n - got)));
    std::memset(p + got, 0x80, static_cast<size_t>(more));
    at_ += static_cast<uint64_t>(more);
    return got + more;
  }

 private:
  std::string head_;
  uint64_t silence_;
  uint64_t at_ = 0;
};

class CountingOut : public OutStream {
 public:
  bool Write(const void*, int n) override {
    bytes += static_cast<uint64_t>(n);
    return true;
  }
  uint64_t bytes = 0;
};

TEST(WavConversion, ALongFileConvertsWhole) {
  const uint32_t bytes = 65u << 20;  // 16-bit mono at 16000 Hz: 35 minutes
  GeneratedWav in("RIFF" + Le32(0) + "WAVE" + Fmt(1, 1, 16000, 16) + "data" + Le32(bytes), bytes);
  CountingOut out;
  FILEConvert c;
  ASSERT_EQ(0, c.ConvertFile(in, out));
  EXPECT_EQ(bytes, out.bytes);
}

TEST(WavConversion, MuLawAndALaw) {
  int r = -1;
  std::vector<int16_t> s = Convert(Wav(Fmt(7, 1, 16000, 8) + Data(std::string{char(0x80), char(0x00)})), &r);
  ASSERT_EQ(0, r);
  EXPECT_EQ((std::vector<int16_t>{32124, -32124}), s);
  s = Convert(Wav(Fmt(6, 1, 16000, 8) + Data(std::string{char(0xD5), char(0x55)})), &r);
  ASSERT_EQ(0, r);
  EXPECT_EQ((std::vector<int16_t>{8, -8}), s);
}

TEST(Streams, LoopingStreamStartsAgainOnAShortRead) {
  char path[] = "/tmp/tessaly_stream_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> data(700);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(700, write(fd, data.data(), data.size()));
  close(fd);
  InStream in;
  ASSERT_EQ(0, in.Open(path, true));
  uint8_t buf[320];
  EXPECT_EQ(320, in.Read(buf, 320));
  EXPECT_EQ(320, in.Read(buf, 320));
  // The last 60 bytes fill no block: 320 bytes from the start instead.
  EXPECT_EQ(320, in.Read(buf, 320));
  EXPECT_EQ(0, buf[0]);
  EXPECT_EQ(static_cast<uint8_t>(319), buf[319]);
  EXPECT_EQ(320, in.Read(buf, 320));
  EXPECT_EQ(static_cast<uint8_t>(320), buf[0]);
  EXPECT_TRUE(in.IsOpen());
  // A file shorter than one request stops looping and closes.
  InStream shorter;
  ASSERT_EQ(0, shorter.Open(path, true));
  std::vector<uint8_t> big(1000);
  EXPECT_EQ(700, shorter.Read(big.data(), 1000));
  EXPECT_FALSE(shorter.Loop());
  EXPECT_FALSE(shorter.IsOpen());
  InStream once;
  ASSERT_EQ(0, once.Open(path, false));
  EXPECT_EQ(320, once.Read(buf, 320));
  EXPECT_EQ(320, once.Read(buf, 320));
  EXPECT_EQ(60, once.Read(buf, 320));
  EXPECT_FALSE(once.IsOpen());
  EXPECT_EQ(0, once.Read(buf, 320));
  EXPECT_EQ(-1, once.Open("/nonexistent/dir/file.pcm"));
  std::remove(path);
}

TEST(Streams, OutputReplacesTheFileUnderItsName) {
  const std::string path = "/tmp/tessaly_out_" + std::to_string(getpid()) + ".pcm";
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fputs("an older, longer content", f);
    std::fclose(f);
  }
  {
    OutStream out;
    ASSERT_EQ(0, out.Open(path));
    EXPECT_TRUE(out.Write("abcd", 4));
    EXPECT_TRUE(out.Close());
  }
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(4, st.st_size);
  EXPECT_NE(0, access((path + ".tmp").c_str(), F_OK));
  std::remove(path.c_str());
  OutStream bad;
  EXPECT_EQ(-1, bad.Open("/nonexistent/dir/file.pcm"));
}

// A write that fails (here the file-size limit standing in for a full disk) reports the failure and
// keeps everything written before it.
TEST(Streams, FailedWriteKeepsWhatWasWritten) {
  const std::string path = "/tmp/tessaly_full_" + std::to_string(getpid()) + ".pcm";
  std::remove(path.c_str());
  rlimit old{};
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  const std::vector<uint8_t> block(4000, 0x5A);
  bool closed = true;
  {
    OutStream out;
    ASSERT_EQ(0, out.Open(path));
    for (int i = 0; i < 40; ++i) out.Write(block.data(), static_cast<int>(block.size()));
    closed = out.Close();
  }
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(closed);
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(64 * 1024, st.st_size);
  EXPECT_NE(0, access((path + ".tmp").c_str(), F_OK));
  std::remove(path.c_str());
}

}  // namespace
