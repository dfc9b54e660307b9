// Thread message queues and window targets.
#include "platform/msgqueue.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/clock_internal.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace plat {
namespace {

constexpr size_t kQueueLimit = 10000;

// ---------------------------------------------------------------------------
// Thread queues
// ---------------------------------------------------------------------------

struct ThreadQueue {
  ThreadQueue() : reg(&mu, &cv) {}
  std::mutex mu;
  std::condition_variable cv;
  detail::WaiterRegistration reg;
  std::deque<MSG> messages;
  bool quit = false;
  int quitCode = 0;
};

struct QueueTable {
  std::mutex mu;
  std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
};

QueueTable& Queues() {
  static QueueTable* t = new QueueTable;
  return *t;
}

// Removes the thread's queue when the thread ends.
struct QueueOwner {
  DWORD tid = 0;
  ~QueueOwner() {
    if (!tid) return;
    QueueTable& t = Queues();
    std::lock_guard<std::mutex> lk(t.mu);
    t.queues.erase(tid);
  }
};

std::shared_ptr<ThreadQueue> FindQueue(DWORD tid) {
  QueueTable& t = Queues();
  std::lock_guard<std::mutex> lk(t.mu);
  auto it = t.queues.find(tid);
  return it == t.queues.end() ? nullptr : it->second;
}

std::shared_ptr<ThreadQueue> OwnQueue() {
  thread_local QueueOwner owner;
  thread_local std::shared_ptr<ThreadQueue> mine;
  if (!mine) {
    DWORD tid = GetCurrentThreadId();
    QueueTable& t = Queues();
    std::lock_guard<std::mutex> lk(t.mu);
    auto& slot = t.queues[tid];
    if (!slot) slot = std::make_shared<ThreadQueue>();
    mine = slot;
    owner.tid = tid;
  }
  return mine;
}

bool InRange(UINT msg, UINT lo, UINT hi) { return (lo == 0 && hi == 0) || (msg >= lo && msg <= hi); }

// Takes (or looks at) the first matching message; the caller holds q.mu.
// Returns 1 = message, 0 = quit, -1 = none.
int TakeLocked(ThreadQueue& q, MSG* out, UINT lo, UINT hi, bool remove) {
  for (auto it = q.messages.begin(); it != q.messages.end(); ++it) {
    if (it->message == WM_QUIT || InRange(it->message, lo, hi)) {
      MSG m = *it;
      if (remove) q.messages.erase(it);
      if (out) *out = m;
      return m.message == WM_QUIT ? 0 : 1;
    }
  }
  if (q.quit) {
    MSG m{};
    m.message = WM_QUIT;
    m.wParam = static_cast<WPARAM>(q.quitCode);
    m.time = GetTickCount();
    if (remove) q.quit = false;
    if (out) *out = m;
    return 0;
  }
  return -1;
}

// ---------------------------------------------------------------------------
// Window targets
// ---------------------------------------------------------------------------

struct SendState {
  bool done = false;
  bool started = false;
  bool abandoned = false;  // the sender gave up before delivery; the handler must not run
  LRESULT result = 0;
};

struct Target {
  HWND hwnd = nullptr;
  WindowTarget cfg;
  DWORD owner = 0;
  bool alive = true;
  int running = 0;  // handler calls in progress
};

struct Pending {
  std::shared_ptr<Target> target;
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
  std::shared_ptr<SendState> send;  // null for a post
};

struct TargetTable {
  std::mutex mu;
  std::condition_variable cv;  // handler finished / send answered
  uintptr_t nextHandle = 0x10000;
  std::unordered_map<HWND, std::shared_ptr<Target>> targets;
  std::deque<Pending> pumped;  // messages for pumped targets, in post order
};

TargetTable& Targets() {
  static TargetTable* t = new TargetTable;
  return *t;
}

// Targets whose handler runs on this thread right now (nesting allowed).
thread_local std::vector<Target*> t_handling;

std::shared_ptr<Target> FindTarget(TargetTable& t, HWND hwnd) {
  auto it = t.targets.find(hwnd);
  if (it == t.targets.end() || !it->second->alive) return nullptr;
  return it->second;
}

// Runs the handler with the running count kept; t.mu must NOT be held.
LRESULT RunHandler(const std::shared_ptr<Target>& target, UINT msg, WPARAM w, LPARAM l) {
  TargetTable& t = Targets();
  {
    std::lock_guard<std::mutex> lk(t.mu);
    ++target->running;
  }
  t_handling.push_back(target.get());
  LRESULT r = 0;
  if (target->cfg.handler) r = target->cfg.handler(target->hwnd, msg, w, l);
  t_handling.pop_back();
  {
    std::lock_guard<std::mutex> lk(t.mu);
    --target->running;
  }
  t.cv.notify_all();
  return r;
}

// Delivers one queued or marshalled message: handler when the target lives,
// otherwise discard (posts) or a 0 answer (sends).
void Deliver(const Pending& p) {
  TargetTable& t = Targets();
  bool alive;
  {
    std::lock_guard<std::mutex> lk(t.mu);
    alive = p.target->alive;
    if (p.send) {
      if (p.send->abandoned) return;  // the sender's record may be gone
      p.send->started = true;
    }
  }
  LRESULT r = 0;
  if (alive) {
    r = RunHandler(p.target, p.msg, p.wParam, p.lParam);
  } else if (!p.send && p.target->cfg.discard) {
    p.target->cfg.discard(p.target->hwnd, p.msg, p.wParam, p.lParam);
  }
  if (p.send) {
    std::lock_guard<std::mutex> lk(t.mu);
    p.send->done = true;
    p.send->result = r;
    t.cv.notify_all();
  }
}

}  // namespace

