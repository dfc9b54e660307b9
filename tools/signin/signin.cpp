// signin: signs one user in through the sign-in services named by a settings file, as far as a
// registered SIP account, checks for an update, and signs off again; prints each step.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "common/debug.h"
#include "common/netsocket.h"
#include "platform/net.h"
#include "service/settings_xml.h"
#include "service/tests/signin_frame.h"
#include "service/update_check.h"
#include "sip/osipua/osipua.h"

namespace {

void PrintTrace(unsigned, const char* text) {
    if (std::getenv("SIGNIN_TRACE")) std::fprintf(stderr, "%s", text);
}

template <class Pred>
bool PumpUntil(Pred pred, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        plat::PumpWindowMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string settings = "tessaly.xml", usrcfg = "usrcfg.ini", user = "alice", password = "alice123";
    int sipPort = 5074;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--settings") settings = v;
        else if (k == "--usrcfg") usrcfg = v;
        else if (k == "--user") user = v;
        else if (k == "--password") password = v;
        else if (k == "--sip-port") sipPort = std::atoi(v.c_str());
    }
    g_debugOutput.store(PrintTrace);
    debug_enable.store(1);
    debug_all.store(3);
    setenv("TESSALY_AUDIO", "manual", 0);
    plat::SetLocalAddressOverride("127.0.0.1");

    STA_SetConfigPath(usrcfg);
    STA_FsmInit();
    ReadSettingsXml(settings.c_str());
    servicetest::SignInPresence presence;
    Presence_SetServices(&presence);
    servicetest::SignInFrame frame;
    OSIP_SetBasePort(sipPort);
    VOIP_SetUaHooks(OSIP_Init, CM_Destroy);
    if (VOIP_Start() != 0) {
        std::printf("call control did not start\n");
        return 1;
    }
    Boot_StartThread();
    AS_StartThread();

    STA_SetLoginUser(user, password);
    std::printf("signing in as %s\n", user.c_str());
    STA_PostEvent(EV_login_in);
    size_t shown = 0;
    bool online = PumpUntil([&] {
        for (; shown < frame.states.size(); ++shown) std::printf("  state %s\n", STA_StateName(frame.states[shown]));
        return STA_GetState() == ST_online || !frame.notices.empty();
    }, 60000);
    online = online && STA_GetState() == ST_online;
    std::printf(online ? "online: SIP account registered\n" : "sign-in failed\n");

    CUpdateVersionInfo info;
    std::string zip;
    WPARAM update = Update_Fetch(Update_BuildUrl(g_serviceSettings.update, "version_cn.xml"), info, zip);
    if (update == UPDATE_OK)
        std::printf("update check: %d.%d.%d (%s) %s\n", info.major, info.minor, info.build,
                    Update_IsNewer(info) ? "newer" : "not newer", zip.c_str());
    else
        std::printf("update check failed (%d)\n", static_cast<int>(update));

    STA_PostEvent(EV_login_off);
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        while (Account* a = g_accountList) {
            Account_Logout(a);
            Account_Remove(a);
            Account_Free(a);
        }
    }
    PumpUntil([&] { return !frame.notices.empty(); }, 5000);
    std::printf("signed off\n");
    AS_StopThread(10000);
    Boot_StopThread(10000);
    VOIP_Stop();
    STA_FsmDone();
    Presence_SetServices(nullptr);
    g_debugOutput.store(nullptr);
    return online ? 0 : 1;
}
