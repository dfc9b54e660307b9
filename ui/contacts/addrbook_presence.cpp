// Presence notices applied to the address-book store and the My-contacts tree.
#include <cstring>

#include "common/addrbook.h"
#include "common/account.h"
#include "common/addrbook_query.h"
#include "common/presence_link.h"
#include "service/presence_notice.h"
#include "ui/shell/book_results.h"
#include "ui/contacts/addrbook_page.h"
#include "ui/contacts/frame_link.h"

namespace contacts {

namespace {
using shell::SameBuddy;

AddrNode* FindMessagingIdentity(AddrNode* node, const PresenceConnection* connection, const char* address) {
    for (AddrNode* n = node; n; n = n->next) {
        if (n->kind == ADDR_KIND_IDENTITY && n->type == ADDR_TYPE_SERVICE) {
            auto* identity = static_cast<AddrIdentity*>(n);
            const bool ours = !connection || !identity->account || identity->account->connection == connection;
            if (ours && SameBuddy(identity->address, address)) return n;
        }
        if (AddrNode* found = FindMessagingIdentity(n->child, connection, address)) return found;
    }
    return nullptr;
}
}  // namespace

AddrNode* ApplyPresence(const PresenceConnection* connection, const PresenceBuddyRecord* record) {
    if (!record) return nullptr;
    AddrNode* identity = nullptr;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        identity = FindMessagingIdentity(g_addrBookRoots[0]->child, connection, record->account);
        if (!identity) return nullptr;
        auto* i = static_cast<AddrIdentity*>(identity);
        if (record->id != 0) presence_setting_set_int(&i->settings, "uid", nullptr, record->id);
        AddrBook_SetIdentityOnline(identity, record->online ? 1 : 0);
    }
    if (CAddressBookDlg* page = BookPage()) page->OnPresenceChanged(identity);
    return identity;
}

}  // namespace contacts
