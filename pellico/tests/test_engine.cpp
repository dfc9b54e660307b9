// Session engine under a manual clock and an in-memory socket: retransmission, in-order delivery, voice, sessions.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fakes.h"

using namespace pt;
namespace fs = std::filesystem;

namespace {
Bytes Text(uint32_t seq, uint32_t session, uint16_t msg, uint32_t author, const std::string& text,
           const std::string& subject = "s") {
  return SB(seq, session, 11).u16(msg).str16("7_1").u32(author).str16("Bob").u8(0).str16(subject).str16(text)
      .time7().u8(0).u8(0).b;
}
Bytes AudioPkt(uint32_t audioSeq, uint32_t session, uint16_t msg, uint32_t author) {
  SB s(audioSeq, session, 17);
  s.u16(msg).u32(author).u16(27).u8(0);
  for (int f = 0; f < 2; ++f) {  // two 13-byte MR475 frames
    s.u8(0x04);
    for (int i = 0; i < 12; ++i) s.u8(audioSeq * 16 + i);
  }
  return s.b;
}
}  // namespace

TEST(PellicoEngine, UnansweredSignInIsSentFourTimesThenTheSessionResetsAt20s) {
  TempDir dir;
  CoreHarness h(dir.path);
  ASSERT_EQ(h.core->SignIn(KX_VISIBILITY_VISIBLE), KX_OK);
  EXPECT_EQ(h.core->GetConnectionState(), KX_LOGGING_IN);
  struct Step {
    uint32_t advance;
    size_t sent;
    EConnectionState_t state;
  } steps[] = {{4999, 1, KX_LOGGING_IN}, {1, 2, KX_LOGGING_IN},  {5000, 3, KX_LOGGING_IN},
               {5000, 4, KX_LOGGING_IN}, {4999, 4, KX_LOGGING_IN}, {1, 4, KX_OFFLINE}};
  for (auto& s : steps) {
    h.Tick(s.advance);
    EXPECT_EQ(h.SentOfType(1).size(), s.sent) << "at +" << s.advance;
    EXPECT_EQ(h.core->GetConnectionState(), s.state);
  }
  auto req = h.SentOfType(1);
  for (auto& r : req) EXPECT_EQ(CoreHarness::Seq(r), CoreHarness::Seq(req[0])) << "a resend keeps its number";
}

TEST(PellicoEngine, RequestRetransmissionAndDisconnectSchedule) {
  TempDir dir;
  CoreHarness h(dir.path);
  h.SignInOnline();
  ASSERT_EQ(h.core->RefreshContactList(0), KX_OK);
  for (uint32_t t : {5000u, 5000u, 5000u}) h.Tick(t);
  EXPECT_EQ(h.SentOfType(22).size(), 4u);
  EXPECT_EQ(h.core->GetConnectionState(), KX_ONLINE);
  h.Tick(5000);
  EXPECT_EQ(h.core->GetConnectionState(), KX_OFFLINE) << "the fourth time-out abandons the session";

  h.SignInOnline();
  h.core->SignOut();
  ASSERT_EQ(h.SentOfType(13).size(), 1u);
  h.Tick(2999);
  EXPECT_EQ(h.SentOfType(13).size(), 1u);
  h.Tick(1);
  EXPECT_EQ(h.SentOfType(13).size(), 2u) << "DISCONNECT is resent after 3 s";
  h.Push(SB(CoreHarness::Seq(h.SentOfType(13)[0]), h.session, 12).b);
  h.Tick();
  EXPECT_EQ(h.core->GetConnectionState(), KX_OFFLINE);
}

TEST(PellicoEngine, InOrderDeliveryWithReorderDuplicatesAndForeignSessions) {
  TempDir dir;
  CoreHarness h(dir.path);
  h.SignInOnline(77, 100);
  h.Push(Text(102, 77, 2, 42, "second"));
  h.Tick();
  EXPECT_TRUE(h.Acked(102));
  EXPECT_EQ(h.core->GetMessageListCount(), 0) << "held until 101 arrives";
  h.Push(Text(101, 77, 1, 42, "first"));
  h.Tick();
  ASSERT_EQ(h.core->GetMessageListCount(), 2);
  Message_t* m = nullptr;
  h.core->ReadMessageByIndex(0, &m);
  EXPECT_EQ(W(m), "first");
  h.core->ReadMessageByIndex(1, &m);
  EXPECT_EQ(W(m), "second");

  h.sent.clear();
  h.Push(Text(101, 77, 1, 42, "first"));
  h.Tick();
  EXPECT_TRUE(h.Acked(101)) << "a duplicate is acknowledged again";
  EXPECT_EQ(h.core->GetMessageListCount(), 2);

  h.Push(Text(103, 99, 3, 42, "foreign"));
  h.Push(Text(103, 77, 3, 42, "wrong source"), 0x7F000002, 9999);
  h.Tick();
  EXPECT_FALSE(h.Acked(103)) << "foreign session or source: dropped without acknowledgement";
  EXPECT_EQ(h.core->GetMessageListCount(), 2);

  h.Push(Text(105, 77, 5, 42, "after gap"));
  h.Tick();
  EXPECT_EQ(h.core->GetMessageListCount(), 2);
  h.Tick(30000);
  EXPECT_EQ(h.core->GetMessageListCount(), 2);
  h.Tick(1);
  EXPECT_EQ(h.core->GetMessageListCount(), 3) << "a gap is abandoned after 30 s";
}

