// Tests of the call-control event name tables, id checks and the registration record copy.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "voip/VoipEvent.h"

namespace {

struct NameCase {
    const char* (*pfnLookup)(int);
    int iEvent;
    const char* pszName;
};

TEST(VoipEventNames, TableLookupsIncludingGapsAndSentinels) {
    const NameCase cases[] = {
        {CM_GetEventName, CMEVT_NEWCALL, "CMEVT_NEWCALL"},
        {CM_GetEventName, CMEVT_REMOTE_CONTACT, "CMEVT_REMOTE_CONTACT"},
        {CM_GetEventName, 19, "Not Exist!!!"},   // CMEVT_NO_RECORD_DEVICE has no row
        {CM_GetEventName, CMEVT_OSIP_STOPPED, "CMEVT_OSIP_STOPPED"},
        {CM_GetEventName, 22, "Not Exist!!!"},
        {CM_GetEventName, -1, "Not Exist!!!"},
        {CC_GetEventName, CCEVT_REMOTE_INFO, "CCEVT_REMOTE_INFO"},
        {CC_GetEventName, 16, "Not Exist!!!"},
        {CC_GetEventName, CCEVT_TIMEOUT, "CCEVT_TIMEOUT"},
        {CC_GetEventName, CCEVT_STOP, "CCEVT_STOP"},
        {CC_GetEventName, 20, "Not Exist!!!"},
        {OSIP_GetUaEventName, OSIP_UA_EVT_REGISTER, "OSIP_UA_EVT_REGISTER"},
        {OSIP_GetUaEventName, OSIP_UA_EVT_TIMEOUT, "OSIP_UA_EVT_TIMEOUT"},
        {OSIP_GetUaEventName, 11, "No Exist!!!"},
        {VOIP_GetUiEventName, VOIPEVT_TIMEOUT, "VOIPEVT_TIMEOUT"},
        {VOIP_GetUiEventName, 14, "Not Exist!!!"},   // VOIPEVT_NO_RECORD_DEVICE has no row
        {VOIP_GetUiEventName, VOIPEVT_STOP, "VOIPEVT_STOP"},
        {VOIP_GetUiEventName, 17, "Not Exist!!!"},
        {VOIP_GetUiEventName, 1000, "Not Exist!!!"},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.iEvent);
        EXPECT_STREQ(c.pszName, c.pfnLookup(c.iEvent));
    }
}

TEST(VoipEventNames, DescriptionsTravelWithTheNames) {
    EXPECT_STREQ("远端PSTN用户振铃", CM_GetEventDesc(CMEVT_REMOTE_ALERT_SDP));
    EXPECT_STREQ("远端更新SDP参数", CC_GetEventDesc(CCEVT_REMOTE_UPDATE));
    EXPECT_STREQ("拒绝INVITE请求", OSIP_GetUaEventDesc(OSIP_UA_EVT_REJECT_INVITE));
    EXPECT_STREQ("释放CALL", VOIP_GetUiEventDesc(VOIPEVT_RELEASE_CALL));
    EXPECT_STREQ("该事件不存在!!!", CC_GetEventDesc(16));
}

TEST(VoipEventIds, ValidRangeIsZeroToFifteen) {
    for (int id : {-1, 0, 15, 16, 255}) {
        bool bExpected = id >= 0 && id < 16;
        EXPECT_EQ(bExpected, CM_IsValidCallId(id)) << id;
        EXPECT_EQ(bExpected, CC_IsValidCnxId(id)) << id;
    }
}

TEST(VoipRegInfo, DuplicateIsDeepAndKeepsMissingPassword) {
    CM_REG_INFO src{};
    char szUser[] = "alice";
    char szIdentity[] = "alice@example.com";
    src.pszUserName = szUser;
    src.pszIdentity = szIdentity;
    src.iRegistrarPort = 5060;
    src.iExpires = 1800;
    CM_REG_INFO* pCopy = CM_RegInfoDup(&src);
    ASSERT_NE(nullptr, pCopy);
    EXPECT_NE(src.pszUserName, pCopy->pszUserName);
    EXPECT_STREQ("alice@example.com", pCopy->pszIdentity);
    EXPECT_EQ(nullptr, pCopy->pszPassword);
    EXPECT_EQ(5060, pCopy->iRegistrarPort);
    EXPECT_EQ(1800, pCopy->iExpires);
    CM_RegInfoFree(pCopy);
    CM_RegInfoFree(nullptr);
}

}  // namespace
