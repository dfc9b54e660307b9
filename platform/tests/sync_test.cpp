// Tests of locks, semaphores, events, threads and the clock (real and test).
#include "platform/sync.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/thread.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

long ElapsedMs(steady_clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(steady_clock::now() - since).count());
}

// Waits (real time, bounded) until cond holds.
template <class F>
bool Eventually(F cond) {
  for (int i = 0; i < 2000; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return cond();
}

TEST(PlatformTicks, WrapArithmetic) {
  struct {
    DWORD now, then, elapsed;
    bool reached;
  } cases[] = {
      {1000, 400, 600, true},
      {5, 0xFFFFFFF0u, 21, true},           // across the wrap
      {0xFFFFFFF0u, 5, 0xFFFFFFEBu, false},  // deadline after the wrap, not yet reached
      {7, 7, 0, true},
  };
  for (auto& c : cases) {
    EXPECT_EQ(plat::TickElapsed(c.now, c.then), c.elapsed);
    EXPECT_EQ(plat::TickReached(c.now, c.then), c.reached);
  }
}

TEST(PlatformTicks, TestClockWrapsLikeWindows) {
  plat::TestClock clock(0xFFFFFFFFull - 10);
  DWORD before = GetTickCount();
  clock.advance(20);
  DWORD after = timeGetTime();
  EXPECT_EQ(after, 9u);
  EXPECT_EQ(plat::TickElapsed(after, before), 20u);
  EXPECT_EQ(plat::NowMs(), 0xFFFFFFFFull + 10);
  EXPECT_EQ(plat::NowSeconds(), (0xFFFFFFFFull + 10) / 1000);
}

TEST(PlatformRecursiveMutex, OwnerReentersOthersWait) {
  plat::RecursiveMutex m;
  m.lock();
  m.lock();
  EXPECT_TRUE(m.held_by_me());
  EXPECT_EQ(m.depth(), 2);
  std::atomic<bool> other{true};
  std::thread t([&] { other = m.try_lock(); });
  t.join();
  EXPECT_FALSE(other);
  m.unlock();
  EXPECT_TRUE(m.held_by_me());
  m.unlock();
  EXPECT_FALSE(m.held_by_me());
  std::thread t2([&] {
    other = m.try_lock();
    if (other) m.unlock();
  });
  t2.join();
  EXPECT_TRUE(other);
}

TEST(PlatformSemaphore, CountsAndMaximum) {
  plat::Semaphore s(1, 2);
  long prev = -1;
  EXPECT_TRUE(s.release(1, &prev));
  EXPECT_EQ(prev, 1);
  EXPECT_FALSE(s.release(1, &prev));  // would pass the maximum
  EXPECT_EQ(s.count(), 2);
  EXPECT_EQ(s.wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(s.wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(s.wait(0), WAIT_TIMEOUT);
  EXPECT_FALSE(s.release(0));
  EXPECT_FALSE(s.release(3));
}

TEST(PlatformSemaphore, RealClockTimedWait) {
  plat::Semaphore s(0, 1);
  auto start = steady_clock::now();
  EXPECT_EQ(s.wait(50), WAIT_TIMEOUT);
  long waited = ElapsedMs(start);
  EXPECT_GE(waited, 45);
  EXPECT_LT(waited, 2000);
  std::thread t([&] {
    std::this_thread::sleep_for(milliseconds(20));
    s.release();
  });
  EXPECT_EQ(s.wait(INFINITE), WAIT_OBJECT_0);
  t.join();
}

TEST(PlatformSemaphore, TestClockDrivesTimeouts) {
  plat::TestClock clock(1000);
  plat::Semaphore s(0, 1);
  std::atomic<int> result{-1};
  std::thread t([&] { result = static_cast<int>(s.wait(50)); });
  ASSERT_TRUE(clock.wait_for_waiters(1));
  std::this_thread::sleep_for(milliseconds(30));  // real time passes, test time does not
  EXPECT_EQ(result.load(), -1);
  clock.advance(49);
  std::this_thread::sleep_for(milliseconds(10));
  EXPECT_EQ(result.load(), -1);
  clock.advance(1);
  ASSERT_TRUE(Eventually([&] { return result.load() != -1; }));
  EXPECT_EQ(result.load(), static_cast<int>(WAIT_TIMEOUT));
  t.join();

  // A release ends the wait at once, with no test time passing.
  result = -1;
  std::thread t2([&] { result = static_cast<int>(s.wait(20)); });
  s.release();
  t2.join();
  EXPECT_EQ(result.load(), static_cast<int>(WAIT_OBJECT_0));
}

// A wait until a due time the clock has already passed ends at once; one ahead ends when the clock
// reaches it, however far it moved before the wait began.
TEST(PlatformSemaphore, WaitUntilADueTimeOnTheClock) {
  plat::TestClock clock(1000);
  plat::Semaphore s(0, 1);
  const uint64_t due = plat::NowMs() + 300;
  clock.advance(500);
  EXPECT_EQ(s.wait_until(due), WAIT_TIMEOUT);
  std::atomic<int> result{-1};
  std::thread t([&] { result = static_cast<int>(s.wait_until(plat::NowMs() + 100)); });
  ASSERT_TRUE(clock.wait_for_waiters(1));
  clock.advance(100);
  t.join();
  EXPECT_EQ(result.load(), static_cast<int>(WAIT_TIMEOUT));
  s.release();
  EXPECT_EQ(s.wait_until(UINT64_MAX), WAIT_OBJECT_0);
}

TEST(PlatformEvent, ManualAndAutoReset) {
  plat::Event manual(true, false);
  manual.set();
  EXPECT_EQ(manual.wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(manual.wait(0), WAIT_OBJECT_0);
  manual.reset();
  EXPECT_EQ(manual.wait(0), WAIT_TIMEOUT);

  plat::Event autoEv(false, true);
  EXPECT_EQ(autoEv.wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(autoEv.wait(0), WAIT_TIMEOUT);

  // A manual event releases every waiter.
  std::atomic<int> woke{0};
  std::thread a([&] { woke += manual.wait(INFINITE) == WAIT_OBJECT_0; });
  std::thread b([&] { woke += manual.wait(INFINITE) == WAIT_OBJECT_0; });
  manual.set();
  a.join();
  b.join();
  EXPECT_EQ(woke.load(), 2);
}

TEST(PlatformEvent, TimedWaitUnderTestClock) {
  plat::TestClock clock;
  plat::Event ev(false, false);
  std::atomic<int> result{-1};
  std::thread t([&] { result = static_cast<int>(ev.wait(100)); });
  ASSERT_TRUE(clock.wait_for_waiters(1));
  clock.advance(100);
  t.join();
  EXPECT_EQ(result.load(), static_cast<int>(WAIT_TIMEOUT));
}

TEST(PlatformSleep, ZeroYieldsAndTestClockSleep) {
  auto start = steady_clock::now();
  Sleep(0);
  EXPECT_LT(ElapsedMs(start), 1000);

  plat::TestClock clock(0);
  std::atomic<bool> done{false};
  std::thread t([&] {
    Sleep(1000);
    done = true;
  });
  ASSERT_TRUE(clock.wait_for_waiters(1));
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_FALSE(done);
  clock.advance(1000);
  t.join();
  EXPECT_TRUE(done);

  clock.set_sleep_advances(true);
  Sleep(250);  // single-threaded code under test: the sleep moves the clock itself
  EXPECT_EQ(clock.now(), 1250u);
}

TEST(PlatformThread, NamedStartJoinAndIds) {
  plat::Thread t;
  std::atomic<DWORD> seen{0};
  char name[32] = {0};
  ASSERT_TRUE(t.start("a-rather-long-thread-name", [&] {
    seen = GetCurrentThreadId();
    pthread_getname_np(pthread_self(), name, sizeof name);
  }));
  EXPECT_NE(t.id(), 0u);
  EXPECT_NE(t.id(), GetCurrentThreadId());
  EXPECT_FALSE(t.start("again", [] {}));
  t.join();
  EXPECT_EQ(seen.load(), t.id());
  EXPECT_STREQ(name, "a-rather-long-t");  // cut to 15 bytes
  EXPECT_TRUE(t.finished());
}

TEST(PlatformThread, JoinWithTimeoutFollowsTheClock) {
  plat::TestClock clock;
  plat::Event release(true, false);
  plat::Thread t;
  ASSERT_TRUE(t.start("blocked", [&] { release.wait(INFINITE); }));
  std::atomic<int> joined{-1};
  std::thread waiter([&] { joined = t.join_for(10000) ? 1 : 0; });
  ASSERT_TRUE(clock.wait_for_waiters(1));
  clock.advance(10000);
  waiter.join();
  EXPECT_EQ(joined.load(), 0);
  release.set();
  EXPECT_TRUE(t.join_for(INFINITE));
  EXPECT_FALSE(t.joinable());
}

// Starts a thread in an address space that cannot take its stack; exits with the error left.
[[noreturn]] void StartWithoutRoom() {
  rlimit as{};
  getrlimit(RLIMIT_AS, &as);
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) pages = 0;
    std::fclose(f);
  }
  as.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (1 << 20);
  setrlimit(RLIMIT_AS, &as);
  SetLastError(0);
  plat::Thread t;
  const bool started = t.start("refused", [] {});
  std::_Exit(started ? 100 : static_cast<int>(GetLastError() & 0x7f));
}

// The sanitizers' own bookkeeping of a new thread dies when the address space is full.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

TEST(PlatformThread, ARefusedStartLeavesTheSystemsError) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer cannot start a thread without address space either";
  EXPECT_EXIT(StartWithoutRoom(), ::testing::ExitedWithCode(EAGAIN), "");
}

}  // namespace
