// Local store, settings files, files-off mode, log rotation and the record helpers of the library interface.
#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "fakes.h"
#include "pellico/kxplatform.h"

using namespace pt;
namespace fs = std::filesystem;

namespace {
void WriteBytes(const std::string& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}
Bytes ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), {});
}
}  // namespace

TEST(PellicoStore, ContactsAndMessagesSurviveARestart) {
  TempDir dir;
  uint32_t entry = 0;
  {
    CoreHarness h(dir.path);
    h.SignInOnline(77, 100);
    SB body(0, 0, 0);
    body.b = {0, 0, 0, 0, 0};
    body.u16(1).str16("Friends").u8(0).u16(1).u8(0x01).u32(1002).str16("Bob").str16("bob");
    h.Push(SB(101, 77, 23).u16(1).u8(1).u8(1).raw(std::string(body.b.begin(), body.b.end())).b);
    h.Push(SB(102, 77, 11).u16(3).str16("7_1").u32(1002).str16("Bob").u8(1).u8(0).u32(1001).str16("alice")
               .str16("subj").str16("hello").time7().u8(0).u8(1).u8(0).str8("image/png")
               .str16("[a.png] http://h/servlet/mailbox?item=9").b);
    h.Tick();
    ASSERT_EQ(h.core->GetMessageListCount(), 1);
    Message_t* m = nullptr;
    h.core->ReadMessageByIndex(0, &m);
    entry = m->entryId;
    EXPECT_EQ(m->state, KX_MSG_URL);
    ASSERT_TRUE(m->attachment && m->attachment->fileName);
    EXPECT_STREQ(m->attachment->fileName->data, "a.png");
  }
  CoreHarness h(dir.path);
  ASSERT_EQ(h.core->GetContactListCount(), 2);
  kx_contact* c = nullptr;
  ASSERT_EQ(h.core->FindContact(KX_SEARCH_BY_ID, 1002, nullptr, &c), KX_OK);
  EXPECT_STREQ(c->name->data, "Bob");
  ASSERT_TRUE(c->group);
  EXPECT_STREQ(c->group->name->data, "Friends");
  ASSERT_EQ(h.core->GetMessageListCount(), 1);
  Message_t* m = nullptr;
  h.core->ReadMessageByIndex(0, &m);
  EXPECT_EQ(m->entryId, entry);
  EXPECT_EQ(W(m), "hello");
  EXPECT_EQ(m->authorId, 1002u);
  EXPECT_STREQ(m->recipientIds->data, "1001,1002");
  ASSERT_TRUE(m->attachment);
  EXPECT_STREQ(m->attachment->mimeType->data, "image/png");
  EXPECT_STREQ(m->attachment->fileName->data, "a.png");
  EXPECT_EQ(h.core->DeleteMessage(entry), KX_OK);
  EXPECT_EQ(h.core->DeleteMessage(entry), KX_UNKNOWN_ENTRY);
  EXPECT_FALSE(fs::exists(dir.path + "/mervane/messages/" + CKxEngine::Hex(entry) + ".dat"));
}

// The messages a tick delivers are written as one batch: their files appear whole or not at all. Until
// the index is replaced none of them is; what a killed batch left is cleared at the next start.
TEST(PellicoStore, DeliveredMessagesAreWrittenWholeAsOneBatch) {
  TempDir dir;
  const std::string messages = dir.path + "/mervane/messages";
  auto text = [](uint32_t seq, uint16_t msg, const std::string& t) {
    return SB(seq, 77, 11).u16(msg).str16("7_1").u32(1002).str16("Bob").u8(0).str16("s").str16(t).time7().u8(0).u8(0).b;
  };
  auto leftovers = [&] {
    int n = 0;
    for (const auto& e : fs::directory_iterator(messages)) n += e.path().filename().string().find(".tmp") != std::string::npos;
    return n;
  };
  {
    CoreHarness h(dir.path);
    h.SignInOnline(77, 100);
    fs::create_directory(messages + "/index.dat");  // the index cannot be replaced
    for (uint32_t i = 0; i < 3; ++i) h.Push(text(101 + i, static_cast<uint16_t>(i + 1), "m" + std::to_string(i)));
    h.Tick();
    ASSERT_EQ(h.core->GetMessageListCount(), 3);
    EXPECT_EQ(std::distance(fs::directory_iterator(messages), fs::directory_iterator()), 1) << "no message without its index";
    fs::remove(messages + "/index.dat");
    h.Tick();
    EXPECT_EQ(std::distance(fs::directory_iterator(messages), fs::directory_iterator()), 4);
    EXPECT_EQ(leftovers(), 0);
    // What a batch killed midway leaves: a temporary file cut short, and an earlier version's.
    Message_t* m = nullptr;
    h.core->ReadMessageByIndex(0, &m);
    const std::string file = CKxEngine::Hex(m->entryId) + ".dat";
    WriteBytes(messages + "/." + file + ".tmp-k1ll3d", {0, 1});
    WriteBytes(messages + "/" + file + ".tmp", {0, 1});
  }
  CoreHarness h(dir.path);
  ASSERT_EQ(h.core->GetMessageListCount(), 3);
  for (int i = 0; i < 3; ++i) {
    Message_t* m = nullptr;
    h.core->ReadMessageByIndex(i, &m);
    EXPECT_EQ(W(m), "m" + std::to_string(i));
  }
  EXPECT_EQ(leftovers(), 0);
}

