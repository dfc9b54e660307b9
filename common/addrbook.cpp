// Address-book tree: node creation, linking, counters on every ancestor, roots, walk, local configuration.
#include "common/addrbook.h"

#include <cstdlib>
#include <new>

#include "common/account.h"
#include "common/appenv.h"
#include "common/debug.h"
#include "common/storeutil.h"
#include "platform/ini.h"

namespace {

AddrGroup MakeRoot() {
    AddrGroup root;
    root.kind = ADDR_KIND_GROUP;
    return root;
}

AddrGroup s_roots[3] = {MakeRoot(), MakeRoot(), MakeRoot()};

bool IsCounted(const AddrNode* node) {
    return node && (node->kind == ADDR_KIND_GROUP || node->kind == ADDR_KIND_CONTACT ||
                    node->kind == ADDR_KIND_LIST);
}

bool IsContactLike(const AddrNode* node) {
    return node && (node->kind == ADDR_KIND_CONTACT || node->kind == ADDR_KIND_LIST);
}

AddrIdentity* AsIdentity(AddrNode* node) {
    return node && node->kind == ADDR_KIND_IDENTITY ? static_cast<AddrIdentity*>(node) : nullptr;
}

// What a counted node adds to its parent's online count: a contact counts once however many of its
// identities are online; a group or list passes on the number of online contacts below it.
uint32_t OnlineShare(const AddrCounted* node) {
    if (node->kind == ADDR_KIND_CONTACT) return node->onlineCount ? 1u : 0u;
    return node->onlineCount;
}

void Adjust(uint32_t* counter, int64_t delta, const AddrNode* node) {
    int64_t value = static_cast<int64_t>(*counter) + delta;
    if (value < 0) {
        DebugTrace(MOD_ADDRBOOK, 1, "Counter of node %s would drop below 0, kept at 0",
                   node->id ? node->id : "(null)");
        value = 0;
    } else if (value > static_cast<int64_t>(UINT32_MAX)) {
        value = UINT32_MAX;
    }
    *counter = static_cast<uint32_t>(value);
}

// Applies counter changes to node and every counted ancestor up to the root, one step at a time.
void Propagate(AddrNode* node, int64_t contacts, int64_t service, int64_t online) {
    for (; IsCounted(node) && (contacts || service || online); node = node->parent) {
        AddrCounted* counted = static_cast<AddrCounted*>(node);
        uint32_t before = OnlineShare(counted);
        Adjust(&counted->contactCount, contacts, node);
        Adjust(&counted->serviceCount, service, node);
        Adjust(&counted->onlineCount, online, node);
        online = static_cast<int64_t>(OnlineShare(counted)) - static_cast<int64_t>(before);
    }
}

// True when candidate is node itself or lies below it.
bool IsInSubtree(const AddrNode* candidate, const AddrNode* node) {
    for (; candidate; candidate = candidate->parent)
        if (candidate == node) return true;
    return false;
}

// Links node under parent (first child, or after sibling). Refuses a link that would put a node
// inside its own subtree.
bool Link(AddrNode* node, AddrNode* parent, AddrNode* sibling) {
    if (!node || !parent) return false;
    if (IsInSubtree(parent, node)) {
        DebugTrace(MOD_ADDRBOOK, 1, "Node %s cannot be linked below itself", node->id ? node->id : "(null)");
        return false;
    }
    if (node->parent) AddrBook_UnlinkNode(node);
    if (sibling && sibling->parent != parent) sibling = nullptr;
    node->parent = parent;
    if (!sibling) {
        node->prev = nullptr;
        node->next = parent->child;
        if (parent->child) parent->child->prev = node;
        parent->child = node;
    } else {
        node->prev = sibling;
        node->next = sibling->next;
        if (sibling->next) sibling->next->prev = node;
        sibling->next = node;
    }
    return true;
}

void FreeNodeOnly(AddrNode* node) {
    std::free(node->id);
    switch (node->kind) {
    case ADDR_KIND_GROUP: {
        AddrGroup* group = static_cast<AddrGroup*>(node);
        std::free(group->name);
        delete group;
        break;
    }
    case ADDR_KIND_CONTACT:
    case ADDR_KIND_LIST: {
        AddrContact* contact = static_cast<AddrContact*>(node);
        std::free(contact->name);
        std::free(contact->nick);
        std::free(contact->extra);
        delete contact;
        break;
    }
    case ADDR_KIND_IDENTITY: {
        AddrIdentity* identity = static_cast<AddrIdentity*>(node);
        std::free(identity->address);
        std::free(identity->nick);
        std::free(identity->altName);
        presence_setting_free_all(&identity->settings);
        delete identity;
        break;
    }
    default:
        delete node;
        break;
    }
}

void DetachAny(AddrNode* node) {
    if (node->kind == ADDR_KIND_IDENTITY)
        AddrBook_DetachIdentity(node);
    else if (IsCounted(node))
        AddrBook_DetachContact(node);
    else
        AddrBook_UnlinkNode(node);
}

void DeleteChildren(AddrNode* top) {
    while (top->child) {
        AddrNode* node = top->child;
        while (node->child) node = node->child;
        DetachAny(node);
        FreeNodeOnly(node);
    }
}

void FreeLinkedOrNot(AddrNode* node) {
    if (!node) return;
    if (AddrBook_IsRoot(node)) {
        DebugTrace(MOD_ADDRBOOK, 1, "A root of the address book is never freed");
        return;
    }
    AddrBook_DeleteSubtree(node);
}

// Renames a counted node unless a sibling of the same kind already has the name.
int Rename(AddrNode* node, const char* name) {
    AddrCounted* counted = static_cast<AddrCounted*>(node);
    if (store::EqualNoCase(counted->name, name)) return 1;
    if (node->parent) {
        for (AddrNode* s = node->parent->child; s; s = s->next) {
            if (s != node && s->kind == node->kind && store::EqualNoCase(static_cast<AddrCounted*>(s)->name, name))
                return 0;
        }
    }
    return store::ReplaceText(&counted->name, name) ? 1 : 0;
}

}  // namespace

