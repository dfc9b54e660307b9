// Tests of the RTCP session: report bytes and timing, round trip from LSR/DLSR, and reading hostile packets.
#include "voice/net/rtcp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "voice/tests_engine/trace_capture.h"

namespace {

uint64_t g_ntpA = 0;
uint64_t g_ntpB = 0;
uint64_t ClockA() { return g_ntpA; }
uint64_t ClockB() { return g_ntpB; }

// NTP time of whole and fractional seconds.
uint64_t Ntp(uint32_t seconds, double fraction = 0.0) {
  return (uint64_t{seconds} << 32) | static_cast<uint32_t>(fraction * 4294967296.0);
}
uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<uint8_t>(x >> s));
}
void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x >> 8));
  v.push_back(static_cast<uint8_t>(x));
}

struct Block {
  uint32_t ssrc, lsr, dlsr;
};
// An RR (or SR when ntp is given) from peerSsrc with the given report blocks.
std::vector<uint8_t> Report(uint32_t peerSsrc, const std::vector<Block>& blocks, bool sr = false, uint64_t ntp = 0) {
  std::vector<uint8_t> v;
  v.push_back(static_cast<uint8_t>(0x80 | blocks.size()));
  v.push_back(sr ? 200 : 201);
  Put16(v, static_cast<uint16_t>((sr ? 6 : 1) + 6 * blocks.size()));
  Put32(v, peerSsrc);
  if (sr) {
    Put32(v, static_cast<uint32_t>(ntp >> 32));
    Put32(v, static_cast<uint32_t>(ntp));
    Put32(v, 0);
    Put32(v, 10);
    Put32(v, 1600);
  }
  for (const Block& b : blocks) {
    Put32(v, b.ssrc);
    Put32(v, 0);
    Put32(v, 0);
    Put32(v, 0);
    Put32(v, b.lsr);
    Put32(v, b.dlsr);
  }
  return v;
}
void Append(std::vector<uint8_t>& v, const std::vector<uint8_t>& more) { v.insert(v.end(), more.begin(), more.end()); }
std::vector<uint8_t> Sdes(uint32_t ssrc, const std::string& cname) {
  std::vector<uint8_t> v = {0x81, 202, 0, 0};
  Put32(v, ssrc);
  v.push_back(1);
  v.push_back(static_cast<uint8_t>(cname.size()));
  v.insert(v.end(), cname.begin(), cname.end());
  do v.push_back(0); while (v.size() % 4);
  v[3] = static_cast<uint8_t>(v.size() / 4 - 1);
  return v;
}
std::vector<uint8_t> Bye(uint32_t ssrc) {
  std::vector<uint8_t> v = {0x81, 203, 0, 1};
  Put32(v, ssrc);
  return v;
}
std::vector<uint8_t> XrMetrics(uint32_t about, uint32_t firstWord, uint8_t blockType = 7) {
  std::vector<uint8_t> v = {0x80, 207, 0, 10};
  Put32(v, 0x1111);
  v.push_back(blockType);
  v.push_back(0);
  Put16(v, 8);
  Put32(v, about);
  for (uint32_t i = 0; i < 7; ++i) Put32(v, firstWord + i);
  return v;
}

class VnetRtcp : public ::testing::Test {
 protected:
  void SetUp() override {
    g_ntpA = Ntp(3900000000u, 0.25);
    a.SetNtpClock(ClockA);
  }
  // Builds one report of ours (own SSRC kOwn) and returns it.
  std::vector<uint8_t> Build(bool bye = false, RtcpReceptionStats stats = {}) {
    std::vector<uint8_t> buf(RtcpSession::kMaxReportLength);
    const int n = a.BuildReport(buf.data(), buf.size(), bye, kOwn, stats, 8, 1234u);
    EXPECT_GT(n, 0);
    buf.resize(n > 0 ? n : 0);
    return buf;
  }
  static constexpr uint32_t kOwn = 0xA1B2C3D4;
  plat::TestClock clock{100000};
  RtcpSession a;
};

