// Call pages driven by real call control (CM_SendEvent, test doubles below it) and the real call log,
// on the test clock: pages made, updated and closed by call events, the talk clock, rings, logging.
#include "ui/calls/tests/calls_test_support.h"

#include <algorithm>
#include <cstdio>

#include "common/addrbook.h"
#include "voip/CM_Xml.h"

using namespace callstest;

namespace {

TEST_F(CallPages, OutgoingCallRingsIsAnsweredTalksAndEndsWithOneLogRecord) {
    calls->CallNumber("bob@example.com");
    PumpAll();
    CallPageModel* page = Only();
    ASSERT_NE(nullptr, page);
    EXPECT_EQ(CALL_CALLING, page->State());
    EXPECT_EQ("Calling...", page->StatusText());
    EXPECT_EQ("Connecting...", page->TipText());
    EXPECT_EQ("bob@example.com", page->displayName);  // no contact: the number as dialled
    ASSERT_FALSE(UaEvents().empty());
    EXPECT_EQ(OSIP_UA_EVT_INVITE, UaEvents().back().iEvent);
    const int cnx = page->cnxIds[0];

    CC_SendEvent(-1, cnx, CCEVT_REMOTE_ALERT, 180, -1, nullptr);
    PumpAll();
    EXPECT_EQ("Ring...", page->TipText());
    EXPECT_EQ(1, sounds.Count("ringout.wav"));
    Wait(5000);
    EXPECT_EQ(2, sounds.Count("ringout.wav"));  // repeated every 5 s while the peer rings

    Answer(cnx);
    PumpAll();
    EXPECT_EQ(CALL_TALKING, page->State());
    EXPECT_EQ("Call with...", page->StatusText());
    EXPECT_EQ("stop", sounds.log.back());
    Wait(65000);
    EXPECT_EQ("00:01:05", page->TipText());
    const size_t rings = sounds.log.size();
    Wait(6000);
    EXPECT_EQ(rings, sounds.log.size());  // no ring after the answer

    CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
    PumpAll();
    EXPECT_EQ("Endding", page->TipText());
    EXPECT_EQ(CALL_TALKING, page->State());
    ASSERT_EQ(1u, Log().size());
    EXPECT_EQ(CALLLOG_OUTGOING, Log()[0].typeFlags);
    EXPECT_EQ(71u + 3u, Log()[0].duration);
    EXPECT_STREQ("bob@example.com", Log()[0].number);
    EXPECT_EQ(1, ui.logChanged);
    Wait(3000);
    EXPECT_EQ(CALL_ENDED, page->State());
    EXPECT_EQ("Call End", page->StatusText());
    EXPECT_TRUE(ui.removed.empty());
    Wait(2000);
    ASSERT_EQ(1u, ui.removed.size());
    EXPECT_TRUE(calls->Pages().empty());
    EXPECT_EQ("HANGUP.wav", sounds.log.back());
    EXPECT_EQ(1, ui.tray);
    EXPECT_EQ(1u, Log().size());  // closing writes nothing more
    EXPECT_EQ(1, ui.missed + 1);  // an outgoing call is never missed
}

// The call log page is told to reload after every logging of a connection, also when that
// connection's entry was logged already; a connection id of -1 is no logging at all.
TEST_F(CallPages, LoggingAConnectionTellsTheCallLogPageEvenWithNothingLeft) {
    calls->CallNumber("bob@example.com");
    PumpAll();
    CallPageModel* page = Only();
    ASSERT_NE(nullptr, page);
    const int cnx = page->cnxIds[0];
    page->LogAndRemoveAttendee(-1);
    EXPECT_EQ(0, ui.logChanged);
    page->LogAndRemoveAttendee(cnx);
    EXPECT_EQ(1u, Log().size());
    EXPECT_EQ(1, ui.logChanged);
    page->LogAndRemoveAttendee(cnx);  // no entry left for it
    EXPECT_EQ(1u, Log().size());
    EXPECT_EQ(2, ui.logChanged);
}

// Incoming calls: how each ends decides its log flags and the missed-call notice.
TEST_F(CallPages, IncomingCallsAreLoggedByHowTheyEnd) {
    struct Case {
        const char* name;
        bool answer;
        bool localHangup;
        uint32_t flags;
        int missed;
    };
    const Case cases[] = {
        {"unanswered, caller gives up", false, false, CALLLOG_MISSED, 1},
        {"answered, caller hangs up", true, false, CALLLOG_INCOMING, 0},
        {"answered, user hangs up", true, true, CALLLOG_INCOMING, 0},
        {"declined by the user", false, true, CALLLOG_MISSED, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CallLog_Clear();
        ui = FakeUi();
        sounds.log.clear();
        int call, cnx;
        IncomingCall("carol@example.com", &call, &cnx);
        CallPageModel* page = Only();
        ASSERT_NE(nullptr, page);
        EXPECT_EQ("Is Calling...", page->TipText());
        EXPECT_EQ("", page->StatusText());
        EXPECT_EQ(1, sounds.Count("ringin.wav"));
        EXPECT_EQ(1, ui.front);
        int dial, hangup;
        page->DialBarState(&dial, &hangup);
        EXPECT_EQ(1, dial);  // answer with the dial button
        if (c.answer) {
            page->OnDial();
            PumpAll();
            EXPECT_EQ(CALL_TALKING, page->State());
            EXPECT_EQ("stop", sounds.log.back());
            Wait(10000);
        }
        if (c.localHangup) page->OnHangup(0);
        else CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
        PumpAll();
        Wait(6000);
        EXPECT_TRUE(calls->Pages().empty());
        ASSERT_EQ(1u, Log().size());
        EXPECT_EQ(c.flags, Log()[0].typeFlags);
        EXPECT_EQ(c.answer ? 13u : 0u, Log()[0].duration);
        EXPECT_EQ(c.missed, ui.missed);
        EXPECT_EQ(c.missed ? 1u : 0u, ui.activatedTypes.size());
        EXPECT_EQ(16, CC_GetIdleCnxNum());
    }
}

TEST_F(CallPages, RepeatedStateChangesNothingAndTheClockReachesHundredHours) {
    CallPageModel* page = AnsweredCall("bob@example.com");
    ASSERT_NE(nullptr, page);
    Wait(2000);
    const int64_t start = page->ClockStart();
    const std::string tip = page->TipText();
    page->UpdateCallStatus(CALL_TALKING);
    EXPECT_EQ(start, page->ClockStart());
    EXPECT_EQ(tip, page->TipText());
    EXPECT_TRUE(page->TimerRunning(TIMER_CLOCK));
    EXPECT_EQ("00:01:05", ClockText(65));
    EXPECT_EQ("100:00:00", ClockText(100 * 3600));
}

// An index outside the call's connections shows the box while the call rings or talks and ends no
// connection; a page preparing its call or showing its end ends as by any hang-up, without the box.
TEST_F(CallPages, HangupIndexOutsideTheCallShowsTheBoxOnlyWhileRingingOrTalking) {
    // Ringing: the ring stops, then the box.
    int call, cnx;
    IncomingCall("carol@example.com", &call, &cnx);
    CallPageModel* ringing = Only();
    ASSERT_NE(nullptr, ringing);
    ASSERT_TRUE(ringing->TimerRunning(TIMER_RING));
    ringing->OnHangup(3);
    EXPECT_EQ(1u, ui.boxes.size());
    EXPECT_FALSE(ringing->TimerRunning(TIMER_RING));
    EXPECT_EQ(CALL_CALLING, ringing->State());
    ringing->OnHangup(0);
    Wait(3000);
    ASSERT_TRUE(calls->Pages().empty());

    // Talking: the box for every index outside the call, and nothing ends.
    ui.boxes.clear();
    CallPageModel* page = AnsweredCall("bob@example.com");
    ASSERT_NE(nullptr, page);
    const size_t ua = UaEvents().size();
    const size_t logged = Log().size();
    for (int index : {1, 16, 99, -1}) page->OnHangup(index);
    PumpAll();
    EXPECT_EQ(4u, ui.boxes.size());
    EXPECT_EQ("Disconnect error!", ui.boxes[0]);
    EXPECT_EQ(ua, UaEvents().size());
    EXPECT_EQ(CALL_TALKING, page->State());
    EXPECT_EQ(logged, Log().size());

    // Preparing: the page ends, without the box.
    ui.boxes.clear();
    CallPageModel* preparing = calls->OpenPage("dave@example.com", "", 1);
    preparing->UpdateCallStatus(CALL_PREPARING);
    preparing->OnHangup(5);
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_EQ(CALL_ENDED, preparing->State());
}

// A language change reads the tip again and leaves the status line as it stands; a talking call's
// tip starts over at "00:00:00" and the clock's next second writes the talk time again.
TEST_F(CallPages, LanguageChangeReadsTheTipAgainAndKeepsTheStatusLine) {
    bool other = false;
    SetTextSource([&](const char*, const char*, const char* def) { return other ? "~" + std::string(def) : std::string(def); });
    struct Reset {
        ~Reset() { SetTextSource(nullptr); }
    } reset;
    calls->CallNumber("bob@example.com");
    PumpAll();
    CallPageModel* page = Only();
    ASSERT_NE(nullptr, page);
    ASSERT_EQ("Connecting...", page->TipText());
    ASSERT_EQ("Calling...", page->StatusText());
    other = true;
    page->OnLanguageChanged();
    EXPECT_EQ("~Connecting...", page->TipText());
    EXPECT_EQ("Calling...", page->StatusText());
    Answer(page->cnxIds[0]);
    PumpAll();
    Wait(2000);
    const std::string clock = page->TipText();
    ASSERT_NE("00:00:00", clock);
    other = false;
    page->OnLanguageChanged();
    EXPECT_EQ("00:00:00", page->TipText());
    EXPECT_EQ("~Call with...", page->StatusText());
    Wait(1000);
    EXPECT_EQ("00:00:03", page->TipText());
}

// Call control reports a refused call as the peer's disconnect with the SIP code: a call that never
// talked ends at once, as any disconnect of it does.
TEST_F(CallPages, RefusedCallEndsAtOnceAndLogsOnce) {
    calls->CallNumber("nobody@example.com");
    PumpAll();
    CallPageModel* page = Only();
    ASSERT_NE(nullptr, page);
    CC_SendEvent(-1, page->cnxIds[0], CCEVT_REMOTE_DISCONNECT, 486, -1, nullptr);
    PumpAll();
    EXPECT_EQ(CALL_ENDED, page->State());
    EXPECT_EQ("Call End", page->StatusText());
    EXPECT_EQ("End", page->TipText());
    Wait(1000);
    EXPECT_EQ(0, sounds.Count("ringbusy.wav"));
    Wait(2000);
    EXPECT_TRUE(calls->Pages().empty());
    ASSERT_EQ(1u, Log().size());
    EXPECT_EQ(0u, Log()[0].duration);
    EXPECT_EQ(CALLLOG_OUTGOING, Log()[0].typeFlags);
}

// A page showing the end of a refused call lets go of the call's id once call control releases it:
// call control gives that id to the next call at once, which the closing page's menu must not reach.
TEST_F(CallPages, AnEndedPageLetsGoOfItsReleasedCall) {
    calls->CallNumber("nobody@example.com");
    PumpAll();
    CallPageModel* page = Only();
    ASSERT_NE(nullptr, page);
    const int call = page->callId;
    ASSERT_NE(-1, call);
    CC_SendEvent(-1, page->cnxIds[0], CCEVT_REMOTE_DISCONNECT, 486, -1, nullptr);
    PumpAll();
    ASSERT_EQ(CALL_ENDED, page->State());
    Wait(500);
    PumpAll();
    ASSERT_EQ(page, Only());  // still closing
    EXPECT_EQ(-1, page->callId);
    calls->CallNumber("bob@example.com");
    PumpAll();
    ASSERT_EQ(2u, calls->Pages().size());
    EXPECT_EQ(call, calls->Pages().back()->callId);  // the id went to the next call
    EXPECT_NE(call, page->callId);
}

// However a page ends and closes, every call it held is in the call log file afterwards: the rows
// that end a page through an event other than a hangup included.
TEST_F(CallPages, EveryWayAPageClosesWritesTheCallToTheLogFile) {
    enum End { RemoteBye, LocalHangup, Refused, OtherEvent, ProgramExit };
    struct Case {
        const char* name;
        bool incoming;
        bool talk;
        End end;
        int event;  // for OtherEvent
        uint32_t flags;
    };
    const Case cases[] = {
        {"peer hangs up after talking", false, true, RemoteBye, 0, CALLLOG_OUTGOING},
        {"user hangs up while talking", false, true, LocalHangup, 0, CALLLOG_OUTGOING},
        {"peer refuses the call", false, false, Refused, 0, CALLLOG_OUTGOING},
        {"alert with a session description while ringing", false, false, OtherEvent, VOIPEVT_REMOTE_ALERT_SDP, CALLLOG_OUTGOING},
        {"no record device while talking", false, true, OtherEvent, VOIPEVT_NO_RECORD_DEVICE, CALLLOG_OUTGOING},
        {"unknown event on a ringing incoming call", true, false, OtherEvent, 23, CALLLOG_MISSED},
        {"unknown event on an answered incoming call", true, true, OtherEvent, VOIPEVT_MAX, CALLLOG_INCOMING},
        {"program closes while talking", false, true, ProgramExit, 0, CALLLOG_OUTGOING},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CallLog_Clear();
        ASSERT_EQ(0, CallLog_Save());
        ui = FakeUi();
        int call = -1, cnx = -1;
        if (c.incoming) {
            IncomingCall("carol@example.com", &call, &cnx);
        } else {
            calls->CallNumber("bob@example.com");
            PumpAll();
        }
        CallPageModel* page = Only();
        ASSERT_NE(nullptr, page);
        cnx = page->cnxIds[0];
        if (c.talk) {
            if (c.incoming) page->OnDial();
            else Answer(cnx);
            PumpAll();
            ASSERT_EQ(CALL_TALKING, page->State());
            Wait(10000);
        }
        switch (c.end) {
            case RemoteBye: CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr); break;
            case LocalHangup: page->OnHangup(0); break;
            case Refused: CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, 486, -1, nullptr); break;
            case OtherEvent: {
                VOIP_UI_MSG m{page->callId, cnx, c.event, 0, 0, nullptr};
                calls->OnVoipEvent(&m);
                EXPECT_EQ(CALL_ENDED, page->State());
                EXPECT_EQ("Deny Calling", page->TipText());
                break;
            }
            case ProgramExit: calls->CloseAll(); break;
        }
        PumpAll();
        Wait(6000);
        EXPECT_TRUE(calls->Pages().empty());
        EXPECT_EQ(1u, ui.removed.size());
        EXPECT_GE(ui.logChanged, 1);
        CallLog_Clear();
        ASSERT_EQ(0, CallLog_Load());
        const std::vector<CallLogEntry> log = Log();
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ(c.flags, log[0].typeFlags);
        EXPECT_STREQ(c.incoming ? "carol@example.com" : "bob@example.com", log[0].number);
        if (c.talk) EXPECT_GE(log[0].duration, 13u);
        else EXPECT_EQ(0u, log[0].duration);
    }
}