AddrGroup* const g_addrBookRoots[3] = {&s_roots[0], &s_roots[1], &s_roots[2]};
plat::RecursiveMutex g_hAddrBookMutex;

AddrGroup* AddrBook_NewGroup(const char* name, const char* id) {
    if (!id) return nullptr;
    AddrGroup* group = new (std::nothrow) AddrGroup;
    if (!group) return nullptr;
    group->kind = ADDR_KIND_GROUP;
    group->id = store::DupText(id);
    group->name = store::DupText(name);
    if (!group->id || (name && !group->name)) {
        FreeNodeOnly(group);
        return nullptr;
    }
    return group;
}

AddrContact* AddrBook_NewContact(const char* name, const char* nick, const char* id) {
    if (!id) return nullptr;
    AddrContact* contact = new (std::nothrow) AddrContact;
    if (!contact) return nullptr;
    contact->kind = ADDR_KIND_CONTACT;
    contact->id = store::DupText(id);
    contact->name = store::DupText(name ? name : id);
    if (!store::IsEmpty(nick)) contact->nick = store::DupText(nick);
    if (!contact->id || !contact->name || (!store::IsEmpty(nick) && !contact->nick)) {
        FreeNodeOnly(contact);
        return nullptr;
    }
    return contact;
}

void AddrBook_SetKind7(AddrNode* node) {
    if (node && node->kind == ADDR_KIND_CONTACT) node->kind = ADDR_KIND_LIST;
}

