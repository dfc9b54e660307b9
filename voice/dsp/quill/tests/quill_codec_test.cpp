// Tests of the Quill codec interface: errors, frames, padding, refused payloads, rate and speech.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "voice/dsp/quill/quill_internal.h"
#include "voice/dsp/quill/tests/quill_speech.h"

namespace {

struct Codec {
  QuillInstance* inst = nullptr;
  Codec() { EXPECT_EQ(Quill_Create(&inst), 0); }
  ~Codec() { Quill_Free(inst); }
};

struct Packet {
  std::vector<uint16_t> words;
  int bytes = 0;
  uint8_t byte(int k) const { return static_cast<uint8_t>((k & 1) ? words[k / 2] >> 8 : words[k / 2] & 0xFF); }
};

// Feeds 10-ms blocks until a packet comes out; `calls` counts the encode calls it took.
Packet nextPacket(QuillInstance* q, const std::vector<int16_t>& pcm, size_t& pos, int* calls = nullptr) {
  Packet p;
  p.words.assign(300, 0);
  int n = 0;
  for (int c = 1; pos + 160 <= pcm.size(); ++c) {
    n = Quill_Encode(q, &pcm[pos], p.words.data());
    pos += 160;
    EXPECT_GE(n, 0) << Quill_GetErrorCode(q);
    if (n != 0) {
      if (calls) *calls = c;
      break;
    }
  }
  p.bytes = n;
  return p;
}

std::vector<uint16_t> wordsOf(const std::vector<uint8_t>& bytes) {
  std::vector<uint16_t> w((bytes.size() + 1) / 2, 0);
  for (size_t k = 0; k < bytes.size(); ++k) w[k / 2] |= static_cast<uint16_t>(bytes[k] << ((k & 1) ? 8 : 0));
  return w;
}

std::vector<uint8_t> bytesOf(const Packet& p) {
  std::vector<uint8_t> b(p.bytes);
  for (int k = 0; k < p.bytes; ++k) b[k] = p.byte(k);
  return b;
}

// The peer's reports set a mode-0 encoder's send rate: packets from a peer whose estimate is `rate`.
void steerRate(QuillInstance* q, double rate) {
  int index = 0;
  while (index < 11 && kQuillRateLevel[index] < rate) ++index;
  for (int i = 0; i < 100; ++i) Quill_RateEstUpdate(&q->rateEstimator, i, 30, 480u * i, 60, index);
}

TEST(QuillCodec, VersionAndCreate) {
  char text[8] = "xxxxxxx";
  EXPECT_EQ(Quill_Version(text), 0);
  EXPECT_STREQ(text, "2.2.0");
  Codec c;
  EXPECT_EQ(c.inst->errorCode, 0);
  EXPECT_EQ(c.inst->flags, 0);
  EXPECT_EQ(Quill_Create(nullptr), -1);
}

TEST(QuillCodec, EncoderInitAndFrameAssembly) {
  Codec c;
  const std::vector<int16_t> pcm(16000, 0);
  uint16_t packet[300];
  EXPECT_EQ(Quill_Encode(c.inst, pcm.data(), packet), -1);
  EXPECT_EQ(Quill_GetErrorCode(c.inst), QUILL_ERR_ENCODER_NOT_INIT);

  struct Case {
    int16_t mode;
    int calls;
  };
  for (const Case k : {Case{0, 6}, Case{1, 3}}) {
    ASSERT_EQ(Quill_EncoderInit(c.inst, k.mode), 0);
    size_t pos = 0;
    int calls = 0;
    for (int packetNo = 0; packetNo < 3; ++packetNo) {
      const Packet p = nextPacket(c.inst, pcm, pos, &calls);
      EXPECT_GT(p.bytes, 0);
      EXPECT_EQ(calls, k.calls) << "mode " << k.mode;
    }
  }
  // An unknown mode: refused, the encoder flag set, the frame length kept, encoding refused.
  ASSERT_EQ(Quill_EncoderInit(c.inst, 1), 0);
  EXPECT_EQ(Quill_EncoderInit(c.inst, 2), -1);
  EXPECT_EQ(Quill_GetErrorCode(c.inst), QUILL_ERR_BAD_MODE);
  EXPECT_TRUE(c.inst->flags & 2);
  EXPECT_EQ(c.inst->nextFrameLength, 480);
  EXPECT_EQ(Quill_Encode(c.inst, pcm.data(), packet), -1);
  EXPECT_EQ(Quill_GetErrorCode(c.inst), QUILL_ERR_BAD_MODE);
  ASSERT_EQ(Quill_EncoderInit(c.inst, 0), 0);
  EXPECT_EQ(Quill_Encode(c.inst, pcm.data(), packet), 0);
}

TEST(QuillCodec, DecoderAndArrivalRefuseBeforeInitAndEmptyPayloads) {
  Codec c;
  int16_t out[960];
  int16_t type = 0;
  const uint16_t words[4] = {1, 2, 3, 4};
  EXPECT_EQ(Quill_Decode(c.inst, words, 8, out, &type), -1);
  EXPECT_EQ(Quill_GetErrorCode(c.inst), QUILL_ERR_DECODER_NOT_INIT);
  EXPECT_EQ(Quill_PacketArrived(c.inst, words, 8, 1, 100), -1);
  EXPECT_EQ(Quill_GetErrorCode(c.inst), QUILL_ERR_DECODER_NOT_INIT);
  ASSERT_EQ(Quill_DecoderInit(c.inst), 0);
  EXPECT_EQ(Quill_Decode(c.inst, words, 0, out, &type), -1);
  EXPECT_EQ(Quill_GetErrorCode(c.inst), QUILL_ERR_EMPTY_PAYLOAD);
  EXPECT_EQ(Quill_PacketArrived(c.inst, words, 0, 1, 100), -1);
  EXPECT_EQ(Quill_GetErrorCode(c.inst), QUILL_ERR_EMPTY_PAYLOAD);
  EXPECT_EQ(Quill_DecodedSamples(c.inst, out, 2), 960);
}

TEST(QuillCodec, ConcealmentStaysInsideTheRoomItIsGiven) {
  Codec c;
  ASSERT_EQ(Quill_DecoderInit(c.inst), 0);
  constexpr int16_t kGuard = 0x7777;
  for (const int room : {0, 1, 160, 479, 480, 960}) {
    std::vector<int16_t> out(static_cast<size_t>(room) + 64, kGuard);
    const int n = QuillOps_Conceal(c.inst, out.data(), room);
    const int written = room >= 480 ? 480 : 0;
    EXPECT_EQ(n, room >= 480 ? 480 : -1) << room;
    for (int i = 0; i < static_cast<int>(out.size()); ++i)
      ASSERT_EQ(out[static_cast<size_t>(i)], i < written ? 0 : kGuard) << "room " << room << ", sample " << i;
  }
  int16_t out[480];
  EXPECT_EQ(QuillOps_Conceal(nullptr, out, 480), -1);
}

TEST(QuillCodec, ArrivalBeforeAnyEncoderInitUsesAStartedEstimator) {
  Codec sender, receiver;
  ASSERT_EQ(Quill_EncoderInit(sender.inst, 0), 0);
  ASSERT_EQ(Quill_DecoderInit(receiver.inst), 0);
  const std::vector<int16_t> pcm = quilltest::speech(2);
  size_t pos = 0;
  for (int i = 0; i < 5; ++i) {
    const Packet p = nextPacket(sender.inst, pcm, pos);
    ASSERT_EQ(Quill_PacketArrived(receiver.inst, p.words.data(), p.bytes, static_cast<uint16_t>(i), 960u * i), 0);
  }
  EXPECT_EQ(receiver.inst->rateEstimator.measureCount, -4);
  EXPECT_EQ(receiver.inst->rateEstimator.lastFrameMs, 60);
  // A header cut after one byte still reads (the missing bytes read as 0) or is refused, no more.
  const uint16_t one[1] = {0x00C0};
  const int r = Quill_PacketArrived(receiver.inst, one, 1, 9, 99999);
  EXPECT_TRUE(r == 0 || r == -1);
}

TEST(QuillCodec, LengthCheckPaddingAndRefusedPayloads) {
  Codec c;
  ASSERT_EQ(Quill_EncoderInit(c.inst, 0), 0);
  ASSERT_EQ(Quill_DecoderInit(c.inst), 0);
  const std::vector<int16_t> pcm = quilltest::speech(1);
  size_t pos = 0;
  int16_t out[960], type = 0;
  int padded = 0;
  for (int i = 0; i < 14; ++i) {
    const Packet p = nextPacket(c.inst, pcm, pos);
    ASSERT_GT(p.bytes, 0);
    std::vector<uint8_t> b = bytesOf(p);
    ASSERT_EQ(Quill_Decode(c.inst, p.words.data(), static_cast<int16_t>(p.bytes), out, &type), 960);
    EXPECT_EQ(type, 1);
    // Find the coded length: the decoder's consumed count is the length check's reference.
    const int coded = c.inst->dec.stream.bytePos - (c.inst->dec.stream.rangeWidth >= (1u << 25) ? 2 : 1);
    if (coded < p.bytes) {
      ++padded;
      EXPECT_EQ(b[coded], p.bytes - coded);  // the count byte counts itself
      // One byte short: the count no longer matches (unless the count byte was all the padding).
      std::vector<uint8_t> shorter(b.begin(), b.end() - 1);
      const auto w = wordsOf(shorter);
      const int r = Quill_Decode(c.inst, w.data(), static_cast<int16_t>(shorter.size()), out, &type);
      if (p.bytes - coded == 1) {
        EXPECT_EQ(r, 960);
      } else {
        EXPECT_EQ(r, -1);
        EXPECT_EQ(Quill_GetErrorCode(c.inst), QUILL_ERR_PAYLOAD_LENGTH);
      }
    } else {
      // One stray trailing byte that is not a padding count: refused, output zeroed.
      std::vector<uint8_t> longer = b;
      longer.push_back(0x00);
      const auto w = wordsOf(longer);
      for (int16_t& v : out) v = 1234;
      EXPECT_EQ(Quill_Decode(c.inst, w.data(), static_cast<int16_t>(longer.size()), out, &type), -1);
      EXPECT_EQ(Quill_GetErrorCode(c.inst), QUILL_ERR_PAYLOAD_LENGTH);
      for (int k = 0; k < 960; ++k) ASSERT_EQ(out[k], 0);
    }
  }
  // The start phase sends at least 24000 bit/s for its last five frames: some packets were padded.
  EXPECT_GT(padded, 0);

  // A payload beyond the 600-byte buffer is refused before it is copied.
  std::vector<uint16_t> big(400, 0x5A5A);
  EXPECT_EQ(Quill_Decode(c.inst, big.data(), 601, out, &type), -1);
  EXPECT_EQ(Quill_GetErrorCode(c.inst), QUILL_ERR_PAYLOAD_LENGTH);
  std::vector<uint8_t> bigBytes(700, 0x5A);
  EXPECT_EQ(QuillOps_Decode(c.inst, bigBytes.data(), 700, out, 960, &type), -1);
}

TEST(QuillCodec, APayloadShorterThanItsCodedContentIsDetected) {
  Codec c;
  ASSERT_EQ(Quill_EncoderInit(c.inst, 1), 0);
  ASSERT_EQ(Quill_DecoderInit(c.inst), 0);
  const std::vector<int16_t> pcm = quilltest::speech(3);
  size_t pos = 4800;
  const Packet p = nextPacket(c.inst, pcm, pos);
  const std::vector<uint8_t> b = bytesOf(p);
  int16_t out[960], type;
  for (int cut = 1; cut < p.bytes; cut += 3) {
    // Exactly sized heap copies: a read past them would show under the address sanitizer.
    std::vector<uint8_t> part(b.begin(), b.end() - cut);
    EXPECT_EQ(QuillOps_Decode(c.inst, part.data(), static_cast<int>(part.size()), out, 960, &type), -1) << cut;
    const int code = Quill_GetErrorCode(c.inst);
    EXPECT_TRUE(code == QUILL_ERR_PAYLOAD_LENGTH || (code >= QUILL_ERR_FRAME_LENGTH_SYMBOL && code <= QUILL_ERR_SPECTRUM_FIELD))
        << code;
  }
  EXPECT_EQ(QuillOps_Decode(c.inst, b.data(), p.bytes, out, 960, &type), 480);
  EXPECT_EQ(QuillOps_Decode(c.inst, b.data(), p.bytes, out, 240, &type), -1);  // no room for the frame
}

TEST(QuillCodec, FullScaleInputIsLimitedNotWrapped) {
  Codec c;
  ASSERT_EQ(Quill_EncoderInit(c.inst, 1), 0);
  ASSERT_EQ(Quill_DecoderInit(c.inst), 0);
  c.inst->rate = 32000;
  // A sine driven hard into the rails: the decoded waveform overshoots them and must be limited.
  std::vector<int16_t> square(16000);
  for (size_t i = 0; i < square.size(); ++i)
    square[i] = static_cast<int16_t>(std::clamp(60000.0 * std::sin(2 * M_PI * 180.0 * i / 16000.0), -32768.0, 32767.0));
  size_t pos = 0;
  std::vector<int16_t> decoded;
  while (pos + 480 <= square.size()) {
    const Packet p = nextPacket(c.inst, square, pos);
    int16_t out[960], type;
    const int n = Quill_Decode(c.inst, p.words.data(), static_cast<int16_t>(p.bytes), out, &type);
    ASSERT_EQ(n, 480);
    decoded.insert(decoded.end(), out, out + n);
  }
  int jumps = 0, rails = 0;
  for (size_t i = 1; i < decoded.size(); ++i) {
    jumps += std::abs(decoded[i] - decoded[i - 1]) > 30000;
    rails += decoded[i] == 32767 || decoded[i] == -32768;
  }
  EXPECT_EQ(jumps, 0);  // a wrapped sample would jump from one rail to the other
  EXPECT_GT(rails, 0);
  double corr = 0;
  for (size_t i = 4000; i + 48 < decoded.size(); ++i) corr += double(square[i]) * decoded[i + 48];
  EXPECT_GT(corr, 0.0);
}

struct RateCase {
  int16_t mode;
  double rate;
  int frame;          // expected samples per packet
  double minSegSnr;   // against the input through the codec's fixed high-pass filters
};

TEST(QuillCodec, SpeechAtSeveralRatesAndFrameLengths) {
  // Thresholds sit about 1.5 dB below the figures measured on these sentences.
  const RateCase cases[] = {
      {1, 10000, 480, 4.5}, {1, 16000, 480, 6.5}, {1, 24000, 480, 9.0}, {1, 32000, 480, 11.0},
      {0, 10000, 960, 4.5}, {0, 16000, 960, 6.5}, {0, 24000, 960, 9.0}, {0, 32000, 480, 11.0},
  };
  for (const RateCase& k : cases) {
    double snrSum = 0.0, rateSum = 0.0;
    for (int which = 0; which < 2; ++which) {
      const std::vector<int16_t> pcm = quilltest::speech(which);
      Codec c;
      ASSERT_EQ(Quill_EncoderInit(c.inst, k.mode), 0);
      ASSERT_EQ(Quill_DecoderInit(c.inst), 0);
      if (k.mode == 1) c.inst->rate = k.rate;
      else steerRate(c.inst, k.rate);
      size_t pos = 0;
      std::vector<int16_t> decoded;
      long bits = 0;
      int lastFrame = 0;
      while (pos + 960 <= pcm.size()) {
        const Packet p = nextPacket(c.inst, pcm, pos);
        if (p.bytes == 0) break;
        bits += 8L * p.bytes;
        int16_t out[960], type;
        const int n = Quill_Decode(c.inst, p.words.data(), static_cast<int16_t>(p.bytes), out, &type);
        ASSERT_GT(n, 0) << Quill_GetErrorCode(c.inst);
        lastFrame = n;
        decoded.insert(decoded.end(), out, out + n);
      }
      EXPECT_EQ(lastFrame, k.frame) << k.rate;
      rateSum += bits * 16000.0 / decoded.size();
      snrSum += quilltest::segSnr(quilltest::fixedFilters(pcm), decoded, 48);
    }
    const double rate = rateSum / 2, snr = snrSum / 2;
    std::printf("mode %d target %5.0f: %5.0f bit/s, segmental SNR %.2f dB\n", k.mode, k.rate, rate, snr);
    EXPECT_GT(rate, 0.8 * k.rate) << k.rate;
    EXPECT_LT(rate, 1.15 * k.rate) << k.rate;
    EXPECT_GT(snr, k.minSegSnr) << k.rate;
  }
}

TEST(QuillCodec, TheSendRateFollowsThePeersReports) {
  // A peer whose receive estimate is the floor (10000 bit/s) says so in every packet; the encoder
  // that hears it drops from its start rate to about that.
  Codec peer, local;
  ASSERT_EQ(Quill_EncoderInit(peer.inst, 0), 0);
  ASSERT_EQ(Quill_EncoderInit(local.inst, 0), 0);
  ASSERT_EQ(Quill_DecoderInit(local.inst), 0);
  const std::vector<int16_t> pcm = quilltest::speech(0);
  size_t peerPos = 0, localPos = 0;
  long bytesEarly = 0, bytesLate = 0;
  for (int i = 0; i < 40; ++i) {
    peer.inst->rateEstimator.inBandwidth = 10000;
    peer.inst->rateEstimator.inMaxDelay = 5.0f;
    if (peerPos + 960 > pcm.size()) peerPos = 0;
    const Packet fromPeer = nextPacket(peer.inst, pcm, peerPos);
    ASSERT_EQ(Quill_PacketArrived(local.inst, fromPeer.words.data(), fromPeer.bytes, static_cast<uint16_t>(i), 960u * i), 0);
    if (localPos + 960 > pcm.size()) localPos = 0;
    const Packet mine = nextPacket(local.inst, pcm, localPos);
    if (i >= 1 && i <= 5) bytesEarly += mine.bytes;
    if (i >= 35) bytesLate += mine.bytes;
  }
  EXPECT_LT(Quill_RateEstOutRate(&local.inst->rateEstimator), 10500);
  EXPECT_LT(local.inst->rate, 10500);
  EXPECT_LT(bytesLate, bytesEarly);
  EXPECT_LT(bytesLate * 8 / (5 * 0.06), 12500);
}

TEST(QuillCodec, TwoChannelsCodeAtTheSameTime) {
  const std::vector<int16_t> a = quilltest::speech(0), b = quilltest::speech(1);
  auto run = [](const std::vector<int16_t>* pcm, std::vector<int16_t>* decoded) {
    QuillInstance* q = nullptr;
    Quill_Create(&q);
    Quill_EncoderInit(q, 0);
    Quill_DecoderInit(q);
    size_t pos = 0;
    while (pos + 960 <= pcm->size()) {
      const Packet p = nextPacket(q, *pcm, pos);
      int16_t out[960], type;
      const int n = Quill_Decode(q, p.words.data(), static_cast<int16_t>(p.bytes), out, &type);
      if (n > 0) decoded->insert(decoded->end(), out, out + n);
    }
    Quill_Free(q);
  };
  std::vector<int16_t> aAlone, bAlone, aTogether, bTogether;
  run(&a, &aAlone);
  run(&b, &bAlone);
  std::thread t1(run, &a, &aTogether), t2(run, &b, &bTogether);
  t1.join();
  t2.join();
  EXPECT_EQ(aAlone, aTogether);
  EXPECT_EQ(bAlone, bTogether);
  EXPECT_FALSE(aAlone.empty());
}

}  // namespace
