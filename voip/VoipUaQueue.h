// The queue through which call control hands OSIP_UA_MSG events to the user agent's "sipua" thread.
#pragma once

// The user agent registers its put function (OSIP_SendUaEvent) when it starts and clears it
// (nullptr) when it stops. The put function takes ownership of pValue in every case: it queues
// it or frees it with free(). It returns 0 when queued, -1 otherwise, and never blocks.
typedef int (*OSIP_UA_PUT)(int iId, int iEvent, int iParam, void* pValue);

void OSIP_RegisterUaQueue(OSIP_UA_PUT pfnPut);

// What call control calls: forwards to the registered put function. With none registered, or an
// event number of 11 or more, it frees pValue (a CM_REG_INFO with CM_RegInfoFree) and returns -1.
int VOIP_SendUaEvent(int iId, int iEvent, int iParam, void* pValue);

// The user agent's start (0, or -1 when it did not start) and stop, run by the voip start and stop.
// The user agent defines them; they join call control when the program is linked.
int VOIP_UaStart();
void VOIP_UaStop();
