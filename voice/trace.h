// Voice engine trace: a null sink and the "trace.txt" file sink, chosen by the trace mode.
#pragma once

#include <cstdint>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

// Trace levels, one bit each.
enum TraceLevel : int {
  kTraceInfo = 1,
  kTraceWarning = 2,
  kTraceError = 4,
  kTraceCritical = 8,
  kTraceMemory = 16,
  kTraceTimer = 32,
  kTraceStream = 64,
  kTraceApiCall = 128,
};

// Trace modes: anything other than file output behaves as no output.
enum TraceMode : int { kTraceModeNone = 0, kTraceModeFile = 2 };

// Level mask set at engine construction: everything but MEMORY and STREAM.
constexpr int kTraceDefaultMask = 175;

// Millisecond clock of the trace; replaceable so tests can drive it.
using TraceClock = uint32_t (*)();
uint32_t TraceSystemClock();

class TraceManager;

class TraceSink {
 public:
  // A value of -1 means "absent": both -1 formats with neither, only b == -1 with a alone.
  virtual void Print(int level, const char* format, int a, int b) = 0;
  virtual ~TraceSink() = default;
};

class TraceNullSink : public TraceSink {
 public:
  void Print(int, const char*, int, int) override {}
};

class TraceFileSink : public TraceSink {
 public:
  static constexpr int kMaxLine = 119;           // characters of a message and of a line
  static constexpr uint32_t kRolloverLines = 200000;
  static constexpr int kKeyLength = 31;
  static constexpr const char* kBuildStamp = "Mar 28 2005 11:10:06 r";

  explicit TraceFileSink(const TraceManager& manager, std::string path = "trace.txt");
  ~TraceFileSink() override;
  TraceFileSink(const TraceFileSink&) = delete;
  TraceFileSink& operator=(const TraceFileSink&) = delete;

  void Print(int level, const char* format, int a, int b) override;

  // Scrambles one line starting at key position *pos (advanced); returns the bytes written to out,
  // which must hold 2 * length bytes.
  static int Scramble(const char* line, int length, int* pos, unsigned char* out);
  // The scrambling key (kKeyLength characters), for readers of scrambled traces.
  static const char* Key();

  // Closes the file; the next line opens it again as on first use (used at engine shutdown).
  void Close();

 private:
  bool Open();
  void WriteHeader(bool withBuild);
  void WriteLine(const char* text);

  const TraceManager& manager_;
  std::string path_;
  std::mutex lock_;  // lines from several engine threads must not tear the counters or the file
  uint32_t lastApiCall_ = 0;
  uint32_t lastLine_ = 0;
  int openState_ = 0;  // 0 not yet opened, -1 failed for good, else times opened
  FILE* file_ = nullptr;
  int scramblePos_ = 0;
  uint32_t lines_ = 0;
};

// Holds the trace mode, level mask and scrambling switch for the whole program.
class TraceManager {
 public:
  explicit TraceManager(std::string path = "trace.txt");
  ~TraceManager();
  TraceManager(const TraceManager&) = delete;
  TraceManager& operator=(const TraceManager&) = delete;

  // The file sink in file mode, the null sink otherwise.
  TraceSink* GetSink();

  void SetMode(int mode) { mode_ = mode; }
  int GetMode() const { return mode_; }
  void SetLevelMask(int mask) { mask_ = mask; }
  int GetLevelMask() const { return mask_; }
  void SetScramble(int on) { scramble_ = on; }
  int GetScramble() const { return scramble_; }

  void SetClock(TraceClock clock) { clock_ = clock ? clock : TraceSystemClock; }
  uint32_t Now() const { return clock_.load()(); }

  TraceFileSink& FileSink() { return file_; }

 private:
  std::atomic<int> mode_{kTraceModeNone};
  std::atomic<int> mask_{kTraceDefaultMask};
  std::atomic<int> scramble_{1};
  std::atomic<TraceClock> clock_{TraceSystemClock};
  TraceNullSink null_;
  TraceFileSink file_;
};

// The program's one trace manager, and the one way every engine part reaches the current sink.
TraceManager& EngineTraceManager();
TraceSink* EngineTrace();

// A caller's text to be placed in a trace format as it stands: '%' doubled, at most max characters.
std::string TraceLiteral(const char* text, size_t max);
