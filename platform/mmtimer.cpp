// Multimedia timers: schedulers on timer threads, driven by the clock of sync.h.
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
// On the real clock, a periodic timer more than this late restarts from now.
constexpr uint64_t kMaxCatchUpMs = 1000;

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
    doneCv_.wait(lk, [&] { return exited_ || settled_ >= now; });
  }

  bool OnOwnThread() override { return GetCurrentThreadId() == tid_; }

 private:
  void Run() {
    std::unique_lock<std::mutex> lk(mu_);
    tid_ = GetCurrentThreadId();
    doneCv_.notify_all();
    while (!stop_) {
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
  bool stop_ = false;
  bool exited_ = false;
};

struct Registry {
  std::mutex mu;
  UINT nextId = 1;
  std::shared_ptr<Scheduler> shared;
  // Timers with a thread of their own; entries go once their thread has ended.
  std::unordered_map<UINT, std::shared_ptr<Scheduler>> dedicated;
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

}  // namespace

UINT StartTimer(UINT delayMs, bool periodic, std::function<void(UINT)> fn, bool ownThread) {
  return Start(delayMs, periodic ? delayMs : 0, std::move(fn), ownThread);
}

UINT StartEventTimer(UINT delayMs, bool periodic, Event* event) {
  if (!event) return 0;
  return Start(delayMs, periodic ? delayMs : 0, [event](UINT) { event->set(); }, true);
}

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
  return n;
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
