// The calls windows offscreen on a real sheet and dial bar, with call control below them: dial,
// answer, hold notices, hang up, add a member, DTMF from the keypad, the call log page.
#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QAbstractItemView>
#include <QComboBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>

#include "platform/codepage.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "ui/calls/ansi_text.h"
#include "ui/calls/call_log_page.h"
#include "ui/calls/call_page.h"
#include "ui/calls/calls_shell_hook.h"
#include "ui/calls/calls_windows.h"
#include "ui/calls/control_events.h"
#include "ui/calls/dial_windows.h"
#include "ui/calls/invite_dialogs.h"
#include "common/addrbook.h"
#include "common/presence_link.h"
#include "ui/calls/tests/calls_test_support.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_button.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/controls/statics.h"
#include "ui/controls/styled_button.h"
#include "ui/controls/trel_menu.h"
#include "ui/controls/web/web_host.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/pages.h"
#include "ui/shell/shell_config.h"

using namespace callstest;

namespace {

class CallWindows : public CallPages {
protected:
    std::unique_ptr<QWidget> frame;
    CChildView* sheet = nullptr;
    CDialBar* bar = nullptr;
    std::unique_ptr<CallsWindows> windows;
    std::vector<std::string> boxes;
    std::vector<std::pair<std::string, std::string>> warnings;  // text, caption
    bool answer = true;

    CallController* MakeController() override {
        shell::LoadConfigPaths(TESSALY_BINARY_DIR, base, false);
        ctl::SetSkinType("default");
        QDir::setCurrent(TESSALY_BINARY_DIR);
        frame = std::make_unique<QWidget>();
        frame->resize(420, 600);
        sheet = new CChildView(frame.get());
        sheet->setGeometry(0, 0, 420, 480);
        bar = new CDialBar(frame.get());
        bar->setGeometry(0, 480, 420, 120);
        bar->Page()->hide();  // no browser engine for these tests: the addresses it is given are checked
        windows = std::make_unique<CallsWindows>(sheet, frame.get(), &sounds);
        windows->SetDialBar(bar);
        windows->box = [this](const std::string& t, const std::string&) { boxes.push_back(t); };
        windows->warn = [this](const std::string& t, const std::string& caption) { warnings.emplace_back(t, caption); };
        windows->ask = [this](const std::string&, const std::string&) { return answer; };
        sheet->AddPage(windows->MakeDialPage());
        sheet->AddPage(windows->MakeCallLogPage());
        frame->show();
        return &windows->Calls();
    }
    void DropController() override {
        windows.reset();
        frame.reset();
    }
    calls::CDialDialog* Dial() { return windows->DialPage(); }
    calls::COnDialDlg* CurrentCallPage() { return qobject_cast<calls::COnDialDlg*>(sheet->currentWidget()); }
    // Dials the number from the Dial page and has the peer answer: the talking call's page.
    calls::COnDialDlg* TalkTo(const QString& number) {
        Type(number);
        windows->OnDialButton(false);
        Events();
        calls::COnDialDlg* page = CurrentCallPage();
        if (!page) return nullptr;
        Answer(page->Model()->cnxIds[0]);
        Events();
        return page;
    }
    void Type(const QString& number) {
        sheet->setCurrentWidget(Dial());
        Dial()->Number()->setEditText(number);
        Dial()->ButtonState();
    }
    void Events() {
        QApplication::processEvents();
        PumpAll();
        QApplication::processEvents();
    }
};

TEST_F(CallWindows, DialFromTheDialPageOpensTheCallPage) {
    Type("bob@example.com");
    EXPECT_TRUE(bar->DialButton()->isEnabled());
    EXPECT_FALSE(bar->HangupButton()->isEnabled());
    QTest::mouseClick(bar->DialButton(), Qt::LeftButton);  // the frame's command reaches the windows
    windows->OnDialButton(false);
    Events();
    calls::COnDialDlg* page = CurrentCallPage();
    ASSERT_NE(nullptr, page);
    EXPECT_EQ(QString("bob@example.com"), page->NameLine()->text());
    EXPECT_EQ(QString("Connecting..."), page->TipLine()->text());
    EXPECT_EQ(OSIP_UA_EVT_INVITE, UaEvents().back().iEvent);
    ASSERT_EQ(1u, Dial()->History().Entries().size());
    EXPECT_FALSE(bar->DialButton()->isEnabled());  // an outgoing call cannot be answered
    EXPECT_TRUE(bar->HangupButton()->isEnabled());
    // The tab's title is the page's caption, whole.
    EXPECT_EQ(QString("bob@example.com"), sheet->tabText(sheet->currentIndex()));
}

// The number field is taken as typed: blanks are text like any other.
TEST_F(CallWindows, TheNumberFieldIsReadAsTyped) {
    Type("   ");
    EXPECT_TRUE(bar->DialButton()->isEnabled());
    Type(QString());
    EXPECT_FALSE(bar->DialButton()->isEnabled());
    Type(" bob@example.com");
    windows->OnDialButton(false);
    Events();
    ASSERT_FALSE(Dial()->History().Entries().empty());
    EXPECT_EQ(" bob@example.com", Dial()->History().Entries()[0]);
}

// The delete button shows the skin's two pictures (the second at rest, the first under the pointer),
// its hover background offset by 30 and its hover text blue, and empties the field.
TEST_F(CallWindows, DeleteButtonShowsTheSkinsPicturesAndEmptiesTheField) {
    CStyledButton* del = Dial()->DeleteButton();
    EXPECT_TRUE(del->text().isEmpty());
    const QImage rest(shell::SkinFile("dial_delete.bmp")), over(shell::SkinFile("dial_deletesel.bmp"));
    ASSERT_FALSE(rest.isNull());
    ASSERT_FALSE(over.isNull());
    const QPoint inside(20, 4);  // inside the key, off its cross
    ASSERT_NE(rest.pixel(inside), over.pixel(inside));
    EXPECT_EQ(rest.pixel(inside), del->grab().toImage().convertToFormat(QImage::Format_RGB32).pixel(inside));
    del->SetForcedState(true, false, false);
    EXPECT_EQ(over.pixel(inside), del->grab().toImage().convertToFormat(QImage::Format_RGB32).pixel(inside));
    del->SetForcedState(false, false, false);
    CStyledButton plain;
    COLORREF base = 0, colour = 0;
    plain.GetColor(0, &base);
    del->GetColor(0, &colour);
    EXPECT_EQ(ctl::OffsetColorValue(base, 30), colour);
    del->GetColor(1, &colour);
    EXPECT_EQ(COLORREF(0xFF0000), colour);  // blue
    Dial()->Number()->setEditText("bob");
    QTest::mouseClick(del, Qt::LeftButton);
    EXPECT_TRUE(Dial()->Number()->currentText().isEmpty());
}

TEST_F(CallWindows, EnterInTheNumberFieldDialsOnlyWhenDialIsEnabled) {
    Type("bob@example.com");
    bar->busy = true;  // the frame is busy: the dial button stays off
    Dial()->ButtonState();
    QTest::keyClick(Dial()->Number()->lineEdit(), Qt::Key_Return);
    Events();
    EXPECT_TRUE(calls->Pages().empty());
    bar->busy = false;
    Dial()->ButtonState();
    QTest::keyClick(Dial()->Number()->lineEdit(), Qt::Key_Return);
    Events();
    ASSERT_EQ(1u, calls->Pages().size());
    EXPECT_EQ("bob@example.com", UaEvents().back().text);
}

TEST_F(CallWindows, AnswerHoldNoticesAndHangUp) {
    int call, cnx;
    IncomingCall("carol@example.com", &call, &cnx);
    Events();
    calls::COnDialDlg* page = CurrentCallPage();
    ASSERT_NE(nullptr, page);
    EXPECT_EQ(QString("Is Calling..."), page->TipLine()->text());
    EXPECT_TRUE(bar->DialButton()->isEnabled());
    windows->OnDialButton(false);  // answer
    Events();
    EXPECT_EQ(OSIP_UA_EVT_ACCEPT_INVITE, UaEvents().back().iEvent);
    EXPECT_EQ(QString("Call with..."), page->StatusLine()->text());
    EXPECT_FALSE(bar->DialButton()->isEnabled());
    Wait(3000);
    Events();
    EXPECT_EQ(QString("00:00:03"), page->TipLine()->text());

    // The peer holds and resumes: the page keeps its state and clock.
    CC_SendEvent(-1, cnx, CCEVT_REMOTE_HOLD, -1, 0, strdup("<ACT>HOLD</ACT>\n"));
    Events();
    EXPECT_EQ(CALL_TALKING, page->Model()->State());
    CC_SendEvent(-1, cnx, CCEVT_REMOTE_UNHOLD, -1, 0, strdup("<ACT>UNHOLD</ACT>\n"));
    Events();
    Wait(1000);
    Events();
    EXPECT_EQ(QString("00:00:04"), page->TipLine()->text());

    windows->OnHangupButton();
    Events();
    EXPECT_EQ(OSIP_UA_EVT_BYE, UaEvents().back().iEvent);
    EXPECT_EQ(QString("Endding"), page->TipLine()->text());
    QPointer<calls::COnDialDlg> watch(page);
    Wait(5000);
    Events();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(watch.isNull());
    EXPECT_EQ(nullptr, CurrentCallPage());
    EXPECT_EQ(1, windows->CallLogPage()->List()->count());
}

// A second call from the same caller arrives while the first call's page still shows its end: the
// new page comes to the front; when the old one closes the sheet returns to the dial page, and on its
// own page the dial button answers the call instead of placing one.
TEST_F(CallWindows, ASecondCallRightAfterTheFirstEndsRingsAndIsAnswered) {
    enum End { CALLER_CANCELS, USER_DECLINES, ANSWERED_CALLER_HANGS_UP };
    struct Case {
        const char* name;
        End end;
        int gapMs;  // from the first call's end to the second call
    };
    const Case cases[] = {
        {"caller cancels, calls again at once", CALLER_CANCELS, 0},
        {"caller cancels, calls again after 1.5 s", CALLER_CANCELS, 1500},
        {"user declines, caller calls again", USER_DECLINES, 500},
        {"answered call ends, caller calls again while it shows its end", ANSWERED_CALLER_HANGS_UP, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int call1, cnx1;
        IncomingCall("carol@example.com", &call1, &cnx1);
        Events();
        calls::COnDialDlg* first = CurrentCallPage();
        ASSERT_NE(nullptr, first);
        if (c.end == ANSWERED_CALLER_HANGS_UP) {
            windows->OnDialButton(false);
            Events();
            Wait(2000);
        }
        if (c.end == USER_DECLINES) windows->OnHangupButton();
        else CC_SendEvent(-1, cnx1, CCEVT_REMOTE_DISCONNECT, c.end == CALLER_CANCELS ? 487 : VOIP_CODE_REMOTE_BYE, -1, nullptr);
        Events();
        Wait(static_cast<uint64_t>(c.gapMs));
        Events();

        const size_t uaBefore = UaEvents().size();
        int call2, cnx2;
        IncomingCall("carol@example.com", &call2, &cnx2);
        Events();
        calls::COnDialDlg* second = CurrentCallPage();
        ASSERT_NE(nullptr, second);
        ASSERT_NE(first, second);
        EXPECT_EQ(CALL_CALLING, second->Model()->State());
        EXPECT_EQ(QString("Is Calling..."), second->TipLine()->text());
        for (size_t i = uaBefore; i < UaEvents().size(); ++i) EXPECT_NE(OSIP_UA_EVT_REJECT_INVITE, UaEvents()[i].iEvent);
        // The call id may be the first call's again: only the live page answers for it.
        EXPECT_EQ(second->Model(), calls->FindCallPageByCallId(call2));
        for (const auto& p : calls->Pages())
            if (p.get() != second->Model()) EXPECT_NE(call2, p->callId);

        Wait(6000);  // the first page ends and closes
        Events();
        EXPECT_EQ(1u, calls->Pages().size());
        // The sheet goes back to the last page used that is not a call's; there the dial button
        // waits while a call rings in, and the ringing page's own tab answers it.
        EXPECT_EQ(Dial(), sheet->currentWidget());
        EXPECT_FALSE(bar->DialButton()->isEnabled());
        EXPECT_TRUE(bar->HangupButton()->isEnabled());
        sheet->setCurrentWidget(second);
        Events();
        ASSERT_EQ(second, CurrentCallPage());
        EXPECT_TRUE(bar->DialButton()->isEnabled());
        EXPECT_TRUE(bar->HangupButton()->isEnabled());
        windows->OnDialButton(false);
        Events();
        EXPECT_EQ(OSIP_UA_EVT_ACCEPT_INVITE, UaEvents().back().iEvent);
        EXPECT_EQ(CALL_TALKING, second->Model()->State());
        for (size_t i = uaBefore; i < UaEvents().size(); ++i) EXPECT_NE(OSIP_UA_EVT_INVITE, UaEvents()[i].iEvent);
        windows->OnHangupButton();
        Events();
        Wait(6000);
        Events();
        EXPECT_TRUE(calls->Pages().empty());
        EXPECT_EQ(16, CC_GetIdleCnxNum());
    }
}

// The dial bar on a page that is not a calls window: a running call can only be ended there, and
// nothing can be dialled from it (the address book keeps its selection's own rule).
// The hint line lies at the field's left with the page's width; its text wraps inside the page.
TEST_F(CallWindows, DialPageHintWrapsInsideThePage) {
    calls::CDialDialog* dial = Dial();
    dial->resize(380, 330);
    QLabel* hint = dial->HintLine();
    hint->setText("Type a number or pick one you dialled before, then press Dial. During a call, dialling adds the number to the call.");
    EXPECT_EQ(16, hint->x());
    EXPECT_EQ(380, hint->width());
    EXPECT_LE(hint->x() + hint->contentsRect().right() + 1, dial->width());
}

TEST_F(CallWindows, DialBarOnOtherPagesFollowsTheCalls) {
    enum Call { NONE, RINGING_IN, CALLING_OUT, TALKING };
    struct Case {
        const char* name;
        int pageType;  // 3 start page, 0 address book, 9 service page
        Call call;
        int dial, hangup;
    };
    const Case cases[] = {
        {"start page, no call", 3, NONE, 0, 0},
        {"start page, a call rings in", 3, RINGING_IN, 0, 1},
        {"start page, calling out", 3, CALLING_OUT, 0, 1},
        {"start page, talking", 3, TALKING, 0, 1},
        {"service page, no call", 9, NONE, 0, 0},
        {"address book, no call: its selection decides", 0, NONE, -1, 0},
        {"address book, talking", 0, TALKING, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int call = -1, cnx = -1;
        if (c.call == RINGING_IN) IncomingCall("carol@example.com", &call, &cnx);
        if (c.call == CALLING_OUT || c.call == TALKING) {
            calls->CallNumber("dave@example.com");
            PumpAll();
            if (c.call == TALKING) Answer(calls->Pages().back()->cnxIds[0]);
        }
        Events();
        int dial = -2, hangup = -2;
        windows->OtherPageButtons(c.pageType, &dial, &hangup);
        EXPECT_EQ(c.dial, dial);
        EXPECT_EQ(c.hangup, hangup);
        if (!calls->Pages().empty()) calls->Pages().back()->OnHangup(0);
        Events();
        Wait(6000);
        Events();
        ASSERT_TRUE(calls->Pages().empty());
    }

    // On the start page itself the buttons follow as the page comes to the front; a number left in
    // the dial page's field does not make the start page's dial button live.
    Dial()->Number()->setEditText("bob@example.com");
    auto* start = new CNqNavigatePage;
    sheet->AddPage(start);
    sheet->setCurrentWidget(start);
    Events();
    EXPECT_FALSE(bar->DialButton()->isEnabled());
    EXPECT_FALSE(bar->HangupButton()->isEnabled());
    windows->OnDialButton(false);  // the start page has nothing to dial
    Events();
    EXPECT_TRUE(calls->Pages().empty());
    int call, cnx;
    IncomingCall("carol@example.com", &call, &cnx);
    Events();
    sheet->setCurrentWidget(start);
    Events();
    EXPECT_FALSE(bar->DialButton()->isEnabled());  // the call is answered on its page, not placed anew
    EXPECT_TRUE(bar->HangupButton()->isEnabled());
}

// A page of the sheet that is no calls window and handles no call itself (address book, service page).
struct PlainPage : CNqPropertyPage {
    explicit PlainPage(int type) : CNqPropertyPage(type) {}
    QString TabTitle() const override { return "page"; }
    int TabImage() const override { return 0; }
};

// The dial bar's hang-up on every page of the sheet: it is offered exactly when it has a call to end,
// and ends the talking call, else the one that is not answered yet.
TEST_F(CallWindows, HangUpFromEveryPageEndsTheTalkingCallElseTheUnansweredOne) {
    auto* start = new CNqNavigatePage;
    auto* book = new PlainPage(0);
    auto* service = new PlainPage(9);
    for (CNqPropertyPage* p : std::initializer_list<CNqPropertyPage*>{start, book, service}) sheet->AddPage(p);
    enum Calls { NONE, TALKING, RINGING_IN, CALLING_OUT, TALKING_AND_CALLING_OUT };
    struct Case {
        const char* name;
        Calls calls;
        const char* ended;  // the number whose call the hang-up ends; empty: none
    };
    const Case cases[] = {
        {"no call", NONE, ""},
        {"a call talking", TALKING, "bob@example.com"},
        {"a call ringing in", RINGING_IN, "carol@example.com"},
        {"a call placed, not answered", CALLING_OUT, "dave@example.com"},
        {"one talking, one placed", TALKING_AND_CALLING_OUT, "bob@example.com"},
    };
    struct Page {
        const char* name;
        QWidget* widget;
    };
    const Page pages[] = {{"start page", start}, {"address book", book}, {"service page", service},
                          {"dial page", Dial()}, {"call log", windows->CallLogPage()}};
    for (const Page& page : pages) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(page.name) + ", " + c.name);
            int call = -1, cnx = -1;
            if (c.calls == TALKING || c.calls == TALKING_AND_CALLING_OUT) {
                ASSERT_NE(nullptr, AnsweredCall("bob@example.com"));
            }
            if (c.calls == RINGING_IN) IncomingCall("carol@example.com", &call, &cnx);
            if (c.calls == CALLING_OUT || c.calls == TALKING_AND_CALLING_OUT) {
                calls->CallNumber("dave@example.com");
                PumpAll();
            }
            Events();
            sheet->setCurrentWidget(page.widget);
            Events();
            EXPECT_EQ(c.calls != NONE, bar->HangupButton()->isEnabled());
            windows->OnHangupButton();
            Events();
            for (const auto& p : calls->Pages())
                EXPECT_EQ(p->remoteNumber == c.ended, p->State() == CALL_ENDED) << p->remoteNumber;
            for (const auto& p : calls->Pages())
                if (p->State() != CALL_ENDED) p->OnHangup(0);
            Events();
            Wait(6000);
            Events();
            ASSERT_TRUE(calls->Pages().empty());
        }
    }
}

