// What the chat windows read from the address book: a member's contact, its blocked flag and number.
#pragma once

#include <string>
#include <vector>

struct AddrNode;
struct PresenceBuddyRecord;
class CChatSessionRegistry;

namespace chat {
// -1: no contact with that id (or an identity of one), 0: listed, 1: listed and blocked.
int BookState(const std::string& userId);
// The telephone number of the member's contact; empty when it has none.
std::string BookPhoneNumber(const std::string& userId);
// The picture file name of the member's contact (the contact's extra text); "" when it has none.
std::string BookPicture(const std::string& userId);
// What the contact-detail dialog shows of a member's contact; false when the book has no such contact.
struct BookContactInfo {
    std::string id, name, nick;
    std::string mobile, office, home, email;  // identity kinds 3, 2, 5, 4
};
bool BookContactDetails(const std::string& userId, BookContactInfo* info);
// The messaging records of address-book nodes (contacts or their identities) with their online state;
// nodes without a messaging buddy are left out.
std::vector<PresenceBuddyRecord> BookMembers(const std::vector<AddrNode*>& nodes);
// Fills a member known by its messaging uid from the address book (name, contact id, online state);
// false when no contact has a messaging buddy with that uid.
bool BookMemberByUid(int uid, PresenceBuddyRecord* member);
// What the address book says of the sender or a member of an incoming message, by its messaging uid:
// 0 no identity has that uid; 1 found: name (the identity's display text, 64 characters), contact id
// and picture name (the contact's extra text, "" when none) filled; 2 found, but its parent is no
// contact: only the name is filled. Other fields are left as they were.
int BookSenderByUid(int uid, PresenceBuddyRecord* member);
// The name of the contact whose messaging identity has that uid (its id when it has no name, at most
// 127 bytes); empty when no contact has one.
std::string BookNameByUid(int uid);
// A group message: the text to each member's messaging buddy as a message of its own, all under one
// new chat id; the number of members it went to (none while the messaging account is offline).
int SendGroupText(CChatSessionRegistry* registry, const std::string& text, const std::vector<AddrNode*>& members);
}  // namespace chat
