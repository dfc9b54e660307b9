// The millisecond clock (real or test), its wake-up registry, and the waitable objects.
#include "platform/sync.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/clock_internal.h"
#include "platform/thread.h"

namespace plat {
namespace {

struct WaiterEntry {
  std::mutex* mu;
  std::condition_variable* cv;
};

// Process-wide clock state. Deliberately never destroyed: detached timer threads
// may still touch it while the process exits.
struct ClockState {
  std::mutex registryMu;
  std::vector<WaiterEntry> waiters;
  std::vector<std::weak_ptr<detail::ClockListener>> listeners;

  std::atomic<bool> testActive{false};
  std::atomic<uint64_t> testNow{0};
  std::atomic<bool> sleepAdvances{false};
  std::atomic<TestClock*> active{nullptr};
  std::atomic<int> parked{0};
  std::mutex parkedMu;  // with parkedCv, lets a test wait for a thread to park
  std::condition_variable parkedCv;
  std::atomic<uint64_t> generation{0};
};

ClockState& State() {
  static ClockState* s = new ClockState;
  return *s;
}

uint64_t RealNowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Wakes every registered waiter so it re-reads the clock.
void WakeAllWaiters() {
  ClockState& s = State();
  std::lock_guard<std::mutex> reg(s.registryMu);
  for (const WaiterEntry& w : s.waiters) {
    std::lock_guard<std::mutex> lk(*w.mu);
    w.cv->notify_all();
  }
}

std::vector<std::shared_ptr<detail::ClockListener>> Listeners() {
  ClockState& s = State();
  std::vector<std::shared_ptr<detail::ClockListener>> out;
  std::lock_guard<std::mutex> reg(s.registryMu);
  for (auto it = s.listeners.begin(); it != s.listeners.end();) {
    if (auto p = it->lock()) {
      out.push_back(std::move(p));
      ++it;
    } else {
      it = s.listeners.erase(it);
    }
  }
  return out;
}

// Moves the test time to `to`, stepping through timer due times on the way.
void AdvanceTo(uint64_t to) {
  ClockState& s = State();
  for (;;) {
    uint64_t now = s.testNow.load();
    auto listeners = Listeners();
    uint64_t due = detail::kNoDeadline;
    for (auto& l : listeners) {
      if (!l->OnOwnThread()) due = std::min(due, l->NextDue());
    }
    uint64_t step = (due <= to) ? std::max(due, now) : to;
    // Forward only: a timer callback may advance the clock while an outer advance runs.
    while (step > now && !s.testNow.compare_exchange_weak(now, step)) {
    }
    WakeAllWaiters();
    for (auto& l : listeners) l->Settle(step);
    if (step >= to) {
      // Callbacks run at `to` may have started timers due at once; one more look.
      bool more = false;
      for (auto& l : Listeners()) more = more || (!l->OnOwnThread() && l->NextDue() <= to);
      if (!more) return;
    }
  }
}

}  // namespace

namespace detail {

bool TestClockActive() { return State().testActive.load(std::memory_order_acquire); }

uint64_t ClockGeneration() { return State().generation.load(std::memory_order_acquire); }

void RegisterWaiter(std::mutex* mu, std::condition_variable* cv) {
  ClockState& s = State();
  std::lock_guard<std::mutex> reg(s.registryMu);
  s.waiters.push_back({mu, cv});
}

void UnregisterWaiter(std::mutex* mu, std::condition_variable* cv) {
  ClockState& s = State();
  std::lock_guard<std::mutex> reg(s.registryMu);
  for (auto it = s.waiters.begin(); it != s.waiters.end(); ++it) {
    if (it->mu == mu && it->cv == cv) {
      *it = s.waiters.back();
      s.waiters.pop_back();
      return;
    }
  }
}

void ParkedDelta(int delta) {
  ClockState& s = State();
  {
    std::lock_guard<std::mutex> g(s.parkedMu);
    s.parked.fetch_add(delta);
  }
  s.parkedCv.notify_all();
}

uint64_t DeadlineAfter(uint32_t ms) {
  if (ms == INFINITE) return kNoDeadline;
  return NowMs() + ms;
}

void WaitRealFor(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint64_t ms) {
  cv.wait_for(lk, std::chrono::milliseconds(ms));
}

// steady_clock is CLOCK_MONOTONIC, the clock of RealNowMs.
void WaitRealUntil(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint64_t deadlineMs) {
  cv.wait_until(lk, std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadlineMs)));
}

void RegisterListener(const std::shared_ptr<ClockListener>& listener) {
  ClockState& s = State();
  std::lock_guard<std::mutex> reg(s.registryMu);
  s.listeners.push_back(listener);
}

