// Public interface of the Pellico messaging library: exported classes, records and enumerations.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#if defined(PELLICO_BUILDING)
#define PELLICO_API __attribute__((visibility("default")))
#else
#define PELLICO_API __attribute__((visibility("default")))
#endif

// Records crossing the library boundary. All are zero-filled when the library allocates them and must be
// released with the library's own Free functions.
struct Utf8_t {
  uint16_t len;  // bytes, without the terminating zero
  char* data;    // len + 1 bytes, zero-terminated; null when len is 0
};

struct WStr_t {
  uint16_t len;    // bytes of UTF-16
  uint16_t* data;  // len + 2 bytes, zero-terminated; null when len is 0
};

struct kx_contact {
  uint32_t id;
  uint16_t presence;    // low 4 bits of the wire byte; 258 marks an address contact
  uint16_t visibility;  // bits 4-6 of the wire byte
  Utf8_t* address;
  Utf8_t* name;
  uint8_t isGroup;      // 1: a group heading, not a contact
  uint8_t blocked;
  kx_contact* group;    // the heading this contact belongs to, or null
};

enum { KX_RECIPIENT_ADDRESS_KIND = 3, KX_ADDRESS_ONLY_ID = 0x7FFFFFFF };

struct kx_recipient {
  uint32_t kind;
  int32_t id;  // KX_ADDRESS_ONLY_ID: named by address only
  Utf8_t* address;
  kx_recipient* next;
};

enum { KX_ATTACH_URL = 0, KX_ATTACH_SAF = 2, KX_ATTACH_DOWNLOADED = 10 };

struct kx_attachment {
  uint8_t kind;
  Utf8_t* mimeType;  // kind 0 only
  Utf8_t* url;       // the URL, the store-and-forward item id (kind 2) or the local file (kind 10)
  Utf8_t* fileName;
};

enum {
  KX_MSG_TEXT = 0,
  KX_MSG_URL = 1,
  KX_MSG_DOWNLOADED = 2,
  KX_MSG_VOICE = 3,
  KX_MSG_VOICE_STORED = 4
};

struct Message_t {
  uint32_t entryId;
  uint16_t state;
  uint16_t msgNumber;
  Utf8_t* tag;
  uint32_t authorId;
  Utf8_t* authorName;
  int16_t recipientCount;
  kx_recipient* recipients;
  Utf8_t* recipientIds;
  WStr_t* text;
  WStr_t* subject;
  int32_t time;
  kx_attachment* attachment;
  uint8_t dirty;
  kx_recipient* lastRecipient;
  Message_t* next;
};

enum EKxErrorCode_t {
  KX_OK = 0,
  KX_NO_SESSION = 1,
  KX_CONTACT_EXISTS = 2,
  KX_INVALID_FORMAT = 3,
  KX_NOT_RECORDING = 4,
  KX_ALREADY_RECORDING = 5,
  KX_NO_PROFILE = 6,
  KX_UNKNOWN_ENTRY = 7,
  KX_BUSY = 8,
  KX_NO_SAF_ATTACHMENT = 9,
  KX_NOT_FOUND = 10
};

enum EConnectionState_t {
  KX_OFFLINE = 0,
  KX_PENDING = 1,
  KX_CONNECTING = 2,
  KX_LOGGING_IN = 3,
  KX_ONLINE = 4,
  KX_BAD_CONN = 5,
  KX_OFFLINE_IDLE = 6
};

enum ESetVisibility_t : unsigned char { KX_VISIBILITY_HIDDEN = 0, KX_VISIBILITY_VISIBLE = 1 };

enum EKxContactSearchOpt_t { KX_SEARCH_BY_ID = 0, KX_SEARCH_BY_NAME = 1, KX_SEARCH_BY_ADDRESS = 2 };

// Option ids of CKxCoreSettings.
enum EKxSettingId_t {
  KX_OPT_AUTOCONNECT = 0,
  KX_OPT_IDLE_TIMEOUT = 1,
  KX_OPT_AUTOPLAY = 2,
  KX_OPT_AUDIO_DELIVERY = 3,
  KX_OPT_ALERT_MODE = 4,
  KX_OPT_USERNAME = 5,
  KX_OPT_PASSWORD = 6,
  KX_OPT_LANGUAGE = 7,
  KX_OPT_SERVER_IP = 8,
  KX_OPT_PORT = 9,
  KX_OPT_SHOW_BLOCKED = 10,
  KX_OPT_SERVER_PICTURE_IP = 11,
  KX_OPT_PICTURE_PORT = 12,
  KX_OPT_SAVE_PASSWORD = 13,
  KX_OPT_CONNECT_OPTIONS = 14,
  KX_OPT_MESSAGE_ID = 1000,
  KX_OPT_VERSION = 1001,
  KX_OPT_GROUP_MODE = 1002,
  KX_OPT_SORT_MODE = 1003,
  KX_OPT_THREAD_COUNTER = 1004
};

class CKxCore;
class CKxEngine;
class CAudioManager;

