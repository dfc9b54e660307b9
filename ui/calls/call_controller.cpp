// The frame's call controllers: event table, placing calls and conferences, merge and keypad.
#include "ui/calls/call_controller.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/debug.h"
#include "common/presence_link.h"
#include "platform/sound.h"
#include "platform/sync.h"
#include "voip/CC_Main.h"
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

CallController::CallController(CallUi* ui, SoundPlayer* sounds, std::string skinFolder)
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
// The domain of the SIP account: its user name's, else the server it registers with.
std::string OwnDomain() {
    Account* a = Account_FindByType(ACCOUNT_TYPE_SIP);
    if (!a) return {};
    const std::string user = a->userName ? a->userName : "";
    if (const size_t at = user.find('@'); at != std::string::npos) return user.substr(at + 1);
    char server[128] = "";
    presence_setting_get_string(&a->settings, "server", "", server, sizeof server);
    return server;
}
}  // namespace

std::string CallController::LookupDisplayName(const std::string& number) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* root = g_addrBookRoots[0];
    AddrNode* node = nullptr;
    const size_t at = number.find('@');
    if (at != std::string::npos) {
        if (AddrNode* id = AddrBook_FindSipIdentity(root, number.c_str())) node = id->parent;
        // A caller of the account's own domain arrives as user@domain while the contact is kept by
        // its user id.
        if (!node && at > 0 && Same(number.substr(at + 1), OwnDomain()))
            node = AddrBook_FindContactById(root, number.substr(0, at).c_str());
    } else {
        node = AddrBook_FindContactById(root, number.c_str());
    }
    if (node) {
        const char* name = AddrBook_GetDisplayName(node);
        if (name && *name) return name;
    }
    return number.substr(0, number.find('@'));
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
    page->displayName = LookupDisplayName(number).substr(0, 63);
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
    for (const auto& p : pages_)
        if (p->State() == CALL_TALKING) return p.get();
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
        OnRemoteNewCall(msg, caller ? std::string(caller).substr(0, 255) : std::string());
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
    int event = msg->iEvent;
    // Call control reports a call refused by the peer (a SIP final response) as a disconnect with
    // that code: for a party that never talked it is the failure of the call.
    if (event == VOIPEVT_REMOTE_DISCONNECT && msg->iParam3 >= 400 && msg->iParam3 < 700 &&
        page->GetAttendeeState(k) != ATT_TALKING)
        event = VOIPEVT_REMOTE_FAILURE;
    switch (event) {
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
        case VOIPEVT_REMOTE_UNHOLD:
        case VOIPEVT_CALL_HOLD:
        case VOIPEVT_CALL_UNHOLD:
            break;  // hold notices change nothing on the page
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
    CallPageModel* active = nullptr;
    for (const auto& p : pages_)
        if (p->State() != CALL_ENDED && p->callId != call && p->callId != -1 && !p->TimerRunning(TIMER_ENDING))
            active = active ? active : p.get();
    if (!active) {
        CallPageModel* page = NewPage(caller, SkinPath("usericondef.bmp"), 0);
        page->callId = call;
        page->AddCnx(cnx);
        page->UpdateCallStatus(CALL_CALLING);
        page->ShowStateTip(5);
        page->StartRing(RING_IN);
        ui_->BringToFront();
        page->AddAttendee(cnx, caller, CALLLOG_MISSED);
        page->StampAttendeeStartTime(cnx);
        return;
    }
    auto refuse = [&] { CM_SendEvent(call, cnx, CMEVT_DISCONNECT, -1, -1, nullptr); };
    if (active->conference && !active->hosting) {
        refuse();
        return;
    }
    const int free = active->callId >= 0 ? CM_GetFreeSeatNum(active->callId) : 0;
    DebugTrace(MOD_SYSTEM, 3, "The freeseat: %d", free);
    if (free < 1) {
        DebugTrace(MOD_SYSTEM, 3, "The cnxid:%d is disconnected because of too many men in conference", cnx);
        refuse();
        return;
    }
    const std::string question =
        Format1(Text("multiconf_dialog", "conf_newcall", "%s call you,do you want to add it to conference?"), caller);
    if (!ui_->AskYesNo(question, Text("multiconf_dialog", "conf_info", "Infomation"))) {
        refuse();
        return;
    }
    if (!CC_IsCnxInUse(cnx)) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_hangup", "The call has been hung up"),
                     Text("multiconf_dialog", "conf_info", "Infomation"));
        return;
    }
    if (!active->conference && active->State() == CALL_CALLING && active->callType == 0 && active->cnxCount > 0) {
        CM_SendEvent(active->callId, active->cnxIds[0], CMEVT_CONNECT, -1, -1, nullptr);
        active->UpdateCallStatus(CALL_TALKING);
        active->StopRing();
    }
    CM_SendEvent(call, cnx, CMEVT_CONNECT, -1, -1, nullptr);
    if (CM_SendEvent(call, kAllCnx, CMEVT_MOVE, -1, active->callId, nullptr) != 0) {
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
        active->AddAttendeePicture(-1, own, LookupDisplayName(own), "", 1);
        active->SetMemberPictureState(own, Text("multiconf_dialog", "conf_chairman", "chairman"));
        active->AddAttendeePicture(active->cnxIds[0], active->remoteNumber, active->displayName,
                                   active->DirectionBitmapPath(active->callType == 1), active->callType);
        active->SetMemberPictureState(active->remoteNumber, talking);
    }
    active->AddAttendeePicture(cnx, caller, LookupDisplayName(caller), SkinPath("conf_callin.bmp"), 0);
    active->SetMemberPictureState(caller, talking);
    active->AddCnx(cnx);
    active->AddAttendee(cnx, caller, CALLLOG_MISSED);
    active->StampAttendeeStartTime(cnx);
    active->SetAttendeeState(cnx, ATT_TALKING);
    active->SetAttendeeMark(cnx, CALLLOG_INCOMING);
    ui_->ActivatePage(active);
}

