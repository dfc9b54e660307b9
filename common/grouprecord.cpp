// Group record: construction and complete release.
#include "common/grouprecord.h"

#include <cstdlib>
#include <new>

GroupRecord* GroupRecord_New() {
    GroupRecord* record = new (std::nothrow) GroupRecord{};
    if (!record) return nullptr;
    for (char*& text : record->texts) {
        text = static_cast<char*>(std::calloc(GROUP_RECORD_TEXT_SIZE, 1));
        if (!text) {
            GroupRecord_Free(record);
            return nullptr;
        }
    }
    return record;
}

void GroupRecord_Free(GroupRecord* record) {
    if (!record) return;
    std::free(record->texts[3]);
    for (GroupMember* member : record->members) GroupRecord_FreeMember(member);
    record->members.clear();
    for (GroupRecordEntry* entry : record->entries) delete entry;
    record->entries.clear();
    std::free(record->texts[1]);
    std::free(record->texts[2]);
    std::free(record->texts[0]);
    delete record;
}

void GroupRecord_FreeMember(GroupMember* member) {
    if (!member) return;
    std::free(member->first);
    std::free(member->second);
    for (GroupItem* item : member->items) {
        if (!item) continue;
        std::free(item->text);
        delete item;
    }
    GroupRecord_ClearItems(member);
    delete member;
}

void GroupRecord_ClearItems(GroupMember* member) {
    if (!member) return;
    std::vector<GroupItem*>().swap(member->items);
}
