// Posting of call-manager notices to the main frame as VOIP_UI_MSG records.
#include "voip/VoipUi.h"

#include <atomic>
#include <cstdlib>

#include "common/debug.h"
#include "platform/msgqueue.h"
#include "voip/CM_Xml.h"

namespace {
std::atomic<HWND> g_hUiWindow{nullptr};

// The text a notice's value stands for in the trace line.
const char* ValueText(int iEvent, const void* pValue) {
    if (pValue == nullptr) return "NULL";
    if (iEvent == VOIPEVT_REMOTE_CONTACT) return static_cast<const CM_CONTACT*>(pValue)->szUri;
    return static_cast<const char*>(pValue);
}
}  // namespace

void VOIP_SetUiWindow(HWND hWnd) { g_hUiWindow.store(hWnd); }
HWND VOIP_GetUiWindow() { return g_hUiWindow.load(); }

int PostVoipEventToUi(int iCallId, int iCnxId, int iEvent, int iParam3, int iParam4, void* pValue) {
    auto* pstMsg = static_cast<VOIP_UI_MSG*>(calloc(1, sizeof(VOIP_UI_MSG)));
    if (pstMsg == nullptr) {
        // The value was handed over with the call: it goes with the notice.
        free(pValue);
        return 0;
    }
    pstMsg->iCallId = iCallId;
    pstMsg->iCnxId = iCnxId;
    pstMsg->iEvent = iEvent;
    pstMsg->iParam3 = iParam3;
    pstMsg->iParam4 = iParam4;
    pstMsg->pValue = pValue;
    HWND hWnd = g_hUiWindow.load();
    DebugTrace(MOD_QZ, 2, "UI Receive Message: (%d, %d), %s, %d, %d, %s", iCallId, iCnxId,
               VOIP_GetUiEventName(iEvent), iParam3, iParam4, ValueText(iEvent, pValue));
    if (hWnd == nullptr) {
        // Before the frame exists or after it is gone the notice is dropped.
        VOIP_FreeUiMsg(pstMsg);
        return 0;
    }
    if (!PostMessage(hWnd, WM_VOIP_EVENT, 0, reinterpret_cast<LPARAM>(pstMsg))) {
        DebugTrace(MOD_QZ, 1, "PostVoipEventToUi: post of %s failed", VOIP_GetUiEventName(iEvent));
        VOIP_FreeUiMsg(pstMsg);
        return -1;
    }
    return 0;
}

void VOIP_FreeUiMsg(VOIP_UI_MSG* pstMsg) {
    if (pstMsg == nullptr) return;
    free(pstMsg->pValue);
    free(pstMsg);
}
