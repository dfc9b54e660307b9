// Login state machine: the table, the port candidate lists and the actions of a sign-in.
#include "service/login_fsm.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>

#include "common/account.h"
#include "common/appenv.h"
#include "common/debug.h"
#include "common/presence_link.h"
#include "platform/ini.h"
#include "platform/msgqueue.h"
#include "service/as_client.h"
#include "service/bootstrap.h"
#include "service/service_msgs.h"

namespace {

const char* const kStateNames[ST_MAX] = {"ST_initial",    "ST_boot_profile", "ST_profile_login", "ST_boot_account",
                                         "ST_sip_register", "ST_mv_register", "ST_online",        "ST_closing"};
// Event names, then the timer names.
const char* const kEventNames[EV_MAX + 4] = {
    "EV_login_in",           "EV_login_off",           "EV_error",
    "EV_bootprofile_succeed", "EV_bootaccount_succeed", "EV_allaccount_succeed",
    "EV_profilelogin_succeed", "EV_SIP_register_timeout", "EV_SIP_register_Succeed",
    "EV_MV_register_timeout", "EV_MV_register_succeed", "EV_unreachable",
    "EV_server_refuse",      "Tm_Boot",                "Tm_profile",
    "Tm_sip",                "Tm_mervane"};

const FsmRow kRows[] = {
    {ST_initial, EV_login_in, STA_PostBootProfile},
    {ST_boot_profile, EV_login_off, STA_UserLogoff},
    {ST_boot_profile, EV_error, STA_SystemError},
    {ST_boot_profile, EV_unreachable, STA_PostBootProfile},
    {ST_boot_profile, EV_bootprofile_succeed, STA_PostProfileLogin},
    {ST_profile_login, EV_login_off, STA_UserLogoff},
    {ST_profile_login, EV_error, STA_SystemError},
    {ST_profile_login, EV_unreachable, STA_PostProfileLogin},
    {ST_profile_login, EV_profilelogin_succeed, STA_PostBootAccount},
    {ST_boot_account, EV_login_off, STA_UserLogoff},
    {ST_boot_account, EV_error, STA_SystemError},
    {ST_boot_account, EV_unreachable, STA_UserLogoff},
    {ST_boot_account, EV_bootaccount_succeed, STA_PostBootAccount},
    {ST_boot_account, EV_allaccount_succeed, STA_PostSipRegister},
    {ST_sip_register, EV_login_off, STA_UserLogoff},
    {ST_sip_register, EV_error, STA_SystemError},
    {ST_sip_register, EV_SIP_register_timeout, STA_PostSipRegister},
    {ST_sip_register, EV_unreachable, STA_PostSipRegister},
    {ST_sip_register, EV_SIP_register_Succeed, STA_PostMvRegister},
    {ST_mv_register, EV_login_off, STA_UserLogoff},
    {ST_mv_register, EV_error, STA_SystemError},
    {ST_mv_register, EV_MV_register_timeout, STA_PostMvRegister},
    {ST_mv_register, EV_MV_register_succeed, STA_UserOnline},
    {ST_online, EV_error, STA_UserLogoff},
    {ST_online, EV_login_off, STA_UserLogoff},
    {ST_online, EV_unreachable, STA_OnlineUnreachable},
    {ST_closing, EV_error, STA_UserLogoff},
    {ST_closing, EV_login_off, STA_UserLogoff},
    {ST_closing, EV_unreachable, STA_UserLogoff},
};

const char* const kPortKeys[SERVICE_COUNT] = {"boot_port", "profile_port", "sip_port", "im_port"};
const char* const kTypeKeys[SERVICE_COUNT] = {"boot_type", "profile_type", "sip_type", "im_type"};

struct ServicePorts {
    PortCandidateList list;
    uint32_t position = 0;
    PortCandidate lastGood{0, 0};
};

FsmInstance* g_fsm = nullptr;
ServicePorts g_ports[SERVICE_COUNT];
uint32_t g_loginSequence = 0;
std::mutex g_textLock;  // the texts below are set from the frame and read by actions
std::string g_configPath;
std::string g_user;
std::string g_password;
std::string g_profileHost;
std::string g_sipHost;
std::string g_mvHost;

void Trace(const char* format, const char* text = "") { DebugTrace(MOD_FSM, 3, format, text); }

// Next event of an action: runs nested, before the action returns.
void PostNested(FsmInstance* fsm, int event) { FsmPostEventNoLock(fsm, event, 0); }

// Registration timers of an earlier attempt never fire into a later one.
void CancelRegisterTimers(FsmInstance* fsm) {
    DelTimer(fsm, LOGIN_TIMER_SIP);
    DelTimer(fsm, LOGIN_TIMER_MERVANE);
}


// Re-signs the first account of the type on the candidate's port; false when there is none.
bool LoginAccountOnPort(uint32_t type, const PortCandidate& candidate) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
    Account* account = Account_FindByType(type);
    if (account == nullptr) return false;
    presence_setting_set_int(&account->settings, "port", nullptr, candidate.port);
    Account_Logout(account);
    Account_Login(account);
    if (PresenceServices* services = Presence_GetServices())
        services->presence_serv_login(account, g_hMainWnd.load());
    return true;
}

