// A test's engine trace: "trace.txt" in a folder of its own, unscrambled, read back as text.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "voice/trace.h"

namespace voicetest {

// Writes the engine trace into a fresh temporary folder (the working folder meanwhile, so parallel
// test processes never share a "trace.txt"), with `extraLevels` admitted beside the mask in force.
// Text() ends the capture and returns what was written; the destructor restores everything.
class TraceCapture {
 public:
  explicit TraceCapture(int extraLevels = 0) {
    char dir[] = "/tmp/tessaly_trace_XXXXXX";
    if (mkdtemp(dir)) dir_ = dir;
    home_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    TraceManager& t = EngineTraceManager();
    mask_ = t.GetLevelMask();
    scramble_ = t.GetScramble();
    t.SetScramble(0);
    t.SetLevelMask(mask_ | extraLevels);
    t.SetMode(kTraceModeFile);
  }
  ~TraceCapture() {
    Stop();
    std::filesystem::current_path(home_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::string Text() {
    Stop();
    std::ifstream in(dir_ / "trace.txt");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

 private:
  void Stop() {
    if (stopped_) return;
    stopped_ = true;
    TraceManager& t = EngineTraceManager();
    t.SetMode(kTraceModeNone);
    t.FileSink().Close();
    t.SetLevelMask(mask_);
    t.SetScramble(scramble_);
  }

  std::filesystem::path dir_;
  std::filesystem::path home_;
  int mask_ = kTraceDefaultMask;
  int scramble_ = 1;
  bool stopped_ = false;
};

}  // namespace voicetest
