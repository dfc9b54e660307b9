// The voice engine's API object SonraVE (one per process, VEobj), its observer and its 16 channels.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/sync.h"
#include "platform/thread.h"
#include "voice/components.h"
#include "voice/engine_defs.h"
#include "voice/file_stream.h"
#include "voice/mixer.h"
#include "voice/net/encryption.h"
#include "voice/net/rtcp.h"
#include "voice/net/udp_socket.h"
#include "voice/rtp_sender.h"
#include "voice/send_path.h"
#include "voice/soundcard.h"

class ChannelCodecSet;

// The engine's notice interface, called only from the notification thread (codes 9013, 10020).
class SonraVE_Observer {
 public:
  virtual ~SonraVE_Observer() = default;
  virtual void error_handler(int code) = 0;
};

// Every operation returns 0 (or a value: a channel, a count, a level, a port) on success and -1
// on failure, leaving the reason in the last error, which a success never clears.
class SonraVE {
 public:
  SonraVE();

  virtual int SonraVE_Init();
  virtual int SonraVE_SetNetworkStatus(int status);
  virtual int SonraVE_GetNetworkStatus();
  virtual int SonraVE_SetVADStatus(int mode);
  virtual int SonraVE_GetVADStatus();
  virtual int SonraVE_SetECStatus(int mode);
  virtual int SonraVE_GetECStatus();
  virtual int SonraVE_GetECActivity();
  virtual int SonraVE_CreateChannel();
  virtual int SonraVE_DeleteChannel(int channel);
  virtual int SonraVE_GetCodec(short listNumber, Codecinst& codec);
  virtual int SonraVE_GetNofCodecs();
  virtual int SonraVE_SetSendCodec(int channel, const Codecinst& codec);
  virtual int SonraVE_GetCurrentSendCodec(int channel, Codecinst& codec);
  virtual int SonraVE_SetRecPort(int channel, int port, const char* multicastAddress = nullptr);
  virtual int SonraVE_GetRecPort(int channel);
  virtual int SonraVE_SetSendPort(int channel, int port);
  virtual int SonraVE_SetSrcPort(int channel, int port);
  virtual int SonraVE_GetSendPort(int channel);
  virtual int SonraVE_SetSendIP(int channel, const char* address);
  virtual int SonraVE_GetSendIP(int channel, char* address, const char* text = nullptr);
  virtual int SonraVE_StartListen(int channel);
  virtual int SonraVE_StartPlayout(int channel);
  virtual int SonraVE_StartSend(int channel);
  virtual int SonraVE_StopListen(int channel);
  virtual int SonraVE_StopPlayout(int channel);
  virtual int SonraVE_StopSend(int channel);
  virtual int SonraVE_GetLastError();
  virtual int SonraVE_SetSpeakerVolume(int level);
  virtual int SonraVE_GetSpeakerVolume();
  virtual int SonraVE_SetMicVolume(int level);
  virtual int SonraVE_GetMicVolume();
  virtual int SonraVE_SetAGCStatus(int mode);
  virtual int SonraVE_GetAGCStatus();
  virtual int SonraVE_GetVersion(char* version, int length);
  virtual int SonraVE_Terminate();
  virtual int SonraVE_SetDTMFPayloadType(int channel, int payloadType);
  virtual int SonraVE_SendDTMF(int channel, int event, int mode);
  virtual int SonraVE_GetFromPort(int channel);
  virtual int SonraVE_SetExpectedFromPort(int channel, unsigned short port);
  virtual int SonraVE_GetExpectedFromPort(int channel);
  virtual int SonraVE_SetRecPayloadType(short channel, const Codecinst& codec);
  virtual int SonraVE_SetSendCNPayloadType(int channel, int payloadType);
  virtual int SonraVE_RTCPStat(int channel, unsigned short* fractionLost, unsigned int* cumulativeLost,
                               unsigned int* extendedMax, unsigned int* jitter, int* peakPackets);
  virtual int SonraVE_SetSoundDevices(int waveInDevice, int waveOutDevice);
  virtual int SonraVE_InitEncryption(SonraVE_Encryption* encryption);
  virtual int SonraVE_EnableEncryption(int channel);
  virtual int SonraVE_DisableEncryption(int channel);
  virtual int SonraVE_SetDTMFFeedbackStatus(int mode);
  virtual int SonraVE_GetDTMFFeedbackStatus();
  virtual int SonraVE_GetNoOfChannels();
  virtual int SonraVE_SetECType(int type);
  virtual int SonraVE_GetECType();
  virtual int SonraVE_GetInputLevel();
  virtual int SonraVE_GetOutputLevel();
  virtual int SonraVE_SetSendTOS(int channel, int value);
  virtual int SonraVE_GetSendTOS(int channel);
  virtual int SonraVE_SetSendGQOS(int channel, int enable, int serviceType);
  virtual int SonraVE_GetSendGQOS(int channel);
  virtual int SonraVE_MuteMic(int channel, int on);
  virtual int SonraVE_PutOnHold(int channel, int on);
  virtual int SonraVE_AddToConference(int channel, int on);
  virtual int SonraVE_SetTrace(int mode);
  virtual int SonraVE_PlayPCM(int channel, const char* fileName, int loop = 0);
  virtual int SonraVE_PlayPCM(int channel, InStream* stream);
  virtual int SonraVE_PlayPCMAsMicrophone(int channel, const char* fileName, int loop = 0, int mixWithMic = 0);
  virtual int SonraVE_PlayPCMAsMicrophone(int channel, InStream* stream, int mixWithMic = 0);
  virtual int SonraVE_IsPlayingFile(int channel);
  virtual int SonraVE_IsPlayingFile(int channel, InStream* stream);
  virtual int SonraVE_IsPlayingFileAsMicrophone(int channel);
  virtual int SonraVE_IsPlayingFileAsMicrophone(int channel, InStream* stream);
  virtual int SonraVE_CheckIfAudioIsAvailable(int checkPlayout, int checkCapture);
  virtual int SonraVE_GetPlayoutDelay(int channel);
  virtual int SonraVE_SetRTCPStatus(int channel, int on);
  virtual int SonraVE_GetRTCPStatus(int channel, int& on);
  virtual int SonraVE_GetRemoteRTCPName(int channel, char* name, int size = RtcpSession::kMaxCname + 1);
  virtual int SonraVE_EnableSRTPSend(int channel, int cipherType, int cipherKeyLength, int authType,
                                     int authKeyLength, int authTagLength, int securityServices,
                                     const unsigned char* key);
  virtual int SonraVE_DisableSRTPSend(int channel);
  virtual int SonraVE_EnableSRTPReceive(int channel, int cipherType, int cipherKeyLength, int authType,
                                        int authKeyLength, int authTagLength, int securityServices,
                                        const unsigned char* key);
  virtual int SonraVE_DisableSRTPReceive(int channel);
  virtual int SonraVE_StartPTTPlayout(int channel);
  virtual int SonraVE_GetPTTActivity(int channel);
  virtual int SonraVE_GetPTTSession(int channel, void* session);
  virtual int SonraVE_SetSendTransport(int channel, void* transport);
  virtual int SonraVE_ReceivedRTPPacket(int channel, const void* packet, int length);
  virtual int SetObserver(SonraVE_Observer* observer);
  virtual int SonraVE_StartPlayingFileOnChannel(int channel, const char* fileName);
  virtual int SonraVE_StopPlayingFileOnChannel(int channel);
  virtual int SonraVE_StartSend(OutStream* stream);
  virtual int SonraVE_StartRecordingToFile(const char* fileName);
  virtual int SonraVE_StopRecordingToFile();
  virtual int SonraVE_ConvertWavToPCM(InStream* in, OutStream* out);
  virtual int SonraVE_ConvertWavToPCM(const char* inFile, const char* outFile);
  // With format 1 the input is an iLBC file instead of a WAV file.
  virtual int SonraVE_ConvertWavToPCM(InStream* in, OutStream* out, int format);
  virtual int SonraVE_ConvertWavToPCM(const char* inFile, const char* outFile, int format);
  virtual int SonraVE_ConvertWavToPCMQuiet(InStream* in, OutStream* out);
  virtual int SonraVE_ConvertWavToPCMQuiet(const char* inFile, const char* outFile);
  virtual int SonraVE_Spare1();
  virtual int SonraVE_Spare2(int a);
  virtual int SonraVE_Spare3(int a, int b);
  virtual int SonraVE_Spare4(int a, int b, int c);
  virtual int SonraVE_Spare5(int a, int b, int c, int d);
  virtual int SonraVE_Spare6();
  virtual ~SonraVE();

