// Dispatch of call control's voice-engine calls to the installed bridge object.
#include "voip/Sonra_Bridge.h"

#include <atomic>

namespace {

std::atomic<SonraBridge*> g_pBridge{nullptr};

int g_aiDefaultPayload[SONRA_PAYLOAD_LIST_LEN] = {102, 0, 255, 255, 255, 255, 255, 255};

// (codec index, payload type) rows ending at index 255.
struct PayloadRow {
    int iIndex;
    int iPayload;
};
const PayloadRow kPayloadMap[] = {{0, 97}, {1, 103}, {2, 100}, {3, 101}, {4, 0},
                                  {5, 8},  {6, 102}, {7, 106}, {255, 255}};

bool ValidChannel(int ch) { return ch >= 0 && ch < SONRA_MAX_CHANNELS; }

template <typename F>
int OnChannel(int ch, F fn) {
    SonraBridge* pBridge = g_pBridge.load();
    if (pBridge == nullptr || !ValidChannel(ch)) return -1;
    return fn(pBridge);
}

}  // namespace

void Sonra_SetBridge(SonraBridge* pBridge) { g_pBridge.store(pBridge); }
SonraBridge* Sonra_GetBridge() { return g_pBridge.load(); }

int Sonra_CreateChannel() {
    SonraBridge* pBridge = g_pBridge.load();
    return pBridge ? pBridge->CreateChannel() : -1;
}
int Sonra_DeleteChannel(int ch) {
    return OnChannel(ch, [&](SonraBridge* p) { return p->DeleteChannel(ch); });
}
int Sonra_SetSendCodec(int ch, int codecIndex) {
    if (codecIndex < 0 || codecIndex >= SONRA_PAYLOAD_LIST_LEN) return -1;
    return OnChannel(ch, [&](SonraBridge* p) { return p->SetSendCodec(ch, codecIndex); });
}
int Sonra_SetPayloadNumber(int ch, int codecIndex, int pltype) {
    if (codecIndex < 0 || codecIndex >= SONRA_PAYLOAD_LIST_LEN || pltype < 96 || pltype > 127) return -1;
    return OnChannel(ch, [&](SonraBridge* p) { return p->SetPayloadNumber(ch, codecIndex, pltype); });
}
int Sonra_SetDtmfPayloadType(int ch, int pltype) {
    if (pltype < 96 || pltype > 127) return -1;
    return OnChannel(ch, [&](SonraBridge* p) { return p->SetDtmfPayloadType(ch, pltype); });
}
int Sonra_SetRecPort(int ch, int port, int flag) {
    return OnChannel(ch, [&](SonraBridge* p) { return p->SetRecPort(ch, port, flag); });
}
int Sonra_GetRecPort(int ch) {
    return OnChannel(ch, [&](SonraBridge* p) { return p->GetRecPort(ch); });
}
int Sonra_SetSendAddr(int ch, unsigned ipNetOrder, int port) {
    return OnChannel(ch, [&](SonraBridge* p) { return p->SetSendAddr(ch, ipNetOrder, port); });
}
int Sonra_StartListen(int ch) {
    return OnChannel(ch, [&](SonraBridge* p) { return p->StartListen(ch); });
}
int Sonra_StartPlayout(int ch) {
    return OnChannel(ch, [&](SonraBridge* p) { return p->StartPlayout(ch); });
}
int Sonra_StartSend(int ch) {
    return OnChannel(ch, [&](SonraBridge* p) { return p->StartSend(ch); });
}
int Sonra_StopPlayout(int ch) {
    return OnChannel(ch, [&](SonraBridge* p) { return p->StopPlayout(ch); });
}
int Sonra_StopSend(int ch) {
    return OnChannel(ch, [&](SonraBridge* p) { return p->StopSend(ch); });
}
int Sonra_SendDTMF(int ch, int digit, int flag) {
    return OnChannel(ch, [&](SonraBridge* p) { return p->SendDTMF(ch, digit, flag); });
}
int Sonra_SetSendCNPayloadType(int ch, int pt) {
    return OnChannel(ch, [&](SonraBridge* p) { return p->SetSendCNPayloadType(ch, pt); });
}
int Sonra_AddToConference(int ch) {
    return OnChannel(ch, [&](SonraBridge* p) { return p->AddToConference(ch); });
}
int Sonra_DelFromConference(int ch) {
    return OnChannel(ch, [&](SonraBridge* p) { return p->DelFromConference(ch); });
}
int Sonra_GetMaxChannels() { return SONRA_MAX_CHANNELS; }

int Sonra_PayloadToCodecIndex(int pt) {
    for (const PayloadRow& row : kPayloadMap) {
        if (row.iIndex == 255) break;
        if (row.iPayload == pt) return row.iIndex;
    }
    return SONRA_CODEC_NONE;
}

int Sonra_GetDefaultPayload(int index) {
    if (index < 0 || index >= SONRA_PAYLOAD_LIST_LEN) return SONRA_PAYLOAD_NONE;
    return g_aiDefaultPayload[index];
}

void Sonra_SetDefaultPayloads(const int aiList[SONRA_PAYLOAD_LIST_LEN]) {
    for (int i = 0; i < SONRA_PAYLOAD_LIST_LEN; ++i) g_aiDefaultPayload[i] = aiList[i];
}
