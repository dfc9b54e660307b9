// Fuzz target: arbitrary datagrams through the decoders and through a signed-in engine.
#include <cstdlib>
#include <memory>

#include "fakes.h"
#include "pellico/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pellico;
  ValidateServerDatagram(data, size);
  BuddyList bl;
  DecodeBuddyListBody(data, size, &bl);
  PresenceList pl;
  DecodePresenceListBody(data, size, &pl);

  // A host context that drops the log: the fuzzer wants speed, not files.
  struct QuietContext : CMervane {
    void Printf(const char*, ...) override {}
  };
  static QuietContext ctx;
  static CKxCore* core = [] {
    setenv("PELLICO_QUIET", "1", 1);
    auto* c = new CKxCore(&ctx, static_cast<unsigned char>(0));
    ctx.m_core = c;
    return c;
  }();
  CKxEngine* e = core->Engine();
  // Pretend a session so that every type reaches its handler; the session field is forced to match.
  static bool online = false;
  if (!online) {
    static std::vector<pt::Bytes> sent;
    static std::deque<pt::FakeSocket::Inbound> in;
    e->Platform().SetSocket(std::make_unique<pt::FakeSocket>(&sent, &in));
    Utf8_t* u = CKxCore::Utf8Create("u");
    core->GetSettings()->SetSettingsString_Free(KX_OPT_USERNAME, u);
    Utf8_t* p = CKxCore::Utf8Create("p");
    core->GetSettings()->SetSettingsString_Free(KX_OPT_PASSWORD, p);
    core->SignIn(KX_VISIBILITY_VISIBLE);
    pt::SB resp(1, 5, 2);
    resp.u8(0).u8(0).u8(0).str16("").str16("").u16(0);
    e->InjectDatagram(resp.b.data(), resp.b.size());
    online = true;
  }
  std::vector<uint8_t> d(data, data + size);
  if (d.size() >= 8) {
    d[4] = 0;
    d[5] = 0;
    d[6] = 0;
    d[7] = 5;
  }
  e->InjectDatagram(d.data(), d.size());
  core->TickCore();
  if (core->GetConnectionState() == KX_OFFLINE) online = false;
  if (core->GetMessageListCount() > 100) core->DeleteMessage(-1);
  return 0;
}