TEST(PellicoStore, OldAndNewFileVersions) {
  TempDir dir;
  std::string base = dir.path + "/mervane";
  fs::create_directories(base + "/messages");
  // Contacts of version 3: presence 4 is not a stored presence and loads as offline.
  SB contacts(0, 0, 0);
  contacts.b.clear();
  contacts.u32(3).u32(2).u16(4).u32(7).str16("Ann").str16("ann").u8(0).u8(0).u16(258).u32(8).str16("Mail")
      .str16("eml:m").u8(0).u8(1);
  WriteBytes(base + "/0_contacts.dat", contacts.b);
  // A version 5 message file: no file-name field after the attachment.
  SB msg(0, 0, 0);
  msg.b.clear();
  msg.u16(1).u16(4).str16("t").u32(9).str16("Zed").str16("").str16(std::string("h\0i\0\0\0", 6)).u32(1000).u16(0)
      .str16("9").u8(1).u8(0).str16("text/plain").str16("http://h/x");
  WriteBytes(base + "/messages/2a.dat", msg.b);
  SB idx(0, 0, 0);
  idx.b.clear();
  idx.u32(5).u32(0x2a);
  WriteBytes(base + "/messages/index.dat", idx.b);
  {
    CoreHarness h(dir.path);
    ASSERT_EQ(h.core->GetContactListCount(), 2);
    kx_contact* c = nullptr;
    h.core->ReadContactByIndex(0, &c);
    EXPECT_EQ(c->presence, 0);
    h.core->ReadContactByIndex(1, &c);
    EXPECT_EQ(c->presence, 258);
    EXPECT_EQ(c->blocked, 1);
    EXPECT_EQ(h.core->ReadContactByIndex(2, &c), KX_UNKNOWN_ENTRY);
    EXPECT_EQ(h.core->ReadContactByIndex(-1, &c), KX_UNKNOWN_ENTRY);
    ASSERT_EQ(h.core->GetMessageListCount(), 1);
    Message_t* m = nullptr;
    h.core->ReadMessageByIndex(0, &m);
    EXPECT_EQ(W(m), "hi");
    EXPECT_TRUE(m->dirty);
    h.Tick();
  }
  Bytes rewritten = ReadBytes(base + "/messages/index.dat");
  ASSERT_GE(rewritten.size(), 4u);
  EXPECT_EQ(rewritten[3], 6) << "an old file is rewritten in the current version";

  idx.b.clear();
  idx.u32(7).u32(0x2a);
  WriteBytes(base + "/messages/index.dat", idx.b);
  CoreHarness h(dir.path);
  EXPECT_EQ(h.core->GetMessageListCount(), 0) << "an index of a newer version loads nothing";
}

