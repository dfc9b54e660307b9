// RTP transmitter and sender of a voice channel: packetisation, telephone events, SRTP and RTCP reports.
#include "voice/rtp_sender.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "platform/net.h"
#include "platform/random.h"
#include "voice/codec_set.h"
#include "voice/components.h"
#include "voice/dsp/cng.h"
#include "voice/engine_defs.h"
#include "voice/trace.h"

namespace {

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace

// ---------------------------------------------------------------------------
// rtpsender
// ---------------------------------------------------------------------------

int rtpsender::init(UdpSocketRef rtpSocket, UdpSocketRef rtcpSocket, const char* address, int port,
                    int payloadType, bool marker, int tos, int channel, ChannelCodecSet* jitter, RtcpSession* rtcp) {
  channel_ = channel;
  jitter_ = jitter;
  rtcp_ = rtcp;
  header_[0] = 0x80;
  marker_ = marker;
  setPayloadType(payloadType, marker);
  eventPayloadType_ = 0;
  dtmfActive_ = false;
  queueCount_ = 0;
  dtmfFirst_ = false;
  dtmfDuration_ = 0;
  dtmfStreamUnits_ = 0;
  dtmfEndsLeft_ = 0;

  const std::string text = address ? address : "";
  if (text != address_ || port != port_) {
    timestamp_ = static_cast<uint32_t>(plat::rand15());
    const int r1 = plat::rand15();
    const int r2 = plat::rand15();
    sequence_ = static_cast<uint16_t>(plat::rand15());
    const uint8_t b[4] = {static_cast<uint8_t>(r1 >> 8), static_cast<uint8_t>(r1 & 0xFF),
                          static_cast<uint8_t>(r2 >> 8), static_cast<uint8_t>(r2 & 0xFF)};
    ssrc_ = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  }
  address_ = text;
  port_ = port;
  rtp_ = std::move(rtpSocket);
  rtcpSocket_ = std::move(rtcpSocket);
  if (!rtp_ || rtp_->fd() < 0 || !rtcpSocket_ || rtcpSocket_->fd() < 0) {
    close();
    return -1;
  }
  if (!plat::ParseIPv4(address_, &ip_) || port < 1 || port > 65535) {
    close();
    return -1;
  }
  if (tos != 0) {
    const int value = tos;
    if (setsockopt(rtp_->fd(), IPPROTO_IP, IP_TOS, &value, sizeof value) != 0) {
      EngineTrace()->Print(kTraceError, "Set TOS error %i", errno, -1);
      return -2;
    }
  }
  const uint32_t first = ip_ >> 24;
  if (first >= 224 && first <= 239) {
    const unsigned char ttl = 64;
    if (setsockopt(rtp_->fd(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
      EngineTrace()->Print(kTraceError, "setsockopt for multicast error, WSAGetLastError: %i", errno, -1);
      close();
      return -3;
    }
  }
  return 0;
}

void rtpsender::close() {
  rtp_.reset();
  rtcpSocket_.reset();
}

void rtpsender::setPayloadType(int payloadType, bool marker) {
  header_[1] = static_cast<uint8_t>((payloadType & 0x7F) | (marker ? 0x80 : 0));
}

void rtpsender::setEncryptionHook(SonraVE_Encryption* hook, bool enabled) {
  hook_ = hook;
  hookEnabled_ = enabled;
}

int rtpsender::startDtmf(int digit, int lengthMs) {
  if (dtmfActive_ || eventPayloadType_ < 96 || eventPayloadType_ > 127) return -1;
  dtmfDigit_ = digit;
  dtmfRemainingMs_ = lengthMs;
  dtmfDuration_ = 0;
  dtmfStreamUnits_ = 0;
  dtmfEndsLeft_ = 0;
  dtmfFirst_ = true;
  dtmfActive_ = true;
  return 0;
}

// After the last end packet: the voice resumes where the event's time ends, and the next
// queued digit starts.
void rtpsender::finishDtmf() {
  timestamp_ += dtmfStreamUnits_;
  dtmfActive_ = false;
  dtmfEndsLeft_ = 0;
  if (queueCount_ > 0) {
    const int digit = queuedDigit_[queueHead_];
    const int length = queuedLength_[queueHead_];
    queueHead_ = (queueHead_ + 1) % kMaxQueuedEvents;
    --queueCount_;
    startDtmf(digit, length);
  }
}

int rtpsender::queueDtmf(int digit, int lengthMs) {
  if (eventPayloadType_ < 96 || eventPayloadType_ > 127) return -1;
  if (!dtmfActive_) return startDtmf(digit, lengthMs);
  if (queueCount_ >= kMaxQueuedEvents) return -2;
  const int at = (queueHead_ + queueCount_) % kMaxQueuedEvents;
  queuedDigit_[at] = digit;
  queuedLength_[at] = lengthMs;
  ++queueCount_;
  return 0;
}

int rtpsender::transmit(uint8_t* packet, int length, size_t capacity, bool rtcpSocket) {
  if (srtp_.Enabled() && !rtcpSocket) {
    // A packet that cannot be protected is never sent in the clear.
    if (srtp_.Protect(packet, &length, capacity) != 0) {
      ++dropped_;
      EngineTrace()->Print(kTraceWarning, "\tsrtp_protect() failed, packet of %d bytes dropped", length, -1);
      return -1;
    }
  }
  const uint8_t* out = packet;
  if (hookEnabled_ && hook_ && !rtcpSocket) {
    int outLength = -1;
    hook_->encrypt(channel_, packet, hookOut_, length, &outLength);
    if (outLength < 0 || outLength > static_cast<int>(sizeof hookOut_)) {
      ++dropped_;
      return -1;
    }
    out = hookOut_;
    length = outLength;
  }
  if (tap_) {
    tap_(tapUser_, out, length);
    return length;
  }
  const UdpSocketRef& s = rtcpSocket ? rtcpSocket_ : rtp_;
  if (!s) return -1;
  const int r = plat::SendTo(s->fd(), out, static_cast<size_t>(length), ip_,
                             static_cast<uint16_t>(rtcpSocket ? port_ + 1 : port_));
  if (r < 0) {
    if (!rtcpSocket) EngineTrace()->Print(kTraceError, "Sending encoded data failed (error code = %i)", errno, -1);
    return -1;
  }
  return r;
}

int rtpsender::sendEvent(bool end) {
  uint8_t* p = event_;
  p[0] = 0x80;
  p[1] = static_cast<uint8_t>((eventPayloadType_ & 0x7F) | (dtmfFirst_ ? 0x80 : 0));
  Put16(p + 2, sequence_);
  Put32(p + 4, timestamp_);
  Put32(p + 8, ssrc_);
  p[12] = static_cast<uint8_t>(dtmfDigit_);
  p[13] = end ? 138 : 10;
  Put16(p + 14, dtmfDuration_ > 0xFFFF ? 0xFFFF : dtmfDuration_);
  const int r = transmit(p, kEventBytes, sizeof event_, false);
  ++sequence_;
  dtmfFirst_ = false;
  if (r < 0) return -1;
  ++packets_;
  if (rtcp_) rtcp_->PacketSent(static_cast<uint32_t>(r > kHeaderBytes ? r - kHeaderBytes : 0));
  return 0;
}

int rtpsender::send(int /*channel*/, const uint8_t* payload, int length, uint32_t timestampIncrement,
                    int samplesPerMs) {
  if (length < 0 || length > kMaxPayload || (length > 0 && !payload)) {
    EngineTrace()->Print(kTraceError, "rtpsender::send error, len is not correct:%i", length, -1);
    return -1;
  }
  if (samplesPerMs < 1) samplesPerMs = 8;
  if (dtmfActive_ && dtmfEndsLeft_ > 0) {
    // The end packet goes out three times in all (a lost one would leave the digit running):
    // same timestamp and duration, a new sequence number each, in place of the voice.
    const int r = sendEvent(true);
    dtmfStreamUnits_ += timestampIncrement;
    if (--dtmfEndsLeft_ == 0) finishDtmf();
    return r;
  }
  if (dtmfActive_) {
    // Event durations run in the 8000-Hz event clock whatever the codec's clock.
    dtmfDuration_ += static_cast<uint32_t>(static_cast<uint64_t>(timestampIncrement) * 8u / static_cast<unsigned>(samplesPerMs));
    dtmfStreamUnits_ += timestampIncrement;
    int r;
    if (dtmfRemainingMs_ < 1) {
      r = sendEvent(true);
      dtmfEndsLeft_ = kEndRepeats - 1;
    } else {
      r = sendEvent(false);
    }
    dtmfRemainingMs_ -= static_cast<int>(timestampIncrement / static_cast<unsigned>(samplesPerMs));
    return r;
  }
  std::memcpy(voice_, header_, kHeaderBytes);
  Put16(voice_ + 2, sequence_);
  Put32(voice_ + 4, timestamp_);
  Put32(voice_ + 8, ssrc_);
  if (length > 0) std::memcpy(voice_ + kHeaderBytes, payload, static_cast<size_t>(length));
  const int r = transmit(voice_, kHeaderBytes + length, sizeof voice_, false);
  // The timeline moves on whether or not the network took the packet.
  timestamp_ += timestampIncrement;
  ++sequence_;
  if (r < 0) return -1;
  ++packets_;
  if (rtcp_) {
    rtcp_->PacketSent(static_cast<uint32_t>(r > kHeaderBytes ? r - kHeaderBytes : 0));
    if (rtcp_->IsEnabled() && rtcp_->ReportDue()) sendReport(samplesPerMs, false);
  }
  return length;
}

void rtpsender::sendReport(int samplesPerMs, bool withBye) {
  if (!rtcp_ || !rtcpSocket_) return;
  RtcpReceptionStats stats;
  if (jitter_) {
    uint16_t fraction = 0;
    jitter_->RtcpStats(&fraction, &stats.cumulativeLost, &stats.extendedHighest, &stats.jitter);
    stats.fractionLost = fraction;
  }
  uint8_t report[RtcpSession::kMaxReportLength];
  const int n = rtcp_->BuildReport(report, sizeof report, withBye, ssrc_, stats, samplesPerMs, timestamp_);
  if (n > 0) transmit(report, n, sizeof report, true);
}

void rtpsender::sendFinalReport() {
  if (rtcp_ && rtcp_->IsEnabled()) sendReport(8, true);
}

// ---------------------------------------------------------------------------
// RTPtransmitter
// ---------------------------------------------------------------------------

namespace {

struct NameKind {
  const char* name;
  int kind;
};
const NameKind kNames[] = {{"pcmu", kCodecPcmu},         {"pcma", kCodecPcma},
                           {"ostrelwb", kCodecOstrelWb}, {"ilbc", kCodecIlbc},
                           {"ostrel711u", kCodecOstrel711U}, {"ostrel711a", kCodecOstrel711A},
                           {"quill", kCodecQuill}};

int KindOfName(const char* name) {
  for (const NameKind& n : kNames)
    if (strcasecmp(n.name, name) == 0) return n.kind;
  return -1;
}

}  // namespace

RTPtransmitter::RTPtransmitter() {
  if (Cng_CreateEncoder(&cng_) != 0) cng_ = nullptr;
  if (SonraVad_Create(&vad_) != 0) vad_ = nullptr;
}

RTPtransmitter::~RTPtransmitter() {
  if (cng_) Cng_FreeEncoder(cng_);
  if (vad_) SonraVad_Free(vad_);
}

void RTPtransmitter::initialise(rtpsender* sender, ChannelCodecSet* codecs) {
  sender_ = sender;
  codecs_ = codecs;
  stored_ = 0;
  quillSamples_ = 0;
  dtmfSilence_ = 0;
  dtmfTone_ = 0;
  tone_.Restart();
  if (vad_) SonraVad_Init(vad_);
  if (cng_) Cng_EncoderInit(cng_, static_cast<int16_t>(rate_), 100, 12);
  speechBefore_ = true;
  lastDecision_ = 1;
}

int RTPtransmitter::setCoder(const char* name, int payloadType, int rate, int packetSize, bool reinitialise) {
  std::snprintf(name_, sizeof name_, "%s", name ? name : "");
  kind_ = KindOfName(name_);
  payloadType_ = payloadType;
  rate_ = rate;
  packetSize_ = packetSize;
  if (reinitialise) {
    reinit_ = true;
    stored_ = 0;
    quillSamples_ = 0;
  }
  if (sender_) sender_->setPayloadType(payloadType, false);
  if (cng_) Cng_EncoderInit(cng_, static_cast<int16_t>(rate), 100, 12);
  EngineTrace()->Print(kTraceInfo, "\tRTPtransmitter::setCoder payload type %i ", payloadType, -1);
  return payloadType;
}

int RTPtransmitter::inbandDtmf(int digit, int durationMs) {
  if (digit < 0 || digit > 15) return -1;
  dtmfDigit_ = digit;
  dtmfTone_ = rate_ * durationMs / 1000;
  dtmfSilence_ = rate_ * 40 / 1000;
  tone_.Restart();
  return 0;
}

int RTPtransmitter::sendPayload(int length, uint32_t increment, int samplesPerMs) {
  if (!sender_) return length;
  const int r = sender_->send(0, payload_, length, increment, samplesPerMs);
  return r < 0 ? r : length;
}

int RTPtransmitter::send(int /*channel*/, const int16_t* frame, int length, int /*delayMs*/, int /*workingRate*/,
                         int /*echoStatus*/) {
  if (!frame || (length != 80 && length != 160)) return -1;
  const int samplesPerMs = length == 80 ? 8 : 16;
  int16_t buf[160];
  std::memcpy(buf, frame, sizeof(int16_t) * static_cast<size_t>(length));

  // In-band DTMF: 40 ms of silence, then the tone.
  if (dtmfSilence_ > 0) {
    std::memset(buf, 0, sizeof(int16_t) * static_cast<size_t>(length));
    dtmfSilence_ -= length;
  } else if (dtmfTone_ > 0) {
    tone_.Tone(buf, dtmfDigit_, 10, length, rate_);
    dtmfTone_ -= length;
  }

  silence_ = false;
  if (vadEnabled_ && vad_) {
    lastDecision_ = SonraVad_Process(vad_, rate_, buf, length);
    if (lastDecision_ == 0 && stored_ == 0) {
      int16_t sidLength = 0;
      if (cng_) {
        const int r = Cng_Encode(cng_, buf, static_cast<int16_t>(length), payload_, &sidLength, speechBefore_ ? 1 : 0);
        if (r < 0) sidLength = 0;
      }
      speechBefore_ = false;
      const uint32_t tenMs = static_cast<uint32_t>(samplesPerMs * 10);
      if (sidLength <= 0) {
        if (sender_) sender_->advanceTimestamp(tenMs);
      } else if (sender_) {
        sender_->setPayloadType(cnPayloadType_, false);
        sender_->send(0, payload_, sidLength, tenMs, samplesPerMs);
        sender_->setPayloadType(payloadType_, false);
      }
      if (kind_ != kCodecOstrelWb) return 0;
      silence_ = true;
    }
  }

  int bytes = 0;
  switch (kind_) {
    case kCodecPcmu:
    case kCodecPcma: {
      if (stored_ + length <= static_cast<int>(sizeof store_ / sizeof store_[0])) {
        std::memcpy(store_ + stored_, buf, sizeof(int16_t) * static_cast<size_t>(length));
        stored_ += length;
      }
      if (stored_ < packetSize_) return 0;
      const bool ulaw = kind_ == kCodecPcmu;
      int n = 0;
      int r = -1;
      if (codecs_) {
        r = codecs_->EncodeG711(ulaw, store_, stored_, payload_, &n);
      }
      stored_ = 0;
      if (r != 0) {
        EngineTrace()->Print(kTraceError,
                             ulaw ? "G711U_SONRA_10MS16B_Encoder() failed" : "G711A_SONRA_10MS16B_Encoder() failed", -1,
                             -1);
        return -1;
      }
      bytes = n;
      if (bytes > 0) {
        sendPayload(bytes, static_cast<uint32_t>(packetSize_), samplesPerMs);
        speechBefore_ = true;
        EngineTrace()->Print(kTraceStream, ulaw ? "Sent PCMU packet %i bytes" : "Sent PCMA packet %i bytes", bytes, -1);
      }
      break;
    }
    case kCodecOstrel711U:
    case kCodecOstrel711A:
    case kCodecOstrelWb: {
      if (!codecs_) return -1;
      if (reinit_) {
        codecs_->InitEncoder(kind_, packetSize_);
        reinit_ = false;
      }
      bytes = codecs_->Encode(kind_, buf, length, payload_, rtpsender::kMaxPayload);
      if (bytes < 0) {
        if (kind_ == kCodecOstrelWb)
          EngineTrace()->Print(kTraceError, "OSTRELWB_SONRA_10MS16B_Encoder() failed", -1, -1);
        else
          EngineTrace()->Print(kTraceError,
                               kind_ == kCodecOstrel711U ? "Ostrel711U_SONRA_10MS16B_Encoder() failed (error code: %d)"
                                                         : "Ostrel711A_SONRA_10MS16B_Encoder() failed (error code: %d)",
                               codecs_->CodecLastError(kind_), -1);
        return -1;
      }
      if (bytes > 0 && !silence_) {
        sendPayload(bytes, static_cast<uint32_t>(packetSize_), samplesPerMs);
        speechBefore_ = true;
        EngineTrace()->Print(kTraceStream,
                             kind_ == kCodecOstrelWb    ? "Sent Ostrel-wb packet %i bytes"
                             : kind_ == kCodecOstrel711U ? "Sent Ostrel711U packet %i bytes"
                                                         : "Sent Ostrel711A packet %i bytes",
                             bytes, -1);
      }
      break;
    }
    case kCodecIlbc: {
      if (!codecs_) return -1;
      if (reinit_) {
        codecs_->InitEncoder(kind_, (packetSize_ == 160 || packetSize_ == 320) ? 160 : 240);
        reinit_ = false;
      }
      if (stored_ + length <= static_cast<int>(sizeof store_ / sizeof store_[0])) {
        std::memcpy(store_ + stored_, buf, sizeof(int16_t) * static_cast<size_t>(length));
        stored_ += length;
      }
      if (stored_ < packetSize_) return 0;
      bytes = codecs_->Encode(kind_, store_, stored_, payload_, rtpsender::kMaxPayload);
      stored_ = 0;
      if (bytes < 0) return -1;
      if (bytes > 0) {
        sendPayload(bytes, static_cast<uint32_t>(packetSize_), samplesPerMs);
        speechBefore_ = true;
        EngineTrace()->Print(kTraceStream, "Sent iLBC packet %i bytes", bytes, -1);
      }
      break;
    }
    case kCodecQuill: {
      if (!codecs_) return -1;
      if (reinit_) {
        codecs_->InitEncoder(kind_, packetSize_);
        reinit_ = false;
      }
      bytes = codecs_->Encode(kind_, buf, length, payload_, rtpsender::kMaxPayload);
      quillSamples_ += length;
      if (bytes < 0) return -1;
      if (bytes > 0) {
        sendPayload(bytes, static_cast<uint32_t>(quillSamples_), samplesPerMs);
        quillSamples_ = 0;
        speechBefore_ = true;
        EngineTrace()->Print(kTraceStream, "Sent Quill packet %i bytes", bytes, -1);
      }
      break;
    }
    default:
      return -1;
  }
  return bytes;
}