TEST_F(CallWindows, AddAMemberFromTheDialPage) {
    calls::COnDialDlg* page = TalkTo("bob@example.com");
    ASSERT_NE(nullptr, page);
    Type("carol@example.com");
    EXPECT_TRUE(bar->DialButton()->isEnabled());  // dialling now adds a member
    windows->OnDialButton(false);
    Events();
    EXPECT_EQ(page, CurrentCallPage());
    ASSERT_EQ(3u, page->Tiles().size());
    EXPECT_FALSE(page->TipLine()->isVisible());
    EXPECT_EQ(shell::LangText("multiconf_dialog", "conf_chairman", "chairman"), page->Tiles()[0]->StateText());
    EXPECT_EQ(QColor(Qt::white), page->Tiles()[1]->BackColor());
    EXPECT_EQ(QString("Conference"), sheet->tabText(sheet->currentIndex()));
    EXPECT_EQ("carol@example.com", UaEvents().back().text);
    const auto items = page->MenuItems(page->Tiles()[2]->geometry().center());
    ASSERT_EQ(4u, items.size());
    EXPECT_TRUE(items[0].second);  // a conference member can be hung up alone
    EXPECT_EQ(std::make_pair(int(ID_CALL_HOLD), true), items[1]);  // the whole conference is held
    const int bobChannel = Channel(page->Model()->cnxIds[0]);
    ASSERT_TRUE(bridge.Sending(bobChannel));
    page->RunMenuCommand(ID_CALL_HOLD);
    Events();
    EXPECT_TRUE(page->Model()->Held());
    EXPECT_FALSE(bridge.Sending(bobChannel));
    page->RunMenuCommand(ID_CALL_HOLD);
    Events();
    EXPECT_FALSE(page->Model()->Held());
    EXPECT_TRUE(bridge.Sending(bobChannel));
    // The keypad of a member's menu is the keypad of that member's connection.
    ASSERT_EQ(2, page->Model()->cnxCount);
    page->MenuItems(page->Tiles()[2]->geometry().center());
    page->RunMenuCommand(ID_CALL_KEYPAD);
    ASSERT_NE(nullptr, windows->Keypad());
    EXPECT_EQ(page->Model()->cnxIds[1], windows->Keypad()->GetCnxId());
    EXPECT_EQ(-1, page->Model()->targetCnx);
    windows->OnKeypadMessage(0, 0);
}

// A caller taken into the running call turns the page into the member view at once, with no tiles
// over the single call's picture and clock.
TEST_F(CallWindows, ACallerTakenIntoTheCallShowsTheMemberViewAtOnce) {
    calls::COnDialDlg* page = TalkTo("bob@example.com");
    ASSERT_NE(nullptr, page);
    int call, cnx;
    IncomingCall("carol@example.com", &call, &cnx);  // the question is answered Yes
    QApplication::processEvents();
    EXPECT_EQ(page, CurrentCallPage());
    ASSERT_EQ(3u, page->Tiles().size());
    EXPECT_FALSE(page->TipLine()->isVisible());
    EXPECT_FALSE(page->NameLine()->isVisible());
    EXPECT_EQ(QString("Conference"), sheet->tabText(sheet->currentIndex()));
    // The tab takes the conference picture of the skin's strip (8) in place of the call's (5).
    const QList<QPixmap> strip =
        ctl::CutStrip(ctl::LoadBitmapFile(shell::SkinFile("propertypicon.bmp")), 24, 23, RGB(255, 0, 255));
    ASSERT_GT(strip.size(), 8);
    ASSERT_GT(sheet->Tabs()->Images().size(), sheet->currentIndex());
    EXPECT_EQ(strip[8].toImage(), sheet->Tabs()->Images()[sheet->currentIndex()].toImage());
    EXPECT_NE(strip[5].toImage(), strip[8].toImage());
}

