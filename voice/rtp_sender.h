// RTP of a voice channel: the transmitter (VAD, comfort noise, in-band DTMF, packetisation) and the sender.
#pragma once

#include <cstdint>
#include <string>

#include "voice/net/encryption.h"
#include "voice/net/rtcp.h"
#include "voice/net/srtp_glue.h"
#include "voice/net/udp_socket.h"
#include "voice/processing.h"

class ChannelCodecSet;
struct CngEncoderInst;
struct SonraVadInst;

// Builds and sends the RTP packets of one channel, with RFC 4733 telephone events.
class rtpsender {
 public:
  static constexpr int kHeaderBytes = 12;
  static constexpr int kMaxPayload = 1500;
  static constexpr int kEventBytes = 16;

  rtpsender() = default;
  rtpsender(const rtpsender&) = delete;
  rtpsender& operator=(const rtpsender&) = delete;

  // Prepares sending to address:port (RTCP to port + 1) from the given sockets.
  // 0; -1 for a missing socket or a bad address; -2 when the type of service cannot be set;
  // -3 when the multicast TTL cannot be set (both sockets are then let go).
  int init(UdpSocketRef rtpSocket, UdpSocketRef rtcpSocket, const char* address, int port, int payloadType,
           bool marker, int tos, int channel, ChannelCodecSet* jitter, RtcpSession* rtcp);
  // Lets the sockets go (sending stops).
  void close();
  bool ready() const { return rtp_ != nullptr; }

  // Header byte 1: the payload type, with 0x80 when marker is set.
  void setPayloadType(int payloadType, bool marker);
  int payloadType() const { return header_[1] & 0x7F; }
  // Telephone-event payload type (96..127 to send events; 0 = none).
  void setEventPayloadType(int payloadType) { eventPayloadType_ = payloadType; }
  int eventPayloadType() const { return eventPayloadType_; }

  // Starts a telephone event of lengthMs; -1 while one runs or without a valid payload type.
  int startDtmf(int digit, int lengthMs);
  // Starts the event, or queues it behind the running one (at most kMaxQueuedEvents); -1 without
  // a valid payload type, -2 when the queue is full.
  int queueDtmf(int digit, int lengthMs);
  static constexpr int kMaxQueuedEvents = 16;
  // Times the end packet of an event is sent.
  static constexpr int kEndRepeats = 3;
  bool dtmfActive() const { return dtmfActive_; }

  // Sends one payload (or, while an event runs, the event's packet instead); returns the
  // payload bytes sent, 0 when nothing was sent, -1 for a bad length or a refused packet,
  // or the system error of a failed send.
  int send(int channel, const uint8_t* payload, int length, uint32_t timestampIncrement, int samplesPerMs);
  // Advances the timestamp for samples that were not sent.
  void advanceTimestamp(uint32_t samples) { timestamp_ += samples; }
  // The final RTCP report with BYE (when RTCP is on).
  void sendFinalReport();
  void sendReport(int samplesPerMs, bool withBye);

  // SRTP on the outgoing packets; Enable releases an enabled session first; -1 when none can be made.
  int enableSRTP(const SrtpPolicy& policy) { return srtp_.Enable(policy); }
  void disableSRTP() { srtp_.Disable(); }
  bool srtpEnabled() const { return srtp_.Enabled(); }
  void setEncryptionHook(SonraVE_Encryption* hook, bool enabled);

  // Seams and figures for tests and statistics.
  uint32_t ssrc() const { return ssrc_; }
  uint32_t timestamp() const { return timestamp_; }
  uint16_t sequence() const { return sequence_; }
  uint32_t packetsSent() const { return packets_; }
  uint32_t dropped() const { return dropped_; }
  const std::string& peerAddress() const { return address_; }
  int peerPort() const { return port_; }
  // Every packet handed to the network goes here instead when set (tests).
  using Tap = void (*)(void* user, const uint8_t* packet, int length);
  void setTap(Tap tap, void* user) {
    tap_ = tap;
    tapUser_ = user;
  }

 private:
  int transmit(uint8_t* packet, int length, size_t capacity, bool rtcpSocket);
  int sendEvent(bool end);
  void finishDtmf();

