// SIP protocol plug-in: the voip start and stop, and registration from an account.
#include "voip/CM_Plugin.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/account.h"
#include "common/debug.h"
#include "platform/net.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/Sonra_Main.h"
#include "voip/VoipUaQueue.h"

namespace {

constexpr int kLocalSipPort = 5060;
constexpr int kDefaultSipPort = 5060;  // the registrar's port when the account names none
constexpr int kExpires = 1800;

char* Dup(const std::string& s) { return strdup(s.c_str()); }

VoipUaStartFn g_uaStart = nullptr;
VoipUaStopFn g_uaStop = nullptr;

}  // namespace

void VOIP_SetUaHooks(VoipUaStartFn start, VoipUaStopFn stop) {
  g_uaStart = start;
  g_uaStop = stop;
}

int VOIP_Start() {
  Sonra_Init();
  CM_Init();
  CC_Init(true);
  if ((g_uaStart ? g_uaStart() : VOIP_UaStart()) != 0) {
    DebugTrace(2, 1, "voip/CM_Plugin: the SIP user agent did not start\n");
    return -1;
  }
  return 0;
}

void VOIP_Stop() {
  // The user agent's and call control's threads still drive the engine: stop them before it goes.
  if (g_uaStop) g_uaStop();
  else VOIP_UaStop();
  CC_Exit();
  CM_Exit();
  Sonra_Destroy();
}

bool CM_PluginLoad() {
  VOIP_Start();
  return true;
}

bool CM_PluginUnload() {
  VOIP_Stop();
  return true;
}

CM_REG_INFO* CM_PluginBuildRegInfo(const Account* account) {
  if (!account || !account->userName) return nullptr;
  char server[128] = {};
  presence_setting_get_string(&account->settings, "server", "", server, sizeof server);
  // An account without a port registers to the SIP port, not to port 1.
  const int port = presence_setting_get_int(&account->settings, "port", kDefaultSipPort);
  const std::string full = account->userName;
  const size_t at = full.find('@');
  const std::string user = full.substr(0, at);
  // A name without a domain registers in the server's domain.
  const std::string domain = at == std::string::npos ? std::string(server) : full.substr(at + 1);

  auto* info = static_cast<CM_REG_INFO*>(calloc(1, sizeof(CM_REG_INFO)));
  if (!info) return nullptr;
  info->pszDisplayName = Dup(user);
  info->pszUserName = Dup(user);
  info->pszIdentity = Dup(full);
  info->pszPassword = account->password ? strdup(account->password) : nullptr;
  info->pszLocalIp = Dup(plat::FormatIPv4(plat::LocalAddressFor(0)));
  info->iLocalPort = kLocalSipPort;
  info->pszRegistrar = strdup(server);
  info->iRegistrarPort = port;
  info->pszProxy = strdup(server);
  info->iProxyPort = port;
  info->pszDomain = Dup(domain);
  info->iPort2 = port;
  info->iExpires = kExpires;
  if (!info->pszDisplayName || !info->pszUserName || !info->pszIdentity || !info->pszLocalIp ||
      !info->pszRegistrar || !info->pszProxy || !info->pszDomain ||
      (account->password && !info->pszPassword)) {
    CM_RegInfoFree(info);
    return nullptr;
  }
  return info;
}

int CM_PluginLogin(Account* account) {
  CM_REG_INFO* info = CM_PluginBuildRegInfo(account);
  if (!info) return -1;
  return CM_SendEvent(-1, -1, CMEVT_START, -1, 0, info);
}

int CM_PluginLogout() { return CM_SendEvent(-1, -1, CMEVT_STOP, -1, 0, nullptr); }

int GetLocalAddressFor(uint32_t dest, uint32_t* local) {
  if (local == nullptr) return 1;
  return plat::FindLocalAddress(dest, local, nullptr) ? 0 : 1;
}
