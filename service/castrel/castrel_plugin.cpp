// Messaging plug-in: sign-in and pump of the messaging library, its reports turned into presence notices.
#include "service/castrel/castrel_plugin.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/appenv.h"
#include "common/debug.h"
#include "platform/codepage.h"
#include "platform/mmtimer.h"
#include "platform/msgqueue.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "service/presence_notice.h"

namespace {

constexpr unsigned kModule = 10;
constexpr UINT kTickMs = 100;

CCastrelSession* g_session = nullptr;
std::string g_basePath;
PresenceSettingList g_options;

// A caller's fault, in the trace's form for failed checks.
void ReportFailedCheck(const char* condition, int line) {
    DebugTrace(MOD_SYSTEM, DBG_NONE, "!---: ASSERT(%s) FAILED!\n%s #%d\n", condition, "service/castrel/castrel_plugin", line);
}

std::string Text(const Utf8_t* s) { return s && s->data ? std::string(s->data, s->len) : std::string(); }

std::string ToAnsi(const Utf8_t* s) { return plat::Utf8ToAnsi(Text(s)); }

std::string WideToAnsi(WStr_t* w) {
    if (!w) return {};
    Utf8_t* u = CKxCore::NewUtf8FromWStr(w);
    std::string out = ToAnsi(u);
    CKxCore::Utf8Free(u);
    return out;
}

bool IsOnlinePresence(uint16_t presence) {
    switch (presence) {
        case 1: case 4: case 5: case 6: case 7: case 9: return true;
        default: return false;
    }
}

PresenceBuddyRecord* BuddyRecord(const kx_contact* c) {
    auto* r = new (std::nothrow) PresenceBuddyRecord();
    if (!r) return nullptr;
    r->id = static_cast<int32_t>(c->id);
    presence_copy_field(r->name, sizeof r->name, ToAnsi(c->name).c_str());
    presence_copy_field(r->account, sizeof r->account, Text(c->address).c_str());
    r->online = IsOnlinePresence(c->presence) ? 1 : 0;
    return r;
}

CCastrelSession* SessionOf(PresenceConnectionRec* connection) {
    return connection ? static_cast<CCastrelSession*>(connection->protocolData) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Operations table

const char* CastrelListIcon(Account*, void*) {
    DebugTrace(kModule, 3, "castrel: list icon\n");
    return "castrel";
}
void CastrelListEmblems(void*) { DebugTrace(kModule, 3, "castrel: list emblems\n"); }
const char* CastrelStatusText(void*) {
    DebugTrace(kModule, 3, "castrel: status text\n");
    return nullptr;
}

void DeleteSession() {
    if (!g_session) return;
    CCastrelSession* s = g_session;
    g_session = nullptr;
    delete s;
}

int CastrelLogin(Account* account) {
    if (!account) return -1;
    DeleteSession();
    auto* session = new (std::nothrow) CCastrelSession();
    if (!session) return -1;
    g_session = session;
    auto* connection = presence_rec(account->connection);
    session->m_notifier->m_connection = connection;
    if (connection) connection->protocolData = session;

    // As long as any host the bootstrap server may name (259 bytes): a cut name would be another host.
    char server[260] = {};
    presence_setting_get_string(&account->settings, "server", CASTREL_DEFAULT_SERVER, server, sizeof server);
    const int port = presence_setting_get_int(&account->settings, "port", CASTREL_DEFAULT_PORT);
    int result = -1;
    session->WithCore([&](CCastrelCore* core) {
        CKxCoreSettings* s = core->GetSettings();
        s->SetSettingsString_Free(KX_OPT_SERVER_IP, CKxCore::Utf8Create(server));
        s->SetSettingsInt(KX_OPT_PORT, port);
        s->SetSettingsString_Free(KX_OPT_USERNAME, CKxCore::Utf8Create(account->userName ? account->userName : ""));
        s->SetSettingsString_Free(KX_OPT_PASSWORD, CKxCore::Utf8Create(account->password ? account->password : ""));
        s->SetSettingsInt(KX_OPT_IDLE_TIMEOUT, 0);
        s->SetSettingsBoolean(KX_OPT_AUTOPLAY, 0);
        s->SetSettingsInt(KX_OPT_LANGUAGE, g_strLangType == "chs" ? 6 : 1);
        DebugTrace(kModule, 3, "castrel: sign in %s at %s:%d\n", account->userName, server, port);
        result = core->SignIn(KX_VISIBILITY_VISIBLE);
    });
    session->StartTimer();
    return result;
}

void CastrelClose(PresenceConnectionRec* connection) {
    CCastrelSession* session = SessionOf(connection);
    if (!session) {
        ReportFailedCheck("kx_session", __LINE__);
        return;
    }
    DebugTrace(kModule, 3, "castrel: sign out\n");
    session->StopTimer();
    session->WithCore([](CCastrelCore* core) { core->SignOut(); });
    connection->protocolData = nullptr;
    session->m_notifier->m_connection = nullptr;
}

int CastrelSendIm(PresenceConnectionRec* connection, std::vector<PresenceBuddyRecord>* recipients, const char* text,
                  const char* threadId, int kind) {
    CCastrelSession* session = SessionOf(connection);
    if (!recipients || recipients->empty()) ReportFailedCheck("!recip.empty()", __LINE__);
    if (!session || !recipients) {
        ReportFailedCheck("kx_session", __LINE__);
        if (recipients) recipients->clear();
        return -1;
    }
    Message_t* m = CKxCore::MessageNewM();
    if (!m) {
        recipients->clear();
        return -1;
    }
    const size_t count = recipients->size();
    for (const PresenceBuddyRecord& r : *recipients) {
        kx_recipient* kr = CKxCore::RecipientNewM();
        if (!kr) continue;
        kr->kind = 0;
        kr->id = r.id;
        CKxCore::MessageAddRecipient(m, kr);
    }
    recipients->clear();
    if (threadId && threadId[0]) m->tag = CKxCore::Utf8Create(threadId);
    if (kind != 3) {
        Utf8_t* u = CKxCore::Utf8Create(plat::AnsiToUtf8(text ? text : "").c_str());
        m->text = CKxCore::NewWStrFromUtf8(u);
        CKxCore::Utf8Free(u);
    }
    int result = -1;
    session->WithCore([&](CCastrelCore* core) { result = core->SendMessage(m, kind == 3 ? 1 : 0); });
    DebugTrace(kModule, 3, "castrel: send %s to %d recipient(s): %d\n", kind == 3 ? "voice" : "text",
               static_cast<int>(count), result);
    return result;
}

void CastrelStopAudio(PresenceConnectionRec* connection) {
    DebugTrace(kModule, 3, "castrel: stop audio\n");
    if (CCastrelSession* session = SessionOf(connection))
        session->WithCore([](CCastrelCore* core) {
            if (core->IsRecording()) core->StopAudio();
        });
}

void CastrelPlayMessage(PresenceConnectionRec* connection, int entryId) {
    DebugTrace(kModule, 3, "castrel: play message %d\n", entryId);
    if (CCastrelSession* session = SessionOf(connection))
        session->WithCore([entryId](CCastrelCore* core) { core->PlayMessage(entryId); });
}

int CastrelAddBuddy(PresenceConnectionRec* connection, const char* name) { return castrel_add_buddy(connection, name); }

bool CastrelLoad(PresencePlugin*) {
    presence_setting_free_all(&g_options);
    if (!presence_setting_set_string(&g_options, "server", "Login server", CASTREL_DEFAULT_SERVER) ||
        !presence_setting_set_int(&g_options, "port", "Port", CASTREL_DEFAULT_PORT))
        return false;
    DebugTrace(kModule, 3, "castrel: plug-in loaded\n");
    return true;
}

bool CastrelUnload(PresencePlugin*) {
    DebugTrace(kModule, 3, "castrel: plug-in unloaded\n");
    presence_setting_free_all(&g_options);
    DeleteSession();
    return true;
}

PresenceProtocolOps g_castrelOps = {
    6, 4, &g_options, {"png", 0, 0, 96, 96, 2},
    CastrelListIcon, CastrelListEmblems, CastrelStatusText,
    CastrelLogin, CastrelClose, CastrelSendIm, CastrelStopAudio, CastrelPlayMessage,
    CastrelAddBuddy, castrel_remove_buddy, castrel_block_buddy, castrel_unblock_buddy,
};

PresencePluginInfo g_castrelInfo = {
    4, 2, 1, "KX", "KX 1.0", "KX Protocol Plugin", "KX Protocol Plugin", "Castrelle", "http://127.0.0.1/",
    CastrelLoad, CastrelUnload, &g_castrelOps,
};

}  // namespace

PresencePlugin g_castrelPlugin = {&g_castrelInfo};

void castrel_set_base_path(const char* path) { g_basePath = path ? path : ""; }

CCastrelSession* castrel_session() { return g_session; }

int castrel_add_buddy(PresenceConnectionRec* connection, const char* name) {
    CCastrelSession* session = SessionOf(connection);
    if (!session || !name) return -1;
    int result = -1;
    session->WithCore([&](CCastrelCore* core) {
        Utf8_t* u = CKxCore::Utf8Create(name);
        result = core->AddContact(u, nullptr);
        CKxCore::Utf8Free(u);
    });
    DebugTrace(kModule, 3, "castrel: add buddy %s: %d\n", name, result);
    return result;
}

void castrel_remove_buddy(PresenceConnectionRec* connection, int uid) {
    DebugTrace(kModule, 3, "castrel: remove buddy %d\n", uid);
    if (CCastrelSession* session = SessionOf(connection))
        session->WithCore([uid](CCastrelCore* core) { core->DeleteContact(uid); });
}

void castrel_block_buddy(PresenceConnectionRec* connection, int uid) {
    DebugTrace(kModule, 3, "castrel: block buddy %d\n", uid);
    if (CCastrelSession* session = SessionOf(connection))
        session->WithCore([uid](CCastrelCore* core) { core->BlockUser(uid, 1); });
}

void castrel_unblock_buddy(PresenceConnectionRec* connection, int uid) {
    DebugTrace(kModule, 3, "castrel: unblock buddy %d\n", uid);
    if (CCastrelSession* session = SessionOf(connection))
        session->WithCore([uid](CCastrelCore* core) { core->BlockUser(uid, 0); });
}

// ---------------------------------------------------------------------------------------------
// Session

CCastrelSession::CCastrelSession() {
    m_core = g_basePath.empty() ? new CCastrelCore(this, ".") : new CCastrelCore(this, g_basePath.c_str());
    // Without its core the library writes its log into the working directory (the installation's).
    CMervane::m_core = m_core;
    for (const std::string& line : m_earlyLog) CMervane::Printf("%s", line.c_str());
    m_earlyLog.clear();
    m_notifier = new CCastrelNotifier(this);
    m_core->SetNotifier(m_notifier);
}

CCastrelSession::~CCastrelSession() {
    StopTimer();
    delete m_core;
    m_core = nullptr;
    CMervane::m_core = nullptr;
    delete m_notifier;
    m_notifier = nullptr;
    // What the last calls reported still reaches the window, which checks the connection itself.
    Deliver(false);
}

void CCastrelSession::Printf(const char* format, ...) {
    char text[8196];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (CMervane::m_core == nullptr) {
        m_earlyLog.emplace_back(text);
        return;
    }
    CMervane::Printf("%s", text);
}

bool CCastrelSession::StartTimer() {
    if (m_pumping.load()) return true;
    m_stopping.store(false);
    m_tickSoon.store(false);
    m_origin = plat::NowMs();
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_pumping.store(true);
    {
        std::lock_guard<std::mutex> lock(m_coreMutex);
        m_watchFd = m_core ? m_core->GetWaitDescriptor() : -1;
        ScheduleFromCore(0);
    }
    if (m_wakeFd < 0 || m_watchFd < 0 || !m_watcher.start("castrel", [this] { Watch(); })) {
        DebugTrace(kModule, 1, "castrel: the pump's watcher did not start: ticks on every beat\n");
        if (m_wakeFd >= 0) close(m_wakeFd);
        m_wakeFd = -1;
        m_watchFd = -1;
        ScheduleAt(BeatAtOrAfter(plat::NowMs()));
    }
    return true;
}

void CCastrelSession::StopTimer() {
    if (!m_pumping.load()) return;
    m_stopper.store(GetCurrentThreadId());
    std::vector<Wake> wakes;
    {
        std::lock_guard<std::mutex> lock(m_pumpMutex);
        m_stopping.store(true);
        wakes.swap(m_wakes);
    }
    // A tick waiting for the window to take a message notice would keep the kill waiting on a
    // thread that waits for us: let it give up; the message stays in the library's store.
    presence_notices_hold(true);
    for (const Wake& w : wakes) plat::KillTimer(w.timer);
    presence_notices_hold(false);
    if (m_watcher.joinable()) {
        WakeWatcher();
        m_watcher.join();
    }
    m_watcher = plat::Thread();
    if (m_wakeFd >= 0) close(m_wakeFd);
    m_wakeFd = -1;
    m_watchFd = -1;
    m_pumping.store(false);
}

uint64_t CCastrelSession::BeatAtOrAfter(uint64_t t) const {
    if (t <= m_origin + kTickMs) return m_origin + kTickMs;
    return m_origin + (t - m_origin + kTickMs - 1) / kTickMs * kTickMs;
}

void CCastrelSession::ScheduleAt(uint64_t at) {
    std::lock_guard<std::mutex> lock(m_pumpMutex);
    if (m_stopping.load() || !m_pumping.load()) return;
    for (const Wake& w : m_wakes)
        if (!w.fired && w.at <= at) return;
    const uint64_t now = plat::NowMs();
    // Timers reach 1000 s at most: a later step is looked at again then.
    const UINT delay = at <= now ? 1 : static_cast<UINT>(std::min<uint64_t>(at - now, 1000000));
    UINT timer = plat::StartTimer(delay, false, [this](UINT id) { OnTimer(id); });
    if (timer != 0) m_wakes.push_back({timer, now + delay, false});
}

void CCastrelSession::ScheduleFromCore(uint64_t notBefore) {
    if (!m_core || !m_pumping.load()) return;
    // Read before the core reads its own clock: the beat found is never later than the step's.
    const uint64_t now = plat::NowMs();
    const int delay = m_core->GetNextTickDelay();
    if (delay < 0) return;
    ScheduleAt(std::max(BeatAtOrAfter(now + static_cast<uint64_t>(delay)), notBefore));
}

void CCastrelSession::OnTimer(UINT timer) {
    {
        std::lock_guard<std::mutex> lock(m_pumpMutex);
        for (Wake& w : m_wakes)
            if (w.timer == timer) w.fired = true;
    }
    Tick();
    std::lock_guard<std::mutex> lock(m_pumpMutex);
    for (auto it = m_wakes.begin(); it != m_wakes.end(); ++it) {
        if (it->timer == timer) {
            m_wakes.erase(it);
            break;
        }
    }
}

void CCastrelSession::Tick() {
    if (m_stopping.load()) return;
    // The beat this tick belongs to: the next one comes 100 ms after it at the earliest.
    const uint64_t beat = m_origin + (plat::NowMs() - m_origin) / kTickMs * kTickMs;
    {
        std::lock_guard<std::mutex> lock(m_coreMutex);
        if (m_core) m_core->TickCore();
        ++m_ticks;
        if (m_watchFd < 0) ScheduleAt(beat + kTickMs);  // no watcher: every beat
        else ScheduleFromCore(beat + kTickMs);
    }
    // The datagrams are taken: the watcher looks again.
    if (m_tickSoon.exchange(false)) WakeWatcher();
    Deliver(true);
}

void CCastrelSession::WakeWatcher() {
    if (m_wakeFd < 0) return;
    uint64_t one = 1;
    if (write(m_wakeFd, &one, sizeof one) < 0) DebugTrace(kModule, 1, "castrel: waking the pump's watcher failed\n");
}

void CCastrelSession::Watch() {
    for (;;) {
        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {m_watchFd, POLLIN, 0}};
        // While a tick is asked for, what waits is its to take.
        const nfds_t count = m_tickSoon.load() || m_watchFd < 0 ? 1 : 2;
        int r = poll(fds, count, -1);
        if (m_stopping.load()) return;
        if (r < 0) {
            if (errno == EINTR) continue;
            DebugTrace(kModule, 1, "castrel: the pump's watcher failed (%d)\n", errno);
            return;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count64 = 0;
            if (read(m_wakeFd, &count64, sizeof count64) < 0) {
                // Taken by an earlier wake.
            }
        }
        if (count == 2 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP))) {
            m_tickSoon.store(true);
            ScheduleAt(BeatAtOrAfter(plat::NowMs()));
        }
    }
}

