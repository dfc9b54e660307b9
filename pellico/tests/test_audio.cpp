// Voice clip recorder and player: AMR-NB round trip, 200 ms packets, padding, the 90 s limit and cut clips.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "fakes.h"

using namespace pt;

namespace {
struct FakeIn : pellico::KxWaveIn {
  std::vector<uint8_t>* supply;
  bool endless = false;
  bool toggle = false;
  explicit FakeIn(std::vector<uint8_t>* s) : supply(s) {}
  int Open() override { return 0; }
  int Start() override { return 0; }
  int Stop() override { return 0; }
  size_t Read(uint8_t* buf, size_t max) override {
    if (endless) {
      if ((toggle = !toggle)) return 0;  // one 200 ms buffer per tick
      size_t n = std::min<size_t>(max, 3200);
      memset(buf, 0, n);
      return n;
    }
    size_t n = std::min(max, supply->size());
    memcpy(buf, supply->data(), n);
    supply->erase(supply->begin(), supply->begin() + static_cast<long>(n));
    return n;
  }
  void Close() override {}
};
struct FakeOut : pellico::KxWaveOut {
  std::vector<uint8_t>* played;
  explicit FakeOut(std::vector<uint8_t>* p) : played(p) {}
  int Open() override { return 0; }
  int Write(const uint8_t* pcm, size_t n) override {
    played->insert(played->end(), pcm, pcm + n);
    return 0;
  }
  size_t Pending() override { return 0; }
  void Reset() override {}
  void Close() override {}
};
std::vector<uint8_t> Tone(size_t bytes) {
  std::vector<uint8_t> b(bytes);
  for (size_t i = 0; i < bytes / 2; ++i) {
    int16_t v = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / 8000.0));
    memcpy(&b[2 * i], &v, 2);
  }
  return b;
}
double Rms(const uint8_t* p, size_t bytes) {
  double sum = 0;
  for (size_t i = 0; i < bytes / 2; ++i) {
    int16_t v;
    memcpy(&v, p + 2 * i, 2);
    sum += double(v) * v;
  }
  return std::sqrt(sum / double(bytes / 2));
}
Message_t* VoiceTo(int id) {
  Message_t* m = CKxCore::MessageNewM();
  kx_recipient* r = CKxCore::RecipientNewM();
  r->id = id;
  CKxCore::MessageAddRecipient(m, r);
  return m;
}
}  // namespace

TEST(PellicoAudio, AmrRoundTripOf200ms) {
  TempDir dir;
  CoreHarness h(dir.path);
  std::vector<uint8_t> supply, played;
  h.core->GetAudioManager()->SetDevices(std::make_unique<FakeIn>(&supply), std::make_unique<FakeOut>(&played));
  auto pcm = Tone(3200);
  auto frames = h.core->GetAudioManager()->Encode(pcm.data(), pcm.size());
  ASSERT_EQ(frames.size(), 130u);
  EXPECT_EQ(pellico::AmrCountFrames(frames.data(), frames.size()), 10);
  EXPECT_EQ(h.core->GetAudioManager()->Encode(pcm.data(), 3000).size(), 0u) << "another length is refused";
  // Play the same tone twice so the decoder has settled in the second half.
  std::vector<uint8_t> twice = frames;
  auto more = h.core->GetAudioManager()->Encode(pcm.data(), pcm.size());
  twice.insert(twice.end(), more.begin(), more.end());
  h.core->GetAudioManager()->PlayBlock(twice.data(), twice.size());
  ASSERT_EQ(played.size(), 6400u);
  double in = Rms(pcm.data(), pcm.size()), out = Rms(played.data() + 3200, 3200);
  EXPECT_GT(out, in * 0.3);
  EXPECT_LT(out, in * 2.0);
}

TEST(PellicoAudio, StopAfter250msSendsTwoPacketsTheSecondPadded) {
  TempDir dir;
  CoreHarness h(dir.path);
  std::vector<uint8_t> supply = Tone(4000), played;
  h.core->GetAudioManager()->SetDevices(std::make_unique<FakeIn>(&supply), std::make_unique<FakeOut>(&played));
  h.SignInOnline();
  ASSERT_EQ(h.core->SendMessage(VoiceTo(1002), 1), KX_OK);
  EXPECT_TRUE(h.core->IsRecording());
  EXPECT_EQ(h.core->SendMessage(VoiceTo(1002), 1), KX_ALREADY_RECORDING);
  h.Tick(100);
  EXPECT_EQ(h.SentOfType(17).size(), 1u);
  ASSERT_EQ(h.core->StopAudio(), KX_OK);
  auto audio = h.SentOfType(17);
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_EQ(CoreHarness::Seq(audio[0]), 1u);
  EXPECT_EQ(CoreHarness::Seq(audio[1]), 2u);
  EXPECT_EQ(audio[1].size(), 18u + 130u);
  EXPECT_EQ((audio[1][15] << 8) | audio[1][16], 131) << "frame bytes + 1";
  auto end = h.SentOfType(16);
  ASSERT_EQ(end.size(), 1u);
  EXPECT_EQ(end[0][16], 2);
}

