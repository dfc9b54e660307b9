// Tests of the call log: the 128-entry list, the "calllog.dat" format, reload and failures.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/calllog.h"
#include "platform/fs.h"
#include "store_fixture.h"

namespace {

using storetest::StoreTest;

void PutU32(std::string* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A record as the file holds it, built by hand rather than by the code under test.
std::string RawRecord(uint32_t duration, uint32_t start, uint32_t flags, uint32_t extra, uint32_t id,
                      const std::string& number, const std::string& name) {
    std::string r;
    PutU32(&r, duration);
    PutU32(&r, start);
    PutU32(&r, flags);
    PutU32(&r, extra);
    PutU32(&r, id);
    std::string n = number.substr(0, 64), m = name.substr(0, 64);
    n.resize(64, '\0');
    m.resize(64, '\0');
    return r + n + m;
}

class CommonStoreCallLog : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        g_strUserId = "10086";
    }
    std::string FilePath() const { return plat::PathJoin(folder.Path(), "individual/10086/calllog.dat"); }
    void WriteFile(const std::string& bytes) {
        ASSERT_TRUE(plat::MakeDirectories(plat::PathDirName(FilePath())));
        ASSERT_TRUE(plat::WriteFileAtomic(FilePath(), bytes));
    }
    std::string ReadBack() {
        std::string bytes;
        EXPECT_TRUE(plat::ReadFile(FilePath(), &bytes));
        return bytes;
    }
    static CallLogEntry Party(uint32_t flags, const char* number, uint32_t duration = 0) {
        CallLogEntry e{};
        e.duration = duration;
        e.startTime = 1700000000u;
        e.typeFlags = flags;
        std::strncpy(e.number, number, sizeof e.number - 1);
        std::strncpy(e.name, (std::string("name of ") + number).c_str(), sizeof e.name - 1);
        return e;
    }
    std::vector<std::string> Numbers(uint32_t mask = CALLLOG_ALL) {
        std::vector<CallLogEntry> out(static_cast<size_t>(CallLog_CountByType(mask)));
        int count = -1;
        EXPECT_EQ(CallLog_GetByType(mask, out.data(), static_cast<int>(out.size()), &count), 0);
        std::vector<std::string> numbers;
        for (int i = 0; i < count; ++i) numbers.push_back(out[static_cast<size_t>(i)].number);
        return numbers;
    }
};

TEST_F(CommonStoreCallLog, FileFormatIsByteExact) {
    ASSERT_EQ(CallLog_Load(), -1);  // no file yet; the folders are made all the same
    EXPECT_TRUE(plat::IsDirectory(plat::PathDirName(FilePath())));
    CallLogEntry first = Party(CALLLOG_OUTGOING, "10010", 0);
    first.extra = 0xA1B2C3D4u;
    ASSERT_EQ(CallLog_AddParty(&first), 0);
    CallLogEntry second = Party(CALLLOG_MISSED, "sip:bob@example.com", 0);
    ASSERT_EQ(CallLog_AddParty(&second), 0);

    const std::string expected = std::string("\x02\x00\x00\x00", 4) +
                                 RawRecord(0, 1700000000u, 1, 0xA1B2C3D4u, 1, "10010", "name of 10010") +
                                 RawRecord(0, 1700000000u, 4, 0, 2, "sip:bob@example.com", "name of sip:bob@example.com");
    EXPECT_EQ(ReadBack(), expected);  // counter, then the records oldest first
}

TEST_F(CommonStoreCallLog, KeepsTheNewest128) {
    CallLog_Load();
    for (int i = 1; i <= 129; ++i) {
        CallLogEntry party = Party(CALLLOG_OUTGOING, std::to_string(i).c_str());
        ASSERT_EQ(CallLog_AddParty(&party), 0);
    }
    EXPECT_EQ(CallLog_Count(), 128);
    std::vector<std::string> numbers = Numbers();
    EXPECT_EQ(numbers.front(), "129");
    EXPECT_EQ(numbers.back(), "2");  // the first one was dropped
    std::string bytes = ReadBack();
    ASSERT_EQ(bytes.size(), 4 + 128 * CALLLOG_RECORD_SIZE);
    EXPECT_EQ(bytes.substr(4 + 20, 2), std::string("2\0", 2));  // oldest first in the file
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x81\x00\x00\x00", 4));  // counter 129
}

TEST_F(CommonStoreCallLog, SurvivesAReload) {
    CallLog_Load();
    for (const char* n : {"a", "b", "c"}) {
        CallLogEntry party = Party(CALLLOG_INCOMING, n, 10);
        CallLog_AddParty(&party);
    }
    const std::vector<std::string> before = Numbers();
    CallLog_Init();
    EXPECT_EQ(CallLog_Count(), 0);
    g_strUserId = "10086";
    ASSERT_EQ(CallLog_Load(), 0);
    EXPECT_EQ(Numbers(), before);
    EXPECT_EQ(CallLog_NextId(), 4u);  // ids keep increasing across runs
}

