// Session engine of the messaging library: queues, retransmission, in-order delivery, voice streaming, store.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <functional>
#include <string>
#include <vector>

#include "pellico/audio.h"
#include "pellico/kxplatform.h"
#include "pellico/pellico.h"
#include "pellico/wire.h"

namespace pellico {
class TransferWorker;

struct Packet {
  uint8_t type = 0;
  bool hasSeq = false;
  uint32_t seq = 0;
  std::vector<uint8_t> data;  // whole datagram, header included
  int16_t sendCount = 0;
  uint32_t stamp = 0;
  uint16_t msgNum = 0;
  bool onSendQueue = false;
  bool queuedBefore = false;
};
using PacketPtr = std::shared_ptr<Packet>;
}  // namespace pellico

class CKxEngine {
 public:
  CKxEngine(CMervane* context, CKxCore* core, bool useFiles, const std::string& baseDir);
  ~CKxEngine();

  // Seams and shared parts.
  pellico::KxPlatform& Platform() { return *m_platform; }
  CAudioManager& Audio() { return *m_audio; }
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Appends a line to the log file at path, kept open between lines (moved to "mervane2.log" past 49999
  // bytes); false once the engine is going, when the caller writes it itself.
  bool AppendLog(const std::string& path, const std::string& line);
  // Option files of the counters that change with every message are written once at the end of a tick.
  bool HoldsOptionWrites() const { return m_holdOptionWrites; }
  void HoldOptionWrite(const std::string& path, std::vector<uint8_t> bytes) { m_heldOptionWrites[path] = std::move(bytes); }
  CMervane* Context() { return m_context; }
  CKxCore* Core() { return m_core; }
  const std::string& BaseDir() const { return m_base; }
  std::string PathIn(const char* dir, const std::string& name) const;
  static std::string Hex(uint32_t v);
  void AttachSettings(CKxCoreSettings* settings);
  CKxCoreSettings* Settings() { return m_settings; }
  void LoadStore();  // contacts and messages, once the settings exist

  // Notifier.
  void SetNotifier(CKxCoreNotifier* n);
  CKxCoreNotifier* Notifier() { return m_notifier; }

  // Session.
  EKxErrorCode_t SignIn(uint8_t visibility);
  void SignOut();
  void ResetSession();
  void QueueDisconnect();
  void ChangeVisibility(uint8_t visibility);
  EConnectionState_t State() const { return m_state; }
  void SetState(EConnectionState_t s);
  uint32_t SessionId() const { return m_sessionId; }
  void Tick();
  // Milliseconds until a tick next has work (0: at the next tick; -1: nothing until a datagram, a finished
  // transfer or a call).
  int NextTickDelay();
  void ResetIdle() { m_lastActivity = m_platform->Now(); }
  uint8_t Visibility() const { return m_visibility; }

  // Requests (already built payloads).
  void QueueRequest(std::vector<uint8_t> datagram);
  uint8_t GroupModeByte();

  // Contacts.
  std::vector<kx_contact*>& Contacts() { return m_contacts; }

  // Messages.
  Message_t* MessageHead() { return m_head; }
  int MessageCount() const { return m_count; }
  Message_t* MessageAt(int index);
  Message_t* FindMessage(uint32_t entryId);
  EKxErrorCode_t DeleteMessage(int entryId);
  void MarkDirty(Message_t* m);
  uint16_t NextMessageNumber();
  uint32_t NextEntryId();
  Utf8_t* NextTag();
  EKxErrorCode_t SendText(Message_t* m);
  EKxErrorCode_t SendVoice(Message_t* m);
  EKxErrorCode_t SendLoad(Message_t* m, int packets);
  EKxErrorCode_t SendSaf(Message_t* m);
  bool SentClipUnconfirmed() const { return !m_sentAudio.empty(); }
  bool ReceivingClip() const { return m_in.active; }
  void WriteMessages();
  void WriteContacts();

  // Voice.
  void OnEncodedAudio(const uint8_t* frames, size_t len);
  void OnRecordingStopped();
  std::deque<pellico::PacketPtr>& PlaybackQueue() { return m_playback; }
  EKxErrorCode_t PlayMessage(int entryId);
  float AudioDuration(int entryId);

  // Attachments: workers hand their completion to the tick.
  void PostCompletion(std::function<void()> fn);
  size_t PendingCompletions();
  void SetDownloadWorker(std::unique_ptr<pellico::TransferWorker> w);
  void SetUploadWorker(std::unique_ptr<pellico::TransferWorker> w);
  pellico::TransferWorker* DownloadWorker() { return m_download.get(); }
  pellico::TransferWorker* UploadWorker() { return m_upload.get(); }

  // Test access.
  void InjectDatagram(const uint8_t* d, size_t n) {
    HandleDatagram(d, n, true);
    Deliver();
  }
  uint32_t HighestInOrder() const { return m_highest; }
  size_t AwaitingCount() const { return m_awaiting.size(); }
  uint32_t KeepAliveMs() const { return m_keepAliveMs; }
  int64_t ClockOffset() const { return m_clockOffset; }

 private:
  void QueuePacket(const pellico::PacketPtr& p);
  pellico::PacketPtr MakePacket(std::vector<uint8_t> datagram);
  void SendPump();
  void Retransmit();
  void ReceivePump();
  void HandleDatagram(const uint8_t* p, size_t n, bool fromServer);
  void SendAck(uint32_t seq, uint32_t session);
  void Deliver();
  bool InOrderHolds(uint32_t seq) const;
  size_t WaitingBehindGap() const;  // packets held above the highest in-order number
  void DeliverPacket(const pellico::PacketPtr& p);
  void Dispatch(const pellico::PacketPtr& p);
  void IncomingAudio(const pellico::PacketPtr& p);
  void DeliverAudio(const pellico::PacketPtr& p);
  void WriteOutOfOrderAudio();
  std::vector<uint32_t> MissingAudio(size_t limit) const;
  void CheckNacks();
  void HandleEndAudio(uint16_t msg, uint32_t author);
  void FinishIncomingClip();
  void TakeClip(uint16_t msg, uint32_t author);
  void OnConnectResponse(const pellico::PacketPtr& p);
  void OnServerError(const pellico::PacketPtr& p);
  void OnReceivedText(const pellico::PacketPtr& p);
  void OnServerStartAudio(const pellico::PacketPtr& p);
  void OnFragment(const pellico::PacketPtr& p);
  void ApplyBuddyList(const std::vector<uint8_t>& body);
  void ApplyPresenceList(const std::vector<uint8_t>& body);
  void OnPresenceStatus(const pellico::PacketPtr& p);
  // The lists mark an address contact's presence 2 as 258; a single status update takes the byte as it is.
  void SetPresence(kx_contact* c, uint8_t wire, bool markAddressContact);
  void AppendMessage(Message_t* m);
  void PassOnServerText(const std::string& text);
  void LoadContacts();
  void LoadMessages();
  Message_t* ReadMessageFile(uint32_t entryId, uint32_t version);
  void FreeContacts();
  void FreeMessages();
  void StartOutgoingClip(Message_t* m);
  void RunCompletions();

  CMervane* m_context;
  CKxCore* m_core;
  std::unique_ptr<pellico::KxPlatform> m_platform;
  CKxCoreSettings* m_settings = nullptr;
  CKxCoreNotifier* m_notifier = nullptr;
  bool m_ownNotifier = false;
  std::unique_ptr<CAudioManager> m_audio;
  std::string m_base;

  uint8_t m_rx[pellico::kMaxDatagram];
  uint32_t m_sessionId = 0;
  bool m_connectPending = false;  // a CONNECT_REQUEST of this sign-in went out and no response was taken
  uint32_t m_nextSeq = 0;
  uint32_t m_highest = 0;
  uint32_t m_lastSend = 0;
  uint32_t m_keepAliveMs = 0;
  int64_t m_clockOffset = 0;
  uint32_t m_key = 0;
  uint8_t m_visibility = 1;
  EConnectionState_t m_state = KX_OFFLINE;
  uint32_t m_lastActivity = 0;

  std::deque<pellico::PacketPtr> m_sendQ;
  std::list<pellico::PacketPtr> m_inOrder;
  std::list<pellico::PacketPtr> m_awaiting;
  std::list<pellico::PacketPtr> m_ooo;
  std::deque<pellico::PacketPtr> m_playback;
  std::list<pellico::PacketPtr> m_fragBuddy;
  std::list<pellico::PacketPtr> m_fragPresence;
  std::list<pellico::PacketPtr> m_sentAudio;

  struct Incoming {
    bool active = false;
    uint16_t msg = 0;
    uint32_t author = 0;
    uint32_t delivered = 0;  // audio packets written in order
    uint32_t highestPlayed = 0;
    uint32_t announcedLast = 0;
    pellico::PacketPtr heldEnd;
    bool nackRunning = false;
    uint32_t nackStamp = 0;
    uint32_t entryId = 0;  // the voice message it belongs to (0: none)
    bool hasMessage = false;
    uint32_t packets = 0;
  } m_in;
  bool m_hasLastFinished = false;
  uint16_t m_lastFinished = 0;

  struct Outgoing {
    bool active = false;
    uint16_t msg = 0;
    uint32_t nextSeq = 1;
    uint32_t recordedMs = 0;
    bool echoKnown = false;
    uint32_t echoEntry = 0;
  } m_out;

  std::vector<kx_contact*> m_contacts;
  Message_t* m_head = nullptr;
  Message_t* m_tail = nullptr;
  int m_count = 0;

  // The transfer workers log on their own threads beside the tick: one writer at a time.
  std::mutex m_logMutex;
  FILE* m_logFile = nullptr;
  std::string m_logPath;
  long m_logSize = 0;
  bool m_logClosed = false;
  bool m_holdOptionWrites = false;
  std::map<std::string, std::vector<uint8_t>> m_heldOptionWrites;
  void WriteHeldOptions();

  std::mutex m_completionMutex;
  std::vector<std::function<void()>> m_completions;
  std::unique_ptr<pellico::TransferWorker> m_download;
  std::unique_ptr<pellico::TransferWorker> m_upload;
};
