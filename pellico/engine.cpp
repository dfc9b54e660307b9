// Session engine of the messaging library: packet queues, retransmission, in-order delivery and voice streaming.
#include "pellico/engine.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "pellico/transfer.h"
#include "platform/fs.h"

using namespace pellico;

namespace {
constexpr uint32_t kRetransmitMs = 5000;
constexpr uint32_t kDisconnectRetransmitMs = 3000;
constexpr uint32_t kAbandonMs = 18000;
constexpr uint32_t kGapAbandonMs = 30000;
// Packets held behind a missing one: beyond this many, later ones are dropped unacknowledged (the server sends
// them again), so a burst or a flood cannot fill memory and then be delivered all in one tick.
constexpr size_t kMaxBehindGap = 4096;
constexpr uint32_t kNackIntervalMs = 3000;
constexpr size_t kMaxNack = 25;
constexpr uint32_t kFragmentMaxAgeMs = 300000;
constexpr uint32_t kMaxRecordMs = 89999;

// UTF-16 text of a record (to the first zero) as UTF-8.
std::string WText(const WStr_t* w) {
  if (!w || !w->data) return {};
  size_t units = 0;
  while (units < w->len / 2u && w->data[units]) ++units;
  return Utf16ToUtf8(w->data, units);
}

// Number, tag, author and subscriber recipients of a received message, and its recipient id list
// (the author's id and the recipients', one entry more than the recipients).
void FillReceived(Message_t* m, const InMessage& im) {
  m->msgNumber = im.msg;
  m->tag = MakeUtf8(im.tag);
  m->authorId = im.author;
  m->authorName = MakeUtf8(im.authorName);
  for (auto& r : im.recipients) {
    kx_recipient* kr = CKxCore::RecipientNewM();
    if (!kr) break;
    kr->kind = r.kind;
    kr->id = static_cast<int32_t>(r.id);
    kr->address = MakeUtf8(r.address);
    CKxCore::MessageAddRecipient(m, kr);
  }
  kx_recipient author{};
  author.id = static_cast<int32_t>(im.author);
  author.next = m->recipients;
  m->recipientIds = CKxCore::CreateRecipientIdM(&author, m->recipientCount + 1);
}

// A received text as a UTF-16 record (an empty record for an empty text).
WStr_t* WFromText(const std::string& text) {
  Utf8_t* u = MakeUtf8(text);
  Utf8_t empty{};
  WStr_t* w = CKxCore::NewWStrFromUtf8(u ? u : &empty);
  CKxCore::Utf8Free(u);
  return w;
}

// A received wire time as the message time: local seconds (0 for a date mktime rejects) plus the clock offset.
int32_t ReceivedTime(const uint8_t* wire, int64_t clockOffset) {
  int64_t t = KxPlatform::WireTimeToSeconds(wire);
  return static_cast<int32_t>((t < 0 ? 0 : t) + clockOffset);
}

bool SeqAtOrBefore(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) <= 0; }

const char* StateName(int s) {
  static const char* names[] = {"OFFLINE", "PENDING", "CONNECTING", "LOGGING_IN", "ONLINE", "BAD_CONN", "OFFLINE_IDLE"};
  return s >= 0 && s <= 6 ? names[s] : "UNKNOWN";
}
}  // namespace

CKxEngine::CKxEngine(CMervane* context, CKxCore* core, bool useFiles, const std::string& baseDir)
    : m_context(context), m_core(core), m_base(baseDir) {
  m_platform = std::make_unique<KxPlatform>([this](const char* s) { Log("%s", s); }, useFiles);
  m_notifier = new CKxCoreNotifier(context);
  m_ownNotifier = true;
  m_audio = std::make_unique<CAudioManager>(this);
  m_platform->OpenSocket();
  m_platform->MakeDirectory(m_base);
  for (const char* d : {"audio", "config", "messages", "download", "tmp"}) m_platform->MakeDirectory(m_base + "/" + d);
  m_platform->EmptyDirectory(m_base + "/tmp");
  m_lastActivity = m_platform->Now();
}

CKxEngine::~CKxEngine() {
  // Workers first: their completions must not run into a half-destroyed engine.
  if (m_download) m_download->StopAndJoin();
  if (m_upload) m_upload->StopAndJoin();
  m_download.reset();
  m_upload.reset();
  {
    std::lock_guard<std::mutex> lock(m_completionMutex);
    m_completions.clear();
  }
  ResetSession();
  WriteContacts();
  WriteMessages();
  if (m_audio) m_audio->ReleasePlayer();
  m_audio.reset();
  FreeContacts();
  FreeMessages();
  if (m_ownNotifier) delete m_notifier;
  std::lock_guard<std::mutex> lock(m_logMutex);
  m_logClosed = true;
  if (m_logFile) fclose(m_logFile);
  m_logFile = nullptr;
}

bool CKxEngine::AppendLog(const std::string& path, const std::string& line) {
  std::lock_guard<std::mutex> lock(m_logMutex);
  if (m_logClosed) return false;
  if (m_logFile && path != m_logPath) {
    fclose(m_logFile);
    m_logFile = nullptr;
  }
  if (m_logFile && m_logSize > 49999) {
    fclose(m_logFile);
    m_logFile = nullptr;
    std::string old = path.substr(0, path.size() - strlen("mervane.log")) + "mervane2.log";
    std::rename(path.c_str(), old.c_str());
  }
  if (!m_logFile) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && st.st_size > 49999) {
      std::string old = path.substr(0, path.size() - strlen("mervane.log")) + "mervane2.log";
      std::rename(path.c_str(), old.c_str());
    }
    m_logFile = plat::OpenRegularStream(path, "ab");
    if (!m_logFile) return true;  // as before: a log that cannot be opened takes nothing
    m_logPath = path;
    fseek(m_logFile, 0, SEEK_END);
    m_logSize = ftell(m_logFile);
  }
  fputs(line.c_str(), m_logFile);
  fflush(m_logFile);
  m_logSize += static_cast<long>(line.size());
  return true;
}

void CKxEngine::WriteHeldOptions() {
  m_holdOptionWrites = false;
  if (m_heldOptionWrites.empty()) return;
  std::vector<KxPlatform::FileWrite> files;
  for (auto& w : m_heldOptionWrites) {
    KxPlatform::FileWrite f;
    f.path = w.first;
    f.bytes = std::move(w.second);
    files.push_back(std::move(f));
  }
  m_heldOptionWrites.clear();
  for (auto& f : files) {
    std::vector<KxPlatform::FileWrite> one(1);
    one[0] = std::move(f);
    m_platform->WriteFiles(one, false);
    if (!one[0].ok) Log("ERROR writing file %s %d", one[0].path.c_str(), one[0].error);
  }
}

void CKxEngine::Log(const char* format, ...) {
  char buf[8196];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  if (m_context) {
    m_context->Printf("%s", buf);
  } else {
    CMervane fallback;
    fallback.m_core = m_core;
    fallback.Printf("%s", buf);
  }
}

std::string CKxEngine::PathIn(const char* dir, const std::string& name) const {
  return m_base + "/" + dir + "/" + name;
}

void CKxEngine::AttachSettings(CKxCoreSettings* settings) { m_settings = settings; }

void CKxEngine::SetNotifier(CKxCoreNotifier* n) {
  if (m_ownNotifier) delete m_notifier;
  m_ownNotifier = false;
  m_notifier = n;
}