TEST(PellicoSettings, VersionResetPasswordAndByName) {
  TempDir dir;
  {
    CoreHarness h(dir.path);
    CKxCoreSettings* s = h.core->GetSettings();
    Utf8_t* srv = CKxCore::Utf8Create("10.0.0.1");
    s->SetSettingsString_Free(KX_OPT_SERVER_IP, srv);
    s->SetSettingsInt(KX_OPT_MESSAGE_ID, 1234);
    s->SetSettingsBoolean(KX_OPT_SAVE_PASSWORD, 0);
    EXPECT_FALSE(fs::exists(dir.path + "/mervane/config/Password"));
    Utf8_t* pw = CKxCore::Utf8Create("other");
    s->SetSettingsString_Free(KX_OPT_PASSWORD, pw);
    EXPECT_STREQ(s->GetSettingsString(KX_OPT_PASSWORD)->data, "other") << "kept in memory";
    EXPECT_FALSE(fs::exists(dir.path + "/mervane/config/Password")) << "never written while SavePassword is 0";
    EXPECT_EQ(s->GetSettingsInt("NoSuchOption"), 0);
    EXPECT_EQ(s->GetSettingsInt(4711), 0);
    EXPECT_EQ(s->GetSettingsInt(KX_OPT_VERSION), 0) << "Version is not among the readable ids";
    EXPECT_STREQ(s->GetOptionName(1004), "ThreadCounter");
    EXPECT_STREQ(s->GetOptionName(15), "Unknown option");
    s->SetSettingsInt("Custom", 42);
    EXPECT_EQ(s->GetSettingsInt("Custom"), 42);
    EXPECT_TRUE(s->SettingsExists("Custom"));
    EXPECT_FALSE(s->SettingsExists("../Custom")) << "names cannot leave the config folder";
  }
  {
    CoreHarness h(dir.path);
    EXPECT_STREQ(h.core->GetSettings()->GetSettingsString(KX_OPT_SERVER_IP)->data, "10.0.0.1");
  }
  WriteBytes(dir.path + "/mervane/config/Version", {0, 1, '0'});
  CoreHarness h(dir.path);  // sets its own user name again after loading
  CKxCoreSettings* s = h.core->GetSettings();
  EXPECT_STREQ(s->GetSettingsString(KX_OPT_SERVER_IP)->data, "127.0.0.1") << "version change drops the server";
  EXPECT_EQ(s->GetSettingsInt(KX_OPT_MESSAGE_ID), 1234) << "counters stay";
  EXPECT_EQ(s->GetSettingsBoolean(KX_OPT_SAVE_PASSWORD), 0) << "SavePassword stays";
}

