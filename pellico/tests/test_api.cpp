// The shared library as a host sees it: only the four classes are exported, and a derived host works through them.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "pellico/pellico.h"

namespace {
struct HostContext : CMervane {};
struct HostNotifier : CKxCoreNotifier {
  explicit HostNotifier(CMervane* c) : CKxCoreNotifier(c) {}
  int states = 0;
  void ConnectionStateNotify(EConnectionState_t) override { ++states; }
};
}  // namespace

TEST(PellicoApi, OnlyTheFourClassesAreExported) {
  // The library this test is linked with, as the loader found it.
  std::string lib;
  FILE* maps = fopen("/proc/self/maps", "r");
  ASSERT_TRUE(maps);
  char row[4096];
  while (lib.empty() && fgets(row, sizeof row, maps)) {
    const char* at = strstr(row, "/libpellico.so");
    if (!at) continue;
    const char* start = strchr(row, '/');
    lib.assign(start, strcspn(start, "\n"));
  }
  fclose(maps);
  ASSERT_FALSE(lib.empty());
  std::string cmd = "nm -D -C --defined-only " + lib;
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_TRUE(p);
  char line[2048];
  int count = 0;
  while (fgets(line, sizeof line, p)) {
    std::string s(line);
    if (s.size() < 20) continue;
    std::string name = s.substr(19);
    bool ours = false;
    for (const char* cls : {"CMervane", "CKxCore", "CKxCoreNotifier", "CKxCoreSettings"}) {
      std::string c(cls);
      if (name.rfind(c + "::", 0) == 0 || name.rfind("vtable for " + c + "\n", 0) == 0 ||
          name.rfind("typeinfo for " + c + "\n", 0) == 0 || name.rfind("typeinfo name for " + c + "\n", 0) == 0)
        ours = true;
    }
    EXPECT_TRUE(ours) << "exported: " << name;
    ++count;
  }
  pclose(p);
  EXPECT_GT(count, 100);
}

TEST(PellicoApi, HostDrivesTheCoreThroughTheSharedLibrary) {
  setenv("PELLICO_QUIET", "1", 1);
  char tmpl[] = "/tmp/pellico-api-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  {
    HostContext ctx;
    CKxCore* core = new CKxCore(&ctx, dir.c_str());
    ctx.m_core = core;
    HostNotifier* n = new HostNotifier(&ctx);
    core->SetNotifier(n);
    EXPECT_EQ(core->SignIn(KX_VISIBILITY_VISIBLE), KX_NO_PROFILE);
    core->GetSettings()->SetSettingsString_Free(KX_OPT_USERNAME, CKxCore::Utf8Create("u"));
    core->GetSettings()->SetSettingsString_Free(KX_OPT_PASSWORD, CKxCore::Utf8Create("p"));
    // Nobody listens there: the default port may be a messaging server the user runs beside the tests.
    core->GetSettings()->SetSettingsString_Free(KX_OPT_SERVER_IP, CKxCore::Utf8Create("127.0.0.2"));
    EXPECT_EQ(core->SignIn(KX_VISIBILITY_VISIBLE), KX_OK);
    EXPECT_EQ(n->states, 1);
    core->TickCore();
    EXPECT_STREQ(core->GetCoreVersion(), "1.0.15");
    EXPECT_EQ(std::string(core->GetMervanePath()), dir + "/mervane");
    delete core;
    delete n;
  }
  std::filesystem::remove_all(dir);
}

// A copy shares its original's engine: it may outlive the original, and an original given another
// core's engine lets go of its own (both run clean under the address sanitizer).
TEST(PellicoApi, CopiesShareTheEngineAndOutliveTheirOriginal) {
  setenv("PELLICO_QUIET", "1", 1);
  char tmpl[] = "/tmp/pellico-api-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  {
    HostContext ctx;
    CKxCore* original = new CKxCore(&ctx, (dir + "/a").c_str());
    CKxCore* copy = new CKxCore(*original);
    EXPECT_STREQ(copy->GetMervanePath(), original->GetMervanePath());
    delete original;
    delete copy;
    CKxCore* first = new CKxCore(&ctx, (dir + "/b").c_str());
    CKxCore* second = new CKxCore(&ctx, (dir + "/c").c_str());
    *first = *second;
    EXPECT_EQ(std::string(first->GetMervanePath()), dir + "/c/mervane");
    delete first;
    delete second;
  }
  std::filesystem::remove_all(dir);
}
