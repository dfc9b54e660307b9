// Crash report: a fatal signal leaves "ERRORLOG.TXT" (the fault, the system, registers, code bytes,
// stack and the loaded modules) and "CRASH.DMP", and starts the optional report program.
// Everything the handler does is async-signal-safe: no allocation, no stdio, raw system calls.
#include "ui/shell/crash_report.h"

#include <execinfo.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <dirent.h>

#include <atomic>
#include <cstring>

namespace shell {

namespace {

constexpr size_t kFlushAbove = 7168;
constexpr size_t kStackMax = 0x3000;

std::atomic<bool> g_firstReport{true};
char g_reportPath[1024];
char g_dumpPath[1024];
char g_programPath[1024];
char g_programName[256];
char g_baseName[256];
char g_reportProgram[1024];
char g_location[128];
char g_userName[200] = "Unknown";
// The local zone's offsets from UTC, each from the instant it starts, oldest first (localtime_r is
// not safe in a signal handler, so the zone is read at installation).
struct ZoneChange {
    time_t from;
    long offset;
};
constexpr int kZoneChanges = 2048;
ZoneChange g_zone[kZoneChanges];
int g_zoneCount = 0;
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

long OffsetAt(time_t t) {
    if (g_zoneCount == 0) return 0;
    int lo = 0, hi = g_zoneCount - 1;  // the last change at or before t; the first holds for all before it
    while (lo < hi) {
        const int mid = (lo + hi + 1) / 2;
        if (g_zone[mid].from <= t) lo = mid;
        else hi = mid - 1;
    }
    return g_zone[lo].offset;
}

}  // namespace

// "m/d/yyyy hh:mm:ss" in the local time of that instant.
void WriteCrashTime(CrashWriter& w, time_t t) {
    t += OffsetAt(t);
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

void TakeCrashTimeZone() {
    auto offsetOf = [](time_t t, long* offset) {
        struct tm local {};
        if (!localtime_r(&t, &local)) return false;
        *offset = local.tm_gmtoff;
        return true;
    };
    g_zoneCount = 0;
    long previous = 0;
    if (!offsetOf(0, &previous)) return;
    g_zone[g_zoneCount++] = {0, previous};
    // Day by day from 1970 to twenty years ahead; each change is then found to the second.
    constexpr time_t kDay = 86400;
    const time_t end = time(nullptr) + 20 * 366 * kDay;
    for (time_t t = kDay; t <= end && g_zoneCount < kZoneChanges; t += kDay) {
        long offset;
        if (!offsetOf(t, &offset) || offset == previous) continue;
        time_t lo = t - kDay, hi = t;  // lo still has the previous offset
        while (hi - lo > 1) {
            const time_t mid = lo + (hi - lo) / 2;
            long o;
            if (offsetOf(mid, &o) && o == previous) lo = mid;
            else hi = mid;
        }
        g_zone[g_zoneCount++] = {hi, offset};
        previous = offset;
    }
}

namespace {

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
    w.Str("Error occurred at "), WriteCrashTime(w, now.tv_sec), w.Str(".\r\n");
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
    // The user address space: what the process may map (the address-space limit, else the processor's
    // user half) and what of it is not mapped now.
    uint64_t space = sizeof(void*) == 8 ? (uint64_t{1} << 47) : (uint64_t{3} << 30);
    struct rlimit limit {};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < space)
        space = limit.rlim_cur;
    uint64_t mapped = 0;
    ForEachMapping([&](const MapLine& m) {
        if (m.end > m.start && m.start < space) mapped += std::min(m.end, space) - m.start;
        return true;
    });
    auto mbBytes = [](uint64_t bytes) { return static_cast<int64_t>((bytes + (1u << 20) - 1) >> 20); };
    w.Dec(mbBytes(space)), w.Str(" MBytes user address space.\r\n");
    w.Dec(mbBytes(space - std::min(mapped, space))), w.Str(" MBytes user address space free.\r\n");
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

// A module's version information, each text read with a buffer of 199 characters.
void WriteVersionInfo(CrashWriter& w, const char* path) {
    CModuleVersion version(path);
    char text[199];
    uint16_t v[4];
    auto four = [&](const uint16_t n[4]) {
        w.Dec(n[0]), w.Char('.'), w.Dec(n[1]), w.Char('.'), w.Dec(n[2]), w.Char('.'), w.Dec(n[3]);
    };
    w.Str("Version Information:\r\n");
    version.GetCompanyName(text, sizeof text), w.Str("   Company:    "), w.Str(text), w.Str("\r\n");
    version.GetProductName(text, sizeof text), w.Str("   Product:    "), w.Str(text), w.Str("\r\n");
    version.GetFileDescription(text, sizeof text), w.Str("   FileDesc:   "), w.Str(text), w.Str("\r\n");
    version.GetFileVersion(v), w.Str("   FileVer:    "), four(v), w.Str("\r\n");
    version.GetProductVersion(v), w.Str("   ProdVer:    "), four(v), w.Str("\r\n");
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
        w.Str("File Size:  ");
        const int64_t size = haveFile ? st.st_size : 0;
        w.Dec(size);
        int width = 1;
        for (int64_t v = size; v >= 10; v /= 10) ++width;
        for (; width < 10; ++width) w.Char(' ');  // left-aligned in ten places
        w.Str("  File Time:  ");
        if (haveFile) WriteCrashTime(w, st.st_mtime);
        w.Str("\r\n");
        WriteVersionInfo(w, m.path);
        w.Str("\r\n");
        return true;
    });
}

