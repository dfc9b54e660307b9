// voicepeer: runs one voice engine in this process on file devices, for the two-process audio tests and benchmarks.

// voicepeer engine --local-port P --remote-port Q [--remote-ip A] [--in in.wav] [--out out.wav]
//                  [--seconds S] [--codec PCMU|PCMA] [--packet N] [--dtmf DIGITS --dtmf-at MS]
//                  [--no-send] [--no-playout] [--ec STATUS] [--ec-type T] [--agc 0|1] [--vad 0|1]
//                  [--after-first-packet]
//   Sends the capture file to the peer and plays what arrives into the output file, for S
//   seconds (counted from the first packet received with --after-first-packet). Prints "ready"
//   once listening, then figures as "key=value" lines at the end.
//   With --echo the devices are a loop instead of files: what is played is captured at once.
//
// voicepeer idle [--seconds S] [--hold]
//   An engine without a call (or with one on hold) for S seconds; prints the CPU time it used.
//
// voicepeer call ... (see CallMain): the same through call control and the SIP user agent.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "platform/wave.h"
#include "voice/codec_set.h"
#include "voice/engine.h"
#include "voice/tidepool/tidepool_internal.h"
#include "voicepeer.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: voicepeer engine --local-port P --remote-port Q [--remote-ip A] [--in in.wav] [--out out.wav]\n"
               "                        [--seconds S] [--codec PCMU|PCMA] [--packet N] [--dtmf DIGITS] [--dtmf-at MS]\n"
               "                        [--no-send] [--no-playout] [--ec STATUS] [--ec-type T] [--agc 0|1] [--vad 0|1]\n"
               "                        [--after-first-packet]\n"
               "       voicepeer call (see the source)\n");
  return 2;
}

