// Test helpers for Tidepool: RTP packet building, test signals and a 10-ms playout driver.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "voice/dsp/g711.h"
#include "voice/tidepool/tidepool.h"
#include "voice/tidepool/tidepool_internal.h"

namespace tidepool_test {

struct Rtp {
  uint8_t pt = 0;
  uint16_t seq = 0;
  uint32_t ts = 0;
  uint32_t ssrc = 0x1234;
  std::vector<uint8_t> payload;
};

inline std::vector<uint8_t> Build(const Rtp& r) {
  std::vector<uint8_t> p(12);
  p[0] = 0x80;
  p[1] = r.pt & 0x7f;
  p[2] = static_cast<uint8_t>(r.seq >> 8);
  p[3] = static_cast<uint8_t>(r.seq);
  for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(r.ts >> (24 - 8 * i));
  for (int i = 0; i < 4; ++i) p[8 + i] = static_cast<uint8_t>(r.ssrc >> (24 - 8 * i));
  p.insert(p.end(), r.payload.begin(), r.payload.end());
  return p;
}

// A voiced-sounding test signal: a 131-Hz harmonic series under a slow, uneven envelope, with a
// little noise so that no stretch of it repeats exactly.
inline std::vector<int16_t> Speech(int samples, int rate = 8000, double level = 9000.0) {
  std::vector<int16_t> s(static_cast<size_t>(samples));
  const double f0 = 131.0;
  uint32_t seed = 12345;
  for (int i = 0; i < samples; ++i) {
    const double t = static_cast<double>(i) / rate;
    double v = 0;
    for (int h = 1; h <= 6; ++h) v += std::sin(2 * M_PI * f0 * h * t + 0.3 * h) / h;
    const double env = 0.7 + 0.2 * std::sin(2 * M_PI * 1.3 * t) + 0.1 * std::sin(2 * M_PI * 3.1 * t + 1.0);
    seed = seed * 1103515245u + 12345u;
    const double noise = (static_cast<double>((seed >> 16) & 0x7fff) / 32768.0 - 0.5) * 0.04;
    s[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(level * 0.6 * (env * v + noise)));
  }
  return s;
}

inline std::vector<uint8_t> Ulaw(const int16_t* pcm, int n) {
  std::vector<uint8_t> out(static_cast<size_t>(n));
  G711_LinearToUlaw(pcm, static_cast<int16_t>(n), out.data());
  return out;
}

inline std::vector<int16_t> UlawDecode(const std::vector<uint8_t>& codes) {
  std::vector<int16_t> out(codes.size());
  G711_UlawToLinear(codes.data(), out.data(), static_cast<int16_t>(codes.size()));
  return out;
}

// One packet of a PCMU stream: 20-ms packets (160 samples) numbered from 0.
struct Stream {
  std::vector<int16_t> pcm;
  std::vector<uint8_t> codes;
  uint32_t ts0 = 1000;
  uint16_t seq0 = 100;
  uint32_t ssrc = 0x1234;
  int frame = 160;

  explicit Stream(int packets, int frameSamples = 160) : frame(frameSamples) {
    pcm = Speech(packets * frame);
    codes = Ulaw(pcm.data(), static_cast<int>(pcm.size()));
    decoded = UlawDecode(codes);
  }
  std::vector<int16_t> decoded;

  // Gives packet k other content (a 523-Hz tone), so that it cannot be mistaken for a concealment
  // of the packets around it.
  void MakeDistinct(int k) {
    for (int i = 0; i < frame; ++i)
      pcm[static_cast<size_t>(k * frame + i)] = static_cast<int16_t>(7000 * std::sin(2 * M_PI * 523.0 * i / 8000.0));
    const auto c = Ulaw(pcm.data() + k * frame, frame);
    std::copy(c.begin(), c.end(), codes.begin() + k * frame);
    const auto d = UlawDecode(c);
    std::copy(d.begin(), d.end(), decoded.begin() + k * frame);
  }