// What waits behind a missing packet is bounded: a packet beyond the bound is dropped unacknowledged, so the
// server sends it again, and a copy of one already held is still acknowledged. When the gap ends, by the
// missing packet or after 30 s, everything held behind it is delivered at once.
TEST(PellicoEngine, WhatWaitsBehindAGapIsBoundedAndDeliveredWhenItEnds) {
  const uint32_t bound = 4096;
  for (bool abandon : {false, true}) {
    SCOPED_TRACE(abandon ? "the gap abandoned" : "the gap filled");
    TempDir dir;
    CoreHarness h(dir.path, false);
    h.SignInOnline(77, 100);
    for (uint32_t i = 0; i < bound; ++i) h.Push(Text(102 + i, 77, static_cast<uint16_t>(i + 1), 42, "held"));
    h.Tick();
    h.sent.clear();
    h.Push(Text(102 + bound, 77, 9000, 42, "one too many"));
    h.Push(Text(102, 77, 1, 42, "held"));
    h.Tick();
    EXPECT_FALSE(h.Acked(102 + bound)) << "dropped beyond the bound";
    EXPECT_TRUE(h.Acked(102)) << "a copy of a held one is acknowledged again";
    EXPECT_EQ(h.core->GetMessageListCount(), 0);
    if (abandon) h.Tick(30001);
    else h.Push(Text(101, 77, 9001, 42, "the missing one"));
    h.Tick();
    EXPECT_EQ(h.core->GetMessageListCount(), static_cast<int>(bound + (abandon ? 0 : 1))) << "in one tick";
    h.Push(Text(102 + bound, 77, 9000, 42, "one too many"));  // sent again
    h.Tick();
    EXPECT_TRUE(h.Acked(102 + bound));
    EXPECT_EQ(h.core->GetMessageListCount(), static_cast<int>(bound + (abandon ? 1 : 2)));
  }
}

TEST(PellicoEngine, VoiceClipWithLostPacketsIsRecoveredThroughNack) {
  TempDir dir;
  CoreHarness h(dir.path);
  h.SignInOnline(77, 100);
  h.Push(SB(101, 77, 15).u16(9).str16("7_2").u32(42).str16("Bob").u8(1).u32(1).str16("alice").str16("")
             .str16("hello").time7().u8(0).b);
  for (uint32_t s : {1u, 2u, 4u, 5u}) h.Push(AudioPkt(s, 77, 9, 42));
  h.Push(SB(102, 77, 16).u16(9).u32(42).u16(5).b);
  h.Tick();
  ASSERT_EQ(h.core->GetMessageListCount(), 1);
  EXPECT_FALSE(h.Acked(1)) << "audio is never acknowledged";
  EXPECT_TRUE(h.Acked(102));
  EXPECT_TRUE(h.SentOfType(74).empty()) << "END_AUDIO is held while packet 3 is missing";
  auto nacks = h.SentOfType(76);
  ASSERT_EQ(nacks.size(), 1u);
  EXPECT_EQ(nacks[0], (Bytes{nacks[0][0], nacks[0][1], nacks[0][2], nacks[0][3], 0, 0, 0, 77, 76, 0, 9, 0, 0, 0, 42, 0, 1,
                              0, 0, 0, 3}));
  h.Tick(2999);
  EXPECT_EQ(h.SentOfType(76).size(), 1u);
  h.Tick(1);
  EXPECT_EQ(h.SentOfType(76).size(), 2u) << "asked again every 3 s";

  h.Push(AudioPkt(3, 77, 9, 42));
  h.Tick();
  ASSERT_EQ(h.SentOfType(74).size(), 1u) << "AUDIO_DONE once the clip is whole";
  Message_t* m = nullptr;
  h.core->ReadMessageByIndex(0, &m);
  EXPECT_EQ(m->state, KX_MSG_VOICE_STORED);
  EXPECT_EQ(W(m), "))) hello [0.20 seconds]");
  std::ifstream clip(dir.path + "/mervane/audio/" + CKxEngine::Hex(m->entryId), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(clip)), {});
  ASSERT_EQ(bytes.size(), 130u);
  for (int s = 1; s <= 5; ++s) EXPECT_EQ(uint8_t(bytes[(s - 1) * 26 + 1]), s * 16) << "packet " << s << " in order";
  EXPECT_FLOAT_EQ(h.core->GetAudioDuration(m->entryId), 0.2f);
  h.Tick(3000);
  EXPECT_EQ(h.SentOfType(76).size(), 2u) << "nothing missing, no more requests";
}

