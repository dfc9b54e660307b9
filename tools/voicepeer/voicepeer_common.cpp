// voicepeer's option parsing, file-device set-up and signal handling.
#include "voicepeer.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/wave.h"

namespace {
std::atomic<bool> g_stop{false};
std::mutex g_stopMu;
std::condition_variable g_stopCv;
std::function<void()> g_onStop;
sigset_t g_stopSignals;
}  // namespace

int DigitEvent(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c == '*') return 10;
  if (c == '#') return 11;
  if (c >= 'A' && c <= 'D') return 12 + (c - 'A');
  return -1;
}

bool ParseVoicePeerArgs(int argc, char** argv, VoicePeerArgs* a) {
  for (int i = 0; i < argc; ++i) {
    const std::string k = argv[i];
    if (k == "--no-send") {
      a->send = false;
      continue;
    }
    if (k == "--no-playout") {
      a->playout = false;
      continue;
    }
    if (k == "--echo") {
      a->echo = true;
      continue;
    }
    if (k == "--hold") {
      a->hold = true;
      continue;
    }
    if (k == "--after-first-packet") {
      a->afterFirstPacket = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    if (k == "--local-port") a->localPort = std::atoi(v.c_str());
    else if (k == "--remote-port") a->remotePort = std::atoi(v.c_str());
    else if (k == "--remote-ip") a->remoteIp = v;
    else if (k == "--in") a->in = v;
    else if (k == "--out") a->out = v;
    else if (k == "--seconds") a->seconds = std::atof(v.c_str());
    else if (k == "--codec") a->codec = v;
    else if (k == "--packet") a->packet = std::atoi(v.c_str());
    else if (k == "--dtmf") a->dtmf = v;
    else if (k == "--dtmf-at") a->dtmfAtMs = std::atoi(v.c_str());
    else if (k == "--dtmf-gap") a->dtmfGapMs = std::atoi(v.c_str());
    else if (k == "--ec") a->ecStatus = std::atoi(v.c_str());
    else if (k == "--ec-type") a->ecType = std::atoi(v.c_str());
    else if (k == "--agc") a->agc = std::atoi(v.c_str());
    else if (k == "--vad") a->vad = std::atoi(v.c_str());
    else if (k == "--sip-port") a->sipPort = std::atoi(v.c_str());
    else if (k == "--user") a->user = v;
    else if (k == "--call") a->callee = v;
    else if (k == "--hangup-after") a->hangupAfter = std::atof(v.c_str());
    else return false;
  }
  return true;
}

namespace {
std::atomic<bool> g_echoStop{false};
std::thread g_echo;
}  // namespace

void StartEchoLoop() {
  plat::SetAudioBackend(plat::AudioBackend::Manual);
  g_echoStop = false;
  g_echo = std::thread([] {
    std::vector<int16_t> block;
    uint64_t next = plat::NowMs();
    while (!g_echoStop) {
      next += 10;
      const uint64_t now = plat::NowMs();
      if (next > now) Sleep(static_cast<DWORD>(next - now));
      block.clear();
      if (plat::ManualWave::OutputOpen())
        plat::ManualWave::Playout(480, &block);
      else
        block.assign(480, 0);
      if (plat::ManualWave::InputOpen()) plat::ManualWave::Capture(block.data(), block.size());
    }
  });
}

void StopEchoLoop() {
  g_echoStop = true;
  if (g_echo.joinable()) g_echo.join();
}

void ConfigureFileDevices(const VoicePeerArgs& a) {
  plat::SetAudioBackend(plat::AudioBackend::File);
  plat::SetWaveInFile(a.in);
  plat::SetWaveOutFile(a.out);
  plat::SetWaveInLoop(false);
}

void InstallVoicePeerSignals() {
  sigemptyset(&g_stopSignals);
  sigaddset(&g_stopSignals, SIGTERM);
  sigaddset(&g_stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &g_stopSignals, nullptr);
  // Sleeps in sigwait until a stop comes: no wake-ups of its own.
  std::thread([] {
    int sig = 0;
    while (sigwait(&g_stopSignals, &sig) != 0) {
    }
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lk(g_stopMu);
      g_stop.store(true);
      hook = g_onStop;
    }
    g_stopCv.notify_all();
    if (hook) hook();
  }).detach();
}

bool VoicePeerStopRequested() { return g_stop.load(); }

bool WaitForStopUntil(uint64_t untilMs) {
  // plat::NowMs is the monotonic clock, as steady_clock is.
  const std::chrono::steady_clock::time_point until{std::chrono::milliseconds(untilMs)};
  std::unique_lock<std::mutex> lk(g_stopMu);
  return g_stopCv.wait_until(lk, until, [] { return g_stop.load(); });
}

void OnVoicePeerStop(std::function<void()> fn) {
  std::lock_guard<std::mutex> lk(g_stopMu);
  g_onStop = std::move(fn);
}
