// Local store of the messaging library: the contacts file, the message index and one file per message.
#include <cstring>

#include "pellico/engine.h"
#include "platform/fs.h"

using namespace pellico;

namespace {
constexpr uint32_t kContactsVersion = 3;
constexpr uint32_t kMessagesVersion = 6;

// UTF-16 records are stored as their bytes, little-endian units, as they lie in memory.
std::string WBytes(const WStr_t* w) {
  std::string b;
  if (!w || !w->data) return b;
  for (size_t i = 0; i < w->len / 2u; ++i) {
    b.push_back(static_cast<char>(w->data[i] & 0xFF));
    b.push_back(static_cast<char>(w->data[i] >> 8));
  }
  return b;
}

WStr_t* WFromBytes(const std::string& b) {
  WStr_t* w = CKxCore::WStrNewM();
  if (!w || b.size() < 2) return w;
  w->len = static_cast<uint16_t>(b.size() & ~size_t(1));
  CKxCore::WStrAllocDataM(w);
  if (!w->data) {
    w->len = 0;
    return w;
  }
  for (size_t i = 0; i < w->len / 2u; ++i)
    w->data[i] = static_cast<uint16_t>(static_cast<uint8_t>(b[2 * i]) | (static_cast<uint8_t>(b[2 * i + 1]) << 8));
  return w;
}
}  // namespace

void CKxEngine::LoadStore() {
  if (!m_platform->FilesOn()) return;
  LoadContacts();
  LoadMessages();
}

void CKxEngine::LoadContacts() {
  std::vector<uint8_t> b;
  std::string path = m_base + "/0_contacts.dat";
  if (!m_platform->ReadFile(path, b)) return;
  Reader r(b.data(), b.size());
  uint32_t version = r.u32();
  uint32_t count = r.u32();
  if (!r.ok()) {
    Log("Error reading file %d, %d", 0, static_cast<int>(b.size()));
    return;
  }
  if (version > kContactsVersion) {
    Log("Cant read newer version %d, our version %d", static_cast<int>(version), static_cast<int>(kContactsVersion));
    return;
  }
  FreeContacts();
  kx_contact* heading = nullptr;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t presence = r.u16();
    uint32_t id = r.u32();
    std::string name = r.str16();
    std::string address = r.str16();
    uint32_t group = version >= 2 ? r.u8() : 0;
    uint32_t blocked = version >= 3 ? r.u8() : 0;
    if (!r.ok()) {
      Log("Error reading file %d, %d", 0, static_cast<int>(i));
      break;
    }
    kx_contact* c = CKxCore::ContactNewM();
    if (!c) break;
    c->id = id;
    c->presence = (presence == 2 || presence == 3 || presence == 8 || presence == 258) ? presence : 0;
    c->name = MakeUtf8(name);
    c->address = MakeUtf8(address);
    c->isGroup = group ? 1 : 0;
    c->blocked = blocked ? 1 : 0;
    if (c->isGroup) heading = c;
    else c->group = heading;
    m_contacts.push_back(c);
  }
}

void CKxEngine::WriteContacts() {
  if (!m_platform->FilesOn()) return;
  Writer w;
  w.u32(kContactsVersion).u32(static_cast<uint32_t>(m_contacts.size()));
  for (kx_contact* c : m_contacts)
    w.u16(c->presence).u32(c->id).str16(Str(c->name)).str16(Str(c->address)).u8(c->isGroup).u8(c->blocked);
  std::string path = m_base + "/0_contacts.dat";
  if (!m_platform->WriteFile(path, w.buf())) Log("MV: Error opening: %s, errno:%d", path.c_str(), errno);
}

void CKxEngine::LoadMessages() {
  // Rewrites a kill cut short, and the "<file>.tmp" an earlier version's rewrites left.
  plat::RemoveStaleTempFiles(m_base + "/messages");
  for (const std::string& name : plat::ListDirectory(m_base + "/messages"))
    if (name.size() > 8 && name.compare(name.size() - 8, 8, ".dat.tmp") == 0) m_platform->Remove(PathIn("messages", name));
  std::vector<uint8_t> b;
  if (!m_platform->ReadFile(m_base + "/messages/index.dat", b)) return;
  Reader r(b.data(), b.size());
  uint32_t version = r.u32();
  if (!r.ok()) return;
  if (version > kMessagesVersion) {
    Log("Cant read newer message version %d, our version %d", static_cast<int>(version),
        static_cast<int>(kMessagesVersion));
    return;
  }
  FreeMessages();
  while (r.left() >= 4) {
    uint32_t id = r.u32();
    if (FindMessage(id)) continue;  // a repeated id in the index would share one file
    Message_t* m = ReadMessageFile(id, version);
    if (!m) continue;
    m->entryId = id;
    if (version < kMessagesVersion) m->dirty = 1;
    AppendMessage(m);
  }
}

