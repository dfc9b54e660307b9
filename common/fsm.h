// Table-driven state machines with a per-instance event queue, lock and named one-shot timers.
#pragma once

#include <cstdint>

#include "platform/wintypes.h"

namespace plat {
class RecursiveMutex;
}

struct FsmInstance;

// Argument carried by an event (pointer-sized so that a record may travel with it).
using FsmArg = uintptr_t;

// Action run for a (state, event) pair; its result is ignored.
using FsmAction = int (*)(FsmInstance* fsm, int event, FsmArg arg);

// One transition row given to FsmCreateTable.
struct FsmRow {
    int32_t state;
    int32_t event;
    FsmAction action;
};

// Transition table, shared by reference count. The action of (state, event) is
// cells[event * numStates + state].
struct FsmTable {
    FsmAction* cells;
    uint32_t numStates;
    uint32_t numEvents;
    uint32_t refCount;                // 1 at creation; a user sharing the table adds its own
    const char* const* eventNames;    // one text per event, or null (set by the user)
    const char* const* stateNames;    // one text per state, or null; trace lines need these
};

// Intrusive doubly linked list head.
struct FsmLink {
    FsmLink* prev;
    FsmLink* next;
};
struct FsmList {
    FsmLink* first;
    FsmLink* last;
    uint32_t count;
};

struct FsmEvent {
    FsmLink link;
    int32_t event;
    FsmArg arg;
};

constexpr int FSM_NAME_MAX = 15;  // characters kept of instance and timer names

struct FsmTimer {
    FsmLink link;
    uint32_t timerId;        // chosen by the user; timers with equal ids compare equal
    UINT handle;             // multimedia timer id, 0 when the platform refused to start it
    FsmInstance* owner;
    char name[FSM_NAME_MAX + 1];
    uint32_t delayMs;
    int32_t event;
    FsmArg arg;
    uint64_t serial;         // unique for the process; what the expiry callback carries
};

struct FsmInstance {
    FsmTable* table;         // set by the user after FsmCreate
    int32_t state;           // -1: terminated
    uintptr_t owner;         // kept for the user
    FsmList events;
    FsmList timers;
    plat::RecursiveMutex* lock;
    uint32_t depth;          // actions of this instance running now
    char name[FSM_NAME_MAX + 1];
    bool destroying;         // set once, under the lock, by whoever will destroy the instance
};

constexpr int FSM_STATE_TERMINATED = -1;
constexpr int FSM_PROCESS_LOCK = 2;  // FsmProcessEvent flag: take the instance's lock itself

// A new table with the rows' actions (a later row for the same cell wins; rows outside the
// table are reported and not stored); null when memory runs out.
FsmTable* FsmCreateTable(const FsmRow* rows, uint32_t rowCount, uint32_t numStates, uint32_t numEvents);
// A new instance with no table and no state; null when memory runs out.
FsmInstance* FsmCreate(uintptr_t owner, const char* name);
// Drops queued events, kills every timer, releases the table, and frees the instance.
void FsmDestroy(FsmInstance* fsm);

// Queues one event; refused (0) for a null, table-less or terminated instance; 1 when the
// record cannot be allocated.
int FsmQueueEvent(FsmInstance* fsm, int event, FsmArg arg);
// Runs at most one queued event: 0 when an action ran, 1 otherwise.
int FsmProcessEvent(FsmInstance* fsm, int flags);
// Entry for threads outside the machine: lock, queue, run one event, unlock.
int FsmPostEvent(FsmInstance* fsm, int event, FsmArg arg);
// For actions (already under the lock): the event runs at once, nested in the caller.
int FsmPostEventNoLock(FsmInstance* fsm, int event, FsmArg arg);

void ChangeState(FsmInstance* fsm, int newState);
int FsmGetState(FsmInstance* fsm);

// Starts a named one-shot timer that posts (event, arg) when it expires; returns the record,
// null when memory runs out.
FsmTimer* AddTimer(FsmInstance* fsm, uint32_t delayMs, int event, FsmArg arg, const char* name,
                   uint32_t timerId);
// Stops and frees the first timer with that id; returns the argument it would have posted,
// 0 when there is none.
FsmArg DelTimer(FsmInstance* fsm, uint32_t timerId);
// Stops and frees every timer of the instance.
void FsmKillAllTimers(FsmInstance* fsm);

int FsmStartTimer(FsmTimer* timer);
int FsmStopTimer(FsmTimer* timer);
// 0 when the ids are equal, -1 otherwise.
int FsmTimerCompare(const FsmTimer* a, const FsmTimer* b);