// A member's state line changing (or the clock ticking) leaves the member view where the user
// scrolled it; only members coming or going lay the tiles out again from the top.
TEST_F(CallWindows, MemberViewKeepsItsScrollPositionWhenAStateLineChanges) {
    calls::COnDialDlg* page = TalkTo("bob@example.com");
    ASSERT_NE(nullptr, page);
    int call, cnx;
    IncomingCall("carol@example.com", &call, &cnx);
    QApplication::processEvents();
    ASSERT_EQ(3u, page->Tiles().size());
    sheet->setGeometry(0, 0, 420, 240);  // three tiles need 280 pixels: the view scrolls
    QApplication::processEvents();
    QScrollBar* scroll = page->findChild<QScrollBar*>();
    ASSERT_NE(nullptr, scroll);
    ASSERT_TRUE(scroll->isVisible());
    ASSERT_GE(scroll->maximum(), 28);
    scroll->setValue(28);
    const int y = page->Tiles()[0]->y();
    page->Model()->SetMemberPictureState("carol@example.com", "On hold");
    QApplication::processEvents();
    EXPECT_EQ(28, scroll->value());
    EXPECT_EQ(y, page->Tiles()[0]->y());
    // A member coming lays the tiles out again from the top.
    page->Model()->AddAttendeePicture(-1, "dave@example.com", "Dave", "", 1);
    QApplication::processEvents();
    EXPECT_EQ(0, scroll->value());
    // A member without a name has an empty name line.
    page->Model()->AddAttendeePicture(-1, "erin@example.com", "", "", 1);
    QApplication::processEvents();
    ASSERT_EQ(5u, page->Tiles().size());
    EXPECT_EQ(QString(), page->Tiles()[4]->NameText());
}

// The end of another party's conference keeps its tiles (and the tab's "Conference") until the page
// closes: the single call's picture, name and clock never show over them.
TEST_F(CallWindows, ARemoteConferenceEndsOnItsTiles) {
    calls::COnDialDlg* page = TalkTo("bob@example.com");
    ASSERT_NE(nullptr, page);
    const int host = page->Model()->cnxIds[0];
    auto report = [&](const char* number, uint32_t kind) {
        auto m = std::make_unique<calls::RemoteMember>();
        m->number = number;
        m->kind = kind;
        m->presence = 4;
        page->Model()->SetLastCnxId(host);
        page->Model()->OnConferenceMembers(std::move(m), 0);
        Events();
    };
    report("bob@example.com", 0);
    report("carol@example.com", 1);
    ASSERT_EQ(3u, page->Tiles().size());
    Wait(2000);
    CC_SendEvent(-1, host, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
    Events();
    QPointer<calls::COnDialDlg> watch(page);
    Wait(3000);  // the host's tile shows "Endding", then the whole page ends
    Events();
    ASSERT_FALSE(watch.isNull());
    EXPECT_FALSE(page->Model()->conference);
    EXPECT_EQ(CALL_ENDED, page->Model()->State());
    EXPECT_EQ(3u, page->Tiles().size());
    for (QWidget* w : {page->TipLine(), page->NameLine(), page->StatusLine()}) EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(QString("Conference"), sheet->tabText(sheet->indexOf(page)));
    Wait(2500);
    Events();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(watch.isNull());
}

TEST_F(CallWindows, DtmfFromTheKeypadWindowAndTheDialPage) {
    Type("bob@example.com");
    windows->OnDialButton(false);
    Events();
    calls::COnDialDlg* page = CurrentCallPage();
    ASSERT_NE(nullptr, page);
    const int cnx = page->Model()->cnxIds[0];
    Answer(cnx, "10.0.0.2", 30000, 0);  // PCMU
    Events();
    const int ch = Channel(cnx);
    windows->ShowKeypad(cnx);
    ASSERT_NE(nullptr, windows->Keypad());
    // Twelve keys: * and # go as the events 10 and 11.
    for (int v = 0; v < 12; ++v) EXPECT_TRUE(windows->Keypad()->Key(v)->isVisibleTo(windows->Keypad())) << v;
    for (int v : {1, 2, 10, 11}) windows->Keypad()->PressKey(1117 + v);
    QTest::mouseClick(windows->Keypad()->Key(0), Qt::LeftButton);
    windows->OnKeypadMessage(2, 7);  // neither close nor key: nothing is sent
    PumpAll();
    EXPECT_EQ((std::vector<int>{1, 2, 10, 11, 0}), bridge.channels[ch].dtmf);
    ASSERT_NE(nullptr, windows->Keypad());
    // Room for the caption beside the window's own buttons.
    EXPECT_GE(windows->Keypad()->FullWidth(),
              windows->Keypad()->fontMetrics().horizontalAdvance(windows->Keypad()->windowTitle()) + 100);
    windows->Keypad()->close();
    Events();
    EXPECT_EQ(nullptr, windows->Keypad());

    // The dial page's keys send the digits and type them; they never dial what the field holds.
    sheet->setCurrentWidget(Dial());
    Dial()->Number()->setEditText(QString());
    const size_t uaBefore = UaEvents().size();
    frame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame.get()));
    for (int k : {7, 10, 11}) {
        QTest::mouseClick(Dial()->Key(k), Qt::LeftButton);
        Events();
        EXPECT_EQ(Dial(), sheet->currentWidget()) << k;
    }
    PumpAll();
    EXPECT_EQ((std::vector<int>{1, 2, 10, 11, 0, 7, 10, 11}), bridge.channels[ch].dtmf);
    EXPECT_EQ(QString("7*#"), Dial()->Number()->currentText());  // the keys are also typed
    EXPECT_EQ(uaBefore, UaEvents().size());
    EXPECT_EQ(1u, calls->Pages().size());
    EXPECT_EQ(1, page->Model()->cnxCount);

    // The keypad goes when its call ends: the page shows "Endding" and the window is gone.
    sheet->setCurrentWidget(page);
    windows->ShowKeypad(cnx);
    ASSERT_NE(nullptr, windows->Keypad());
    QPointer<CKeypadDlg> keypad(windows->Keypad());
    CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
    Events();
    ASSERT_EQ(1u, calls->Pages().size());
    EXPECT_EQ(nullptr, windows->Keypad());
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(keypad.isNull());
    Wait(6000);
    Events();
    EXPECT_TRUE(calls->Pages().empty());
}

// The keypad's connection number goes back to call control with its call, and the next call's
// connection takes it: the keypad lives only while a running call holds its connection. Another
// call ringing in leaves it; the member it was opened for leaving the conference, or a sign-out
// closing the pages, takes it away.
TEST_F(CallWindows, TheKeypadGoesWithTheConnectionItWasOpenedFor) {
    calls::COnDialDlg* page = TalkTo("bob@example.com");
    ASSERT_NE(nullptr, page);
    const int bob = page->Model()->cnxIds[0];
    page->RunMenuCommand(ID_CALL_KEYPAD);
    ASSERT_NE(nullptr, windows->Keypad());
    int call, cnx;
    IncomingCall("carol@example.com", &call, &cnx);  // asks to take carol in: answered yes
    Events();
    ASSERT_TRUE(page->Model()->conference);
    ASSERT_EQ(2, page->Model()->cnxCount);
    ASSERT_NE(nullptr, windows->Keypad());
    EXPECT_EQ(bob, windows->Keypad()->GetCnxId());

    // Opened for carol, it goes when she hangs up; bob still talks.
    windows->ShowKeypad(cnx);
    CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
    Events();
    Wait(4000);
    Events();
    ASSERT_EQ(1, page->Model()->cnxCount);
    EXPECT_EQ(nullptr, windows->Keypad());

    // Opened for bob, it goes when the pages close at sign-out.
    windows->ShowKeypad(bob);
    ASSERT_NE(nullptr, windows->Keypad());
    calls->CloseAll();
    Events();
    EXPECT_EQ(nullptr, windows->Keypad());
}

// Beside the main window, the keypad stays within the screen's available area: a main window at
// the screen's right edge has it over its own right side, one low on the screen has it raised.
TEST_F(CallWindows, TheKeypadStaysOnTheScreen) {
    const QRect avail = frame->screen()->availableGeometry();
    const struct {
        int x, y;  // the main window's top left, from the screen's bottom right
    } cases[] = {{-frame->width(), -frame->height()}, {-frame->width() - 30, -100}};
    for (const auto& c : cases) {
        frame->move(avail.right() + 1 + c.x, avail.bottom() + 1 + c.y);
        QApplication::processEvents();
        windows->ShowKeypad(3);
        CKeypadDlg* k = windows->Keypad();
        ASSERT_NE(nullptr, k);
        while (k->Sliding()) k->SlideStep();
        QApplication::processEvents();
        EXPECT_TRUE(avail.contains(k->frameGeometry())) << c.x << " " << k->frameGeometry().x() << "," << k->frameGeometry().y();
        EXPECT_EQ(avail.right() + 1 - k->frameGeometry().width(), k->x());
        EXPECT_LE(k->y(), frame->frameGeometry().top());
        k->move(k->x() - 200, k->y());  // dragged away, it snaps back to the same place
        QApplication::processEvents();
        EXPECT_EQ(avail.right() + 1 - k->frameGeometry().width(), k->x());
        k->close();
        Events();
    }
}

// The page's "keyboard" entry opens the keypad window for the page's call, which sends its keys on
// any codec (here iLBC, on which the Dial page's keys send nothing); the page's menu first closes the
// keypad window.
TEST_F(CallWindows, KeyboardEntryOpensTheKeypadForThePagesCallAndTheMenuClosesIt) {
    Type("bob@example.com");
    windows->OnDialButton(false);
    Events();
    calls::COnDialDlg* page = CurrentCallPage();
    ASSERT_NE(nullptr, page);
    const int cnx = page->Model()->cnxIds[0];
    Answer(cnx);  // iLBC
    Events();
    const int ch = Channel(cnx);
    page->RunMenuCommand(ID_CALL_KEYPAD);
    EXPECT_EQ(page, sheet->currentWidget());
    ASSERT_NE(nullptr, windows->Keypad());
    EXPECT_EQ(cnx, windows->Keypad()->GetCnxId());
    for (int v : {5, 10, 11}) windows->Keypad()->PressKey(1117 + v);
    sheet->setCurrentWidget(Dial());
    frame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame.get()));
    QTest::mouseClick(Dial()->Key(7), Qt::LeftButton);
    Events();
    PumpAll();
    EXPECT_EQ((std::vector<int>{5, 10, 11}), bridge.channels[ch].dtmf);

    sheet->setCurrentWidget(page);
    ASSERT_NE(nullptr, windows->Keypad());
    bool menuShown = false;
    QTimer::singleShot(0, [&] {
        if (QWidget* popup = QApplication::activePopupWidget()) {
            menuShown = true;
            popup->close();
        }
    });
    QTest::mouseClick(page, Qt::RightButton, {}, QPoint(5, 5));
    Events();
    EXPECT_TRUE(menuShown);
    EXPECT_EQ(nullptr, windows->Keypad());
    // A skin without the menu's pictures shows no menu at all.
    const std::string skin = shell::Paths().skinFolder;
    shell::Paths().skinFolder = "/nonexistent-skin";
    menuShown = false;
    QTimer::singleShot(0, [&] {
        if (QWidget* popup = QApplication::activePopupWidget()) {
            menuShown = true;
            popup->close();
        }
    });
    QTest::mouseClick(page, Qt::RightButton, {}, QPoint(5, 5));
    Events();
    shell::Paths().skinFolder = skin;
    EXPECT_FALSE(menuShown);
}

