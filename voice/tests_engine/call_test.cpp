// Full calls between processes: call control, the SIP user agent and the engine carry speech both ways and DTMF.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>

#include "e2e_support.h"
#include "sip/tests/peer_configs.h"

namespace {

const std::string kPeer = std::string(TESSALY_BINARY_DIR) + "/tools/voicepeer/voicepeer";
const char* kAliceText = "Hello Bob, this is Alice calling about the weather forecast for tomorrow.";
const char* kBobText = "Hi Alice, it is going to rain all day, so bring an umbrella with you.";

// As in the engine-to-engine test (same shaping of the reference). G.711 measured median 0.975-0.99.
constexpr double kMinCorrelation = 0.90;
// Two of our engines agree on iLBC (offered first), with the echo canceller and gain control on as
// call control sets them. iLBC alone measures a median of 0.886 engine to engine; with the
// canceller's high-pass and both talking at once a call measured 0.76-0.82. Lost, garbled or
// misaligned audio falls below 0.3, a near end muted as echo to about 0.6.
constexpr double kMinIlbcCorrelation = 0.70;

bool HaveTools() {
  return e2e::HaveTool("kamailio") && e2e::HaveTool("espeak-ng") && e2e::HaveTool("sox");
}

struct Direction {
  e2e::Alignment alignment;
  double delayMs = 0;    // the path's own delay (the lowest over the speech)
  double highestMs = 0;  // what a busy machine made of it
  std::vector<int16_t> heard;  // 16 kHz
};

// What `listener` played of what `talker` captured, aligned on the shared clock.
Direction Measure(const std::string& sentWav, const std::map<std::string, std::string>& talker,
                  const std::string& heardWav, const std::map<std::string, std::string>& listener) {
  Direction d;
  std::vector<int16_t> sent48, got48;
  DWORD rate = 0;
  if (!e2e::ReadMono(sentWav, &sent48, &rate) || !e2e::ReadMono(heardWav, &got48, &rate)) {
    ADD_FAILURE() << "cannot read " << sentWav << " or " << heardWav;
    return d;
  }
  const auto cs = talker.find("capture_start_ms");
  const auto po = listener.find("playout_open_ms");
  if (cs == talker.end() || po == listener.end()) {
    ADD_FAILURE() << "missing figures";
    return d;
  }
  // The talker captures from the answer on, while the caller's playout opens once the answer has
  // reached it (later still on a busy machine): the talker's first words may precede the
  // listener's recording, a negative offset.
  const long offsetMs = std::stol(cs->second) - std::stol(po->second);
  const std::vector<int16_t> sent = e2e::To16k(sent48, true);
  d.heard = e2e::To16k(got48, false);
  d.alignment = e2e::Align(sent, d.heard, offsetMs * 16, (offsetMs + 1000) * 16);
  d.delayMs = d.alignment.lowestLag / 16.0 - static_cast<double>(offsetMs);
  d.highestMs = d.alignment.highestLag / 16.0 - static_cast<double>(offsetMs);
  return d;
}

class VoiceEngineCall : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTools()) GTEST_SKIP() << "kamailio, espeak-ng and sox are needed";
    dir = e2e::TempDir("call");
    proxyPort = e2e::FreePortPair(7);
    std::ofstream(dir + "/kamailio.cfg") << e2e::KamailioConfig(proxyPort);
    ASSERT_TRUE(kamailio.Start({"/usr/sbin/kamailio", "-f", dir + "/kamailio.cfg", "-DD", "-E", "-Y", dir, "-w", dir,
                                "-m", "32", "-M", "4", "-a", "no"},
                               dir + "/kamailio.log"));
    ASSERT_TRUE(e2e::WaitPortBound(proxyPort, 5000)) << kamailio.Output();
  }
  void TearDown() override { kamailio.Stop(); }

  std::string dir;
  int proxyPort = 0;
  e2e::Child kamailio;
};

