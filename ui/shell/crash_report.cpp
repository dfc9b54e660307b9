// Crash report: a fatal signal leaves "ERRORLOG.TXT" (the fault, the system, registers, code bytes,
// stack, a backtrace and the loaded modules) and starts the optional report program.
// Everything the handler does is async-signal-safe: no allocation, no stdio, raw system calls.
#include "ui/shell/crash_report.h"

#include <execinfo.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace shell {

namespace {

constexpr size_t kFlushAbove = 7168;
constexpr size_t kStackMax = 0x3000;

std::atomic<bool> g_firstReport{true};
char g_reportPath[1024];
char g_programPath[1024];
char g_programName[256];
char g_baseName[256];
char g_reportProgram[1024];
char g_location[128];
char g_userName[200] = "Unknown";
long g_gmtOffset = 0;
long g_processors = 0;
char g_altStack[64 * 1024];

void Copy(char* dst, size_t cap, const std::string& src) {
    const size_t n = std::min(cap - 1, src.size());
    std::memcpy(dst, src.data(), n);
    dst[n] = 0;
}

// Reads another part of our own memory without faulting: 0 bytes when it is not readable.
size_t SafeRead(uint64_t addr, void* out, size_t n) {
    struct iovec local {out, n};
    struct iovec remote {reinterpret_cast<void*>(addr), n};
    const ssize_t r = syscall(SYS_process_vm_readv, getpid(), &local, 1, &remote, 1, 0);
    return r > 0 ? static_cast<size_t>(r) : 0;
}

// "m/d/yyyy hh:mm:ss" in local time, from the offset taken at installation.
void WriteTime(CrashWriter& w, time_t t) {
    t += g_gmtOffset;
    long days = static_cast<long>(t / 86400);
    long secs = static_cast<long>(t % 86400);
    if (secs < 0) secs += 86400, --days;
    // Civil date from days since 1970-01-01.
    long z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
    long doe = z - era * 146097, yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long y = yoe + era * 400, doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    long d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
    w.Dec(m), w.Char('/'), w.Dec(d), w.Char('/'), w.Dec(y), w.Char(' ');
    auto two = [&](long v) {
        w.Char(static_cast<char>('0' + v / 10));
        w.Char(static_cast<char>('0' + v % 10));
    };
    two(secs / 3600), w.Char(':'), two(secs / 60 % 60), w.Char(':'), two(secs % 60 / 2 * 2);
}

// One line of /proc/self/maps: start, end, offset, path.
struct MapLine {
    uint64_t start = 0, end = 0, offset = 0;
    char path[512] = {};
};

uint64_t ParseHex(const char*& p) {
    uint64_t v = 0;
    for (;; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') v = v * 16 + (c - '0');
        else if (c >= 'a' && c <= 'f') v = v * 16 + (c - 'a' + 10);
        else break;
    }
    return v;
}

bool ParseMapLine(const char* line, MapLine* m) {
    const char* p = line;
    m->start = ParseHex(p);
    if (*p++ != '-') return false;
    m->end = ParseHex(p);
    while (*p == ' ') ++p;
    while (*p && *p != ' ') ++p;  // permissions
    while (*p == ' ') ++p;
    m->offset = ParseHex(p);
    for (int field = 0; field < 2; ++field) {  // device, inode
        while (*p == ' ') ++p;
        while (*p && *p != ' ') ++p;
    }
    while (*p == ' ') ++p;
    size_t n = 0;
    while (*p && n + 1 < sizeof m->path) m->path[n++] = *p++;
    m->path[n] = 0;
    return true;
}

// Calls f(MapLine) for every mapping of the process, reading with plain system calls.
template <typename F>
void ForEachMapping(F f) {
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[4096], line[1024];
    size_t used = 0;
    ssize_t r;
    while ((r = read(fd, buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < r; ++i) {
            if (buf[i] == '\n') {
                line[used] = 0;
                MapLine m;
                if (ParseMapLine(line, &m) && !f(m)) {
                    close(fd);
                    return;
                }
                used = 0;
            } else if (used + 1 < sizeof line) {
                line[used++] = buf[i];
            }
        }
    }
    close(fd);
}

const char* FilePart(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void WriteSystemInfo(CrashWriter& w) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    w.Str("Error occurred at "), WriteTime(w, now.tv_sec), w.Str(".\r\n");
    w.Str(g_programPath[0] ? g_programPath : "Unknown"), w.Str(", run by "), w.Str(g_userName), w.Str(".\r\n");
    struct utsname u {};
    if (uname(&u) == 0) {
        w.Str("Operating system:  "), w.Str(u.sysname), w.Str(" "), w.Str(u.machine), w.Str(" (");
        w.Str(u.release), w.Str(").\r\n");
    } else {
        w.Str("Operating system:  unknown (0.0.0).\r\n");
    }
    w.Dec(g_processors), w.Str(" processor(s), type "), w.Dec(sizeof(void*) == 8 ? 8664 : 586), w.Str(".\r\n");
    // /proc/meminfo in kB.
    const int fd = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char text[4096];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return;
    text[n] = 0;
    auto field = [&](const char* name) -> uint64_t {
        const char* p = std::strstr(text, name);
        if (!p) return 0;
        p += std::strlen(name);
        while (*p == ' ' || *p == ':') ++p;
        uint64_t v = 0;
        while (*p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0');
        return v;
    };
    const uint64_t total = field("MemTotal"), avail = field("MemAvailable");
    const uint64_t swap = field("SwapTotal"), swapFree = field("SwapFree");
    auto mb = [](uint64_t kb) { return static_cast<int64_t>((kb + 1023) / 1024); };
    w.Dec(total ? static_cast<int64_t>((total - avail) * 100 / total) : 0), w.Str("% memory in use.\r\n");
    w.Dec(mb(total)), w.Str(" MBytes physical memory.\r\n");
    w.Dec(mb(avail)), w.Str(" MBytes physical memory free.\r\n");
    w.Dec(mb(swap)), w.Str(" MBytes paging file.\r\n");
    w.Dec(mb(swapFree)), w.Str(" MBytes paging file free.\r\n");
}

void WriteRegisters(CrashWriter& w, const ucontext_t* uc) {
#if defined(__x86_64__)
    const greg_t* g = uc->uc_mcontext.gregs;
    auto reg = [&](const char* name, int i, bool last) {
        w.Str(name), w.Str("0x"), w.Hex(static_cast<uint64_t>(g[i]), 16), w.Str(last ? "\r\n" : "  ");
    };
    w.Str("\r\nContext:\r\n");
    reg("RDI:    ", REG_RDI, false), reg("RSI: ", REG_RSI, false), reg("RAX:   ", REG_RAX, true);
    reg("RBX:    ", REG_RBX, false), reg("RCX: ", REG_RCX, false), reg("RDX:   ", REG_RDX, true);
    reg("RIP:    ", REG_RIP, false), reg("RBP: ", REG_RBP, false);
    w.Str("SegCs: 0x"), w.Hex(static_cast<uint64_t>(g[REG_CSGSFS]) & 0xffff, 8), w.Str("\r\n");
    reg("EFlags: ", REG_EFL, false), reg("RSP: ", REG_RSP, true);
#else
    (void)uc;
    w.Str("\r\nContext:\r\n(registers of this processor are not written)\r\n");
#endif
}

uint64_t ProgramCounter(const ucontext_t* uc) {
#if defined(__x86_64__)
    return static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
#else
    (void)uc;
    return 0;
#endif
}

uint64_t StackPointer(const ucontext_t* uc) {
#if defined(__x86_64__)
    return static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RSP]);
#else
    (void)uc;
    return 0;
#endif
}

void WriteModules(CrashWriter& w) {
    int number = 1;
    char last[512] = {};
    ForEachMapping([&](const MapLine& m) {
        if (m.path[0] != '/' || m.offset != 0 || std::strcmp(m.path, last) == 0) return true;
        char magic[4];
        if (SafeRead(m.start, magic, 4) != 4 || std::memcmp(magic, "\177ELF", 4) != 0) return true;
        std::memcpy(last, m.path, sizeof last);
        uint64_t end = m.end;
        ForEachMapping([&](const MapLine& o) {
            if (std::strcmp(o.path, m.path) == 0 && o.end > end) end = o.end;
            return true;
        });
        struct stat st {};
        const bool haveFile = stat(m.path, &st) == 0;
        w.Str("Module "), w.Dec(number++), w.Str("\r\n"), w.Str(m.path), w.Str("\r\n");
        w.Str("Image Base: 0x"), w.Hex(m.start, 8), w.Str("  Image Size: 0x"), w.Hex(end - m.start, 8), w.Str("\r\n");
        w.Str("File Size:  "), w.Dec(haveFile ? st.st_size : 0), w.Str("  File Time:  ");
        if (haveFile) WriteTime(w, st.st_mtime);
        w.Str("\r\nVersion Information:\r\n   Company:    \r\n   Product:    \r\n   FileDesc:   \r\n");
        w.Str("   FileVer:    0.0.0.0\r\n   ProdVer:    0.0.0.0\r\n\r\n");
        return true;
    });
}

void Report(int sig, siginfo_t* info, void* context) {
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
    const int fd = open(g_reportPath, O_WRONLY | O_CREAT | O_TRUNC | O_SYNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        static const char msg[] = "Error creating exception report\r\n";
        (void)!write(STDERR_FILENO, msg, sizeof msg - 1);
        return;
    }
    static CrashWriter w(-1);
    w = CrashWriter(fd);
    uint32_t code = 0;
    const char* what = CrashDescription(sig, info ? info->si_code : 0, &code);
    const uint64_t pc = ProgramCounter(uc);
    const char* module = "Unknown";
    static MapLine holder;
    ForEachMapping([&](const MapLine& m) {
        if (pc >= m.start && pc < m.end && m.path[0]) {
            holder = m;
            module = FilePart(holder.path);
            return false;
        }
        return true;
    });
    w.Str(g_baseName), w.Str(" caused "), w.Str(what), w.Str(" (0x"), w.Hex(code, 8), w.Str(") \r\nin module ");
    w.Str(module), w.Str(" at "), w.Hex(pc, 16), w.Str(".\r\n\r\n");
    w.Str("Exception handler called in "), w.Str(g_location), w.Str(".\r\n");
    WriteSystemInfo(w);
    if (sig == SIGSEGV && info && info->si_code > 0) {  // a fault, not a signal sent by kill
        bool writing = false;
#if defined(__x86_64__)
        writing = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#endif
        w.Str(writing ? "Write to" : "Read from"), w.Str(" location ");
        w.Hex(reinterpret_cast<uint64_t>(info->si_addr), 8), w.Str(" caused an access violation.\r\n");
    }
    WriteRegisters(w, uc);
    w.Str("\r\nBytes at CS:EIP:\r\n");
    for (int i = 0; i < 16; ++i) {
        uint8_t b;
        if (SafeRead(pc + i, &b, 1) == 1) w.Hex(b, 2), w.Char(' ');
        else w.Str("?? ");
    }
    // The stack: from the stack pointer to the end of its mapping, at most 0x3000 bytes.
    const uint64_t sp = StackPointer(uc);
    uint64_t stackEnd = sp + kStackMax;
    ForEachMapping([&](const MapLine& m) {
        if (sp >= m.start && sp < m.end) {
            if (m.end < stackEnd) stackEnd = m.end;
            return false;
        }
        return true;
    });
    static uint8_t stack[kStackMax];
    const size_t want = sp && stackEnd > sp ? static_cast<size_t>(stackEnd - sp) : 0;
    const size_t got = want ? SafeRead(sp, stack, want) : 0;
    w.Str("\r\n\r\nStack:\r\n");
    WriteStackDump(w, sp, stack, got);
    if (got < want) w.Str("Exception encountered during stack dump.\r\n");
    w.Str("\r\n");
    // The call chain, symbol names where the modules export them.
    w.Str("Call stack:\r\n");
    w.Flush();
    static void* frames[64];
    const int n = backtrace(frames, 64);
    backtrace_symbols_fd(frames, n, fd);
    w.Str("\r\n");
    WriteModules(w);
    w.Str("\r\n===== [end of ERRORLOG.TXT] =====\r\n");
    w.Flush();
    close(fd);

    if (g_reportProgram[0]) {
        const pid_t child = fork();
        if (child == 0) {
            char* const argv[] = {g_reportProgram, g_programName, nullptr};
            execv(g_reportProgram, argv);
            _exit(127);
        }
    }
}

void Handler(int sig, siginfo_t* info, void* context) {
    if (g_firstReport.exchange(false)) Report(sig, info, context);
    // The system's own handling follows: default action, signal raised again on return.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    if (sig == SIGABRT || (info && info->si_code <= 0)) raise(sig);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
void CrashWriter::Room(size_t n) {
    if (used_ > kFlushAbove || used_ + n >= sizeof buf_) Flush();
}

void CrashWriter::Flush() {
    size_t done = 0;
    while (fd_ >= 0 && done < used_) {
        const ssize_t r = write(fd_, buf_ + done, used_ - done);
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    used_ = 0;
}

void CrashWriter::Str(const char* s) {
    for (; s && *s; ++s) Char(*s);
}

void CrashWriter::Char(char c) {
    Room(1);
    buf_[used_++] = c;
}

void CrashWriter::Hex(uint64_t v, int width) {
    char digits[17];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[v & 15];
        v >>= 4;
    } while (v && n < 16);
    while (n < width && n < 16) digits[n++] = '0';
    while (n) Char(digits[--n]);
}

void CrashWriter::Dec(int64_t v) {
    char digits[21];
    int n = 0;
    const bool neg = v < 0;
    uint64_t u = neg ? static_cast<uint64_t>(-(v + 1)) + 1 : static_cast<uint64_t>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (neg) Char('-');
    while (n) Char(digits[--n]);
}

void WriteStackDump(CrashWriter& w, uint64_t addr, const uint8_t* bytes, size_t n) {
    const size_t words = n / 4;
    for (size_t line = 0; line < words; line += 4) {
        const size_t count = std::min<size_t>(4, words - line);
        w.Str("0x"), w.Hex(addr + line * 4, 8), w.Str(": ");
        for (size_t i = 0; i < count; ++i) {
            uint32_t v;
            std::memcpy(&v, bytes + (line + i) * 4, 4);
            w.Hex(v, 8), w.Char(' ');
        }
        for (size_t i = count; i < 4; ++i) w.Str("         ");
        for (size_t i = 0; i < count * 4; ++i) {
            const uint8_t c = bytes[line * 4 + i];
            w.Char(c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '.');
        }
        w.Str("\r\n");
    }
}

const char* CrashDescription(int sig, int siCode, uint32_t* code) {
    struct Entry {
        int sig, siCode;
        uint32_t code;
        const char* text;
    };
    static const Entry table[] = {
        {SIGSEGV, 0, 0xC0000005, "an Access Violation"},
        {SIGBUS, BUS_ADRALN, 0x80000002, "a Datatype Misalignment"},
        {SIGBUS, 0, 0xC0000006, "an In Page Error"},
        {SIGFPE, FPE_INTDIV, 0xC0000094, "an Integer Divide by Zero"},
        {SIGFPE, FPE_INTOVF, 0xC0000095, "an Integer Overflow"},
        {SIGFPE, FPE_FLTDIV, 0xC000008E, "a Float Divide by Zero"},
        {SIGFPE, FPE_FLTOVF, 0xC0000091, "a Float Overflow"},
        {SIGFPE, FPE_FLTUND, 0xC0000093, "a Float Underflow"},
        {SIGFPE, FPE_FLTRES, 0xC000008F, "a Float Inexact Result"},
        {SIGFPE, 0, 0xC0000090, "a Float Invalid Operation"},
        {SIGILL, ILL_PRVOPC, 0xC0000096, "a Privileged Instruction"},
        {SIGILL, 0, 0xC000001D, "an Illegal Instruction"},
        {SIGTRAP, 0, 0x80000003, "a Breakpoint"},
    };
    for (const Entry& e : table) {
        if (e.sig != sig || (e.siCode != 0 && e.siCode != siCode)) continue;
        *code = e.code;
        return e.text;
    }
    *code = 0;
    return "an Unknown exception type";
}

void InstallCrashReport(const std::string& folder, const std::string& programPath, const std::string& reportProgram,
                        const std::string& location) {
    Copy(g_reportPath, sizeof g_reportPath, folder + "/ERRORLOG.TXT");
    Copy(g_programPath, sizeof g_programPath, programPath);
    Copy(g_programName, sizeof g_programName, FilePart(g_programPath));
    Copy(g_baseName, sizeof g_baseName, g_programName);
    if (char* dot = std::strrchr(g_baseName, '.')) *dot = 0;
    Copy(g_reportProgram, sizeof g_reportProgram, reportProgram);
    Copy(g_location, sizeof g_location, location);
    if (const passwd* pw = getpwuid(getuid())) Copy(g_userName, sizeof g_userName, pw->pw_name);
    const time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local)) g_gmtOffset = local.tm_gmtoff;
    g_processors = sysconf(_SC_NPROCESSORS_ONLN);
    // The first backtrace loads the unwinder; later calls in the handler do not allocate.
    void* warm[2];
    backtrace(warm, 2);

    stack_t ss {};
    ss.ss_sp = g_altStack;
    ss.ss_size = sizeof g_altStack;
    sigaltstack(&ss, nullptr);
    struct sigaction sa {};
    sa.sa_sigaction = Handler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) sigaction(sig, &sa, nullptr);
    g_firstReport = true;
}

}  // namespace shell
