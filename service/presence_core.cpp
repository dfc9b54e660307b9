// Presence core: plug-in registry, live connection list and the account operations behind the data store.
#include "service/presence_core.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>

#include "common/addrbook.h"
#include "platform/msgqueue.h"
#include "service/presence_notice.h"

extern PresencePlugin g_castrelPlugin;
extern PresencePlugin g_sipPlugin;

PresencePlugin* const g_presencePlugins[] = {&g_castrelPlugin, &g_sipPlugin, nullptr};

namespace {

std::atomic<HWND> s_uiWindow{nullptr};
std::atomic<PresencePlugin* const*> s_registry{g_presencePlugins};

// Live connections. Callers change accounts under the account-list mutex; this lock only keeps the
// list itself whole for the validity checks made from the window's thread.
std::mutex s_liveMutex;
std::vector<PresenceConnectionRec*> s_live;

bool NeedsPassword(const PresencePlugin* plugin) {
    const PresenceProtocolOps* ops = plugin && plugin->info ? plugin->info->ops : nullptr;
    const uint32_t options = ops ? ops->options : 0;
    return (options & (PRESENCE_OPT_NO_PASSWORD_A | PRESENCE_OPT_NO_PASSWORD_B)) == 0;
}

bool HasPassword(const Account* account) { return account->password && account->password[0]; }

PresenceProtocolOps* OpsOf(const PresenceConnectionRec* connection) {
    if (!connection || !connection->plugin || !connection->plugin->info) return nullptr;
    return connection->plugin->info->ops;
}

// The data store reaches the core through this.
class CoreServices : public PresenceServices {
public:
    PresenceConnection* presence_connection_new(Account* account) override {
        return ::presence_connection_new(account);
    }
    void presence_connection_connect(PresenceConnection* connection) override {
        ::presence_connection_connect(presence_rec(connection));
    }
    void presence_connection_disconnect(PresenceConnection* connection) override {
        ::presence_connection_disconnect(presence_rec(connection));
    }
    int presence_serv_login(Account* account, HWND window) override { return ::presence_serv_login(account, window); }
    void castrel_remove_buddy(PresenceConnection* connection, int uid) override {
        if (PresenceProtocolOps* ops = OpsOf(presence_rec(connection)); ops && ops->removeBuddy)
            ops->removeBuddy(presence_rec(connection), uid);
    }
    void castrel_block_buddy(PresenceConnection* connection, int uid) override {
        if (PresenceProtocolOps* ops = OpsOf(presence_rec(connection)); ops && ops->blockBuddy)
            ops->blockBuddy(presence_rec(connection), uid);
    }
    void castrel_unblock_buddy(PresenceConnection* connection, int uid) override {
        if (PresenceProtocolOps* ops = OpsOf(presence_rec(connection)); ops && ops->unblockBuddy)
            ops->unblockBuddy(presence_rec(connection), uid);
    }
};

CoreServices s_services;

}  // namespace

HWND presence_ui_window() { return s_uiWindow.load(); }
void presence_set_ui_window(HWND window) { s_uiWindow.store(window); }

void presence_use_plugins(PresencePlugin* const* registry) {
    s_registry.store(registry ? registry : g_presencePlugins);
}

bool presence_plugins_load_all() {
    for (PresencePlugin* const* p = s_registry.load(); *p; ++p) {
        if (!(*p)->info || !(*p)->info->load) continue;
        if (!(*p)->info->load(*p)) return false;
    }
    return true;
}

bool presence_plugins_unload_all() {
    for (PresencePlugin* const* p = s_registry.load(); *p; ++p) {
        if (!(*p)->info || !(*p)->info->unload) continue;
        if (!(*p)->info->unload(*p)) return false;
    }
    return true;
}

PresencePlugin* presence_find_plugin(int protocol) {
    if (protocol == 0) return nullptr;
    for (PresencePlugin* const* p = s_registry.load(); *p; ++p)
        if ((*p)->info && (*p)->info->protocol != 0 && (*p)->info->protocol == protocol) return *p;
    return nullptr;
}

void presence_core_register(bool on) { Presence_SetServices(on ? &s_services : nullptr); }

int presence_core_init() {
    presence_core_register(true);
    presence_plugins_load_all();
    Account_LoadAll();
    AddrBook_Init();
    return 1;
}

int presence_core_quit() {
    AddrBook_Destroy();
    Account_SaveAll();
    presence_core_register(false);
    return 0;
}

