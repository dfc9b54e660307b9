// Window-free rules of the calls windows: history, button states, log texts and filters, keypad,
// tile layout, conference chooser candidates.
#include <gtest/gtest.h>

#include <cstring>

#include "ui/calls/call_page_model.h"
#include "ui/calls/calls_logic.h"

using namespace calls;

namespace {

CallLogEntry Rec(uint32_t id, uint32_t flags, const char* number, const char* name, uint32_t duration = 0) {
    CallLogEntry e{};
    e.id = id;
    e.typeFlags = flags;
    e.duration = duration;
    std::strncpy(e.number, number, sizeof e.number - 1);
    std::strncpy(e.name, name, sizeof e.name - 1);
    return e;
}

TEST(CallsLogic, DialHistoryKeepsTwentyMostRecentIgnoringCase) {
    DialHistory h;
    for (int i = 0; i < 20; ++i) h.Add("n" + std::to_string(i));
    EXPECT_EQ("n19", h.Entries()[0]);
    h.Add("N5");  // a repeat moves to the top, with the new spelling
    EXPECT_EQ(20u, h.Entries().size());
    EXPECT_EQ("N5", h.Entries()[0]);
    h.Add("new");  // the 21st distinct number drops the oldest
    EXPECT_EQ(20u, h.Entries().size());
    EXPECT_EQ("new", h.Entries()[0]);
    EXPECT_EQ("n1", h.Entries().back());
    EXPECT_EQ(63u, DialText(std::string(64, '7')).size());
}

TEST(CallsLogic, DialBarButtonRules) {
    struct Case {
        bool talking, unanswered, empty, dial, hangup;
    };
    const Case cases[] = {
        {true, false, true, true, true},    {true, false, false, true, true},   {false, true, true, false, true},
        {false, true, false, false, true},  {false, false, true, false, false}, {false, false, false, true, false},
    };
    for (const Case& c : cases) {
        bool dial, hangup;
        DialPageButtons(c.talking, c.unanswered, c.empty, &dial, &hangup);
        EXPECT_EQ(c.dial, dial);
        EXPECT_EQ(c.hangup, hangup);
    }
    bool dial, hangup;
    CallLogButtons(false, false, 2, &dial, &hangup);
    EXPECT_FALSE(dial);
    CallLogButtons(false, false, 1, &dial, &hangup);
    EXPECT_TRUE(dial);
    CallLogButtons(false, true, 1, &dial, &hangup);
    EXPECT_FALSE(dial);
    EXPECT_TRUE(hangup);
}

TEST(CallsLogic, DurationTexts) {
    EXPECT_EQ("00:40", DurationText(40));
    EXPECT_EQ("1:02:05", DurationText(3725));
    EXPECT_EQ("1, 1:01:01", DurationText(90061));
    EXPECT_EQ("", DurationText(0));
    const CallLogEntry missed = Rec(1, 4, "bob", "");
    EXPECT_EQ(StartTimeText(0), EntryLineTwo(missed, "Duration"));
    const CallLogEntry talked = Rec(1, 1, "bob", "", 40);
    EXPECT_EQ(StartTimeText(0) + "  Duration  00:40", EntryLineTwo(talked, "Duration"));
}

TEST(CallsLogic, PeerFilterAndRefill) {
    const std::vector<CallLogEntry> r = {
        Rec(6, 1, "bob@x", "Bob"),     Rec(5, 2, "carol@x", ""), Rec(4, 4, "bob@y", "BOB"),
        Rec(3, 8, "dave@x", "Dave"),   Rec(2, 4, "carol@x", ""), Rec(1, 2, "", ""),
    };
    const std::vector<size_t> peers = PeerFilterEntries(r);
    ASSERT_EQ(3u, peers.size());  // Bob, carol@x, Dave: most recent first, no empty peer
    EXPECT_EQ(0u, peers[0]);
    EXPECT_EQ(1u, peers[1]);
    EXPECT_EQ(3u, peers[2]);
    EXPECT_EQ((std::vector<size_t>{0, 2}), FilterRecords(r, &r[0], 0xFFFFFFFFu));  // by name
    EXPECT_EQ((std::vector<size_t>{1, 4}), FilterRecords(r, &r[1], 0xFFFFFFFFu));  // no name: by number
    EXPECT_EQ((std::vector<size_t>{2, 4}), FilterRecords(r, nullptr, 4));        // missed only
    EXPECT_EQ((std::vector<size_t>{0, 1, 2, 4, 5}), FilterRecords(r, nullptr, 0xFFFFFFFFu));  // type 8 hidden
    EXPECT_EQ(0, DirectionIcon(2));
    EXPECT_EQ(1, DirectionIcon(1));
    EXPECT_EQ(2, DirectionIcon(4));
    EXPECT_TRUE(PeerFilterEntries({}).empty());
    EXPECT_EQ("bob@example.com", CallBackAddress("bob", "@example.com"));
    EXPECT_EQ("bob@x", CallBackAddress("bob@x", "@example.com"));
}

TEST(CallsLogic, KeypadValuesAndSlide) {
    EXPECT_EQ(0, KeypadValue(1117));
    EXPECT_EQ(9, KeypadValue(1126));
    EXPECT_EQ(10, KeypadValue(1127));
    EXPECT_EQ(11, KeypadValue(1128));
    EXPECT_EQ(-1, KeypadValue(1129));
    // The dial page's keys as telephone events: * and # are 10 and 11, as on the keypad window.
    const std::pair<int, int> keys[] = {{'0', 0}, {'5', 5}, {'9', 9}, {'*', 10}, {'#', 11}, {'A', -1}, {'/', -1}, {':', -1}, {0, -1}};
    for (auto [key, event] : keys) EXPECT_EQ(event, KeyEvent(key)) << key;
    bool done = false;
    int w = 0, steps = 0;
    while (!done) {
        w = KeypadSlideStep(w, 176, &done);
        ++steps;
    }
    EXPECT_EQ(176, w);
    EXPECT_EQ(4, steps);
}

TEST(CallsLogic, TilePlacesAndScrollThreshold) {
    struct Case {
        int n, h;
        bool scroll;
        int range;
    };
    const Case cases[] = {{1, 300, false, 0}, {3, 300, false, 0}, {4, 420, true, 0}, {5, 300, true, 120}};
    for (const Case& c : cases) {
        const TileLayout l = LayoutTiles(c.n, 400, c.h, 16);
        EXPECT_EQ(c.scroll, l.scroll) << c.n;
        EXPECT_EQ(c.range, l.range) << c.n;
        ASSERT_EQ(static_cast<size_t>(c.n), l.places.size());
    }
    const TileLayout three = LayoutTiles(3, 400, 300, 16);
    EXPECT_EQ(std::make_pair(150, 10), three.places[0]);  // first row, centred
    EXPECT_EQ(std::make_pair(80, 150), three.places[1]);  // second row, side by side
    EXPECT_EQ(std::make_pair(220, 150), three.places[2]);
    int x, y;
    TilePosition(0, &x, &y);
    EXPECT_EQ(100, x);
    TilePosition(3, &x, &y);
    EXPECT_EQ(10, x);
    EXPECT_EQ(290, y);
}

TEST(CallsLogic, ChooserCandidatesCollapseOnlyConsecutiveKeysAndKeepUniqueHandles) {
    std::vector<std::unique_ptr<CInvitee>> in;
    for (const char* n : {"a", "a", "b", "a", "", ""}) {
        auto inv = std::make_unique<CInvitee>();
        inv->SetNumber(n);
        in.push_back(std::move(inv));
    }
    int next = 1;
    const std::vector<Candidate> out = DedupCandidates(std::move(in), &next);
    ASSERT_EQ(4u, out.size());
    EXPECT_EQ("a", out[0].Key());
    EXPECT_EQ("b", out[1].Key());
    EXPECT_EQ("a", out[2].Key());
    EXPECT_EQ("", out[3].Key());
    EXPECT_NE(out[0].handle, out[2].handle);
}

}  // namespace

