// State-machine engine: transition tables, event processing under the instance lock, one-shot timers.
#include "common/fsm.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>

#include "common/debug.h"
#include "platform/mmtimer.h"
#include "platform/sync.h"

namespace {

constexpr unsigned kTraceModule = MOD_PRESENCE;
constexpr unsigned kTraceLevel = 1;

// ---- intrusive list ----

void ListAppend(FsmList& list, FsmLink* link) {
    link->next = nullptr;
    link->prev = list.last;
    if (list.last)
        list.last->next = link;
    else
        list.first = link;
    list.last = link;
    ++list.count;
}

void ListRemove(FsmList& list, FsmLink* link) {
    if (link->prev)
        link->prev->next = link->next;
    else
        list.first = link->next;
    if (link->next)
        link->next->prev = link->prev;
    else
        list.last = link->prev;
    link->prev = link->next = nullptr;
    --list.count;
}

// The link is the first member of both record types.
FsmEvent* AsEvent(FsmLink* link) { return reinterpret_cast<FsmEvent*>(link); }
FsmTimer* AsTimer(FsmLink* link) { return reinterpret_cast<FsmTimer*>(link); }

void CopyName(char* dest, const char* name) {
    size_t length = name ? strnlen(name, FSM_NAME_MAX) : 0;
    if (length) memcpy(dest, name, length);
    dest[length] = '\0';
}

// ---- trace helpers ----

bool HasNames(const FsmInstance* fsm) { return fsm->table && fsm->table->stateNames; }

const char* StateName(const FsmTable* table, int state) {
    if (state == FSM_STATE_TERMINATED) return "terminated";
    if (state < 0 || static_cast<uint32_t>(state) >= table->numStates || !table->stateNames[state]) return "?";
    return table->stateNames[state];
}

const char* EventName(const FsmTable* table, int event) {
    if (!table->eventNames || event < 0 || static_cast<uint32_t>(event) >= table->numEvents ||
        !table->eventNames[event])
        return "?";
    return table->eventNames[event];
}

// ---- timer registry ----
//
// An expiry arrives on the timer thread carrying only the timer's serial number. The registry
// maps live serials to their instance; a serial leaves it (under the registry lock) before its
// record is freed or its instance destroyed, so an expiry that finds its serial gone knows the
// timer was deleted and touches nothing.

std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::unordered_map<uint64_t, FsmInstance*>& Registry() {
    static std::unordered_map<uint64_t, FsmInstance*> registry;
    return registry;
}

uint64_t NextSerial() {
    static std::atomic<uint64_t> serial{0};
    return ++serial;
}

void RegistryErase(uint64_t serial) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry().erase(serial);
}

// Unregisters, stops and frees a timer that is no longer on its instance's list.
void ReleaseTimer(FsmTimer* timer) {
    RegistryErase(timer->serial);
    FsmStopTimer(timer);
    delete timer;
}

// ---- event processing ----

struct ProcessResult {
    int result;
    bool destroy;  // the caller must destroy the instance once it has released the lock
};

// Runs at most one queued event. The caller holds the lock (or is an action under it).
ProcessResult ProcessOne(FsmInstance* fsm) {
    ProcessResult out{1, false};
    if (fsm->events.first) {
        FsmEvent* record = AsEvent(fsm->events.first);
        ListRemove(fsm->events, &record->link);
        int event = record->event;
        FsmArg arg = record->arg;
        delete record;

        if (fsm->state != FSM_STATE_TERMINATED) {
            FsmTable* table = fsm->table;
            int state = fsm->state;
            FsmAction action = nullptr;
            if (state >= 0 && static_cast<uint32_t>(state) < table->numStates && event >= 0 &&
                static_cast<uint32_t>(event) < table->numEvents)
                action = table->cells[static_cast<size_t>(event) * table->numStates + static_cast<uint32_t>(state)];
            if (HasNames(fsm))
                DebugTrace(kTraceModule, kTraceLevel, "%s: State %s Event %s %s\n", fsm->name,
                           StateName(table, state), EventName(table, event), action ? "Processed" : "no routine");
            if (action) {
                ++fsm->depth;
                action(fsm, event, arg);
                --fsm->depth;
                out.result = 0;
            }
        }
    }
    if (fsm->state == FSM_STATE_TERMINATED && !fsm->destroying) {
        if (fsm->events.count == 0 && fsm->depth == 0) {
            fsm->destroying = true;
            out.destroy = true;
        } else {
            DebugTrace(kTraceModule, kTraceLevel, "Fsm:%s remain events=%d, ref_count=%d, cannot release now\n",
                       fsm->name, static_cast<int>(fsm->events.count), static_cast<int>(fsm->depth));
        }
    }
    return out;
}

