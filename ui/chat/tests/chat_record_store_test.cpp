// The chat-record store against byte fixtures, with concurrent writers and killed writers.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "ui/chat/chat_record_store.h"

namespace {

using namespace std::string_literals;

const std::string kRecord1 = "2007-03-05 10:15#0#0#Ann\nBob\nhello #1\nline2"s;
const std::string kRecord2 = "2007-03-05 10:16#1#0#A#n\nBob\nsecond"s;

class ChatRecordStore : public ::testing::Test {
 protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        char tmpl[] = "/tmp/chatrecXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        root_ = tmpl;
        store_.SetRoot(root_);
    }
    void TearDown() override { std::system(("rm -rf " + root_).c_str()); }
    std::string Read(const std::string& relative) {
        std::string bytes;
        plat::ReadFile(plat::PathJoin(root_, relative), &bytes);
        return bytes;
    }
    void Write(const std::string& relative, const std::string& bytes) {
        plat::MakeDirectories(plat::PathDirName(plat::PathJoin(root_, relative)));
        ASSERT_TRUE(plat::WriteFileAtomic(plat::PathJoin(root_, relative), bytes));
    }
    std::string root_;
    ChatRecordFile store_;
};

// 2007-03-05 10:15 UTC
constexpr int64_t kT = 1173089700;

TEST_F(ChatRecordStore, AppendWritesTheExactBytesFolderAndName) {
    ASSERT_TRUE(store_.Append(7, 0, 0, "Ann", "Bob", kT, "hello #1\nline2", 0, "ignored"));
    EXPECT_EQ(kRecord1 + '\0', Read("7/2007-03-05-0.dat"));
    EXPECT_EQ("Ann", Read("7/name.dat"));
    ASSERT_TRUE(store_.Append(7, 1, 0, "Ann", "Bob", kT + 60, "42", 1, "Annie"));
    EXPECT_EQ("2007-03-05 10:16#0#1#Ann\nBob\n42"s + '\0', Read("7/2007-03-05-1.dat"));
    EXPECT_EQ("Annie", Read("7/name.dat"));  // always the last name written
    EXPECT_EQ("Annie", store_.GetOwnerName(7));
    ASSERT_TRUE(store_.Append(7, 0, 1, "Ann", "Bob", kT + 60, "second", 0, ""));
    EXPECT_EQ(kRecord1 + '\0' + "2007-03-05 10:16#1#0#Ann\nBob\nsecond" + '\0', Read("7/2007-03-05-0.dat"));
    EXPECT_EQ((std::vector<std::string>{"2007-03-05-0.dat", "2007-03-05-1.dat"}), store_.ListDayFiles(7));
    EXPECT_EQ(std::vector<int>{7}, store_.ListPeers());
}

TEST_F(ChatRecordStore, RecordsEitherSideOfMidnightLandInTwoFiles) {
    const int64_t lateEvening = 1173139140;  // 2007-03-05 23:59 UTC
    store_.Append(3, 0, 0, "Ann", "Bob", lateEvening, "late", 0, "");
    store_.Append(3, 0, 0, "Bob", "Ann", lateEvening + 120, "early", 0, "");
    std::vector<ChatRecordRow> a, b;
    store_.ReadDay(3, "2007-03-05", 2, &a);
    store_.ReadDay(3, "2007-03-06", 2, &b);
    ASSERT_EQ(1u, a.size());
    ASSERT_EQ(1u, b.size());
    EXPECT_EQ("2007-03-05 23:59", a[0].time);
    EXPECT_EQ("2007-03-06 00:01", b[0].time);
}

TEST_F(ChatRecordStore, ReceivedTimesFollowLocalTimeWithDaylightSaving) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    // 2007-07-01 10:00 UTC is 12:00 in summer time: no hour is lost to a standard-time shift.
    store_.Append(4, 0, 0, "Ann", "Bob", 1183284000, "summer", 0, "");
    std::vector<ChatRecordRow> rows;
    store_.ReadDay(4, "2007-07-01", 0, &rows);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("2007-07-01 12:00", rows[0].time);
}