uint8_t CKxEngine::GroupModeByte() { return m_settings ? m_settings->GetSettingsBoolean(KX_OPT_GROUP_MODE) : 1; }

void CKxEngine::SetState(EConnectionState_t s) {
  if (s == m_state) return;
  Log("MV: Connection state change: %s to %s", StateName(m_state), StateName(s));
  m_state = s;
  if (m_notifier) m_notifier->ConnectionStateNotify(s);
}

// ---------------------------------------------------------------------------------------------------------------
// Sign-in and session.

EKxErrorCode_t CKxEngine::SignIn(uint8_t visibility) {
  std::string user = Str(m_settings->GetSettingsString(KX_OPT_USERNAME));
  std::string pass = Str(m_settings->GetSettingsString(KX_OPT_PASSWORD));
  std::string server = Str(m_settings->GetSettingsString(KX_OPT_SERVER_IP));
  std::string options = Str(m_settings->GetSettingsString(KX_OPT_CONNECT_OPTIONS));
  if (user.empty() || pass.empty()) return KX_NO_PROFILE;
  if (m_state != KX_OFFLINE) ResetSession();
  m_visibility = visibility;
  std::string client = std::string("PC/Win32") + ";ver=" + "1.0.15" + ";auth=v4;" + options;
  m_key = static_cast<uint32_t>(m_platform->Rand());
  std::string mu, mp;
  if (!MaskCredential(user, m_key, &mu) || !MaskCredential(pass, m_key, &mp)) {
    Log("MERVANE: user name or password too long to sign in");
    return KX_INVALID_FORMAT;
  }
  m_platform->OpenSocket();
  int port = m_settings->GetSettingsInt(KX_OPT_PORT);
  if (port < 0 || port > 65535) {
    // Cut to 16 bits it would name another port of the server (70000 is 4464).
    Log("MERVANE: Port %d is out of range; the old port stays", port);
    port = 0;
  }
  m_platform->SetDestination(server, static_cast<uint16_t>(port));
  uint8_t language = static_cast<uint8_t>(m_settings->GetSettingsInt(KX_OPT_LANGUAGE));
  QueuePacket(MakePacket(BuildConnectRequest(language, mu, mp, client, visibility)));
  SetState(KX_LOGGING_IN);
  return KX_OK;
}

void CKxEngine::SignOut() {
  if (m_state != KX_OFFLINE) QueueDisconnect();
  else ResetSession();
}

void CKxEngine::QueueDisconnect() { QueuePacket(MakePacket(BuildDisconnect())); }

void CKxEngine::ChangeVisibility(uint8_t visibility) {
  Log("Change Visibility: from:%d to:%d", m_visibility, visibility);
  m_visibility = visibility;
  QueuePacket(MakePacket(BuildChangeVisibility(visibility)));
}

void CKxEngine::ResetSession() {
  for (auto& p : m_sendQ) p->onSendQueue = false;
  m_sendQ.clear();
  m_inOrder.clear();
  m_awaiting.clear();
  m_fragBuddy.clear();
  m_fragPresence.clear();
  m_sentAudio.clear();
  m_hasLastFinished = false;
  FinishIncomingClip();
  m_sessionId = 0;
  m_connectPending = false;
  m_nextSeq = 0;
  m_keepAliveMs = 0;
  SetState(KX_OFFLINE);
}

void CKxEngine::QueueRequest(std::vector<uint8_t> datagram) { QueuePacket(MakePacket(std::move(datagram))); }

PacketPtr CKxEngine::MakePacket(std::vector<uint8_t> datagram) {
  auto p = std::make_shared<Packet>();
  p->type = datagram.size() > 8 ? datagram[8] : 0;
  p->data = std::move(datagram);
  return p;
}

// ---------------------------------------------------------------------------------------------------------------
// Sending.

void CKxEngine::QueuePacket(const PacketPtr& p) {
  if (p->type == KEEP_ALIVE && !m_sendQ.empty()) {
    Log("KA Skipped...");
    return;
  }
  if (p->onSendQueue) {
    Log("MERVANE PANIC: NODE IS ALREADY ON A QUEUE.");
    return;
  }
  m_sendQ.push_back(p);
  p->onSendQueue = true;
  if (!p->queuedBefore) {
    p->queuedBefore = true;
    if (p->type == CLIENT_START_AUDIO) {
      m_platform->CreateEmpty(PathIn("tmp", Hex(p->msgNum)));
    } else if (p->type == AUDIO) {
      m_sentAudio.push_back(p);
      if (p->data.size() > kAudioFramesOffset)
        m_platform->AppendFile(PathIn("tmp", Hex(p->msgNum)), p->data.data() + kAudioFramesOffset,
                               p->data.size() - kAudioFramesOffset);
    } else if (p->type == END_AUDIO && p->msgNum == m_out.msg && m_out.echoKnown) {
      Message_t* m = FindMessage(m_out.echoEntry);
      if (m && m_platform->Move(PathIn("tmp", Hex(m_out.msg)), PathIn("audio", Hex(m->entryId)))) {
        m->state = KX_MSG_VOICE_STORED;
        MarkDirty(m);
        if (m_notifier) m_notifier->MessageUpdateNotify(m, 0);
      }
      m_out.echoKnown = false;
    }
  }
  if (p->type != KX_ACK) m_lastSend = m_platform->Now();
  SendPump();
}

std::string CKxEngine::Hex(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "%x", v);
  return b;
}

void CKxEngine::SendPump() {
  while (!m_sendQ.empty()) {
    PacketPtr p = m_sendQ.front();
    if (!p->hasSeq) {
      if (p->type == CONNECT_REQUEST) {
        p->seq = static_cast<uint32_t>(m_platform->Rand());
        WriteHeader(p->data, p->seq, m_key);
        m_connectPending = true;
      } else {
        p->seq = m_nextSeq++;
        WriteHeader(p->data, p->seq, m_sessionId);
      }
      p->hasSeq = true;
    }
    if (p->data.size() > 8) p->data[8] = p->type;
    int r = m_platform->Send(p->data.data(), p->data.size());
    if (r == -EAGAIN) break;
    if (r < 0) {
      Log("Socket error %d on send", -r);
      break;
    }
    uint32_t sess = (uint32_t(p->data[4]) << 24) | (uint32_t(p->data[5]) << 16) | (uint32_t(p->data[6]) << 8) | p->data[7];
    Log("S(%d) %s seq:%d try:%d sess:%d", p->type, TypeName(p->type), static_cast<int>(p->seq), p->sendCount,
        static_cast<int>(sess));
    m_sendQ.pop_front();
    p->onSendQueue = false;
    if (p->type == KX_ACK || p->type == AUDIO_NACK || p->type == AUDIO) {
      // Acknowledgements and NACKs are never retransmitted; audio stays only on the sent-audio list.
    } else {
      ++p->sendCount;
      p->stamp = m_platform->Now();
      m_lastSend = p->stamp;
      m_awaiting.push_back(p);
    }
    if (p->type == KEEP_ALIVE && m_in.active && !m_in.nackRunning) {
      Log("KX: Send CheckNAK for %d, msgId:%d, author:%d", static_cast<int>(m_in.delivered + 1), m_in.msg,
          static_cast<int>(m_in.author));
      QueuePacket(MakePacket(BuildAudioNack(m_in.msg, m_in.author, {m_in.delivered + 1})));
    }
  }
}

