// Datagram format of the messaging protocol: types, bounds-checked reader, writers and decoders.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace pellico {

enum KxType : uint8_t {
  CONNECT_REQUEST = 1,
  CONNECT_RESPONSE = 2,
  SERVER_ERROR = 6,
  KEEP_ALIVE = 9,
  RECEIVED_TEXT = 11,
  KX_ACK = 12,
  DISCONNECT = 13,
  CLIENT_START_AUDIO = 14,
  SERVER_START_AUDIO = 15,
  END_AUDIO = 16,
  AUDIO = 17,
  PRESENCE_STATUS = 18,
  ALL_BUDDY_LIST_REQ = 22,
  ALL_BUDDY_LIST_RESP = 23,
  ADD_BUDDY_REQ = 24,
  ADD_GROUP_REQ = 25,
  DELETE_BUDDIES_REQ = 26,
  DELETE_GROUP_REQ = 27,
  MOVE_TO_GROUP_REQ = 28,
  RENAME_BUDDIES_REQ = 29,
  SEND_TEXT_2 = 49,
  SAF_REQ = 63,
  ALL_BUDDY_PRESENCE = 70,
  NO_ACK_KEEP_ALIVE = 71,
  RENAME_GROUP_REQ = 72,
  AUDIO_DONE = 74,
  AUDIO_TERMINATE = 75,
  AUDIO_NACK = 76,
  BLOCK_USER_REQUEST = 79,
  CHANGE_VISIBILITY = 92
};

constexpr size_t kHeaderSize = 9;
constexpr size_t kMaxDatagram = 1500;
constexpr size_t kAudioFramesOffset = 18;

const char* TypeName(int type);

// Appends big-endian fields to a datagram.
class Writer {
 public:
  Writer() = default;
  explicit Writer(uint8_t type) : m_b(kHeaderSize, 0) { m_b[8] = type; }
  Writer& u8(uint32_t v) { m_b.push_back(static_cast<uint8_t>(v)); return *this; }
  Writer& u16(uint32_t v) { u8(v >> 8); return u8(v); }
  Writer& u32(uint32_t v) { u16(v >> 16); return u16(v & 0xFFFF); }
  Writer& bytes(const void* p, size_t n) {
    if (n == 0) return *this;
    size_t old = m_b.size();
    m_b.resize(old + n);
    std::memcpy(m_b.data() + old, p, n);
    return *this;
  }
  Writer& bytes(const std::string& s) { return bytes(s.data(), s.size()); }
  // Strings longer than the count can say are cut at the count's limit.
  Writer& str16(const std::string& s) {
    size_t n = s.size() > 0xFFFF ? 0xFFFF : s.size();
    u16(static_cast<uint32_t>(n));
    return bytes(s.data(), n);
  }
  Writer& str8(const std::string& s) {
    size_t n = s.size() > 0xFF ? 0xFF : s.size();
    u8(static_cast<uint32_t>(n));
    return bytes(s.data(), n);
  }
  std::vector<uint8_t>& buf() { return m_b; }

 private:
  std::vector<uint8_t> m_b;
};

// Reads big-endian fields; any read past the end marks the reader failed and yields zeros.
class Reader {
 public:
  Reader(const uint8_t* p, size_t n, size_t pos = 0) : m_p(p), m_n(n), m_pos(pos > n ? n : pos), m_ok(pos <= n) {}
  bool ok() const { return m_ok; }
  size_t pos() const { return m_pos; }
  size_t left() const { return m_n - m_pos; }
  uint32_t u8() { return need(1) ? m_p[m_pos++] : 0; }
  uint32_t u16() {
    if (!need(2)) return 0;
    uint32_t v = (uint32_t(m_p[m_pos]) << 8) | m_p[m_pos + 1];
    m_pos += 2;
    return v;
  }
  uint32_t u32() {
    uint32_t hi = u16();
    return (hi << 16) | u16();
  }
  std::string bytes(size_t n) {
    if (!need(n)) return {};
    std::string s(reinterpret_cast<const char*>(m_p + m_pos), n);
    m_pos += n;
    return s;
  }
  const uint8_t* raw(size_t n) {
    if (!need(n)) return nullptr;
    const uint8_t* r = m_p + m_pos;
    m_pos += n;
    return r;
  }
  std::string str16() { return bytes(u16()); }
  std::string str8() { return bytes(u8()); }
  void skip(size_t n) { need(n) ? (void)(m_pos += n) : (void)0; }

 private:
  bool need(size_t n) {
    if (!m_ok || n > m_n - m_pos) {
      m_ok = false;
      return false;
    }
    return true;
  }
  const uint8_t* m_p;
  size_t m_n;
  size_t m_pos;
  bool m_ok;
};

struct Header {
  uint32_t seq;
  uint32_t session;
  uint8_t type;
};
bool ReadHeader(const uint8_t* p, size_t n, Header* h);
void WriteHeader(std::vector<uint8_t>& d, uint32_t seq, uint32_t session);

// Credential masking of the sign-in request; false when the masked text would exceed 1024 bytes.
bool MaskCredential(const std::string& text, uint32_t key, std::string* out);
// Inverse of the masking (used by tests); false on a malformed text.
bool UnmaskCredential(const std::string& masked, uint32_t key, std::string* out);

// Client requests (payload after the header; the header is filled by the send pump).
struct OutRecipient {
  uint8_t kind;
  uint32_t id;
  std::string address;  // for address recipients
  bool addressOnly;
};
struct OutAttachment {
  bool present = false;
  uint8_t kind = 0;
  std::string mime;
  std::string urlOrItem;
};
std::vector<uint8_t> BuildConnectRequest(uint8_t language, const std::string& maskedUser, const std::string& maskedPass,
                                         const std::string& clientText, uint8_t visibility);
