// RTCP of a voice channel: builds SR + SDES (+ BYE) reports and reads the peer's compound packets.
#include "voice/net/rtcp.h"

#include <time.h>

#include <algorithm>
#include <cstring>

#include "platform/sync.h"
#include "voice/trace.h"

namespace {

constexpr uint64_t kNtpUnixOffset = 2208988800u;  // seconds from 1900 to 1970
constexpr uint32_t kFirstReportBackdateMs = 3000;
constexpr int kRtcpSr = 200;
constexpr int kRtcpRr = 201;
constexpr int kRtcpSdes = 202;
constexpr int kRtcpBye = 203;
constexpr int kRtcpXr = 207;
constexpr int kReportBlockLength = 24;
constexpr int kSdesCname = 1;
constexpr int kXrVoipMetrics = 7;

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
// The middle 32 bits of a 32.32 NTP time, the unit of LSR, DLSR and the round trip (1/65536 s).
uint32_t Middle32(uint64_t ntp) { return static_cast<uint32_t>(ntp >> 16); }

}  // namespace

uint64_t RtcpSystemNtpTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const uint64_t seconds = static_cast<uint64_t>(now.tv_sec) + kNtpUnixOffset;
  const uint64_t micros = static_cast<uint64_t>(now.tv_nsec) / 1000u;
  const uint64_t fraction = (micros << 32) / 1000000u;
  return (seconds << 32) | (fraction & 0xFFFFFFFFu);
}

RtcpSession::RtcpSession() : cname_(kDefaultCname) {}

uint64_t RtcpSession::NtpNow() const { return ntpClock_ ? ntpClock_() : RtcpSystemNtpTime(); }

void RtcpSession::SetNtpClock(RtcpNtpClock clock) {
  std::lock_guard<std::mutex> hold(lock_);
  ntpClock_ = clock;
}

void RtcpSession::Enable() {
  std::lock_guard<std::mutex> hold(lock_);
  enabled_ = true;
  packetsSent_ = 0;
  octetsSent_ = 0;
  rtt_ = 0;
  lastReportMs_ = timeGetTime() - kFirstReportBackdateMs;
}

void RtcpSession::Disable() {
  std::lock_guard<std::mutex> hold(lock_);
  enabled_ = false;
}

bool RtcpSession::IsEnabled() const {
  std::lock_guard<std::mutex> hold(lock_);
  return enabled_;
}

void RtcpSession::SetCname(const std::string& cname) {
  std::lock_guard<std::mutex> hold(lock_);
  cname_ = cname.substr(0, std::min(cname.size(), std::min(cname.find('\0'), size_t{kMaxCname})));
}

std::string RtcpSession::Cname() const {
  std::lock_guard<std::mutex> hold(lock_);
  return cname_;
}

void RtcpSession::PacketSent(uint32_t payloadOctets) {
  std::lock_guard<std::mutex> hold(lock_);
  ++packetsSent_;
  octetsSent_ += payloadOctets;
}

uint32_t RtcpSession::PacketsSent() const {
  std::lock_guard<std::mutex> hold(lock_);
  return packetsSent_;
}

uint32_t RtcpSession::OctetsSent() const {
  std::lock_guard<std::mutex> hold(lock_);
  return octetsSent_;
}

void RtcpSession::SetPeerSsrc(uint32_t ssrc) {
  std::lock_guard<std::mutex> hold(lock_);
  peerSsrc_ = ssrc;
}

uint32_t RtcpSession::PeerSsrc() const {
  std::lock_guard<std::mutex> hold(lock_);
  return peerSsrc_;
}

uint32_t RtcpSession::OwnSsrc() const {
  std::lock_guard<std::mutex> hold(lock_);
  return ownSsrc_;
}

bool RtcpSession::ReportDue() const {
  std::lock_guard<std::mutex> hold(lock_);
  return enabled_ && plat::TickElapsed(timeGetTime(), lastReportMs_) > kReportIntervalMs;
}

int32_t RtcpSession::RoundTripTime() const {
  std::lock_guard<std::mutex> hold(lock_);
  return rtt_;
}

std::string RtcpSession::PeerCname() const {
  std::lock_guard<std::mutex> hold(lock_);
  return peerCname_;
}

