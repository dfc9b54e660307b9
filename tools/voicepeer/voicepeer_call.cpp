// voicepeer's call mode: call control, the SIP user agent and the engine in one process, driven through CM_SendEvent.

// voicepeer call --sip-port S --user NAME --remote-port K (the registrar/proxy's port)
//                [--call CALLEE] [--in in.wav] [--out out.wav] [--seconds T] [--dtmf DIGITS --dtmf-at MS]
//   Registers NAME (password "secret") through the proxy at 127.0.0.1:K, prints "ready", then
//   either calls CALLEE or answers the first incoming call. The call lasts T seconds after it is
//   answered; the caller then hangs up. Figures follow as "key=value" lines.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/debug.h"
#include "platform/msgqueue.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "sip/osipua/osipua.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/Sonra_Main.h"
#include "voip/VoipEvent.h"
#include "voip/VoipUi.h"
#include "voicepeer.h"

namespace {

struct Notice {
  int call;
  int cnx;
  int event;
  int p3;
};

std::mutex g_mu;
std::condition_variable g_cv;
std::vector<Notice> g_notices;
size_t g_taken = 0;

bool WaitFor(int event, Notice* out, int ms) {
  std::unique_lock<std::mutex> lock(g_mu);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    for (size_t i = g_taken; i < g_notices.size(); ++i) {
      if (g_notices[i].event == event) {
        if (out) *out = g_notices[i];
        g_taken = i + 1;
        return true;
      }
    }
    if (VoicePeerStopRequested()) return false;
    if (g_cv.wait_until(lock, deadline) == std::cv_status::timeout) return false;
  }
}

// Waits until the clock reaches untilMs; true when the peer hung up or a stop came first.
bool EndedBy(uint64_t untilMs) {
  const std::chrono::steady_clock::time_point until{std::chrono::milliseconds(untilMs)};
  std::unique_lock<std::mutex> lock(g_mu);
  return g_cv.wait_until(lock, until, [] {
    if (VoicePeerStopRequested()) return true;
    for (const Notice& n : g_notices)
      if (n.event == VOIPEVT_REMOTE_DISCONNECT) return true;
    return false;
  });
}

void PrintTrace(unsigned, const char* text) {
  if (std::getenv("VOICEPEER_TRACE")) std::fprintf(stderr, "%s\n", text);
}

void Register(const VoicePeerArgs& a) {
  auto* info = static_cast<CM_REG_INFO*>(calloc(1, sizeof(CM_REG_INFO)));
  info->pszDisplayName = strdup(a.user.c_str());
  info->pszUserName = strdup(a.user.c_str());
  info->pszIdentity = strdup((a.user + "@127.0.0.1").c_str());
  info->pszPassword = strdup("secret");
  info->pszLocalIp = strdup("127.0.0.1");
  info->iLocalPort = 5060;
  info->pszRegistrar = strdup("127.0.0.1");
  info->iRegistrarPort = a.remotePort;
  info->pszProxy = strdup("127.0.0.1");
  info->iProxyPort = a.remotePort;
  info->pszDomain = strdup("127.0.0.1");
  info->iPort2 = a.remotePort;
  info->iExpires = 1800;
  CM_SendEvent(-1, -1, CMEVT_START, -1, 0, info);
}

}  // namespace

