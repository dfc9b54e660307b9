// A stand-in for the frame's part of a sign-in (bootstrap answers, access-server results, call-control
// and presence notices) and for the presence core, until the shell and the presence core exist.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/account.h"
#include "common/appenv.h"
#include "common/presence_link.h"
#include "platform/msgqueue.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "service/bootstrap.h"
#include "service/login_fsm.h"
#include "service/service_msgs.h"
#include "voip/CM_Plugin.h"
#include "voip/VoipUi.h"

namespace servicetest {

inline constexpr UINT WM_TEST_PRESENCE_STATE = WM_USER + 206;

// The presence core as the sign-in needs it: connections are plain heads; the SIP account signs in
// through call control, the messaging account reports online at once (its plug-in is not here yet).
class SignInPresence : public PresenceServices {
public:
    PresenceConnection* presence_connection_new(Account* account) override {
        auto* c = new PresenceConnection;
        c->account = account;
        account->connection = c;
        return c;
    }
    void presence_connection_connect(PresenceConnection* c) override { c->state = PRESENCE_CONNECTING; }
    void presence_connection_disconnect(PresenceConnection* c) override {
        if (c->account != nullptr && c->account->type == ACCOUNT_TYPE_SIP) CM_PluginLogout();
        delete c;
    }
    int presence_serv_login(Account* account, HWND window) override {
        logins.push_back(account->userName);
        if (account->type == ACCOUNT_TYPE_SIP) return CM_PluginLogin(account);
        PostMessage(window, WM_TEST_PRESENCE_STATE, 1, 0);
        return 0;
    }
    void castrel_remove_buddy(PresenceConnection*, int) override {}
    void castrel_block_buddy(PresenceConnection*, int) override {}
    void castrel_unblock_buddy(PresenceConnection*, int) override {}
    std::vector<std::string> logins;
};

// The frame's handling of the sign-in reports, as the shell will do it.
class SignInFrame {
public:
    SignInFrame() {
        window = plat::RegisterWindowTarget([this](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT { return Handle(m, w, l); });
        g_hMainWnd = window;
        VOIP_SetUiWindow(window);
    }
    ~SignInFrame() {
        VOIP_SetUiWindow(nullptr);
        g_hMainWnd = nullptr;
        plat::PumpWindowMessages(window);
        plat::UnregisterWindowTarget(window);
    }
    LRESULT Handle(UINT m, WPARAM w, LPARAM l) {
        if (m == WM_LOGIN_STATE) states.push_back(static_cast<int>(w));
        if (m == WM_LOGIN_NOTICE) notices.push_back(static_cast<int>(w));
        if (m == WM_BOOT_REQUEST) OnBoot(reinterpret_cast<CBootRequest*>(w));
        if (m == WM_AS_RESULT) OnAccess(reinterpret_cast<AsRequest*>(l));
        if (m == WM_TEST_PRESENCE_STATE) STA_PostEvent(w == 1 ? EV_MV_register_succeed : EV_unreachable);
        if (m == WM_VOIP_EVENT) {
            auto* msg = reinterpret_cast<VOIP_UI_MSG*>(l);
            voip.push_back(msg->iEvent);
            if (msg->iEvent == VOIPEVT_START) STA_PostEvent(EV_SIP_register_Succeed);
            VOIP_FreeUiMsg(msg);
        }
        return 0;
    }
    void OnBoot(CBootRequest* r) {
        if (r->sequence < STA_GetLoginSequence()) {
            delete r;
            return;
        }
        if (r->kind == 3) {
            STA_SetProfileHost(r->server);
            STA_SetAvailPorts(SERVICE_PROFILE, r->servers);
            delete r;
            STA_PostEvent(EV_bootprofile_succeed);
            return;
        }
        {
            std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
            Account* a = Account_Find(r->account.c_str(), r->kind);
            if (a != nullptr) presence_setting_set_string(&a->settings, "server", nullptr, r->server.c_str());
            STA_SetAvailPorts(r->kind == 1 ? SERVICE_IM : SERVICE_SIP, r->servers);
        }
        delete r;
        STA_PostEvent(EV_bootaccount_succeed);
    }
    void OnAccess(AsRequest* r) {
        results.push_back({r->command, r->result});
        if (r->command == AS_LGN) {
            if (r->result == 0) AS_PostRequest(AS_SYN, nullptr, AS_DATA_NONE);
            else STA_PostEvent(r->result == AS_RESULT_NONE ? EV_unreachable : EV_login_off);
        } else if (r->command == AS_SYN) {
            if (r->result == 0 && r->kind == AS_DATA_SYNC) {
                auto* s = static_cast<CAsSyncResult*>(r->data);
                {
                    std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
                    for (AsServiceRecord* service : s->services) {
                        Account* a = Account_New(service->account, static_cast<uint32_t>(service->serviceId));
                        Account_SetPassword(a, service->password);
                        if (!Account_Add(a)) Account_Free(a);
                    }
                }
                AS_InstallProfiles(s);
                STA_PostEvent(EV_profilelogin_succeed);
            } else {
                STA_PostEvent(EV_login_off);
            }
        }
        AS_FreeRequest(r);
    }
    HWND window = nullptr;
    std::vector<int> states;
    std::vector<int> notices;
    std::vector<int> voip;
    std::vector<std::pair<int, int>> results;
};

}  // namespace servicetest
