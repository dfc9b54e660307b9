// Datagram format: golden bytes of every client request, credential masking vectors, checked decoding of server data.
#include <gtest/gtest.h>

#include "fakes.h"
#include "pellico/wire.h"

using namespace pellico;
using pt::SB;

namespace {
std::string Hex(const std::vector<uint8_t>& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t c : b) {
    s.push_back(d[c >> 4]);
    s.push_back(d[c & 15]);
  }
  return s;
}
const std::string kHdr = "000000000000000000";  // header before the pump fills sequence and session
std::string H(uint8_t type) {
  char b[3];
  snprintf(b, sizeof b, "%02x", type);
  return kHdr.substr(0, 16) + b;
}
}  // namespace

TEST(PellicoWire, GoldenBytesOfEveryClientRequest) {
  OutRecipient sub{0, 0x01020304, "", false};
  OutRecipient addr{3, KX_ADDRESS_ONLY_ID, "eml:x@y", true};
  OutAttachment url{true, 0, "image/png", "http://h/a"};
  OutAttachment saf{true, 2, "", "it"};
  OutAttachment none;
  struct Row {
    const char* name;
    std::vector<uint8_t> built;
    std::string hex;
  } rows[] = {
      {"CONNECT_REQUEST", BuildConnectRequest(6, "ab", "c", "PC", 1),
       H(1) + "04" "06" "00026162" "000163" "00025043" "01"},
      {"KEEP_ALIVE", BuildKeepAlive(), H(9) + "0000000000000000"},
      {"DISCONNECT", BuildDisconnect(), H(13) + "00"},
      {"CHANGE_VISIBILITY", BuildChangeVisibility(1), H(92) + "01"},
      {"ALL_BUDDY_LIST_REQ", BuildAllBuddyListReq(1, 0), H(22) + "01" "00000000" "00"},
      {"ADD_BUDDY_REQ", BuildAddBuddy(1, {{0, "bob", "g"}}), H(24) + "01" "01" "00000000" "0003626f62" "000167" "0000" "00"},
      {"ADD_BUDDY_REQ unblock", BuildUnblock(1, {7, 8}), H(24) + "01" "02" "00000007" "00000008" "0000" "0000" "0000" "00"},
      {"ADD_GROUP_REQ", BuildAddGroup(0, "g"), H(25) + "00" "000167" "00"},
      {"DELETE_BUDDIES_REQ", BuildDeleteBuddy(1, 9), H(26) + "01" "01" "00000009"},
      {"DELETE_GROUP_REQ", BuildDeleteGroup(1, "g"), H(27) + "01" "01" "000167" "00"},
      {"MOVE_TO_GROUP_REQ", BuildMoveToGroup(1, "t", {{5, "s"}}), H(28) + "01" "000174" "00" "01" "00000005" "000173" "00"},
      {"RENAME_BUDDIES_REQ", BuildRenameBuddy(1, 5, "n"), H(29) + "01" "00000005" "00016e"},
      {"RENAME_GROUP_REQ", BuildRenameGroup(1, "a", "b"), H(72) + "01" "000161" "000162" "00"},
      {"BLOCK_USER_REQUEST", BuildBlockUsers({5}), H(79) + "01" "00000005" "00"},
      {"SAF_REQ", BuildSafReq(0x11, "it"), H(63) + "00000011" "00026974"},
      {"SEND_TEXT_2 with URL", BuildMessage(SEND_TEXT_2, 0x1234, "1_2", {sub, addr}, "s", "t", url),
       H(49) + "1234" "0003315f32" "01" "00" "01020304" "01" "03" "0009" "656d6c3a" "78407" "9" "000173" "000174" "01" "00"
                   "09696d6167652f706e67" "000a687474703a2f2f682f61"},
      {"SEND_TEXT_2 with item", BuildMessage(SEND_TEXT_2, 1, "", {sub}, "", "", saf),
       H(49) + "0001" "0000" "01" "00" "01020304" "00" "0000" "0000" "01" "02" "00026974"},
      {"CLIENT_START_AUDIO", BuildMessage(CLIENT_START_AUDIO, 2, "t", {sub, addr}, "", "v", none),
       H(14) + "0002" "000174" "01" "01020304" "01" "0009" "656d6c3a" "784079" "0000" "000176" "00"},
      {"AUDIO", BuildAudio(3, 0, reinterpret_cast<const uint8_t*>("\x04\x05"), 2, 0), H(17) + "0003" "00000000" "0003" "00" "0405"},
      {"END_AUDIO", BuildEndAudio(3, 0, 9), H(16) + "0003" "00000000" "0009"},
      {"AUDIO_DONE", BuildAudioDone(3, 7), H(74) + "0003" "00000007"},
      {"AUDIO_NACK", BuildAudioNack(3, 7, {2, 5}), H(76) + "0003" "00000007" "0002" "00000002" "00000005"},
      {"KX_ACK", BuildAck(0x01020304, 0x0A0B0C0D), "01020304" "0a0b0c0d" "0c"},
  };
  for (auto& r : rows) EXPECT_EQ(Hex(r.built), r.hex) << r.name;
}