// The peer hangs up while the page's right-click menu is open and the page closes under the menu:
// the menu closes with it, and nothing is freed twice.
TEST_F(CallWindows, APageThatClosesWhileItsMenuIsOpenTakesTheMenuDown) {
    calls::COnDialDlg* page = TalkTo("bob@example.com");
    ASSERT_NE(nullptr, page);
    const int cnx = page->Model()->cnxIds[0];
    QPointer<calls::COnDialDlg> watch(page);
    bool menuShown = false, menuLeftOpen = false;
    QTimer::singleShot(0, [&] {
        menuShown = QApplication::activePopupWidget() != nullptr;
        CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
        Events();
        Wait(5000);
        Events();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (QWidget* popup = QApplication::activePopupWidget()) {
            menuLeftOpen = true;
            popup->close();
        }
    });
    QTest::mousePress(page, Qt::RightButton, {}, QPoint(5, 5));
    QTest::mouseRelease(frame.get(), Qt::RightButton);  // the page is gone: the button goes up elsewhere
    Events();
    EXPECT_TRUE(menuShown);
    EXPECT_TRUE(watch.isNull());
    EXPECT_FALSE(menuLeftOpen);
    EXPECT_EQ(nullptr, QApplication::activePopupWidget());
    EXPECT_EQ(nullptr, CurrentCallPage());
}

TEST_F(CallWindows, KeypadSlidesOutAndIgnoresEnterAndEscape) {
    windows->ShowKeypad(3);
    CKeypadDlg* k = windows->Keypad();
    ASSERT_NE(nullptr, k);
    EXPECT_EQ(0, k->ShownWidth());
    while (k->Sliding()) k->SlideStep();
    EXPECT_EQ(k->FullWidth(), k->ShownWidth());
    QTest::keyClick(k, Qt::Key_Escape);
    QTest::keyClick(k, Qt::Key_Return);
    EXPECT_TRUE(k->isVisible());
    frame->move(frame->x() + 40, frame->y() + 30);  // the keypad follows the main window's right edge
    QApplication::processEvents();
    EXPECT_EQ(frame->frameGeometry().right() + 1, k->x());
    EXPECT_EQ(frame->frameGeometry().top(), k->y());
    k->move(k->x() + 100, k->y() + 100);  // dragged away, it snaps back
    QApplication::processEvents();
    EXPECT_EQ(frame->frameGeometry().right() + 1, k->x());
    const QPoint before = k->pos();  // a resize alone leaves it until the next move
    frame->resize(frame->width() + 50, frame->height());
    QApplication::processEvents();
    EXPECT_EQ(before, k->pos());
    frame->move(frame->x() + 1, frame->y());
    QApplication::processEvents();
    EXPECT_EQ(frame->frameGeometry().right() + 1, k->x());
    windows->ShowKeypad(4);  // reused, only the connection changes
    EXPECT_EQ(k, windows->Keypad());
    EXPECT_EQ(4, k->GetCnxId());
}

TEST_F(CallWindows, CallLogPageFiltersAndCallsBack) {
    for (const char* n : {"bob@example.com", "carol@example.com", "bob@example.com"}) {
        calls->CallNumber(n);
        PumpAll();
        ASSERT_FALSE(calls->Pages().empty());
        calls->Pages()[0]->OnHangup(0);
        PumpAll();
        Wait(3000);
    }
    int call, cnx;
    IncomingCall("dave@example.com", &call, &cnx);
    CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
    PumpAll();
    Wait(3000);
    Events();
    calls::CSyslogDlg* log = windows->CallLogPage();
    EXPECT_EQ(4, log->List()->count());
    EXPECT_EQ(4, log->PeerFilter()->count());  // <All>, dave, bob, carol
    // The tool bar's pictures are cut from the skin's strip; every button has one.
    EXPECT_EQ(13, log->Bar()->ImageCount());
    EXPECT_EQ(QSize(16, 15), log->Bar()->Image(5).size());
    for (QAction* a : log->Bar()->actions())
        if (a->data().isValid()) EXPECT_FALSE(a->icon().isNull()) << a->data().toInt();
    calls::CDlgToolBar spare;
    EXPECT_FALSE(spare.LoadImageStrip("/nonexistent/calllogbar.bmp"));
    EXPECT_TRUE(spare.Image(0).isNull());
    // A skin without the call log's pictures: the program's own strip and direction icons stand in.
    const std::string skin = shell::Paths().skinFolder;
    shell::Paths().skinFolder = "/nonexistent-skin";
    log->OnSkinChanged();
    EXPECT_EQ(13, log->Bar()->ImageCount());
    for (QAction* a : log->Bar()->actions())
        if (a->data().isValid()) EXPECT_FALSE(a->icon().isNull()) << a->data().toInt();
    for (int row = 0; row < log->List()->count(); ++row)
        EXPECT_FALSE(log->List()->item(row)->data(Qt::DecorationRole).value<QPixmap>().isNull()) << row;
    shell::Paths().skinFolder = skin;
    log->OnSkinChanged();
    log->PeerFilter()->setCurrentIndex(2);
    log->RefreshList();
    EXPECT_EQ(2, log->List()->count());
    log->OnLanguageChanged();  // "<All>" is chosen again and every call shows
    EXPECT_EQ(0, log->PeerFilter()->currentIndex());
    EXPECT_EQ(4, log->List()->count());
    log->SetDirection(ID_LOG_MISSED);
    ASSERT_EQ(1, log->List()->count());
    EXPECT_STREQ("dave@example.com", log->RecordAt(0)->number);

    log->SetDirection(ID_LOG_ALL);
    sheet->setCurrentWidget(log);  // the wheel turns on the page in view
    log->List()->clearSelection();
    log->List()->item(1)->setSelected(true);
    EXPECT_TRUE(log->WheelSelect(-120));  // one step down
    EXPECT_EQ(2, log->List()->currentRow());
    EXPECT_EQ(1, static_cast<int>(log->List()->selectedItems().size()));
    log->WheelSelect(360);  // clamped at the first entry
    EXPECT_EQ(0, log->List()->currentRow());
    log->SetDirection(ID_LOG_MISSED);

    sheet->setCurrentWidget(log);
    log->List()->item(0)->setSelected(true);
    Events();
    EXPECT_TRUE(bar->DialButton()->isEnabled());
    windows->OnDialButton(false);
    Events();
    ASSERT_NE(nullptr, CurrentCallPage());
    EXPECT_EQ("dave@example.com", UaEvents().back().text);
    CurrentCallPage()->Model()->OnHangup(0);
    Events();
    Wait(3000);

    // Calling back oneself is refused; removing every entry leaves only <All>.
    Account* own = sip;
    (void)own;
    CallLog_Clear();
    CallLogNode* mine = CallLog_NewEntry();
    std::strcpy(mine->record.number, "alice");
    mine->record.typeFlags = CALLLOG_OUTGOING;
    CallLog_Add(mine);
    log->LoadCallLog();
    log->SetDirection(ID_LOG_ALL);
    log->List()->item(0)->setSelected(true);
    EXPECT_EQ(0, log->DialSelected());
    EXPECT_EQ(shell::LangText("dial_dialog", "msg_call_fail", "Can't call yourself!").toStdString(), boxes.back());
    int cleared = 0;
    windows->clearMissedCalls = [&] { ++cleared; };
    log->List()->selectAll();
    log->DeleteSelected();
    EXPECT_EQ(0, log->List()->count());
    EXPECT_EQ(1, log->PeerFilter()->count());
    EXPECT_EQ(1, cleared);
    EXPECT_EQ(0, CallLog_Count());
}

// The peer filter's open list is 100 pixels high however many peers it lists, and scrolls.
TEST_F(CallWindows, ThePeerFiltersOpenListIsAHundredPixelsHigh) {
    CallLog_Clear();
    for (int i = 0; i < 15; ++i) {
        CallLogNode* n = CallLog_NewEntry();
        ASSERT_NE(nullptr, n);
        std::snprintf(n->record.number, sizeof n->record.number, "peer%02d@example.com", i);
        n->record.typeFlags = CALLLOG_OUTGOING;
        CallLog_Add(n);
    }
    calls::CSyslogDlg* log = windows->CallLogPage();
    log->LoadCallLog();
    sheet->setCurrentWidget(log);
    Events();
    QComboBox* peers = log->PeerFilter();
    ASSERT_EQ(16, peers->count());
    peers->showPopup();
    Events();
    QWidget* list = peers->view()->window();
    ASSERT_TRUE(list->isVisible());
    EXPECT_EQ(100, list->height());
    EXPECT_GT(peers->view()->verticalScrollBar()->maximum(), 0);
    peers->hidePopup();
    CallLog_Clear();
}

TEST_F(CallWindows, ConferenceChooserMovesPeopleAndConfirms) {
    windows->OpenConferenceChooser(0);
    CConfInviteDlg* dlg = windows->Chooser();
    ASSERT_NE(nullptr, dlg);
    std::vector<std::unique_ptr<CInvitee>> people;
    for (const char* n : {"bob@example.com", "bob@example.com", "carol@example.com"}) {
        auto inv = std::make_unique<CInvitee>();
        inv->SetNumber(n);
        inv->SetName("Someone");
        people.push_back(std::move(inv));
    }
    dlg->SetCandidates(std::move(people));
    ASSERT_EQ(2, dlg->Candidates()->count());
    EXPECT_EQ(QString("carol@example.com"), dlg->Candidates()->item(0)->text());  // the number alone, the last first
    EXPECT_EQ(shell::LangText("multiconf_dialog", "buddy_list_tipinfo", ""), dlg->Candidates()->toolTip());
    EXPECT_FALSE(dlg->InviteButton()->toolTip().isEmpty());
    // A language switch reaches the open chooser; the keypad keeps the caption it opened with.
    windows->ShowKeypad(3);
    const QString keypadTitle = windows->Keypad()->windowTitle();
    EXPECT_EQ(shell::LangText("dial_dialog", "keyboard_title", "Keyboard"), keypadTitle);
    shell::ApplyLanguageCode("chs");
    windows->OnLanguageChanged();
    EXPECT_EQ(QString::fromUtf8("邀请好友"), dlg->windowTitle());
    EXPECT_NE(keypadTitle, shell::LangText("dial_dialog", "keyboard_title", "Keyboard"));
    EXPECT_EQ(keypadTitle, windows->Keypad()->windowTitle());
    shell::ApplyLanguageCode("eng");
    windows->OnLanguageChanged();
    EXPECT_EQ(shell::LangText("multiconf_dialog", "estab_title", "Invite buddy"), dlg->windowTitle());
    windows->OnKeypadMessage(0, 0);
    // A click on a person turns the invite button on; a click on the list's empty space turns it off again.
    dlg->show();
    QListWidget* list = dlg->Candidates();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
    EXPECT_TRUE(dlg->InviteButton()->isEnabled());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(5, list->viewport()->height() - 5));
    EXPECT_FALSE(dlg->InviteButton()->isEnabled());
    EXPECT_TRUE(list->selectedItems().isEmpty());
    QString refused;
    dlg->box = [&](const QString& t) { refused = t; };
    dlg->Confirm();
    EXPECT_EQ(QString("Please select invite buddy!"), refused);
    dlg->Candidates()->setCurrentRow(1);
    dlg->Invite();
    EXPECT_EQ(1, dlg->Chosen()->count());
    EXPECT_FALSE(dlg->InviteButton()->isEnabled());
    EXPECT_FALSE(dlg->RejectButton()->isEnabled());
    dlg->Confirm();
    Events();
    EXPECT_EQ(nullptr, windows->Chooser());
    ASSERT_EQ(1u, calls->Pages().size());
    EXPECT_EQ("bob@example.com", UaEvents().back().text);
}

