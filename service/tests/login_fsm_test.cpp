// Login state machine: every state x event cell, port rotation, saved ports and registration timers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "platform/ini.h"
#include "platform/thread.h"
#include "platform/sync.h"
#include "service/as_client.h"
#include "service/login_fsm.h"
#include "service/service_msgs.h"
#include "service/tests/service_support.h"

namespace {

using servicetest::FrameDouble;
using storetest::FakePresence;
using storetest::ScratchFolder;

class LoginFsmTest : public ::testing::Test {
protected:
    void SetUp() override {
        STA_SetConfigPath(folder.File("usrcfg.ini"));
        ASSERT_EQ(1, STA_FsmInit());
        Presence_SetServices(&presence);
        g_idBootThread = 0;
        g_idAsThread = 0;
    }
    void TearDown() override {
        STA_FsmDone();
        g_configManual = 0;
        Account_SaveAll();
        Presence_SetServices(nullptr);
        g_idBootThread = 0;
    }
    Account* AddAccount(const char* name, uint32_t type, bool withServer) {
        Account* a = Account_New(name, type);
        if (withServer) presence_setting_set_string(&a->settings, "server", nullptr, "127.0.0.1");
        EXPECT_EQ(1, Account_Add(a));
        return a;
    }
    void OneCandidateEach() {
        for (uint32_t t = 0; t < SERVICE_COUNT; ++t) STA_SetAvailPorts(t, {{7000 + static_cast<int>(t), PROTO_UDP}});
    }
    // The bootstrap thread's queue is the test thread's own; returns the questions posted to it.
    std::vector<CBootRequest*> TakeBootRequests() {
        std::vector<CBootRequest*> out;
        MSG msg;
        while (PeekMessage(&msg, nullptr, WM_BOOT_REQUEST, WM_BOOT_REQUEST, PM_REMOVE))
            out.push_back(reinterpret_cast<CBootRequest*>(msg.lParam));
        return out;
    }
    // The access thread's queue is the test thread's own too; drops what the profile log-in queued.
    void DropAccessMessages() {
        MSG msg;
        while (PeekMessage(&msg, nullptr, WM_AS_REQUEST, WM_AS_CONFIG, PM_REMOVE)) {
            if (msg.message == WM_AS_CONFIG) free(reinterpret_cast<void*>(msg.lParam));
            if (msg.message == WM_AS_REQUEST) AS_FreeRequest(reinterpret_cast<AsRequest*>(msg.lParam));
        }
    }

