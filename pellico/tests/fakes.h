// Test doubles for the messaging library: in-memory socket, manual clock, recording notifier, server packet builder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "pellico/engine.h"
#include "pellico/pellico.h"

namespace pt {

using Bytes = std::vector<uint8_t>;

class FakeSocket : public pellico::KxSocket {
 public:
  struct Inbound {
    Bytes data;
    uint32_t addr;
    uint16_t port;
  };
  std::vector<Bytes>* sent;
  std::deque<Inbound>* inbound;
  std::vector<std::pair<uint32_t, uint16_t>>* sentTo;  // address and port of each datagram sent
  FakeSocket(std::vector<Bytes>* s, std::deque<Inbound>* in, std::vector<std::pair<uint32_t, uint16_t>>* to = nullptr)
      : sent(s), inbound(in), sentTo(to) {}
  bool Open() override { return true; }
  void Close() override {}
  int SendTo(const uint8_t* d, size_t n, uint32_t addr, uint16_t port) override {
    sent->emplace_back(d, d + n);
    if (sentTo) sentTo->emplace_back(addr, port);
    return static_cast<int>(n);
  }
  int RecvFrom(uint8_t* buf, size_t size, uint32_t* addr, uint16_t* port) override {
    if (inbound->empty()) return -EAGAIN;
    Inbound in = inbound->front();
    inbound->pop_front();
    size_t n = std::min(size, in.data.size());
    if (n) memcpy(buf, in.data.data(), n);
    *addr = in.addr;
    *port = in.port;
    return static_cast<int>(n);
  }
};

// Builds server datagrams byte by byte, independently of the library's encoders.
class SB {
 public:
  SB(uint32_t seq, uint32_t session, uint8_t type) {
    u32(seq);
    u32(session);
    u8(type);
  }
  SB& u8(uint32_t v) { b.push_back(static_cast<uint8_t>(v)); return *this; }
  SB& u16(uint32_t v) { return u8(v >> 8).u8(v & 0xFF); }
  SB& u32(uint32_t v) { return u16(v >> 16).u16(v & 0xFFFF); }
  SB& raw(const std::string& s) { b.insert(b.end(), s.begin(), s.end()); return *this; }
  SB& str16(const std::string& s) { return u16(static_cast<uint32_t>(s.size())).raw(s); }
  SB& str8(const std::string& s) { return u8(static_cast<uint32_t>(s.size())).raw(s); }
  SB& time7() { return u16(2024).u8(5).u8(6).u8(7).u8(8).u8(9); }
  Bytes b;
};

struct Recorder : CKxCoreNotifier {
  std::vector<int> states;
  std::vector<std::pair<uint32_t, int>> messages;  // entry id, new flag
  std::vector<std::string> serverTexts;
  int contactUpdates = 0;
  int typing = 0;
  int downloads = 0, downloadOk = 0;
  int uploads = 0, uploadOk = 0;
  std::string uploadText;
  std::vector<int> percents;
  void ConnectionStateNotify(EConnectionState_t s) override { states.push_back(s); }
  void ContactUpdateNotify(int, kx_contact*) override { ++contactUpdates; }
  void MessageUpdateNotify(Message_t* m, unsigned char isNew) override { messages.emplace_back(m->entryId, isNew); }
  void ServiceUpdateNotify(Utf8_t* t) override { serverTexts.emplace_back(t && t->data ? t->data : ""); }
  void OnTypingNotify(Message_t*) override { ++typing; }
  void OnDownloadComplete(unsigned char ok, Message_t*) override {
    ++downloads;
    downloadOk += ok;
  }
  void OnPercentDone(int p, unsigned char) override { percents.push_back(p); }
  void OnUploadComplete(unsigned char ok, Utf8_t* r) override {
    ++uploads;
    uploadOk += ok;
    uploadText = r && r->data ? r->data : "";
    CKxCore::Utf8Free(r);
  }
};

// A message's text (to its first zero), each UTF-16 unit taken as one byte: enough for ASCII texts.
inline std::string W(Message_t* m) {
  std::string s;
  for (size_t i = 0; m->text && i < m->text->len / 2u && m->text->data[i]; ++i) s.push_back(char(m->text->data[i]));
  return s;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/pellico-test-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

// A core with a fake socket and a manual clock; the server is 127.0.0.1:9999.
class CoreHarness {
 public:
  static constexpr uint32_t kServer = 0x7F000001;
  explicit CoreHarness(const std::string& base, bool files = true) {
    setenv("PELLICO_QUIET", "1", 1);
    core = files ? new CKxCore(&ctx, base.c_str()) : new CKxCore(&ctx, static_cast<unsigned char>(0));
    ctx.m_core = core;
    core->SetNotifier(&rec);
    engine = core->Engine();
    engine->Platform().SetSocket(std::make_unique<FakeSocket>(&sent, &inbound, &sentTo));
    engine->Platform().SetClock([this] { return now; });
    Utf8_t* u = CKxCore::Utf8Create("alice");
    Utf8_t* p = CKxCore::Utf8Create("secret");
    core->GetSettings()->SetSettingsString_Free(KX_OPT_USERNAME, u);
    core->GetSettings()->SetSettingsString_Free(KX_OPT_PASSWORD, p);
  }
  ~CoreHarness() {
    delete core;
  }
  void Push(const Bytes& d, uint32_t addr = kServer, uint16_t port = 9999) { inbound.push_back({d, addr, port}); }
  void Tick(uint32_t advanceMs = 0) {
    now += advanceMs;
    core->TickCore();
  }
  // Signs in and answers with session 77, server stream from seq 100, keep-alive 3 (30 s).
  void SignInOnline(uint32_t session = 77, uint32_t firstSeq = 100) {
    ASSERT_EQ(core->SignIn(KX_VISIBILITY_VISIBLE), KX_OK);
    ASSERT_FALSE(sent.empty());
    const Bytes& req = sent.back();
    uint32_t seq = (uint32_t(req[0]) << 24) | (uint32_t(req[1]) << 16) | (uint32_t(req[2]) << 8) | req[3];
    uint32_t key = (uint32_t(req[4]) << 24) | (uint32_t(req[5]) << 16) | (uint32_t(req[6]) << 8) | req[7];
    Push(SB(seq, key, 12).b);
    Push(SB(firstSeq, session, 2).u8(0).u8(0).u8(3).str16("TS=20240506 070809").str16("").u16(0).b);
    Tick();
    ASSERT_EQ(core->GetConnectionState(), KX_ONLINE);
    nextServerSeq = firstSeq + 1;
    this->session = session;
    sent.clear();
    sentTo.clear();
  }
  // Datagrams sent of one type.
  std::vector<Bytes> SentOfType(uint8_t type) const {
    std::vector<Bytes> r;
    for (auto& d : sent)
      if (d.size() > 8 && d[8] == type) r.push_back(d);
    return r;
  }
  static uint32_t Seq(const Bytes& d) {
    return (uint32_t(d[0]) << 24) | (uint32_t(d[1]) << 16) | (uint32_t(d[2]) << 8) | d[3];
  }
  bool Acked(uint32_t seq) const {
    for (auto& d : sent)
      if (d.size() == 9 && d[8] == 12 && Seq(d) == seq) return true;
    return false;
  }

  CMervane ctx;
  CKxCore* core;
  CKxEngine* engine;
  Recorder rec;
  std::vector<Bytes> sent;
  std::vector<std::pair<uint32_t, uint16_t>> sentTo;
  std::deque<FakeSocket::Inbound> inbound;
  uint32_t now = 1000;
  uint32_t session = 0;
  uint32_t nextServerSeq = 0;
};

}  // namespace pt
