// Call log: circular list of the newest 128 calls and its per-user file "calllog.dat".
#include "common/calllog.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "common/appenv.h"
#include "common/debug.h"
#include "platform/fs.h"

namespace {

CallLogNode s_sentinel{&s_sentinel, &s_sentinel, {}};
int s_count = 0;
uint32_t s_idCounter = 0;
std::string s_path;

void PutU32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

uint32_t GetU32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void Encode(const CallLogEntry& e, unsigned char* p) {
    PutU32(p + 0, e.duration);
    PutU32(p + 4, e.startTime);
    PutU32(p + 8, e.typeFlags);
    PutU32(p + 12, e.extra);
    PutU32(p + 16, e.id);
    std::memcpy(p + 20, e.number, sizeof e.number);
    std::memcpy(p + 84, e.name, sizeof e.name);
}

void Decode(const unsigned char* p, CallLogEntry* e) {
    e->duration = GetU32(p + 0);
    e->startTime = GetU32(p + 4);
    e->typeFlags = GetU32(p + 8);
    e->extra = GetU32(p + 12);
    e->id = GetU32(p + 16);
    std::memcpy(e->number, p + 20, sizeof e->number);
    std::memcpy(e->name, p + 84, sizeof e->name);
    // The texts come from a file: they must end inside their fields.
    e->number[sizeof e->number - 1] = '\0';
    e->name[sizeof e->name - 1] = '\0';
}

void Unlink(CallLogNode* node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->next = node->prev = nullptr;
    --s_count;
}

// The user id names a folder: it must not climb out of "individual" or name nothing.
bool IsUsableUserId(const std::string& id) {
    return !id.empty() && id != "." && id != ".." && id.find_first_of("/\\") == std::string::npos;
}

// Path of the signed-in user's file with its folders made; empty when there is none.
std::string BuildPath() {
    if (!IsUsableUserId(g_strUserId)) {
        DebugTrace(MOD_SYSTEM, 1, "Call log: no usable user id \"%s\"", g_strUserId.c_str());
        return {};
    }
    const std::string individual = plat::PathJoin(plat::BaseFolder(), "individual");
    const std::string user = plat::PathJoin(individual, g_strUserId);
    if (EnsureDirectory(individual.c_str()) != 0 || EnsureDirectory(user.c_str()) != 0) {
        DebugTrace(MOD_SYSTEM, 1, "Call log: cannot make folder %s", user.c_str());
        return {};
    }
    return plat::PathJoin(user, "calllog.dat");
}

}  // namespace

void CallLog_Init() {
    CallLog_Clear();
    s_idCounter = 0;
    s_path.clear();
}

int CallLog_Load() {
    s_path = BuildPath();
    if (s_path.empty()) return -1;
    return CallLog_ReadFile();
}

int CallLog_ReadFile() {
    if (s_path.empty()) return -1;
    // A FIFO or device in the file's place would hold the reader: only a regular file is read.
    if (plat::FileExists(s_path) && !plat::IsRegularFile(s_path)) {
        DebugTrace(MOD_SYSTEM, 1, "Call log %s is not a regular file: not read", s_path.c_str());
        return -1;
    }
    FILE* file = plat::OpenRegularStream(s_path, "rb");
    if (!file) return -1;
    unsigned char counter[4];
    if (std::fread(counter, 1, sizeof counter, file) != sizeof counter) {
        std::fclose(file);
        DebugTrace(MOD_SYSTEM, 1, "Call log %s is too short", s_path.c_str());
        return -1;
    }
    uint32_t highest = GetU32(counter);
    unsigned char raw[CALLLOG_RECORD_SIZE];
    while (std::fread(raw, 1, sizeof raw, file) == sizeof raw) {
        CallLogNode* entry = CallLog_AllocEntry();
        if (!entry) break;
        Decode(raw, &entry->record);
        CallLog_Insert(entry);
    }
    std::fclose(file);
    // Ids stay unique even when a damaged file holds a counter below its records' ids.
    for (CallLogNode* n = s_sentinel.next; n != &s_sentinel; n = n->next)
        if (n->record.id > highest) highest = n->record.id;
    if (highest > s_idCounter) s_idCounter = highest;
    return 0;
}