    plat::TestClock clock;
    ScratchFolder folder;
    FakePresence presence;
    FrameDouble frame;
};

// What each action reports when every list holds one candidate and both accounts know their server.
enum Action { NONE, BOOT_PROFILE, PROFILE_LOGIN, BOOT_ACCOUNT, SIP_REGISTER, MV_REGISTER, ONLINE, LOGOFF, UNREACHABLE_ONLINE,
              SYSTEM_ERROR };

TEST_F(LoginFsmTest, EveryStateAndEventCell) {
    // The transition table, written out here from the rows of the design.
    const std::map<std::pair<int, int>, Action> rows = {
        {{ST_initial, EV_login_in}, BOOT_PROFILE},
        {{ST_boot_profile, EV_login_off}, LOGOFF},
        {{ST_boot_profile, EV_error}, SYSTEM_ERROR},
        {{ST_boot_profile, EV_unreachable}, BOOT_PROFILE},
        {{ST_boot_profile, EV_bootprofile_succeed}, PROFILE_LOGIN},
        {{ST_profile_login, EV_login_off}, LOGOFF},
        {{ST_profile_login, EV_error}, SYSTEM_ERROR},
        {{ST_profile_login, EV_unreachable}, PROFILE_LOGIN},
        {{ST_profile_login, EV_profilelogin_succeed}, BOOT_ACCOUNT},
        {{ST_boot_account, EV_login_off}, LOGOFF},
        {{ST_boot_account, EV_error}, SYSTEM_ERROR},
        {{ST_boot_account, EV_unreachable}, LOGOFF},
        {{ST_boot_account, EV_bootaccount_succeed}, BOOT_ACCOUNT},
        {{ST_boot_account, EV_allaccount_succeed}, SIP_REGISTER},
        {{ST_sip_register, EV_login_off}, LOGOFF},
        {{ST_sip_register, EV_error}, SYSTEM_ERROR},
        {{ST_sip_register, EV_SIP_register_timeout}, SIP_REGISTER},
        {{ST_sip_register, EV_unreachable}, SIP_REGISTER},
        {{ST_sip_register, EV_SIP_register_Succeed}, MV_REGISTER},
        {{ST_mv_register, EV_login_off}, LOGOFF},
        {{ST_mv_register, EV_error}, SYSTEM_ERROR},
        {{ST_mv_register, EV_MV_register_timeout}, MV_REGISTER},
        {{ST_mv_register, EV_MV_register_succeed}, ONLINE},
        {{ST_online, EV_error}, LOGOFF},
        {{ST_online, EV_login_off}, LOGOFF},
        {{ST_online, EV_unreachable}, UNREACHABLE_ONLINE},
        {{ST_closing, EV_error}, LOGOFF},
        {{ST_closing, EV_login_off}, LOGOFF},
        {{ST_closing, EV_unreachable}, LOGOFF},
    };
    ASSERT_EQ(29u, rows.size());
    plat::CreateThreadQueue();
    g_idBootThread = GetCurrentThreadId();  // the questions wait in the test thread's queue
    g_idAsThread = GetCurrentThreadId();
    AddAccount("sip", ACCOUNT_TYPE_SIP, true);
    AddAccount("im", ACCOUNT_TYPE_SERVICE, true);
    for (int state = 0; state < ST_MAX; ++state) {
        for (int event = 0; event < EV_MAX; ++event) {
            SCOPED_TRACE(std::string(STA_StateName(state)) + " x " + STA_EventName(event));
            OneCandidateEach();
            ChangeState(STA_GetFsm(), state);
            frame.Clear();
            STA_PostEvent(event);
            auto it = rows.find({state, event});
            Action action = it == rows.end() ? NONE : it->second;
            std::vector<int> states;
            std::vector<std::pair<int, int>> notices;
            switch (action) {
            case NONE: break;
            case BOOT_PROFILE: states = {ST_boot_profile}; break;
            case PROFILE_LOGIN: states = {ST_profile_login}; break;
            case BOOT_ACCOUNT: states = {ST_boot_account, ST_sip_register}; break;  // no account lacks a server
            case SIP_REGISTER: states = {ST_sip_register}; break;
            case MV_REGISTER: states = {ST_mv_register}; break;
            case ONLINE: states = {ST_online}; break;
            case LOGOFF: states = {ST_initial}; notices = {{1, 0}}; break;
            case UNREACHABLE_ONLINE: states = {ST_initial}; notices = {{14, 0}}; break;
            case SYSTEM_ERROR: states = {ST_closing, ST_initial}; notices = {{2, state}, {1, 0}}; break;
            }
            EXPECT_EQ(states, frame.States());
            EXPECT_EQ(notices, frame.Notices());
            EXPECT_EQ(states.empty() ? state : states.back(), STA_GetState());
            for (CBootRequest* r : TakeBootRequests()) delete r;
            DropAccessMessages();
            STA_FsmInit();  // drops timers and positions for the next cell
        }
    }
}

TEST_F(LoginFsmTest, EmptyBootstrapListEndsInSystemErrorThenLogoff) {
    STA_PostEvent(EV_login_in);
    EXPECT_EQ((std::vector<int>{ST_boot_profile, ST_closing, ST_initial}), frame.States());
    EXPECT_EQ((std::vector<std::pair<int, int>>{{2, ST_boot_profile}, {1, 0}}), frame.Notices());
}

TEST_F(LoginFsmTest, SilentBootstrapTriesEachCandidateThenStartsAgainFromTheFirst) {
    plat::CreateThreadQueue();
    g_idBootThread = GetCurrentThreadId();
    const PortCandidateList list = {{8001, PROTO_UDP}, {8002, PROTO_TCP}, {8003, PROTO_HTTP}};
    STA_SetAvailPorts(SERVICE_BOOT, list);
    STA_PostEvent(EV_login_in);
    STA_PostEvent(EV_unreachable);
    STA_PostEvent(EV_unreachable);
    STA_PostEvent(EV_unreachable);  // list exhausted: system error
    std::vector<CBootRequest*> sent = TakeBootRequests();
    ASSERT_EQ(3u, sent.size());
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(static_cast<uint32_t>(list[i].port), sent[i]->port);
        EXPECT_EQ(static_cast<uint32_t>(list[i].protocol), sent[i]->protocol);
        EXPECT_EQ(BOOT_KIND_PROFILE, sent[i]->kind);
        EXPECT_EQ(i + 1, sent[i]->sequence);
        delete sent[i];
    }
    EXPECT_EQ(ST_initial, STA_GetState());
    EXPECT_EQ((std::vector<std::pair<int, int>>{{2, ST_boot_profile}, {1, 0}}), frame.Notices());
    // The log-off reset the positions: the next login asks the first candidate again, with a newer number.
    STA_PostEvent(EV_login_in);
    sent = TakeBootRequests();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(8001u, sent[0]->port);
    EXPECT_EQ(5u, sent[0]->sequence);
    delete sent[0];
}

