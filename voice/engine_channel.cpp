// Voice channels of the engine: creation, receive side, listening, playout and sending, and the receive entries.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <sys/utsname.h>

#include "platform/net.h"
#include "platform/wave.h"
#include "voice/codec_set.h"
#include "voice/engine.h"
#include "voice/trace.h"

namespace {
TraceSink* T() { return EngineTrace(); }

uint32_t Be32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]; }
}  // namespace

// ---------------------------------------------------------------------------
// Create and delete
// ---------------------------------------------------------------------------

int SonraVE::SonraVE_CreateChannel() {
  ApiLine("SonraVE_CreateChannel", "");
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  if (!initialised_) {
    T()->Print(kTraceError, "Voice Engine has not been initialized yet", -1, -1);
    return Fail(VE_NOT_INITIALIZED);
  }
  int channel = -1;
  for (int c = 0; c < kSonraMaxChannels && channel < 0; ++c)
    if (!created_[c]) channel = c;
  if (channel < 0) {
    T()->Print(kTraceError, "error code = %d", VE_CHANNEL_NOT_VALID, -1);
    return Fail(VE_CHANNEL_NOT_VALID);
  }
  auto a = std::make_unique<ChannelCodecSet>(channel);
  auto b = std::make_unique<ChannelCodecSet>(channel);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  setA_[channel] = std::move(a);
  setB_[channel] = std::move(b);
  created_[channel] = true;
  statsInterval_[channel] = TidepoolStatsInterval{};
  initRecSide(channel);
  mixer_.SetJitter(channel, setA_[channel].get());
  tx_.SetJitterB(channel, setB_[channel].get());
  tx_.Transmitter(channel).setMute(false);
  mixer_.SetHold(channel, false);
  tx_.SetHold(channel, false);
  tx_.SetConference(channel, false);
  return channel;
}

int SonraVE::SonraVE_DeleteChannel(int channel) {
  ApiLine("SonraVE_DeleteChannel", "%d", channel);
  if (channel < 0 || channel >= kSonraMaxChannels) {
    T()->Print(kTraceError, "error code = %d", VE_CHANNEL_NOT_VALID, -1);
    return Fail(VE_CHANNEL_NOT_VALID);
  }
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  SonraVE_StopSend(channel);
  SonraVE_StopListen(channel);
  SonraVE_StopPlayout(channel);
  return DeleteChannelLocked(channel);
}

int SonraVE::DeleteChannelLocked(int channel) {
  // The receive threads hold the jitter buffers: they are stopped and waited for before the
  // buffers go (outside the engine lock, which their entry takes).
  CloseReceivers(channel);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  created_[channel] = false;
  if (!AnyChannelCreated()) plat::SetWaveOutContinues(false);  // no call left: the next sound is a new one
  mixer_.SetJitter(channel, nullptr);
  mixer_.StopPlayingFile(channel);
  tx_.SetJitterB(channel, nullptr);
  tx_.SetConference(channel, false);
  tx_.StopPlayingFileAsMic(channel);
  setA_[channel].reset();
  setB_[channel].reset();
  playFile_[channel].reset();
  micFile_[channel].reset();
  ResetChannelSettings(channel);
  return channel;
}

bool SonraVE::AnyChannelCreated() const {
  for (const auto& c : created_)
    if (c) return true;
  return false;
}

void SonraVE::ResetChannelSettings(int channel) {
  senders_[channel].close();
  rtpSocket_[channel].reset();
  rtcpSocket_[channel].reset();
  recPort_[channel] = 0;
  sendPort_[channel] = 0;
  srcPort_[channel] = 0;
  sendIP_[channel][0] = '\0';
  sendCodec_[channel] = Codecinst{0, "pcmu", 8000, 160, 1, 64000};
  for (int k = 0; k < codecCount_; ++k) recPt_[k][channel] = static_cast<int16_t>(codecs_[k].pltype);
  dtmfPt_[channel] = recPt_[KindIndex(kCodecTelephoneEvent)][channel];
  tx_.Transmitter(channel).setCNPayloadType(recPt_[KindIndex(kCodecCn)][channel]);
  tos_[channel] = 0;
  qosType_[channel] = -1;
  streamRate_[channel] = 8000;
  rtcp_[channel].Disable();
}

