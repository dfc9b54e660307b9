// The chat-record store against byte fixtures, with concurrent writers and killed writers.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <ctime>
#include <string>
#include <thread>
#include <utility>
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
    // The name file holds the name's bytes as they are; only the record's fields lose their line ends.
    ASSERT_TRUE(store_.Append(7, 0, 0, "A\r\nn", "Bob", kT + 120, "x", 0, ""));
    EXPECT_EQ("A\r\nn", Read("7/name.dat"));
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

    // Damaged records are dropped at their terminator; a last record without NUL was cut short by a
    // crash and is not shown.
    Write("8/2007-03-05-0.dat", "broken#0\nno fields"s + '\0' + "2007-03-05 10:18#0#0#Ann\nBob" + '\0' + kRecord2 + '\0' +
                                    kRecord1.substr(0, 30));
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
    // A record cut short by hand: the following append cuts it away and stands whole after the rest.
    const std::string before = Read("2/2007-03-05-0.dat");
    Write("2/2007-03-05-0.dat", before + "2007-03-05 10:15#0#0#Ann\nBo");
    store_.Append(2, 0, 0, "Ann", "Bob", kT, "whole", 0, "");
    EXPECT_EQ(before + "2007-03-05 10:15#0#0#Ann\nBob\nwhole" + '\0', Read("2/2007-03-05-0.dat"));
}