void CCastrelSession::WithCore(const std::function<void(CCastrelCore*)>& fn) {
    {
        std::lock_guard<std::mutex> lock(m_coreMutex);
        if (m_core) {
            fn(m_core);
            ScheduleFromCore(0);
        }
    }
    Deliver(false);
}

void CCastrelSession::Queue(std::function<void()> notice) {
    QueueMessage([n = std::move(notice)] {
        n();
        return true;
    });
}

void CCastrelSession::QueueMessage(std::function<bool()> notice) {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_notices.push_back(std::move(notice));
}

void CCastrelSession::Deliver(bool fromTick) {
    // Delivered with no lock held: a message notice waits for the window, which may call in.
    for (;;) {
        std::vector<std::function<bool()>> batch;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            batch.swap(m_notices);
        }
        if (batch.empty()) return;
        for (size_t i = 0; i < batch.size(); ++i) {
            // Stopping: the thread that stops the pump delivers the rest, in order. The message this tick
            // gave up on goes with them when that thread is the window's own, whose send cannot block; from
            // another thread, which may hold locks the window waits for, it is dropped.
            bool handOver = fromTick && m_stopping.load();
            if (!handOver && !batch[i]() && fromTick && m_stopping.load()) {
                handOver = plat::WindowOwnerThread(presence_ui_window()) == m_stopper.load();
                if (!handOver) {
                    DebugTrace(kModule, 2, "castrel: a message notice was dropped at sign-out\n");
                    if (++i == batch.size()) return;
                    handOver = true;
                }
            }
            if (handOver) {
                std::lock_guard<std::mutex> lock(m_queueMutex);
                m_notices.insert(m_notices.begin(), std::make_move_iterator(batch.begin() + i),
                                 std::make_move_iterator(batch.end()));
                return;
            }
        }
    }
}

