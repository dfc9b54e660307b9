// Account list: creation, lookup, sign-in and sign-off through the presence core, "account.ini".
#include "common/account.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/addrbook.h"
#include "common/addrbook_query.h"
#include "common/appenv.h"
#include "common/debug.h"
#include "common/storeutil.h"
#include "platform/fs.h"
#include "platform/ini.h"

Account* g_accountList = nullptr;
plat::RecursiveMutex g_hAccountMutex;

namespace {

struct AccountSection {
    uint32_t type;
    const char* section;
    const char* defaultServer;
    int defaultPort;
};

constexpr AccountSection kSections[] = {
    {ACCOUNT_TYPE_SERVICE, "qz", ACCOUNT_DEFAULT_SERVICE_SERVER, ACCOUNT_DEFAULT_SERVICE_PORT},
    {ACCOUNT_TYPE_SIP, "sip", ACCOUNT_DEFAULT_SIP_HOST, ACCOUNT_DEFAULT_SIP_PORT},
};

const AccountSection* SectionOf(uint32_t type) {
    for (const AccountSection& s : kSections)
        if (s.type == type) return &s;
    return nullptr;
}

std::string AccountFilePath() { return plat::PathJoin(plat::BaseFolder(), "account.ini"); }

int SetText(char** field, const char* text) {
    if (!text) {
        store::ReplaceText(field, nullptr);
        return 0;
    }
    if (!store::ReplaceText(field, text)) return 0;
    return static_cast<int>(std::strlen(text) + 1);
}

// Signs off, unlinks and frees every listed account.
void ReleaseAll() {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
    while (Account* account = g_accountList) {
        Account_Logout(account);
        Account_Remove(account);
        Account_Free(account);
    }
}

void LoadSection(const AccountSection& s, const char* path) {
    char buffer[128];
    GetPrivateProfileString(s.section, "username", "", buffer, sizeof buffer, path);
    if (!buffer[0]) return;
    Account* account = Account_New(buffer, s.type);
    if (!account) return;

    GetPrivateProfileString(s.section, "password", "", buffer, sizeof buffer, path);
    Account_SetPassword(account, buffer);
    GetPrivateProfileString(s.section, "alias", "", buffer, sizeof buffer, path);
    Account_SetAlias(account, buffer);
    GetPrivateProfileString(s.section, "server", "", buffer, sizeof buffer, path);
    if (buffer[0]) presence_setting_set_string(&account->settings, "server", nullptr, buffer);
    int port = static_cast<int>(GetPrivateProfileInt(s.section, "port", s.defaultPort, path));
    if (port < 0 || port > 65535) {
        DebugTrace(MOD_PRESENCE, 1, "account.ini [%s] port %d out of range, using %d", s.section, port,
                   s.defaultPort);
        port = s.defaultPort;
    }
    presence_setting_set_int(&account->settings, "port", nullptr, port);
    Account_SetAutoLogin(account, GetPrivateProfileInt(s.section, "autologin", 1, path));
    if (!Account_Add(account)) Account_Free(account);
}

bool SaveSection(const Account* account, const char* path) {
    const AccountSection* s = SectionOf(account->type);
    if (!s) return true;
    char server[128];
    presence_setting_get_string(&account->settings, "server", s->defaultServer, server, sizeof server);
    int port = presence_setting_get_int(&account->settings, "port", s->defaultPort);
    // A null alias or password deletes the key: a later account of the same type replaces an earlier one
    // whole instead of taking over its password.
    bool ok = WritePrivateProfileString(s->section, "username", account->userName, path);
    ok = WritePrivateProfileString(s->section, "password", account->password, path) && ok;
    ok = WritePrivateProfileString(s->section, "alias", account->alias, path) && ok;
    ok = WritePrivateProfileInt(s->section, "autologin", static_cast<int>(account->autoLogin), path) && ok;
    ok = WritePrivateProfileString(s->section, "server", server, path) && ok;
    ok = WritePrivateProfileInt(s->section, "port", port, path) && ok;
    return ok;
}

// Writes every listed account into a fresh temporary file and renames it over "account.ini", so
// an interrupted save leaves the previous file whole. The passwords inside keep both files
// readable by the owner only.
void SaveFile() {
    const std::string path = AccountFilePath();
    const std::string temp = path + ".new";
    bool ok = plat::WriteFileAtomic(temp, "", plat::FileAccess::OwnerOnly);
    for (const Account* a = g_accountList; ok && a; a = a->next) ok = SaveSection(a, temp.c_str());
    if (ok) ok = plat::RenameFile(temp, path);
    if (!ok) {
        DebugTrace(MOD_PRESENCE, 1, "Cannot write %s", path.c_str());
        plat::RemoveFile(temp);
    }
}

}  // namespace

