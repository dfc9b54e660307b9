// Address-book queries, collections and the messaging-service actions on contacts.
#include "common/addrbook_query.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "common/account.h"
#include "common/debug.h"
#include "common/presence_link.h"
#include "common/storeutil.h"

namespace {

const AddrIdentity* AsIdentity(const AddrNode* node) {
    return node && node->kind == ADDR_KIND_IDENTITY ? static_cast<const AddrIdentity*>(node) : nullptr;
}

bool IsContactLike(const AddrNode* node) {
    return node && (node->kind == ADDR_KIND_CONTACT || node->kind == ADDR_KIND_LIST);
}

int Uid(const AddrIdentity* identity) { return presence_setting_get_int(&identity->settings, "uid", 0); }

// Type rule of AddrBook_HasIdentityType for one identity.
bool IdentityHasType(const AddrIdentity* identity, uint32_t type) {
    if (identity->type != type) return false;
    return type != ADDR_TYPE_SERVICE || Uid(identity) != 0;
}

template <class Pred>
AddrNode* FindChild(AddrNode* node, Pred pred) {
    if (!node) return nullptr;
    for (AddrNode* c = node->child; c; c = c->next)
        if (pred(c)) return c;
    return nullptr;
}

// Pre-order search of the subtree with a predicate; first match or null.
template <class Pred>
AddrNode* FindInSubtree(AddrNode* node, Pred pred) {
    auto action = [](AddrNode* n, void* a, void*) -> int { return (*static_cast<Pred*>(a))(n) ? 0 : 1; };
    return AddrBook_Walk(node, action, &pred, nullptr);
}

// Calls fn on every node of the subtree in pre-order.
template <class Fn>
void ForEach(AddrNode* node, Fn fn) {
    auto action = [](AddrNode* n, void* a, void*) -> int {
        (*static_cast<Fn*>(a))(n);
        return 1;
    };
    AddrBook_Walk(node, action, &fn, nullptr);
}

// The service account's connection when it is online, else null; false when there is no service
// account at all.
bool ServiceConnection(PresenceConnection** connection) {
    *connection = nullptr;
    Account* account = Account_FindByType(ACCOUNT_TYPE_SERVICE);
    if (!account) return false;
    if (Account_IsOnline(account)) *connection = account->connection;
    return true;
}

bool SetBlocked(AddrNode* contact, bool blocked) {
    if (!contact || contact->kind != ADDR_KIND_CONTACT) return false;
    if (blocked)
        contact->flags |= ADDR_FLAG_BLOCKED;
    else
        contact->flags &= ~ADDR_FLAG_BLOCKED;
    const AddrIdentity* identity = AsIdentity(AddrBook_FindType9Identity(contact));
    if (!identity) return true;
    int uid = Uid(identity);
    if (uid == 0) return true;
    PresenceConnection* connection = nullptr;
    if (!ServiceConnection(&connection)) return false;
    PresenceServices* services = Presence_GetServices();
    if (connection && services) {
        if (blocked)
            services->castrel_block_buddy(connection, uid);
        else
            services->castrel_unblock_buddy(connection, uid);
    }
    return true;
}

// Frees a contact copied by CInvitee::SetContact, with the texts it owns.
void FreeContactCopy(AddrContact* c) {
    if (!c) return;
    std::free(c->id);
    std::free(c->name);
    std::free(c->nick);
    std::free(c->extra);
    delete c;
}

}  // namespace

CBuddyNamePair::~CBuddyNamePair() {
    std::free(m_first);
    std::free(m_second);
}

bool CBuddyNamePair::SetFirst(const char* text) { return store::ReplaceText(&m_first, text); }
bool CBuddyNamePair::SetSecond(const char* text) { return store::ReplaceText(&m_second, text); }

CInvitee::~CInvitee() {
    std::free(m_number);
    std::free(m_name);
    FreeContactCopy(m_contact);
}

void CInvitee::SetNumber(const char* text) {
    if (text) store::ReplaceText(&m_number, text);
}

void CInvitee::SetName(const char* text) {
    if (text) store::ReplaceText(&m_name, text);
}

