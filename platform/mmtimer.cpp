// Multimedia timers: schedulers on timer threads, event timers without a thread, and the clock-paced work (pacers).
#include "platform/mmtimer.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include "platform/clock_internal.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace plat {
namespace {

constexpr UINT kMinDelay = 1;
constexpr UINT kMaxDelay = 1000000;
constexpr UINT kPaceMs = 2;
using detail::kMaxCatchUpMs;

struct Timer {
  UINT id = 0;
  uint64_t due = 0;
  UINT period = 0;  // 0 = one-shot
  std::function<void(UINT)> fn;
};

class Scheduler : public detail::ClockListener, public std::enable_shared_from_this<Scheduler> {
 public:
  explicit Scheduler(bool dedicated) : dedicated_(dedicated), reg_(&mu_, &cv_) {}

  void Start(const char* name) {
    auto self = shared_from_this();
    detail::RegisterListener(self);
    std::thread([self, n = std::string(name)] {
      SetCurrentThreadName(n);
      // Multimedia timer callbacks run time-critical: the audio paced by them must not stall
      // when the machine is busy.
      SetCurrentThreadPriority(THREAD_PRIORITY_TIME_CRITICAL);
      self->Run();
    }).detach();
    std::unique_lock<std::mutex> lk(mu_);
    doneCv_.wait(lk, [this] { return tid_ != 0; });
  }

  void Add(Timer t) {
    std::lock_guard<std::mutex> lk(mu_);
    queue_.insert({t.due, t.id});
    timers_.emplace(t.id, std::move(t));
    cv_.notify_all();
  }

  // Result: 1 = a pending timer stopped, 0 = not pending (fired, firing or unknown).
  int Kill(UINT id) {
    std::unique_lock<std::mutex> lk(mu_);
    int result = 0;
    auto it = timers_.find(id);
    if (it != timers_.end()) {
      queue_.erase({it->second.due, id});
      timers_.erase(it);
      result = 1;
    }
    if (running_ == id && GetCurrentThreadId() != tid_) {
      doneCv_.wait(lk, [&] { return running_ != id; });
    }
    if (dedicated_ && timers_.empty()) {
      stop_ = true;
      cv_.notify_all();
    }
    return result;
  }

  bool Exited() {
    std::lock_guard<std::mutex> lk(mu_);
    return exited_;
  }

  size_t Pending() {
    std::lock_guard<std::mutex> lk(mu_);
    return timers_.size();
  }

  uint64_t NextDue() override {
    std::lock_guard<std::mutex> lk(mu_);
    if (exited_ || queue_.empty()) return detail::kNoDeadline;
    return queue_.begin()->first;
  }

  void Settle(uint64_t now) override {
    std::unique_lock<std::mutex> lk(mu_);
    if (GetCurrentThreadId() == tid_) return;
    // Caught up only on a time the thread read under this clock: one read before the test clock was
    // installed (the real clock's far larger milliseconds) would let a due timer be skipped.
    const uint64_t generation = detail::ClockGeneration();
    doneCv_.wait(lk, [&] { return exited_ || (settledGeneration_ == generation && settled_ >= now); });
  }

  bool OnOwnThread() override { return GetCurrentThreadId() == tid_; }

 private:
  void Run() {
    std::unique_lock<std::mutex> lk(mu_);
    tid_ = GetCurrentThreadId();
    doneCv_.notify_all();
    while (!stop_) {
      const uint64_t generation = detail::ClockGeneration();
      uint64_t now = NowMs();
      if (!queue_.empty() && queue_.begin()->first <= now) {
        UINT id = queue_.begin()->second;
        queue_.erase(queue_.begin());
        Timer& t = timers_[id];
        std::function<void(UINT)> fn;
        if (t.period == 0) {
          fn = std::move(t.fn);
          timers_.erase(id);
        } else {
          fn = t.fn;
          t.due += t.period;
          if (!detail::TestClockActive() && t.due + kMaxCatchUpMs < now) t.due = now + t.period;
          queue_.insert({t.due, id});
        }
        running_ = id;
        lk.unlock();
        fn(id);
        fn = nullptr;
        lk.lock();
        running_ = 0;
        doneCv_.notify_all();
        if (dedicated_ && timers_.empty()) stop_ = true;
        continue;
      }
      settled_ = now;
      settledGeneration_ = generation;
      doneCv_.notify_all();
      if (queue_.empty() || detail::TestClockActive()) {
        cv_.wait(lk);
      } else {
        detail::WaitRealFor(lk, cv_, queue_.begin()->first - now);
      }
    }
    exited_ = true;
    doneCv_.notify_all();
    lk.unlock();
    detail::UnregisterListener(this);
  }