void CKxEngine::Retransmit() {
  uint32_t now = m_platform->Now();
  std::vector<PacketPtr> due;
  for (auto it = m_awaiting.begin(); it != m_awaiting.end();) {
    PacketPtr p = *it;
    uint32_t wait = p->type == DISCONNECT ? kDisconnectRetransmitMs : kRetransmitMs;
    if (!TickAtOrAfter(now, p->stamp + wait)) break;
    if (static_cast<uint32_t>(p->sendCount) * kRetransmitMs > kAbandonMs) {
      ResetSession();
      return;
    }
    it = m_awaiting.erase(it);
    if (p->type == KEEP_ALIVE) m_lastSend = now;
    due.push_back(p);
  }
  for (auto& p : due) QueuePacket(p);
}

void CKxEngine::SendAck(uint32_t seq, uint32_t session) {
  auto p = MakePacket(BuildAck(seq, session));
  p->seq = seq;
  p->hasSeq = true;
  QueuePacket(p);
}

// ---------------------------------------------------------------------------------------------------------------
// Receiving.

void CKxEngine::ReceivePump() {
  if (!m_platform->ReceiveEnabled()) return;
  for (int guard = 0; guard < 10000; ++guard) {
    bool fromServer = false;
    int n = m_platform->Receive(m_rx, sizeof m_rx, &fromServer);
    if (n == -EAGAIN) break;
    if (n < 0) {
      Log("Socket error %d on receive", -n);
      break;
    }
    HandleDatagram(m_rx, static_cast<size_t>(n), fromServer);
  }
}

void CKxEngine::HandleDatagram(const uint8_t* d, size_t n, bool fromServer) {
  Header h;
  if (!ReadHeader(d, n, &h)) {
    Log("MERVANE: short datagram (%zu bytes) dropped", n);
    return;
  }
  Log("R(%d) %s seq:%d sess:%d", h.type, TypeName(h.type), static_cast<int>(h.seq), static_cast<int>(h.session));
  if (!fromServer) {
    Log("MERVANE: datagram type %d from an unknown source dropped", h.type);
    return;
  }
  // Packets of the live session revive it; with no session held, or once signed out for idleness
  // (the server still acknowledges the DISCONNECT), nothing brings the state back online.
  if (m_sessionId != 0 && h.session == m_sessionId && h.type != CONNECT_RESPONSE && h.type != SERVER_ERROR &&
      m_state != KX_ONLINE && m_state != KX_LOGGING_IN && m_state != KX_OFFLINE_IDLE)
    SetState(KX_ONLINE);

  if (h.type == KX_ACK) {
    // Servers may acknowledge with any session field (some send 0): the sequence number alone matches.
    for (auto it = m_awaiting.begin(); it != m_awaiting.end(); ++it) {
      if ((*it)->seq == h.seq) {
        uint8_t type = (*it)->type;
        m_awaiting.erase(it);
        if (type == DISCONNECT) ResetSession();
        return;
      }
    }
    Log("Unhandled ACK: seq:%d", static_cast<int>(h.seq));
    return;
  }

  if (!ValidateServerDatagram(d, n)) {
    Log("MERVANE: malformed %s (%zu bytes) dropped", TypeName(h.type), n);
    return;
  }

  // A resent response of the session already taken (its acknowledgement was lost) goes through the
  // duplicate test below and is acknowledged again; taking it anew would replay the stream after it.
  bool resentResponse = h.type == CONNECT_RESPONSE && m_sessionId != 0 && h.session == m_sessionId &&
                        SeqAtOrBefore(h.seq, m_highest);
  if (h.type == CONNECT_RESPONSE && !resentResponse) {
    if (h.session == 0) {
      // A refusal makes no session, so it may come with none: it still answers the sign-in under way and is
      // handled at once (there is no stream to order it in). An acceptance without a session is unusable.
      ConnectResponse c;
      if (m_connectPending && DecodeConnectResponse(d, n, &c) && c.result != 0) {
        auto p = MakePacket(std::vector<uint8_t>(d, d + n));
        p->seq = h.seq;
        p->hasSeq = true;
        SendAck(h.seq, h.session);
        DeliverPacket(p);
        return;
      }
      Log("MERVANE: CONNECT_RESPONSE without a session dropped");
      return;
    }
    // Only the answer to our own sign-in makes a session (and may move the destination): a replayed or
    // forged response would throw out the live session's stream or send everything that follows elsewhere.
    if (!m_connectPending) {
      Log("MERVANE: CONNECT_RESPONSE (session %u, seq %u) answers no sign-in; ignored", h.session, h.seq);
      return;
    }
    m_connectPending = false;
    m_sessionId = h.session;
    m_highest = h.seq - 1u;
    m_inOrder.clear();
    // The response proves the request arrived.
    m_awaiting.remove_if([](const PacketPtr& p) { return p->type == CONNECT_REQUEST; });
    Log("MERVANE SESSION %d", static_cast<int>(m_sessionId));
  } else if (h.session != m_sessionId || (m_sessionId == 0 && h.type != SERVER_ERROR)) {
    // Without a session only an error (the refusal of a sign-in) can come: nothing else has a stream.
    Log("MERVANE BAD SESSION(%d). Throwing out type %d.", static_cast<int>(h.session), h.type);
    return;
  }

  auto p = MakePacket(std::vector<uint8_t>(d, d + n));
  p->seq = h.seq;
  p->hasSeq = true;
  if (h.type == AUDIO) {
    IncomingAudio(p);
    return;
  }
  if (h.type == SERVER_ERROR && m_sessionId == 0) {
    // Without a session there is no stream to order it in (a refused sign-in): handled at once.
    SendAck(h.seq, h.session);
    DeliverPacket(p);
    return;
  }
  if (h.type != SERVER_ERROR && SeqAtOrBefore(h.seq, m_highest)) {
    Log("Duplicate packet(type %d, seq%d)", h.type, static_cast<int>(h.seq));
    SendAck(h.seq, h.session);
    return;
  }
  if (h.seq != m_highest + 1u && WaitingBehindGap() >= kMaxBehindGap && !InOrderHolds(h.seq)) {
    Log("MERVANE: %zu packets wait behind seq %u; type %d seq %u dropped", kMaxBehindGap, m_highest + 1u, h.type, h.seq);
    return;
  }
  p->stamp = m_platform->Now();
  if (h.seq == m_highest + 1u) {
    ++m_highest;
    for (auto& q : m_inOrder)
      if (q->seq == m_highest + 1u) ++m_highest;
  }
  if (h.type == SERVER_START_AUDIO) {
    InMessage im;
    DecodeServerStartAudio(d, n, &im);
    if (m_in.active) {
      Log("New start audio. Implicitly terminating");
      FinishIncomingClip();
    }
    TakeClip(im.msg, im.author);
  }
  auto it = m_inOrder.begin();
  while (it != m_inOrder.end() && static_cast<int32_t>((*it)->seq - h.seq) < 0) ++it;
  if (it != m_inOrder.end() && (*it)->seq == h.seq) {
    Log("DUPLICATE PACKET type(%d) seq(%d)", h.type, static_cast<int>(h.seq));
  } else {
    m_inOrder.insert(it, p);
  }
  if (h.type != AUDIO_NACK) SendAck(h.seq, h.session);
}

bool CKxEngine::InOrderHolds(uint32_t seq) const {
  for (const auto& q : m_inOrder)
    if (q->seq == seq) return true;
  return false;
}