// The host program runs in the user's locale (Qt sets it from the environment); a clip's length is still written
// with a point, as every reader of the store expects.
TEST(PellicoEngine, AClipsLengthIsWrittenWithAPointInACommaLocale) {
  TempDir dir;
  std::string loc = dir.path + "/locale";
  fs::create_directories(loc);
  std::string make = "localedef -i de_DE -f UTF-8 '" + loc + "/de_DE.UTF-8' >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "localedef and the de_DE source (package locales) are needed";
  std::string before = setlocale(LC_NUMERIC, nullptr);
  const char* oldPath = getenv("LOCPATH");
  std::string savedPath = oldPath ? oldPath : "";
  setenv("LOCPATH", loc.c_str(), 1);
  bool comma = setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  if (oldPath) setenv("LOCPATH", savedPath.c_str(), 1); else unsetenv("LOCPATH");
  if (!comma) GTEST_SKIP() << "the built de_DE locale did not load";
  {
    CoreHarness h(dir.path);
    h.SignInOnline(77, 100);
    h.Push(SB(101, 77, 15).u16(9).str16("7_2").u32(42).str16("Bob").u8(1).u32(1).str16("alice").str16("")
               .str16("hello").time7().u8(0).b);
    for (uint32_t s : {1u, 2u, 3u, 4u, 5u}) h.Push(AudioPkt(s, 77, 9, 42));
    h.Push(SB(102, 77, 16).u16(9).u32(42).u16(5).b);
    h.Tick();
    Message_t* m = nullptr;
    h.core->ReadMessageByIndex(0, &m);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(W(m), "))) hello [0.20 seconds]");
  }
  setlocale(LC_NUMERIC, before.c_str());
}

// A clip's start held behind a gap while the next clip's start arrives is delivered late; its message must not
// take the later clip, which here ends (the session with it) before its own start is delivered.
TEST(PellicoEngine, ALateClipStartDoesNotTakeTheNextClip) {
  TempDir dir;
  CoreHarness h(dir.path);
  h.SignInOnline(77, 100);
  auto start = [](uint32_t seq, uint16_t msg, const char* text) {
    return SB(seq, 77, 15).u16(msg).str16("7_2").u32(42).str16("Bob").u8(1).u32(1).str16("alice").str16("")
        .str16(text).time7().u8(0).b;
  };
  h.Push(start(102, 1, "first"));
  h.Push(SB(103, 77, 6).u8(0).str16("1:bye").b);
  h.Push(start(104, 2, "second"));
  for (uint32_t s : {1u, 2u}) h.Push(AudioPkt(s, 77, 2, 42));
  h.Tick();
  h.Push(Text(101, 77, 9, 42, "the missing one"));
  h.Tick();
  EXPECT_EQ(h.core->GetConnectionState(), KX_OFFLINE);
  ASSERT_EQ(h.core->GetMessageListCount(), 2);
  Message_t* m = nullptr;
  h.core->ReadMessageByIndex(1, &m);
  EXPECT_EQ(W(m), "))) first");
  EXPECT_EQ(m->state, KX_MSG_VOICE);
  EXPECT_FALSE(fs::exists(dir.path + "/mervane/audio/" + CKxEngine::Hex(m->entryId))) << "the second clip's audio";
}

