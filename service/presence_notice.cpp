// Presence notices: what the plug-ins report, turned into window messages to the main window.
#include "service/presence_notice.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "common/addrbook_query.h"
#include "common/debug.h"
#include "platform/msgqueue.h"
#include "service/presence_core.h"

namespace {

std::atomic<bool> s_holdSends{false};

// A post that fails leaves the record with the caller, which frees it here.
bool Post(UINT message, PresenceConnectionRec* connection, LPARAM lParam) {
    return PostMessage(presence_ui_window(), message, reinterpret_cast<WPARAM>(connection), lParam) != FALSE;
}

LRESULT Send(UINT message, WPARAM wParam, PresenceMessageRecord* record, bool* delivered) {
    return plat::SendMessageUnless(presence_ui_window(), message, wParam, reinterpret_cast<LPARAM>(record),
                                   s_holdSends, delivered);
}

}  // namespace

void presence_copy_field(char* field, size_t size, const char* text) {
    if (!field || size == 0) return;
    const size_t n = text ? strnlen(text, size - 1) : 0;
    if (n) std::memcpy(field, text, n);
    field[n] = '\0';
}

void presence_notices_hold(bool on) {
    s_holdSends.store(on);
    if (on) plat::WakeBlockedSenders();
}

void presence_post_ui(UINT message) { PostMessage(presence_ui_window(), message, 0, 0); }

void presence_post_connection_state(PresenceConnectionRec* connection, int state) {
    Post(WM_PRESENCE_STATE, connection, state);
}

void presence_post_buddy_update(PresenceConnectionRec* connection, PresenceBuddyRecord* record) {
    if (!record) return;
    if (!connection || !connection->plugin || !Post(WM_PRESENCE_BUDDY, connection, reinterpret_cast<LPARAM>(record)))
        delete record;
}

void presence_post_list_begin(PresenceConnectionRec* connection) {
    if (connection) Post(WM_PRESENCE_LIST_BEGIN, connection, 0);
}

void presence_post_list_end(PresenceConnectionRec* connection) {
    if (connection) Post(WM_PRESENCE_LIST_END, connection, 0);
}

void presence_post_server_error(PresenceConnectionRec* connection, char* text) {
    if (!connection || !Post(WM_PRESENCE_ERROR, connection, reinterpret_cast<LPARAM>(text))) std::free(text);
}

bool presence_notify_text_message(PresenceConnectionRec* connection, char* text, PresenceMessageRecord record) {
    if (!connection) {
        std::free(text);
        return false;
    }
    PresenceMessageRecord copy = record;
    if (connection->account) copy.account = connection->account;
    bool delivered = false;
    Send(WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(text), &copy, &delivered);
    // Undelivered (no window, or the plug-in stopping): the text never reached its new owner.
    if (!delivered) {
        DebugTrace(10, 2, "presence: text message for chat %s not delivered\n", copy.chatId);
        std::free(text);
    }
    return delivered;
}

bool presence_notify_voice_message(PresenceConnectionRec* connection, int entryId, PresenceMessageRecord record) {
    if (!connection) return false;
    PresenceMessageRecord copy = record;
    if (connection->account) copy.account = connection->account;
    bool delivered = false;
    Send(WM_PRESENCE_VOICE, static_cast<WPARAM>(entryId), &copy, &delivered);
    if (!delivered) DebugTrace(10, 2, "presence: voice message %d not delivered\n", entryId);
    return delivered;
}

int presence_buddy_to_ui_record(PresenceBuddyRecord* record, AddrNode* node) {
    if (!record || !node) return 0;
    AddrNode* contact = node;
    AddrNode* buddy = node;
    if (node->kind == ADDR_KIND_CONTACT) {
        buddy = AddrBook_FindType9Identity(node);
    } else if (node->kind == ADDR_KIND_IDENTITY) {
        contact = node->parent;
        buddy = contact ? AddrBook_FindType9Identity(contact) : nullptr;
    }
    if (!buddy || !contact) return 0;
    const PresenceSettingList* settings =
        buddy->kind == ADDR_KIND_IDENTITY ? &static_cast<AddrIdentity*>(buddy)->settings : nullptr;
    *record = PresenceBuddyRecord{};
    record->id = presence_setting_get_int(settings, "uid", 0);
    if (record->id == 0) return 0;
    presence_copy_field(record->name, sizeof record->name, AddrBook_GetDisplayName(contact));
    presence_copy_field(record->userId, 129, contact->id);
    if (contact->kind == ADDR_KIND_CONTACT || contact->kind == ADDR_KIND_LIST) {
        const char* status = static_cast<AddrContact*>(contact)->extra;
        if (status) presence_copy_field(record->status, sizeof record->status, status);
    }
    return 1;
}