TEST_F(LoginFsmTest, PortListRotationAndSavedPorts) {
    const PortCandidateList sip = {{5060, PROTO_UDP}, {5070, PROTO_TCP}, {5080, PROTO_UDP}};
    STA_SetAvailPorts(SERVICE_SIP, sip);
    EXPECT_EQ(nullptr, STA_NextPort(SERVICE_BOOT));  // empty list
    EXPECT_EQ(5060, STA_NextPort(SERVICE_SIP)->port);
    EXPECT_EQ(5070, STA_NextPort(SERVICE_SIP)->port);
    EXPECT_EQ(5070, STA_CurrentPort(SERVICE_SIP)->port);
    ASSERT_TRUE(STA_SaveGoodPorts(SERVICE_SIP));
    std::string ini = folder.File("usrcfg.ini");
    char port[32], type[32];
    GetPrivateProfileStringA("service", "sip_port", "", port, sizeof(port), ini.c_str());
    GetPrivateProfileStringA("service", "sip_type", "", type, sizeof(type), ini.c_str());
    EXPECT_STREQ("5070", port);
    EXPECT_STREQ("TCP", type);
    EXPECT_EQ(0u, STA_GetPortPosition(SERVICE_SIP));
    EXPECT_EQ(5070, STA_GetAvailPorts(SERVICE_SIP)[0].port);
    EXPECT_TRUE(STA_SaveGoodPorts(SERVICE_SIP));  // position 0: nothing to do

    // A new run reads the saved port and puts it first; the same port over another transport stays in place.
    STA_FsmInit();
    EXPECT_EQ(5070, STA_GetLastGoodPort(SERVICE_SIP).port);
    EXPECT_EQ(PROTO_TCP, STA_GetLastGoodPort(SERVICE_SIP).protocol);
    STA_SetAvailPorts(SERVICE_SIP, sip);
    PortCandidateList ordered = STA_GetAvailPorts(SERVICE_SIP);
    EXPECT_EQ(5070, ordered[0].port);
    EXPECT_EQ(5060, ordered[1].port);
    STA_SetAvailPorts(SERVICE_SIP, {{5060, PROTO_UDP}, {5070, PROTO_UDP}});
    EXPECT_EQ(5060, STA_GetAvailPorts(SERVICE_SIP)[0].port);

    // Walking off the end keeps returning null and keeps the position.
    STA_SetAvailPorts(SERVICE_IM, {{9999, PROTO_UDP}});
    EXPECT_NE(nullptr, STA_NextPort(SERVICE_IM));
    EXPECT_EQ(nullptr, STA_NextPort(SERVICE_IM));
    EXPECT_EQ(nullptr, STA_NextPort(SERVICE_IM));
    EXPECT_EQ(1u, STA_GetPortPosition(SERVICE_IM));
}

TEST_F(LoginFsmTest, BadSavedValuesAreIgnored) {
    std::string ini = folder.File("usrcfg.ini");
    WritePrivateProfileStringA("service", "boot_port", "70000", ini.c_str());
    WritePrivateProfileStringA("service", "profile_port", "abc", ini.c_str());
    WritePrivateProfileStringA("service", "im_port", "9999", ini.c_str());
    WritePrivateProfileStringA("service", "im_type", "smoke", ini.c_str());
    STA_FsmInit();
    EXPECT_EQ(0, STA_GetLastGoodPort(SERVICE_BOOT).port);
    EXPECT_EQ(0, STA_GetLastGoodPort(SERVICE_PROFILE).port);
    EXPECT_EQ(9999, STA_GetLastGoodPort(SERVICE_IM).port);
    EXPECT_EQ(PROTO_UDP, STA_GetLastGoodPort(SERVICE_IM).protocol);
    EXPECT_STREQ("UDP", STA_ProtocolName(7));
    EXPECT_EQ(PROTO_HTTP, STA_ProtocolFromName("HtTp"));
}

TEST_F(LoginFsmTest, AccountWalkAsksForEachAccountWithoutServer) {
    plat::CreateThreadQueue();
    g_idBootThread = GetCurrentThreadId();
    AddAccount("sipuser", ACCOUNT_TYPE_SIP, false);
    AddAccount("imuser", ACCOUNT_TYPE_SERVICE, true);
    OneCandidateEach();
    STA_NextPort(SERVICE_BOOT);
    ChangeState(STA_GetFsm(), ST_profile_login);
    STA_PostEvent(EV_profilelogin_succeed);
    std::vector<CBootRequest*> sent = TakeBootRequests();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("sipuser", sent[0]->account);
    EXPECT_EQ(BOOT_KIND_SIP, sent[0]->kind);
    EXPECT_EQ(7000u, sent[0]->port);
    delete sent[0];
    EXPECT_EQ(ST_boot_account, STA_GetState());
}