  const bool dedicated_;
  std::mutex mu_;
  std::condition_variable cv_;      // wakes the timer thread
  std::condition_variable doneCv_;  // callback finished / caught up / started
  detail::WaiterRegistration reg_;
  std::set<std::pair<uint64_t, UINT>> queue_;
  std::unordered_map<UINT, Timer> timers_;
  DWORD tid_ = 0;
  UINT running_ = 0;
  uint64_t settled_ = 0;
  uint64_t settledGeneration_ = 0;
  bool stop_ = false;
  bool exited_ = false;
};

struct EventTimer {
  Event* event;
  bool periodic;
};

struct Registry {
  std::mutex mu;
  UINT nextId = 1;
  std::shared_ptr<Scheduler> shared;
  // Timers with a thread of their own; entries go once their thread has ended.
  std::unordered_map<UINT, std::shared_ptr<Scheduler>> dedicated;
  // Timers that set an event: no thread; the event keeps the due time. A fired one-shot stays
  // here until swept (its event no longer has it).
  std::unordered_map<UINT, EventTimer> events;
  int periodicEvents = 0;
  std::shared_ptr<detail::ClockListener> eventListener;
};

Registry& Reg() {
  static Registry* r = new Registry;  // never destroyed: timer threads outlive static destruction
  return *r;
}

std::shared_ptr<Scheduler> SharedScheduler() {
  Registry& r = Reg();
  std::lock_guard<std::mutex> lk(r.mu);
  if (!r.shared) {
    r.shared = std::make_shared<Scheduler>(false);
    r.shared->Start("mmtimer");
  }
  return r.shared;
}

UINT Start(UINT delayMs, UINT period, std::function<void(UINT)> fn, bool ownThread) {
  if (delayMs < kMinDelay || delayMs > kMaxDelay || !fn) return 0;
  Registry& r = Reg();
  std::shared_ptr<Scheduler> sched;
  if (ownThread) {
    sched = std::make_shared<Scheduler>(true);
    sched->Start("mmtimer-own");
  } else {
    sched = SharedScheduler();
  }
  UINT id;
  {
    std::lock_guard<std::mutex> lk(r.mu);
    if (r.nextId == 0) return 0;  // ids exhausted; never reuse
    id = r.nextId++;
    if (ownThread) {
      for (auto it = r.dedicated.begin(); it != r.dedicated.end();) {
        if (it->second->Exited()) {
          it = r.dedicated.erase(it);
        } else {
          ++it;
        }
      }
      r.dedicated[id] = sched;
    }
  }
  Timer t;
  t.id = id;
  t.due = NowMs() + delayMs;
  t.period = period;
  t.fn = std::move(fn);
  sched->Add(std::move(t));
  return id;
}

// ---------------------------------------------------------------------------
// Pacers: clock-following work run by the threads that wake for event timers
// ---------------------------------------------------------------------------

struct Pacing {
  std::mutex listMu;  // held while the work runs, so removal waits for a running pass
  std::vector<std::pair<int, std::function<void()>>> work;
  int nextHandle = 1;
  std::mutex switchMu;  // serialises starting and stopping the fallback timer
  UINT fallback = 0;
};

Pacing& Pace() {
  static Pacing* p = new Pacing;
  return *p;
}

// Runs the fallback 2-ms timer exactly while there is work and no periodic event timer runs.
void UpdateFallback() {
  Pacing& p = Pace();
  std::lock_guard<std::mutex> sw(p.switchMu);
  bool haveWork;
  {
    std::lock_guard<std::mutex> lk(p.listMu);
    haveWork = !p.work.empty();
  }
  bool eventTimers;
  {
    std::lock_guard<std::mutex> lk(Reg().mu);
    eventTimers = Reg().periodicEvents > 0;
  }
  const bool want = haveWork && !eventTimers;
  if (want && !p.fallback) {
    p.fallback = StartTimer(kPaceMs, true, [](UINT) { detail::RunPacers(); }, true);
  } else if (!want && p.fallback) {
    timeKillEvent(p.fallback);
    p.fallback = 0;
  }
}

// Under the test clock the event timers are stepped here, on the advancing thread.
class EventTimerListener : public detail::ClockListener {
 public:
  uint64_t NextDue() override {
    Registry& r = Reg();
    std::lock_guard<std::mutex> lk(r.mu);
    uint64_t next = detail::kNoDeadline;
    for (auto& [id, t] : r.events) next = std::min(next, detail::EventTimerAccess::NextDue(*t.event));
    return next;
  }
  void Settle(uint64_t now) override {
    {
      Registry& r = Reg();
      std::lock_guard<std::mutex> lk(r.mu);
      for (auto& [id, t] : r.events) detail::EventTimerAccess::Fire(*t.event, now);
    }
    // Also waits for a pass a woken waiter may have started, so advance() returns caught up.
    detail::RunPacers();
  }
  bool OnOwnThread() override { return false; }
};

// Drops swept entries: one-shots that have fired (registry lock held).
void SweepEventTimers(Registry& r) {
  for (auto it = r.events.begin(); it != r.events.end();) {
    if (!detail::EventTimerAccess::Has(*it->second.event, it->first)) {
      if (it->second.periodic) --r.periodicEvents;
      it = r.events.erase(it);
    } else {
      ++it;
    }
  }
}

UINT StartOnEvent(UINT delayMs, bool periodic, Event* event) {
  if (!event || delayMs < kMinDelay || delayMs > kMaxDelay) return 0;
  Registry& r = Reg();
  UINT id;
  {
    std::lock_guard<std::mutex> lk(r.mu);
    if (r.nextId == 0) return 0;  // ids exhausted; never reuse
    id = r.nextId++;
    SweepEventTimers(r);
    if (!r.eventListener) {
      r.eventListener = std::make_shared<EventTimerListener>();
      detail::RegisterListener(r.eventListener);
    }
    r.events[id] = EventTimer{event, periodic};
    if (periodic) ++r.periodicEvents;
    detail::EventTimerAccess::Attach(*event, id, NowMs() + delayMs, periodic ? delayMs : 0);
  }
  // The pacers move from their fallback timer onto this one.
  if (periodic) UpdateFallback();
  return id;
}

// Stops an event timer: 1 pending, 0 fired, -1 not an event timer.
int KillOnEvent(UINT id) {
  Registry& r = Reg();
  int result;
  bool periodic;
  {
    std::lock_guard<std::mutex> lk(r.mu);
    auto it = r.events.find(id);
    if (it == r.events.end()) return -1;
    periodic = it->second.periodic;
    result = detail::EventTimerAccess::Detach(*it->second.event, id);
    if (periodic) --r.periodicEvents;
    r.events.erase(it);
  }
  if (periodic) UpdateFallback();
  return result;
}

}  // namespace

