// Voice-engine bridge: call control's calls into the engine, the engine's start and stop, and its notice observer.
#pragma once

#include "voice/engine.h"
#include "voip/Sonra_Bridge.h"

// The transport interface of the engine's user (never registered with the engine).
class SonraVE_Transport {
public:
    virtual ~SonraVE_Transport() = default;
    virtual int sendto(int iChannel, const void* pData, int iLen) = 0;
};

// Process-wide transport and observer: the engine's notices are logged.
class qz_transport : public SonraVE_Transport, public SonraVE_Observer {
public:
    qz_transport();
    ~qz_transport() override;
    qz_transport(const qz_transport&) = delete;
    qz_transport& operator=(const qz_transport&) = delete;
    int sendto(int iChannel, const void* pData, int iLen) override;
    void error_handler(int iCode) override;
    int Socket() const { return m_iSocket; }

private:
    int m_iSocket = -1;
};

// The bridge to the real engine: each operation calls the engine and logs a failure with the
// engine's last error.
class SonraMainBridge : public SonraBridge {
public:
    int CreateChannel() override;
    int DeleteChannel(int ch) override;
    int SetSendCodec(int ch, int codecIndex) override;
    int SetPayloadNumber(int ch, int codecIndex, int pltype) override;
    int SetDtmfPayloadType(int ch, int pltype) override;
    int SetRecPort(int ch, int port, int flag) override;
    int GetRecPort(int ch) override;
    int SetSendAddr(int ch, unsigned ipNetOrder, int port) override;
    int StartListen(int ch) override;
    int StartPlayout(int ch) override;
    int StartSend(int ch) override;
    int StopPlayout(int ch) override;
    int StopSend(int ch) override;
    int SendDTMF(int ch, int digit, int flag) override;
    int SetSendCNPayloadType(int ch, int pt) override;
    int AddToConference(int ch) override;
    int DelFromConference(int ch) override;
};

// The engine object the bridge drives.
SonraVE* Sonra_GetEngine();
// First step of the voip start: starts the engine, installs the observer and this bridge, applies
// the call settings and sets the payload list offered (only codecs the engine has). Returns 0.
int Sonra_Init();
// Voip stop: terminates the engine.
int Sonra_Destroy();
// The engine codec for an index of the bridge's codec list (Sonra_PayloadToCodecIndex); -1 with
// the engine's last error when the engine has no such codec.
int Sonra_GetCodec(int iIndex, Codecinst* pCodecinst);
// The bridge object itself and the observer (for tests).
SonraMainBridge* Sonra_MainBridge();
qz_transport* Sonra_Transport();
