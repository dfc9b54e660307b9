// Tests of the group record's construction and complete release.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "common/grouprecord.h"

namespace {

int s_entriesAlive = 0;

class QueueEntry : public GroupRecordEntry {
public:
    QueueEntry() : m_name(strdup("queue")) { ++s_entriesAlive; }
    ~QueueEntry() override {
        std::free(m_name);
        --s_entriesAlive;
    }

private:
    char* m_name;
};

GroupMember* Member(int items) {
    GroupMember* m = new GroupMember;
    m->first = strdup("uid");
    m->second = strdup("nick");
    for (int i = 0; i < items; ++i) m->items.push_back(new GroupItem{i, strdup("item")});
    return m;
}

TEST(CommonStoreGroupRecord, NewRecordIsZeroed) {
    GroupRecord* r = GroupRecord_New();
    ASSERT_NE(r, nullptr);
    for (char* text : r->texts) {
        ASSERT_NE(text, nullptr);
        for (int i = 0; i < GROUP_RECORD_TEXT_SIZE; ++i) ASSERT_EQ(text[i], 0);
    }
    for (int32_t w : r->words) EXPECT_EQ(w, 0);
    EXPECT_TRUE(r->entries.empty());
    EXPECT_TRUE(r->members.empty());
    std::strcpy(r->texts[2], "1");  // what the parsers put in; the whole 128 bytes are usable
    std::memset(r->texts[3], 'x', GROUP_RECORD_TEXT_SIZE - 1);
    GroupRecord_Free(r);
}

TEST(CommonStoreGroupRecord, FreeReleasesEverythingItHolds) {
    s_entriesAlive = 0;
    GroupRecord* r = GroupRecord_New();
    r->entries.push_back(new QueueEntry);
    r->entries.push_back(new QueueEntry);
    r->members.push_back(Member(3));
    r->members.push_back(Member(0));
    r->members.push_back(nullptr);  // skipped
    GroupRecord_Free(r);
    EXPECT_EQ(s_entriesAlive, 0);  // leaks of texts, items and members show under the sanitizer
    GroupRecord_Free(nullptr);
}

TEST(CommonStoreGroupRecord, ClearItemsKeepsTheItems) {
    GroupMember* m = Member(2);
    GroupItem* a = m->items[0];
    GroupItem* b = m->items[1];
    GroupRecord_ClearItems(m);
    EXPECT_TRUE(m->items.empty());
    EXPECT_STREQ(a->text, "item");  // still the caller's
    for (GroupItem* item : {a, b}) {
        std::free(item->text);
        delete item;
    }
    GroupRecord_FreeMember(m);
    GroupRecord_FreeMember(nullptr);
    GroupRecord_ClearItems(nullptr);
}

}  // namespace
