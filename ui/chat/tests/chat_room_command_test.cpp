// Chat-room command texts: every builder through the parser, the edge cases of the field rules, the caps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/debug.h"
#include "ui/chat/chat_room_command.h"
#include "ui/chat/chat_transport.h"

namespace {

struct RoundTrip {
    const char* name;
    std::string built;  // what the builder must write
    int code;
    int count;
    std::vector<std::string> args;  // GetListEntry 0.. ; one "" past the end is checked too
};

std::string Build(const char* which) {
    CChatRoomPacket p(99);
    std::string w = which;
    if (w == "start1") {
        p.AppendId(101);
        p.AppendId(102);
        p.BuildStart(1, "", "Ann", "");
    } else if (w == "start1-empty") {
        p.BuildStart(1, "", "Ann", "");
    } else if (w == "start2") {
        p.SetKey("G7");
        p.BuildStart(2, "L", "Ann", "T");
    } else if (w == "start3") {
        p.SetKey("R12");
        p.BuildStart(3, "", "Ann", " ");
    } else if (w == "invite") {
        p.AppendId(11);
        p.AppendId(22);
        p.BuildInvite("hi");
    } else if (w == "kick") {
        p.AppendId(5);
        p.AppendId(6);
        p.BuildKick();
    } else if (w == "accept") {
        p.BuildAccept("Ann");
    } else if (w == "quit") {
        p.BuildQuit();
    } else if (w == "end") {
        p.BuildEnd(1);
    } else if (w == "text") {
        p.BuildText("hello #1");
    }
    return p.content();
}

TEST(ChatRoomCommand, EveryBuilderRoundTripsThroughTheParser) {
    const RoundTrip table[] = {
        {"start1", "#@#START##Ann###101#102", CRC_START, 6, {" ", "Ann", " ", " ", "101", "102"}},
        {"start1-empty", "#@#START##Ann##", CRC_START, 4, {" ", "Ann", " "}},
        {"start2", "#@#START#L#Ann#G7#T", CRC_START, 4, {"L", "Ann", "G7", "T"}},
        {"start3", "#@#START##Ann#R12# ", CRC_START, 4, {" ", "Ann", "R12", " "}},
        {"invite", "#@#INVITE#hi#11#22", CRC_INVITE, 3, {"hi", "11", "22"}},
        {"kick", "#@#KICK#5#6", CRC_KICK, 2, {"5", "6"}},
        {"accept", "#@#ACCEPT#Ann", CRC_ACCEPT, 1, {"Ann"}},
        {"quit", "#@#QUIT", CRC_QUIT, 0, {}},
        {"end", "#@#END#1", CRC_END, 1, {"1"}},
        {"text", "hello #1", CRC_PLAIN, 0, {}},
    };
    for (const RoundTrip& row : table) {
        SCOPED_TRACE(row.name);
        std::string built = Build(row.name);
        EXPECT_EQ(row.built, built);
        CChatRoomMessage m;
        m.SetRawText(built);
        EXPECT_EQ(row.code, m.Parse());
        if (row.code == CRC_PLAIN) continue;
        EXPECT_EQ(row.count, m.GetFieldCount());
        for (size_t i = 0; i < row.args.size(); ++i) EXPECT_EQ(row.args[i], m.GetListEntry(static_cast<int>(i)));
        EXPECT_EQ("", m.GetListEntry(static_cast<int>(row.args.size())));
    }
}

TEST(ChatRoomCommand, ReceivedTextsAndNames) {
    struct Row {
        const char* text;
        int code;
        int count;
        std::vector<std::string> args;
    } table[] = {
        {"#@#RESULT#0", CRC_RESULT, 1, {"0"}},
        {"#@#LIST##7#", CRC_LIST, 3, {" ", "7"}},
        {"#@#NOTIFY#1#12,Bob", CRC_NOTIFY, 2, {"1", "12,Bob"}},
        {"#@#START#0#THUPDATE", CRC_START, 2, {"0", "THUPDATE"}},
        {"#@#THUPDATE", CRC_THUPDATE, 0, {}},
        {"#@#SMSG#x", CRC_SMSG, 1, {"x"}},
        {"#@#JOIN", CRC_JOIN, 0, {}},
        {"#@#", CRC_PLAIN, 0, {}},
        {"#@#quit", CRC_PLAIN, 0, {}},
        {"x#@#QUIT", CRC_PLAIN, 0, {}},
        {"hello", CRC_PLAIN, 0, {}},
        {"#@#QUITS", CRC_PLAIN, 0, {}},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.text);
        CChatRoomMessage m;
        m.SetRawText(row.text);
        EXPECT_EQ(row.code, m.Parse());
        if (row.code == CRC_PLAIN) continue;
        EXPECT_EQ(row.count, m.GetFieldCount());
        for (size_t i = 0; i < row.args.size(); ++i) EXPECT_EQ(row.args[i], m.GetListEntry(static_cast<int>(i)));
        EXPECT_EQ("", m.GetListEntry(static_cast<int>(row.args.size())));
        EXPECT_EQ("", m.GetListEntry(200));
        EXPECT_EQ("", m.GetListEntry(-1));
    }
}

