// The SIP plug-in through the presence core: registration at kamailio, a call placed and one answered, ordered stop.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

#include "common/account.h"
#include "e2e_support.h"
#include "platform/msgqueue.h"
#include "platform/net.h"
#include "service/presence_core.h"
#include "sip/osipua/osipua.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/CM_Plugin.h"
#include "voip/VoipUi.h"

extern PresencePlugin g_sipPlugin;

namespace {

const std::string kPeer = std::string(TESSALY_BINARY_DIR) + "/tools/voicepeer/voicepeer";

struct Event {
    int call, cnx, event;
};

class SipPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        if (!e2e::HaveTool("kamailio") || !e2e::HaveTool("espeak-ng") || !e2e::HaveTool("sox"))
            GTEST_SKIP() << "kamailio, espeak-ng and sox are needed";
        dir = e2e::TempDir("sipplugin");
        proxyPort = e2e::FreePortPair(23);
        std::ofstream(dir + "/kamailio.cfg") << e2e::KamailioConfig(proxyPort);
        ASSERT_TRUE(kamailio.Start({"/usr/sbin/kamailio", "-f", dir + "/kamailio.cfg", "-DD", "-E", "-Y", dir, "-w",
                                    dir, "-m", "32", "-M", "4", "-a", "no"},
                                   dir + "/kamailio.log"));
        ASSERT_TRUE(e2e::WaitPortBound(proxyPort, 5000)) << kamailio.Output();
        ASSERT_TRUE(e2e::MakeSpeech(dir, "This is Alice on the plug in.", dir + "/alice.wav"));
        setenv("TESSALY_AUDIO", "file", 1);
        setenv("TESSALY_WAVE_IN", (dir + "/alice.wav").c_str(), 1);
        setenv("TESSALY_WAVE_OUT", (dir + "/alice_out.wav").c_str(), 1);
        plat::SetLocalAddressOverride("127.0.0.1");

        plat::WindowTarget target;
        target.handler = [this](HWND, UINT msg, WPARAM, LPARAM lParam) -> LRESULT {
            if (msg != WM_VOIP_EVENT) return 0;
            auto* m = reinterpret_cast<VOIP_UI_MSG*>(lParam);
            {
                std::lock_guard<std::mutex> g(mu);
                events.push_back({m->iCallId, m->iCnxId, m->iEvent});
            }
            VOIP_FreeUiMsg(m);
            cv.notify_all();
            return 0;
        };
        target.poster = [](std::function<void()> task) { task(); };
        target.discard = [](HWND, UINT, WPARAM, LPARAM l) { VOIP_FreeUiMsg(reinterpret_cast<VOIP_UI_MSG*>(l)); };
        window = plat::RegisterWindowTarget(target);
        VOIP_SetUiWindow(window);
        OSIP_SetBasePort(e2e::FreePortPair(29));
        presence_use_plugins(plugins);
        presence_core_register(true);
    }
    void TearDown() override {
        if (window) {
            VOIP_SetUiWindow(nullptr);
            plat::UnregisterWindowTarget(window);
        }
        presence_core_register(false);
        presence_use_plugins(nullptr);
        unsetenv("TESSALY_WAVE_IN");
        unsetenv("TESSALY_WAVE_OUT");
        kamailio.Stop();
    }
    // Waits for the event; its call and connection.
    bool WaitEvent(int event, Event* out, int ms) {
        std::unique_lock<std::mutex> g(mu);
        return cv.wait_for(g, std::chrono::milliseconds(ms), [&] {
            for (const Event& e : events)
                if (e.event == event) {
                    if (out) *out = e;
                    return true;
                }
            return false;
        });
    }
    void Forget() {
        std::lock_guard<std::mutex> g(mu);
        events.clear();
    }
    e2e::Child StartPeer(const std::string& user, const std::vector<std::string>& extra) {
        e2e::Child peer;
        std::vector<std::string> args = {kPeer, "call", "--sip-port", std::to_string(e2e::FreePortPair(31)), "--user",
                                         user, "--remote-port", std::to_string(proxyPort), "--in", dir + "/alice.wav",
                                         "--out", dir + "/" + user + "_out.wav"};
        args.insert(args.end(), extra.begin(), extra.end());
        peer.Start(args, dir + "/" + user + ".log");
        return peer;
    }

    PresencePlugin* const plugins[2] = {&g_sipPlugin, nullptr};
    std::string dir;
    int proxyPort = 0;
    e2e::Child kamailio;
    HWND window = nullptr;
    std::mutex mu;
    std::condition_variable cv;
    std::vector<Event> events;
};

