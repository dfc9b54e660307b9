// Exported classes of the messaging library: the host context, the notifier and the client core.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "pellico/engine.h"
#include "pellico/transfer.h"
#include "platform/fs.h"

using namespace pellico;

namespace {
void* Zero(size_t size) {
  void* p = calloc(1, size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

const char* ErrorText(int code) {
  switch (code) {
    case 1: return "No Session. Sign in first";
    case 2: return "Conatact already exists";
    case 3: return "Invalid format";
    case 4: return "Not recording";
    case 5: return "Already recording";
    case 6: return "No profile (username and or password)";
    case 7: return "Unknown entry";
    case 8: return "Busy";
    default: return "Unkonwn error";
  }
}
}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// CMervane

CMervane::CMervane() : m_core(nullptr) {}
CMervane::CMervane(const CMervane& other) : m_core(other.m_core) {}
CMervane& CMervane::operator=(const CMervane& other) {
  m_core = other.m_core;
  return *this;
}
CMervane::~CMervane() {}

void CMervane::Printf(const char* format, ...) {
  char text[8196];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  time_t now = time(nullptr);
  struct tm lt {};
  localtime_r(&now, &lt);
  char prefix[64];
  snprintf(prefix, sizeof prefix, "%02d/%02d %02d:%02d:%02d ", lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min,
           lt.tm_sec);
  if (!getenv("PELLICO_QUIET")) {
    fputs(prefix, stdout);
    fputs(text, stdout);
    fputs("\r\n", stdout);
  }
  std::string dir = m_core && m_core->Engine() ? std::string(m_core->GetMervanePath()) : std::string();
  if (m_core && m_core->Engine() && !m_core->Engine()->Platform().FilesOn()) return;
  std::string path = dir.empty() ? "mervane.log" : dir + "/mervane.log";
  if (m_core && m_core->Engine() && m_core->Engine()->AppendLog(path, std::string(prefix) + text + "\r\n")) return;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && st.st_size > 49999) {
    std::string old = dir.empty() ? "mervane2.log" : dir + "/mervane2.log";
    std::rename(path.c_str(), old.c_str());
  }
  FILE* f = plat::OpenRegularStream(path, "ab");
  if (!f) return;
  fputs(prefix, f);
  fputs(text, f);
  fputs("\r\n", f);
  fclose(f);
}

// ---------------------------------------------------------------------------------------------------------------
// CKxCoreNotifier

CKxCoreNotifier::CKxCoreNotifier() : m_context(nullptr) {}
CKxCoreNotifier::CKxCoreNotifier(CMervane* context) : m_context(context) {}
CKxCoreNotifier::CKxCoreNotifier(const CKxCoreNotifier& other) : m_context(other.m_context) {}
CKxCoreNotifier& CKxCoreNotifier::operator=(const CKxCoreNotifier& other) {
  m_context = other.m_context;
  return *this;
}
CKxCoreNotifier::~CKxCoreNotifier() {}
void CKxCoreNotifier::ConnectionStateNotify(EConnectionState_t) {}
void CKxCoreNotifier::ContactUpdateNotify(int, kx_contact*) {}
void CKxCoreNotifier::MessageUpdateNotify(Message_t*, unsigned char) {}
void CKxCoreNotifier::ServiceUpdateNotify(Utf8_t*) {}
void CKxCoreNotifier::OnTypingNotify(Message_t*) {}
void CKxCoreNotifier::OnDownloadComplete(unsigned char, Message_t*) {}
void CKxCoreNotifier::OnPercentDone(int, unsigned char) {}
void CKxCoreNotifier::OnUploadComplete(unsigned char, Utf8_t* response) { CKxCore::Utf8Free(response); }
void CKxCoreNotifier::AudioTestReceived(Message_t*, int, int) {}
void CKxCoreNotifier::SetContext(CMervane* context) { m_context = context; }
void* CKxCoreNotifier::operator new(size_t size) { return Zero(size); }
void* CKxCoreNotifier::operator new[](size_t size) { return Zero(size); }
void CKxCoreNotifier::operator delete(void* p) { free(p); }
void CKxCoreNotifier::operator delete[](void* p) { free(p); }

// ---------------------------------------------------------------------------------------------------------------
// CKxCore: life cycle

namespace {

// The core each live engine belongs to. A copy shares its original's engine and may outlive it, so
// ownership is looked up here rather than read from an engine that may be gone.
std::mutex g_ownersLock;
std::unordered_map<const CKxEngine*, const CKxCore*> g_owners;

bool Owns(const CKxCore* core, const CKxEngine* engine) {
  std::lock_guard<std::mutex> lock(g_ownersLock);
  auto it = g_owners.find(engine);
  return it != g_owners.end() && it->second == core;
}

void ReleaseOwned(CKxEngine*& engine, CKxCoreSettings*& settings) {
  {
    std::lock_guard<std::mutex> lock(g_ownersLock);
    g_owners.erase(engine);
  }
  engine->Log("**shutting down core**");
  if (engine->State() != KX_OFFLINE) {
    engine->QueueDisconnect();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  engine->AttachSettings(settings);
  delete engine;
  engine = nullptr;
  delete settings;
  settings = nullptr;
}

}  // namespace

void* CKxCore::operator new(size_t size) { return Zero(size); }
void* CKxCore::operator new[](size_t size) { return Zero(size); }
void CKxCore::operator delete(void* p) { free(p); }
void CKxCore::operator delete[](void* p) { free(p); }

CKxCore::CKxCore(CMervane* context, unsigned char useFiles) { Construct(context, useFiles != 0, nullptr); }
CKxCore::CKxCore(CMervane* context, const char* basePath) { Construct(context, true, basePath ? basePath : "."); }

void CKxCore::Construct(CMervane* context, bool useFiles, const char* basePath) {
  m_receiverTest = 0;
  m_receivedPackets = 0;
  std::string base = basePath ? std::string(basePath) + "/mervane" : std::string("./mervane");
  m_engine = new CKxEngine(context, this, useFiles, base);
  {
    std::lock_guard<std::mutex> lock(g_ownersLock);
    g_owners[m_engine] = this;
  }
  m_settings = new CKxCoreSettings(this, m_engine);
  m_engine->AttachSettings(m_settings);
  m_engine->LoadStore();
}

// Copies share the engine by design of the interface; only the original owns it.
CKxCore::CKxCore(const CKxCore& other)
    : m_receiverTest(other.m_receiverTest),
      m_receivedPackets(other.m_receivedPackets),
      m_engine(other.m_engine),
      m_settings(other.m_settings) {}

CKxCore& CKxCore::operator=(const CKxCore& other) {
  if (this == &other) return *this;
  // An original given another core's engine lets go of its own, as its destruction would.
  if (m_engine && m_engine != other.m_engine && Owns(this, m_engine)) ReleaseOwned(m_engine, m_settings);
  m_receiverTest = other.m_receiverTest;
  m_receivedPackets = other.m_receivedPackets;
  m_engine = other.m_engine;
  m_settings = other.m_settings;
  return *this;
}

CKxCore::~CKxCore() {
  if (!m_engine || !Owns(this, m_engine)) return;  // a shallow copy owns nothing
  ReleaseOwned(m_engine, m_settings);
}

EKxErrorCode_t CKxCore::Report(EKxErrorCode_t code) {
  if (code != KX_OK && m_engine) m_engine->Log("MERVANE Error %d(%s)", code, ErrorText(code));
  return code;
}

void CKxCore::SetNotifier(CKxCoreNotifier* notifier) { m_engine->SetNotifier(notifier); }
CKxCoreNotifier* CKxCore::GetNotifier() { return m_engine->Notifier(); }
CMervane* CKxCore::GetContext() { return m_engine->Context(); }
CKxCoreSettings* CKxCore::GetSettings() { return m_settings; }
CAudioManager* CKxCore::GetAudioManager() { return &m_engine->Audio(); }
const char* CKxCore::GetCoreVersion() { return "1.0.15"; }
const char* CKxCore::GetLastBuildDate() { return "03/21/2005"; }
const char* CKxCore::GetMervanePath() { return m_engine->BaseDir().c_str(); }
const char* CKxCore::GetDownloadPath() { return "download"; }
unsigned char CKxCore::GetEULA() { return 0; }
void CKxCore::SetEULA() {}

// ---------------------------------------------------------------------------------------------------------------
// Session

EKxErrorCode_t CKxCore::SignIn(ESetVisibility_t visibility) { return Report(m_engine->SignIn(visibility)); }
EKxErrorCode_t CKxCore::SignOut() {
  m_engine->SignOut();
  return KX_OK;
}
EKxErrorCode_t CKxCore::ChangeVisibility(ESetVisibility_t visibility) {
  if (!m_engine->SessionId()) return Report(KX_NO_SESSION);
  m_engine->ChangeVisibility(visibility);
  return KX_OK;
}
EConnectionState_t CKxCore::GetConnectionState() { return m_engine->State(); }
unsigned char CKxCore::IsConnected() {
  return m_engine->State() == KX_ONLINE || m_engine->State() == KX_BAD_CONN;
}
void CKxCore::TickCore() {
  m_engine->Tick();
  m_engine->Audio().Tick();
}
void CKxCore::ResetIdleTimeout() { m_engine->ResetIdle(); }
int CKxCore::GetNextTickDelay() { return m_engine->NextTickDelay(); }
int CKxCore::GetWaitDescriptor() { return m_engine->Platform().WaitDescriptor(); }

// ---------------------------------------------------------------------------------------------------------------
// Contacts and groups

int CKxCore::GetContactListCount() { return static_cast<int>(m_engine->Contacts().size()); }

EKxErrorCode_t CKxCore::ReadContactByIndex(int index, kx_contact** out) {
  auto& c = m_engine->Contacts();
  if (index < 0 || index >= static_cast<int>(c.size()) || !out) return KX_UNKNOWN_ENTRY;
  *out = c[index];
  return KX_OK;
}

EKxErrorCode_t CKxCore::FindContact(EKxContactSearchOpt_t option, int id, Utf8_t* text, kx_contact** out) {
  std::string want = text && text->data ? std::string(text->data) : std::string();
  for (kx_contact* c : m_engine->Contacts()) {
    if (c->isGroup) continue;
    bool match = false;
    if (option == KX_SEARCH_BY_ID) match = c->id == static_cast<uint32_t>(id);
    else if (option == KX_SEARCH_BY_NAME) match = text && c->name && c->name->data && want == c->name->data;
    else if (option == KX_SEARCH_BY_ADDRESS) match = text && c->address && c->address->data && want == c->address->data;
    if (match) {
      m_engine->Log("ReadContact: Found contact %s", c->address && c->address->data ? c->address->data : "");
      if (out) *out = c;
      return KX_OK;
    }
  }
  return KX_NOT_FOUND;
}

#define NEED_SESSION() \
  do {                 \
    if (!m_engine->SessionId()) return Report(KX_NO_SESSION); \
  } while (0)

EKxErrorCode_t CKxCore::RefreshContactList(int list) {
  NEED_SESSION();
  m_engine->QueueRequest(BuildAllBuddyListReq(m_engine->GroupModeByte(), static_cast<uint8_t>(list)));
  return KX_OK;
}

EKxErrorCode_t CKxCore::AddContact(Utf8_t* name, Utf8_t* group) {
  NEED_SESSION();
  m_engine->QueueRequest(BuildAddBuddy(m_engine->GroupModeByte(), {{0, Str(name), Str(group)}}));
  return KX_OK;
}

EKxErrorCode_t CKxCore::RenameContact(int id, Utf8_t* name) {
  NEED_SESSION();
  m_engine->QueueRequest(BuildRenameBuddy(m_engine->GroupModeByte(), static_cast<uint32_t>(id), Str(name)));
  return KX_OK;
}

EKxErrorCode_t CKxCore::DeleteContact(int id) {
  NEED_SESSION();
  m_engine->QueueRequest(BuildDeleteBuddy(m_engine->GroupModeByte(), static_cast<uint32_t>(id)));
  return KX_OK;
}

EKxErrorCode_t CKxCore::BlockUser(int id, unsigned char block) { return BlockUsers(&id, 1, block); }

EKxErrorCode_t CKxCore::BlockUsers(int* ids, int count, unsigned char block) {
  NEED_SESSION();
  std::vector<uint32_t> v;
  for (int i = 0; ids && i < count; ++i) v.push_back(static_cast<uint32_t>(ids[i]));
  if (block) m_engine->QueueRequest(BuildBlockUsers(v));
  else m_engine->QueueRequest(BuildUnblock(m_engine->GroupModeByte(), v));
  return KX_OK;
}

EKxErrorCode_t CKxCore::AddRcptToContactList(kx_recipient* recipients) {
  NEED_SESSION();
  std::vector<AddBuddyEntry> entries;
  for (kx_recipient* r = recipients; r; r = r->next)
    entries.push_back({r->id == KX_ADDRESS_ONLY_ID ? 0u : static_cast<uint32_t>(r->id), Str(r->address), ""});
  m_engine->QueueRequest(BuildAddBuddy(m_engine->GroupModeByte(), entries));
  return KX_OK;
}

EKxErrorCode_t CKxCore::AddGroup(Utf8_t* group) {
  NEED_SESSION();
  m_engine->QueueRequest(BuildAddGroup(m_engine->GroupModeByte(), Str(group)));
  return KX_OK;
}

EKxErrorCode_t CKxCore::RenameGroup(Utf8_t* oldName, Utf8_t* newName) {
  NEED_SESSION();
  m_engine->QueueRequest(BuildRenameGroup(m_engine->GroupModeByte(), Str(oldName), Str(newName)));
  return KX_OK;
}

EKxErrorCode_t CKxCore::DeleteGroup(Utf8_t* group) {
  NEED_SESSION();
  m_engine->QueueRequest(BuildDeleteGroup(m_engine->GroupModeByte(), Str(group)));
  return KX_OK;
}

EKxErrorCode_t CKxCore::MoveToGroup(Utf8_t* from, Utf8_t* to, int* ids, int count) {
  NEED_SESSION();
  std::vector<std::pair<uint32_t, std::string>> members;
  for (int i = 0; ids && i < count; ++i) members.emplace_back(static_cast<uint32_t>(ids[i]), Str(from));
  m_engine->QueueRequest(BuildMoveToGroup(m_engine->GroupModeByte(), Str(to), members));
  return KX_OK;
}

EKxErrorCode_t CKxCore::RemoveFromGroup(int id, Utf8_t* group) {
  NEED_SESSION();
  m_engine->QueueRequest(BuildMoveToGroup(m_engine->GroupModeByte(), "", {{static_cast<uint32_t>(id), Str(group)}}));
  return KX_OK;
}

void CKxCore::SetGroupMode(unsigned char on) { m_settings->SetSettingsBoolean(KX_OPT_GROUP_MODE, on); }
unsigned char CKxCore::IsGroupMode() { return m_settings->GetSettingsBoolean(KX_OPT_GROUP_MODE); }
void CKxCore::SetSortMode(unsigned char on) { m_settings->SetSettingsBoolean(KX_OPT_SORT_MODE, on); }
unsigned char CKxCore::IsInSortMode() { return m_settings->GetSettingsBoolean(KX_OPT_SORT_MODE); }

// ---------------------------------------------------------------------------------------------------------------
// Messages

int CKxCore::GetMessageListCount() { return m_engine->MessageCount(); }

EKxErrorCode_t CKxCore::ReadMessageByIndex(int index, Message_t** out) {
  Message_t* m = m_engine->MessageAt(index);
  if (!m || !out) return Report(KX_UNKNOWN_ENTRY);
  *out = m;
  return KX_OK;
}

EKxErrorCode_t CKxCore::DeleteMessage(int entryId) { return Report(m_engine->DeleteMessage(entryId)); }

EKxErrorCode_t CKxCore::MessageUpdate(Message_t* m) {
  if (m) m_engine->MarkDirty(m);
  return KX_OK;
}

EKxErrorCode_t CKxCore::SendMessage(Message_t* m, unsigned char voice) { return SendMervane(m, voice, nullptr); }

EKxErrorCode_t CKxCore::SendMessage(Message_t* m, unsigned char voice, Utf8_t* uploadFile) {
  return SendMervane(m, voice, uploadFile);
}

EKxErrorCode_t CKxCore::SendMervane(Message_t* m, unsigned char voice, Utf8_t* uploadFile) {
  if (!m) return KX_INVALID_FORMAT;
  EKxErrorCode_t r = KX_OK;
  if (!m_engine->SessionId()) {
    r = KX_NO_SESSION;
  } else if (voice && m_engine->Audio().IsRecording()) {
    r = KX_ALREADY_RECORDING;
  } else if (voice && m_engine->SentClipUnconfirmed()) {
    r = KX_BUSY;
  } else {
    m->msgNumber = m_engine->NextMessageNumber();
    if (!m->tag) m->tag = m_engine->NextTag();
    if (voice) {
      r = m_engine->SendVoice(m);
    } else if (uploadFile && uploadFile->data && uploadFile->len) {
      StartUpload(m_engine, m, std::string(uploadFile->data, uploadFile->len));
      Utf8Free(uploadFile);
      return KX_OK;  // the upload worker owns the message and the file name now
    } else {
      r = m_engine->SendText(m);
    }
  }
  MessageFree(m);
  return Report(r);
}

EKxErrorCode_t CKxCore::SendTypingNotification(kx_recipient* recipients, Utf8_t* tag) {
  Message_t* m = MessageNewM();
  if (!m) {
    RecipientsFree(recipients);
    Utf8Free(tag);
    return KX_OK;
  }
  MessageAddRecipient(m, recipients);
  m->tag = tag;
  Utf8_t* s = Utf8Create("$typing");
  Utf8_t* t = Utf8Create(":");
  m->subject = NewWStrFromUtf8(s);
  m->text = NewWStrFromUtf8(t);
  Utf8Free(s);
  Utf8Free(t);
  if (!m_engine->SessionId()) {
    MessageFree(m);
    return Report(KX_NO_SESSION);
  }
  m->msgNumber = m_engine->NextMessageNumber();
  if (!m->tag) m->tag = m_engine->NextTag();
  m_engine->SendText(m);
  MessageFree(m);
  return KX_OK;
}

EKxErrorCode_t CKxCore::SendSAFRequest(Message_t* m) {
  if (!m || !m->attachment || m->attachment->kind != KX_ATTACH_SAF || !m->attachment->url)
    return Report(KX_NO_SAF_ATTACHMENT);
  if (m_engine->ReceivingClip()) return Report(KX_BUSY);
  if (!m_engine->SessionId()) return Report(KX_NO_SESSION);
  return m_engine->SendSaf(m);
}

EKxErrorCode_t CKxCore::DownloadAttachment(Message_t* m) {
  if (!m || !m->attachment || !m->attachment->url || !m->attachment->url->data) return Report(KX_NOT_FOUND);
  StartDownload(m_engine, m);
  return KX_OK;
}

EKxErrorCode_t CKxCore::CancelUpload() {
  if (m_engine->UploadWorker()) m_engine->UploadWorker()->Stop();
  return KX_OK;
}

EKxErrorCode_t CKxCore::CancelDownload() {
  if (m_engine->DownloadWorker()) m_engine->DownloadWorker()->Stop();
  return KX_OK;
}

// ---------------------------------------------------------------------------------------------------------------
// Voice

EKxErrorCode_t CKxCore::StopAudio() {
  if (!m_engine->Audio().IsRecording()) return Report(KX_NOT_RECORDING);
  m_engine->Audio().StopRecording();
  return KX_OK;
}

EKxErrorCode_t CKxCore::PlayMessage(int entryId) { return Report(m_engine->PlayMessage(entryId)); }
float CKxCore::GetAudioDuration(int entryId) { return m_engine->AudioDuration(entryId); }
unsigned char CKxCore::IsRecording() { return m_engine->Audio().IsRecording(); }
void CKxCore::SetReceiverTestMode(unsigned char on) { m_receiverTest = on; }

EKxErrorCode_t CKxCore::SendLoadAudioMillis(Message_t* m, int millis) {
  int packets = millis / 200 + (millis % 200 ? 1 : 0);
  return SendLoadAudioPackets(m, packets);
}

EKxErrorCode_t CKxCore::SendLoadAudioPackets(Message_t* m, int packets) {
  EKxErrorCode_t r = KX_OK;
  if (!m) return KX_INVALID_FORMAT;
  if (!m_engine->SessionId()) {
    r = KX_NO_SESSION;
  } else if (m_engine->SentClipUnconfirmed() || m_engine->Audio().IsRecording()) {
    r = KX_BUSY;
  } else {
    m->msgNumber = m_engine->NextMessageNumber();
    if (!m->tag) m->tag = m_engine->NextTag();
    r = m_engine->SendLoad(m, packets);
  }
  MessageFree(m);
  return Report(r);
}