TEST(PellicoAudio, RecordingStopsItselfAfter90Seconds) {
  TempDir dir;
  CoreHarness h(dir.path);
  std::vector<uint8_t> supply, played;
  auto in = std::make_unique<FakeIn>(&supply);
  in->endless = true;
  h.core->GetAudioManager()->SetDevices(std::move(in), std::make_unique<FakeOut>(&played));
  h.SignInOnline();
  ASSERT_EQ(h.core->SendMessage(VoiceTo(1002), 1), KX_OK);
  for (int i = 0; i < 500 && h.core->IsRecording(); ++i) h.Tick(200);
  EXPECT_FALSE(h.core->IsRecording());
  EXPECT_EQ(h.SentOfType(17).size(), 450u);
  EXPECT_EQ(h.SentOfType(16).size(), 1u);
}

TEST(PellicoAudio, ClipCutInsideAFramePlaysTheCompleteFrames) {
  TempDir dir;
  CoreHarness h(dir.path);
  std::vector<uint8_t> supply, played;
  h.core->GetAudioManager()->SetDevices(std::make_unique<FakeIn>(&supply), std::make_unique<FakeOut>(&played));
  auto frames = h.core->GetAudioManager()->Encode(Tone(3200).data(), 3200);
  std::ofstream f(dir.path + "/mervane/audio/1f", std::ios::binary);
  f.write(reinterpret_cast<const char*>(frames.data()), 13 * 3 + 6);
  f.close();
  EXPECT_FLOAT_EQ(h.core->GetAudioDuration(0x1f), 0.06f);
  EXPECT_EQ(h.core->PlayMessage(0x1f), KX_OK);
  EXPECT_EQ(played.size(), 3u * 320u);
  EXPECT_EQ(h.core->PlayMessage(0x20), KX_UNKNOWN_ENTRY);
  EXPECT_EQ(pellico::AmrFrameSize(0x4C), 1u) << "types 9-15 are one byte";
  EXPECT_EQ(pellico::AmrFrameSize(0x3C), 32u);
  EXPECT_EQ(pellico::AmrFrameSize(0x44), 6u) << "comfort noise";
}

// A clip's announcement carries the message's attachment as a text's does.
TEST(PellicoAudio, AClipAnnouncementCarriesTheMessagesAttachment) {
  TempDir dir;
  CoreHarness h(dir.path);
  std::vector<uint8_t> supply = Tone(4000), played;
  h.core->GetAudioManager()->SetDevices(std::make_unique<FakeIn>(&supply), std::make_unique<FakeOut>(&played));
  h.SignInOnline();
  Message_t* m = VoiceTo(1002);
  m->attachment = CKxCore::AttachmentURLNewM(CKxCore::Utf8Create("http://example.org/clip-note"),
                                             CKxCore::Utf8Create("note"), CKxCore::Utf8Create("text/plain"));
  ASSERT_EQ(h.core->SendMessage(m, 1), KX_OK);
  auto start = h.SentOfType(14);
  ASSERT_EQ(start.size(), 1u);
  const std::string bytes(start[0].begin(), start[0].end());
  EXPECT_NE(bytes.find("http://example.org/clip-note"), std::string::npos);
  EXPECT_NE(bytes.find("text/plain"), std::string::npos);
  h.core->StopAudio();
}

// The echo of a recording's message comes while it is recorded; the clip is stored when the recording ends,
// and the store must then say so: read back after a restart, the message is a stored clip, not one in transit.
TEST(PellicoAudio, ASentClipStoredAfterItsEchoIsAStoredClipAfterARestart) {
  TempDir dir;
  uint32_t entry = 0;
  {
    CoreHarness h(dir.path);
    std::vector<uint8_t> supply = Tone(3200), played;
    h.core->GetAudioManager()->SetDevices(std::make_unique<FakeIn>(&supply), std::make_unique<FakeOut>(&played));
    h.SignInOnline(77, 100);
    ASSERT_EQ(h.core->SendMessage(VoiceTo(1002), 1), KX_OK);
    auto start = h.SentOfType(14);
    ASSERT_EQ(start.size(), 1u);
    const uint16_t msg = uint16_t((start[0][9] << 8) | start[0][10]);
    h.Push(SB(101, 77, 11).u16(msg).str16("77_1").u32(0).str16("alice").u8(0).str16("s").str16("").time7().u8(0).u8(0).b);
    h.Tick(100);
    ASSERT_EQ(h.core->GetMessageListCount(), 1);
    Message_t* m = nullptr;
    h.core->ReadMessageByIndex(0, &m);
    ASSERT_EQ(m->state, KX_MSG_VOICE) << "the echo of the clip being recorded";
    h.Tick(100);  // the echo is written to the store
    ASSERT_EQ(h.core->StopAudio(), KX_OK);
    ASSERT_EQ(m->state, KX_MSG_VOICE_STORED);
    entry = m->entryId;
    h.Tick(100);
  }
  CoreHarness again(dir.path);
  ASSERT_EQ(again.core->GetMessageListCount(), 1);
  Message_t* m = nullptr;
  again.core->ReadMessageByIndex(0, &m);
  EXPECT_EQ(m->entryId, entry);
  EXPECT_EQ(m->state, KX_MSG_VOICE_STORED);
  EXPECT_GT(again.core->GetAudioDuration(entry), 0.0f);
}