// A question the bootstrap thread cannot take is a failure of the bootstrap: nothing would ever answer it,
// and the machine would wait in its state without a timer.
void PostBootRequest(FsmInstance* fsm, CBootRequest* request) {
    DWORD thread = g_idBootThread.load();
    if (thread == 0 || !PostThreadMessage(thread, WM_BOOT_REQUEST, 0, reinterpret_cast<LPARAM>(request))) {
        DebugTrace(MOD_FSM, 2, "post boot request to thread %u failed\n", thread);
        delete request;
        PostNested(fsm, EV_error);
    }
}

}  // namespace

void STA_SetConfigPath(const std::string& path) {
    std::lock_guard<std::mutex> g(g_textLock);
    g_configPath = path;
}
void STA_SetLoginUser(const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> g(g_textLock);
    g_user = user;
    g_password = password;
}
std::string STA_GetLoginUser() {
    std::lock_guard<std::mutex> g(g_textLock);
    return g_user;
}
void STA_SetProfileHost(const std::string& host) {
    std::lock_guard<std::mutex> g(g_textLock);
    g_profileHost = host;
}
void STA_SetSipHost(const std::string& host) {
    std::lock_guard<std::mutex> g(g_textLock);
    g_sipHost = host;
}
void STA_SetMvHost(const std::string& host) {
    std::lock_guard<std::mutex> g(g_textLock);
    g_mvHost = host;
}

int32_t STA_ProtocolFromName(const char* name) {
    if (name == nullptr) return PROTO_UDP;
    if (strcasecmp(name, "tcp") == 0) return PROTO_TCP;
    if (strcasecmp(name, "http") == 0) return PROTO_HTTP;
    return PROTO_UDP;
}

const char* STA_ProtocolName(int32_t protocol) {
    if (protocol == PROTO_TCP) return "TCP";
    if (protocol == PROTO_HTTP) return "HTTP";
    return "UDP";
}

const char* STA_StateName(int state) { return state >= 0 && state < ST_MAX ? kStateNames[state] : "?"; }
const char* STA_EventName(int event) { return event >= 0 && event < EV_MAX ? kEventNames[event] : "?"; }

const FsmRow* STA_TransitionRows(uint32_t* count) {
    *count = sizeof(kRows) / sizeof(kRows[0]);
    return kRows;
}

int STA_FsmInit() {
    Trace("login fsm init...\n");
    if (g_fsm != nullptr) STA_FsmDone();
    FsmTable* table = FsmCreateTable(kRows, sizeof(kRows) / sizeof(kRows[0]), ST_MAX, EV_MAX);
    FsmInstance* fsm = table ? FsmCreate(0, "FSM") : nullptr;
    if (fsm == nullptr) {
        Trace("Not enough memory\n");
        if (table != nullptr) {
            // The table is freed with the last instance; without one, free it here.
            delete[] table->cells;
            delete table;
        }
        return 0;
    }
    table->eventNames = kEventNames;
    table->stateNames = kStateNames;
    fsm->table = table;
    g_fsm = fsm;
    // A new machine numbers its logins from the start, like the first one of a run.
    g_loginSequence = 0;
    for (ServicePorts& s : g_ports) s.lastGood = PortCandidate{0, 0};
    ChangeState(fsm, ST_initial);
    std::string path;
    {
        std::lock_guard<std::mutex> g(g_textLock);
        path = g_configPath;
    }
    for (uint32_t t = 0; t < SERVICE_COUNT && !path.empty(); ++t) {
        char port[256] = {0};
        char type[256] = {0};
        GetPrivateProfileStringA("service", kPortKeys[t], "", port, sizeof(port), path.c_str());
        GetPrivateProfileStringA("service", kTypeKeys[t], "", type, sizeof(type), path.c_str());
        DebugTrace(MOD_FSM, 3, "%s = %s, %s = %s\n", kPortKeys[t], port, kTypeKeys[t], type);
        char* end = nullptr;
        long value = strtol(port, &end, 10);
        if (end != port && *end == '\0' && value >= 1 && value <= 65535) {
            g_ports[t].lastGood = PortCandidate{static_cast<int32_t>(value), STA_ProtocolFromName(type)};
        }
    }
    for (ServicePorts& s : g_ports) {
        s.list.clear();
        s.position = 0;
    }
    return 1;
}

