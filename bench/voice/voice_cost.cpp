// The cost of a call: CPU, wake-ups and peak memory of two engines over loopback beside baresip.

// voice_cost_bench <build dir> [seconds]
// Each pair runs a call in two processes on 127.0.0.1; once both are talking the figures of each
// process are taken over `seconds` (20 by default) from /proc: CPU time, voluntary context
// switches summed over its threads (each is a thread going to sleep, so one per wake-up), and the
// peak resident size. Pairs, one after the other:
// - our engine, PCMU 20 ms, file devices (tools/voicepeer engine);
// - our engine with call control's settings: iLBC, echo canceller, gain control;
// - baresip, PCMU 20 ms, its file source (aufile) and aubridge as player;
// then an idle engine (no call) with its wake-ups per thread, and the floor of the sound-card
// thread's 2-ms poll: a thread that only waits for a 2-ms event timer.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/voice/baresip_peer.h"
#include "platform/mmtimer.h"
#include "platform/sync.h"
#include "voice/tests_engine/e2e_support.h"

namespace {

struct Snapshot {
  double cpuSeconds = 0;
  std::map<int, long> switches;      // thread id -> voluntary context switches
  std::map<int, std::string> names;  // thread id -> name
  long peakRssKb = 0;
};

std::string Slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

long StatusField(const std::string& status, const std::string& key) {
  const size_t at = status.find(key + ":");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + key.size() + 1);
}

std::string StatusName(const std::string& status) {
  const size_t at = status.find("Name:");
  if (at == std::string::npos) return "?";
  size_t b = status.find_first_not_of(" \t", at + 5);
  size_t e = status.find('\n', b);
  return status.substr(b, e - b);
}

Snapshot Take(pid_t pid) {
  Snapshot s;
  const std::string base = "/proc/" + std::to_string(pid);
  // utime and stime: fields 14 and 15, counted after the command name's closing parenthesis.
  const std::string stat = Slurp(base + "/stat");
  const size_t close = stat.rfind(')');
  if (close != std::string::npos) {
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    unsigned long long ut = 0, st = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
      if (i == 14) ut = std::stoull(field);
      if (i == 15) st = std::stoull(field);
    }
    s.cpuSeconds = static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  s.peakRssKb = StatusField(Slurp(base + "/status"), "VmHWM");
  if (DIR* d = opendir((base + "/task").c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string status = Slurp(base + "/task/" + e->d_name + "/status");
      const int tid = std::atoi(e->d_name);
      s.switches[tid] = StatusField(status, "voluntary_ctxt_switches");
      s.names[tid] = StatusName(status);
    }
    closedir(d);
  }
  return s;
}

struct Cost {
  double cpuSeconds = 0;
  double wakeups = 0;  // per second
  double peakRssMb = 0;
  std::map<std::string, double> byThread;  // wake-ups per second by thread name
};

Cost Between(const Snapshot& a, const Snapshot& b, double seconds) {
  Cost c;
  c.cpuSeconds = (b.cpuSeconds - a.cpuSeconds) * 20.0 / seconds;  // per 20 s
  for (const auto& [tid, n] : b.switches) {
    auto it = a.switches.find(tid);
    const double w = static_cast<double>(n - (it == a.switches.end() ? 0 : it->second)) / seconds;
    c.wakeups += w;
    c.byThread[b.names.at(tid)] += w;
  }
  c.peakRssMb = static_cast<double>(b.peakRssKb) / 1024.0;
  return c;
}

// Measures both processes of a call over `seconds`.
std::vector<Cost> Measure(const std::vector<pid_t>& pids, double seconds) {
  std::vector<Snapshot> start;
  for (pid_t p : pids) start.push_back(Take(p));
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
  std::vector<Cost> out;
  for (size_t i = 0; i < pids.size(); ++i) out.push_back(Between(start[i], Take(pids[i]), seconds));
  return out;
}

void PrintRow(const char* what, const char* side, const Cost& c) {
  std::printf("%-34s %s   %8.3f   %9.0f   %7.1f\n", what, side, c.cpuSeconds, c.wakeups, c.peakRssMb);
}

void PrintThreads(const char* what, const Cost& c) {
  std::printf("  %s, wake-ups/s by thread:", what);
  for (const auto& [name, w] : c.byThread)
    if (w >= 0.5) std::printf(" %s %.0f", name.c_str(), w);
  std::printf("\n");
}

std::string g_peer;