TEST(ChatRoomCommand, PlainTextLeavesNoStaleFields) {
    CChatRoomMessage m;
    m.SetRawText("#@#RESULT#13");
    ASSERT_EQ(CRC_RESULT, m.Parse());
    EXPECT_EQ(0, m.SetRawText("#@#RESULT#13"));
    EXPECT_NE(0, m.SetRawText("plain"));
    EXPECT_EQ(CRC_PLAIN, m.Parse());
    EXPECT_EQ("", m.GetListEntry(0));
    EXPECT_EQ(0, m.GetFieldCount());
}

TEST(ChatRoomCommand, SecondListSplitsMemberEntries) {
    CChatRoomMessage m;
    EXPECT_EQ(2, m.SplitFields("12,Bob,1", ','));
    EXPECT_EQ("12", m.GetSecondEntry(0));
    EXPECT_EQ("Bob", m.GetSecondEntry(1));
    EXPECT_EQ("1", m.GetSecondEntry(2));
    EXPECT_EQ("", m.GetSecondEntry(3));
    EXPECT_EQ(2, m.SplitFields(",,x", ','));
    EXPECT_EQ(" ", m.GetSecondEntry(0));
    EXPECT_EQ("x", m.GetSecondEntry(2));
}

TEST(ChatRoomCommand, OverlongInputNeverPassesTheCaps) {
    CChatRoomMessage m;
    // The raw text cap: 1024 bytes are taken whole, a longer text is cut to them.
    std::string atCap = "#@#RESULT#" + std::string(1024 - 10, '7');
    m.SetRawText(atCap);
    EXPECT_EQ(atCap, m.rawText());
    EXPECT_FALSE(m.Cut());
    m.SetRawText(atCap + "7");
    EXPECT_EQ(atCap, m.rawText());
    EXPECT_TRUE(m.Cut());

    // Empty fields are stored as blanks and count against the 512-byte list: "LIST", 253 blanks and
    // the empty last field take exactly 512 bytes.
    std::string fits = "#@#LIST" + std::string(254, '#');
    m.SetRawText(fits);
    EXPECT_EQ(CRC_LIST, m.Parse());
    EXPECT_EQ(254, m.GetFieldCount());
    EXPECT_FALSE(m.Cut());
    // Past the list, the whole fields that fit are kept and nothing of the one that does not.
    struct Row {
        std::string text;
        int code, count;
        std::string last;  // the last argument kept
    } const rows[] = {
        {"#@#LIST" + std::string(300, '#'), CRC_LIST, 253, " "},
        {"#@#LIST#" + std::string(504, 'a') + "#bb", CRC_LIST, 1, std::string(504, 'a')},
        {"#@#LIST#" + std::string(505, 'a') + "#b", CRC_LIST, 1, std::string(505, 'a')},
        {"#@#LIST#" + std::string(506, 'a') + "#", CRC_LIST, 1, std::string(506, 'a')},
        {"#@#LIST#" + std::string(507, 'a'), CRC_LIST, 0, ""},
        {"#@#RESULT#" + std::string(600, 'a'), CRC_RESULT, 0, ""},
        {"#@#" + std::string(600, 'L'), CRC_PLAIN, 0, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text.substr(0, 12) + "... " + std::to_string(r.text.size()));
        m.SetRawText(r.text);
        EXPECT_EQ(r.code, m.Parse());
        EXPECT_TRUE(m.Cut());
        EXPECT_EQ(r.count, m.GetFieldCount());
        EXPECT_EQ(r.last, r.count > 0 ? m.GetListEntry(r.count - 1) : m.GetListEntry(0));
        EXPECT_EQ("", m.GetListEntry(r.count));
    }
    // A text that fits again is not cut.
    m.SetRawText("#@#RESULT#0");
    EXPECT_EQ(CRC_RESULT, m.Parse());
    EXPECT_FALSE(m.Cut());
    EXPECT_EQ(-1, m.SplitFields(std::string(600, 'b'), ','));
    EXPECT_EQ("", m.GetSecondEntry(0));

    CChatRoomPacket p;
    // Thread ids over 32 characters are refused and the old one is kept.
    EXPECT_TRUE(p.SetThid("4_12345_7"));
    EXPECT_TRUE(p.changed());
    EXPECT_TRUE(p.SetThid("4_12345_7"));
    EXPECT_FALSE(p.changed());
    EXPECT_FALSE(p.SetThid(std::string(33, 'x')));
    EXPECT_EQ("4_12345_7", p.thid());
    // Argument text stops at 511 characters.
    int appended = 0;
    while (p.AppendId(1234567) && appended < 1000) ++appended;
    EXPECT_LE(p.args().size(), CChatRoomPacket::kArgsMax);
    EXPECT_EQ(63, appended);
    // A text too long for Content is refused and Content is kept.
    ASSERT_EQ(1, p.BuildQuit());
    EXPECT_EQ(0, p.BuildText(std::string(1025, 'z')));
    EXPECT_EQ("#@#QUIT", p.content());
    EXPECT_EQ(1, p.BuildText(std::string(1024, 'z')));
}

