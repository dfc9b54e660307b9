// What the data store needs of the presence core: typed settings, the connection head and one
// replaceable interface for signing accounts in and out and for the messaging service's actions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/wintypes.h"

struct Account;

// Setting kinds.
inline constexpr int32_t PRESENCE_SETTING_INT = 2;
inline constexpr int32_t PRESENCE_SETTING_TEXT = 3;

// One typed setting of an account or identity ("server", "port", "uid").
struct PresenceSetting {
    int32_t kind;      // PRESENCE_SETTING_INT or PRESENCE_SETTING_TEXT
    char* key;         // heap text (malloc)
    char* label;       // heap text or null
    int32_t intValue;  // kind 2
    char* textValue;   // kind 3: heap text
};
using PresenceSettingList = std::vector<PresenceSetting>;

// Frees the entry's key, label and text value; zeroes the entry.
void presence_setting_free(PresenceSetting* entry);
// Frees every entry and empties the list.
void presence_setting_free_all(PresenceSettingList* list);
// Replaces the value of the entry with that key (keys compared without regard to ASCII case) and
// moves it to the end of the list, or appends a new entry with copies of the key and, when given,
// the label. 1, or 0 when memory runs out (the list is then unchanged). An integer set over a text
// makes the entry an integer (its text freed), so no reader takes a number for a text.
int presence_setting_set_int(PresenceSettingList* list, const char* key, const char* label, int value);
int presence_setting_set_string(PresenceSettingList* list, const char* key, const char* label,
                                const char* text);
// True when an entry with that key exists.
bool presence_setting_has(const PresenceSettingList* list, const char* key);
// Value of the first entry with that key (a text entry is read as a decimal number), else def.
int presence_setting_get_int(const PresenceSettingList* list, const char* key, int def);
// Copies the text of the first entry with that key (an integer entry as decimal text), else def,
// into buffer (at most size-1 characters, terminated); returns buffer.
char* presence_setting_get_string(const PresenceSettingList* list, const char* key, const char* def,
                                  char* buffer, size_t size);

// Connection states.
inline constexpr uint32_t PRESENCE_DISCONNECTED = 0;
inline constexpr uint32_t PRESENCE_CONNECTED = 1;
inline constexpr uint32_t PRESENCE_CONNECTING = 2;

// Head of the presence core's connection record: the two fields the store reads and writes. The
// presence core builds its record on top of it and owns its lifetime.
struct PresenceConnection {
    uint32_t state = PRESENCE_DISCONNECTED;
    Account* account = nullptr;  // the linked account
};

// The presence core's operations the store calls. The presence core registers its implementation
// at start; tests register fakes. Without one, sign-in creates no connection and the messaging
// actions are not sent.
class PresenceServices {
public:
    virtual ~PresenceServices() = default;
    // Creates the account's connection (linked to it, stored in its connection field).
    virtual PresenceConnection* presence_connection_new(Account* account) = 0;
    // Moves a new connection to connecting; may discard it (clearing the account's link).
    virtual void presence_connection_connect(PresenceConnection* connection) = 0;
    // Closes and destroys a connection whose account link is still set.
    virtual void presence_connection_disconnect(PresenceConnection* connection) = 0;
    // Starts the protocol sign-in of an account; notices go to window. 0, or -1.
    virtual int presence_serv_login(Account* account, HWND window) = 0;
    // Messaging service: delete, block or unblock the user with that service number.
    virtual void castrel_remove_buddy(PresenceConnection* connection, int uid) = 0;
    virtual void castrel_block_buddy(PresenceConnection* connection, int uid) = 0;
    virtual void castrel_unblock_buddy(PresenceConnection* connection, int uid) = 0;
};

// Registers the implementation (null removes it); the store does not own it.
void Presence_SetServices(PresenceServices* services);
PresenceServices* Presence_GetServices();
