// Settings store of the messaging library: option values kept in memory and one file per option.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "pellico/engine.h"

using namespace pellico;

namespace {
enum Kind { INT, BOOL, STRING };
struct Option {
  int id;
  const char* name;
  Kind kind;
  int defInt;
  const char* defText;
};
// Defaults for the servers point at the local test services.
const Option kOptions[] = {
    {0, "AutoConnect", INT, 0, nullptr},      {1, "IdleTimeout", INT, 0, nullptr},
    {2, "AutoPlay", BOOL, 1, nullptr},        {3, "AudioDelivery", BOOL, 1, nullptr},
    {4, "AlertMode", INT, 0, nullptr},        {5, "Username", STRING, 0, ""},
    {6, "Password", STRING, 0, ""},           {7, "Language", INT, 1, nullptr},
    {8, "ServerIp", STRING, 0, "127.0.0.1"},  {9, "Port", INT, 9999, nullptr},
    {10, "showBlocked", BOOL, 1, nullptr},    {11, "ServerPicureIp", STRING, 0, "127.0.0.1"},
    {12, "PicturePort", INT, 7777, nullptr},  {13, "SavePassword", BOOL, 1, nullptr},
    {14, "ConnectOptions", STRING, 0, ""},    {1000, "MessageId", INT, 0, nullptr},
    {1001, "Version", INT, 1, nullptr},       {1002, "GroupMode", BOOL, 1, nullptr},
    {1003, "SortMode", BOOL, 1, nullptr},     {1004, "ThreadCounter", INT, 0, nullptr},
};
constexpr int kCurrentVersion = 1;

const Option* Find(int id) {
  for (const auto& o : kOptions)
    if (o.id == id) return &o;
  return nullptr;
}

bool SettableString(int id) { return id == 5 || id == 6 || id == 8 || id == 11 || id == 14; }
bool SettableInt(int id) {
  switch (id) {
    case 0: case 1: case 2: case 3: case 4: case 7: case 9: case 10: case 12: case 13:
    case 1000: case 1002: case 1003: case 1004:
      return true;
    default:
      return false;
  }
}

Utf8_t* MakeUtf8(const char* p, size_t n) {
  Utf8_t* u = CKxCore::Utf8NewM();
  if (!u || n == 0) return u;
  u->len = static_cast<uint16_t>(n > 0xFFFF ? 0xFFFF : n);
  CKxCore::Utf8AllocDataM(u);
  if (!u->data) {
    u->len = 0;
    return u;
  }
  memcpy(u->data, p, u->len);
  return u;
}

// A name used as a file name must stay inside the config folder.
bool SafeName(const char* name) {
  if (!name || !*name) return false;
  if (strchr(name, '/') || strchr(name, '\\')) return false;
  return strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}
}  // namespace

struct CKxCoreSettings::Values {
  std::map<int, int> ints;
  std::map<int, Utf8_t*> strings;
  Utf8_t* lastReturned = nullptr;

  ~Values() {
    for (auto& s : strings) CKxCore::Utf8Free(s.second);
    CKxCore::Utf8Free(lastReturned);
  }
};

void* CKxCoreSettings::operator new(size_t size) {
  void* p = calloc(1, size);
  if (!p) throw std::bad_alloc();
  return p;
}
void* CKxCoreSettings::operator new[](size_t size) {
  void* p = calloc(1, size);
  if (!p) throw std::bad_alloc();
  return p;
}
void CKxCoreSettings::operator delete(void* p) { free(p); }
void CKxCoreSettings::operator delete[](void* p) { free(p); }

CKxCoreSettings::CKxCoreSettings(CKxCore* core, CKxEngine* engine)
    : m_values(new Values), m_core(core), m_engine(engine) {
  LoadSettings();
}

CKxCoreSettings::~CKxCoreSettings() { delete m_values; }

static std::string OptionPath(CKxEngine* e, const char* name) { return e->PathIn("config", name); }

static bool ReadOptionFile(CKxEngine* e, const char* name, std::string* out) {
  std::vector<uint8_t> b;
  if (!SafeName(name) || !e->Platform().ReadFile(OptionPath(e, name), b, 70000)) return false;
  Reader r(b.data(), b.size());
  *out = r.str16();
  return r.ok();
}

static void WriteOptionFile(CKxEngine* e, const char* name, const std::string& value) {
  if (!SafeName(name)) return;
  Writer w;
  w.str16(value);
  std::string path = OptionPath(e, name);
  const bool secret = strcasecmp(name, "Password") == 0;
  // The counters change with every message: rewritten whole, but not synced to the disk each time, and
  // in a tick once at its end.
  if (strcasecmp(name, "MessageId") == 0 || strcasecmp(name, "ThreadCounter") == 0) {
    if (e->HoldsOptionWrites()) {
      e->HoldOptionWrite(path, std::move(w.buf()));
      return;
    }
    std::vector<KxPlatform::FileWrite> files(1);
    files[0].path = path;
    files[0].bytes = std::move(w.buf());
    e->Platform().WriteFiles(files, false);
    if (!files[0].ok) e->Log("ERROR writing file %s %d", path.c_str(), files[0].error);
    return;
  }
  if (!e->Platform().WriteFile(path, w.buf(), secret)) e->Log("ERROR writing file %s %d", path.c_str(), errno);
}