TEST_F(CallWindows, ConferenceChooserShowsWhoIsOnline) {
    windows->OpenConferenceChooser(0);
    CConfInviteDlg* dlg = windows->Chooser();
    ASSERT_NE(nullptr, dlg);
    Account service{};
    service.type = ACCOUNT_TYPE_SERVICE;
    std::vector<std::unique_ptr<CInvitee>> people;
    std::vector<AddrContact*> book;
    AddrIdentity* onIdentity = nullptr;
    for (int online : {1, 0}) {
        AddrContact* c = AddrBook_NewContact(online ? "on" : "off", nullptr, online ? "on" : "off");
        AddrIdentity* id = AddrBook_NewIdentity(&service, "1001", nullptr, online ? "i-on" : "i-off");
        id->online = static_cast<uint32_t>(online);
        if (online) onIdentity = id;
        ASSERT_EQ(1, AddrBook_AttachIdentity(id, c, nullptr));
        ASSERT_EQ(1, AddrBook_AttachContact(c, g_addrBookRoots[0], nullptr));
        book.push_back(c);
        auto inv = std::make_unique<CInvitee>();
        inv->SetNumber(online ? "on" : "off");
        inv->SetContact(c);
        people.push_back(std::move(inv));
    }
    struct Cleanup {
        std::vector<AddrContact*>& book;
        ~Cleanup() {
            for (AddrContact* c : book) {
                AddrBook_DetachContact(c);
                AddrBook_FreeContact(c);
            }
        }
    } cleanup{book};
    dlg->SetCandidates(std::move(people));
    ASSERT_EQ(2, dlg->Candidates()->count());
    auto image = [](const QIcon& icon) { return icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32); };
    auto skinIcon = [&](const char* file) {
        return image(QIcon(ctl::KeyedPixmap(ctl::LoadBitmapFile(shell::SkinFile(file)), RGB(0xEC, 0xE9, 0xD8))));
    };
    ASSERT_NE(skinIcon("addr_useronline.bmp"), skinIcon("addr_useroffline.bmp"));
    EXPECT_EQ(QString("off"), dlg->Candidates()->item(0)->text());
    EXPECT_EQ(skinIcon("addr_useroffline.bmp"), image(dlg->Candidates()->item(0)->icon()));
    EXPECT_EQ(QString("on"), dlg->Candidates()->item(1)->text());
    EXPECT_EQ(skinIcon("addr_useronline.bmp"), image(dlg->Candidates()->item(1)->icon()));
    dlg->Candidates()->setCurrentRow(1);
    dlg->Invite();
    ASSERT_EQ(1, dlg->Chosen()->count());
    EXPECT_EQ(skinIcon("addr_useronline.bmp"), image(dlg->Chosen()->item(0)->icon())) << "the invite list alike";
    // Each move reads the contact's state anew: gone off line meanwhile, it comes back offline.
    onIdentity->online = 0;
    dlg->Chosen()->setCurrentRow(0);
    dlg->Reject();
    ASSERT_EQ(2, dlg->Candidates()->count());
    EXPECT_EQ(QString("on"), dlg->Candidates()->item(0)->text());
    EXPECT_EQ(skinIcon("addr_useroffline.bmp"), image(dlg->Candidates()->item(0)->icon()));
}

// Adding the peer as a contact from the call page or the call log: the own account and an existing
// contact are refused with the warning sign (captioned with the number on the call page, with the
// error title in the log); anyone else goes to the access server.
TEST_F(CallWindows, AddContactRefusesTheOwnAccountAndAContact) {
    AddrContact* bob = AddrBook_NewContact("Bob", nullptr, "bob");
    ASSERT_EQ(1, AddrBook_AttachContact(bob, g_addrBookRoots[0], nullptr));
    const std::string savedUser = g_strUserId;
    struct Drop {
        AddrContact* c;
        std::string user;
        ~Drop() {
            AddrBook_DetachContact(c);
            AddrBook_FreeContact(c);
            g_strUserId = user;
        }
    } drop{bob, savedUser};
    g_strUserId = "Alice";
    std::vector<std::string> added;
    windows->addContact = [&](const std::string& id) { added.push_back(id); };
    const std::string own = ToAnsi(shell::LangText("add_contact_dialog", "err_addcuruid", "Can't Add Current Account"));
    const std::string dup = ToAnsi(shell::LangText("add_contact_dialog", "err_dupcontact", "Contact have exist"));
    const std::string title = ToAnsi(shell::LangText("add_contact_dialog", "title_error", ""));
    const struct {
        const char* number;
        std::string text;  // empty: added
        const char* id;
    } cases[] = {{"alice@example.com", own, "alice"}, {"bob@example.com", dup, "bob"}, {"carol@example.com", "", "carol"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        warnings.clear();
        added.clear();
        CallPageModel* model = calls->OpenPage(c.number, "", 1);
        calls::COnDialDlg* page = CurrentCallPage();
        ASSERT_NE(nullptr, page);
        ASSERT_EQ(model, page->Model());
        page->RunMenuCommand(ID_CALL_ADDCONTACT);
        if (c.text.empty()) {
            EXPECT_TRUE(warnings.empty());
            EXPECT_EQ((std::vector<std::string>{c.id}), added);
        } else {
            EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{c.text, c.id}}), warnings);
            EXPECT_TRUE(added.empty());
        }
        calls->CloseAll();
        Events();

        warnings.clear();
        added.clear();
        CallLog_Clear();
        CallLogEntry e{};
        e.typeFlags = CALLLOG_OUTGOING;
        std::snprintf(e.number, sizeof e.number, "%s", c.number);
        ASSERT_EQ(0, CallLog_AddParty(&e));
        calls::CSyslogDlg* log = windows->CallLogPage();
        log->LoadCallLog();
        ASSERT_EQ(1, log->List()->count());
        log->List()->item(0)->setSelected(true);
        log->AddSelectedAsContact();
        if (c.text.empty()) {
            EXPECT_TRUE(warnings.empty());
            EXPECT_EQ((std::vector<std::string>{c.id}), added);
        } else {
            EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{c.text, title}}), warnings);
            EXPECT_TRUE(added.empty());
        }
    }
    CallLog_Clear();
}

TEST_F(CallWindows, ChatInvitationOffersOnlyNonMembers) {
    std::vector<std::vector<const PresenceBuddyRecord*>> invited;
    std::string text;
    CInviteToConfDlg dlg(frame.get(), nullptr, {7}, [&](const std::vector<const PresenceBuddyRecord*>& r, const std::string& t) {
        invited.push_back(r);
        text = t;
    });
    PresenceBuddyRecord member, other;
    member.id = 7;
    other.id = 9;
    std::strcpy(other.userId, "nine");
    dlg.OnPresenceBuddy(nullptr, &member);
    EXPECT_EQ(0, dlg.List()->count());
    dlg.OnPresenceBuddy(nullptr, &other);
    dlg.OnPresenceBuddy(nullptr, &other);
    EXPECT_EQ(1, dlg.List()->count());
    dlg.Message()->setText("join us");
    dlg.Confirm();
    ASSERT_EQ(1u, invited.size());
    EXPECT_TRUE(invited[0].empty());  // nothing selected: an empty list and the text
    EXPECT_EQ("join us", text);
    dlg.OnPresenceBuddy("NINE", nullptr);
    EXPECT_EQ(0, dlg.List()->count());
}

// The message takes 128 bytes of the ANSI code page: 64 Chinese characters, or 126 letters and one
// more Chinese character; a paste keeps what fits.
TEST_F(CallWindows, ChatInvitationMessageCountsAnsiBytes) {
    CInviteToConfDlg dlg(frame.get(), nullptr, {}, nullptr);
    QLineEdit* edit = dlg.Message();
    auto type = [&](const QString& text) {  // as typed, one character at a time
        for (const QChar c : text) {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QApplication::sendEvent(edit, &press);
        }
    };
    const QString han = QString::fromUtf8("会");
    type(han.repeated(70));
    EXPECT_EQ(han.repeated(64), edit->text());
    edit->clear();
    type(QString("a").repeated(127) + han);
    EXPECT_EQ(QString("a").repeated(127), edit->text());
    edit->clear();
    type(QString("a").repeated(120));
    edit->setCursorPosition(10);
    edit->insert(han.repeated(6));  // as a paste arrives
    emit edit->textEdited(edit->text());
    EXPECT_EQ(QString("a").repeated(10) + han.repeated(4) + QString("a").repeated(110), edit->text());
    EXPECT_EQ(14, edit->cursorPosition());
}

