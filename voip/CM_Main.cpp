// Call manager: calls and conferences over connections, event handlers and the notices to the user interface.
#include "voip/CM_Main.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/debug.h"
#include "platform/sync.h"
#include "voip/CC_Main.h"
#include "voip/VoipCheck.h"
#include "voip/VoipLock.h"
#include "voip/VoipUaQueue.h"
#include "voip/VoipUi.h"

namespace {

const char kFile[] = "voip/CM_Main";

struct CM_CTRL_BLK {
    std::atomic<int> bStarted{0};
    int iConfCallNum = 0;
    int iCurrentCallId = -1;
    int aiActiveCallId[CM_MAX_CALL_NUM];
    int iActiveCallNum = 0;
    int aiReserved[2] = {0, 0};
    int bRegistered = 0;
    plat::RecursiveMutex* pstMutex = nullptr;
    CM_CALL astCall[CM_MAX_CALL_NUM];
    CM_REG_INFO* pstRegInfo = nullptr;
};

CM_CTRL_BLK g_stCm;

// Notices gathered by a handler and posted once the call-manager lock is released.
struct PendingPost {
    int iCallId;
    int iCnxId;
    int iEvent;
    int iParam3;
    int iParam4;
    void* pValue;
};

struct CmCtx {
    std::vector<PendingPost> posts;
    void Post(int iCallId, int iCnxId, int iEvent, int iParam3, int iParam4 = 0, void* pValue = nullptr) {
        posts.push_back({iCallId, iCnxId, iEvent, iParam3, iParam4, pValue});
    }
};

// Holds the call manager's mutex.
class CmLock : public VoipLock {
public:
    CmLock() : VoipLock(g_stCm.pstMutex) {}
};

void ResetCall(CM_CALL* pstCall) {
    pstCall->bInUse = 0;
    pstCall->bCurrent = 0;
    for (int i = 0; i < CC_MAX_CNX_NUM; ++i) {
        pstCall->aiCnxId[i] = -1;
        pstCall->abHeld[i] = 0;
    }
    pstCall->iCnxNum = 0;
    pstCall->iActiveNum = 0;
    pstCall->iParentCnxId = -1;
    pstCall->iConfLevel = -1;
    pstCall->contacts.clear();
}

CM_CALL* GetCall(int iCallId) {
    if (!CM_IsValidCallId(iCallId)) return nullptr;
    return &g_stCm.astCall[iCallId];
}

// A call that is in use, or null with a failed-check line.
CM_CALL* GetUsedCall(int iCallId) {
    CM_CALL* pstCall = GetCall(iCallId);
    if (!VOIP_CHECK(NULL != pstCall, kFile)) return nullptr;
    if (!pstCall->bInUse) {
        DebugTrace(MOD_CM, 1, "CM: call %d is not in use", iCallId);
        return nullptr;
    }
    return pstCall;
}

int MemberIndex(const CM_CALL* pstCall, int iCnxId) {
    for (int i = 0; i < pstCall->iCnxNum; ++i) {
        if (pstCall->aiCnxId[i] == iCnxId) return i;
    }
    return -1;
}

// Frees a value handed to the call manager.
void FreeEventValue(int iEvent, void* pValue) {
    if (pValue == nullptr) return;
    if (iEvent == CMEVT_START) {
        CM_RegInfoFree(static_cast<CM_REG_INFO*>(pValue));
    } else {
        free(pValue);
    }
}

const char* ValueText(int iEvent, const void* pValue) {
    if (pValue == nullptr) return "NULL";
    switch (iEvent) {
        case CMEVT_NEWCALL:
        case CMEVT_REMOTE_NEWCALL:
            return static_cast<const char*>(pValue);
        case CMEVT_REMOTE_CONTACT:
            return static_cast<const CM_CONTACT*>(pValue)->szUri;
        case CMEVT_START:
            return "CM_REG_INFO";
        default:
            return "(value)";
    }
}

const char* MyIdentity() {
    const CM_REG_INFO* pstInfo = g_stCm.pstRegInfo;
    return (pstInfo && pstInfo->pszIdentity) ? pstInfo->pszIdentity : "";
}

bool IsOwnIdentity(const char* pszCallee) {
    const CM_REG_INFO* pstInfo = g_stCm.pstRegInfo;
    if (pstInfo == nullptr) return false;
    if (pstInfo->pszUserName && pstInfo->pszUserName[0] && strcmp(pszCallee, pstInfo->pszUserName) == 0) return true;
    if (pstInfo->pszIdentity && pstInfo->pszIdentity[0] && strcmp(pszCallee, pstInfo->pszIdentity) == 0) return true;
    return false;
}

// True when an in-use connection other than iExceptCnx still belongs to the call.
bool CallHasLiveCnx(int iCallId, int iExceptCnx) {
    for (int i = 0; i < CC_MAX_CNX_NUM; ++i) {
        if (i != iExceptCnx && CC_IsCnxInUse(i) && CC_GetCnxCallId(i) == iCallId) return true;
    }
    return false;
}

// ---- whole-call hold and unhold ----

void HoldWholeCall(CM_CALL* pstCall) {
    pstCall->bCurrent = 0;
    for (int i = 0; i < pstCall->iCnxNum; ++i) {
        int iCnx = pstCall->aiCnxId[i];
        if (pstCall->iCnxNum >= 2) CC_ConfDelCnx(iCnx);
        // A two-party call is held through its single member too, so its audio stops as well.
        if (!pstCall->abHeld[i]) CC_SendEvent(pstCall->iIndex, iCnx, CCEVT_HOLD, VOIP_CODE_NONE, 0, nullptr);
        pstCall->abHeld[i] = 1;
    }
    pstCall->iActiveNum = 0;
}

int UnholdWholeCall(CM_CALL* pstCall) {
    if (pstCall->bCurrent) return -1;
    pstCall->bCurrent = 1;
    for (int i = 0; i < pstCall->iCnxNum; ++i) {
        int iCnx = pstCall->aiCnxId[i];
        // A member its peer holds stays held and out of the mix until the peer resumes.
        if (CC_IsCnxRemoteHeld(iCnx)) continue;
        if (pstCall->iCnxNum >= 2) CC_ConfAddCnx(iCnx);
        if (CC_IsCnxLocalHeld(iCnx) || pstCall->abHeld[i]) {
            CC_SendEvent(pstCall->iIndex, iCnx, CCEVT_UNHOLD, VOIP_CODE_NONE, 0, nullptr);
        }
        if (pstCall->abHeld[i]) {
            pstCall->abHeld[i] = 0;
            pstCall->iActiveNum++;
        }
    }
    return 0;
}

void SetCurrent(CM_CALL* pstCall) {
    pstCall->bCurrent = 1;
    g_stCm.iCurrentCallId = pstCall->iIndex;
}

void ClearCurrent(CM_CALL* pstCall) {
    pstCall->bCurrent = 0;
    if (g_stCm.iCurrentCallId == pstCall->iIndex) g_stCm.iCurrentCallId = -1;
}

// Puts every member that is not held into the engine's conference.
void ConfAddUnheld(const CM_CALL* pstCall) {
    if (pstCall->iCnxNum < 2) return;
    for (int i = 0; i < pstCall->iCnxNum; ++i) {
        if (!pstCall->abHeld[i]) CC_ConfAddCnx(pstCall->aiCnxId[i]);
    }
}

// ---- conference bodies ----

// One contact line; empty on allocation failure.
std::string ContactLine(const char* pszUri, const char* pszParent, int iLevel, int iStatus) {
    CM_CONTACT stContact;
    memset(&stContact, 0, sizeof(stContact));
    snprintf(stContact.szUri, sizeof(stContact.szUri), "%s", pszUri);
    snprintf(stContact.szParent, sizeof(stContact.szParent), "%s", pszParent);
    stContact.iLevel = iLevel;
    stContact.iStatus = iStatus;
    char* pszLine = CM_XmlBuild(CM_XML_CONTACT, &stContact);
    std::string line = pszLine ? pszLine : "";
    free(pszLine);
    return line;
}

// The call's own line: this user, its parent's peer (or "NULL"), the call's level, talking.
std::string OwnBody(const CM_CALL* pstCall) {
    char szParent[CC_MAX_URI] = "NULL";
    if (pstCall->iParentCnxId >= 0 && CC_GetCnxPeerUri(pstCall->iParentCnxId, szParent) != 0) {
        snprintf(szParent, sizeof(szParent), "NULL");
    }
    return ContactLine(MyIdentity(), szParent, pstCall->iConfLevel, CM_CONTACT_STATUS_TALKING);
}

// The line describing one member of the call.
std::string MemberBody(const CM_CALL* pstCall, int iCnxId, int iStatus, bool bWasParent = false) {
    char szUri[CC_MAX_URI] = "";
    CC_GetCnxPeerUri(iCnxId, szUri);
    bool bParent = bWasParent || iCnxId == pstCall->iParentCnxId;
    int iLevel = bParent ? pstCall->iConfLevel - 1 : pstCall->iConfLevel + 1;
    return ContactLine(szUri, bParent ? "NULL" : MyIdentity(), iLevel, iStatus);
}

void QueueInfo(const CM_CALL* pstCall, int iCnxId, const std::string& text) {
    char* pszText = strdup(text.c_str());
    if (pszText == nullptr) return;
    CC_SendEvent(pstCall->iIndex, iCnxId, CCEVT_INFO, VOIP_CODE_NONE, 0, pszText);
}

void TellOthersNews(CM_CALL* pstCall, int iCnxId, int iStatus) {
    std::string text = OwnBody(pstCall) + MemberBody(pstCall, iCnxId, iStatus);
    for (int i = 0; i < pstCall->iCnxNum; ++i) {
        int iOther = pstCall->aiCnxId[i];
        if (iOther == iCnxId || CC_GetCnxState(iOther) != 4) continue;
        DebugTrace(MOD_CM, 3, "CM_TellOthersNewsInfo: iCnxID: %d, state: %d", iOther, iStatus);
        QueueInfo(pstCall, iOther, text);
    }
}

void TellNewOthers(CM_CALL* pstCall, int iCnxId, int iStatus) {
    std::string text = OwnBody(pstCall);
    for (int i = 0; i < pstCall->iCnxNum; ++i) {
        int iOther = pstCall->aiCnxId[i];
        if (iOther == iCnxId) continue;
        text += MemberBody(pstCall, iOther, CC_GetCnxState(iOther));
    }
    DebugTrace(MOD_CM, 3, "CM_TellNewOthersInfo: iCnxID: %d, state: %d", iCnxId, iStatus);
    QueueInfo(pstCall, iCnxId, text);
}

// bWasParent: the member was the call's parent before it was taken out (taking it out forgets that).
void TellOthersLeaves(CM_CALL* pstCall, int iCnxId, bool bWasParent = false) {
    std::string text = MemberBody(pstCall, iCnxId, CM_CONTACT_STATUS_LEFT, bWasParent);
    for (int i = 0; i < pstCall->iCnxNum; ++i) {
        int iOther = pstCall->aiCnxId[i];
        if (iOther == iCnxId || CC_GetCnxState(iOther) != 4) continue;
        DebugTrace(MOD_CM, 3, "CM_TellOthersleavesInfo: iCnxID: %d, state: %d", iOther, CM_CONTACT_STATUS_LEFT);
        QueueInfo(pstCall, iOther, text);
    }
}

// ---- refusing a new outgoing connection before any signalling ----

void RefuseNewCall(CM_CALL* pstCall, int iCnxId, int iCode, bool bMadeCurrent, CmCtx& ctx) {
    CM_RemoveCnxFromCall(pstCall->iIndex, iCnxId);
    if (bMadeCurrent) ClearCurrent(pstCall);
    CC_FreeCnx(iCnxId);
    ctx.Post(pstCall->iIndex, iCnxId, VOIPEVT_REMOTE_DISCONNECT, iCode);
    ctx.Post(pstCall->iIndex, iCnxId, VOIPEVT_RELEASE_CNX, VOIP_CODE_NONE);
    if (pstCall->iCnxNum == 0 && !CallHasLiveCnx(pstCall->iIndex, -1)) {
        int iCallId = pstCall->iIndex;
        CM_FreeCall(iCallId);
        ctx.Post(iCallId, -1, VOIPEVT_RELEASE_CALL, VOIP_CODE_NONE);
    }
}

// ---- handlers ----

typedef int (*CM_HANDLER)(int iCallId, int iCnxId, int iParam1, int iParam2, void*& pValue, CmCtx& ctx);

int OnNewCall(int iCallId, int iCnxId, int, int, void*& pValue, CmCtx& ctx) {
    CM_CALL* pstCall = GetUsedCall(iCallId);
    if (pstCall == nullptr || !CC_IsValidCnxId(iCnxId)) return -1;
    if (!VOIP_CHECK(NULL != pValue, kFile)) return -1;
    if (CM_AddCnxToCall(iCallId, iCnxId) != 0) return -1;
    bool bMadeCurrent = false;
    if (pstCall->iCnxNum == 1 && g_stCm.iCurrentCallId == -1) {
        SetCurrent(pstCall);
        bMadeCurrent = true;
    }
    CC_SetCnxCallId(iCallId, iCnxId);
    const char* pszCallee = static_cast<const char*>(pValue);
    size_t iLen = strnlen(pszCallee, CC_MAX_URI);
    if (!(iLen < CC_MAX_URI)) {
        VOIP_CHECK_LOG("CC_MAX_URI > iLen", kFile);
        RefuseNewCall(pstCall, iCnxId, 414, bMadeCurrent, ctx);
        return -1;
    }
    if (IsOwnIdentity(pszCallee)) {
        RefuseNewCall(pstCall, iCnxId, VOIP_CODE_SELF_CALL, bMadeCurrent, ctx);
        return 0;
    }
    void* pUri = pValue;
    pValue = nullptr;
    CC_SendEvent(iCallId, iCnxId, CCEVT_NEWCALL, VOIP_CODE_NONE, -1, pUri);
    if (!pstCall->bCurrent) {
        int iIndex = MemberIndex(pstCall, iCnxId);
        if (iIndex >= 0 && !pstCall->abHeld[iIndex]) {
            pstCall->abHeld[iIndex] = 1;
            pstCall->iActiveNum--;
        }
        CC_SendEvent(iCallId, iCnxId, CCEVT_HOLD, VOIP_CODE_NONE, -1, nullptr);
    }
    return 0;
}

int OnDisconnect(int iCallId, int iCnxId, int iParam1, int, void*&, CmCtx& ctx) {
    CM_CALL* pstCall = GetUsedCall(iCallId);
    if (pstCall == nullptr) return -1;
    if (iCnxId == CC_ALL_CNX) {
        while (pstCall->iCnxNum > 0) {
            int iCnx = pstCall->aiCnxId[0];
            CM_RemoveCnxFromCall(iCallId, iCnx);
            CC_SendEvent(iCallId, iCnx, CCEVT_DISCONNECT, VOIP_CODE_NONE, 0, nullptr);
        }
        return 0;
    }
    if (CM_RemoveCnxFromCall(iCallId, iCnxId) != 0) return -1;
    CC_SendEvent(iCallId, iCnxId, CCEVT_DISCONNECT, VOIP_CODE_NONE, 0, nullptr);
    // A connection timer ran out (1009-1011): the user interface learns why the call ended.
    if (iParam1 != VOIP_CODE_NONE && iParam1 != -1) {
        ctx.Post(iCallId, iCnxId, VOIPEVT_REMOTE_DISCONNECT, iParam1);
    }
    return 0;
}

int OnConnect(int iCallId, int iCnxId, int, int iParam2, void*&, CmCtx&) {
    CM_CALL* pstCall = GetUsedCall(iCallId);
    if (pstCall == nullptr || !CC_IsValidCnxId(iCnxId)) return -1;
    if (pstCall->iCnxNum == 1 && g_stCm.iCurrentCallId == -1) SetCurrent(pstCall);
    CC_SendEvent(iCallId, iCnxId, CCEVT_CONNECT, VOIP_CODE_NONE, -1, nullptr);
    if (!pstCall->bCurrent) {
        int iIndex = MemberIndex(pstCall, iCnxId);
        if (iIndex >= 0 && !pstCall->abHeld[iIndex]) {
            pstCall->abHeld[iIndex] = 1;
            pstCall->iActiveNum--;
        }
        CC_SendEvent(iCallId, iCnxId, CCEVT_HOLD, VOIP_CODE_NONE, iParam2, nullptr);
    }
    return 0;
}

int OnHold(int iCallId, int iCnxId, int, int, void*&, CmCtx&) {
    CM_CALL* pstCall = GetUsedCall(iCallId);
    if (pstCall == nullptr || !pstCall->bCurrent) return -1;
    if (iCnxId == CC_ALL_CNX) {
        HoldWholeCall(pstCall);
        ClearCurrent(pstCall);
        return 0;
    }
    int iIndex = MemberIndex(pstCall, iCnxId);
    if (iIndex < 0) return -1;
    if (CC_IsCnxActive(iCnxId) && !pstCall->abHeld[iIndex]) {
        CC_SendEvent(iCallId, iCnxId, CCEVT_HOLD, VOIP_CODE_NONE, 0, nullptr);
        pstCall->abHeld[iIndex] = 1;
        pstCall->iActiveNum--;
        if (pstCall->iCnxNum >= 2) CC_ConfDelCnx(iCnxId);
    }
    if (pstCall->iActiveNum < 1) {
        HoldWholeCall(pstCall);
        ClearCurrent(pstCall);
    }
    return 0;
}

int OnUnhold(int iCallId, int iCnxId, int, int, void*&, CmCtx&) {
    CM_CALL* pstCall = GetUsedCall(iCallId);
    if (pstCall == nullptr) return -1;
    if (iCnxId == CC_ALL_CNX) {
        int iOther = g_stCm.iCurrentCallId;
        if (iOther != -1 && iOther != iCallId) {
            CM_CALL* pstOther = GetCall(iOther);
            if (pstOther) {
                HoldWholeCall(pstOther);
                ClearCurrent(pstOther);
            }
        }
        if (UnholdWholeCall(pstCall) != 0) return -1;
        SetCurrent(pstCall);
        return 0;
    }
    int iIndex = MemberIndex(pstCall, iCnxId);
    if (iIndex < 0 || !CC_IsCnxLocalHeld(iCnxId)) return -1;
    if (pstCall->bCurrent) {
        CC_SendEvent(iCallId, iCnxId, CCEVT_UNHOLD, VOIP_CODE_NONE, -1, nullptr);
        if (pstCall->abHeld[iIndex]) {
            pstCall->abHeld[iIndex] = 0;
            pstCall->iActiveNum++;
        }
        if (pstCall->iCnxNum >= 2) CC_ConfAddCnx(iCnxId);
        return 0;
    }
    if (g_stCm.iCurrentCallId != -1) return -1;
    CC_SendEvent(iCallId, iCnxId, CCEVT_UNHOLD, VOIP_CODE_NONE, -1, nullptr);
    if (pstCall->abHeld[iIndex]) {
        pstCall->abHeld[iIndex] = 0;
        pstCall->iActiveNum++;
    }
    SetCurrent(pstCall);
    ConfAddUnheld(pstCall);
    return 0;
}

// Moves one member from one call to another and tells the conferences.
void MoveOne(CM_CALL* pstFrom, CM_CALL* pstTo, int iCnxId) {
    const bool bWasParent = iCnxId == pstFrom->iParentCnxId;
    CM_RemoveCnxFromCall(pstFrom->iIndex, iCnxId);
    CM_AddCnxToCall(pstTo->iIndex, iCnxId);
    CC_SetCnxCallId(pstTo->iIndex, iCnxId);
    TellOthersLeaves(pstFrom, iCnxId, bWasParent);
    TellOthersNews(pstTo, iCnxId, CC_GetCnxState(iCnxId));
    TellNewOthers(pstTo, iCnxId, CC_GetCnxState(iCnxId));
    int iIndex = MemberIndex(pstTo, iCnxId);
    if (pstTo->bCurrent) {
        CC_SendEvent(pstTo->iIndex, iCnxId, CCEVT_UNHOLD, VOIP_CODE_NONE, pstTo->iIndex, nullptr);
    } else {
        CC_SendEvent(pstTo->iIndex, iCnxId, CCEVT_HOLD, VOIP_CODE_NONE, 0, nullptr);
        if (iIndex >= 0 && !pstTo->abHeld[iIndex]) {
            pstTo->abHeld[iIndex] = 1;
            pstTo->iActiveNum--;
        }
    }
}

int OnMove(int iCallId, int iCnxId, int, int iParam2, void*&, CmCtx& ctx) {
    CM_CALL* pstFrom = GetUsedCall(iCallId);
    if (!VOIP_CHECK(NULL != pstFrom, kFile)) return -1;
    CM_CALL* pstTo = GetUsedCall(iParam2);
    if (!VOIP_CHECK(NULL != pstTo, kFile)) return -1;
    if (pstFrom == pstTo) return -1;
    if (pstTo->iCnxNum + pstFrom->iCnxNum > CM_MAX_CNX_PER_CALL) {
        DebugTrace(MOD_CM, 1, "CM: move from call %d (%d connections) into call %d refused, it has %d", iCallId,
                   pstFrom->iCnxNum, iParam2, pstTo->iCnxNum);
        return -1;
    }
    if (iCnxId == CC_ALL_CNX) {
        while (pstFrom->iCnxNum > 0) MoveOne(pstFrom, pstTo, pstFrom->aiCnxId[0]);
    } else {
        if (MemberIndex(pstFrom, iCnxId) < 0) return -1;
        MoveOne(pstFrom, pstTo, iCnxId);
    }
    if (pstFrom->iCnxNum == 0) {
        CM_FreeCall(iCallId);
        ctx.Post(iCallId, -1, VOIPEVT_RELEASE_CALL, VOIP_CODE_NONE);
    }
    return 0;
}

int OnDtmf(int iCallId, int iCnxId, int, int iParam2, void*& pValue, CmCtx&) {
    if (!CM_IsValidCallId(iCallId)) return -1;
    void* p = pValue;
    pValue = nullptr;
    return CC_SendEvent(iCallId, iCnxId, CCEVT_DTMF, VOIP_CODE_NONE, iParam2, p);
}

int OnInfo(int, int, int, int, void*&, CmCtx&) { return 0; }

int OnStart(int, int, int, int, void*& pValue, CmCtx&) {
    if (!VOIP_CHECK(NULL != pValue, kFile)) return -1;
    CM_REG_INFO* pstCopy = CM_RegInfoDup(static_cast<CM_REG_INFO*>(pValue));
    if (pstCopy == nullptr) return -1;
    CM_RegInfoFree(g_stCm.pstRegInfo);
    g_stCm.pstRegInfo = pstCopy;
    g_stCm.bStarted = 1;
    CC_SendEvent(-1, -1, CCEVT_START, -1, -1, nullptr);
    void* pInfo = pValue;
    pValue = nullptr;
    VOIP_SendUaEvent(-1, OSIP_UA_EVT_REGISTER, 0, pInfo);
    return 0;
}

int OnStop(int, int, int, int, void*&, CmCtx&) {
    for (int i = 0; i < g_stCm.iActiveCallNum; ++i) {
        CM_CALL* pstCall = GetCall(g_stCm.aiActiveCallId[i]);
        if (pstCall == nullptr) continue;
        for (int j = 0; j < pstCall->iCnxNum; ++j) {
            CC_SendEvent(pstCall->iIndex, pstCall->aiCnxId[j], CCEVT_DISCONNECT, VOIP_CODE_NONE, 0, nullptr);
        }
    }
    for (CM_CALL& call : g_stCm.astCall) ResetCall(&call);
    g_stCm.bStarted = 0;
    g_stCm.iConfCallNum = 0;
    g_stCm.iCurrentCallId = -1;
    for (int& id : g_stCm.aiActiveCallId) id = -1;
    g_stCm.iActiveCallNum = 0;
    g_stCm.bRegistered = 0;
    CC_SendEvent(-1, -1, CCEVT_STOP, -1, -1, nullptr);
    return 0;
}

int OnRelease(int iCallId, int iCnxId, int, int, void*&, CmCtx& ctx) {
    ctx.Post(iCallId, iCnxId, VOIPEVT_RELEASE_CNX, VOIP_CODE_NONE);
    CM_CALL* pstCall = GetCall(iCallId);
    if (pstCall == nullptr || !pstCall->bInUse) return 0;
    if (MemberIndex(pstCall, iCnxId) >= 0) CM_RemoveCnxFromCall(iCallId, iCnxId);
    if (pstCall->iCnxNum == 0 && !CallHasLiveCnx(iCallId, iCnxId)) {
        CM_FreeCall(iCallId);
        ctx.Post(iCallId, -1, VOIPEVT_RELEASE_CALL, VOIP_CODE_NONE);
    }
    return 0;
}

int OnRemoteNewCall(int iCallId, int iCnxId, int iParam1, int, void*& pValue, CmCtx& ctx) {
    CM_CALL* pstCall = GetUsedCall(iCallId);
    if (pstCall == nullptr || !CC_IsValidCnxId(iCnxId)) return -1;
    if (!VOIP_CHECK(NULL != pValue, kFile)) return -1;
    if (CM_AddCnxToCall(iCallId, iCnxId) != 0) return -1;
    CC_SetCnxCallId(iCallId, iCnxId);
    char* pszCaller = static_cast<char*>(pValue);
    if (strnlen(pszCaller, CC_MAX_URI) >= CC_MAX_URI) {
        VOIP_CHECK_LOG("CC_MAX_URI > iLen", kFile);
        pszCaller[CC_MAX_URI - 1] = '\0';
    }
    int iCurrent = g_stCm.iCurrentCallId;
    CM_CALL* pstCurrent = GetCall(iCurrent);
    if (pstCurrent != nullptr && pstCurrent->bInUse && pstCurrent->iConfLevel >= 1) {
        // A member of someone else's conference takes no other call.
        CM_RemoveCnxFromCall(iCallId, iCnxId);
        CC_SendEvent(iCallId, iCnxId, CCEVT_DISCONNECT, VOIP_CODE_NONE, 486, nullptr);
        return 0;
    }
    pValue = nullptr;
    ctx.Post(iCallId, iCnxId, VOIPEVT_REMOTE_NEWCALL, iParam1, 0, pszCaller);
    return 0;
}

int OnRemoteDisconnect(int iCallId, int iCnxId, int iParam1, int, void*&, CmCtx& ctx) {
    CM_CALL* pstCall = GetUsedCall(iCallId);
    if (pstCall == nullptr) return -1;
    const bool bWasParent = iCnxId == pstCall->iParentCnxId;
    CM_RemoveCnxFromCall(iCallId, iCnxId);
    TellOthersLeaves(pstCall, iCnxId, bWasParent);
    ctx.Post(iCallId, iCnxId, VOIPEVT_REMOTE_DISCONNECT, iParam1);
    return 0;
}

int OnRemoteHold(int iCallId, int iCnxId, int iParam1, int, void*&, CmCtx& ctx) {
    CM_CALL* pstCall = GetUsedCall(iCallId);
    if (pstCall == nullptr || !pstCall->bCurrent) return -1;
    int iIndex = MemberIndex(pstCall, iCnxId);
    if (iIndex < 0) return -1;
    if (CC_IsCnxActive(iCnxId)) {
        if (!pstCall->abHeld[iIndex]) {
            pstCall->abHeld[iIndex] = 1;
            pstCall->iActiveNum--;
        }
        if (pstCall->iCnxNum >= 2) CC_ConfDelCnx(iCnxId);
        ctx.Post(iCallId, iCnxId, VOIPEVT_REMOTE_HOLD, iParam1);
        if (pstCall->iActiveNum < 1) {
            HoldWholeCall(pstCall);
            ClearCurrent(pstCall);
        }
    }
    return 0;
}

int OnRemoteUnhold(int iCallId, int iCnxId, int iParam1, int, void*&, CmCtx& ctx) {
    CM_CALL* pstCall = GetUsedCall(iCallId);
    if (pstCall == nullptr || !CC_IsCnxRemoteHeld(iCnxId)) return -1;
    int iIndex = MemberIndex(pstCall, iCnxId);
    if (iIndex < 0) return -1;
    bool bWasCurrent = pstCall->bCurrent != 0;
    if (!bWasCurrent) {
        if (g_stCm.iCurrentCallId != -1) return -1;
        SetCurrent(pstCall);
        ctx.Post(iCallId, -1, VOIPEVT_REMOTE_UNHOLD, iParam1);
    }
    if (pstCall->abHeld[iIndex]) {
        pstCall->abHeld[iIndex] = 0;
        pstCall->iActiveNum++;
    }
    if (!bWasCurrent) {
        ConfAddUnheld(pstCall);
    } else if (pstCall->iCnxNum >= 2) {
        CC_ConfAddCnx(iCnxId);
    }
    ctx.Post(iCallId, iCnxId, VOIPEVT_REMOTE_UNHOLD, iParam1);
    return 0;
}

int OnRemoteAlert(int iCallId, int iCnxId, int iParam1, int, void*&, CmCtx& ctx) {
    if (!CM_IsValidCallId(iCallId) || !CC_IsValidCnxId(iCnxId)) return -1;
    ctx.Post(iCallId, iCnxId, VOIPEVT_REMOTE_ALERT, iParam1);
    return 0;
}

int OnRemoteAlertSdp(int iCallId, int iCnxId, int iParam1, int, void*&, CmCtx& ctx) {
    if (!CM_IsValidCallId(iCallId) || !CC_IsValidCnxId(iCnxId)) return -1;
    ctx.Post(iCallId, iCnxId, VOIPEVT_REMOTE_ALERT_SDP, iParam1);
    return 0;
}

int OnRemoteAnswer(int iCallId, int iCnxId, int iParam1, int, void*&, CmCtx& ctx) {
    ctx.Post(iCallId, iCnxId, VOIPEVT_REMOTE_ANSWER, iParam1);
    CM_CALL* pstCall = GetCall(iCallId);
    if (pstCall != nullptr && pstCall->bInUse && pstCall->iCnxNum >= 2) {
        // The member answers in this very transition: describe it as talking.
        TellOthersNews(pstCall, iCnxId, CM_CONTACT_STATUS_TALKING);
        TellNewOthers(pstCall, iCnxId, CM_CONTACT_STATUS_TALKING);
    }
    return 0;
}

int OnRemoteContact(int iCallId, int iCnxId, int, int, void*& pValue, CmCtx& ctx) {
    if (!VOIP_CHECK(NULL != pValue, kFile)) return -1;
    CM_CALL* pstCall = GetUsedCall(iCallId);
    if (pstCall == nullptr) return -1;
    auto* pstContact = static_cast<CM_CONTACT*>(pValue);
    pstContact->szUri[CM_MAX_STRING_LEN - 1] = '\0';
    pstContact->szParent[CM_MAX_STRING_LEN - 1] = '\0';
    char szPeer[CC_MAX_URI] = "";
    CC_GetCnxPeerUri(iCnxId, szPeer);
    if (strcmp(pstContact->szUri, szPeer) == 0 && pstContact->iStatus == CM_CONTACT_STATUS_TALKING) {
        pstCall->iParentCnxId = iCnxId;
        // The level comes from the peer: kept one below the largest so that a member's level (ours + 1) fits too.
        pstCall->iConfLevel = pstContact->iLevel >= INT32_MAX - 1 ? INT32_MAX - 1 : pstContact->iLevel + 1;
    } else {
        bool bFound = false;
        for (auto it = pstCall->contacts.begin(); it != pstCall->contacts.end(); ++it) {
            if (strcmp(it->szUri, pstContact->szUri) != 0) continue;
            bFound = true;
            if (pstContact->iStatus != CM_CONTACT_STATUS_LEFT) {
                *it = *pstContact;
            } else {
                pstCall->contacts.erase(it);
            }
            break;
        }
        if (!bFound) {
            if (pstCall->contacts.size() < CM_MAX_CONTACTS_KEPT) {
                pstCall->contacts.push_back(*pstContact);
            } else {
                DebugTrace(MOD_CM, 1, "CM: call %d keeps no more conference members", iCallId);
            }
        }
    }
    pValue = nullptr;
    ctx.Post(iCallId, iCnxId, VOIPEVT_REMOTE_CONTACT, VOIP_CODE_NONE, 0, pstContact);
    return 0;
}

int OnNoRecordDevice(int, int, int, int, void*& pValue, CmCtx& ctx) {
    void* p = pValue;
    pValue = nullptr;
    ctx.Post(-1, -1, VOIPEVT_NO_RECORD_DEVICE, VOIP_CODE_NONE, 0, p);
    return 0;
}

int OnOsipStarted(int iCallId, int iCnxId, int iParam1, int, void*&, CmCtx& ctx) {
    if (g_stCm.bRegistered) return 0;
    g_stCm.bRegistered = 1;
    ctx.Post(iCallId, iCnxId, VOIPEVT_START, iParam1);
    return 0;
}

int OnOsipStopped(int iCallId, int iCnxId, int iParam1, int, void*&, CmCtx& ctx) {
    if (!g_stCm.bRegistered) return 0;
    g_stCm.bRegistered = 0;
    ctx.Post(iCallId, iCnxId, VOIPEVT_STOP, iParam1);
    return 0;
}

struct HandlerRow {
    int iEvent;
    CM_HANDLER pfnHandler;
};

const HandlerRow kHandlers[] = {
    {CMEVT_NEWCALL, OnNewCall},
    {CMEVT_DISCONNECT, OnDisconnect},
    {CMEVT_CONNECT, OnConnect},
    {CMEVT_HOLD, OnHold},
    {CMEVT_UNHOLD, OnUnhold},
    {CMEVT_MOVE, OnMove},
    {CMEVT_DTMF, OnDtmf},
    {CMEVT_INFO, OnInfo},
    {CMEVT_START, OnStart},
    {CMEVT_STOP, OnStop},
    {CMEVT_RELEASE, OnRelease},
    {CMEVT_REMOTE_NEWCALL, OnRemoteNewCall},
    {CMEVT_REMOTE_DISCONNECT, OnRemoteDisconnect},
    {CMEVT_REMOTE_HOLD, OnRemoteHold},
    {CMEVT_REMOTE_UNHOLD, OnRemoteUnhold},
    {CMEVT_REMOTE_ALERT, OnRemoteAlert},
    {CMEVT_REMOTE_ALERT_SDP, OnRemoteAlertSdp},
    {CMEVT_REMOTE_ANSWER, OnRemoteAnswer},
    {CMEVT_REMOTE_CONTACT, OnRemoteContact},
    {CMEVT_NO_RECORD_DEVICE, OnNoRecordDevice},
    {CMEVT_OSIP_STARTED, OnOsipStarted},
    {CMEVT_OSIP_STOPPED, OnOsipStopped},
    {255, nullptr},
};

}  // namespace

