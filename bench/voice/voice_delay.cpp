// Delay figures: two engines' one-way delay on file devices, and the echo method beside baresip, plus idle CPU.

// voice_delay_bench <build dir> [engine|echo|idle]
// 1. Engine to engine (two processes, file devices): the sent WAV is found in the receiver's
//    output file; both processes report when their devices started on the shared monotonic clock.
// 2. Echo method, the same for both programs: A sends the WAV with PCMU 20 ms to B, whose played
//    audio is captured again at once (ours: the manual device in a loop; baresip: aubridge);
//    the RTP packets are captured on the loopback interface and B's answer is found in its
//    packets. The delay is B's packet time less A's packet time for the same sound, plus 20 ms
//    for filling A's packet.
// 3. CPU of an idle engine, with no call and with one call on hold.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "bench/voice/baresip_peer.h"
#include "platform/net.h"
#include "voice/dsp/g711.h"
#include "voice/tests_engine/e2e_support.h"

namespace {

std::string g_peer;

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// ---------------------------------------------------------------------------
// 1. Engine to engine
// ---------------------------------------------------------------------------

void EngineToEngine(const std::string& dir, const std::string& speech, const char* codec, int packet) {
  std::vector<double> delays;
  double corr = 0;
  for (int run = 0; run < 3; ++run) {
    const int portA = e2e::FreePortPair(31 + run);
    int portB = e2e::FreePortPair(37 + run);
    if (portB == portA) portB += 2;
    e2e::Child a, b;
    const std::string out = dir + "/b_out.wav";
    b.Start({g_peer, "engine", "--local-port", std::to_string(portB), "--remote-port", std::to_string(portA), "--out",
             out, "--seconds", "8", "--codec", codec, "--packet", std::to_string(packet), "--no-send"},
            dir + "/b.log");
    if (!b.WaitFor("ready", 5000)) continue;
    a.Start({g_peer, "engine", "--local-port", std::to_string(portA), "--remote-port", std::to_string(portB), "--in",
             speech, "--seconds", "7", "--codec", codec, "--packet", std::to_string(packet), "--no-playout"},
            dir + "/a.log");
    if (a.Wait(20000) != 0 || b.Wait(20000) != 0) continue;
    auto fa = e2e::Figures(a.Output()), fb = e2e::Figures(b.Output());
    std::vector<int16_t> s48, g48;
    DWORD rate = 0;
    if (!e2e::ReadMono(speech, &s48, &rate) || !e2e::ReadMono(out, &g48, &rate)) continue;
    const long offset = std::stol(fa["capture_start_ms"]) - std::stol(fb["playout_open_ms"]);
    const e2e::Alignment al = e2e::Align(e2e::To16k(s48, true), e2e::To16k(g48, false), std::max(0L, offset * 16),
                                         (offset + 1000) * 16);
    delays.push_back(al.lag / 16.0 - static_cast<double>(offset));
    corr = al.median;
  }
  std::printf("engine -> engine, %s %d ms, file devices: one-way delay %.1f ms (median of %zu runs), correlation %.3f\n",
              codec, packet / 8, Median(delays), delays.size(), corr);
}

// ---------------------------------------------------------------------------
// 2. Echo method
// ---------------------------------------------------------------------------

struct RtpPacket {
  double t;  // seconds, monotonic
  uint16_t src, dst;
  uint32_t ts;
  std::vector<uint8_t> payload;
};

class Sniffer {
 public:
  bool Start() {
    // All protocols: only such a socket sees the packets a host sends, not just those it receives.
    fd_ = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL));
    if (fd_ < 0) return false;
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_ALL);
    addr.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    thread_ = std::thread([this] { Run(); });
    return true;
  }
  std::vector<RtpPacket> Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    return packets_;
  }

 private:
  void Run() {
    uint8_t buf[2048];
    while (!stop_) {
      if (plat::WaitReadable(fd_, 100) != 1) continue;
      sockaddr_ll from{};
      socklen_t len = sizeof from;
      const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      // On the loopback interface each packet shows twice; the outgoing copy is kept.
      if (n < 28 || from.sll_pkttype != PACKET_OUTGOING || from.sll_protocol != htons(ETH_P_IP)) continue;
      const auto* ip = reinterpret_cast<const iphdr*>(buf);
      if (ip->protocol != IPPROTO_UDP) continue;
      const size_t ihl = static_cast<size_t>(ip->ihl) * 4;
      if (static_cast<size_t>(n) < ihl + 8 + 12) continue;
      const auto* udp = reinterpret_cast<const udphdr*>(buf + ihl);
      const uint8_t* rtp = buf + ihl + 8;
      const size_t rtpLen = static_cast<size_t>(n) - ihl - 8;
      if ((rtp[0] & 0xC0) != 0x80 || (rtp[1] & 0x7F) != 0 || rtpLen != 12 + 160) continue;
      RtpPacket p;
      p.t = now.tv_sec + now.tv_nsec * 1e-9;
      p.src = ntohs(udp->source);
      p.dst = ntohs(udp->dest);
      p.ts = (uint32_t{rtp[4]} << 24) | (uint32_t{rtp[5]} << 16) | (uint32_t{rtp[6]} << 8) | rtp[7];
      p.payload.assign(rtp + 12, rtp + rtpLen);
      packets_.push_back(std::move(p));
    }
  }
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<RtpPacket> packets_;
};