// ---------------------------------------------------------------------------------------------
// Placing calls.

bool CallController::IsCallingSelf(const std::string& number) {
    const std::string own = OwnNumber();
    if (own.empty()) return false;
    std::string address = number;
    if (address.find('@') == std::string::npos) address += domainSuffix;
    if (!Same(address, own) && !Same(number, own)) return false;
    ui_->ShowBox(Text("dial_dialog", "msg_call_fail", "Can't call yourself!"), Text("dial_dialog", "msg_title", ""));
    return true;
}

bool CallController::IsNumberInCall(const std::string& address) {
    std::string full = address;
    if (full.find('@') == std::string::npos) full += domainSuffix;
    for (const auto& p : pages_) {
        if (p->State() == CALL_ENDED) continue;
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

void CallController::JoinConference() {
    auto queue = std::move(queue_);
    queue_.clear();
    if (queue.empty()) return;
    if (queue.size() >= 6) {
        ui_->ShowBox(Text("multiconf_dialog", "conf_no_room", "Too many person attend conference!"),
                     Text("multiconf_dialog", "conf_info", "Infomation"));
        return;
    }
    const int call = CM_AllocCall();
    if (call < 0) {
        DebugTrace(MOD_SYSTEM, 3, "No free call for %s", queue[0]->Number() ? queue[0]->Number() : "");
        return;
    }
    const bool conference = queue.size() > 1;
    const std::string first = queue[0]->Number() ? queue[0]->Number() : "";
    CallPageModel* page = NewPage(conference ? Text("multiconf_dialog", "conference", "Conference") : first,
                                  SkinPath("usericondef.bmp"), 1);
    page->UpdateCallStatus(CALL_PREPARING);
    page->callId = call;
    if (conference) {
        page->conference = page->hosting = true;
        const std::string own = OwnNumber();
        page->AddAttendeePicture(-1, own, LookupDisplayName(own), "", 1);
        page->SetMemberPictureState(own, Text("multiconf_dialog", "conf_chairman", "chairman"));
    }
    for (const auto& inv : queue) {
        const std::string number = inv->Number() ? inv->Number() : "";
        if (number.empty()) continue;
        const int cnx = CC_AllocCnx();
        if (cnx < 0) {
            ShowBox(Text("dial_dialog", cnx == -2 ? "msg_mic_inuse" : "msg_cnx_failed",
                         cnx == -2 ? "No microphone can be opened." : "The call could not be started."));
            continue;
        }
        page->AddCnx(cnx);
        if (conference) {
            const std::string name = inv->Name() && *inv->Name() ? inv->Name() : LookupDisplayName(number);
            page->AddAttendeePicture(cnx, number, name, SkinPath("conf_callout.bmp"), 1);
        }
        CM_SendEvent(call, cnx, CMEVT_NEWCALL, -1, -1, strdup(number.c_str()));
        page->AddAttendee(cnx, number, CALLLOG_OUTGOING);
        page->StampAttendeeStartTime(cnx);
    }
    if (page->cnxCount == 0) {
        CM_FreeCall(call);
        page->callId = -1;
        page->UpdateCallStatus(CALL_ENDED);
        return;
    }
    page->UpdateCallStatus(CALL_CALLING);
    page->ShowStateTip(0);
}

void CallController::AddToActiveConference() {
    auto queue = std::move(queue_);
    queue_.clear();
    const int current = CM_GetCurrentCallId();
    CallPageModel* page = current == -1 ? nullptr : FindCallPageByCallId(current);
    if (!page) {
        ShowBox(Text("multiconf_dialog", "conf_no_priority", "No active call"));
        return;
    }
    for (const auto& inv : queue) {
        if (!inv->Number() || !*inv->Number()) continue;
        if (CM_GetFreeSeatNum(page->callId) < 1) {
            ShowBox(Text("dial_dialog", "msg_no_seat", "The conference is full."));
            break;
        }
        const std::string number = inv->Number();
        if (IsNumberInCall(number)) continue;
        const int cnx = CC_AllocCnx();
        if (cnx < 0) break;
        if (!page->conference) {
            page->conference = page->hosting = true;
            const std::string own = OwnNumber();
            page->AddAttendeePicture(-1, own, LookupDisplayName(own), "", 1);
            page->SetMemberPictureState(own, Text("multiconf_dialog", "conf_chairman", "chairman"));
            page->AddAttendeePicture(page->cnxIds[0], page->remoteNumber, page->displayName,
                                     page->DirectionBitmapPath(true), page->callType);
            page->SetMemberPictureState(page->remoteNumber, Text("multiconf_dialog", "conf_talking", "Talking..."));
        }
        page->AddCnx(cnx);
        page->AddAttendeePicture(cnx, number, LookupDisplayName(number), page->DirectionBitmapPath(true), 1);
        page->AddAttendee(cnx, number, CALLLOG_OUTGOING);
        page->StampAttendeeStartTime(cnx);
        CM_SendEvent(page->callId, cnx, CMEVT_NEWCALL, -1, -1, strdup(number.c_str()));
    }
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
    queue_.push_back(std::move(invitee));
    AddToActiveConference();
}

void CallController::OnConfInviteResult(bool confirmed, int mode, std::vector<std::unique_ptr<CInvitee>> chosen) {
    if (!confirmed) return;
    for (auto& c : chosen) queue_.push_back(std::move(c));
    if (mode == 0) JoinConference();
    else AddToActiveConference();
}

void CallController::OnKeypadKey(int value) {
    const int current = CM_GetCurrentCallId();
    if (current == -1 || keypadCnx == -1) return;
    CM_SendEvent(current, keypadCnx, CMEVT_DTMF, -1, value, nullptr);
}

}  // namespace calls
