// The frame's call controllers: event table, placing calls and conferences, merge and keypad.
#include "ui/calls/call_controller.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/debug.h"
#include "common/presence_link.h"
#include "platform/sound.h"
#include "platform/sync.h"
#include "voip/CC_Main.h"
#include "voip/CC_State.h"
#include "voip/CM_Main.h"
#include "voip/CM_Xml.h"
#include "voip/VoipEvent.h"

namespace calls {
namespace {

bool Same(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

class PlatformSoundPlayer : public SoundPlayer {
public:
    void Play(const std::string& path, bool loop) override {
        if (!plat::PlaySoundFile(path, loop)) DebugTrace(MOD_SYSTEM, 3, "Sound %s cannot be played", path.c_str());
    }
    void Stop() override { plat::StopSound(); }
};

std::string Format1(const std::string& format, const std::string& arg) {
    const size_t at = format.find("%s");
    if (at == std::string::npos) return format;
    return format.substr(0, at) + arg + format.substr(at + 2);
}

}  // namespace

std::unique_ptr<SoundPlayer> MakePlatformSoundPlayer() { return std::make_unique<PlatformSoundPlayer>(); }

CallController::CallController(CallUi* ui, SoundPlayer* sounds, std::function<std::string()> skinFolder)
    : now([] { return static_cast<int64_t>(time(nullptr)); }),
      ticks([] { return plat::NowMs(); }),
      ui_(ui),
      sounds_(sounds),
      skin_(std::move(skinFolder)) {}

CallController::~CallController() = default;

// ---------------------------------------------------------------------------------------------
// Host services of the pages.

void CallController::PlaySound(const std::string& file, bool loop) {
    if (sounds_) sounds_->Play(SkinPath(file), loop);
}
void CallController::StopSound() {
    if (sounds_) sounds_->Stop();
}
int CallController::SendEvent(int callId, int cnxId, int event, int p4) { return CM_SendEvent(callId, cnxId, event, -1, p4, nullptr); }
bool CallController::IsConfCall(int callId) { return CM_IsConfCall(callId); }

namespace {
// The name of a contact ("" for none or a nameless one); the remark name the user gave it is not it.
std::string ContactName(const AddrNode* node) {
    if (!node || node->kind != ADDR_KIND_CONTACT) return {};
    const char* name = static_cast<const AddrContact*>(node)->name;
    return name ? name : "";
}
}  // namespace

std::string CallController::LookupDisplayName(const std::string& number) {
    std::string name;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        AddrNode* root = g_addrBookRoots[0];
        name = ContactName(number.find('@') != std::string::npos ? AddrBook_FindSipContact(root, number.c_str())
                                                                 : AddrBook_FindContactById(root, number.c_str()));
    }
    return name.empty() ? number.substr(0, number.find('@')) : name;
}

std::string CallController::SipDisplayName(const std::string& address) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* root = g_addrBookRoots[0];
    if (AddrNode* identity = AddrBook_FindSipIdentity(root, address.c_str())) return AddrBook_GetIdentityDisplayName(identity);
    return ContactName(AddrBook_FindSipContact(root, address.c_str()));
}

std::string CallController::OwnDisplayName() const { return ownName ? ownName() : std::string(); }

std::string CallController::InviteeNumber(const CInvitee& invitee) {
    if (const AddrContact* copy = invitee.Contact()) {
        // The chooser's people carry the contact's name as their number: the address is the book's.
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        AddrNode* contact = copy->id ? AddrBook_FindContactById(g_addrBookRoots[0], copy->id) : nullptr;
        const char* phone = contact ? AddrBook_GetIdentityAddress(contact, 8) : nullptr;
        return phone ? std::string(phone, strnlen(phone, 64)) : std::string();
    }
    return invitee.Number() ? std::string(invitee.Number()).substr(0, 64) : std::string();
}

std::string CallController::DisplayNameOf(const std::string& number) { return LookupDisplayName(number); }