int CallLog_Save() {
    const std::string path = BuildPath();
    if (path.empty()) return -1;
    s_path = path;
    std::string bytes(4 + static_cast<size_t>(s_count) * CALLLOG_RECORD_SIZE, '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(bytes.data());
    PutU32(p, s_idCounter);
    p += 4;
    for (CallLogNode* n = s_sentinel.prev; n != &s_sentinel; n = n->prev, p += CALLLOG_RECORD_SIZE)
        Encode(n->record, p);
    if (!plat::WriteFileAtomic(path, bytes)) {
        DebugTrace(MOD_SYSTEM, 1, "Cannot write call log %s", path.c_str());
        return -1;
    }
    return 0;
}

uint32_t CallLog_NextId() {
    // A record read with the largest id wraps the counter: an id still listed is passed over,
    // or a deletion by id could take the wrong record. At most 128 are listed, so this ends.
    for (;;) {
        ++s_idCounter;
        bool inUse = false;
        for (CallLogNode* n = s_sentinel.next; n != &s_sentinel && !inUse; n = n->next)
            inUse = n->record.id == s_idCounter;
        if (!inUse) return s_idCounter;
    }
}

CallLogNode* CallLog_AllocEntry() {
    return new (std::nothrow) CallLogNode{nullptr, nullptr, {}};
}

CallLogNode* CallLog_NewEntry() {
    CallLogNode* entry = CallLog_AllocEntry();
    if (entry) entry->record.id = CallLog_NextId();
    return entry;
}

int CallLog_Insert(CallLogNode* entry) {
    if (!entry) return -1;
    while (s_count >= CALLLOG_MAX_ENTRIES) {
        CallLogNode* oldest = s_sentinel.prev;
        Unlink(oldest);
        delete oldest;
    }
    entry->prev = &s_sentinel;
    entry->next = s_sentinel.next;
    s_sentinel.next->prev = entry;
    s_sentinel.next = entry;
    ++s_count;
    return 0;
}

int CallLog_Add(CallLogNode* entry) {
    if (CallLog_Insert(entry) != 0) return -1;
    return CallLog_Save() == 0 ? 0 : -1;
}

int CallLog_AddParty(CallLogEntry* party) {
    if (!party) return -1;
    CallLogNode* entry = CallLog_NewEntry();
    if (!entry) return -1;
    party->id = entry->record.id;
    entry->record = *party;
    entry->record.number[sizeof entry->record.number - 1] = '\0';
    entry->record.name[sizeof entry->record.name - 1] = '\0';
    if (entry->record.duration != 0)
        entry->record.duration = entry->record.duration > UINT32_MAX - 3 ? UINT32_MAX : entry->record.duration + 3;
    return CallLog_Add(entry);
}

int CallLog_RemoveById(uint32_t id) {
    for (CallLogNode* n = s_sentinel.next; n != &s_sentinel; n = n->next) {
        if (n->record.id == id) {
            Unlink(n);
            delete n;
            return 0;
        }
    }
    return -1;
}

void CallLog_RemoveByType(uint32_t mask) {
    for (CallLogNode* n = s_sentinel.next; n != &s_sentinel;) {
        CallLogNode* next = n->next;
        if (n->record.typeFlags & mask) {
            Unlink(n);
            delete n;
        }
        n = next;
    }
}

void CallLog_Clear() {
    // Every entry goes, whatever its flags (a record without flags would escape a mask).
    while (s_sentinel.next != &s_sentinel) {
        CallLogNode* n = s_sentinel.next;
        Unlink(n);
        delete n;
    }
}

int CallLog_CountByType(uint32_t mask) {
    int count = 0;
    for (CallLogNode* n = s_sentinel.next; n != &s_sentinel; n = n->next)
        if (n->record.typeFlags & mask) ++count;
    return count;
}

int CallLog_GetByType(uint32_t mask, CallLogEntry* out, int capacity, int* count) {
    if (!count || capacity < 0 || (!out && capacity > 0)) return -1;
    int copied = 0;
    for (CallLogNode* n = s_sentinel.next; n != &s_sentinel && copied < capacity; n = n->next)
        if (n->record.typeFlags & mask) out[copied++] = n->record;
    *count = copied;
    return 0;
}

int CallLog_Count() { return s_count; }

int EnsureDirectory(const char* path) {
    if (!path || !*path) return -1;
    return plat::EnsureDirectory(path);
}
