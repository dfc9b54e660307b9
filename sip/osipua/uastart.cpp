// The user agent's start and stop as the voip start and stop run them.
#include "sip/osipua/osipua.h"
#include "voip/VoipUaQueue.h"

int VOIP_UaStart() { return OSIP_Init(); }

void VOIP_UaStop() { CM_Destroy(); }
