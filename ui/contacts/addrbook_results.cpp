// Address-book answers of the access server as the frame hands them on.
#include "ui/contacts/addrbook_results.h"

#include <cstring>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/debug.h"
#include "common/grouprecord.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "ui/contacts/addrbook_host.h"
#include "ui/contacts/addrbook_logic.h"
#include "ui/contacts/addrbook_page.h"
#include "ui/contacts/addrbook_replies.h"
#include "ui/contacts/book_dialogs.h"
#include "ui/contacts/frame_link.h"
#include "ui/shell/book_results.h"
#include "ui/shell/shell_config.h"

namespace contacts {

namespace {

QString Lang(const char* section, const char* key, const char* builtIn) { return shell::LangText(section, key, builtIn); }
QString Fill(const char* section, const char* key, const QString& arg) {
    return shell::FillFormat(shell::LangFormatText(section, key, "%s"), {arg});
}

AsParams* Params(AsRequest* r) { return r->kind == AS_DATA_PARAMS ? static_cast<AsParams*>(r->data) : nullptr; }
const char* Str(const char* s) { return s ? s : ""; }

// Every node of the subtree with that id (a buddy may stand in several groups).
void Collect(AddrNode* n, const char* id, uint32_t kind, std::vector<AddrNode*>* out) {
    for (; n; n = n->next) {
        if (n->kind == kind && n->id && id && !strcasecmp(n->id, id)) out->push_back(n);
        Collect(n->child, id, kind, out);
    }
}
std::vector<AddrNode*> Nodes(int root, const char* id, uint32_t kind) {
    std::vector<AddrNode*> out;
    Collect(g_addrBookRoots[root]->child, id, kind, &out);
    return out;
}

void RebuildAll(bool buddies, bool cards, bool groups) {
    CAddressBookDlg* page = BookPage();
    if (!page) return;
    if (buddies) page->RebuildBuddyTree(nullptr);
    if (cards) page->RebuildContactTree(nullptr);
    if (groups) page->RebuildGroupTree(nullptr);
}

// Takes the record out of the request so that releasing the request leaves it alone.
template <class T>
T* Take(AsRequest* r, uint32_t kind) {
    if (r->kind != kind || !r->data) return nullptr;
    T* data = static_cast<T*>(r->data);
    r->data = nullptr;
    r->kind = AS_DATA_NONE;
    return data;
}

void Blocked(AsRequest* r, BookHost* host) {
    AsParams* p = Params(r);
    const char* id = p ? p->str1 : nullptr;
    const bool block = r->command == AS_BLK;
    bool found = false;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        found = id && !Nodes(0, id, ADDR_KIND_CONTACT).empty();
    }
    // Nothing to tell about a contact the book does not hold.
    if (!found) {
        DebugTrace(MOD_SYSTEM, 3, "%s of %s: no such contact (%d)", block ? "BLK" : "UBLK", Str(id), r->result);
        return;
    }
    if (r->result != 0) {
        DebugTrace(MOD_SYSTEM, 3, "%s of %s failed: %d", block ? "BLK" : "UBLK", id, r->result);
        host->BroadcastToChats(block ? 0x821 : 0x822, static_cast<uintptr_t>(r->result), id);
        return;
    }
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        for (AddrNode* c : Nodes(0, id, ADDR_KIND_CONTACT)) c->flags = block ? (c->flags | ADDR_FLAG_BLOCKED) : (c->flags & ~ADDR_FLAG_BLOCKED);
    }
    RebuildAll(true, false, false);
    if (CBlockListDlg* dialog = OpenBlockList()) dialog->OnResult(block ? 13 : 14, FromAnsi(id));
    host->BroadcastToChats(block ? 0x821 : 0x822, 0, id);
    if (block) ShowCounts();
}

}  // namespace

int OnSyncResult(AsRequest* request) {
    CreateDefaultGroups();
    const int result = OnAsSyncReply(request);
    RebuildAll(true, true, true);
    return result;
}

void OnGroupList(GroupRecord* record) {
    if (!record) return;
    AddChatGroups(record, record->words[1] == 1 ? 1 : 2);
    GroupRecord_Free(record);
    if (CAddressBookDlg* page = BookPage()) {
        page->RebuildGroupTree("1");
        page->RebuildGroupTree("2");
    }
}

