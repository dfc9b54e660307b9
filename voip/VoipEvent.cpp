// Name tables of the call-control events, and the registration record's copy and free.
#include "voip/VoipEvent.h"

#include <cstdlib>
#include <cstring>

namespace {

struct EventRow {
    int iNumber;
    const char* pszName;
    const char* pszDesc;
};

const char kNotExist[] = "Not Exist!!!";
const char kNotExistDesc[] = "该事件不存在!!!";

const EventRow kCmRows[] = {
    {CMEVT_NEWCALL, "CMEVT_NEWCALL", "本地发起新的呼叫"},
    {CMEVT_DISCONNECT, "CMEVT_DISCONNECT", "本地挂断"},
    {CMEVT_CONNECT, "CMEVT_CONNECT", "本地接听"},
    {CMEVT_HOLD, "CMEVT_HOLD", "本地保持"},
    {CMEVT_UNHOLD, "CMEVT_UNHOLD", "本地解除保持"},
    {CMEVT_MOVE, "CMEVT_MOVE", "本地合并呼叫"},
    {CMEVT_DTMF, "CMEVT_DTMF", "本地发送DTMF信号"},
    {CMEVT_INFO, "CMEVT_INFO", "本地发INFO信号"},
    {CMEVT_START, "CMEVT_START", "CM模块服务起动"},
    {CMEVT_STOP, "CMEVT_STOP", "CM模块服务停止"},
    {CMEVT_RELEASE, "CMEVT_RELEASE", "本地挂断呼叫"},
    {CMEVT_REMOTE_NEWCALL, "CMEVT_REMOTE_NEWCALL", "远端发起新的呼叫"},
    {CMEVT_REMOTE_DISCONNECT, "CMEVT_REMOTE_DISCONNECT", "远端挂断呼叫"},
    {CMEVT_REMOTE_HOLD, "CMEVT_REMOTE_HOLD", "远端保持呼叫"},
    {CMEVT_REMOTE_UNHOLD, "CMEVT_REMOTE_UNHOLD", "远端解除保持呼叫"},
    {CMEVT_REMOTE_ALERT, "CMEVT_REMOTE_ALERT", "远端振铃"},
    {CMEVT_REMOTE_ALERT_SDP, "CMEVT_REMOTE_ALERT_SDP", "远端PSTN用户振铃"},
    {CMEVT_REMOTE_ANSWER, "CMEVT_REMOTE_ANSWER", "远端接听呼叫"},
    {CMEVT_REMOTE_CONTACT, "CMEVT_REMOTE_CONTACT", "远端发送INFO消息"},
    {CMEVT_OSIP_STARTED, "CMEVT_OSIP_STARTED", "OSIP模块服务起动"},
    {CMEVT_OSIP_STOPPED, "CMEVT_OSIP_STOPPED", "OSIP模块服务停止"},
    {CMEVT_MAX, kNotExist, kNotExistDesc},
};

const EventRow kCcRows[] = {
    {CCEVT_NEWCALL, "CCEVT_NEWCALL", "本地发起新的呼叫"},
    {CCEVT_DISCONNECT, "CCEVT_DISCONNECT", "本地挂断"},
    {CCEVT_CONNECT, "CCEVT_CONNECT", "本地接听"},
    {CCEVT_HOLD, "CCEVT_HOLD", "本地保持"},
    {CCEVT_UNHOLD, "CCEVT_UNHOLD", "本地解除保持"},
    {CCEVT_DTMF, "CCEVT_DTMF", "本地发送DTMF信号"},
    {CCEVT_INFO, "CCEVT_INFO", "本地发INFO信号"},
    {CCEVT_REMOTE_NEWCALL, "CCEVT_REMOTE_NEWCALL", "远端发起新的呼叫"},
    {CCEVT_REMOTE_DISCONNECT, "CCEVT_REMOTE_DISCONNECT", "远端挂断呼叫"},
    {CCEVT_REMOTE_HOLD, "CCEVT_REMOTE_HOLD", "远端保持呼叫"},
    {CCEVT_REMOTE_UNHOLD, "CCEVT_REMOTE_UNHOLD", "远端解除保持呼叫"},
    {CCEVT_REMOTE_ALERT, "CCEVT_REMOTE_ALERT", "远端振铃"},
    {CCEVT_REMOTE_ALERT_SDP, "CCEVT_REMOTE_ALERT_SDP", "远端PSTN用户振铃"},
    {CCEVT_REMOTE_ANSWER, "CCEVT_REMOTE_ANSWER", "远端接听呼叫"},
    {CCEVT_REMOTE_UPDATE, "CCEVT_REMOTE_UPDATE", "远端更新SDP参数"},
    {CCEVT_REMOTE_INFO, "CCEVT_REMOTE_INFO", "远端发送INFO消息"},
    {CCEVT_TIMEOUT, "CCEVT_TIMEOUT", "超时"},
    {CCEVT_START, "CCEVT_START", "CC模块服务起动"},
    {CCEVT_STOP, "CCEVT_STOP", "CC模块服务停止"},
    {CCEVT_MAX, kNotExist, kNotExistDesc},
};

const EventRow kUaRows[] = {
    {OSIP_UA_EVT_REGISTER, "OSIP_UA_EVT_REGISTER", "OSIP注册"},
    {OSIP_UA_EVT_UNREGISTER, "OSIP_UA_EVT_UNREGISTER", "OSIP注销"},
    {OSIP_UA_EVT_INVITE, "OSIP_UA_EVT_INVITE", "INVITE请求"},
    {OSIP_UA_EVT_BYE, "OSIP_UA_EVT_BYE", "BYE请求"},
    {OSIP_UA_EVT_CANCEL, "OSIP_UA_EVT_CANCEL", "CANCEL请求"},
    {OSIP_UA_EVT_ACCEPT_INVITE, "OSIP_UA_EVT_ACCEPT_INVITE", "接受INVITE请求"},
    {OSIP_UA_EVT_REJECT_INVITE, "OSIP_UA_EVT_REJECT_INVITE", "拒绝INVITE请求"},
    {OSIP_UA_EVT_HOLD, "OSIP_UA_EVT_HOLD", "保持"},
    {OSIP_UA_EVT_UNHOLD, "OSIP_UA_EVT_UNHOLD", "解除保持"},
    {OSIP_UA_EVT_INFO, "OSIP_UA_EVT_INFO", "本端INFO消息"},
    {OSIP_UA_EVT_TIMEOUT, "OSIP_UA_EVT_TIMEOUT", "超时"},
    {OSIP_UA_EVT_MAX, "No Exist!!!", kNotExistDesc},
};

const EventRow kUiRows[] = {
    {VOIPEVT_REMOTE_NEWCALL, "VOIPEVT_REMOTE_NEWCALL", "远端呼叫"},
    {VOIPEVT_REMOTE_ALERT, "VOIPEVT_REMOTE_ALERT", "远端振铃"},
    {VOIPEVT_REMOTE_ALERT_SDP, "VOIPEVT_REMOTE_ALERT_SDP", "远端带SDP振铃"},
    {VOIPEVT_REMOTE_FAILURE, "VOIPEVT_REMOTE_FAILURE", "失败"},
    {VOIPEVT_REMOTE_ANSWER, "VOIPEVT_REMOTE_ANSWER", "远端接听"},
    {VOIPEVT_REMOTE_DISCONNECT, "VOIPEVT_REMOTE_DISCONNECT", "远端挂机"},
    {VOIPEVT_REMOTE_HOLD, "VOIPEVT_REMOTE_HOLD", "远端保持"},
    {VOIPEVT_REMOTE_UNHOLD, "VOIPEVT_REMOTE_UNHOLD", "远端解除保持"},
    {VOIPEVT_REMOTE_CONTACT, "VOIPEVT_REMOTE_CONTACT", "远端CONTACT消息"},
    {VOIPEVT_RELEASE_CNX, "VOIPEVT_RELEASE_CNX", "释放CNX"},
    {VOIPEVT_RELEASE_CALL, "VOIPEVT_RELEASE_CALL", "释放CALL"},
    {VOIPEVT_CALL_HOLD, "VOIPEVT_CALL_HOLD", "本地保持"},
    {VOIPEVT_CALL_UNHOLD, "VOIPEVT_CALL_UNHOLD", "本地解除保持"},
    {VOIPEVT_TIMEOUT, "VOIPEVT_TIMEOUT", "超时"},
    {VOIPEVT_START, "VOIPEVT_START", "VOIP模块起动"},
    {VOIPEVT_STOP, "VOIPEVT_STOP", "VOIP模块停止"},
    {VOIPEVT_MAX, kNotExist, kNotExistDesc},
};

// Walks the rows until the number matches or the sentinel (the last row) is reached.
template <size_t N>
const EventRow& Lookup(const EventRow (&rows)[N], int iEvent) {
    for (size_t i = 0; i + 1 < N; ++i) {
        if (rows[i].iNumber == iEvent) return rows[i];
    }
    return rows[N - 1];
}

char* DupOrNull(const char* psz) {
    return psz ? strdup(psz) : nullptr;
}

}  // namespace

