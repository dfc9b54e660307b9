// The calls windows on the frame's sheet: call pages for the controller, dial bar states, keypad,
// conference chooser, message boxes.
#include "ui/calls/calls_windows.h"
#include "ui/calls/ansi_text.h"

#include <QMessageBox>

#include "common/addrbook.h"
#include "common/addrbook_query.h"
#include "common/appenv.h"
#include "platform/msgqueue.h"
#include "ui/calls/call_log_page.h"
#include "ui/calls/call_page.h"
#include "ui/calls/calls_logic.h"
#include "ui/calls/control_events.h"
#include "ui/calls/dial_windows.h"
#include "ui/calls/invite_dialogs.h"
#include "ui/controls/skin_button.h"
#include "ui/shell/shell_config.h"
#include "voip/CM_Main.h"

namespace calls {

namespace {
constexpr int kAddressBookPage = 0;  // page type of the address book
}  // namespace

CallsWindows::CallsWindows(CChildView* sheet, QWidget* frame, SoundPlayer* sounds) : sheet_(sheet), frame_(frame) {
    SetTextSource([](const char* section, const char* key, const char* def) {
        return ToAnsi(shell::LangText(section, key, def));
    });
    calls_ = std::make_unique<CallController>(this, sounds, [] { return shell::Paths().skinFolder; });
    box = [this](const std::string& text, const std::string& caption) {  // a plain box with OK
        QMessageBox(QMessageBox::NoIcon, AnsiQ(caption), AnsiQ(text), QMessageBox::Ok, frame_).exec();
    };
    warn = [this](const std::string& text, const std::string& caption) {
        QMessageBox::warning(frame_, AnsiQ(caption), AnsiQ(text));
    };
    ask = [this](const std::string& text, const std::string& caption) {
        return QMessageBox::question(frame_, AnsiQ(caption), AnsiQ(text),
                                     QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    };
    // Messages go to the buddy behind the number through the chat windows.
    sendMessage = [](const std::string& number) { OpenChatWith(number); };
    queryChatRecords = [] {
        if (HWND main = g_hMainWnd.load()) PostMessage(main, WM_CHATRECORD_QUERY, 0, 0);
    };
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
        calls_->RunTimers();
        ArmTimer();
    });
    if (sheet_) connect(sheet_, &QTabWidget::currentChanged, this, [this] { ActivePageChanged(); });
    // The sheet's call-tab menu offers resume for a held call (the page keeps the hold state).
    if (sheet_)
        sheet_->activeCallHeld = [this] {
            auto* page = qobject_cast<COnDialDlg*>(sheet_->currentWidget());
            return page && page->Model() && page->Model()->Held();
        };
    if (frame_) frame_->installEventFilter(this);
}

bool CallsWindows::eventFilter(QObject* watched, QEvent* e) {
    // The keypad stays glued to the main window's right edge.
    if (watched == frame_ && e->type() == QEvent::Move && keypad_) keypad_->StickToOwner();
    return QObject::eventFilter(watched, e);
}

CallsWindows::~CallsWindows() {
    if (sheet_) sheet_->activeCallHeld = nullptr;
    // The call pages may outlive their models by a moment while the sheet goes: cut them loose.
    for (const auto& p : calls_->Pages())
        if (COnDialDlg* w = PageOf(p.get())) w->Detach();
    delete chooser_.data();
    delete keypad_.data();
}

void CallsWindows::ArmTimer() {
    const int64_t in = calls_->NextTimerIn();
    if (in < 0) timer_.stop();
    else timer_.start(static_cast<int>(std::min<int64_t>(in, 1000)));
}

CDialDialog* CallsWindows::MakeDialPage() {
    if (!dial_) dial_ = new CDialDialog(this);
    return dial_;
}
CSyslogDlg* CallsWindows::MakeCallLogPage() {
    if (!log_) log_ = new CSyslogDlg(this);
    return log_;
}

COnDialDlg* CallsWindows::PageOf(CallPageModel* model) const {
    if (!sheet_) return nullptr;
    for (int i = 0; i < sheet_->count(); ++i)
        if (auto* p = qobject_cast<COnDialDlg*>(sheet_->widget(i)); p && p->Model() == model) return p;
    return nullptr;
}

