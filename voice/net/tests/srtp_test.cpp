// Tests of the SRTP glue: protect/unprotect between two sessions, tampering and replays, policies, trailer room.
#include "voice/net/srtp_glue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "voice/net/tests/srtp_policy.h"

namespace {

const unsigned char kKeyA[30] = {0xE1, 0xF9, 0x7A, 0x0D, 0x3E, 0x01, 0x8B, 0xE0, 0xD6, 0x4F, 0xA3, 0x2C, 0x06, 0xDE, 0x41,
                                 0x39, 0x0E, 0xC6, 0x75, 0xAD, 0x49, 0x8A, 0xFE, 0xEB, 0xB6, 0x96, 0x0B, 0x3A, 0xAB, 0xE6};
const unsigned char kKeyB[30] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF,
                                 0x01, 0x12, 0x23, 0x34, 0x45, 0x56, 0x67, 0x78, 0x89, 0x9A, 0xAB, 0xBC, 0xCD, 0xDE, 0xEF};

SrtpPolicy Policy(const unsigned char* key, int direction) { return vnet_test::AesPolicy(key, direction); }

// A PCMU-like RTP packet in a buffer with room for the trailer.
std::vector<uint8_t> Rtp(uint16_t seq, uint32_t ssrc, int payload = 160) {
  std::vector<uint8_t> v(12 + payload + kSrtpMaxTrailer, 0);
  v[0] = 0x80;
  v[1] = 0;
  v[2] = static_cast<uint8_t>(seq >> 8);
  v[3] = static_cast<uint8_t>(seq);
  const uint32_t ts = seq * 160u;
  for (int i = 0; i < 4; ++i) {
    v[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
    v[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
  }
  for (int i = 0; i < payload; ++i) v[12 + i] = static_cast<uint8_t>(i * 7 + seq);
  return v;
}

TEST(VnetSrtp, InitIsRepeatable) {
  EXPECT_EQ(SRTP_Init(), 0);
  EXPECT_EQ(SRTP_Init(), 0);
}

// Two channels, each with its own key: A's sender to B's receiver and back.
TEST(VnetSrtp, TwoChannelsProtectAndUnprotectEachOther) {
  auto sendA = SrtpSession::Create(Policy(kKeyA, kSrtpAnyOutbound));
  auto recvB = SrtpSession::Create(Policy(kKeyA, kSrtpAnyInbound));
  auto sendB = SrtpSession::Create(Policy(kKeyB, kSrtpAnyOutbound));
  auto recvA = SrtpSession::Create(Policy(kKeyB, kSrtpAnyInbound));
  ASSERT_TRUE(sendA && recvB && sendB && recvA);
  struct Way {
    SrtpSession* send;
    SrtpSession* recv;
    uint32_t ssrc;
  } ways[] = {{sendA.get(), recvB.get(), 0x1234}, {sendB.get(), recvA.get(), 0x9876}};
  for (const Way& w : ways) {
    for (uint16_t seq = 100; seq < 150; ++seq) {
      std::vector<uint8_t> pkt = Rtp(seq, w.ssrc);
      const std::vector<uint8_t> plain(pkt.begin(), pkt.begin() + 172);
      int len = 172;
      ASSERT_EQ(w.send->Protect(pkt.data(), &len, pkt.size()), 0);
      ASSERT_EQ(len, 182);  // 10-byte tag
      EXPECT_NE(std::memcmp(pkt.data() + 12, plain.data() + 12, 160), 0) << "payload must be encrypted";
      EXPECT_EQ(std::memcmp(pkt.data(), plain.data(), 12), 0) << "header stays readable";
      ASSERT_EQ(w.recv->Unprotect(pkt.data(), &len), 0);
      ASSERT_EQ(len, 172);
      EXPECT_EQ(std::memcmp(pkt.data(), plain.data(), 172), 0);
    }
  }
  // The wrong key is refused.
  std::vector<uint8_t> pkt = Rtp(500, 0x1234);
  int len = 172;
  ASSERT_EQ(sendA->Protect(pkt.data(), &len, pkt.size()), 0);
  EXPECT_EQ(recvA->Unprotect(pkt.data(), &len), -1);
}

TEST(VnetSrtp, TamperedAndReplayedPacketsAreRejected) {
  auto send = SrtpSession::Create(Policy(kKeyA, kSrtpAnyOutbound));
  auto recv = SrtpSession::Create(Policy(kKeyA, kSrtpAnyInbound));
  ASSERT_TRUE(send && recv);
  struct Case {
    const char* what;
    int offset;  // byte flipped; -1 = none
  } cases[] = {{"header byte", 1}, {"sequence", 3}, {"payload", 40}, {"tag", 180}};
  uint16_t seq = 1;
  for (const Case& c : cases) {
    std::vector<uint8_t> pkt = Rtp(seq++, 0x4242);
    int len = 172;
    ASSERT_EQ(send->Protect(pkt.data(), &len, pkt.size()), 0);
    pkt[c.offset] ^= 0x01;
    EXPECT_EQ(recv->Unprotect(pkt.data(), &len), -1) << c.what;
  }
  // A good packet passes once; the same packet again is a replay.
  std::vector<uint8_t> pkt = Rtp(seq++, 0x4242);
  int len = 172;
  ASSERT_EQ(send->Protect(pkt.data(), &len, pkt.size()), 0);
  std::vector<uint8_t> again = pkt;
  int againLen = len;
  EXPECT_EQ(recv->Unprotect(pkt.data(), &len), 0);
  EXPECT_EQ(recv->Unprotect(again.data(), &againLen), -1);
}

TEST(VnetSrtp, MalformedDatagramsAreRefusedSafely) {
  auto recv = SrtpSession::Create(Policy(kKeyA, kSrtpAnyInbound));
  ASSERT_TRUE(recv);
  auto make = [](std::initializer_list<uint8_t> head, size_t total) {
    std::vector<uint8_t> v(head);
    v.resize(total, 0x5A);
    return v;
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> packet;
  } cases[] = {
      {"empty", {}},
      {"one byte", {0x80}},
      {"eleven bytes", make({0x80, 0}, 11)},
      {"header only", make({0x80, 0}, 12)},
      {"header and short tag", make({0x80, 0}, 16)},
      {"15 CSRCs in 40 bytes", make({0x8F, 0}, 40)},
      {"extension longer than the packet", make({0x90, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0xBE, 0xDE, 0xFF, 0xFF}, 30)},
      {"version 0", make({0x00, 0}, 60)},
      {"garbage", make({0xFF, 0xFF, 0xFF, 0xFF}, 200)},
  };
  for (const Case& c : cases) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[c.packet.size() + 1]);
    if (!c.packet.empty()) std::memcpy(copy.get(), c.packet.data(), c.packet.size());
    int len = static_cast<int>(c.packet.size());
    EXPECT_EQ(recv->Unprotect(copy.get(), &len), -1) << c.what;
  }
  std::mt19937 rng(77);
  for (int i = 0; i < 5000; ++i) {
    const size_t n = rng() % 300;
    std::unique_ptr<uint8_t[]> p(new uint8_t[n + 1]);
    for (size_t k = 0; k < n; ++k) p[k] = static_cast<uint8_t>(rng());
    if (n > 0) p[0] = static_cast<uint8_t>(0x80 | (p[0] & 0x3F));
    int len = static_cast<int>(n);
    EXPECT_EQ(recv->Unprotect(p.get(), &len), -1);
  }
}