int CM_Init() {
    // Step one: every call record gets its contact list and a reset.
    for (CM_CALL& call : g_stCm.astCall) ResetCall(&call);
    // Step two: the control block.
    g_stCm.bStarted = 1;
    g_stCm.iConfCallNum = 0;
    g_stCm.iCurrentCallId = -1;
    g_stCm.iActiveCallNum = 0;
    g_stCm.aiReserved[0] = g_stCm.aiReserved[1] = 0;
    g_stCm.bRegistered = 0;
    if (g_stCm.pstMutex == nullptr) g_stCm.pstMutex = new plat::RecursiveMutex();
    for (int i = 0; i < CM_MAX_CALL_NUM; ++i) {
        g_stCm.aiActiveCallId[i] = -1;
        g_stCm.astCall[i].iIndex = i;
    }
    CM_RegInfoFree(g_stCm.pstRegInfo);
    g_stCm.pstRegInfo = static_cast<CM_REG_INFO*>(calloc(1, sizeof(CM_REG_INFO)));
    return g_stCm.pstRegInfo ? 0 : -1;
}

void CM_Exit() {
    // A handler still running on another thread holds the mutex: wait for it, and let nothing
    // find the mutex once it is being destroyed.
    plat::RecursiveMutex* pstMutex = g_stCm.pstMutex;
    if (pstMutex) pstMutex->lock();
    g_stCm.pstMutex = nullptr;
    g_stCm.bStarted = 0;
    g_stCm.iConfCallNum = 0;
    g_stCm.iActiveCallNum = 0;
    g_stCm.aiReserved[0] = g_stCm.aiReserved[1] = 0;
    g_stCm.bRegistered = 0;
    g_stCm.iCurrentCallId = -1;
    for (int& id : g_stCm.aiActiveCallId) id = -1;
    CM_RegInfoFree(g_stCm.pstRegInfo);
    g_stCm.pstRegInfo = nullptr;
    for (CM_CALL& call : g_stCm.astCall) {
        ResetCall(&call);
        call.contacts.shrink_to_fit();
    }
    if (pstMutex) {
        pstMutex->unlock();
        delete pstMutex;
    }
}