const char* CM_GetEventName(int iEvent) { return Lookup(kCmRows, iEvent).pszName; }
const char* CC_GetEventName(int iEvent) { return Lookup(kCcRows, iEvent).pszName; }
const char* OSIP_GetUaEventName(int iEvent) { return Lookup(kUaRows, iEvent).pszName; }
const char* VOIP_GetUiEventName(int iEvent) { return Lookup(kUiRows, iEvent).pszName; }
const char* CM_GetEventDesc(int iEvent) { return Lookup(kCmRows, iEvent).pszDesc; }
const char* CC_GetEventDesc(int iEvent) { return Lookup(kCcRows, iEvent).pszDesc; }
const char* OSIP_GetUaEventDesc(int iEvent) { return Lookup(kUaRows, iEvent).pszDesc; }
const char* VOIP_GetUiEventDesc(int iEvent) { return Lookup(kUiRows, iEvent).pszDesc; }

bool CM_IsValidCallId(int iCallId) { return iCallId >= 0 && iCallId < CM_MAX_CALL_NUM; }
bool CC_IsValidCnxId(int iCnxId) { return iCnxId >= 0 && iCnxId < CC_MAX_CNX_NUM; }

CM_REG_INFO* CM_RegInfoDup(const CM_REG_INFO* pstSrc) {
    if (pstSrc == nullptr) return nullptr;
    auto* pstNew = static_cast<CM_REG_INFO*>(calloc(1, sizeof(CM_REG_INFO)));
    if (pstNew == nullptr) return nullptr;
    *pstNew = *pstSrc;
    char** apszFields[] = {&pstNew->pszDisplayName, &pstNew->pszUserName, &pstNew->pszIdentity,
                           &pstNew->pszPassword,    &pstNew->pszLocalIp,  &pstNew->pszRegistrar,
                           &pstNew->pszProxy,       &pstNew->pszDomain};
    bool bOk = true;
    for (char** ppsz : apszFields) {
        const char* pszSrc = *ppsz;
        *ppsz = DupOrNull(pszSrc);
        if (pszSrc != nullptr && *ppsz == nullptr) bOk = false;
    }
    if (!bOk) {
        CM_RegInfoFree(pstNew);
        return nullptr;
    }
    return pstNew;
}

void CM_RegInfoFreeStrings(CM_REG_INFO* pstInfo) {
    if (pstInfo == nullptr) return;
    char** apszFields[] = {&pstInfo->pszDisplayName, &pstInfo->pszUserName, &pstInfo->pszIdentity,
                           &pstInfo->pszPassword,    &pstInfo->pszLocalIp,  &pstInfo->pszRegistrar,
                           &pstInfo->pszProxy,       &pstInfo->pszDomain};
    for (char** ppsz : apszFields) {
        free(*ppsz);
        *ppsz = nullptr;
    }
}

void CM_RegInfoFree(CM_REG_INFO* pstInfo) {
    CM_RegInfoFreeStrings(pstInfo);
    free(pstInfo);
}
