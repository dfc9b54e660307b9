// Crash report: a fatal signal leaves "ERRORLOG.TXT" (the fault, the system, registers, code bytes,
// stack and the loaded modules), then "CRASH.DMP" (the call chain as module and offset,
// the raw stack and the mappings, for a debugger), and starts the optional report program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace shell {

// Installs the handler for SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT and SIGTRAP on an alternate
// stack. The report goes to <folder>/ERRORLOG.TXT and the dump to <folder>/CRASH.DMP; reportProgram (empty: none) is started with the
// program's file name as its only argument and not waited for. The signal then takes its default
// course, so the exit status still tells the crash.
void InstallCrashReport(const std::string& folder, const std::string& programPath, const std::string& reportProgram,
                        const std::string& location = "ExceptionAttacher - AfxWinMain");

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

// Reads the local zone's offsets from UTC (from 1970 to twenty years ahead) for WriteCrashTime, which
// runs in the signal handler where the C library's local time may not be used. InstallCrashReport
// calls it.
void TakeCrashTimeZone();
// An instant as "m/d/yyyy hh:mm:ss" (seconds in steps of two) in the local time of that instant.
void WriteCrashTime(CrashWriter& w, time_t t);

// The stack dump of bytes read from addr: four 32-bit words a line, then the line's characters.
void WriteStackDump(CrashWriter& w, uint64_t addr, const uint8_t* bytes, size_t n);

// The version information of one module file, read in the constructor with plain system calls and no
// allocation (the crash report uses it from its signal handler). A module of this program carries its
// own version block, the ELF note "Tessaly" of type 1 ("Name=value" texts: CompanyName, ProductName,
// FileDescription, FileVersion, ProductVersion). A module without one takes its file version from the
// numbers after ".so." in its file name and the rest from the package that installed it: the package
// name as product, its maintainer as company, the first line of its description and its version. File
// OS, type and subtype are the ELF header's OS ABI, type and machine.
class CModuleVersion {
public:
    explicit CModuleVersion(const char* modulePath);
    ~CModuleVersion() { Release(); }
    CModuleVersion(const CModuleVersion&) = delete;
    CModuleVersion& operator=(const CModuleVersion&) = delete;

    int GetFileVersion(uint16_t version[4]) const;
    int GetProductVersion(uint16_t version[4]) const;
    int GetFileFlags(uint32_t* value) const;
    int GetFileOS(uint32_t* value) const;
    int GetFileType(uint32_t* value) const;
    int GetFileSubtype(uint32_t* value) const;
    // The buffer is cleared and gets at most size - 2 characters and a terminator; 0 without a buffer.
    int GetCompanyName(char* buffer, size_t size) const;
    int GetProductName(char* buffer, size_t size) const;
    int GetFileDescription(char* buffer, size_t size) const;
    // Frees the version block.
    void Release();
    // Whether the module carried its own version block.
    bool HasVersionBlock() const { return blockSize_ > 0; }

    // The package database read for modules without a version block (default "/var/lib/dpkg").
    static void SetPackageDatabase(const char* adminFolder);

private:
    void ReadElf();
    void ReadPackage();
    char block_[2048] = {};
    size_t blockSize_ = 0;
    bool haveFixed_ = false;  // the versions and numbers were read
    uint16_t fileVersion_[4] = {}, productVersion_[4] = {};
    uint32_t fileFlags_ = 0, fileOS_ = 0, fileType_ = 0, fileSubtype_ = 0;
    char path_[520] = {};
    char company_[520] = {}, product_[520] = {}, description_[520] = {};
};

// The numbers of a version text ("1:2.36-9" gives 2.36.0.0: no epoch, the upstream part up to the
// first character that is neither a digit nor a dot); false when it starts with no number.
bool ParseVersionNumbers(const char* text, uint16_t out[4]);

}  // namespace shell