void STA_FsmDone() {
    Trace("STA_FsmDone\n");
    if (g_fsm != nullptr) FsmDestroy(g_fsm);
    g_fsm = nullptr;
}

FsmInstance* STA_GetFsm() { return g_fsm; }

int STA_PostEvent(int event) {
    if (g_fsm == nullptr) return 0;
    return FsmPostEvent(g_fsm, event, 0);
}

int STA_GetState() { return g_fsm ? FsmGetState(g_fsm) : ST_initial; }
uint32_t STA_GetLoginSequence() { return g_loginSequence; }

void STA_SetAvailPorts(uint32_t type, const PortCandidateList& list) {
    if (type >= SERVICE_COUNT) return;
    ServicePorts& s = g_ports[type];
    s.position = 0;
    DebugTrace(MOD_FSM, 3, "service type %d: avail number %d\n", static_cast<int>(type), static_cast<int>(list.size()));
    s.list.clear();
    for (const PortCandidate& c : list) {
        if (c.port == s.lastGood.port && c.protocol == s.lastGood.protocol)
            s.list.insert(s.list.begin(), c);
        else
            s.list.push_back(c);
    }
    std::string line;
    size_t onLine = 0;
    for (const PortCandidate& c : s.list) {
        line += std::string(STA_ProtocolName(c.protocol)) + ":" + std::to_string(c.port) + " ";
        if (++onLine == 8) {
            DebugTrace(MOD_FSM, 3, "%s\n", line.c_str());
            line.clear();
            onLine = 0;
        }
    }
    if (!line.empty()) DebugTrace(MOD_FSM, 3, "%s\n", line.c_str());
}

const PortCandidate* STA_NextPort(uint32_t type) {
    if (type >= SERVICE_COUNT) return nullptr;
    ServicePorts& s = g_ports[type];
    if (s.list.empty()) return nullptr;
    if (s.position == 0) {
        s.position = 1;
        return &s.list[0];
    }
    if (s.position >= s.list.size()) return nullptr;
    return &s.list[s.position++];
}

const PortCandidate* STA_CurrentPort(uint32_t type) {
    if (type >= SERVICE_COUNT) return nullptr;
    ServicePorts& s = g_ports[type];
    if (s.list.empty()) return nullptr;
    if (s.position == 0) return &s.list[0];
    if (s.position > s.list.size()) return nullptr;
    return &s.list[s.position - 1];
}

bool STA_SaveGoodPorts(uint32_t type) {
    if (type >= SERVICE_COUNT) return false;
    ServicePorts& s = g_ports[type];
    if (s.position == 0) return true;
    if (s.position > s.list.size()) return false;
    PortCandidate good = s.list[s.position - 1];
    std::string path;
    {
        std::lock_guard<std::mutex> g(g_textLock);
        path = g_configPath;
    }
    if (!path.empty()) {
        WritePrivateProfileStringA("service", kPortKeys[type], std::to_string(good.port).c_str(), path.c_str());
        WritePrivateProfileStringA("service", kTypeKeys[type], STA_ProtocolName(good.protocol), path.c_str());
    }
    s.lastGood = good;
    s.list.erase(s.list.begin() + (s.position - 1));
    s.list.insert(s.list.begin(), good);
    s.position = 0;
    return true;
}

void STA_ResetPortIndexes() {
    for (ServicePorts& s : g_ports) s.position = 0;
}

