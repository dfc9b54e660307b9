// Tests of the untyped decoder entries as a jitter buffer calls them.
#include <gtest/gtest.h>

#include <vector>

#include "voice/dsp/g711.h"
#include "voice/dsp/ostrel/ostrel_entries.h"
#include "voice/dsp/ostrel/ostrel711.h"
#include "voice/dsp/ostrel/ostrelwb.h"
#include "voice/dsp/ostrel/tests/ostrel_signals.h"

namespace {

using Packets = std::vector<std::vector<uint8_t>>;

// Feeds x to the encoder `block` samples at a time (encode as Ostrel711_EncodeCore) and keeps every packet made.
template <size_t MaxBytes, typename Codec, typename Encode>
void EncodePackets(Codec* enc, Encode encode, const std::vector<int16_t>& x, size_t block, Packets* packets) {
  for (size_t b = 0; b < x.size(); b += block) {
    uint8_t p[MaxBytes];
    int16_t n, need;
    ASSERT_EQ(encode(enc, &x[b], p, &n, &need), 0);
    if (n > 0) packets->emplace_back(p, p + n);
  }
}

TEST(OstrelEntries, Ostrel711PacketsConcealmentAndLateFrame) {
  const auto x = ostrel_test::SpeechLike(80 * 10, 8000, 2);
  Ostrel711Codec enc;
  ASSERT_EQ(Ostrel711_Init(&enc, 1, 0, 160), 0);
  Packets packets;
  ASSERT_NO_FATAL_FAILURE(EncodePackets<kOstrel711MaxPacketBytes>(&enc, Ostrel711_EncodeCore, x, 80, &packets));
  Ostrel711Codec dec;
  ASSERT_EQ(Ostrel711_Init(&dec, 0, 0, 80), 0);
  ASSERT_EQ(Ostrel711A_EntryInit(&dec), 0);
  EXPECT_EQ(dec.law, 1);
  int16_t out[320];
  int16_t type = 0;
  EXPECT_EQ(Ostrel711_EntryDecode(&dec, packets[0].data(), static_cast<int>(packets[0].size()), out, 320, &type), 160);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(Ostrel711_EntryInfo(&dec), 0);
  EXPECT_EQ(Ostrel711_EntryDecode(&dec, packets[1].data(), static_cast<int>(packets[1].size()), out, 320, &type), 160);
  // Packet 2 lost: its turn comes from the held section; it then arrives one frame late.
  EXPECT_EQ(Ostrel711_EntryDecode(&dec, nullptr, 0, out, 320, &type), 160);
  EXPECT_EQ(Ostrel711_EntryDecode(&dec, nullptr, 0, out, 320, &type), 0) << "nothing more held";
  ASSERT_EQ(Ostrel711_EntryLateFrame(&dec, packets[2].data(), static_cast<int>(packets[2].size())), 0);
  ASSERT_EQ(Ostrel711_EntryDecode(&dec, packets[3].data(), static_cast<int>(packets[3].size()), out, 320, &type), 160);
  for (int i = 0; i < 160; ++i) EXPECT_EQ(out[i], G711_AlawDecodeSample(G711_AlawEncodeSample(x[2 * 160 + i])));
  EXPECT_EQ(Ostrel711_EntryDecode(&dec, packets[4].data(), static_cast<int>(packets[4].size()), out, 100, &type), 80)
      << "only what fits";
  EXPECT_EQ(Ostrel711_EntryInfo(&dec), 1);
  EXPECT_EQ(Ostrel711U_EntryInit(&dec), 0);
  EXPECT_EQ(Ostrel711_EntryInfo(&dec), 0);
  EXPECT_EQ(Ostrel711_EntryLateFrame(&dec, packets[0].data(), 1), -1);
  EXPECT_EQ(dec.errorCode, kOstrelErrMalformed);
}

TEST(OstrelEntries, WidebandPackets) {
  const auto x = ostrel_test::SpeechLike(160 * 6, 16000, 2);
  OstrelWbCodec enc;
  ASSERT_EQ(OstrelWb_Init(&enc, 320), 0);
  Packets packets;
  ASSERT_NO_FATAL_FAILURE(EncodePackets<kOstrelWbMaxPacketBytes>(&enc, OstrelWb_Encode, x, 160, &packets));
  OstrelWbCodec dec;
  ASSERT_EQ(OstrelWb_Init(&dec, 160), 0);
  ASSERT_EQ(OstrelWb_EntryInit(&dec), 0);
  int16_t out[640];
  int16_t type = 0;
  EXPECT_EQ(OstrelWb_EntryDecode(&dec, packets[0].data(), static_cast<int>(packets[0].size()), out, 640, &type), 320);
  EXPECT_EQ(OstrelWb_EntryDecode(&dec, nullptr, 0, out, 640, &type), 320);
  ASSERT_EQ(OstrelWb_EntryLateFrame(&dec, packets[1].data(), static_cast<int>(packets[1].size())), 0);
  EXPECT_EQ(OstrelWb_EntryDecode(&dec, packets[2].data(), static_cast<int>(packets[2].size()), out, 640, &type), 320);
  int16_t kind, pending;
  OstrelWb_GetDecoderInfo(&dec, &kind, &pending);
  EXPECT_EQ(kind, 0);
  EXPECT_EQ(OstrelWb_EntryInfo(&dec), 0);
}

}  // namespace
