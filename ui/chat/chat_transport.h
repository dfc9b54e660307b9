// The one road of every chat send to the service layer, replaceable so tests can record the sends.
#pragma once

#include <vector>

#include "service/presence_notice.h"

struct PresenceConnectionRec;

// Same contract as presence_serv_send_im: the recipient list is consumed; -1 when nothing was sent.
using ChatSendFunction = int (*)(PresenceConnectionRec* connection, const char* text,
                                 std::vector<PresenceBuddyRecord>* recipients, const char* threadId, int kind);

int ChatSendIm(PresenceConnectionRec* connection, const char* text, std::vector<PresenceBuddyRecord>* recipients,
               const char* threadId, int kind);
// Null restores the service layer's send.
void ChatSetSendFunction(ChatSendFunction function);
