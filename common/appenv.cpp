// Process-wide settings shared by the application shell and the data store.
#include "common/appenv.h"

int g_configManual = 0;
std::string g_strUserId;
std::string g_strLangType = "eng";
std::string g_strLocalConfPath;
std::atomic<DWORD> g_idAsThread{0};
std::atomic<HWND> g_hMainWnd{nullptr};
