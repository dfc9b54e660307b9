// Message numbers the service threads and the login state machine exchange with the frame.
#pragma once

#include "platform/wintypes.h"

inline constexpr UINT WM_AS_REQUEST = 1124;              // thread message: an AsRequest
inline constexpr UINT WM_AS_CONFIG = 1125;               // thread message: an AsServerConfig
inline constexpr UINT WM_AS_RESULT = WM_USER + 205;      // to the frame: the answered AsRequest
inline constexpr UINT WM_BOOT_REQUEST = WM_USER + 212;   // CBootRequest: lParam to the thread, wParam back
inline constexpr UINT WM_LOGIN_NOTICE = WM_USER + 214;   // (1 log-off | 14 link lost | 2 error, state)
inline constexpr UINT WM_UPDATE_CHECK = WM_USER + 1028;  // request to the update thread and its answer
inline constexpr UINT WM_UPDATE_CANCEL = WM_USER + 1030;
inline constexpr UINT WM_LOGIN_STATE = WM_USER + 1032;   // (new state, 0)

// WM_LOGIN_NOTICE wParam values.
inline constexpr WPARAM LOGIN_NOTICE_LOGOFF = 1;
inline constexpr WPARAM LOGIN_NOTICE_SYSTEM_ERROR = 2;
inline constexpr WPARAM LOGIN_NOTICE_LINK_LOST = 14;
