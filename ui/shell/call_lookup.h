// What the frame's call handlers read from the address book: blocked callers and numbers to call.
#pragma once

#include <cstdint>
#include <string>

struct AddrNode;

namespace shell {

// Whether the contact that a caller's SIP address names is blocked.
bool IsBlockedCaller(const std::string& address);
// The telephone number (identity of type 8) of the contact of a chat member: the contact of the
// messaging identity with that uid.
std::string MemberPhoneNumber(int uid);
// The address of a contact's identity of that type (at most 64 characters), empty when none.
std::string ContactNumber(const AddrNode* contact, uint32_t identityType);

}  // namespace shell