// Runs body in a child whose files may grow to limit bytes: the write that passes it is cut there
// and the child dies of SIGXFSZ, as a writer killed in the middle of that write. True when it died so.
bool DiesWritingPast(off_t limit, const std::function<void()>& body) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        struct rlimit none {0, 0}, size {static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        setrlimit(RLIMIT_CORE, &none);
        signal(SIGXFSZ, SIG_DFL);
        setrlimit(RLIMIT_FSIZE, &size);
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST_F(ChatRecordStore, AWriterKilledInsideARecordLeavesItWholeOrAbsent) {
    ASSERT_TRUE(store_.Append(3, 0, 0, "Ann", "Bob", kT, "first", 0, ""));
    const std::string day = "3/2007-03-05-0.dat";
    const std::string first = Read(day);
    const std::string large(300000, 'L');
    // Killed halfway through the large record.
    ASSERT_TRUE(DiesWritingPast(static_cast<off_t>(first.size() + 1000), [&] {
        store_.Append(3, 0, 0, "Ann", "Bob", kT + 60, large, 0, "");
    }));
    ASSERT_EQ(first.size() + 1000, Read(day).size()) << "the kill came inside the record";
    // Until the next append the torn record is on disk, but no reader shows it.
    std::vector<ChatRecordRow> rows;
    store_.ReadDay(3, "2007-03-05", 0, &rows);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("first", rows[0].content);
    // The next append cuts it away: the file holds the whole records only.
    ASSERT_TRUE(store_.Append(3, 0, 0, "Bob", "Ann", kT + 120, "next", 0, ""));
    EXPECT_EQ(first + "2007-03-05 10:17#0#0#Bob\nAnn\nnext" + '\0', Read(day));
    // A file that is nothing but a torn record starts over.
    Write("3/2007-03-06-0.dat", "2007-03-06 09:00#0#0#Ann\nBob\nno en");
    ASSERT_TRUE(store_.Append(3, 0, 0, "Ann", "Bob", kT + 86400, "day two", 0, ""));
    EXPECT_EQ("2007-03-06 10:15#0#0#Ann\nBob\nday two"s + '\0', Read("3/2007-03-06-0.dat"));
}

TEST_F(ChatRecordStore, TheTemporaryFileOfAKilledRewriteGoesWithTheNextWriteOfTheFolder) {
    umask(022);
    std::string big;
    for (int i = 0; i < 200; ++i) big += ChatRecordFile::FormatRecord("2007-03-04 08:00", 0, 0, "Ann", "Bob", std::string(100, 'a' + i % 26)) + '\0';
    Write("4/2007-03-04-0.dat", big);
    std::vector<ChatRecordRow> rows;
    store_.ReadDay(4, "2007-03-04", 0, &rows);
    ASSERT_EQ(200u, rows.size());
    // Deleting one record rewrites the day through a temporary file; the writer dies inside it.
    ASSERT_TRUE(DiesWritingPast(1000, [&] { store_.RemoveRecords({rows[0]}); }));
    std::vector<std::string> temps;
    for (const std::string& name : plat::ListDirectory(plat::PathJoin(root_, "4")))
        if (name.rfind(".2007-03-04-0.dat.tmp-", 0) == 0) temps.push_back(name);
    ASSERT_EQ(1u, temps.size()) << "the killed rewrite left its temporary file";
    EXPECT_EQ(0600, ModeOf(plat::PathJoin(root_, "4/" + temps[0])));  // private while it lasts
    EXPECT_EQ(big, Read("4/2007-03-04-0.dat"));                        // the day is as it was
    // A record of another day in the same folder: the leftover goes.
    ASSERT_TRUE(store_.Append(4, 0, 0, "Ann", "Bob", kT, "today", 0, ""));
    EXPECT_EQ((std::vector<std::string>{"2007-03-04-0.dat", "2007-03-05-0.dat", "name.dat"}),
              plat::ListDirectory(plat::PathJoin(root_, "4")));
    // The same for a rewrite of another day.
    ASSERT_TRUE(DiesWritingPast(1000, [&] { store_.RemoveRecords({rows[0]}); }));
    std::vector<ChatRecordRow> today;
    store_.ReadDay(4, "2007-03-05", 0, &today);
    ASSERT_EQ(1, store_.RemoveRecords(today));
    EXPECT_EQ((std::vector<std::string>{"2007-03-04-0.dat", "2007-03-05-0.dat", "name.dat"}),
              plat::ListDirectory(plat::PathJoin(root_, "4")));
}

TEST_F(ChatRecordStore, RecordsAreTheUsersAlone) {
    umask(022);
    struct Case {
        const char* name;
        std::function<void(const std::string& root)> before;  // what an older version left
    } cases[] = {
        {"new root", [](const std::string&) {}},
        {"root made open by the sign-in", [](const std::string& root) { ASSERT_EQ(0, mkdir(root.c_str(), 0755)); }},
        {"older version's folder and files",
         [](const std::string& root) {
             ASSERT_EQ(0, mkdir(root.c_str(), 0755));
             ASSERT_EQ(0, mkdir((root + "/7").c_str(), 0755));
             for (const char* f : {"/7/name.dat", "/7/2007-03-05-0.dat"}) {
                 std::FILE* out = std::fopen((root + f).c_str(), "w");
                 ASSERT_NE(nullptr, out);
                 std::fputs(f[3] == 'n' ? "Ann" : "", out);
                 std::fclose(out);
                 ASSERT_EQ(0, chmod((root + f).c_str(), 0644));
             }
         }},
    };
    for (const Case& c : cases) {
        const std::string root = root_ + "/" + std::string(c.name).substr(0, 3) + std::to_string(&c - cases);
        c.before(root);
        if (std::string(c.name).find("sign-in") != std::string::npos) {
            // Signing in closes the root before any record is written.
            ASSERT_TRUE(ChatRecordFile(root).KeepPrivate());
            EXPECT_EQ(0700, ModeOf(root)) << c.name;
        }
        ChatRecordFile store(root);
        ASSERT_TRUE(store.Append(7, 0, 0, "Ann", "Bob", kT, "private", 0, "")) << c.name;
        ASSERT_TRUE(store.Append(7, 1, 0, "Ann", "Bob", kT, "12", 1, "Annie")) << c.name;
        EXPECT_EQ(0700, ModeOf(root)) << c.name;
        EXPECT_EQ(0700, ModeOf(root + "/7")) << c.name;
        for (const char* f : {"/7/name.dat", "/7/2007-03-05-0.dat", "/7/2007-03-05-1.dat"}) EXPECT_EQ(0600, ModeOf(root + f)) << c.name << f;
        EXPECT_TRUE(store.KeepPrivate()) << c.name;
        EXPECT_EQ(0700, ModeOf(root)) << c.name;
        // A deletion's rewrite stays private.
        std::vector<ChatRecordRow> rows;
        store.ReadDay(7, "2007-03-05", 0, &rows);
        ASSERT_EQ(1, store.RemoveRecords(rows)) << c.name;
        EXPECT_EQ(0600, ModeOf(root + "/7/2007-03-05-0.dat")) << c.name;
    }
}

// The keyword search as it was first written: each new record compared with every row listed so far.
std::vector<ChatRecordRow> SearchByComparingEveryRow(const ChatRecordFile& store, const std::string& keyword,
                                                     std::vector<ChatRecordRow> rows = {}) {
    auto lower = [](std::string t) {
        for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    const std::string key = lower(keyword);
    for (int peer : store.ListPeers()) {
        for (const std::string& file : store.ListDayFiles(peer)) {
            std::vector<ChatRecordRow> all;
            store.LoadRecordFile(std::to_string(peer) + "/" + file, {}, &all);
            for (ChatRecordRow& row : all) {
                if (!key.empty()) {
                    if (lower(row.sender).find(key) == std::string::npos && lower(row.receivers).find(key) == std::string::npos &&
                        lower(row.content).find(key) == std::string::npos)
                        continue;
                    if (std::any_of(rows.begin(), rows.end(), [&](const ChatRecordRow& r) {
                            return r.sender == row.sender && r.receivers == row.receivers && r.time == row.time && r.content == row.content;
                        }))
                        continue;
                }
                rows.push_back(std::move(row));
            }
        }
    }
    return rows;
}

std::vector<std::pair<std::string, std::string>> Listed(const std::vector<ChatRecordRow>& rows) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const ChatRecordRow& r : rows) out.push_back({r.file, r.raw});
    return out;
}

