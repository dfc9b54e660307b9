// Datagram format of the messaging protocol: encoders of client requests and checked decoders of server datagrams.
#include "pellico/wire.h"

namespace pellico {

const char* TypeName(int type) {
  switch (type) {
    case CONNECT_REQUEST: return "CONNECT_REQUEST";
    case CONNECT_RESPONSE: return "CONNECT_RESPONSE";
    case SERVER_ERROR: return "SERVER_ERROR";
    case KEEP_ALIVE: return "KEEP_ALIVE";
    case RECEIVED_TEXT: return "RECEIVED_TEXT";
    case KX_ACK: return "KX_ACK";
    case DISCONNECT: return "DISCONNECT";
    case CLIENT_START_AUDIO: return "CLIENT_START_AUDIO";
    case SERVER_START_AUDIO: return "SERVER_START_AUDIO";
    case END_AUDIO: return "END_AUDIO";
    case AUDIO: return "AUDIO";
    case PRESENCE_STATUS: return "PRESENCE_STATUS";
    case ALL_BUDDY_LIST_REQ: return "ALL_BUDDY_LIST_REQ";
    case ALL_BUDDY_LIST_RESP: return "ALL_BUDDY_LIST_RESP";
    case ADD_BUDDY_REQ: return "ADD_BUDDY_REQ";
    case ADD_GROUP_REQ: return "ADD_GROUP_REQ";
    case DELETE_BUDDIES_REQ: return "DELETE_BUDDIES_REQ";
    case DELETE_GROUP_REQ: return "DELETE_GROUP_REQ";
    case MOVE_TO_GROUP_REQ: return "MOVE_TO_GROUP_REQ";
    case RENAME_BUDDIES_REQ: return "RENAME_BUDDIES_REQ";
    case SEND_TEXT_2: return "SEND_TEXT_2";
    case SAF_REQ: return "SAF_REQ";
    case ALL_BUDDY_PRESENCE: return "ALL_BUDDY_PRESENCE";
    case NO_ACK_KEEP_ALIVE: return "NO_ACK_KEEP_ALIVE";
    case RENAME_GROUP_REQ: return "RENAME_GROUP_REQ";
    case AUDIO_DONE: return "AUDIO_DONE";
    case AUDIO_TERMINATE: return "AUDIO_TERMINATE";
    case AUDIO_NACK: return "AUDIO_NACK";
    case BLOCK_USER_REQUEST: return "BLOCK_USER_REQUEST";
    case CHANGE_VISIBILITY: return "CHANGE_VISIBILITY";
    default: return "UNKNOWN";
  }
}

bool ReadHeader(const uint8_t* p, size_t n, Header* h) {
  Reader r(p, n);
  h->seq = r.u32();
  h->session = r.u32();
  h->type = static_cast<uint8_t>(r.u8());
  return r.ok();
}

void WriteHeader(std::vector<uint8_t>& d, uint32_t seq, uint32_t session) {
  if (d.size() < kHeaderSize) d.resize(kHeaderSize, 0);
  for (int i = 0; i < 4; ++i) {
    d[i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
    d[4 + i] = static_cast<uint8_t>(session >> (24 - 8 * i));
  }
}

bool MaskCredential(const std::string& text, uint32_t key, std::string* out) {
  const uint8_t k[4] = {static_cast<uint8_t>(key >> 24), static_cast<uint8_t>(key >> 16),
                        static_cast<uint8_t>(key >> 8), static_cast<uint8_t>(key)};
  std::string x;
  x.reserve(text.size() + 4);
  for (size_t i = 0; i < text.size(); ++i) x.push_back(static_cast<char>(static_cast<uint8_t>(text[i]) ^ k[i % 4]));
  unsigned n = k[3] % 5u;
  for (unsigned i = 0; i < n; ++i) x.push_back(static_cast<char>(k[i]));
  std::string r;
  r.reserve(x.size() * 2);
  for (char c : x) {
    uint8_t b = static_cast<uint8_t>(c);
    if (b >= 0x80) {
      r.push_back(static_cast<char>(0xC0 | (b >> 6)));
      r.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    } else {
      r.push_back(static_cast<char>(b));
    }
    if (r.size() > 1024) return false;
  }
  *out = std::move(r);
  return true;
}

bool UnmaskCredential(const std::string& masked, uint32_t key, std::string* out) {
  const uint8_t k[4] = {static_cast<uint8_t>(key >> 24), static_cast<uint8_t>(key >> 16),
                        static_cast<uint8_t>(key >> 8), static_cast<uint8_t>(key)};
  std::string x;
  for (size_t i = 0; i < masked.size(); ++i) {
    uint8_t b = static_cast<uint8_t>(masked[i]);
    if (b < 0x80) {
      x.push_back(static_cast<char>(b));
    } else if ((b & 0xFC) == 0xC0) {
      if (i + 1 >= masked.size()) return false;
      uint8_t c = static_cast<uint8_t>(masked[++i]);
      if ((c & 0xC0) != 0x80) return false;
      x.push_back(static_cast<char>(((b & 0x03) << 6) | (c & 0x3F)));
    } else {
      return false;
    }
  }
  unsigned n = k[3] % 5u;
  if (x.size() < n) return false;
  x.resize(x.size() - n);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<char>(static_cast<uint8_t>(x[i]) ^ k[i % 4]);
  *out = std::move(x);
  return true;
}

std::vector<uint8_t> BuildConnectRequest(uint8_t language, const std::string& maskedUser, const std::string& maskedPass,
                                         const std::string& clientText, uint8_t visibility) {
  Writer w(CONNECT_REQUEST);
  w.u8(4).u8(language).str16(maskedUser).str16(maskedPass).str16(clientText).u8(visibility);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildKeepAlive() {
  Writer w(KEEP_ALIVE);
  w.u32(0).u32(0);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildDisconnect() {
  Writer w(DISCONNECT);
  w.u8(0);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildChangeVisibility(uint8_t visibility) {
  Writer w(CHANGE_VISIBILITY);
  w.u8(visibility);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildAllBuddyListReq(uint8_t mode, uint8_t list) {
  Writer w(ALL_BUDDY_LIST_REQ);
  w.u8(mode).u32(0).u8(list);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildAddBuddy(uint8_t mode, const std::vector<AddBuddyEntry>& entries) {
  Writer w(ADD_BUDDY_REQ);
  w.u8(mode).u8(static_cast<uint32_t>(entries.size() > 255 ? 255 : entries.size()));
  for (size_t i = 0; i < entries.size() && i < 255; ++i)
    w.u32(entries[i].id).str16(entries[i].nameOrAddress).str16(entries[i].group).str16("").u8(0);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildUnblock(uint8_t mode, const std::vector<uint32_t>& ids) {
  Writer w(ADD_BUDDY_REQ);
  size_t n = ids.size() > 255 ? 255 : ids.size();
  w.u8(mode).u8(static_cast<uint32_t>(n));
  for (size_t i = 0; i < n; ++i) w.u32(ids[i]);
  w.str16("").str16("").str16("").u8(0);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildAddGroup(uint8_t mode, const std::string& group) {
  Writer w(ADD_GROUP_REQ);
  w.u8(mode).str16(group).u8(0);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildDeleteGroup(uint8_t mode, const std::string& group) {
  Writer w(DELETE_GROUP_REQ);
  w.u8(mode).u8(1).str16(group).u8(0);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildRenameGroup(uint8_t mode, const std::string& oldName, const std::string& newName) {
  Writer w(RENAME_GROUP_REQ);
  w.u8(mode).str16(oldName).str16(newName).u8(0);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildDeleteBuddy(uint8_t mode, uint32_t id) {
  Writer w(DELETE_BUDDIES_REQ);
  w.u8(mode).u8(1).u32(id);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildRenameBuddy(uint8_t mode, uint32_t id, const std::string& name) {
  Writer w(RENAME_BUDDIES_REQ);
  w.u8(mode).u32(id).str16(name);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildMoveToGroup(uint8_t mode, const std::string& target,
                                      const std::vector<std::pair<uint32_t, std::string>>& members) {
  Writer w(MOVE_TO_GROUP_REQ);
  size_t n = members.size() > 255 ? 255 : members.size();
  w.u8(mode).str16(target).u8(0).u8(static_cast<uint32_t>(n));
  for (size_t i = 0; i < n; ++i) w.u32(members[i].first).str16(members[i].second).u8(0);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildBlockUsers(const std::vector<uint32_t>& ids) {
  Writer w(BLOCK_USER_REQUEST);
  size_t n = ids.size() > 255 ? 255 : ids.size();
  w.u8(static_cast<uint32_t>(n));
  for (size_t i = 0; i < n; ++i) w.u32(ids[i]);
  w.u8(0);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildSafReq(uint32_t author, const std::string& item) {
  Writer w(SAF_REQ);
  w.u32(author).str16(item);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildMessage(uint8_t type, uint16_t msgNumber, const std::string& tag,
                                  const std::vector<OutRecipient>& recipients, const std::string& subject,
                                  const std::string& text, const OutAttachment& attachment) {
  const bool kinds = type == SEND_TEXT_2;
  Writer w(type);
  w.u16(msgNumber).str16(tag);
  std::vector<const OutRecipient*> subs, addrs;
  for (const auto& r : recipients) (r.addressOnly ? addrs : subs).push_back(&r);
  if (subs.size() > 255) subs.resize(255);
  if (addrs.size() > 255) addrs.resize(255);
  w.u8(static_cast<uint32_t>(subs.size()));
  for (const auto* r : subs) {
    if (kinds) w.u8(r->kind);
    w.u32(r->id);
  }
  w.u8(static_cast<uint32_t>(addrs.size()));
  for (const auto* r : addrs) {
    if (kinds) w.u8(r->kind);
    // The count covers itself, the "eml:" prefix and the address.
    std::string a = r->address.compare(0, 4, "eml:") == 0 ? r->address.substr(4) : r->address;
    if (a.size() > 0xFFFF - 6) a.resize(0xFFFF - 6);
    w.u16(static_cast<uint32_t>(a.size() + 6)).bytes("eml:", 4).bytes(a);
  }
  w.str16(subject).str16(text);
  if (attachment.present && (attachment.kind == 0 || attachment.kind == 2)) {
    w.u8(1).u8(attachment.kind);
    if (attachment.kind == 0) w.str8(attachment.mime);
    w.str16(attachment.urlOrItem);
  } else {
    w.u8(0);
  }
  return std::move(w.buf());
}

std::vector<uint8_t> BuildAudio(uint16_t msg, uint32_t author, const uint8_t* frames, size_t len, uint8_t codec) {
  Writer w(AUDIO);
  w.u16(msg).u32(author).u16(static_cast<uint32_t>(len + 1)).u8(codec).bytes(frames, len);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildEndAudio(uint16_t msg, uint32_t author, uint16_t lastSeq) {
  Writer w(END_AUDIO);
  w.u16(msg).u32(author).u16(lastSeq);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildAudioDone(uint16_t msg, uint32_t author) {
  Writer w(AUDIO_DONE);
  w.u16(msg).u32(author);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildAudioNack(uint16_t msg, uint32_t author, const std::vector<uint32_t>& seqs) {
  Writer w(AUDIO_NACK);
  w.u16(msg).u32(author).u16(static_cast<uint32_t>(seqs.size()));
  for (uint32_t s : seqs) w.u32(s);
  return std::move(w.buf());
}

std::vector<uint8_t> BuildAck(uint32_t seq, uint32_t session) {
  Writer w(KX_ACK);
  WriteHeader(w.buf(), seq, session);
  return std::move(w.buf());
}

bool DecodeConnectResponse(const uint8_t* p, size_t n, ConnectResponse* out) {
  Reader r(p, n, kHeaderSize);
  out->result = static_cast<uint8_t>(r.u8());
  r.skip(1);
  out->keepAlive = static_cast<uint8_t>(r.u8());
  out->text = r.str16();
  if (!r.ok()) return false;
  out->address.clear();
  out->port = 0;
  // Refusals may end after the text; an accepted response carries the address and port.
  if (r.left() == 0 && out->result != 0) return true;
  out->address = r.str16();
  out->port = static_cast<uint16_t>(r.u16());
  return r.ok();
}

bool DecodeServerError(const uint8_t* p, size_t n, ServerError* out) {
  Reader r(p, n, kHeaderSize);
  out->flag = static_cast<uint8_t>(r.u8());
  out->text = r.str16();
  return r.ok();
}

static bool ReadAttachment(Reader& r, InMessage* out, bool kindTwoIsItem) {
  out->hasAttachment = r.u8() == 1;
  if (!out->hasAttachment) return r.ok();
  out->attachKind = static_cast<uint8_t>(r.u8());
  if (kindTwoIsItem && out->attachKind == 2) {
    out->urlOrItem = r.str16();
  } else {
    out->mime = r.str8();
    out->urlOrItem = r.str16();
  }
  return r.ok();
}

// The part RECEIVED_TEXT and SERVER_START_AUDIO share: number, tag, author, recipients (with their
// kinds only in a received text), subject, text and time.
static void ReadMessageHead(Reader& r, InMessage* out, bool recipientKinds) {
  out->msg = static_cast<uint16_t>(r.u16());
  out->tag = r.str16();
  out->author = r.u32();
  out->authorName = r.str16();
  uint32_t count = r.u8();
  for (uint32_t i = 0; i < count && r.ok(); ++i) {
    InRecipient ir;
    ir.kind = recipientKinds ? static_cast<uint8_t>(r.u8()) : 0;
    ir.id = r.u32();
    ir.address = r.str16();
    if (r.ok()) out->recipients.push_back(std::move(ir));
  }
  out->subject = r.str16();
  out->text = r.str16();
  const uint8_t* t = r.raw(7);
  if (t) std::copy(t, t + 7, out->time);
}

bool DecodeReceivedText(const uint8_t* p, size_t n, InMessage* out) {
  Reader r(p, n, kHeaderSize);
  ReadMessageHead(r, out, true);
  uint32_t m = r.u8();
  for (uint32_t i = 0; i < m && r.ok(); ++i) {
    InRecipient ir;
    ir.kind = static_cast<uint8_t>(r.u8());
    ir.id = 0x7FFFFFFF;
    ir.address = r.str16();
    if (r.ok()) out->addressRecipients.push_back(std::move(ir));
  }
  if (!r.ok()) return false;
  return ReadAttachment(r, out, true);
}

bool DecodeServerStartAudio(const uint8_t* p, size_t n, InMessage* out) {
  Reader r(p, n, kHeaderSize);
  ReadMessageHead(r, out, false);
  out->hasAttachment = r.u8() == 1;
  return r.ok();
}

bool DecodeAudio(const uint8_t* p, size_t n, AudioPacket* out) {
  Reader r(p, n, kHeaderSize);
  out->msg = static_cast<uint16_t>(r.u16());
  out->author = r.u32();
  uint32_t field = r.u16();
  out->codec = static_cast<uint8_t>(r.u8());
  if (!r.ok() || field == 0) return false;
  size_t avail = n - kAudioFramesOffset;
  if (field - 1 > avail) return false;
  out->frames = p + kAudioFramesOffset;
  out->frameLen = field - 1;
  return true;
}

bool DecodeEndAudio(const uint8_t* p, size_t n, AudioControl* out) {
  Reader r(p, n, kHeaderSize);
  out->msg = static_cast<uint16_t>(r.u16());
  out->author = r.u32();
  out->lastSeq = static_cast<uint16_t>(r.u16());
  return r.ok();
}

bool DecodeAudioDoneOrTerminate(const uint8_t* p, size_t n, AudioControl* out) {
  Reader r(p, n, kHeaderSize);
  out->msg = static_cast<uint16_t>(r.u16());
  out->author = r.u32();
  out->lastSeq = 0;
  return r.ok();
}

bool DecodeAudioNack(const uint8_t* p, size_t n, AudioControl* out) {
  Reader r(p, n, kHeaderSize);
  out->msg = static_cast<uint16_t>(r.u16());
  out->author = r.u32();
  uint32_t count = r.u16();
  if (!r.ok() || count * 4u > r.left()) return false;
  out->seqs.clear();
  for (uint32_t i = 0; i < count; ++i) out->seqs.push_back(r.u32());
  return r.ok();
}

bool DecodePresenceStatus(const uint8_t* p, size_t n, PresenceEntry* out) {
  Reader r(p, n, kHeaderSize);
  out->presence = static_cast<uint8_t>(r.u8());
  out->id = r.u32();
  return r.ok();
}

bool DecodeFragment(const uint8_t* p, size_t n, Fragment* out) {
  Reader r(p, n, kHeaderSize);
  out->batch = static_cast<uint16_t>(r.u16());
  out->index = static_cast<uint8_t>(r.u8());
  out->count = static_cast<uint8_t>(r.u8());
  if (!r.ok() || out->count == 0 || out->index == 0 || out->index > out->count) return false;
  out->bytes = p + r.pos();
  out->len = r.left();
  return true;
}

bool DecodeBuddyListBody(const uint8_t* p, size_t n, BuddyList* out) {
  Reader r(p, n);
  r.skip(4);
  out->list = static_cast<uint8_t>(r.u8());
  uint32_t groups = r.u16();
  out->groups.clear();
  for (uint32_t g = 0; g < groups && r.ok(); ++g) {
    BuddyGroup bg;
    bg.name = r.str16();
    r.skip(1);
    uint32_t members = r.u16();
    // Each member needs at least 9 bytes; a count beyond that cannot be real.
    if (!r.ok() || members * 9u > r.left()) return false;
    for (uint32_t m = 0; m < members && r.ok(); ++m) {
      BuddyMember bm;
      bm.presence = static_cast<uint8_t>(r.u8());
      bm.id = r.u32();
      bm.name = r.str16();
      bm.address = r.str16();
      if (r.ok()) bg.members.push_back(std::move(bm));
    }
    if (r.ok()) out->groups.push_back(std::move(bg));
  }
  return r.ok();
}

bool DecodePresenceListBody(const uint8_t* p, size_t n, PresenceList* out) {
  Reader r(p, n);
  out->list = static_cast<uint8_t>(r.u8());
  uint32_t count = r.u16();
  if (!r.ok() || count * 5u > r.left()) return false;
  out->entries.clear();
  for (uint32_t i = 0; i < count; ++i) {
    PresenceEntry e;
    e.presence = static_cast<uint8_t>(r.u8());
    e.id = r.u32();
    out->entries.push_back(e);
  }
  return r.ok();
}

namespace {
// Whether the datagram decodes as the record its type announces (the record itself is dropped).
template <typename T>
bool Decodes(bool (*decode)(const uint8_t*, size_t, T*), const uint8_t* p, size_t n) {
  T record;
  return decode(p, n, &record);
}
}  // namespace

bool ValidateServerDatagram(const uint8_t* p, size_t n) {
  Header h;
  if (!ReadHeader(p, n, &h)) return false;
  switch (h.type) {
    case CONNECT_RESPONSE: return Decodes(DecodeConnectResponse, p, n);
    case SERVER_ERROR: return Decodes(DecodeServerError, p, n);
    case RECEIVED_TEXT: return Decodes(DecodeReceivedText, p, n);
    case SERVER_START_AUDIO: return Decodes(DecodeServerStartAudio, p, n);
    case AUDIO: return Decodes(DecodeAudio, p, n);
    case END_AUDIO: return Decodes(DecodeEndAudio, p, n);
    case AUDIO_DONE:
    case AUDIO_TERMINATE: return Decodes(DecodeAudioDoneOrTerminate, p, n);
    case AUDIO_NACK: return Decodes(DecodeAudioNack, p, n);
    case PRESENCE_STATUS: return Decodes(DecodePresenceStatus, p, n);
    case ALL_BUDDY_LIST_RESP:
    case ALL_BUDDY_PRESENCE: return Decodes(DecodeFragment, p, n);
    default: return true;
  }
}

}  // namespace pellico
