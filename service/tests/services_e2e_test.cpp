// End to end against the sign-in test services: the access server's scripted faults, the update server's
// variants, and a whole sign-in from the bootstrap server to a SIP account registered at kamailio.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "common/account.h"
#include "common/netsocket.h"
#include "platform/net.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "service/bootstrap.h"
#include "service/login_fsm.h"
#include "service/tests/loopback.h"
#include "service/tests/service_support.h"
#include "service/tests/services.h"
#include "service/tests/signin_frame.h"
#include "service/update_check.h"
#include "sip/osipua/osipua.h"
#include "sip/tests/peer_configs.h"
#include "voice/tests_engine/e2e_support.h"
#include "voip/CM_Plugin.h"
#include "voip/VoipUi.h"

namespace {

using servicetest::FrameDouble;
using servicetest::PumpUntil;
using servicetest::ServiceProcess;
using servicetest::SignInFrame;
using servicetest::SignInPresence;

std::string ReadAll(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// ---------------------------------------------------------------------------
// Access server
// ---------------------------------------------------------------------------

class AccessServerE2E : public ::testing::Test {
protected:
    void SetUp() override {
        frame.keepRecords = true;
        dir = e2e::TempDir("access");
        ASSERT_TRUE(AS_StartThread());
    }
    void TearDown() override {
        EXPECT_TRUE(AS_StopThread(5000));
        AS_SetReplyWaitMs(0);
        std::system(("rm -rf " + dir).c_str());
    }
    void Configure(int port, const char* user, const char* password) {
        ASSERT_TRUE(PostThreadMessage(g_idAsThread, WM_AS_CONFIG, 0,
                                      reinterpret_cast<LPARAM>(AsServerConfig_New(user, password, "127.0.0.1", port, 0))));
    }
    AsRequest* Run(int command, void* data = nullptr, uint32_t kind = AS_DATA_NONE) {
        size_t before = frame.Of(WM_AS_RESULT).size();
        if (AS_PostRequest(command, data, kind) != 1) return nullptr;
        AsRequest* answer = nullptr;
        PumpUntil([&] {
            auto got = frame.Of(WM_AS_RESULT);
            if (got.size() > before) answer = reinterpret_cast<AsRequest*>(got.back().lParam);
            return answer != nullptr;
        }, 15000);
        return answer;
    }
    AsRequest* Command(int command, const char* s1, const char* s2, int i1, const char* s3, const char* s4) {
        auto* p = static_cast<AsParams*>(calloc(1, sizeof(AsParams)));
        p->str1 = s1 ? strdup(s1) : nullptr;
        p->str2 = s2 ? strdup(s2) : nullptr;
        p->str3 = s3 ? strdup(s3) : nullptr;
        p->str4 = s4 ? strdup(s4) : nullptr;
        p->int1 = i1;
        return Run(command, p, AS_DATA_PARAMS);
    }
    FrameDouble frame;
    std::string dir;
};

TEST_F(AccessServerE2E, ScriptedRepliesGiveMinus100OrTheServersCode) {
    struct Case {
        const char* fault;
        int result;
    } const cases[] = {
        {"", 0},
        {"SYN:renew*1", 0},
        {"SYN:renew*2", -100},
        {"SYN:nochg", -100},
        {"SYN:badchg", -100},
        {"SYN:wrongroot", -100},
        {"SYN:wrongtrid", -100},
        {"SYN:notrid", 0},
        {"SYN:norcd", 0},
        {"SYN:malformed", -100},
        {"SYN:truncated", -100},
        {"SYN:close", -100},
        {"SYN:refuse", -100},
        {"SYN:split=3", 0},
        {"SYN:big=4096", 0},
        {"SYN:big=3000000", 0},  // a very large address book's size is still taken
        {"SYN:long=1000", 0},
        {"SYN:code=7", 7},
        {"SYN:empty", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        std::vector<std::string> args = {"--log", dir + "/access.log"};
        if (*c.fault) args.insert(args.end(), {"--fault", c.fault});
        ServiceProcess server("accessserver", args);
        ASSERT_NE(0, server.Port());
        Configure(server.Port(), "alice", "alice123");
        AsRequest* lgn = Run(AS_LGN);
        ASSERT_NE(nullptr, lgn);
        ASSERT_EQ(0, lgn->result);
        AsRequest* syn = Run(AS_SYN);
        ASSERT_NE(nullptr, syn);
        EXPECT_EQ(c.result, syn->result);
        if (c.result == 0 && std::string(c.fault).find("empty") == std::string::npos) {
            ASSERT_EQ(AS_DATA_SYNC, syn->kind);
            auto* s = static_cast<CAsSyncResult*>(syn->data);
            EXPECT_EQ(2u, s->services.size());
            EXPECT_GE(s->buddies.size(), 4u);
        }
        if (c.result != 0) {
            EXPECT_NE(AS_DATA_SYNC, syn->kind);
        }
    }
}

TEST_F(AccessServerE2E, WrongPasswordSilenceAndRefusal) {
    {
        ServiceProcess server("accessserver", {});
        Configure(server.Port(), "alice", "wrong");
        AsRequest* lgn = Run(AS_LGN);
        ASSERT_NE(nullptr, lgn);
        EXPECT_EQ(300, lgn->result);
    }
    {
        AS_SetReplyWaitMs(300);
        ServiceProcess server("accessserver", {"--fault", "LGN:silent", "--hold", "5"});
        Configure(server.Port(), "alice", "alice123");
        EXPECT_EQ(-100, Run(AS_LGN)->result);
        AS_SetReplyWaitMs(0);
    }
    {
        ServiceProcess server("accessserver", {"--fault", "*:refuse"});
        Configure(server.Port(), "alice", "alice123");
        EXPECT_EQ(-100, Run(AS_LGN)->result);
    }
}

TEST_F(AccessServerE2E, EveryCommandIsUnderstoodByTheServer) {
    std::string log = dir + "/access.log";
    ServiceProcess server("accessserver", {"--log", log});
    Configure(server.Port(), "alice", "alice123");
    ASSERT_EQ(0, Run(AS_LGN)->result);
    ASSERT_EQ(0, Run(AS_SYN)->result);
    auto understood = [](AsRequest* r) { return r != nullptr && r->result != -100 && r->result != 1; };
    GroupRecord* room = GroupRecord_New();
    strcpy(room->texts[2], "1");
    strcpy(room->texts[3], "1");
    EXPECT_TRUE(understood(Run(AS_SYQ, room, AS_DATA_GROUP)));
    EXPECT_TRUE(understood(Command(AS_SQI, "Lunch club", nullptr, 0, nullptr, nullptr)));
    EXPECT_TRUE(understood(Command(AS_SQN, "Lunch", nullptr, 0, nullptr, nullptr)));
    auto* join = new CAsChatQueue;
    join->SetQueueId("1");
    join->SetSubQueueId("1");
    join->SetUiText2("1");
    EXPECT_TRUE(understood(Run(AS_JNQ, join, AS_DATA_JOIN)));
    GroupRecord* quit = GroupRecord_New();
    strcpy(quit->texts[2], "1");
    strcpy(quit->texts[3], "1");
    EXPECT_TRUE(understood(Run(AS_QTQ, quit, AS_DATA_GROUP)));
    EXPECT_TRUE(understood(Run(AS_SYJQ)));
    EXPECT_TRUE(understood(Command(AS_REA, nullptr, nullptr, 0, "Alice A.", nullptr)));
    EXPECT_TRUE(understood(Command(AS_ADD, nullptr, nullptr, 0, "carol", nullptr)));
    EXPECT_TRUE(understood(Command(AS_REM, "bob", nullptr, 0, "1", nullptr)));
    EXPECT_TRUE(understood(Command(AS_REB, "lina", nullptr, 0, "Lina", nullptr)));
    EXPECT_TRUE(understood(Command(AS_BLK, "lina", nullptr, 0, nullptr, nullptr)));
    EXPECT_TRUE(understood(Command(AS_UBLK, "lina", nullptr, 0, nullptr, nullptr)));
    EXPECT_TRUE(understood(Command(AS_MVB, "lina", "1", 0, nullptr, "2")));
    AsRequest* adg = Command(AS_ADG, "", "0", 0, "Family", nullptr);
    EXPECT_TRUE(understood(adg));
    EXPECT_TRUE(understood(Command(AS_RMG, "999", nullptr, 0, nullptr, nullptr)));
    EXPECT_TRUE(understood(Command(AS_MVG, "999", "0", 0, nullptr, nullptr)));
    EXPECT_TRUE(understood(Command(AS_RNG, "999", nullptr, 0, "x", nullptr)));
    auto* list = new CAsList;
    list->SetListName("Cards");
    auto* cti = new CAsCtiEntry;
    cti->type = 1;
    cti->SetValue("13800000000");
    list->ctiEntries.push_back(cti);
    AsRequest* adl = Run(AS_ADL, list, AS_DATA_LIST);
    EXPECT_TRUE(understood(adl));
    EXPECT_TRUE(understood(Command(AS_RML, "999", nullptr, 0, nullptr, nullptr)));
    auto* list2 = new CAsList;
    list2->SetListId("999");
    list2->SetListName("Cards");
    EXPECT_TRUE(understood(Run(AS_UDL, list2, AS_DATA_LIST)));
    EXPECT_TRUE(understood(Command(AS_SRB, "bob", nullptr, 0, nullptr, nullptr)));
    EXPECT_TRUE(understood(Command(AS_SRUL, "Bob", nullptr, 0, nullptr, nullptr)));
    EXPECT_TRUE(understood(Run(AS_GCR)));
    auto* sms = new AsSmsMessage;
    sms->source = strdup("alice");
    sms->text = strdup("hello");
    sms->destinations = {strdup("13800000001")};
    EXPECT_TRUE(understood(Run(AS_SND, sms, AS_DATA_SMS)));
    EXPECT_TRUE(understood(Command(AS_SUD, "alice", nullptr, 8888, nullptr, nullptr)));
    EXPECT_TRUE(understood(Command(AS_REL, nullptr, nullptr, 0, "2", nullptr)));
    EXPECT_TRUE(understood(Run(AS_LGT)));
    // Every request after the log-in carried the digest the server expected.
    std::string text = ReadAll(log);
    EXPECT_EQ(std::string::npos, text.find("\"renew\"")) << text.substr(0, 2000);
}

// ---------------------------------------------------------------------------
// Update server
// ---------------------------------------------------------------------------

TEST(UpdateServerE2E, Variants) {
    struct Case {
        const char* fault;
        WPARAM result;
        int build;
        bool newer;
        int enforce;
    } const cases[] = {
        {"", UPDATE_OK, 7, true, 0},
        {"*:same", UPDATE_OK, 6, false, 0},
        {"*:enforced", UPDATE_OK, 0, true, 1},
        {"*:nozip", UPDATE_FAILED, 0, false, 0},
        {"*:malformed", UPDATE_FAILED, 0, false, 0},
        {"*:brokentail", UPDATE_OK, 7, true, 0},  // broken after DownloadZip: what was read answers
        {"*:status=404", UPDATE_FAILED, 0, false, 0},
        {"*:status=500", UPDATE_FAILED, 0, false, 0},
        {"*:redirect", UPDATE_FAILED, 0, false, 0},
        {"*:straddle", UPDATE_OK, 17, true, 0},
        {"*:split=5", UPDATE_OK, 7, true, 0},
        {"*:nolength", UPDATE_OK, 7, true, 0},
        {"*:drop", UPDATE_TRANSFER_ERROR, 0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        std::vector<std::string> args;
        if (*c.fault) args = {"--fault", c.fault};
        ServiceProcess server("updateserver", args);
        ASSERT_NE(0, server.Port());
        CUpdateVersionInfo info;
        std::string zip;
        std::string url = Update_BuildUrl("127.0.0.1:" + std::to_string(server.Port()), "version_cn.xml");
        EXPECT_EQ(c.result, Update_Fetch(url, info, zip));
        if (c.result == UPDATE_OK) {
            EXPECT_EQ(c.build, info.build);
            EXPECT_EQ(c.newer, Update_IsNewer(info));
            EXPECT_EQ(c.enforce, info.enforce);
            EXPECT_NE(std::string::npos, zip.find(".zip"));
        }
    }
    {
        ServiceProcess refused("updateserver", {"--fault", "*:refuse"});
        CUpdateVersionInfo info;
        std::string zip;
        EXPECT_EQ(UPDATE_TRANSFER_ERROR,
                  Update_Fetch("http://127.0.0.1:" + std::to_string(refused.Port()) + "/version_cn.xml", info, zip));
    }
}

// ---------------------------------------------------------------------------
// A whole sign-in
// ---------------------------------------------------------------------------

TEST(SignInE2E, BootstrapAccessServerSipRegistrationThenLogOff) {
    if (!e2e::HaveTool("kamailio")) GTEST_SKIP() << "kamailio is not installed";
    setenv("TESSALY_AUDIO", "manual", 1);
    std::string dir = e2e::TempDir("signin");
    int sipProxy = e2e::FreePortPair(3);
    e2e::Child kamailio;
    std::ofstream(dir + "/kamailio.cfg") << siptest::KamailioConfig(sipProxy, "secret");
    ASSERT_TRUE(kamailio.Start({"/usr/sbin/kamailio", "-f", dir + "/kamailio.cfg", "-DD", "-E", "-Y", dir, "-w", dir, "-m",
                                "32", "-M", "4", "-a", "no"},
                               dir + "/kamailio.log"));
    ASSERT_TRUE(e2e::WaitPortBound(sipProxy, 5000)) << kamailio.Output();

    ServiceProcess access("accessserver", {"--log", dir + "/access.log"}, dir + "/access.err");
    ASSERT_NE(0, access.Port());
    std::string accessPort = std::to_string(access.Port());
    // Two bootstrap ports: the first one never answers, so the sign-in moves to the second.
    ServiceProcess boot("bootserver",
                        {"--count", "2", "--fault", "p1:silent", "--log", dir + "/boot.log", "--service",
                         "8890=127.0.0.1:" + accessPort + "/tcp", "--service",
                         "8888=127.0.0.1:" + std::to_string(sipProxy) + "/udp", "--service", "8886=127.0.0.1:9999/udp"},
                        dir + "/boot.err");
    ASSERT_EQ(2u, boot.Ports().size());

    NetSocket_SetSecondLength(200);
    plat::SetLocalAddressOverride("127.0.0.1");
    STA_SetConfigPath(dir + "/usrcfg.ini");
    ASSERT_EQ(1, STA_FsmInit());
    SignInPresence presence;
    Presence_SetServices(&presence);
    SignInFrame frame;
    OSIP_SetBasePort(e2e::FreePortPair(5));
    VOIP_SetUaHooks(OSIP_Init, CM_Destroy);
    ASSERT_EQ(0, VOIP_Start());
    Boot_ResetCache();
    Boot_SetServerHost("127.0.0.1");
    ASSERT_TRUE(Boot_StartThread());
    ASSERT_TRUE(AS_StartThread());

    STA_SetLoginUser("alice", "alice123");
    STA_SetAvailPorts(SERVICE_BOOT, {{boot.Port(0), PROTO_UDP}, {boot.Port(1), PROTO_TCP}});
    STA_PostEvent(EV_login_in);
    bool online = PumpUntil([&] { return STA_GetState() == ST_online; }, 30000);
    EXPECT_TRUE(online) << "state " << STA_GetState() << "\n" << kamailio.Output().substr(0, 3000);

    // Reported in order: the silent port, the second port, profile log-in, one bootstrap question per
    // account, SIP registration, messaging, online.
    EXPECT_EQ((std::vector<int>{ST_boot_profile, ST_boot_profile, ST_profile_login, ST_boot_account, ST_boot_account,
                                ST_boot_account, ST_sip_register, ST_mv_register, ST_online}),
              frame.states);
    EXPECT_EQ((std::vector<std::pair<int, int>>{{AS_LGN, 0}, {AS_SYN, 0}}), frame.results);
    EXPECT_EQ((std::vector<int>{VOIPEVT_START}), frame.voip);
    EXPECT_NE(std::string::npos, kamailio.Output().find("REGISTER")) << kamailio.Output().substr(0, 2000);
    ASSERT_EQ(2u, presence.logins.size());
    // The working ports were saved.
    std::string ini = ReadAll(dir + "/usrcfg.ini");
    EXPECT_NE(std::string::npos, ini.find("boot_port=" + std::to_string(boot.Port(1)))) << ini;
    EXPECT_NE(std::string::npos, ini.find("boot_type=TCP")) << ini;
    EXPECT_NE(std::string::npos, ini.find("profile_port=" + accessPort)) << ini;
    EXPECT_NE(std::string::npos, ini.find("sip_port=" + std::to_string(sipProxy))) << ini;
    EXPECT_NE(std::string::npos, ini.find("im_port=9999")) << ini;
    std::string bootLog = ReadAll(dir + "/boot.log");
    EXPECT_NE(std::string::npos, bootLog.find("8890"));
    EXPECT_NE(std::string::npos, bootLog.find("8888"));
    EXPECT_NE(std::string::npos, bootLog.find("8886"));

    // Log-off: the frame signs every account out, which ends the SIP registration.
    STA_PostEvent(EV_login_off);
    EXPECT_EQ(ST_initial, STA_GetState());
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        while (Account* a = g_accountList) {
            Account_Logout(a);
            Account_Remove(a);
            Account_Free(a);
        }
    }
    // The sign-out un-registers at kamailio: REGISTER requests beyond the two of the sign-in.
    auto registers = [&] {
        std::string out = kamailio.Output();
        size_t n = 0;
        for (size_t at = out.find("REGISTER sip:"); at != std::string::npos; at = out.find("REGISTER sip:", at + 1)) ++n;
        return n;
    };
    size_t signInRegisters = registers();
    EXPECT_TRUE(PumpUntil([&] { return !frame.notices.empty() && registers() > signInRegisters; }, 10000))
        << kamailio.Output().substr(0, 4000);
    EXPECT_EQ((std::vector<int>{1}), frame.notices);
    EXPECT_EQ(ST_initial, frame.states.back());

    EXPECT_TRUE(AS_StopThread(5000));
    EXPECT_TRUE(Boot_StopThread(5000));
    VOIP_Stop();
    VOIP_SetUaHooks(nullptr, nullptr);
    STA_FsmDone();
    Presence_SetServices(nullptr);
    NetSocket_SetSecondLength(0);
    plat::SetLocalAddressOverride("");
    Boot_SetServerHost("");
    kamailio.Stop();
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