// The host context; also prints the library's log.
class PELLICO_API CMervane {
 public:
  CMervane();
  CMervane(const CMervane& other);
  CMervane& operator=(const CMervane& other);
  virtual ~CMervane();
  virtual void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  CKxCore* m_core;  // when set, the log lies in that core's base directory
};

// Call-backs by which the core reports to the host.
class PELLICO_API CKxCoreNotifier {
 public:
  CKxCoreNotifier();
  explicit CKxCoreNotifier(CMervane* context);
  CKxCoreNotifier(const CKxCoreNotifier& other);
  CKxCoreNotifier& operator=(const CKxCoreNotifier& other);
  virtual ~CKxCoreNotifier();

  virtual void ConnectionStateNotify(EConnectionState_t state);
  virtual void ContactUpdateNotify(int list, kx_contact* contact);
  virtual void MessageUpdateNotify(Message_t* message, unsigned char isNew);
  virtual void ServiceUpdateNotify(Utf8_t* text);
  virtual void OnTypingNotify(Message_t* message);
  virtual void OnDownloadComplete(unsigned char success, Message_t* message);
  virtual void OnPercentDone(int percent, unsigned char download);
  virtual void OnUploadComplete(unsigned char success, Utf8_t* response);  // default frees the response
  virtual void AudioTestReceived(Message_t* message, int packets, int millis);

  void SetContext(CMervane* context);
  CMervane* GetContext() const { return m_context; }

  static void* operator new(size_t size);
  static void* operator new[](size_t size);
  static void operator delete(void* p);
  static void operator delete[](void* p);

 protected:
  CMervane* m_context;
};

// The stored options, one file per option under "config".
class PELLICO_API CKxCoreSettings {
 public:
  CKxCoreSettings(CKxCore* core, CKxEngine* engine);
  virtual ~CKxCoreSettings();

  void SetSettingsString(int id, Utf8_t* value);
  void SetSettingsString_Free(int id, Utf8_t* value);
  void SetSettingsInt(int id, int value);
  void SetSettingsBoolean(int id, unsigned char value);
  Utf8_t* GetSettingsString(int id);   // kept by the settings object until the next call
  Utf8_t* GetSettingsStringM(int id);  // the caller's copy
  int GetSettingsInt(int id);
  unsigned char GetSettingsBoolean(int id);
  const char* GetOptionName(int id);
  void LoadSettings();

  // By option name, on the files alone.
  void SetSettingsString(const char* name, Utf8_t* value);
  void SetSettingsInt(const char* name, int value);
  void SetSettingsBoolean(const char* name, unsigned char value);
  int GetSettingsInt(const char* name);
  unsigned char GetSettingsBoolean(const char* name);
  Utf8_t* GetSettingsStringM(const char* name);
  unsigned char SettingsExists(const char* name);

  static void* operator new(size_t size);
  static void* operator new[](size_t size);
  static void operator delete(void* p);
  static void operator delete[](void* p);

 private:
  struct Values;
  Values* m_values;
  [[maybe_unused]] CKxCore* m_core;
  CKxEngine* m_engine;
};

// One push-to-talk messaging client. Not thread-safe: one thread at a time.
class PELLICO_API CKxCore {
 public:
  CKxCore(CMervane* context, unsigned char useFiles);  // base "./mervane"
  CKxCore(CMervane* context, const char* basePath);    // base "<basePath>/mervane", files on
  CKxCore(const CKxCore& other);
  CKxCore& operator=(const CKxCore& other);
  virtual ~CKxCore();

  static void* operator new(size_t size);
  static void* operator new[](size_t size);
  static void operator delete(void* p);
  static void operator delete[](void* p);

  // Life cycle and information.
  void SetNotifier(CKxCoreNotifier* notifier);
  CKxCoreNotifier* GetNotifier();
  CMervane* GetContext();
  CKxCoreSettings* GetSettings();
  CAudioManager* GetAudioManager();
  const char* GetCoreVersion();
  const char* GetLastBuildDate();
  const char* GetMervanePath();
  const char* GetDownloadPath();
  unsigned char GetEULA();
  void SetEULA();

  // Session.
  EKxErrorCode_t SignIn(ESetVisibility_t visibility);
  EKxErrorCode_t SignOut();
  EKxErrorCode_t ChangeVisibility(ESetVisibility_t visibility);
  EConnectionState_t GetConnectionState();
  unsigned char IsConnected();
  void TickCore();
  void ResetIdleTimeout();
  // For a host that sleeps between ticks instead of ticking on a fixed beat: milliseconds until TickCore
  // next has work to do (0: at every tick for now, as while a clip records or plays; -1: nothing is due),
  // and a descriptor that polls readable while a datagram or a finished transfer waits for TickCore (-1:
  // none). Both change with every call into the core.
  int GetNextTickDelay();
  int GetWaitDescriptor();

