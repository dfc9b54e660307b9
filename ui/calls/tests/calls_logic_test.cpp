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