Account* Account_New(const char* userName, uint32_t type) {
    if (!userName) return nullptr;
    Account* account = new (std::nothrow) Account;
    if (!account) return nullptr;
    account->userName = store::DupText(userName);
    if (!account->userName) {
        delete account;
        return nullptr;
    }
    account->type = type;
    return account;
}

Account* Account_Find(const char* userName, uint32_t type) {
    if (!userName) return nullptr;
    for (Account* a = g_accountList; a; a = a->next)
        if (a->type == type && store::EqualNoCase(a->userName, userName)) return a;
    return nullptr;
}

Account* Account_FindByType(uint32_t type) {
    for (Account* a = g_accountList; a; a = a->next)
        if (a->type == type) return a;
    return nullptr;
}

int Account_Add(Account* account) {
    if (!account || Account_Find(account->userName, account->type)) return 0;
    for (Account* a = g_accountList; a; a = a->next)
        if (a == account) return 0;
    account->next = g_accountList;
    g_accountList = account;
    return 1;
}

void Account_Remove(Account* account) {
    if (!account) return;
    for (Account** link = &g_accountList; *link; link = &(*link)->next) {
        if (*link == account) {
            *link = account->next;
            account->next = nullptr;
            break;
        }
    }
    for (AddrNode* identity : AddrBook_CollectIdentitiesOfAccount(g_addrBookRoots[0], account))
        AddrBook_DeleteSubtree(identity);
    // Identities of the other roots must not keep a pointer to an account about to be freed.
    for (int r = 1; r < 3; ++r)
        for (AddrNode* identity : AddrBook_CollectIdentitiesOfAccount(g_addrBookRoots[r], account))
            static_cast<AddrIdentity*>(identity)->account = nullptr;
}

void Account_Free(Account* account) {
    if (!account) return;
    std::free(account->userName);
    std::free(account->alias);
    std::free(account->password);
    presence_setting_free_all(&account->settings);
    delete account;
}

PresenceConnection* Account_Login(Account* account) {
    if (!account || account->connection) return nullptr;
    PresenceServices* services = Presence_GetServices();
    if (!services) return nullptr;
    PresenceConnection* connection = services->presence_connection_new(account);
    if (!connection) return nullptr;
    services->presence_connection_connect(connection);
    // Connecting may discard the new connection (no password where one is needed).
    return account->connection;
}

void Account_Logout(Account* account) {
    if (!account || !account->connection) return;
    PresenceConnection* connection = account->connection;
    account->connection = nullptr;
    if (PresenceServices* services = Presence_GetServices()) services->presence_connection_disconnect(connection);
}

bool Account_IsOnline(const Account* account) {
    return account && account->connection && account->connection->state == PRESENCE_CONNECTED;
}

bool Account_IsOffline(const Account* account) {
    return account && (!account->connection || account->connection->state == PRESENCE_DISCONNECTED);
}

void Account_SetConnection(Account* account, PresenceConnection* connection) {
    if (account) account->connection = connection;
}

void Account_SetConnectionParam(Account* account, uint32_t state) {
    if (account && account->connection) account->connection->state = state;
}

int Account_SetPassword(Account* account, const char* text) {
    return account ? SetText(&account->password, text) : 0;
}

int Account_SetAlias(Account* account, const char* text) {
    return account ? SetText(&account->alias, text) : 0;
}

void Account_SetAutoLogin(Account* account, uint32_t flag) {
    if (account) account->autoLogin = flag;
}

int Account_LoadAll() {
    ReleaseAll();
    if (!g_configManual) return 1;
    const std::string path = AccountFilePath();
    for (const AccountSection& s : kSections) LoadSection(s, path.c_str());

    PresenceServices* services = Presence_GetServices();
    for (Account* account = g_accountList; account; account = account->next) {
        if (!account->autoLogin) continue;
        Account_Login(account);
        if (services) services->presence_serv_login(account, g_hMainWnd.load());
    }
    return 1;
}

void Account_LogoffAll() {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
    if (!g_configManual) {
        ReleaseAll();
        return;
    }
    // The accounts are the user's own file: signed off and unbound from the address book, but kept
    // in their order for the next sign-in and for the save at exit.
    std::vector<Account*> kept;
    while (Account* account = g_accountList) {
        Account_Logout(account);
        Account_Remove(account);
        kept.push_back(account);
    }
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
        if (!Account_Add(*it)) Account_Free(*it);
    }
}

int Account_SaveAll() {
    if (g_configManual) {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        SaveFile();
    }
    ReleaseAll();
    return 1;
}
