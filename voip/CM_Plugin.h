// SIP protocol plug-in: starts and stops call control and turns an account's sign-in into a registration.
#pragma once

#include <cstdint>

#include "voip/VoipEvent.h"

struct Account;

// Start and stop of the user agent when something else than the SIP stack is to run beside call control
// (tests); unset, the user agent's own VOIP_UaStart and VOIP_UaStop run.
using VoipUaStartFn = int (*)();
using VoipUaStopFn = void (*)();
void VOIP_SetUaHooks(VoipUaStartFn start, VoipUaStopFn stop);

// The voip start: engine, call manager, connection controller, user agent. 0, or -1 when the user agent failed.
int VOIP_Start();
// The voip stop, in its order: user agent, connection controller, call manager, engine.
void VOIP_Stop();

bool CM_PluginLoad();
bool CM_PluginUnload();
// Builds the account's registration record; null for an account without a user name.
CM_REG_INFO* CM_PluginBuildRegInfo(const Account* account);
// Hands the registration to the call manager (CMEVT_START); its result.
int CM_PluginLogin(Account* account);
// CMEVT_STOP; its result.
int CM_PluginLogout();

// 0 with the local IPv4 address (host byte order) that traffic toward dest (host byte order) leaves from;
// 1 when no interface routes there.
int GetLocalAddressFor(uint32_t dest, uint32_t* local);