std::string CallController::OwnNumber() {
    Account* a = Account_FindByType(ACCOUNT_TYPE_SIP);
    return a && a->userName ? a->userName : std::string();
}

// ---------------------------------------------------------------------------------------------
// Pages.

CallPageModel* CallController::NewPage(const std::string& number, const std::string& photo, int callType) {
    auto page = std::make_unique<CallPageModel>(this, now, ticks);
    page->remoteNumber = number.substr(0, 63);
    // The tab and the name line: the SIP identity's name, else the number as dialled or received.
    const std::string name = SipDisplayName(number);
    page->displayName = (name.empty() ? number : name).substr(0, 63);
    page->nameLine = page->displayName;
    page->photoPath = photo;
    page->callType = callType;
    CallPageModel* p = page.get();
    pages_.push_back(std::move(page));
    ui_->PageCreated(p);
    return p;
}

CallPageModel* CallController::FindCallPageByCallId(int callId) const {
    for (const auto& p : pages_)
        if (p->State() != CALL_ENDED && p->callId == callId && callId != -1) return p.get();
    return nullptr;
}
CallPageModel* CallController::FindCallPageByNumber(const std::string& number) const {
    for (const auto& p : pages_)
        if (p->State() != CALL_ENDED && Same(p->remoteNumber, number)) return p.get();
    return nullptr;
}
CallPageModel* CallController::FindAnyCallPage() const { return pages_.empty() ? nullptr : pages_.front().get(); }
CallPageModel* CallController::FindTalkingCallPage() const {
    // A page showing the end of its call for a few seconds talks no more: keys and hang-up go to
    // the call answered meanwhile.
    for (const auto& p : pages_)
        if (p->State() == CALL_TALKING && !p->TimerRunning(TIMER_ENDING)) return p.get();
    return nullptr;
}
CallPageModel* CallController::FindUnansweredCallPage() const {
    for (const auto& p : pages_)
        if (p->State() == CALL_CALLING) return p.get();
    return nullptr;
}

void CallController::PageEnded(CallPageModel* page) {
    auto it = std::find_if(pages_.begin(), pages_.end(), [&](const auto& p) { return p.get() == page; });
    if (it == pages_.end()) return;
    // Closing a page hangs up its whole call first, so every entry it still holds reaches the call
    // log whichever way the call ended.
    page->OnClose();
    ui_->PageRemoved(page);
    ended_.push_back(std::move(*it));  // deleted once its handler has returned
    pages_.erase(it);
}

void CallController::Collect() { ended_.clear(); }

bool CallController::IsLivePage(const CallPageModel* page) const {
    return std::any_of(pages_.begin(), pages_.end(), [&](const auto& p) { return p.get() == page; }) &&
           page->State() != CALL_ENDED && page->callId != -1 && !page->TimerRunning(TIMER_ENDING);
}

void CallController::RunTimers() {
    Collect();
    std::vector<CallPageModel*> snapshot;
    for (const auto& p : pages_) snapshot.push_back(p.get());
    for (CallPageModel* p : snapshot) {
        if (std::any_of(pages_.begin(), pages_.end(), [&](const auto& q) { return q.get() == p; })) p->RunTimers();
    }
    Collect();
}

int64_t CallController::NextTimerIn() const {
    int64_t best = -1;
    for (const auto& p : pages_) {
        const int64_t in = p->NextTimerIn();
        if (in >= 0 && (best < 0 || in < best)) best = in;
    }
    return best;
}

void CallController::CloseAll() {
    while (!pages_.empty()) {
        PageEnded(pages_.front().get());
    }
    Collect();
    asking_.clear();  // callers still waiting for the answer to the question about them
}

void CallController::ActivePageChanged(CallPageModel* page) {
    if (!page) return;
    int dial = -1, hangup = -1;
    page->DialBarState(&dial, &hangup);
    ui_->EnableDialBar(dial, hangup);
}