void CallsWindows::PageCreated(CallPageModel* page) {
    if (sheet_) {
        auto* w = new COnDialDlg(page);
        w->showKeypad = [this](int cnx) { ShowKeypad(cnx); };
        w->closeKeypad = [this] { OnKeypadMessage(0, 0); };
        w->sendMessage = [this](const std::string& n) { if (sendMessage) sendMessage(n); };
        w->addContact = [this](const std::string& n) { if (addContact) addContact(n); };
        sheet_->AddPage(w);
        w->shownTabTitle = w->TabTitle();
        w->shownTabImage = w->TabImage();
        sheet_->setCurrentWidget(w);
    }
    ArmTimer();
}

void CallsWindows::CloseKeypadWithoutCall() {
    // Call control hands an ended call's connection number to the next connection it makes: the
    // keys would reach whoever that is.
    if (keypad_ && !calls_->IsLiveConnection(keypad_->GetCnxId())) OnKeypadMessage(0, 0);
}

void CallsWindows::PageRemoved(CallPageModel* page) {
    if (COnDialDlg* w = PageOf(page)) {
        w->Detach();
        sheet_->ClosePage(w);  // back to the last page used that is not a call's
    }
    CloseKeypadWithoutCall();
    QTimer::singleShot(0, this, [this] { ActivePageChanged(); });
}

void CallsWindows::PageChanged(CallPageModel* page) {
    if (COnDialDlg* w = PageOf(page)) {
        w->Refresh();
        // A page turning into a conference (or back) changes its tab's text and picture.
        if (w->TabTitle() != w->shownTabTitle || w->TabImage() != w->shownTabImage) {
            w->shownTabTitle = w->TabTitle();
            w->shownTabImage = w->TabImage();
            sheet_->ReloadTabs();
        }
        if (sheet_->currentWidget() == w) ActivePageChanged();
    }
    CloseKeypadWithoutCall();
    ArmTimer();
}

void CallsWindows::ActivatePage(CallPageModel* page) {
    if (COnDialDlg* w = PageOf(page)) sheet_->setCurrentWidget(w);
}

void CallsWindows::ActivatePageOfType(int type) {
    if (!sheet_) return;
    for (int i = 0; i < sheet_->count(); ++i)
        if (CNqPropertyPage* p = sheet_->PageAt(i); p && p->m_nType == type) {
            sheet_->setCurrentIndex(i);
            return;
        }
}

void CallsWindows::ShowBox(const std::string& text, const std::string& caption) {
    if (box) box(text, caption);
}
void CallsWindows::ShowWarning(const std::string& text, const std::string& caption) {
    if (warn) warn(text, caption);
    else ShowBox(text, caption);
}
bool CallsWindows::AskYesNo(const std::string& text, const std::string& caption) { return ask && ask(text, caption); }
void CallsWindows::MissedCall() {
    if (missedCall) missedCall();
}
void CallsWindows::CallLogChanged() {
    if (log_) log_->LoadCallLog();
}
void CallsWindows::StopTrayAnimation() {
    if (stopTray) stopTray();
}
void CallsWindows::BringToFront() {
    if (bringToFront) bringToFront();
}

void CallsWindows::SetDialBar(CDialBar* bar) {
    bar_ = bar;
    SetDialButtons(bar->DialButton(), bar->HangupButton());
}

void CallsWindows::SetDialButtons(QAbstractButton* dial, QAbstractButton* hangup) {
    dialButton_ = dial;
    hangupButton_ = hangup;
}

void CallsWindows::EnableDialBar(int dial, int hangup) {
    if (dial > 0 && presenceStatus && presenceStatus() == 1) dial = 0;  // no call is placed while offline
    if (bar_) {
        if (dial >= 0) bar_->EnableDialButton(dial != 0);
        if (hangup >= 0) bar_->EnableHangupButton(hangup != 0);
        return;
    }
    if (dial >= 0 && dialButton_ && dialButton_->isEnabled() != (dial != 0)) dialButton_->setEnabled(dial != 0);
    if (hangup >= 0 && hangupButton_ && hangupButton_->isEnabled() != (hangup != 0)) hangupButton_->setEnabled(hangup != 0);
}

bool CallsWindows::IsDialButtonEnabled() const { return dialButton_ && dialButton_->isEnabled(); }

