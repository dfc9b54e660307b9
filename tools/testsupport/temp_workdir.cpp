// Linked into every test program: code that writes into the working folder (the messaging library's log without a
// core link): the program runs in a temporary folder of its own, removed at the end, never in the build folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

class TemporaryWorkingFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/tessaly_workdir_XXXXXX";
    if (const char* made = mkdtemp(pattern)) {
      m_dir = made;
      if (chdir(m_dir.c_str()) != 0) m_dir.clear();
    }
  }
  void TearDown() override {
    if (m_dir.empty()) return;
    if (chdir("/") == 0) {
      std::error_code ec;
      std::filesystem::remove_all(m_dir, ec);
    }
  }

 private:
  std::string m_dir;
};

const ::testing::Environment* const kWorkingFolder = ::testing::AddGlobalTestEnvironment(new TemporaryWorkingFolder);

}  // namespace
