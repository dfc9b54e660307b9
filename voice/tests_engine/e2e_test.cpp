// Two engines in two processes on loopback with file devices: spoken audio and DTMF arrive, and the delay is measured.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "e2e_support.h"

namespace {

const std::string kPeer = std::string(TESSALY_BINARY_DIR) + "/tools/voicepeer/voicepeer";
const char* kText = "The quick brown fox jumps over the lazy dog. One two three four five.";
const char* kAnswer = "Six seven eight nine ten, a big black bug bit a big black bear.";

// Lowest median window correlation accepted between what A sent (shaped as the engine shapes it:
// its microphone high-pass and the 8-kHz band of G.711) and what B played, along B's changing
// delay. Measured on loopback: median 0.982-0.988, worst window 0.88-0.97 for PCMU and PCMA, and
// 0.97-0.988 beside a load that stalls both engines for 100 ms at a time; lost, garbled or
// misaligned audio falls well below it.
constexpr double kMinCorrelation = 0.90;

struct PeerRun {
  e2e::Alignment alignment;
  double delayMs = 0;    // the path's own delay (the lowest over the speech)
  double highestMs = 0;  // what a busy machine made of it
  std::string heard;     // DTMF digits heard at B
  std::string receiver;  // B's own figures: underruns, concealment and time-stretching
  bool ok = false;
};

// The receiver's figures that say what it did to the timing, for the messages.
std::string ReceiverFigures(std::map<std::string, std::string> f) {
  std::string out;
  for (const char* key : {"underruns", "concealed_samples", "accelerations", "merges", "discarded_samples"})
    out += std::string(out.empty() ? "" : " ") + key + "=" + f[key];
  return out;
}

// A sends speech.wav (and DTMF) to B; B records what it plays. Returns the measurements.
// Wideband codecs carry the whole 16-kHz band, so their reference is only high-passed. extraA are
// further options of A (its processing settings).
PeerRun SendSpeech(const std::string& dir, const std::string& codec, int packet, const std::string& dtmf,
                   bool wideband = false, const std::vector<std::string>& extraA = {}, bool bTalks = false) {
  PeerRun run;
  const std::string speech = dir + "/speech48.wav";
  if (!e2e::MakeSpeech(dir, kText, speech)) {
    ADD_FAILURE() << "espeak-ng or sox failed";
    return run;
  }
  const int portA = e2e::FreePortPair(1);
  const int portB = e2e::FreePortPair(2);
  e2e::Child b;
  e2e::Child a;
  const std::string seconds = "7";
  // B answering at the same time: A's playout then carries B's speech, a far end without echo.
  const std::string answer = dir + "/answer48.wav";
  if (bTalks && !e2e::MakeSpeech(dir, kAnswer, answer)) {
    ADD_FAILURE() << "espeak-ng or sox failed";
    return run;
  }
  // B's seconds count from A's first packet: however long A takes to start on a busy machine, B
  // records all that A sends (7 s) and plays out.
  std::vector<std::string> argsB = {kPeer,   "engine",  "--local-port", std::to_string(portB), "--remote-port",
                                    std::to_string(portA), "--out", dir + "/b_out.wav", "--seconds", "8", "--codec",
                                    codec,   "--packet", std::to_string(packet), "--after-first-packet"};
  if (bTalks)
    argsB.insert(argsB.end(), {"--in", answer});
  else
    argsB.push_back("--no-send");
  EXPECT_TRUE(b.Start(argsB, dir + "/b.log"));
  if (!b.WaitFor("ready", 5000)) {
    ADD_FAILURE() << "peer B did not start: " << b.Output();
    return run;
  }
  std::vector<std::string> argsA = {kPeer,   "engine", "--local-port", std::to_string(portA),
                                    "--remote-port", std::to_string(portB), "--in", speech,
                                    "--seconds", seconds, "--codec", codec, "--packet", std::to_string(packet)};
  if (!bTalks) argsA.push_back("--no-playout");
  if (!dtmf.empty()) {
    argsA.insert(argsA.end(), {"--dtmf", dtmf, "--dtmf-at", "5900", "--dtmf-gap", "250"});
  }
  argsA.insert(argsA.end(), extraA.begin(), extraA.end());
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
  const std::vector<int16_t> sent = e2e::To16k(sent48, !wideband, false, wideband);
  const std::vector<int16_t> got = e2e::To16k(got48, false);
  // B's file starts when B opened its playout; A's capture started later: the sent audio lies
  // (captureStart - playoutOpen) plus the path's delay into B's file.
  const long offsetMs = std::stol(fa["capture_start_ms"]) - std::stol(fb["playout_open_ms"]);
  run.alignment = e2e::Align(sent, got, std::max(0L, offsetMs * 16), (offsetMs + 1000) * 16);
  run.delayMs = run.alignment.lowestLag / 16.0 - static_cast<double>(offsetMs);
  run.highestMs = run.alignment.highestLag / 16.0 - static_cast<double>(offsetMs);
  run.receiver = ReceiverFigures(fb);
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
  std::printf("PCMU 20 ms: one-way delay %.1f ms (up to %.1f), median window correlation %.3f (worst %.3f, %d windows); %s\n",
              run.delayMs, run.highestMs, run.alignment.median, run.alignment.worst, run.alignment.windows,
              run.receiver.c_str());
  RecordProperty("one_way_delay_ms", static_cast<int>(run.delayMs));
  EXPECT_GE(run.alignment.windows, 5);
  EXPECT_GE(run.alignment.median, kMinCorrelation) << run.receiver;
  // Capture, one packet, the jitter buffer and the primed playout queue: well under G.114's 150 ms.
  EXPECT_GT(run.delayMs, 20.0);
  EXPECT_LT(run.delayMs, 250.0);
}

TEST(VoiceEngineE2E, PcmaAndTelephoneEventsArrive) {
  if (!e2e::HaveTool("espeak-ng") || !e2e::HaveTool("sox")) GTEST_SKIP() << "espeak-ng and sox are needed";
  const std::string dir = e2e::TempDir("e2e_pcma");
  const PeerRun run = SendSpeech(dir, "PCMA", 240, "159#");
  ASSERT_TRUE(run.ok);
  std::printf("PCMA 30 ms: one-way delay %.1f ms (up to %.1f), median window correlation %.3f; DTMF heard \"%s\"; %s\n",
              run.delayMs, run.highestMs, run.alignment.median, run.heard.c_str(), run.receiver.c_str());
  EXPECT_GE(run.alignment.median, kMinCorrelation) << run.receiver;
  EXPECT_EQ("159#", run.heard);
}

// Every codec of the engine carries speech through two engines. Measured medians (worst window):
// iLBC 30 ms 0.886 (0.74), OSTREL711U 0.988 (0.93), QUILL 0.948 (0.56), OSTRELWB 0.947 (0.59); beside
// a load that stalls the engines, iLBC 0.867-0.891, QUILL 0.897-0.944, OSTRELWB 0.929-0.946. The
// floors leave G.711's margin, while lost or garbled audio falls far below them.
struct CodecRun {
  const char* codec;
  int packet;
  bool wideband;
  double floor;
};

class VoiceEngineCodecE2E : public ::testing::TestWithParam<CodecRun> {};

TEST_P(VoiceEngineCodecE2E, SpokenWavArrives) {
  if (!e2e::HaveTool("espeak-ng") || !e2e::HaveTool("sox")) GTEST_SKIP() << "espeak-ng and sox are needed";
  const CodecRun c = GetParam();
  const std::string dir = e2e::TempDir(std::string("e2e_") + c.codec);
  const PeerRun run = SendSpeech(dir, c.codec, c.packet, "", c.wideband);
  ASSERT_TRUE(run.ok);
  std::printf("%s %d: one-way delay %.1f ms (up to %.1f), median window correlation %.3f (worst %.3f, %d windows); %s\n",
              c.codec, c.packet, run.delayMs, run.highestMs, run.alignment.median, run.alignment.worst,
              run.alignment.windows, run.receiver.c_str());
  EXPECT_GE(run.alignment.windows, 5);
  EXPECT_GE(run.alignment.median, c.floor) << run.receiver;
  EXPECT_LT(run.delayMs, 300.0);
}

INSTANTIATE_TEST_SUITE_P(Codecs, VoiceEngineCodecE2E,
                         ::testing::Values(CodecRun{"iLBC", 240, false, 0.80}, CodecRun{"OSTREL711U", 160, false, 0.90},
                                           CodecRun{"QUILL", 480, true, 0.85}, CodecRun{"OSTRELWB", 320, true, 0.85}),
                         [](const ::testing::TestParamInfo<CodecRun>& i) { return std::string(i.param.codec); });

// Call control's settings (echo canceller on with its option, gain control on) on G.711: with no
// echo to remove, the speech goes through as it does without them. Measured medians: canceller
// 0.956, gain control 0.988 (with B talking at the same time), both 0.956. (While B talks, the
// canceller holds back some of A's speech: 0.84-0.86.)
TEST(VoiceEngineE2E, EchoControlAndGainControlKeepSpeech) {
  if (!e2e::HaveTool("espeak-ng") || !e2e::HaveTool("sox")) GTEST_SKIP() << "espeak-ng and sox are needed";
  struct Setting {
    std::vector<std::string> options;
    bool bTalks;
  };
  const Setting settings[] = {{{"--ec", "2", "--ec-type", "0"}, false},
                              {{"--agc", "1"}, true},
                              {{"--ec", "2", "--ec-type", "0", "--agc", "1"}, false}};
  for (const Setting& setting : settings) {
    std::string tag;
    for (const std::string& e : setting.options) tag += e + " ";
    const std::string dir = e2e::TempDir("e2e_proc");
    const PeerRun run = SendSpeech(dir, "PCMU", 160, "", false, setting.options, setting.bTalks);
    ASSERT_TRUE(run.ok);
    std::printf("PCMU with %s: median window correlation %.3f (worst %.3f, %d windows); %s\n", tag.c_str(),
                run.alignment.median, run.alignment.worst, run.alignment.windows, run.receiver.c_str());
    EXPECT_GE(run.alignment.median, kMinCorrelation) << tag << run.receiver;
  }
}

}  // namespace
