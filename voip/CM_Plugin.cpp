// The SIP protocol plug-in: starts and stops call control and turns an account into a registration.
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

namespace {
VoipUaStartFn g_uaStart = nullptr;
VoipUaStopFn g_uaStop = nullptr;
bool g_started = false;

constexpr int kLocalSipPort = 5060;
constexpr int kExpires = 1800;

char* Dup(const std::string& text) { return strdup(text.c_str()); }
}  // namespace

void VOIP_SetUaHooks(VoipUaStartFn start, VoipUaStopFn stop) {
    g_uaStart = start;
    g_uaStop = stop;
}

int VOIP_Start() {
    if (g_started) return 0;
    Sonra_Init();
    CM_Init();
    CC_Init(true);
    if (g_uaStart != nullptr && g_uaStart() != 0) {
        DebugTrace(MOD_CM, 1, "VOIP_Start: user agent did not start\n");
        CC_Exit();
        CM_Exit();
        Sonra_Destroy();
        return -1;
    }
    g_started = true;
    return 0;
}

void VOIP_Stop() {
    if (!g_started) return;
    Sonra_Destroy();
    if (g_uaStop != nullptr) g_uaStop();
    CC_Exit();
    CM_Exit();
    g_started = false;
}

bool CM_PluginLoad(void*) {
    VOIP_Start();
    return true;
}

bool CM_PluginUnload(void*) {
    VOIP_Stop();
    return true;
}

CM_REG_INFO* CM_PluginBuildRegInfo(const Account* account) {
    if (account == nullptr || account->userName == nullptr) return nullptr;
    char server[128] = {};
    presence_setting_get_string(&account->settings, "server", "", server, sizeof(server));
    const int port = presence_setting_get_int(&account->settings, "port", 1);
    const std::string full = account->userName;
    const size_t at = full.find('@');
    const std::string user = full.substr(0, at);
    // A name without a domain registers in the server's domain.
    const std::string domain = at == std::string::npos ? std::string(server) : full.substr(at + 1);
    uint32_t serverIp = 0;
    plat::ResolveIPv4(server, &serverIp);
    uint32_t local = 0;
    GetLocalAddressFor(serverIp, &local);

    auto* info = static_cast<CM_REG_INFO*>(calloc(1, sizeof(CM_REG_INFO)));
    if (info == nullptr) return nullptr;
    info->pszDisplayName = Dup(user);
    info->pszUserName = Dup(user);
    info->pszIdentity = Dup(full);
    info->pszPassword = account->password ? strdup(account->password) : nullptr;
    info->pszLocalIp = Dup(plat::FormatIPv4(local));
    info->iLocalPort = kLocalSipPort;
    info->pszRegistrar = strdup(server);
    info->iRegistrarPort = port;
    info->pszProxy = strdup(server);
    info->iProxyPort = port;
    info->pszDomain = Dup(domain);
    info->iPort2 = port;
    info->iExpires = kExpires;
    if (!info->pszDisplayName || !info->pszUserName || !info->pszIdentity || !info->pszLocalIp ||
        !info->pszRegistrar || !info->pszProxy || !info->pszDomain || (account->password && !info->pszPassword)) {
        CM_RegInfoFree(info);
        return nullptr;
    }
    return info;
}

int CM_PluginLogin(Account* account) {
    CM_REG_INFO* info = CM_PluginBuildRegInfo(account);
    if (info == nullptr) return -1;
    return CM_SendEvent(-1, -1, CMEVT_START, -1, 0, info);
}

int CM_PluginLogout(void*) { return CM_SendEvent(-1, -1, CMEVT_STOP, -1, -1, nullptr); }

int GetLocalAddressFor(uint32_t dest, uint32_t* local) {
    if (local == nullptr) return 1;
    *local = plat::LocalAddressFor(dest);
    return 0;
}