// Two engines calling each other on file devices; the figures of both.
std::vector<Cost> Engines(const std::string& dir, const std::string& speech, double seconds,
                          const std::vector<std::string>& options) {
  const int portA = e2e::FreePortPair(3);
  int portB = e2e::FreePortPair(5);
  if (portB == portA) portB += 2;
  const std::string length = std::to_string(static_cast<int>(seconds) + 15);
  auto args = [&](int local, int remote, const char* out) {
    std::vector<std::string> a = {g_peer,   "engine", "--local-port", std::to_string(local), "--remote-port",
                                  std::to_string(remote), "--in", speech, "--out", dir + out, "--seconds", length};
    a.insert(a.end(), options.begin(), options.end());
    return a;
  };
  e2e::Child a, b;
  b.Start(args(portB, portA, "/b_out.wav"), dir + "/b.log");
  a.Start(args(portA, portB, "/a_out.wav"), dir + "/a.log");
  if (!a.WaitFor("ready", 5000) || !b.WaitFor("ready", 5000)) {
    std::printf("the engines did not start: %s\n", a.Output().c_str());
    return {};
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // past start-up
  std::vector<Cost> c = Measure({a.pid, b.pid}, seconds);
  a.Stop();
  b.Stop();
  return c;
}

std::vector<Cost> Baresips(const std::string& dir, const std::string& speech, double seconds) {
  const int portA = e2e::FreePortPair(7) + 200;
  const int portB = portA + 100;
  bench::WriteBaresipConfig(dir + "/ba", portA, true, "aufile," + speech, "aubridge,sink_a");
  bench::WriteBaresipConfig(dir + "/bb", portB, false, "aufile," + speech, "aubridge,sink_b");
  const std::string length = std::to_string(static_cast<int>(seconds) + 20);
  e2e::Child a, b;
  b.Start({"/usr/bin/baresip", "-f", dir + "/bb", "-t", length}, dir + "/bb.log");
  if (!b.WaitFor("baresip is ready", 5000)) {
    std::printf("baresip did not start: %s\n", b.Output().c_str());
    return {};
  }
  a.Start({"/usr/bin/baresip", "-f", dir + "/ba", "-t", length, "-e", "/dial sip:bob@127.0.0.1:" + std::to_string(portB)},
          dir + "/ba.log");
  if (!a.WaitFor("established", 8000)) {
    std::printf("baresip's call was not established: %s\n", a.Output().c_str());
    return {};
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::vector<Cost> c = Measure({a.pid, b.pid}, seconds);
  a.Stop();
  b.Stop();
  return c;
}

Cost Idle(const std::string& dir, double seconds) {
  e2e::Child c;
  c.Start({g_peer, "idle", "--seconds", std::to_string(static_cast<int>(seconds) + 10)}, dir + "/idle.log");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  Cost cost = Measure({c.pid}, seconds)[0];
  c.Stop();
  return cost;
}

// CPU per 20 s of this thread waking every 2 ms and doing nothing else.
double TickFloor(double seconds) {
  auto cpu = [] {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  plat::Event tick;
  const UINT id = plat::StartEventTimer(2, true, &tick);
  const double before = cpu();
  const uint64_t end = plat::NowMs() + static_cast<uint64_t>(seconds * 1000);
  while (plat::NowMs() < end) tick.wait(INFINITE);
  const double used = cpu() - before;
  plat::KillTimer(id);
  return used * 20.0 / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string build = argc > 1 ? argv[1] : "build";
  const double seconds = argc > 2 ? std::atof(argv[2]) : 20.0;
  g_peer = build + "/tools/voicepeer/voicepeer";
  if (!e2e::HaveTool("espeak-ng") || !e2e::HaveTool("sox")) {
    std::fprintf(stderr, "espeak-ng and sox are needed\n");
    return 1;
  }
  const std::string dir = e2e::TempDir("cost");
  // Speech long enough for the whole call, so both programs send sound throughout.
  const std::string once = dir + "/once.wav", speech = dir + "/speech48.wav";
  e2e::MakeSpeech(dir, "The quick brown fox jumps over the lazy dog. One two three four five six.", once);
  const int copies = static_cast<int>(seconds + 25) / 3;
  if (std::system(("sox '" + once + "' '" + speech + "' repeat " + std::to_string(copies) + " >/dev/null 2>&1")
                      .c_str()) != 0) {
    std::fprintf(stderr, "sox failed\n");
    return 1;
  }

  const std::vector<Cost> pcmu = Engines(dir, speech, seconds, {"--codec", "PCMU"});
  const std::vector<Cost> call =
      Engines(dir, speech, seconds, {"--codec", "iLBC", "--ec", "2", "--ec-type", "0", "--agc", "1"});
  std::vector<Cost> bare;
  if (e2e::HaveTool("baresip")) bare = Baresips(dir, speech, seconds);
  const Cost idle = Idle(dir, seconds);
  const double floor = TickFloor(5);

  std::printf("\ncall of %.0f s over 127.0.0.1, per process    CPU-s/20s  wake-ups/s  peak RSS MB\n", seconds);
  const char* sides[] = {"A", "B"};
  auto rows = [&](const char* what, const std::vector<Cost>& c) {
    for (size_t i = 0; i < c.size(); ++i) PrintRow(what, sides[i], c[i]);
  };
  rows("engine, PCMU 20 ms", pcmu);
  rows("engine, iLBC + echo canc. + AGC", call);
  if (bare.empty())
    std::printf("baresip: not measured\n");
  else
    rows("baresip, PCMU 20 ms", bare);
  PrintRow("idle engine (no call)", "-", idle);
  std::printf("%-34s -   %8.3f   %9.0f\n", "a thread woken every 2 ms, no work", floor, 500.0);

  auto mean = [](const std::vector<Cost>& c, double Cost::*f) {
    double s = 0;
    for (const Cost& x : c) s += x.*f;
    return c.empty() ? 0.0 : s / static_cast<double>(c.size());
  };
  if (!bare.empty() && !pcmu.empty() && !call.empty()) {
    const double b = mean(bare, &Cost::cpuSeconds), bw = mean(bare, &Cost::wakeups);
    std::printf("\nours / baresip, CPU: engine PCMU %.2fx, iLBC + echo canc. + AGC %.2fx; wake-ups: PCMU %.2fx, "
                "iLBC + echo canc. + AGC %.2fx\n",
                mean(pcmu, &Cost::cpuSeconds) / b, mean(call, &Cost::cpuSeconds) / b, mean(pcmu, &Cost::wakeups) / bw,
                mean(call, &Cost::wakeups) / bw);
  }
  std::printf("\n");
  if (!pcmu.empty()) PrintThreads("engine PCMU, A", pcmu[0]);
  if (!call.empty()) PrintThreads("engine iLBC + echo canc. + AGC, A", call[0]);
  if (!bare.empty()) PrintThreads("baresip, A", bare[0]);
  PrintThreads("idle engine", idle);
  return 0;
}