// Queue and run one event while the caller holds the lock exactly once; releases it, then
// destroys the instance when the event ended it.
int PostAndUnlock(FsmInstance* fsm, int event, FsmArg arg) {
    FsmQueueEvent(fsm, event, arg);
    ProcessResult r = ProcessOne(fsm);
    fsm->lock->unlock();
    if (r.destroy) FsmDestroy(fsm);
    return r.result;
}

void FsmExpireTimer(uint64_t serial) {
    FsmInstance* fsm = nullptr;
    // The instance's lock may be held by a thread that is deleting this very timer and waits
    // for this callback to end, so never block on it: retry until the lock is free or the
    // timer has left the registry.
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(RegistryMutex());
            auto it = Registry().find(serial);
            if (it == Registry().end()) return;
            if (it->second->lock->try_lock()) {
                fsm = it->second;
                Registry().erase(it);
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    FsmTimer* timer = nullptr;
    for (FsmLink* link = fsm->timers.first; link; link = link->next) {
        if (AsTimer(link)->serial == serial) {
            timer = AsTimer(link);
            break;
        }
    }
    if (!timer) {  // cannot happen: list and registry change together under the lock
        fsm->lock->unlock();
        return;
    }
    DebugTrace(kTraceModule, kTraceLevel, "%s: FsmExpireTimer %s\n", timer->name, timer->name);
    ListRemove(fsm->timers, &timer->link);
    int event = timer->event;
    FsmArg arg = timer->arg;
    delete timer;  // already out of the registry; the platform forgets a fired one-shot
    PostAndUnlock(fsm, event, arg);
}

void FsmTimerCallback(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    FsmExpireTimer(static_cast<uint64_t>(user));
}

}  // namespace

FsmTable* FsmCreateTable(const FsmRow* rows, uint32_t rowCount, uint32_t numStates, uint32_t numEvents) {
    auto* table = new (std::nothrow) FsmTable{};
    if (!table) return nullptr;
    size_t cellCount = static_cast<size_t>(numStates) * numEvents;
    table->cells = new (std::nothrow) FsmAction[cellCount ? cellCount : 1]();
    if (!table->cells) {
        delete table;
        return nullptr;
    }
    table->numStates = numStates;
    table->numEvents = numEvents;
    table->refCount = 1;
    for (uint32_t i = 0; rows && i < rowCount; ++i) {
        const FsmRow& row = rows[i];
        if (row.state < 0 || static_cast<uint32_t>(row.state) >= numStates || row.event < 0 ||
            static_cast<uint32_t>(row.event) >= numEvents) {
            DebugTrace(kTraceModule, DBG_NONE, "FsmCreateTable: row %u (state %d, event %d) outside the table\n",
                       i, row.state, row.event);
            continue;
        }
        table->cells[static_cast<size_t>(row.event) * numStates + static_cast<uint32_t>(row.state)] = row.action;
    }
    return table;
}

FsmInstance* FsmCreate(uintptr_t owner, const char* name) {
    auto* fsm = new (std::nothrow) FsmInstance{};
    if (!fsm) return nullptr;
    fsm->lock = new (std::nothrow) plat::RecursiveMutex();
    if (!fsm->lock) {
        delete fsm;
        return nullptr;
    }
    fsm->owner = owner;
    CopyName(fsm->name, name);
    return fsm;
}

void FsmDestroy(FsmInstance* fsm) {
    if (!fsm) return;
    fsm->lock->lock();
    fsm->destroying = true;
    while (fsm->events.first) {
        FsmEvent* record = AsEvent(fsm->events.first);
        ListRemove(fsm->events, &record->link);
        delete record;
    }
    FsmKillAllTimers(fsm);
    if (fsm->table && --fsm->table->refCount == 0) {
        delete[] fsm->table->cells;
        delete fsm->table;
    }
    fsm->table = nullptr;
    fsm->lock->unlock();
    // A mutex is destroyed only once it is free.
    delete fsm->lock;
    delete fsm;
}

