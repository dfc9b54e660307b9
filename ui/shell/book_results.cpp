// The frame's own address-book answers: the store changes for REM, RMG, RML, ADG, SUD and REL.
#include "ui/shell/book_results.h"

#include <cstring>
#include <mutex>

#include "common/addrbook.h"
#include "common/addrbook_query.h"
#include "common/appenv.h"
#include "platform/fs.h"
#include "platform/ini.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "ui/shell/shell_config.h"

namespace shell {

std::string g_panelPicture;
int g_contactCounter = -1;

namespace {

AsParams* ParamsOf(AsRequest* r) { return r->kind == AS_DATA_PARAMS ? static_cast<AsParams*>(r->data) : nullptr; }

void Fail(BookResultEffect* e, const char* key, const AsParams* p) {
    e->boxSection = "profile_status";
    e->boxKey = key;
    e->boxDefault = !strcmp(key, "fail_add_group")   ? "The group %s could not be added."
                    : !strcmp(key, "fail_del_group") ? "The group %s could not be removed."
                                                     : "%s could not be removed.";
    e->boxArg = p && p->str3 ? p->str3 : "";
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
    if (!p->str1 || !*p->str1 || AddrBook_FindById(g_addrBookRoots[0], p->str1) || !parent ||
        parent->kind != ADDR_KIND_GROUP) {
        Fail(e, "fail_add_group", p);
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
        case AS_ADG:
            if (ok) AddGroup(p, &e);
            else Fail(&e, "fail_add_group", p);
            break;
        case AS_SUD:
            if (ok && p->int1 >= 0) {
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

}  // namespace shell