TEST_F(VnetRtcp, ReportBytesAreExact) {
  a.SetCname("alice@host1");  // 11 characters: SDES of 24 bytes
  a.SetPeerSsrc(0x01020304);
  a.Enable();
  a.PacketSent(160);
  a.PacketSent(160);
  RtcpReceptionStats stats{300, 0x01000000, 0x00012345, 77};
  const std::vector<uint8_t> r = Build(true, stats);
  ASSERT_EQ(r.size(), 52u + 24u + 8u);
  // Sender report header and sender info.
  EXPECT_EQ(r[0], 0x81);
  EXPECT_EQ(r[1], 200);
  EXPECT_EQ(r[2], 0);
  EXPECT_EQ(r[3], 12);
  EXPECT_EQ(Be32(&r[4]), kOwn);
  EXPECT_EQ(Be32(&r[8]), 3900000000u);
  EXPECT_EQ(Be32(&r[12]), 0x40000000u);
  EXPECT_EQ(Be32(&r[16]), 1234u);
  EXPECT_EQ(Be32(&r[20]), 2u);
  EXPECT_EQ(Be32(&r[24]), 320u);
  // Report block: fraction capped to 8 bits, cumulative to the positive 24-bit range.
  EXPECT_EQ(Be32(&r[28]), 0x01020304u);
  EXPECT_EQ(Be32(&r[32]), 0xFF7FFFFFu);
  EXPECT_EQ(Be32(&r[36]), 0x00012345u);
  EXPECT_EQ(Be32(&r[40]), 77u);
  EXPECT_EQ(Be32(&r[44]), 0u);  // no SR from the peer yet: LSR and DLSR 0
  EXPECT_EQ(Be32(&r[48]), 0u);
  // SDES: header, SSRC, CNAME item of 11, three zero bytes; length field 5.
  const uint8_t* s = &r[52];
  EXPECT_EQ(s[0], 0x81);
  EXPECT_EQ(s[1], 202);
  EXPECT_EQ(s[3], 5);
  EXPECT_EQ(Be32(s + 4), kOwn);
  EXPECT_EQ(s[8], 1);
  EXPECT_EQ(s[9], 11);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s + 10), 11), "alice@host1");
  EXPECT_EQ(s[21], 0);
  EXPECT_EQ(s[22], 0);
  EXPECT_EQ(s[23], 0);
  // BYE.
  const uint8_t* b = &r[76];
  EXPECT_EQ(b[0], 0x81);
  EXPECT_EQ(b[1], 203);
  EXPECT_EQ(b[3], 1);
  EXPECT_EQ(Be32(b + 4), kOwn);
  EXPECT_EQ(a.OwnSsrc(), kOwn);
  EXPECT_EQ(a.LastReportedStats().jitter, 77u);
}

TEST_F(VnetRtcp, CnamePaddingKeepsAtLeastOneZeroByte) {
  struct Case {
    size_t length, sdesBytes;
  } cases[] = {{0, 12}, {1, 12}, {2, 16}, {6, 20}, {11, 24}, {254, 268}, {255, 268}, {300, 268}};
  for (const Case& c : cases) {
    a.SetCname(std::string(c.length, 'x'));
    const std::vector<uint8_t> r = Build();
    ASSERT_EQ(r.size(), 52 + c.sdesBytes) << c.length;
    EXPECT_EQ(r[52 + 3], c.sdesBytes / 4 - 1) << c.length;
    EXPECT_EQ(r.back(), 0) << c.length;
    EXPECT_EQ(r[52 + 9], std::min<size_t>(c.length, 255)) << c.length;
  }
}

TEST_F(VnetRtcp, RefusesABufferTooSmallForTheLargestReport) {
  std::vector<uint8_t> buf(RtcpSession::kMaxReportLength - 1);
  EXPECT_EQ(a.BuildReport(buf.data(), buf.size(), true, kOwn, {}, 8), -1);
}

TEST_F(VnetRtcp, WallClockTimestampWithoutTheSendersOne) {
  g_ntpA = Ntp(1000, 0.5);
  std::vector<uint8_t> buf(RtcpSession::kMaxReportLength);
  ASSERT_GT(a.BuildReport(buf.data(), buf.size(), false, kOwn, {}, 8), 0);
  EXPECT_EQ(Be32(&buf[16]), 1000u * 8000u + 4000u);
  ASSERT_GT(a.BuildReport(buf.data(), buf.size(), false, kOwn, {}, 16, 0xDEADBEEFu), 0);
  EXPECT_EQ(Be32(&buf[16]), 0xDEADBEEFu);
}

