// Call log of the signed-in user: the newest 128 calls in memory and in "calllog.dat".
#pragma once

#include <cstddef>
#include <cstdint>

// Type flags.
inline constexpr uint32_t CALLLOG_OUTGOING = 1;
inline constexpr uint32_t CALLLOG_INCOMING = 2;  // answered
inline constexpr uint32_t CALLLOG_MISSED = 4;
inline constexpr uint32_t CALLLOG_ALL = 0xFFFFFFFFu;

inline constexpr int CALLLOG_MAX_ENTRIES = 128;
inline constexpr size_t CALLLOG_RECORD_SIZE = 148;

// One call-log record. The file stores it exactly so (little-endian, no padding); the call page's
// party record begins with it.
struct CallLogEntry {
    uint32_t duration;   // seconds of talk; 0 when never connected
    uint32_t startTime;  // seconds since 1970-01-01 00:00 UTC
    uint32_t typeFlags;  // CALLLOG_OUTGOING, CALLLOG_INCOMING or CALLLOG_MISSED
    uint32_t extra;      // a word of the call page's party record, stored unchanged
    uint32_t id;         // unique, increasing
    char number[64];     // ANSI, at most 63 characters, zero-padded
    char name[64];
};
static_assert(sizeof(CallLogEntry) == CALLLOG_RECORD_SIZE, "call-log records are 148 bytes");
static_assert(offsetof(CallLogEntry, id) == 16 && offsetof(CallLogEntry, number) == 20 &&
                  offsetof(CallLogEntry, name) == 84,
              "call-log record layout");

// In-memory entry of the circular list (newest at the front).
struct CallLogNode {
    CallLogNode* next;
    CallLogNode* prev;
    CallLogEntry record;
};

// Empties the list.
void CallLog_Init();
// Reads the signed-in user's file (folders created when missing): 0, or -1.
int CallLog_Load();
// Reads the current user's file; each record goes to the front, so the newest ends first. Records
// already in memory are kept. 0, or -1 when the file cannot be opened or lacks the id counter.
int CallLog_ReadFile();
// Rewrites the current user's file (id counter, records oldest first): 0, or -1.
int CallLog_Save();
// Raises the id counter and returns it.
uint32_t CallLog_NextId();
// Zeroed entry with a new id / without an id. Null when memory runs out.
CallLogNode* CallLog_NewEntry();
CallLogNode* CallLog_AllocEntry();
// Links the entry at the front, dropping the oldest first when 128 are held. 0 (-1 for null).
int CallLog_Insert(CallLogNode* entry);
// Insert, then Save: 0, or -1 when either fails (the entry then stays in memory).
int CallLog_Add(CallLogNode* entry);
// Logs one party of an ended call: a new entry with a new id (also written back into the party's
// record), the party's record copied, 3 seconds added to a non-zero duration. Result of CallLog_Add.
int CallLog_AddParty(CallLogEntry* party);
// Unlinks and frees the first entry with that id: 0, or -1 when none. The caller saves.
int CallLog_RemoveById(uint32_t id);
// Unlinks and frees every entry whose type flags share a bit with the mask.
void CallLog_RemoveByType(uint32_t mask);
// Empties the list; the file is not touched.
void CallLog_Clear();
// Number of entries whose type flags share a bit with the mask.
int CallLog_CountByType(uint32_t mask);
// Copies the matching records, newest first, into out (room for capacity records); *count receives
// the number copied. 0, or -1 for bad arguments.
int CallLog_GetByType(uint32_t mask, CallLogEntry* out, int capacity, int* count);
// Number of entries held.
int CallLog_Count();

// Makes sure path is a folder (a plain file of that name is replaced): 0, or -1.
int EnsureDirectory(const char* path);