TEST_F(ChatRecordStore, ReaderTakesTheFixtureApart) {
    Write("7/2007-03-05-0.dat", kRecord1 + '\0' + kRecord2 + '\0');
    Write("7/2007-03-05-1.dat", "2007-03-05 10:17#0#1#Ann\nBob\n42"s + '\0');
    std::vector<ChatRecordRow> rows;
    store_.ReadDay(7, "2007-03-05", 2, &rows);
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ("2007-03-05 10:15", rows[0].time);
    EXPECT_EQ("Ann", rows[0].sender);
    EXPECT_EQ("Bob", rows[0].receivers);
    EXPECT_EQ("hello #1\nline2", rows[0].content);
    EXPECT_EQ(0, rows[0].priv);
    EXPECT_EQ("A#n", rows[1].sender);
    EXPECT_EQ(1, rows[1].priv);
    EXPECT_EQ("second", rows[1].content);
    EXPECT_EQ(1, rows[2].voice);
    EXPECT_EQ("42", rows[2].content);
    EXPECT_EQ("7/2007-03-05-1.dat", rows[2].file);

    // Damaged records are dropped at their terminator; a last record without NUL is read.
    Write("8/2007-03-05-0.dat", "broken#0\nno fields"s + '\0' + "2007-03-05 10:18#0#0#Ann\nBob" + '\0' + kRecord2);
    rows.clear();
    store_.ReadDay(8, "2007-03-05", 0, &rows);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("second", rows[0].content);
}

TEST_F(ChatRecordStore, NamesWithLineEndsCannotBreakARecord) {
    store_.Append(9, 0, 0, "An\r\nn", "B\nob", kT, "body", 0, "");
    std::vector<ChatRecordRow> rows;
    store_.ReadDay(9, "2007-03-05", 0, &rows);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("An  n", rows[0].sender);
    EXPECT_EQ("B ob", rows[0].receivers);
    EXPECT_EQ("body", rows[0].content);
}

TEST_F(ChatRecordStore, KeywordSearchAcrossFilesFindsEachRecordOnce) {
    Write("7/2007-03-05-0.dat", kRecord1 + '\0' + kRecord2 + '\0');
    Write("7/2007-03-06-0.dat", kRecord1 + '\0');  // the same record again
    Write("7/name.dat", "HELLO in the name file is not a record");
    std::vector<ChatRecordRow> rows;
    store_.ScanFolder(7, "HELLO", &rows);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("hello #1\nline2", rows[0].content);
    rows.clear();
    store_.ScanFolder(7, "bob", &rows);  // matches the receivers of both records
    EXPECT_EQ(2u, rows.size());
}

TEST_F(ChatRecordStore, TheFiftyMegabyteCapIsInclusive) {
    for (long long size : {kChatDayFileMax, kChatDayFileMax + 1}) {
        std::string rel = "5/2007-03-05-0.dat";
        Write(rel, kRecord1 + '\0');
        ASSERT_EQ(0, truncate(plat::PathJoin(root_, rel).c_str(), size));
        std::vector<ChatRecordRow> rows;
        store_.ReadDay(5, "2007-03-05", 0, &rows);
        EXPECT_EQ(size == kChatDayFileMax ? 1u : 0u, rows.size()) << size;
    }
}

TEST_F(ChatRecordStore, DeletingARowRemovesExactlyItsRecord) {
    Write("7/2007-03-05-0.dat", kRecord1 + '\0' + kRecord2 + '\0');
    std::vector<ChatRecordRow> rows;
    store_.ReadDay(7, "2007-03-05", 0, &rows);
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(1, store_.RemoveRecords({rows[0]}));
    EXPECT_EQ(kRecord2 + '\0', Read("7/2007-03-05-0.dat"));
    // The stored private flag stays as it was.
    rows.clear();
    store_.ReadDay(7, "2007-03-05", 0, &rows);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(1, rows[0].priv);
    // A row outside the root is never touched.
    ChatRecordRow escape = rows[0];
    escape.file = "../x.dat";
    EXPECT_EQ(0, store_.RemoveRecords({escape}));
}

