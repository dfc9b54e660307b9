// Address-book tree: groups, contacts and identities under three roots, with contact, service and
// online counters kept on every ancestor, and the per-user local configuration of group flags.
#pragma once

#include <cstdint>

#include "common/presence_link.h"
#include "platform/sync.h"

struct Account;

// Node kinds.
inline constexpr uint32_t ADDR_KIND_GROUP = 1;
inline constexpr uint32_t ADDR_KIND_CONTACT = 2;
inline constexpr uint32_t ADDR_KIND_IDENTITY = 4;
inline constexpr uint32_t ADDR_KIND_LIST = 7;  // contact list (a contact in the third root)

// Identity types the store gives a meaning of its own.
inline constexpr uint32_t ADDR_TYPE_SMS = 3;      // number that can receive text messages
inline constexpr uint32_t ADDR_TYPE_PHONE = 8;    // shown as the name of a conference invitee
inline constexpr uint32_t ADDR_TYPE_SERVICE = 9;  // messaging-service identity ("uid" setting)

// Flag bits used by the store; the low byte belongs to the user interface.
inline constexpr uint32_t ADDR_FLAG_UI_MASK = 0xFFu;
inline constexpr uint32_t ADDR_FLAG_TYPED = 0x100u | 0x400u;  // identity types 8 and 9
inline constexpr uint32_t ADDR_FLAG_SERVICE = 0x200u;         // identity of a service account
inline constexpr uint32_t ADDR_FLAG_BLOCKED = 0x800u;         // blocked contact
inline constexpr uint32_t ADDR_FLAG_BUSY = 0x1000u;           // online identity that shows busy

// Common head of every node. A node owns its children only through AddrBook_DeleteSubtree.
struct AddrNode {
    uint32_t kind = 0;
    uint32_t type = 0;
    AddrNode* prev = nullptr;
    AddrNode* next = nullptr;
    AddrNode* parent = nullptr;
    AddrNode* child = nullptr;
    uint32_t flags = 0;
    char* id = nullptr;  // heap text; "0" for the roots
};

// Groups, contacts and contact lists carry the counters.
struct AddrCounted : AddrNode {
    char* name = nullptr;
    uint32_t contactCount = 0;  // contact: 1 once attached; group: contacts below
    uint32_t serviceCount = 0;  // type-9 identities below attached while their account was online
    uint32_t onlineCount = 0;   // contact: its online identities; group: contacts below that are online
};

struct AddrGroup : AddrCounted {
    uint32_t memberCount = 0;  // chat group: its members as the access server counts them
};

struct AddrContact : AddrCounted {
    char* nick = nullptr;   // heap text or null
    char* extra = nullptr;  // free text of the user interface, or null
};

struct AddrIdentity : AddrNode {
    char* address = nullptr;
    char* nick = nullptr;
    char* altName = nullptr;  // second name
    uint32_t online = 0;      // 1 = online
    PresenceSettingList settings;
    Account* account = nullptr;
    // What this identity added to its contact's counters, so detaching takes back exactly that.
    uint8_t countedService = 0;
    uint8_t countedOnline = 0;
    // A messaging identity reported by the current buddy list of its account (the frame's mark).
    bool seen = false;
};

// The three roots: account buddies (saved to the local configuration), second root, contact lists.
extern AddrGroup* const g_addrBookRoots[3];
// Held by the user interface and the presence handlers around changes; not taken below.
extern plat::RecursiveMutex g_hAddrBookMutex;

// Creation and freeing. Texts are copied; creators return null without an id or when memory runs
// out. The free functions detach a node that is still linked and delete what lies below it.
AddrGroup* AddrBook_NewGroup(const char* name, const char* id);
AddrContact* AddrBook_NewContact(const char* name, const char* nick, const char* id);
void AddrBook_SetKind7(AddrNode* node);
AddrIdentity* AddrBook_NewIdentity(Account* account, const char* address, const char* nick, const char* id);
void AddrBook_FreeGroup(AddrNode* group);
void AddrBook_FreeContact(AddrNode* contact);
void AddrBook_FreeIdentity(AddrNode* identity);

