// The replaceable chat send.
#include "ui/chat/chat_transport.h"

#include "service/presence_core.h"

namespace {
ChatSendFunction g_send = nullptr;
}

int ChatSendIm(PresenceConnectionRec* connection, const char* text, std::vector<PresenceBuddyRecord>* recipients,
               const char* threadId, int kind) {
    if (g_send) return g_send(connection, text, recipients, threadId, kind);
    return presence_serv_send_im(connection, text, recipients, threadId, kind);
}

void ChatSetSendFunction(ChatSendFunction function) { g_send = function; }