int RtcpSession::GetPeerCname(char* text, size_t size) const {
  if (!text || size == 0) return -1;
  std::lock_guard<std::mutex> hold(lock_);
  const size_t n = std::min(peerCname_.size(), size - 1);
  std::memcpy(text, peerCname_.data(), n);
  text[n] = '\0';
  return static_cast<int>(n);
}

bool RtcpSession::VoipMetrics(uint32_t words[7]) const {
  std::lock_guard<std::mutex> hold(lock_);
  if (!haveMetrics_) return false;
  std::copy(metrics_, metrics_ + 7, words);
  return true;
}

RtcpReceptionStats RtcpSession::LastReportedStats() const {
  std::lock_guard<std::mutex> hold(lock_);
  return lastStats_;
}

int RtcpSession::BuildReport(uint8_t* buffer, size_t capacity, bool withBye, uint32_t ownSsrc,
                             const RtcpReceptionStats& stats, int samplesPerMs,
                             std::optional<uint32_t> rtpTimestamp) {
  if (!buffer || capacity < static_cast<size_t>(kMaxReportLength)) return -1;
  std::lock_guard<std::mutex> hold(lock_);
  const uint64_t now = NtpNow();
  const uint32_t seconds = static_cast<uint32_t>(now >> 32);
  const uint32_t fraction = static_cast<uint32_t>(now);

  // Sender report with one report block: 13 words.
  uint8_t* p = buffer;
  p[0] = 0x81;
  p[1] = kRtcpSr;
  Put16(p + 2, 12);
  Put32(p + 4, ownSsrc);
  Put32(p + 8, seconds);
  Put32(p + 12, fraction);
  uint32_t rtp;
  if (rtpTimestamp) {
    rtp = *rtpTimestamp;
  } else {
    const uint64_t rate = static_cast<uint64_t>(std::max(samplesPerMs, 0)) * 1000u;
    rtp = static_cast<uint32_t>(uint64_t{seconds} * rate + ((uint64_t{fraction} * rate) >> 32));
  }
  Put32(p + 16, rtp);
  Put32(p + 20, packetsSent_);
  Put32(p + 24, octetsSent_);

  uint8_t* block = p + 28;
  Put32(block, peerSsrc_);
  const uint32_t fractionLost = std::min<uint32_t>(stats.fractionLost, 255);
  const uint32_t cumulative = std::min<uint32_t>(stats.cumulativeLost, 0x7FFFFF);  // signed 24-bit field
  Put32(block + 4, (fractionLost << 24) | cumulative);
  Put32(block + 8, stats.extendedHighest);
  Put32(block + 12, stats.jitter);
  uint32_t lsr = 0;
  uint32_t dlsr = 0;
  if (haveSr_) {
    // LSR echoes the peer's own SR timestamp and DLSR is our hold time, so the peer can take
    // its round trip from its own clock alone.
    lsr = lastSrNtp_;
    const uint64_t held = now >= lastSrArrival_ ? now - lastSrArrival_ : 0;
    dlsr = static_cast<uint32_t>((held + 32768u) >> 16);
  }
  Put32(block + 16, lsr);
  Put32(block + 20, dlsr);
  int length = 52;

  // SDES with one CNAME item, padded with at least one zero byte to a whole word.
  uint8_t* sdes = buffer + length;
  const size_t n = cname_.size();
  const size_t used = 4 + 4 + 2 + n;
  const size_t padded = (used + 4) & ~size_t{3};
  sdes[0] = 0x81;
  sdes[1] = kRtcpSdes;
  Put16(sdes + 2, static_cast<uint16_t>(padded / 4 - 1));
  Put32(sdes + 4, ownSsrc);
  sdes[8] = kSdesCname;
  sdes[9] = static_cast<uint8_t>(n);
  std::memcpy(sdes + 10, cname_.data(), n);
  std::memset(sdes + used, 0, padded - used);
  length += static_cast<int>(padded);

  if (withBye) {
    uint8_t* bye = buffer + length;
    bye[0] = 0x81;
    bye[1] = kRtcpBye;
    Put16(bye + 2, 1);
    Put32(bye + 4, ownSsrc);
    length += 8;
  }

  ownSsrc_ = ownSsrc;
  sentReport_ = true;
  lastStats_ = stats;
  lastReportMs_ = timeGetTime();
  return length;
}

