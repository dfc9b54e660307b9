// Tests of the multimedia timers: firing, killing, and the test clock.
#include "platform/mmtimer.h"

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sync.h"
#include "platform/thread.h"

namespace {

using std::chrono::milliseconds;

template <class F>
bool Eventually(F cond, int ms = 3000) {
  for (int i = 0; i < ms; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return cond();
}

void CountCallback(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  reinterpret_cast<std::atomic<int>*>(user)->fetch_add(1);
}

TEST(PlatformMmTimer, RejectsBadArguments) {
  std::atomic<int> n{0};
  EXPECT_EQ(timeSetEvent(0, 0, CountCallback, reinterpret_cast<DWORD_PTR>(&n), TIME_ONESHOT), 0u);
  EXPECT_EQ(timeSetEvent(1000001, 0, CountCallback, reinterpret_cast<DWORD_PTR>(&n), TIME_ONESHOT), 0u);
  EXPECT_EQ(timeSetEvent(10, 0, nullptr, 0, TIME_ONESHOT), 0u);
  EXPECT_EQ(timeKillEvent(0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(timeKillEvent(0x7FFFFFF0u), MMSYSERR_INVALPARAM);
}

TEST(PlatformMmTimer, OneShotFiresExactlyOnceRealClock) {
  std::atomic<int> n{0};
  UINT id = timeSetEvent(5, 0, CountCallback, reinterpret_cast<DWORD_PTR>(&n), TIME_ONESHOT);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(Eventually([&] { return n.load() == 1; }));
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(n.load(), 1);
  EXPECT_EQ(timeKillEvent(id), MMSYSERR_INVALPARAM);  // already fired
  UINT id2 = timeSetEvent(5, 0, CountCallback, reinterpret_cast<DWORD_PTR>(&n), TIME_ONESHOT);
  EXPECT_GT(id2, id);  // never reused
  timeKillEvent(id2);
}

TEST(PlatformMmTimer, TestClockFiresAtDueTimeInOrder) {
  plat::TestClock clock(5000);
  std::mutex mu;
  std::vector<std::pair<UINT, DWORD>> fired;  // (delay tag, tick seen inside the callback)
  auto rec = [&](UINT tag) {
    return [&, tag](UINT) {
      std::lock_guard<std::mutex> lk(mu);
      fired.push_back({tag, timeGetTime()});
    };
  };
  UINT a = plat::StartTimer(30000, false, rec(30000));
  UINT b = plat::StartTimer(100, false, rec(100));
  UINT c = plat::StartTimer(250, true, rec(250));
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  clock.advance(99);
  EXPECT_TRUE(fired.empty());
  clock.advance(1);  // advance() returns only after the due callbacks ran
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0], (std::pair<UINT, DWORD>{100, 5100}));
  clock.advance(29900);
  // The periodic timer fired every 250 ms up to 30000, the one-shot once at its time.
  std::vector<std::pair<UINT, DWORD>> expect{{100, 5100}};
  for (DWORD t = 250; t <= 30000; t += 250) expect.push_back({250, 5000 + t});
  // At 35000 the one-shot (started first, lower id) comes before the periodic tick.
  expect.insert(expect.end() - 1, {30000, 35000});
  EXPECT_EQ(fired, expect);
  EXPECT_EQ(timeKillEvent(a), MMSYSERR_INVALPARAM);
  EXPECT_EQ(timeKillEvent(c), TIMERR_NOERROR);
  clock.advance(1000);
  EXPECT_EQ(fired.size(), expect.size());
  EXPECT_EQ(plat::PendingTimerCount(), 0u);
}

// A callback that starts the next one-shot (as state machines re-arm their
// timers) is followed within one advance, each at its own due time.
std::vector<DWORD> g_rearmTicks;

void Rearm(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  g_rearmTicks.push_back(timeGetTime());
  if (g_rearmTicks.size() < 10) timeSetEvent(100, 0, Rearm, 0, TIME_ONESHOT);
}

TEST(PlatformMmTimer, TimersStartedByCallbacksFireWithinTheSameAdvance) {
  plat::TestClock clock(0);
  g_rearmTicks.clear();
  ASSERT_NE(timeSetEvent(100, 0, Rearm, 0, TIME_ONESHOT), 0u);
  clock.advance(2000);
  std::vector<DWORD> expect;
  for (DWORD t = 100; t <= 1000; t += 100) expect.push_back(t);
  EXPECT_EQ(g_rearmTicks, expect);
  EXPECT_EQ(clock.now(), 2000u);
}

TEST(PlatformMmTimer, KillBeforeExpiryPreventsCallback) {
  plat::TestClock clock;
  std::atomic<int> n{0};
  UINT id = timeSetEvent(50, 0, CountCallback, reinterpret_cast<DWORD_PTR>(&n), TIME_ONESHOT);
  EXPECT_EQ(timeKillEvent(id), TIMERR_NOERROR);
  EXPECT_EQ(timeKillEvent(id), MMSYSERR_INVALPARAM);  // second kill: nothing pending
  clock.advance(100);
  EXPECT_EQ(n.load(), 0);
}

TEST(PlatformMmTimer, KillFromInsideCallbackDoesNotDeadlock) {
  plat::TestClock clock;
  struct Ctx {
    UINT id = 0;
    int calls = 0;
    MMRESULT killResult = 99;
  } ctx;
  auto cb = [](UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    Ctx* c = reinterpret_cast<Ctx*>(user);
    ++c->calls;
    c->killResult = timeKillEvent(id);
  };
  ctx.id = timeSetEvent(10, 0, cb, reinterpret_cast<DWORD_PTR>(&ctx), TIME_PERIODIC);
  clock.advance(10);
  EXPECT_EQ(ctx.calls, 1);
  EXPECT_EQ(ctx.killResult, TIMERR_NOERROR);  // periodic stopped from its own callback
  clock.advance(100);
  EXPECT_EQ(ctx.calls, 1);

  // A one-shot killing itself: already firing, so "not pending", and no hang.
  ctx = Ctx{};
  ctx.id = timeSetEvent(10, 0, cb, reinterpret_cast<DWORD_PTR>(&ctx), TIME_ONESHOT);
  clock.advance(10);
  EXPECT_EQ(ctx.calls, 1);
  EXPECT_EQ(ctx.killResult, MMSYSERR_INVALPARAM);
}

TEST(PlatformMmTimer, KillWaitsForRunningCallback) {
  std::atomic<bool> inside{false};
  std::atomic<bool> finished{false};
  plat::Event release(true, false);
  UINT id = plat::StartTimer(1, false, [&](UINT) {
    inside = true;
    release.wait(INFINITE);
    finished = true;
  });
  ASSERT_TRUE(Eventually([&] { return inside.load(); }));
  std::atomic<bool> killReturned{false};
  std::thread killer([&] {
    EXPECT_FALSE(plat::KillTimer(id));  // it had fired
    killReturned = true;
    EXPECT_TRUE(finished.load());  // the callback is over when the kill returns
  });
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_FALSE(killReturned.load());
  release.set();
  killer.join();
  EXPECT_TRUE(killReturned.load());
}

// A scheduler thread busy since before the test clock was installed last settled on the real clock,
// whose milliseconds dwarf test time. advance() must not take that old reading for caught up: it
// returns only once what fell due has run, here a callback still busy when its timer left the queue.
TEST(PlatformMmTimer, AdvanceWaitsForASchedulerBusySinceBeforeTheTestClock) {
  std::atomic<bool> inside{false};
  plat::Event releaseFirst(true, false), releaseSecond(true, false);
  plat::StartTimer(1, false, [&](UINT) {
    inside = true;
    releaseFirst.wait(INFINITE);
  });
  ASSERT_TRUE(Eventually([&] { return inside.load(); }));
  plat::TestClock clock;
  std::atomic<int> fired{0};
  std::atomic<bool> secondInside{false};
  plat::StartTimer(100, false, [&](UINT) {
    secondInside = true;
    releaseSecond.wait(INFINITE);
    ++fired;
  });
  std::atomic<bool> advanced{false};
  std::atomic<int> firedWhenAdvanced{-1};
  std::thread advancer([&] {
    clock.advance(100);
    firedWhenAdvanced = fired.load();
    advanced = true;
  });
  releaseFirst.set();
  ASSERT_TRUE(Eventually([&] { return secondInside.load(); }));
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_FALSE(advanced.load());
  releaseSecond.set();
  advancer.join();
  EXPECT_EQ(firedWhenAdvanced.load(), 1);
}

// Kill racing the expiry, on the real clock: after timeKillEvent returns the
// callback never runs (again), whatever the result. Run under ThreadSanitizer too.
TEST(PlatformMmTimer, KillRacingExpiryNeverFiresAfterKillReturns) {
  struct Probe {
    std::atomic<bool> killed{false};
    std::atomic<int> lateCalls{0};
    std::atomic<int> calls{0};
  };
  for (int round = 0; round < 300; ++round) {
    auto probe = std::make_shared<Probe>();
    bool periodic = round % 2 == 1;
    UINT id = plat::StartTimer(1, periodic, [probe](UINT) {
      if (probe->killed.load()) probe->lateCalls.fetch_add(1);
      probe->calls.fetch_add(1);
    });
    ASSERT_NE(id, 0u);
    // Spin a little so the kill lands before, during or after the expiry.
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(round * 7 % 1500);
    while (std::chrono::steady_clock::now() < until) {
    }
    MMRESULT r = timeKillEvent(id);
    probe->killed = true;
    int callsAtKill = probe->calls.load();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    EXPECT_EQ(probe->lateCalls.load(), 0) << "round " << round;
    EXPECT_EQ(probe->calls.load(), callsAtKill) << "round " << round;
    if (!periodic) {
      EXPECT_EQ(r == TIMERR_NOERROR, callsAtKill == 0) << "round " << round;
    }
  }
}

TEST(PlatformMmTimer, PeriodicCallbacksNeverOverlap) {
  std::atomic<int> active{0};
  std::atomic<int> maxActive{0};
  std::atomic<int> calls{0};
  auto body = [&](UINT) {
    int now = ++active;
    int m = maxActive.load();
    while (now > m && !maxActive.compare_exchange_weak(m, now)) {
    }
    std::this_thread::sleep_for(milliseconds(3));
    --active;
    ++calls;
  };
  UINT a = plat::StartTimer(1, true, body);
  UINT b = plat::StartTimer(2, true, body);
  ASSERT_TRUE(Eventually([&] { return calls.load() >= 20; }));
  plat::KillTimer(a);
  plat::KillTimer(b);
  EXPECT_EQ(maxActive.load(), 1);
}

TEST(PlatformMmTimer, EventTimerIsNotHeldBackByABlockedCallback) {
  plat::Event ev(false, false);
  UINT id = timeSetEvent(2, 0, reinterpret_cast<LPTIMECALLBACK>(&ev), 0, TIME_PERIODIC | TIME_CALLBACK_EVENT_SET);
  ASSERT_NE(id, 0u);
  plat::Event release(true, false);
  std::atomic<bool> blocked{false};
  UINT slow = plat::StartTimer(1, false, [&](UINT) {
    blocked = true;
    release.wait(INFINITE);
  });
  ASSERT_TRUE(Eventually([&] { return blocked.load(); }));
  int wakes = 0;
  for (int i = 0; i < 5; ++i) wakes += ev.wait(1000) == WAIT_OBJECT_0;
  EXPECT_EQ(wakes, 5);
  release.set();
  EXPECT_EQ(timeKillEvent(id), TIMERR_NOERROR);
  plat::KillTimer(slow);
}

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// The waiting thread itself wakes at each expiry: no thread relays the timer to the event.
TEST(PlatformMmTimer, EventTimerWakesTheWaiterWithoutAThread) {
  plat::Event ev(false, false);
  const int before = ThreadCount();
  UINT id = plat::StartEventTimer(2, true, &ev);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(ThreadCount(), before);
  const auto start = std::chrono::steady_clock::now();
  int wakes = 0;
  for (int i = 0; i < 10; ++i) wakes += ev.wait(1000) == WAIT_OBJECT_0;
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(wakes, 10);
  EXPECT_GE(took, milliseconds(18));  // the period holds: ten expiries take about 20 ms
  EXPECT_EQ(ThreadCount(), before);
  EXPECT_EQ(timeKillEvent(id), TIMERR_NOERROR);
  ev.reset();  // an expiry may have set it between the last wait and the kill
  EXPECT_EQ(ev.wait(20), static_cast<DWORD>(WAIT_TIMEOUT));  // nothing sets it any more
}

// Under the test clock: the event is set at each due time, missed expiries coalesce into one wake,
// a one-shot fires once (and counts as fired when killed after its time, even if nobody looked).
TEST(PlatformMmTimer, EventTimersFollowTheTestClock) {
  plat::TestClock clock(1000);
  plat::Event ev(false, false);
  UINT periodic = plat::StartEventTimer(2, true, &ev);
  clock.advance(1);
  EXPECT_FALSE(ev.is_set());
  clock.advance(1);
  EXPECT_TRUE(ev.is_set());
  EXPECT_EQ(ev.wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(ev.wait(0), static_cast<DWORD>(WAIT_TIMEOUT));
  clock.advance(10);  // five expiries, one wake
  EXPECT_EQ(ev.wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(ev.wait(0), static_cast<DWORD>(WAIT_TIMEOUT));
  clock.advance(1);  // the rhythm is kept: next due at 1014
  EXPECT_FALSE(ev.is_set());
  clock.advance(1);
  EXPECT_TRUE(ev.is_set());
  EXPECT_EQ(timeKillEvent(periodic), TIMERR_NOERROR);
  ev.reset();

  // A thread parked on the event wakes when the test clock reaches the expiry.
  UINT again = plat::StartEventTimer(5, true, &ev);
  std::atomic<int> woken{0};
  std::thread waiter([&] {
    for (int i = 0; i < 2; ++i) woken += ev.wait(INFINITE) == WAIT_OBJECT_0;
  });
  ASSERT_TRUE(clock.wait_for_waiters(1));
  clock.advance(5);
  ASSERT_TRUE(Eventually([&] { return woken.load() == 1 && clock.waiters() == 1; }));
  clock.advance(5);
  waiter.join();
  EXPECT_EQ(woken.load(), 2);
  plat::KillTimer(again);

  plat::Event shot(true, false);
  UINT a = plat::StartEventTimer(50, false, &shot);
  UINT b = plat::StartEventTimer(50, false, &shot);
  EXPECT_EQ(timeKillEvent(a), TIMERR_NOERROR);  // before its time: never fires
  clock.advance(60);
  EXPECT_TRUE(shot.is_set());
  EXPECT_EQ(timeKillEvent(b), MMSYSERR_INVALPARAM);  // it has fired
  EXPECT_EQ(plat::PendingTimerCount(), 0u);
}

// An event destroyed with its timer still running takes the timer with it.
TEST(PlatformMmTimer, DestroyingTheEventDropsItsTimers) {
  plat::TestClock clock;
  UINT id;
  {
    plat::Event ev;
    id = plat::StartEventTimer(2, true, &ev);
    EXPECT_EQ(plat::PendingTimerCount(), 1u);
  }
  EXPECT_EQ(plat::PendingTimerCount(), 0u);
  clock.advance(10);
  EXPECT_EQ(timeKillEvent(id), MMSYSERR_INVALPARAM);

  // A fired one-shot whose event is gone is never looked at again.
  UINT shot;
  {
    plat::Event ev;
    shot = plat::StartEventTimer(5, false, &ev);
    clock.advance(5);
    EXPECT_EQ(ev.wait(0), WAIT_OBJECT_0);
  }
  plat::Event other;
  UINT next = plat::StartEventTimer(5, false, &other);
  clock.advance(5);
  EXPECT_TRUE(other.is_set());
  EXPECT_EQ(timeKillEvent(shot), MMSYSERR_INVALPARAM);
  EXPECT_EQ(timeKillEvent(next), MMSYSERR_INVALPARAM);
}

}  // namespace
