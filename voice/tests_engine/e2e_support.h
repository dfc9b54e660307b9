// Helpers of the engine's two-process tests: test speech, child processes, and aligning received audio.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <numeric>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/tests/test_ports.h"
#include "platform/wave.h"
#include "voice/processing.h"

extern char** environ;

namespace e2e {

inline bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// A fresh folder for one test's files.
inline std::string TempDir(const std::string& tag) {
  std::string pattern = "/tmp/tessaly_" + tag + "_XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  const char* d = mkdtemp(buf.data());
  return d ? std::string(d) : std::string("/tmp");
}

// Speaks text into a 48-kHz mono 16-bit WAV file, with silence before and after it (seconds);
// false when the tools fail.
inline bool MakeSpeech(const std::string& dir, const std::string& text, const std::string& out, int rate = 48000,
                       double padBefore = 0, double padAfter = 0) {
  const std::string raw = dir + "/speech_raw.wav";
  std::string cmd = "espeak-ng -w '" + raw + "' '" + text + "' >/dev/null 2>&1 && sox '" + raw + "' -r " +
                    std::to_string(rate) + " -c 1 -b 16 '" + out + "'";
  if (padBefore > 0 || padAfter > 0) cmd += " pad " + std::to_string(padBefore) + " " + std::to_string(padAfter);
  cmd += " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// A UDP port p with p+1 also free (RTP and RTCP), and p free for TCP too (baresip listens on
// both), held for this test process so no parallel test hands it to its own peer.
inline int FreePortPair(int /*salt*/ = 0) { return test_ports::Reserve(2); }

// A child process whose standard output and error go to a file, working in that file's folder (the
// test's own temporary folder, so nothing it writes there lands in the build folder). It leads a
// process group of its own, so that ending it ends whatever it started (kamailio's helpers) in every case.
struct Child {
  pid_t pid = -1;
  std::string log;

  // The inherited environment with extraEnv's "NAME=value" entries in place of inherited ones of the
  // same name (a second DISPLAY= after the inherited one would lose to it).
  static std::vector<std::string> MergedEnvironment(char** inherited, const std::vector<std::string>& extraEnv) {
    auto nameOf = [](const std::string& e) { return e.substr(0, e.find('=')); };
    std::vector<std::string> out;
    for (char** e = inherited; e && *e; ++e) {
      const std::string entry(*e);
      const std::string name = nameOf(entry);
      bool replaced = false;
      for (const std::string& x : extraEnv) replaced = replaced || nameOf(x) == name;
      if (!replaced) out.push_back(entry);
    }
    out.insert(out.end(), extraEnv.begin(), extraEnv.end());
    return out;
  }

  bool Start(const std::vector<std::string>& args, const std::string& logFile,
             const std::vector<std::string>& extraEnv = {}) {
    log = logFile;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    const size_t slash = logFile.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : logFile.substr(0, slash);
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&fa, folder.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    // The program is found before the change of folder.
    std::vector<std::string> all = args;
    if (!all.empty() && all[0].find('/') != std::string::npos && all[0][0] != '/') {
      if (char* real = realpath(all[0].c_str(), nullptr)) {
        all[0] = real;
        free(real);
      }
    }
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore = MergedEnvironment(environ, extraEnv);
    std::vector<char*> envp;
    for (std::string& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int r = posix_spawn(&pid, argv[0], &fa, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (r != 0) pid = -1;
    group = r == 0 ? pid : -1;
    return r == 0;
  }

  std::string Output() const {
    std::ifstream f(log);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }

  // Waits until the output holds text; false after timeoutMs.
  bool WaitFor(const std::string& text, int timeoutMs) const {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
      if (Output().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Waits for the process to end; its exit status, or -1 (its group killed after timeoutMs).
  int Wait(int timeoutMs) {
    if (pid < 0) return -1;
    for (int waited = 0; waited < timeoutMs; waited += 20) {
      int status = 0;
      const pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    KillGroup();
    return -1;
  }

  // Asks the group to end (SIGTERM, so a server takes its helper processes with it), then kills
  // what is left of it.
  void Stop(int graceMs = 3000) {
    if (pid > 0) {
      kill(-group, SIGTERM);
      Wait(graceMs);
    }
    KillGroup();
  }

  ~Child() { Stop(); }

 private:
  pid_t group = -1;

  void KillGroup() {
    if (group > 0) kill(-group, SIGKILL);
    if (pid > 0) waitpid(pid, nullptr, 0);
    pid = -1;
    group = -1;
  }
};

// kamailio as registrar (Digest, password "secret") and record-routing proxy on 127.0.0.1:port.
inline std::string KamailioConfig(int port) {
  std::string cfg =
      "#!KAMAILIO\n"
      "debug=2\nlog_stderror=yes\nfork=no\ndisable_tcp=yes\nauto_aliases=no\n"
      "listen=udp:127.0.0.1:" + std::to_string(port) + "\n"
      "mpath=\"/usr/lib/x86_64-linux-gnu/kamailio/modules/\"\n";
  for (const char* m : {"tm", "sl", "rr", "pv", "maxfwd", "usrloc", "registrar", "textops", "siputils", "auth"})
    cfg += std::string("loadmodule \"") + m + ".so\"\n";
  cfg +=
      "modparam(\"usrloc\", \"db_mode\", 0)\n"
      "modparam(\"rr\", \"enable_full_lr\", 1)\n"
      "request_route {\n"
      "  if (!mf_process_maxfwd_header(\"10\")) { sl_send_reply(\"483\", \"Too Many Hops\"); exit; }\n"
      "  if (has_totag()) {\n"
      "    if (loose_route()) { t_relay(); exit; }\n"
      "    if (is_method(\"ACK\")) { if (t_check_trans()) { t_relay(); } exit; }\n"
      "    sl_send_reply(\"404\", \"Not here\"); exit;\n"
      "  }\n"
      "  if (is_method(\"CANCEL\")) { if (t_check_trans()) { t_relay(); } exit; }\n"
      "  if (is_method(\"REGISTER\")) {\n"
      "    if (!pv_www_authenticate(\"$td\", \"secret\", \"0\")) { www_challenge(\"$td\", \"1\"); exit; }\n"
      "    save(\"location\"); exit;\n"
      "  }\n"
      "  if (is_method(\"INVITE\")) {\n"
      "    record_route();\n"
      "    if (!lookup(\"location\")) { sl_send_reply(\"404\", \"Not Found\"); exit; }\n"
      "    t_relay(); exit;\n"
      "  }\n"
      "  sl_send_reply(\"405\", \"Method Not Allowed\");\n"
      "}\n";
  return cfg;
}

// True once something holds the UDP port (a server has bound it).
inline bool WaitPortBound(int port, int timeoutMs) { return test_ports::WaitUdpBound(port, timeoutMs); }

// "key=value" lines of a peer's output.
inline std::map<std::string, std::string> Figures(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos && line.find(' ') == std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

// 48-kHz samples to 16 kHz with the engine's own converter; with shape, also through the
// microphone high-pass and the 8-kHz band of a narrowband codec, so a reference is shaped exactly
// as the engine shapes what it sends (highPassOnly: the high-pass alone, for wideband codecs).
inline std::vector<int16_t> To16k(const std::vector<int16_t>& in48, bool shape, bool narrowOnly = false,
                                  bool highPassOnly = false) {
  Rate48To16 down;
  HighPassFilter hp;
  RateHalver halve;
  RateDoubler twice;
  std::vector<int16_t> out;
  out.reserve(in48.size() / 3 + 160);
  int16_t block[480];
  for (size_t at = 0; at < in48.size(); at += 480) {
    for (int i = 0; i < 480; ++i) block[i] = at + i < in48.size() ? in48[at + i] : 0;
    int16_t w[160];
    down.Convert(block, 480, w);
    if (highPassOnly) {
      hp.Filter(w, 160, 16000);
    } else if (shape || narrowOnly) {
      if (shape) hp.Filter(w, 160, 16000);
      int16_t n[80];
      halve.Process(w, 160, n);
      twice.Process(n, 80, w);
    }
    out.insert(out.end(), w, w + 160);
  }
  return out;
}

// 8-kHz samples to 16 kHz with the engine's rate doubler.
inline std::vector<int16_t> From8k(const std::vector<int16_t>& in8) {
  RateDoubler twice;
  std::vector<int16_t> out(in8.size() * 2);
  for (size_t at = 0; at + 80 <= in8.size(); at += 80) twice.Process(&in8[at], 80, &out[at * 2]);
  return out;
}

inline bool ReadMono(const std::string& path, std::vector<int16_t>* s, DWORD* rate) {
  WORD ch = 0;
  if (!plat::ReadWavFile(path, s, rate, &ch)) return false;
  if (ch == 2) {
    std::vector<int16_t> m(s->size() / 2);
    for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<int16_t>(((*s)[2 * i] + (*s)[2 * i + 1]) / 2);
    *s = m;
  }
  return true;
}

// What a program's file playout device has played so far, as mono: its temporary file while the
// device is open (whose header gets its sizes only when the file is finished), else the finished file.
inline bool ReadPlayoutSoFar(const std::string& path, std::vector<int16_t>* s, DWORD* rate) {
  std::ifstream f(path + ".tmp", std::ios::binary);
  if (!f) return ReadMono(path, s, rate);
  const std::string b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (b.size() < 44 || b.compare(0, 4, "RIFF") != 0 || b.compare(36, 4, "data") != 0) return false;
  auto le = [&b](size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + static_cast<size_t>(i)]);
    return v;
  };
  const uint32_t channels = le(22, 2);
  *rate = le(24, 4);
  if (le(34, 2) != 16 || (channels != 1 && channels != 2) || *rate == 0) return false;
  s->resize((b.size() - 44) / (2 * channels));
  for (size_t i = 0; i < s->size(); ++i) {
    int sum = 0;
    for (uint32_t c = 0; c < channels; ++c) sum += static_cast<int16_t>(le(44 + (i * channels + c) * 2, 2));
    (*s)[i] = static_cast<int16_t>(sum / static_cast<int>(channels));
  }
  return true;
}

inline double Corr(const int16_t* a, const int16_t* b, size_t n) {
  double num = 0, ea = 0, eb = 0;
  for (size_t i = 0; i < n; ++i) {
    num += static_cast<double>(a[i]) * b[i];
    ea += static_cast<double>(a[i]) * a[i];
    eb += static_cast<double>(b[i]) * b[i];
  }
  return (ea > 0 && eb > 0) ? num / std::sqrt(ea * eb) : 0.0;
}

struct Alignment {
  long lag = 0;          // received index of sent sample 0 (samples at 16 kHz) that fits the whole recording best
  double median = 0.0;   // median correlation of the speech windows along the followed delay
  double worst = 0.0;    // lowest such correlation
  int windows = 0;
  // The followed delay (received index minus sent index), lowest and highest over the speech that
  // matched. The lowest is the path's own delay: a receiver adds to it when it conceals late
  // packets or its playout queue grows after an underrun, and shortens its output only to win
  // that back.
  long lowestLag = 0, highestLag = 0;
};

// The receiver's delay, followed along the recording: for every 10-ms block of `sent` (16 kHz),
// the lag in [lo, hi] at which `received` holds it. A receiver changes its delay on purpose: its
// jitter buffer conceals late packets and plays them afterwards (the delay grows by what it
// inserted), takes a pitch period out at a time to win delay back, and its playout queue grows
// after an underrun. A busy machine makes all of these happen. So the lag may change between
// blocks, but a change costs as much as two blocks of perfect match (blocks weigh by their
// energy, at most three times a typical block's): only a change that the audio after it confirms
// is taken, so lost or garbled audio gains nothing from the freedom. The received position never
// runs backwards (the lag falls by at most a block per block). Silent blocks carry the lag.
inline std::vector<long> FollowDelay(const std::vector<int16_t>& sent, const std::vector<int16_t>& received, long lo,
                                     long hi) {
  constexpr long kBlock = 160;
  constexpr double kChange = 2.0;
  constexpr double kLoudest = 3.0;
  const long blocks = static_cast<long>(sent.size()) / kBlock;
  const long lags = hi - lo + 1;
  std::vector<long> path(static_cast<size_t>(std::max(blocks, 0L)), lo);
  if (blocks <= 0 || lags <= 0) return path;
  std::vector<double> sentEnergy(path.size());
  std::vector<double> squares(received.size() + 1, 0.0);  // running sum of received squares
  for (size_t i = 0; i < received.size(); ++i) squares[i + 1] = squares[i] + static_cast<double>(received[i]) * received[i];
  std::vector<float> r(received.begin(), received.end());
  double peak = 0;
  for (long k = 0; k < blocks; ++k) {
    double e = 0;
    for (long i = 0; i < kBlock; ++i) e += static_cast<double>(sent[k * kBlock + i]) * sent[k * kBlock + i];
    sentEnergy[k] = e;
    peak = std::max(peak, e);
  }
  double speechEnergy = 0;
  int speechBlocks = 0;
  for (long k = 0; k < blocks; ++k) {
    if (sentEnergy[k] < peak * 0.01) continue;
    speechEnergy += sentEnergy[k];
    ++speechBlocks;
  }
  const double typical = speechBlocks ? speechEnergy / speechBlocks : 1.0;
  auto energyAt = [&](long k, long lag) {
    const long at = k * kBlock + lag;
    if (at < 0 || at + kBlock > static_cast<long>(received.size())) return -1.0;
    return squares[at + kBlock] - squares[at];
  };
  std::vector<double> value(lags, 0.0), next(lags), bestUpTo(lags);
  std::vector<long> bestAt(lags);
  std::vector<float> c(lags);
  std::vector<std::vector<int32_t>> from(blocks);  // the lag index each block's best path came from
  for (long k = 0; k < blocks; ++k) {
    const bool speech = sentEnergy[k] >= peak * 0.01;
    const double weight = std::min(kLoudest, sentEnergy[k] / typical);
    std::fill(c.begin(), c.end(), 0.0f);
    if (speech) {
      // c[l] = sum_i s[i] r[base + l + i]: the inner loop runs over lags, so it vectorises.
      for (long i = 0; i < kBlock; ++i) {
        const float s = sent[k * kBlock + i];
        const long base = k * kBlock + i + lo;
        const long first = std::max(0L, -base);
        const long last = std::min(lags, static_cast<long>(received.size()) - base);
        for (long l = first; l < last; ++l) c[l] += s * r[base + l];
      }
    }
    for (long l = 0, best = 0; l < lags; ++l) {
      if (value[l] > value[best]) best = l;
      bestUpTo[l] = value[best];
      bestAt[l] = best;
    }
    from[k].resize(lags);
    for (long l = 0; l < lags; ++l) {
      const long reach = std::min(lags - 1, l + kBlock);  // earlier lags may lie at most a block higher
      double v = value[l];
      int32_t src = static_cast<int32_t>(l);
      if (bestUpTo[reach] - kChange > v) {
        v = bestUpTo[reach] - kChange;
        src = static_cast<int32_t>(bestAt[reach]);
      }
      if (speech) {
        const double er = energyAt(k, lo + l);
        if (er > 0) v += weight * c[l] / std::sqrt(sentEnergy[k] * er);
      }
      next[l] = v;
      from[k][l] = src;
    }
    value.swap(next);
  }
  long l = static_cast<long>(std::max_element(value.begin(), value.end()) - value.begin());
  for (long k = blocks - 1; k >= 0; --k) {
    path[k] = lo + l;
    l = from[k][l];
  }
  return path;
}

// Finds where `sent` lies in `received` (both 16 kHz) within [minLag, maxLag], first on 2-kHz
// envelopes, then sample by sample; follows the receiver's delay from there (FollowDelay, 300 ms
// either way but never below minLag) and scores the 0.25-s windows that hold speech along it.
// A negative minLag says the recording may have begun after the sent audio did (a listener whose
// playout opened late): the part before it then counts as not heard.
inline Alignment Align(const std::vector<int16_t>& sent, const std::vector<int16_t>& received, long minLag,
                       long maxLag) {
  if (minLag < 0) {
    std::vector<int16_t> later(static_cast<size_t>(-minLag), 0);
    later.insert(later.end(), received.begin(), received.end());
    Alignment al = Align(sent, later, 0, maxLag - minLag);
    for (long* lag : {&al.lag, &al.lowestLag, &al.highestLag}) *lag += minLag;
    return al;
  }
  Alignment al;
  auto decimate = [](const std::vector<int16_t>& v) {
    std::vector<int16_t> d(v.size() / 8);
    for (size_t i = 0; i < d.size(); ++i) {
      int32_t s = 0;
      for (int k = 0; k < 8; ++k) s += v[i * 8 + k];
      d[i] = static_cast<int16_t>(s / 8);
    }
    return d;
  };
  const std::vector<int16_t> sd = decimate(sent);
  const std::vector<int16_t> rd = decimate(received);
  double best = -2;
  long coarse = 0;
  for (long lag = std::max<long>(minLag / 8, 0); lag <= maxLag / 8; ++lag) {
    if (lag + static_cast<long>(sd.size()) > static_cast<long>(rd.size())) break;
    const double c = Corr(sd.data(), rd.data() + lag, sd.size());
    if (c > best) {
      best = c;
      coarse = lag * 8;
    }
  }
  best = -2;
  al.lag = coarse;
  const size_t n = std::min(sent.size(), received.size() > static_cast<size_t>(coarse + 16) ? received.size() - coarse - 16 : 0);
  for (long lag = std::max<long>(coarse - 16, 0); lag <= coarse + 16; ++lag) {
    if (lag + n > received.size()) break;
    const double c = Corr(sent.data(), received.data() + lag, n);
    if (c > best) {
      best = c;
      al.lag = lag;
    }
  }
  const std::vector<long> path = FollowDelay(sent, received, std::max(minLag, al.lag - 300 * 16), al.lag + 300 * 16);
  // A window is scored along the path, shifted as a whole by up to a millisecond: a codec's bands
  // need not share their delay to the sample, and a quiet window (a fricative) follows its high band.
  constexpr long kBlock = 160, kWindow = 4000, kBlocks = kWindow / kBlock, kFine = 16;
  auto blockDot = [&](long k, long lag, double* er) {
    const long at = k * kBlock + lag;
    *er = 0;
    if (at < 0 || at + kBlock > static_cast<long>(received.size())) return 0.0;
    double d = 0;
    for (long i = 0; i < kBlock; ++i) {
      d += static_cast<double>(sent[k * kBlock + i]) * received[at + i];
      *er += static_cast<double>(received[at + i]) * received[at + i];
    }
    return d;
  };
  std::vector<double> es(path.size(), 0.0);
  for (size_t k = 0; k < path.size(); ++k)
    for (long i = 0; i < kBlock; ++i) es[k] += static_cast<double>(sent[k * kBlock + i]) * sent[k * kBlock + i];
  double peak = 0;
  for (size_t k = 0; k + kBlocks <= path.size(); k += kBlocks)
    peak = std::max(peak, std::accumulate(es.begin() + k, es.begin() + k + kBlocks, 0.0));
  std::vector<double> scores;
  bool matched = false;
  for (size_t first = 0; first + kBlocks <= path.size(); first += kBlocks) {
    const double a = std::accumulate(es.begin() + first, es.begin() + first + kBlocks, 0.0);
    if (a < peak * 0.05) continue;  // silence between words says nothing
    double score = -1;
    for (long shift = -kFine; shift <= kFine; ++shift) {
      double d = 0, b = 0;
      for (size_t k = first; k < first + kBlocks; ++k) {
        double er = 0;
        d += blockDot(static_cast<long>(k), path[k] + shift, &er);
        b += er;
      }
      score = std::max(score, b > 0 ? d / std::sqrt(a * b) : 0.0);
    }
    scores.push_back(score);
    if (score < 0.5) continue;
    for (size_t k = first; k < first + kBlocks; ++k) {
      if (es[k] < a / kBlocks * 0.05) continue;
      if (!matched) {
        al.lowestLag = al.highestLag = path[k];
        matched = true;
      }
      al.lowestLag = std::min(al.lowestLag, path[k]);
      al.highestLag = std::max(al.highestLag, path[k]);
    }
  }
  if (!scores.empty()) {
    std::sort(scores.begin(), scores.end());
    al.median = scores[scores.size() / 2];
    al.worst = scores.front();
    al.windows = static_cast<int>(scores.size());
  }
  return al;
}

// Goertzel power of one frequency over a block.
inline double Goertzel(const int16_t* x, size_t n, double freq, double rate) {
  const double k = 2.0 * std::cos(2.0 * M_PI * freq / rate);
  double s1 = 0, s2 = 0;
  for (size_t i = 0; i < n; ++i) {
    const double s0 = x[i] + k * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return s1 * s1 + s2 * s2 - k * s1 * s2;
}

// The DTMF digits heard in audio (each tone at least 40 ms long), in order.
inline std::string DetectDtmf(const std::vector<int16_t>& x, double rate) {
  static const double kRows[4] = {697, 770, 852, 941};
  static const double kCols[4] = {1209, 1336, 1477, 1633};
  static const char kKeys[4][4] = {{'1', '2', '3', 'A'}, {'4', '5', '6', 'B'}, {'7', '8', '9', 'C'}, {'*', '0', '#', 'D'}};
  const size_t block = static_cast<size_t>(rate * 0.02);
  std::string out;
  char last = 0;
  int run = 0;
  for (size_t at = 0; at + block <= x.size(); at += block) {
    double energy = 0;
    for (size_t i = 0; i < block; ++i) energy += static_cast<double>(x[at + i]) * x[at + i];
    char key = 0;
    if (energy / block > 250000.0) {  // about -36 dBFS
      int r = 0, c = 0;
      double pr[4], pc[4];
      for (int i = 0; i < 4; ++i) {
        pr[i] = Goertzel(&x[at], block, kRows[i], rate);
        pc[i] = Goertzel(&x[at], block, kCols[i], rate);
        if (pr[i] > pr[r]) r = i;
        if (pc[i] > pc[c]) c = i;
      }
      // Both tones must stand well above the other candidates and carry most of the energy.
      double otherR = 0, otherC = 0;
      for (int i = 0; i < 4; ++i) {
        if (i != r) otherR = std::max(otherR, pr[i]);
        if (i != c) otherC = std::max(otherC, pc[i]);
      }
      const double tonal = (pr[r] + pc[c]) * 2.0 / (static_cast<double>(block) * block);
      if (pr[r] > 10 * otherR && pc[c] > 10 * otherC && tonal > 0.5 * energy / block) key = kKeys[r][c];
    }
    if (key && key == last) {
      if (++run == 2) out += key;
    } else {
      run = key ? 1 : 0;
    }
    last = key;
  }
  return out;
}

// An X server of the test's own: Xvfb picks a free display number and names it once it takes
// connections, so tests running side by side never share a screen.
struct XServer {
    Child process;
    std::string display;
    bool Start(const std::string& dir, const std::string& screen = "1280x900x24") {
        if (!process.Start({"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp"}, dir + "/xvfb.log"))
            return false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        const std::regex number("(^|\n)([0-9]+)\n");
        for (;;) {
            std::smatch m;
            const std::string out = process.Output();
            if (std::regex_search(out, m, number)) {
                display = ":" + m[2].str();
                return true;
            }
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
};

}  // namespace e2e