BOOL CreateThreadQueue() {
  OwnQueue();
  return TRUE;
}

bool HasThreadQueue(DWORD threadId) { return FindQueue(threadId) != nullptr; }

size_t ThreadQueueSize(DWORD threadId) {
  auto q = FindQueue(threadId);
  if (!q) return 0;
  std::lock_guard<std::mutex> lk(q->mu);
  return q->messages.size();
}

int GetMessageFor(MSG* msg, DWORD ms) {
  auto q = OwnQueue();
  uint64_t deadline = detail::DeadlineAfter(ms);
  std::unique_lock<std::mutex> lk(q->mu);
  int r = -1;
  detail::WaitUntil(lk, q->cv, deadline, [&] {
    r = TakeLocked(*q, msg, 0, 0, true);
    return r >= 0;
  });
  return r;
}

HWND RegisterWindowTarget(WindowTarget target) {
  TargetTable& t = Targets();
  auto tg = std::make_shared<Target>();
  tg->owner = target.ownerThread ? target.ownerThread : GetCurrentThreadId();
  tg->cfg = std::move(target);
  std::lock_guard<std::mutex> lk(t.mu);
  tg->hwnd = reinterpret_cast<HWND>(t.nextHandle);
  t.nextHandle += 4;
  t.targets[tg->hwnd] = tg;
  return tg->hwnd;
}

HWND RegisterWindowTarget(WindowHandler handler) {
  WindowTarget target;
  target.handler = std::move(handler);
  return RegisterWindowTarget(std::move(target));
}

BOOL UnregisterWindowTarget(HWND hwnd) {
  TargetTable& t = Targets();
  std::vector<Pending> dropped;
  std::shared_ptr<Target> tg;
  {
    std::unique_lock<std::mutex> lk(t.mu);
    auto it = t.targets.find(hwnd);
    if (it == t.targets.end()) return FALSE;
    tg = it->second;
    t.targets.erase(it);
    tg->alive = false;
    for (auto p = t.pumped.begin(); p != t.pumped.end();) {
      if (p->target == tg) {
        dropped.push_back(std::move(*p));
        p = t.pumped.erase(p);
      } else {
        ++p;
      }
    }
    // A handler of this target running here (closing its own window) is not waited for.
    int mine = static_cast<int>(std::count(t_handling.begin(), t_handling.end(), tg.get()));
    t.cv.wait(lk, [&] { return tg->running <= mine; });
  }
  for (const Pending& p : dropped) Deliver(p);  // target dead: discard / answer 0
  return TRUE;
}

size_t PumpWindowMessages(HWND hwnd, size_t max) {
  TargetTable& t = Targets();
  DWORD me = GetCurrentThreadId();
  size_t ran = 0;
  while (ran < max) {
    Pending p;
    {
      std::lock_guard<std::mutex> lk(t.mu);
      auto it = std::find_if(t.pumped.begin(), t.pumped.end(), [&](const Pending& q) {
        return q.target->owner == me && (hwnd == nullptr || q.target->hwnd == hwnd);
      });
      if (it == t.pumped.end()) break;
      p = std::move(*it);
      t.pumped.erase(it);
    }
    Deliver(p);
    ++ran;
  }
  return ran;
}

size_t PendingWindowMessages(HWND hwnd) {
  TargetTable& t = Targets();
  std::lock_guard<std::mutex> lk(t.mu);
  return static_cast<size_t>(
      std::count_if(t.pumped.begin(), t.pumped.end(), [&](const Pending& q) { return q.target->hwnd == hwnd; }));
}

