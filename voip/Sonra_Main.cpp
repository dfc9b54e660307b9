// Voice-engine bridge: engine start and stop, the logged wrappers call control uses, and the observer.
#include "voip/Sonra_Main.h"

#include <cstdio>
#include <cstring>

#include "common/debug.h"
#include "platform/net.h"
#include "voip/VoipCheck.h"

namespace {

const char kFile[] = "voip/Sonra_Main";

SonraMainBridge g_bridge;

// (bridge codec index, RTP payload type) as call control's payload map has them.
const int kIndexPayload[SONRA_PAYLOAD_LIST_LEN] = {97, 103, 100, 101, 0, 8, 102, 106};

int Logged(const char* pszName, int iResult) {
    if (iResult == -1) DebugTrace(MOD_QZ, 1, "%s error: %d", pszName, Sonra_GetEngine()->SonraVE_GetLastError());
    return iResult;
}

}  // namespace

// ---------------------------------------------------------------------------
// qz_transport
// ---------------------------------------------------------------------------

qz_transport::qz_transport() {
    plat::WSAStartup(0x0202, nullptr);
    m_iSocket = plat::UdpSocket();
    if (m_iSocket < 0) DebugTrace(MOD_QZ, 1, "qz_transport construct error!");
}

qz_transport::~qz_transport() {
    plat::CloseSocket(m_iSocket);
    m_iSocket = -1;
}

int qz_transport::sendto(int, const void*, int) {
    // Nothing registers this transport with the engine; packets leave through the engine's own sockets.
    return -1;
}

void qz_transport::error_handler(int iCode) { DebugTrace(MOD_QZ, 1, "error_handler: %d", iCode); }

namespace {
// Made with the program, before any engine start; closed at exit.
qz_transport g_transport;
}  // namespace

qz_transport* Sonra_Transport() { return &g_transport; }

// ---------------------------------------------------------------------------
// Engine start and stop
// ---------------------------------------------------------------------------

SonraVE* Sonra_GetEngine() { return GetVEobj(); }

SonraMainBridge* Sonra_MainBridge() { return &g_bridge; }

int Sonra_Init() {
    SonraVE* pVe = Sonra_GetEngine();
    pVe->SonraVE_Init();
    pVe->SetObserver(Sonra_Transport());
    char acVersion[512];
    pVe->SonraVE_GetVersion(acVersion, sizeof acVersion);
    pVe->SonraVE_SetNetworkStatus(0);
    pVe->SonraVE_SetECStatus(2);
    pVe->SonraVE_SetVADStatus(0);
    pVe->SonraVE_SetECType(0);
    pVe->SonraVE_SetAGCStatus(1);
    // Offer iLBC, then PCMU.
    int aiList[SONRA_PAYLOAD_LIST_LEN];
    for (int& i : aiList) i = SONRA_PAYLOAD_NONE;
    aiList[0] = 102;
    aiList[1] = 0;
    Sonra_SetDefaultPayloads(aiList);
    Sonra_SetBridge(&g_bridge);
    return 0;
}

int Sonra_Destroy() { return Logged("Sonra_Destroy", Sonra_GetEngine()->SonraVE_Terminate()); }

int Sonra_GetCodec(int iIndex, Codecinst* pCodecinst) {
    if (!VOIP_CHECK(NULL != pCodecinst, kFile)) return -1;
    if (iIndex < 0 || iIndex >= SONRA_PAYLOAD_LIST_LEN) return -1;
    SonraVE* pVe = Sonra_GetEngine();
    // The index names a payload type; the engine's list holds only the codecs it has, so the
    // codec is looked up by that type rather than by its place.
    const int iPayload = kIndexPayload[iIndex];
    const int iCount = pVe->SonraVE_GetNofCodecs();
    for (int i = 0; i < iCount; ++i) {
        Codecinst stCodec;
        if (pVe->SonraVE_GetCodec(static_cast<short>(i), stCodec) == 0 && stCodec.pltype == iPayload) {
            *pCodecinst = stCodec;
            return 0;
        }
    }
    // Asking past the list's end leaves the engine's own "no codec there" reason.
    Logged("SonraVE_GetCodec", pVe->SonraVE_GetCodec(static_cast<short>(iCount), *pCodecinst));
    return -1;
}

// ---------------------------------------------------------------------------
// The wrappers
// ---------------------------------------------------------------------------

int SonraMainBridge::CreateChannel() {
    return Logged("Sonra_CreateChannel", Sonra_GetEngine()->SonraVE_CreateChannel());
}