TEST_F(ChatRecordStore, AnAppendAfterLoadingSurvivesTheWriteBack) {
    Write("7/2007-03-05-0.dat", kRecord1 + '\0' + kRecord2 + '\0' + "damaged, kept" + '\0');
    std::vector<ChatRecordRow> rows;
    store_.ReadDay(7, "2007-03-05", 0, &rows);
    ASSERT_EQ(2u, rows.size());
    store_.Append(7, 0, 0, "Ann", "Bob", kT + 120, "arrived while browsing", 0, "");
    EXPECT_EQ(1, store_.RemoveRecords({rows[0]}));
    EXPECT_EQ(kRecord2 + '\0' + "damaged, kept" + '\0' + "2007-03-05 10:17#0#0#Ann\nBob\narrived while browsing" + '\0',
              Read("7/2007-03-05-0.dat"));
}

TEST_F(ChatRecordStore, AppendsRacingWriteBacksAreNeverLost) {
    const int kAppends = 300;
    std::thread writer([&] {
        for (int i = 0; i < kAppends; ++i) store_.Append(6, 0, 0, "Ann", "Bob", kT, "keep " + std::to_string(i), 0, "");
    });
    // The browser deletes its own rows over and over while the chat window appends.
    for (int round = 0; round < 200; ++round) {
        store_.Append(6, 0, 0, "Eve", "Bob", kT, "drop", 0, "");
        std::vector<ChatRecordRow> rows, drop;
        store_.ReadDay(6, "2007-03-05", 0, &rows);
        for (auto& r : rows)
            if (r.sender == "Eve") drop.push_back(r);
        store_.RemoveRecords(drop);
    }
    writer.join();
    std::vector<ChatRecordRow> rows;
    store_.ReadDay(6, "2007-03-05", 0, &rows);
    int kept = 0;
    for (auto& r : rows) kept += r.sender == "Ann";
    EXPECT_EQ(kAppends, kept);
}

// Forks a writer that reports each finished round on a pipe, kills it mid-round after a few rounds.
void RunAndKill(const std::function<void(int round)>& body, int rounds) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        for (int round = 0;; ++round) {
            body(round);
            char c = 1;
            if (write(fds[1], &c, 1) != 1) _exit(0);
        }
    }
    close(fds[1]);
    char c;
    for (int i = 0; i < rounds; ++i) ASSERT_EQ(1, read(fds[0], &c, 1));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(fds[0]);
}

TEST_F(ChatRecordStore, AKilledWriterLosesNoStoredRecord) {
    // A large day file makes the kill land inside a rewrite or an append.
    std::string base;
    for (int i = 0; i < 20000; ++i)
        base += ChatRecordFile::FormatRecord("2007-03-05 10:15", 0, 0, "Ann", "Bob", "base " + std::to_string(i) + std::string(200, 'x')) + '\0';
    Write("2/2007-03-05-0.dat", base);
    for (int attempt = 0; attempt < 3; ++attempt) {
        RunAndKill(
            [&](int round) {
                store_.Append(2, 0, 0, "Eve", "Bob", kT, "junk " + std::to_string(round), 0, "");
                std::vector<ChatRecordRow> rows, drop;
                store_.ReadDay(2, "2007-03-05", 0, &rows);
                for (auto& r : rows)
                    if (r.sender == "Eve") drop.push_back(r);
                store_.RemoveRecords(drop);
            },
            2 + attempt);
        std::vector<ChatRecordRow> rows;
        store_.ReadDay(2, "2007-03-05", 0, &rows);
        int kept = 0;
        for (auto& r : rows) kept += r.sender == "Ann";
        ASSERT_EQ(20000, kept) << attempt;
        // The next append stands on its own even after a cut-off record.
        ASSERT_TRUE(store_.Append(2, 0, 0, "Ann", "Bob", kT, "after", 0, ""));
        rows.clear();
        store_.ReadDay(2, "2007-03-05", 0, &rows);
        ASSERT_EQ("after", rows.back().content);
        std::vector<ChatRecordRow> after{rows.back()};
        store_.RemoveRecords(after);
    }
    // A record cut short by hand: the following append still reads back whole.
    std::string cut = Read("2/2007-03-05-0.dat") + "2007-03-05 10:15#0#0#Ann\nBo";
    Write("2/2007-03-05-0.dat", cut);
    store_.Append(2, 0, 0, "Ann", "Bob", kT, "whole", 0, "");
    std::vector<ChatRecordRow> rows;
    store_.ReadDay(2, "2007-03-05", 0, &rows);
    EXPECT_EQ("whole", rows.back().content);
}

}  // namespace
