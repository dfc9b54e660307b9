// The address book in the running frame: the Contacts page it registers and the frame messages it takes.
#pragma once

#include "platform/wintypes.h"

struct AddrNode;
struct PresenceBuddyRecord;
struct PresenceConnection;

namespace contacts {

// Address-book commands of the frame's menus.
enum : int {
    MENU_ADD_CONTACT = 2937,
    MENU_DELETE_USER = 2938,
    MENU_NEW_GROUP = 2940,
    MENU_DELETE_GROUP = 2941,
    MENU_ADD_CONTACT2 = 2957,
    MENU_NEW_USER = 2958,
    MENU_BLOCK_LIST = 2960,
    MENU_NICKNAME = 2961,
};
// Runs one of them on the Contacts page (made the current page first); false for other ids.
bool MenuCommand(int id);

// Registers the Contacts page and the message filter with the frame; call before the frame is made.
void InstallInFrame();
// The filter: address-book answers, chat-group lists and commands are taken; the synchronisation
// and presence notices are read and left to the frame.
bool FilterFrameMessage(UINT message, WPARAM wParam, LPARAM lParam);
// A buddy's presence reached the frame: the store's messaging identity follows it and the
// My-contacts tree relabels that contact. Returns the identity, or null when none matches.
AddrNode* ApplyPresence(const PresenceConnection* connection, const PresenceBuddyRecord* record);
// The start page's online count from the contact tree's counter.
void ShowCounts();

}  // namespace contacts
