// The calls windows as the frame holds them: the call controller, its call pages on the sheet, the
// dial and call log pages, the dial bar, the keypad and the conference chooser.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>

#include "ui/calls/call_controller.h"
#include "ui/calls/call_log_page.h"
#include "ui/calls/dial_windows.h"
#include "ui/calls/invite_dialogs.h"

class CChildView;

namespace calls {

// Frame commands of the address book that open the conference chooser.
enum : int { ID_START_CONFERENCE = 32837, ID_ADD_TO_CONFERENCE = 32838, ID_INVITE_TO_CONFERENCE = 32839 };
// The chat-record query to the main frame (wParam: the peer's user id, 0 for none).
inline constexpr unsigned WM_CHATRECORD_QUERY = 0x81C;

class COnDialDlg;
class CDialDialog;
class CSyslogDlg;
class CKeypadDlg;
class CDialBar;
class CConfInviteDlg;

class CallsWindows : public QObject, public CallUi {
    Q_OBJECT
public:
    CallsWindows(CChildView* sheet, QWidget* frame, SoundPlayer* sounds);
    ~CallsWindows() override;

    CallController& Calls() { return *calls_; }
    CChildView* Sheet() const { return sheet_; }
    QWidget* Frame() const { return frame_; }
    void SetDialBar(CDialBar* bar);
    // The frame's own dial and hang-up buttons, when it has no CDialBar.
    void SetDialButtons(QAbstractButton* dial, QAbstractButton* hangup);
    CDialBar* DialBar() const { return bar_; }
    CDialDialog* MakeDialPage();
    CSyslogDlg* MakeCallLogPage();
    CDialDialog* DialPage() const { return dial_; }
    CSyslogDlg* CallLogPage() const { return log_; }
    COnDialDlg* PageOf(CallPageModel* model) const;
    CKeypadDlg* Keypad() const { return keypad_; }

    // Frame commands.
    void OnDialButton(bool offline);  // post WM_CALL_DIAL to the active page
    void OnHangupButton();
    void ShowKeypad(int cnxId);
    // The open chooser and keypad take the texts of the new language.
    void OnLanguageChanged();
    void OnKeypadMessage(int wParam, int lParam);
    void OpenConferenceChooser(int mode);
    CConfInviteDlg* Chooser() const { return chooser_; }
    bool IsDialButtonEnabled() const;
    void ActivePageChanged();
    // The dial bar on a page that is not a calls window (start page, address book, service page):
    // -1 leaves a button as that page set it.
    void OtherPageButtons(int pageType, int* dial, int* hangup) const;
    // The call the hang-up ends from a page that is not a calls window: the talking one, else the
    // one that rings; none.
    CallPageModel* CallToEndFromOtherPage() const;
    void PlayKeySound();

    // Message boxes and questions; tests replace them.
    std::function<void(const std::string&, const std::string&)> box;
    std::function<void(const std::string&, const std::string&)> warn;  // with the warning sign
    std::function<bool(const std::string&, const std::string&)> ask;
    // The frame's own hooks.
    std::function<void()> missedCall, clearMissedCalls, stopTray, bringToFront;
    std::function<void(const std::string&)> sendMessage, addContact;
    std::function<void()> queryChatRecords;  // the chat-record browser
    std::function<int()> presenceStatus;

    // CallUi.
    void PageCreated(CallPageModel* page) override;
    void PageRemoved(CallPageModel* page) override;
    void PageChanged(CallPageModel* page) override;
    void ActivatePage(CallPageModel* page) override;
    void ActivatePageOfType(int type) override;
    void ShowBox(const std::string& text, const std::string& caption) override;
    void ShowWarning(const std::string& text, const std::string& caption) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    void MissedCall() override;
    void CallLogChanged() override;
    void StopTrayAnimation() override;
    void BringToFront() override;
    void EnableDialBar(int dial, int hangup) override;

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void ArmTimer();
    // The keypad goes with the last running call that holds its connection.
    void CloseKeypadWithoutCall();
    QPointer<CChildView> sheet_;
    QWidget* frame_;
    std::unique_ptr<CallController> calls_;
    QPointer<CDialDialog> dial_;
    QPointer<CSyslogDlg> log_;
    QPointer<CKeypadDlg> keypad_;
    QPointer<CConfInviteDlg> chooser_;
    CDialBar* bar_ = nullptr;
    QPointer<QAbstractButton> dialButton_, hangupButton_;
    QTimer timer_;
};

}  // namespace calls