void CInvitee::SetContact(const AddrNode* node) {
    if (!IsContactLike(node)) return;
    const AddrContact* source = static_cast<const AddrContact*>(node);
    AddrContact* copy = new (std::nothrow) AddrContact(*source);
    if (!copy) return;
    copy->prev = copy->next = copy->parent = copy->child = nullptr;
    copy->id = store::DupText(source->id);
    copy->name = store::DupText(source->name);
    copy->nick = store::DupText(source->nick);
    copy->extra = store::DupText(source->extra);
    FreeContactCopy(m_contact);
    m_contact = copy;
}

bool CInvitee::ContactOnline() const {
    return m_contact && AddrBook_IsContactOnline(AddrBook_FindContactById(g_addrBookRoots[0], m_contact->id));
}

AddrNode* AddrBook_FindChildContactByName(AddrNode* node, const char* name) {
    return FindChild(node, [&](AddrNode* c) {
        return c->kind == ADDR_KIND_CONTACT && store::EqualNoCase(static_cast<AddrContact*>(c)->name, name);
    });
}

AddrNode* AddrBook_FindChildContactById(AddrNode* node, const char* id) {
    return FindChild(node, [&](AddrNode* c) { return c->kind == ADDR_KIND_CONTACT && store::EqualNoCase(c->id, id); });
}

AddrNode* AddrBook_FindChildKind7ById(AddrNode* node, const char* id) {
    return FindChild(node, [&](AddrNode* c) { return c->kind == ADDR_KIND_LIST && store::EqualNoCase(c->id, id); });
}

AddrNode* AddrBook_FindChildGroupByName(AddrNode* node, const char* name) {
    return FindChild(node, [&](AddrNode* c) {
        return c->kind == ADDR_KIND_GROUP && store::EqualNoCase(static_cast<AddrGroup*>(c)->name, name);
    });
}

AddrNode* AddrBook_FindIdentityByType(AddrNode* node, uint32_t type) {
    return FindChild(node, [&](AddrNode* c) { return c->type == type; });
}

AddrNode* AddrBook_FindType8Identity(AddrNode* node) { return AddrBook_FindIdentityByType(node, ADDR_TYPE_PHONE); }

AddrNode* AddrBook_FindType9Identity(AddrNode* node) { return AddrBook_FindIdentityByType(node, ADDR_TYPE_SERVICE); }

AddrNode* AddrBook_FindChildIdentityOfType(AddrNode* node, uint32_t type) {
    return FindChild(node, [&](AddrNode* c) { return c->kind == ADDR_KIND_IDENTITY && c->type == type; });
}

const char* AddrBook_GetIdentityAddress(AddrNode* contact, uint32_t type) {
    const AddrIdentity* identity = AsIdentity(AddrBook_FindChildIdentityOfType(contact, type));
    return identity ? identity->address : nullptr;
}

bool AddrBook_IsContactOnline(const AddrNode* contact) {
    if (!contact) return false;
    for (const AddrNode* c = contact->child; c; c = c->next) {
        if ((c->flags & (ADDR_FLAG_SERVICE | ADDR_FLAG_BLOCKED)) && AddrBook_IsIdentityOnline(c)) return true;
    }
    return false;
}

bool AddrBook_IsContactBusy(const AddrNode* contact) {
    if (!contact) return false;
    bool busy = false;
    for (const AddrNode* c = contact->child; c; c = c->next) {
        if (!(c->flags & ADDR_FLAG_SERVICE) || !AddrBook_IsIdentityOnline(c)) continue;
        if (!AddrBook_IsIdentityBusy(c)) return false;  // reachable on another messaging identity
        busy = true;
    }
    return busy;
}

bool AddrBook_HasIdentityType(AddrNode* node, uint32_t type) {
    if (!node) return false;
    if (const AddrIdentity* identity = AsIdentity(node)) return IdentityHasType(identity, type);
    if (IsContactLike(node)) {
        return FindChild(node, [&](AddrNode* c) {
                   const AddrIdentity* identity = AsIdentity(c);
                   return identity && IdentityHasType(identity, type);
               }) != nullptr;
    }
    if (node->kind == ADDR_KIND_GROUP) {
        return FindInSubtree(node, [&](AddrNode* n) {
                   const AddrIdentity* identity = AsIdentity(n);
                   return identity && IdentityHasType(identity, type);
               }) != nullptr;
    }
    return false;
}

