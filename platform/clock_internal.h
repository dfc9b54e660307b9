// Internal: the clock's wake-up registry and timed-wait helper shared by the platform modules.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/wintypes.h"

namespace plat {
class Event;
}

namespace plat::detail {

inline constexpr uint64_t kNoDeadline = UINT64_MAX;
// On the real clock, a periodic timer more than this late restarts from now instead of firing a burst.
inline constexpr uint64_t kMaxCatchUpMs = 1000;

// True while a TestClock is installed.
bool TestClockActive();
// Changes whenever a TestClock is installed or removed: a time read under another clock is no
// measure of this one (the real clock's milliseconds dwarf a fresh test clock's).
uint64_t ClockGeneration();

// A mutex/condition pair that the test clock wakes whenever time moves. Register
// at construction and unregister before destruction, never while holding mu.
void RegisterWaiter(std::mutex* mu, std::condition_variable* cv);
void UnregisterWaiter(std::mutex* mu, std::condition_variable* cv);

// RAII registration.
class WaiterRegistration {
 public:
  WaiterRegistration(std::mutex* mu, std::condition_variable* cv) : mu_(mu), cv_(cv) { RegisterWaiter(mu, cv); }
  ~WaiterRegistration() { UnregisterWaiter(mu_, cv_); }
  WaiterRegistration(const WaiterRegistration&) = delete;
  WaiterRegistration& operator=(const WaiterRegistration&) = delete;

 private:
  std::mutex* mu_;
  std::condition_variable* cv_;
};

// Deadline (clock ms) for a wait of ms from now; INFINITE gives kNoDeadline.
uint64_t DeadlineAfter(uint32_t ms);

// Waits on cv (lk holds the registered mutex) until pred() holds or the clock
// reaches deadline. Returns pred()'s final value.
template <class Pred>
bool WaitUntil(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint64_t deadline, Pred pred);

// Something that runs work at clock times (timer schedulers): the test clock
// steps through their due times and waits until they have caught up.
class ClockListener {
 public:
  virtual ~ClockListener() = default;
  // Earliest due time, kNoDeadline when none.
  virtual uint64_t NextDue() = 0;
  // Returns once everything due at or before now has run (at once when called
  // from the listener's own thread, or when it has stopped).
  virtual void Settle(uint64_t now) = 0;
  // True when the calling thread is the listener's own thread (its due work
  // cannot run until the caller returns, so the clock must not wait for it).
  virtual bool OnOwnThread() = 0;
};
void RegisterListener(const std::shared_ptr<ClockListener>& listener);
void UnregisterListener(const ClockListener* listener);

// Counts threads parked in a test-clock wait.
void ParkedDelta(int delta);

// Real-clock wait step used by WaitUntil (kept out of line).
void WaitRealFor(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint64_t ms);
// Real-clock wait until the monotonic clock reaches deadlineMs (to the microsecond, not the next ms).
void WaitRealUntil(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint64_t deadlineMs);

// Timers that set an event (mmtimer.cpp keeps the ids, sync.cpp the due times in the event).
class EventTimerAccess {
 public:
  static void Attach(Event& ev, UINT id, uint64_t due, UINT period);
  // Removes the timer; 1 when it was pending (a one-shot already due fires first and gives 0).
  static int Detach(Event& ev, UINT id);
  static bool Has(Event& ev, UINT id);
  static uint64_t NextDue(Event& ev);
  // Fires what is due at now; true when a periodic timer was due.
  static bool Fire(Event& ev, uint64_t now);
};
// Drops the timers of an event being destroyed (mmtimer.cpp).
void ForgetEventTimers(Event* ev);

// Work that follows the clock in small steps without a thread of its own (the file sound
// devices). It runs after each expiry of a periodic event timer, on the thread that waits for
// it, and at every step of the test clock; while no periodic event timer runs, on a 2-ms timer
// of its own. Add returns a handle; Remove returns once the work can no longer run (never call
// it from the work itself).
int AddPacer(std::function<void()> fn);
void RemovePacer(int handle);
void RunPacers();

}  // namespace plat::detail

#include "platform/sync.h"

namespace plat::detail {

template <class Pred>
bool WaitUntil(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint64_t deadline, Pred pred) {
  for (;;) {
    if (pred()) return true;
    if (deadline == kNoDeadline) {
      cv.wait(lk);
      continue;
    }
    uint64_t now = plat::NowMs();
    if (now >= deadline) return pred();
    if (TestClockActive()) {
      ParkedDelta(1);
      cv.wait(lk);  // woken by a signal or by the test clock moving
      ParkedDelta(-1);
    } else {
      WaitRealFor(lk, cv, deadline - now);
    }
  }
}

}  // namespace plat::detail