size_t CKxEngine::WaitingBehindGap() const {
  size_t n = 0;
  for (auto it = m_inOrder.rbegin(); it != m_inOrder.rend() && !SeqAtOrBefore((*it)->seq, m_highest); ++it) ++n;
  return n;
}

void CKxEngine::Deliver() {
  uint32_t now = m_platform->Now();
  if (!m_inOrder.empty()) {
    PacketPtr f = m_inOrder.front();
    if (!SeqAtOrBefore(f->seq, m_highest) && TickAtOrAfter(now, f->stamp + kGapAbandonMs + 1)) {
      m_highest = f->seq;
      // What waits right behind it is in order now too, as when a missing packet arrives.
      for (auto& q : m_inOrder)
        if (q->seq == m_highest + 1u) ++m_highest;
    }
  }
  while (!m_inOrder.empty() && SeqAtOrBefore(m_inOrder.front()->seq, m_highest)) {
    PacketPtr p = m_inOrder.front();
    m_inOrder.pop_front();
    DeliverPacket(p);
    if (m_sessionId == 0) break;  // the packet ended the session
  }
}

void CKxEngine::DeliverPacket(const PacketPtr& p) {
  const uint8_t* d = p->data.data();
  size_t n = p->data.size();
  switch (p->type) {
    case AUDIO_DONE: {
      AudioControl c;
      DecodeAudioDoneOrTerminate(d, n, &c);
      if (!m_sentAudio.empty() && m_sentAudio.front()->msgNum == c.msg) {
        m_sentAudio.clear();
      } else {
        Log("Bad audio done(%d-%d)", c.msg, m_sentAudio.empty() ? -1 : m_sentAudio.front()->msgNum);
      }
      Dispatch(p);
      return;
    }
    case AUDIO_TERMINATE: {
      AudioControl c;
      DecodeAudioDoneOrTerminate(d, n, &c);
      if (m_in.active && c.msg == m_in.msg && c.author == m_in.author) {
        WriteOutOfOrderAudio();
        FinishIncomingClip();
      } else {
        Log("Bad message(%d-%d) or authorID(%d-%d) in Audio Termainate", c.msg, m_in.msg, static_cast<int>(c.author),
            static_cast<int>(m_in.author));
      }
      return;
    }
    case END_AUDIO: {
      AudioControl c;
      DecodeEndAudio(d, n, &c);
      if (m_in.heldEnd) {
        Log("Unexpected end audio seq%d id%d; has seq%d id%d", static_cast<int>(p->seq), c.msg,
            static_cast<int>(m_in.heldEnd->seq), m_in.msg);
        return;
      }
      if (!m_in.active && !(m_hasLastFinished && c.msg == m_lastFinished)) {
        Log("SETTING AS ON END AUDIO");
        TakeClip(c.msg, c.author);
      }
      if (!m_in.active || c.msg != m_in.msg || c.author != m_in.author) {
        Log("bad message(%d-%d) or author ID(%d-%d) in End Audio", c.msg, m_in.msg, static_cast<int>(c.author),
            static_cast<int>(m_in.author));
        return;
      }
      if (c.lastSeq == 0) {
        WriteOutOfOrderAudio();
        HandleEndAudio(c.msg, c.author);
      } else if (c.lastSeq == m_in.delivered) {
        HandleEndAudio(c.msg, c.author);
      } else {
        m_in.heldEnd = p;
        m_in.announcedLast = c.lastSeq;
        if (!m_in.nackRunning) {
          m_in.nackRunning = true;
          m_in.nackStamp = m_platform->Now() - kNackIntervalMs;
        }
      }
      return;
    }
    case AUDIO_NACK: {
      AudioControl c;
      DecodeAudioNack(d, n, &c);
      for (uint32_t s : c.seqs) {
        PacketPtr found;
        for (auto& a : m_sentAudio)
          if (a->seq == s) found = a;
        if (!found) {
          Log("WARNING: Could not nack msgid %d, seq %d", c.msg, static_cast<int>(s));
        } else if (found->onSendQueue) {
          Log("Skip Nack for %d. Already Queued", static_cast<int>(s));
        } else {
          QueuePacket(found);
        }
      }
      return;
    }
    default:
      Dispatch(p);
  }
}