AddrIdentity* AddrBook_NewIdentity(Account* account, const char* address, const char* nick, const char* id) {
    if (!id) return nullptr;
    AddrIdentity* identity = new (std::nothrow) AddrIdentity;
    if (!identity) return nullptr;
    identity->kind = ADDR_KIND_IDENTITY;
    identity->account = account;
    identity->id = store::DupText(id);
    identity->address = store::DupText(address ? address : "");
    if (!store::IsEmpty(nick)) identity->nick = store::DupText(nick);
    if (!identity->id || !identity->address || (!store::IsEmpty(nick) && !identity->nick)) {
        FreeNodeOnly(identity);
        return nullptr;
    }
    if (account && account->type == ACCOUNT_TYPE_SERVICE) identity->flags |= ADDR_FLAG_SERVICE;
    return identity;
}

void AddrBook_FreeGroup(AddrNode* group) { FreeLinkedOrNot(group); }
void AddrBook_FreeContact(AddrNode* contact) { FreeLinkedOrNot(contact); }
void AddrBook_FreeIdentity(AddrNode* identity) { FreeLinkedOrNot(identity); }

void AddrBook_InsertChild(AddrNode* node, AddrNode* parent, AddrNode* sibling) { Link(node, parent, sibling); }

void AddrBook_LinkNode(AddrNode* node, AddrNode* parent, AddrNode* sibling) { Link(node, parent, sibling); }

void AddrBook_UnlinkNode(AddrNode* node) {
    if (!node) return;
    if (node->parent && node->parent->child == node) node->parent->child = node->next;
    if (node->prev) node->prev->next = node->next;
    if (node->next) node->next->prev = node->prev;
    node->prev = node->next = node->parent = nullptr;
}

void AddrBook_AttachCounted(AddrNode* node, AddrNode* parent, AddrNode* sibling) {
    if (!Link(node, parent, sibling)) return;
    if (IsCounted(node)) static_cast<AddrCounted*>(node)->contactCount = 1;
}

int AddrBook_AttachContact(AddrNode* contact, AddrNode* group, AddrNode* sibling) {
    if (!IsCounted(contact) || !group || AddrBook_IsRoot(contact)) return 0;
    for (AddrNode* c = group->child; c; c = c->next) {
        if (c != contact && c->kind == ADDR_KIND_CONTACT && store::EqualNoCase(c->id, contact->id)) return 0;
    }
    if (contact->parent) AddrBook_DetachContact(contact);
    if (!Link(contact, group, sibling)) return 0;
    AddrCounted* counted = static_cast<AddrCounted*>(contact);
    counted->contactCount = 1;
    Propagate(group, counted->contactCount, counted->serviceCount, OnlineShare(counted));
    return 1;
}

int AddrBook_AttachGroup(AddrNode* group, AddrNode* parent, AddrNode* sibling) {
    if (!IsCounted(group) || !parent || AddrBook_IsRoot(group)) return 0;
    if (group->parent) AddrBook_DetachContact(group);
    if (!Link(group, parent, sibling)) return 0;
    AddrCounted* counted = static_cast<AddrCounted*>(group);
    Propagate(parent, counted->contactCount, counted->serviceCount, OnlineShare(counted));
    return 1;
}

void AddrBook_DetachContact(AddrNode* node) {
    if (!node) return;
    if (node->kind == ADDR_KIND_IDENTITY) {
        AddrBook_DetachIdentity(node);
        return;
    }
    if (IsCounted(node) && node->parent) {
        AddrCounted* counted = static_cast<AddrCounted*>(node);
        Propagate(node->parent, -static_cast<int64_t>(counted->contactCount),
                  -static_cast<int64_t>(counted->serviceCount), -static_cast<int64_t>(OnlineShare(counted)));
    }
    AddrBook_UnlinkNode(node);
}

int AddrBook_MoveContact(AddrNode* contact, AddrNode* group) {
    if (!contact || !group) return 0;
    AddrBook_DetachContact(contact);
    return AddrBook_AttachContact(contact, group, nullptr);
}