bool CM_IsStarted() { return g_stCm.bStarted != 0; }

int CM_SendEvent(int iCallId, int iCnxId, int iEvent, int iParam1, int iParam2, void* pValue) {
    if (!g_stCm.bStarted && iEvent != CMEVT_START && iEvent != CMEVT_STOP) {
        DebugTrace(MOD_CM, 2, "CM_SendEvent: %s refused, the call manager is not started", CM_GetEventName(iEvent));
        FreeEventValue(iEvent, pValue);
        return -1;
    }
    return CM_ProcessEvent(iCallId, iCnxId, iEvent, iParam1, iParam2, pValue);
}

int CM_ProcessEvent(int iCallId, int iCnxId, int iEvent, int iParam1, int iParam2, void* pValue) {
    CM_HANDLER pfnHandler = nullptr;
    for (const HandlerRow& row : kHandlers) {
        if (row.iEvent == 255) break;
        if (row.iEvent == iEvent) {
            pfnHandler = row.pfnHandler;
            break;
        }
    }
    if (pfnHandler == nullptr || g_stCm.pstMutex == nullptr) {
        FreeEventValue(iEvent, pValue);
        return -1;
    }
    if (iEvent != CMEVT_OSIP_STARTED) {
        DebugTrace(MOD_CM, 3, "CM_ProcessEvent: (%d, %d), %s, %d, %d, %s", iCallId, iCnxId, CM_GetEventName(iEvent),
                   iParam1, iParam2, ValueText(iEvent, pValue));
    }
    CmCtx ctx;
    int rc;
    {
        CmLock lock;
        rc = pfnHandler(iCallId, iCnxId, iParam1, iParam2, pValue, ctx);
    }
    // Whatever the handler did not keep or pass on is freed here, once.
    FreeEventValue(iEvent, pValue);
    for (const PendingPost& post : ctx.posts) {
        PostVoipEventToUi(post.iCallId, post.iCnxId, post.iEvent, post.iParam3, post.iParam4, post.pValue);
    }
    return rc;
}