void CKxEngine::Dispatch(const PacketPtr& p) {
  switch (p->type) {
    case CONNECT_RESPONSE: OnConnectResponse(p); break;
    case SERVER_ERROR: OnServerError(p); break;
    case RECEIVED_TEXT: OnReceivedText(p); break;
    case SERVER_START_AUDIO: OnServerStartAudio(p); break;
    case PRESENCE_STATUS: OnPresenceStatus(p); break;
    case ALL_BUDDY_LIST_RESP:
    case ALL_BUDDY_PRESENCE: OnFragment(p); break;
    default: Log("MERVANE DON'T KNOW HOW TO DISPATCH MESSAGE TYPE %d", p->type);
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Incoming voice.

void CKxEngine::TakeClip(uint16_t msg, uint32_t author) {
  m_in = Incoming();
  m_in.active = true;
  m_in.msg = msg;
  m_in.author = author;
}

void CKxEngine::IncomingAudio(const PacketPtr& p) {
  AudioPacket a;
  DecodeAudio(p->data.data(), p->data.size(), &a);
  Log("KX: Audio: seq: %d, msgId:%d, codec:%d, frame len:%d", static_cast<int>(p->seq), a.msg, a.codec,
      static_cast<int>(a.frameLen));
  p->msgNum = a.msg;
  if (!m_in.active && !(m_hasLastFinished && a.msg == m_lastFinished)) {
    Log("SETTING AS ON AUDIO PACKET %d", static_cast<int>(p->seq));
    TakeClip(a.msg, a.author);
  }
  if (!m_in.active || a.msg != m_in.msg || a.author != m_in.author) {
    Log("KX: Bad Audio seq:%d, Msg/Auth:%d/%d, Need:%d/%d", static_cast<int>(p->seq), a.msg, static_cast<int>(a.author),
        m_in.msg, static_cast<int>(m_in.author));
    return;
  }
  bool delivery = m_settings->GetSettingsBoolean(KX_OPT_AUDIO_DELIVERY);
  uint32_t expected = m_in.delivered + 1;
  if (p->seq == expected) {
    ++m_in.packets;
    ++m_core->m_receivedPackets;
    DeliverAudio(p);
    while (!m_ooo.empty() && m_ooo.front()->seq == m_in.delivered + 1) {
      PacketPtr q = m_ooo.front();
      m_ooo.pop_front();
      DeliverAudio(q);
    }
    if (m_in.heldEnd && MissingAudio(1).empty()) {
      PacketPtr held = m_in.heldEnd;
      m_in.heldEnd.reset();
      AudioControl c;
      DecodeEndAudio(held->data.data(), held->data.size(), &c);
      HandleEndAudio(c.msg, c.author);
    }
  } else if (static_cast<int32_t>(p->seq - expected) > 0) {
    auto it = m_ooo.begin();
    while (it != m_ooo.end() && static_cast<int32_t>((*it)->seq - p->seq) < 0) ++it;
    if (it != m_ooo.end() && (*it)->seq == p->seq) {
      Log("KX: Duplicate Audio: seq: %d, msgId:%d", static_cast<int>(p->seq), a.msg);
    } else {
      m_ooo.insert(it, p);
      ++m_in.packets;
      ++m_core->m_receivedPackets;
      if (delivery && m_settings->GetSettingsBoolean(KX_OPT_AUTOPLAY) && p->seq > m_in.highestPlayed) {
        m_playback.push_back(p);
        m_in.highestPlayed = p->seq;
      }
      if (!m_in.nackRunning && !delivery && !(a.codec & 0x80)) {
        m_in.nackRunning = true;
        m_in.nackStamp = m_platform->Now();
      }
    }
  } else {
    Log("KX: Duplicate Audio: seq: %d, msgId:%d", static_cast<int>(p->seq), a.msg);
  }
  m_audio->AutoPlay();
}

void CKxEngine::DeliverAudio(const PacketPtr& p) {
  if (m_settings->GetSettingsBoolean(KX_OPT_AUTOPLAY) && p->seq > m_in.highestPlayed) {
    m_playback.push_back(p);
    m_in.highestPlayed = p->seq;
  }
  if (p->data.size() > kAudioFramesOffset) {
    AudioPacket a;
    if (DecodeAudio(p->data.data(), p->data.size(), &a))
      m_platform->AppendFile(PathIn("tmp", Hex(m_in.msg) + ".r"), a.frames, a.frameLen);
  }
  m_in.delivered = p->seq;
}

void CKxEngine::WriteOutOfOrderAudio() {
  for (auto& q : m_ooo) {
    AudioPacket a;
    if (DecodeAudio(q->data.data(), q->data.size(), &a))
      m_platform->AppendFile(PathIn("tmp", Hex(m_in.msg) + ".r"), a.frames, a.frameLen);
  }
  m_ooo.clear();
}

std::vector<uint32_t> CKxEngine::MissingAudio(size_t limit) const {
  std::vector<uint32_t> out;
  uint32_t next = m_in.delivered + 1;
  uint32_t last = m_in.announcedLast;
  if (!m_ooo.empty() && m_ooo.back()->seq > last) last = m_ooo.back()->seq;
  auto it = m_ooo.begin();
  for (uint32_t s = next; s <= last && out.size() < limit; ++s) {
    while (it != m_ooo.end() && (*it)->seq < s) ++it;
    if (it != m_ooo.end() && (*it)->seq == s) continue;
    out.push_back(s);
  }
  return out;
}

void CKxEngine::CheckNacks() {
  if (!m_in.nackRunning) return;
  uint32_t now = m_platform->Now();
  if (!TickAtOrAfter(now, m_in.nackStamp + kNackIntervalMs)) return;
  std::vector<uint32_t> missing = m_in.active ? MissingAudio(kMaxNack) : std::vector<uint32_t>();
  if (missing.empty()) {
    m_in.nackRunning = false;
    return;
  }
  bool waiting = false;
  for (auto& q : m_sendQ)
    if (q->type == AUDIO_NACK) waiting = true;
  if (!waiting) {
    Log("KX: CheckNacks: count:%d", static_cast<int>(missing.size()));
    QueuePacket(MakePacket(BuildAudioNack(m_in.msg, m_in.author, missing)));
  }
  m_in.nackStamp = now;
}

void CKxEngine::HandleEndAudio(uint16_t msg, uint32_t author) {
  Log("KX: EndAudio: msgId:%d, author:%d", msg, static_cast<int>(author));
  if (!m_in.active || msg != m_in.msg || author != m_in.author) return;
  QueuePacket(MakePacket(BuildAudioDone(msg, author)));
  FinishIncomingClip();
}

void CKxEngine::FinishIncomingClip() {
  if (!m_in.active) return;
  Incoming clip = m_in;
  m_in = Incoming();
  m_ooo.clear();
  m_hasLastFinished = true;
  m_lastFinished = clip.msg;
  std::string rfile = PathIn("tmp", Hex(clip.msg) + ".r");
  Message_t* m = clip.hasMessage ? FindMessage(clip.entryId) : nullptr;
  if (m) {
    if (m_platform->Move(rfile, PathIn("audio", Hex(m->entryId)))) {
      m->state = KX_MSG_VOICE_STORED;
      float secs = AudioDuration(static_cast<int>(m->entryId));
      // Written with a point whatever locale the host program runs in.
      char num[32] = " [";
      auto res = std::to_chars(num + 2, num + sizeof num, secs, std::chars_format::fixed, 2);
      std::u16string caption(num, res.ec == std::errc() ? res.ptr : num + 2);
      int lang = m_settings->GetSettingsInt(KX_OPT_LANGUAGE);
      if (lang == 2) caption += u"\uCD08]";
      else if (lang == 3 || lang == 6) caption += u"\u79D2]";
      else caption += u" seconds]";
      std::u16string text;
      if (m->text && m->text->data)
        for (size_t i = 0; i < m->text->len / 2u && m->text->data[i]; ++i) text.push_back(m->text->data[i]);
      text += caption;
      if (text.size() > 8095) text.resize(8095);
      WStr_t* w = CKxCore::WStrNewM();
      if (w) {
        w->len = static_cast<uint16_t>(2 * (text.size() + 1));
        CKxCore::WStrAllocDataM(w);
        if (w->data) {
          memcpy(w->data, text.data(), 2 * text.size());
          CKxCore::WStrFree(m->text);
          m->text = w;
        } else {
          free(w);
        }
      }
      Log("MV Message Update on %d %d", static_cast<int>(m->entryId), m->msgNumber);
      MarkDirty(m);
      if (m_notifier) m_notifier->MessageUpdateNotify(m, 0);
    }
    if (m_core->m_receiverTest && m_notifier)
      m_notifier->AudioTestReceived(m, static_cast<int>(clip.packets), static_cast<int>(clip.packets * 200));
  } else {
    Log("KX CORE: Deleting received audio");
    m_platform->Remove(rfile);
  }
  m_core->m_receivedPackets = 0;
}

// ---------------------------------------------------------------------------------------------------------------
// Server packets.

void CKxEngine::OnConnectResponse(const PacketPtr& p) {
  ConnectResponse c;
  DecodeConnectResponse(p->data.data(), p->data.size(), &c);
  if (c.result == 0) {
    m_keepAliveMs = uint32_t(c.keepAlive) * 10000u;
    if (!c.address.empty() || c.port != 0) {
      uint32_t oldAddr = m_platform->DestAddr();
      uint16_t oldPort = m_platform->DestPort();
      m_platform->SetDestination(c.address, c.port);
      if (oldAddr != m_platform->DestAddr() || oldPort != m_platform->DestPort())
        m_platform->AcceptSource(oldAddr, oldPort);
    }
    int64_t server;
    if (KxPlatform::ParseServerTime(c.text, &server)) m_clockOffset = static_cast<int64_t>(time(nullptr)) - server;
    m_lastActivity = m_platform->Now();
    SetState(KX_ONLINE);
  } else if (c.result == 1 || c.result == 2) {
    Log("%s", c.text.c_str());
    ResetSession();
    Utf8_t* t = MakeUtf8(c.text);
    if (m_notifier) m_notifier->ServiceUpdateNotify(t);
    CKxCore::Utf8Free(t);
  } else {
    Log("Unkown connection response.");
    ResetSession();
  }
}

void CKxEngine::PassOnServerText(const std::string& text) {
  Log("KX: ServerError: %s", text.c_str());
  Utf8_t* t = MakeUtf8(text);
  if (m_notifier) m_notifier->ServiceUpdateNotify(t);
  CKxCore::Utf8Free(t);
}

void CKxEngine::OnServerError(const PacketPtr& p) {
  ServerError e;
  DecodeServerError(p->data.data(), p->data.size(), &e);
  if (e.flag == 0) {
    ResetSession();
    if (e.text.compare(0, 2, "1:") == 0) PassOnServerText(e.text);
  } else {
    PassOnServerText(e.text);
  }
}

void CKxEngine::AppendMessage(Message_t* m) {
  m->next = nullptr;
  if (m_tail) m_tail->next = m;
  else m_head = m;
  m_tail = m;
  ++m_count;
}

void CKxEngine::OnReceivedText(const PacketPtr& p) {
  InMessage im;
  if (!DecodeReceivedText(p->data.data(), p->data.size(), &im)) return;
  Message_t* m = CKxCore::MessageNewM();
  if (!m) return;
  FillReceived(m, im);
  m->subject = WFromText(im.subject);
  m->text = WFromText(im.text);
  m->time = ReceivedTime(im.time, m_clockOffset);
  for (auto& r : im.addressRecipients) {
    kx_recipient* kr = CKxCore::RecipientNewM();
    if (!kr) break;
    kr->kind = r.kind;
    kr->id = KX_ADDRESS_ONLY_ID;
    kr->address = MakeUtf8(r.address);
    Log("non-sub recipient %d", r.kind);
    CKxCore::MessageAddRecipient(m, kr);
  }
  m->state = KX_MSG_TEXT;
  if (im.hasAttachment) {
    if (im.attachKind == KX_ATTACH_SAF) {
      Log("Received SAF %s", im.urlOrItem.c_str());
      m->attachment = CKxCore::AttachmentSAFNewM(MakeUtf8(im.urlOrItem));
      m->state = KX_MSG_VOICE;
    } else {
      Log("MIME Type (%d) %s", im.attachKind, im.mime.c_str());
      m->attachment = CKxCore::AttachmentURLNewM(MakeUtf8(im.urlOrItem), nullptr, MakeUtf8(im.mime));
      if (m->attachment && m->attachment->fileName)
        Log("Received attach: name:%s, URL:%s", m->attachment->fileName->data, im.urlOrItem.c_str());
      else
        Log("Received attach: URL:%s", im.urlOrItem.c_str());
      m->state = KX_MSG_URL;
    }
  }
  if (im.text == ":" && im.subject == "$typing") {
    if (im.author != 0 && m_notifier) m_notifier->OnTypingNotify(m);
    CKxCore::MessageFree(m);
    return;
  }
  m->entryId = NextEntryId();
  if (im.author == 0) {
    if (m_out.active && im.msg == m_out.msg) {
      m_out.echoKnown = true;
      m_out.echoEntry = m->entryId;
      m->state = KX_MSG_VOICE;
    } else if (m_platform->Exists(PathIn("tmp", Hex(im.msg))) &&
               m_platform->Move(PathIn("tmp", Hex(im.msg)), PathIn("audio", Hex(m->entryId)))) {
      m->state = KX_MSG_VOICE_STORED;
    }
  }
  Log("New Message: type:%d, filename:%x.dat", m->state, m->entryId);
  AppendMessage(m);
  MarkDirty(m);
  if (m_notifier) m_notifier->MessageUpdateNotify(m, 1);
}

void CKxEngine::OnServerStartAudio(const PacketPtr& p) {
  InMessage im;
  if (!DecodeServerStartAudio(p->data.data(), p->data.size(), &im)) return;
  if (im.hasAttachment) Log("Received attachment in start audio");
  std::string text = im.text.empty() ? std::string(")))") : ")))" + std::string(" ") + im.text;
  Utf8_t* t8 = MakeUtf8(text);
  WStr_t* wtext = CKxCore::NewWStrFromUtf8(t8);
  CKxCore::Utf8Free(t8);
  // A message waiting for its clip (a stored item being replayed) takes it; one with a stored clip never does.
  for (Message_t* m = m_head; m; m = m->next) {
    if (m->authorId == im.author && m->msgNumber == im.msg && m->state != KX_MSG_VOICE_STORED) {
      Log("QueueFindMessage: FOUND! auth:%d, msg:%d", static_cast<int>(im.author), im.msg);
      CKxCore::WStrFree(m->text);
      m->text = wtext;
      m->state = KX_MSG_VOICE;
      if (m_in.active && m_in.msg == im.msg && m_in.author == im.author) {
        m_in.hasMessage = true;
        m_in.entryId = m->entryId;
      }
      Log("KX: StartAudio: msgId:%d, Using Existing entryId:%d", im.msg, static_cast<int>(m->entryId));
      if (m_notifier) m_notifier->MessageUpdateNotify(m, 0);
      return;
    }
  }
  Message_t* m = CKxCore::MessageNewM();
  if (!m) {
    CKxCore::WStrFree(wtext);
    return;
  }
  FillReceived(m, im);  // start-audio recipients carry no kind: it stays 0
  m->subject = WFromText(im.subject);
  m->text = wtext;
  m->time = ReceivedTime(im.time, m_clockOffset);
  m->state = KX_MSG_VOICE;
  m->entryId = NextEntryId();
  if (m_in.active && m_in.msg == im.msg && m_in.author == im.author) {
    m_in.hasMessage = true;
    m_in.entryId = m->entryId;
  }
  Log("KX: StartAudio: msgId:%d, entryId: %d", im.msg, static_cast<int>(m->entryId));
  AppendMessage(m);
  MarkDirty(m);
  if (m_notifier) m_notifier->MessageUpdateNotify(m, 1);
}

void CKxEngine::SetPresence(kx_contact* c, uint8_t wire, bool markAddressContact) {
  c->presence = wire & 0x0F;
  c->visibility = (wire >> 4) & 0x07;
  c->blocked = (wire >> 7) & 1;
  if (markAddressContact && c->presence == 2 && c->address && c->address->data && c->address->len >= 4 &&
      memcmp(c->address->data, "eml:", 4) == 0)
    c->presence = 258;
}

void CKxEngine::OnPresenceStatus(const PacketPtr& p) {
  PresenceEntry e;
  DecodePresenceStatus(p->data.data(), p->data.size(), &e);
  // A contact listed under two groups has an entry in each: all of them change.
  bool found = false;
  for (kx_contact* c : m_contacts) {
    if (!c->isGroup && c->id == e.id) {
      SetPresence(c, e.presence, false);
      Log("Presence Update: ID:%d, pres:%d, vis:%d, blk:%d", static_cast<int>(c->id), c->presence, c->visibility,
          c->blocked);
      if (m_notifier) m_notifier->ContactUpdateNotify(0, c);
      found = true;
    }
  }
  if (!found) Log("Presence Update: Contact not found: %d", static_cast<int>(e.id));
}

void CKxEngine::OnFragment(const PacketPtr& p) {
  Fragment f;
  DecodeFragment(p->data.data(), p->data.size(), &f);
  const bool buddy = p->type == ALL_BUDDY_LIST_RESP;
  auto& list = buddy ? m_fragBuddy : m_fragPresence;
  uint32_t now = m_platform->Now();
  list.remove_if([&](const PacketPtr& q) { return TickAtOrAfter(now, q->stamp + kFragmentMaxAgeMs + 1); });
  std::vector<uint8_t> body;
  if (f.count == 1) {
    body.assign(f.bytes, f.bytes + f.len);
  } else {
    auto it = list.begin();
    while (it != list.end() && static_cast<int32_t>((*it)->seq - p->seq) < 0) ++it;
    list.insert(it, p);
    std::vector<PacketPtr> parts(f.count + 1u);
    for (auto& q : list) {
      Fragment g;
      DecodeFragment(q->data.data(), q->data.size(), &g);
      if (g.batch == f.batch && g.count == f.count && !parts[g.index]) parts[g.index] = q;
    }
    for (unsigned i = 1; i <= f.count; ++i)
      if (!parts[i]) return;
    for (unsigned i = 1; i <= f.count; ++i) {
      Fragment g;
      DecodeFragment(parts[i]->data.data(), parts[i]->data.size(), &g);
      body.insert(body.end(), g.bytes, g.bytes + g.len);
    }
    list.remove_if([&](const PacketPtr& q) {
      for (unsigned i = 1; i <= f.count; ++i)
        if (parts[i] == q) return true;
      return false;
    });
  }
  if (buddy) ApplyBuddyList(body);
  else ApplyPresenceList(body);
}

void CKxEngine::FreeContacts() {
  for (kx_contact* c : m_contacts) CKxCore::ContactFree(c);
  m_contacts.clear();
}

void CKxEngine::FreeMessages() {
  while (m_head) {
    Message_t* n = m_head->next;
    CKxCore::MessageFree(m_head);
    m_head = n;
  }
  m_tail = nullptr;
  m_count = 0;
}

void CKxEngine::ApplyBuddyList(const std::vector<uint8_t>& body) {
  BuddyList bl;
  if (!DecodeBuddyListBody(body.data(), body.size(), &bl)) {
    Log("MERVANE: malformed buddy list (%zu bytes) dropped", body.size());
    return;
  }
  FreeContacts();
  bool groups = GroupModeByte() != 0;
  for (auto& g : bl.groups) {
    kx_contact* heading = nullptr;
    if (groups) {
      heading = CKxCore::ContactNewM();
      if (!heading) break;
      heading->isGroup = 1;
      heading->name = MakeUtf8(g.name);
      m_contacts.push_back(heading);
    }
    for (auto& mb : g.members) {
      kx_contact* c = CKxCore::ContactNewM();
      if (!c) break;
      c->id = mb.id;
      c->name = MakeUtf8(mb.name);
      c->address = MakeUtf8(mb.address);
      c->group = heading;
      SetPresence(c, mb.presence, true);
      Log("  Name:%s(%d), pres:%d, vis:%d, blk:%d", mb.name.c_str(), static_cast<int>(c->id), c->presence,
          c->visibility, c->blocked);
      m_contacts.push_back(c);
    }
  }
  Log("Contact update on ALL contacts.");
  if (m_notifier) m_notifier->ContactUpdateNotify(bl.list, nullptr);
}

void CKxEngine::ApplyPresenceList(const std::vector<uint8_t>& body) {
  PresenceList pl;
  if (!DecodePresenceListBody(body.data(), body.size(), &pl)) {
    Log("MERVANE: malformed presence list (%zu bytes) dropped", body.size());
    return;
  }
  for (auto& e : pl.entries) {
    bool found = false;
    for (kx_contact* c : m_contacts) {
      if (!c->isGroup && c->id == e.id) {
        SetPresence(c, e.presence, true);
        found = true;
      }
    }
    if (!found) Log("GOT PRESENCE FOR UNKNOWN BUDDY");
  }
  Log("Contact update on ALL contacts");
  if (m_notifier) m_notifier->ContactUpdateNotify(pl.list, nullptr);
}

// ---------------------------------------------------------------------------------------------------------------
// Tick.

void CKxEngine::Tick() {
  m_holdOptionWrites = true;
  RunCompletions();
  SendPump();
  Retransmit();
  ReceivePump();
  Deliver();
  uint32_t now = m_platform->Now();
  if (m_sessionId != 0 && m_keepAliveMs != 0 && TickAtOrAfter(now, m_lastSend + m_keepAliveMs + 1)) {
    QueuePacket(MakePacket(BuildKeepAlive()));
    m_lastSend = now;
  }
  CheckNacks();
  bool dirty = false;
  for (Message_t* m = m_head; m; m = m->next)
    if (m->dirty) dirty = true;
  if (dirty) WriteMessages();
  int idle = m_settings->GetSettingsInt(KX_OPT_IDLE_TIMEOUT);
  if (m_state == KX_ONLINE && idle > 0 && TickAtOrAfter(now, m_lastActivity + uint32_t(idle) * 60000u)) {
    SetState(KX_OFFLINE_IDLE);
    SignOut();
  }
  WriteHeldOptions();
}

int CKxEngine::NextTickDelay() {
  // Work that a tick does at every pass while it lasts.
  if (!m_sendQ.empty() || PendingCompletions() != 0 || m_audio->State() != CAudioManager::IDLE || !m_playback.empty())
    return 0;
  for (Message_t* m = m_head; m; m = m->next)
    if (m->dirty) return 0;
  if (!m_inOrder.empty() && SeqAtOrBefore(m_inOrder.front()->seq, m_highest)) return 0;
  // Otherwise the earliest time a step of the tick falls due, by the same tests as the tick's.
  const uint32_t now = m_platform->Now();
  int64_t best = -1;
  auto due = [&](uint32_t at) {
    int64_t left = static_cast<int32_t>(at - now);
    if (left < 0) left = 0;
    if (best < 0 || left < best) best = left;
  };
  if (!m_awaiting.empty()) {
    const PacketPtr& p = m_awaiting.front();  // the walk stops at the first one not due
    due(p->stamp + (p->type == DISCONNECT ? kDisconnectRetransmitMs : kRetransmitMs));
  }
  if (!m_inOrder.empty()) due(m_inOrder.front()->stamp + kGapAbandonMs + 1);
  if (m_sessionId != 0 && m_keepAliveMs != 0) due(m_lastSend + m_keepAliveMs + 1);
  if (m_in.nackRunning) due(m_in.nackStamp + kNackIntervalMs);
  int idle = m_settings ? m_settings->GetSettingsInt(KX_OPT_IDLE_TIMEOUT) : 0;
  if (m_state == KX_ONLINE && idle > 0) due(m_lastActivity + uint32_t(idle) * 60000u);
  return static_cast<int>(best);
}

void CKxEngine::PostCompletion(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(m_completionMutex);
    m_completions.push_back(std::move(fn));
  }
  m_platform->Signal();
}

size_t CKxEngine::PendingCompletions() {
  std::lock_guard<std::mutex> lock(m_completionMutex);
  return m_completions.size();
}

void CKxEngine::RunCompletions() {
  m_platform->TakeSignal();
  std::vector<std::function<void()>> run;
  {
    std::lock_guard<std::mutex> lock(m_completionMutex);
    run.swap(m_completions);
  }
  for (auto& f : run) f();
}

void CKxEngine::SetDownloadWorker(std::unique_ptr<TransferWorker> w) {
  if (m_download) m_download->StopAndJoin();
  m_download = std::move(w);
}

void CKxEngine::SetUploadWorker(std::unique_ptr<TransferWorker> w) {
  if (m_upload) m_upload->StopAndJoin();
  m_upload = std::move(w);
}

// ---------------------------------------------------------------------------------------------------------------
// Messages.

Message_t* CKxEngine::MessageAt(int index) {
  if (index < 0 || index >= m_count) return nullptr;
  Message_t* m = m_head;
  for (int i = 0; i < index && m; ++i) m = m->next;
  return m;
}

Message_t* CKxEngine::FindMessage(uint32_t entryId) {
  for (Message_t* m = m_head; m; m = m->next)
    if (m->entryId == entryId) return m;
  return nullptr;
}

void CKxEngine::MarkDirty(Message_t* m) { m->dirty = 1; }

uint16_t CKxEngine::NextMessageNumber() {
  int n = m_settings->GetSettingsInt(KX_OPT_MESSAGE_ID);
  if (n == 0) n = m_platform->Rand();
  if (n > 32766 || n <= 0) n = 1;
  m_settings->SetSettingsInt(KX_OPT_MESSAGE_ID, n + 1);
  return static_cast<uint16_t>(n);
}

uint32_t CKxEngine::NextEntryId() {
  // Entry ids name files: never reuse one that a listed message holds.
  for (int tries = 0; tries < 32768; ++tries) {
    uint32_t id = NextMessageNumber();
    if (!FindMessage(id)) return id;
  }
  uint32_t id = 32768;
  while (FindMessage(id)) ++id;
  return id;
}

Utf8_t* CKxEngine::NextTag() {
  int n = m_settings->GetSettingsInt(KX_OPT_THREAD_COUNTER);
  if (n < 0 || n > 32766) n = 1;
  m_settings->SetSettingsInt(KX_OPT_THREAD_COUNTER, n + 1);
  char buf[32];
  snprintf(buf, sizeof buf, "%d_%d", static_cast<int32_t>(m_sessionId), n);
  return MakeUtf8(buf);
}

EKxErrorCode_t CKxEngine::DeleteMessage(int entryId) {
  if (entryId == -1) {
    FreeMessages();
    m_platform->EmptyDirectory(m_base + "/messages");
    m_platform->EmptyDirectory(m_base + "/audio");
    return KX_OK;
  }
  Message_t* prev = nullptr;
  for (Message_t* m = m_head; m; prev = m, m = m->next) {
    if (m->entryId != static_cast<uint32_t>(entryId)) continue;
    if (prev) prev->next = m->next;
    else m_head = m->next;
    if (m_tail == m) m_tail = prev;
    --m_count;
    m_platform->Remove(PathIn("messages", Hex(m->entryId) + ".dat"));
    m_platform->Remove(PathIn("audio", Hex(m->entryId)));
    CKxCore::MessageFree(m);
    return KX_OK;
  }
  return KX_UNKNOWN_ENTRY;
}

namespace {
std::vector<OutRecipient> OutRecipients(Message_t* m) {
  std::vector<OutRecipient> out;
  for (kx_recipient* r = m->recipients; r; r = r->next) {
    OutRecipient o;
    o.kind = static_cast<uint8_t>(r->kind);
    o.id = static_cast<uint32_t>(r->id);
    o.addressOnly = r->id == KX_ADDRESS_ONLY_ID || r->kind == KX_RECIPIENT_ADDRESS_KIND;
    o.address = Str(r->address);
    out.push_back(o);
  }
  return out;
}

// A URL or store-and-forward attachment travels with a text or a clip's announcement; others do not.
OutAttachment AttachmentOf(Message_t* m) {
  OutAttachment a;
  if (m->attachment && (m->attachment->kind == KX_ATTACH_URL || m->attachment->kind == KX_ATTACH_SAF)) {
    a.present = true;
    a.kind = m->attachment->kind;
    a.mime = Str(m->attachment->mimeType);
    a.urlOrItem = Str(m->attachment->url);
  }
  return a;
}
}  // namespace

EKxErrorCode_t CKxEngine::SendText(Message_t* m) {
  auto d = BuildMessage(SEND_TEXT_2, m->msgNumber, Str(m->tag), OutRecipients(m), WText(m->subject), WText(m->text),
                        AttachmentOf(m));
  auto p = MakePacket(std::move(d));
  p->msgNum = m->msgNumber;
  QueuePacket(p);
  return KX_OK;
}

// Announces the message's clip and makes it the outgoing one.
void CKxEngine::StartOutgoingClip(Message_t* m) {
  auto p = MakePacket(BuildMessage(CLIENT_START_AUDIO, m->msgNumber, Str(m->tag), OutRecipients(m), WText(m->subject),
                                   WText(m->text), AttachmentOf(m)));
  p->msgNum = m->msgNumber;
  m_out = Outgoing();
  m_out.active = true;
  m_out.msg = m->msgNumber;
  QueuePacket(p);
}

EKxErrorCode_t CKxEngine::SendVoice(Message_t* m) {
  StartOutgoingClip(m);
  m_audio->StartRecording();
  return KX_OK;
}

EKxErrorCode_t CKxEngine::SendLoad(Message_t* m, int packets) {
  StartOutgoingClip(m);
  std::vector<uint8_t> filler(130, 0);
  for (int i = 0; i < packets; ++i) {
    filler[0] = 0x04;  // mode 0 header byte keeps each frame walkable
    for (int f = 0; f < 10; ++f) filler[f * 13] = 0x04;
    OnEncodedAudio(filler.data(), filler.size());
  }
  OnRecordingStopped();
  return KX_OK;
}

EKxErrorCode_t CKxEngine::SendSaf(Message_t* m) {
  QueuePacket(MakePacket(BuildSafReq(m->authorId, Str(m->attachment->url))));
  return KX_OK;
}

void CKxEngine::OnEncodedAudio(const uint8_t* frames, size_t len) {
  if (!m_out.active) return;
  auto p = MakePacket(BuildAudio(m_out.msg, 0, frames, len, 0));
  p->seq = m_out.nextSeq++;
  p->hasSeq = true;
  p->msgNum = m_out.msg;
  WriteHeader(p->data, p->seq, m_sessionId);
  m_out.recordedMs += 200;
  QueuePacket(p);
  if (m_out.recordedMs > kMaxRecordMs && m_audio->IsRecording()) m_audio->StopRecording();
}

void CKxEngine::OnRecordingStopped() {
  if (!m_out.active) return;
  m_out.active = false;
  auto p = MakePacket(BuildEndAudio(m_out.msg, 0, static_cast<uint16_t>(m_out.nextSeq - 1)));
  p->msgNum = m_out.msg;
  QueuePacket(p);
}

EKxErrorCode_t CKxEngine::PlayMessage(int entryId) {
  Log("KX: PlayMessage() entryId:%x", entryId);
  if (m_audio->IsRecording()) return KX_BUSY;
  std::vector<uint8_t> clip;
  if (!m_platform->ReadFile(PathIn("audio", Hex(static_cast<uint32_t>(entryId))), clip)) return KX_UNKNOWN_ENTRY;
  Log("PlayMessage: size:%d", static_cast<int>(clip.size()));
  m_audio->PlayBlock(clip.data(), clip.size());
  return KX_OK;
}

float CKxEngine::AudioDuration(int entryId) {
  std::vector<uint8_t> clip;
  std::string path = PathIn("audio", Hex(static_cast<uint32_t>(entryId)));
  if (!m_platform->ReadFile(path, clip)) return 0.0f;
  int frames = AmrCountFrames(clip.data(), clip.size());
  Log("MERVANE: GetAudioDuration: %d, frames:%d, %s", frames * 2, frames, path.c_str());
  return static_cast<float>(frames) * 0.02f;
}