namespace detail {

void ForgetEventTimers(Event* ev) {
  Registry& r = Reg();
  bool periodic = false;
  {
    std::lock_guard<std::mutex> lk(r.mu);
    for (auto it = r.events.begin(); it != r.events.end();) {
      if (it->second.event == ev) {
        if (it->second.periodic) {
          --r.periodicEvents;
          periodic = true;
        }
        it = r.events.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (periodic) UpdateFallback();
}

int AddPacer(std::function<void()> fn) {
  Pacing& p = Pace();
  int handle;
  {
    std::lock_guard<std::mutex> lk(p.listMu);
    handle = p.nextHandle++;
    p.work.emplace_back(handle, std::move(fn));
  }
  UpdateFallback();
  return handle;
}

void RemovePacer(int handle) {
  Pacing& p = Pace();
  {
    std::lock_guard<std::mutex> lk(p.listMu);
    for (auto it = p.work.begin(); it != p.work.end(); ++it) {
      if (it->first == handle) {
        p.work.erase(it);
        break;
      }
    }
  }
  UpdateFallback();
}

void RunPacers() {
  Pacing& p = Pace();
  std::lock_guard<std::mutex> lk(p.listMu);
  for (auto& [handle, fn] : p.work) fn();
}

}  // namespace detail

UINT StartTimer(UINT delayMs, bool periodic, std::function<void(UINT)> fn, bool ownThread) {
  return Start(delayMs, periodic ? delayMs : 0, std::move(fn), ownThread);
}

UINT StartEventTimer(UINT delayMs, bool periodic, Event* event) { return StartOnEvent(delayMs, periodic, event); }

bool KillTimer(UINT timerId) { return timeKillEvent(timerId) == TIMERR_NOERROR; }

size_t PendingTimerCount() {
  Registry& r = Reg();
  std::vector<std::shared_ptr<Scheduler>> all;
  {
    std::lock_guard<std::mutex> lk(r.mu);
    if (r.shared) all.push_back(r.shared);
    for (auto& [id, s] : r.dedicated) all.push_back(s);
  }
  size_t n = 0;
  for (auto& s : all) n += s->Pending();
  std::lock_guard<std::mutex> lk(r.mu);
  SweepEventTimers(r);
  return n + r.events.size();
}

}  // namespace plat

MMRESULT timeSetEvent(UINT delayMs, UINT /*resolutionMs*/, LPTIMECALLBACK callback, DWORD_PTR user, UINT flags) {
  if (!callback) return 0;
  bool periodic = (flags & TIME_PERIODIC) != 0;
  if (flags & TIME_CALLBACK_EVENT_SET) {
    return plat::StartEventTimer(delayMs, periodic, reinterpret_cast<plat::Event*>(callback));
  }
  return plat::StartTimer(
      delayMs, periodic, [callback, user](UINT id) { callback(id, 0, user, 0, 0); }, (flags & TIME_OWN_THREAD) != 0);
}

MMRESULT timeKillEvent(UINT timerId) {
  if (timerId == 0) return MMSYSERR_INVALPARAM;
  const int onEvent = plat::KillOnEvent(timerId);
  if (onEvent >= 0) return onEvent == 1 ? TIMERR_NOERROR : MMSYSERR_INVALPARAM;
  plat::Registry& r = plat::Reg();
  std::shared_ptr<plat::Scheduler> sched;
  {
    std::lock_guard<std::mutex> lk(r.mu);
    if (timerId >= r.nextId && r.nextId != 0) return MMSYSERR_INVALPARAM;
    auto it = r.dedicated.find(timerId);
    if (it != r.dedicated.end()) {
      sched = it->second;
    } else {
      sched = r.shared;
    }
  }
  if (!sched) return MMSYSERR_INVALPARAM;
  return sched->Kill(timerId) == 1 ? TIMERR_NOERROR : MMSYSERR_INVALPARAM;
}