int CallMain(int argc, char** argv) {
  VoicePeerArgs a;
  if (!ParseVoicePeerArgs(argc, argv, &a) || a.sipPort == 0 || a.user.empty() || a.remotePort == 0) {
    std::fprintf(stderr, "usage: voicepeer call --sip-port S --user NAME --remote-port K [--call CALLEE] ...\n");
    return 2;
  }
  ConfigureFileDevices(a);
  OnVoicePeerStop([] {
    std::lock_guard<std::mutex> g(g_mu);
    g_cv.notify_all();
  });
  g_debugOutput.store(PrintTrace);
  debug_enable.store(1);
  debug_all.store(3);
  plat::SetLocalAddressOverride("127.0.0.1");

  // The voip start, in its order: engine, call manager, connection controller, user agent.
  Sonra_Init();
  CM_Init();
  CC_Init(true);
  plat::WindowTarget target;
  target.handler = [](HWND, UINT msg, WPARAM, LPARAM lParam) -> LRESULT {
    if (msg != WM_VOIP_EVENT) return 0;
    auto* m = reinterpret_cast<VOIP_UI_MSG*>(lParam);
    {
      std::lock_guard<std::mutex> g(g_mu);
      g_notices.push_back(Notice{m->iCallId, m->iCnxId, m->iEvent, m->iParam3});
    }
    VOIP_FreeUiMsg(m);
    g_cv.notify_all();
    return 0;
  };
  target.poster = [](std::function<void()> task) { task(); };
  target.discard = [](HWND, UINT, WPARAM, LPARAM lParam) { VOIP_FreeUiMsg(reinterpret_cast<VOIP_UI_MSG*>(lParam)); };
  HWND window = plat::RegisterWindowTarget(target);
  VOIP_SetUiWindow(window);
  OSIP_SetBasePort(a.sipPort);
  int rc = 0;
  if (OSIP_Init() != 0) {
    std::fprintf(stderr, "OSIP_Init failed\n");
    rc = 1;
  }
  if (rc == 0) {
    Register(a);
    if (!WaitFor(VOIPEVT_START, nullptr, 10000)) {
      std::fprintf(stderr, "registration failed\n");
      rc = 1;
    }
    // The connection controller starts on its own thread, which a loaded machine may run after the
    // registration's answer: a call placed before that finds no connection.
    for (int waited = 0; rc == 0 && !CC_IsStarted() && waited < 10000; waited += 10) Sleep(10);
    if (rc == 0 && !CC_IsStarted()) {
      std::fprintf(stderr, "connection control did not start\n");
      rc = 1;
    }
  }
  Notice call{-1, -1, -1, 0};
  if (rc == 0) {
    std::printf("ready\n");
    std::fflush(stdout);
    if (!a.callee.empty()) {
      call.call = CM_AllocCall();
      call.cnx = CC_AllocCnx();
      if (call.call < 0 || call.cnx < 0) {
        std::fprintf(stderr, "no call or connection (%d, %d)\n", call.call, call.cnx);
        rc = 1;
      } else {
        CM_SendEvent(call.call, call.cnx, CMEVT_NEWCALL, -1, -1, strdup(a.callee.c_str()));
        Notice answer;
        if (!WaitFor(VOIPEVT_REMOTE_ANSWER, &answer, 10000)) {
          std::fprintf(stderr, "no answer\n");
          rc = 1;
          // Give up as a phone does: cancel the ringing call before leaving.
          CM_SendEvent(call.call, call.cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
          WaitFor(VOIPEVT_RELEASE_CALL, nullptr, 3000);
          Sleep(500);
        }
      }
    } else {
      if (!WaitFor(VOIPEVT_REMOTE_NEWCALL, &call, 20000)) {
        std::fprintf(stderr, "no incoming call\n");
        rc = 1;
      } else {
        CM_SendEvent(call.call, call.cnx, CMEVT_CONNECT, -1, -1, nullptr);
      }
    }
  }
  if (rc == 0) {
    std::printf("talking\n");
    std::fflush(stdout);
    const uint64_t start = plat::NowMs();
    const uint64_t end = start + static_cast<uint64_t>(a.seconds * 1000.0);
    size_t next = 0;
    uint64_t nextAt = start + static_cast<uint64_t>(a.dtmfAtMs);
    // Wakes only for the next digit, the end, a hang-up by the peer or a stop.
    for (;;) {
      const bool digits = next < a.dtmf.size();
      if (EndedBy(digits ? std::min(end, nextAt) : end) || plat::NowMs() >= end) break;
      if (digits && plat::NowMs() >= nextAt) {
        const int digit = DigitEvent(a.dtmf[next]);
        if (digit >= 0) CM_SendEvent(call.call, call.cnx, CMEVT_DTMF, -1, digit, nullptr);
        ++next;
        nextAt += static_cast<uint64_t>(a.dtmfGapMs);
      }
    }
    if (!a.callee.empty()) {
      CM_SendEvent(call.call, call.cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    } else {
      WaitFor(VOIPEVT_REMOTE_DISCONNECT, nullptr, 5000);
    }
    WaitFor(VOIPEVT_RELEASE_CALL, nullptr, 3000);
    // The BYE and its answer travel after the call is released here: give the user agent time
    // to finish that transaction before it is shut down.
    Sleep(1000);
  }
  SonraVE* ve = Sonra_GetEngine();
  SndCardStream& snd = ve->SoundCard();
  std::printf("capture_start_ms=%llu\n", static_cast<unsigned long long>(snd.CaptureStartMs()));
  std::printf("playout_open_ms=%llu\n", static_cast<unsigned long long>(snd.PlayoutOpenMs()));
  std::printf("underruns=%u\n", snd.Underruns());
  std::fflush(stdout);
  CM_Destroy();
  CC_Exit();
  CM_Exit();
  Sonra_Destroy();
  VOIP_SetUiWindow(nullptr);
  if (window != nullptr) plat::UnregisterWindowTarget(window);
  g_debugOutput.store(nullptr);
  std::printf(rc == 0 ? "done\n" : "failed\n");
  std::fflush(stdout);
  return rc;
}