// The chat invitation hears the buddy notices and language changes its chat window sends it as window
// messages; on a language change the caption and the buttons take the texts the window gave.
TEST_F(CallWindows, ChatInvitationTakesTheChatWindowsMessages) {
    AddrContact* carol = AddrBook_NewContact("Carol", nullptr, "carol");
    AddrBook_SetContactExtra(carol, "In a meeting");
    ASSERT_EQ(1, AddrBook_AttachContact(carol, g_addrBookRoots[0], nullptr));
    Account* own = Account_New("alice", ACCOUNT_TYPE_SERVICE);
    ASSERT_TRUE(Account_Add(own));
    AddrIdentity* qz = AddrBook_NewIdentity(own, "carol", nullptr, "carol-qz");
    AddrBook_SetIdentityType(qz, 9);
    presence_setting_set_int(&qz->settings, "uid", nullptr, 1003);
    ASSERT_EQ(1, AddrBook_AttachIdentity(qz, carol, nullptr));
    {
        CInviteToConfDlg dlg(frame.get(), nullptr, {7}, nullptr);
        PresenceBuddyRecord record;
        record.id = 1003;
        calls::PostControlMessage(&dlg, WM_PRESENCE_BUDDY, 0, reinterpret_cast<LPARAM>(&record));
        QCoreApplication::sendPostedEvents(&dlg);
        ASSERT_EQ(1, dlg.List()->count());
        EXPECT_EQ(QString("Carol"), dlg.List()->item(0)->text());
        EXPECT_STREQ("In a meeting", dlg.RecordAt(0).status);
        dlg.SetTexts("Pick", "Invite", "&Yes", "&No");
        dlg.show();
        EXPECT_EQ(QString("Invite"), dlg.windowTitle());
        dlg.SetTexts("Choose", "Ask in", "&Go", "&Stop");
        EXPECT_EQ(QString("Invite"), dlg.windowTitle());  // given, not yet shown
        calls::PostControlMessage(&dlg, WM_LANGUAGE_CHANGED, 0, 0);
        QCoreApplication::sendPostedEvents(&dlg);
        EXPECT_EQ(QString("Ask in"), dlg.windowTitle());
        EXPECT_EQ(QString("&Go"), dlg.ConfirmText());
        EXPECT_EQ(QString("&Stop"), dlg.CancelText());
        EXPECT_EQ(QString("Choose"), dlg.HeaderText());
        dlg.hide();
        char alias[] = "carol";  // the removed contact's book id, as the chat window passes it on
        calls::PostControlMessage(&dlg, WM_PRESENCE_BUDDY, reinterpret_cast<WPARAM>(alias), 0);
        QCoreApplication::sendPostedEvents(&dlg);
        EXPECT_EQ(0, dlg.List()->count());
    }
    AddrBook_DetachContact(carol);
    AddrBook_FreeContact(carol);
    Account_Remove(own);
    Account_Free(own);
}

// A contact the server confirmed removed leaves an open chat invitation, so it cannot be invited;
// the frame's other answer handling still runs, and a closed dialog leaves the hook as it was.
TEST_F(CallWindows, ChatInvitationDropsARemovedContact) {
    AddrContact* dave = AddrBook_NewContact("Dave", nullptr, "u-dave");
    ASSERT_EQ(1, AddrBook_AttachContact(dave, g_addrBookRoots[0], nullptr));
    Account* own = Account_New("alice", ACCOUNT_TYPE_SERVICE);
    ASSERT_TRUE(Account_Add(own));
    AddrIdentity* qz = AddrBook_NewIdentity(own, "dave", nullptr, "dave-qz");
    AddrBook_SetIdentityType(qz, 9);
    presence_setting_set_int(&qz->settings, "uid", nullptr, 1004);
    ASSERT_EQ(1, AddrBook_AttachIdentity(qz, dave, nullptr));
    int passedOn = 0;
    ChatHooks().asResult = [&](const AsRequest*) { ++passedOn; };
    char id[] = "U-DAVE-not", exact[] = "u-dave";
    AsParams params{};
    AsRequest request{AS_REM, 0, &params, nullptr, AS_DATA_PARAMS};
    {
        CInviteToConfDlg dlg(frame.get(), own, {7}, nullptr);
        ASSERT_EQ(1, dlg.List()->count());
        params.str1 = id;  // another contact
        ChatHooks().asResult(&request);
        EXPECT_EQ(1, dlg.List()->count());
        params.str1 = exact;
        request.result = 1;  // refused: still in the book
        ChatHooks().asResult(&request);
        EXPECT_EQ(1, dlg.List()->count());
        request.result = 0;
        ChatHooks().asResult(&request);
        EXPECT_EQ(0, dlg.List()->count());
        EXPECT_EQ(3, passedOn);
    }
    ChatHooks().asResult(&request);
    EXPECT_EQ(4, passedOn);
    ChatHooks().asResult = nullptr;
    AddrBook_DetachContact(dave);
    AddrBook_FreeContact(dave);
    Account_Remove(own);
    Account_Free(own);
}

// The bar's page: the status address when there is one, the skin's local page otherwise and in place of
// a page that cannot be loaded (once: the local page failing is left alone); a skin change loads it again.
TEST_F(CallWindows, DialBarShowsTheStatusPageOrTheLocalOne) {
    const QString local = QString::fromStdString(shell::Paths().skinFolder) + "/adv.htm";
    struct Case {
        const char* status;
        bool fails;
        QString shown;
    } cases[] = {
        {"", false, local},
        {"http://127.0.0.1:9/status.htm", false, "http://127.0.0.1:9/status.htm"},
        {"http://127.0.0.1:9/status.htm", true, local},
        {"/nonexistent/status.htm", false, local},  // a file that is not there is not even tried
        {"mailto:someone@example.com", false, local},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        bar->SetStatusUrl(c.status);
        bar->Navigate();
        if (c.fails) emit bar->Page()->downloadComplete(false);
        EXPECT_EQ(c.shown, bar->ShownPage());
    }
    // The local page failing too: no second try.
    const qsizetype tries = bar->Page()->Navigations().size();
    emit bar->Page()->downloadComplete(false);
    EXPECT_EQ(tries, bar->Page()->Navigations().size());
    // A skin change loads the status page again and the buttons' pictures.
    bar->SetStatusUrl("http://127.0.0.1:9/status.htm");
    calls::PostControlMessage(bar, calls::kMsgSkinChanged, 0, 0);
    QCoreApplication::sendPostedEvents(bar);
    EXPECT_EQ("http://127.0.0.1:9/status.htm", bar->ShownPage());
    EXPECT_EQ(tries + 1, bar->Page()->Navigations().size());
}

// The page's host gets its site from the bar; other questions are not the bar's.
TEST_F(CallWindows, DialBarGivesItsPageASite) {
    CtrlSiteQuery query;
    query.container = bar->Page();
    ASSERT_TRUE(SendCustomControlSiteMsg(bar->Page(), kSiteCreate, &query));
    ASSERT_NE(nullptr, query.site);
    EXPECT_FALSE(query.site->ScrollBars());
    CtrlSiteQuery none;  // no container
    EXPECT_FALSE(SendCustomControlSiteMsg(bar->Page(), kSiteCreate, &none));
    ContextMenuQuery menu;
    EXPECT_FALSE(SendCustomControlSiteMsg(bar->Page(), kSiteContextMenu, &menu));
}

// The buttons stand either side of the middle, the page centred below them, at any width.
TEST_F(CallWindows, DialBarPlacesItsButtonsAndPage) {
    for (int cx : {420, 300, 640}) {
        SCOPED_TRACE(cx);
        bar->resize(cx, 140);
        const QRect d = bar->DialButton()->geometry(), h = bar->HangupButton()->geometry(), p = bar->Page()->geometry();
        EXPECT_EQ(cx / 2 - 20, d.right() + 1);
        EXPECT_EQ(cx / 2 + 20, h.left());
        EXPECT_EQ(d.top(), h.top());
        EXPECT_EQ(QSize(300, 60), p.size());
        EXPECT_EQ((cx - 300) / 2, p.left());
        EXPECT_GT(p.top(), d.bottom());
    }
    EXPECT_LE(bar->minimumHeight(), bar->Page()->geometry().bottom() + 8);
}

TEST_F(CallWindows, DialBarStaysOffWhileTheFrameIsBusyOrOffline) {
    bar->busy = true;
    bar->EnableDialButton(true);
    bar->EnableHangupButton(true);
    EXPECT_FALSE(bar->DialButton()->isEnabled());
    EXPECT_FALSE(bar->HangupButton()->isEnabled());
    bar->busy = false;
    bar->EnableDialButton(true);
    EXPECT_TRUE(bar->DialButton()->isEnabled());
    Type("bob@example.com");
    windows->OnDialButton(true);  // offline: nothing, whatever the buttons show
    EXPECT_TRUE(calls->Pages().empty());
}

}  // namespace

namespace {

// The tile marquee: 2-byte steps in an 18-byte window, back to the start when fewer than 18 bytes
// remain, never starting inside a double-byte character.
TEST(CallTiles, MarqueeStepsAndNeverSplitsADoubleByteCharacter) {
    QByteArray ascii(24, 'a');
    int offset = 0, dir = 1;
    std::vector<int> seen;
    for (int i = 0; i < 5; ++i) {
        calls::MarqueeAdvance(ascii, &offset, &dir);
        seen.push_back(offset);
    }
    EXPECT_EQ((std::vector<int>{2, 4, 6, 8, 0}), seen);
    QByteArray mixed("a");
    mixed.append("\xB0\xA1\xB0\xA1\xB0\xA1\xB0\xA1\xB0\xA1\xB0\xA1\xB0\xA1\xB0\xA1\xB0\xA1\xB0\xA1\xB0\xA1");
    offset = 0;
    dir = 1;
    calls::MarqueeAdvance(mixed, &offset, &dir);
    EXPECT_EQ(1, offset);  // 2 would cut the first double-byte character in half
}

// The tile's font comes from the language file when it names one; without it the tile's own.
TEST(CallTiles, TileFontAndBackgroundFollowTheSettings) {
    calls::SetTextSource([](const char* section, const char* key, const char* def) -> std::string {
        if (std::string(section) != "multiconf_dialog") return def;
        if (std::string(key) == "font_name") return "Noto Sans";
        if (std::string(key) == "font_height") return "-15";
        return def;
    });
    calls::CAttendeePic named;
    EXPECT_EQ("Noto Sans", named.LineFont(1).family());
    EXPECT_EQ(15, named.LineFont(1).pixelSize());
    EXPECT_EQ(15, named.LineFont(2).pixelSize());
    EXPECT_FALSE(named.LineFont(1).bold());
    calls::SetTextSource(nullptr);
    calls::CAttendeePic plain;
    EXPECT_EQ(plain.font().family(), plain.LineFont(2).family());
    EXPECT_EQ(plain.font(), plain.LineFont(1));
    EXPECT_EQ(plain.LineFont(1), plain.LineFont(2));
    plain.SetBackColor(Qt::white);
    EXPECT_EQ(QColor(Qt::white), plain.BackColor());
}

}  // namespace

namespace {

// Names are kept in the ANSI code page (936) and shown as what they say.
TEST_F(CallWindows, CallLogShowsAnsiNames) {
    CallLogNode* n = CallLog_NewEntry();
    std::strcpy(n->record.number, "bob@example.com");
    std::strcpy(n->record.name, plat::Utf8ToAnsi("王博").c_str());
    n->record.typeFlags = CALLLOG_INCOMING;
    n->record.duration = 40;
    CallLog_Add(n);
    calls::CSyslogDlg* log = windows->CallLogPage();
    log->LoadCallLog();
    ASSERT_EQ(1, log->List()->count());
    EXPECT_EQ(QString::fromUtf8("王博"), log->List()->item(0)->text());
    EXPECT_EQ(QString::fromUtf8("王博"), log->PeerFilter()->itemText(1));
}

}  // namespace

