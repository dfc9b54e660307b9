// End to end against the loopback messaging test server: sign-in, presence, text, voice, stored items, faults.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <thread>

#include "fakes.h"
#include "servers.h"

#if defined(PELLICO_HAVE_PLATFORM_WAVE)
#include "platform/wave.h"
#endif

using namespace pt;

namespace {
const char* kUsers[] = {"--user", "1001:alice:secret:Alice", "--user", "1002:bob:pw2:Bob"};

struct Client {
  CMervane ctx;
  CKxCore* core;
  Recorder rec;
  bool refreshed = false;
  Client(const std::string& dir, const char* user, const char* password, int port) {
    setenv("PELLICO_QUIET", "1", 1);
    core = new CKxCore(&ctx, dir.c_str());
    ctx.m_core = core;
    core->SetNotifier(&rec);
    CKxCoreSettings* s = core->GetSettings();
    s->SetSettingsString_Free(KX_OPT_USERNAME, CKxCore::Utf8Create(user));
    s->SetSettingsString_Free(KX_OPT_PASSWORD, CKxCore::Utf8Create(password));
    s->SetSettingsString_Free(KX_OPT_SERVER_IP, CKxCore::Utf8Create("127.0.0.1"));
    s->SetSettingsInt(KX_OPT_PORT, port);
  }
  ~Client() { delete core; }
  void Tick() {
    core->TickCore();
    // What the host does once online: ask for the buddy list.
    if (!refreshed && core->GetConnectionState() == KX_ONLINE) refreshed = core->RefreshContactList(0) == KX_OK;
  }
  kx_contact* Contact(uint32_t id) {
    kx_contact* c = nullptr;
    return core->FindContact(KX_SEARCH_BY_ID, static_cast<int>(id), nullptr, &c) == KX_OK ? c : nullptr;
  }
  Message_t* Last() {
    Message_t* m = nullptr;
    int n = core->GetMessageListCount();
    return n && core->ReadMessageByIndex(n - 1, &m) == KX_OK ? m : nullptr;
  }
};

bool RunUntil(std::vector<Client*> clients, const std::function<bool()>& done, int ms = 8000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    for (auto* c : clients) c->Tick();
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string W(const WStr_t* w) {
  std::u16string u;
  for (size_t i = 0; w && w->data && i < w->len / 2u && w->data[i]; ++i) u.push_back(char16_t(w->data[i]));
  return pellico::Utf16ToUtf8(reinterpret_cast<const uint16_t*>(u.data()), u.size());
}

Message_t* TextTo(int id, const char* text) {
  Message_t* m = CKxCore::MessageNewM();
  kx_recipient* r = CKxCore::RecipientNewM();
  r->id = id;
  CKxCore::MessageAddRecipient(m, r);
  Utf8_t* t = CKxCore::Utf8Create(text);
  m->text = CKxCore::NewWStrFromUtf8(t);
  CKxCore::Utf8Free(t);
  return m;
}

bool Online(Client& c) { return c.core->GetConnectionState() == KX_ONLINE; }

// A 16-bit 8 kHz mono WAV file with a tone that changes pitch, so a clip is not silence.
void WriteToneWav(const std::string& path, double seconds) {
  size_t n = static_cast<size_t>(8000 * seconds);
  std::vector<int16_t> s(n);
  for (size_t i = 0; i < n; ++i) s[i] = int16_t(9000 * std::sin(2 * M_PI * (300.0 + double(i) / 20.0) * double(i) / 8000.0));
  std::ofstream f(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
  f.write("RIFF", 4);
  u32(uint32_t(36 + 2 * n));
  f.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(1);
  u32(8000);
  u32(16000);
  u16(2);
  u16(16);
  f.write("data", 4);
  u32(uint32_t(2 * n));
  f.write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(2 * n));
}

#if !defined(PELLICO_HAVE_PLATFORM_WAVE)
// Without the platform wave layer: a capture device reading the WAV at real-time pace.
struct WavIn : pellico::KxWaveIn {
  std::vector<uint8_t> pcm;
  size_t pos = 0;
  std::chrono::steady_clock::time_point start;
  explicit WavIn(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> all((std::istreambuf_iterator<char>(f)), {});
    if (all.size() > 44) pcm.assign(all.begin() + 44, all.end());
  }
  int Open() override { return 0; }
  int Start() override {
    start = std::chrono::steady_clock::now();
    return 0;
  }
  int Stop() override { return 0; }
  size_t Read(uint8_t* buf, size_t max) override {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    size_t due = std::min(pcm.size(), static_cast<size_t>(ms) * 16);
    size_t n = std::min(max, due > pos ? due - pos : 0);
    memcpy(buf, pcm.data() + pos, n);
    pos += n;
    return n;
  }
  void Close() override {}
};
#endif
}  // namespace

TEST(PellicoEndToEnd, TwoClientsSeePresenceExchangeTextAndKeepItAfterRestart) {
  ServerProcess server("tools/msgserver/msgserver.py", {kUsers, kUsers + 4});
  ASSERT_GT(server.Port(), 0);
  TempDir a, b;
  {
    Client alice(a.path, "alice", "secret", server.Port());
    Client bob(b.path, "bob", "pw2", server.Port());
    ASSERT_EQ(alice.core->SignIn(KX_VISIBILITY_VISIBLE), KX_OK);
    ASSERT_TRUE(RunUntil({&alice}, [&] { return alice.Contact(1002) != nullptr; }));
    EXPECT_EQ(alice.Contact(1002)->presence, 0) << "bob is not signed in yet";
    ASSERT_EQ(bob.core->SignIn(KX_VISIBILITY_VISIBLE), KX_OK);
    ASSERT_TRUE(RunUntil({&alice, &bob}, [&] {
      return bob.Contact(1001) && bob.Contact(1001)->presence == 1 && alice.Contact(1002)->presence == 1;
    })) << "each sees the other online";
    EXPECT_STREQ(alice.Contact(1002)->name->data, "Bob");

    ASSERT_EQ(alice.core->SendMessage(TextTo(1002, "Hello Bob \xe4\xbd\xa0\xe5\xa5\xbd"), 0), KX_OK);
    ASSERT_TRUE(RunUntil({&alice, &bob}, [&] { return bob.core->GetMessageListCount() == 1 && alice.core->GetMessageListCount() == 1; }));
    Message_t* got = bob.Last();
    EXPECT_EQ(W(got->text), "Hello Bob \xe4\xbd\xa0\xe5\xa5\xbd");
    EXPECT_EQ(got->authorId, 1001u);
    EXPECT_STREQ(got->authorName->data, "Alice");
    EXPECT_EQ(alice.Last()->authorId, 0u) << "the sender keeps the echo of its own message";

    bob.core->SignOut();
    ASSERT_TRUE(RunUntil({&alice, &bob}, [&] { return !Online(bob) && alice.Contact(1002)->presence == 0; }));
  }
  Client bob(b.path, "bob", "pw2", server.Port());
  ASSERT_EQ(bob.core->GetMessageListCount(), 1) << "messages survive a restart";
  EXPECT_EQ(W(bob.Last()->text), "Hello Bob \xe4\xbd\xa0\xe5\xa5\xbd");
  ASSERT_NE(bob.Contact(1001), nullptr) << "contacts survive a restart";
  EXPECT_STREQ(bob.Contact(1001)->name->data, "Alice");
}

TEST(PellicoEndToEnd, VoiceClipFromWavWithLostPacketsOnBothLegs) {
  ServerProcess server("tools/msgserver/msgserver.py",
                       {"--user", "1001:alice:secret:Alice", "--user", "1002:bob:pw2:Bob", "--drop-audio-from-client",
                        "2", "--drop-audio-to-client", "3"});
  ASSERT_GT(server.Port(), 0);
  TempDir a, b;
  std::string wav = a.path + "/speech.wav";
  WriteToneWav(wav, 2.0);
#if defined(PELLICO_HAVE_PLATFORM_WAVE)
  plat::SetAudioBackend(plat::AudioBackend::File);
  plat::SetWaveInFile(wav);
  plat::SetWaveOutFile(b.path + "/played.wav");
#endif
  Client alice(a.path, "alice", "secret", server.Port());
  Client bob(b.path, "bob", "pw2", server.Port());
#if !defined(PELLICO_HAVE_PLATFORM_WAVE)
  alice.core->GetAudioManager()->SetDevices(std::make_unique<WavIn>(wav), nullptr);
#endif
  alice.core->SignIn(KX_VISIBILITY_VISIBLE);
  bob.core->SignIn(KX_VISIBILITY_VISIBLE);
  ASSERT_TRUE(RunUntil({&alice, &bob}, [&] { return Online(alice) && Online(bob); }));

  Message_t* m = CKxCore::MessageNewM();
  kx_recipient* r = CKxCore::RecipientNewM();
  r->id = 1002;
  CKxCore::MessageAddRecipient(m, r);
  ASSERT_EQ(alice.core->SendMessage(m, 1), KX_OK);
  ASSERT_TRUE(alice.core->IsRecording());
  RunUntil({&alice, &bob}, [] { return false; }, 1100);
  ASSERT_EQ(alice.core->StopAudio(), KX_OK);
  ASSERT_TRUE(RunUntil({&alice, &bob}, [&] {
    Message_t* got = bob.Last();
    return got && got->state == KX_MSG_VOICE_STORED && !alice.core->Engine()->SentClipUnconfirmed();
  }, 10000)) << "the clip arrives whole after missing-packet requests both ways";
  Message_t* got = bob.Last();
  float secs = bob.core->GetAudioDuration(static_cast<int>(got->entryId));
  EXPECT_GE(secs, 1.0f);
  EXPECT_LE(secs, 1.6f);
  EXPECT_NE(W(got->text).find("seconds]"), std::string::npos);
  ASSERT_TRUE(RunUntil({&alice, &bob}, [&] { return alice.Last() && alice.Last()->state == KX_MSG_VOICE_STORED; }));
  EXPECT_EQ(alice.core->GetAudioDuration(static_cast<int>(alice.Last()->entryId)), secs)
      << "sender and receiver hold the same clip";
}

TEST(PellicoEndToEnd, StoredItemsReachAUserWhoSignsInLater) {
  ServerProcess server("tools/msgserver/msgserver.py", {kUsers, kUsers + 4});
  TempDir a, b;
  Client alice(a.path, "alice", "secret", server.Port());
  alice.core->SignIn(KX_VISIBILITY_VISIBLE);
  ASSERT_TRUE(RunUntil({&alice}, [&] { return Online(alice); }));
  ASSERT_EQ(alice.core->SendMessage(TextTo(1002, "while you were out"), 0), KX_OK);
  Message_t* v = CKxCore::MessageNewM();
  kx_recipient* r = CKxCore::RecipientNewM();
  r->id = 1002;
  CKxCore::MessageAddRecipient(v, r);
  ASSERT_EQ(alice.core->SendLoadAudioPackets(v, 3), KX_OK);
  ASSERT_TRUE(RunUntil({&alice}, [&] { return !alice.core->Engine()->SentClipUnconfirmed(); }));

  Client bob(b.path, "bob", "pw2", server.Port());
  bob.core->SignIn(KX_VISIBILITY_VISIBLE);
  ASSERT_TRUE(RunUntil({&alice, &bob}, [&] { return bob.core->GetMessageListCount() == 2; }));
  Message_t* item = bob.Last();
  ASSERT_TRUE(item->attachment);
  EXPECT_EQ(item->attachment->kind, KX_ATTACH_SAF);
  EXPECT_EQ(item->state, KX_MSG_VOICE);
  ASSERT_EQ(bob.core->SendSAFRequest(item), KX_OK);
  ASSERT_TRUE(RunUntil({&alice, &bob}, [&] { return bob.Last()->state == KX_MSG_VOICE_STORED; }));
  EXPECT_EQ(bob.core->GetMessageListCount(), 2) << "the replayed clip joins the waiting message";
  EXPECT_FLOAT_EQ(bob.core->GetAudioDuration(static_cast<int>(bob.Last()->entryId)), 0.6f);
}

TEST(PellicoEndToEnd, DuplicatedAndReorderedStreamIsDeliveredOnceInOrder) {
  ServerProcess server("tools/msgserver/msgserver.py", {kUsers[0], kUsers[1], kUsers[2], kUsers[3], "--duplicate", "--reorder"});
  TempDir a, b;
  Client alice(a.path, "alice", "secret", server.Port());
  Client bob(b.path, "bob", "pw2", server.Port());
  alice.core->SignIn(KX_VISIBILITY_VISIBLE);
  bob.core->SignIn(KX_VISIBILITY_VISIBLE);
  ASSERT_TRUE(RunUntil({&alice, &bob}, [&] { return Online(alice) && Online(bob); }));
  for (const char* t : {"one", "two", "three"}) ASSERT_EQ(alice.core->SendMessage(TextTo(1002, t), 0), KX_OK);
  ASSERT_TRUE(RunUntil({&alice, &bob}, [&] { return bob.core->GetMessageListCount() >= 3; }));
  RunUntil({&alice, &bob}, [] { return false; }, 300);
  ASSERT_EQ(bob.core->GetMessageListCount(), 3);
  Message_t* m = nullptr;
  const char* want[] = {"one", "two", "three"};
  for (int i = 0; i < 3; ++i) {
    bob.core->ReadMessageByIndex(i, &m);
    EXPECT_EQ(W(m->text), want[i]);
  }
}

TEST(PellicoEndToEnd, RefusedSignInIsReported) {
  ServerProcess server("tools/msgserver/msgserver.py", {kUsers, kUsers + 4});
  TempDir a;
  Client alice(a.path, "alice", "wrong", server.Port());
  alice.core->SignIn(KX_VISIBILITY_VISIBLE);
  ASSERT_TRUE(RunUntil({&alice}, [&] { return !alice.rec.serverTexts.empty(); }));
  EXPECT_EQ(alice.rec.serverTexts[0], "Bad user name or password");
  EXPECT_EQ(alice.core->GetConnectionState(), KX_OFFLINE);
}

TEST(PellicoEndToEnd, ServerAnswersWithTheSessionFieldsTheProtocolAllows) {
  {
    SCOPED_TRACE("acknowledgements carrying session 0");
    ServerProcess server("tools/msgserver/msgserver.py", {"--ack-session-zero", kUsers[0], kUsers[1], kUsers[2], kUsers[3]});
    TempDir a;
    Client alice(a.path, "alice", "secret", server.Port());
    alice.core->SignIn(KX_VISIBILITY_VISIBLE);
    ASSERT_TRUE(RunUntil({&alice}, [&] { return Online(alice); }));
    ASSERT_EQ(alice.core->SendMessage(TextTo(1002, "acked"), 0), KX_OK);
    EXPECT_TRUE(RunUntil({&alice}, [&] { return alice.core->Engine()->AwaitingCount() == 0; }))
        << "the acknowledgements must end the resending";
    EXPECT_TRUE(Online(alice));
  }
  {
    SCOPED_TRACE("a CONNECT_RESPONSE resent to a client already online");
    ServerProcess server("tools/msgserver/msgserver.py", {"--lose-connect-ack", kUsers[0], kUsers[1], kUsers[2], kUsers[3]});
    TempDir a, b;
    Client alice(a.path, "alice", "secret", server.Port());
    alice.core->SignIn(KX_VISIBILITY_VISIBLE);
    ASSERT_TRUE(RunUntil({&alice}, [&] { return Online(alice); }));
    ASSERT_EQ(alice.core->SendMessage(TextTo(1002, "stored"), 0), KX_OK);
    ASSERT_TRUE(RunUntil({&alice}, [&] { return alice.core->Engine()->AwaitingCount() == 0; }));
    Client bob(b.path, "bob", "pw2", server.Port());
    bob.core->SignIn(KX_VISIBILITY_VISIBLE);
    // The server hands over stored items once the resent response is acknowledged.
    ASSERT_TRUE(RunUntil({&alice, &bob}, [&] { return bob.core->GetMessageListCount() == 1; }));
    EXPECT_EQ(W(bob.Last()->text), "stored");
    EXPECT_TRUE(Online(bob));
  }
  {
    SCOPED_TRACE("a sign-in refused by a session-0 SERVER_ERROR");
    ServerProcess server("tools/msgserver/msgserver.py", {"--refuse-with-error", kUsers[0], kUsers[1], kUsers[2], kUsers[3]});
    TempDir a;
    Client alice(a.path, "alice", "secret", server.Port());
    alice.core->SignIn(KX_VISIBILITY_VISIBLE);
    ASSERT_TRUE(RunUntil({&alice}, [&] { return !alice.rec.serverTexts.empty(); }));
    EXPECT_EQ(alice.rec.serverTexts[0], "1:Service closed for maintenance");
    EXPECT_EQ(alice.core->GetConnectionState(), KX_OFFLINE);
  }
}