TEST_F(VnetRtcp, FirstReportTwoSecondsAfterEnableThenEveryFive) {
  EXPECT_FALSE(a.ReportDue());  // disabled
  a.Enable();
  clock.advance(2000);
  EXPECT_FALSE(a.ReportDue());
  clock.advance(1);
  EXPECT_TRUE(a.ReportDue());
  Build();
  clock.advance(5000);
  EXPECT_FALSE(a.ReportDue());
  clock.advance(1);
  EXPECT_TRUE(a.ReportDue());
  a.Disable();
  EXPECT_FALSE(a.ReportDue());
}

TEST_F(VnetRtcp, EnableRestartsCounters) {
  a.Enable();
  a.PacketSent(100);
  EXPECT_EQ(a.PacketsSent(), 1u);
  EXPECT_EQ(a.OctetsSent(), 100u);
  a.Enable();
  EXPECT_EQ(a.PacketsSent(), 0u);
  EXPECT_EQ(a.OctetsSent(), 0u);
}

// The round trip from a report block about us: arrival - LSR - DLSR.
TEST_F(VnetRtcp, RoundTripFromLsrAndDlsr) {
  Build();
  const uint32_t lsr = static_cast<uint32_t>(g_ntpA >> 16);
  g_ntpA += Ntp(1, 0.25);  // the peer's answer arrives 1250 ms after our report
  for (bool sr : {false, true}) {
    std::vector<uint8_t> rr = Report(0x5555, {{kOwn, lsr, 65536}}, sr, Ntp(5, 0));
    ASSERT_TRUE(a.Parse(rr.data(), rr.size()));
    EXPECT_EQ(a.RoundTripTime(), 250) << sr;
  }
}

TEST_F(VnetRtcp, RoundTripIgnoresBlocksThatDoNotApply) {
  Build();
  const uint32_t lsr = static_cast<uint32_t>(g_ntpA >> 16);
  g_ntpA += Ntp(0, 0.5);
  std::vector<uint8_t> good = Report(0x5555, {{kOwn, lsr, 0}});
  ASSERT_TRUE(a.Parse(good.data(), good.size()));
  ASSERT_EQ(a.RoundTripTime(), 500);
  struct Case {
    const char* what;
    std::vector<uint8_t> packet;
  } cases[] = {
      {"another source", Report(0x5555, {{kOwn + 1, lsr, 0}})},
      {"no SR of ours yet (LSR 0)", Report(0x5555, {{kOwn, 0, 0}})},
      {"no blocks", Report(0x5555, {})},
      {"DLSR beyond the elapsed time", Report(0x5555, {{kOwn, lsr, 65536}})},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(a.Parse(c.packet.data(), c.packet.size())) << c.what;
    EXPECT_EQ(a.RoundTripTime(), 500) << c.what;
  }
  // The block about us is found among others.
  std::vector<uint8_t> mixed = Report(0x5555, {{0x77, lsr, 0}, {kOwn, lsr, 16384}});
  ASSERT_TRUE(a.Parse(mixed.data(), mixed.size()));
  EXPECT_EQ(a.RoundTripTime(), 250);
}

// Two sessions on clocks that disagree by hours: each side's round trip is right, because
// LSR echoes the peer's own timestamp and DLSR is the hold time.
TEST_F(VnetRtcp, TwoSessionsMeasureTheirRoundTripAcrossSkewedClocks) {
  RtcpSession b;
  b.SetNtpClock(ClockB);
  g_ntpB = Ntp(3900007200u, 0.9);  // two hours ahead, another fraction
  const uint32_t kB = 0x0B0B0B0B;
  std::vector<uint8_t> buf(RtcpSession::kMaxReportLength);
  int n = a.BuildReport(buf.data(), buf.size(), false, kOwn, {}, 8);
  g_ntpA += Ntp(0, 0.040);  // 40 ms on the way
  g_ntpB += Ntp(0, 0.040);
  ASSERT_TRUE(b.Parse(buf.data(), n));
  g_ntpA += Ntp(0, 0.700);  // B holds it 700 ms
  g_ntpB += Ntp(0, 0.700);
  b.SetPeerSsrc(kOwn);
  n = b.BuildReport(buf.data(), buf.size(), false, kB, {}, 8);
  EXPECT_EQ(Be32(&buf[28]), kOwn);
  EXPECT_NEAR(static_cast<double>(Be32(&buf[48])), 0.700 * 65536, 1.0);
  g_ntpA += Ntp(0, 0.040);
  g_ntpB += Ntp(0, 0.040);
  ASSERT_TRUE(a.Parse(buf.data(), n));
  EXPECT_NEAR(a.RoundTripTime(), 80, 1);
  // And the other way round.
  a.SetPeerSsrc(kB);
  n = a.BuildReport(buf.data(), buf.size(), false, kOwn, {}, 8);
  g_ntpA += Ntp(0, 0.040);
  g_ntpB += Ntp(0, 0.040);
  ASSERT_TRUE(b.Parse(buf.data(), n));
  EXPECT_NEAR(b.RoundTripTime(), 80, 1);
}

