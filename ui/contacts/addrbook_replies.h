// The access server's address-book replies (SYN, ADD, ADL, UDL) turned into store nodes, and the two
// default groups of the Groups pane.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct AsRequest;
struct AddrNode;
struct Account;
struct GroupRecord;
class CAsSyncResult;

namespace contacts {

// The signed-in user's own texts as the synchronisation gave them.
struct OwnProfile {
    std::string displayName;     // at most 256 characters
    std::string logo;            // at most 256 characters
    std::string currentProfile;  // first profile's name, at most 256 characters
};
OwnProfile& Own();

// What the replies ask of the page; empty functions when there is no page.
struct ReplyHooks {
    std::function<void(const char* id)> rebuildBuddy;  // id null: the whole tree
    std::function<void(const char* id)> rebuildCard;
    // Called before a subtree is freed, so that no tree item keeps pointing into it.
    std::function<void(AddrNode* node)> forgetNode;
};
ReplyHooks& Hooks();

// 0 on success, 1 on failure. The sync handler deletes its record and clears the request's data;
// the others leave the record to the caller.
int OnAsSyncReply(AsRequest* request);
// The same for a synchronisation record that stays with the caller (its chat-group lists are taken).
// `added`, when given, receives the accounts the sync created, in order.
int FillFromSync(CAsSyncResult* sync, int resultCode, std::vector<Account*>* added = nullptr);
int OnAsAddBuddyReply(AsRequest* request);
int OnAsAddListReply(AsRequest* request);
int OnAsUpdateListReply(AsRequest* request);
// Groups "1" (created) and "2" (joined) under the Groups root, named from the language file.
void CreateDefaultGroups();
// Chat groups of a group list (the sync's created or joined list, category 1 or 2) under their
// default group, each with the server's member count; the default group is then filled and, without
// a count, counts their members. The record stays with the caller.
void AddChatGroups(const GroupRecord* record, int category);
// The members of a member query under the group with that id, which is then filled and, without a
// count from the server, counts them; false when the group is unknown.
bool AddGroupMembers(const GroupRecord* record, const char* groupId);
// The local configuration file of the signed-in user (made on the way); empty without a user.
std::string LocalConfPath();

}  // namespace contacts