TEST_F(VoiceEngineCall, SpeechBothWaysAndDtmfThroughCallControl) {
  const std::string aliceWav = dir + "/alice.wav";
  const std::string bobWav = dir + "/bob.wav";
  ASSERT_TRUE(e2e::MakeSpeech(dir, kAliceText, aliceWav));
  // Both talk at once: with no echo path the canceller (on in calls) must leave each near end alone.
  ASSERT_TRUE(e2e::MakeSpeech(dir, kBobText, bobWav));
  const int bobSip = e2e::FreePortPair(11);
  const int aliceSip = e2e::FreePortPair(13);

  e2e::Child bob, alice;
  ASSERT_TRUE(bob.Start({kPeer, "call", "--sip-port", std::to_string(bobSip), "--user", "bob", "--remote-port",
                         std::to_string(proxyPort), "--in", bobWav, "--out", dir + "/bob_out.wav", "--seconds", "14"},
                        dir + "/bob.log"));
  ASSERT_TRUE(bob.WaitFor("ready", 10000)) << bob.Output() << kamailio.Output();
  // Alice talks first; her digits follow once both have finished speaking.
  ASSERT_TRUE(alice.Start({kPeer, "call", "--sip-port", std::to_string(aliceSip), "--user", "alice",
                           "--remote-port", std::to_string(proxyPort), "--call", "bob", "--in", aliceWav, "--out",
                           dir + "/alice_out.wav", "--seconds", "9", "--dtmf", "2580", "--dtmf-at", "7000",
                           "--dtmf-gap", "300"},
                          dir + "/alice.log"));
  EXPECT_EQ(0, alice.Wait(30000)) << alice.Output();
  EXPECT_EQ(0, bob.Wait(25000)) << bob.Output();
  const auto fa = e2e::Figures(alice.Output());
  const auto fb = e2e::Figures(bob.Output());

  const Direction toBob = Measure(aliceWav, fa, dir + "/bob_out.wav", fb);
  const Direction toAlice = Measure(bobWav, fb, dir + "/alice_out.wav", fa);
  std::printf("alice -> bob: delay %.1f ms (up to %.1f), median correlation %.3f (%d windows)\n", toBob.delayMs,
              toBob.highestMs, toBob.alignment.median, toBob.alignment.windows);
  std::printf("bob -> alice: delay %.1f ms (up to %.1f), median correlation %.3f (%d windows)\n", toAlice.delayMs,
              toAlice.highestMs, toAlice.alignment.median, toAlice.alignment.windows);
  EXPECT_GE(toBob.alignment.windows, 5);
  EXPECT_GE(toAlice.alignment.windows, 5);
  EXPECT_GE(toBob.alignment.median, kMinIlbcCorrelation);
  EXPECT_GE(toAlice.alignment.median, kMinIlbcCorrelation);
  EXPECT_LT(toBob.delayMs, 250.0);
  EXPECT_LT(toAlice.delayMs, 250.0);
  // The digits went as telephone events: Bob's engine played them as tones.
  EXPECT_EQ("2580", e2e::DetectDtmf(toBob.heard, 16000));
}

