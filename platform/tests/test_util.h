// Shared helpers of the platform tests: a scratch folder per test.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace plat_test {

class TempDir {
 public:
  TempDir() {
    std::string base = "/tmp/tessaly-platform-XXXXXX";
    char buf[64];
    base.copy(buf, base.size());
    buf[base.size()] = '\0';
    char* d = mkdtemp(buf);
    path_ = d ? d : "/tmp";
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace plat_test
