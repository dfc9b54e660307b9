// The state of one call page without its window: attendees, states and tips, rings, the talk clock,
// the member tiles of a conference, and the end-of-call sequence that writes the call log.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/calllog.h"

namespace calls {

inline constexpr int kMaxCnx = 16;
inline constexpr int kAllCnx = 16;  // DISCONNECT every connection of the call

// Call states of a page.
enum CallState : int { CALL_CALLING = 0, CALL_TALKING = 1, CALL_ENDED = 3, CALL_PREPARING = 4, CALL_NEW = 6 };
// Entry states of an attendee.
enum AttendeeState : int { ATT_RINGING = 1, ATT_TALKING = 4, ATT_ENDED = 10, ATT_NEW = 12 };
// Ring kinds.
enum RingKind : int { RING_IN = 0, RING_OUT = 1, RING_BUSY = 2, RING_HANGUP = 3 };
// Page timers.
enum PageTimer : int { TIMER_CLOSE = 1, TIMER_CLOCK = 2, TIMER_RING = 3, TIMER_ENDING = 4, TIMER_MEMBER_CLOSE = 5 };

// One party of the call: the call-log record, then the page's own fields.
struct Attendee {
    CallLogEntry record{};
    int cnxId = -1;
    int state = ATT_NEW;
    bool logged = false;
};

// One tile of the member view.
struct MemberPicture {
    int cnxId = -1;
    std::string name, number, image, stateText;
    int itemValue = 1;  // call type for the direction image: 0 in, 1 out
    int x = 0, y = 0;
};

// A member as the peer of a remote conference reports it.
struct RemoteMember {
    std::string number;
    uint32_t kind = 0;      // 0 the host (first report), 1 one more member
    uint32_t presence = 0;  // 0 left
};

// What the page asks of its surroundings (the frame, the sheet, the sound card).
class CallPageHost {
public:
    virtual ~CallPageHost() = default;
    virtual void PlaySound(const std::string& file, bool loop) = 0;  // file name such as "ringin.wav"
    virtual void StopSound() = 0;
    virtual int SendEvent(int callId, int cnxId, int event, int p4) = 0;  // CM_SendEvent without a value
    virtual bool IsConfCall(int callId) = 0;
    virtual void CallLogChanged() = 0;
    virtual void MissedCall() = 0;
    virtual void ActivatePageOfType(int type) = 0;
    virtual void PageEnded(class CallPageModel* page) = 0;  // forget, close and delete it later
    virtual void StopTrayAnimation() = 0;
    virtual void ShowBox(const std::string& text) = 0;
    virtual void ShowWarning(const std::string& text, const std::string& /*caption*/) { ShowBox(text); }
    virtual void Changed(class CallPageModel* page) = 0;  // texts, tiles or state changed
    virtual std::string DisplayNameOf(const std::string& number) = 0;
    // The display name of the SIP identity with that address, "" when there is none.
    virtual std::string SipNameOf(const std::string& /*address*/) { return {}; }
    virtual std::string OwnNumber() = 0;  // the SIP account's user id
    virtual std::string SkinPath(const std::string& file) = 0;
    // The page's menu asks to hold or resume its call (the frame's rules and boxes apply).
    virtual void HoldRequest(class CallPageModel*, bool /*hold*/) {}
};

// Texts of the page's language sections ("ondial_dialog", "multiconf_dialog").
using TextFn = std::function<std::string(const char* section, const char* key, const char* def)>;
void SetTextSource(TextFn fn);
std::string Text(const char* section, const char* key, const char* def);

// Whether two SIP addresses name the same party: equal but for letter case and a "sip:" prefix, or
// equal user parts when one of them carries no domain (an account's own identity often has none).
bool SameAddress(const std::string& a, const std::string& b);

// "%02d:%02d:%02d" of a number of seconds.
std::string ClockText(int64_t seconds);
// Position of tile n (0-based) before centring.
void TilePosition(int n, int* x, int* y);
// The member view's layout: scroll range (0 = no scroll bar) and each tile's place.
struct TileLayout {
    bool scroll = false;
    int range = 0;
    std::vector<std::pair<int, int>> places;
};
TileLayout LayoutTiles(int count, int width, int height, int scrollWidth);

class CallPageModel {
public:
    // now: seconds since 1970; ticks: milliseconds of the page timers' clock.
    CallPageModel(CallPageHost* host, std::function<int64_t()> now, std::function<uint64_t()> ticks);

    // Set up by the creator.
    int callId = -1;
    int cnxIds[kMaxCnx];
    int cnxCount = 0;
    int callType = 2;  // 0 in, 1 out, 2 unknown
    std::string remoteNumber, displayName, photoPath;
    std::string nameLine;  // the name line and the tab; the display name until the member view ends
    bool hosting = false;
    bool conference = false;
    bool memberListOpen = false;
    int targetCnx = -1;
    std::string selectedNumber;

