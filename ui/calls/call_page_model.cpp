// The call page's logic: event handling, timers, rings, call-log writing and the member tiles.
#include "ui/calls/call_page_model.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/debug.h"
#include "voip/VoipEvent.h"

namespace calls {
namespace {

TextFn& Source() {
    static TextFn fn;
    return fn;
}

bool SameNumber(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

const char* RingFile(int kind) {
    switch (kind) {
        case RING_IN: return "ringin.wav";
        case RING_OUT: return "ringout.wav";
        case RING_BUSY: return "ringbusy.wav";
        default: return "HANGUP.wav";
    }
}

void CopyText(char* dst, size_t size, const std::string& src) {
    std::memset(dst, 0, size);
    std::memcpy(dst, src.data(), std::min(src.size(), size - 1));
}

}  // namespace

bool SameAddress(const std::string& a, const std::string& b) {
    auto bare = [](const std::string& s) { return strncasecmp(s.c_str(), "sip:", 4) == 0 ? s.substr(4) : s; };
    const std::string x = bare(a), y = bare(b);
    if (x.empty() || y.empty()) return false;
    if (SameNumber(x, y)) return true;
    const size_t ax = x.find('@'), ay = y.find('@');
    if (ax != std::string::npos && ay != std::string::npos) return false;
    return SameNumber(x.substr(0, ax), y.substr(0, ay));
}

void SetTextSource(TextFn fn) { Source() = std::move(fn); }

std::string Text(const char* section, const char* key, const char* def) {
    if (Source()) {
        std::string t = Source()(section, key, def);
        if (!t.empty()) return t;
    }
    return def;
}

std::string ClockText(int64_t s) {
    if (s < 0) s = 0;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>((s % 3600) / 60), static_cast<long long>(s % 60));
    return buf;
}

void TilePosition(int n, int* x, int* y) {
    if (n == 0) {
        *x = 100;
        *y = 10;
        return;
    }
    *x = ((n + 1) % 2) * 140 + 10;
    *y = ((n + 1) / 2) * 140 + 10;
}

TileLayout LayoutTiles(int n, int w, int h, int scrollWidth) {
    TileLayout l;
    const int need = (n / 2 + 1) * 140 - h;
    l.scroll = n > 0 && need >= 0;
    l.range = l.scroll ? need : 0;
    const int s = l.scroll ? scrollWidth : 0;
    for (int i = 0; i < n; ++i) {
        if (i == 0) l.places.emplace_back((w - 100 - s) / 2, 10);
        else l.places.emplace_back((w - 240 - s) / 2 + ((i + 1) % 2) * 140, ((i + 1) / 2) * 140 + 10);
    }
    return l;
}

CallPageModel::CallPageModel(CallPageHost* host, std::function<int64_t()> now, std::function<uint64_t()> ticks)
    : host_(host), now_(std::move(now)), ticks_(std::move(ticks)) {
    std::fill(std::begin(cnxIds), std::end(cnxIds), -1);
}

std::string CallPageModel::TabCaption() const {
    return MemberView() ? Text("multiconf_dialog", "conference", "Conference") : nameLine;
}

// ---------------------------------------------------------------------------------------------
// Timers.

void CallPageModel::SetTimer(int id, int ms) { timers_[id] = {ms, ticks_() + static_cast<uint64_t>(ms)}; }
void CallPageModel::KillTimer(int id) { timers_.erase(id); }

int64_t CallPageModel::NextTimerIn() const {
    int64_t best = -1;
    const uint64_t now = ticks_();
    auto consider = [&](uint64_t due) {
        const int64_t in = due > now ? static_cast<int64_t>(due - now) : 0;
        if (best < 0 || in < best) best = in;
    };
    for (const auto& [id, t] : timers_) consider(t.second);
    if (!memberCloses_.empty()) consider(memberCloses_.begin()->first);
    return best;
}

void CallPageModel::RunTimers() {
    for (int guard = 0; guard < 64 && !ended_; ++guard) {
        const uint64_t now = ticks_();
        int id = 0;
        uint64_t due = UINT64_MAX;
        for (const auto& [tid, t] : timers_) {
            if (t.second <= now && t.second < due) {
                due = t.second;
                id = tid;
            }
        }
        if (!memberCloses_.empty() && memberCloses_.begin()->first <= now && memberCloses_.begin()->first < due) {
            const int cnx = memberCloses_.begin()->second;
            memberCloses_.erase(memberCloses_.begin());
            DebugTrace(MOD_QZ, 3, "PostMessage To COnDialDlg , cnx is %d\n", cnx);
            OnMemberClose(cnx);
            continue;
        }
        if (id == 0) return;
        auto& t = timers_[id];
        t.second = now + static_cast<uint64_t>(t.first);  // periodic until killed
        OnTimer(id);
    }
}

void CallPageModel::OnTimer(int id) {
    switch (id) {
        case TIMER_CLOSE:
            KillTimer(TIMER_CLOSE);
            KillTimer(TIMER_RING);
            host_->StopSound();
            host_->PlaySound(RingFile(RING_HANGUP), false);
            ended_ = true;
            host_->StopTrayAnimation();
            host_->PageEnded(this);  // the host deletes the page later, never inside this handler
            return;
        case TIMER_CLOCK:
            if (!conference) tipText_ = ClockText(now_() - clockStart_);
            Notify();
            return;
        case TIMER_RING:
            if (ringKind_ >= RING_IN && ringKind_ <= RING_BUSY) host_->PlaySound(RingFile(ringKind_), false);
            return;
        case TIMER_ENDING:
            KillTimer(TIMER_ENDING);
            UpdateCallStatus(CALL_ENDED);
            return;
        default: return;
    }
}

// ---------------------------------------------------------------------------------------------
// States and tips.

void CallPageModel::UpdateCallStatus(int state) {
    if (state == state_) return;
    if (state != CALL_CALLING && state != CALL_TALKING && state != CALL_ENDED && state != CALL_PREPARING) return;
    const int previous = state_;
    state_ = state;
    switch (state) {
        case CALL_CALLING:
            status_ = callType == 1 ? Text("ondial_dialog", "STATUS_CALLING", "Calling...") : std::string();
            break;
        case CALL_TALKING:
            status_ = Text("ondial_dialog", "STATUS_TALKING", "Call with...");
            clockStart_ = now_();
            if (!conference) SetTimer(TIMER_CLOCK, 1000);
            break;
        case CALL_PREPARING: status_ = Text("ondial_dialog", "STATUS_PREPARECALL", "Calling..."); break;
        case CALL_ENDED:
            status_ = Text("ondial_dialog", "STATUS_END", "Call End");
            held_ = false;
            KillTimer(TIMER_CLOCK);
            SetTimer(TIMER_CLOSE, 2000);
            if (previous == CALL_CALLING && callType == 0) {
                host_->MissedCall();
                if (!conference) host_->ActivatePageOfType(3);
            }
            ShowStateTip(11);
            break;
    }
    Notify();
}

void CallPageModel::ShowStateTip(int tip) {
    std::string text;
    switch (tip) {
        case 0: text = Text("ondial_dialog", "TIP_CONNECTING", "Connecting..."); break;
        case 1: text = Text("ondial_dialog", "TIP_CALLEERING", "Ring..."); break;
        case 2: text = Text("ondial_dialog", "TIP_CALLEEBUSY", "Busy"); break;
        case 3: text = Text("ondial_dialog", "TIP_REFUSED", "No Answer"); break;
        case 4: text = conference ? Text("multiconf_dialog", "conf_talking", "Talking...") : "00:00:00"; break;
        case 5: text = Text("ondial_dialog", "TIP_CALLIN", "Is Calling..."); break;
        case 6: text = Text("ondial_dialog", "TIP_DENY", "Deny Calling"); break;
        case 10: text = Text("ondial_dialog", "TIP_ENDDING", "Endding"); break;
        case 11: text = Text("ondial_dialog", "TIP_END", "End"); break;
        default: text = Text("ondial_dialog", "TIP_UNREACHABLE", "Deny Calling"); break;
    }
    tip_ = tip;
    if (!conference) {
        tipText_ = text;
    } else if (targetCnx != -1) {
        if (MemberPicture* m = MemberByCnx(targetCnx)) m->stateText = text;
        targetCnx = -1;
    }
    Notify();
}

void CallPageModel::DialBarState(int* dial, int* hangup) const {
    *dial = -1;
    *hangup = -1;
    switch (state_) {
        case CALL_TALKING: *dial = 0; *hangup = 1; break;
        case 2: *dial = 1; *hangup = 1; break;
        case CALL_ENDED:
        case CALL_PREPARING:
        case CALL_NEW: *dial = 0; *hangup = 1; break;
        case CALL_CALLING:
            if (callType == 0) { *dial = 1; *hangup = 1; }
            else if (callType == 1) { *dial = 0; *hangup = 1; }
            break;
        default: break;
    }
}

// ---------------------------------------------------------------------------------------------
// Rings.

void CallPageModel::StartRing(int kind) {
    if (kind < RING_IN || kind > RING_BUSY) return;
    ringKind_ = kind;
    host_->PlaySound(RingFile(kind), false);
    SetTimer(TIMER_RING, kind == RING_BUSY ? 1000 : 5000);
}

void CallPageModel::StopRing() {
    KillTimer(TIMER_RING);
    host_->StopSound();
}

void CallPageModel::PlayOnce(int kind) {
    host_->StopSound();
    host_->PlaySound(RingFile(kind), false);
}

// ---------------------------------------------------------------------------------------------
// Attendees and the call log.

Attendee* CallPageModel::Find(int cnxId) {
    for (Attendee& a : attendees_)
        if (a.cnxId == cnxId) return &a;
    return nullptr;
}
const Attendee* CallPageModel::Find(int cnxId) const {
    for (const Attendee& a : attendees_)
        if (a.cnxId == cnxId) return &a;
    return nullptr;
}

void CallPageModel::AddAttendee(int cnxId, const std::string& number, uint32_t typeFlags) {
    Attendee a;
    a.cnxId = cnxId;
    a.record.typeFlags = typeFlags;
    CopyText(a.record.number, sizeof a.record.number, number.substr(0, 63));
    CopyText(a.record.name, sizeof a.record.name, host_->DisplayNameOf(number).substr(0, 63));
    attendees_.push_back(a);
}

void CallPageModel::SetAttendeeState(int cnxId, int state) {
    if (Attendee* a = Find(cnxId)) a->state = state;
}
int CallPageModel::GetAttendeeState(int cnxId) const {
    const Attendee* a = Find(cnxId);
    return a ? a->state : -1;
}
void CallPageModel::SetAttendeeMark(int cnxId, uint32_t typeFlags) {
    if (Attendee* a = Find(cnxId)) a->record.typeFlags = typeFlags;
}
void CallPageModel::StampAttendeeStartTime(int cnxId) {
    if (Attendee* a = Find(cnxId)) a->record.startTime = static_cast<uint32_t>(now_());
}
void CallPageModel::StopAttendeeClock(int cnxId) {
    if (Attendee* a = Find(cnxId)) {
        const int64_t d = now_() - static_cast<int64_t>(a->record.startTime);
        a->record.duration = static_cast<uint32_t>(d > 0 ? d : 0);
    }
}
bool CallPageModel::IsAttendeeEnded(int cnxId) const {
    const Attendee* a = Find(cnxId);
    return !a || a->record.duration != 0;
}

bool CallPageModel::LogEntry(Attendee& a) {
    CallLogNode* node = CallLog_NewEntry();
    if (!node) return false;
    a.record.id = node->record.id;
    node->record = a.record;
    if (node->record.duration != 0) node->record.duration += 3;
    CallLog_Add(node);
    a.logged = true;
    return true;
}

void CallPageModel::LogAndRemoveAttendee(int cnxId) {
    if (cnxId == -1) return;
    for (auto it = attendees_.begin(); it != attendees_.end(); ++it) {
        if (it->cnxId != cnxId || it->logged) continue;
        if (!LogEntry(*it)) return;
        attendees_.erase(it);
        break;
    }
    host_->CallLogChanged();
}

void CallPageModel::LogAll() {
    size_t i = 0;
    for (; i < attendees_.size(); ++i) {
        if (attendees_[i].logged) continue;
        if (!LogEntry(attendees_[i])) break;
    }
    const bool all = i == attendees_.size();
    attendees_.erase(attendees_.begin(), attendees_.begin() + static_cast<long>(i));
    if (all) host_->CallLogChanged();
}

void CallPageModel::AddCnx(int cnxId) {
    if (cnxCount < kMaxCnx) cnxIds[cnxCount++] = cnxId;
}

void CallPageModel::RemoveCnx(int cnxId) {
    int n = 0;
    for (int i = 0; i < cnxCount; ++i)
        if (cnxIds[i] != cnxId) cnxIds[n++] = cnxIds[i];
    for (int i = n; i < kMaxCnx; ++i) cnxIds[i] = -1;
    cnxCount = n;
}

// ---------------------------------------------------------------------------------------------
// Answer, hang up, end.

void CallPageModel::OnDial() {
    if (state_ != CALL_CALLING || cnxCount < 1) return;
    const int k = cnxIds[0];
    host_->SendEvent(callId, k, CMEVT_CONNECT, -1);
    UpdateCallStatus(CALL_TALKING);
    ShowStateTip(4);
    SetAttendeeState(k, ATT_TALKING);
    SetAttendeeMark(k, CALLLOG_INCOMING);
    StampAttendeeStartTime(k);
    StopRing();
}

void CallPageModel::OnHangup(int index) {
    // The connection at the index; an index outside the page's slots names none.
    const int cnx = index > 0 && index < kMaxCnx ? cnxIds[index] : -1;
    switch (state_) {
        case CALL_ENDED:
        case CALL_PREPARING: UpdateCallStatus(CALL_ENDED); break;
        case CALL_CALLING:
            StopRing();
            [[fallthrough]];
        case CALL_TALKING:
            if (index == 0) {
                if (callId != -1) host_->SendEvent(callId, kAllCnx, CMEVT_DISCONNECT, -1);
            } else if (index < 0 || index >= cnxCount) {
                host_->ShowBox(Text("multiconf_dialog", "conf_err_disconnect", "Disconnect error!"));
            } else if (callId != -1 && cnx != -1) {
                host_->SendEvent(callId, cnx, CMEVT_DISCONNECT, -1);
            }
            break;
        default: break;
    }
    std::vector<int> ended;
    for (Attendee& a : attendees_) {
        if (index != 0 && a.cnxId != cnx) continue;
        if (a.state == ATT_TALKING) StopAttendeeClock(a.cnxId);
        if (IsAttendeeEnded(a.cnxId)) a.state = ATT_ENDED;
        ended.push_back(a.cnxId);
    }
    for (int k : ended) OnCallEnded(k);
    if (index == 0) LogAll();
    else LogAndRemoveAttendee(cnx);
}

void CallPageModel::OnCallEnded(int k) {
    const Attendee* a = Find(k);
    if (!conference) {
        if (a && a->record.duration == 0) {
            UpdateCallStatus(CALL_ENDED);
        } else {
            SetTimer(TIMER_ENDING, 3000);
            KillTimer(TIMER_CLOCK);
            ShowStateTip(10);
        }
        return;
    }
    if (a && a->record.duration == 0) {
        if (!hosting) {
            // The host's connection of a remote conference ends before any talk: the call is over.
            conference = false;
            memberListOpen = false;
            members_.clear();
            remote_.clear();
            UpdateCallStatus(CALL_ENDED);
            return;
        }
        if (MemberPicture* m = MemberByCnx(k)) RemoveMemberByNumber(std::string(m->number));
        return;
    }
    if (MemberPicture* m = MemberByCnx(k)) {
        m->stateText = Text("ondial_dialog", "TIP_ENDDING", "Endding");
        Notify();
    }
    memberCloses_.emplace(ticks_() + 3000, k);
}

void CallPageModel::OnMemberClose(int k) {
    if (conference) {
        if (MemberPicture* m = MemberByCnx(k)) {
            m->stateText = Text("ondial_dialog", "TIP_END", "End");
            DebugTrace(MOD_QZ, 3, "Find CAttendee:%s by cnxid:%d", m->number.c_str(), k);
        }
        if (!hosting) {
            ShowStateTip(10);
            UpdateCallStatus(CALL_ENDED);
            conference = false;
            hosting = false;
        } else if (MemberPicture* m = MemberByCnx(k)) {
            RemoveMemberByNumber(std::string(m->number));
        }
        Notify();
        return;
    }
    UpdateCallStatus(CALL_ENDED);
    ShowStateTip(10);
}

void CallPageModel::OnClose() {
    OnHangup(0);
    timers_.clear();
    memberCloses_.clear();
    members_.clear();
    remote_.clear();
}

void CallPageModel::OnMenuHangup() {
    if (!conference) {
        OnHangup(0);
        targetCnx = -1;
        return;
    }
    const int t = targetCnx;
    targetCnx = -1;
    if (t == -1) return;
    host_->SendEvent(callId, t, CMEVT_DISCONNECT, -1);
    for (Attendee& a : attendees_)
        if (a.cnxId == t && a.state == ATT_TALKING) StopAttendeeClock(t);
    OnCallEnded(t);
    LogAndRemoveAttendee(t);
    selectedNumber.clear();
}

void CallPageModel::SetHoldState(int side, int hold, int /*cnxId*/) {
    if (state_ == CALL_ENDED || side != 1) return;
    held_ = hold != 0;
    Notify();
}

std::vector<Attendee> CallPageModel::TakeAttendees() {
    std::vector<Attendee> taken;
    for (const Attendee& a : attendees_)
        if (!a.logged) taken.push_back(a);
    attendees_.clear();
    return taken;
}

void CallPageModel::OnLanguageChanged() {
    // The status line keeps its text; the tip is read again.
    if (tip_ >= 0) ShowStateTip(tip_);
    Notify();
}

void CallPageModel::OnSkinChanged() {
    // Only the skin's default photo moves to the new skin; a photo of the user's own stays.
    if (!conference && photoPath.find("/usericondef.bmp") != std::string::npos) photoPath = host_->SkinPath("usericondef.bmp");
    Notify();
}

// ---------------------------------------------------------------------------------------------
// Member view.

MemberPicture* CallPageModel::MemberByCnx(int cnxId) {
    for (MemberPicture& m : members_)
        if (m.cnxId == cnxId) return &m;
    return nullptr;
}
MemberPicture* CallPageModel::MemberByNumber(const std::string& number) {
    for (MemberPicture& m : members_)
        if (SameNumber(m.number, number)) return &m;
    return nullptr;
}

std::string CallPageModel::DirectionBitmapPath(bool outgoing) const {
    return host_->SkinPath(outgoing ? "conf_callout.bmp" : "conf_callin.bmp");
}

void CallPageModel::Relayout(int width, int height, int scrollWidth) {
    width_ = std::max(width, members_.empty() ? width : scrollWidth + 240);
    height_ = height;
    scrollWidth_ = scrollWidth;
    layout_ = LayoutTiles(static_cast<int>(members_.size()), width_, height_, scrollWidth_);
    for (size_t i = 0; i < members_.size(); ++i) {
        members_[i].x = layout_.places[i].first;
        members_[i].y = layout_.places[i].second;
    }
}

void CallPageModel::AddAttendeePicture(int cnxId, const std::string& number, const std::string& name,
                                       const std::string& image, int itemValue) {
    if (MemberByNumber(number)) return;
    MemberPicture m;
    m.cnxId = cnxId;
    m.number = number;
    m.name = name;
    m.image = image;
    m.itemValue = itemValue;
    members_.push_back(m);
    Relayout(width_, height_, scrollWidth_);
    Notify();
}

void CallPageModel::SetMemberPictureState(const std::string& number, const std::string& text) {
    if (MemberPicture* m = MemberByNumber(number)) m->stateText = text;
    Notify();
}

void CallPageModel::LeaveMemberView(int remainingIndex, bool byNumber) {
    conference = false;
    if (byNumber) hosting = false;
    if (remainingIndex >= 0) {
        const MemberPicture m = members_[static_cast<size_t>(remainingIndex)];
        remoteNumber = m.number;
        photoPath = host_->SkinPath("usericondef.bmp");
        // The name line (and tab) takes the tile's name as it is, empty or not.
        nameLine = m.name;
        const std::string sip = host_->SipNameOf(m.number);
        displayName = (sip.empty() ? m.number : sip).substr(0, 63);
        callType = m.itemValue;
        cnxCount = 1;
        cnxIds[0] = m.cnxId;
        cnxIds[1] = -1;
    }
}

void CallPageModel::RemoveMemberByNumber(const std::string& number) {
    if (members_.empty()) return;
    int r = -1;
    for (auto it = members_.begin(); it != members_.end(); ++it) {
        if (!SameNumber(it->number, number)) continue;
        r = it->cnxId;
        members_.erase(it);
        break;
    }
    cnxCount = 0;
    std::fill(std::begin(cnxIds), std::end(cnxIds), -1);
    for (const MemberPicture& m : members_)
        if (m.cnxId != -1 && cnxCount < kMaxCnx) cnxIds[cnxCount++] = m.cnxId;
    if (members_.size() >= 3) {
        Relayout(width_, height_, scrollWidth_);
        PlayOnce(RING_HANGUP);
        Notify();
        return;
    }
    int remaining = -1;
    if (members_.size() == 2) remaining = SameAddress(members_[0].number, host_->OwnNumber()) ? 1 : 0;
    LeaveMemberView(remaining, true);
    if (r != -1 && GetAttendeeState(r) == ATT_RINGING) KillTimer(TIMER_RING);
    switch (GetAttendeeState(cnxIds[0])) {
        case ATT_RINGING:
            KillTimer(TIMER_CLOCK);
            ShowStateTip(1);
            UpdateCallStatus(CALL_CALLING);
            break;
        case ATT_TALKING: {
            ShowStateTip(4);
            UpdateCallStatus(CALL_TALKING);
            if (const Attendee* a = Find(cnxIds[0])) clockStart_ = a->record.startTime;
            if (!TimerRunning(TIMER_CLOCK)) SetTimer(TIMER_CLOCK, 1000);
            break;
        }
        case ATT_ENDED:
            KillTimer(TIMER_CLOCK);
            ShowStateTip(10);
            break;
        default:
            KillTimer(TIMER_CLOCK);
            ShowStateTip(0);
            UpdateCallStatus(CALL_PREPARING);
            break;
    }
    members_.clear();
    Relayout(width_, height_, scrollWidth_);
    PlayOnce(RING_HANGUP);
    Notify();
}

void CallPageModel::RemoveMemberByCnxId(int cnxId) {
    auto it = std::find_if(members_.begin(), members_.end(), [&](const MemberPicture& m) { return m.cnxId == cnxId; });
    if (it == members_.end() && members_.empty()) return;
    if (it != members_.end()) members_.erase(it);
    cnxCount = 0;
    std::fill(std::begin(cnxIds), std::end(cnxIds), -1);
    for (const MemberPicture& m : members_)
        if (m.cnxId != -1 && cnxCount < kMaxCnx) cnxIds[cnxCount++] = m.cnxId;
    if (members_.size() >= 3) {
        Relayout(width_, height_, scrollWidth_);
        Notify();
        return;
    }
    int remaining = -1;
    if (members_.size() == 2) remaining = SameAddress(members_[0].number, host_->OwnNumber()) ? 1 : 0;
    LeaveMemberView(remaining, false);
    tipText_ = Text("multiconf_dialog", "conf_talking", "Talking...");
    members_.clear();
    Relayout(width_, height_, scrollWidth_);
    Notify();
}

void CallPageModel::OnConferenceMembers(std::unique_ptr<RemoteMember> r, int targetDirection) {
    if (!r) return;
    const std::string talking = Text("multiconf_dialog", "conf_talking", "Talking...");
    if (!conference) {
        if (r->presence == 0) {
            // A member who leaves before the host's report must not get a tile when it comes.
            auto it = std::find_if(remote_.begin(), remote_.end(), [&](const RemoteMember& m) { return SameNumber(m.number, r->number); });
            if (it == remote_.end()) return;  // a single call: nothing to show
            remote_.erase(it);
            if (remote_.size() < 2) remote_.clear();  // only the user's own record is left
            return;
        }
        if (remote_.empty()) remote_.push_back(RemoteMember{host_->OwnNumber(), 1, 4});
    }
    if (r->presence != 0 && r->kind == 1) {
        const std::string number = r->number;
        remote_.push_back(*r);
        if (memberListOpen) {
            AddAttendeePicture(targetCnx, number, host_->DisplayNameOf(number), "", 1);
            SetMemberPictureState(number, talking);
        }
        targetCnx = -1;
    } else if (r->presence != 0 && r->kind == 0) {
        if (memberListOpen) return;
        memberListOpen = true;
        remote_.insert(remote_.begin(), *r);
        for (size_t i = 0; i < remote_.size(); ++i) {
            const RemoteMember& m = remote_[i];
            if (SameAddress(m.number, host_->OwnNumber())) {
                AddAttendeePicture(-1, m.number, host_->DisplayNameOf(m.number), "", 1);
            } else if (i > 0) {
                AddAttendeePicture(targetCnx, m.number, host_->DisplayNameOf(m.number), "", 1);
            } else {
                const int d = targetDirection == 0 ? 1 : 0;
                AddAttendeePicture(targetCnx, m.number, host_->DisplayNameOf(m.number), DirectionBitmapPath(d != 0), d);
            }
            SetMemberPictureState(m.number, i == 0 ? Text("multiconf_dialog", "conf_chairman", "Chairman") : talking);
        }
        targetCnx = -1;
    } else if (r->presence != 0) {
        conference = conference || memberListOpen;
        return;  // another kind: dropped
    }
    // The member view opens with the host's report: before it there are no tiles to show, and the
    // single view keeps the peer, the state and the clock.
    conference = conference || memberListOpen;
    if (r->presence != 0) {
        Notify();
        return;
    }
    for (auto it = remote_.begin(); it != remote_.end(); ++it) {
        if (!SameNumber(it->number, r->number)) continue;
        const std::string number = it->number;
        remote_.erase(it);
        RemoveMemberByNumber(number);
        break;
    }
    if (remote_.size() < 3) {
        remote_.clear();
        memberListOpen = false;
    }
    Notify();
}

}  // namespace calls