// ---------------------------------------------------------------------------------------------
// Call events.

void CallController::OnVoipEvent(const VOIP_UI_MSG* msg) {
    if (!msg) return;
    Collect();
    if (msg->iEvent == VOIPEVT_REMOTE_NEWCALL) {
        const char* caller = static_cast<const char*>(msg->pValue);
        OnRemoteNewCall(msg, caller ? std::string(caller, strnlen(caller, 128)) : std::string());
        return;
    }
    if (msg->iEvent == VOIPEVT_TIMEOUT || msg->iEvent == VOIPEVT_START || msg->iEvent == VOIPEVT_STOP) return;
    if (msg->iEvent == VOIPEVT_RELEASE_CALL) {
        // Call control may hand the released id to the next call at once: a page that has ended but
        // is still closing must not answer for it.
        for (const auto& p : pages_)
            if (p->callId == msg->iCallId && msg->iCallId != -1) p->callId = -1;
        return;
    }
    CallPageModel* page = FindCallPageByCallId(msg->iCallId);
    if (!page) return;
    const int k = msg->iCnxId;
    switch (msg->iEvent) {
        case VOIPEVT_REMOTE_ALERT:
            page->SetLastCnxId(k);
            page->ShowStateTip(1);
            page->StartRing(RING_OUT);
            page->SetAttendeeState(k, ATT_RINGING);
            break;
        case VOIPEVT_REMOTE_FAILURE:
            if (page->conference) page->RemoveMemberByCnxId(k);
            else page->UpdateCallStatus(CALL_ENDED);
            page->SetLastCnxId(k);
            page->ShowStateTip(3);
            page->StampAttendeeStartTime(k);
            page->LogAndRemoveAttendee(k);
            page->StartRing(RING_BUSY);
            break;
        case VOIPEVT_REMOTE_ANSWER:
            page->SetLastCnxId(k);
            page->UpdateCallStatus(CALL_TALKING);
            page->StampAttendeeStartTime(k);
            page->ShowStateTip(4);
            page->SetAttendeeState(k, ATT_TALKING);
            page->StopRing();
            break;
        case VOIPEVT_REMOTE_DISCONNECT:
            page->SetLastCnxId(k);
            if (page->GetAttendeeState(k) == ATT_TALKING) page->StopAttendeeClock(k);
            if (page->IsAttendeeEnded(k)) page->SetAttendeeState(k, ATT_ENDED);
            page->OnCallEnded(k);
            page->LogAndRemoveAttendee(k);
            if (page->conference) page->StopRing();
            break;
        case VOIPEVT_REMOTE_HOLD:
        case VOIPEVT_REMOTE_UNHOLD: page->SetHoldState(0, msg->iEvent == VOIPEVT_REMOTE_HOLD ? 1 : 0, k); break;
        case VOIPEVT_CALL_HOLD:
        case VOIPEVT_CALL_UNHOLD: page->SetHoldState(1, msg->iEvent == VOIPEVT_CALL_HOLD ? 1 : 0, -1); break;
        case VOIPEVT_REMOTE_CONTACT:
            if (msg->pValue && k != -1) {
                const auto* c = static_cast<const CM_CONTACT*>(msg->pValue);
                auto r = std::make_unique<RemoteMember>();
                r->number.assign(c->szUri, strnlen(c->szUri, sizeof c->szUri));
                char peer[CC_MAX_URI] = "";
                CC_GetCnxPeerUri(k, peer);
                r->kind = SameAddress(r->number, peer) ? 0 : 1;  // the peer reports itself first, as host
                r->presence = c->iStatus > 0 ? static_cast<uint32_t>(c->iStatus) : 0;
                page->SetLastCnxId(k);
                page->OnConferenceMembers(std::move(r), CC_GetCnxDirection(k));
            }
            break;
        case VOIPEVT_RELEASE_CNX: break;
        default:
            page->UpdateCallStatus(CALL_ENDED);
            page->ShowStateTip(7);
            page->StartRing(RING_BUSY);
            break;
    }
}

