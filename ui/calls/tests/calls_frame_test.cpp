// The main frame with the calls windows registered, call control below: what each call event does to
// the call page and the frame, refused callers, a chat window's call of a member, and the active
// page's hold, resume and merge.
#include <QApplication>
#include <QDir>
#include <QPointer>
#include <set>
#include <QTreeWidget>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/addrbook_query.h"
#include "common/appenv.h"
#include "common/presence_link.h"
#include "service/login_fsm.h"
#include "platform/codepage.h"
#include "service/presence_notice.h"
#include "service/service_msgs.h"
#include "ui/calls/call_page.h"
#include "ui/calls/calls_shell_hook.h"
#include "ui/calls/tests/calls_test_support.h"
#include "ui/controls/skin.h"
#include "ui/shell/accounts_dialogs.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/pages.h"
#include "ui/calls/dial_windows.h"
#include "ui/controls/web/web_host.h"
#include "ui/shell/shell_config.h"

using namespace callstest;

namespace {

class CallFrame : public CallPages {
protected:
    std::unique_ptr<CMainFrame> frame;
    std::vector<std::pair<QString, QString>> boxes;  // text, title

    CallController* MakeController() override {
        shell::LoadConfigPaths(TESSALY_BINARY_DIR, base, false);
        ctl::SetSkinType("default");
        QDir::setCurrent(TESSALY_BINARY_DIR);
        calls::RegisterWithShell();
        frame = std::make_unique<CMainFrame>();
        // The frame comes to the front for a call: its dial bar's page starts no browser engine here.
        if (auto* bar = frame->findChild<calls::CDialBar*>()) bar->Page()->hide();
        shell::CallWindowsFactoryRef() = nullptr;
        frame->showBox = [this](const QString& t, const QString& title) { boxes.emplace_back(t, title); };
        frame->LogoffReset(LOGIN_SIGNED_IN);
        QCoreApplication::sendPostedEvents();
        return CallPages::MakeController();  // unused: the frame's own controller takes the events
    }
    void SetUp() override {
        CallPages::SetUp();
        VOIP_SetUiWindow(frame->Handle());
        // The calls windows ask their questions and show their boxes through the frame's windows:
        // answer them here.
        QApplication::processEvents();
    }
    void DropController() override {
        if (frame) frame->Calls()->CloseAll();
        Events();
        frame.reset();
        QApplication::processEvents();
        CallPages::DropController();
    }
    // Connection events, the frame's posted notices, the Qt queue, until nothing moves.
    void Events() {
        for (int i = 0, quiet = 0; i < 100 && quiet < 2; ++i) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
            quiet = CC_PumpEvents() == 0 ? quiet + 1 : 0;
        }
    }
    // A notice as call control posts it, handed to the frame's message table.
    void Notice(int event, int call, int cnx, const char* text = nullptr) {
        auto* m = static_cast<VOIP_UI_MSG*>(calloc(1, sizeof(VOIP_UI_MSG)));
        m->iCallId = call;
        m->iCnxId = cnx;
        m->iEvent = event;
        m->iParam3 = 65535;
        m->pValue = text ? strdup(text) : nullptr;
        frame->Dispatch(WM_VOIP_EVENT, 0, reinterpret_cast<LPARAM>(m));
        QCoreApplication::sendPostedEvents();
    }
    std::vector<calls::COnDialDlg*> CallTabs() const {
        std::vector<calls::COnDialDlg*> v;
        for (int i = 0; i < frame->Sheet()->count(); ++i)
            if (auto* p = qobject_cast<calls::COnDialDlg*>(frame->Sheet()->widget(i))) v.push_back(p);
        return v;
    }
    CallPageModel* Page(size_t i = 0) const {
        const auto tabs = CallTabs();
        return i < tabs.size() ? tabs[i]->Model() : nullptr;
    }
    void Activate(CallPageModel* model) {
        for (calls::COnDialDlg* p : CallTabs())
            if (p->Model() == model) frame->Sheet()->setCurrentWidget(p);
    }
    // The caption of a call's tab on the sheet.
    QString TabText(calls::COnDialDlg* page) const { return frame->Sheet()->tabText(frame->Sheet()->indexOf(page)); }
    bool Traced(const std::string& text) const {
        for (const std::string& line : TraceLines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    // A contact of the address book (blocked when asked), with a SIP identity when given.
    AddrContact* Contact(const char* name, const char* id, const char* sipAddress, bool blocked) {
        AddrContact* c = AddrBook_NewContact(name, nullptr, id);
        EXPECT_EQ(1, AddrBook_AttachContact(c, g_addrBookRoots[0], nullptr));
        if (sipAddress) {
            AddrIdentity* phone = AddrBook_NewIdentity(sip, sipAddress, nullptr, sipAddress);
            AddrBook_SetIdentityType(phone, 8);
            EXPECT_EQ(1, AddrBook_AttachIdentity(phone, c, nullptr));
        }
        if (blocked) c->flags |= ADDR_FLAG_BLOCKED;
        contacts_.push_back(c);
        return c;
    }
    void TearDown() override {
        for (AddrContact* c : contacts_) {
            AddrBook_DetachContact(c);
            AddrBook_FreeContact(c);
        }
        CallPages::TearDown();
    }

private:
    std::vector<AddrContact*> contacts_;
};

// The frame's close takes an open keypad with it instead of leaving it on screen while the hidden
// frame signs out.
TEST_F(CallFrame, ClosingTheFrameDestroysTheKeypad) {
    ASSERT_EQ(0, frame->CallNumber("bob@example.com"));
    Events();
    CallPageModel* bob = Page();
    ASSERT_NE(nullptr, bob);
    Answer(bob->cnxIds[0]);
    Events();
    calls::COnDialDlg* tab = CallTabs().at(0);
    tab->RunMenuCommand(ID_CALL_KEYPAD);  // the page's own call
    QPointer<calls::CKeypadDlg> keypad;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* k = qobject_cast<calls::CKeypadDlg*>(w)) keypad = k;
    ASSERT_FALSE(keypad.isNull());
    frame->close();
    // The close signed out and freed the accounts: the fixture's own goes back for its tear-down.
    sip = Account_New("alice@example.com", ACCOUNT_TYPE_SIP);
    Account_Add(sip);
    EXPECT_TRUE(keypad.isNull() || !keypad->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(keypad.isNull());
}

}  // namespace

// Each call event on a call page of the frame: the page's state, tip, status line, ring and hold.
TEST_F(CallFrame, EachCallEventChangesThePageAsItsKindSays) {
    struct Case {
        const char* name;
        bool answered;  // the page talks before the event
        int event;
        int state;
        const char* tip;     // empty: the tip stays
        const char* status;  // empty: any
        int ring;            // -2: unchanged
        bool held;
    };
    const Case cases[] = {
        {"alert", false, VOIPEVT_REMOTE_ALERT, CALL_CALLING, "Ring...", "Calling...", RING_OUT, false},
        {"answer", false, VOIPEVT_REMOTE_ANSWER, CALL_TALKING, "00:00:00", "Call with...", -2, false},
        {"failure", false, VOIPEVT_REMOTE_FAILURE, CALL_ENDED, "No Answer", "Call End", RING_BUSY, false},
        {"alert with media", false, VOIPEVT_REMOTE_ALERT_SDP, CALL_ENDED, "Deny Calling", "Call End", RING_BUSY, false},
        {"no capture device", false, VOIPEVT_NO_RECORD_DEVICE, CALL_ENDED, "Deny Calling", "Call End", RING_BUSY, false},
        {"remote hold", true, VOIPEVT_REMOTE_HOLD, CALL_TALKING, "", "Call with...", -2, false},
        {"remote resume", true, VOIPEVT_REMOTE_UNHOLD, CALL_TALKING, "", "Call with...", -2, false},
        {"local hold", true, VOIPEVT_CALL_HOLD, CALL_TALKING, "", "Call with...", -2, true},
        {"local resume", true, VOIPEVT_CALL_UNHOLD, CALL_TALKING, "", "Call with...", -2, false},
        // (Within the answer's second: no talk time, so the page ends at once; see the model tests for "Endding".)
        {"disconnect", true, VOIPEVT_REMOTE_DISCONNECT, CALL_ENDED, "End", "Call End", -2, false},
        {"connection released", true, VOIPEVT_RELEASE_CNX, CALL_TALKING, "", "Call with...", -2, false},
        {"contact list", true, VOIPEVT_REMOTE_CONTACT, CALL_TALKING, "", "Call with...", -2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(0, frame->CallNumber("bob@example.com"));
        Events();
        CallPageModel* page = Page();
        ASSERT_NE(nullptr, page);
        const int call = page->callId, cnx = page->cnxIds[0];
        if (c.answered) {
            Notice(VOIPEVT_REMOTE_ANSWER, call, cnx);
            if (c.event == VOIPEVT_REMOTE_UNHOLD) Notice(VOIPEVT_REMOTE_HOLD, call, cnx);
            if (c.event == VOIPEVT_CALL_UNHOLD) Notice(VOIPEVT_CALL_HOLD, call, -1);
        }
        const std::string tipBefore = page->TipText();
        const int ringBefore = page->RingKind();
        Notice(c.event, call, cnx);
        EXPECT_EQ(c.state, page->State());
        EXPECT_EQ(*c.tip ? std::string(c.tip) : tipBefore, page->TipText());
        if (*c.status) EXPECT_EQ(c.status, page->StatusText());
        EXPECT_EQ(c.ring == -2 ? ringBefore : c.ring, page->RingKind());
        EXPECT_EQ(c.held, page->Held());
        CM_SendEvent(call, kAllCnx, CMEVT_DISCONNECT, -1, -1, nullptr);
        Events();
        frame->Calls()->CloseAll();
        Events();
        ASSERT_TRUE(CallTabs().empty());
    }
    // A released call leaves its page without a call id: later events of that id find no page.
    ASSERT_EQ(0, frame->CallNumber("bob@example.com"));
    Events();
    CallPageModel* page = Page();
    const int call = page->callId, cnx = page->cnxIds[0];
    Notice(VOIPEVT_RELEASE_CALL, call, -1);
    EXPECT_EQ(-1, page->callId);
    Notice(VOIPEVT_REMOTE_ANSWER, call, cnx);
    EXPECT_NE(CALL_TALKING, page->State());
    CM_SendEvent(call, kAllCnx, CMEVT_DISCONNECT, -1, -1, nullptr);
}

// A contact with a Chinese name (kept in the code page) is named as it reads on the page and tab of
// its call, ringing in and called, and in the call log's entries of both calls.
TEST_F(CallFrame, AChineseContactIsNamedAsItReads) {
    const std::string ansi = plat::FromUtf16(u"\u5c0f\u5f20", 936);
    Contact(ansi.c_str(), "zhangwei", "zhangwei@example.com", false);
    const QString name = QString::fromUtf8("\u5c0f\u5f20");
    CallLog_Clear();
    int call, cnx;
    Incoming(&call, &cnx, "zhangwei@example.com");
    Events();
    ASSERT_EQ(1u, CallTabs().size());
    EXPECT_EQ(ansi, Page()->NameLine());
    EXPECT_EQ(name, TabText(CallTabs()[0]));
    frame->Calls()->CloseAll();  // not answered: a missed call
    Events();
    ASSERT_EQ(0, frame->CallNumber("zhangwei@example.com"));
    Events();
    ASSERT_EQ(1u, CallTabs().size());
    call = Page()->callId;
    cnx = Page()->cnxIds[0];
    Notice(VOIPEVT_REMOTE_ANSWER, call, cnx);
    ASSERT_EQ(CALL_TALKING, Page()->State());
    EXPECT_EQ(ansi, Page()->NameLine());
    EXPECT_EQ(name, TabText(CallTabs()[0]));
    CM_SendEvent(call, kAllCnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    Events();
    frame->Calls()->CloseAll();
    Events();
    const std::vector<CallLogEntry> log = Log();
    ASSERT_EQ(2u, log.size());
    for (const CallLogEntry& e : log) {
        SCOPED_TRACE(e.typeFlags);
        EXPECT_EQ(name, QString::fromStdU16String(plat::ToUtf16(e.name, 936)));
        EXPECT_STREQ("zhangwei@example.com", e.number);
    }
    EXPECT_EQ(std::set<uint32_t>({CALLLOG_MISSED, CALLLOG_OUTGOING}), std::set<uint32_t>({log[0].typeFlags, log[1].typeFlags}));
}

// The main window fits a 768-pixel screen: at its smallest, 380 x 560, the start page over the calls
// windows' dial bar shows its whole summary (missed calls, contacts online, balance, the contact
// counter, a newer version), each control whole and inside the page.
TEST_F(CallFrame, StartPageSummaryFitsTheSmallestWindow) {
    EXPECT_EQ(QSize(380, 560), frame->minimumSize());
    frame->resize(380, 560);
    frame->show();
    CNqNavigatePage* start = frame->StartPage();
    shell::CNavigateLinks* links = start->Links();
    links->SetOnlineCount(3);
    links->AddMissedCall();
    links->SetUpdateAnswer();
    links->ShowUpdateVersion(1, 0, 2);
    links->ShowContactCounter(12);
    frame->Sheet()->setCurrentIndex(0);
    QApplication::processEvents();
    ASSERT_EQ(QSize(380, 560), frame->size());
    ASSERT_TRUE(start->isVisible());
    const QRect page = start->rect();
    const std::vector<int> summary = shell::NavigateModeTable(1, true).shown;  // signed in, a newer version offered
    ASSERT_FALSE(summary.empty());
    for (int id : summary) {
        SCOPED_TRACE(id);
        QWidget* control = links->Control(id);
        ASSERT_NE(nullptr, control);
        EXPECT_TRUE(control->isVisible());
        const QRect at(control->mapTo(start, QPoint(0, 0)), control->size());
        EXPECT_FALSE(at.isEmpty());
        EXPECT_TRUE(page.contains(at)) << "at " << at.x() << "," << at.y() << " " << at.width() << "x" << at.height() << " in "
                                       << page.width() << "x" << page.height();
        EXPECT_GE(control->width(), control->sizeHint().width()) << "cut short";
        EXPECT_GE(control->height(), control->sizeHint().height()) << "cut short";
    }
    frame->hide();
}

// Events without a call page: call control starting, stopping or timing out changes the SIP
// account and the open accounts dialog; an incoming call without ids is ignored.
TEST_F(CallFrame, CallServiceEventsReachTheAccountsDialog) {
    shell::CAccountsDlg accounts(frame.get());
    auto shown = [&] {
        for (int i = 0; i < accounts.List()->topLevelItemCount(); ++i)
            if (accounts.List()->topLevelItem(i)->text(0) == "alice@example.com") return accounts.List()->topLevelItem(i)->text(1);
        return QString("(no row)");
    };
    const QString online = shell::LangText("presence_state", "1", "Online"), offline = shell::LangText("presence_state", "0", "Offline");
    Notice(VOIPEVT_START, -1, -1);
    EXPECT_EQ(online, shown());
    for (int event : {VOIPEVT_STOP, VOIPEVT_START, VOIPEVT_TIMEOUT}) {
        SCOPED_TRACE(event);
        Notice(event, -1, -1);
        EXPECT_EQ(event == VOIPEVT_START ? online : offline, shown());
    }
    EXPECT_TRUE(Traced("SIP Timeout Or ERROR, Set Reconnection Flag"));
    // Call or connection -1: nothing at all, no page and no answer to call control.
    const size_t ua = UaEvents().size();
    Notice(VOIPEVT_REMOTE_NEWCALL, -1, 3, "bob@example.com");
    Notice(VOIPEVT_REMOTE_NEWCALL, 2, -1, "bob@example.com");
    EXPECT_TRUE(CallTabs().empty());
    EXPECT_EQ(ua, UaEvents().size());
}

// A caller whose contact is blocked, or who gives no address, is refused at once: no page, no ring,
// the INVITE is declined. Anybody else rings.
TEST_F(CallFrame, CallsFromBlockedContactsAreRefusedWithoutAPage) {
    Contact("Carol", "carol", nullptr, true);                       // known by her user id in our domain
    Contact("Erin Lee", "e.lee", "erin@partner.net", true);          // by her SIP identity
    Contact("Bob Walker", "bob", "bob@example.com", false);
    struct Case {
        const char* caller;
        bool refused;
    };
    for (const Case& c : {Case{"carol@example.com", true}, Case{"CAROL@Example.com", true}, Case{"erin@partner.net", true},
                          Case{"", true}, Case{"bob@example.com", false}, Case{"carol@other.org", false}}) {
        SCOPED_TRACE(c.caller);
        UaEvents().clear();
        TraceLines().clear();
        int call, cnx;
        Incoming(&call, &cnx, c.caller);
        Events();
        if (c.refused) {
            EXPECT_TRUE(CallTabs().empty());
            ASSERT_FALSE(UaEvents().empty());
            EXPECT_EQ(OSIP_UA_EVT_REJECT_INVITE, UaEvents().back().iEvent);
            EXPECT_TRUE(Traced(*c.caller ? "refused: the contact is blocked" : "refused: no caller address"));
        } else {
            ASSERT_EQ(1u, CallTabs().size());
            EXPECT_EQ(CALL_CALLING, Page()->State());
            EXPECT_EQ(RING_IN, Page()->RingKind());
        }
        frame->Calls()->CloseAll();
        Events();
    }
}

// A chat window calls a member: the number of the member's contact is called; a page of that number
// comes to the front; any other call in progress refuses the new one with a box.
TEST_F(CallFrame, ChatWindowCallsAMemberOnlyWithoutAnotherCall) {
    AddrContact* bob = Contact("Bob Walker", "bob", "bob@example.com", false);
    AddrContact* dave = Contact("Dave", "dave", "dave@example.com", false);
    // The members are found by the uid of their messaging identity.
    Account* own = Account_New("alice", ACCOUNT_TYPE_SERVICE);
    ASSERT_TRUE(Account_Add(own));
    int uid = 2001;
    for (AddrContact* c : {bob, dave}) {
        AddrIdentity* qz = AddrBook_NewIdentity(own, c->id, nullptr, c->id);
        AddrBook_SetIdentityType(qz, 9);
        presence_setting_set_int(&qz->settings, "uid", nullptr, uid++);
        ASSERT_EQ(1, AddrBook_AttachIdentity(qz, c, nullptr));
    }
    auto member = [](int id, const char* userId) {
        PresenceBuddyRecord r;
        r.id = id;
        std::strncpy(r.userId, userId, sizeof r.userId - 1);
        return r;
    };
    PresenceBuddyRecord b = member(2001, "bob"), d = member(2002, "dave"), nobody = member(2999, "zed");
    frame->Dispatch(WM_CALL_CONTACT, reinterpret_cast<WPARAM>(&nobody), 0);
    EXPECT_TRUE(CallTabs().empty());
    // A record without the identity's uid names nobody, whatever its node id.
    PresenceBuddyRecord byNode = member(0, "bob");
    frame->Dispatch(WM_CALL_CONTACT, reinterpret_cast<WPARAM>(&byNode), 0);
    EXPECT_TRUE(CallTabs().empty());
    frame->Dispatch(WM_CALL_CONTACT, reinterpret_cast<WPARAM>(&b), 0);
    Events();
    ASSERT_EQ(1u, CallTabs().size());
    EXPECT_EQ("bob@example.com", Page()->remoteNumber);
    EXPECT_EQ("bob@example.com", UaEvents().back().text);
    // Bob again: his page is shown, nothing is called.
    frame->Sheet()->setCurrentIndex(0);
    const size_t ua = UaEvents().size();
    frame->Dispatch(WM_CALL_CONTACT, reinterpret_cast<WPARAM>(&b), 0);
    EXPECT_EQ(CallTabs()[0], frame->Sheet()->currentWidget());
    EXPECT_TRUE(boxes.empty());
    // Dave while bob's call runs: the box, and no second call.
    frame->Dispatch(WM_CALL_CONTACT, reinterpret_cast<WPARAM>(&d), 0);
    Events();
    EXPECT_EQ(1u, CallTabs().size());
    EXPECT_EQ(ua, UaEvents().size());
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(shell::LangText("ondial_dialog", "ExistedCallError", "existed call in current,cann't call again!"), boxes[0].first);
    EXPECT_EQ(shell::LangText("ondial_dialog", "MSG_TITLE", "Tip"), boxes[0].second);
    Account_Remove(own);
    Account_Free(own);
}

// The active call page's commands: hold needs the page's call to be the current one, resume holds
// the current call first, merge moves the held call's party into the current call.
TEST_F(CallFrame, HoldResumeAndMergeTheActivePagesCall) {
    frame->HoldActiveCall();  // no call at all
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(QString("No active call"), boxes.back().first);
    EXPECT_EQ(shell::LangText("multiconf_dialog", "conf_info", "Infomation"), boxes.back().second);
    frame->MergeActiveCall();
    EXPECT_EQ(1u, boxes.size()) << "no call page active: nothing to merge";

    ASSERT_EQ(0, frame->CallNumber("bob@example.com"));
    Events();
    CallPageModel* bob = Page();
    ASSERT_NE(nullptr, bob);
    Answer(bob->cnxIds[0]);
    Events();
    ASSERT_EQ(CALL_TALKING, bob->State());
    EXPECT_TRUE(frame->IsPageCallCurrent());
    frame->UnholdActiveCall();
    EXPECT_EQ(QString("This call is unholded!"), boxes.back().first);
    frame->MergeActiveCall();
    EXPECT_EQ(QString("Can't merge it to itself!"), boxes.back().first);

    frame->HoldActiveCall();
    Events();
    EXPECT_FALSE(frame->IsPageCallCurrent());
    EXPECT_TRUE(bob->Held());
    EXPECT_EQ("Call with...", bob->StatusText());  // held, and still shown as the call it is
    EXPECT_EQ(OSIP_UA_EVT_HOLD, UaEvents().back().iEvent);
    frame->HoldActiveCall();
    EXPECT_EQ(QString("No active call"), boxes.back().first) << "nothing is current while bob is held";

    // With bob held, alice calls carol: a page of its own, answered.
    ASSERT_EQ(0, frame->CallNumber("carol@example.com"));
    Events();
    ASSERT_EQ(2u, CallTabs().size());
    CallPageModel* carol = Page(1);
    ASSERT_EQ("carol@example.com", carol->remoteNumber);
    Answer(carol->cnxIds[0]);
    Events();
    ASSERT_EQ(CALL_TALKING, carol->State());
    ASSERT_EQ(carol->callId, CM_GetCurrentCallId());

    // Bob's page: hold is refused (carol's call is current); resume holds carol and takes bob back.
    Activate(bob);
    EXPECT_FALSE(frame->IsPageCallCurrent());
    frame->HoldActiveCall();
    EXPECT_EQ(QString("This call is holded!"), boxes.back().first);
    frame->UnholdActiveCall();
    Events();
    EXPECT_TRUE(frame->IsPageCallCurrent());
    EXPECT_FALSE(bob->Held());
    EXPECT_TRUE(carol->Held());
    EXPECT_EQ(bob->callId, CM_GetCurrentCallId());

    // Carol's page merged into bob's call: bob's page becomes the conference with both of them.
    Activate(carol);
    const int bobCall = bob->callId;
    frame->MergeActiveCall();
    Events();
    ASSERT_EQ(1u, CallTabs().size());
    EXPECT_EQ(bob, Page());
    EXPECT_TRUE(bob->conference);
    EXPECT_EQ(2, bob->cnxCount);
    CM_CALL snapshot;
    ASSERT_TRUE(CM_GetCallSnapshot(bobCall, &snapshot));
    EXPECT_EQ(2, snapshot.iCnxNum);
    ASSERT_NE(nullptr, bob->MemberByNumber("carol@example.com"));
    ASSERT_NE(nullptr, bob->MemberByNumber("bob@example.com"));
    EXPECT_EQ(2u, bob->Attendees().size());
    // Both are logged once the conference ends.
    frame->Calls()->CloseAll();
    Events();
    EXPECT_EQ(2u, Log().size());
}

// The messaging link is lost during a call: the sign-out that follows hangs the call up (BYE), ends its
// page and logs the call once with the length it had; signed in again, the log
// read back holds it once.
TEST_F(CallFrame, ALostLinkEndsTheCallAndItsPageAndLogsItOnce) {
    // The frame's own controller on the test clock, reached through a first page.
    ASSERT_EQ(0, frame->CallNumber("dave@example.com"));
    Events();
    ASSERT_NE(nullptr, Page());
    auto* controller = dynamic_cast<CallController*>(Page()->host());
    ASSERT_NE(nullptr, controller);
    controller->now = [] { return kEpoch + static_cast<int64_t>(plat::NowMs() / 1000); };
    frame->Calls()->CloseAll();
    Events();
    CallLog_Clear();
    ASSERT_TRUE(CallLog_Save() == 0);

    ASSERT_EQ(0, frame->CallNumber("bob@example.com"));
    Events();
    CallPageModel* page = Page();
    ASSERT_NE(nullptr, page);
    Answer(page->cnxIds[0]);
    Events();
    ASSERT_EQ(CALL_TALKING, page->State());
    clock->advance(35000);
    Events();
    UaEvents().clear();
    // The accounts stay listed (as the user's own account file keeps them) for the fixture's end.
    const int manual = g_configManual;
    g_configManual = 1;
    // As the login state machine reports an online link lost: signed out, then the notice.
    frame->Dispatch(WM_LOGIN_STATE, ST_initial, 0);
    frame->Dispatch(WM_LOGIN_NOTICE, LOGIN_NOTICE_LINK_LOST, 0);
    Events();
    EXPECT_TRUE(CallTabs().empty()) << "the call's page ends with the call";
    EXPECT_NE(UaEvents().end(), std::find_if(UaEvents().begin(), UaEvents().end(), [](const UaEvent& e) { return e.iEvent == OSIP_UA_EVT_BYE; }));

    // A minute later whatever is left is closed, and the user signs in again.
    clock->advance(60000);
    Events();
    frame->Calls()->CloseAll();
    Events();
    frame->LogoffReset(LOGIN_SIGNED_IN);
    g_configManual = manual;
    const std::vector<CallLogEntry> log = Log();
    ASSERT_EQ(1u, log.size());
    EXPECT_STREQ("bob@example.com", log[0].number);
    EXPECT_EQ(CALLLOG_OUTGOING, log[0].typeFlags);
    EXPECT_EQ(35u + 3u, log[0].duration);
}