// baresip as Bob: registered through the same proxy, answering at once, sending a WAV file
// (its aufile source) and dumping what it decodes (its sndfile module); Alice's digits follow
// the speech.
TEST_F(VoiceEngineCall, BaresipCallCarriesAudioBothWaysWithPcmuAndDigits) {
  if (!e2e::HaveTool("baresip")) GTEST_SKIP() << "baresip is needed";
  const std::string aliceWav = dir + "/alice.wav";
  const std::string bobWav = dir + "/bob.wav";
  ASSERT_TRUE(e2e::MakeSpeech(dir, kAliceText, aliceWav));
  // baresip hangs up when its file ends: four seconds of silence after Bob's words leave time
  // for Alice's digits.
  ASSERT_TRUE(e2e::MakeSpeech(dir, kBobText, bobWav, 48000, 0, 4));
  const int bobSip = e2e::FreePortPair(17);
  const int aliceSip = e2e::FreePortPair(19);
  const int bobRtp = test_ports::Reserve(20);
  const std::string bobDir = dir + "/baresip";
  ASSERT_EQ(0, mkdir(bobDir.c_str(), 0755));
  {
    std::ofstream config(bobDir + "/config");
    config << "poll_method\t\tepoll\n"
           << "sip_listen\t\t127.0.0.1:" << bobSip << "\n"
           << "sip_trans_def\t\tudp\n"
           << "module_path\t\t/usr/lib/baresip/modules\n"
           << "module\t\t\tg711.so\n"
           << "module\t\t\taufile.so\n"
           << "module\t\t\tsndfile.so\n"
           << "module\t\t\taubridge.so\n"
           << "module_app\t\taccount.so\n"
           << "module_app\t\tmenu.so\n"
           << "audio_player\t\taubridge,nowhere\n"
           << "audio_source\t\taufile," << bobWav << "\n"
           << "ausrc_srate\t\t48000\n"
           << "ausrc_channels\t\t1\n"
           << "auplay_srate\t\t48000\n"
           << "snd_path\t\t" << bobDir << "\n"
           << "rtp_ports\t\t" << bobRtp << "-" << (bobRtp + 19) << "\n"
           << "net_interface\t\t127.0.0.1\n";
    std::ofstream accounts(bobDir + "/accounts");
    accounts << "<sip:bob@127.0.0.1>;auth_pass=secret;outbound=\"sip:127.0.0.1:" << proxyPort
             << "\";regint=600;audio_codecs=PCMU;answermode=auto\n";
  }
  e2e::Child bob, alice;
  ASSERT_TRUE(bob.Start({"/usr/bin/baresip", "-f", bobDir, "-t", "40"}, bobDir + "/baresip.log"));
  ASSERT_TRUE(bob.WaitFor("200 OK", 10000)) << bob.Output() << kamailio.Output();
  ASSERT_TRUE(alice.Start({kPeer, "call", "--sip-port", std::to_string(aliceSip), "--user", "alice",
                           "--remote-port", std::to_string(proxyPort), "--call", "bob", "--in", aliceWav, "--out",
                           dir + "/alice_out.wav", "--seconds", "12", "--dtmf", "2580", "--dtmf-at", "5500",
                           "--dtmf-gap", "300"},
                          dir + "/alice.log"));
  // baresip ends the call when its file has been sent.
  EXPECT_EQ(0, alice.Wait(40000)) << alice.Output() << bob.Output();
  bob.Stop();
  // The keypad's digits reached a standard phone as telephone events: it reports each one's end
  // once (the repeated end packets are one end).
  std::string digits;
  {
    const std::string log = bob.Output();
    const std::string mark = "received event: '";
    for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) {
      const size_t digit = at + mark.size();
      if (log.compare(digit + 1, 10, "' (end=1)\n") == 0) digits += log[digit];
    }
  }
  EXPECT_EQ("2580", digits) << bob.Output();
  std::string decoded;
  {
    const std::string list = dir + "/dumps.txt";
    EXPECT_EQ(0, std::system(("ls " + bobDir + "/dump-*-dec.wav > " + list + " 2>/dev/null").c_str()));
    std::ifstream f(list);
    std::getline(f, decoded);
  }
  ASSERT_FALSE(decoded.empty()) << "baresip wrote no decoded audio: " << bob.Output();

  std::vector<int16_t> alice48, bob48, heardByBob8, heardByAlice48;
  DWORD rate = 0;
  ASSERT_TRUE(e2e::ReadMono(aliceWav, &alice48, &rate));
  ASSERT_TRUE(e2e::ReadMono(bobWav, &bob48, &rate));
  ASSERT_TRUE(e2e::ReadMono(decoded, &heardByBob8, &rate));
  ASSERT_EQ(8000u, rate);
  ASSERT_TRUE(e2e::ReadMono(dir + "/alice_out.wav", &heardByAlice48, &rate));
  // Our side shapes what it sends (high-pass, 8-kHz band); baresip sends its file through its own
  // resampler, so only the band is shared. Neither side's start is known to the other: the
  // alignment searches the first three seconds. Baresip speaks from its answer on, while Alice's
  // playout opens only once the answer has reached her (later still on a busy machine), so what
  // she heard may begin inside baresip's first word: her search starts a second before.
  const e2e::Alignment toBob = e2e::Align(e2e::To16k(alice48, true), e2e::From8k(heardByBob8), 0, 3 * 16000);
  const e2e::Alignment toAlice =
      e2e::Align(e2e::To16k(bob48, false, true), e2e::To16k(heardByAlice48, false), -16000, 3 * 16000);
  std::printf("us -> baresip: median correlation %.3f (%d windows); baresip -> us: %.3f (%d windows)\n",
              toBob.median, toBob.windows, toAlice.median, toAlice.windows);
  EXPECT_GE(toBob.windows, 5);
  EXPECT_GE(toAlice.windows, 5);
  EXPECT_GE(toBob.median, kMinCorrelation);
  EXPECT_GE(toAlice.median, kMinCorrelation);
}