AddrNode* AddrBook_FindById(AddrNode* node, const char* id) {
    if (!id) return nullptr;
    return FindInSubtree(node, [&](AddrNode* n) { return store::EqualNoCase(n->id, id); });
}

AddrNode* AddrBook_FindByIdInParent(AddrNode* node, const char* id, const char* parentId) {
    if (store::IsEmpty(parentId)) return AddrBook_FindById(node, id);
    if (!id) return nullptr;
    return FindInSubtree(node, [&](AddrNode* n) {
        return store::EqualNoCase(n->id, id) && n->parent && store::EqualNoCase(n->parent->id, parentId);
    });
}

AddrNode* AddrBook_FindContactById(AddrNode* node, const char* id) {
    if (!id) return nullptr;
    return FindInSubtree(node, [&](AddrNode* n) { return n->kind == ADDR_KIND_CONTACT && store::EqualNoCase(n->id, id); });
}

AddrNode* AddrBook_FindIdentity(AddrNode* node, const Account* account, const char* address) {
    if (!address) return nullptr;
    return FindInSubtree(node, [&](AddrNode* n) {
        const AddrIdentity* identity = AsIdentity(n);
        return identity && identity->account == account && store::EqualNoCase(identity->address, address);
    });
}

AddrNode* AddrBook_FindIdentityByUid(AddrNode* node, int uid) {
    return FindInSubtree(node, [&](AddrNode* n) {
        const AddrIdentity* identity = AsIdentity(n);
        return identity && identity->account && identity->account->type == ACCOUNT_TYPE_SERVICE &&
               Uid(identity) == uid;
    });
}

AddrNode* AddrBook_FindSipIdentity(AddrNode* node, const char* address) {
    if (!address) return nullptr;
    return FindInSubtree(node, [&](AddrNode* n) {
        const AddrIdentity* identity = AsIdentity(n);
        return identity && identity->account && identity->account->type == ACCOUNT_TYPE_SIP &&
               store::EqualNoCase(identity->address, address);
    });
}

AddrNode* AddrBook_FindSipContact(AddrNode* node, const char* address) {
    if (!address || !*address) return nullptr;
    if (AddrNode* identity = AddrBook_FindSipIdentity(node, address)) {
        AddrNode* contact = identity->parent;
        return contact && contact->kind == ADDR_KIND_CONTACT ? contact : nullptr;
    }
    const char* at = strchr(address, '@');
    if (!at || at == address) return nullptr;
    std::string domain;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        Account* sip = Account_FindByType(ACCOUNT_TYPE_SIP);
        if (!sip) return nullptr;
        const char* user = sip->userName ? sip->userName : "";
        if (const char* own = strchr(user, '@')) {
            domain = own + 1;
        } else {
            char server[128] = "";
            presence_setting_get_string(&sip->settings, "server", "", server, sizeof server);
            domain = server;
        }
    }
    if (domain.empty() || !store::EqualNoCase(at + 1, domain.c_str())) return nullptr;
    return AddrBook_FindContactById(node, std::string(address, static_cast<size_t>(at - address)).c_str());
}

AddrNode* AddrBook_FindIdentityForRecord(AddrNode* node, const PresenceConnection* connection,
                                         const char* recordAddress) {
    if (!connection || !recordAddress) return nullptr;
    return FindInSubtree(node, [&](AddrNode* n) {
        const AddrIdentity* identity = AsIdentity(n);
        return identity && identity->account && identity->account == connection->account &&
               store::EqualNoCase(identity->address, recordAddress);
    });
}

std::vector<AddrNode*> AddrBook_CollectIdentitiesOfAccount(AddrNode* node, const Account* account) {
    std::vector<AddrNode*> found;
    ForEach(node, [&](AddrNode* n) {
        const AddrIdentity* identity = AsIdentity(n);
        if (identity && identity->account == account) found.push_back(n);
    });
    return found;
}