PortCandidateList STA_GetAvailPorts(uint32_t type) { return type < SERVICE_COUNT ? g_ports[type].list : PortCandidateList{}; }
uint32_t STA_GetPortPosition(uint32_t type) { return type < SERVICE_COUNT ? g_ports[type].position : 0; }
PortCandidate STA_GetLastGoodPort(uint32_t type) {
    return type < SERVICE_COUNT ? g_ports[type].lastGood : PortCandidate{0, 0};
}

bool STA_PostToMainFrame(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND frame = g_hMainWnd.load();
    if (frame == nullptr || !IsWindow(frame)) {
        DebugTrace(MOD_FSM, 2, "mainframe NULL, send %d message to mainframe error !\n", static_cast<int>(message));
        return false;
    }
    if (!PostMessage(frame, message, wParam, lParam)) {
        DebugTrace(MOD_FSM, 2, "send %d message to mainframe error !\n", static_cast<int>(message));
        return false;
    }
    return true;
}

void STA_ChangeState(FsmInstance* fsm, uint32_t newState) {
    STA_PostToMainFrame(WM_LOGIN_STATE, newState, 0);
    int old = FsmGetState(fsm);
    if (old >= 0 && old < ST_MAX)
        DebugTrace(MOD_FSM, 3, "state %s -> %s\n", kStateNames[old], STA_StateName(static_cast<int>(newState)));
    ChangeState(fsm, static_cast<int>(newState));
}

int STA_PostBootProfile(FsmInstance* fsm, int, FsmArg) {
    Trace("Post boot profile request\n");
    STA_ChangeState(fsm, ST_boot_profile);
    const PortCandidate* c = STA_NextPort(SERVICE_BOOT);
    if (c == nullptr) {
        Trace("All avail port(bootstrap) unreachable\n");
        PostNested(fsm, EV_error);
        return 0;
    }
    DebugTrace(MOD_FSM, 3, "bootstrap request port %d %s\n", c->port, STA_ProtocolName(c->protocol));
    auto* request = new CBootRequest;
    request->sequence = ++g_loginSequence;
    request->port = static_cast<uint32_t>(c->port);
    request->protocol = static_cast<uint32_t>(c->protocol);
    request->kind = BOOT_KIND_PROFILE;
    PostBootRequest(fsm, request);
    return 0;
}

int STA_PostProfileLogin(FsmInstance* fsm, int, FsmArg) {
    Trace("Post profile login in request\n");
    STA_SaveGoodPorts(SERVICE_BOOT);
    STA_ChangeState(fsm, ST_profile_login);
    const PortCandidate* c = STA_NextPort(SERVICE_PROFILE);
    if (c == nullptr) {
        Trace("All avail port(profile) unreachable\n");
        PostNested(fsm, EV_error);
        return 0;
    }
    std::string user, password, host;
    {
        std::lock_guard<std::mutex> g(g_textLock);
        user = g_user;
        password = g_password;
        host = g_profileHost;
    }
    AsServerConfig* config = AsServerConfig_New(user.c_str(), password.c_str(), host.c_str(), c->port, 0);
    if (config == nullptr) {
        DebugTrace(MOD_FSM, 3, "profile server configuration refused (host %zu bytes)\n", host.size());
        PostNested(fsm, EV_error);
        return 0;
    }
    // A log-in the access thread cannot take is a failure: nothing would answer it, and the machine would
    // wait in its state without a timer.
    DWORD thread = g_idAsThread.load();
    if (thread == 0 || !PostThreadMessage(thread, WM_AS_CONFIG, 0, reinterpret_cast<LPARAM>(config))) {
        DebugTrace(MOD_FSM, 2, "post server config to thread %u failed\n", thread);
        free(config);
        PostNested(fsm, EV_error);
        return 0;
    }
    if (!AS_PostRequest(0, nullptr, AS_DATA_NONE)) PostNested(fsm, EV_error);
    return 0;
}

