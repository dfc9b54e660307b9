// Messaging plug-in: protocol 1 of the presence core, driving the Pellico messaging library.
#pragma once

#include <pellico/pellico.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/thread.h"
#include "platform/wintypes.h"
#include "service/presence_core.h"

class CCastrelNotifier;

// The library core of the plug-in; returns to the library's heap through its own destructor.
class CCastrelCore : public CKxCore {
public:
    CCastrelCore(CMervane* context, const char* basePath) : CKxCore(context, basePath) {}
    ~CCastrelCore() override = default;
};

// Reports of the library, turned into presence notices. They run inside a core call; what they
// post or send is queued and delivered once the core is free again.
class CCastrelNotifier : public CKxCoreNotifier {
public:
    explicit CCastrelNotifier(CMervane* context) : CKxCoreNotifier(context) {}
    ~CCastrelNotifier() override = default;

    void ConnectionStateNotify(EConnectionState_t state) override;
    void ContactUpdateNotify(int list, kx_contact* contact) override;
    void MessageUpdateNotify(Message_t* message, unsigned char isNew) override;
    void ServiceUpdateNotify(Utf8_t* text) override;
    void AudioTestReceived(Message_t* message, int packets, int millis) override;

    PresenceConnectionRec* m_connection = nullptr;
};

// One signed-in session: the library context, its core, its notifier and the pump. The pump keeps the
// 100 ms beat of the library's tick but skips the beats at which the tick has nothing to do: it sleeps until
// the beat at which the library's next step falls due, or the beat after a datagram, a finished transfer
// or a call into the core.
class CCastrelSession : public CMervane {
public:
    CCastrelSession();
    ~CCastrelSession() override;

    // Runs fn on the core with the tick kept out, then delivers the notices it queued.
    void WithCore(const std::function<void(CCastrelCore*)>& fn);
    // The library's log, kept beside its files in the session's folder.
    void Printf(const char* format, ...) override __attribute__((format(printf, 2, 3)));
    // Starts the pump.
    bool StartTimer();
    // Stops the pump and waits for a running tick; a tick blocked on the window gives up its notice.
    void StopTimer();
    bool Pumping() const { return m_pumping.load(); }
    // Queues a notice for delivery after the current core call.
    void Queue(std::function<void()> notice);
    // Queues a message notice; it returns whether the window took it. One that a stopping tick gives up
    // is delivered by the thread that stops the pump.
    void QueueMessage(std::function<bool()> notice);
    // Refresh and report of the buddy list (inside a core call).
    void RefreshContacts();
    void ReportContacts();

    CCastrelCore* m_core = nullptr;
    CCastrelNotifier* m_notifier = nullptr;
    std::atomic<int> m_ticks{0};  // ticks run (tests)

private:
    struct Wake {
        UINT timer;
        uint64_t at;
        bool fired;
    };
    void Tick();
    void OnTimer(UINT timer);
    void Watch();
    // The first beat at or after t (the beats are m_origin + 100 ms, + 200 ms, ...).
    uint64_t BeatAtOrAfter(uint64_t t) const;
    // A tick at the beat `at` unless one is due by then; refused once the pump stops.
    void ScheduleAt(uint64_t at);
    // From the core's schedule, now (inside a core call).
    void ScheduleFromCore(uint64_t notBefore);
    void WakeWatcher();
    void Deliver(bool fromTick);

    std::mutex m_coreMutex;    // one thread at a time inside the core
    std::mutex m_queueMutex;
    std::vector<std::function<bool()>> m_notices;
    std::atomic<bool> m_stopping{false};
    std::atomic<DWORD> m_stopper{0};  // the thread stopping the pump
    std::vector<std::string> m_earlyLog;  // lines of the core's construction, before it knows its folder

    std::atomic<bool> m_pumping{false};
    uint64_t m_origin = 0;
    std::mutex m_pumpMutex;    // m_wakes
    std::vector<Wake> m_wakes;  // one-shot timers armed for ticks
    plat::Thread m_watcher;     // waits for datagrams and finished transfers
    int m_watchFd = -1;         // the core's wait descriptor
    int m_wakeFd = -1;          // eventfd: the watcher looks again (a tick took the datagrams, or a stop)
    std::atomic<bool> m_tickSoon{false};  // the watcher asked for the next beat's tick
};

// Protocol 1's plug-in record.
extern PresencePlugin g_castrelPlugin;

// Where the library keeps its files ("<base>/mervane"); empty: the working directory.
void castrel_set_base_path(const char* path);
// Default messaging server of the plug-in's options.
inline constexpr const char* CASTREL_DEFAULT_SERVER = "127.0.0.1";
inline constexpr int CASTREL_DEFAULT_PORT = 9999;

// Called directly by the main window and the address book.
int castrel_add_buddy(PresenceConnectionRec* connection, const char* name);
void castrel_remove_buddy(PresenceConnectionRec* connection, int uid);
void castrel_block_buddy(PresenceConnectionRec* connection, int uid);
void castrel_unblock_buddy(PresenceConnectionRec* connection, int uid);
// The live session (tests).
CCastrelSession* castrel_session();
