// Address-book look-ups of the frame's call handlers.
#include "ui/shell/call_lookup.h"

#include <cstring>
#include <mutex>

#include "common/addrbook.h"
#include "common/addrbook_query.h"

namespace shell {

bool IsBlockedCaller(const std::string& address) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    const AddrNode* contact = AddrBook_FindSipContact(g_addrBookRoots[0], address.c_str());
    return contact && (contact->flags & ADDR_FLAG_BLOCKED) != 0;
}

std::string MemberPhoneNumber(int uid) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    for (AddrGroup* root : g_addrBookRoots) {
        if (!root) continue;
        AddrNode* node = uid != 0 ? AddrBook_FindIdentityByUid(root, uid) : nullptr;
        if (node) node = node->parent;
        if (!node || node->kind != ADDR_KIND_CONTACT) continue;
        const AddrNode* phone = AddrBook_FindChildIdentityOfType(node, ADDR_TYPE_PHONE);
        if (!phone) return {};
        const char* address = static_cast<const AddrIdentity*>(phone)->address;
        return address ? std::string(address, strnlen(address, 64)) : std::string();
    }
    return {};
}

std::string ContactNumber(const AddrNode* contact, uint32_t identityType) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    if (!contact || contact->kind != ADDR_KIND_CONTACT) return {};
    const char* address = AddrBook_GetIdentityAddress(const_cast<AddrNode*>(contact), identityType);
    return address ? std::string(address, strnlen(address, 64)) : std::string();
}

}  // namespace shell