void CallsWindows::ActivePageChanged() {
    if (!sheet_) return;
    QWidget* w = sheet_->currentWidget();
    if (auto* call = qobject_cast<COnDialDlg*>(w); call && call->Model()) calls_->ActivePageChanged(call->Model());
    else if (w && w == dial_) dial_->ButtonState();
    else if (w && w == log_) log_->ButtonState();
    else if (auto* page = qobject_cast<CNqPropertyPage*>(w)) {
        int dial = -1, hangup = -1;
        OtherPageButtons(page->m_nType, &dial, &hangup);
        EnableDialBar(dial, hangup);
    }
}

void CallsWindows::OtherPageButtons(int pageType, int* dial, int* hangup) const {
    // Any other page: a call that talks or rings can be ended from here (the hang-up reaches it) but
    // no second one started. The address book decides itself what its selection allows.
    const bool running = CallToEndFromOtherPage() != nullptr;
    *hangup = running ? 1 : 0;
    if (running) *dial = 0;
    else *dial = pageType == kAddressBookPage ? -1 : 0;
}

void CallsWindows::OnDialButton(bool offline) {
    if (offline || !sheet_) return;
    QWidget* w = sheet_->currentWidget();
    if (auto* call = qobject_cast<COnDialDlg*>(w); call && call->Model()) call->Model()->OnDial();
    else if (w == dial_) dial_->OnDialBarDial();
    else if (w == log_) log_->DialSelected();
    ActivePageChanged();
}

CallPageModel* CallsWindows::CallToEndFromOtherPage() const {
    if (CallPageModel* p = calls_->FindTalkingCallPage()) return p;
    return calls_->FindUnansweredCallPage();
}

void CallsWindows::OnHangupButton() {
    if (!sheet_) return;
    QWidget* w = sheet_->currentWidget();
    if (auto* call = qobject_cast<COnDialDlg*>(w); call && call->Model()) call->Model()->OnHangup(0);
    else if (w == dial_) dial_->OnDialBarHangup();
    else if (w == log_) log_->OnHangup();
    else if (CallPageModel* p = CallToEndFromOtherPage()) p->OnHangup(0);  // start, address book, service page
    StopTrayAnimation();
    ActivePageChanged();
}

void CallsWindows::OnLanguageChanged() {
    if (chooser_) chooser_->OnLanguageChanged();
    // The keypad keeps the caption it opened with.
}

void CallsWindows::ShowKeypad(int cnxId) {
    if (cnxId == -1) return;
    if (!keypad_) keypad_ = new CKeypadDlg(frame_, [this](int w, int l) { OnKeypadMessage(w, l); });
    keypad_->SetCnxId(cnxId);
    calls_->keypadCnx = cnxId;
    keypad_->show();
}

void CallsWindows::OnKeypadMessage(int wParam, int lParam) {
    if (wParam == 0) {
        if (keypad_) {
            keypad_->hide();
            keypad_->deleteLater();
        }
        keypad_ = nullptr;
        calls_->keypadCnx = -1;
        return;
    }
    if (wParam != 1) return;  // neither close nor key
    calls_->keypadCnx = keypad_ ? keypad_->GetCnxId() : -1;
    calls_->OnKeypadKey(lParam);
}

void CallsWindows::PlayKeySound() { calls_->PlaySound("keydown.wav", false); }

void CallsWindows::OpenConferenceChooser(int mode) {
    if (chooser_) {
        chooser_->raise();
        return;
    }
    chooser_ = new CConfInviteDlg(frame_, mode, [this](bool confirmed) {
        std::vector<std::unique_ptr<CInvitee>> chosen;
        if (confirmed && chooser_) chooser_->GetSelected(&chosen);
        const int m = chooser_ ? chooser_->GetMode() : 0;
        if (chooser_) chooser_->deleteLater();
        chooser_ = nullptr;
        calls_->OnConfInviteResult(confirmed, m, std::move(chosen));
    });
    std::vector<std::unique_ptr<CInvitee>> people;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        AddrBook_CollectOnlineContacts(g_addrBookRoots[0], &people);
    }
    chooser_->SetCandidates(std::move(people));
    chooser_->show();
}

}  // namespace calls