TEST(PellicoEngine, OutgoingClipIsLinkedByTheEchoAndResentOnRequest) {
  TempDir dir;
  CoreHarness h(dir.path);
  h.SignInOnline(77, 100);
  Message_t* m = CKxCore::MessageNewM();
  kx_recipient* r = CKxCore::RecipientNewM();
  r->id = 1002;
  CKxCore::MessageAddRecipient(m, r);
  ASSERT_EQ(h.core->SendLoadAudioPackets(m, 2), KX_OK);
  auto start = h.SentOfType(14);
  ASSERT_EQ(start.size(), 1u);
  uint16_t msg = uint16_t((start[0][9] << 8) | start[0][10]);
  ASSERT_EQ(h.SentOfType(17).size(), 2u);
  auto end = h.SentOfType(16);
  ASSERT_EQ(end.size(), 1u);
  EXPECT_EQ(end[0][16], 2) << "END_AUDIO names the last audio sequence";
  Message_t* m2 = CKxCore::MessageNewM();
  EXPECT_EQ(h.core->SendLoadAudioPackets(m2, 1), KX_BUSY) << "refused until AUDIO_DONE";

  h.Push(Text(101, 77, msg, 0, ""));
  h.Push(SB(102, 77, 76).u16(msg).u32(0).u16(1).u32(2).b);
  h.Tick();
  ASSERT_EQ(h.core->GetMessageListCount(), 1);
  Message_t* echo = nullptr;
  h.core->ReadMessageByIndex(0, &echo);
  EXPECT_EQ(echo->state, KX_MSG_VOICE_STORED);
  EXPECT_TRUE(fs::exists(dir.path + "/mervane/audio/" + CKxEngine::Hex(echo->entryId)));
  EXPECT_FALSE(h.Acked(102)) << "AUDIO_NACK is not acknowledged";
  auto audio = h.SentOfType(17);
  ASSERT_EQ(audio.size(), 3u);
  EXPECT_EQ(CoreHarness::Seq(audio[2]), 2u);

  h.Push(SB(103, 77, 74).u16(msg).u32(0).b);
  h.Tick();
  Message_t* m3 = CKxCore::MessageNewM();
  EXPECT_EQ(h.core->SendLoadAudioPackets(m3, 1), KX_OK);
}

TEST(PellicoEngine, StrayAndForeignDatagramsDoNotChangeTheSession) {
  TempDir dir;
  CoreHarness h(dir.path);
  // After a reset the session id is 0: a datagram carrying 0 must not bring the client online.
  h.core->SignIn(KX_VISIBILITY_VISIBLE);
  h.engine->ResetSession();
  h.Push(Text(1, 0, 1, 42, "stray"));
  h.Push(SB(1, 0, 2).u8(0).u8(0).u8(3).str16("").str16("").u16(0).b);
  h.Tick();
  EXPECT_EQ(h.core->GetConnectionState(), KX_OFFLINE);
  EXPECT_EQ(h.core->GetMessageListCount(), 0);

  h.SignInOnline(77, 100);
  h.Push(SB(101, 78, 6).u8(0).str16("1:bye").b);                       // another session
  h.Push(SB(101, 77, 6).u8(0).str16("1:bye").b, 0x7F000002, 9999);     // another source
  h.Push(SB(101, 77, 2).u8(0).u8(0).u8(3).str16("").str16("").u16(0).b);  // a response outside sign-in
  h.Tick();
  EXPECT_EQ(h.core->GetConnectionState(), KX_ONLINE);
  EXPECT_TRUE(h.rec.serverTexts.empty());
  h.Push(SB(101, 77, 6).u8(0).str16("1:bye").b);
  h.Tick();
  EXPECT_EQ(h.core->GetConnectionState(), KX_OFFLINE);
  EXPECT_EQ(h.rec.serverTexts, std::vector<std::string>{"1:bye"});
}

Bytes Response(uint32_t seq, uint32_t session, const std::string& address = "", uint16_t port = 0) {
  return SB(seq, session, 2).u8(0).u8(0).u8(3).str16("TS=20240506 070809").str16(address).u16(port).b;
}

// A CONNECT_RESPONSE from the server's address that answers no sign-in of ours (a replay, a forgery) neither
// changes the session nor moves where the client sends; only the live session's own response is acknowledged
// again.
TEST(PellicoEngine, ResponseOutsideASignInChangesNeitherSessionNorDestination) {
  struct Case {
    const char* what;
    Bytes response;
    bool acked;
  } const cases[] = {
      {"the response of an earlier session", Response(100, 55), false},
      {"another session id", Response(301, 99), false},
      {"the live session at a new sequence, naming another address", Response(301, 77, "127.0.0.9", 4444), false},
      {"another session, naming another port", Response(301, 99, "", 4444), false},
      {"a refusal without a session", SB(301, 0, 2).u8(1).u8(0).u8(0).str16("go away").str16("").u16(0).b, false},
      {"the live session's response resent, naming another port", Response(300, 77, "", 4444), true},
  };
  const std::pair<uint32_t, uint16_t> server{CoreHarness::kServer, 9999};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    CoreHarness h(dir.path);
    h.SignInOnline(55, 100);
    h.SignInOnline(77, 300);  // a new sign-in: 55 is over
    h.Push(c.response);
    h.Tick();
    EXPECT_EQ(h.Acked(CoreHarness::Seq(c.response)), c.acked);
    EXPECT_EQ(h.engine->SessionId(), 77u);
    EXPECT_EQ(h.core->GetConnectionState(), KX_ONLINE);
    EXPECT_TRUE(h.rec.serverTexts.empty());
    h.Push(Text(301, 77, 1, 42, "still here"));
    h.Tick();
    EXPECT_EQ(h.core->GetMessageListCount(), 1) << "the live session's stream goes on";
    Message_t* m = CKxCore::MessageNewM();
    kx_recipient* r = CKxCore::RecipientNewM();
    r->id = 42;
    CKxCore::MessageAddRecipient(m, r);
    m->text = CKxCore::WStrCreate(reinterpret_cast<const unsigned short*>(u"hi"));
    ASSERT_EQ(h.core->SendMessage(m, 0), KX_OK);
    ASSERT_EQ(h.SentOfType(49).size(), 1u);
    h.Push(SB(CoreHarness::Seq(h.SentOfType(49)[0]), 77, 12).b);
    h.Tick();
    h.Tick(30001);  // the keep-alive
    ASSERT_FALSE(h.SentOfType(9).empty());
    for (auto& to : h.sentTo) EXPECT_EQ(to, server) << "every datagram goes to the server";
  }
  {
    SCOPED_TRACE("the answer to a sign-in may name where the session goes on");
    TempDir dir;
    CoreHarness h(dir.path);
    ASSERT_EQ(h.core->SignIn(KX_VISIBILITY_VISIBLE), KX_OK);
    h.Push(Response(100, 88, "", 4444));
    h.Tick();
    ASSERT_EQ(h.core->GetConnectionState(), KX_ONLINE);
    h.sentTo.clear();
    h.Tick(30001);
    ASSERT_FALSE(h.sentTo.empty());
    EXPECT_EQ(h.sentTo.back(), (std::pair<uint32_t, uint16_t>{CoreHarness::kServer, 4444}));
  }
}