// "CRASH.DMP", the debugger's part: the signal, the program counter and the stack pointer, each frame of
// the call chain with its module and the offset in that module's file (what addr2line takes), the raw
// stack words and the process's mappings as the kernel lists them. Plain system calls only.
void WriteCrashDump(int sig, uint64_t pc, uint64_t sp, const uint8_t* stack, size_t stackBytes, void* const* frames, int n) {
    const int fd = open(g_dumpPath, O_WRONLY | O_CREAT | O_TRUNC | O_SYNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    static CrashWriter w(-1);
    w = CrashWriter(fd);
    w.Str("Tessaly crash dump 1\n"), w.Str("program "), w.Str(g_programPath), w.Str("\nsignal "), w.Dec(sig);
    w.Str("\npc 0x"), w.Hex(pc, 16), w.Str("\nsp 0x"), w.Hex(sp, 16), w.Str("\n\nframes\n");
    for (int i = 0; i < n; ++i) {
        const uint64_t addr = reinterpret_cast<uint64_t>(frames[i]);
        w.Str("0x"), w.Hex(addr, 16);
        ForEachMapping([&](const MapLine& m) {
            if (addr < m.start || addr >= m.end) return true;
            w.Str(" "), w.Str(m.path[0] ? m.path : "?"), w.Str(" +0x"), w.Hex(addr - m.start + m.offset, 1);
            return false;
        });
        w.Str("\n");
    }
    w.Str("\nstack\n");
    for (size_t i = 0; i + 8 <= stackBytes; i += 8) {
        uint64_t word;
        std::memcpy(&word, stack + i, 8);
        w.Str("0x"), w.Hex(sp + i, 16), w.Str(" 0x"), w.Hex(word, 16), w.Str("\n");
    }
    w.Str("\nmaps\n");
    w.Flush();
    const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps >= 0) {
        char buf[4096];
        ssize_t r;
        while ((r = read(maps, buf, sizeof buf)) > 0)
            if (write(fd, buf, static_cast<size_t>(r)) != r) break;
        close(maps);
    }
    close(fd);
}

void Report(int sig, siginfo_t* info, void* context) {
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
    // Only a regular file takes the report: a FIFO in its place would hold the dying program for ever.
    // (Calls safe in a signal handler only.)
    int fd = open(g_reportPath, O_WRONLY | O_CREAT | O_SYNC | O_CLOEXEC | O_NONBLOCK, 0600);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ftruncate(fd, 0) != 0 ||
                    fcntl(fd, F_SETFL, O_SYNC) != 0)) {
        close(fd);
        fd = -1;
    }
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
    // The call chain goes to the debugger's dump.
    static void* frames[64];
    const int n = backtrace(frames, 64);
    WriteModules(w);
    w.Str("\r\n===== [end of ERRORLOG.TXT] =====\r\n");
    w.Flush();
    close(fd);
    WriteCrashDump(sig, pc, sp, stack, got, frames, n);

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
    // The system's own handling follows: the default action ends the process when the handler returns.
    // The signal is raised again in every case: after a breakpoint (int3) the program would go on.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig);
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
    Copy(g_dumpPath, sizeof g_dumpPath, folder + "/CRASH.DMP");
    Copy(g_programPath, sizeof g_programPath, programPath);
    Copy(g_programName, sizeof g_programName, FilePart(g_programPath));
    Copy(g_baseName, sizeof g_baseName, g_programName);
    if (char* dot = std::strrchr(g_baseName, '.')) *dot = 0;
    Copy(g_reportProgram, sizeof g_reportProgram, reportProgram);
    Copy(g_location, sizeof g_location, location);
    if (const passwd* pw = getpwuid(getuid())) Copy(g_userName, sizeof g_userName, pw->pw_name);
    TakeCrashTimeZone();
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

