// The test fixture's child processes: the test's own environment wins, and ending a child ends what it started.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "e2e_support.h"

namespace {

// True once the process is gone or only a zombie waiting for its new parent.
bool Gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

bool WaitGone(pid_t pid) {
  for (int i = 0; i < 1500 && !Gone(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return Gone(pid);
}

TEST(TestChildProcess, ItsOwnEnvironmentReplacesTheInheritedNames) {
  setenv("TESSALY_CHILD_PROBE", "inherited", 1);
  setenv("TESSALY_CHILD_KEPT", "kept", 1);
  const std::string dir = e2e::TempDir("child");
  e2e::Child child;
  ASSERT_TRUE(child.Start({"/bin/sh", "-c", "echo \"probe=$TESSALY_CHILD_PROBE kept=$TESSALY_CHILD_KEPT\""},
                          dir + "/out.txt", {"TESSALY_CHILD_PROBE=own"}));
  EXPECT_EQ(child.Wait(30000), 0);
  EXPECT_EQ(child.Output(), "probe=own kept=kept\n");
  unsetenv("TESSALY_CHILD_PROBE");
  unsetenv("TESSALY_CHILD_KEPT");
  std::system(("rm -rf '" + dir + "'").c_str());
}

// A server that starts helpers of its own (as kamailio does) and ignores nothing: whether the test
// stops it or simply leaves (a failed assertion), its helpers go with it.
TEST(TestChildProcess, EndingAChildEndsTheProcessesItStarted) {
  const std::string dir = e2e::TempDir("child");
  for (const bool stopFirst : {false, true}) {
    pid_t helper = -1;
    {
      e2e::Child child;
      ASSERT_TRUE(child.Start({"/bin/sh", "-c", "trap '' TERM; sleep 1000 & echo helper=$!; wait"}, dir + "/out.txt"));
      ASSERT_TRUE(child.WaitFor("helper=", 30000));
      helper = std::atoi(e2e::Figures(child.Output())["helper"].c_str());
      ASSERT_GT(helper, 0);
      if (stopFirst) child.Stop(200);
    }
    EXPECT_TRUE(WaitGone(helper)) << "helper " << helper << (stopFirst ? " after Stop" : " after the destructor");
  }
  std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