// The hold time is taken in 64 bits: a fraction that wraps below the arrival's does not borrow wrongly.
TEST_F(VnetRtcp, DlsrAcrossAFractionWrap) {
  g_ntpA = Ntp(100, 0.9);
  std::vector<uint8_t> sr = Report(0x5555, {}, true, Ntp(7, 0.5));
  ASSERT_TRUE(a.Parse(sr.data(), sr.size()));
  g_ntpA = Ntp(101, 0.15);  // 250 ms later
  const std::vector<uint8_t> r = Build();
  EXPECT_EQ(Be32(&r[44]), (7u << 16) | 0x8000u);
  EXPECT_EQ(Be32(&r[48]), 16384u);
}

TEST_F(VnetRtcp, CompoundPacketSetsPeerSsrcAndCnameAndIgnoresBye) {
  std::vector<uint8_t> p = Report(0x5555, {});
  Append(p, Sdes(0x5555, "bob@example.net"));
  Append(p, Bye(0x5555));
  ASSERT_TRUE(a.Parse(p.data(), p.size()));
  EXPECT_EQ(a.PeerSsrc(), 0x5555u);
  EXPECT_EQ(a.PeerCname(), "bob@example.net");
  char small[5];
  EXPECT_EQ(a.GetPeerCname(small, sizeof small), 4);
  EXPECT_STREQ(small, "bob@");
}

TEST_F(VnetRtcp, KeepsVoipMetricsAboutUsOnly) {
  Build();
  uint32_t words[7];
  std::vector<uint8_t> p = Report(0x5555, {});
  Append(p, XrMetrics(kOwn + 1, 100));  // about someone else
  Append(p, XrMetrics(kOwn, 200, 4));   // another block type
  ASSERT_TRUE(a.Parse(p.data(), p.size()));
  EXPECT_FALSE(a.VoipMetrics(words));
  p = Report(0x5555, {});
  Append(p, XrMetrics(kOwn, 300));
  ASSERT_TRUE(a.Parse(p.data(), p.size()));
  ASSERT_TRUE(a.VoipMetrics(words));
  EXPECT_EQ(words[0], 300u);
  EXPECT_EQ(words[6], 306u);
}