DWORD WindowOwnerThread(HWND hwnd) {
  TargetTable& t = Targets();
  std::lock_guard<std::mutex> lk(t.mu);
  std::shared_ptr<Target> tg = FindTarget(t, hwnd);
  return tg ? tg->owner : 0;
}

}  // namespace plat

BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto q = plat::FindQueue(threadId);
  if (!q) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  std::lock_guard<std::mutex> lk(q->mu);
  if (q->messages.size() >= plat::kQueueLimit) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  q->messages.push_back(MSG{nullptr, msg, wParam, lParam, GetTickCount()});
  q->cv.notify_all();
  return TRUE;
}

BOOL GetMessage(MSG* msg, HWND /*hwnd*/, UINT minMsg, UINT maxMsg) {
  auto q = plat::OwnQueue();
  std::unique_lock<std::mutex> lk(q->mu);
  int r = -1;
  q->cv.wait(lk, [&] {
    r = plat::TakeLocked(*q, msg, minMsg, maxMsg, true);
    return r >= 0;
  });
  return r == 1 ? TRUE : FALSE;
}

BOOL PeekMessage(MSG* msg, HWND /*hwnd*/, UINT minMsg, UINT maxMsg, UINT removeFlags) {
  auto q = plat::OwnQueue();
  std::lock_guard<std::mutex> lk(q->mu);
  return plat::TakeLocked(*q, msg, minMsg, maxMsg, (removeFlags & PM_REMOVE) != 0) >= 0 ? TRUE : FALSE;
}

void PostQuitMessage(int exitCode) {
  auto q = plat::OwnQueue();
  std::lock_guard<std::mutex> lk(q->mu);
  q->quit = true;
  q->quitCode = exitCode;
  q->cv.notify_all();
}

BOOL IsWindow(HWND hwnd) {
  plat::TargetTable& t = plat::Targets();
  std::lock_guard<std::mutex> lk(t.mu);
  return plat::FindTarget(t, hwnd) ? TRUE : FALSE;
}

BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (hwnd == nullptr) return PostThreadMessage(GetCurrentThreadId(), msg, wParam, lParam);
  plat::TargetTable& t = plat::Targets();
  std::shared_ptr<plat::Target> tg;
  {
    std::lock_guard<std::mutex> lk(t.mu);
    tg = plat::FindTarget(t, hwnd);
    if (!tg) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (!tg->cfg.poster) {
      t.pumped.push_back(plat::Pending{tg, msg, wParam, lParam, nullptr});
      return TRUE;
    }
  }
  plat::Pending p{tg, msg, wParam, lParam, nullptr};
  tg->cfg.poster([p] { plat::Deliver(p); });
  return TRUE;
}

namespace {

// Shared body of SendMessage and plat::SendMessageUnless.
LRESULT SendOrAbandon(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, const std::atomic<bool>* giveUp,
                      bool* delivered) {
  plat::TargetTable& t = plat::Targets();
  std::shared_ptr<plat::Target> tg;
  auto send = std::make_shared<plat::SendState>();
  if (delivered) *delivered = false;
  {
    std::lock_guard<std::mutex> lk(t.mu);
    tg = plat::FindTarget(t, hwnd);
    if (!tg) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (giveUp && giveUp->load()) return 0;
    if (tg->owner != GetCurrentThreadId() && !tg->cfg.poster) {
      t.pumped.push_back(plat::Pending{tg, msg, wParam, lParam, send});
    }
  }
  if (tg->owner == GetCurrentThreadId()) {
    if (delivered) *delivered = true;
    return plat::RunHandler(tg, msg, wParam, lParam);
  }
  if (tg->cfg.poster) {
    plat::Pending p{tg, msg, wParam, lParam, send};
    tg->cfg.poster([p] { plat::Deliver(p); });
  }
  std::unique_lock<std::mutex> lk(t.mu);
  // A handler that has started always runs to its end before the sender goes on.
  t.cv.wait(lk, [&] { return send->done || (giveUp && giveUp->load() && !send->started); });
  if (!send->done) {
    send->abandoned = true;
    return 0;
  }
  if (delivered) *delivered = true;
  return send->result;
}

}  // namespace

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return SendOrAbandon(hwnd, msg, wParam, lParam, nullptr, nullptr);
}

namespace plat {

LRESULT SendMessageUnless(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, const std::atomic<bool>& giveUp,
                          bool* delivered) {
  return SendOrAbandon(hwnd, msg, wParam, lParam, &giveUp, delivered);
}

void WakeBlockedSenders() {
  TargetTable& t = Targets();
  std::lock_guard<std::mutex> lk(t.mu);
  t.cv.notify_all();
}

}  // namespace plat