void SonraVE::CloseReceivers(int channel) {
  rtpRecv_[channel].Close();
  rtcpRecv_[channel].Close();
  extraRecv_[channel].Close();
}

int SonraVE::initRecSide(int channel) {
  if (channel < 0 || channel >= kSonraMaxChannels || !created_[channel]) return Fail(VE_CHANNEL_NOT_VALID);
  streamRate_[channel] = 8000;
  int sum = 0;
  for (ChannelCodecSet* set : {setA_[channel].get(), setB_[channel].get()}) {
    if (!set) {
      sum -= 1;
      continue;
    }
    sum += set->InitJitterBuffer(8000);
    struct Reg {
      int kind;
      int frame;
    };
    static const Reg kOrder[] = {{kCodecOstrel711U, 160}, {kCodecOstrel711A, 160}, {kCodecOstrelWb, 320},
                                 {kCodecIlbc, 240},       {kCodecQuill, 480}};
    for (const Reg& r : kOrder) {
      // An absent codec is not registered at all: its packets are refused by the jitter buffer.
      if (KindIndex(r.kind) < 0 || !set->Has(r.kind)) continue;
      sum += set->RegisterCodec(r.kind, true, r.frame, recPt_[KindIndex(r.kind)][channel]);
    }
    sum += set->RegisterCn(true, recPt_[KindIndex(kCodecCn)][channel]);
    sum += set->RegisterTelephoneEvents(recPt_[KindIndex(kCodecTelephoneEvent)][channel]);
  }
  return sum;
}

// ---------------------------------------------------------------------------
// Receive side
// ---------------------------------------------------------------------------

bool SonraVE::EnsureSockets(int channel, int bindPort) {
  // A socket already bound to another port is replaced, unless the channel sends from it.
  for (UdpSocketRef* ref : {&rtpSocket_[channel], &rtcpSocket_[channel]}) {
    const int want = ref == &rtpSocket_[channel] ? bindPort : (bindPort ? bindPort + 1 : 0);
    if (*ref && want != 0 && !sending_[channel]) {
      uint32_t ip = 0;
      uint16_t port = 0;
      if (plat::LocalEndpoint((*ref)->fd(), &ip, &port) && port != 0 && port != want) ref->reset();
    }
    if (!*ref) *ref = UdpRecvSocket::CreateSocket(qosType_[channel] >= 0, qosType_[channel]);
    if (!*ref) return false;
  }
  return true;
}

int SonraVE::SonraVE_SetRecPort(int channel, int port, const char* multicastAddress) {
  ApiLine("SonraVE_SetRecPort", "%d, %d", channel, port);
  if (!CheckChannel(channel)) return -1;
  if (port < 1024 || port > 65535) return Fail(VE_PORT_RANGE);
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  if (listening_[channel]) return Fail(VE_LISTENING);
  if (!EnsureSockets(channel, port)) {
    T()->Print(kTraceError, "error code = %d", VE_RECEIVE_SOCKET, -1);
    return Fail(VE_RECEIVE_SOCKET);
  }
  if (rtpRecv_[channel].Init(this, rtpSocket_[channel], static_cast<uint16_t>(port), setA_[channel].get(),
                             setB_[channel].get(), &snd_, &SonraVE::RecProc, channel, multicastAddress) != 0 ||
      rtcpRecv_[channel].Init(this, rtcpSocket_[channel], static_cast<uint16_t>(port + 1), &rtcp_[channel], nullptr,
                              nullptr, &SonraVE::RTCPRecProc, channel) != 0) {
    T()->Print(kTraceError, "error code = %d", VE_RECEIVE_SOCKET, -1);
    return Fail(VE_RECEIVE_SOCKET);
  }
  recPort_[channel] = port;
  return 0;
}

