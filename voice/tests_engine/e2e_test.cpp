// Two engines in two processes on loopback with file devices: spoken audio and DTMF arrive, and the delay is measured.
#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"

namespace {

const std::string kPeer = std::string(TESSALY_BINARY_DIR) + "/tools/voicepeer/voicepeer";
const char* kText = "The quick brown fox jumps over the lazy dog. One two three four five.";

// Lowest median window correlation accepted between what A sent (shaped as the engine shapes it:
// its microphone high-pass and the 8-kHz band of G.711) and what B played. Measured on loopback:
// median 0.982-0.988, worst window 0.88-0.97 for PCMU and PCMA; the floor leaves room for a busy
// machine, while lost, garbled or misaligned audio falls well below it.
constexpr double kMinCorrelation = 0.90;

struct PeerRun {
  e2e::Alignment alignment;
  double delayMs = 0;
  std::string heard;  // DTMF digits heard at B
  bool ok = false;
};

// A sends speech.wav (and DTMF) to B; B records what it plays. Returns the measurements.
PeerRun SendSpeech(const std::string& dir, const std::string& codec, int packet, const std::string& dtmf) {
  PeerRun run;
  const std::string speech = dir + "/speech48.wav";
  if (!e2e::MakeSpeech(dir, kText, speech)) {
    ADD_FAILURE() << "espeak-ng or sox failed";
    return run;
  }
  const int portA = e2e::FreePortPair(1);
  const int portB = e2e::FreePortPair(2) == portA ? portA + 2 : e2e::FreePortPair(2);
  e2e::Child b;
  e2e::Child a;
  const std::string seconds = "7";
  EXPECT_TRUE(b.Start({kPeer, "engine", "--local-port", std::to_string(portB), "--remote-port", std::to_string(portA),
                       "--out", dir + "/b_out.wav", "--seconds", "8", "--codec", codec, "--packet",
                       std::to_string(packet), "--no-send"},
                      dir + "/b.log"));
  if (!b.WaitFor("ready", 5000)) {
    ADD_FAILURE() << "peer B did not start: " << b.Output();
    return run;
  }
  std::vector<std::string> argsA = {kPeer,   "engine", "--local-port", std::to_string(portA),
                                    "--remote-port", std::to_string(portB), "--in", speech,
                                    "--seconds", seconds, "--codec", codec, "--packet", std::to_string(packet),
                                    "--no-playout"};
  if (!dtmf.empty()) {
    argsA.insert(argsA.end(), {"--dtmf", dtmf, "--dtmf-at", "5900", "--dtmf-gap", "250"});
  }
  EXPECT_TRUE(a.Start(argsA, dir + "/a.log"));
  EXPECT_EQ(0, a.Wait(20000)) << a.Output();
  EXPECT_EQ(0, b.Wait(20000)) << b.Output();
  auto fa = e2e::Figures(a.Output());
  auto fb = e2e::Figures(b.Output());
  if (fa["capture_start_ms"].empty() || fb["playout_open_ms"].empty()) {
    ADD_FAILURE() << "missing figures:\n" << a.Output() << "\n" << b.Output();
    return run;
  }

  std::vector<int16_t> sent48, got48;
  DWORD rateS = 0, rateG = 0;
  if (!e2e::ReadMono(speech, &sent48, &rateS) || !e2e::ReadMono(dir + "/b_out.wav", &got48, &rateG) ||
      rateS != 48000 || rateG != 48000) {
    ADD_FAILURE() << "cannot read the audio files";
    return run;
  }
  const std::vector<int16_t> sent = e2e::To16k(sent48, true);
  const std::vector<int16_t> got = e2e::To16k(got48, false);
  // B's file starts when B opened its playout; A's capture started later: the sent audio lies
  // (captureStart - playoutOpen) plus the path's delay into B's file.
  const long offsetMs = std::stol(fa["capture_start_ms"]) - std::stol(fb["playout_open_ms"]);
  run.alignment = e2e::Align(sent, got, std::max(0L, offsetMs * 16), (offsetMs + 1000) * 16);
  run.delayMs = run.alignment.lag / 16.0 - static_cast<double>(offsetMs);
  if (!dtmf.empty()) {
    const long tail = (offsetMs + 5700) * 16;
    std::vector<int16_t> end(got.begin() + std::min<long>(tail, static_cast<long>(got.size())), got.end());
    run.heard = e2e::DetectDtmf(end, 16000);
  }
  run.ok = true;
  return run;
}

TEST(VoiceEngineE2E, SpokenWavArrivesWithPcmu) {
  if (!e2e::HaveTool("espeak-ng") || !e2e::HaveTool("sox")) GTEST_SKIP() << "espeak-ng and sox are needed";
  const std::string dir = e2e::TempDir("e2e_pcmu");
  const PeerRun run = SendSpeech(dir, "PCMU", 160, "");
  ASSERT_TRUE(run.ok);
  std::printf("PCMU 20 ms: one-way delay %.1f ms, median window correlation %.3f (worst %.3f, %d windows)\n",
              run.delayMs, run.alignment.median, run.alignment.worst, run.alignment.windows);
  RecordProperty("one_way_delay_ms", static_cast<int>(run.delayMs));
  EXPECT_GE(run.alignment.windows, 5);
  EXPECT_GE(run.alignment.median, kMinCorrelation);
  // Capture, one packet, the jitter buffer and the primed playout queue: well under G.114's 150 ms.
  EXPECT_GT(run.delayMs, 20.0);
  EXPECT_LT(run.delayMs, 250.0);
}

TEST(VoiceEngineE2E, PcmaAndTelephoneEventsArrive) {
  if (!e2e::HaveTool("espeak-ng") || !e2e::HaveTool("sox")) GTEST_SKIP() << "espeak-ng and sox are needed";
  const std::string dir = e2e::TempDir("e2e_pcma");
  const PeerRun run = SendSpeech(dir, "PCMA", 240, "159#");
  ASSERT_TRUE(run.ok);
  std::printf("PCMA 30 ms: one-way delay %.1f ms, median window correlation %.3f; DTMF heard \"%s\"\n",
              run.delayMs, run.alignment.median, run.heard.c_str());
  EXPECT_GE(run.alignment.median, kMinCorrelation);
  EXPECT_EQ("159#", run.heard);
}

}  // namespace
