// Window-free decisions of the dial page, the call log page, the keypad and the conference chooser.
#include "ui/calls/calls_logic.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/appenv.h"
#include "common/debug.h"
#include "ui/calls/call_controller.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/VoipEvent.h"

namespace calls {
namespace {
bool Same(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }
}  // namespace

void DialHistory::Add(const std::string& number) {
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const std::string& e) { return Same(e, number); });
    if (it != entries_.end()) entries_.erase(it);
    else if (entries_.size() >= kMax) entries_.erase(entries_.begin() + (kMax - 1));
    entries_.insert(entries_.begin(), number);
}

std::string DialText(const std::string& field) { return field.substr(0, 63); }

const char* ConnectionErrorKey(int result) {
    return result == -2 ? "msg_mic_inuse" : result == -1 ? "msg_cnx_failed" : "msg_unknown";
}

AddMemberResult AddConferenceMember(CallController& calls, CallPageModel* page, int current, const std::string& number,
                                    const std::function<bool(const std::string&, const std::string&)>& ask,
                                    const std::function<void(const std::string&, const std::string&)>& box) {
    const std::string caption = Text("multiconf_dialog", "conf_info", "Infomation");
    if (CM_GetConfLevel(current) >= 1) {
        box(Text("multiconf_dialog", "conf_no_priority", "No active call"), caption);
        return ADD_NO_PRIORITY;
    }
    if (CC_GetIdleCnxNum() < 1) {
        box(Text("dial_dialog", "msg_no_cnx", ""), caption);
        return ADD_NO_CNX;
    }
    const int free = CM_GetFreeSeatNum(page->callId);
    DebugTrace(MOD_QZ, 3, "test: callid:  %d, The freeseat: %d", page->callId, free);
    if (free < 1) {
        DebugTrace(MOD_QZ, 3, "Dialdialog: callid: %d, The freeseat: %d", page->callId, free);
        box(Text("dial_dialog", "msg_no_seat", ""), caption);
        return ADD_NO_SEAT;
    }
    DebugTrace(MOD_QZ, 3, "Dialdialog: The freeseat: %d", free);
    const int cnx = CC_AllocCnx();
    if (cnx < 0) {
        box(Text("dial_dialog", ConnectionErrorKey(cnx), ""), caption);
        return ADD_CNX_ERROR;
    }
    // The member's name and address stay local until the user agrees.
    std::string name = number, address = number;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        if (AddrNode* id = AddrBook_FindSipIdentity(g_addrBookRoots[0], number.c_str())) {
            name = AddrBook_GetIdentityDisplayName(id);
            if (const char* a = static_cast<AddrIdentity*>(id)->address) address = a;
        }
    }
    if (calls.IsNumberInCall(address)) {
        CC_FreeCnx(cnx);
        box(Text("multiconf_dialog", "conf_user_in", "User is in conference"), caption);
        return ADD_USER_IN;
    }
    if (!ask(Text("dial_dialog", "msg_addtoconf", ""),
             Text("dial_dialog", "msg_title", ""))) {
        CC_FreeCnx(cnx);
        return ADD_DECLINED;
    }
    page->AddCnx(cnx);
    if (!page->conference) {
        page->conference = page->hosting = true;
        const std::string own = calls.OwnNumber();
        page->AddAttendeePicture(-1, own, g_strUserId, "", 1);
        page->SetMemberPictureState(own, Text("multiconf_dialog", "conf_chairman", "chairman"));
        page->AddAttendeePicture(page->cnxIds[0], page->remoteNumber, page->nameLine,
                                 page->DirectionBitmapPath(true), page->callType);
        page->SetMemberPictureState(page->remoteNumber, Text("multiconf_dialog", "conf_talking", "Talking..."));
    }
    page->AddAttendeePicture(cnx, address, name, page->DirectionBitmapPath(true), 1);
    page->AddAttendee(cnx, number, CALLLOG_OUTGOING);
    page->StampAttendeeStartTime(cnx);
    CM_SendEvent(page->callId, cnx, CMEVT_NEWCALL, -1, -1, strdup(number.c_str()));
    return ADD_DONE;
}

void DialPageButtons(bool talking, bool unanswered, bool fieldEmpty, bool* dial, bool* hangup) {
    if (talking) {
        *dial = *hangup = true;
    } else if (unanswered) {
        *dial = false;
        *hangup = true;
    } else {
        *dial = !fieldEmpty;
        *hangup = false;
    }
}

void CallLogButtons(bool talking, bool unanswered, int selected, bool* dial, bool* hangup) {
    if (talking || unanswered) {
        *dial = false;
        *hangup = true;
    } else {
        *dial = selected == 1;
        *hangup = false;
    }
}

std::string DurationText(uint32_t s) {
    if (s == 0) return "";
    const uint32_t d = s / 86400, h = (s % 86400) / 3600, m = (s % 3600) / 60, sec = s % 60;
    char buf[64];
    if (d == 0 && h == 0) std::snprintf(buf, sizeof buf, "%02u:%02u", m, sec);
    else if (d == 0) std::snprintf(buf, sizeof buf, "%u:%02u:%02u", h, m, sec);
    else std::snprintf(buf, sizeof buf, "%u, %u:%02u:%02u", d, h, m, sec);
    return buf;
}

