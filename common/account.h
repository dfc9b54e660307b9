// Account list of the run (one service account and one SIP account at most) and "account.ini".
#pragma once

#include <cstdint>

#include "common/presence_link.h"
#include "platform/sync.h"

inline constexpr uint32_t ACCOUNT_TYPE_SERVICE = 1;  // the messaging service ("qz")
inline constexpr uint32_t ACCOUNT_TYPE_SIP = 2;

// Written to "account.ini" for an account without a "server" setting.
inline constexpr const char* ACCOUNT_DEFAULT_SERVICE_SERVER = "127.0.0.1";
inline constexpr const char* ACCOUNT_DEFAULT_SIP_HOST = "localhost";
inline constexpr int ACCOUNT_DEFAULT_SERVICE_PORT = 9999;
inline constexpr int ACCOUNT_DEFAULT_SIP_PORT = 5060;

struct Account {
    Account* next = nullptr;
    char* userName = nullptr;  // heap text, never null for a created account
    char* alias = nullptr;     // heap text or null
    char* password = nullptr;  // heap text or null (kept and stored in plain text)
    uint32_t autoLogin = 0;
    uint32_t type = 0;
    PresenceConnection* connection = nullptr;  // null while signed off
    PresenceSettingList settings;              // "server" (text), "port" (integer), "uid"
};

// Head of the account list. Callers that walk or change it from several threads hold
// g_hAccountMutex; the operations below do not take it, except Account_SaveAll.
extern Account* g_accountList;
extern plat::RecursiveMutex g_hAccountMutex;

// New unlinked account with a copy of the name; null for a null name or when memory runs out.
Account* Account_New(const char* userName, uint32_t type);
// First listed account with that name (without regard to ASCII case) and type; null when none.
Account* Account_Find(const char* userName, uint32_t type);
// First listed account of the type; null when none.
Account* Account_FindByType(uint32_t type);
// Puts the account at the front of the list: 1; 0 for null or a duplicate (name, type).
int Account_Add(Account* account);
// Unlinks the account (when listed) and detaches and frees every identity of the first
// address-book root bound to it; identities elsewhere lose their link to it. The account stays.
void Account_Remove(Account* account);
// Frees the texts, the settings and the record.
void Account_Free(Account* account);
// Creates and starts the account's presence connection; null when the account is null, already
// has one, or none could be made.
PresenceConnection* Account_Login(Account* account);
// Clears the account's connection pointer, then disconnects and destroys the connection.
void Account_Logout(Account* account);
// Connected (state 1) / disconnected or without connection. A connecting account is neither.
bool Account_IsOnline(const Account* account);
bool Account_IsOffline(const Account* account);
void Account_SetConnection(Account* account, PresenceConnection* connection);
// Sets the state of the account's connection, when it has one.
void Account_SetConnectionParam(Account* account, uint32_t state);
// Replace the text with a copy (null clears it): the copied length with its terminator, 0 when
// cleared or when memory runs out (the old text is then kept).
int Account_SetPassword(Account* account, const char* text);
int Account_SetAlias(Account* account, const char* text);
void Account_SetAutoLogin(Account* account, uint32_t flag);

// Start of run: empties the list; with manual configuration reads "account.ini" from the
// installation folder and signs in the accounts marked for automatic login. Returns 1.
int Account_LoadAll();
// Sign-out: signs every account off and takes its identities out of the address book. Without manual
// configuration the list is the sign-in's own and is emptied; with it the list is the user's
// "account.ini", which stays listed for the next sign-in and is written back at exit.
void Account_LogoffAll();
// End of run: with manual configuration rewrites "account.ini"; then signs every account off,
// removes and frees it. Returns 1.
int Account_SaveAll();
