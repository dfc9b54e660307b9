// Voice engine trace: sink selection, the "trace.txt" writer with rollover, and line scrambling.
#include "voice/trace.h"

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "platform/fs.h"

namespace {

// Fixed key of the line scrambling; any 31 characters will do, readers only need the same key.
constexpr char kScrambleKey[] = "Sonra-engine/trace~Tessaly*2005";
static_assert(sizeof(kScrambleKey) - 1 == TraceFileSink::kKeyLength, "key must be 31 characters");

const char* PrefixForm(int level) {
  switch (level) {
    case kTraceInfo: return "INFO     (%lu |%5lu): %s";
    case kTraceWarning: return "WARNING  (%lu |%5lu): %s";
    case kTraceError: return "ERROR    (%lu |%5lu): %s";
    case kTraceCritical: return "CRITICAL (%lu |%5lu): %s";
    case kTraceMemory: return "MEMORY   (%lu |%5lu): %s";
    case kTraceTimer: return "TIMER    (%lu |%5lu): %s";
    case kTraceStream: return "STREAM   (%lu |%5lu): %s";
    default: return "UNKNOWN  (%lu |%5lu): %s";  // no caller passes a level outside the eight bits
  }
}

// Formats the caller's format with the values that are present; text beyond the line limit is cut.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
void FormatMessage(char* out, size_t size, const char* format, int a, int b) {
  if (!format) {
    out[0] = '\0';
    return;
  }
  if (a == -1 && b == -1)
    snprintf(out, size, format);
  else if (b == -1)
    snprintf(out, size, format, a);
  else
    snprintf(out, size, format, a, b);
}
#pragma GCC diagnostic pop

}  // namespace

uint32_t TraceSystemClock() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

TraceFileSink::TraceFileSink(const TraceManager& manager, std::string path)
    : manager_(manager), path_(std::move(path)) {}

TraceFileSink::~TraceFileSink() { Close(); }

void TraceFileSink::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  if (file_) fclose(file_);
  file_ = nullptr;
  if (openState_ > 0) openState_ = 0;
}

const char* TraceFileSink::Key() { return kScrambleKey; }

int TraceFileSink::Scramble(const char* line, int length, int* pos, unsigned char* out) {
  int n = 0;
  for (int i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    const int8_t x = static_cast<int8_t>(static_cast<unsigned char>(kScrambleKey[*pos]) ^ c);
    if (x <= 31) {
      out[n++] = 1;
      out[n++] = static_cast<unsigned char>(127 - x);
    } else if (x == 127) {
      out[n++] = 2;
      out[n++] = c;
    } else {
      out[n++] = static_cast<unsigned char>(x);
    }
    *pos = (*pos + 1) % kKeyLength;
  }
  return n;
}

bool TraceFileSink::Open() {
  file_ = plat::OpenRegularStream(path_, "w+");
  return file_ != nullptr;
}

void TraceFileSink::WriteLine(const char* text) {
  const int length = static_cast<int>(strlen(text));
  if (manager_.GetScramble() == 1) {
    unsigned char out[2 * kMaxLine + 2];
    const int n = Scramble(text, length > kMaxLine ? kMaxLine : length, &scramblePos_, out);
    fwrite(out, 1, static_cast<size_t>(n), file_);
    fputc('\n', file_);
  } else {
    fputs(text, file_);
    fputc('\n', file_);
    fflush(file_);
  }
}

void TraceFileSink::WriteHeader(bool withBuild) {
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char date[64];
  char clock[32];
  strftime(date, sizeof date, "%b %d, %Y", &local);
  strftime(clock, sizeof clock, "%H:%M:%S", &local);
  fprintf(file_, "Date: %s\n", date);
  fprintf(file_, "Time: %s\n\n", clock);
  if (withBuild) {
    char build[kMaxLine + 1];
    snprintf(build, sizeof build, "Build info: %s", kBuildStamp);
    WriteLine(build);
  }
  fflush(file_);
}

void TraceFileSink::Print(int level, const char* format, int a, int b) {
  std::lock_guard<std::mutex> guard(lock_);
  if (openState_ == -1) return;
  if (openState_ == 0) {
    if (!Open()) {
      openState_ = -1;
      return;
    }
    scramblePos_ = 0;
    WriteHeader(true);
    ++openState_;
    lastApiCall_ = lastLine_ = manager_.Now();
    lines_ = 0;
  } else if (lines_ >= kRolloverLines) {
    // A fresh file after every 200000 lines keeps the trace bounded on long runs.
    fclose(file_);
    if (!Open()) {
      openState_ = -1;
      return;
    }
    scramblePos_ = 0;
    WriteHeader(false);
    lines_ = 0;
  }

  char message[kMaxLine + 1];
  FormatMessage(message, sizeof message, format, a, b);
  if ((level & manager_.GetLevelMask()) == 0) return;

  const uint32_t now = manager_.Now();
  const uint32_t delta = now - lastLine_;
  lastLine_ = now;
  ++lines_;

  char line[kMaxLine + 1];
  if (level == kTraceApiCall) {
    snprintf(line, sizeof line, "APICALL   sleep(%i); %s", static_cast<int>(now - lastApiCall_), message);
    lastApiCall_ = now;
  } else {
    snprintf(line, sizeof line, PrefixForm(level), static_cast<unsigned long>(now),
             static_cast<unsigned long>(delta), message);
  }
  WriteLine(line);
}

TraceManager::TraceManager(std::string path) : file_(*this, std::move(path)) {}

TraceManager::~TraceManager() { mode_ = kTraceModeNone; }

TraceSink* TraceManager::GetSink() {
  if (mode_.load() == kTraceModeFile) return &file_;
  return &null_;
}

TraceManager& EngineTraceManager() {
  static TraceManager manager;
  return manager;
}

TraceSink* EngineTrace() { return EngineTraceManager().GetSink(); }

std::string TraceLiteral(const char* text, size_t max) {
  std::string out;
  for (size_t i = 0; text && i < max && text[i] != '\0'; ++i) {
    if (text[i] == '%') out += '%';
    out += text[i];
  }
  return out;
}