void CallController::OnRemoteNewCall(const VOIP_UI_MSG* msg, const std::string& caller) {
    const int call = msg->iCallId, cnx = msg->iCnxId;
    if (call < 0 || cnx < 0) return;
    // Only a call that still runs can take the caller in; a page showing the end of its call for a
    // few seconds (its call released, or ending) stands aside for a new page.
    auto running = [&](const CallPageModel* p) {
        return p && p->State() != CALL_ENDED && p->callId != call && p->callId != -1 && !p->TimerRunning(TIMER_ENDING);
    };
    // The page of the current call; with no current call, the first running page.
    CallPageModel* active = nullptr;
    if (const int current = CM_GetCurrentCallId(); current != -1) {
        if (running(FindCallPageByCallId(current))) active = FindCallPageByCallId(current);
    } else {
        for (const auto& p : pages_)
            if (!active && running(p.get())) active = p.get();
    }
    auto ownPage = [&] {
        CallPageModel* page = NewPage(caller, SkinPath("usericondef.bmp"), 0);
        page->callId = call;
        page->AddCnx(cnx);
        page->UpdateCallStatus(CALL_CALLING);
        page->ShowStateTip(5);
        page->StartRing(RING_IN);
        ui_->BringToFront();
        page->AddAttendee(cnx, caller, CALLLOG_MISSED);
        page->StampAttendeeStartTime(cnx);
    };
    if (!active) {
        ownPage();
        return;
    }
    auto refuse = [&] { CM_SendEvent(call, cnx, CMEVT_DISCONNECT, -1, -1, nullptr); };
    if (active->conference && !active->hosting) {
        refuse();
        return;
    }
    // A single call without a connection has nobody to meet the caller.
    if (!active->conference && active->cnxCount == 0) {
        ownPage();
        return;
    }
    const int free = CM_GetFreeSeatNum(active->callId);
    if (free < 1) {
        DebugTrace(MOD_QZ, 3, "The cnxid:%d is disconnected because of too many men in conference", cnx);
        refuse();
        return;
    }
    DebugTrace(MOD_QZ, 3, "The freeseat: %d", free);
    const std::string question = Format1(
        Text("multiconf_dialog", "conf_newcall", "%s call you,do you want to add it to conference?"), LookupDisplayName(caller));
    // While the question is open the caller waits in asking_, which a close of every page (sign-out,
    // exit) empties: the caller is then refused whatever the answer.
    asking_.push_back({caller, call, cnx});
    const bool yes = ui_->AskYesNo(question, Text("multiconf_dialog", "conf_info", "Infomation"));
    const auto waiting = std::find_if(asking_.begin(), asking_.end(), [&](const Asking& a) { return a.call == call && a.cnx == cnx; });
    if (waiting == asking_.end()) {  // every page closed meanwhile
        refuse();
        return;
    }
    asking_.erase(waiting);
    if (!yes) {
        refuse();
        return;
    }
    if (!CC_IsCnxInUse(cnx)) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_hangup", "The call has been hung up"),
                     Text("multiconf_dialog", "conf_info", "Infomation"));
        return;
    }
    // The question ran the event loop: the page it was about may be gone; the current call's page
    // takes the caller then.
    const bool askedPageLive = IsLivePage(active);
    // The first page's own caller still ringing in is answered first; its ring stops once the
    // answer has had a moment to reach call control.
    CallPageModel* first = nullptr;
    for (const auto& p : pages_)
        if (!first && running(p.get())) first = p.get();
    if (first && !first->conference && first->cnxCount > 0 && CC_GetCnxState(first->cnxIds[0]) == CC_ST_OFFERED) {
        CM_SendEvent(first->callId, first->cnxIds[0], CMEVT_CONNECT, -1, -1, nullptr);
        first->UpdateCallStatus(CALL_TALKING);
        Sleep(300);
        first->StopRing();
    }
    // Only a current call takes the caller in; with every call held the caller rings on a page of
    // their own.
    const int current = CM_GetCurrentCallId();
    if (current == -1) {
        ownPage();
        return;
    }
    if (CallPageModel* currentPage = FindCallPageByCallId(current)) {
        active = currentPage;
    } else if (!askedPageLive) {  // no page left to show the caller among the members
        ownPage();
        return;
    }
    CM_SendEvent(call, cnx, CMEVT_CONNECT, -1, -1, nullptr);
    if (CM_SendEvent(call, kAllCnx, CMEVT_MOVE, -1, current, nullptr) != 0) {
        refuse();
        return;
    }
    const std::string talking = Text("multiconf_dialog", "conf_talking", "Talking...");
    const bool wasConference = active->conference;
    // The member view from the first tile on: the page never shows tiles over the single call.
    active->hosting = true;
    active->conference = true;
    if (!wasConference) {
        const std::string own = OwnNumber();
        active->AddAttendeePicture(-1, own, OwnDisplayName(), "", 1);
        active->SetMemberPictureState(own, Text("multiconf_dialog", "conf_chairman", "chairman"));
        active->AddAttendeePicture(active->cnxIds[0], active->remoteNumber, active->nameLine,
                                   active->DirectionBitmapPath(active->callType == 1), active->callType);
        active->SetMemberPictureState(active->remoteNumber, talking);
    }
    // The new caller's tile: the name of the SIP identity holding the address, else the address as
    // received ("Unknown" without one).
    const std::string callerName = SipDisplayName(caller);
    const std::string tile = !callerName.empty() ? callerName : caller.empty() ? std::string("Unknown") : caller;
    active->AddAttendeePicture(cnx, caller, tile, SkinPath("conf_callin.bmp"), 0);
    active->SetMemberPictureState(caller, talking);
    active->AddCnx(cnx);
    active->AddAttendee(cnx, caller, CALLLOG_MISSED);
    active->StampAttendeeStartTime(cnx);
    active->SetAttendeeState(cnx, ATT_TALKING);
    active->SetAttendeeMark(cnx, CALLLOG_INCOMING);
}