int CM_AllocCall() {
    if (!g_stCm.bStarted) return -1;
    CmLock lock;
    if (g_stCm.iActiveCallNum < CM_MAX_CALL_NUM) {
        for (CM_CALL& call : g_stCm.astCall) {
            if (call.bInUse) continue;
            ResetCall(&call);
            call.bInUse = 1;
            g_stCm.aiActiveCallId[g_stCm.iActiveCallNum++] = call.iIndex;
            return call.iIndex;
        }
    }
    DebugTrace(MOD_CM, 1, "CM_AllocCall: not enough call resource!!!");
    return -1;
}

int CM_FreeCall(int iCallId) {
    if (!g_stCm.bStarted) return -1;
    CmLock lock;
    if (!VOIP_CHECK(TRUE == CM_IsValidCallId(iCallId), kFile)) return -1;
    for (int i = 0; i < g_stCm.iActiveCallNum; ++i) {
        if (g_stCm.aiActiveCallId[i] != iCallId) continue;
        for (int j = i; j + 1 < g_stCm.iActiveCallNum; ++j) g_stCm.aiActiveCallId[j] = g_stCm.aiActiveCallId[j + 1];
        g_stCm.aiActiveCallId[--g_stCm.iActiveCallNum] = -1;
        break;
    }
    if (g_stCm.iCurrentCallId == iCallId) g_stCm.iCurrentCallId = -1;
    ResetCall(GetCall(iCallId));
    return 0;
}