int FsmQueueEvent(FsmInstance* fsm, int event, FsmArg arg) {
    if (!fsm || !fsm->table || fsm->state == FSM_STATE_TERMINATED) return 0;
    auto* record = new (std::nothrow) FsmEvent{};
    if (!record) return 1;
    record->event = event;
    record->arg = arg;
    ListAppend(fsm->events, &record->link);
    return 0;
}

int FsmProcessEvent(FsmInstance* fsm, int flags) {
    if (!fsm || !fsm->table) return 1;
    bool locked = (flags & FSM_PROCESS_LOCK) != 0;
    if (locked) fsm->lock->lock();
    ProcessResult r = ProcessOne(fsm);
    if (locked) fsm->lock->unlock();
    if (r.destroy) FsmDestroy(fsm);
    return r.result;
}

int FsmPostEvent(FsmInstance* fsm, int event, FsmArg arg) {
    if (!fsm) return 1;
    fsm->lock->lock();
    if (!fsm->table) {
        fsm->lock->unlock();
        return 1;
    }
    return PostAndUnlock(fsm, event, arg);
}

int FsmPostEventNoLock(FsmInstance* fsm, int event, FsmArg arg) {
    FsmQueueEvent(fsm, event, arg);
    return FsmProcessEvent(fsm, 0);
}

void ChangeState(FsmInstance* fsm, int newState) {
    if (!fsm) return;
    if (HasNames(fsm))
        DebugTrace(kTraceModule, kTraceLevel, "%s: ChangeState to %s\n", fsm->name, StateName(fsm->table, newState));
    fsm->state = newState;
}

int FsmGetState(FsmInstance* fsm) { return fsm ? fsm->state : FSM_STATE_TERMINATED; }

FsmTimer* AddTimer(FsmInstance* fsm, uint32_t delayMs, int event, FsmArg arg, const char* name, uint32_t timerId) {
    if (!fsm) return nullptr;
    auto* timer = new (std::nothrow) FsmTimer{};
    if (!timer) return nullptr;
    timer->timerId = timerId;
    timer->owner = fsm;
    CopyName(timer->name, name);
    timer->delayMs = delayMs;
    timer->event = event;
    timer->arg = arg;
    timer->serial = NextSerial();

    std::lock_guard<plat::RecursiveMutex> lock(*fsm->lock);
    {
        std::lock_guard<std::mutex> registryLock(RegistryMutex());
        Registry()[timer->serial] = fsm;
    }
    ListAppend(fsm->timers, &timer->link);
    FsmStartTimer(timer);
    if (HasNames(fsm)) DebugTrace(kTraceModule, kTraceLevel, "%s: AddTimer %s\n", fsm->name, timer->name);
    return timer;
}

FsmArg DelTimer(FsmInstance* fsm, uint32_t timerId) {
    if (!fsm) return 0;
    std::lock_guard<plat::RecursiveMutex> lock(*fsm->lock);
    FsmTimer key{};
    key.timerId = timerId;
    for (FsmLink* link = fsm->timers.first; link; link = link->next) {
        FsmTimer* timer = AsTimer(link);
        if (FsmTimerCompare(timer, &key) != 0) continue;
        if (HasNames(fsm)) DebugTrace(kTraceModule, kTraceLevel, "%s: DelTimer %s\n", fsm->name, timer->name);
        ListRemove(fsm->timers, &timer->link);
        FsmArg arg = timer->arg;
        ReleaseTimer(timer);
        return arg;
    }
    return 0;
}

void FsmKillAllTimers(FsmInstance* fsm) {
    if (!fsm) return;
    std::lock_guard<plat::RecursiveMutex> lock(*fsm->lock);
    while (fsm->timers.first) {
        FsmTimer* timer = AsTimer(fsm->timers.first);
        ListRemove(fsm->timers, &timer->link);
        ReleaseTimer(timer);
    }
}

int FsmStartTimer(FsmTimer* timer) {
    timer->handle = timeSetEvent(timer->delayMs, 0, &FsmTimerCallback, static_cast<DWORD_PTR>(timer->serial),
                                 TIME_ONESHOT);
    return 0;
}

int FsmStopTimer(FsmTimer* timer) {
    if (timer->handle) timeKillEvent(timer->handle);
    timer->handle = 0;
    return 0;
}

int FsmTimerCompare(const FsmTimer* a, const FsmTimer* b) { return a->timerId == b->timerId ? 0 : -1; }
