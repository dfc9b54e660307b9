// Notices from the call manager to the main frame (VOIP_UI_MSG posted as WM_USER+204).
#pragma once

#include "platform/wintypes.h"
#include "voip/VoipEvent.h"

#define WM_VOIP_EVENT (WM_USER + WM_VOIP_EVENT_OFFSET)

// The main frame registers its window target here (nullptr when it closes).
void VOIP_SetUiWindow(HWND hWnd);
HWND VOIP_GetUiWindow();

// Copies the six fields into a zero-filled VOIP_UI_MSG and posts it to the registered frame window
// as WM_USER+204 (wParam 0, lParam the record). Takes ownership of pValue in every case; with no
// window, or when the post fails, frees pValue and the record at once. Never blocks.
// Returns -1 when the post failed, else 0 (also when there is no window or no memory: the notice
// is then dropped).
int PostVoipEventToUi(int iCallId, int iCnxId, int iEvent, int iParam3, int iParam4, void* pValue);

// Frees a received notice and its value (the frame's handler calls this).
void VOIP_FreeUiMsg(VOIP_UI_MSG* pstMsg);