// A FIFO or a folder where a store file should be is refused at once: opening a FIFO to read would
// wait for a writer for ever. A file over the limit is refused whole.
TEST(PellicoPlatform, ReadTakesOnlyRegularFilesWithinTheLimit) {
  TempDir dir;
  pellico::KxPlatform on([](const char*) {}, true);
  const std::string fifo = dir.path + "/fifo", folder = dir.path + "/folder", big = dir.path + "/big",
                    small = dir.path + "/small";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  fs::create_directory(folder);
  WriteBytes(big, Bytes(100, 'x'));
  WriteBytes(small, {1, 2, 3});
  Bytes out{9};
  EXPECT_FALSE(on.ReadFile(fifo, out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(on.ReadFile(folder, out));
  EXPECT_FALSE(on.ReadFile(big, out, 99));
  ASSERT_TRUE(on.ReadFile(small, out));
  EXPECT_EQ(out, (Bytes{1, 2, 3}));
}

TEST(PellicoPlatform, FilesOffTouchesNothing) {
  TempDir dir;
  std::string cwd = fs::current_path();
  pellico::KxPlatform off([](const char*) {}, false);
  std::string f = dir.path + "/x";
  Bytes out;
  struct Row {
    const char* op;
    bool result;
    bool expected;
  } rows[] = {
      {"write pretends", off.WriteFile(f, {1, 2}), true},
      {"append pretends", off.AppendFile(f, reinterpret_cast<const uint8_t*>("a"), 1), true},
      {"read fails", off.ReadFile(f, out), false},
      {"exists is false", off.Exists(f), false},
      {"move pretends", off.Move(f, f + "y"), true},
      {"remove pretends", off.Remove(f) == 0, true},
  };
  for (auto& r : rows) EXPECT_EQ(r.result, r.expected) << r.op;
  off.MakeDirectory(dir.path + "/a/b");
  EXPECT_FALSE(fs::exists(dir.path + "/a"));
  EXPECT_FALSE(fs::exists(f));

  {
    CMervane ctx;
    setenv("PELLICO_QUIET", "1", 1);
    CKxCore core(&ctx, static_cast<unsigned char>(0));
    ctx.m_core = &core;
    EXPECT_EQ(core.PlayMessage(1), KX_UNKNOWN_ENTRY) << "no clip can be opened with files off";
  }

  pellico::KxPlatform on([](const char*) {}, true);
  on.MakeDirectory(dir.path + "/d/e");
  WriteBytes(dir.path + "/d/e/1", {1});
  WriteBytes(dir.path + "/d/e/2", {2});
  on.EmptyDirectory(dir.path + "/d/e");
  EXPECT_TRUE(fs::is_empty(dir.path + "/d/e"));
  EXPECT_EQ(fs::current_path().string(), cwd) << "emptying a folder never changes the working directory";
}

TEST(PellicoPlatform, RewritesLeaveNoTemporaryFilesAndKeepPasswordsPrivate) {
  TempDir dir;
  // What killed rewrites left: this library's old temporary name, and the shared one.
  const std::string config = dir.path + "/mervane/config";
  fs::create_directories(config);
  WriteBytes(config + "/ServerIp.tmp", {9});
  WriteBytes(config + "/.ServerIp.tmp-a1b2c3", {9});
  CoreHarness h(dir.path);
  CKxCoreSettings* s = h.core->GetSettings();
  s->SetSettingsString_Free(KX_OPT_SERVER_IP, CKxCore::Utf8Create("10.0.0.9"));
  s->SetSettingsBoolean(KX_OPT_SAVE_PASSWORD, 1);
  s->SetSettingsString_Free(KX_OPT_PASSWORD, CKxCore::Utf8Create("secret"));
  for (const auto& e : fs::directory_iterator(config))
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path() << " left behind";
  const auto perms = [&](const char* name) { return fs::status(config + "/" + name).permissions(); };
  EXPECT_EQ(perms("Password"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(perms("ServerIp"), fs::perms::owner_read | fs::perms::owner_write) << "other settings are the user's too";
}

TEST(PellicoPlatform, TextConversionLimitsAndDestination) {
  Utf8_t in{};
  std::string big(8095, 'a');
  in.len = static_cast<uint16_t>(big.size());
  in.data = big.data();
  WStr_t* w = pellico::KxPlatform::Utf8ToWStr(&in);
  EXPECT_EQ(w->len, 2 * 8096);
  CKxCore::WStrFree(w);
  big.push_back('a');
  in.len = static_cast<uint16_t>(big.size());
  in.data = big.data();
  w = pellico::KxPlatform::Utf8ToWStr(&in);
  EXPECT_EQ(w->len, 0) << "more than 8095 units gives an empty record";
  CKxCore::WStrFree(w);

  pellico::KxPlatform p([](const char*) {}, false);
  p.OpenSocket();
  p.SetDestination("no-such-host.invalid", 9999);
  const uint8_t ping[1] = {0};
  EXPECT_LT(p.Send(ping, sizeof ping), 0) << "with no address found nothing goes to this machine's port";
  p.SetDestination("127.0.0.1", 9999);
  EXPECT_EQ(p.DestAddr(), 0x7F000001u);
  p.SetDestination("no-such-host.invalid", 0);
  EXPECT_EQ(p.DestAddr(), 0x7F000001u) << "a failed lookup keeps the old address";
  EXPECT_EQ(p.DestPort(), 9999) << "port 0 keeps the old port";

  pellico::Rand15 r;
  r.Seed(1);
  EXPECT_EQ(r.Next(), 41);
  EXPECT_EQ(r.Next(), 18467);
  for (int i = 0; i < 1000; ++i) EXPECT_LE(r.Next(), 32767);
}

TEST(PellicoInterface, RecordHelpers) {
  EXPECT_EQ(CKxCore::Utf8Create(""), nullptr);
  Utf8_t* ab = CKxCore::Utf8Create("ab");
  WStr_t* w = CKxCore::NewWStrFromUtf8(ab);
  EXPECT_EQ(w->len, 6) << "the terminator counts";
  Utf8_t* back = CKxCore::NewUtf8FromWStr(w);
  EXPECT_STREQ(back->data, "ab");
  Utf8_t empty{};
  WStr_t* e = CKxCore::NewWStrFromUtf8(&empty);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->len, 0);
  CKxCore::WStrFree(e);
  CKxCore::Utf8Free(ab);
  CKxCore::Utf8Free(back);
  CKxCore::WStrFree(w);

  kx_recipient* list = nullptr;
  for (int id : {7, 3, 3}) {
    kx_recipient* r = CKxCore::RecipientNewM();
    r->id = id;
    r->next = list;
    list = r;
  }
  Utf8_t* ids = CKxCore::CreateRecipientIdM(list, 3);
  EXPECT_STREQ(ids->data, "3,7,0");
  CKxCore::Utf8Free(ids);
  CKxCore::RecipientsFree(list);

  struct Row {
    const char* url;
    const char* name;
  } rows[] = {{"[a b.png] http://h/servlet/mailbox?item=5", "a b.png"},
              {"http://h/servlet/mailbox?item=77", "77"},
              {"http://h/files/pic.jpg", "pic.jpg"},
              {"nothing", nullptr}};
  for (auto& r : rows) {
    kx_attachment* a = CKxCore::AttachmentURLNewM(CKxCore::Utf8Create(r.url), nullptr, nullptr);
    if (r.name) {
      ASSERT_TRUE(a->fileName) << r.url;
      EXPECT_STREQ(a->fileName->data, r.name);
    } else {
      EXPECT_EQ(a->fileName, nullptr);
    }
    kx_attachment* copy = CKxCore::AttachmentCopyM(a);
    CKxCore::AttachmentFree(a);
    CKxCore::AttachmentFree(copy);
  }

  TempDir dir;
  CoreHarness h(dir.path);
  Message_t* m = CKxCore::MessageNewM();
  EXPECT_EQ(h.core->SendMessage(m, 0), KX_NO_SESSION) << "taken over and freed without a session";
  Recorder other;
  h.core->SetNotifier(&other);
  h.core->SetNotifier(&h.rec);  // host notifiers are never deleted by the core
  EXPECT_STREQ(h.core->GetCoreVersion(), "1.0.15");
  EXPECT_EQ(h.core->StopAudio(), KX_NOT_RECORDING);
  EXPECT_EQ(h.core->DeleteMessage(12345), KX_UNKNOWN_ENTRY);
}

TEST(PellicoInterface, LogFileIsRotatedAbove49999Bytes) {
  TempDir dir;
  CoreHarness h(dir.path);
  std::string log = dir.path + "/mervane/mervane.log";
  WriteBytes(log, Bytes(50000, 'x'));
  h.ctx.Printf("%s", "next line");
  EXPECT_EQ(fs::file_size(dir.path + "/mervane/mervane2.log"), 50000u);
  std::string fresh(reinterpret_cast<const char*>(ReadBytes(log).data()), ReadBytes(log).size());
  EXPECT_NE(fresh.find("next line\r\n"), std::string::npos);
  EXPECT_LT(fresh.size(), 100u);
  std::string huge(20000, 'y');
  h.ctx.Printf("%s", huge.c_str());  // cut to the line buffer, never overrun
}

// The transfer workers log on their own threads while the tick logs on the host's: lines written across
// many rotations from two threads come out whole, and the file is never written after it was closed.
TEST(PellicoInterface, TwoThreadsLogAcrossRotationsWithWholeLines) {
  TempDir dir;
  CoreHarness h(dir.path);
  const std::string log = dir.path + "/mervane/mervane.log";
  const std::string old = dir.path + "/mervane/mervane2.log";
  const std::string pad(90, 'p');
  auto writer = [&](char who) {
    for (int i = 0; i < 4000; ++i) h.ctx.Printf("%c%05d %s", who, i, pad.c_str());
  };
  std::thread worker(writer, 'W');
  writer('T');
  worker.join();
  for (const std::string& path : {log, old}) {
    Bytes b = ReadBytes(path);
    std::string text(b.begin(), b.end());
    ASSERT_FALSE(text.empty()) << path;
    EXPECT_LE(text.size(), 50000u + 120u) << path << ": rotated late";
    size_t pos = 0, lines = 0;
    while (pos < text.size()) {
      size_t end = text.find("\r\n", pos);
      ASSERT_NE(end, std::string::npos) << path << ": a cut line at " << pos;
      std::string line = text.substr(pos, end - pos);
      // "MM/DD hh:mm:ss " then who, five digits, a blank and the padding.
      ASSERT_EQ(line.size(), 15u + 7u + pad.size()) << path << ": " << line;
      EXPECT_TRUE(line[15] == 'W' || line[15] == 'T') << line;
      EXPECT_EQ(line.substr(22), pad) << line;
      pos = end + 2;
      ++lines;
    }
    if (path == old) EXPECT_GT(lines, 400u) << "a whole file's worth of lines";
  }
}