TEST(ChatRoomCommand, OutgoingFieldsCannotShiftOrForgeCommands) {
    CChatRoomPacket p;
    p.SetKey("R#1");
    p.BuildStart(3, "", "A#n", " ");
    EXPECT_EQ("#@#START##A n#R 1# ", p.content());
    CChatRoomMessage m;
    m.SetRawText(p.content());
    ASSERT_EQ(CRC_START, m.Parse());
    EXPECT_EQ("A n", m.GetListEntry(1));
    EXPECT_EQ("R 1", m.GetListEntry(2));
    // A user's text that looks like a command reaches the robot as plain text.
    p.BuildText("#@#KICK#5");
    m.SetRawText(p.content());
    EXPECT_EQ(CRC_PLAIN, m.Parse());
    // Any other START mode leaves Content as it was.
    p.BuildQuit();
    p.BuildStart(4, "a", "b", "c");
    EXPECT_EQ("#@#QUIT", p.content());
}

struct SentRecord {
    std::string text;
    std::vector<int> to;
    std::string thid;
    int kind = -1;
};
std::vector<SentRecord> g_sent;

int RecordSend(PresenceConnectionRec*, const char* text, std::vector<PresenceBuddyRecord>* recipients,
               const char* thid, int kind) {
    if (!thid) return -1;
    SentRecord r{text, {}, thid, kind};
    for (auto& b : *recipients) r.to.push_back(b.id);
    recipients->clear();
    g_sent.push_back(r);
    return 0;
}

TEST(ChatRoomCommand, SendGoesToTheOneRecipientWithTheThreadId) {
    g_sent.clear();
    ChatSetSendFunction(RecordSend);
    CChatRoomPacket p(900);
    p.SetThid("12#");
    p.BuildText("hi");
    EXPECT_EQ(0, p.Send(nullptr, nullptr, 0));
    EXPECT_EQ(0, p.Send(nullptr, "12#SMSG#7", 3));
    p.SetRecipient(12);
    p.BuildQuit();
    EXPECT_EQ(0, p.Send(nullptr, nullptr, 0));
    CChatRoomPacket noThread(900);
    noThread.BuildQuit();
    EXPECT_EQ(-1, noThread.Send(nullptr, nullptr, 0));
    ChatSetSendFunction(nullptr);
    ASSERT_EQ(3u, g_sent.size());
    EXPECT_EQ("hi", g_sent[0].text);
    EXPECT_EQ(std::vector<int>{900}, g_sent[0].to);
    EXPECT_EQ("12#", g_sent[0].thid);
    EXPECT_EQ(0, g_sent[0].kind);
    EXPECT_EQ("12#SMSG#7", g_sent[1].thid);
    EXPECT_EQ(3, g_sent[1].kind);
    EXPECT_EQ(std::vector<int>{12}, g_sent[2].to);
    EXPECT_EQ("#@#QUIT", g_sent[2].text);
}

// Every packet sent is traced with its text and thread; a user's line that reads like a command goes
// out (and is traced) with its blank.
std::vector<std::string> g_traced;
TEST(ChatRoomCommand, EveryPacketSentIsTracedWithItsText) {
    LoadDebugConfig(TESSALY_SOURCE_DIR "/ui/shell/install/usrcfg.ini");
    ASSERT_NE(0, debug_enable.load()) << "the shipped settings trace";
    g_traced.clear();
    g_debugOutput = [](unsigned, const char* text) { g_traced.push_back(text); };
    g_sent.clear();
    ChatSetSendFunction(RecordSend);
    CChatRoomPacket p(900);
    p.SetThid("12#");
    p.BuildText("my private line");
    EXPECT_EQ(0, p.Send(nullptr, nullptr, 0));
    p.BuildText("#@#QUIT");  // a line that reads like a command is still a line
    EXPECT_EQ(0, p.Send(nullptr, nullptr, 0));
    p.BuildQuit();
    EXPECT_EQ(0, p.Send(nullptr, nullptr, 0));
    ChatSetSendFunction(nullptr);
    g_debugOutput = nullptr;
    ASSERT_EQ(3u, g_sent.size());
    EXPECT_EQ((std::vector<std::string>{"Packet=my private line, Thid=12#", "Packet= #@#QUIT, Thid=12#",
                                        "Packet=#@#QUIT, Thid=12#"}),
              g_traced);
    DebugInit();
    debug_all = 0;
    debug_enable = 0;
}

}  // namespace