// ---------------------------------------------------------------------------------------------
// Placing calls.

bool CallController::IsCallingSelf(const std::string& number) {
    const std::string own = OwnNumber();
    if (own.empty()) return false;
    std::string address = number.substr(0, 259);
    if (address.find('@') == std::string::npos) {
        // Without a configured domain, the account's own domain stands for it.
        const size_t at = own.find('@');
        address += !domainSuffix.empty() ? domainSuffix : at != std::string::npos ? own.substr(at) : std::string();
    }
    if (!Same(address, own)) return false;
    ui_->ShowBox(Text("dial_dialog", "msg_call_fail", "Can't call yourself!"), Text("dial_dialog", "msg_title", ""));
    return true;
}

bool CallController::IsNumberInCall(const std::string& address, const CallPageModel* except) {
    std::string full = address;
    if (full.find('@') == std::string::npos) full += domainSuffix;
    for (const auto& p : pages_) {
        if (p->State() == CALL_ENDED || p.get() == except) continue;
        if (!p->conference) {
            if (Same(p->remoteNumber, address) || Same(p->remoteNumber, full)) return true;
            continue;
        }
        for (const MemberPicture& m : p->Members())
            if (Same(m.number, address) || Same(m.number, full)) return true;
    }
    return false;
}

void CallController::CallNumber(const std::string& number) {
    auto invitee = std::make_unique<CInvitee>();
    invitee->SetNumber(number.substr(0, 63).c_str());
    queue_.push_back(std::move(invitee));
    JoinConference();
}

