// The calls windows as the frame reaches them. The calls library registers a factory at program
// start; without one the frame places and shows no calls.
#pragma once

#include <functional>
#include <memory>
#include <string>

class QAbstractButton;
class QWidget;
class CSkinButton;
class CMainFrame;
class CChildView;
class CNqPropertyPage;
struct AddrNode;
struct VOIP_UI_MSG;

namespace shell {

class CallWindowsHook {
public:
    virtual ~CallWindowsHook() = default;
    virtual CNqPropertyPage* MakeDialPage() = 0;
    virtual CNqPropertyPage* MakeCallLogPage() = 0;
    virtual void DropPages() = 0;  // signed out: the pages are gone
    virtual void OnVoipEvent(const VOIP_UI_MSG* msg) = 0;
    virtual void OnDialButton(bool offline) = 0;
    virtual void OnHangupButton() = 0;
    virtual int CallNumber(const std::string& number) = 0;
    virtual bool AnyCallPage() = 0;
    virtual bool AnyTalking() = 0;
    // A call page whose call still rings or calls out (not answered, not ended).
    virtual bool AnyUnanswered() { return false; }
    // The frame is busy: the dial bar's two buttons stay disabled whatever a page asks.
    virtual bool DialBarBusy() { return false; }
    virtual bool ShowCallPageFor(const std::string& number) = 0;  // true when one exists (made active)
    virtual bool OwnsPage(const CNqPropertyPage* page) = 0;
    virtual void ActivePageChanged() = 0;
    virtual void CloseAll() = 0;
    // ---- calls windows: frame commands they take (the address book's conference commands)
    virtual bool OnCommand(int) { return false; }
    // The address book's "add to the call" with the chosen contact: false when not taken.
    virtual bool AddUserToConference(const AddrNode*) { return false; }
    // The language files changed: the open chooser and keypad take the new texts.
    virtual void OnLanguageChanged() {}
    // ---- calls windows: the active call page's call: current (not held), hold, resume, merge
    virtual bool IsPageCallCurrent() { return false; }
    virtual void HoldActiveCall() {}
    virtual void UnholdActiveCall() {}
    virtual void MergeActiveCall() {}
    virtual void ShowConnectionError(int) {}
    // The frame moved: the keypad keeps to its side.
    virtual void OnFrameMoved() {}
    // The frame closes: the keypad goes with it.
    virtual void DestroyKeypad() {}
    // ---- the dial bar: the calls windows' own, with its two buttons handed back; null leaves the
    // frame its own. The skin changed: its pictures and page.
    virtual QWidget* MakeDialBar(QWidget* /*parent*/, CSkinButton** /*dial*/, CSkinButton** /*hangup*/) {
        return nullptr;
    }
    virtual void OnSkinChanged() {}
};

using CallWindowsFactory = std::function<std::unique_ptr<CallWindowsHook>(CMainFrame* frame, CChildView* sheet,
                                                                          QAbstractButton* dial, QAbstractButton* hangup)>;
inline CallWindowsFactory& CallWindowsFactoryRef() {
    static CallWindowsFactory factory;
    return factory;
}

}  // namespace shell