namespace {

// A page host that records what the page asks for, without call control.
struct RecordingHost : calls::CallPageHost {
    std::vector<std::string> sounds;
    int changed = 0;
    void PlaySound(const std::string& f, bool) override { sounds.push_back(f); }
    void StopSound() override { sounds.push_back("stop"); }
    int SendEvent(int, int, int, int) override { return 0; }
    bool IsConfCall(int) override { return true; }
    void CallLogChanged() override {}
    void MissedCall() override {}
    void ActivatePageOfType(int) override {}
    void PageEnded(calls::CallPageModel*) override {}
    void StopTrayAnimation() override {}
    void ShowBox(const std::string&) override {}
    void Changed(calls::CallPageModel*) override { ++changed; }
    std::string DisplayNameOf(const std::string& n) override { return n.substr(0, n.find('@')); }
    std::string OwnNumber() override { return "me@x"; }
    std::string SkinPath(const std::string& f) override { return "/skin/" + f; }
};

std::unique_ptr<calls::RemoteMember> Member(const char* n, uint32_t kind, uint32_t presence) {
    auto m = std::make_unique<calls::RemoteMember>();
    m->number = n;
    m->kind = kind;
    m->presence = presence;
    return m;
}

TEST(CallsLogic, RemoteConferenceMembersOpenTheListOnTheHostsReport) {
    RecordingHost host;
    calls::CallPageModel page(&host, [] { return int64_t{1000}; }, [] { return uint64_t{0}; });
    page.callId = 1;
    page.AddCnx(0);
    page.OnConferenceMembers(Member("gone@x", 1, 0), 0);  // leaving while a single call: dropped
    EXPECT_TRUE(page.RemoteList().empty());
    EXPECT_FALSE(page.conference);
    page.OnConferenceMembers(Member("carol@x", 1, 4), 0);  // before the host's report: kept, no tile
    EXPECT_TRUE(page.Members().empty());
    EXPECT_FALSE(page.conference);  // nothing to show yet: the single view stays
    EXPECT_EQ(2u, page.RemoteList().size());
    page.SetLastCnxId(0);
    page.OnConferenceMembers(Member("bob@x", 0, 4), 0);
    EXPECT_TRUE(page.conference);
    EXPECT_FALSE(page.hosting);
    ASSERT_EQ(3u, page.Members().size());
    EXPECT_EQ("bob@x", page.Members()[0].number);
    EXPECT_EQ("Chairman", page.Members()[0].stateText);
    EXPECT_EQ(1, page.Members()[0].itemValue);  // the host's connection is outgoing here
    page.OnConferenceMembers(Member("BOB@x", 0, 4), 0);  // a second host report changes nothing
    EXPECT_EQ(3u, page.Members().size());
    page.OnConferenceMembers(Member("CAROL@x", 1, 0), 0);  // a member leaves: back to one peer
    EXPECT_TRUE(page.Members().empty());
    EXPECT_FALSE(page.memberListOpen);
    EXPECT_EQ("HANGUP.wav", host.sounds.back());
}

TEST(CallsLogic, AMemberLeavingBeforeTheHostsReportGetsNoTile) {
    RecordingHost host;
    calls::CallPageModel page(&host, [] { return int64_t{1000}; }, [] { return uint64_t{0}; });
    page.callId = 1;
    page.AddCnx(0);
    page.OnConferenceMembers(Member("carol@x", 1, 4), 0);
    ASSERT_EQ(2u, page.RemoteList().size());
    page.OnConferenceMembers(Member("CAROL@X", 1, 0), 0);  // gone again before the host reports
    EXPECT_FALSE(page.conference);
    EXPECT_TRUE(page.RemoteList().empty());  // only the user's own record was left
    page.OnConferenceMembers(Member("erin@x", 1, 4), 0);
    page.OnConferenceMembers(Member("frank@x", 1, 4), 0);
    page.OnConferenceMembers(Member("erin@x", 1, 0), 0);
    EXPECT_EQ(2u, page.RemoteList().size());
    page.OnConferenceMembers(Member("bob@x", 0, 4), 0);
    ASSERT_EQ(3u, page.Members().size());  // the host, the user and frank; erin left
    for (const auto& m : page.Members()) EXPECT_NE("erin@x", m.number);
}

// Back to the single view, the name line and tab show the remaining tile's name as it was, empty
// or not; the display name is the SIP identity's name of its number, else the number.
TEST(CallsLogic, TheRemainingTileKeepsItsNameOnReturnToTheSingleView) {
    struct NamingHost : RecordingHost {
        std::string SipNameOf(const std::string& n) override { return n == "erin@x" ? "Erin Lee" : ""; }
    } host;
    for (const char* tileName : {"", "Bob Walker"}) {
        for (const char* number : {"bob@x", "erin@x"}) {
            SCOPED_TRACE(std::string(number) + " named '" + tileName + "'");
            for (bool byNumber : {true, false}) {
                calls::CallPageModel page(&host, [] { return int64_t{1000}; }, [] { return uint64_t{0}; });
                page.callId = 1;
                page.conference = page.hosting = true;
                page.AddAttendeePicture(-1, "me@x", "Me", "", 1);
                page.AddAttendeePicture(3, number, tileName, "", 1);
                page.AddAttendeePicture(4, "carol@x", "Carol", "", 1);
                if (byNumber) page.RemoveMemberByNumber("carol@x");
                else page.RemoveMemberByCnxId(4);
                EXPECT_FALSE(page.MemberView());
                EXPECT_EQ(tileName, page.NameLine());
                EXPECT_EQ(tileName, page.TabCaption());
                EXPECT_EQ(std::string(number) == "erin@x" ? "Erin Lee" : number, page.displayName);
                EXPECT_EQ(number, page.remoteNumber);
                EXPECT_EQ(3, page.cnxIds[0]);
            }
        }
    }
}

TEST(CallsLogic, DuplicateTileNumbersAreIgnoredInAnyCase) {
    RecordingHost host;
    calls::CallPageModel page(&host, [] { return int64_t{1000}; }, [] { return uint64_t{0}; });
    page.AddAttendeePicture(-1, "me@x", "me", "", 1);
    page.AddAttendeePicture(3, "Bob@X", "bob", "", 1);
    page.AddAttendeePicture(4, "bob@x", "other", "", 1);
    ASSERT_EQ(2u, page.Members().size());
    EXPECT_EQ("bob", page.Members()[1].name);
}

TEST(CallsLogic, PageTimersRunInDueOrderAndRingRepeats) {
    RecordingHost host;
    uint64_t ticks = 0;
    int64_t now = 5000;
    calls::CallPageModel page(&host, [&] { return now; }, [&] { return ticks; });
    page.callType = 0;
    page.UpdateCallStatus(calls::CALL_CALLING);
    page.StartRing(calls::RING_IN);
    page.StartRing(calls::RING_HANGUP);  // kind 3 is never repeated
    EXPECT_EQ(1u, host.sounds.size());
    EXPECT_EQ(5000, page.NextTimerIn());
    ticks = 10000;
    page.RunTimers();  // one expiry per run, as window timers coalesce
    EXPECT_EQ(2u, host.sounds.size());
    page.StopRing();
    EXPECT_FALSE(page.TimerRunning(calls::TIMER_RING));
    EXPECT_EQ(-1, page.NextTimerIn());
}

}  // namespace
