// The frame's call controllers: call pages per call, the call events applied to them, placing calls
// and conferences from a queue of invitees, the merge of a new incoming call, and the keypad relay.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/addrbook_query.h"
#include "ui/calls/call_page_model.h"

struct VOIP_UI_MSG;

namespace calls {

// What the controller asks of the windows (the sheet, message boxes, the dial bar, the start page).
class CallUi {
public:
    virtual ~CallUi() = default;
    virtual void PageCreated(CallPageModel* page) = 0;   // add and activate its page
    virtual void PageRemoved(CallPageModel* page) = 0;   // remove its page; the model is deleted after
    virtual void PageChanged(CallPageModel* page) = 0;
    virtual void ActivatePage(CallPageModel* page) = 0;
    virtual void ActivatePageOfType(int type) = 0;
    virtual void ShowBox(const std::string& text, const std::string& caption) = 0;
    // A box with the warning sign.
    virtual void ShowWarning(const std::string& text, const std::string& caption) { ShowBox(text, caption); }
    virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
    virtual void MissedCall() = 0;
    virtual void CallLogChanged() = 0;
    virtual void StopTrayAnimation() = 0;
    virtual void BringToFront() = 0;
    virtual void EnableDialBar(int dial, int hangup) = 0;  // -1 leaves a button unchanged
};

// The sounds of the calls windows.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    virtual void Play(const std::string& path, bool loop) = 0;
    virtual void Stop() = 0;
};
// Through the platform's player (silent without a sound card).
std::unique_ptr<SoundPlayer> MakePlatformSoundPlayer();

class CallController : public CallPageHost {
public:
    // skinFolder answers the current skin's folder: sounds and pictures follow a change of skin.
    CallController(CallUi* ui, SoundPlayer* sounds, std::function<std::string()> skinFolder);
    CallController(CallUi* ui, SoundPlayer* sounds, const std::string& skinFolder)
        : CallController(ui, sounds, [skinFolder] { return skinFolder; }) {}
    ~CallController() override;

    // Clocks of the pages: seconds since 1970 and page-timer milliseconds (tests give test clocks).
    std::function<int64_t()> now;
    std::function<uint64_t()> ticks;
    // The account domain suffix added to numbers without an at sign ("@example.com" or empty).
    std::string domainSuffix;

    // Call events from call control (the frame frees the record).
    void OnVoipEvent(const VOIP_UI_MSG* msg);

    // Placing calls.
    void Queue(std::unique_ptr<CInvitee> invitee) { queue_.push_back(std::move(invitee)); }
    size_t QueueSize() const { return queue_.size(); }
    void CallNumber(const std::string& number);
    void JoinConference();
    void AddToActiveConference();
    // A contact of the address book joins the running call by its VoIP number.
    void AddUserToConference(const AddrNode* contact);
    // The conference chooser's answer: confirmed invitees are placed; mode 0 new, 1 add.
    void OnConfInviteResult(bool confirmed, int mode, std::vector<std::unique_ptr<CInvitee>> chosen);
    bool IsCallingSelf(const std::string& number);
    // The box of a connection that could not be had: -2 no microphone, -1 no connection, else unknown.
    void ShowConnectionError(int code);
    // The call commands of a page: whether its call is call control's current call (not held), hold,
    // resume (holding the current call first), and merge into the current call.
    bool IsCallCurrent(const CallPageModel* page) const;
    void HoldCall(CallPageModel* page);
    void UnholdCall(CallPageModel* page);
    void MergeCall(CallPageModel* page);
    // Whether a live call page (but the one excepted) has the party in its call.
    bool IsNumberInCall(const std::string& address, const CallPageModel* except = nullptr);

    // Pages.
    CallPageModel* OpenPage(const std::string& number, const std::string& photo, int callType) {
        return NewPage(number, photo, callType);
    }
    const std::vector<std::unique_ptr<CallPageModel>>& Pages() const { return pages_; }
    CallPageModel* FindCallPageByCallId(int callId) const;
    CallPageModel* FindCallPageByNumber(const std::string& number) const;
    CallPageModel* FindAnyCallPage() const;
    CallPageModel* FindTalkingCallPage() const;
    CallPageModel* FindUnansweredCallPage() const;
    void RunTimers();          // every page's due timers, then the ended pages are deleted
    int64_t NextTimerIn() const;
    void CloseAll();           // the frame closes: every page ends its call and logs it
    void ActivePageChanged(CallPageModel* page);  // a call page became the active page

    // The keypad: its connection and a key value (0-11) to send.
    int keypadCnx = -1;
    void OnKeypadKey(int value);
    // Whether a running call (not ending) still holds the connection.
    bool IsLiveConnection(int cnxId) const;

    // CallPageHost.
    void PlaySound(const std::string& file, bool loop) override;
    void StopSound() override;
    int SendEvent(int callId, int cnxId, int event, int p4) override;
    bool IsConfCall(int callId) override;
    void CallLogChanged() override { ui_->CallLogChanged(); }
    void MissedCall() override { ui_->MissedCall(); }
    void ActivatePageOfType(int type) override { ui_->ActivatePageOfType(type); }
    void PageEnded(CallPageModel* page) override;
    void StopTrayAnimation() override { ui_->StopTrayAnimation(); }
    void ShowBox(const std::string& text) override { ui_->ShowBox(text, Text("multiconf_dialog", "conf_info", "Infomation")); }
    void ShowWarning(const std::string& text, const std::string& caption) override { ui_->ShowWarning(text, caption); }
    void Changed(CallPageModel* page) override { ui_->PageChanged(page); }
    std::string DisplayNameOf(const std::string& number) override;
    std::string SipNameOf(const std::string& address) override { return SipDisplayName(address); }
    std::string OwnNumber() override;
    std::string SkinPath(const std::string& file) override { return skin_() + "/" + file; }
    void HoldRequest(CallPageModel* page, bool hold) override;

    // Display name of a number: the contact's name, else the number without its domain.
    static std::string LookupDisplayName(const std::string& number);
    // The display name of the SIP identity with that address; "" when the book has none.
    static std::string SipDisplayName(const std::string& address);
    // The address an invitee is called at: its contact's telephone number (the contact read from the
    // book by its id), "" when the contact has none; without a contact, the invitee's own number.
    static std::string InviteeNumber(const CInvitee& invitee);
    // The user's own display name as the address-book synchronisation gave it (the frame's).
    std::function<std::string()> ownName;
    std::string OwnDisplayName() const;

private:
    CallPageModel* NewPage(const std::string& number, const std::string& photo, int callType);
    void OnRemoteNewCall(const VOIP_UI_MSG* msg, const std::string& caller);
    // Calls one invitee on the page's call: 0 when placed or skipped (no number, in a call already),
    // else the failure of the connection's allocation.
    int PlaceInvitee(CallPageModel* page, const CInvitee& invitee, bool newCall);
    void Collect();
    // Whether the page is still one of the controller's, with its call running and not ending.
    bool IsLivePage(const CallPageModel* page) const;

    CallUi* ui_;
    SoundPlayer* sounds_;
    std::function<std::string()> skin_;
    std::vector<std::unique_ptr<CallPageModel>> pages_;
    std::vector<std::unique_ptr<CallPageModel>> ended_;
    std::vector<std::unique_ptr<CInvitee>> queue_;
    // Incoming callers the "add to the conference?" question is about while it is open.
    struct Asking {
        std::string caller;
        int call = -1, cnx = -1;
    };
    std::vector<Asking> asking_;
};

}  // namespace calls