int presence_serv_login(Account* account, HWND window) {
    if (!account || !account->connection) return -1;
    PresencePlugin* plugin = presence_find_plugin(static_cast<int>(account->type));
    if (!plugin) return -1;
    PresenceProtocolOps* ops = plugin->info->ops;
    if (ops && ops->login) {
        if (!HasPassword(account) && NeedsPassword(plugin)) {
            presence_post_ui(WM_PRESENCE_NO_PASSWORD);
            return -1;
        }
        // Notices of the log-in may come at once: they must find the window.
        s_uiWindow.store(window);
        ops->login(account);
    }
    s_uiWindow.store(window);
    return 0;
}

void presence_serv_close(PresenceConnectionRec* connection) {
    if (PresenceProtocolOps* ops = OpsOf(connection); ops && ops->close) ops->close(connection);
}

int presence_serv_send_im(PresenceConnectionRec* connection, const char* text,
                          std::vector<PresenceBuddyRecord>* recipients, const char* threadId, int kind) {
    std::vector<PresenceBuddyRecord> own;
    if (recipients) own.swap(*recipients);  // the caller's list is always consumed
    PresenceProtocolOps* ops = OpsOf(connection);
    if (!ops || !ops->sendIm || !threadId) return -1;
    return ops->sendIm(connection, &own, text, threadId, kind);
}

void presence_serv_stop_audio(PresenceConnectionRec* connection) {
    if (PresenceProtocolOps* ops = OpsOf(connection); ops && ops->stopAudio) ops->stopAudio(connection);
}

void presence_serv_play_message(PresenceConnectionRec* connection, int entryId) {
    if (PresenceProtocolOps* ops = OpsOf(connection); ops && ops->playMessage) ops->playMessage(connection, entryId);
}

PresenceConnectionRec* presence_connection_new(Account* account) {
    auto* connection = new (std::nothrow) PresenceConnectionRec();
    if (!connection) return nullptr;
    connection->plugin = account ? presence_find_plugin(static_cast<int>(account->type)) : nullptr;
    connection->state = PRESENCE_DISCONNECTED;
    connection->account = account;
    if (account) Account_SetConnection(account, connection);
    return connection;
}

void presence_connection_connect(PresenceConnectionRec* connection) {
    if (!connection) return;
    if (!connection->plugin) {
        presence_post_ui(WM_PRESENCE_NO_CORE);
        return;
    }
    if (connection->state != PRESENCE_DISCONNECTED) return;
    Account* account = connection->account;
    if (account && !HasPassword(account) && NeedsPassword(connection->plugin)) {
        Account_SetConnection(account, nullptr);
        presence_connection_destroy(connection);
        return;
    }
    connection->state = PRESENCE_CONNECTING;
    std::lock_guard<std::mutex> lock(s_liveMutex);
    s_live.push_back(connection);
}

void presence_connection_disconnect(PresenceConnectionRec* connection) {
    if (!connection || !connection->account) return;
    if (connection->account->connection == connection) return;  // the caller clears the link first
    connection->account = nullptr;
    {
        std::lock_guard<std::mutex> lock(s_liveMutex);
        s_live.erase(std::remove(s_live.begin(), s_live.end(), connection), s_live.end());
    }
    presence_serv_close(connection);
    connection->state = PRESENCE_DISCONNECTED;
    presence_connection_destroy(connection);
}

void presence_connection_set_state(PresenceConnectionRec* connection, int state) {
    if (!connection || connection->state == static_cast<uint32_t>(state)) return;
    connection->state = static_cast<uint32_t>(state);
    if (state == static_cast<int>(PRESENCE_CONNECTED)) connection->connectedAt = std::time(nullptr);
}

int presence_connection_get_state(const PresenceConnectionRec* connection) {
    return connection ? static_cast<int>(connection->state) : 0;
}

bool presence_connection_is_valid(const PresenceConnection* connection) {
    if (!connection) return false;
    std::lock_guard<std::mutex> lock(s_liveMutex);
    return std::find(s_live.begin(), s_live.end(), connection) != s_live.end();
}

void presence_connection_destroy(PresenceConnectionRec* connection) {
    if (!connection) return;
    {
        // A connection destroyed without a disconnect must not stay listed.
        std::lock_guard<std::mutex> lock(s_liveMutex);
        s_live.erase(std::remove(s_live.begin(), s_live.end(), connection), s_live.end());
    }
    std::free(connection->firstText);
    std::free(connection->secondText);
    std::free(connection->thirdText);
    delete connection;
}

size_t presence_live_count() {
    std::lock_guard<std::mutex> lock(s_liveMutex);
    return s_live.size();
}