  // Contacts.
  int GetContactListCount();
  EKxErrorCode_t ReadContactByIndex(int index, kx_contact** out);
  EKxErrorCode_t FindContact(EKxContactSearchOpt_t option, int id, Utf8_t* text, kx_contact** out);
  EKxErrorCode_t RefreshContactList(int list);
  EKxErrorCode_t AddContact(Utf8_t* name, Utf8_t* group);
  EKxErrorCode_t RenameContact(int id, Utf8_t* name);
  EKxErrorCode_t DeleteContact(int id);
  EKxErrorCode_t BlockUser(int id, unsigned char block);
  EKxErrorCode_t BlockUsers(int* ids, int count, unsigned char block);
  EKxErrorCode_t AddRcptToContactList(kx_recipient* recipients);
  static kx_contact* ContactNewM();
  static void ContactFree(kx_contact* contact);
  static kx_contact* ContactCopyM(kx_contact* contact);

  // Groups.
  EKxErrorCode_t AddGroup(Utf8_t* group);
  EKxErrorCode_t RenameGroup(Utf8_t* oldName, Utf8_t* newName);
  EKxErrorCode_t DeleteGroup(Utf8_t* group);
  EKxErrorCode_t MoveToGroup(Utf8_t* from, Utf8_t* to, int* ids, int count);
  EKxErrorCode_t RemoveFromGroup(int id, Utf8_t* group);
  void SetGroupMode(unsigned char on);
  unsigned char IsGroupMode();
  void SetSortMode(unsigned char on);
  unsigned char IsInSortMode();

  // Strings.
  static Utf8_t* Utf8NewM();
  static WStr_t* WStrNewM();
  static Utf8_t* Utf8AllocDataM(Utf8_t* s);
  static WStr_t* WStrAllocDataM(WStr_t* s);
  static void Utf8Free(Utf8_t* s);
  static void WStrFree(WStr_t* s);
  static Utf8_t* Utf8CopyM(Utf8_t* s);
  static WStr_t* WStrCopyM(WStr_t* s);
  static Utf8_t* Utf8Create(const char* text);
  static WStr_t* WStrCreate(const unsigned short* text);
  static WStr_t* NewWStrFromUtf8(Utf8_t* s);
  static Utf8_t* NewUtf8FromWStr(WStr_t* s);
  static Utf8_t* Utf8CreateFromWStr(const unsigned short* text);

  // Recipients.
  static kx_recipient* RecipientNewM();
  static void RecipientsFree(kx_recipient* list);
  static kx_recipient* RecipientsCopyM(kx_recipient* list);
  static kx_recipient* RecipientCopyM(kx_recipient* one);
  static unsigned char IsEmailRecipient(kx_recipient* r);
  static Utf8_t* CreateRecipientIdM(kx_recipient* list, int count);

  // Attachments.
  static kx_attachment* AttachmentURLNewM(Utf8_t* url, Utf8_t* name, Utf8_t* mimeType);
  static kx_attachment* AttachmentSAFNewM(Utf8_t* id);
  static kx_attachment* AttachmentCopyM(kx_attachment* a);
  static void AttachmentFree(kx_attachment* a);

  // Messages.
  static Message_t* MessageNewM();
  static void MessageFree(Message_t* m);
  static void MessageAddRecipient(Message_t* m, kx_recipient* list);
  static Message_t* MessageCopyM(Message_t* m);
  int GetMessageListCount();
  EKxErrorCode_t ReadMessageByIndex(int index, Message_t** out);
  EKxErrorCode_t DeleteMessage(int entryId);
  EKxErrorCode_t MessageUpdate(Message_t* m);
  EKxErrorCode_t SendMessage(Message_t* m, unsigned char voice);
  EKxErrorCode_t SendMessage(Message_t* m, unsigned char voice, Utf8_t* uploadFile);
  EKxErrorCode_t SendMervane(Message_t* m, unsigned char voice, Utf8_t* uploadFile);
  EKxErrorCode_t SendTypingNotification(kx_recipient* recipients, Utf8_t* tag);
  EKxErrorCode_t SendSAFRequest(Message_t* m);
  EKxErrorCode_t DownloadAttachment(Message_t* m);
  EKxErrorCode_t CancelUpload();
  EKxErrorCode_t CancelDownload();

  // Voice.
  EKxErrorCode_t StopAudio();
  EKxErrorCode_t PlayMessage(int entryId);
  float GetAudioDuration(int entryId);
  unsigned char IsRecording();
  void SetReceiverTestMode(unsigned char on);
  EKxErrorCode_t SendLoadAudioMillis(Message_t* m, int millis);
  EKxErrorCode_t SendLoadAudioPackets(Message_t* m, int packets);

  // Internal: the engine behind this core (opaque to hosts).
  CKxEngine* Engine() { return m_engine; }

  unsigned char m_receiverTest;
  uint32_t m_receivedPackets;

 private:
  void Construct(CMervane* context, bool useFiles, const char* basePath);
  EKxErrorCode_t Report(EKxErrorCode_t code);

  CKxEngine* m_engine;
  CKxCoreSettings* m_settings;
};