// A Port option that is no port leaves the sign-in going where the last one went, with a line saying why.
TEST(PellicoEngine, PortOptionOutOfRangeKeepsTheOldPort) {
  for (int bad : {70000, 65536, -1}) {
    SCOPED_TRACE(bad);
    TempDir dir;
    CoreHarness h(dir.path);
    h.SignInOnline();
    h.core->GetSettings()->SetSettingsInt(KX_OPT_PORT, bad);
    h.core->SignOut();
    h.engine->ResetSession();
    h.sentTo.clear();
    ASSERT_EQ(h.core->SignIn(KX_VISIBILITY_VISIBLE), KX_OK);
    ASSERT_FALSE(h.sentTo.empty());
    EXPECT_EQ(h.sentTo.back(), (std::pair<uint32_t, uint16_t>{CoreHarness::kServer, 9999}));
    std::ifstream log(dir.path + "/mervane/mervane.log");
    const std::string text((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(text.find("MERVANE: Port " + std::to_string(bad) + " is out of range; the old port stays"),
              std::string::npos);
  }
}

TEST(PellicoEngine, MalformedDatagramsAreDroppedWithoutAcknowledgement) {
  TempDir dir;
  CoreHarness h(dir.path);
  h.SignInOnline(77, 100);
  Bytes good = Text(101, 77, 1, 42, "ok");
  for (size_t cut = 0; cut < good.size(); ++cut) h.Push(Bytes(good.begin(), good.begin() + cut));
  h.Push(SB(101, 77, 11).u16(1).u16(0xFFFF).b);
  h.Push(SB(101, 77, 17).u16(1).u32(42).u16(0).u8(0).b);
  h.Tick();
  EXPECT_FALSE(h.Acked(101));
  EXPECT_EQ(h.core->GetMessageListCount(), 0);
  // A well-formed fragment whose joined body announces five groups and holds none.
  h.Push(SB(102, 77, 23).u16(1).u8(1).u8(1).u8(0).u8(0).u8(0).u8(0).u8(0).u16(5).b);
  h.Push(good);
  h.Tick();
  EXPECT_EQ(h.core->GetContactListCount(), 0);
  EXPECT_EQ(h.core->GetMessageListCount(), 1) << "the session goes on";
}

TEST(PellicoEngine, WrappedMessageNumbersNeverReuseAStoredEntry) {
  TempDir dir;
  CoreHarness h(dir.path);
  h.SignInOnline(77, 100);
  h.core->GetSettings()->SetSettingsInt(KX_OPT_MESSAGE_ID, 5);
  h.Push(Text(101, 77, 1, 42, "old"));
  h.Tick();
  h.core->GetSettings()->SetSettingsInt(KX_OPT_MESSAGE_ID, 5);  // the counter came round again
  h.Push(Text(102, 77, 2, 42, "new"));
  h.Tick();
  ASSERT_EQ(h.core->GetMessageListCount(), 2);
  Message_t *a = nullptr, *b = nullptr;
  h.core->ReadMessageByIndex(0, &a);
  h.core->ReadMessageByIndex(1, &b);
  EXPECT_EQ(a->entryId, 5u);
  EXPECT_NE(b->entryId, a->entryId);
  EXPECT_EQ(W(a), "old");
}

TEST(PellicoEngine, BuddyListFragmentsAndPresence) {
  TempDir dir;
  CoreHarness h(dir.path);
  h.SignInOnline(77, 100);
  SB body(0, 0, 0);
  body.b = {0, 0, 0, 0, 0};  // 4 unread bytes, list 0
  body.u16(1).str16("Friends").u8(0).u16(2).u8(0x01).u32(1002).str16("Bob").str16("bob")
      .u8(0x92).u32(1003).str16("Eve").str16("eml:eve");
  Bytes all = body.b;
  size_t third = all.size() / 3;
  auto frag = [&](uint32_t seq, uint16_t batch, uint8_t idx, size_t from, size_t to) {
    return SB(seq, 77, 23).u16(batch).u8(idx).u8(3).raw(std::string(all.begin() + from, all.begin() + to)).b;
  };
  h.Push(frag(101, 1, 3, 2 * third, all.size()));
  h.Push(frag(102, 2, 1, 0, third));  // another batch stays
  h.Push(frag(103, 1, 1, 0, third));
  h.Tick();
  EXPECT_EQ(h.core->GetContactListCount(), 0);
  h.Push(frag(104, 1, 2, third, 2 * third));
  h.Tick();
  ASSERT_EQ(h.core->GetContactListCount(), 3) << "a heading and two members";
  kx_contact* c = nullptr;
  ASSERT_EQ(h.core->FindContact(KX_SEARCH_BY_ID, 1003, nullptr, &c), KX_OK);
  EXPECT_EQ(c->presence, 258) << "presence 2 with an address contact";
  EXPECT_EQ(c->visibility, 1);
  EXPECT_EQ(c->blocked, 1);
  h.Push(SB(105, 77, 18).u8(0x04).u32(1002).b);
  h.Push(SB(106, 77, 18).u8(0x02).u32(1003).b);
  h.Tick();
  ASSERT_EQ(h.core->FindContact(KX_SEARCH_BY_ID, 1002, nullptr, &c), KX_OK);
  EXPECT_EQ(c->presence, 4);
  ASSERT_EQ(h.core->FindContact(KX_SEARCH_BY_ID, 1003, nullptr, &c), KX_OK);
  EXPECT_EQ(c->presence, 2) << "a status update takes the presence as it comes, only the lists mark 258";
  EXPECT_EQ(h.rec.contactUpdates, 3);
}

// A contact listed under two groups is an entry in each; a presence list and a status update change both.
TEST(PellicoEngine, PresenceReachesEveryListingOfAContact) {
  TempDir dir;
  CoreHarness h(dir.path);
  h.SignInOnline(77, 100);
  SB body(0, 0, 0);
  body.b = {0, 0, 0, 0, 0};
  body.u16(2).str16("Friends").u8(0).u16(1).u8(0x01).u32(1002).str16("Bob").str16("bob")
      .str16("Work").u8(0).u16(1).u8(0x01).u32(1002).str16("Bob").str16("bob");
  h.Push(SB(101, 77, 23).u16(1).u8(1).u8(1).raw(std::string(body.b.begin(), body.b.end())).b);
  h.Tick();
  auto presences = [&] {
    std::vector<int> p;
    for (int i = 0; i < h.core->GetContactListCount(); ++i) {
      kx_contact* c = nullptr;
      h.core->ReadContactByIndex(i, &c);
      if (c && !c->isGroup && c->id == 1002) p.push_back(c->presence);
    }
    return p;
  };
  ASSERT_EQ(presences(), (std::vector<int>{1, 1}));
  h.Push(SB(102, 77, 70).u16(2).u8(1).u8(1).u8(0).u16(1).u8(0x04).u32(1002).b);
  h.Tick();
  EXPECT_EQ(presences(), (std::vector<int>{4, 4})) << "a presence list";
  const int before = h.rec.contactUpdates;
  h.Push(SB(103, 77, 18).u8(0x03).u32(1002).b);
  h.Tick();
  EXPECT_EQ(presences(), (std::vector<int>{3, 3})) << "a status update";
  EXPECT_EQ(h.rec.contactUpdates, before + 2) << "each listing reported";
}

TEST(PellicoEngine, TypingNoticeIsReportedButNotStored) {
  TempDir dir;
  CoreHarness h(dir.path);
  h.SignInOnline(77, 100);
  h.Push(Text(101, 77, 1, 42, ":", "$typing"));
  h.Push(Text(102, 77, 2, 0, ":", "$typing"));
  h.Tick();
  EXPECT_EQ(h.rec.typing, 1);
  EXPECT_EQ(h.core->GetMessageListCount(), 0);
}

TEST(PellicoEngine, KeepAliveAndIdleSignOut) {
  TempDir dir;
  CoreHarness h(dir.path);
  h.SignInOnline(77, 100);  // keep-alive every 30 s
  EXPECT_EQ(h.engine->KeepAliveMs(), 30000u);
  h.Tick(30000);
  EXPECT_TRUE(h.SentOfType(9).empty());
  h.Tick(1);
  auto ka = h.SentOfType(9);
  ASSERT_EQ(ka.size(), 1u);
  h.Push(SB(CoreHarness::Seq(ka[0]), 77, 12).b);
  h.core->GetSettings()->SetSettingsInt(KX_OPT_IDLE_TIMEOUT, 1);
  h.core->ResetIdleTimeout();
  h.Tick(59999);
  EXPECT_EQ(h.core->GetConnectionState(), KX_ONLINE);
  h.Tick(1);
  EXPECT_EQ(h.rec.states.back(), KX_OFFLINE_IDLE);
  EXPECT_EQ(h.SentOfType(13).size(), 1u) << "an idle client signs out";
  h.Push(Text(101, 77, 1, 42, "late"));
  h.Tick();
  EXPECT_EQ(h.core->GetConnectionState(), KX_OFFLINE_IDLE) << "a packet of the session does not undo the idle sign-out";
}

TEST(PellicoEngine, SessionFieldsServersMaySend) {
  TempDir dir;
  {
    SCOPED_TRACE("an acknowledgement matches by sequence whatever its session field");
    CoreHarness h(dir.path);
    h.SignInOnline(77, 100);
    ASSERT_EQ(h.core->RefreshContactList(0), KX_OK);
    ASSERT_EQ(h.SentOfType(22).size(), 1u);
    h.Push(SB(CoreHarness::Seq(h.SentOfType(22)[0]), 0, 12).b);
    h.Tick();
    EXPECT_EQ(h.engine->AwaitingCount(), 0u);
    h.Tick(5000);
    EXPECT_EQ(h.SentOfType(22).size(), 1u) << "an acknowledged request is not resent";
  }
  {
    SCOPED_TRACE("a resent CONNECT_RESPONSE while online");
    CoreHarness h(dir.path);
    h.SignInOnline(77, 100);
    h.Push(Text(101, 77, 1, 42, "first"));
    h.Tick();
    ASSERT_EQ(h.core->GetMessageListCount(), 1);
    h.sent.clear();
    h.Push(SB(100, 77, 2).u8(0).u8(0).u8(3).str16("TS=20240506 070809").str16("").u16(0).b);
    h.Push(Text(101, 77, 1, 42, "first"));
    h.Tick();
    EXPECT_TRUE(h.Acked(100)) << "the response is acknowledged again";
    EXPECT_TRUE(h.Acked(101));
    EXPECT_EQ(h.core->GetMessageListCount(), 1) << "the stream after it is not delivered twice";
    EXPECT_EQ(h.core->GetConnectionState(), KX_ONLINE);
  }
  {
    SCOPED_TRACE("a session-0 SERVER_ERROR answering the sign-in");
    CoreHarness h(dir.path);
    ASSERT_EQ(h.core->SignIn(KX_VISIBILITY_VISIBLE), KX_OK);
    h.Push(SB(5, 0, 6).u8(0).str16("1:Account locked").b);
    h.Tick();
    EXPECT_TRUE(h.Acked(5));
    EXPECT_EQ(h.core->GetConnectionState(), KX_OFFLINE);
    ASSERT_EQ(h.rec.serverTexts.size(), 1u);
    EXPECT_EQ(h.rec.serverTexts[0], "1:Account locked");
  }
  // A refusal makes no session, so a server may send it with session 0: it still ends the sign-in at once
  // with the server's text, where an acceptance without a session can make none and is dropped.
  struct Answer {
    const char* what;
    uint8_t result;
    EConnectionState_t state;
    std::vector<std::string> texts;
  } const answers[] = {
      {"a session-0 refusal (1)", 1, KX_OFFLINE, {"Bad user name or password"}},
      {"a session-0 refusal (2)", 2, KX_OFFLINE, {"Bad user name or password"}},
      {"a session-0 response of an unknown result", 7, KX_OFFLINE, {}},
      {"a session-0 acceptance", 0, KX_LOGGING_IN, {}},
  };
  for (const Answer& a : answers) {
    SCOPED_TRACE(a.what);
    CoreHarness h(dir.path);
    ASSERT_EQ(h.core->SignIn(KX_VISIBILITY_VISIBLE), KX_OK);
    h.Push(SB(5, 0, 2).u8(a.result).u8(0).u8(3).str16("Bad user name or password").str16("").u16(0).b);
    h.Tick();
    EXPECT_EQ(h.Acked(5), a.result != 0);
    EXPECT_EQ(h.core->GetConnectionState(), a.state);
    EXPECT_EQ(h.rec.serverTexts, a.texts);
    EXPECT_EQ(h.engine->SessionId(), 0u);
    h.Tick(5000);
    EXPECT_EQ(h.SentOfType(1).size(), a.result != 0 ? 1u : 2u) << "a refused sign-in is not sent again";
  }
}

// The store holds the user's messages, voice clips, settings and log: every folder is 0700 and every file
// 0600 under the usual umask, also the folders an older version left open.
TEST(PellicoEngine, EveryFileAndFolderOfTheStoreIsPrivate) {
  const mode_t savedMask = umask(022);
  TempDir dir;
  fs::create_directories(dir.path + "/mervane/messages");
  fs::permissions(dir.path + "/mervane", fs::perms(0755));
  fs::permissions(dir.path + "/mervane/messages", fs::perms(0755));
  {
    CoreHarness h(dir.path);
    h.SignInOnline(77, 100);
    h.Push(Text(101, 77, 5, 42, "hello"));
    h.Push(SB(102, 77, 15).u16(9).str16("7_2").u32(42).str16("Bob").u8(1).u32(1).str16("alice").str16("")
               .str16("clip").time7().u8(0).b);
    for (uint32_t s : {1u, 2u}) h.Push(AudioPkt(s, 77, 9, 42));
    h.Push(SB(103, 77, 16).u16(9).u32(42).u16(2).b);
    h.Tick();
    ASSERT_EQ(h.core->GetMessageListCount(), 2);
    h.ctx.Printf("%s", "a line of the log");
  }
  umask(savedMask);
  size_t files = 0;
  bool sawClip = false, sawLog = false, sawIndex = false;
  for (const auto& e : fs::recursive_directory_iterator(dir.path + "/mervane")) {
    const auto mode = static_cast<unsigned>(e.symlink_status().permissions()) & 07777u;
    SCOPED_TRACE(e.path().string());
    if (e.is_directory()) {
      EXPECT_EQ(mode, 0700u);
    } else {
      ++files;
      EXPECT_EQ(mode, 0600u);
      sawClip |= e.path().parent_path().filename() == "audio";
      sawLog |= e.path().filename() == "mervane.log";
      sawIndex |= e.path().filename() == "index.dat";
    }
  }
  EXPECT_EQ(static_cast<unsigned>(fs::status(dir.path + "/mervane").permissions()) & 07777u, 0700u);
  EXPECT_TRUE(sawClip && sawLog && sawIndex) << files << " files";
}

// Tags carry the session id as a signed number, as peers print it.
TEST(PellicoEngine, TagOfASessionIdAbove2To31IsSigned) {
  TempDir dir;
  CoreHarness h(dir.path);
  h.SignInOnline(0x80000005u, 100);
  kx_recipient* r = CKxCore::RecipientNewM();
  r->id = 42;
  ASSERT_EQ(h.core->SendTypingNotification(r, nullptr), KX_OK);
  std::vector<Bytes> texts = h.SentOfType(49);
  ASSERT_EQ(texts.size(), 1u);
  const Bytes& d = texts[0];
  ASSERT_GT(d.size(), 13u);
  size_t len = (size_t(d[11]) << 8) | d[12];
  ASSERT_GE(d.size(), 13 + len);
  std::string tag(d.begin() + 13, d.begin() + 13 + static_cast<long>(len));
  EXPECT_EQ(tag.rfind("-2147483643_", 0), 0u) << tag;
}

// The tag's counter is the stored ThreadCounter option: it goes on across sessions and restarts, so a tag
// of a new session never repeats the numbers the last one used.
TEST(PellicoEngine, TagCounterGoesOnAcrossSessionsAndRestarts) {
  TempDir dir;
  auto typingTag = [](CoreHarness& h) {
    kx_recipient* r = CKxCore::RecipientNewM();
    r->id = 42;
    h.sent.clear();
    EXPECT_EQ(h.core->SendTypingNotification(r, nullptr), KX_OK);
    std::vector<Bytes> texts = h.SentOfType(49);
    if (texts.size() != 1u || texts[0].size() < 13u) return std::string("none");
    const Bytes& d = texts[0];
    size_t len = (size_t(d[11]) << 8) | d[12];
    return std::string(d.begin() + 13, d.begin() + 13 + static_cast<long>(std::min(len, d.size() - 13)));
  };
  {
    CoreHarness h(dir.path);
    h.SignInOnline(77, 100);
    EXPECT_EQ(typingTag(h), "77_0");
    EXPECT_EQ(typingTag(h), "77_1");
    h.SignInOnline(78, 200);  // a new sign-in resets the session first
    EXPECT_EQ(typingTag(h), "78_2");
  }
  CoreHarness h(dir.path);
  EXPECT_EQ(h.core->GetSettings()->GetSettingsInt(KX_OPT_THREAD_COUNTER), 3);
  h.SignInOnline(79, 300);
  EXPECT_EQ(typingTag(h), "79_3");
}
