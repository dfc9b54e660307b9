// Group record: the heap record in which the access-server client hands groups of chat queues
// (and group members) to the user interface.
#pragma once

#include <cstdint>
#include <vector>

inline constexpr int GROUP_RECORD_TEXT_SIZE = 128;  // at most 127 characters and a terminator

// Base of what a group's entry list holds (the chat queues); freeing the record deletes them.
class GroupRecordEntry {
public:
    virtual ~GroupRecordEntry() = default;
};

// An item of a member: a word and a heap text (malloc).
struct GroupItem {
    int32_t value;
    char* text;
};

// A member entry: two heap texts (malloc), a word and a list of items.
struct GroupMember {
    char* first = nullptr;
    char* second = nullptr;
    int32_t value = 0;
    std::vector<GroupItem*> items;
};

struct GroupRecord {
    char* texts[4];  // zeroed 128-byte heap buffers; the parsers put the group type into [2] and [3]
    int32_t words[3];
    std::vector<GroupRecordEntry*> entries;
    std::vector<GroupMember*> members;
};

// A record with four zeroed texts, three zero words and two empty lists; null when memory runs out.
GroupRecord* GroupRecord_New();
// Frees the record with its texts, its members (with their items) and its entries. Null is ignored.
void GroupRecord_Free(GroupRecord* record);
// Frees a member with its texts and its items. Null is ignored.
void GroupRecord_FreeMember(GroupMember* member);
// Empties the member's item list without freeing the items.
void GroupRecord_ClearItems(GroupMember* member);