// Without a bootstrap thread nothing would answer the question: the login ends as a system error
// instead of waiting in its state for ever.
TEST_F(LoginFsmTest, QuestionWithoutBootstrapThreadEndsTheLogin) {
    AddAccount("sipuser", ACCOUNT_TYPE_SIP, false);
    for (int state : {ST_boot_profile, ST_boot_account}) {
        SCOPED_TRACE(state);
        OneCandidateEach();
        g_idBootThread = 0;
        if (state == ST_boot_profile) {
            STA_PostEvent(EV_login_in);
        } else {
            STA_NextPort(SERVICE_BOOT);
            ChangeState(STA_GetFsm(), ST_profile_login);
            STA_PostEvent(EV_profilelogin_succeed);
        }
        std::vector<int> states = frame.States();
        ASSERT_GE(states.size(), 3u);
        EXPECT_EQ(state, states[states.size() - 3]);
        EXPECT_EQ(ST_initial, STA_GetState());
        EXPECT_EQ(std::make_pair(1, 0), frame.Notices().back());
        frame.Clear();
        STA_FsmInit();
    }
}

TEST_F(LoginFsmTest, RegistrationLogsTheAccountInOnTheCandidatePort) {
    Account* sip = AddAccount("sip", ACCOUNT_TYPE_SIP, true);
    OneCandidateEach();
    ChangeState(STA_GetFsm(), ST_boot_account);
    STA_PostEvent(EV_allaccount_succeed);
    EXPECT_EQ(7002, presence_setting_get_int(&sip->settings, "port", 0));
    EXPECT_EQ((std::vector<std::string>{"new", "connect", "serv_login"}), presence.Ops());
    EXPECT_EQ(frame.Window(), presence.Calls().back().window);
}

TEST_F(LoginFsmTest, MissingSipAccountIsASystemError) {
    OneCandidateEach();
    ChangeState(STA_GetFsm(), ST_boot_account);
    STA_PostEvent(EV_allaccount_succeed);
    EXPECT_EQ((std::vector<int>{ST_sip_register, ST_closing, ST_initial}), frame.States());
}

TEST_F(LoginFsmTest, RegistrationTimeOutRetriesOnceAndStaleTimersNeverFire) {
    AddAccount("sip", ACCOUNT_TYPE_SIP, true);
    STA_SetAvailPorts(SERVICE_SIP, {{5060, PROTO_UDP}, {5070, PROTO_UDP}, {5080, PROTO_UDP}});
    ChangeState(STA_GetFsm(), ST_boot_account);
    STA_PostEvent(EV_allaccount_succeed);  // candidate 1, timer running
    clock.advance(10000);
    STA_PostEvent(EV_unreachable);  // candidate 2: its own timer replaces the first one
    frame.Clear();
    clock.advance(29999);
    EXPECT_TRUE(frame.States().empty());
    clock.advance(1);  // one time-out only: candidate 3, not past the end
    EXPECT_EQ((std::vector<int>{ST_sip_register}), frame.States());
    EXPECT_EQ(3u, STA_GetPortPosition(SERVICE_SIP));

    // A log-off cancels the pending time-out: nothing reaches a later login.
    STA_PostEvent(EV_login_off);
    frame.Clear();
    ChangeState(STA_GetFsm(), ST_sip_register);
    clock.advance(60000);
    EXPECT_TRUE(frame.States().empty());
    EXPECT_EQ(ST_sip_register, STA_GetState());
}

TEST_F(LoginFsmTest, ProfileLogInWithoutAccessThreadEndsTheLogin) {
    OneCandidateEach();
    ChangeState(STA_GetFsm(), ST_boot_profile);
    STA_PostEvent(EV_bootprofile_succeed);
    EXPECT_EQ((std::vector<int>{ST_profile_login, ST_closing, ST_initial}), frame.States());
    EXPECT_EQ((std::vector<std::pair<int, int>>{{2, ST_profile_login}, {1, 0}}), frame.Notices());
}

TEST_F(LoginFsmTest, OverlongProfileHostEndsTheLogin) {
    STA_SetProfileHost(std::string(300, 'h'));
    OneCandidateEach();
    ChangeState(STA_GetFsm(), ST_boot_profile);
    STA_PostEvent(EV_bootprofile_succeed);
    EXPECT_EQ((std::vector<int>{ST_profile_login, ST_closing, ST_initial}), frame.States());
    STA_SetProfileHost("");
}

TEST_F(LoginFsmTest, WithoutFrameTheMachineGoesOn) {
    g_hMainWnd = nullptr;
    EXPECT_FALSE(STA_PostToMainFrame(WM_LOGIN_STATE, 1, 0));
    STA_PostEvent(EV_login_in);
    EXPECT_EQ(ST_initial, STA_GetState());
}

}  // namespace