bool RtcpSession::Parse(const uint8_t* data, size_t length) {
  if (!data) return false;
  if (length < 8) {
    EngineTrace()->Print(kTraceWarning, "\tRTCP packet dropped: %d bytes, shorter than a report header",
                         static_cast<int>(length), -1);
    return false;
  }
  if ((data[0] >> 6) != 2) {
    EngineTrace()->Print(kTraceWarning, "\tRTCP packet dropped: version %d", data[0] >> 6, -1);
    return false;
  }
  const int type = data[1];
  if (type != kRtcpSr && type != kRtcpRr) return false;
  const size_t first = (size_t{Be16(data + 2)} + 1) * 4;
  if (first > length) {
    EngineTrace()->Print(kTraceWarning, "\tRTCP packet dropped: length field %d beyond the %d bytes received",
                         static_cast<int>(first), static_cast<int>(length));
    return false;
  }
  const size_t base = type == kRtcpSr ? 28 : 8;
  if (first < base) {
    EngineTrace()->Print(kTraceWarning, "\tRTCP packet dropped: length field %d below the %d bytes of its fixed part",
                         static_cast<int>(first), static_cast<int>(base));
    return false;
  }

  std::lock_guard<std::mutex> hold(lock_);
  const uint64_t arrival = NtpNow();
  if (type == kRtcpSr) {
    lastSrNtp_ = (Be32(data + 8) << 16) | (Be32(data + 12) >> 16);
    lastSrArrival_ = arrival;
    haveSr_ = true;
  }
  // Only the blocks that lie inside the packet are read, whatever the count says.
  const int count = static_cast<int>(std::min<size_t>(data[0] & 0x1F, (first - base) / kReportBlockLength));
  ReadReportBlocks(data + base, count, arrival);

  size_t offset = first;
  while (offset + 4 <= length) {
    const uint8_t* p = data + offset;
    const size_t size = (size_t{Be16(p + 2)} + 1) * 4;
    if ((p[0] >> 6) != 2 || size > length - offset) {
      EngineTrace()->Print(kTraceWarning, "\tRTCP compound packet cut at byte %d (bad header or length)",
                           static_cast<int>(offset), -1);
      break;
    }
    if (p[1] == kRtcpSdes)
      ReadSdes(p, size);
    else if (p[1] == kRtcpXr)
      ReadXr(p, size);
    offset += size;
  }
  return true;
}

void RtcpSession::ReadReportBlocks(const uint8_t* blocks, int count, uint64_t arrival) {
  for (int i = 0; i < count; ++i) {
    const uint8_t* b = blocks + i * kReportBlockLength;
    if (!sentReport_ || Be32(b) != ownSsrc_) continue;  // a block about another source
    const uint32_t lsr = Be32(b + 16);
    const uint32_t dlsr = Be32(b + 20);
    if (lsr == 0) continue;  // the peer has no SR of ours yet
    // Round trip = arrival - LSR - DLSR, in 1/65536 s, modulo 2^32.
    const uint32_t units = Middle32(arrival) - lsr - dlsr;
    if (units >= 0x80000000u) continue;  // negative: a bogus or stale block
    rtt_ = static_cast<int32_t>(uint64_t{units} * 1000u / 65536u);
  }
}

void RtcpSession::ReadSdes(const uint8_t* p, size_t size) {
  if ((p[0] & 0x1F) == 0 || size < 8) return;
  peerSsrc_ = Be32(p + 4);
  if (size < 10 || p[8] != kSdesCname) return;
  const size_t n = p[9];
  if (10 + n > size) return;
  const char* text = reinterpret_cast<const char*>(p + 10);
  peerCname_.assign(text, strnlen(text, n));
}

void RtcpSession::ReadXr(const uint8_t* p, size_t size) {
  size_t offset = 8;  // header and the sender's SSRC
  while (offset + 4 <= size) {
    const uint8_t* b = p + offset;
    const size_t blockSize = 4 + size_t{Be16(b + 2)} * 4;
    if (blockSize > size - offset) return;
    if (b[0] == kXrVoipMetrics && blockSize >= 36 && sentReport_ && Be32(b + 4) == ownSsrc_) {
      for (int i = 0; i < 7; ++i) metrics_[i] = Be32(b + 8 + 4 * i);
      haveMetrics_ = true;
    }
    offset += blockSize;
  }
}
