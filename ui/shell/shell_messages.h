// Message and command numbers of the frame that the shell's windows and its tests share.
#pragma once

#include "platform/wintypes.h"

inline constexpr UINT WM_LANGUAGE_CHANGED = WM_USER + 1000;
inline constexpr UINT WM_SKIN_CHANGED = WM_USER + 1001;
inline constexpr UINT WM_AS_GROUP_LIST = WM_USER + 215;
inline constexpr UINT WM_GROUP_ACTION = WM_USER + 1043;  // wParam 0 open the group chat, 1 invite; lParam a GroupRecord
inline constexpr UINT WM_CALL_DIAL = WM_USER + 200;
inline constexpr UINT WM_CALL_HANGUP = WM_USER + 201;
inline constexpr UINT WM_FRAME_COMMAND = 0x0111;  // WM_COMMAND: wParam the command id
inline constexpr UINT WM_RUN_SETUP = WM_USER + 1031;  // from another program: close and run the installer
inline constexpr UINT WM_SMS_OPEN = WM_USER + 1050;   // the SMS window; wParam 4: only show it

// Commands.
enum : int {
    ID_DIAL = 1000,
    ID_HANGUP = 1001,
    ID_DIAL_ALT1 = 2932,  // 2932-2935: menu and accelerator forms of the dial button
    ID_DIAL_ALT4 = 2935,
    ID_SHOW_WINDOW = 2041,
    ID_CLOSE_ALL = 2042,
    ID_ABOUT = 2914,
    ID_LOGIN = 2919,
    ID_LOGOFF = 2920,
    ID_LOGIN_AS = 2921,
    ID_APP_EXIT = 2922,
    ID_UPDATE_NOW = 2959,
    ID_ALWAYS_TOP = 2923,
    ID_LANG_CHS = 2927,
    ID_LANG_ENG = 2928,
    ID_SHOW_BOOK = 2929,
    ID_SHOW_LOG = 2930,
    ID_SHOW_DIAL = 2931,
    ID_SHOW_SERVICE = 2963,
    ID_STATUS_ONLINE = 3114,
    ID_STATUS_OFFLINE = 3115,
    ID_STATUS_BUSY = 3116,
    ID_SPEAKER_MUTE = 32773,
    ID_MIC_MUTE = 32776,
    ID_ADD_CONTACT = 32800,
    ID_DELETE_ITEM = 32801,
    ID_SEARCH = 2847,
    ID_HOME_PAGE = 2994,
    ID_ACCOUNTS = 2946,
    ID_CHAT_ROOMS = 2840,    // chat windows: the chat-room list
    ID_CHAT_RECORDS = 2850,  // chat windows: the chat-record browser
    ID_SMS = 2846,
    ID_SORT_KIND1 = 2924,
    ID_SORT_KIND2 = 2925,
    ID_HELP = 2943,
    ID_PORTAL = 2944,
    ID_SHARE = 2962,
};

// Presence status of the status bar, the tray and the frame: one numbering everywhere.
// Busy is 2 as in the status menu (3114 + status); the tray, the bar and the frame all use it.
enum PresenceStatus : int { STATUS_ONLINE = 0, STATUS_OFFLINE = 1, STATUS_BUSY = 2, STATUS_LEAVE = 3, STATUS_NOT_AVAILABLE = 4 };

// The frame's own sign-in state.
enum FrameLoginState : int { LOGIN_SIGNED_OUT = 0, LOGIN_SIGNED_IN = 1, LOGIN_SIGNING_IN = 2, LOGIN_SIGNING_OUT = 3 };

// Page types of the sheet.
enum PageType : int { PAGE_BOOK = 0, PAGE_DIAL = 1, PAGE_LOG = 2, PAGE_START = 3, PAGE_CALL = 6, PAGE_SERVICE = 9, PAGE_NONE = 7 };