  SonraVE(const SonraVE&) = delete;
  SonraVE& operator=(const SonraVE&) = delete;

  // ---- Inside the engine (receive entries, tests, figures) ----
  static void RecProc(void* engine, void* jitterA, void* jitterB, void* soundCard, UdpRecvSocket* socket,
                      const uint8_t* data, int length, int channel);
  static void RTCPRecProc(void* engine, void* rtcp, void* unused1, void* unused2, UdpRecvSocket* socket,
                          const uint8_t* data, int length, int channel);
  SndCardStream& SoundCard() { return snd_; }
  Mixer& PlayoutMixer() { return mixer_; }
  TX& SendPath() { return tx_; }
  rtpsender& Sender(int channel) { return senders_[channel]; }
  RtcpSession& Rtcp(int channel) { return rtcp_[channel]; }
  ChannelCodecSet* JitterA(int channel) const { return setA_[channel].get(); }
  ChannelCodecSet* JitterB(int channel) const { return setB_[channel].get(); }
  int ReceivePayloadType(int channel, int kind) const { return recPt_[kind][channel]; }
  bool Initialised() const { return initialised_.load(); }
  bool NotificationThreadRunning() const;
  // Telephone-event payload type the channel sends with.
  int DTMFPayloadType(int channel) const { return dtmfPt_[channel]; }