void CallController::ShowConnectionError(int code) {
    const char* key = code == -2 ? "msg_mic_inuse" : code == -1 ? "msg_cnx_failed" : "msg_unknown";
    ui_->ShowBox(Text("dial_dialog", key, ""), Text("multiconf_dialog", "conf_info", "Infomation"));
}

int CallController::PlaceInvitee(CallPageModel* page, const CInvitee& invitee, bool newCall) {
    const std::string number = InviteeNumber(invitee);
    if (number.empty()) return 0;
    // A new call's page shows its own number before it has any party.
    if (IsNumberInCall(number, newCall ? page : nullptr)) {
        DebugTrace(MOD_QZ, 3, "%s is in a call already", number.c_str());
        return 0;
    }
    const int cnx = CC_AllocCnx();
    if (cnx < 0) return cnx;
    page->AddCnx(cnx);
    if (page->conference) {
        page->AddAttendeePicture(cnx, number, invitee.Name() ? invitee.Name() : "", page->DirectionBitmapPath(true), 1);
    }
    CM_SendEvent(page->callId, cnx, CMEVT_NEWCALL, -1, -1, strdup(number.c_str()));
    page->AddAttendee(cnx, number, CALLLOG_OUTGOING);
    page->StampAttendeeStartTime(cnx);
    return 0;
}

void CallController::JoinConference() {
    auto queue = std::move(queue_);
    queue_.clear();
    if (queue.empty()) return;
    if (queue.size() > static_cast<size_t>(CM_MAX_CNX_PER_CALL)) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_no_room", "Too many person attend conference!"),
                     Text("multiconf_dialog", "conf_info", "Infomation"));
        return;
    }
    const int call = CM_AllocCall();
    if (call < 0) {
        DebugTrace(MOD_QZ, 3, "No free call for %s", queue[0]->Number() ? queue[0]->Number() : "");
        return;
    }
    const bool conference = queue.size() > 1;
    const std::string first = InviteeNumber(*queue[0]);
    CallPageModel* page = NewPage(conference ? Text("multiconf_dialog", "conference", "Conference") : first,
                                  SkinPath("usericondef.bmp"), 1);
    page->UpdateCallStatus(CALL_PREPARING);
    page->callId = call;
    if (conference) {
        page->conference = page->hosting = true;
        const std::string own = OwnNumber();
        page->AddAttendeePicture(-1, own, OwnDisplayName(), "", 1);
        page->SetMemberPictureState(own, Text("multiconf_dialog", "conf_chairman", "chairman"));
    }
    for (const auto& inv : queue) {
        const int failed = PlaceInvitee(page, *inv, true);
        if (failed == 0) continue;
        // No connection for one of them: nothing of this call is placed.
        DebugTrace(MOD_QZ, 3, "No connection for call %d (%d): the call is given up", call, failed);
        // Invitations already sent are withdrawn; call control then frees their connections and
        // the call. With none sent the call is freed here.
        if (page->cnxCount > 0) {
            CM_SendEvent(call, kAllCnx, CMEVT_DISCONNECT, -1, -1, nullptr);
        } else {
            CM_FreeCall(call);
            page->callId = -1;
        }
        if (failed == -2) ShowConnectionError(-2);
        page->UpdateCallStatus(CALL_ENDED);
        return;
    }
    if (page->cnxCount == 0) {
        CM_FreeCall(call);
        page->callId = -1;
        PageEnded(page);
        return;
    }
    page->UpdateCallStatus(CALL_CALLING);
    page->ShowStateTip(0);
}