// One RTP flow decoded into a continuous 8-kHz timeline, with the arrival time of each sample.
struct Flow {
  std::vector<int16_t> samples;
  std::vector<double> times;
};

Flow Build(const std::vector<RtpPacket>& all, uint16_t src, uint16_t dst) {
  Flow f;
  uint32_t ts0 = 0;
  bool first = true;
  for (const RtpPacket& p : all) {
    if (p.src != src || p.dst != dst) continue;
    if (first) {
      ts0 = p.ts;
      first = false;
    }
    const uint32_t at = p.ts - ts0;
    if (at > 8000u * 60u) continue;
    if (f.samples.size() < at + p.payload.size()) {
      f.samples.resize(at + p.payload.size(), 0);
      f.times.resize(at + p.payload.size(), -1);
    }
    for (size_t i = 0; i < p.payload.size(); ++i) {
      f.samples[at + i] = G711_UlawDecodeSample(p.payload[i]);
      f.times[at + i] = p.t;
    }
  }
  return f;
}

// A's flow to B and B's flow back (A's RTP ports lie in [aLow, aHigh], B's in [bLow, bHigh]; other
// traffic on the interface is ignored); the delay of B's answer.
double EchoDelay(const std::vector<RtpPacket>& packets, int aLow, int aHigh, int bLow, int bHigh, double* corr) {
  auto inA = [&](int port) { return port >= aLow && port <= aHigh; };
  auto inB = [&](int port) { return port >= bLow && port <= bHigh; };
  std::map<std::pair<uint16_t, uint16_t>, int> flows;
  for (const RtpPacket& p : packets)
    if (inA(p.src) && inB(p.dst)) ++flows[{p.src, p.dst}];
  if (std::getenv("VOICE_DELAY_DEBUG")) {
    std::fprintf(stderr, "%zu packets\n", packets.size());
    for (const auto& [key, count] : flows) std::fprintf(stderr, "  %u -> %u: %d\n", key.first, key.second, count);
  }
  std::pair<uint16_t, uint16_t> ab{0, 0};
  int most = 0;
  for (const auto& [key, count] : flows) {
    if (count > most) {
      most = count;
      ab = key;
    }
  }
  const Flow a = Build(packets, ab.first, ab.second);
  const Flow b = Build(packets, ab.second, ab.first);
  if (std::getenv("VOICE_DELAY_DEBUG")) {
    plat::WriteWavFile("/tmp/voice_delay_a.wav", a.samples, 8000, 1);
    plat::WriteWavFile("/tmp/voice_delay_b.wav", b.samples, 8000, 1);
  }
  if (a.samples.size() < 16000 || b.samples.size() < 16000) return -1;
  // B's sample k + lag holds A's sample k; lags are searched over two seconds either way.
  std::vector<int16_t> sa(a.samples.begin(), a.samples.begin() + std::min<size_t>(a.samples.size(), 24000));
  std::vector<int16_t> pad(16000, 0);
  std::vector<int16_t> sb = pad;
  sb.insert(sb.end(), b.samples.begin(), b.samples.end());
  sb.insert(sb.end(), pad.begin(), pad.end());
  const e2e::Alignment al = e2e::Align(sa, sb, 0, 32000);
  *corr = al.median;
  const long lag = al.lag - 16000;
  std::vector<double> d;
  for (size_t k = 0; k < sa.size(); k += 160) {
    const long kb = static_cast<long>(k) + lag;
    if (kb < 0 || kb >= static_cast<long>(b.times.size()) || a.times[k] < 0 || b.times[static_cast<size_t>(kb)] < 0)
      continue;
    d.push_back((b.times[static_cast<size_t>(kb)] - a.times[k]) * 1000.0);
  }
  return Median(d) + 20.0;
}