void CKxCoreSettings::LoadSettings() {
  std::string v;
  if (!ReadOptionFile(m_engine, "Version", &v) || atoi(v.c_str()) != kCurrentVersion) {
    m_engine->Log("VERSION SETTING DIFFERENT");
    for (const auto& o : kOptions)
      if (o.id <= 12 || o.id == 14) m_engine->Platform().Remove(OptionPath(m_engine, o.name));
    WriteOptionFile(m_engine, "Version", std::to_string(kCurrentVersion));
  }
  for (const auto& o : kOptions) {
    bool stored = ReadOptionFile(m_engine, o.name, &v);
    if (o.kind == STRING) {
      CKxCore::Utf8Free(m_values->strings[o.id]);
      m_values->strings[o.id] = stored ? MakeUtf8(v.data(), v.size()) : MakeUtf8(o.defText, strlen(o.defText));
    } else if (stored) {
      m_values->ints[o.id] = atoi(v.c_str());
    } else if (o.id == KX_OPT_MESSAGE_ID) {
      m_values->ints[o.id] = (m_engine->Platform().Rand() % 32766) + 1;
    } else {
      m_values->ints[o.id] = o.defInt;
    }
  }
  m_values->ints[KX_OPT_VERSION] = kCurrentVersion;
}

void CKxCoreSettings::SetSettingsString(int id, Utf8_t* value) {
  if (!SettableString(id)) {
    m_engine->Log("MERVANE: Unknown string option %d", id);
    return;
  }
  Utf8_t* copy = value ? CKxCore::Utf8CopyM(value) : CKxCore::Utf8NewM();
  CKxCore::Utf8Free(m_values->strings[id]);
  m_values->strings[id] = copy;
  if (id == KX_OPT_PASSWORD && !GetSettingsBoolean(KX_OPT_SAVE_PASSWORD)) return;
  std::string text = copy && copy->data ? std::string(copy->data, copy->len) : std::string();
  WriteOptionFile(m_engine, Find(id)->name, text);
}

void CKxCoreSettings::SetSettingsString_Free(int id, Utf8_t* value) {
  SetSettingsString(id, value);
  CKxCore::Utf8Free(value);
}

void CKxCoreSettings::SetSettingsInt(int id, int value) {
  if (!SettableInt(id)) {
    m_engine->Log("SET: Unknown int option %d", id);
    return;
  }
  m_values->ints[id] = value;
  WriteOptionFile(m_engine, Find(id)->name, std::to_string(value));
  if (id == KX_OPT_SAVE_PASSWORD && value == 0) m_engine->Platform().Remove(OptionPath(m_engine, "Password"));
}

void CKxCoreSettings::SetSettingsBoolean(int id, unsigned char value) { SetSettingsInt(id, value); }

Utf8_t* CKxCoreSettings::GetSettingsString(int id) {
  CKxCore::Utf8Free(m_values->lastReturned);
  m_values->lastReturned = GetSettingsStringM(id);
  return m_values->lastReturned;
}

Utf8_t* CKxCoreSettings::GetSettingsStringM(int id) {
  auto it = m_values->strings.find(id);
  if (it == m_values->strings.end()) {
    m_engine->Log("MERVANE: Unknown string option %d", id);
    return nullptr;
  }
  return it->second ? CKxCore::Utf8CopyM(it->second) : CKxCore::Utf8NewM();
}

int CKxCoreSettings::GetSettingsInt(int id) {
  if (!SettableInt(id)) {
    m_engine->Log("GET: Unknown int option %d", id);
    return 0;
  }
  return m_values->ints[id];
}

unsigned char CKxCoreSettings::GetSettingsBoolean(int id) { return GetSettingsInt(id) != 0; }

const char* CKxCoreSettings::GetOptionName(int id) {
  const Option* o = Find(id);
  return o ? o->name : "Unknown option";
}

void CKxCoreSettings::SetSettingsString(const char* name, Utf8_t* value) {
  WriteOptionFile(m_engine, name, value && value->data ? std::string(value->data, value->len) : std::string());
}

void CKxCoreSettings::SetSettingsInt(const char* name, int value) {
  WriteOptionFile(m_engine, name, std::to_string(value));
}

void CKxCoreSettings::SetSettingsBoolean(const char* name, unsigned char value) { SetSettingsInt(name, value); }

int CKxCoreSettings::GetSettingsInt(const char* name) {
  std::string v;
  if (!ReadOptionFile(m_engine, name, &v)) return 0;
  if (v.size() > 255) v.resize(255);
  return atoi(v.c_str());
}

unsigned char CKxCoreSettings::GetSettingsBoolean(const char* name) { return GetSettingsInt(name) != 0; }

Utf8_t* CKxCoreSettings::GetSettingsStringM(const char* name) {
  std::string v;
  if (!ReadOptionFile(m_engine, name, &v)) return nullptr;
  return MakeUtf8(v.data(), v.size());
}

unsigned char CKxCoreSettings::SettingsExists(const char* name) {
  return SafeName(name) && m_engine->Platform().Exists(OptionPath(m_engine, name));
}
