// Address-book queries for the windows (finders, collections) and the actions that also reach the
// messaging service (block, unblock, delete on the server). Texts compare without regard to case.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/addrbook.h"

struct Account;

// Two heap texts {first, second}; filled with a contact id and its display name.
class CBuddyNamePair {
public:
    CBuddyNamePair() = default;
    ~CBuddyNamePair();
    CBuddyNamePair(const CBuddyNamePair&) = delete;
    CBuddyNamePair& operator=(const CBuddyNamePair&) = delete;
    // Replace a text with a copy; false when memory runs out.
    bool SetFirst(const char* text);
    bool SetSecond(const char* text);
    const char* First() const { return m_first; }
    const char* Second() const { return m_second; }

private:
    char* m_first = nullptr;
    char* m_second = nullptr;
};

// One person to call or invite, as the conference choosers take it.
class CInvitee {
public:
    CInvitee() = default;
    ~CInvitee();
    CInvitee(const CInvitee&) = delete;
    CInvitee& operator=(const CInvitee&) = delete;
    // Store copies of a non-null text (a null text leaves the field as it is).
    void SetNumber(const char* text);
    void SetName(const char* text);
    // The service number.
    void SetFlag(int value) { m_flag = value; }
    // Stores a copy of the contact's record with its own texts and without tree links, so it stays
    // valid whatever happens to the tree afterwards. The copy has no identities: whether the contact
    // is online is read from the book by its id (ContactOnline).
    void SetContact(const AddrNode* contact);
    const char* Number() const { return m_number; }
    const char* Name() const { return m_name; }
    int Flag() const { return m_flag; }
    const AddrContact* Contact() const { return m_contact; }
    // Whether the book's contact with the copy's id (under My contacts) is online now.
    bool ContactOnline() const;

private:
    char* m_number = nullptr;
    char* m_name = nullptr;
    int m_flag = 0;
    AddrContact* m_contact = nullptr;
};

// Direct-child finders: first matching child, or null.
AddrNode* AddrBook_FindChildContactByName(AddrNode* node, const char* name);
AddrNode* AddrBook_FindChildContactById(AddrNode* node, const char* id);
AddrNode* AddrBook_FindChildKind7ById(AddrNode* node, const char* id);
AddrNode* AddrBook_FindChildGroupByName(AddrNode* node, const char* name);
AddrNode* AddrBook_FindIdentityByType(AddrNode* node, uint32_t type);
AddrNode* AddrBook_FindType8Identity(AddrNode* node);
AddrNode* AddrBook_FindType9Identity(AddrNode* node);
AddrNode* AddrBook_FindChildIdentityOfType(AddrNode* node, uint32_t type);

// Address of the contact's first identity of that type, or null.
const char* AddrBook_GetIdentityAddress(AddrNode* contact, uint32_t type);
// One of the contact's children has flag 0x200 or 0x800 and is online.
bool AddrBook_IsContactOnline(const AddrNode* contact);
// Online, and every online messaging identity of the contact shows busy.
bool AddrBook_IsContactBusy(const AddrNode* contact);
// Group: an identity of that type somewhere below; contact or list: a child of that type;
// identity: its own type. For type 9 the identity's "uid" must not be 0.
bool AddrBook_HasIdentityType(AddrNode* node, uint32_t type);

// Subtree finders: pre-order from the node (included), first match, or null.
AddrNode* AddrBook_FindById(AddrNode* node, const char* id);
AddrNode* AddrBook_FindByIdInParent(AddrNode* node, const char* id, const char* parentId);
AddrNode* AddrBook_FindContactById(AddrNode* node, const char* id);
AddrNode* AddrBook_FindIdentity(AddrNode* node, const Account* account, const char* address);
AddrNode* AddrBook_FindIdentityByUid(AddrNode* node, int uid);
AddrNode* AddrBook_FindSipIdentity(AddrNode* node, const char* address);
// The contact a SIP address names: the contact of the SIP identity with that address, else, for an
// address of the SIP account's own domain (its user name's, else its server's), the contact whose
// id is the address's user part (peers of the same service arrive as user@domain).
AddrNode* AddrBook_FindSipContact(AddrNode* node, const char* address);
// Identity bound to the connection's account whose address equals the buddy record's address.
AddrNode* AddrBook_FindIdentityForRecord(AddrNode* node, const PresenceConnection* connection,
                                         const char* recordAddress);

// Collections, in tree (pre-order) order.
std::vector<AddrNode*> AddrBook_CollectIdentitiesOfAccount(AddrNode* node, const Account* account);

struct IdentityRecord {
    uint32_t uid;
    char displayName[64];
};
// Identities of the account with a non-zero "uid"; the online ones first.
std::vector<IdentityRecord> AddrBook_CollectIdentityRecords(AddrNode* node, const Account* account);
// Appends {contact id, display name} for each contact whose blocked flag equals the request.
void AddrBook_CollectContactsByBlock(AddrNode* node, std::vector<std::unique_ptr<CBuddyNamePair>>* out,
                                     int blocked);

// A number that can receive text messages, as the message window offers it (259 bytes).
struct Type3Record {
    char contactId[65];
    char displayName[129];
    char number[65];
};
static_assert(sizeof(Type3Record) == 259, "the number record is 259 bytes");
// Appends a record per type-3 identity. With a filter, only records where the filter occurs
// (case-sensitive) in the display name (when the filter's leading number is below 130) or in the
// number (otherwise).
void AddrBook_CollectType3Records(AddrNode* node, std::vector<Type3Record>* out, const char* filter);
// Appends an invitee per online contact: number = contact name, name = its type-8 address, service
// number = its type-9 address read as a number, and a copy of the contact.
void AddrBook_CollectOnlineContacts(AddrNode* node, std::vector<std::unique_ptr<CInvitee>>* out);

// Service actions.
bool AddrBook_BlockContact(AddrNode* contact);
bool AddrBook_UnblockContact(AddrNode* contact);
void AddrBook_DeleteServerContacts(AddrNode* node);
