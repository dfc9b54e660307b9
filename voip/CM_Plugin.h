// SIP protocol plug-in: starts and stops call control and turns an account's sign-in into a registration.
#pragma once

#include "voip/VoipEvent.h"

struct Account;

// The voip start: engine, call manager, connection controller, user agent. 0, or -1 when the user agent failed.
int VOIP_Start();
// The voip stop, in its order: engine, user agent, connection controller, call manager.
void VOIP_Stop();

bool CM_PluginLoad();
bool CM_PluginUnload();
// Builds the account's registration record; null for an account without a user name.
CM_REG_INFO* CM_PluginBuildRegInfo(const Account* account);
// Hands the registration to the call manager (CMEVT_START); its result.
int CM_PluginLogin(Account* account);
// CMEVT_STOP; its result.
int CM_PluginLogout();
