// The frame's own address-book answers: the store changes for REM, REB, MVB, RMG, MVG, RNG, RML, ADG,
// SUD and REL, and the failure box of each.
#include "ui/shell/book_results.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/addrbook_query.h"
#include "common/debug.h"
#include "common/presence_link.h"
#include "common/appenv.h"
#include "platform/fs.h"
#include "platform/ini.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "ui/shell/shell_config.h"

namespace shell {

std::string g_panelPicture;
int g_contactCounter = 0;

namespace {

AsParams* ParamsOf(AsRequest* r) { return r->kind == AS_DATA_PARAMS ? static_cast<AsParams*>(r->data) : nullptr; }

const char* FailureDefault(const char* key) {
    static const std::pair<const char*, const char*> texts[] = {
        {"fail_add_group", "The group %s could not be added."},
        {"fail_del_group", "The group %s could not be removed."},
        {"fail_glms_error", "The name %s could not be saved."},
        {"fail_move_contact", "%s could not be moved."},
        {"fail_move_group", "The group %s could not be moved."},
        {"fail_update_group", "The group could not be renamed to %s."},
        {"server_err", "The server could not carry out the request."},
    };
    for (const auto& [k, text] : texts)
        if (!strcmp(k, key)) return text;
    return "%s could not be removed.";
}

void Fail(BookResultEffect* e, const char* key, const AsParams* p) {
    e->boxSection = "profile_status";
    e->boxKey = key;
    e->boxDefault = FailureDefault(key);
    e->boxArg = p && p->str3 ? p->str3 : "";
}

// Every node of that kind and id under the root (a buddy may stand in several groups).
void Collect(AddrNode* n, const char* id, uint32_t kind, std::vector<AddrNode*>* out) {
    for (; n; n = n->next) {
        if (n->kind == kind && n->id && !strcasecmp(n->id, id)) out->push_back(n);
        Collect(n->child, id, kind, out);
    }
}
std::vector<AddrNode*> AllOf(int root, const char* id, uint32_t kind) {
    std::vector<AddrNode*> out;
    if (id && *id) Collect(g_addrBookRoots[root]->child, id, kind, &out);
    return out;
}

// The group a move goes to: "0" is the top of the contact tree.
AddrNode* MoveTarget(const char* id) {
    if (id && !strcmp(id, "0")) return g_addrBookRoots[0];
    const std::vector<AddrNode*> groups = AllOf(0, id, ADDR_KIND_GROUP);
    return groups.empty() ? nullptr : groups.front();
}

AddrNode* FindKind(int root, const char* id, uint32_t kind);

// REB, RNG, MVB, MVG: true when the store took the answer.
bool Rename(int command, const AsParams* p) {
    if (command == AS_REB || command == AS_RNG) {
        AddrNode* node = FindKind(0, p->str1, command == AS_REB ? ADDR_KIND_CONTACT : ADDR_KIND_GROUP);
        if (!node) return false;
        if (command == AS_REB) AddrBook_SetContactNick(node, p->str3 ? p->str3 : "");
        else AddrBook_RenameGroup(node, p->str3 ? p->str3 : "");
        return true;
    }
    AddrNode* target = MoveTarget(p->str2);
    if (!target) return false;
    // A move the store refuses leaves the item where it was.
    auto move = [target](AddrNode* node, bool group) {
        AddrNode* from = node->parent;
        if (group ? AddrBook_MoveGroup(node, target) : AddrBook_MoveContact(node, target)) return true;
        if (from && !node->parent) {
            if (group) AddrBook_AttachGroup(node, from, nullptr);
            else AddrBook_AttachContact(node, from, nullptr);
        }
        return false;
    };
    if (command == AS_MVG) {
        const std::vector<AddrNode*> groups = AllOf(0, p->str1, ADDR_KIND_GROUP);
        return !groups.empty() && move(groups.front(), true);
    }
    AddrNode* contact = FindKind(0, p->str1, ADDR_KIND_CONTACT);
    return contact && move(contact, false);
}

// Tells the messaging service, then deletes the node (detached first) with everything below.
void RemoveNode(AddrNode* node) {
    AddrBook_DeleteServerContacts(node);
    AddrBook_DeleteSubtree(node);
}

AddrNode* FindKind(int root, const char* id, uint32_t kind) {
    if (!id || !*id) return nullptr;
    // From the root itself: the finder walks one subtree, and the item may stand under any top group.
    AddrNode* n = AddrBook_FindById(g_addrBookRoots[root], id);
    return n && n->kind == kind ? n : nullptr;
}

// The user's local configuration file, its folders made; empty without a user.
std::string LocalConfFile() {
    const std::string user = SafeNameComponent(g_strUserId);
    if (user.empty()) return std::string();
    std::string folder = plat::PathJoin(plat::PathJoin(Paths().profileFolder, "individual"), user);
    plat::MakeDirectories(folder);
    return g_strLocalConfPath.empty() ? plat::PathJoin(folder, user) : g_strLocalConfPath;
}

void AddGroup(AsParams* p, BookResultEffect* e) {
    AddrNode* parent = p->str2 && *p->str2 ? AddrBook_FindById(g_addrBookRoots[0], p->str2) : nullptr;
    // An id the book holds already, or a parent that is no group: the answer changes nothing.
    if (!p->str1 || !*p->str1 || AddrBook_FindById(g_addrBookRoots[0], p->str1) || !parent ||
        parent->kind != ADDR_KIND_GROUP) {
        DebugTrace(MOD_SYSTEM, 2, "ADG answer for %s under %s not applied", p->str1 ? p->str1 : "", p->str2 ? p->str2 : "");
        return;
    }
    AddrGroup* group = AddrBook_NewGroup(p->str3 ? p->str3 : "", p->str1);
    if (!group || !AddrBook_AttachGroup(group, parent, nullptr)) {
        if (group) AddrBook_FreeGroup(group);
        Fail(e, "fail_add_group", p);
        return;
    }
    const std::string conf = LocalConfFile();
    if (!conf.empty())
        group->flags = (group->flags & ~ADDR_FLAG_UI_MASK) |
                       (GetPrivateProfileInt("localconf", p->str1, 0, conf.c_str()) & ADDR_FLAG_UI_MASK);
    e->rebuild = REBUILD_BUDDIES;
}

}  // namespace

BookResultEffect ApplyBookResult(AsRequest* r) {
    BookResultEffect e;
    if (!r) return e;
    AsParams* p = ParamsOf(r);
    const bool ok = r->result == 0 && p;
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    switch (r->command) {
        case AS_REM: {
            AddrNode* c = ok ? FindKind(0, p->str1, ADDR_KIND_CONTACT) : nullptr;
            if (!c) {
                Fail(&e, "fail_del_contact", p);
                break;
            }
            e.removedContact = p->str1;
            RemoveNode(c);
            e.rebuild = REBUILD_BUDDIES;
            e.onlineCount = true;
            break;
        }
        case AS_RMG: {
            AddrNode* g = ok ? FindKind(0, p->str1, ADDR_KIND_GROUP) : nullptr;
            if (!g) {
                Fail(&e, "fail_del_group", p);
                break;
            }
            RemoveNode(g);
            e.rebuild = REBUILD_BUDDIES;
            e.onlineCount = true;
            break;
        }
        case AS_RML: {
            AddrNode* card = ok ? FindKind(2, p->str1, ADDR_KIND_LIST) : nullptr;
            if (!card) {
                Fail(&e, "fail_del_contact", p);
                break;
            }
            RemoveNode(card);
            e.rebuild = REBUILD_CARDS;
            e.onlineCount = true;
            break;
        }
        case AS_REB:
        case AS_RNG:
        case AS_MVB:
        case AS_MVG:
            if (ok) {
                // A success whose item has gone meanwhile changes nothing; only REB's answer says so.
                if (Rename(r->command, p)) e.rebuild = REBUILD_BUDDIES;
                else if (r->command == AS_REB) Fail(&e, "fail_glms_error", p);
                break;
            }
            Fail(&e, r->command == AS_REB   ? "fail_glms_error"
                     : r->command == AS_RNG ? "fail_update_group"
                     : r->command == AS_MVG ? "fail_move_group"
                     : r->result == 1       ? "server_err"
                                            : "fail_move_contact",
                 p);
            break;
        case AS_ADG:
            if (ok) AddGroup(p, &e);
            else Fail(&e, "fail_add_group", p);
            break;
        case AS_SUD:
            if (ok) {
                g_contactCounter = p->int1;
                e.counterChanged = true;
            }
            break;
        case AS_REL:
            if (ok && p->str3) {
                g_panelPicture.assign(p->str3, strnlen(p->str3, 256));
                e.panelChanged = true;
            }
            break;
        default: return e;
    }
    e.handled = true;
    return e;
}

bool SameBuddy(const char* stored, const char* reported) {
    if (!stored || !*stored || !reported) return false;
    if (!strcasecmp(stored, reported)) return true;
    const size_t n = strlen(stored);
    return !strncasecmp(stored, reported, n) && reported[n] == '@';
}

namespace {

bool IsServiceIdentity(const AddrNode* n) { return n->kind == ADDR_KIND_IDENTITY && n->type == ADDR_TYPE_SERVICE; }

template <class F>
void ForEachNode(AddrNode* n, const F& f) {
    for (; n; n = n->next) {
        f(n);
        ForEachNode(n->child, f);
    }
}
}  // namespace

AddrIdentity* FindBuddyIdentity(const PresenceConnection* connection, const char* address) {
    AddrIdentity* found = nullptr;
    ForEachNode(g_addrBookRoots[0]->child, [&](AddrNode* n) {
        if (found || !IsServiceIdentity(n)) return;
        auto* identity = static_cast<AddrIdentity*>(n);
        const bool ours = !connection || !identity->account || identity->account->connection == connection;
        if (ours && SameBuddy(identity->address, address)) found = identity;
    });
    return found;
}

void ClearSeenMarks(const Account* account) {
    ForEachNode(g_addrBookRoots[0]->child, [&](AddrNode* n) {
        if (IsServiceIdentity(n) && static_cast<AddrIdentity*>(n)->account == account) static_cast<AddrIdentity*>(n)->seen = false;
    });
}

std::vector<AddrIdentity*> UnseenIdentities(const Account* account) {
    std::vector<AddrIdentity*> out;
    ForEachNode(g_addrBookRoots[0]->child, [&](AddrNode* n) {
        if (!IsServiceIdentity(n)) return;
        auto* identity = static_cast<AddrIdentity*>(n);
        if (identity->account == account && !identity->seen && identity->address && *identity->address) out.push_back(identity);
    });
    return out;
}

std::string ChatGroupName(const char* id) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* group = id && *id ? AddrBook_FindById(g_addrBookRoots[1], id) : nullptr;
    return group && group->kind == ADDR_KIND_GROUP && static_cast<AddrGroup*>(group)->name ? static_cast<AddrGroup*>(group)->name : "";
}

}  // namespace shell