std::string StartTimeText(uint32_t startTime) {
    const time_t t = static_cast<time_t>(startTime);
    struct tm tm {};
    localtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  tm.tm_min);
    return buf;
}

std::string EntryLineTwo(const CallLogEntry& e, const std::string& durationWord) {
    std::string line = StartTimeText(e.startTime);
    if (e.duration != 0) line += "  " + durationWord + "  " + DurationText(e.duration);
    return line;
}

std::string PeerText(const CallLogEntry& e) {
    const std::string name(e.name, strnlen(e.name, sizeof e.name));
    return name.empty() ? std::string(e.number, strnlen(e.number, sizeof e.number)) : name;
}

int DirectionIcon(uint32_t flags) {
    switch (flags) {
        case CALLLOG_INCOMING: return 0;
        case CALLLOG_OUTGOING: return 1;
        case CALLLOG_MISSED: return 2;
        default: return -1;
    }
}

std::vector<size_t> PeerFilterEntries(const std::vector<CallLogEntry>& records) {
    std::vector<size_t> out;
    for (size_t i = 0; i < records.size(); ++i) {
        const std::string peer = PeerText(records[i]);
        if (peer.empty()) continue;
        if (std::none_of(out.begin(), out.end(), [&](size_t j) { return Same(PeerText(records[j]), peer); }))
            out.push_back(i);
    }
    return out;
}

std::vector<size_t> FilterRecords(const std::vector<CallLogEntry>& records, const CallLogEntry* peer, uint32_t mask) {
    std::vector<size_t> out;
    for (size_t i = 0; i < records.size(); ++i) {
        const CallLogEntry& r = records[i];
        if (peer) {
            const std::string name(r.name, strnlen(r.name, sizeof r.name));
            const bool match = !name.empty() ? Same(name, std::string(peer->name, strnlen(peer->name, sizeof peer->name)))
                                             : Same(std::string(r.number, strnlen(r.number, sizeof r.number)),
                                                    std::string(peer->number, strnlen(peer->number, sizeof peer->number)));
            if (!match) continue;
        }
        if ((r.typeFlags & mask) == 0 || DirectionIcon(r.typeFlags) < 0) continue;
        out.push_back(i);
    }
    return out;
}

std::string CallBackAddress(const std::string& number, const std::string& suffix) {
    return number.find('@') == std::string::npos ? number + suffix : number;
}

int KeypadValue(int controlId) { return controlId >= 1117 && controlId <= 1128 ? controlId - 1117 : -1; }

int KeyEvent(int key) {
    if (key >= '0' && key <= '9') return key - '0';
    if (key == '*') return 10;
    if (key == '#') return 11;
    return -1;
}

int KeypadSlideStep(int shown, int full, bool* done) {
    shown += 50;
    *done = shown >= full;
    return *done ? full : shown;
}

std::string Candidate::Key() const {
    if (invitee && invitee->Flag() != 0) return std::to_string(invitee->Flag());
    return invitee && invitee->Number() ? invitee->Number() : "";
}

std::vector<Candidate> DedupCandidates(std::vector<std::unique_ptr<CInvitee>> in, int* nextHandle) {
    std::vector<Candidate> out;
    for (auto& inv : in) {
        if (!inv) continue;
        Candidate c;
        c.invitee = std::move(inv);
        if (!out.empty() && Same(out.back().Key(), c.Key())) continue;  // consecutive duplicate
        c.handle = (*nextHandle)++;
        out.push_back(std::move(c));
    }
    return out;
}

bool ChatMemberOf(const std::string& number, PresenceBuddyRecord* out) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* root = g_addrBookRoots[0];
    AddrNode* node = nullptr;
    // An address reaches the contact through its SIP identity or, as the synchronisation gives a
    // buddy's SIP account without a host, by its user part on the account's own domain.
    if (number.find('@') != std::string::npos) node = AddrBook_FindSipContact(root, number.c_str());
    else if (!number.empty()) node = AddrBook_FindContactById(root, number.c_str());
    if (!node || presence_buddy_to_ui_record(out, node) != 1) return false;
    // The conversion leaves the presence out; the chat window would show an online peer as offline.
    AddrNode* contact = node->kind == ADDR_KIND_IDENTITY ? node->parent : node;
    AddrNode* buddy = contact ? AddrBook_FindType9Identity(contact) : nullptr;
    out->online = buddy && AddrBook_IsIdentityOnline(buddy) ? 1 : 0;
    return true;
}

std::function<void(const PresenceBuddyRecord&)>& ChatOpener() {
    static std::function<void(const PresenceBuddyRecord&)> opener;
    return opener;
}

bool OpenChatWith(const std::string& number) {
    PresenceBuddyRecord member{};
    if (!ChatMemberOf(number, &member)) return false;
    if (!ChatOpener()) return false;
    ChatOpener()(member);
    return true;
}

}  // namespace calls
