// RTCP of a voice channel: sender reports with SDES CNAME (and BYE), and the reading of the peer's reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

// Reception statistics of the channel's jitter buffer, as the report block carries them.
struct RtcpReceptionStats {
  uint32_t fractionLost = 0;     // 0..255 (larger values are sent as 255)
  uint32_t cumulativeLost = 0;   // sent as 24 bits, at most 0x7FFFFF
  uint32_t extendedHighest = 0;  // extended highest sequence number received
  uint32_t jitter = 0;           // interarrival jitter in timestamp units
};

// NTP time as 32.32 fixed point: seconds since 1900 in the high word, fraction in the low one.
using RtcpNtpClock = uint64_t (*)();
// The wall clock as NTP time.
uint64_t RtcpSystemNtpTime();

class RtcpSession {
 public:
  static constexpr int kMaxCname = 255;
  // Largest report BuildReport writes (SR with one block, SDES with the longest CNAME, BYE).
  static constexpr int kMaxReportLength = 52 + 268 + 8;
  // Reports go out when more than this passed since the last one.
  static constexpr uint32_t kReportIntervalMs = 5000;
  // Default own CNAME until the engine sets one.
  static constexpr const char* kDefaultCname = "user@unknown.host";

  RtcpSession();
  RtcpSession(const RtcpSession&) = delete;
  RtcpSession& operator=(const RtcpSession&) = delete;

  // Enable resets the counters and the round-trip time and backdates the last report by
  // 3000 ms, so the first report follows 2 s after the next packet sent.
  void Enable();
  void Disable();
  bool IsEnabled() const;

  // Own CNAME; longer text is cut at kMaxCname characters.
  void SetCname(const std::string& cname);
  std::string Cname() const;

  // One packet sent with its payload octets (sent bytes less the 12-byte header).
  void PacketSent(uint32_t payloadOctets);
  uint32_t PacketsSent() const;
  uint32_t OctetsSent() const;

  // SSRC of the peer (from its RTP packets and SDES chunks).
  void SetPeerSsrc(uint32_t ssrc);
  uint32_t PeerSsrc() const;
  // Own SSRC as given to the last report built.
  uint32_t OwnSsrc() const;

  // True when more than kReportIntervalMs passed since the last report (timeGetTime clock).
  bool ReportDue() const;

  // Round-trip time in ms from the peer's last report block about us (0 until one came).
  int32_t RoundTripTime() const;
  // The peer's CNAME as received ("" until an SDES came).
  std::string PeerCname() const;
  // Copies the peer's CNAME into text (at most size bytes with its end); returns its length.
  int GetPeerCname(char* text, size_t size) const;
  // The last VoIP-metrics block the peer sent about us (its seven words in host order); false when none.
  bool VoipMetrics(uint32_t words[7]) const;
  // Statistics given to the last report built (a snapshot for the engine's statistics
  // operation, so a query never disturbs the jitter buffer's report intervals).
  RtcpReceptionStats LastReportedStats() const;

  // Builds SR + SDES CNAME (+ BYE) into buffer; returns the length, or -1 when capacity is
  // below kMaxReportLength. rtpTimestamp is the sender's RTP timestamp for "now"; without
  // it the timestamp is derived from the wall clock at samplesPerMs. Notes the report time.
  int BuildReport(uint8_t* buffer, size_t capacity, bool withBye, uint32_t ownSsrc,
                  const RtcpReceptionStats& stats, int samplesPerMs,
                  std::optional<uint32_t> rtpTimestamp = std::nullopt);

  // Reads a received compound packet. Every length and offset is checked against the
  // datagram before it is read; a packet that does not begin with an SR or RR, or whose
  // lengths do not fit, changes nothing beyond what was read before the fault.
  // Returns true when the first packet was an SR or RR that fit.
  bool Parse(const uint8_t* data, size_t length);

  // Test seams: the NTP wall clock (null = the system's).
  void SetNtpClock(RtcpNtpClock clock);

 private:
  uint64_t NtpNow() const;
  void ReadReportBlocks(const uint8_t* blocks, int count, uint64_t arrival);
  void ReadSdes(const uint8_t* p, size_t len);
  void ReadXr(const uint8_t* p, size_t len);

  mutable std::mutex lock_;
  RtcpNtpClock ntpClock_ = nullptr;
  bool enabled_ = false;
  std::string cname_;
  std::string peerCname_;
  uint32_t lastReportMs_ = 0;
  uint32_t packetsSent_ = 0;
  uint32_t octetsSent_ = 0;
  int32_t rtt_ = 0;
  uint32_t peerSsrc_ = 0;
  uint32_t ownSsrc_ = 0;
  // Middle 32 bits of the NTP timestamp of the peer's last SR, and our NTP time of its arrival.
  uint32_t lastSrNtp_ = 0;
  uint64_t lastSrArrival_ = 0;
  bool haveSr_ = false;
  // Whether a report of ours went out (blocks about us are read only then).
  bool sentReport_ = false;
  bool haveMetrics_ = false;
  uint32_t metrics_[7] = {};
  RtcpReceptionStats lastStats_;
};