// Linking without counters. Without a sibling the node becomes the parent's first child, else it
// goes directly after the sibling (which must be a child of parent).
void AddrBook_InsertChild(AddrNode* node, AddrNode* parent, AddrNode* sibling);
void AddrBook_LinkNode(AddrNode* node, AddrNode* parent, AddrNode* sibling);
void AddrBook_UnlinkNode(AddrNode* node);
// Links the node and sets its contact count to 1 without touching the ancestors.
void AddrBook_AttachCounted(AddrNode* node, AddrNode* parent, AddrNode* sibling);

// Attaching and detaching with counters.
// 0 (nothing linked) when the group already holds a contact with the same id; else 1.
int AddrBook_AttachContact(AddrNode* contact, AddrNode* group, AddrNode* sibling);
// 0 when the group is a root or the parent lies inside the group's own subtree; else 1.
int AddrBook_AttachGroup(AddrNode* group, AddrNode* parent, AddrNode* sibling);
// Takes the node's counters off every ancestor and unlinks it (contacts and groups).
void AddrBook_DetachContact(AddrNode* node);
// Detach, then attach at the front of the new parent; the attach result (on refusal the node is
// left unlinked).
int AddrBook_MoveContact(AddrNode* contact, AddrNode* group);
int AddrBook_MoveGroup(AddrNode* group, AddrNode* parent);
// A type-9 identity of an online account adds 1 to the service counts; an online identity adds
// 1 to its contact's online count (and to the ancestors' when the contact became online).
int AddrBook_AttachIdentity(AddrNode* identity, AddrNode* contact, AddrNode* sibling);
// Takes back exactly what the identity added, then unlinks it.
void AddrBook_DetachIdentity(AddrNode* identity);
// Stores the state (1 = online), moving the counters of an attached identity.
void AddrBook_SetIdentityOnline(AddrNode* identity, uint32_t state);
bool AddrBook_IsIdentityOnline(const AddrNode* identity);
// Busy is a kind of online: it moves no counter and reads true only while the identity is online.
void AddrBook_SetIdentityBusy(AddrNode* identity, bool busy);
bool AddrBook_IsIdentityBusy(const AddrNode* identity);

// Texts and fields.
int AddrBook_RenameContact(AddrNode* contact, const char* name);
int AddrBook_RenameGroup(AddrNode* group, const char* name);
void AddrBook_SetContactNick(AddrNode* contact, const char* text);
void AddrBook_SetContactExtra(AddrNode* contact, const char* text);
void AddrBook_SetIdentityAltName(AddrNode* identity, const char* text);
void AddrBook_SetIdentityType(AddrNode* identity, uint32_t type);
// Contact: nick, else name, else id; identity: that of its contact; group: name, else id.
// Never null ("" when nothing is set).
const char* AddrBook_GetDisplayName(const AddrNode* node);
// With ADDR_FLAG_SERVICE: nick, second name, the contact's name, its address (first not empty);
// otherwise the contact's name. Never null.
const char* AddrBook_GetIdentityDisplayName(const AddrNode* identity);

// Roots and whole trees.
int AddrBook_Init();
// Deletes everything below the node (deepest first child first), each with its counters, then
// frees the node itself unless it is a root (a root is emptied). A linked node is detached first.
void AddrBook_DeleteSubtree(AddrNode* node);
void AddrBook_Destroy();
// True for one of the three roots.
bool AddrBook_IsRoot(const AddrNode* node);

// Pre-order walk of the start node's subtree, the start node first. The first node for which the
// action returns 0 ends the walk and is returned; null when the walk ends. The action must not
// change the tree.
using AddrWalkAction = int (*)(AddrNode* node, void* a, void* b);
AddrNode* AddrBook_Walk(AddrNode* start, AddrWalkAction action, void* a, void* b);

// Walk action: writes the low byte of a group's flags (groups other than the first root) to the
// local configuration file, section "localconf", key = the group's id. Always returns 1.
int LocalConf_SaveGroupFlags(AddrNode* node, void* a, void* b);
