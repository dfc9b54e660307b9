// Trace log: module table, level filter, line formatting and the time-stamped log-file writer.
#include "common/debug.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fs.h"
#include "platform/ini.h"

const DebugModuleRow g_debugModuleTable[] = {
    {"SYSTEM", MOD_SYSTEM, 0},
    {"FSM", MOD_FSM, 0},
    {"CM", MOD_CM, 0},
    {"CC", MOD_CC, 0},
    {"SIP", MOD_SIP, 0},
    {"QZ", MOD_QZ, 0},
    {"PROFILE", MOD_PROFILE, 0},
    {"BOOTSTRAP", MOD_BOOTSTRAP, 0},
    {"UPDATE", MOD_UPDATE, 0},
    {"PRESENCE", MOD_PRESENCE, 0},
    {"ADDRBOOK", MOD_ADDRBOOK, 0},
    {"MOD_AS", MOD_AS, 0},
    {"QGROUP", MOD_QGROUP, 0},
    {nullptr, 0, 0},
};

std::atomic<int32_t> debug_enable{0};
std::atomic<int32_t> debug_all{0};
std::atomic<DebugOutputFn> g_debugOutput{nullptr};

namespace {

std::atomic<uint32_t> g_modLevels[MOD_MAX_NUM];
std::atomic<uint32_t> g_debugInitialised{0};

// The log file and the lock that keeps one line's stamp and text together and makes
// closing safe against writers on other threads.
std::mutex g_logMutex;
FILE* g_logFile = nullptr;

const char* const kSourceName = "common/debug";

void ReportFailedCheck(const char* condition, int line) {
    DebugTrace(MOD_SYSTEM, DBG_NONE, "!---: ASSERT(%s) FAILED!\n%s #%d\n", condition, kSourceName, line);
}

}  // namespace

int DebugInit() {
    for (auto& level : g_modLevels) level.store(0, std::memory_order_relaxed);
    g_debugInitialised.store(1);
    return 0;
}

void DebugSetModLevel(unsigned id, int lvl) {
    if (!(id < MOD_MAX_NUM)) {
        ReportFailedCheck("id<MOD_MAX_NUM", __LINE__);
        return;
    }
    if (!(lvl >= DBG_NONE && lvl <= DBG_LOW)) {
        ReportFailedCheck("lvl>=DBG_NONE && lvl<=DBG_LOW", __LINE__);
        return;
    }
    g_modLevels[id].store(static_cast<uint32_t>(lvl), std::memory_order_relaxed);
}

unsigned DebugGetModLevel(unsigned id) {
    return id < MOD_MAX_NUM ? g_modLevels[id].load(std::memory_order_relaxed) : 0;
}

int DebugTrace(unsigned module, unsigned level, const char* format, ...) {
    if (debug_enable.load(std::memory_order_relaxed) == 0) return 0;
    // The module number is checked before the filter reads its entry of the level table.
    if (module >= MOD_MAX_NUM) return 0;
    if (debug_all.load(std::memory_order_relaxed) < static_cast<int32_t>(level) &&
        g_modLevels[module].load(std::memory_order_relaxed) < level)
        return 0;
    // Outside the levels a line can have: nothing is formatted.
    if (level > static_cast<unsigned>(DBG_LOW)) return 0;
    if (!format) return 0;

    // One spare byte beyond the longest line: a longer line is cut to DEBUG_LINE_MAX characters.
    char buffer[DEBUG_LINE_MAX + 2];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) return 0;
    if (length > DEBUG_LINE_MAX) {
        buffer[DEBUG_LINE_MAX] = '\0';
        length = DEBUG_LINE_MAX;
    }
    DebugOutputFn output = g_debugOutput.load();
    if (output) output(module, buffer);
    return length;
}

void WriteTraceToLogFile(unsigned module, const char* text) {
    if (!text) return;
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);

    const char* name = nullptr;
    for (const DebugModuleRow* row = g_debugModuleTable; row->name; ++row) {
        if (row->module == module) {
            name = row->name;
            break;
        }
    }

    std::lock_guard<std::mutex> lock(g_logMutex);
    if (!g_logFile) return;
    fprintf(g_logFile, "%04d/%02d/%02d %02d:%02d:%02d    ", local.tm_year + 1900, local.tm_mon + 1,
            local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (name)
        fprintf(g_logFile, "%s: %s\n", name, text);
    else
        fprintf(g_logFile, "%s\n", text);
    fflush(g_logFile);
}

bool OpenTraceLog(const char* path) {
    if (!path) return false;
    // Only a regular file is a log: a FIFO or device in its place must neither hold the start nor be
    // written. The log is the user's alone (it holds names and numbers).
    const int fd = plat::OpenRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0) return false;
    FILE* file = fdopen(fd, "w");
    if (!file) {
        ::close(fd);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        if (g_logFile) fclose(g_logFile);
        g_logFile = file;
    }
    g_debugOutput.store(&WriteTraceToLogFile);
    return true;
}

void CloseTraceLog() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_logFile) {
        fclose(g_logFile);
        g_logFile = nullptr;
    }
}

void LoadDebugConfig(const char* usrcfgPath) {
    DebugInit();
    const char* file = usrcfgPath ? usrcfgPath : "";
    debug_enable.store(static_cast<int32_t>(GetPrivateProfileIntA("debug", "debug_enable", 0, file)));
    debug_all.store(static_cast<int32_t>(GetPrivateProfileIntA("debug", "debug_all", 0, file)));
    for (const DebugModuleRow* row = g_debugModuleTable; row->name; ++row) {
        int level = static_cast<int>(GetPrivateProfileIntA("debug", row->name, 0, file));
        DebugSetModLevel(row->module, level);
    }
}
