// Conference-contact and hold bodies carried in re-INVITEs ("information/contact", "information/action").
#pragma once

#include <cstddef>
#include "voip/VoipEvent.h"

#define CM_MAX_STRING_LEN 128   // URI and parent fields, terminator included
#define CM_MAX_CONTACT_NUM 10   // contact records one body may carry

#define CM_XML_ACTION 0
#define CM_XML_CONTACT 1

#define CM_CONTACT_STATUS_LEFT 0
#define CM_CONTACT_STATUS_TALKING 4

// One conference member.
struct CM_CONTACT {
    char szUri[CM_MAX_STRING_LEN];
    char szParent[CM_MAX_STRING_LEN];  // identity of the hosting party, or "NULL"
    int32_t iLevel;
    int32_t iStatus;                   // 4 talking, 0 left
};

// Kind 0: pData is "HOLD" or "UNHOLD" (anything else gives null); kind 1: pData is a CM_CONTACT.
// Returns malloc'd text owned by the caller, or null.
char* CM_XmlBuild(int iKind, const void* pData);

// Kind 0: copies the action text into pData (a buffer of at least CM_MAX_STRING_LEN bytes);
// 0, or -1 when a tag is missing or the text is empty or too long.
// Kind 1: parses contact lines into at most iMaxOut records at pData (a CM_CONTACT array);
// returns the number read, or -1 on a malformed line or over-long field. Lines beyond iMaxOut
// are not read. Other kinds return 0.
int CM_XmlParse(int iKind, const char* pszBody, void* pData, int iMaxOut = CM_MAX_CONTACT_NUM);