  UdpSocketRef rtp_;
  UdpSocketRef rtcpSocket_;
  uint32_t ip_ = 0;
  std::string address_;
  int port_ = 0;
  int channel_ = -1;
  ChannelCodecSet* jitter_ = nullptr;
  RtcpSession* rtcp_ = nullptr;

  uint8_t header_[kHeaderBytes] = {0x80, 0};
  uint8_t voice_[kHeaderBytes + kMaxPayload + kSrtpMaxTrailer] = {};
  uint8_t event_[kEventBytes + kSrtpMaxTrailer] = {};
  uint8_t hookOut_[kSonraHookBufferBytes] = {};
  uint16_t sequence_ = 0;
  uint32_t timestamp_ = 0;
  uint32_t ssrc_ = 0;
  bool marker_ = false;

  int eventPayloadType_ = 0;
  bool dtmfActive_ = false;
  int dtmfDigit_ = 0;
  int dtmfRemainingMs_ = 0;
  uint32_t dtmfDuration_ = 0;      // in units of the 8000-Hz event clock
  uint32_t dtmfStreamUnits_ = 0;   // the same time in the stream's own clock
  bool dtmfFirst_ = false;
  int dtmfEndsLeft_ = 0;           // end packets still to send
  int queuedDigit_[kMaxQueuedEvents] = {};
  int queuedLength_[kMaxQueuedEvents] = {};
  int queueHead_ = 0;
  int queueCount_ = 0;

  SrtpSlot srtp_;
  SonraVE_Encryption* hook_ = nullptr;
  bool hookEnabled_ = false;

  uint32_t packets_ = 0;
  uint32_t dropped_ = 0;
  Tap tap_ = nullptr;
  void* tapUser_ = nullptr;
};

// Turns a channel's 10-ms frames into payloads for its sender.
class RTPtransmitter {
 public:
  RTPtransmitter();
  ~RTPtransmitter();
  RTPtransmitter(const RTPtransmitter&) = delete;
  RTPtransmitter& operator=(const RTPtransmitter&) = delete;

  void initialise(rtpsender* sender, ChannelCodecSet* codecs);
  // Sets the send codec (lower- or upper-case name); returns the payload type.
  int setCoder(const char* name, int payloadType, int rate, int packetSize, bool reinitialise);
  // One 10-ms frame of 80 (8000 Hz) or 160 (16000 Hz) samples; payload bytes of the last
  // encoding, 0 when nothing was sent, -1 on an encoder error.
  int send(int channel, const int16_t* frame, int length, int delayMs, int workingRate, int echoStatus);
  // In-band tone of a digit for durationMs after 40 ms of silence; -1 for a digit outside 0..15.
  int inbandDtmf(int digit, int durationMs);
  bool inbandDtmfActive() const { return dtmfSilence_ > 0 || dtmfTone_ > 0; }
  void setCNPayloadType(int payloadType) { cnPayloadType_ = payloadType; }
  int cnPayloadType() const { return cnPayloadType_; }
  void setVAD(bool on) { vadEnabled_ = on; }
  bool vad() const { return vadEnabled_; }
  void setMute(bool on) { mute_ = on; }
  bool muted() const { return mute_; }
  int codecRate() const { return rate_; }
  const char* codecName() const { return name_; }

 private:
  int sendPayload(int length, uint32_t increment, int samplesPerMs);

  rtpsender* sender_ = nullptr;
  ChannelCodecSet* codecs_ = nullptr;
  char name_[32] = "pcmu";
  int kind_ = 0;
  int payloadType_ = 0;
  int rate_ = 8000;
  int packetSize_ = 160;
  bool reinit_ = true;
  int16_t store_[960] = {};
  int stored_ = 0;
  int quillSamples_ = 0;

  bool vadEnabled_ = false;
  SonraVadInst* vad_ = nullptr;
  int lastDecision_ = 1;
  CngEncoderInst* cng_ = nullptr;
  int cnPayloadType_ = 107;
  bool speechBefore_ = true;
  bool silence_ = false;
  bool mute_ = false;

  int dtmfDigit_ = 0;
  int dtmfSilence_ = 0;
  int dtmfTone_ = 0;
  DtmfToneGenerator tone_;

  uint8_t payload_[rtpsender::kMaxPayload] = {};
};
