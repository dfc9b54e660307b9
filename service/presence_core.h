// Presence core: the protocol plug-in registry, live connections and the operations on them.
#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

#include "common/account.h"
#include "common/presence_link.h"
#include "platform/wintypes.h"

struct PresencePlugin;
struct PresenceBuddyRecord;

// Protocol option bits: either one means the protocol signs in without a password.
inline constexpr uint32_t PRESENCE_OPT_NO_PASSWORD_A = 0x10;
inline constexpr uint32_t PRESENCE_OPT_NO_PASSWORD_B = 0x100;

// Buddy icon specification of the operations table.
struct PresenceIconSpec {
    const char* format;
    int minWidth, minHeight, maxWidth, maxHeight;
    int scaling;
};

struct PresenceConnectionRec;

// A protocol's operations; a null slot means "not supported". Slot numbers of the table in comments.
struct PresenceProtocolOps {
    uint32_t format;                                                      // 0
    uint32_t options;                                                     // 1
    PresenceSettingList* pluginOptions;                                   // 3, built at load
    PresenceIconSpec icon;                                                // 4-9
    const char* (*listIcon)(Account* account, void* buddy);               // 10
    void (*listEmblems)(void* buddy);                                     // 11
    const char* (*statusText)(void* buddy);                               // 13
    int (*login)(Account* account);                                       // 17
    void (*close)(PresenceConnectionRec* connection);                     // 18
    int (*sendIm)(PresenceConnectionRec* connection, std::vector<PresenceBuddyRecord>* recipients,
                  const char* text, const char* threadId, int kind);     // 20
    void (*stopAudio)(PresenceConnectionRec* connection);                 // 21
    void (*playMessage)(PresenceConnectionRec* connection, int entryId);  // 22
    int (*addBuddy)(PresenceConnectionRec* connection, const char* name); // 30
    void (*removeBuddy)(PresenceConnectionRec* connection, int uid);      // 32
    void (*blockBuddy)(PresenceConnectionRec* connection, int uid);       // 35
    void (*unblockBuddy)(PresenceConnectionRec* connection, int uid);     // 37
};

// Static descriptor of a plug-in.
struct PresencePluginInfo {
    uint32_t descriptorVersion;  // 4
    uint32_t kind;               // 2: protocol
    int32_t protocol;            // 1 messaging, 2 SIP
    const char* name;
    const char* version;
    const char* summary;
    const char* description;
    const char* vendor;
    const char* homePage;
    bool (*load)(PresencePlugin* plugin);
    bool (*unload)(PresencePlugin* plugin);  // may be null
    PresenceProtocolOps* ops;
};

struct PresencePlugin {
    PresencePluginInfo* info;
};

// Null-terminated registry: the messaging plug-in, then the SIP plug-in.
extern PresencePlugin* const g_presencePlugins[];

// The core's connection: the head the data store knows, then the core's own fields.
struct PresenceConnectionRec : PresenceConnection {
    PresencePlugin* plugin = nullptr;
    std::vector<void*> chatList;    // created with the connection, freed with it
    void* protocolData = nullptr;   // the plug-in's own object; not freed here
    char* firstText = nullptr;      // optional heap texts owned by the connection
    time_t connectedAt = 0;
    char* secondText = nullptr;
    char* thirdText = nullptr;
};

// Replaces the registry (tests use fake plug-ins); null restores the built-in one.
void presence_use_plugins(PresencePlugin* const* registry);

// The window that receives every presence notice; set by presence_serv_login.
HWND presence_ui_window();
void presence_set_ui_window(HWND window);

bool presence_plugins_load_all();
bool presence_plugins_unload_all();
PresencePlugin* presence_find_plugin(int protocol);
// Registers the core with the data store, loads the plug-ins, the accounts and the address book. 1.
int presence_core_init();
// Releases the address book and the accounts, then unregisters the core. 0.
int presence_core_quit();
// Registers (or with false removes) the core as the data store's presence services, without
// loading anything: for programs and tests that load plug-ins themselves.
void presence_core_register(bool on);

int presence_serv_login(Account* account, HWND window);
void presence_serv_close(PresenceConnectionRec* connection);
// Takes the recipient list (always emptied); -1 when the connection, plug-in, operation or thread id is missing.
int presence_serv_send_im(PresenceConnectionRec* connection, const char* text,
                          std::vector<PresenceBuddyRecord>* recipients, const char* threadId, int kind);
void presence_serv_stop_audio(PresenceConnectionRec* connection);
void presence_serv_play_message(PresenceConnectionRec* connection, int entryId);
// Shows the contacts the user's status through the connection's protocol; -1 when it has no such operation.

PresenceConnectionRec* presence_connection_new(Account* account);
void presence_connection_connect(PresenceConnectionRec* connection);
void presence_connection_disconnect(PresenceConnectionRec* connection);
void presence_connection_set_state(PresenceConnectionRec* connection, int state);
int presence_connection_get_state(const PresenceConnectionRec* connection);
bool presence_connection_is_valid(const PresenceConnection* connection);
void presence_connection_destroy(PresenceConnectionRec* connection);
// Number of live connections (tests).
size_t presence_live_count();

// The connection behind the data store's head (every connection is made by this core).
inline PresenceConnectionRec* presence_rec(PresenceConnection* c) { return static_cast<PresenceConnectionRec*>(c); }