// Every kind of malformed packet is read safely: the copies are exactly as long as the
// datagram, so a read past it is caught by the sanitizers.
TEST_F(VnetRtcp, MalformedPacketsAreReadSafely) {
  Build();
  const uint32_t lsr = static_cast<uint32_t>(g_ntpA >> 16);
  auto sdesWithItemLength = [](uint8_t len) {
    std::vector<uint8_t> v = Report(0x5555, {});
    Append(v, {0x81, 202, 0, 2, 0, 0, 0x66, 0x66, 1, len, 'a', 'b'});
    return v;
  };
  auto withRc = [&](uint8_t rc) {
    std::vector<uint8_t> v = Report(0x5555, {{kOwn, lsr, 0}});
    v[0] = static_cast<uint8_t>(0x80 | rc);
    return v;
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> packet;
    bool firstAccepted;
  } cases[] = {
      {"empty", {}, false},
      {"three bytes", {0x81, 201, 0}, false},
      {"header only", {0x80, 201, 0, 1}, false},
      {"version 1", {0x41, 201, 0, 1, 0, 0, 0, 1}, false},
      {"starts with SDES", Sdes(1, "x"), false},
      {"starts with BYE", Bye(1), false},
      {"length field beyond the datagram", {0x80, 201, 0, 9, 0, 0, 0, 1}, false},
      {"SR shorter than its sender info", {0x80, 200, 0, 1, 0, 0, 0, 1}, false},
      {"RC 31 with one block", withRc(31), true},
      {"RC 1 with no block", {0x81, 201, 0, 1, 0, 0, 0, 1}, true},
      {"SDES item longer than the packet", sdesWithItemLength(200), true},
      {"SDES chunk count 0", [] { auto v = Report(1, {}); Append(v, {0x80, 202, 0, 0}); return v; }(), true},
      {"second packet cut short", [] { auto v = Report(1, {}); Append(v, {0x81, 202, 0, 40, 0, 0}); return v; }(), true},
      {"second header cut", [] { auto v = Report(1, {}); Append(v, {0x81, 202}); return v; }(), true},
      {"XR block longer than the packet", [&] { auto v = Report(1, {}); auto x = XrMetrics(kOwn, 9); x[10] = 0x40; Append(v, x); return v; }(), true},
      {"XR of header only", [] { auto v = Report(1, {}); Append(v, {0x80, 207, 0, 0}); return v; }(), true},
      {"XR VoIP block too short", [&] { auto v = Report(1, {}); Append(v, {0x80, 207, 0, 3, 0, 0, 0, 1, 7, 0, 0, 1}); Put32(v, kOwn); return v; }(), true},
  };
  for (const Case& c : cases) {
    // Heap copy of exactly the datagram's size.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[c.packet.size() + 1]);
    if (!c.packet.empty()) std::memcpy(copy.get(), c.packet.data(), c.packet.size());
    EXPECT_EQ(a.Parse(c.packet.empty() ? nullptr : copy.get(), c.packet.size()), c.firstAccepted) << c.what;
  }
  EXPECT_EQ(a.PeerCname(), "");
  uint32_t words[7];
  EXPECT_FALSE(a.VoipMetrics(words));
}

// Every short or cut report the parse drops leaves a line in the engine trace.
TEST_F(VnetRtcp, DroppedReportsAreTraced) {
  Build();
  const struct {
    std::vector<uint8_t> packet;
    const char* line;
  } cases[] = {
      {{0x81, 201, 0}, "\tRTCP packet dropped: 3 bytes, shorter than a report header\n"},
      {{0x41, 201, 0, 1, 0, 0, 0, 1}, "\tRTCP packet dropped: version 1\n"},
      {{0x80, 201, 0, 9, 0, 0, 0, 1}, "\tRTCP packet dropped: length field 40 beyond the 8 bytes received\n"},
      {{0x80, 200, 0, 1, 0, 0, 0, 1}, "\tRTCP packet dropped: length field 8 below the 28 bytes of its fixed part\n"},
      {[] { auto v = Report(1, {}); Append(v, {0x81, 202, 0, 40, 0, 0}); return v; }(),
       "\tRTCP compound packet cut at byte 8 (bad header or length)\n"},
  };
  for (const auto& c : cases) {
    voicetest::TraceCapture capture;
    a.Parse(c.packet.data(), c.packet.size());
    const std::string text = capture.Text();
    EXPECT_NE(std::string::npos, text.find(c.line)) << c.line << text;
  }
}

// Mutations and truncations of a valid compound packet never read outside it.
TEST_F(VnetRtcp, MutatedCompoundPacketsNeverCrash) {
  Build();
  std::vector<uint8_t> base = Report(0x5555, {{kOwn, 1, 2}}, true, Ntp(9));
  Append(base, Sdes(0x5555, "peer@x"));
  Append(base, XrMetrics(kOwn, 1));
  Append(base, Bye(0x5555));
  std::mt19937 rng(1234);
  for (int i = 0; i < 20000; ++i) {
    std::vector<uint8_t> p = base;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) p[rng() % p.size()] = static_cast<uint8_t>(rng());
    p.resize(rng() % (p.size() + 1));
    std::unique_ptr<uint8_t[]> copy(new uint8_t[p.size() ? p.size() : 1]);
    if (!p.empty()) std::memcpy(copy.get(), p.data(), p.size());
    a.Parse(copy.get(), p.size());
  }
  EXPECT_LE(a.PeerCname().size(), 255u);
}

}  // namespace