TEST(VnetSrtp, PoliciesOutsideTheAcceptedValuesCreateNoSession) {
  struct Case {
    const char* what;
    void (*change)(SrtpPolicy&);
  } cases[] = {
      {"cipher 2", [](SrtpPolicy& p) { p.cipherType = 2; }},
      {"auth 1", [](SrtpPolicy& p) { p.authType = 1; }},
      {"services 4", [](SrtpPolicy& p) { p.securityServices = 4; }},
      {"services -1", [](SrtpPolicy& p) { p.securityServices = -1; }},
      {"direction 1", [](SrtpPolicy& p) { p.direction = 1; }},
      {"no key", [](SrtpPolicy& p) { p.key = nullptr; }},
      {"AES key of 16", [](SrtpPolicy& p) { p.cipherKeyLength = 16; }},
  };
  for (const Case& c : cases) {
    SrtpPolicy p = Policy(kKeyA, kSrtpAnyOutbound);
    c.change(p);
    EXPECT_EQ(SrtpSession::Create(p), nullptr) << c.what;
    SrtpSlot slot;
    ASSERT_EQ(slot.Enable(Policy(kKeyA, kSrtpAnyOutbound)), 0);
    EXPECT_EQ(slot.Enable(p), -1) << c.what;
    EXPECT_FALSE(slot.Enabled()) << c.what;
  }
}

