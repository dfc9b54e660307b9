// Forwarding of user-agent events to the put function the user agent registered.
#include "voip/VoipUaQueue.h"

#include <atomic>
#include <cstdlib>

#include "common/debug.h"
#include "voip/VoipEvent.h"

namespace {
std::atomic<OSIP_UA_PUT> g_pfnUaPut{nullptr};
}

void OSIP_RegisterUaQueue(OSIP_UA_PUT pfnPut) { g_pfnUaPut.store(pfnPut); }

int VOIP_SendUaEvent(int iId, int iEvent, int iParam, void* pValue) {
    OSIP_UA_PUT pfnPut = g_pfnUaPut.load();
    if (pfnPut == nullptr || iEvent < 0 || iEvent >= OSIP_UA_EVT_MAX) {
        DebugTrace(MOD_CC, 2, "VOIP_SendUaEvent: %s for %d dropped (user agent not running)",
                   OSIP_GetUaEventName(iEvent), iId);
        if (iEvent == OSIP_UA_EVT_REGISTER) {
            CM_RegInfoFree(static_cast<CM_REG_INFO*>(pValue));
        } else {
            free(pValue);
        }
        return -1;
    }
    return pfnPut(iId, iEvent, iParam, pValue);
}