int EngineMain(int argc, char** argv) {
  VoicePeerArgs a;
  if (!ParseVoicePeerArgs(argc, argv, &a) || a.localPort == 0 || a.remotePort == 0) return Usage();
  if (a.echo)
    StartEchoLoop();
  else
    ConfigureFileDevices(a);

  SonraVE* ve = GetVEobj();
  ve->SonraVE_Init();
  if (a.ecStatus >= 0) ve->SonraVE_SetECStatus(a.ecStatus);
  if (a.ecType >= 0) ve->SonraVE_SetECType(a.ecType);
  if (a.agc >= 0) ve->SonraVE_SetAGCStatus(a.agc);
  if (a.vad >= 0) ve->SonraVE_SetVADStatus(a.vad);
  const int ch = ve->SonraVE_CreateChannel();
  if (ch < 0) {
    std::fprintf(stderr, "CreateChannel failed: %d\n", ve->SonraVE_GetLastError());
    return 1;
  }
  Codecinst codec{};
  bool found = false;
  for (int i = 0; i < ve->SonraVE_GetNofCodecs() && !found; ++i) {
    ve->SonraVE_GetCodec(static_cast<short>(i), codec);
    found = strcasecmp(codec.plname, a.codec.c_str()) == 0;
  }
  if (!found) {
    std::fprintf(stderr, "codec %s is not available\n", a.codec.c_str());
    return 1;
  }
  if (a.packet > 0) codec.pacsize = a.packet;
  int failures = 0;
  auto check = [&](int r, const char* what) {
    if (r != 0) {
      std::fprintf(stderr, "%s failed: %d\n", what, ve->SonraVE_GetLastError());
      ++failures;
    }
  };
  check(ve->SonraVE_SetRecPort(ch, a.localPort), "SetRecPort");
  check(ve->SonraVE_SetSendIP(ch, a.remoteIp.c_str()), "SetSendIP");
  check(ve->SonraVE_SetSendPort(ch, a.remotePort), "SetSendPort");
  check(ve->SonraVE_SetSendCodec(ch, codec), "SetSendCodec");
  check(ve->SonraVE_StartListen(ch), "StartListen");
  if (a.playout) check(ve->SonraVE_StartPlayout(ch), "StartPlayout");
  std::printf("ready\n");
  std::fflush(stdout);
  if (a.send) check(ve->SonraVE_StartSend(ch), "StartSend");
  if (failures) return 1;

  uint64_t start = plat::NowMs();
  if (a.afterFirstPacket) {
    // The peer's start-up time (long on a busy machine) is not taken from the recording. The
    // receive side is looked at every 10 ms; a peer that never sends ends the wait after 10 s.
    while (ve->SonraVE_GetFromPort(ch) <= 0 && plat::NowMs() - start < 10000) {
      if (WaitForStopUntil(plat::NowMs() + 10)) break;
    }
    start = plat::NowMs();
  }
  const uint64_t end = start + static_cast<uint64_t>(a.seconds * 1000.0);
  size_t nextDigit = 0;
  uint64_t nextDigitAt = start + static_cast<uint64_t>(a.dtmfAtMs);
  // Wakes only for the next digit and the end.
  for (;;) {
    const bool digits = nextDigit < a.dtmf.size();
    if (WaitForStopUntil(digits ? std::min(end, nextDigitAt) : end) || plat::NowMs() >= end) break;
    if (digits && plat::NowMs() >= nextDigitAt) {
      const int ev = DigitEvent(a.dtmf[nextDigit]);
      if (ev >= 0 && ve->SonraVE_SendDTMF(ch, ev, 1) != 0)
        std::fprintf(stderr, "SendDTMF failed: %d\n", ve->SonraVE_GetLastError());
      ++nextDigit;
      nextDigitAt += static_cast<uint64_t>(a.dtmfGapMs);
    }
  }
  // Figures are read once the media has stopped, so the sound-card thread no longer changes them.
  ve->SonraVE_StopSend(ch);
  ve->SonraVE_StopPlayout(ch);
  SndCardStream& snd = ve->SoundCard();
  std::printf("capture_start_ms=%llu\n", static_cast<unsigned long long>(snd.CaptureStartMs()));
  std::printf("playout_open_ms=%llu\n", static_cast<unsigned long long>(snd.PlayoutOpenMs()));
  std::printf("packets_sent=%u\n", ve->Sender(ch).packetsSent());
  std::printf("underruns=%u\n", snd.Underruns());
  std::printf("buffersize=%d\n", snd.BufferSize());
  std::printf("timer_restarts=%u\n", snd.TimerRestarts());
  std::printf("short_blocks=%u\n", snd.ShortBlocksDropped());
  // What the playout's jitter buffer did to the timing (concealment counts from the first packet on).
  if (ChannelCodecSet* set = ve->JitterA(ch)) {
    if (const TidepoolInst* j = set->Jitter()) {
      std::printf("concealed_samples=%u\n", j->playout.concealedTotal);
      std::printf("discarded_samples=%u\n", j->playout.discardedTotal);
      std::printf("accelerations=%u\n", j->playout.accelerateCount);
      std::printf("accelerated_samples=%u\n", j->playout.acceleratedSamples);
      std::printf("merges=%u\n", j->playout.mergeCount);
    }
  }
  ve->SonraVE_DeleteChannel(ch);
  ve->SonraVE_Terminate();
  StopEchoLoop();
  std::printf("done\n");
  std::fflush(stdout);
  return 0;
}

double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// An engine with no call (or with one call on hold: its channel listens, nothing is sent or
// played) for a while; prints the CPU time it took.
int IdleMain(int argc, char** argv) {
  VoicePeerArgs a;
  if (!ParseVoicePeerArgs(argc, argv, &a)) return Usage();
  ConfigureFileDevices(a);
  SonraVE* ve = GetVEobj();
  ve->SonraVE_Init();
  int ch = -1;
  if (a.hold) {
    ch = ve->SonraVE_CreateChannel();
    for (int port = a.localPort ? a.localPort : 30000; port < 65000; port += 2)
      if (ve->SonraVE_SetRecPort(ch, port) == 0) break;
    ve->SonraVE_StartListen(ch);
  }
  const double before = CpuMs();
  const uint64_t start = plat::NowMs();
  WaitForStopUntil(start + static_cast<uint64_t>(a.seconds * 1000.0));
  const double used = CpuMs() - before;
  std::printf("cpu_ms=%.1f\nseconds=%.1f\n", used, a.seconds);
  if (ch >= 0) ve->SonraVE_DeleteChannel(ch);
  ve->SonraVE_Terminate();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  InstallVoicePeerSignals();
  if (argc < 2) return Usage();
  const std::string mode = argv[1];
  if (mode == "engine") return EngineMain(argc - 2, argv + 2);
  if (mode == "call") return CallMain(argc - 2, argv + 2);
  if (mode == "idle") return IdleMain(argc - 2, argv + 2);
  return Usage();
}