double EchoOursOnce(const std::string& dir, const std::string& speech, int salt, double* corr) {
  Sniffer sniffer;
  if (!sniffer.Start()) {
    std::printf("echo method: cannot capture on the loopback interface (needs CAP_NET_RAW)\n");
    return -1;
  }
  const int portA = e2e::FreePortPair(41 + salt);
  int portB = e2e::FreePortPair(43);
  if (portB == portA) portB += 2;
  e2e::Child a, b;
  b.Start({g_peer, "engine", "--local-port", std::to_string(portB), "--remote-port", std::to_string(portA), "--echo",
           "--seconds", "9"},
          dir + "/echo_b.log");
  b.WaitFor("ready", 5000);
  a.Start({g_peer, "engine", "--local-port", std::to_string(portA), "--remote-port", std::to_string(portB), "--in",
           speech, "--seconds", "7", "--no-playout"},
          dir + "/echo_a.log");
  a.Wait(20000);
  b.Wait(20000);
  return EchoDelay(sniffer.Stop(), portA, portA, portB, portB, corr);
}

double EchoBaresipOnce(const std::string& dir, const std::string& speech, int salt, double* corr) {
  Sniffer sniffer;
  if (!sniffer.Start()) return -1;
  const int portA = e2e::FreePortPair(51 + salt) + 200;
  const int portB = portA + 100;
  bench::WriteBaresipConfig(dir + "/ba", portA, true, "aufile," + speech, "aubridge,sink_a");
  bench::WriteBaresipConfig(dir + "/bb", portB, false, "aubridge,loop_b", "aubridge,loop_b");
  e2e::Child a, b;
  b.Start({"/usr/bin/baresip", "-f", dir + "/bb", "-t", "14"}, dir + "/bb.log");
  b.WaitFor("baresip is ready", 5000);
  a.Start({"/usr/bin/baresip", "-f", dir + "/ba", "-t", "10", "-e", "/dial sip:bob@127.0.0.1:" + std::to_string(portB)},
          dir + "/ba.log");
  a.Wait(20000);
  b.Stop();
  return EchoDelay(sniffer.Stop(), portA + 10, portA + 50, portB + 10, portB + 50, corr);
}

// Three runs; the median of those that found the echo.
void Echo(const char* who, const std::string& dir, const std::string& speech,
          double (*once)(const std::string&, const std::string&, int, double*)) {
  std::vector<double> delays;
  double corr = 0;
  for (int run = 0; run < 3; ++run) {
    double c = 0;
    const double d = once(dir, speech, run * 3, &c);
    if (d > 0) {
      delays.push_back(d);
      corr = c;
    }
  }
  std::printf("echo method, %-8s A -> B (loop) -> A, PCMU 20 ms: %.1f ms (median of %zu runs, correlation %.3f)\n",
              who, Median(delays), delays.size(), corr);
}

// ---------------------------------------------------------------------------
// 3. Idle CPU
// ---------------------------------------------------------------------------

void Idle(const std::string& dir) {
  for (const bool hold : {false, true}) {
    e2e::Child c;
    std::vector<std::string> args = {g_peer, "idle", "--seconds", "20"};
    if (hold) args.push_back("--hold");
    c.Start(args, dir + "/idle.log");
    c.Wait(40000);
    auto f = e2e::Figures(c.Output());
    std::printf("idle engine%s: %s ms of CPU in 20 s\n", hold ? ", one call on hold" : ", no call",
                f["cpu_ms"].c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string build = argc > 1 ? argv[1] : "build";
  g_peer = build + "/tools/voicepeer/voicepeer";
  if (!e2e::HaveTool("espeak-ng") || !e2e::HaveTool("sox")) {
    std::fprintf(stderr, "espeak-ng and sox are needed\n");
    return 1;
  }
  const std::string dir = e2e::TempDir("delay");
  const std::string speech = dir + "/speech48.wav";
  e2e::MakeSpeech(dir, "The quick brown fox jumps over the lazy dog. One two three four five six.", speech);
  const std::string only = argc > 2 ? argv[2] : "";
  if (only.empty() || only == "engine") {
    EngineToEngine(dir, speech, "PCMU", 160);
    EngineToEngine(dir, speech, "PCMU", 80);
    EngineToEngine(dir, speech, "PCMA", 240);
  }
  if (only.empty() || only == "echo") {
    Echo("ours:", dir, speech, EchoOursOnce);
    if (e2e::HaveTool("baresip"))
      Echo("baresip:", dir, speech, EchoBaresipOnce);
    else
      std::printf("echo method, baresip: baresip is not installed\n");
  }
  if (only.empty() || only == "idle") Idle(dir);
  return 0;
}
