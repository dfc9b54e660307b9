// Process-wide settings the application shell fills in and the data store reads.
#pragma once

#include <atomic>
#include <string>

#include "platform/wintypes.h"

// "usrcfg.ini" [common] config_manual: "account.ini" is read and written only when non-zero.
extern int g_configManual;
// Id of the signed-in user (names the per-user folder under "individual"); empty when none.
extern std::string g_strUserId;
// Full path of the signed-in user's local configuration file; empty when none.
extern std::string g_strLocalConfPath;
// The user interface's language code ("chs" or "eng"); set by the shell at start and on a switch.
extern std::string g_strLangType;
// Thread id of the access-client thread (0 while it is not running).
extern std::atomic<DWORD> g_idAsThread;
// The main frame window, the target of the store's notices (null while there is none).
extern std::atomic<HWND> g_hMainWnd;

// The installation folder is plat::BaseFolder() (platform/fs.h).