    CallPageHost* host() const { return host_; }
    int State() const { return state_; }
    int Tip() const { return tip_; }
    const std::string& StatusText() const { return status_; }
    const std::string& TipText() const { return tipText_; }
    const std::string& NameLine() const { return nameLine; }
    std::string TabCaption() const;
    int TabIcon() const { return MemberView() ? 8 : 5; }
    // The tiles stand from the first one added until they are all removed or the page closes, even
    // after a remote conference's end has cleared the conference flag.
    bool MemberView() const { return conference || !members_.empty(); }
    const std::vector<Attendee>& Attendees() const { return attendees_; }
    const std::vector<MemberPicture>& Members() const { return members_; }
    const std::vector<RemoteMember>& RemoteList() const { return remote_; }
    bool TimerRunning(int id) const { return timers_.count(id) != 0; }
    int RingKind() const { return ringKind_; }
    int64_t ClockStart() const { return clockStart_; }

    // Page operations of the frame's call events.
    void UpdateCallStatus(int state);
    void ShowStateTip(int tip);
    void StartRing(int kind);
    void StopRing();
    void AddAttendee(int cnxId, const std::string& number, uint32_t typeFlags);
    void SetAttendeeState(int cnxId, int state);
    int GetAttendeeState(int cnxId) const;
    void SetAttendeeMark(int cnxId, uint32_t typeFlags);
    void StampAttendeeStartTime(int cnxId);
    void StopAttendeeClock(int cnxId);
    bool IsAttendeeEnded(int cnxId) const;
    void LogAndRemoveAttendee(int cnxId);
    void OnCallEnded(int cnxId);
    void SetLastCnxId(int cnxId) { targetCnx = cnxId; }
    void AddCnx(int cnxId);
    void RemoveCnx(int cnxId);

    // User actions and messages.
    void OnDial();                 // answer (WM_CALL_DIAL)
    void OnHangup(int index);      // WM_CALL_HANGUP, index 0 = the whole call
    void OnMemberClose(int cnxId); // the member's delayed close
    void OnClose();                // the sheet removes the page
    void OnMenuHangup();
    void OnLanguageChanged();
    void OnSkinChanged();
    // Hold notices: side 0 the remote party of the connection, side 1 this side's hold of the whole
    // call. The page shows neither; it keeps its own hold for the menus that offer hold or resume.
    void SetHoldState(int side, int hold, int cnxId);
    bool Held() const { return held_; }
    // A merge into another call: the entries that are not yet logged leave this page; the other page
    // takes them with AdoptAttendee.
    std::vector<Attendee> TakeAttendees();
    void AdoptAttendee(const Attendee& a) { attendees_.push_back(a); }

    // Dial-bar states for this page: -1 leaves a button unchanged.
    void DialBarState(int* dial, int* hangup) const;

    // Member view.
    void AddAttendeePicture(int cnxId, const std::string& number, const std::string& name, const std::string& image,
                            int itemValue);
    void SetMemberPictureState(const std::string& number, const std::string& text);
    void RemoveMemberByNumber(const std::string& number);
    void RemoveMemberByCnxId(int cnxId);
    void OnConferenceMembers(std::unique_ptr<RemoteMember> member, int targetDirection);
    std::string DirectionBitmapPath(bool outgoing) const;
    MemberPicture* MemberByCnx(int cnxId);
    MemberPicture* MemberByNumber(const std::string& number);
    void Relayout(int width, int height, int scrollWidth);
    const TileLayout& Layout() const { return layout_; }

    // Runs the page timers that are due by the tick clock (periodic until killed).
    void RunTimers();
    // Milliseconds until the next timer is due (-1: none).
    int64_t NextTimerIn() const;

private:
    void SetTimer(int id, int ms);
    void KillTimer(int id);
    void OnTimer(int id);
    Attendee* Find(int cnxId);
    const Attendee* Find(int cnxId) const;
    bool LogEntry(Attendee& a);
    void LogAll();
    void LeaveMemberView(int remaining, bool byNumber);
    void PlayOnce(int kind);
    void Notify() { host_->Changed(this); }

    CallPageHost* host_;
    std::function<int64_t()> now_;
    std::function<uint64_t()> ticks_;
    int state_ = CALL_NEW;
    int tip_ = -1;
    std::string status_, tipText_;
    int ringKind_ = -1;
    int64_t clockStart_ = 0;
    std::vector<Attendee> attendees_;
    std::vector<MemberPicture> members_;
    std::vector<RemoteMember> remote_;
    std::map<int, std::pair<int, uint64_t>> timers_;  // id -> period, due
    std::multimap<uint64_t, int> memberCloses_;          // due -> connection id
    TileLayout layout_;
    int width_ = 360, height_ = 300, scrollWidth_ = 16;
    bool ended_ = false;
    bool held_ = false;
};

}  // namespace calls