TEST_F(CommonStoreCallLog, LoadPutsTheNewestFirstAndContinuesTheCounter) {
    WriteFile(std::string("\x39\x00\x00\x00", 4) + RawRecord(5, 1, 1, 0, 40, "old", "") +
              RawRecord(6, 2, 4, 0, 41, "mid", "") + RawRecord(7, 3, 2, 0, 42, "new", ""));
    ASSERT_EQ(CallLog_Load(), 0);
    EXPECT_EQ(Numbers(), (std::vector<std::string>{"new", "mid", "old"}));
    EXPECT_EQ(CallLog_NextId(), 58u);
}

TEST_F(CommonStoreCallLog, TruncatedLastRecordIsIgnored) {
    WriteFile(std::string("\x02\x00\x00\x00", 4) + RawRecord(0, 0, 1, 0, 1, "one", "") +
              RawRecord(0, 0, 1, 0, 2, "two", "") + std::string(100, 'x'));
    ASSERT_EQ(CallLog_Load(), 0);
    EXPECT_EQ(Numbers(), (std::vector<std::string>{"two", "one"}));
}

TEST_F(CommonStoreCallLog, TextsFromTheFileAreTerminated) {
    std::string record = RawRecord(0, 0, 1, 0, 1, std::string(64, 'N'), std::string(64, 'M'));
    WriteFile(std::string("\x01\x00\x00\x00", 4) + record);
    ASSERT_EQ(CallLog_Load(), 0);
    CallLogEntry out[1];
    int count = 0;
    CallLog_GetByType(CALLLOG_ALL, out, 1, &count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(std::string(out[0].number), std::string(63, 'N'));
    EXPECT_EQ(std::string(out[0].name), std::string(63, 'M'));
}

TEST_F(CommonStoreCallLog, CounterBelowTheRecordIdsStillGivesNewIds) {
    WriteFile(std::string("\x03\x00\x00\x00", 4) + RawRecord(0, 0, 1, 0, 90, "x", ""));
    ASSERT_EQ(CallLog_Load(), 0);
    EXPECT_EQ(CallLog_NextId(), 91u);
}

TEST_F(CommonStoreCallLog, WrappedCounterPassesOverIdsStillListed) {
    WriteFile(std::string("\x02\x00\x00\x00", 4) + RawRecord(0, 0, 1, 0, 1, "one", "") +
              RawRecord(0, 0, 1, 0, 0xFFFFFFFFu, "max", "") + RawRecord(0, 0, 1, 0, 0, "zero", ""));
    ASSERT_EQ(CallLog_Load(), 0);
    CallLogEntry party = Party(CALLLOG_OUTGOING, "new");
    ASSERT_EQ(CallLog_AddParty(&party), 0);
    EXPECT_EQ(party.id, 2u);  // 0 and 1 are taken
    EXPECT_EQ(CallLog_RemoveById(0), 0);
    EXPECT_EQ(Numbers(), (std::vector<std::string>{"new", "max", "one"}));
    ASSERT_EQ(CallLog_Save(), 0);
    const std::string bytes = ReadBack();  // the format is kept: the counter, then the records
    ASSERT_EQ(bytes.size(), 4u + 3u * 148u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x02\x00\x00\x00", 4));
    EXPECT_EQ(CallLog_NextId(), 3u);
}

TEST_F(CommonStoreCallLog, UnreadableFilesLeaveTheListAsItWas) {
    CallLog_Load();
    CallLogEntry party = Party(CALLLOG_OUTGOING, "kept");
    CallLog_AddParty(&party);
    WriteFile(std::string("\x01\x00", 2));  // shorter than the counter
    EXPECT_EQ(CallLog_ReadFile(), -1);
    EXPECT_EQ(Numbers(), (std::vector<std::string>{"kept"}));
    plat::RemoveFile(FilePath());
    EXPECT_EQ(CallLog_Load(), -1);
    EXPECT_EQ(Numbers(), (std::vector<std::string>{"kept"}));
}

TEST_F(CommonStoreCallLog, AFifoInTheFilesPlaceIsNotOpened) {
    CallLog_Load();
    CallLogEntry party = Party(CALLLOG_OUTGOING, "kept");
    CallLog_AddParty(&party);
    plat::RemoveFile(FilePath());
    ASSERT_EQ(::mkfifo(FilePath().c_str(), 0600), 0);
    storetest::TraceCapture trace;
    EXPECT_EQ(CallLog_Load(), -1);  // at once: nobody writes into the FIFO
    EXPECT_TRUE(trace.Contains("is not a regular file"));
    EXPECT_EQ(Numbers(), (std::vector<std::string>{"kept"}));
}

TEST_F(CommonStoreCallLog, UserIdMustNameAFolderInsideIndividual) {
    for (const char* id : {"", "..", ".", "../escape", "a/b", "a\\b"}) {
        g_strUserId = id;
        EXPECT_EQ(CallLog_Load(), -1) << "user id \"" << id << "\"";
        EXPECT_EQ(CallLog_Save(), -1) << "user id \"" << id << "\"";
    }
    EXPECT_FALSE(plat::FileExists(plat::PathJoin(folder.Path(), "escape")));
}

TEST_F(CommonStoreCallLog, FailedWriteKeepsTheEntryInMemory) {
    CallLog_Load();
    ASSERT_EQ(::mkdir(FilePath().c_str(), 0755), 0);  // a folder where the file should be
    CallLogEntry party = Party(CALLLOG_OUTGOING, "unsaved");
    EXPECT_EQ(CallLog_AddParty(&party), -1);
    EXPECT_EQ(Numbers(), (std::vector<std::string>{"unsaved"}));
}

TEST_F(CommonStoreCallLog, PartyDurationAndId) {
    CallLog_Load();
    CallLogEntry never = Party(CALLLOG_MISSED, "never", 0);
    CallLogEntry talked = Party(CALLLOG_OUTGOING, "talked", 61);
    ASSERT_EQ(CallLog_AddParty(&never), 0);
    ASSERT_EQ(CallLog_AddParty(&talked), 0);
    EXPECT_EQ(never.id, 1u);  // written back into the party's record
    EXPECT_EQ(talked.id, 2u);
    EXPECT_EQ(talked.duration, 61u);  // the party's own record is not changed otherwise
    CallLogEntry out[2];
    int count = 0;
    CallLog_GetByType(CALLLOG_ALL, out, 2, &count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(out[0].duration, 64u);
    EXPECT_EQ(out[1].duration, 0u);
    CallLogEntry huge = Party(CALLLOG_OUTGOING, "huge", 0xFFFFFFFEu);
    CallLog_AddParty(&huge);
    CallLog_GetByType(CALLLOG_ALL, out, 1, &count);
    EXPECT_EQ(out[0].duration, 0xFFFFFFFFu);  // held at the top instead of wrapping
}

TEST_F(CommonStoreCallLog, QueriesByTypeAndRemoval) {
    CallLog_Load();
    const std::pair<uint32_t, const char*> calls[] = {
        {CALLLOG_MISSED, "m1"}, {CALLLOG_OUTGOING, "o1"}, {CALLLOG_MISSED, "m2"}, {CALLLOG_INCOMING, "i1"}, {0, "z"}};
    for (const auto& [flags, number] : calls) {
        CallLogEntry party = Party(flags, number);
        CallLog_AddParty(&party);
    }
    EXPECT_EQ(Numbers(CALLLOG_MISSED), (std::vector<std::string>{"m2", "m1"}));
    EXPECT_EQ(CallLog_CountByType(CALLLOG_OUTGOING | CALLLOG_INCOMING), 2);

    CallLogEntry one[1];
    int count = -1;
    EXPECT_EQ(CallLog_GetByType(CALLLOG_MISSED, one, 1, &count), 0);  // the capacity is respected
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(one[0].number, "m2");
    EXPECT_EQ(CallLog_GetByType(CALLLOG_MISSED, nullptr, 1, &count), -1);

    EXPECT_EQ(CallLog_RemoveById(2), 0);  // "o1"
    EXPECT_EQ(CallLog_RemoveById(2), -1);
    CallLog_RemoveByType(CALLLOG_MISSED);
    EXPECT_EQ(CallLog_Count(), 2);  // "i1" and "z", which no mask matches
    EXPECT_EQ(Numbers(), (std::vector<std::string>{"i1"}));
    CallLog_Clear();  // also the record without flags
    EXPECT_EQ(CallLog_Count(), 0);
    EXPECT_EQ(ReadBack().size(), 4 + 5 * CALLLOG_RECORD_SIZE);  // clearing does not touch the file
}

TEST_F(CommonStoreCallLog, EnsureDirectoryReplacesAPlainFile) {
    const std::string path = folder.File("individual");
    ASSERT_TRUE(plat::WriteFileAtomic(path, "not a folder"));
    ::chmod(path.c_str(), 0444);
    EXPECT_EQ(EnsureDirectory(path.c_str()), 0);
    EXPECT_TRUE(plat::IsDirectory(path));
    EXPECT_EQ(EnsureDirectory(path.c_str()), 0);  // an existing folder stays
    EXPECT_EQ(EnsureDirectory(nullptr), -1);
}

}  // namespace
