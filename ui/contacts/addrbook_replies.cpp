// Address-book replies of the access server: the synchronisation, an added buddy, added and updated cards.
#include "ui/contacts/addrbook_replies.h"

#include <cstring>
#include <mutex>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/appenv.h"
#include "common/debug.h"
#include "common/grouprecord.h"
#include "common/storeutil.h"
#include "platform/fs.h"
#include "platform/ini.h"
#include "platform/msgqueue.h"
#include "service/as_client.h"
#include "service/as_records.h"
#include "service/castrel/castrel_plugin.h"
#include "service/presence_core.h"
#include "ui/contacts/addrbook_logic.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/shell_messages.h"

namespace contacts {

namespace {

AddrNode* Root(int i) { return g_addrBookRoots[i]; }

// Groups from the server nest at most this deep (the walks over the tree recurse by depth).
constexpr int kMaxGroupDepth = 32;

int Depth(const AddrNode* n) {
    int depth = 0;
    for (; n && n->parent; n = n->parent) ++depth;
    return depth;
}

bool SameId(const AddrNode* n, const char* id) { return n && n->id && id && store::CompareNoCase(n->id, id) == 0; }

AddrNode* FindInSubtree(AddrNode* node, const char* id) {
    if (!node) return nullptr;
    if (SameId(node, id)) return node;
    for (AddrNode* c = node->child; c; c = c->next)
        if (AddrNode* f = FindInSubtree(c, id)) return f;
    return nullptr;
}

// The group with that id under root 0 ("0" is the root itself).
AddrNode* BuddyGroup(const char* id) {
    if (!id) return nullptr;
    AddrNode* g = FindInSubtree(Root(0), id);
    return g && g->kind == ADDR_KIND_GROUP ? g : nullptr;
}

std::string Cut(const char* text, size_t max) {
    std::string s = text ? text : "";
    if (s.size() > max) s.resize(max);
    return s;
}

AddrNode* LastChild(AddrNode* node) {
    AddrNode* last = node->child;
    while (last && last->next) last = last->next;
    return last;
}

// Identities keep the server's order below their contact.
bool AttachLast(AddrIdentity* identity, AddrNode* contact) {
    return AddrBook_AttachIdentity(identity, contact, LastChild(contact)) != 0;
}

void AttachOrFree(AddrIdentity* identity, AddrNode* contact) {
    if (!identity) return;
    if (!AttachLast(identity, contact)) AddrBook_FreeIdentity(identity);
}

// Account entries: type 9 for the messaging account, 8 otherwise (a service the program does not
// know included); none without such an account. Returns the attached messaging identity, if any.
AddrIdentity* AddAccounts(const CAsBuddy* b, AddrNode* contact) {
    AddrIdentity* messaging = nullptr;
    for (const CAsBuddyService* s : b->services) {
        if (!s || !s->account) continue;
        Account* account = Account_FindByType(static_cast<uint32_t>(s->serviceId));
        if (!account) continue;
        AddrIdentity* id = AddrBook_NewIdentity(account, s->account, nullptr, s->account);
        if (!id) continue;
        AddrBook_SetIdentityType(id, s->serviceId == 1 ? 9 : 8);
        if (!AttachLast(id, contact)) {
            AddrBook_FreeIdentity(id);
            continue;
        }
        if (s->serviceId == 1) messaging = id;
    }
    return messaging;
}

void AddBuddyCti(const CAsBuddy* b, AddrNode* contact) {
    Account* sip = Account_FindByType(ACCOUNT_TYPE_SIP);
    for (const CAsCtiEntry* e : b->ctiEntries) {
        if (!e || !e->value) continue;
        AddrIdentity* id = AddrBook_NewIdentity(sip, e->value, nullptr, e->value);
        if (!id) continue;
        AddrBook_SetIdentityType(id, e->type >= 2 && e->type <= 7 ? static_cast<uint32_t>(e->type) : 2);
        AttachOrFree(id, contact);
    }
}

// A contact for the buddy under its group; null when the group is missing or attaching fails.
AddrNode* NewBuddy(const CAsBuddy* b, bool withBlock) {
    AddrNode* group = BuddyGroup(b->groupId);
    if (!group || !b->uid) return nullptr;
    AddrContact* c = AddrBook_NewContact(b->displayName && *b->displayName ? b->displayName : nullptr,
                                         b->nickName && *b->nickName ? b->nickName : nullptr, b->uid);
    if (!c) return nullptr;
    if (b->logo) AddrBook_SetContactExtra(c, b->logo);
    if (withBlock && b->listType == 1) c->flags |= ADDR_FLAG_BLOCKED;
    if (!AddrBook_AttachContact(c, group, nullptr)) {
        AddrBook_FreeContact(c);
        return nullptr;
    }
    return c;
}

// A card node with its identities, not yet linked; null when it cannot be made.
AddrNode* NewCard(const CAsList* list, bool clampTypes) {
    if (!list || !list->listId) return nullptr;
    AddrContact* card = AddrBook_NewContact(list->listName, nullptr, list->listId);
    if (!card) return nullptr;
    AddrBook_SetKind7(card);
    Account* sip = Account_FindByType(ACCOUNT_TYPE_SIP);
    for (const CAsCtiEntry* e : list->ctiEntries) {
        if (!e || !e->value) continue;
        AddrIdentity* id = AddrBook_NewIdentity(e->type == 4 ? nullptr : sip, e->value, nullptr, e->value);
        if (!id) continue;
        uint32_t type = static_cast<uint32_t>(e->type < 0 ? 0 : e->type);
        // The VoIP number and service id a card dialog stored stay what they are: as office numbers
        // the next card edit would delete them on the server and a rename would change their kind.
        if (clampTypes && (type < 2 || type > 5) && type != 8 && type != 9) type = 2;
        AddrBook_SetIdentityType(id, type);
        AttachOrFree(id, card);
    }
    return card;
}

bool AttachCard(AddrNode* card) {
    if (AddrBook_AttachContact(card, Root(2), nullptr)) return true;
    AddrBook_DeleteSubtree(card);
    return false;
}

void ForgetAndDelete(AddrNode* node) {
    if (Hooks().forgetNode) Hooks().forgetNode(node);
    AddrBook_DeleteSubtree(node);
}

}  // namespace

OwnProfile& Own() {
    static OwnProfile own;
    return own;
}

ReplyHooks& Hooks() {
    static ReplyHooks hooks;
    return hooks;
}

std::string LocalConfPath() {
    const std::string user = shell::SafeNameComponent(g_strUserId);
    if (user.empty()) return std::string();
    std::string path = plat::PathJoin(shell::Paths().profileFolder, "individual");
    plat::EnsureDirectory(path);
    path = plat::PathJoin(path, user);
    plat::EnsureDirectory(path);
    g_strLocalConfPath = plat::PathJoin(path, user);
    return g_strLocalConfPath;
}

int OnAsSyncReply(AsRequest* request) {
    if (!request || request->kind != AS_DATA_SYNC || !request->data) return 1;
    auto* sync = static_cast<CAsSyncResult*>(request->data);
    const int result = FillFromSync(sync, request->result);
    delete sync;
    request->data = nullptr;
    request->kind = AS_DATA_NONE;
    return result;
}

int FillFromSync(CAsSyncResult* sync, int resultCode, std::vector<Account*>* added) {
    if (!sync) return 1;
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    int result = 0;
    OwnProfile& own = Own();
    own = OwnProfile();
    own.displayName = Cut(sync->displayName, 256);
    const CAsProfileList& profiles = sync->profiles.entries.empty() ? g_profileList : sync->profiles;
    if (!profiles.entries.empty() && profiles.entries.front()) own.currentProfile = Cut(profiles.entries.front()->name, 256);
    if (sync->services.empty()) {
        result = 1;
    } else {
        own.logo = Cut(sync->logo, 256);
        {
            std::lock_guard<plat::RecursiveMutex> accounts(g_hAccountMutex);
            for (const AsServiceRecord* s : sync->services) {
                if (!s || !s->account) continue;
                Account* a = Account_New(s->account, static_cast<uint32_t>(s->serviceId));
                if (!a) {
                    DebugTrace(MOD_QZ, 3, "Not enough memory");
                    result = 1;
                    break;
                }
                Account_SetPassword(a, s->password);
                Account_SetAutoLogin(a, 1);
                if (!Account_Add(a)) Account_Free(a);
                else if (added) added->push_back(a);
            }
        }
        if (result == 0) {
            const std::string conf = LocalConfPath();
            for (const AsGroupRecord* g : sync->groups) {
                if (!g || !g->id || FindInSubtree(Root(0), g->id) || SameId(Root(0), g->id)) continue;
                AddrNode* parent = BuddyGroup(g->parentId);
                if (!parent) continue;
                if (Depth(parent) >= kMaxGroupDepth) {
                    DebugTrace(MOD_QZ, 2, "address book: group %s skipped, nested deeper than %d", g->id, kMaxGroupDepth);
                    continue;
                }
                AddrGroup* group = AddrBook_NewGroup(g->name, g->id);
                if (!group) continue;
                if (!AddrBook_AttachGroup(group, parent, nullptr)) {
                    AddrBook_FreeGroup(group);
                    continue;
                }
                if (!conf.empty())
                    group->flags = (group->flags & ~ADDR_FLAG_UI_MASK) |
                                   (GetPrivateProfileIntA("localconf", g->id, 0, conf.c_str()) & ADDR_FLAG_UI_MASK);
            }
            for (const CAsBuddy* b : sync->buddies) {
                if (!b) continue;
                if (!BuddyGroup(b->groupId)) continue;
                if (AddrNode* c = NewBuddy(b, true)) {
                    AddAccounts(b, c);
                    AddBuddyCti(b, c);
                }
            }
            for (const CAsList* l : sync->lists)
                if (AddrNode* card = NewCard(l, true)) AttachCard(card);
            for (int i = 0; i < 2; ++i) {
                GroupRecord* list = sync->queueRoots[i];
                if (!list) continue;
                sync->queueRoots[i] = nullptr;
                list->words[0] = resultCode;
                list->words[1] = i + 1;  // category: 1 created, 2 joined
                HWND frame = g_hMainWnd.load();
                if (!frame || !PostMessage(frame, WM_AS_GROUP_LIST, 0, reinterpret_cast<LPARAM>(list))) GroupRecord_Free(list);
            }
        }
    }
    return result;
}

int OnAsAddBuddyReply(AsRequest* request) {
    if (!request || request->kind != AS_DATA_BUDDY || !request->data) return 1;
    auto* b = static_cast<const CAsBuddy*>(request->data);
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* c = NewBuddy(b, false);
    if (!c) return 1;
    if (AddrIdentity* messaging = AddAccounts(b, c)) {
        Account* account = messaging->account;
        if (account && account->connection && Account_IsOnline(account))
            castrel_add_buddy(static_cast<PresenceConnectionRec*>(account->connection), messaging->address);
    }
    AddBuddyCti(b, c);
    if (Hooks().rebuildBuddy) Hooks().rebuildBuddy(c->id);
    return 0;
}

int OnAsAddListReply(AsRequest* request) {
    if (!request || request->kind != AS_DATA_LIST || !request->data) return 1;
    auto* list = static_cast<const CAsList*>(request->data);
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* card = NewCard(list, false);
    if (!card || !AttachCard(card)) return 1;
    if (Hooks().rebuildCard) Hooks().rebuildCard(list->listId);
    return 0;
}

int OnAsUpdateListReply(AsRequest* request) {
    if (!request || request->kind != AS_DATA_LIST || !request->data) return 1;
    auto* list = static_cast<const CAsList*>(request->data);
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* old = nullptr;
    for (AddrNode* c = Root(2)->child; c; c = c->next)
        if (c->kind == ADDR_KIND_LIST && SameId(c, list->listId)) old = c;
    if (!old) return 1;
    // The replacement is made first: a failure leaves the old card and its items as they were.
    AddrNode* card = NewCard(list, false);
    if (!card) return 1;
    ForgetAndDelete(old);
    const bool attached = AttachCard(card);
    if (Hooks().rebuildCard) Hooks().rebuildCard(nullptr);
    return attached ? 0 : 1;
}

void CreateDefaultGroups() {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    const std::pair<const char*, const char*> groups[] = {{"1", "groupcreate"}, {"2", "groupjoin"}};
    for (const auto& [id, key] : groups) {
        if (FindInSubtree(Root(1), id)) continue;
        const std::string name = Cut(ToAnsi(shell::LangText("group_dlg", key, "")).c_str(), 255);
        AddrGroup* g = AddrBook_NewGroup(name.c_str(), id);
        if (g && !AddrBook_AttachGroup(g, Root(1), nullptr)) AddrBook_FreeGroup(g);
    }
}

void AddChatGroups(const GroupRecord* record, int category) {
    if (!record) return;
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* parent = nullptr;
    for (AddrNode* c = Root(1)->child; c; c = c->next)
        if (SameId(c, category == 1 ? "1" : "2")) parent = c;
    uint32_t total = 0;
    for (GroupRecordEntry* e : record->entries) {
        auto* q = dynamic_cast<CAsChatQueue*>(e);
        if (!q || !q->queueId) continue;
        // A queue the Groups root holds already, or no group to take it, ends the list there.
        if (!parent || parent->kind != ADDR_KIND_GROUP || FindInSubtree(Root(1), q->queueId)) {
            DebugTrace(MOD_AS, 2, "AS Return QID Wrong !!");
            break;
        }
        AddrGroup* g = AddrBook_NewGroup(q->displayName && *q->displayName ? q->displayName : q->name, q->queueId);
        if (!g || !AddrBook_AttachGroup(g, parent, nullptr)) {
            DebugTrace(MOD_AS, 2, "AS QID Add Fail !!");
            if (g) AddrBook_FreeGroup(g);
            break;
        }
        g->memberCount = q->memberCount > 0 ? static_cast<uint32_t>(q->memberCount) : 0;
        total += g->memberCount;
    }
    // The default group is filled; without a count of its own it counts the members of its groups.
    if (parent && parent->kind == ADDR_KIND_GROUP) {
        parent->flags |= 0x001;
        auto* group = static_cast<AddrGroup*>(parent);
        if (group->memberCount == 0) group->memberCount = total;
    }
}

bool AddGroupMembers(const GroupRecord* record, const char* groupId) {
    if (!record || !groupId) return false;
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* group = FindInSubtree(Root(1), groupId);
    const bool isGroup = group && group->kind == ADDR_KIND_GROUP;
    uint32_t total = 0;
    for (const GroupMember* m : record->members) {
        if (!m || !m->first) continue;
        if (!isGroup) {
            DebugTrace(MOD_QGROUP, 1, "QContact ERROR %s name %s uid %s", groupId, m->second ? m->second : "", m->first);
            return false;
        }
        // A member that cannot be added (one the group holds already among them) ends the list there.
        AddrContact* c = AddrBook_NewContact(m->second && *m->second ? m->second : nullptr, nullptr, m->first);
        if (!c || !AddrBook_AttachContact(c, group, nullptr)) {
            DebugTrace(MOD_QGROUP, 1, "QGroup Add ERROR");
            if (c) AddrBook_FreeContact(c);
            break;
        }
        ++total;
        for (const GroupItem* item : m->items) {
            if (!item || !item->text) continue;
            Account* account = Account_FindByType(static_cast<uint32_t>(item->value));
            AddrIdentity* id = AddrBook_NewIdentity(account, item->text, nullptr, item->text);
            if (!id) continue;
            AddrBook_SetIdentityType(id, item->value == 1 ? 9 : 8);
            // A messaging identity carries the member's user number, which its messages go to.
            if (item->value == 1 && m->value != 0) presence_setting_set_int(&id->settings, "uid", nullptr, m->value);
            AttachOrFree(id, c);
        }
    }
    if (!isGroup) return false;
    group->flags |= 0x001;
    // The server's count stays; a group it gave none counts the members now fetched.
    auto* counted = static_cast<AddrGroup*>(group);
    if (counted->memberCount == 0) counted->memberCount = total;
    return true;
}

}  // namespace contacts
