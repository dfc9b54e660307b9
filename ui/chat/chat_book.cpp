// What the chat windows read from the address book: a member's contact, its blocked flag and number.
#include "ui/chat/chat_book.h"

#include <cstring>
#include <mutex>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/addrbook_query.h"
#include "common/debug.h"
#include "service/presence_core.h"
#include "service/presence_notice.h"
#include "ui/chat/chat_session_registry.h"
#include "ui/chat/chat_transport.h"

namespace chat {

namespace {

// A walk action: 0 (stop) at the node we look for.
int MatchId(AddrNode* node, void* a, void*) {
    return !(node->id && *static_cast<const std::string*>(a) == node->id &&
           (node->kind == ADDR_KIND_CONTACT || node->kind == ADDR_KIND_IDENTITY));
}

// The contact with that id, or the contact of the identity with it. Called with the book's lock held.
AddrNode* BookContact(const std::string& userId) {
    if (userId.empty()) return nullptr;
    for (AddrGroup* root : g_addrBookRoots) {
        AddrNode* node = AddrBook_Walk(root, &MatchId, const_cast<std::string*>(&userId), nullptr);
        if (!node) continue;
        if (node->kind == ADDR_KIND_IDENTITY) node = node->parent;
        if (node && node->kind == ADDR_KIND_CONTACT) return node;
    }
    return nullptr;
}

}  // namespace

int BookState(const std::string& userId) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* contact = BookContact(userId);
    if (!contact) return -1;
    return (contact->flags & ADDR_FLAG_BLOCKED) ? 1 : 0;
}

std::string BookPhoneNumber(const std::string& userId) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* contact = BookContact(userId);
    AddrNode* phone = contact ? AddrBook_FindType8Identity(contact) : nullptr;
    if (!phone || phone->kind != ADDR_KIND_IDENTITY) return {};
    const char* address = static_cast<AddrIdentity*>(phone)->address;
    return address ? address : "";
}

std::string BookPicture(const std::string& userId) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* contact = BookContact(userId);
    const char* extra = contact ? static_cast<AddrContact*>(contact)->extra : nullptr;
    return extra ? std::string(extra, strnlen(extra, 255)) : std::string();
}

bool BookContactDetails(const std::string& userId, BookContactInfo* info) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    AddrNode* contact = BookContact(userId);
    if (!contact || !info) return false;
    auto text = [](const char* t) { return t ? std::string(t) : std::string(); };
    info->id = text(contact->id);
    info->name = text(static_cast<AddrContact*>(contact)->name);
    info->nick = text(static_cast<AddrContact*>(contact)->nick);
    info->mobile = text(AddrBook_GetIdentityAddress(contact, 3));
    info->office = text(AddrBook_GetIdentityAddress(contact, 2));
    info->home = text(AddrBook_GetIdentityAddress(contact, 5));
    info->email = text(AddrBook_GetIdentityAddress(contact, 4));
    return true;
}

std::vector<PresenceBuddyRecord> BookMembers(const std::vector<AddrNode*>& nodes) {
    std::vector<PresenceBuddyRecord> members;
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    for (AddrNode* node : nodes) {
        PresenceBuddyRecord record;
        if (!presence_buddy_to_ui_record(&record, node)) continue;
        AddrNode* contact = node->kind == ADDR_KIND_IDENTITY ? node->parent : node;
        AddrNode* buddy = contact ? AddrBook_FindType9Identity(contact) : nullptr;
        record.online = buddy && AddrBook_IsIdentityOnline(buddy) ? 1 : 0;
        members.push_back(record);
    }
    return members;
}

namespace {
// A walk action: 0 (stop) at a messaging identity with the uid looked for.
int MatchUid(AddrNode* node, void* a, void*) {
    if (node->kind != ADDR_KIND_IDENTITY || node->type != ADDR_TYPE_SERVICE) return 1;
    return presence_setting_get_int(&static_cast<AddrIdentity*>(node)->settings, "uid", 0) != *static_cast<int*>(a);
}
}  // namespace

bool BookMemberByUid(int uid, PresenceBuddyRecord* member) {
    if (uid == 0 || !member) return false;
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    for (AddrGroup* root : g_addrBookRoots) {
        AddrNode* identity = AddrBook_Walk(root, &MatchUid, &uid, nullptr);
        if (!identity) continue;
        PresenceBuddyRecord found;
        if (!presence_buddy_to_ui_record(&found, identity)) continue;
        found.online = AddrBook_IsIdentityOnline(identity) ? 1 : 0;
        std::memcpy(found.account, member->account, sizeof found.account);
        *member = found;
        return true;
    }
    return false;
}

int BookSenderByUid(int uid, PresenceBuddyRecord* member) {
    if (uid == 0 || !member) return 0;
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    for (AddrGroup* root : g_addrBookRoots) {
        AddrNode* identity = root ? AddrBook_Walk(root, &MatchUid, &uid, nullptr) : nullptr;
        if (!identity) continue;
        presence_copy_field(member->name, sizeof member->name, AddrBook_GetDisplayName(identity));
        AddrNode* contact = identity->parent;
        if (!contact || (contact->kind != ADDR_KIND_CONTACT && contact->kind != ADDR_KIND_LIST)) return 2;
        presence_copy_field(member->userId, 129, contact->id ? contact->id : "");
        const char* extra = static_cast<AddrContact*>(contact)->extra;
        presence_copy_field(member->status, sizeof member->status, extra ? extra : "");
        return 1;
    }
    return 0;
}

std::string BookNameByUid(int uid) {
    if (uid == 0) return {};
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    for (AddrGroup* root : g_addrBookRoots) {
        AddrNode* identity = root ? AddrBook_Walk(root, &MatchUid, &uid, nullptr) : nullptr;
        AddrNode* contact = identity ? identity->parent : nullptr;
        if (!contact || contact->kind != ADDR_KIND_CONTACT) continue;
        const char* own = static_cast<AddrContact*>(contact)->name;
        const char* name = own && *own ? own : contact->id;
        if (name && *name) return std::string(name).substr(0, 127);
    }
    return {};
}

int SendGroupText(CChatSessionRegistry* registry, const std::string& text, const std::vector<AddrNode*>& members) {
    if (!registry) return 0;
    const std::string chatId = registry->MakeChatId(0);
    const std::vector<PresenceBuddyRecord> recipients = BookMembers(members);
    // Each member gets the text as a message to it alone, all under the one chat id, while the
    // messaging account stays online.
    int sent = 0;
    for (const PresenceBuddyRecord& member : recipients) {
        Account* own = registry->GetOwnAccount();
        if (!Account_IsOnline(own) || !own->connection) break;
        std::vector<PresenceBuddyRecord> one{member};
        if (ChatSendIm(presence_rec(own->connection), text.c_str(), &one, chatId.c_str(), 0) >= 0) ++sent;
    }
    DebugTrace(MOD_SYSTEM, 3, "group message to %d of %d members", sent, static_cast<int>(recipients.size()));
    return sent;
}

}  // namespace chat