TEST(PellicoWire, CredentialMaskingVectors) {
  struct Row {
    std::string text;
    uint32_t key;
    std::string masked;
  } rows[] = {
      {"abc", 0x1234, "616271" "0000"},           // 0x34 % 5 = 2 key bytes appended
      {"\xE9", 0x0000, "c3a9"},                   // a byte above 0x7F travels as two
      {"abcd", 0x7FFF, "61621c" "c29b"},          // XOR with k2, k3; 0xFF % 5 = 0
      {"", 0x0004, "00000004"},                   // 4 key bytes, most significant first
      {"xy", 0x0100, "7879"},                     // k3 = 0: nothing appended
  };
  for (auto& r : rows) {
    std::string out;
    ASSERT_TRUE(MaskCredential(r.text, r.key, &out));
    EXPECT_EQ(Hex(std::vector<uint8_t>(out.begin(), out.end())), r.masked) << r.text;
    std::string back;
    ASSERT_TRUE(UnmaskCredential(out, r.key, &back));
    EXPECT_EQ(back, r.text);
  }
  std::string huge(700, '\xFF'), out;
  EXPECT_FALSE(MaskCredential(huge, 0, &out)) << "a masked text over 1024 bytes is refused, not cut";
}

TEST(PellicoWire, DecodesServerDatagrams) {
  InMessage m;
  auto rt = SB(5, 9, 11).u16(7).str16("1_1").u32(42).str16("Bob").u8(1).u8(0).u32(3).str16("a3")
                .str16("subj").str16("hi").time7().u8(1).u8(3).str16("eml:z").u8(1).u8(0).str8("text/plain")
                .str16("http://h/servlet/mailbox?item=5").b;
  ASSERT_TRUE(DecodeReceivedText(rt.data(), rt.size(), &m));
  EXPECT_EQ(m.msg, 7);
  EXPECT_EQ(m.author, 42u);
  EXPECT_EQ(m.authorName, "Bob");
  ASSERT_EQ(m.recipients.size(), 1u);
  EXPECT_EQ(m.recipients[0].id, 3u);
  ASSERT_EQ(m.addressRecipients.size(), 1u);
  EXPECT_EQ(m.text, "hi");
  EXPECT_EQ(m.mime, "text/plain");

  AudioControl c;
  auto nack = SB(1, 9, 76).u16(4).u32(0).u16(2).u32(3).u32(8).b;
  ASSERT_TRUE(DecodeAudioNack(nack.data(), nack.size(), &c));
  EXPECT_EQ(c.seqs, (std::vector<uint32_t>{3, 8}));

  BuddyList bl;
  std::vector<uint8_t> body = SB(0, 0, 0).b;  // any 4 unread bytes, list in the 5th
  body = {0, 0, 0, 0, 0, 0, 1};
  SB g(0, 0, 0);
  g.b.clear();
  g.str16("Friends").u8(0).u16(1).u8(0x92).u32(8).str16("Eve").str16("eml:e");
  body.insert(body.end(), g.b.begin(), g.b.end());
  ASSERT_TRUE(DecodeBuddyListBody(body.data(), body.size(), &bl));
  ASSERT_EQ(bl.groups.size(), 1u);
  EXPECT_EQ(bl.groups[0].members[0].presence, 0x92);
}