TEST_F(ChatRecordStore, KeywordSearchListsWhatItAlwaysListed) {
    auto rec = [](const char* time, int priv, int voice, const char* sender, const char* receivers, const std::string& content) {
        return ChatRecordFile::FormatRecord(time, priv, voice, sender, receivers, content) + '\0';
    };
    const std::string a = rec("2007-03-05 10:15", 0, 0, "Ann", "Bob", "hello there");
    struct Case {
        const char* name;
        std::string keyword;
        std::vector<std::pair<std::string, std::string>> files;  // relative path, bytes
        size_t listed;
    } cases[] = {
        {"no keyword keeps duplicates", "", {{"1/2007-03-05-0.dat", a + a}, {"2/2007-03-05-0.dat", a}}, 3},
        {"twice in one file", "hello", {{"1/2007-03-05-0.dat", a + a}}, 1},
        {"in two days of a folder", "hello", {{"1/2007-03-05-0.dat", a}, {"1/2007-03-06-0.dat", a}}, 1},
        {"in two folders: the first is listed", "HELLO", {{"2/2007-03-05-0.dat", a}, {"10/2007-03-05-0.dat", a}}, 1},
        {"flags do not make it another record", "hello",
         {{"1/2007-03-05-0.dat", a + rec("2007-03-05 10:15", 1, 0, "Ann", "Bob", "hello there")},
          {"1/2007-03-05-1.dat", rec("2007-03-05 10:15", 0, 1, "Ann", "Bob", "hello there")}},
         1},
        {"another minute is another record", "hello", {{"1/2007-03-05-0.dat", a + rec("2007-03-05 10:16", 0, 0, "Ann", "Bob", "hello there")}}, 2},
        {"other receivers", "hello", {{"1/2007-03-05-0.dat", a + rec("2007-03-05 10:15", 0, 0, "Ann", "Bob;Cy", "hello there")}}, 2},
        {"another sender", "hello", {{"1/2007-03-05-0.dat", a + rec("2007-03-05 10:15", 0, 0, "Cy", "Bob", "hello there")}}, 2},
        {"content differing in case only", "hello", {{"1/2007-03-05-0.dat", a + rec("2007-03-05 10:15", 0, 0, "Ann", "Bob", "HELLO there")}}, 2},
        {"found in the sender or the receivers", "ANN",
         {{"1/2007-03-05-0.dat", a + rec("2007-03-05 10:20", 0, 0, "Bob", "Joanna", "x") + rec("2007-03-05 10:21", 0, 0, "Bob", "Cy", "x")}},
         2},
        {"content with hashes and line ends", "#\n",
         {{"1/2007-03-05-0.dat", rec("2007-03-05 10:15", 0, 0, "A#n", "Bob", "one #\ntwo") + rec("2007-03-05 10:15", 0, 0, "A#n", "Bob", "one #\ntwo")},
          {"3/2007-03-05-0.dat", rec("2007-03-05 10:15", 0, 0, "A#n", "Bob", "one #\ntwo\n")}},
         2},
        {"a name joined with the content is not the same record", "x",
         {{"1/2007-03-05-0.dat", rec("2007-03-05 10:15", 0, 0, "Ann", "Bob", "x") + rec("2007-03-05 10:15", 0, 0, "Ann", "", "Bob\nx")}},
         2},
        {"nothing holds it", "zebra", {{"1/2007-03-05-0.dat", a + a}}, 0},
    };
    for (const Case& c : cases) {
        const std::string root = root_ + "/case" + std::to_string(&c - cases);
        for (const auto& [relative, bytes] : c.files) {
            plat::MakeDirectories(plat::PathDirName(plat::PathJoin(root, relative)));
            ASSERT_TRUE(plat::WriteFileAtomic(plat::PathJoin(root, relative), bytes));
        }
        ChatRecordFile store(root);
        const std::vector<ChatRecordRow> found = store.SearchAll(c.keyword);
        EXPECT_EQ(c.listed, found.size()) << c.name;
        EXPECT_EQ(Listed(SearchByComparingEveryRow(store, c.keyword)), Listed(found)) << c.name;
        // Folder by folder into one list, as the rows already listed count too.
        std::vector<ChatRecordRow> byFolder;
        for (int peer : store.ListPeers()) store.ScanFolder(peer, c.keyword, &byFolder);
        EXPECT_EQ(Listed(found), Listed(byFolder)) << c.name;
    }
    // A search that is cancelled stops and lists no more.
    std::atomic<bool> cancel{true};
    EXPECT_TRUE(ChatRecordFile(root_ + "/case0").SearchAll("hello", &cancel).empty());
}

}  // namespace
