// The SIP protocol plug-in's slots (start, stop, sign-in, sign-out) and the local address toward a peer.
#pragma once

#include <cstdint>

#include "voip/VoipEvent.h"

struct Account;

// Start and stop of the SIP user agent, which sits beside call control: whoever links it installs them.
using VoipUaStartFn = int (*)();
using VoipUaStopFn = void (*)();
void VOIP_SetUaHooks(VoipUaStartFn start, VoipUaStopFn stop);

// Voice-engine bridge, call manager, connection control with "tCallCtrl", then the user agent. 0 or -1.
int VOIP_Start();
// In its order: engine, user agent, connection control, call manager.
void VOIP_Stop();

// Plug-in slots. Load and unload start and stop call control; they answer true.
bool CM_PluginLoad(void* plugin);
bool CM_PluginUnload(void* plugin);
// The registration record of the account (user part, "server" and "port" settings, local port 5060,
// 1800 s); null for an account without a user name or when memory runs out.
CM_REG_INFO* CM_PluginBuildRegInfo(const Account* account);
// Hands the account's registration to the call manager as CMEVT_START. Its result, or -1.
int CM_PluginLogin(Account* account);
// Stops the registration (CMEVT_STOP with call and connection -1).
int CM_PluginLogout(void* connection);

// 0 with the local IPv4 address (host byte order) that traffic toward dest (host byte order) leaves from.
int GetLocalAddressFor(uint32_t dest, uint32_t* local);
