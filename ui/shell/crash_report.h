// Crash report: a fatal signal leaves "ERRORLOG.TXT" (the fault, the system, registers, code bytes,
// stack, a backtrace and the loaded modules) and starts the optional report program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace shell {

// Installs the handler for SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT and SIGTRAP on an alternate
// stack. The report goes to <folder>/ERRORLOG.TXT; reportProgram (empty: none) is started with the
// program's file name as its only argument and not waited for. The signal then takes its default
// course, so the exit status still tells the crash.
void InstallCrashReport(const std::string& folder, const std::string& programPath, const std::string& reportProgram,
                        const std::string& location = "ExceptionAttacher - main");

// The text and the code of a signal, in the words of the report ("an Access Violation", 0xC0000005).
const char* CrashDescription(int signal, int siCode, uint32_t* code);

// The report's text buffer: pieces are added without allocating; the text goes to the file when
// more than 7168 characters wait and at the end.
class CrashWriter {
public:
    explicit CrashWriter(int fd) : fd_(fd) {}
    void Str(const char* s);
    void Hex(uint64_t v, int width);  // lower case, zero-padded to width
    void Dec(int64_t v);
    void Char(char c);
    void Flush();
    const char* Text() const { return buf_; }
    size_t Size() const { return used_; }

private:
    void Room(size_t n);
    int fd_;
    char buf_[8192];
    size_t used_ = 0;
};

// The stack dump of bytes read from addr: four 32-bit words a line, then the line's characters.
void WriteStackDump(CrashWriter& w, uint64_t addr, const uint8_t* bytes, size_t n);

}  // namespace shell