std::vector<IdentityRecord> AddrBook_CollectIdentityRecords(AddrNode* node, const Account* account) {
    std::vector<IdentityRecord> online, offline;
    ForEach(node, [&](AddrNode* n) {
        const AddrIdentity* identity = AsIdentity(n);
        if (!identity || identity->account != account) return;
        int uid = Uid(identity);
        if (uid == 0) return;
        IdentityRecord record{};
        record.uid = static_cast<uint32_t>(uid);
        store::CopyBounded(record.displayName, sizeof record.displayName, AddrBook_GetIdentityDisplayName(n));
        (identity->online == 1 ? online : offline).push_back(record);
    });
    // Online identities go to the front one by one, so they read in reverse tree order.
    std::reverse(online.begin(), online.end());
    online.insert(online.end(), offline.begin(), offline.end());
    return online;
}

void AddrBook_CollectContactsByBlock(AddrNode* node, std::vector<std::unique_ptr<CBuddyNamePair>>* out,
                                     int blocked) {
    if (!out) return;
    const bool wantBlocked = blocked != 0;
    ForEach(node, [&](AddrNode* n) {
        if (n->kind != ADDR_KIND_CONTACT || ((n->flags & ADDR_FLAG_BLOCKED) != 0) != wantBlocked) return;
        auto pair = std::unique_ptr<CBuddyNamePair>(new (std::nothrow) CBuddyNamePair);
        if (!pair || !pair->SetFirst(n->id) || !pair->SetSecond(AddrBook_GetDisplayName(n))) return;
        out->push_back(std::move(pair));
    });
}

void AddrBook_CollectType3Records(AddrNode* node, std::vector<Type3Record>* out, const char* filter) {
    if (!out) return;
    const bool filtered = !store::IsEmpty(filter);
    const bool byName = filtered && store::LeadingNumber(filter) < 130;
    ForEach(node, [&](AddrNode* n) {
        const AddrIdentity* identity = AsIdentity(n);
        if (!identity || identity->type != ADDR_TYPE_SMS) return;
        Type3Record record{};
        if (IsContactLike(identity->parent)) {
            const AddrContact* contact = static_cast<const AddrContact*>(identity->parent);
            store::CopyBounded(record.contactId, sizeof record.contactId, contact->id);
            store::CopyBounded(record.displayName, sizeof record.displayName,
                               store::IsEmpty(contact->nick) ? contact->name : contact->nick);
        }
        store::CopyBounded(record.number, sizeof record.number, identity->address);
        if (filtered && !std::strstr(byName ? record.displayName : record.number, filter)) return;
        out->push_back(record);
    });
}

void AddrBook_CollectOnlineContacts(AddrNode* node, std::vector<std::unique_ptr<CInvitee>>* out) {
    if (!out) return;
    ForEach(node, [&](AddrNode* n) {
        if (n->kind != ADDR_KIND_CONTACT || !AddrBook_IsContactOnline(n)) return;
        auto invitee = std::unique_ptr<CInvitee>(new (std::nothrow) CInvitee);
        if (!invitee) return;
        invitee->SetNumber(static_cast<AddrContact*>(n)->name);
        if (const AddrIdentity* phone = AsIdentity(AddrBook_FindType8Identity(n))) invitee->SetName(phone->address);
        if (const AddrIdentity* service = AsIdentity(AddrBook_FindType9Identity(n))) {
            long long number = store::LeadingNumber(service->address);
            if (number < INT32_MIN || number > INT32_MAX) number = 0;
            invitee->SetFlag(static_cast<int>(number));
        }
        invitee->SetContact(n);
        out->push_back(std::move(invitee));
    });
}

bool AddrBook_BlockContact(AddrNode* contact) { return SetBlocked(contact, true); }

bool AddrBook_UnblockContact(AddrNode* contact) { return SetBlocked(contact, false); }

void AddrBook_DeleteServerContacts(AddrNode* node) {
    PresenceServices* services = Presence_GetServices();
    ForEach(node, [&](AddrNode* n) {
        const AddrIdentity* identity = AsIdentity(n);
        if (!identity || identity->type != ADDR_TYPE_SERVICE) return;
        int uid = Uid(identity);
        if (uid == 0 || !Account_IsOnline(identity->account)) return;
        if (services) services->castrel_remove_buddy(identity->account->connection, uid);
    });
}