int CM_GetCurrentCallId() {
    CmLock lock;
    return g_stCm.iActiveCallNum > 0 ? g_stCm.iCurrentCallId : -1;
}

bool CM_IsConfCall(int iCallId) {
    CmLock lock;
    CM_CALL* pstCall = GetCall(iCallId);
    return pstCall != nullptr && pstCall->iCnxNum > 1;
}

int CM_GetFreeSeatNum(int iCallId) {
    CmLock lock;
    CM_CALL* pstCall = GetCall(iCallId);
    return pstCall ? CM_MAX_CNX_PER_CALL - pstCall->iCnxNum : 0;
}

int CM_GetConfLevel(int iCallId) {
    CmLock lock;
    CM_CALL* pstCall = GetCall(iCallId);
    return pstCall ? pstCall->iConfLevel : -1;
}

int CM_AddCnxToCall(int iCallId, int iCnxId) {
    CmLock lock;
    CM_CALL* pstCall = GetCall(iCallId);
    if (!VOIP_CHECK(NULL != pstCall, kFile)) return -1;
    if (pstCall->iCnxNum >= CM_MAX_CNX_PER_CALL) {
        DebugTrace(MOD_CM, 1, "CM: call %d already has %d connections", iCallId, pstCall->iCnxNum);
        return -1;
    }
    if (MemberIndex(pstCall, iCnxId) >= 0) return -1;
    // A connection its peer holds joins held, and out of the mix.
    const bool bHeld = CC_IsCnxRemoteHeld(iCnxId);
    pstCall->aiCnxId[pstCall->iCnxNum] = iCnxId;
    pstCall->abHeld[pstCall->iCnxNum] = bHeld ? 1 : 0;
    pstCall->iCnxNum++;
    if (!bHeld) pstCall->iActiveNum++;
    if (pstCall->iCnxNum == 2) {
        g_stCm.iConfCallNum++;
        pstCall->iConfLevel = 0;
        if (pstCall->bCurrent && !pstCall->abHeld[0]) CC_ConfAddCnx(pstCall->aiCnxId[0]);
    }
    if (pstCall->iCnxNum >= 2 && pstCall->bCurrent && !bHeld) CC_ConfAddCnx(iCnxId);
    return 0;
}

