// Named threads, thread ids and best-effort priorities.
#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "platform/msgqueue.h"
#include "platform/sync.h"

DWORD GetCurrentThreadId() {
  thread_local DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
  return id;
}

namespace plat {

void SetCurrentThreadName(const std::string& name) {
  std::string cut = name.substr(0, 15);
  pthread_setname_np(pthread_self(), cut.c_str());
}

bool SetCurrentThreadPriority(int windowsPriority) {
  if (windowsPriority >= THREAD_PRIORITY_HIGHEST) {
    sched_param sp{};
    int lo = sched_get_priority_min(SCHED_FIFO);
    int hi = sched_get_priority_max(SCHED_FIFO);
    sp.sched_priority = windowsPriority >= THREAD_PRIORITY_TIME_CRITICAL ? hi : (lo + hi) / 2;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0) return true;
  }
  // Nice values apply per thread on Linux; raising above 0 usually needs privileges.
  int nice = 0;
  if (windowsPriority >= THREAD_PRIORITY_TIME_CRITICAL) {
    nice = -10;
  } else if (windowsPriority > 0) {
    nice = -2 * windowsPriority;
  } else if (windowsPriority <= THREAD_PRIORITY_IDLE) {
    nice = 19;
  } else {
    nice = -2 * windowsPriority;
  }
  return setpriority(PRIO_PROCESS, static_cast<id_t>(GetCurrentThreadId()), nice) == 0;
}

struct Thread::State {
  std::thread thread;
  std::string name;
  std::atomic<DWORD> id{0};
  std::atomic<bool> finished{false};
  Event ended{true, false};
  Event ready{true, false};
};

Thread::Thread() = default;

Thread::~Thread() {
  if (!joinable()) return;
  if (state_->thread.get_id() == std::this_thread::get_id()) {
    state_->thread.detach();
  } else {
    state_->thread.join();
  }
}

Thread::Thread(Thread&& other) noexcept : state_(std::move(other.state_)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    if (joinable()) {
      if (state_->thread.get_id() == std::this_thread::get_id()) {
        state_->thread.detach();
      } else {
        state_->thread.join();
      }
    }
    state_ = std::move(other.state_);
  }
  return *this;
}

bool Thread::start(const std::string& name, std::function<void()> fn, ThreadOptions options) {
  if (state_) return false;
  auto st = std::make_shared<State>();
  st->name = name;
  try {
    st->thread = std::thread([st, fn = std::move(fn), options]() mutable {
      st->id.store(GetCurrentThreadId());
      SetCurrentThreadName(st->name);
      if (options.messageQueue) CreateThreadQueue();
      st->ready.set();
      fn();
      fn = nullptr;  // release captures before announcing the end
      st->finished.store(true);
      st->ended.set();
    });
  } catch (const std::system_error& e) {
    SetLastError(static_cast<DWORD>(e.code().value()));  // the system's reason, as callers trace it
    return false;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  st->ready.wait(INFINITE);
  state_ = std::move(st);
  return true;
}

void Thread::join() {
  if (!joinable()) return;
  state_->thread.join();
}

bool Thread::join_for(DWORD ms) {
  if (!state_) return true;
  if (state_->ended.wait(ms) != WAIT_OBJECT_0) return false;
  if (state_->thread.joinable() && state_->thread.get_id() != std::this_thread::get_id()) state_->thread.join();
  return true;
}

void Thread::detach() {
  if (joinable()) state_->thread.detach();
}

bool Thread::joinable() const { return state_ && state_->thread.joinable(); }

bool Thread::finished() const { return state_ && state_->finished.load(); }

DWORD Thread::id() const { return state_ ? state_->id.load() : 0; }

const std::string& Thread::name() const {
  static const std::string empty;
  return state_ ? state_->name : empty;
}

}  // namespace plat