 private:
  // The call line and the INFO line; infoArgs, when given, stands for args in the INFO line.
  void ApiLine(const char* name, const char* args, int a = -1, int b = -1, const char* infoArgs = nullptr);
  // A call line with three numbers: the sink formats at most two, so the numbers are written first.
  void ApiLine3(const char* name, int a, int b, int c);
  bool CheckChannel(int channel, bool mustBeCreated = true);
  int Fail(int code);
  int Warn(int code);
  // A recording the send path ended on a failed write is over for the engine too: its file is
  // finished (keeping what was written) and the flag cleared. Call under the engine lock.
  void SettleFileRecording();
  int KindIndex(int kind) const { return kindIndex_[kind]; }
  void BuildCodecTable();
  int FindInCurrentList(const char* name) const;
  int initRecSide(int channel);
  bool EnsureSockets(int channel, int bindPort);
  void CloseReceivers(int channel);
  void ResetChannelSettings(int channel);
  // True while any channel exists (a call, held or not).
  bool AnyChannelCreated() const;
  int ReceiveRate(int channel, const uint8_t* packet, int length);
  int StartCaptureForStream(int* mapped);
  void NotificationThread();
  int DeleteChannelLocked(int channel);

  std::atomic<bool> stopNotification_{false};
  SonraVE_Observer* defaultObserver_;
  std::atomic<SonraVE_Observer*> observer_;
  std::atomic<int> lastError_{0};
  std::atomic<int> networkStatus_{0};
  char sendIP_[kSonraMaxChannels][64] = {};
  int nextDynamicPt_ = 120;

  Mixer mixer_;
  TX tx_;
  AecPcWrapper aec_;
  AesFixInst* aes_ = nullptr;
  SndCardStream snd_;

  // Codec table.
  Codecinst codecs_[kSonraMaxCodecs] = {};
  int codecCount_ = 0;
  int lists_[kSonraNetworkStatusCount][kSonraMaxCodecs];
  int listCount_[kSonraNetworkStatusCount] = {};
  int packetSizes_[kSonraMaxCodecs][kSonraMaxPacketSizes] = {};
  int packetSizeCount_[kSonraMaxCodecs] = {};
  int16_t recPt_[kSonraMaxCodecs][kSonraMaxChannels] = {};
  int kindIndex_[kCodecKindCount];

  std::unique_ptr<ChannelCodecSet> setA_[kSonraMaxChannels];
  std::unique_ptr<ChannelCodecSet> setB_[kSonraMaxChannels];

  rtpsender senders_[kSonraMaxChannels];
  UdpRecvSocket rtpRecv_[kSonraMaxChannels];
  UdpRecvSocket rtcpRecv_[kSonraMaxChannels];
  UdpRecvSocket extraRecv_[kSonraMaxChannels];
  UdpSocketRef rtpSocket_[kSonraMaxChannels];
  UdpSocketRef rtcpSocket_[kSonraMaxChannels];

  std::atomic<bool> created_[kSonraMaxChannels] = {};
  std::atomic<bool> sending_[kSonraMaxChannels] = {};
  std::atomic<bool> listening_[kSonraMaxChannels] = {};
  std::atomic<bool> playing_[kSonraMaxChannels] = {};
  int recPort_[kSonraMaxChannels] = {};
  int sendPort_[kSonraMaxChannels] = {};
  int srcPort_[kSonraMaxChannels] = {};
  Codecinst sendCodec_[kSonraMaxChannels] = {};
  int dtmfPt_[kSonraMaxChannels] = {};
  // Rate of the last voice packet received (the arrival clock of side packets).
  int streamRate_[kSonraMaxChannels] = {};

  std::unique_ptr<InStream> playFile_[kSonraMaxChannels];
  std::unique_ptr<InStream> micFile_[kSonraMaxChannels];
  std::unique_ptr<OutStream> recordFile_;
  RtcpSession rtcp_[kSonraMaxChannels];
  // The statistics query's own loss interval, apart from the reports'.
  TidepoolStatsInterval statsInterval_[kSonraMaxChannels];

  int tos_[kSonraMaxChannels] = {};
  int qosType_[kSonraMaxChannels] = {};

  std::atomic<bool> fileRecording_{false};
  std::atomic<bool> playoutRunning_{false};
  bool encryptionPrepared_ = false;
  SonraVE_Encryption* encryption_ = nullptr;
  std::atomic<bool> initialised_{false};
  int16_t vadStatus_ = 0;
  int16_t dtmfFeedback_ = 1;
  int playingCount_ = 0;

  plat::RecursiveMutex playoutLock_;
  // Serialises the operations that change channels, so two callers never build one channel twice.
  plat::RecursiveMutex apiLock_;
  plat::Thread notification_;
  plat::Event notificationWake_{false, false};  // a flag raised, or the stop
};

// The process's one engine.
SonraVE* GetVEobj();