int CM_RemoveCnxFromCall(int iCallId, int iCnxId) {
    CmLock lock;
    CM_CALL* pstCall = GetCall(iCallId);
    if (!VOIP_CHECK(NULL != pstCall, kFile)) return -1;
    int iIndex = MemberIndex(pstCall, iCnxId);
    if (iIndex < 0) return -1;
    if (pstCall->iCnxNum == 2) {
        g_stCm.iConfCallNum--;
        if (pstCall->bCurrent) {
            CC_ConfDelCnx(pstCall->aiCnxId[0]);
            CC_ConfDelCnx(pstCall->aiCnxId[1]);
        }
    } else if (pstCall->iCnxNum >= 3 && pstCall->bCurrent) {
        CC_ConfDelCnx(iCnxId);
    }
    bool bWasHeld = pstCall->abHeld[iIndex] != 0;
    for (int i = iIndex; i + 1 < pstCall->iCnxNum; ++i) {
        pstCall->aiCnxId[i] = pstCall->aiCnxId[i + 1];
        pstCall->abHeld[i] = pstCall->abHeld[i + 1];
    }
    pstCall->iCnxNum--;
    pstCall->aiCnxId[pstCall->iCnxNum] = -1;
    pstCall->abHeld[pstCall->iCnxNum] = 0;
    if (!bWasHeld) pstCall->iActiveNum--;
    if (pstCall->iCnxNum < 2) pstCall->iConfLevel = -1;
    if (pstCall->iParentCnxId == iCnxId) pstCall->iParentCnxId = -1;
    return 0;
}