int SonraVE::SonraVE_GetRecPort(int channel) {
  ApiLine("SonraVE_GetRecPort", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  return recPort_[channel];
}

int SonraVE::SonraVE_StartListen(int channel) {
  ApiLine("SonraVE_StartListen", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  if (recPort_[channel] == 0) return Fail(VE_PORT_NOT_SET);
  if (recPort_[channel] < 0 || recPort_[channel] > 65535) return Fail(VE_PORT_RANGE);
  if (listening_[channel]) {
    T()->Print(kTraceWarning, "SonraVE_StartListen() (warning code = %d)", VE_LISTENING, -1);
    return Fail(VE_LISTENING);
  }
  if (rtpRecv_[channel].StartThread(true) != 0) {
    T()->Print(kTraceError, "error code = %d", VE_RTP_RECEIVE_THREAD, -1);
    return Fail(VE_RTP_RECEIVE_THREAD);
  }
  if (rtcpRecv_[channel].StartThread(false) != 0) {
    T()->Print(kTraceError, "error code = %d", VE_RTCP_SOCKET, -1);
    return Fail(VE_RTCP_SOCKET);
  }
  listening_[channel] = true;
  return 0;
}

int SonraVE::SonraVE_StopListen(int channel) {
  ApiLine("SonraVE_StopListen", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  if (listening_[channel]) {
    listening_[channel] = false;
    rtpRecv_[channel].Close();
    rtcpRecv_[channel].Close();
    // The sockets are shared with the sender: they close here only when it no longer uses them.
    if (!sending_[channel]) {
      rtpSocket_[channel].reset();
      rtcpSocket_[channel].reset();
    }
  }
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  for (int k = 0; k < codecCount_; ++k) recPt_[k][channel] = static_cast<int16_t>(codecs_[k].pltype);
  initRecSide(channel);
  return 0;
}

int SonraVE::SonraVE_SetRecPayloadType(short channel, const Codecinst& codec) {
  ApiLine("SonraVE_SetRecPayloadType", "%d, ?", channel);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  if (listening_[channel]) {
    T()->Print(kTraceWarning, "SonraVE_SetRecPayloadType() (warning code = %d)", VE_LISTENING, -1);
    return Fail(VE_LISTENING);
  }
  if (codec.pltype < 96 || codec.pltype > 127) {
    T()->Print(kTraceWarning, "\tPayload Type < 96 (warning code = %d)", VE_PAYLOAD_TYPE, -1);
    return Fail(VE_PAYLOAD_TYPE);
  }
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  int target = -1;
  for (int k = 0; k < codecCount_; ++k)
    if (strcasecmp(codecs_[k].plname, codec.plname) == 0) target = k;
  if (target < 0) {
    T()->Print(kTraceWarning, "\tCodec info is not correct (warning code = %d)", VE_CODEC_NAME, -1);
    return Fail(VE_CODEC_NAME);
  }
  for (int k = 0; k < codecCount_; ++k) {
    if (k == target || recPt_[k][channel] != codec.pltype) continue;
    // The codec in the way moves to the next dynamic type, counting down from 120; a type another
    // codec of this channel holds is passed over, and below 96 the count starts again at 127.
    int free = -1;
    int pt = nextDynamicPt_;
    for (int tries = 0; tries < 32 && free < 0; ++tries, pt = pt <= 96 ? 127 : pt - 1) {
      if (pt < 96 || pt > 127 || pt == codec.pltype) continue;
      bool used = false;
      for (int o = 0; o < codecCount_; ++o) used = used || (o != k && recPt_[o][channel] == pt);
      if (!used) free = pt;
    }
    if (free < 0) return Fail(VE_RECEIVE_SIDE);
    recPt_[k][channel] = static_cast<int16_t>(free);
    nextDynamicPt_ = free <= 96 ? 127 : free - 1;
  }
  recPt_[target][channel] = static_cast<int16_t>(codec.pltype);
  if (initRecSide(channel) < 0) {
    T()->Print(kTraceWarning, "\tinitRecSide failed (warning code = %d)", VE_RECEIVE_SIDE, -1);
    return Fail(VE_RECEIVE_SIDE);
  }
  return 0;
}

int SonraVE::SonraVE_GetFromPort(int channel) {
  ApiLine("SonraVE_GetFromPort", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  return rtpRecv_[channel].GetFromPort();
}

int SonraVE::SonraVE_SetExpectedFromPort(int channel, unsigned short port) {
  if (!CheckChannel(channel)) return -1;
  rtpRecv_[channel].SetExpectedFromPort(port);
  return 0;
}

int SonraVE::SonraVE_GetExpectedFromPort(int channel) {
  if (!CheckChannel(channel)) return 0xFFFF;
  return rtpRecv_[channel].GetExpectedFromPort();
}

int SonraVE::ReceiveRate(int channel, const uint8_t* packet, int length) {
  // Arrival times count in the clock of the stream's voice codec. Comfort noise and telephone events
  // keep the rate of the voice they interrupt: one packet counted at another rate would move the
  // arrival clock by seconds and ruin the interarrival jitter for good.
  int& rate = streamRate_[channel];
  if (rate == 0) rate = 8000;
  if (length < 2) return rate;
  const int pt = packet[1] & 0x7F;
  if (pt == 13) return rate;
  for (int k = 0; k < codecCount_; ++k) {
    if (recPt_[k][channel] != pt) continue;
    if (k != KindIndex(kCodecCn) && k != KindIndex(kCodecTelephoneEvent)) rate = codecs_[k].plfreq;
    return rate;
  }
  return rate;
}

void SonraVE::RecProc(void* engine, void* jitterA, void* jitterB, void* soundCard, UdpRecvSocket*,
                      const uint8_t* data, int length, int channel) {
  auto* ve = static_cast<SonraVE*>(engine);
  T()->Print(kTraceApiCall, "VEobj.RecProc(?,?,?,%i);", length, -1);
  // Only whole RTP version-2 headers reach the jitter buffers.
  if (!ve || !data || length < 12 || (data[0] & 0xC0) != 0x80 || channel < 0 || channel >= kSonraMaxChannels) return;
  ve->rtcp_[channel].SetPeerSsrc(Be32(data + 8));
  auto* snd = static_cast<SndCardStream*>(soundCard);
  std::lock_guard<plat::RecursiveMutex> lock(snd->Lock());
  const int rate = ve->ReceiveRate(channel, data, length);
  T()->Print(kTraceStream, "Put %i bytes packet into Tidepool (sampling rate: %i)", length, rate);
  auto* a = static_cast<ChannelCodecSet*>(jitterA);
  auto* b = static_cast<ChannelCodecSet*>(jitterB);
  if (a && a->PutPacket(data, length, rate) == -1)
    T()->Print(kTraceError, "TIDEPOOL_SONRA_10MS16B_RecIn() error code = %d", a->JitterLastError(), -1);
  if (b && b->PutPacket(data, length, rate) == -1)
    T()->Print(kTraceError, "TIDEPOOL_SONRA_10MS16B_RecIn() error code = %d", b->JitterLastError(), -1);
}

void SonraVE::RTCPRecProc(void*, void* rtcp, void*, void*, UdpRecvSocket*, const uint8_t* data, int length, int) {
  T()->Print(kTraceApiCall, "VEobj.RTCPRecProc(?,?,?,%i);", length, -1);
  T()->Print(kTraceStream, "Received RTCP packet", -1, -1);
  if (rtcp && data && length > 0) static_cast<RtcpSession*>(rtcp)->Parse(data, static_cast<size_t>(length));
}

// ---------------------------------------------------------------------------
// Send side settings
// ---------------------------------------------------------------------------

int SonraVE::SonraVE_SetSendPort(int channel, int port) {
  ApiLine("SonraVE_SetSendPort", "%d, %d", channel, port);
  if (!CheckChannel(channel)) return -1;
  if (port < 1024 || port > 65535) return Fail(VE_PORT_RANGE);
  if (sending_[channel]) {
    T()->Print(kTraceWarning, "SonraVE_SetSendPort() (warning code = %d)", VE_SENDING, -1);
    return Fail(VE_SENDING);
  }
  sendPort_[channel] = port;
  return 0;
}

int SonraVE::SonraVE_SetSrcPort(int channel, int port) {
  ApiLine("SonraVE_SetSrcPort", "%d, %d", channel, port);
  if (!CheckChannel(channel)) return -1;
  if (port < 1024 || port > 65535) return Fail(VE_PORT_RANGE);
  if (sending_[channel]) return Fail(VE_SENDING);
  srcPort_[channel] = port;
  return 0;
}

int SonraVE::SonraVE_GetSendPort(int channel) {
  ApiLine("SonraVE_GetSendPort", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  return sendPort_[channel];
}

int SonraVE::SonraVE_SetSendIP(int channel, const char* address) {
  ApiLine("SonraVE_SetSendIP", "%d, ?", channel);
  if (!CheckChannel(channel)) return -1;
  if (sending_[channel]) {
    T()->Print(kTraceWarning, "SonraVE_SetSendIP() (warning code = %d)", VE_SENDING, -1);
    return Fail(VE_SENDING);
  }
  uint32_t ip = 0;
  if (!address || std::strlen(address) > 15 || !plat::ParseIPv4(address, &ip)) return Fail(VE_SEND_ADDRESS);
  std::snprintf(sendIP_[channel], sizeof sendIP_[channel], "%s", address);
  return 0;
}

int SonraVE::SonraVE_GetSendIP(int channel, char* address, const char* text) {
  // The third argument is only shown in the call line.
  ApiLine("SonraVE_GetSendIP", ("%d, ?, " + TraceLiteral(text, 64)).c_str(), channel, -1, "%d, ?");
  if (!CheckChannel(channel)) return -1;
  if (address) std::memcpy(address, sendIP_[channel], sizeof sendIP_[channel]);
  return 0;
}

int SonraVE::SonraVE_SetSendTOS(int channel, int value) {
  ApiLine("SonraVE_SetSendTOS", "%d, %d", channel, value);
  if (!CheckChannel(channel)) return -1;
  if (sending_[channel]) return Fail(VE_SENDING);
  tos_[channel] = value;
  return 0;
}

int SonraVE::SonraVE_GetSendTOS(int channel) {
  ApiLine("SonraVE_GetSendTOS", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  return tos_[channel];
}

int SonraVE::SonraVE_SetSendGQOS(int channel, int enable, int serviceType) {
  ApiLine3("SonraVE_SetSendGQOS", channel, enable, serviceType);
  if (!CheckChannel(channel)) return -1;
  if (sending_[channel]) return Fail(VE_SENDING);
  qosType_[channel] = enable ? serviceType : -1;
  return 0;
}

int SonraVE::SonraVE_GetSendGQOS(int channel) {
  ApiLine("SonraVE_GetSendGQOS", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  return qosType_[channel];
}

int SonraVE::SonraVE_SetSendCNPayloadType(int channel, int payloadType) {
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  tx_.Transmitter(channel).setCNPayloadType(payloadType);
  return 0;
}

int SonraVE::SonraVE_SetDTMFPayloadType(int channel, int payloadType) {
  ApiLine("SonraVE_SetDTMFPayloadType", "%d, %d", channel, payloadType);
  if (!CheckChannel(channel)) return -1;
  if (payloadType < 96 || payloadType > 127) return Fail(VE_PAYLOAD_TYPE);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  // Kept with the channel, so it survives the sender's preparation when sending starts.
  dtmfPt_[channel] = payloadType;
  senders_[channel].setEventPayloadType(payloadType);
  return 0;
}

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

int SonraVE::SonraVE_StartSend(int channel) {
  ApiLine("SonraVE_StartSend", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() before enter critical section", -1, -1);
  std::unique_lock<plat::RecursiveMutex> lock(snd_.Lock());
  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() after enter critical section", -1, -1);
  if (sending_[channel]) {
    T()->Print(kTraceWarning, "SonraVE_StartSend() (warning code = %d)", VE_SENDING, -1);
    return Fail(VE_SENDING);
  }
  if (sendIP_[channel][0] == '\0') return Fail(VE_SEND_ADDRESS);
  if (sendPort_[channel] == 0) return Fail(VE_PORT_NOT_SET);
  if (sendPort_[channel] > 65535) return Fail(VE_PORT_RANGE);

  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() before TX.sendChannel section", -1, -1);
  tx_.StartSending(channel);
  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() after TX.sendChannel section", -1, -1);

  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() before soundCards.initRecord section", -1, -1);
  bool anySending = false;
  for (int c = 0; c < kSonraMaxChannels; ++c) anySending = anySending || sending_[c];
  if (!anySending && !fileRecording_ && snd_.initRecord() != 0) {
    T()->Print(kTraceError, "error code = %d", VE_CAPTURE_OPEN, -1);
    return Fail(VE_CAPTURE_OPEN);
  }
  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() after soundCards.initRecord section", -1, -1);

  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() before sendsock[channel].init section", -1, -1);
  if (!EnsureSockets(channel, 0)) return Fail(VE_SEND_SOCKET);
  if (srcPort_[channel] != 0 && recPort_[channel] == 0) {
    uint32_t ip = 0;
    uint16_t port = 0;
    if (!(plat::LocalEndpoint(rtpSocket_[channel]->fd(), &ip, &port) && port != 0)) {
      if (!plat::Bind(rtpSocket_[channel]->fd(), 0, static_cast<uint16_t>(srcPort_[channel]))) {
        T()->Print(kTraceWarning, "SonraVE_StartSend() - Cannot Intialize Socket - (error code = %d)", VE_SEND_SOCKET_BIND, -1);
        Warn(VE_SEND_SOCKET_BIND);
      } else if (!plat::Bind(rtcpSocket_[channel]->fd(), 0, static_cast<uint16_t>(srcPort_[channel] + 1))) {
        T()->Print(kTraceWarning, "SonraVE_StartSend() - Cannot Intialize Extra Socket - (error code = %d)",
                   VE_SEND_SOCKET_BIND, -1);
        Warn(VE_SEND_SOCKET_BIND);
      }
    }
  }
  const int init = senders_[channel].init(rtpSocket_[channel], rtcpSocket_[channel], sendIP_[channel],
                                          sendPort_[channel], sendCodec_[channel].pltype, false, tos_[channel],
                                          channel, setA_[channel].get(), &rtcp_[channel]);
  if (init == -2) {
    T()->Print(kTraceWarning, "SonraVE_StartSend() - Cannot Intialize Socket - (error code = %d)", VE_SEND_SOCKET_BIND, -1);
    Warn(VE_SEND_SOCKET_BIND);
  } else if (init != 0) {
    // Also a failed multicast set-up: the sender's sockets are gone then, nothing could be sent.
    T()->Print(kTraceError, "SonraVE_StartSend() - Cannot Intialize Socket - (error code = %d)", VE_SEND_SOCKET, -1);
    return Fail(VE_SEND_SOCKET);
  }
  senders_[channel].setEventPayloadType(dtmfPt_[channel]);
  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() after sendsock[channel].init section", -1, -1);

  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() before TX.trans[channel].init section", -1, -1);
  RTPtransmitter& t = tx_.Transmitter(channel);
  t.initialise(&senders_[channel], setA_[channel].get());
  t.setVAD(vadStatus_ != 0);
  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() after TX.trans[channel].init section", -1, -1);

  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() before TX.trans[channel].setCoder section", -1, -1);
  t.setCoder(sendCodec_[channel].plname, sendCodec_[channel].pltype, sendCodec_[channel].plfreq,
             sendCodec_[channel].pacsize, true);
  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() after TX.trans[channel].setCoder section", -1, -1);

  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() before soundCards.start_rec() section", -1, -1);
  if (!snd_.Recording()) {
    const int r = snd_.start_rec();
    if (r != 0) {
      const int code = r == -1 ? VE_CAPTURE_START_1 : r == -2 ? VE_CAPTURE_START_2 : VE_CAPTURE_START_3;
      T()->Print(kTraceError, "SonraVE_StartSend() (error code = %d)", code, -1);
      return Fail(code);
    }
  }
  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() after soundCards.start_rec() section", -1, -1);
  sending_[channel] = true;
  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() before LEAVE_DSP_MUTEX", -1, -1);
  lock.unlock();
  T()->Print(kTraceStream, "\t\tSonraVE_StartSend() after LEAVE_DSP_MUTEX", -1, -1);
  return 0;
}

int SonraVE::SonraVE_StopSend(int channel) {
  ApiLine("SonraVE_StopSend", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  tx_.StopSending(channel);
  if (sending_[channel]) {
    senders_[channel].sendFinalReport();
    sending_[channel] = false;
    senders_[channel].close();
  }
  SettleFileRecording();
  bool anySending = false;
  for (int c = 0; c < kSonraMaxChannels; ++c) anySending = anySending || sending_[c];
  if (!anySending && !fileRecording_ && snd_.RecordInitialised() && snd_.stop_recording() != 0)
    return Fail(VE_CAPTURE_CLOSE);
  return 0;
}

int SonraVE::SonraVE_SendDTMF(int channel, int event, int mode) {
  ApiLine3("SonraVE_SendDTMF", channel, event, mode);
  if (!CheckChannel(channel)) return -1;
  if (event < 0 || event > 15) return Fail(VE_DTMF_EVENT);
  if (!sending_[channel]) {
    T()->Print(kTraceWarning, "SonraVE_SendDTMF() (warning code = %d)", VE_DTMF_NOT_SENDING, -1);
    return Fail(VE_DTMF_NOT_SENDING);
  }
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  if (mode != 0) {
    const int queued = senders_[channel].queueDtmf(event, 200);
    if (queued == -2) return Fail(VE_DTMF_QUEUE_FULL);
    if (queued != 0) return Fail(VE_DTMF_EVENT);
    if (dtmfFeedback_) mixer_.StartDtmfTone(event, 200);
  } else {
    tx_.Transmitter(channel).inbandDtmf(event, 200);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Playout
// ---------------------------------------------------------------------------

int SonraVE::SonraVE_StartPlayout(int channel) {
  ApiLine("SonraVE_StartPlayout", "%d", channel);
  if (!CheckChannel(channel, false)) return -1;
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  std::lock_guard<plat::RecursiveMutex> playout(playoutLock_);
  if (mixer_.Playing(channel)) return Fail(VE_PLAYOUT_RUNNING);
  if (mixer_.PlayingCount() >= kSonraMaxPlaying) return Fail(VE_PLAYOUT_LIMIT);
  if (!created_[channel]) return Fail(VE_PLAYOUT_NOT_CREATED);
  if (!playoutRunning_) {
    {
      std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
      if (snd_.initPlayback() != 0) {
        T()->Print(kTraceError, "\terror code = %d", VE_PLAYOUT_OPEN, -1);
        return Fail(VE_PLAYOUT_OPEN);
      }
      playingCount_ = mixer_.StartPlaying(channel);
      int major = 0, minor = 0;
      struct utsname system {};
      if (uname(&system) == 0) std::sscanf(system.release, "%d.%d", &major, &minor);
      T()->Print(kTraceInfo, " Operating system MajorVersion %d MinorVersion %d", major, minor);
      mixer_.Reset();
    }
    // The priming hand-shake runs on the sound-card thread, which needs the engine lock free.
    const int r = snd_.start_play();
    if (r != 0) {
      std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
      playingCount_ = mixer_.StopPlaying(channel);
      snd_.stop_play();
      const int code = (r <= -1 && r >= -5) ? VE_PLAYOUT_START_1 + (-r - 1) : VE_PLAYOUT_START_OTHER;
      T()->Print(kTraceError, "\terror code = %d", code, -1);
      return Fail(code);
    }
    playoutRunning_ = true;
  } else {
    std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
    playingCount_ = mixer_.StartPlaying(channel);
  }
  playing_[channel] = true;
  return 0;
}

int SonraVE::SonraVE_StopPlayout(int channel) {
  ApiLine("SonraVE_StopPlayout", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> api(apiLock_);
  std::lock_guard<plat::RecursiveMutex> playout(playoutLock_);
  if (playoutRunning_) {
    std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
    playingCount_ = mixer_.StopPlaying(channel);
    if (playingCount_ == 0) {
      playoutRunning_ = false;
      snd_.stop_play();
      // A call that outlives its sound (held) keeps its playout file going when the sound comes back.
      plat::SetWaveOutContinues(AnyChannelCreated());
    }
  }
  playing_[channel] = false;
  return 0;
}

int SonraVE::SonraVE_GetPlayoutDelay(int channel) {
  ApiLine("SonraVE_GetPlayoutDelay", "%d", channel);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  // Less the mixer's count of the channel's recorded samples, which no engine operation starts: 0.
  ChannelCodecSet* a = setA_[channel].get();
  return a ? a->BufferedMs() : 0;
}

// ---------------------------------------------------------------------------
// Channel modes
// ---------------------------------------------------------------------------

int SonraVE::SonraVE_MuteMic(int channel, int on) {
  ApiLine("SonraVE_MuteMic", "%d, %d", channel, on);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  tx_.Transmitter(channel).setMute(on != 0);
  return 0;
}

int SonraVE::SonraVE_PutOnHold(int channel, int on) {
  ApiLine("SonraVE_PutOnHold", "%d, %d", channel, on);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  mixer_.SetHold(channel, on != 0);
  tx_.SetHold(channel, on != 0);
  return 0;
}

int SonraVE::SonraVE_AddToConference(int channel, int on) {
  ApiLine("SonraVE_AddToConference", "%d, %d", channel, on);
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  tx_.SetConference(channel, on != 0);
  return 0;
}

// ---------------------------------------------------------------------------
// RTCP and SRTP
// ---------------------------------------------------------------------------

int SonraVE::SonraVE_SetRTCPStatus(int channel, int on) {
  ApiLine("SonraVE_SetRTCPStatus", "%d, %d", channel, on);
  if (!CheckChannel(channel)) return -1;
  if (on)
    rtcp_[channel].Enable();
  else
    rtcp_[channel].Disable();
  return 0;
}

int SonraVE::SonraVE_GetRTCPStatus(int channel, int& on) {
  ApiLine("SonraVE_GetRTCPStatus", "%d, ?", channel);
  if (!CheckChannel(channel)) return -1;
  on = rtcp_[channel].IsEnabled() ? 1 : 0;
  return 0;
}

int SonraVE::SonraVE_GetRemoteRTCPName(int channel, char* name, int size) {
  ApiLine("SonraVE_GetRemoteRTCPName", "%d, ?", channel);
  if (!CheckChannel(channel)) return -1;
  if (!name || size < 1) return Fail(VE_INVALID_VALUE);
  rtcp_[channel].GetPeerCname(name, static_cast<size_t>(size));
  return 0;
}

int SonraVE::SonraVE_RTCPStat(int channel, unsigned short* fractionLost, unsigned int* cumulativeLost,
                              unsigned int* extendedMax, unsigned int* jitter, int* peakPackets) {
  ApiLine("SonraVE_RTCPStat", "%d, ?", channel);
  if (!CheckChannel(channel)) return -1;
  // Read from what the channel receives, whether or not reports are sent; the receive entry
  // changes these figures under the engine lock.
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  uint16_t fraction = 0;
  uint32_t lost = 0, highest = 0, jit = 0;
  int peak = 0;
  if (ChannelCodecSet* a = setA_[channel].get()) {
    a->RtcpStats(&statsInterval_[channel], &fraction, &lost, &highest, &jit);
    peak = a->PeakPackets();
  }
  if (fractionLost) *fractionLost = fraction;
  if (cumulativeLost) *cumulativeLost = lost;
  if (extendedMax) *extendedMax = highest;
  if (jitter) *jitter = jit;
  if (peakPackets) *peakPackets = peak;
  return 0;
}

namespace {
SrtpPolicy MakePolicy(int cipherType, int cipherKeyLength, int authType, int authKeyLength, int authTagLength,
                      int securityServices, const unsigned char* key, int direction) {
  SrtpPolicy p;
  p.cipherType = cipherType;
  p.cipherKeyLength = cipherKeyLength;
  p.authType = authType;
  p.authKeyLength = authKeyLength;
  p.authTagLength = authTagLength;
  p.securityServices = securityServices;
  p.key = key;
  p.direction = direction;
  return p;
}
}  // namespace

int SonraVE::SonraVE_EnableSRTPSend(int channel, int cipherType, int cipherKeyLength, int authType, int authKeyLength,
                                    int authTagLength, int securityServices, const unsigned char* key) {
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  if (senders_[channel].enableSRTP(MakePolicy(cipherType, cipherKeyLength, authType, authKeyLength, authTagLength,
                                              securityServices, key, kSrtpAnyOutbound)) != 0)
    return Fail(VE_ENCRYPTION);
  return 0;
}

int SonraVE::SonraVE_DisableSRTPSend(int channel) {
  if (!CheckChannel(channel)) return -1;
  std::lock_guard<plat::RecursiveMutex> lock(snd_.Lock());
  senders_[channel].disableSRTP();
  return 0;
}

int SonraVE::SonraVE_EnableSRTPReceive(int channel, int cipherType, int cipherKeyLength, int authType,
                                       int authKeyLength, int authTagLength, int securityServices,
                                       const unsigned char* key) {
  if (!CheckChannel(channel)) return -1;
  if (rtpRecv_[channel].EnableSRTP(MakePolicy(cipherType, cipherKeyLength, authType, authKeyLength, authTagLength,
                                               securityServices, key, kSrtpAnyInbound)) != 0)
    return Fail(VE_ENCRYPTION);
  return 0;
}

int SonraVE::SonraVE_DisableSRTPReceive(int channel) {
  if (!CheckChannel(channel)) return -1;
  rtpRecv_[channel].DisableSRTP();
  return 0;
}