TEST(VnetSrtp, NullPolicyPassesPacketsUnchanged) {
  SrtpPolicy p;  // NULL cipher, NULL auth, no services
  p.cipherKeyLength = 30;  // the library derives keys from a master key and salt even then
  p.key = kKeyA;
  for (int direction : {kSrtpAnyOutbound, kSrtpAnyInbound}) {
    p.direction = direction;
    auto s = SrtpSession::Create(p);
    ASSERT_TRUE(s);
    for (uint16_t seq = 1; seq < 4; ++seq) {  // distinct sequence numbers: the replay check stays on
      std::vector<uint8_t> pkt = Rtp(seq, 7);
      const std::vector<uint8_t> plain = pkt;
      int len = 172;
      ASSERT_EQ(direction == kSrtpAnyOutbound ? s->Protect(pkt.data(), &len, pkt.size())
                                              : s->Unprotect(pkt.data(), &len),
                0);
      EXPECT_EQ(len, 172);
      EXPECT_EQ(pkt, plain);
    }
  }
}

// Protection needs room for the trailer after the packet; without it nothing is written.
TEST(VnetSrtp, ProtectRefusesWithoutTrailerRoom) {
  auto send = SrtpSession::Create(Policy(kKeyA, kSrtpAnyOutbound));
  ASSERT_TRUE(send);
  std::vector<uint8_t> pkt = Rtp(1, 1);
  const std::vector<uint8_t> plain = pkt;
  int len = 172;
  EXPECT_EQ(send->Protect(pkt.data(), &len, 172 + kSrtpMaxTrailer - 1), -1);
  EXPECT_EQ(len, 172);
  EXPECT_EQ(pkt, plain);
  EXPECT_EQ(send->Protect(pkt.data(), &len, 172 + kSrtpMaxTrailer), 0);
  EXPECT_EQ(len, 182);
  // The largest payload the sender allows still fits a buffer sized for it.
  std::vector<uint8_t> big = Rtp(2, 1, 1500);
  len = 1512;
  EXPECT_EQ(send->Protect(big.data(), &len, big.size()), 0);
}

TEST(VnetSrtp, SlotRefusesWhenDisabledAndCountsFailures) {
  SrtpSlot slot;
  std::vector<uint8_t> pkt = Rtp(1, 1);
  int len = 172;
  EXPECT_EQ(slot.Protect(pkt.data(), &len, pkt.size()), -1);  // the caller drops the packet
  EXPECT_EQ(slot.Failures(), 1u);
  ASSERT_EQ(slot.Enable(Policy(kKeyA, kSrtpAnyOutbound)), 0);
  EXPECT_EQ(slot.Protect(pkt.data(), &len, pkt.size()), 0);
  slot.Disable();
  EXPECT_FALSE(slot.Enabled());
  pkt = Rtp(2, 1);
  len = 172;
  EXPECT_EQ(slot.Protect(pkt.data(), &len, pkt.size()), -1);
  EXPECT_EQ(slot.Failures(), 2u);
}

// Switching the session from another thread while packets are protected never frees a
// session in use (run under the sanitizers).
TEST(VnetSrtp, SlotSwitchesSafelyWhileInUse) {
  SrtpSlot slot;
  ASSERT_EQ(slot.Enable(Policy(kKeyA, kSrtpAnyOutbound)), 0);
  std::atomic<bool> done{false};
  std::thread media([&] {
    uint16_t seq = 0;
    while (!done.load()) {
      std::vector<uint8_t> pkt = Rtp(++seq, 5);
      int len = 172;
      const int r = slot.Protect(pkt.data(), &len, pkt.size());
      if (r == 0) {
        EXPECT_EQ(len, 182);
      }
    }
  });
  for (int i = 0; i < 300; ++i) {
    if (i % 3 == 2)
      slot.Disable();
    else
      slot.Enable(Policy(i % 2 ? kKeyA : kKeyB, kSrtpAnyOutbound));
  }
  done.store(true);
  media.join();
}

}  // namespace