void CM_TellOthersNewsInfo(int iCallId, int iCnxId) {
    CmLock lock;
    CM_CALL* pstCall = GetCall(iCallId);
    if (VOIP_CHECK(NULL != pstCall, kFile)) TellOthersNews(pstCall, iCnxId, CC_GetCnxState(iCnxId));
}

void CM_TellNewOthersInfo(int iCallId, int iCnxId) {
    CmLock lock;
    CM_CALL* pstCall = GetCall(iCallId);
    if (VOIP_CHECK(NULL != pstCall, kFile)) TellNewOthers(pstCall, iCnxId, CC_GetCnxState(iCnxId));
}

void CM_TellOthersleavesInfo(int iCallId, int iCnxId) {
    CmLock lock;
    CM_CALL* pstCall = GetCall(iCallId);
    if (VOIP_CHECK(NULL != pstCall, kFile)) TellOthersLeaves(pstCall, iCnxId);
}

bool CM_GetCallSnapshot(int iCallId, CM_CALL* pstOut) {
    CmLock lock;
    CM_CALL* pstCall = GetCall(iCallId);
    if (pstCall == nullptr || pstOut == nullptr) return false;
    *pstOut = *pstCall;
    return true;
}

int CM_GetActiveCallNum() {
    CmLock lock;
    return g_stCm.iActiveCallNum;
}

int CM_GetConfCallNum() {
    CmLock lock;
    return g_stCm.iConfCallNum;
}
