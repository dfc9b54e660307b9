// The tick that delivers and stores a burst of text messages held behind one missing datagram: the
// messages arrive in one tick and wait; a later tick delivers all of them once the gap is abandoned
// (30 s) or the missing datagram comes, and writes them to the store. Prints the time of each tick.
//
//   pellico_gap_bench [messages=3000] [runs=3] [folder=/tmp]
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "pellico/engine.h"
#include "pellico/pellico.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The server is 127.0.0.1:9999; what the client sends is dropped.
class Socket : public pellico::KxSocket {
 public:
  explicit Socket(std::deque<Bytes>* in) : m_in(in) {}
  bool Open() override { return true; }
  void Close() override {}
  int SendTo(const uint8_t*, size_t n, uint32_t, uint16_t) override {
    last = static_cast<int>(n);
    return static_cast<int>(n);
  }
  int RecvFrom(uint8_t* buf, size_t size, uint32_t* addr, uint16_t* port) override {
    if (m_in->empty()) return -EAGAIN;
    Bytes d = std::move(m_in->front());
    m_in->pop_front();
    size_t n = std::min(size, d.size());
    std::copy(d.begin(), d.begin() + static_cast<long>(n), buf);
    *addr = 0x7F000001;
    *port = 9999;
    return static_cast<int>(n);
  }
  int last = 0;

 private:
  std::deque<Bytes>* m_in;
};

struct Out {
  Bytes b;
  Out(uint32_t seq, uint32_t session, uint8_t type) { u32(seq).u32(session).u8(type); }
  Out& u8(uint32_t v) { b.push_back(static_cast<uint8_t>(v)); return *this; }
  Out& u16(uint32_t v) { return u8(v >> 8).u8(v & 0xFF); }
  Out& u32(uint32_t v) { return u16(v >> 16).u16(v & 0xFFFF); }
  Out& str16(const std::string& s) {
    u16(static_cast<uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
};

Bytes Text(uint32_t seq, uint32_t session, uint16_t msg) {
  return Out(seq, session, 11).u16(msg).str16("7_1").u32(42).str16("Bob").u8(0).str16("s")
      .str16("message " + std::to_string(seq)).u16(2024).u8(5).u8(6).u8(7).u8(8).u8(9).u8(0).u8(0).b;
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Run {
  double hold = 0, abandon = 0, fill = 0;
  int delivered = 0;
};

// One client: a burst behind seq 101 held, then delivered by the gap's end (abandoned when fill is false).
Run Measure(const std::string& base, int messages, bool fill) {
  setenv("PELLICO_QUIET", "1", 1);
  CMervane ctx;
  auto* core = new CKxCore(&ctx, base.c_str());
  ctx.m_core = core;
  CKxEngine* engine = core->Engine();
  std::deque<Bytes> in;
  uint32_t now = 1000;
  engine->Platform().SetSocket(std::make_unique<Socket>(&in));
  engine->Platform().SetClock([&now] { return now; });
  core->GetSettings()->SetSettingsString_Free(KX_OPT_USERNAME, CKxCore::Utf8Create("alice"));
  core->GetSettings()->SetSettingsString_Free(KX_OPT_PASSWORD, CKxCore::Utf8Create("secret"));
  core->SignIn(KX_VISIBILITY_VISIBLE);
  const uint32_t session = 77;
  in.push_back(Out(100, session, 2).u8(0).u8(0).u8(30).str16("TS=20240506 070809").str16("").u16(0).b);
  core->TickCore();
  Run r;
  for (int i = 0; i < messages; ++i) in.push_back(Text(102 + static_cast<uint32_t>(i), session, static_cast<uint16_t>(i + 1)));
  auto t0 = std::chrono::steady_clock::now();
  core->TickCore();
  r.hold = Seconds(std::chrono::steady_clock::now() - t0);
  if (fill) {
    in.push_back(Text(101, session, 30000));
    now += 100;
    t0 = std::chrono::steady_clock::now();
    core->TickCore();
    r.fill = Seconds(std::chrono::steady_clock::now() - t0);
  } else {
    now += 30001;
    t0 = std::chrono::steady_clock::now();
    core->TickCore();
    r.abandon = Seconds(std::chrono::steady_clock::now() - t0);
  }
  r.delivered = core->GetMessageListCount();
  delete core;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const int messages = argc > 1 ? atoi(argv[1]) : 3000;
  const int runs = argc > 2 ? atoi(argv[2]) : 3;
  const std::string folder = argc > 3 ? argv[3] : "/tmp";
  printf("%d text messages behind one missing datagram, store in %s\n", messages, folder.c_str());
  printf("%-4s %-9s %12s %14s %10s\n", "run", "gap ends", "hold tick s", "deliver tick s", "delivered");
  for (int i = 0; i < runs; ++i) {
    for (bool fill : {false, true}) {
      std::string base = folder + "/pellico-gap-bench-XXXXXX";
      std::vector<char> name(base.begin(), base.end());
      name.push_back('\0');
      if (!mkdtemp(name.data())) {
        perror("mkdtemp");
        return 1;
      }
      Run r = Measure(name.data(), messages, fill);
      printf("%-4d %-9s %12.3f %14.3f %10d\n", i + 1, fill ? "filled" : "abandoned", r.hold, fill ? r.fill : r.abandon,
             r.delivered);
      std::error_code ec;
      std::filesystem::remove_all(name.data(), ec);
    }
  }
  return 0;
}
