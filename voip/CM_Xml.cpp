// Building and reading of conference-contact lines and hold action bodies.
#include "voip/CM_Xml.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/debug.h"
#include "voip/VoipCheck.h"

namespace {

const char kFile[] = "voip/CM_Xml";
const int kNumberBufLen = 16;

// Finds "<tag>" from pszFrom on and the next "</tag>" after it; returns the value span.
bool FindElement(const char* pszFrom, const char* pszTag, const char** ppBegin, size_t* pLen,
                 const char** ppAfter) {
    char szOpen[16];
    char szClose[16];
    snprintf(szOpen, sizeof(szOpen), "<%s>", pszTag);
    snprintf(szClose, sizeof(szClose), "</%s>", pszTag);
    const char* pOpen = strstr(pszFrom, szOpen);
    if (pOpen == nullptr) return false;
    const char* pBegin = pOpen + strlen(szOpen);
    const char* pClose = strstr(pBegin, szClose);
    if (pClose == nullptr) return false;
    *ppBegin = pBegin;
    *pLen = static_cast<size_t>(pClose - pBegin);
    *ppAfter = pClose + strlen(szClose);
    return true;
}

// Copies a text element into a field of iSize bytes; false when missing, empty or too long.
bool ReadText(const char* pszFrom, const char* pszTag, char* pszOut, size_t iSize, const char** ppAfter) {
    const char* pBegin;
    size_t iLen;
    if (!FindElement(pszFrom, pszTag, &pBegin, &iLen, ppAfter)) {
        DebugTrace(MOD_CM, 1, "CM_XmlParse: no <%s> element", pszTag);
        return false;
    }
    if (iLen == 0 || iLen >= iSize) {
        DebugTrace(MOD_CM, 1, "CM_XmlParse: <%s> is empty or longer than %zu characters", pszTag, iSize - 1);
        return false;
    }
    memcpy(pszOut, pBegin, iLen);
    pszOut[iLen] = '\0';
    return true;
}

// Reads a decimal element; out-of-range values are clamped to 32 bits.
bool ReadNumber(const char* pszFrom, const char* pszTag, int32_t* piOut, const char** ppAfter) {
    char szBuf[kNumberBufLen];
    if (!ReadText(pszFrom, pszTag, szBuf, sizeof(szBuf), ppAfter)) return false;
    errno = 0;
    long lValue = strtol(szBuf, nullptr, 10);
    if (lValue > INT32_MAX) lValue = INT32_MAX;
    if (lValue < INT32_MIN) lValue = INT32_MIN;
    *piOut = static_cast<int32_t>(lValue);
    return true;
}

char* BuildContact(const CM_CONTACT* pstContact) {
    int iUriLen = static_cast<int>(strnlen(pstContact->szUri, sizeof(pstContact->szUri) - 1));
    int iParentLen = static_cast<int>(strnlen(pstContact->szParent, sizeof(pstContact->szParent) - 1));
    const char* pszFormat = "<%s>%.*s</%s><%s>%.*s</%s><%s>%2d</%s><%s>%2d</%s>\n";
    int iNeed = snprintf(nullptr, 0, pszFormat, "URI", iUriLen, pstContact->szUri, "URI", "PARENT", iParentLen,
                         pstContact->szParent, "PARENT", "LEVEL", pstContact->iLevel, "LEVEL", "STATUS",
                         pstContact->iStatus, "STATUS");
    if (iNeed < 0) return nullptr;
    auto* pszOut = static_cast<char*>(malloc(static_cast<size_t>(iNeed) + 1));
    if (pszOut == nullptr) return nullptr;
    snprintf(pszOut, static_cast<size_t>(iNeed) + 1, pszFormat, "URI", iUriLen, pstContact->szUri, "URI", "PARENT",
             iParentLen, pstContact->szParent, "PARENT", "LEVEL", pstContact->iLevel, "LEVEL", "STATUS",
             pstContact->iStatus, "STATUS");
    return pszOut;
}

char* BuildAction(const char* pszAction) {
    if (strcmp(pszAction, "HOLD") != 0 && strcmp(pszAction, "UNHOLD") != 0) return nullptr;
    size_t iSize = strlen(pszAction) + 16;
    auto* pszOut = static_cast<char*>(malloc(iSize));
    if (pszOut == nullptr) return nullptr;
    snprintf(pszOut, iSize, "<%s>%s</%s>\n", "ACT", pszAction, "ACT");
    return pszOut;
}

int ParseContacts(const char* pszBody, CM_CONTACT* pstOut, int iMaxOut) {
    int iCount = 0;
    const char* pszLine = pszBody;
    while (*pszLine != '\0') {
        if (iCount >= iMaxOut) {
            DebugTrace(MOD_CM, 1, "CM_XmlParse: more than %d contacts, the rest is ignored", iMaxOut);
            break;
        }
        CM_CONTACT stContact;
        memset(&stContact, 0, sizeof(stContact));
        const char* pszAfter = pszLine;
        if (!ReadText(pszLine, "URI", stContact.szUri, sizeof(stContact.szUri), &pszAfter) ||
            !ReadText(pszLine, "PARENT", stContact.szParent, sizeof(stContact.szParent), &pszAfter) ||
            !ReadNumber(pszLine, "LEVEL", &stContact.iLevel, &pszAfter) ||
            !ReadNumber(pszLine, "STATUS", &stContact.iStatus, &pszAfter)) {
            return -1;
        }
        pstOut[iCount++] = stContact;
        const char* pszFeed = strchr(pszAfter, '\n');
        if (pszFeed == nullptr) break;
        pszLine = pszFeed + 1;
    }
    return iCount;
}

}  // namespace

char* CM_XmlBuild(int iKind, const void* pData) {
    if (!VOIP_CHECK(NULL != pData, kFile)) return nullptr;
    switch (iKind) {
        case CM_XML_ACTION:
            return BuildAction(static_cast<const char*>(pData));
        case CM_XML_CONTACT:
            return BuildContact(static_cast<const CM_CONTACT*>(pData));
        default:
            return nullptr;
    }
}

int CM_XmlParse(int iKind, const char* pszBody, void* pData, int iMaxOut) {
    if (!VOIP_CHECK(NULL != pszBody, kFile)) return -1;
    if (!VOIP_CHECK(NULL != pData, kFile)) return -1;
    switch (iKind) {
        case CM_XML_ACTION: {
            const char* pszAfter;
            return ReadText(pszBody, "ACT", static_cast<char*>(pData), CM_MAX_STRING_LEN, &pszAfter) ? 0 : -1;
        }
        case CM_XML_CONTACT:
            if (iMaxOut < 0) iMaxOut = 0;
            return ParseContacts(pszBody, static_cast<CM_CONTACT*>(pData), iMaxOut);
        default:
            return 0;
    }
}
