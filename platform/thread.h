// Named threads and thread ids.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/wintypes.h"

// Id of the calling thread (the kernel thread id); ids of living threads differ
// and may be compared ("is the caller that thread?").
DWORD GetCurrentThreadId();

// Windows priority levels for plat::SetCurrentThreadPriority.
inline constexpr int THREAD_PRIORITY_IDLE = -15;
inline constexpr int THREAD_PRIORITY_LOWEST = -2;
inline constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;
inline constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;

namespace plat {

// Names the calling thread (shown by debuggers and top); cut to 15 bytes.
void SetCurrentThreadName(const std::string& name);
// Best effort: real-time scheduling for TIME_CRITICAL/HIGHEST when permitted,
// otherwise a nice value; never fails the caller. Returns true when applied.
bool SetCurrentThreadPriority(int windowsPriority);

struct ThreadOptions {
  // Create the thread's message queue before start() returns, so
  // PostThreadMessage to id() succeeds at once.
  bool messageQueue = false;
};

// A started thread. The destructor joins a still-joinable thread (or detaches
// it when the destructor runs on that very thread).
class Thread {
 public:
  Thread();
  ~Thread();
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts fn on a new thread named name; returns once the thread's id is known
  // (and its queue exists when asked). False when already started or the system refuses
  // (its error number then in GetLastError).
  bool start(const std::string& name, std::function<void()> fn, ThreadOptions options = {});
  // Waits until the thread has ended.
  void join();
  // Waits up to ms (INFINITE = no limit, the clock of sync.h) for the thread to end;
  // true when it has ended (and is then joined).
  bool join_for(DWORD ms);
  // Lets the thread run on alone.
  void detach();
  // True while started and neither joined nor detached.
  bool joinable() const;
  // True once the thread function has returned.
  bool finished() const;
  // Kernel id of the thread (0 before start).
  DWORD id() const;
  // Name given at start.
  const std::string& name() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace plat