void CallController::AddToActiveConference() {
    auto queue = std::move(queue_);
    queue_.clear();
    const std::string info = Text("multiconf_dialog", "conf_info", "Infomation");
    const int current = CM_GetCurrentCallId();
    if (current == -1) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_no_activecall", "No active call"), info);
        return;
    }
    const int free = CM_GetFreeSeatNum(current);
    DebugTrace(MOD_QZ, 3, "JoinConference: The freeseat: %d", free);
    if (free < 1) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_no_seat", "No seat"), info);
        return;
    }
    if (static_cast<size_t>(free) < queue.size()) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_no_room", "Too many person attend conference!"), info);
        return;
    }
    // Only the conference's host adds people (a member of someone else's conference has level 1 or more).
    if (CM_GetConfLevel(current) >= 1) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_no_priority", ""), info);
        return;
    }
    CallPageModel* page = FindCallPageByCallId(current);
    if (!page) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_no_conference", "No conference"), info);
        return;
    }
    if (queue.empty()) return;
    if (!page->conference) {
        if (queue.size() == 1 && SameAddress(InviteeNumber(*queue[0]), page->remoteNumber)) return;
        page->conference = page->hosting = true;
        const std::string own = OwnNumber();
        page->AddAttendeePicture(-1, own, OwnDisplayName(), "", 1);
        page->SetMemberPictureState(own, Text("multiconf_dialog", "conf_chairman", "Chairman"));
        page->AddAttendeePicture(page->cnxCount > 0 ? page->cnxIds[0] : -1, page->remoteNumber, page->nameLine,
                                 page->DirectionBitmapPath(page->callType == 1), page->callType);
        page->SetMemberPictureState(page->remoteNumber, Text("multiconf_dialog", "conf_talking", "Talking..."));
    }
    for (const auto& inv : queue) {
        const int failed = PlaceInvitee(page, *inv, false);
        if (failed != 0) DebugTrace(MOD_QZ, 3, "No connection for %s (%d)", inv->Number() ? inv->Number() : "", failed);
    }
    ui_->ActivatePage(page);
}

// ---------------------------------------------------------------------------------------------
// The call commands of a page: hold, resume, merge into the current call.

bool CallController::IsCallCurrent(const CallPageModel* page) const {
    return page && page->State() != CALL_ENDED && page->callId != -1 && page->callId == CM_GetCurrentCallId();
}

void CallController::HoldCall(CallPageModel* page) {
    const std::string info = Text("multiconf_dialog", "conf_info", "Infomation");
    const int current = CM_GetCurrentCallId();
    if (current == -1) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_no_activecall", "No active call"), info);
        return;
    }
    if (!page) return;
    if (page->callId != current) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_hold_call", "This call is holded!"), info);
        return;
    }
    // Call control reports no local hold back: the page is told here.
    if (CM_SendEvent(page->callId, kAllCnx, CMEVT_HOLD, -1, -1, nullptr) == 0) page->SetHoldState(1, 1, -1);
}

void CallController::UnholdCall(CallPageModel* page) {
    if (!page) return;
    const int current = CM_GetCurrentCallId();
    if (page->callId == current) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_unhold_call", "This call is unholded!"),
                     Text("multiconf_dialog", "conf_info", "Infomation"));
        return;
    }
    if (current != -1 && CM_SendEvent(current, kAllCnx, CMEVT_HOLD, -1, -1, nullptr) == 0) {
        if (CallPageModel* other = FindCallPageByCallId(current)) other->SetHoldState(1, 1, -1);
    }
    if (page->callId != -1 && CM_SendEvent(page->callId, kAllCnx, CMEVT_UNHOLD, -1, -1, nullptr) == 0) page->SetHoldState(1, 0, -1);
}