int STA_PostBootAccount(FsmInstance* fsm, int, FsmArg) {
    Trace("Post boot service request\n");
    STA_SaveGoodPorts(SERVICE_PROFILE);
    const PortCandidate* boot = STA_CurrentPort(SERVICE_BOOT);
    if (boot == nullptr) {
        Trace("system data error(bootstrap)\n");
        PostNested(fsm, EV_error);
        return 0;
    }
    STA_ChangeState(fsm, ST_boot_account);
    CBootRequest* request = nullptr;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        for (Account* a = g_accountList; a != nullptr; a = a->next) {
            if (presence_setting_has(&a->settings, "server")) continue;
            request = new CBootRequest;
            request->sequence = g_loginSequence;
            request->port = static_cast<uint32_t>(boot->port);
            request->protocol = static_cast<uint32_t>(boot->protocol);
            request->kind = a->type;
            request->account = a->userName ? a->userName : "";
            Trace("Post boot request for %s account\n", request->account.c_str());
            break;
        }
    }
    if (request != nullptr) {
        PostBootRequest(fsm, request);
        return 0;
    }
    PostNested(fsm, EV_allaccount_succeed);
    return 0;
}

int STA_PostSipRegister(FsmInstance* fsm, int, FsmArg) {
    Trace("Post sip register request\n");
    DelTimer(fsm, LOGIN_TIMER_SIP);  // a retry replaces the pending time-out instead of adding one
    STA_ChangeState(fsm, ST_sip_register);
    const PortCandidate* c = STA_NextPort(SERVICE_SIP);
    if (c == nullptr) {
        Trace("All avail port(sip) unreachable\n");
        PostNested(fsm, EV_error);
        return 0;
    }
    DebugTrace(MOD_FSM, 3, "SIP request port %d %s\n", c->port, STA_ProtocolName(c->protocol));
    if (!LoginAccountOnPort(2, *c)) {
        Trace("ERROR find sip account.\n");
        PostNested(fsm, EV_error);
        return 0;
    }
    AddTimer(fsm, LOGIN_REGISTER_TIMEOUT_MS, EV_SIP_register_timeout, 0, "Tm_sip", LOGIN_TIMER_SIP);
    return 0;
}

int STA_PostMvRegister(FsmInstance* fsm, int, FsmArg) {
    DelTimer(fsm, LOGIN_TIMER_SIP);
    DelTimer(fsm, LOGIN_TIMER_MERVANE);
    Trace("Post mervane register request\n");
    STA_ChangeState(fsm, ST_mv_register);
    STA_SaveGoodPorts(SERVICE_SIP);
    const PortCandidate* c = STA_NextPort(SERVICE_IM);
    if (c == nullptr) {
        Trace("All avail port(mervane) unreachable\n");
        PostNested(fsm, EV_error);
        return 0;
    }
    DebugTrace(MOD_FSM, 3, "Mervane request port %d %s\n", c->port, STA_ProtocolName(c->protocol));
    if (!LoginAccountOnPort(1, *c)) {
        Trace("ERROR find mervane account.\n");
        PostNested(fsm, EV_error);
        return 0;
    }
    AddTimer(fsm, LOGIN_REGISTER_TIMEOUT_MS, EV_MV_register_timeout, 0, "Tm_mervane", LOGIN_TIMER_MERVANE);
    return 0;
}

int STA_UserOnline(FsmInstance* fsm, int, FsmArg) {
    Trace("User Online\n");
    DelTimer(fsm, LOGIN_TIMER_MERVANE);
    STA_SaveGoodPorts(SERVICE_IM);
    STA_ChangeState(fsm, ST_online);
    return 0;
}

int STA_UserLogoff(FsmInstance* fsm, int, FsmArg) {
    CancelRegisterTimers(fsm);
    STA_ChangeState(fsm, ST_initial);
    Trace("User log off\n");
    ++g_loginSequence;
    STA_ResetPortIndexes();
    STA_PostToMainFrame(WM_LOGIN_NOTICE, LOGIN_NOTICE_LOGOFF, 0);
    return 0;
}

int STA_OnlineUnreachable(FsmInstance* fsm, int, FsmArg) {
    CancelRegisterTimers(fsm);
    STA_ChangeState(fsm, ST_initial);
    Trace("User online unreachable\n");
    STA_PostToMainFrame(WM_LOGIN_NOTICE, LOGIN_NOTICE_LINK_LOST, 0);
    return 0;
}

int STA_SystemError(FsmInstance* fsm, int, FsmArg) {
    int state = FsmGetState(fsm);
    DebugTrace(MOD_FSM, 3, "System error, current state %d\n", state);
    CancelRegisterTimers(fsm);
    STA_ChangeState(fsm, ST_closing);
    STA_PostToMainFrame(WM_LOGIN_NOTICE, LOGIN_NOTICE_SYSTEM_ERROR, state);
    PostNested(fsm, EV_login_off);
    return 0;
}