int AddrBook_MoveGroup(AddrNode* group, AddrNode* parent) {
    if (!group || !parent || AddrBook_IsRoot(group) || IsInSubtree(parent, group)) return 0;
    AddrBook_DetachContact(group);
    return AddrBook_AttachGroup(group, parent, nullptr);
}

int AddrBook_AttachIdentity(AddrNode* node, AddrNode* contact, AddrNode* sibling) {
    AddrIdentity* identity = AsIdentity(node);
    if (!identity || !contact) return 0;
    if (identity->parent) AddrBook_DetachIdentity(identity);
    if (!Link(identity, contact, sibling)) return 0;
    if (!IsCounted(contact)) return 1;
    identity->countedService =
        identity->type == ADDR_TYPE_SERVICE && Account_IsOnline(identity->account) ? 1 : 0;
    identity->countedOnline = identity->online == 1 ? 1 : 0;
    Propagate(contact, 0, identity->countedService, identity->countedOnline);
    return 1;
}

void AddrBook_DetachIdentity(AddrNode* node) {
    AddrIdentity* identity = AsIdentity(node);
    if (!identity) return;
    if (identity->parent)
        Propagate(identity->parent, 0, -static_cast<int64_t>(identity->countedService),
                  -static_cast<int64_t>(identity->countedOnline));
    identity->countedService = identity->countedOnline = 0;
    AddrBook_UnlinkNode(identity);
}

void AddrBook_SetIdentityOnline(AddrNode* node, uint32_t state) {
    AddrIdentity* identity = AsIdentity(node);
    if (!identity) return;
    const bool online = state == 1;
    if (IsCounted(identity->parent)) {
        if (online && !identity->countedOnline) {
            identity->countedOnline = 1;
            Propagate(identity->parent, 0, 0, 1);
        } else if (!online && identity->countedOnline) {
            identity->countedOnline = 0;
            Propagate(identity->parent, 0, 0, -1);
        }
    }
    identity->online = state;
}

bool AddrBook_IsIdentityOnline(const AddrNode* node) {
    return node && node->kind == ADDR_KIND_IDENTITY && static_cast<const AddrIdentity*>(node)->online == 1;
}

void AddrBook_SetIdentityBusy(AddrNode* node, bool busy) {
    AddrIdentity* identity = AsIdentity(node);
    if (!identity) return;
    identity->flags = busy ? (identity->flags | ADDR_FLAG_BUSY) : (identity->flags & ~ADDR_FLAG_BUSY);
}

bool AddrBook_IsIdentityBusy(const AddrNode* node) {
    return AddrBook_IsIdentityOnline(node) && (node->flags & ADDR_FLAG_BUSY);
}

int AddrBook_RenameContact(AddrNode* contact, const char* name) {
    if (!IsContactLike(contact) || !name) return 0;
    return Rename(contact, name);
}

int AddrBook_RenameGroup(AddrNode* group, const char* name) {
    if (!group || group->kind != ADDR_KIND_GROUP || !name) return 0;
    return Rename(group, name);
}

void AddrBook_SetContactNick(AddrNode* contact, const char* text) {
    if (!IsContactLike(contact)) return;
    AddrContact* c = static_cast<AddrContact*>(contact);
    store::ReplaceText(&c->nick, store::IsEmpty(text) ? nullptr : text);
}

void AddrBook_SetContactExtra(AddrNode* contact, const char* text) {
    if (!IsContactLike(contact)) return;
    store::ReplaceText(&static_cast<AddrContact*>(contact)->extra, text);
}

void AddrBook_SetIdentityAltName(AddrNode* node, const char* text) {
    AddrIdentity* identity = AsIdentity(node);
    if (!identity) return;
    store::ReplaceText(&identity->altName, store::IsEmpty(text) ? nullptr : text);
}

