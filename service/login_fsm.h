// Login state machine: walks bootstrap, profile log-in, account lookup, SIP and messaging sign-in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/fsm.h"
#include "platform/wintypes.h"

enum LoginState : int {
    ST_initial = 0,
    ST_boot_profile = 1,
    ST_profile_login = 2,
    ST_boot_account = 3,
    ST_sip_register = 4,
    ST_mv_register = 5,
    ST_online = 6,
    ST_closing = 7,
    ST_MAX = 8,
};

enum LoginEvent : int {
    EV_login_in = 0,
    EV_login_off = 1,
    EV_error = 2,
    EV_bootprofile_succeed = 3,
    EV_bootaccount_succeed = 4,
    EV_allaccount_succeed = 5,
    EV_profilelogin_succeed = 6,
    EV_SIP_register_timeout = 7,
    EV_SIP_register_Succeed = 8,
    EV_MV_register_timeout = 9,
    EV_MV_register_succeed = 10,
    EV_unreachable = 11,
    EV_server_refuse = 12,
    EV_MAX = 13,
};

// Service types: index of the port lists and of the "service" keys of usrcfg.ini.
enum : uint32_t { SERVICE_BOOT = 0, SERVICE_PROFILE = 1, SERVICE_SIP = 2, SERVICE_IM = 3, SERVICE_COUNT = 4 };
// Transports of a candidate.
enum : int32_t { PROTO_UDP = 0, PROTO_TCP = 1, PROTO_HTTP = 2 };

inline constexpr uint32_t LOGIN_TIMER_SIP = 2;
inline constexpr uint32_t LOGIN_TIMER_MERVANE = 3;
inline constexpr uint32_t LOGIN_REGISTER_TIMEOUT_MS = 30000;

struct PortCandidate {
    int32_t port;
    int32_t protocol;
};
using PortCandidateList = std::vector<PortCandidate>;

// Path of "usrcfg.ini" (set by the start before STA_FsmInit; empty leaves the ports unread and unsaved).
void STA_SetConfigPath(const std::string& path);
// The user name and password remembered for the current sign-in.
void STA_SetLoginUser(const std::string& user, const std::string& password);
std::string STA_GetLoginUser();
// Hosts learned from bootstrap replies (the frame's reply handler sets them).
void STA_SetProfileHost(const std::string& host);
void STA_SetSipHost(const std::string& host);
void STA_SetMvHost(const std::string& host);

// 1, or 0 when the machine cannot be allocated.
int STA_FsmInit();
void STA_FsmDone();
FsmInstance* STA_GetFsm();
// Posts an event from outside the machine's actions (locked post, argument 0); 0 without a machine.
int STA_PostEvent(int event);
int STA_GetState();
uint32_t STA_GetLoginSequence();

void STA_SetAvailPorts(uint32_t type, const PortCandidateList& list);
const PortCandidate* STA_NextPort(uint32_t type);
const PortCandidate* STA_CurrentPort(uint32_t type);
bool STA_SaveGoodPorts(uint32_t type);
void STA_ResetPortIndexes();
// Test and trace view of a service: its list, position and last good candidate.
PortCandidateList STA_GetAvailPorts(uint32_t type);
uint32_t STA_GetPortPosition(uint32_t type);
PortCandidate STA_GetLastGoodPort(uint32_t type);

void STA_ChangeState(FsmInstance* fsm, uint32_t newState);
// Posts to the frame (g_hMainWnd). False when there is no frame or the post failed; the caller then
// still owns any record it meant to hand over.
bool STA_PostToMainFrame(UINT message, WPARAM wParam, LPARAM lParam);

int32_t STA_ProtocolFromName(const char* name);
const char* STA_ProtocolName(int32_t protocol);
const char* STA_StateName(int state);
const char* STA_EventName(int event);

// Actions.
int STA_PostBootProfile(FsmInstance* fsm, int event, FsmArg arg);
int STA_PostProfileLogin(FsmInstance* fsm, int event, FsmArg arg);
int STA_PostBootAccount(FsmInstance* fsm, int event, FsmArg arg);
int STA_PostSipRegister(FsmInstance* fsm, int event, FsmArg arg);
int STA_PostMvRegister(FsmInstance* fsm, int event, FsmArg arg);
int STA_UserOnline(FsmInstance* fsm, int event, FsmArg arg);
int STA_UserLogoff(FsmInstance* fsm, int event, FsmArg arg);
int STA_OnlineUnreachable(FsmInstance* fsm, int event, FsmArg arg);
int STA_SystemError(FsmInstance* fsm, int event, FsmArg arg);

// The transition rows, for tests.
const FsmRow* STA_TransitionRows(uint32_t* count);