// ---------------------------------------------------------------------------------------------
// CModuleVersion: plain system calls and fixed buffers only.

namespace {

char g_packageFolder[256] = "/var/lib/dpkg";

size_t Length(const char* s, size_t cap) {
    size_t n = 0;
    while (n < cap && s[n]) ++n;
    return n;
}

void CopyText(char* dst, size_t cap, const char* src, size_t n) {
    if (!cap) return;
    if (n > cap - 1) n = cap - 1;
    std::memcpy(dst, src, n);
    dst[n] = 0;
}

bool StartsWith(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

// Reads a file line by line into a fixed buffer; a longer line is cut.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    // False at the end of the file.
    bool Next(char* line, size_t cap) {
        size_t n = 0;
        bool any = false;
        for (;;) {
            if (pos_ == end_) {
                const ssize_t r = fd_ >= 0 ? read(fd_, buf_, sizeof buf_) : -1;
                if (r <= 0) {
                    line[n] = 0;
                    return any;
                }
                pos_ = 0, end_ = static_cast<size_t>(r);
            }
            const char c = buf_[pos_++];
            any = true;
            if (c == '\n') break;
            if (n + 1 < cap) line[n++] = c;
        }
        if (n && line[n - 1] == '\r') --n;
        line[n] = 0;
        return true;
    }

private:
    int fd_;
    char buf_[4096];
    size_t pos_ = 0, end_ = 0;
};

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) { return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24; }
uint64_t Get64(const uint8_t* p) { return Get32(p) | static_cast<uint64_t>(Get32(p + 4)) << 32; }

bool ReadAt(int fd, uint64_t offset, void* out, size_t n) {
    return pread(fd, out, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
}

// The value of "key=" in a block of NUL-separated texts.
const char* BlockValue(const char* block, size_t size, const char* key) {
    const size_t keyLength = std::strlen(key);
    size_t i = 0;
    while (i < size) {
        const char* entry = block + i;
        const size_t n = Length(entry, size - i);
        if (n > keyLength && std::strncmp(entry, key, keyLength) == 0 && entry[keyLength] == '=') return entry + keyLength + 1;
        i += n + 1;
    }
    return nullptr;
}

// True when a line of a package's file list names the module (a merged /usr lists "/lib/..." for
// what is loaded from "/usr/lib/...").
bool ListNames(const char* line, const char* path) {
    if (std::strcmp(line, path) == 0) return true;
    return StartsWith(path, "/usr/") && std::strcmp(line, path + 4) == 0;
}

}  // namespace

bool ParseVersionNumbers(const char* text, uint16_t out[4]) {
    for (int i = 0; i < 4; ++i) out[i] = 0;
    if (!text) return false;
    const char* colon = std::strchr(text, ':');
    if (colon) {  // an epoch is digits before the first colon
        const char* p = text;
        while (p < colon && *p >= '0' && *p <= '9') ++p;
        if (p == colon && p != text) text = colon + 1;
    }
    if (*text < '0' || *text > '9') return false;
    int part = 0;
    uint32_t value = 0;
    for (const char* p = text;; ++p) {
        if (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<uint32_t>(*p - '0');
            if (value > 0xFFFF) value = 0xFFFF;
            continue;
        }
        out[part++] = static_cast<uint16_t>(value);
        value = 0;
        if (*p != '.' || part == 4 || p[1] < '0' || p[1] > '9') break;
    }
    return true;
}

void CModuleVersion::SetPackageDatabase(const char* adminFolder) {
    CopyText(g_packageFolder, sizeof g_packageFolder, adminFolder ? adminFolder : "", adminFolder ? std::strlen(adminFolder) : 0);
}