Message_t* CKxEngine::ReadMessageFile(uint32_t entryId, uint32_t version) {
  std::vector<uint8_t> b;
  std::string path = PathIn("messages", Hex(entryId) + ".dat");
  if (!m_platform->ReadFile(path, b)) {
    Log("MERVANE ERROR: Could not oppen message file %s", path.c_str());
    return nullptr;
  }
  Reader r(b.data(), b.size());
  Message_t* m = CKxCore::MessageNewM();
  if (!m) return nullptr;
  m->state = static_cast<uint16_t>(r.u16());
  m->msgNumber = static_cast<uint16_t>(r.u16());
  m->tag = MakeUtf8(r.str16());
  m->authorId = r.u32();
  m->authorName = MakeUtf8(r.str16());
  if (version >= 4) m->subject = WFromBytes(r.str16());
  m->text = WFromBytes(r.str16());
  if (version >= 2) m->time = static_cast<int32_t>(r.u32());
  uint32_t count = r.u16();
  for (uint32_t i = 0; i < count && r.ok(); ++i) {
    uint32_t kind = r.u16();
    uint32_t id = r.u32();
    std::string address = r.str16();
    if (!r.ok()) break;
    kx_recipient* kr = CKxCore::RecipientNewM();
    if (!kr) break;
    kr->kind = kind;
    kr->id = static_cast<int32_t>(id);
    kr->address = MakeUtf8(address);
    CKxCore::MessageAddRecipient(m, kr);
  }
  if (version >= 5) {
    m->recipientIds = MakeUtf8(r.str16());
  } else {
    kx_recipient author{};
    author.id = static_cast<int32_t>(m->authorId);
    author.next = m->recipients;
    m->recipientIds = CKxCore::CreateRecipientIdM(&author, m->recipientCount + 1);
  }
  if (version >= 3 && r.u8() == 1) {
    uint8_t kind = static_cast<uint8_t>(r.u8());
    std::string mime = kind == KX_ATTACH_URL ? r.str16() : std::string();
    std::string url = r.str16();
    std::string name = (version >= 6 && kind != KX_ATTACH_SAF) ? r.str16() : std::string();
    if (r.ok()) {
      kx_attachment* a = kind == KX_ATTACH_SAF ? CKxCore::AttachmentSAFNewM(MakeUtf8(url))
                                               : CKxCore::AttachmentURLNewM(MakeUtf8(url), MakeUtf8(name), MakeUtf8(mime));
      if (a) a->kind = kind;
      m->attachment = a;
    }
  }
  if (!r.ok()) {
    Log("Error reading file %d, %d", static_cast<int>(entryId), static_cast<int>(r.pos()));
    CKxCore::MessageFree(m);
    return nullptr;
  }
  return m;
}

void CKxEngine::WriteMessages() {
  if (!m_platform->FilesOn()) {
    for (Message_t* m = m_head; m; m = m->next) m->dirty = 0;
    return;
  }
  Log("MV: Writing %d messages", m_count);
  // The index and every dirty message go as one batch: one sync for all of them, not one per file.
  std::vector<KxPlatform::FileWrite> files(1);
  std::vector<Message_t*> written;
  Writer idx;
  idx.u32(kMessagesVersion);
  for (Message_t* m = m_head; m; m = m->next) idx.u32(m->entryId);
  files[0].path = m_base + "/messages/index.dat";
  files[0].bytes = std::move(idx.buf());
  for (Message_t* m = m_head; m; m = m->next) {
    if (!m->dirty) continue;
    Writer w;
    w.u16(m->state).u16(m->msgNumber).str16(Str(m->tag)).u32(m->authorId).str16(Str(m->authorName));
    w.str16(WBytes(m->subject)).str16(WBytes(m->text)).u32(static_cast<uint32_t>(m->time));
    uint32_t count = 0;
    for (kx_recipient* r = m->recipients; r; r = r->next) ++count;
    w.u16(count);
    for (kx_recipient* r = m->recipients; r; r = r->next)
      w.u16(r->kind).u32(static_cast<uint32_t>(r->id)).str16(Str(r->address));
    w.str16(Str(m->recipientIds));
    if (m->attachment) {
      w.u8(1).u8(m->attachment->kind);
      if (m->attachment->kind == KX_ATTACH_URL) w.str16(Str(m->attachment->mimeType));
      w.str16(Str(m->attachment->url));
      if (m->attachment->kind != KX_ATTACH_SAF) w.str16(Str(m->attachment->fileName));
    } else {
      w.u8(0);
    }
    KxPlatform::FileWrite f;
    f.path = PathIn("messages", Hex(m->entryId) + ".dat");
    f.bytes = std::move(w.buf());
    files.push_back(std::move(f));
    written.push_back(m);
  }
  m_platform->WriteFiles(files);
  if (!files[0].ok) {
    Log("MV: Error opening: %s, errno:%d", files[0].path.c_str(), files[0].error);
    return;
  }
  for (size_t i = 1; i < files.size(); ++i) {
    Message_t* m = written[i - 1];
    Log("Write msg: %d, %x", m->state, m->entryId);
    if (files[i].ok) m->dirty = 0;
    else Log("MV: Error opening: %s, errno:%d", files[i].path.c_str(), files[i].error);
  }
}