TEST_F(CallWindows, HoldAndResumeFromTheCallPageMenu) {
    Type("bob@example.com");
    windows->OnDialButton(false);
    Events();
    calls::COnDialDlg* page = CurrentCallPage();
    ASSERT_NE(nullptr, page);
    auto holdItem = [&] {
        for (const auto& [cmd, enabled] : page->MenuItems(page->rect().center()))
            if (cmd == ID_CALL_HOLD) return enabled ? 1 : 0;
        return -1;
    };
    // Not answered yet: nothing to hold.
    EXPECT_EQ(0, holdItem());

    const int cnx = page->Model()->cnxIds[0];
    Answer(cnx, "10.0.0.2", 30000, 0);
    Events();
    const int ch = Channel(cnx);
    ASSERT_TRUE(bridge.Sending(ch));
    EXPECT_EQ(1, holdItem());

    page->RunMenuCommand(ID_CALL_HOLD);
    Events();
    EXPECT_TRUE(page->Model()->Held());
    EXPECT_EQ(OSIP_UA_EVT_HOLD, UaEvents().back().iEvent);
    EXPECT_FALSE(bridge.Sending(ch));  // no voice either way while held
    EXPECT_FALSE(bridge.Playing(ch));
    EXPECT_EQ(QString("Call with..."), page->StatusLine()->text());  // the page shows no hold
    EXPECT_EQ(CALL_TALKING, page->Model()->State());
    Wait(2000);
    Events();
    EXPECT_EQ(QString("00:00:02"), page->TipLine()->text());  // the clock goes on

    page->RunMenuCommand(ID_CALL_HOLD);  // now "Resume"
    Events();
    EXPECT_FALSE(page->Model()->Held());
    EXPECT_EQ(OSIP_UA_EVT_UNHOLD, UaEvents().back().iEvent);
    EXPECT_TRUE(bridge.Sending(ch));
    EXPECT_TRUE(bridge.Playing(ch));
    EXPECT_EQ(QString("Call with..."), page->StatusLine()->text());

    // Ended while held: the page forgets the hold.
    page->RunMenuCommand(ID_CALL_HOLD);
    Events();
    ASSERT_TRUE(page->Model()->Held());
    CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
    Events();
    Wait(3000);
    Events();
    EXPECT_FALSE(page->Model()->Held());
    EXPECT_EQ(-1, holdItem());  // the ended call has no menu
}

// A contact of the book with a telephone (SIP) identity and a messaging user, gone with the test.
struct BookBuddy {
    AddrContact* contact = nullptr;
    AddrIdentity* im = nullptr;
    BookBuddy(Account* sip, const char* name, const char* nick, const char* id, const char* sipAddress, int uid) {
        contact = AddrBook_NewContact(name, nick, id);
        EXPECT_EQ(1, AddrBook_AttachContact(contact, g_addrBookRoots[0], nullptr));
        AddrIdentity* phone = AddrBook_NewIdentity(sip, sipAddress, nullptr, sipAddress);
        AddrBook_SetIdentityType(phone, 8);
        EXPECT_EQ(1, AddrBook_AttachIdentity(phone, contact, nullptr));
        const std::string user = std::to_string(uid);
        im = AddrBook_NewIdentity(nullptr, user.c_str(), nullptr, user.c_str());
        AddrBook_SetIdentityType(im, 9);
        presence_setting_set_int(&im->settings, "uid", nullptr, uid);
        EXPECT_EQ(1, AddrBook_AttachIdentity(im, contact, phone));
    }
    ~BookBuddy() {
        AddrBook_DetachContact(contact);
        AddrBook_FreeContact(contact);
    }
};

TEST_F(CallWindows, SendMessageFromTheCallPageAndTheCallLog) {
    // Bob: a contact with a SIP address and a messaging user; dave has neither.
    BookBuddy bob(sip, "Bob", nullptr, "bob", "bob@example.com", 10002);
    AddrIdentity* im = bob.im;
    // Carl as the synchronisation gives him: his SIP account without a host.
    BookBuddy carl(sip, "Carl", "Carlo", "carl", "carl", 10003);
    std::vector<int> opened;
    calls::ChatOpener() = [&](const PresenceBuddyRecord& m) { opened.push_back(m.id); };
    struct Reset {
        ~Reset() { calls::ChatOpener() = nullptr; }
    } reset;

    const struct {
        const char* number;
        bool found;
        int id;
    } cases[] = {{"bob@example.com", true, 10002}, {"BOB@example.com", true, 10002}, {"bob", true, 10002},
                 {"dave@example.com", false, 0},   {"", false, 0},                   {"carl@example.com", true, 10003},
                 {"carl", true, 10003},            {"carl@elsewhere.org", false, 0}};
    for (const auto& c : cases) {
        PresenceBuddyRecord r{};
        EXPECT_EQ(c.found, ChatMemberOf(c.number, &r)) << c.number;
        if (c.found) EXPECT_EQ(c.id, r.id) << c.number;
    }
    // The member carries the presence the book holds: an online peer opens a chat that shows it online.
    for (uint32_t state : {1u, 0u}) {
        AddrBook_SetIdentityOnline(im, state);
        PresenceBuddyRecord r{};
        ASSERT_TRUE(ChatMemberOf("bob@example.com", &r));
        EXPECT_EQ(state ? 1 : 0, r.online) << state;
    }

    // The call page's menu.
    Type("bob@example.com");
    windows->OnDialButton(false);
    Events();
    calls::COnDialDlg* page = CurrentCallPage();
    ASSERT_NE(nullptr, page);
    bool sendim = false;
    for (const auto& [cmd, enabled] : page->MenuItems(page->rect().center()))
        if (cmd == ID_CALL_SENDIM) sendim = enabled;
    EXPECT_TRUE(sendim);
    page->RunMenuCommand(ID_CALL_SENDIM);
    EXPECT_EQ((std::vector<int>{10002}), opened);
    page->Model()->OnHangup(0);
    Events();
    Wait(3000);
    Events();

    // Carl calls: his address carries the host his book entry lacks, and the command opens his chat.
    {
        int call, cnx;
        IncomingCall("carl@example.com", &call, &cnx);
        Events();
        calls::COnDialDlg* in = CurrentCallPage();
        ASSERT_NE(nullptr, in);
        bool enabled = false;
        for (const auto& [cmd, on] : in->MenuItems(in->rect().center()))
            if (cmd == ID_CALL_SENDIM) enabled = on;
        EXPECT_TRUE(enabled);
        in->RunMenuCommand(ID_CALL_SENDIM);
        EXPECT_EQ((std::vector<int>{10002, 10003}), opened);
        in->Model()->OnHangup(0);
        Events();
        Wait(3000);
        Events();
        opened.clear();
    }

    // The call log's entry menu: bob and carl open their chats, dave (no messaging user) nothing.
    int call, cnx;
    IncomingCall("dave@example.com", &call, &cnx);
    CC_SendEvent(-1, cnx, CCEVT_REMOTE_DISCONNECT, VOIP_CODE_REMOTE_BYE, -1, nullptr);
    PumpAll();
    Wait(3000);
    Events();
    calls::CSyslogDlg* log = windows->CallLogPage();
    ASSERT_EQ(3, log->List()->count());  // dave, carl, bob: the newest first
    for (int row : {2, 1, 0}) {
        log->List()->clearSelection();
        log->List()->item(row)->setSelected(true);
        log->ChatWithSelected();
    }
    EXPECT_EQ((std::vector<int>{10002, 10003}), opened);

    // The chat-record button asks the frame for the record browser.
    int records = 0;
    windows->queryChatRecords = [&] { ++records; };
    for (QAction* a : log->findChildren<QAction*>())
        if (a->data().toInt() == ID_LOG_RECORDS) a->trigger();
    EXPECT_EQ(1, records);
}

// The program's frame shows the calls windows' bar, with only its two buttons and its page, its
// buttons the frame's; while the status is offline the bar is busy and dial does nothing.
TEST_F(CallWindows, TheFramesDialBarIsTheCallsWindowsOwn) {
    calls::RegisterWithShell();
    struct Unregister {
        ~Unregister() { shell::CallWindowsFactoryRef() = nullptr; }
    } unregister;
    CMainFrame frame;
    auto* own = frame.findChild<CDialBar*>();
    ASSERT_NE(nullptr, own);
    EXPECT_EQ(nullptr, frame.findChild<QComboBox*>("dialCombo"));  // the number is typed on the dial page
    EXPECT_TRUE(own->findChildren<QComboBox*>().isEmpty());
    EXPECT_EQ(own->DialButton(), frame.findChild<QAbstractButton*>("dialBarCall"));
    EXPECT_EQ(own->HangupButton(), frame.findChild<QAbstractButton*>("dialBarHangup"));
    EXPECT_TRUE(own->ShownPage().endsWith("adv.htm")) << own->ShownPage().toStdString();
    // The skin's local page goes to the browser engine as a status page would, never to a rich-text view
    // (the engine itself is not started here: the page stays hidden).
    own->Page()->hide();
    frame.show();
    QApplication::processEvents();
    ASSERT_FALSE(own->Page()->Navigations().isEmpty());
    EXPECT_TRUE(own->Page()->Navigations().back().toLocalFile().endsWith("adv.htm"));
    EXPECT_EQ(nullptr, own->Page()->PlainView());
    frame.hide();
    own->SetStatusUrl("http://127.0.0.1:9/status.htm");
    frame.ApplySkin();  // the frame's skin load reaches the bar's page
    EXPECT_EQ("http://127.0.0.1:9/status.htm", own->ShownPage());
    frame.LogoffReset(LOGIN_SIGNED_IN);
    QCoreApplication::sendPostedEvents();
    frame.StatusBar()->SetStatus(0);
    frame.Command(ID_SHOW_DIAL);
    auto* dial = qobject_cast<calls::CDialDialog*>(frame.Sheet()->currentWidget());
    ASSERT_NE(nullptr, dial);
    dial->Number()->setEditText("bob@example.com");
    frame.Calls()->ActivePageChanged();
    EXPECT_FALSE(own->busy);
    EXPECT_TRUE(own->DialButton()->isEnabled());
    frame.StatusBar()->SetStatus(1);
    frame.Calls()->ActivePageChanged();
    EXPECT_TRUE(own->busy);
    EXPECT_FALSE(own->DialButton()->isEnabled());
    frame.Command(ID_DIAL);
    EXPECT_FALSE(frame.Calls()->AnyCallPage());
}