  std::vector<uint8_t> Packet(int k) const {
    Rtp r;
    r.pt = 0;
    r.seq = static_cast<uint16_t>(seq0 + k);
    r.ts = ts0 + static_cast<uint32_t>(k * frame);
    r.ssrc = ssrc;
    r.payload.assign(codes.begin() + k * frame, codes.begin() + (k + 1) * frame);
    return Build(r);
  }
};

struct Arrival {
  int atMs;  // arrival time; delivered before the RecOut call of that 10-ms tick
  std::vector<uint8_t> packet;
};

struct Tick {
  int16_t count = 0;
  int16_t tenMs = 0;  // 10 ms at the rate the instance plays at after the call
  int16_t result = 0;
  int32_t lastOp = 0;
};

// Drives one instance: every 10 ms, packets that have arrived go in, then 10 ms come out.
class Driver {
 public:
  explicit Driver(int rate = 8000) : rate_(rate) {
    TIDEPOOL_SONRA_10MS16B_create(&inst_);
    TIDEPOOL_SONRA_10MS16B_Init(inst_, rate);
    TIDEPOOL_SONRA_10MS16B_SetDTMFHandling(inst_, 1);
  }
  ~Driver() { TIDEPOOL_SONRA_10MS16B_free(inst_); }
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  TidepoolInst* inst() const { return inst_; }

  // `rtpRate` is the stream's RTP clock, in which arrival times are given (0: the instance's rate).
  void Run(std::vector<Arrival> arrivals, int ticks, int rtpRate = 0) {
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });
    size_t next = 0;
    for (int t = 0; t < ticks; ++t) {
      const int now = clock_ + 10 * t;
      while (next < arrivals.size() && arrivals[next].atMs <= now) {
        // An exact-size heap copy, so a read past the packet is caught.
        const auto& src = arrivals[next++].packet;
        std::unique_ptr<uint8_t[]> packet(new uint8_t[src.size()]);
        std::copy(src.begin(), src.end(), packet.get());
        TIDEPOOL_SONRA_10MS16B_RecIn(inst_, packet.get(), static_cast<int32_t>(src.size()),
                                     Tidepool_ArrivalTime(static_cast<uint64_t>(now), rtpRate ? rtpRate : rate_));
      }
      int16_t buf[160];
      Tick tick;
      tick.result = TIDEPOOL_SONRA_10MS16B_RecOut(inst_, buf, &tick.count);
      tick.lastOp = inst_->playout.lastOp;
      tick.tenMs = static_cast<int16_t>(80 << inst_->playout.shift);
      ticks_.push_back(tick);
      out_.insert(out_.end(), buf, buf + tick.count);
    }
    clock_ += 10 * ticks;
  }

  const std::vector<int16_t>& out() const { return out_; }
  const std::vector<Tick>& ticks() const { return ticks_; }

 private:
  TidepoolInst* inst_ = nullptr;
  int rate_;
  int clock_ = 0;
  std::vector<int16_t> out_;
  std::vector<Tick> ticks_;
};

// Offset of the first occurrence of `needle` in `hay` at or after `from`, or -1.
inline int Find(const std::vector<int16_t>& hay, const std::vector<int16_t>& needle, int from = 0) {
  if (needle.empty() || hay.size() < needle.size()) return -1;
  for (size_t i = static_cast<size_t>(std::max(from, 0)); i + needle.size() <= hay.size(); ++i)
    if (std::equal(needle.begin(), needle.end(), hay.begin() + static_cast<long>(i))) return static_cast<int>(i);
  return -1;
}

inline int LargestStep(const std::vector<int16_t>& s, size_t from, size_t to) {
  int worst = 0;
  for (size_t i = std::max<size_t>(from, 1); i < to && i < s.size(); ++i)
    worst = std::max(worst, std::abs(s[i] - s[i - 1]));
  return worst;
}

}  // namespace tidepool_test
