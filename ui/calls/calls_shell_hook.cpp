// The calls windows behind the frame's hook: pages, call events, dial and hang-up, dial requests.
#include "ui/calls/calls_shell_hook.h"

#include <QAbstractButton>
#include <QPointer>

#include "platform/ini.h"
#include "ui/calls/ansi_text.h"
#include "service/as_client.h"
#include "ui/calls/call_log_page.h"
#include "ui/calls/call_page.h"
#include "ui/calls/calls_windows.h"
#include "ui/shell/call_windows_hook.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/pages.h"
#include "ui/shell/shell_config.h"

namespace calls {
namespace {

class Hook : public shell::CallWindowsHook {
public:
    Hook(CMainFrame* frame, CChildView* sheet, QAbstractButton* dial, QAbstractButton* hangup)
        : sounds_(MakePlatformSoundPlayer()), windows_(sheet, frame, sounds_.get()), frame_(frame) {
        windows_.SetDialButtons(dial, hangup);
        // The account domain added to numbers without one.
        const std::string domain = shell::ConfigString("service", "brindle_name", "");
        if (!domain.empty()) windows_.Calls().domainSuffix = domain[0] == '@' ? domain : "@" + domain;
        windows_.bringToFront = [frame] { frame->Command(ID_SHOW_WINDOW); };
        // The user's own conference tile carries the display name the synchronisation gave.
        windows_.Calls().ownName = [frame] { return ToAnsi(frame->Alias()); };
        // Boxes and questions go through the frame's own, which tests replace.
        windows_.box = [frame, own = windows_.box](const std::string& text, const std::string& caption) {
            if (frame->showBox) frame->showBox(AnsiQ(text), AnsiQ(caption));
            else own(text, caption);
        };
        windows_.warn = [frame, own = windows_.warn](const std::string& text, const std::string& caption) {
            if (frame->showBox) frame->showBox(AnsiQ(text), AnsiQ(caption));
            else own(text, caption);
        };
        windows_.ask = [frame, own = windows_.ask](const std::string& text, const std::string& caption) {
            return frame->askQuestion ? frame->askQuestion(AnsiQ(text), AnsiQ(caption)) : own(text, caption);
        };
        windows_.presenceStatus = [frame] { return frame->StatusBar() ? frame->StatusBar()->GetStatus() : 0; };
        // Adding a peer as a contact goes to the access server; the store changes with its answer.
        windows_.addContact = [](const std::string& id) { AS_SendCommand(10, nullptr, nullptr, 0, id.c_str(), nullptr, 0); };
        // The start page counts missed calls; its link shows them in the call log.
        shell::CNavigateLinks* links = frame->StartPage() ? frame->StartPage()->Links() : nullptr;
        if (links) {
            QPointer<shell::CNavigateLinks> guard(links);
            windows_.missedCall = [guard] { if (guard) guard->AddMissedCall(); };
            windows_.clearMissedCalls = [guard] { if (guard) guard->ClearMissedCalls(); };
            QObject::connect(links, &shell::CNavigateLinks::showMissedCalls, &windows_, [this] {
                if (CSyslogDlg* log = windows_.CallLogPage()) log->ShowMissedCalls();
            });
        }
    }
    bool OnCommand(int id) override {
        switch (id) {
            case ID_START_CONFERENCE: windows_.OpenConferenceChooser(0); return true;
            case ID_ADD_TO_CONFERENCE:
            case ID_INVITE_TO_CONFERENCE: windows_.OpenConferenceChooser(1); return true;  // people for the running call
            default: return false;
        }
    }
    void OnLanguageChanged() override { windows_.OnLanguageChanged(); }
    // The bar with its status page.
    QWidget* MakeDialBar(QWidget* parent, CSkinButton** dial, CSkinButton** hangup) override {
        bar_ = new CDialBar(parent);
        windows_.SetDialBar(bar_);
        *dial = bar_->DialButton();
        *hangup = bar_->HangupButton();
        bar_->Navigate();
        return bar_;
    }
    void OnSkinChanged() override {
        if (bar_) bar_->OnSkinChanged();
    }
    bool IsPageCallCurrent() override { return windows_.Calls().IsCallCurrent(ActiveModel()); }
    void HoldActiveCall() override { windows_.Calls().HoldCall(ActiveModel()); }
    void UnholdActiveCall() override { windows_.Calls().UnholdCall(ActiveModel()); }
    void MergeActiveCall() override { windows_.Calls().MergeCall(ActiveModel()); }
    void ShowConnectionError(int code) override { windows_.Calls().ShowConnectionError(code); }
    void OnFrameMoved() override {
        if (CKeypadDlg* keypad = windows_.Keypad()) keypad->StickToOwner();
    }
    void DestroyKeypad() override { windows_.OnKeypadMessage(0, 0); }
    bool AddUserToConference(const AddrNode* contact) override {
        windows_.Calls().AddUserToConference(contact);
        return true;
    }
    CNqPropertyPage* MakeDialPage() override { return windows_.MakeDialPage(); }
    CNqPropertyPage* MakeCallLogPage() override { return windows_.MakeCallLogPage(); }
    void DropPages() override {
        if (auto* d = windows_.DialPage()) d->deleteLater();
        if (auto* l = windows_.CallLogPage()) l->deleteLater();
    }
    void OnVoipEvent(const VOIP_UI_MSG* msg) override { windows_.Calls().OnVoipEvent(msg); }
    void OnDialButton(bool offline) override { windows_.OnDialButton(offline); }
    void OnHangupButton() override { windows_.OnHangupButton(); }
    int CallNumber(const std::string& number) override {
        const size_t before = windows_.Calls().Pages().size();
        if (!windows_.Calls().IsCallingSelf(number)) windows_.Calls().CallNumber(number);
        return windows_.Calls().Pages().size() > before ? 0 : -1;
    }
    bool AnyCallPage() override { return !windows_.Calls().Pages().empty(); }
    bool AnyTalking() override { return windows_.Calls().FindTalkingCallPage() != nullptr; }
    bool AnyUnanswered() override { return windows_.Calls().FindUnansweredCallPage() != nullptr; }
    bool DialBarBusy() override { return bar_ && bar_->busy; }
    bool ShowCallPageFor(const std::string& number) override {
        CallPageModel* p = windows_.Calls().FindCallPageByNumber(number);
        if (p) windows_.ActivatePage(p);
        return p != nullptr;
    }
    bool OwnsPage(const CNqPropertyPage* page) override {
        return page && (page == windows_.DialPage() || page == windows_.CallLogPage() || qobject_cast<const COnDialDlg*>(page));
    }
    void ActivePageChanged() override {
        // The frame is busy while its status is offline: neither button acts then.
        if (bar_) bar_->busy = frame_->StatusBar() && frame_->StatusBar()->GetStatus() == 1;
        windows_.ActivePageChanged();
    }
    void CloseAll() override { windows_.Calls().CloseAll(); }

private:
    // The model of the sheet's active page when it is a call page.
    CallPageModel* ActiveModel() const {
        auto* page = qobject_cast<COnDialDlg*>(frame_->Sheet() ? frame_->Sheet()->currentWidget() : nullptr);
        return page ? page->Model() : nullptr;
    }
    std::unique_ptr<SoundPlayer> sounds_;
    CallsWindows windows_;
    CMainFrame* frame_;
    QPointer<CDialBar> bar_;
};

}  // namespace

void RegisterWithShell() {
    shell::CallWindowsFactoryRef() = [](CMainFrame* frame, CChildView* sheet, QAbstractButton* dial, QAbstractButton* hangup) {
        return std::unique_ptr<shell::CallWindowsHook>(new Hook(frame, sheet, dial, hangup));
    };
}

}  // namespace calls