void CCastrelSession::RefreshContacts() {
    DebugTrace(kModule, 3, "castrel: refresh contact list\n");
    m_core->RefreshContactList(0);
}

void CCastrelSession::ReportContacts() {
    PresenceConnectionRec* connection = m_notifier->m_connection;
    std::vector<PresenceBuddyRecord*> records;
    const int count = m_core->GetContactListCount();
    for (int i = 0; i < count; ++i) {
        kx_contact* c = nullptr;
        if (m_core->ReadContactByIndex(i, &c) != KX_OK || !c) {
            DebugTrace(kModule, 2, "Contact read error \r\n");
            break;
        }
        if (!c->isGroup)
            if (PresenceBuddyRecord* r = BuddyRecord(c)) records.push_back(r);
    }
    Queue([connection, records] {
        presence_post_list_begin(connection);
        for (PresenceBuddyRecord* r : records) presence_post_buddy_update(connection, r);
        presence_post_list_end(connection);
    });
}

// ---------------------------------------------------------------------------------------------
// Notifier

void CCastrelNotifier::ConnectionStateNotify(EConnectionState_t state) {
    DebugTrace(kModule, 3, "Olden core:Connect status change to %d\n", static_cast<int>(state));
    CCastrelSession* session = static_cast<CCastrelSession*>(GetContext());
    PresenceConnectionRec* connection = m_connection;
    if (!session || !connection) return;
    if (state == KX_OFFLINE) {
        session->Queue([connection] { presence_post_connection_state(connection, 0); });
    } else if (state == KX_ONLINE) {
        session->RefreshContacts();
        if (connection->state == PRESENCE_CONNECTING)
            session->Queue([connection] { presence_post_connection_state(connection, 1); });
    }
}