void UnregisterListener(const ClockListener* listener) {
  ClockState& s = State();
  std::lock_guard<std::mutex> reg(s.registryMu);
  for (auto it = s.listeners.begin(); it != s.listeners.end();) {
    auto p = it->lock();
    if (!p || p.get() == listener) {
      it = s.listeners.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace detail

uint64_t NowMs() {
  ClockState& s = State();
  if (s.testActive.load(std::memory_order_acquire)) return s.testNow.load(std::memory_order_acquire);
  return RealNowMs();
}

uint64_t NowSeconds() { return NowMs() / 1000u; }

// ---------------------------------------------------------------------------
// TestClock
// ---------------------------------------------------------------------------

TestClock::TestClock(uint64_t startMs) {
  ClockState& s = State();
  TestClock* expected = nullptr;
  if (!s.active.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "TestClock: a test clock is already active\n");
    std::abort();
  }
  s.testNow.store(startMs);
  s.sleepAdvances.store(false);
  s.testActive.store(true, std::memory_order_release);
  // After the switch: a thread that reads the new generation then reads test time.
  s.generation.fetch_add(1, std::memory_order_acq_rel);
  WakeAllWaiters();
}

TestClock::~TestClock() {
  ClockState& s = State();
  s.testActive.store(false, std::memory_order_release);
  s.generation.fetch_add(1, std::memory_order_acq_rel);
  s.sleepAdvances.store(false);
  s.active.store(nullptr);
  WakeAllWaiters();  // waits parked on test time go back to the real clock
}

void TestClock::advance(uint64_t ms) { AdvanceTo(State().testNow.load() + ms); }

void TestClock::set(uint64_t nowMs) {
  if (nowMs > State().testNow.load()) AdvanceTo(nowMs);
}

uint64_t TestClock::now() const { return State().testNow.load(); }

void TestClock::set_sleep_advances(bool on) { State().sleepAdvances.store(on); }

int TestClock::waiters() const { return State().parked.load(); }

bool TestClock::wait_for_waiters(int count, uint32_t realMs) const {
  ClockState& s = State();
  std::unique_lock<std::mutex> g(s.parkedMu);
  return s.parkedCv.wait_for(g, std::chrono::milliseconds(realMs), [&] { return s.parked.load() == count; });
}

TestClock* TestClock::active() { return State().active.load(); }

// ---------------------------------------------------------------------------
// RecursiveMutex
// ---------------------------------------------------------------------------

void RecursiveMutex::lock() {
  mu_.lock();
  owner_.store(GetCurrentThreadId(), std::memory_order_relaxed);
  ++depth_;
}

void RecursiveMutex::unlock() {
  if (--depth_ == 0) owner_.store(0, std::memory_order_relaxed);
  mu_.unlock();
}

bool RecursiveMutex::try_lock() {
  if (!mu_.try_lock()) return false;
  owner_.store(GetCurrentThreadId(), std::memory_order_relaxed);
  ++depth_;
  return true;
}

bool RecursiveMutex::held_by_me() const { return owner_.load(std::memory_order_relaxed) == GetCurrentThreadId(); }

int RecursiveMutex::depth() const {
  // Only meaningful to the owner; others see a snapshot.
  return held_by_me() ? depth_ : (owner_.load(std::memory_order_relaxed) ? 1 : 0);
}

// ---------------------------------------------------------------------------
// Semaphore and Event
// ---------------------------------------------------------------------------

Semaphore::Semaphore(long initialCount, long maximumCount)
    : count_(std::max(0L, initialCount)), max_(std::max(1L, maximumCount)) {
  if (count_ > max_) count_ = max_;
  detail::RegisterWaiter(&mu_, &cv_);
}

Semaphore::~Semaphore() { detail::UnregisterWaiter(&mu_, &cv_); }

bool Semaphore::release(long n, long* previous) {
  std::lock_guard<std::mutex> lk(mu_);
  if (previous) *previous = count_;
  if (n <= 0 || n > max_ - count_) return false;
  count_ += n;
  if (n == 1) {
    cv_.notify_one();
  } else {
    cv_.notify_all();
  }
  return true;
}

DWORD Semaphore::wait(DWORD ms) { return wait_until(detail::DeadlineAfter(ms)); }

DWORD Semaphore::wait_until(uint64_t deadline) {
  std::unique_lock<std::mutex> lk(mu_);
  if (!detail::WaitUntil(lk, cv_, deadline, [this] { return count_ > 0; })) return WAIT_TIMEOUT;
  --count_;
  return WAIT_OBJECT_0;
}

bool Semaphore::try_acquire() {
  std::lock_guard<std::mutex> lk(mu_);
  if (count_ <= 0) return false;
  --count_;
  return true;
}

long Semaphore::count() const {
  std::lock_guard<std::mutex> lk(mu_);
  return count_;
}

Event::Event(bool manualReset, bool initialState) : manual_(manualReset), state_(initialState) {
  detail::RegisterWaiter(&mu_, &cv_);
}

Event::~Event() {
  bool timed;
  {
    std::lock_guard<std::mutex> lk(mu_);
    timed = everTimed_;
  }
  if (timed) detail::ForgetEventTimers(this);  // fired one-shots may still be listed there
  detail::UnregisterWaiter(&mu_, &cv_);
}

void Event::set() {
  std::lock_guard<std::mutex> lk(mu_);
  state_ = true;
  if (manual_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void Event::reset() {
  std::lock_guard<std::mutex> lk(mu_);
  state_ = false;
}

bool Event::FireDueLocked(uint64_t now) {
  bool fired = false;
  bool periodic = false;
  for (size_t i = 0; i < ticks_.size();) {
    Tick& t = ticks_[i];
    if (t.due > now) {
      ++i;
      continue;
    }
    fired = true;
    if (t.period == 0) {
      ticks_.erase(ticks_.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    periodic = true;
    // Missed expiries coalesce into this one; the rhythm is kept unless a long stall broke it.
    if (!detail::TestClockActive() && t.due + detail::kMaxCatchUpMs < now) {
      t.due = now + t.period;
    } else {
      t.due += ((now - t.due) / t.period + 1) * t.period;
    }
    ++i;
  }
  if (fired) {
    state_ = true;
    if (manual_) {
      cv_.notify_all();
    } else {
      cv_.notify_one();
    }
  }
  return periodic;
}

uint64_t Event::NextTickLocked() const {
  uint64_t next = detail::kNoDeadline;
  for (const Tick& t : ticks_) next = std::min(next, t.due);
  return next;
}

DWORD Event::wait(DWORD ms) {
  const uint64_t deadline = detail::DeadlineAfter(ms);
  bool pace = false;
  DWORD result;
  {
    std::unique_lock<std::mutex> lk(mu_);
    for (;;) {
      const uint64_t now = NowMs();
      if (!ticks_.empty() && FireDueLocked(now)) pace = true;
      if (state_) {
        if (!manual_) state_ = false;
        result = WAIT_OBJECT_0;
        break;
      }
      if (deadline != detail::kNoDeadline && now >= deadline) {
        result = WAIT_TIMEOUT;
        break;
      }
      const uint64_t until = std::min(deadline, NextTickLocked());
      if (until == detail::kNoDeadline) {
        cv_.wait(lk);
      } else if (detail::TestClockActive()) {
        detail::ParkedDelta(1);
        cv_.wait(lk);  // woken by a signal or by the test clock moving
        detail::ParkedDelta(-1);
      } else {
        detail::WaitRealUntil(lk, cv_, until);
      }
    }
  }
  // The clock-paced work (file devices) is brought up to date before the waiter acts on the tick.
  if (pace) detail::RunPacers();
  return result;
}

bool Event::is_set() const {
  std::lock_guard<std::mutex> lk(mu_);
  return state_ || NextTickLocked() <= NowMs();
}

namespace detail {

void EventTimerAccess::Attach(Event& ev, UINT id, uint64_t due, UINT period) {
  std::lock_guard<std::mutex> lk(ev.mu_);
  ev.ticks_.push_back({id, due, period});
  ev.everTimed_ = true;
  ev.cv_.notify_all();  // a waiter recomputes its deadline
}

int EventTimerAccess::Detach(Event& ev, UINT id) {
  std::lock_guard<std::mutex> lk(ev.mu_);
  for (size_t i = 0; i < ev.ticks_.size(); ++i) {
    if (ev.ticks_[i].id != id) continue;
    if (ev.ticks_[i].period == 0 && ev.ticks_[i].due <= NowMs()) {
      ev.FireDueLocked(NowMs());  // it had expired: it fired
      return 0;
    }
    ev.ticks_.erase(ev.ticks_.begin() + static_cast<std::ptrdiff_t>(i));
    return 1;
  }
  return 0;
}

bool EventTimerAccess::Has(Event& ev, UINT id) {
  std::lock_guard<std::mutex> lk(ev.mu_);
  for (const Event::Tick& t : ev.ticks_)
    if (t.id == id) return true;
  return false;
}

uint64_t EventTimerAccess::NextDue(Event& ev) {
  std::lock_guard<std::mutex> lk(ev.mu_);
  return ev.NextTickLocked();
}

bool EventTimerAccess::Fire(Event& ev, uint64_t now) {
  std::lock_guard<std::mutex> lk(ev.mu_);
  return ev.FireDueLocked(now);
}

}  // namespace detail

}  // namespace plat

// ---------------------------------------------------------------------------
// Windows-named clock calls
// ---------------------------------------------------------------------------

DWORD GetTickCount() { return static_cast<DWORD>(plat::NowMs()); }

DWORD timeGetTime() { return static_cast<DWORD>(plat::NowMs()); }

void Sleep(DWORD ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  if (plat::detail::TestClockActive()) {
    plat::ClockState& s = plat::State();
    if (s.sleepAdvances.load()) {
      if (plat::TestClock* c = s.active.load()) {
        c->advance(ms);
        return;
      }
    }
    std::mutex mu;
    std::condition_variable cv;
    plat::detail::WaiterRegistration reg(&mu, &cv);
    uint64_t deadline = plat::detail::DeadlineAfter(ms);
    std::unique_lock<std::mutex> lk(mu);
    plat::detail::WaitUntil(lk, cv, deadline, [] { return false; });
    return;
  }
  timespec ts;
  ts.tv_sec = ms / 1000u;
  ts.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}