bool OnAddressBookResult(AsRequest* r, BookHost* host) {
    if (!r) return false;
    host = host ? host : DefaultHost();
    const int code = r->result;
    switch (r->command) {
        case AS_ADD: {
            const QString title = Lang("profile_status", "fail_title", "");
            if (code == 0) {
                const auto* b = r->kind == AS_DATA_BUDDY ? static_cast<const CAsBuddy*>(r->data) : nullptr;
                if (OnAsAddBuddyReply(r) != 0)
                    host->Box(Fill("profile_status", "fail_add_contact", FromAnsi(b && b->nickName ? b->nickName : "")), title);
            } else {
                const AsParams* p = Params(r);
                const TextKey k = AddBuddyFailure(code);
                host->Box(Fill(k.section, k.key, FromAnsi(p ? Str(p->str3) : "")), title);
            }
            break;
        }
        case AS_ADL:
        case AS_UDL: {
            const auto* list = r->kind == AS_DATA_LIST ? static_cast<const CAsList*>(r->data) : nullptr;
            const int handled = code == 0 ? (r->command == AS_ADL ? OnAsAddListReply(r) : OnAsUpdateListReply(r)) : 1;
            if (handled != 0)
                host->Box(Fill("as_code", r->command == AS_ADL ? "error_adl" : "error_edl", FromAnsi(list ? Str(list->listName) : "")),
                          Lang("as_code", "title", ""));
            break;
        }
        case AS_REB:
        case AS_RNG:
        case AS_MVB:
        case AS_MVG:
            // The store takes it as the frame does; a failure goes on to the frame, which shows its box.
            if (!shell::ApplyBookResult(r).rebuild) return false;
            RebuildAll(true, false, false);
            break;
        case AS_BLK:
        case AS_UBLK: Blocked(r, host); break;
        case AS_SRB:
        case AS_SRUL: {
            CAsNameList* names = Take<CAsNameList>(r, AS_DATA_SEARCH);
            if (CSearchDlg* dialog = SearchDialog()) dialog->OnUserResult(code, names);
            else delete names;
            break;
        }
        case AS_SQI:
        case AS_SQN: {
            CAsResultList* list = Take<CAsResultList>(r, AS_DATA_QUEUES);
            if (CSearchDlg* dialog = SearchDialog()) {
                dialog->OnGroupResult(code, list);
            } else if (list) {
                for (void* q : list->records) delete static_cast<CAsChatQueue*>(q);
                delete list;
            }
            break;
        }
        case AS_JNQ: {
            if (code == 0 && BookPage()) host->PostRequest(AS_SYJQ, nullptr, AS_DATA_NONE);
            CAsChatQueue* queue = Take<CAsChatQueue>(r, AS_DATA_JOIN);
            if (CSearchDlg* dialog = SearchDialog()) dialog->OnJoinResult(code, queue);
            else delete queue;
            break;
        }
        case AS_SYQ: {
            auto* g = r->kind == AS_DATA_GROUP ? static_cast<GroupRecord*>(r->data) : nullptr;
            if (!g || !g->texts[2]) break;
            const std::string id = g->texts[2];
            if (code == 0) AddGroupMembers(g, id.c_str());
            if (CAddressBookDlg* page = BookPage()) {
                page->GroupTree()->RemoveGroupById(id.c_str());
                if (code == 0) page->RebuildGroupTree(id.c_str());  // a refused group stays out of the tree
            }
            break;
        }
        case AS_QTQ:
            if (code != 0) {
                const TextKey k = QuitGroupFailure(code);
                host->Box(Lang(k.section, k.key, ""), Lang("profile_status", "fail_title", ""));
            } else {
                host->PostRequest(AS_SYJQ, nullptr, AS_DATA_NONE);
            }
            break;
        case AS_SYJQ: {
            auto* j = r->kind == AS_DATA_JOINED ? static_cast<AsJoinedQueues*>(r->data) : nullptr;
            if (code != 0 || !j) break;
            // The answer lists every chat group again: the Groups root starts afresh.
            if (CAddressBookDlg* page = BookPage()) page->ForgetNode(g_addrBookRoots[1]);
            {
                std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
                AddrBook_DeleteSubtree(g_addrBookRoots[1]);
            }
            CreateDefaultGroups();
            AddChatGroups(j->created, 1);
            AddChatGroups(j->joined, 2);
            RebuildAll(false, false, true);
            break;
        }
        case AS_REA: {
            // The nickname dialog offers the nickname now in force as the old one; the frame takes it too.
            const AsParams* p = code == 0 ? Params(r) : nullptr;
            if (p && p->str3 && *p->str3) Own().displayName = std::string(p->str3).substr(0, 256);
            return false;
        }
        default: return false;
    }
    AS_FreeRequest(r);
    return true;
}

}  // namespace contacts