void AddrBook_SetIdentityType(AddrNode* node, uint32_t type) {
    AddrIdentity* identity = AsIdentity(node);
    if (!identity) return;
    identity->type = type;
    if (type == ADDR_TYPE_PHONE || type == ADDR_TYPE_SERVICE) identity->flags |= ADDR_FLAG_TYPED;
}

const char* AddrBook_GetDisplayName(const AddrNode* node) {
    if (!node) return "";
    if (node->kind == ADDR_KIND_IDENTITY) return node->parent ? AddrBook_GetDisplayName(node->parent) : "";
    if (IsContactLike(node)) {
        const AddrContact* c = static_cast<const AddrContact*>(node);
        if (c->nick) return c->nick;
        if (c->name) return c->name;
        return c->id ? c->id : "";
    }
    if (node->kind == ADDR_KIND_GROUP) {
        const AddrGroup* g = static_cast<const AddrGroup*>(node);
        if (!store::IsEmpty(g->name)) return g->name;
    }
    return node->id ? node->id : "";
}

const char* AddrBook_GetIdentityDisplayName(const AddrNode* node) {
    if (!node || node->kind != ADDR_KIND_IDENTITY) return "";
    const AddrIdentity* identity = static_cast<const AddrIdentity*>(node);
    const char* contactName = nullptr;
    if (IsContactLike(identity->parent)) contactName = static_cast<const AddrContact*>(identity->parent)->name;
    if (identity->flags & ADDR_FLAG_SERVICE) {
        if (!store::IsEmpty(identity->nick)) return identity->nick;
        if (!store::IsEmpty(identity->altName)) return identity->altName;
        if (!store::IsEmpty(contactName)) return contactName;
        return identity->address ? identity->address : "";
    }
    if (contactName) return contactName;
    return identity->address ? identity->address : "";
}

int AddrBook_Init() {
    int ok = 1;
    for (AddrGroup* root : g_addrBookRoots) {
        DeleteChildren(root);
        root->kind = ADDR_KIND_GROUP;
        root->contactCount = root->serviceCount = root->onlineCount = 0;
        if (!root->id) root->id = store::DupText("0");
        if (!root->id) ok = 0;
    }
    return ok;
}

void AddrBook_DeleteSubtree(AddrNode* node) {
    if (!node) return;
    if (AddrBook_IsRoot(node)) {
        DeleteChildren(node);
        AddrGroup* root = static_cast<AddrGroup*>(node);
        root->contactCount = root->serviceCount = root->onlineCount = 0;
        return;
    }
    if (node->parent) DetachAny(node);
    DeleteChildren(node);
    FreeNodeOnly(node);
}

void AddrBook_Destroy() {
    for (AddrGroup* root : g_addrBookRoots) {
        AddrBook_DeleteSubtree(root);
        std::free(root->id);
        root->id = nullptr;
    }
}

bool AddrBook_IsRoot(const AddrNode* node) {
    for (const AddrGroup* root : g_addrBookRoots)
        if (node == root) return true;
    return false;
}

AddrNode* AddrBook_Walk(AddrNode* start, AddrWalkAction action, void* a, void* b) {
    if (!start || !action) return nullptr;
    AddrNode* node = start;
    for (;;) {
        if (!action(node, a, b)) return node;
        if (node->child) {
            node = node->child;
            continue;
        }
        while (node != start && !node->next) node = node->parent;
        if (node == start) return nullptr;
        node = node->next;
    }
}

int LocalConf_SaveGroupFlags(AddrNode* node, void*, void*) {
    if (!node || node->kind != ADDR_KIND_GROUP || AddrBook_IsRoot(node) || !node->id) return 1;
    if (g_strLocalConfPath.empty()) return 1;
    if (!WritePrivateProfileInt("localconf", node->id, static_cast<int>(node->flags & ADDR_FLAG_UI_MASK),
                                g_strLocalConfPath.c_str()))
        DebugTrace(MOD_ADDRBOOK, 1, "Cannot save the flags of group %s", node->id);
    return 1;
}