int SonraMainBridge::DeleteChannel(int ch) {
    return Logged("Sonra_DeleteChannel", Sonra_GetEngine()->SonraVE_DeleteChannel(ch));
}

int SonraMainBridge::SetSendCodec(int ch, int codecIndex) {
    if (codecIndex < 0 || codecIndex >= SONRA_PAYLOAD_LIST_LEN) return -1;
    Codecinst stCodec;
    if (Sonra_GetCodec(codecIndex, &stCodec) != 0) return -1;
    return Logged("SonraVE_SetSendCodec", Sonra_GetEngine()->SonraVE_SetSendCodec(ch, stCodec));
}

int SonraMainBridge::SetPayloadNumber(int ch, int codecIndex, int pltype) {
    Codecinst stCodec;
    if (Sonra_GetCodec(codecIndex, &stCodec) != 0) return -1;
    stCodec.pltype = pltype;
    int rc = Logged("SonraVE_SetSendCodec", Sonra_GetEngine()->SonraVE_SetSendCodec(ch, stCodec));
    // The receive side takes a new number only while the channel is not yet listening.
    Logged("SonraVE_SetRecPayloadType", Sonra_GetEngine()->SonraVE_SetRecPayloadType(static_cast<short>(ch), stCodec));
    return rc;
}

int SonraMainBridge::SetDtmfPayloadType(int ch, int pltype) {
    int rc = Logged("Sonra_SetDTMFPayloadType", Sonra_GetEngine()->SonraVE_SetDTMFPayloadType(ch, pltype));
    // The answer names the events under the offer's number, so the peer sends them under it too:
    // received under that number while the channel is not yet listening.
    Codecinst stEvents;
    if (rc == 0 && Sonra_GetCodec(Sonra_PayloadToCodecIndex(106), &stEvents) == 0 && stEvents.pltype != pltype) {
        stEvents.pltype = pltype;
        Logged("SonraVE_SetRecPayloadType", Sonra_GetEngine()->SonraVE_SetRecPayloadType(static_cast<short>(ch), stEvents));
    }
    return rc;
}

int SonraMainBridge::SetRecPort(int ch, int port, int) {
    return Logged("Sonra_SetRecPort", Sonra_GetEngine()->SonraVE_SetRecPort(ch, port));
}

int SonraMainBridge::GetRecPort(int ch) { return Logged("Sonra_GetRecPort", Sonra_GetEngine()->SonraVE_GetRecPort(ch)); }

int SonraMainBridge::SetSendAddr(int ch, unsigned ipNetOrder, int port) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&ipNetOrder);
    char acIp[16];
    std::snprintf(acIp, sizeof acIp, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
    SonraVE* pVe = Sonra_GetEngine();
    if (Logged("SonraVE_SetSendIP", pVe->SonraVE_SetSendIP(ch, acIp)) == -1) return -1;
    return Logged("SonraVE_SetSendPort", pVe->SonraVE_SetSendPort(ch, port));
}

int SonraMainBridge::StartListen(int ch) { return Logged("Sonra_StartListen", Sonra_GetEngine()->SonraVE_StartListen(ch)); }

int SonraMainBridge::StartPlayout(int ch) {
    return Logged("Sonra_StartPlayout", Sonra_GetEngine()->SonraVE_StartPlayout(ch));
}

int SonraMainBridge::StartSend(int ch) { return Logged("Sonra_StartSend", Sonra_GetEngine()->SonraVE_StartSend(ch)); }

int SonraMainBridge::StopPlayout(int ch) { return Logged("Sonra_StopPlayout", Sonra_GetEngine()->SonraVE_StopPlayout(ch)); }

int SonraMainBridge::StopSend(int ch) { return Logged("Sonra_StopSend", Sonra_GetEngine()->SonraVE_StopSend(ch)); }

int SonraMainBridge::SendDTMF(int ch, int digit, int flag) {
    return Logged("Sonra_SendDTMF", Sonra_GetEngine()->SonraVE_SendDTMF(ch, digit, flag));
}

int SonraMainBridge::SetSendCNPayloadType(int ch, int pt) {
    return Logged("Sonra_SetSendCNPayloadType", Sonra_GetEngine()->SonraVE_SetSendCNPayloadType(ch, pt));
}

int SonraMainBridge::AddToConference(int ch) {
    return Logged("Sonra_AddToConference", Sonra_GetEngine()->SonraVE_AddToConference(ch, 1));
}

int SonraMainBridge::DelFromConference(int ch) {
    return Logged("Sonra_DelFromConference", Sonra_GetEngine()->SonraVE_AddToConference(ch, 0));
}
