// The voice-engine operations call control needs, behind a replaceable bridge object.
#pragma once

#define SONRA_MAX_CHANNELS 16
#define SONRA_PAYLOAD_LIST_LEN 8
#define SONRA_PAYLOAD_NONE 255
#define SONRA_CODEC_NONE 255

// One implementation drives the voice engine; tests install a recording double. Every operation
// returns -1 on failure (0 or a value on success), like the engine's own operations.
class SonraBridge {
public:
    virtual ~SonraBridge() = default;
    virtual int CreateChannel() = 0;
    virtual int DeleteChannel(int ch) = 0;
    virtual int SetSendCodec(int ch, int codecIndex) = 0;
    virtual int SetRecPort(int ch, int port, int flag) = 0;
    virtual int GetRecPort(int ch) = 0;
    virtual int SetSendAddr(int ch, unsigned ipNetOrder, int port) = 0;
    virtual int StartListen(int ch) = 0;
    virtual int StartPlayout(int ch) = 0;
    virtual int StartSend(int ch) = 0;
    virtual int StopPlayout(int ch) = 0;
    virtual int StopSend(int ch) = 0;
    virtual int SendDTMF(int ch, int digit, int flag) = 0;
    virtual int SetSendCNPayloadType(int ch, int pt) = 0;
    virtual int AddToConference(int ch) = 0;
    virtual int DelFromConference(int ch) = 0;
    // A peer's own dynamic payload number (96..127) for the codec, sent and received under it.
    virtual int SetPayloadNumber(int ch, int codecIndex, int pltype) {
        (void)ch;
        (void)codecIndex;
        (void)pltype;
        return 0;
    }
    // The payload number (96..127) telephone events are sent under, as the peer declared it.
    virtual int SetDtmfPayloadType(int ch, int pltype) {
        (void)ch;
        (void)pltype;
        return 0;
    }
};

// Installs the bridge (nullptr removes it). Without a bridge every operation fails with -1.
// Install before the connection controller starts; remove only after it has stopped.
void Sonra_SetBridge(SonraBridge* pBridge);
SonraBridge* Sonra_GetBridge();

// The calls made by call control; a channel outside 0..15 fails with -1 without reaching the bridge.
int Sonra_CreateChannel();
int Sonra_DeleteChannel(int ch);
int Sonra_SetSendCodec(int ch, int codecIndex);  // index below 8
int Sonra_SetPayloadNumber(int ch, int codecIndex, int pltype);  // pltype 96..127
int Sonra_SetDtmfPayloadType(int ch, int pltype);  // pltype 96..127
int Sonra_SetRecPort(int ch, int port, int flag);
int Sonra_GetRecPort(int ch);
int Sonra_SetSendAddr(int ch, unsigned ipNetOrder, int port);
int Sonra_StartListen(int ch);
int Sonra_StartPlayout(int ch);
int Sonra_StartSend(int ch);
int Sonra_StopPlayout(int ch);
int Sonra_StopSend(int ch);
int Sonra_SendDTMF(int ch, int digit, int flag);
int Sonra_SetSendCNPayloadType(int ch, int pt);
int Sonra_AddToConference(int ch);
int Sonra_DelFromConference(int ch);
int Sonra_GetMaxChannels();  // 16

// Codec index in the engine's codec list for an RTP payload type; 255 when unknown.
int Sonra_PayloadToCodecIndex(int pt);
// The ordered payload list offered and accepted (102, 0, then 255 x 6).
int Sonra_GetDefaultPayload(int index);  // 255 for an index outside 0..7
void Sonra_SetDefaultPayloads(const int aiList[SONRA_PAYLOAD_LIST_LEN]);