// Every server datagram cut short anywhere is refused, and counts or lengths pointing past the end are refused.
TEST(PellicoWire, MalformedServerDatagramsAreRefused) {
  std::vector<std::vector<uint8_t>> valid = {
      SB(1, 2, 2).u8(0).u8(0).u8(3).str16("TS=").str16("h").u16(9).b,
      SB(1, 2, 6).u8(1).str16("1:x").b,
      SB(1, 2, 11).u16(1).str16("t").u32(4).str16("n").u8(1).u8(0).u32(5).str16("a").str16("s").str16("x").time7()
          .u8(0).u8(1).u8(2).str16("item").b,
      SB(1, 2, 15).u16(1).str16("t").u32(4).str16("n").u8(1).u32(5).str16("a").str16("s").str16("x").time7().u8(0).b,
      SB(1, 2, 17).u16(1).u32(4).u16(3).u8(0).u8(4).u8(4).b,
      SB(1, 2, 16).u16(1).u32(4).u16(3).b,
      SB(1, 2, 74).u16(1).u32(4).b,
      SB(1, 2, 75).u16(1).u32(4).b,
      SB(1, 2, 76).u16(1).u32(4).u16(1).u32(2).b,
      SB(1, 2, 18).u8(1).u32(4).b,
  };
  for (auto& d : valid) {
    EXPECT_TRUE(ValidateServerDatagram(d.data(), d.size())) << "type " << int(d[8]);
    for (size_t cut = 0; cut < d.size(); ++cut)
      EXPECT_FALSE(ValidateServerDatagram(d.data(), cut)) << "type " << int(d[8]) << " cut at " << cut;
  }
  std::vector<std::vector<uint8_t>> bad = {
      SB(1, 2, 6).u8(1).u16(0xFFFF).raw("x").b,                   // text count past the end
      SB(1, 2, 17).u16(1).u32(4).u16(0).u8(0).b,                   // frame length field 0
      SB(1, 2, 17).u16(1).u32(4).u16(500).u8(0).u8(4).b,           // frame length past the end
      SB(1, 2, 76).u16(1).u32(4).u16(1000).u32(1).b,               // NACK count past the end
      SB(1, 2, 23).u16(1).u8(0).u8(1).b,                           // fragment index 0
      SB(1, 2, 23).u16(1).u8(3).u8(2).b,                           // fragment index above the count
      SB(1, 2, 11).u16(1).str16("t").u32(4).str16("n").u8(200).b,  // recipient count past the end
  };
  for (auto& d : bad) EXPECT_FALSE(ValidateServerDatagram(d.data(), d.size())) << "type " << int(d[8]);

  BuddyList bl;
  std::vector<uint8_t> body = {0, 0, 0, 0, 0, 0, 1, 0, 1, 'g', 0, 0xEA, 0x60};  // 60000 members announced
  EXPECT_FALSE(DecodeBuddyListBody(body.data(), body.size(), &bl));
  PresenceList pl;
  std::vector<uint8_t> pbody = {0, 0x10, 0x00, 1, 0, 0, 0, 1};  // 4096 entries announced, one there
  EXPECT_FALSE(DecodePresenceListBody(pbody.data(), pbody.size(), &pl));
}
