// Trace log: the filtered printer every module calls, per-module levels and the log-file writer.
#pragma once

#include <atomic>
#include <cstdint>

// Module numbers are below MOD_MAX_NUM; levels run from DBG_NONE (always shown when
// tracing is on) to DBG_LOW (most detailed).
constexpr unsigned MOD_MAX_NUM = 256;
constexpr int DBG_NONE = 0;
constexpr int DBG_LOW = 3;

// Module numbers of the module table (the names are the "usrcfg.ini" keys and line prefixes).
enum : unsigned {
    MOD_SYSTEM = 0,
    MOD_FSM = 1,
    MOD_SIP = 2,
    MOD_CM = 3,
    MOD_CC = 4,
    MOD_QZ = 5,
    MOD_PROFILE = 6,
    MOD_BOOTSTRAP = 7,
    MOD_UPDATE = 8,
    MOD_PRESENCE = 9,
    MOD_ADDRBOOK = 10,
    MOD_AS = 11,
    MOD_QGROUP = 12,
};

// One row of the module table; the table ends with a row whose name is null.
struct DebugModuleRow {
    const char* name;
    unsigned module;
    unsigned reserved;  // always 0
};
extern const DebugModuleRow g_debugModuleTable[];

// A formatted line holds at most this many characters (the buffer is one larger plus one spare).
constexpr int DEBUG_LINE_MAX = 1022;

// Output function: receives the module number and the formatted line.
using DebugOutputFn = void (*)(unsigned module, const char* text);

// Process-wide trace configuration. Written at start (LoadDebugConfig) and read from every
// thread; atomics keep those reads well-defined without a lock on the trace path.
extern std::atomic<int32_t> debug_enable;          // 0: nothing is printed at all
extern std::atomic<int32_t> debug_all;             // global threshold
extern std::atomic<DebugOutputFn> g_debugOutput;   // installed output function, or null

// Sets every module level to 0 and marks the module initialised; returns 0.
int DebugInit();
// Stores a module's level; a bad module number or level writes a failed-check line instead.
void DebugSetModLevel(unsigned id, int lvl);
// The current level of a module (0 for a module number out of range).
unsigned DebugGetModLevel(unsigned id);

// The printer: filters by debug_enable, debug_all and the module level, formats the line
// (cut to DEBUG_LINE_MAX characters) and hands it to the output function. Returns the number
// of characters formatted, 0 when the line was filtered out.
int DebugTrace(unsigned module, unsigned level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Log-file writer: "YYYY/MM/DD hh:mm:ss    " then "NAME: text\n" (or "text\n" for a module
// without a table row), flushed. Writes only while the trace log is open.
void WriteTraceToLogFile(unsigned module, const char* text);

// Opens the trace log for writing (emptying it) and installs WriteTraceToLogFile as the output
// function. Returns false when the file cannot be opened (nothing is installed then).
bool OpenTraceLog(const char* path);
// Closes the trace log; later lines are dropped by the writer.
void CloseTraceLog();

// Reads section `debug` of the given "usrcfg.ini": debug_enable, debug_all and one level per
// module-table row (keys are the row names, default 0).
void LoadDebugConfig(const char* usrcfgPath);

