// Multimedia timers: one-shot and periodic millisecond timers on a timer thread, or setting an event.
#pragma once

#include <functional>

#include "platform/wintypes.h"

namespace plat {
class Event;
}

// Callback of a timer: id, message (unused, 0), the user value, two unused values.
typedef void (*LPTIMECALLBACK)(UINT timerId, UINT msg, DWORD_PTR user, DWORD_PTR dw1, DWORD_PTR dw2);

inline constexpr UINT TIME_ONESHOT = 0x0000;
inline constexpr UINT TIME_PERIODIC = 0x0001;
inline constexpr UINT TIME_CALLBACK_FUNCTION = 0x0000;
// The "callback" is a plat::Event* (cast to LPTIMECALLBACK) that is set at each expiry.
// Such timers have no thread: the thread waiting on the event wakes at the due time
// itself, so a slow callback elsewhere never delays them (see Event in sync.h).
inline constexpr UINT TIME_CALLBACK_EVENT_SET = 0x0010;
// Our addition: the timer gets a thread of its own (for callbacks that may block).
inline constexpr UINT TIME_OWN_THREAD = 0x8000;

inline constexpr MMRESULT TIMERR_NOERROR = 0;

// Timer rules:
// - Delays range 1..1000000 ms; the resolution is ignored. Ids start at 1 and are
//   never reused; 0 means failure (bad delay, null callback).
// - Callbacks of the shared timer thread run one at a time, never overlapping;
//   a periodic timer never overlaps itself. Periodic timers keep their rhythm
//   (next due = previous due + period); after a stall of more than a second on
//   the real clock they restart from now instead of firing a burst.
// - A one-shot timer is forgotten once it has fired.
// - The clock is the one of sync.h: under a plat::TestClock, advancing the test
//   time fires due timers (see sync.h).

// Starts a timer; returns its id, or 0 on failure.
MMRESULT timeSetEvent(UINT delayMs, UINT resolutionMs, LPTIMECALLBACK callback, DWORD_PTR user, UINT flags);
// Stops a timer. Returns only when its callback can no longer run: a callback in
// progress is waited for, except when called from that callback's own thread
// (no deadlock; the running callback simply finishes). TIMERR_NOERROR when a
// pending timer was stopped (a one-shot that had not fired, or any periodic);
// MMSYSERR_INVALPARAM when the id is unknown, already killed, or a one-shot
// that has already fired (or was firing: the kill waited for it to finish).
MMRESULT timeKillEvent(UINT timerId);

namespace plat {

// C++ form of timeSetEvent: fn receives the timer id. periodic as TIME_PERIODIC;
// ownThread as TIME_OWN_THREAD. Returns the id or 0.
UINT StartTimer(UINT delayMs, bool periodic, std::function<void(UINT)> fn, bool ownThread = false);
// Timer that sets event at each expiry (TIME_CALLBACK_EVENT_SET); returns the id or 0.
UINT StartEventTimer(UINT delayMs, bool periodic, Event* event);
// Same as timeKillEvent, as a bool: true when a pending timer was stopped.
bool KillTimer(UINT timerId);
// Number of timers not yet fired or killed (for tests and leak checks).
size_t PendingTimerCount();

}  // namespace plat