void CallController::MergeCall(CallPageModel* page) {
    if (!page || page->callId == -1) return;
    const std::string info = Text("multiconf_dialog", "conf_info", "Infomation");
    const int current = CM_GetCurrentCallId();
    if (current == -1) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_no_activecall", "No active call"), info);
        return;
    }
    if (current == page->callId) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_is_active", "Can't merge it to itself!"), info);
        return;
    }
    CallPageModel* target = FindCallPageByCallId(current);
    if (CM_SendEvent(page->callId, kAllCnx, CMEVT_MOVE, -1, current, nullptr) != 0) {
        DebugTrace(MOD_QZ, 3, "Merge of call %d into call %d refused", page->callId, current);
        return;
    }
    if (!target) return;
    if (!target->conference) {
        target->conference = target->hosting = true;
        const std::string own = OwnNumber();
        target->AddAttendeePicture(-1, own, OwnDisplayName(), "", 1);
        target->SetMemberPictureState(own, Text("multiconf_dialog", "conf_chairman", "chairman"));
        target->AddAttendeePicture(target->cnxCount > 0 ? target->cnxIds[0] : -1, target->remoteNumber, target->nameLine,
                                   target->DirectionBitmapPath(target->callType == 1), target->callType);
        target->SetMemberPictureState(target->remoteNumber, Text("multiconf_dialog", "conf_talking", "Talking..."));
    }
    // The pictures of the page's parties: every member of a conference, else its one remote party.
    if (page->conference) {
        for (const MemberPicture& m : page->Members()) {
            if (m.cnxId == -1) continue;  // the user's own picture
            target->AddAttendeePicture(m.cnxId, m.number, m.name, m.image, m.itemValue);
            target->SetMemberPictureState(m.number, Text("multiconf_dialog", "conf_talking", "Talking..."));
        }
    } else if (page->cnxCount > 0) {
        target->AddAttendeePicture(page->cnxIds[0], page->remoteNumber, page->nameLine,
                                   page->DirectionBitmapPath(page->callType == 1), page->callType);
        target->SetMemberPictureState(page->remoteNumber, Text("multiconf_dialog", "conf_talking", "Talking..."));
    }
    for (int i = 0; i < page->cnxCount; ++i) target->AddCnx(page->cnxIds[i]);
    for (const Attendee& a : page->TakeAttendees()) target->AdoptAttendee(a);
    // The parties now talk on the other page: this one closes without ending them.
    while (page->cnxCount > 0) page->RemoveCnx(page->cnxIds[0]);
    page->callId = -1;
    PageEnded(page);
    ui_->ActivatePage(target);
}

void CallController::HoldRequest(CallPageModel* page, bool hold) {
    if (hold) HoldCall(page);
    else UnholdCall(page);
}

void CallController::AddUserToConference(const AddrNode* contact) {
    if (!contact || contact->kind != ADDR_KIND_CONTACT) return;
    std::string number;
    auto invitee = std::make_unique<CInvitee>();
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        const char* address = AddrBook_GetIdentityAddress(const_cast<AddrNode*>(contact), 8);
        if (!address || !*address) return;
        number.assign(address, strnlen(address, 63));
        invitee->SetContact(contact);
    }
    if (IsNumberInCall(number)) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_user_in", "User is in conference"), Text("multiconf_dialog", "conf_info", "Infomation"));
        return;
    }
    invitee->SetNumber(number.c_str());
    invitee->SetName(number.c_str());  // the tile shows the telephone number
    queue_.push_back(std::move(invitee));
    AddToActiveConference();
}

void CallController::OnConfInviteResult(bool confirmed, int mode, std::vector<std::unique_ptr<CInvitee>> chosen) {
    if (!confirmed) return;
    for (auto& c : chosen) queue_.push_back(std::move(c));
    if (queue_.empty()) return;  // nobody chosen: nothing to place, nothing to refuse
    if (mode == 0) JoinConference();
    else AddToActiveConference();
}

bool CallController::IsLiveConnection(int cnxId) const {
    if (cnxId == -1) return false;
    for (const auto& p : pages_)
        if (IsLivePage(p.get()) && std::find(p->cnxIds, p->cnxIds + p->cnxCount, cnxId) != p->cnxIds + p->cnxCount) return true;
    return false;
}

void CallController::OnKeypadKey(int value) {
    const int current = CM_GetCurrentCallId();
    if (current == -1 || keypadCnx == -1) return;
    CM_SendEvent(current, keypadCnx, CMEVT_DTMF, -1, value, nullptr);
}

}  // namespace calls
