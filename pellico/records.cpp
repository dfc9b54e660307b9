// Record helpers of the library interface: strings, contacts, recipients, attachments and messages.
#include <cstdlib>
#include <cstring>
#include <string>

#include "pellico/kxplatform.h"
#include "pellico/pellico.h"

namespace {
template <typename T>
T* Zalloc() {
  return static_cast<T*>(calloc(1, sizeof(T)));
}

Utf8_t* Utf8FromBytes(const char* p, size_t n) {
  if (n == 0) return nullptr;
  if (n > 0xFFFF) n = 0xFFFF;
  Utf8_t* s = Zalloc<Utf8_t>();
  if (!s) return nullptr;
  s->len = static_cast<uint16_t>(n);
  CKxCore::Utf8AllocDataM(s);
  if (!s->data) {
    free(s);
    return nullptr;
  }
  memcpy(s->data, p, n);
  return s;
}

// Both text records hold `len` bytes in a zero-filled buffer with room for one more (terminating) unit.
template <typename T>
T* AllocRecordData(T* s) {
  if (!s) return nullptr;
  free(s->data);
  s->data = s->len ? static_cast<decltype(s->data)>(calloc(size_t(s->len) + sizeof *s->data, 1)) : nullptr;
  return s;
}

template <typename T>
void FreeRecord(T* s) {
  if (!s) return;
  free(s->data);
  free(s);
}

// A copy of a text record; a copy whose buffer cannot be had keeps length 0.
template <typename T>
T* CopyRecord(const T* s) {
  if (!s) return nullptr;
  T* c = Zalloc<T>();
  if (!c) return nullptr;
  c->len = s->len;
  AllocRecordData(c);
  if (c->len && c->data && s->data) memcpy(c->data, s->data, s->len);
  if (c->len && !c->data) c->len = 0;
  return c;
}
}  // namespace

std::string pellico::Str(const Utf8_t* s) { return s && s->data ? std::string(s->data, s->len) : std::string(); }

Utf8_t* pellico::MakeUtf8(const std::string& s) { return Utf8FromBytes(s.data(), s.size()); }

Utf8_t* CKxCore::Utf8NewM() { return Zalloc<Utf8_t>(); }
WStr_t* CKxCore::WStrNewM() { return Zalloc<WStr_t>(); }

Utf8_t* CKxCore::Utf8AllocDataM(Utf8_t* s) { return AllocRecordData(s); }
WStr_t* CKxCore::WStrAllocDataM(WStr_t* s) { return AllocRecordData(s); }
void CKxCore::Utf8Free(Utf8_t* s) { FreeRecord(s); }
void CKxCore::WStrFree(WStr_t* s) { FreeRecord(s); }
Utf8_t* CKxCore::Utf8CopyM(Utf8_t* s) { return CopyRecord(s); }
WStr_t* CKxCore::WStrCopyM(WStr_t* s) { return CopyRecord(s); }

Utf8_t* CKxCore::Utf8Create(const char* text) {
  if (!text || !*text) return nullptr;
  return Utf8FromBytes(text, strlen(text));
}

WStr_t* CKxCore::WStrCreate(const unsigned short* text) {
  if (!text || !*text) return nullptr;
  size_t n = 0;
  while (text[n]) ++n;
  if (n > 0x7FFF) n = 0x7FFF;
  WStr_t* w = WStrNewM();
  if (!w) return nullptr;
  w->len = static_cast<uint16_t>(2 * n);
  WStrAllocDataM(w);
  if (!w->data) {
    free(w);
    return nullptr;
  }
  memcpy(w->data, text, 2 * n);
  return w;
}

WStr_t* CKxCore::NewWStrFromUtf8(Utf8_t* s) {
  return pellico::KxPlatform::Utf8ToWStr(s);
}

Utf8_t* CKxCore::NewUtf8FromWStr(WStr_t* s) {
  return pellico::KxPlatform::WStrToUtf8(s);
}

Utf8_t* CKxCore::Utf8CreateFromWStr(const unsigned short* text) {
  WStr_t* w = WStrCreate(text);
  if (!w) return nullptr;
  Utf8_t* r = NewUtf8FromWStr(w);
  WStrFree(w);
  return r;
}

kx_contact* CKxCore::ContactNewM() { return Zalloc<kx_contact>(); }

void CKxCore::ContactFree(kx_contact* c) {
  if (!c) return;
  Utf8Free(c->address);
  Utf8Free(c->name);
  free(c);
}

kx_contact* CKxCore::ContactCopyM(kx_contact* c) {
  if (!c) return nullptr;
  kx_contact* n = ContactNewM();
  if (!n) return nullptr;
  *n = *c;
  n->address = Utf8CopyM(c->address);
  n->name = Utf8CopyM(c->name);
  return n;
}

kx_recipient* CKxCore::RecipientNewM() { return Zalloc<kx_recipient>(); }

void CKxCore::RecipientsFree(kx_recipient* list) {
  while (list) {
    kx_recipient* next = list->next;
    Utf8Free(list->address);
    free(list);
    list = next;
  }
}

kx_recipient* CKxCore::RecipientCopyM(kx_recipient* one) {
  if (!one) return nullptr;
  kx_recipient* r = RecipientNewM();
  if (!r) return nullptr;
  r->kind = one->kind;
  r->id = one->id;
  r->address = Utf8CopyM(one->address);
  return r;
}

