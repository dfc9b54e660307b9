// Decisions of the dial page, the call log page, the keypad and the conference chooser that need
// no window: number history, adding a conference member, button rules, log texts and filters.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/addrbook_query.h"
#include "common/calllog.h"
#include "service/presence_notice.h"

namespace calls {

class CallController;
class CallPageModel;

// The dial page's number history: most recent first, at most 20, no two equal ignoring case.
class DialHistory {
public:
    static constexpr size_t kMax = 20;
    void Add(const std::string& number);
    const std::vector<std::string>& Entries() const { return entries_; }

private:
    std::vector<std::string> entries_;
};

// The number field's text as the page reads it: at most 63 characters.
std::string DialText(const std::string& field);

// Adding a number to the running call from the dial page; the refusal that stopped it.
enum AddMemberResult : int {
    ADD_DONE = 0,
    ADD_NO_PRIORITY,  // this side is a member of someone else's conference
    ADD_NO_CNX,       // no idle connection
    ADD_NO_SEAT,      // the conference is full
    ADD_CNX_ERROR,    // allocating the connection failed
    ADD_USER_IN,      // the number already takes part in a call
    ADD_DECLINED,     // the user answered No
};
// ask(question, caption) answers the Yes/No question; box(text, caption) shows a refusal.
AddMemberResult AddConferenceMember(CallController& calls, CallPageModel* page, int currentCall,
                                    const std::string& number,
                                    const std::function<bool(const std::string&, const std::string&)>& ask,
                                    const std::function<void(const std::string&, const std::string&)>& box);
// The connection-error text key for a CC_AllocCnx result.
const char* ConnectionErrorKey(int result);

// Dial-bar buttons of the dial page: {talking, unanswered, none} x field empty or not.
void DialPageButtons(bool talking, bool unanswered, bool fieldEmpty, bool* dial, bool* hangup);
// ... and of the call log page (exactly one entry selected to dial).
void CallLogButtons(bool talking, bool unanswered, int selected, bool* dial, bool* hangup);

// Call log texts.
std::string DurationText(uint32_t seconds);  // "" for 0
std::string StartTimeText(uint32_t startTime);  // local time "%d-%02d-%02d %02d:%02d"
std::string EntryLineTwo(const CallLogEntry& e, const std::string& durationWord);
std::string PeerText(const CallLogEntry& e);   // display name, else number
int DirectionIcon(uint32_t typeFlags);         // 0 in, 1 out, 2 missed, -1 hidden
// Peers of the filter: distinct (ignoring case) in order of their most recent call; indexes into records.
std::vector<size_t> PeerFilterEntries(const std::vector<CallLogEntry>& records);
// Records shown for a peer (null = all) and a direction mask; indexes into records.
std::vector<size_t> FilterRecords(const std::vector<CallLogEntry>& records, const CallLogEntry* peer, uint32_t mask);
// The call-back address: the number with the domain suffix when it has no at sign.
std::string CallBackAddress(const std::string& number, const std::string& domainSuffix);

// The messaging buddy behind a call's number: with an at sign the contact of a SIP identity (or of
// the user part on the account's own domain), without one a contact id; false when none is found
// or it has no messaging user.
bool ChatMemberOf(const std::string& number, PresenceBuddyRecord* out);
// How a one-to-one chat is opened (the chat windows sit beside these windows; the program sets it).
std::function<void(const PresenceBuddyRecord& member)>& ChatOpener();
// Opens or raises the chat with the buddy behind the number; false when there is none.
bool OpenChatWith(const std::string& number);

// Keypad: the key value of a control id (1117-1128), and the slide-out step.
int KeypadValue(int controlId);
// The telephone event of a key character: '0'-'9' are 0-9, '*' 10 and '#' 11; -1 for any other.
int KeyEvent(int key);
// One 100 ms step: the new shown width; *done when the window is fully out.
int KeypadSlideStep(int shown, int full, bool* done);

// Conference chooser candidates: consecutive people with the same key collapse to the first.
// Each keeps a unique handle so a move always finds the right person.
struct Candidate {
    int handle = 0;
    std::unique_ptr<CInvitee> invitee;
    std::string Key() const;  // the service key, else the number
};
std::vector<Candidate> DedupCandidates(std::vector<std::unique_ptr<CInvitee>> in, int* nextHandle);

}  // namespace calls