// The keypad's digits, * and # included, reach baresip as telephone events whichever side places
// the call: Alice calls baresip, then baresip calls Alice; each time baresip reports every digit.
TEST_F(VoiceEngineCall, BaresipReceivesTheDigitsInBothCallDirections) {
  if (!e2e::HaveTool("baresip")) GTEST_SKIP() << "baresip is needed";
  const int bobSip = e2e::FreePortPair(23);
  const int bobRtp = test_ports::Reserve(20);
  const std::string bobDir = dir + "/baresip_keys";
  ASSERT_EQ(0, mkdir(bobDir.c_str(), 0755));
  siptest::WriteBaresipConfig(bobDir, bobSip, bobRtp, "bob", "secret", proxyPort, true);
  // The digits whose end baresip reported, in order (the repeated end packets are one end).
  auto heard = [](const std::string& log) {
    std::string digits;
    const std::string mark = "received event: '";
    for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) {
      const size_t digit = at + mark.size();
      if (log.compare(digit + 1, 10, "' (end=1)\n") == 0) digits += log[digit];
    }
    return digits;
  };
  const std::vector<std::string> common = {"--user", "alice", "--remote-port", std::to_string(proxyPort),
                                           "--seconds", "5", "--dtmf-at", "1500", "--dtmf-gap", "400"};
  {
    // Alice calls; baresip answers at once.
    e2e::Child bob, alice;
    ASSERT_TRUE(bob.Start({"/usr/bin/baresip", "-f", bobDir}, bobDir + "/out.log"));
    ASSERT_TRUE(bob.WaitFor("200 OK", 10000)) << bob.Output() << kamailio.Output();
    std::vector<std::string> args = {kPeer, "call", "--sip-port", std::to_string(e2e::FreePortPair(29)), "--call", "bob",
                                     "--dtmf", "1*5#"};
    args.insert(args.end(), common.begin(), common.end());
    ASSERT_TRUE(alice.Start(args, dir + "/alice_calls.log"));
    EXPECT_EQ(0, alice.Wait(30000)) << alice.Output() << bob.Output();
    bob.Stop();
    EXPECT_EQ("1*5#", heard(bob.Output())) << bob.Output();
  }
  {
    // Baresip calls Alice once she is registered; she answers.
    e2e::Child bob, alice;
    std::vector<std::string> args = {kPeer, "call", "--sip-port", std::to_string(e2e::FreePortPair(31)), "--dtmf", "2#0*"};
    args.insert(args.end(), common.begin(), common.end());
    ASSERT_TRUE(alice.Start(args, dir + "/alice_answers.log"));
    ASSERT_TRUE(alice.WaitFor("ready", 10000)) << alice.Output();
    ASSERT_TRUE(bob.Start({"/usr/bin/baresip", "-f", bobDir, "-e", "/dial sip:alice@127.0.0.1", "-t", "12"},
                          bobDir + "/out2.log"));
    EXPECT_EQ(0, alice.Wait(30000)) << alice.Output() << bob.Output();
    bob.Wait(15000);
    EXPECT_EQ("2#0*", heard(bob.Output())) << bob.Output();
  }
}

}  // namespace