void CCastrelNotifier::ContactUpdateNotify(int, kx_contact* contact) {
    CCastrelSession* session = static_cast<CCastrelSession*>(GetContext());
    if (!session || !m_connection) return;
    if (!contact) {
        DebugTrace(kModule, 3, "Olden core:All contact update \n");
        session->ReportContacts();
        return;
    }
    if (contact->isGroup) return;
    PresenceBuddyRecord* r = BuddyRecord(contact);
    if (!r) return;
    DebugTrace(kModule, 3, r->online ? "Olden core:contact %s update status to online\n"
                                     : "Olden core:contact %s update status to offline\n",
               r->name);
    PresenceConnectionRec* connection = m_connection;
    session->Queue([connection, r] { presence_post_buddy_update(connection, r); });
}

void CCastrelNotifier::MessageUpdateNotify(Message_t* message, unsigned char) {
    CCastrelSession* session = static_cast<CCastrelSession*>(GetContext());
    if (!session || !message || !m_connection) return;
    const bool voice = message->state == KX_MSG_VOICE || message->state == KX_MSG_VOICE_STORED;
    // A stored item arrives as a reference: fetch it at once. A voice message is still reported when it
    // starts (and again once its clip is stored); anything else is reported when it comes back.
    if (message->state != KX_MSG_VOICE_STORED && message->attachment && message->attachment->kind == KX_ATTACH_SAF &&
        message->attachment->url) {
        Message_t* request = CKxCore::MessageNewM();
        if (request) {
            request->attachment = CKxCore::AttachmentSAFNewM(CKxCore::Utf8CopyM(message->attachment->url));
            const int rc = session->m_core->SendSAFRequest(request);
            DebugTrace(kModule, 3, "castrel: fetch stored item %s: %d\n", Text(message->attachment->url).c_str(), rc);
            CKxCore::MessageFree(request);
        }
        if (!voice) return;
    }
    PresenceMessageRecord record;
    presence_copy_field(record.chatId, sizeof record.chatId, Text(message->tag).c_str());
    record.sender.id = static_cast<int32_t>(message->authorId);
    presence_copy_field(record.sender.name, sizeof record.sender.name, ToAnsi(message->authorName).c_str());
    record.time = message->time;
    // The receiving account now: a notice the sign-out hands over is delivered after the link is cut.
    record.account = m_connection->account;
    for (kx_recipient* r = message->recipients; r; r = r->next) {
        PresenceBuddyRecord b;
        b.id = r->id;
        presence_copy_field(b.name, sizeof b.name, ToAnsi(r->address).c_str());
        record.recipients.push_back(b);
    }
    PresenceConnectionRec* connection = m_connection;
    if (voice) {
        const int entryId = static_cast<int>(message->entryId);
        session->QueueMessage([connection, entryId, record] { return presence_notify_voice_message(connection, entryId, record); });
        return;
    }
    std::string text = WideToAnsi(message->text);
    DebugTrace(kModule, 3, "castrel: message from %u: %s\n", message->authorId, text.c_str());
    session->QueueMessage([connection, text, record] {
        return presence_notify_text_message(connection, strdup(text.c_str()), record);
    });
}

void CCastrelNotifier::ServiceUpdateNotify(Utf8_t* text) {
    CCastrelSession* session = static_cast<CCastrelSession*>(GetContext());
    std::string ansi = ToAnsi(text);
    DebugTrace(kModule, 2, "Olden core:Server error message %s\n", ansi.c_str());
    if (!session) return;
    PresenceConnectionRec* connection = m_connection;
    session->Queue([connection, ansi] { presence_post_server_error(connection, strdup(ansi.c_str())); });
}

void CCastrelNotifier::AudioTestReceived(Message_t* message, int packets, int millis) {
    DebugTrace(kModule, 3, "RECEIVED TEST MESSAGE(id=%d, packetCount=%d, millis=%d)\r\n",
               message ? static_cast<int>(message->msgNumber) : 0, packets, millis);
}