CModuleVersion::CModuleVersion(const char* modulePath) {
    if (!modulePath) return;
    CopyText(path_, sizeof path_, modulePath, Length(modulePath, 518));
    ReadElf();
    if (blockSize_ > 0) {
        auto text = [&](const char* key, char* out) {
            if (const char* v = BlockValue(block_, blockSize_, key)) CopyText(out, 520, v, Length(v, 519));
        };
        text("CompanyName", company_);
        text("ProductName", product_);
        text("FileDescription", description_);
        ParseVersionNumbers(BlockValue(block_, blockSize_, "FileVersion"), fileVersion_);
        ParseVersionNumbers(BlockValue(block_, blockSize_, "ProductVersion"), productVersion_);
        return;
    }
    // No block of its own: the numbers of the file name, the rest from the package.
    const char* file = FilePart(path_);
    if (const char* so = std::strstr(file, ".so.")) ParseVersionNumbers(so + 4, fileVersion_);
    ReadPackage();
    if (fileVersion_[0] == 0 && fileVersion_[1] == 0 && fileVersion_[2] == 0 && fileVersion_[3] == 0)
        for (int i = 0; i < 4; ++i) fileVersion_[i] = productVersion_[i];
}

void CModuleVersion::ReadElf() {
    const int fd = open(path_, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    uint8_t h[64];
    if (!ReadAt(fd, 0, h, sizeof h) || std::memcmp(h, "\177ELF", 4) != 0 || h[5] != 1 /* little endian */) {
        close(fd);
        return;
    }
    const bool wide = h[4] == 2;
    haveFixed_ = true;
    fileOS_ = h[7];
    fileType_ = Get16(h + 16);
    fileSubtype_ = Get16(h + 18);
    const uint64_t shoff = wide ? Get64(h + 0x28) : Get32(h + 0x20);
    const uint16_t shentsize = Get16(h + (wide ? 0x3A : 0x2E));
    const uint16_t shnum = Get16(h + (wide ? 0x3C : 0x30));
    if (shoff == 0 || shentsize < (wide ? 0x28 : 0x18) || shentsize > 256) {
        close(fd);
        return;
    }
    for (uint16_t i = 0; i < shnum && blockSize_ == 0; ++i) {
        uint8_t sh[64];
        if (!ReadAt(fd, shoff + static_cast<uint64_t>(i) * shentsize, sh, wide ? 0x28 : 0x18)) break;
        if (Get32(sh + 4) != 7 /* SHT_NOTE */) continue;
        const uint64_t offset = wide ? Get64(sh + 0x18) : Get32(sh + 0x10);
        uint64_t size = wide ? Get64(sh + 0x20) : Get32(sh + 0x14);
        uint8_t notes[4096];
        if (size > sizeof notes) size = sizeof notes;
        if (size < 12 || !ReadAt(fd, offset, notes, static_cast<size_t>(size))) continue;
        // Each note: name size, description size, type, then the name and the description, each padded to 4.
        for (uint64_t at = 0; at + 12 <= size;) {
            const uint32_t namesz = Get32(notes + at), descsz = Get32(notes + at + 4), type = Get32(notes + at + 8);
            const uint64_t name = at + 12, desc = name + ((static_cast<uint64_t>(namesz) + 3) & ~3ull);
            const uint64_t next = desc + ((static_cast<uint64_t>(descsz) + 3) & ~3ull);
            if (namesz > size || descsz > size || next > size) break;
            if (type == 1 && namesz == 8 && std::memcmp(notes + name, "Tessaly", 8) == 0) {
                blockSize_ = descsz < sizeof block_ - 1 ? descsz : sizeof block_ - 1;
                std::memcpy(block_, notes + desc, blockSize_);
                block_[blockSize_] = 0;
                break;
            }
            at = next;
        }
    }
    close(fd);
}

void CModuleVersion::ReadPackage() {
    char folder[320];
    const size_t base = Length(g_packageFolder, 250);
    std::memcpy(folder, g_packageFolder, base);
    std::memcpy(folder + base, "/info", 6);
    const int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    // The package whose file list names the module: "name.list" or "name:arch.list".
    char package[256] = {}, arch[64] = {};
    char entries[4096];
    char line[1024];
    for (long n; !package[0] && (n = syscall(SYS_getdents64, dir, entries, sizeof entries)) > 0;) {
        for (long at = 0; at < n && !package[0];) {
            const auto* d = reinterpret_cast<const struct dirent64*>(entries + at);
            at += d->d_reclen;
            const size_t len = Length(d->d_name, 255);
            if (len < 6 || std::strcmp(d->d_name + len - 5, ".list") != 0) continue;
            const int fd = openat(dir, d->d_name, O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            LineReader lines(fd);
            while (lines.Next(line, sizeof line)) {
                if (!ListNames(line, path_)) continue;
                const char* colon = static_cast<const char*>(std::memchr(d->d_name, ':', len - 5));
                const size_t nameLength = colon ? static_cast<size_t>(colon - d->d_name) : len - 5;
                CopyText(package, sizeof package, d->d_name, nameLength);
                if (colon) CopyText(arch, sizeof arch, colon + 1, len - 5 - nameLength - 1);
                break;
            }
            close(fd);
        }
    }
    close(dir);
    if (!package[0]) return;
    CopyText(product_, sizeof product_, package, std::strlen(package));
    // Its paragraph of the status file: maintainer, version and the description's first line.
    std::memcpy(folder + base, "/status", 8);
    const int fd = open(folder, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    LineReader lines(fd);
    bool mine = false, archOk = !arch[0];
    char maintainer[520] = {}, version[128] = {}, description[520] = {};
    for (bool more = true; more;) {
        more = lines.Next(line, sizeof line);
        if (!more || !line[0]) {  // the paragraph's end
            if (mine && archOk) {
                CopyText(company_, sizeof company_, maintainer, std::strlen(maintainer));
                CopyText(description_, sizeof description_, description, std::strlen(description));
                ParseVersionNumbers(version, productVersion_);
                break;
            }
            mine = false, archOk = !arch[0];
            continue;
        }
        if (StartsWith(line, "Package: ")) {
            mine = std::strcmp(line + 9, package) == 0;
            maintainer[0] = version[0] = description[0] = 0;
        } else if (!mine) {
            continue;
        } else if (StartsWith(line, "Architecture: ")) {
            archOk = !arch[0] || std::strcmp(line + 14, arch) == 0 || std::strcmp(line + 14, "all") == 0;
        } else if (StartsWith(line, "Maintainer: ")) {
            CopyText(maintainer, sizeof maintainer, line + 12, std::strlen(line + 12));
        } else if (StartsWith(line, "Version: ")) {
            CopyText(version, sizeof version, line + 9, std::strlen(line + 9));
        } else if (StartsWith(line, "Description: ")) {
            CopyText(description, sizeof description, line + 13, std::strlen(line + 13));
        }
    }
    close(fd);
}

int CModuleVersion::GetFileVersion(uint16_t version[4]) const {
    for (int i = 0; i < 4; ++i) version[i] = fileVersion_[i];
    return 1;
}

int CModuleVersion::GetProductVersion(uint16_t version[4]) const {
    for (int i = 0; i < 4; ++i) version[i] = productVersion_[i];
    return 1;
}

int CModuleVersion::GetFileFlags(uint32_t* value) const { return value ? (*value = fileFlags_, 1) : 0; }
int CModuleVersion::GetFileOS(uint32_t* value) const { return value ? (*value = fileOS_, 1) : 0; }
int CModuleVersion::GetFileType(uint32_t* value) const { return value ? (*value = fileType_, 1) : 0; }
int CModuleVersion::GetFileSubtype(uint32_t* value) const { return value ? (*value = fileSubtype_, 1) : 0; }

namespace {
int GiveText(const char* text, char* buffer, size_t size) {
    if (!buffer || size == 0) return 0;
    std::memset(buffer, 0, size);
    if (size >= 2) CopyText(buffer, size - 1, text, Length(text, 519));
    return 1;
}
}  // namespace

int CModuleVersion::GetCompanyName(char* buffer, size_t size) const { return GiveText(company_, buffer, size); }
int CModuleVersion::GetProductName(char* buffer, size_t size) const { return GiveText(product_, buffer, size); }
int CModuleVersion::GetFileDescription(char* buffer, size_t size) const { return GiveText(description_, buffer, size); }

void CModuleVersion::Release() {
    std::memset(block_, 0, sizeof block_);
    blockSize_ = 0;
}

// This program's own version block.
namespace {
struct VersionNote {
    uint32_t namesz, descsz, type;
    char name[8];
    char desc[136];
};
constexpr char kVersionBlock[] =
    "CompanyName=Tessaly\0ProductName=Tessaly\0FileDescription=Tessaly communicator\0"
    "FileVersion=0.9.6.0\0ProductVersion=0.9.6.0\0";
static_assert(sizeof kVersionBlock <= sizeof(VersionNote::desc));
constexpr VersionNote MakeNote() {
    VersionNote n{8, sizeof(VersionNote::desc), 1, {'T', 'e', 's', 's', 'a', 'l', 'y', 0}, {}};
    for (size_t i = 0; i < sizeof kVersionBlock; ++i) n.desc[i] = kVersionBlock[i];
    return n;
}
}  // namespace
[[gnu::used, gnu::section(".note.tessaly.version"), gnu::aligned(4)]] const VersionNote g_versionNote = MakeNote();

}  // namespace shell