TEST(SipPluginRecord, BuiltFromTheAccount) {
    struct Case {
        const char* name;
        bool withPort;
        const char* user;
        const char* domain;
        int port;
    };
    const Case cases[] = {
        {"alice@example.org", true, "alice", "example.org", 5070},
        {"bob@example.org", false, "bob", "example.org", 5060},  // no "port": the SIP port
        {"carol", true, "carol", "sip.example.org", 5070},    // no domain: the server's
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Account* a = Account_New(c.name, ACCOUNT_TYPE_SIP);
        Account_SetPassword(a, "pw");
        presence_setting_set_string(&a->settings, "server", nullptr, "sip.example.org");
        if (c.withPort) presence_setting_set_int(&a->settings, "port", nullptr, 5070);
        CM_REG_INFO* info = CM_PluginBuildRegInfo(a);
        ASSERT_NE(nullptr, info);
        EXPECT_STREQ(c.user, info->pszDisplayName);
        EXPECT_STREQ(c.user, info->pszUserName);
        EXPECT_STREQ(c.name, info->pszIdentity);
        EXPECT_STREQ("pw", info->pszPassword);
        EXPECT_STREQ("sip.example.org", info->pszRegistrar);
        EXPECT_STREQ("sip.example.org", info->pszProxy);
        EXPECT_STREQ(c.domain, info->pszDomain);
        EXPECT_EQ(c.port, info->iRegistrarPort);
        EXPECT_EQ(c.port, info->iProxyPort);
        EXPECT_EQ(c.port, info->iPort2);
        EXPECT_EQ(5060, info->iLocalPort);
        EXPECT_EQ(1800, info->iExpires);
        CM_RegInfoFree(info);
        Account_Free(a);
    }
}

TEST(SipPluginRecord, LocalAddressTowardADestination) {
    plat::SetLocalAddressOverride("");
    uint32_t local = 0;
    EXPECT_EQ(0, GetLocalAddressFor(0x7F000001u, &local));
    EXPECT_EQ(0x7F000001u, local);
    EXPECT_EQ(1, GetLocalAddressFor(0xFFFFFFFFu, &local));  // no interface routes to the broadcast address
    EXPECT_EQ(1, GetLocalAddressFor(0x7F000001u, nullptr));
}

TEST_F(SipPlugin, RegistersPlacesAndAnswersCallsAndStopsInOrder) {
    e2e::Child bob = StartPeer("bob", {"--seconds", "2"});
    ASSERT_TRUE(bob.WaitFor("ready", 10000)) << bob.Output();

    ASSERT_TRUE(presence_plugins_load_all());  // the voip start
    Account* alice = Account_New("alice@127.0.0.1", ACCOUNT_TYPE_SIP);
    Account_SetPassword(alice, "secret");
    presence_setting_set_string(&alice->settings, "server", nullptr, "127.0.0.1");
    presence_setting_set_int(&alice->settings, "port", nullptr, proxyPort);
    ASSERT_NE(nullptr, Account_Login(alice));
    ASSERT_EQ(0, presence_serv_login(alice, window));
    ASSERT_TRUE(WaitEvent(VOIPEVT_START, nullptr, 10000)) << kamailio.Output();
    EXPECT_TRUE(CC_IsStarted());

    // A call placed the way the dial page does it, answered by bob.
    const int call = CM_AllocCall();
    const int cnx = CC_AllocCnx();
    ASSERT_GE(call, 0);
    ASSERT_GE(cnx, 0);
    CM_SendEvent(call, cnx, CMEVT_NEWCALL, -1, -1, strdup("bob"));
    ASSERT_TRUE(WaitEvent(VOIPEVT_REMOTE_ANSWER, nullptr, 10000)) << bob.Output();
    CM_SendEvent(call, cnx, CMEVT_DISCONNECT, -1, -1, nullptr);
    ASSERT_TRUE(WaitEvent(VOIPEVT_RELEASE_CALL, nullptr, 5000));
    EXPECT_EQ(0, bob.Wait(15000)) << bob.Output();

    // A call from carol, answered here.
    Forget();
    e2e::Child carol = StartPeer("carol", {"--call", "alice", "--seconds", "2"});
    Event incoming{};
    ASSERT_TRUE(WaitEvent(VOIPEVT_REMOTE_NEWCALL, &incoming, 15000)) << carol.Output();
    CM_SendEvent(incoming.call, incoming.cnx, CMEVT_CONNECT, -1, -1, nullptr);
    ASSERT_TRUE(WaitEvent(VOIPEVT_REMOTE_DISCONNECT, nullptr, 15000)) << carol.Output();
    EXPECT_EQ(0, carol.Wait(15000)) << carol.Output();

    // Sign-out stops the connection controller; unloading stops call control in its order.
    Account_Logout(alice);
    for (int i = 0; i < 500 && CC_IsStarted(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(CC_IsStarted());
    EXPECT_TRUE(presence_plugins_unload_all());
    EXPECT_EQ(-1, CC_AllocCnx()) << "nothing is left running after the stop";
    Account_Free(alice);
}

}  // namespace