std::vector<uint8_t> BuildKeepAlive();
std::vector<uint8_t> BuildDisconnect();
std::vector<uint8_t> BuildChangeVisibility(uint8_t visibility);
std::vector<uint8_t> BuildAllBuddyListReq(uint8_t mode, uint8_t list);
struct AddBuddyEntry {
  uint32_t id;
  std::string nameOrAddress;
  std::string group;
};
std::vector<uint8_t> BuildAddBuddy(uint8_t mode, const std::vector<AddBuddyEntry>& entries);
std::vector<uint8_t> BuildUnblock(uint8_t mode, const std::vector<uint32_t>& ids);
std::vector<uint8_t> BuildAddGroup(uint8_t mode, const std::string& group);
std::vector<uint8_t> BuildDeleteGroup(uint8_t mode, const std::string& group);
std::vector<uint8_t> BuildRenameGroup(uint8_t mode, const std::string& oldName, const std::string& newName);
std::vector<uint8_t> BuildDeleteBuddy(uint8_t mode, uint32_t id);
std::vector<uint8_t> BuildRenameBuddy(uint8_t mode, uint32_t id, const std::string& name);
std::vector<uint8_t> BuildMoveToGroup(uint8_t mode, const std::string& target,
                                      const std::vector<std::pair<uint32_t, std::string>>& members);
std::vector<uint8_t> BuildBlockUsers(const std::vector<uint32_t>& ids);
std::vector<uint8_t> BuildSafReq(uint32_t author, const std::string& item);
// SEND_TEXT_2 (withKinds) or CLIENT_START_AUDIO (without the recipients' kind bytes).
std::vector<uint8_t> BuildMessage(uint8_t type, uint16_t msgNumber, const std::string& tag,
                                  const std::vector<OutRecipient>& recipients, const std::string& subject,
                                  const std::string& text, const OutAttachment& attachment);
std::vector<uint8_t> BuildAudio(uint16_t msg, uint32_t author, const uint8_t* frames, size_t len, uint8_t codec);
std::vector<uint8_t> BuildEndAudio(uint16_t msg, uint32_t author, uint16_t lastSeq);
std::vector<uint8_t> BuildAudioDone(uint16_t msg, uint32_t author);
std::vector<uint8_t> BuildAudioNack(uint16_t msg, uint32_t author, const std::vector<uint32_t>& seqs);
std::vector<uint8_t> BuildAck(uint32_t seq, uint32_t session);

// Server datagrams, decoded with every length checked against the datagram.
struct ConnectResponse {
  uint8_t result;
  uint8_t keepAlive;
  std::string text;
  std::string address;
  uint16_t port;
};
bool DecodeConnectResponse(const uint8_t* p, size_t n, ConnectResponse* out);

struct ServerError {
  uint8_t flag;
  std::string text;
};
bool DecodeServerError(const uint8_t* p, size_t n, ServerError* out);

struct InRecipient {
  uint8_t kind;
  uint32_t id;
  std::string address;
};
struct InMessage {
  uint16_t msg = 0;
  std::string tag;
  uint32_t author = 0;
  std::string authorName;
  std::vector<InRecipient> recipients;
  std::string subject;
  std::string text;
  uint8_t time[7] = {};
  std::vector<InRecipient> addressRecipients;  // RECEIVED_TEXT only
  bool hasAttachment = false;
  uint8_t attachKind = 0;
  std::string mime;
  std::string urlOrItem;
};
bool DecodeReceivedText(const uint8_t* p, size_t n, InMessage* out);
bool DecodeServerStartAudio(const uint8_t* p, size_t n, InMessage* out);

struct AudioPacket {
  uint16_t msg;
  uint32_t author;
  uint8_t codec;
  const uint8_t* frames;
  size_t frameLen;
};
bool DecodeAudio(const uint8_t* p, size_t n, AudioPacket* out);

struct AudioControl {
  uint16_t msg;
  uint32_t author;
  uint16_t lastSeq;            // END_AUDIO
  std::vector<uint32_t> seqs;  // AUDIO_NACK
};
bool DecodeEndAudio(const uint8_t* p, size_t n, AudioControl* out);
bool DecodeAudioDoneOrTerminate(const uint8_t* p, size_t n, AudioControl* out);
bool DecodeAudioNack(const uint8_t* p, size_t n, AudioControl* out);

struct PresenceEntry {
  uint8_t presence;  // the whole wire byte
  uint32_t id;
};
bool DecodePresenceStatus(const uint8_t* p, size_t n, PresenceEntry* out);

struct Fragment {
  uint16_t batch;
  uint8_t index;
  uint8_t count;
  const uint8_t* bytes;
  size_t len;
};
bool DecodeFragment(const uint8_t* p, size_t n, Fragment* out);

struct BuddyMember {
  uint8_t presence;
  uint32_t id;
  std::string name;
  std::string address;
};
struct BuddyGroup {
  std::string name;
  std::vector<BuddyMember> members;
};
struct BuddyList {
  uint8_t list;
  std::vector<BuddyGroup> groups;
};
bool DecodeBuddyListBody(const uint8_t* p, size_t n, BuddyList* out);

struct PresenceList {
  uint8_t list;
  std::vector<PresenceEntry> entries;
};
bool DecodePresenceListBody(const uint8_t* p, size_t n, PresenceList* out);

// Checks a received datagram of any server type; false when a length or count points past the end.
bool ValidateServerDatagram(const uint8_t* p, size_t n);

}  // namespace pellico
