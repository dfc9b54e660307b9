// Locks, semaphores, events, sleeping and the millisecond clock (real or test-driven).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/wintypes.h"

// ---------------------------------------------------------------------------
// Clock
// ---------------------------------------------------------------------------
// All time in this layer comes from one clock: the monotonic clock of the
// machine, or a plat::TestClock while one exists. The 32-bit tick counts wrap
// after 49.7 days exactly like Windows'; compute elapsed time as an unsigned
// difference (now - then), never by comparing stamps directly.
//
// Under a TestClock time moves only when the test calls advance()/set():
// - GetTickCount()/timeGetTime()/plat::NowMs() return the test time;
// - timed waits (Semaphore, Event, Thread::join_for, plat::GetMessageFor) end by
//   time-out only once the test time has reached their deadline; a signal ends
//   them at once as usual; INFINITE waits never time out;
// - Sleep(ms > 0) returns once the test time has advanced by ms (or, with
//   set_sleep_advances(true), advances the test time by ms itself, for
//   single-threaded code under test); Sleep(0) just yields;
// - multimedia timers fire when the test time reaches their due time. advance()
//   steps the clock through every timer due time up to the target, and returns
//   only after all callbacks due by then have run (when called from a timer
//   callback it does not wait for itself). A timer callback that blocks on the
//   test thread therefore blocks advance().

// Milliseconds since the system (or the test clock) started, wrapping at 2^32.
DWORD GetTickCount();
// Same clock as GetTickCount (the multimedia timer clock).
DWORD timeGetTime();
// Suspends the calling thread for ms milliseconds; 0 gives up the rest of the time slice.
void Sleep(DWORD ms);

namespace plat {

// 64-bit milliseconds of the same clock (never wraps in practice).
uint64_t NowMs();
// Whole seconds of the same clock (for refresh intervals counted in seconds).
uint64_t NowSeconds();
// now - then as an unsigned 32-bit difference (correct across one wrap).
inline DWORD TickElapsed(DWORD now, DWORD then) { return static_cast<DWORD>(now - then); }
// True when tick `now` is at or after `deadline` (both within 2^31 ms of each other).
inline bool TickReached(DWORD now, DWORD deadline) { return static_cast<DWORD>(now - deadline) < 0x80000000u; }

// Replaces the clock for the lifetime of the object (one at a time; constructing a
// second one while the first exists aborts). See the notes at the top of this file.
class TestClock {
 public:
  explicit TestClock(uint64_t startMs = 0);
  ~TestClock();
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;

  // Moves time forward by ms, firing due timers in due order; wakes timed waits.
  void advance(uint64_t ms);
  // Moves time to an absolute value (forward only; earlier values are ignored).
  void set(uint64_t nowMs);
  // Current test time.
  uint64_t now() const;
  // When true, Sleep(ms) advances the test clock by ms instead of waiting for it.
  void set_sleep_advances(bool on);
  // Number of threads now blocked in a timed wait or Sleep on the test clock
  // (their deadlines are fixed), so a test can wait for a thread to park before
  // advancing.
  int waiters() const;
  // Blocks (in real time, at most realMs) until exactly `count` threads are parked; false when
  // that never happened.
  bool wait_for_waiters(int count, uint32_t realMs = 20000) const;

  // The active test clock, or null.
  static TestClock* active();
};

// ---------------------------------------------------------------------------
// Locks and waitable objects
// ---------------------------------------------------------------------------

// Mutex that its owner may lock again (Windows mutexes and critical sections are
// re-entrant); each lock needs one unlock. Never destroy one that is held.
class RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  // Blocks until the calling thread owns the mutex (re-entrant).
  void lock();
  // Releases one level of ownership.
  void unlock();
  // Takes the mutex when free or already owned by the caller; never blocks.
  bool try_lock();
  // True when the calling thread owns the mutex.
  bool held_by_me() const;
  // Number of nested locks held by the owner (0 when free).
  int depth() const;

 private:
  std::recursive_mutex mu_;
  std::atomic<DWORD> owner_{0};
  int depth_ = 0;
};

// Counting semaphore with a maximum, like a Windows semaphore.
class Semaphore {
 public:
  Semaphore(long initialCount, long maximumCount);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Adds n to the count; fails (count unchanged) when that would pass the maximum
  // or n <= 0. previous receives the count before the call when not null.
  bool release(long n = 1, long* previous = nullptr);
  // Takes one unit, waiting up to ms (INFINITE = no limit): WAIT_OBJECT_0 or WAIT_TIMEOUT.
  DWORD wait(DWORD ms);
  // Takes one unit, waiting until the clock (NowMs) reaches dueMs (UINT64_MAX = no limit); a time
  // already past gives WAIT_TIMEOUT at once when no unit is there.
  DWORD wait_until(uint64_t dueMs);
  // Takes one unit when available, without waiting.
  bool try_acquire();
  // Current count (for diagnostics and tests).
  long count() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  long count_;
  long max_;
};

namespace detail {
class EventTimerAccess;
}

// Event object: manual-reset (stays set until reset, releases every waiter) or
// auto-reset (one waiter is released and the event resets itself).
// Timers that set an event (plat::StartEventTimer) have no thread: the expiry is
// seen by whoever waits on or looks at the event, so a waiting thread wakes once
// per expiry; expiries missed meanwhile coalesce into one.
class Event {
 public:
  explicit Event(bool manualReset = false, bool initialState = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Sets the event.
  void set();
  // Clears the event.
  void reset();
  // Waits until set, up to ms (INFINITE = no limit): WAIT_OBJECT_0 or WAIT_TIMEOUT.
  DWORD wait(DWORD ms);
  // Current state (for tests); set also when a timer of the event is due.
  bool is_set() const;

 private:
  friend class detail::EventTimerAccess;
  struct Tick {
    UINT id;
    uint64_t due;
    UINT period;  // 0 = one-shot
  };
  // Sets the event for every due tick (mu_ held); true when a periodic one was due.
  bool FireDueLocked(uint64_t now);
  uint64_t NextTickLocked() const;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool manual_;
  bool state_;
  std::vector<Tick> ticks_;
  bool everTimed_ = false;
};

}  // namespace plat