kx_recipient* CKxCore::RecipientsCopyM(kx_recipient* list) {
  kx_recipient* head = nullptr;
  kx_recipient** tail = &head;
  for (; list; list = list->next) {
    kx_recipient* r = RecipientCopyM(list);
    if (!r) break;
    *tail = r;
    tail = &r->next;
  }
  return head;
}

unsigned char CKxCore::IsEmailRecipient(kx_recipient* r) {
  return r && r->address && r->address->data && r->address->len >= 4 && memcmp(r->address->data, "eml:", 4) == 0;
}

Utf8_t* CKxCore::CreateRecipientIdM(kx_recipient* list, int count) {
  std::string text;
  int64_t prev = 0;
  for (int i = 0; i < count; ++i) {
    int64_t best = -1;
    for (kx_recipient* r = list; r; r = r->next)
      if (r->id > prev && (best < 0 || r->id < best)) best = r->id;
    if (i) text += ",";
    if (best < 0) {
      text += "0";
    } else {
      text += std::to_string(best);
      prev = best;
    }
  }
  Utf8_t* u = Utf8NewM();
  if (!u || text.empty()) return u;
  u->len = static_cast<uint16_t>(text.size() > 0xFFFF ? 0xFFFF : text.size());
  Utf8AllocDataM(u);
  if (u->data) memcpy(u->data, text.data(), u->len);
  else u->len = 0;
  return u;
}

kx_attachment* CKxCore::AttachmentURLNewM(Utf8_t* url, Utf8_t* name, Utf8_t* mimeType) {
  kx_attachment* a = Zalloc<kx_attachment>();
  if (!a) {
    Utf8Free(url);
    Utf8Free(name);
    Utf8Free(mimeType);
    return nullptr;
  }
  a->kind = KX_ATTACH_URL;
  a->url = url;
  a->mimeType = mimeType;
  a->fileName = name;
  if (!name && url && url->data) {
    std::string u(url->data, url->len);
    std::string derived;
    size_t open = u.find('[');
    size_t close = open == std::string::npos ? std::string::npos : u.find("] ", open + 1);
    if (close != std::string::npos) {
      derived = u.substr(open + 1, close - open - 1);
    } else if (size_t item = u.find("item="); item != std::string::npos) {
      derived = u.substr(item + 5);
    } else if (size_t sep = u.find_last_of("\\/"); sep != std::string::npos) {
      derived = u.substr(sep + 1);
    }
    if (derived.size() > 99) derived.resize(99);
    if (!derived.empty()) a->fileName = Utf8FromBytes(derived.data(), derived.size());
  }
  return a;
}

kx_attachment* CKxCore::AttachmentSAFNewM(Utf8_t* id) {
  kx_attachment* a = Zalloc<kx_attachment>();
  if (!a) {
    Utf8Free(id);
    return nullptr;
  }
  a->kind = KX_ATTACH_SAF;
  a->url = id;
  return a;
}

kx_attachment* CKxCore::AttachmentCopyM(kx_attachment* a) {
  if (!a) return nullptr;
  kx_attachment* c = Zalloc<kx_attachment>();
  if (!c) return nullptr;
  c->kind = a->kind;
  c->url = Utf8CopyM(a->url);
  if (a->kind != KX_ATTACH_SAF) {
    c->mimeType = Utf8CopyM(a->mimeType);
    c->fileName = Utf8CopyM(a->fileName);
  }
  return c;
}

void CKxCore::AttachmentFree(kx_attachment* a) {
  if (!a) return;
  Utf8Free(a->mimeType);
  Utf8Free(a->url);
  Utf8Free(a->fileName);
  free(a);
}

Message_t* CKxCore::MessageNewM() { return Zalloc<Message_t>(); }

void CKxCore::MessageFree(Message_t* m) {
  if (!m) return;
  Utf8Free(m->tag);
  Utf8Free(m->authorName);
  RecipientsFree(m->recipients);
  Utf8Free(m->recipientIds);
  WStrFree(m->text);
  WStrFree(m->subject);
  AttachmentFree(m->attachment);
  free(m);
}

void CKxCore::MessageAddRecipient(Message_t* m, kx_recipient* list) {
  if (!m || !list) return;
  if (m->lastRecipient) {
    m->lastRecipient->next = list;
  } else {
    kx_recipient* t = m->recipients;
    while (t && t->next) t = t->next;
    if (t) t->next = list;
    else m->recipients = list;
  }
  for (kx_recipient* r = list; r; r = r->next) {
    ++m->recipientCount;
    m->lastRecipient = r;
  }
}

Message_t* CKxCore::MessageCopyM(Message_t* m) {
  if (!m) return nullptr;
  Message_t* c = MessageNewM();
  if (!c) return nullptr;
  *c = *m;
  c->tag = Utf8CopyM(m->tag);
  c->authorName = Utf8CopyM(m->authorName);
  c->recipients = RecipientsCopyM(m->recipients);
  c->lastRecipient = nullptr;
  for (kx_recipient* r = c->recipients; r; r = r->next) c->lastRecipient = r;
  c->recipientIds = Utf8CopyM(m->recipientIds);
  c->text = WStrCopyM(m->text);
  c->subject = WStrCopyM(m->subject);
  c->attachment = AttachmentCopyM(m->attachment);
  c->next = nullptr;
  return c;
}
