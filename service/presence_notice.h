// Presence notices to the user interface: buddy and message records and the window messages carrying them.
#pragma once

#include <cstdint>
#include <vector>

#include "common/addrbook.h"
#include "platform/wintypes.h"

struct Account;
struct PresenceConnectionRec;

inline constexpr UINT WM_PRESENCE_STATE = WM_USER + 206;
inline constexpr UINT WM_PRESENCE_BUDDY = WM_USER + 207;
inline constexpr UINT WM_PRESENCE_LIST_BEGIN = WM_USER + 209;
inline constexpr UINT WM_PRESENCE_LIST_END = WM_USER + 210;
inline constexpr UINT WM_PRESENCE_ERROR = WM_USER + 211;
inline constexpr UINT WM_PRESENCE_NO_PASSWORD = WM_USER + 513;
inline constexpr UINT WM_PRESENCE_NO_CORE = WM_USER + 515;
inline constexpr UINT WM_PRESENCE_TEXT = WM_USER + 522;
inline constexpr UINT WM_PRESENCE_VOICE = WM_USER + 524;

// One buddy as the user interface sees it. Posted records are heap blocks (new) freed by the receiver.
struct PresenceBuddyRecord {
    int32_t id = 0;           // "uid"; 0: not a buddy
    char name[65] = {};       // display name, ANSI
    char account[67] = {};    // the buddy's address as the messaging library gives it, UTF-8
    int32_t online = 0;
    char userId[136] = {};    // the address-book node's id text
    char status[256] = {};
};

// An incoming text or voice message; lives on the sender's stack during the synchronous send.
struct PresenceMessageRecord {
    char chatId[32] = {};
    PresenceBuddyRecord sender;
    int32_t time = 0;
    Account* account = nullptr;
    std::vector<PresenceBuddyRecord> recipients;
    int32_t command = 0;
    int32_t room = 0;
};

// Copies text into a fixed field, cut to the field and always terminated.
void presence_copy_field(char* field, size_t size, const char* text);

void presence_post_ui(UINT message);
void presence_post_connection_state(PresenceConnectionRec* connection, int state);
// Takes the record: posted, or freed when it cannot be.
void presence_post_buddy_update(PresenceConnectionRec* connection, PresenceBuddyRecord* record);
void presence_post_list_begin(PresenceConnectionRec* connection);
void presence_post_list_end(PresenceConnectionRec* connection);
// Takes the heap text (malloc): posted, or freed when it cannot be.
void presence_post_server_error(PresenceConnectionRec* connection, char* text);
// Send synchronously; the text (malloc) of a text message belongs to the receiver once sent. The
// record's recipient list is emptied. The record's account is the connection's, or its own when the
// connection no longer names one (a notice delivered by the sign-out). Returns whether the window handled it.
bool presence_notify_text_message(PresenceConnectionRec* connection, char* text, PresenceMessageRecord record);
bool presence_notify_voice_message(PresenceConnectionRec* connection, int entryId, PresenceMessageRecord record);
// 1 with the record filled from the node's messaging buddy, 0 (record untouched) when it has none.
int presence_buddy_to_ui_record(PresenceBuddyRecord* record, AddrNode* node);

// While set, a sender blocked in a message notice gives up before delivery (the plug-in is stopping).
void presence_notices_hold(bool on);
