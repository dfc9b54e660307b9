// The access server's answers the frame applies to the address book itself: removed contacts,
// groups and cards, added groups, the contact counter and the panel picture.
#pragma once

#include <string>

struct AsRequest;

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

// REM, RMG, RML, ADG, SUD and REL: applies the answer to the store under its mutex. The request
// stays with the caller; commands other than these come back with handled = false.
BookResultEffect ApplyBookResult(AsRequest* request);

}  // namespace shell