TEST_F(CallWindows, TheFrameOpensTheChooserAndCountsMissedCalls) {
    calls::RegisterWithShell();
    struct Unregister {
        ~Unregister() { shell::CallWindowsFactoryRef() = nullptr; }
    } unregister;
    CMainFrame frame;
    frame.findChild<CDialBar*>()->Page()->hide();  // the frame comes to the front for a call: no browser engine here
    frame.LogoffReset(LOGIN_SIGNED_IN);
    QCoreApplication::sendPostedEvents();
    auto chooser = []() -> CConfInviteDlg* {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<CConfInviteDlg*>(w); d && d->isVisible()) return d;
        return nullptr;
    };
    // The address book's conference commands reach the calls windows through the frame.
    EXPECT_EQ(nullptr, chooser());
    frame.Command(ID_START_CONFERENCE);
    CConfInviteDlg* dlg = chooser();
    ASSERT_NE(nullptr, dlg);
    EXPECT_EQ(0, dlg->GetMode());
    dlg->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(nullptr, chooser());
    // Both commands for people for the running call open it to add to that call, also with no call
    // talking (its OK then says there is no active call).
    for (int command : {ID_INVITE_TO_CONFERENCE, ID_ADD_TO_CONFERENCE}) {
        frame.Command(command);
        ASSERT_NE(nullptr, chooser()) << command;
        EXPECT_EQ(1, chooser()->GetMode()) << command;
        chooser()->close();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // An incoming call that ends unanswered counts on the start page; its link shows the missed calls.
    auto event = [&](int ev, const char* text) {
        auto* m = static_cast<VOIP_UI_MSG*>(calloc(1, sizeof(VOIP_UI_MSG)));
        m->iCallId = 7;
        m->iCnxId = 3;
        m->iEvent = ev;
        m->pValue = text ? strdup(text) : nullptr;
        frame.Dispatch(WM_VOIP_EVENT, 0, reinterpret_cast<LPARAM>(m));
    };
    event(VOIPEVT_REMOTE_NEWCALL, "dave@example.com");
    event(VOIPEVT_REMOTE_DISCONNECT, nullptr);
    QCoreApplication::sendPostedEvents();
    shell::CNavigateLinks* links = frame.StartPage()->Links();
    EXPECT_EQ(1, links->MissedCalls());
    frame.Sheet()->setCurrentIndex(0);
    emit links->showMissedCalls();
    auto* log = qobject_cast<calls::CSyslogDlg*>(frame.Sheet()->currentWidget());
    ASSERT_NE(nullptr, log);
    ASSERT_EQ(1, log->List()->count());
    EXPECT_STREQ("dave@example.com", log->RecordAt(0)->number);
    EXPECT_EQ(CALLLOG_MISSED, log->RecordAt(0)->typeFlags);

    // The call log's chat-record button reaches the chat side through the frame.
    std::vector<std::pair<UINT, WPARAM>> chatMessages;
    ChatHooks().frameMessage = [&](UINT m, WPARAM w, LPARAM) {
        chatMessages.emplace_back(m, w);
        return true;
    };
    struct Restore {
        ~Restore() { ChatHooks().frameMessage = nullptr; }
    } restore;
    for (QAction* a : log->findChildren<QAction*>())
        if (a->data().toInt() == ID_LOG_RECORDS) a->trigger();
    for (int i = 0; i < 50 && chatMessages.empty(); ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        plat::PumpWindowMessages(frame.Handle());
    }
    EXPECT_EQ((std::vector<std::pair<UINT, WPARAM>>{{WM_CHATRECORD_QUERY, 0}}), chatMessages);
}

// In the main window the dial page's keys type the digit and dial nothing, Enter in its field dials.
TEST_F(CallWindows, TheFramesDialPageKeysTypeAndNeverDial) {
    calls::RegisterWithShell();
    struct Unregister {
        ~Unregister() { shell::CallWindowsFactoryRef() = nullptr; }
    } unregister;
    CMainFrame frame;
    frame.findChild<CDialBar*>()->Page()->hide();
    frame.LogoffReset(LOGIN_SIGNED_IN);
    QCoreApplication::sendPostedEvents();
    frame.StatusBar()->SetStatus(0);
    frame.show();
    frame.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame));
    frame.Command(ID_SHOW_DIAL);
    auto* dial = qobject_cast<calls::CDialDialog*>(frame.Sheet()->currentWidget());
    ASSERT_NE(nullptr, dial);
    const size_t uaBefore = UaEvents().size();
    for (int k : {1, 10}) {
        QTest::mouseClick(dial->Key(k), Qt::LeftButton);
        Events();
        EXPECT_EQ(dial, frame.Sheet()->currentWidget()) << k;
    }
    EXPECT_EQ(QString("1*"), dial->Number()->currentText());
    EXPECT_EQ(uaBefore, UaEvents().size());
    EXPECT_FALSE(frame.Calls()->AnyCallPage());
}

namespace {

// After a change of skin the calls windows take their sounds and pictures from the new skin's
// folder: the ring, the key sound, a new page's default photo and a member's direction picture; an
// open page's default photo moves there too, while a photo of its own stays.
TEST_F(CallWindows, AfterASkinChangeSoundsAndPicturesComeFromTheNewSkin) {
    shell::ApplySkinType("blue");
    const std::string skin = shell::Paths().skinFolder;
    struct Back {
        ~Back() { shell::ApplySkinType("default"); }
    } back;
    int call, cnx;
    IncomingCall("carol@example.com", &call, &cnx);
    Events();
    CallPageModel* page = Only();
    ASSERT_NE(nullptr, page);
    EXPECT_EQ(skin + "/usericondef.bmp", page->photoPath);
    ASSERT_FALSE(sounds.paths.empty());
    EXPECT_EQ(skin + "/ringin.wav", sounds.paths.back());
    windows->PlayKeySound();
    EXPECT_EQ(skin + "/keydown.wav", sounds.paths.back());
    EXPECT_EQ(skin + "/conf_callout.bmp", page->DirectionBitmapPath(true));
    EXPECT_EQ(skin + "/conf_callin.bmp", page->DirectionBitmapPath(false));

    shell::ApplySkinType("green");
    calls::COnDialDlg* w = CurrentCallPage();
    ASSERT_NE(nullptr, w);
    w->OnSkinChanged();
    EXPECT_EQ(shell::Paths().skinFolder + "/usericondef.bmp", page->photoPath);
    page->photoPath = "/home/carol/carol.bmp";
    w->OnSkinChanged();
    EXPECT_EQ("/home/carol/carol.bmp", page->photoPath);
}

// The single view's direction picture stands 40 pixels right of the centred position; the page's
// menu items read "error" where the language file has no text.
TEST_F(CallWindows, CallPageDirectionPictureAndMenuTexts) {
    int call, cnx;
    IncomingCall("carol@example.com", &call, &cnx);
    Events();
    calls::COnDialDlg* w = CurrentCallPage();
    ASSERT_NE(nullptr, w);
    w->resize(400, 320);
    QApplication::processEvents();
    EXPECT_EQ((400 - w->DirectionPicture()->width()) / 2 + 40, w->DirectionPicture()->x());
    EXPECT_FALSE(w->DirectionPicture()->pixmap().isNull());  // the skin's "callin.bmp"

    auto texts = [&] {
        std::vector<QString> out;
        const std::unique_ptr<TrelMenu> menu = w->BuildMenu(QPoint(5, 5));
        if (menu)
            for (QAction* a : menu->actions())
                if (!a->isSeparator()) out.push_back(a->text());
        return out;
    };
    const std::vector<QString> english = texts();
    ASSERT_FALSE(english.empty());
    EXPECT_EQ(shell::LangText("ondial_popup_menu", "hangup", "error"), english[0]);
    shell::ApplyLanguageCode("none");  // no such language file
    const std::vector<QString> none = texts();
    shell::ApplyLanguageCode("eng");
    ASSERT_EQ(english.size(), none.size());
    for (const QString& t : none) EXPECT_EQ(QString("error"), t);
}

// The chooser carries the program's icon and the tip of its check box, and its own message acts as
// a click on a selected item of either list.
TEST_F(CallWindows, ConferenceChooserTakesItsSelectMessage) {
    windows->OpenConferenceChooser(1);
    CConfInviteDlg* dlg = windows->Chooser();
    ASSERT_NE(nullptr, dlg);
    EXPECT_FALSE(dlg->windowIcon().isNull());
    ASSERT_NE(nullptr, dlg->CheckBox());
    EXPECT_EQ(shell::LangText("multiconf_dialog", "check_tipinfo", ""), dlg->CheckBox()->toolTip());
    std::vector<std::unique_ptr<CInvitee>> people;
    for (const char* n : {"bob@example.com", "carol@example.com"}) {
        auto inv = std::make_unique<CInvitee>();
        inv->SetNumber(n);
        people.push_back(std::move(inv));
    }
    dlg->SetCandidates(std::move(people));
    dlg->Candidates()->setCurrentRow(0);
    dlg->Invite();
    dlg->Candidates()->setCurrentRow(0);
    dlg->Chosen()->setCurrentRow(0);
    calls::PostControlMessage(dlg, calls::kMsgInviteSelect, 0, 0);
    QApplication::processEvents();
    EXPECT_TRUE(dlg->InviteButton()->isEnabled());
    EXPECT_FALSE(dlg->RejectButton()->isEnabled());
    EXPECT_EQ(nullptr, dlg->Chosen()->currentItem());
    dlg->Chosen()->setCurrentRow(0);
    calls::PostControlMessage(dlg, calls::kMsgInviteSelect, 1, 0);
    QApplication::processEvents();
    EXPECT_TRUE(dlg->RejectButton()->isEnabled());
    EXPECT_FALSE(dlg->InviteButton()->isEnabled());
    EXPECT_EQ(nullptr, dlg->Candidates()->currentItem());
}

// A member tile draws its picture at its corner, magenta left out, and its two lines under it inside
// the tile; without a picture it draws nothing at all.
TEST(CallTiles, TileDrawsItsPictureAtTheCornerAndNothingWithoutOne) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QImage img(40, 40, QImage::Format_RGB32);
    img.fill(QColor(200, 30, 30));
    for (int y = 0; y < 10; ++y)
        for (int x = 30; x < 40; ++x) img.setPixel(x, y, qRgb(255, 0, 255));
    const QString file = dir.filePath("member.bmp");
    ASSERT_TRUE(img.save(file, "BMP"));
    QWidget page;
    page.setAutoFillBackground(true);
    QPalette pal = page.palette();
    pal.setColor(QPalette::Window, QColor(10, 200, 10));
    page.setPalette(pal);
    page.resize(300, 300);
    auto* tile = new calls::CAttendeePic(&page);
    tile->MoveTo(0, 0);
    EXPECT_GE(tile->height(), 2 * tile->TextHeight() + 104);  // the state line lies inside the tile
    tile->SetNameText("Carol");
    tile->SetStateText("Talking...");
    tile->SetImagePath(file);
    const QImage drawn = page.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(qRgb(200, 30, 30), drawn.pixel(2, 2));
    EXPECT_EQ(qRgb(10, 200, 10), drawn.pixel(35, 5));  // magenta is see-through
    EXPECT_EQ(qRgb(10, 200, 10), drawn.pixel(60, 60));  // nothing beside the picture

    tile->SetImagePath(dir.filePath("missing.bmp"));
    const QImage none = page.grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < tile->height(); ++y)
        for (int x = 0; x < tile->width(); ++x) ASSERT_EQ(qRgb(10, 200, 10), none.pixel(x, y)) << x << "," << y;
}

// A line scrolls from 103 pixels on; a narrower one stands still, centred.
TEST(CallTiles, LinesScrollFromAWidthOf103Pixels) {
    calls::CAttendeePic tile;
    const QFontMetrics fm(tile.LineFont(1));
    QString narrow;
    while (fm.horizontalAdvance(narrow + "a") < 96) narrow += "a";
    while (fm.horizontalAdvance(narrow) < 96) narrow += "i";
    ASSERT_LT(fm.horizontalAdvance(narrow), 103);
    tile.SetNameText(narrow);
    EXPECT_FALSE(tile.LineScrolls(1));
    QString wide = narrow;
    while (fm.horizontalAdvance(wide) < 103) wide += "i";
    tile.SetNameText(wide);
    EXPECT_TRUE(tile.LineScrolls(1));
}

}  // namespace