// A second caller joins the talking call; one member leaving returns the page to the single view
// with the clock running on from the remaining peer's start.
TEST_F(CallPages, IncomingCallMergedIntoConferenceAndBackToSingleView) {
    calls->CallNumber("bob@example.com");
    PumpAll();
    CallPageModel* page = Only();
    ASSERT_NE(nullptr, page);
    const int bobCnx = page->cnxIds[0];
    Answer(bobCnx);
    PumpAll();
    Wait(10000);
    const int64_t bobStart = page->Attendees()[0].record.startTime;

    int call, carolCnx;
    IncomingCall("carol@example.com", &call, &carolCnx);
    ASSERT_EQ(1u, ui.questions.size());
    EXPECT_EQ("carol call you,do you want to add it to conference?", ui.questions[0]) << "the caller by the name a page shows";
    ASSERT_EQ(1u, calls->Pages().size());
    EXPECT_TRUE(page->conference);
    EXPECT_TRUE(page->hosting);
    ASSERT_EQ(3u, page->Members().size());
    EXPECT_EQ("chairman", page->Members()[0].stateText);
    EXPECT_EQ("carol@example.com", page->Members()[2].name) << "a caller no identity holds, by the address as received";
    EXPECT_EQ("Conference", page->TabCaption());
    EXPECT_EQ(2, page->cnxCount);
    EXPECT_TRUE(CM_IsConfCall(page->callId));

    Wait(5000);
    sounds.log.clear();
    CC_SendEvent(-1, carolCnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
    PumpAll();
    ASSERT_NE(nullptr, page->MemberByNumber("carol@example.com"));
    EXPECT_EQ("Endding", page->MemberByNumber("carol@example.com")->stateText);
    Wait(3000);
    EXPECT_FALSE(page->conference);
    EXPECT_TRUE(page->Members().empty());
    EXPECT_EQ("bob@example.com", page->remoteNumber);
    EXPECT_EQ(bobStart, page->ClockStart());
    EXPECT_EQ(CALL_TALKING, page->State());
    EXPECT_EQ(1, sounds.Count("HANGUP.wav"));
    EXPECT_EQ(1u, Log().size());
    EXPECT_EQ(CALLLOG_INCOMING, Log()[0].typeFlags);
}

// An invited member's page: the host's report over INFO names the host by its own identity, which
// may lack the domain that the caller's address carries; the page shows every member with its state.
TEST_F(CallPages, InvitedMemberSeesTheConferenceTheHostReports) {
    struct Case {
        const char* name;
        const char* host;  // the host's line as its call control writes it
        bool tiles;
        uint64_t talkMs;  // before the user hangs up
    };
    const Case cases[] = {
        {"host identity without a domain", "bob", true, 4000},
        {"host identity as the caller's address", "bob@example.com", true, 0},
        {"host identity in other letter case", "sip:BOB@example.com", true, 2000},
        {"someone of another domain is no host", "bob@other.org", false, 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int call, cnx;
        IncomingCall("bob@example.com", &call, &cnx);
        CallPageModel* page = Only();
        ASSERT_NE(nullptr, page);
        page->OnDial();
        PumpAll();
        std::string body;
        auto line = [&](const char* uri, const char* parent, int level, int status) {
            CM_CONTACT contact{};
            std::snprintf(contact.szUri, sizeof contact.szUri, "%s", uri);
            std::snprintf(contact.szParent, sizeof contact.szParent, "%s", parent);
            contact.iLevel = level;
            contact.iStatus = status;
            char* text = CM_XmlBuild(CM_XML_CONTACT, &contact);
            ASSERT_NE(nullptr, text);
            body += text;
            free(text);
        };
        line(c.host, "NULL", 0, CM_CONTACT_STATUS_TALKING);
        line("carol", c.host, 1, 2);  // still ringing at the host
        line("dave", c.host, 1, CM_CONTACT_STATUS_TALKING);
        CC_SendEvent(-1, cnx, CCEVT_REMOTE_INFO, VOIP_CODE_NONE, VOIP_INFO_CONTACT, strdup(body.c_str()));
        PumpAll();
        EXPECT_EQ(c.tiles, page->conference);  // without the host's report the single view stays
        EXPECT_FALSE(page->hosting);
        if (c.tiles) {
            ASSERT_EQ(4u, page->Members().size());
            EXPECT_TRUE(SameAddress(c.host, page->Members()[0].number));
            EXPECT_EQ("Chairman", page->Members()[0].stateText);
            EXPECT_EQ(0, page->Members()[0].itemValue);  // the host called in
            EXPECT_EQ("alice@example.com", page->Members()[1].number);  // oneself, without a connection
            EXPECT_EQ(-1, page->Members()[1].cnxId);
            for (size_t i = 1; i < 4; ++i) EXPECT_EQ("Talking...", page->Members()[i].stateText) << i;
            EXPECT_EQ("carol", page->Members()[2].number);
            EXPECT_EQ("dave", page->Members()[3].number);
        } else {
            EXPECT_TRUE(page->Members().empty());
        }
        EXPECT_EQ(CALL_TALKING, page->State());
        Wait(c.talkMs);
        page->OnHangup(0);
        PumpAll();
        Wait(6000);
        ASSERT_TRUE(calls->Pages().empty());
    }
}

// A caller is shown by the contact's name: found by the SIP address of one of its identities, or,
// for an address of the account's own domain, by the contact's user id.
TEST_F(CallPages, CallerIsShownByTheContactsName) {
    AddrContact* bob = AddrBook_NewContact("Bob Walker", nullptr, "bob");
    ASSERT_EQ(1, AddrBook_AttachContact(bob, g_addrBookRoots[0], nullptr));
    AddrContact* erin = AddrBook_NewContact("Erin Lee", nullptr, "e.lee");
    ASSERT_EQ(1, AddrBook_AttachContact(erin, g_addrBookRoots[0], nullptr));
    AddrIdentity* phone = AddrBook_NewIdentity(sip, "erin@partner.net", nullptr, "erin@partner.net");
    AddrBook_SetIdentityType(phone, 8);
    ASSERT_EQ(1, AddrBook_AttachIdentity(phone, erin, nullptr));
    struct Drop {
        std::vector<AddrContact*> c;
        ~Drop() {
            for (AddrContact* x : c) {
                AddrBook_DetachContact(x);
                AddrBook_FreeContact(x);
            }
        }
    } drop{{bob, erin}};
    // The page shows a caller who is no contact by the number as received; the log keeps its user part.
    // The page is named by a SIP identity (or the contact of that user id at the account's domain),
    // the log by the contact of that id.
    const struct {
        const char* caller;
        const char* shown;
        const char* logged;
    } cases[] = {
        {"bob@example.com", "Bob Walker", "Bob Walker"},  // own domain, the contact's user id
        {"BOB@Example.com", "Bob Walker", "Bob Walker"},
        {"bob", "bob", "Bob Walker"},
        {"erin@partner.net", "Erin Lee", "Erin Lee"},     // a SIP identity of the contact
        {"bob@other.org", "bob@other.org", "bob"},        // someone else of that name elsewhere
        {"dave@example.com", "dave@example.com", "dave"},  // no contact
    };
    for (const auto& [caller, shown, logged] : cases) {
        SCOPED_TRACE(caller);
        CallLog_Clear();
        int call, cnx;
        IncomingCall(caller, &call, &cnx);
        CallPageModel* page = Only();
        ASSERT_NE(nullptr, page);
        EXPECT_EQ(shown, page->displayName);
        page->OnHangup(0);
        PumpAll();
        Wait(3000);
        ASSERT_TRUE(calls->Pages().empty());
        ASSERT_EQ(1u, Log().size());
        EXPECT_STREQ(logged, Log()[0].name);
        EXPECT_STREQ(caller, Log()[0].number);
    }
}

TEST_F(CallPages, NewCallRefusedWhenDeclinedOrInSomeoneElsesConference) {
    CallPageModel* page = AnsweredCall("bob@example.com");
    ui.answer = false;
    int call, cnx;
    IncomingCall("carol@example.com", &call, &cnx);
    EXPECT_EQ(1u, ui.questions.size());
    EXPECT_FALSE(page->conference);
    EXPECT_EQ(OSIP_UA_EVT_REJECT_INVITE, UaEvents().back().iEvent);

    page->conference = true;  // a remote conference shown on the page
    page->hosting = false;
    IncomingCall("dave@example.com", &call, &cnx);
    EXPECT_EQ(1u, ui.questions.size());  // refused without asking
    EXPECT_EQ(OSIP_UA_EVT_REJECT_INVITE, UaEvents().back().iEvent);
    page->conference = false;
}

// A caller asked about ("add it to the conference?") and refused (declined, gone before the answer,
// every page closed meanwhile) never had a page and is not logged; taken in, or ringing on a page of
// their own once the call asked about ended meanwhile, they are logged once. The call that ran is
// logged once as well.
TEST_F(CallPages, ACallerAskedAboutIsLoggedOnlyWithAPage) {
    enum Meanwhile { NOTHING, CALLER_HANGS_UP, CALL_ENDS, ALL_CLOSED };
    struct Case {
        const char* name;
        Meanwhile meanwhile;
        bool yes;
        uint32_t carol;  // her entry's kind; 0: none
        bool hungUpBox;
    } const cases[] = {
        {"declined", NOTHING, false, 0, false},
        {"caller gone, then yes", CALLER_HANGS_UP, true, 0, true},
        {"caller gone, then no", CALLER_HANGS_UP, false, 0, false},
        {"the call asked about ended, then yes", CALL_ENDS, true, CALLLOG_MISSED, false},
        {"every page closed, then yes", ALL_CLOSED, true, 0, false},
        {"every page closed, then no", ALL_CLOSED, false, 0, false},
        {"taken in", NOTHING, true, CALLLOG_INCOMING, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CallLog_Clear();
        ui.questions.clear();
        ui.boxes.clear();
        CallPageModel* bob = AnsweredCall("bob@example.com");
        ASSERT_NE(nullptr, bob);
        const int bobCnx = bob->cnxIds[0];
        Wait(2000);
        int call = -1, cnx = -1;
        ui.answer = c.yes;
        ui.whileAsking = [&] {
            if (c.meanwhile == CALLER_HANGS_UP) CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
            if (c.meanwhile == CALL_ENDS) {
                CC_SendEvent(-1, bobCnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
                Wait(6000);  // bob's page ends, closes and goes
            }
            if (c.meanwhile == ALL_CLOSED) calls->CloseAll();
            PumpAll();
        };
        IncomingCall("carol@example.com", &call, &cnx);
        ui.whileAsking = nullptr;
        EXPECT_EQ(1u, ui.questions.size());
        EXPECT_EQ(c.hungUpBox, !ui.boxes.empty() && ui.boxes.back() == "The call has been hung up");
        if (c.meanwhile == CALL_ENDS) {
            ASSERT_NE(nullptr, Only());
            EXPECT_EQ("carol@example.com", Only()->remoteNumber);
            EXPECT_EQ(CALL_CALLING, Only()->State());
        }
        Wait(1000);
        calls->CloseAll();
        PumpAll();
        int bobs = 0, carols = 0;
        for (const CallLogEntry& e : Log()) {
            if (std::string(e.number) == "bob@example.com") {
                ++bobs;
                EXPECT_EQ(CALLLOG_OUTGOING, e.typeFlags);
            } else if (std::string(e.number) == "carol@example.com") {
                ++carols;
                EXPECT_EQ(c.carol, e.typeFlags);
            }
        }
        EXPECT_EQ(1, bobs);
        EXPECT_EQ(c.carol ? 1 : 0, carols);
        EXPECT_EQ(c.carol ? 2u : 1u, Log().size());
        EXPECT_EQ(0, CM_GetActiveCallNum());
    }
}

TEST_F(CallPages, KeypadSendsDigitsOnlyForItsConnection) {
    CallPageModel* page = AnsweredCall("bob@example.com");
    const int ch = Channel(page->cnxIds[0]);
    calls->OnKeypadKey(5);  // no connection chosen
    EXPECT_TRUE(bridge.channels[ch].dtmf.empty());
    calls->keypadCnx = page->cnxIds[0];
    for (int v : {1, 0, 10, 11, 9}) calls->OnKeypadKey(v);
    PumpAll();
    EXPECT_EQ((std::vector<int>{1, 0, 10, 11, 9}), bridge.channels[ch].dtmf);  // '*' and '#' as 10 and 11
}

TEST_F(CallPages, DialPageAddsAMemberOnlyWithConsent) {
    CallPageModel* page = AnsweredCall("bob@example.com");
    std::vector<std::string> boxes;
    auto box = [&](const std::string& t, const std::string&) { boxes.push_back(t); };
    const int idle = CC_GetIdleCnxNum();
    EXPECT_EQ(ADD_DECLINED, AddConferenceMember(*calls, page, CM_GetCurrentCallId(), "carol@example.com",
                                                [](const std::string&, const std::string&) { return false; }, box));
    EXPECT_EQ(idle, CC_GetIdleCnxNum());
    EXPECT_EQ(1, page->cnxCount);
    EXPECT_EQ("bob@example.com", page->displayName);
    EXPECT_EQ(ADD_USER_IN, AddConferenceMember(*calls, page, CM_GetCurrentCallId(), "bob@example.com",
                                               [](const std::string&, const std::string&) { return true; }, box));
    EXPECT_EQ("User is in conference", boxes.back());
    EXPECT_EQ(idle, CC_GetIdleCnxNum());

    EXPECT_EQ(ADD_DONE, AddConferenceMember(*calls, page, CM_GetCurrentCallId(), "carol@example.com",
                                            [](const std::string&, const std::string&) { return true; }, box));
    PumpAll();
    EXPECT_EQ(2, page->cnxCount);
    EXPECT_TRUE(page->conference);
    EXPECT_EQ(3u, page->Members().size());
    EXPECT_EQ(OSIP_UA_EVT_INVITE, UaEvents().back().iEvent);
    EXPECT_EQ("carol@example.com", UaEvents().back().text);
    EXPECT_EQ(4, CM_GetFreeSeatNum(page->callId) + 1);
}

// Joined to someone else's conference (its host reported itself as the peer), the dial page adds no
// member and says why, in the built-in text when the language file has none.
TEST_F(CallPages, DialPageAddsNoMemberToSomeoneElsesConference) {
    int call, cnx;
    IncomingCall("bob@example.com", &call, &cnx);
    CallPageModel* page = Only();
    ASSERT_NE(nullptr, page);
    page->OnDial();
    PumpAll();
    CM_CONTACT host{};
    CC_GetCnxPeerUri(cnx, host.szUri);
    std::snprintf(host.szParent, sizeof host.szParent, "NULL");
    host.iLevel = 0;
    host.iStatus = CM_CONTACT_STATUS_TALKING;
    char* text = CM_XmlBuild(CM_XML_CONTACT, &host);
    ASSERT_NE(nullptr, text);
    CC_SendEvent(-1, cnx, CCEVT_REMOTE_INFO, VOIP_CODE_NONE, VOIP_INFO_CONTACT, text);
    PumpAll();
    ASSERT_GE(CM_GetConfLevel(CM_GetCurrentCallId()), 1);
    std::vector<std::pair<std::string, std::string>> boxes;
    const int idle = CC_GetIdleCnxNum();
    EXPECT_EQ(ADD_NO_PRIORITY, AddConferenceMember(*calls, page, CM_GetCurrentCallId(), "carol@example.com",
                                                   [](const std::string&, const std::string&) { return true; },
                                                   [&](const std::string& t, const std::string& c) { boxes.push_back({t, c}); }));
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("No active call", boxes[0].first);
    EXPECT_EQ(idle, CC_GetIdleCnxNum());
    EXPECT_EQ(1, page->cnxCount);
}

// "Add to the call" from the address book: the chosen contact joins the running call by its VoIP
// number; a contact already in the call is refused.
TEST_F(CallPages, AddressBookContactJoinsTheRunningCall) {
    auto contact = [&](const char* id, const char* name, const char* voip) {
        AddrContact* c = AddrBook_NewContact(name, nullptr, id);
        EXPECT_EQ(1, AddrBook_AttachContact(c, g_addrBookRoots[0], nullptr));
        AddrIdentity* phone = AddrBook_NewIdentity(sip, voip, nullptr, voip);
        AddrBook_SetIdentityType(phone, 8);
        EXPECT_EQ(1, AddrBook_AttachIdentity(phone, c, nullptr));
        return c;
    };
    AddrContact* bob = contact("bob", "Bob Walker", "bob@example.com");
    AddrContact* carol = contact("carol", "Carol Wu", "carol@example.com");
    AddrContact* none = AddrBook_NewContact("No Phone", nullptr, "nophone");
    ASSERT_EQ(1, AddrBook_AttachContact(none, g_addrBookRoots[0], nullptr));
    struct Drop {
        std::vector<AddrContact*> c;
        ~Drop() {
            for (AddrContact* x : c) {
                AddrBook_DetachContact(x);
                AddrBook_FreeContact(x);
            }
        }
    } drop{{bob, carol, none}};

    calls->AddUserToConference(carol);  // no call running
    EXPECT_EQ("No active call", ui.boxes.back());
    EXPECT_TRUE(calls->Pages().empty());

    CallPageModel* page = AnsweredCall("bob@example.com");
    ASSERT_NE(nullptr, page);
    const size_t boxes = ui.boxes.size();
    calls->AddUserToConference(none);  // nothing to call
    calls->AddUserToConference(bob);
    ASSERT_EQ(boxes + 1, ui.boxes.size());
    EXPECT_EQ("User is in conference", ui.boxes.back());
    EXPECT_EQ(1, page->cnxCount);

    calls->AddUserToConference(carol);
    PumpAll();
    EXPECT_EQ(2, page->cnxCount);
    EXPECT_TRUE(page->conference);
    ASSERT_EQ(3u, page->Members().size());
    EXPECT_EQ("carol@example.com", page->Members()[2].number);
    EXPECT_EQ("carol@example.com", page->Members()[2].name);  // the telephone number names the tile
    EXPECT_EQ(OSIP_UA_EVT_INVITE, UaEvents().back().iEvent);
    EXPECT_EQ("carol@example.com", UaEvents().back().text);
    EXPECT_EQ(1u, calls->Pages().size());
}

// The chooser lists people by their contact's name: each is called at the contact's telephone
// number, and one whose contact has none is not called.
TEST_F(CallPages, ChosenPeopleAreCalledAtTheirTelephoneNumbers) {
    std::vector<AddrContact*> made;
    struct Drop {
        std::vector<AddrContact*>& c;
        ~Drop() {
            for (AddrContact* x : c) {
                AddrBook_DetachContact(x);
                AddrBook_FreeContact(x);
            }
        }
    } drop{made};
    auto contact = [&](const char* id, const char* name, const char* phone) {
        AddrContact* c = AddrBook_NewContact(name, nullptr, id);
        EXPECT_EQ(1, AddrBook_AttachContact(c, g_addrBookRoots[0], nullptr));
        made.push_back(c);
        if (phone) {
            AddrIdentity* p = AddrBook_NewIdentity(sip, phone, nullptr, phone);
            AddrBook_SetIdentityType(p, 8);
            EXPECT_EQ(1, AddrBook_AttachIdentity(p, c, nullptr));
        }
        return c;
    };
    // As the chooser's candidates come from the book: the contact's name as the number, the
    // telephone number as the name, and the contact.
    auto chosen = [&](std::initializer_list<AddrContact*> people) {
        std::vector<std::unique_ptr<CInvitee>> v;
        for (AddrContact* c : people) {
            v.push_back(std::make_unique<CInvitee>());
            v.back()->SetNumber(c->name);
            if (const char* phone = AddrBook_GetIdentityAddress(c, 8)) v.back()->SetName(phone);
            v.back()->SetContact(c);
        }
        return v;
    };
    AddrContact* bob = contact("bob", "Bob", "bob@example.com");
    AddrContact* fang = contact("wangfang", "\xcd\xf5\xb7\xbc", "fang@example.com");  // a Chinese name
    AddrContact* none = contact("nophone", "No Phone", nullptr);

    const size_t ua = UaEvents().size();
    calls->OnConfInviteResult(true, 0, chosen({bob, fang, none}));
    PumpAll();
    CallPageModel* page = Only();
    ASSERT_NE(nullptr, page);
    EXPECT_EQ(2, page->cnxCount);
    std::vector<std::string> dialled;
    for (size_t i = ua; i < UaEvents().size(); ++i)
        if (UaEvents()[i].iEvent == OSIP_UA_EVT_INVITE) dialled.push_back(UaEvents()[i].text);
    EXPECT_EQ((std::vector<std::string>{"bob@example.com", "fang@example.com"}), dialled);
    ASSERT_EQ(3u, page->Members().size());
    EXPECT_EQ("bob@example.com", page->Members()[1].number);
    EXPECT_EQ("fang@example.com", page->Members()[2].number);
    calls->CloseAll();
    PumpAll();

    // One chosen person: the page is titled with the number called.
    calls->OnConfInviteResult(true, 0, chosen({fang}));
    PumpAll();
    page = Only();
    ASSERT_NE(nullptr, page);
    EXPECT_EQ("fang@example.com", page->remoteNumber);
    EXPECT_EQ("fang@example.com", UaEvents().back().text);
    calls->CloseAll();
    PumpAll();
}

TEST_F(CallPages, SelfCallAndTooManyInviteesAreRefused) {
    EXPECT_TRUE(calls->IsCallingSelf("alice"));
    EXPECT_TRUE(calls->IsCallingSelf("ALICE@example.com"));
    EXPECT_FALSE(calls->IsCallingSelf("bob"));
    EXPECT_EQ("Can't call yourself!", ui.boxes.back());
    // Without a configured domain the number takes the account's own.
    calls->domainSuffix.clear();
    EXPECT_TRUE(calls->IsCallingSelf("alice"));
    EXPECT_FALSE(calls->IsCallingSelf("alice@other.org"));
    calls->domainSuffix = "@example.com";
    for (int i = 0; i < 6; ++i) {
        auto inv = std::make_unique<CInvitee>();
        inv->SetNumber(("user" + std::to_string(i) + "@example.com").c_str());
        calls->Queue(std::move(inv));
    }
    calls->JoinConference();
    EXPECT_EQ("Too many person attend conference!", ui.boxes.back());
    EXPECT_EQ(0u, calls->QueueSize());
    EXPECT_TRUE(calls->Pages().empty());
}

// A placed conference gives each invitee a tile with the invitee's own name, an empty one for an
// invitee without a name; a member who leaves is traced under the conference module.
TEST_F(CallPages, ConferenceTilesTakeTheInviteesNames) {
    static std::vector<std::pair<unsigned, std::string>> traced;
    traced.clear();
    g_debugOutput = [](unsigned module, const char* text) { traced.emplace_back(module, text); };
    struct Reset {
        ~Reset() { g_debugOutput = CaptureTrace; }
    } reset;
    for (const char* name : {"Robin", static_cast<const char*>(nullptr)}) {
        auto inv = std::make_unique<CInvitee>();
        inv->SetNumber(name ? "robin@example.com" : "dave@example.com");
        if (name) inv->SetName(name);
        calls->Queue(std::move(inv));
    }
    calls->JoinConference();
    PumpAll();
    CallPageModel* page = Only();
    ASSERT_NE(nullptr, page);
    ASSERT_EQ(3u, page->Members().size());
    EXPECT_EQ("Robin", page->Members()[1].name);
    EXPECT_EQ("dave@example.com", page->Members()[2].number);
    EXPECT_EQ("", page->Members()[2].name);

    const int dave = page->Members()[2].cnxId;
    for (const MemberPicture& m : page->Members())
        if (m.cnxId != -1) Answer(m.cnxId);
    PumpAll();
    Wait(2000);  // they talk
    CC_SendEvent(-1, dave, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
    PumpAll();
    Wait(4000);  // the member's "Endding" lasts three seconds
    const auto line = std::find_if(traced.begin(), traced.end(), [](const auto& t) { return t.second.find("Find CAttendee:dave@example.com") != std::string::npos; });
    ASSERT_NE(traced.end(), line);
    EXPECT_EQ(unsigned(MOD_QZ), line->first);
    calls->CloseAll();
    PumpAll();
}

// Adding people to the running call: the texts for no call, no seat and no room, and a connection
// failure while placing a new call that gives up the whole call.
TEST_F(CallPages, AddingToTheConferenceTellsWhyNot) {
    auto invitees = [](int n) {
        std::vector<std::unique_ptr<CInvitee>> v;
        for (int i = 0; i < n; ++i) {
            v.push_back(std::make_unique<CInvitee>());
            v.back()->SetNumber(("user" + std::to_string(i) + "@example.com").c_str());
        }
        return v;
    };
    auto traced = [](const std::string& text) {
        for (const std::string& line : TraceLines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    };
    // An OK with nobody chosen places nobody and says nothing.
    calls->OnConfInviteResult(true, 1, invitees(0));
    EXPECT_TRUE(ui.boxes.empty());
    calls->OnConfInviteResult(true, 1, invitees(1));
    ASSERT_FALSE(ui.boxes.empty());
    EXPECT_EQ("No active call", ui.boxes.back());

    CallPageModel* page = AnsweredCall("bob@example.com");
    ASSERT_NE(nullptr, page);
    ASSERT_EQ(page->callId, CM_GetCurrentCallId());
    calls->OnConfInviteResult(true, 1, invitees(5));  // four seats left
    EXPECT_EQ("Too many person attend conference!", ui.boxes.back());
    EXPECT_TRUE(traced("JoinConference: The freeseat: 4"));
    EXPECT_EQ(1, page->cnxCount);
    EXPECT_FALSE(page->conference);
    // One more caller of the page's own number changes nothing.
    const size_t boxes = ui.boxes.size();
    auto same = std::make_unique<CInvitee>();
    same->SetNumber("bob@example.com");
    std::vector<std::unique_ptr<CInvitee>> one;
    one.push_back(std::move(same));
    calls->OnConfInviteResult(true, 1, std::move(one));
    EXPECT_EQ(boxes, ui.boxes.size());
    EXPECT_FALSE(page->conference);

    calls->OnConfInviteResult(true, 1, invitees(4));
    PumpAll();
    EXPECT_EQ(5, page->cnxCount);
    EXPECT_TRUE(page->conference);
    ASSERT_EQ(6u, page->Members().size());  // the chairman, bob and the four
    calls->OnConfInviteResult(true, 1, invitees(1));
    EXPECT_EQ("No seat", ui.boxes.back());
    calls->CloseAll();
    PumpAll();

    // No microphone: the new call is given up whole, its call freed and nothing queued.
    ProbeResult() = false;
    ui.boxes.clear();
    calls->OnConfInviteResult(true, 0, invitees(2));
    ASSERT_EQ(1u, ui.boxes.size());
    EXPECT_EQ(calls::Text("dial_dialog", "msg_mic_inuse", ""), ui.boxes.back());
    EXPECT_EQ(0u, calls->QueueSize());
    ASSERT_EQ(1u, calls->Pages().size());
    EXPECT_EQ(CALL_ENDED, calls->Pages()[0]->State());
    EXPECT_EQ(-1, calls->Pages()[0]->callId);
    EXPECT_EQ(0, CM_GetActiveCallNum());
    ProbeResult() = true;
}

// A caller while the only call is held: asked, but with no current call to join, the caller rings
// on a page of their own; once the call is resumed the next caller joins it.
TEST_F(CallPages, CallerWhileTheCallIsHeldRingsOnAPageOfTheirOwn) {
    CallPageModel* bob = AnsweredCall("bob@example.com");
    ASSERT_NE(nullptr, bob);
    calls->HoldCall(bob);
    PumpAll();
    ASSERT_TRUE(bob->Held());
    ASSERT_EQ(-1, CM_GetCurrentCallId());
    int call, cnx;
    IncomingCall("carol@example.com", &call, &cnx);
    EXPECT_EQ(1u, ui.questions.size());
    ASSERT_EQ(2u, calls->Pages().size());
    CallPageModel* carol = calls->Pages()[1].get();
    EXPECT_EQ("carol@example.com", carol->remoteNumber);
    EXPECT_EQ(CALL_CALLING, carol->State());
    EXPECT_FALSE(bob->conference);
    carol->OnHangup(0);
    PumpAll();

    calls->UnholdCall(bob);
    PumpAll();
    EXPECT_FALSE(bob->Held());
    IncomingCall("dave@example.com", &call, &cnx);
    EXPECT_TRUE(bob->conference);
    EXPECT_NE(nullptr, bob->MemberByNumber("dave@example.com"));
}

// "Yes" to a caller after the call asked about has ended and its page gone: with another call
// current by then, the caller is answered into that call, not given a page of their own.
TEST_F(CallPages, CallerJoinsTheCurrentCallWhenThePageAskedAboutIsGone) {
    CallPageModel* bob = AnsweredCall("bob@example.com");
    ASSERT_NE(nullptr, bob);
    calls->HoldCall(bob);
    PumpAll();
    int call, cnx;
    IncomingCall("carol@example.com", &call, &cnx);
    ASSERT_EQ(2u, calls->Pages().size());
    CallPageModel* carol = calls->Pages()[1].get();
    carol->OnDial();
    PumpAll();
    ASSERT_EQ(CALL_TALKING, carol->State());
    ASSERT_EQ(carol->callId, CM_GetCurrentCallId());
    const int carolCnx = carol->cnxIds[0];

    ui.questions.clear();
    ui.answer = true;
    ui.whileAsking = [&] {
        CC_SendEvent(-1, carolCnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
        Wait(6000);  // carol's page ends, closes and goes
        calls->UnholdCall(bob);
        PumpAll();
    };
    IncomingCall("dave@example.com", &call, &cnx);
    ui.whileAsking = nullptr;
    ASSERT_EQ(1u, ui.questions.size()) << "asked about carol's call";
    ASSERT_EQ(1u, calls->Pages().size());
    EXPECT_EQ(bob, calls->Pages()[0].get());
    EXPECT_EQ(bob->callId, CM_GetCurrentCallId());
    EXPECT_TRUE(bob->conference);
    EXPECT_NE(nullptr, bob->MemberByNumber("dave@example.com"));
    EXPECT_EQ(2, bob->cnxCount);
}

// A call answered while the last one's page still shows its end: the talking page is the new
// call's, so the dial page's keys and the hang-up buttons reach it.
TEST_F(CallPages, CallAnsweredWhileTheLastOneShowsItsEndIsTheTalkingOne) {
    CallPageModel* bob = AnsweredCall("bob@example.com");
    ASSERT_NE(nullptr, bob);
    Wait(5000);
    CC_SendEvent(-1, bob->cnxIds[0], CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
    PumpAll();
    ASSERT_EQ("Endding", bob->TipText());
    EXPECT_EQ(nullptr, calls->FindTalkingCallPage());
    int call, cnx;
    IncomingCall("carol@example.com", &call, &cnx);
    ASSERT_EQ(2u, calls->Pages().size());
    CallPageModel* carol = calls->Pages()[1].get();
    EXPECT_EQ(carol, calls->FindUnansweredCallPage());
    carol->OnDial();
    PumpAll();
    ASSERT_EQ(CALL_TALKING, carol->State());
    EXPECT_EQ(carol, calls->FindTalkingCallPage());
    Wait(3000);
    EXPECT_EQ(CALL_ENDED, bob->State());
    EXPECT_EQ(carol, calls->FindTalkingCallPage());
}

}  // namespace
