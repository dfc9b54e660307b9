// The access server's answers the frame applies to the address book itself: removed, renamed and
// moved contacts and groups, removed cards, added groups, the contact counter and the panel picture.
#pragma once

#include <set>
#include <string>
#include <vector>

struct Account;
struct AddrIdentity;
struct AsRequest;
struct PresenceConnection;

namespace shell {

// The panel picture of the chat windows, as the server last named it (at most 256 characters).
extern std::string g_panelPicture;
// The contact-number counter the start page shows; -1 before the server has sent one.
extern int g_contactCounter;

// Page trees to rebuild after an answer.
enum : unsigned { REBUILD_BUDDIES = 1, REBUILD_CARDS = 2, REBUILD_GROUPS = 4 };

// What the windows do once the store has taken an answer.
struct BookResultEffect {
    bool handled = false;           // the command is one of these; the caller frees the request
    unsigned rebuild = 0;           // REBUILD_* bits
    bool onlineCount = false;       // the start page's online count
    std::string removedContact;     // chat windows hear WM_PRESENCE_BUDDY (this id, 0)
    const char* boxSection = nullptr;  // a failure box: text [section] key with "%s" = boxArg
    const char* boxKey = nullptr;
    const char* boxDefault = nullptr;  // the built-in text, with its "%s"
    std::string boxArg;
    bool counterChanged = false;    // the start page shows g_contactCounter again
    bool panelChanged = false;      // chat windows reload the panel picture
};

// REM, REB, MVB, RMG, MVG, RNG, RML, ADG, SUD and REL: applies the answer to the store under its
// mutex; a failure, or an item the store does not have, names its box and changes nothing. The
// request stays with the caller; commands other than these come back with handled = false.
BookResultEffect ApplyBookResult(AsRequest* request);

// Presence notices against the contact tree (the caller holds the address book's mutex).
// The messaging identity of the connection's account for a buddy's address, which the library may
// give with the service's domain after "@"; null when the contact tree has none.
AddrIdentity* FindBuddyIdentity(const PresenceConnection* connection, const char* address);
// Clears the seen mark of the account's messaging identities in the contact tree (a buddy list begins).
void ClearSeenMarks(const Account* account);
// The account's messaging identities in the contact tree whose seen mark is clear.
std::vector<AddrIdentity*> UnseenIdentities(const Account* account);

// The name of a chat group of the Groups root ("" when there is none); takes the mutex itself.
std::string ChatGroupName(const char* id);

// The stored buddy address, alone or followed by "@" and the service domain, as the messaging library
// reports it (case ignored).
bool SameBuddy(const char* stored, const char* reported);

}  // namespace shell
