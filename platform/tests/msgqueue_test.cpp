// Tests of thread message queues and window targets.
#include "platform/msgqueue.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sync.h"
#include "platform/thread.h"

namespace {

constexpr UINT kMsgA = WM_USER + 204;
constexpr UINT kMsgB = WM_USER + 513;

TEST(PlatformThreadQueue, PostGetPeekQuit) {
  std::vector<UINT> got;
  plat::Event go(true, false);
  plat::Thread worker;
  ASSERT_TRUE(worker.start(
      "worker",
      [&] {
        go.wait(INFINITE);
        MSG m;
        // Peek without removing, then with.
        EXPECT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_NOREMOVE));
        EXPECT_EQ(m.message, kMsgA);
        EXPECT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(m.message, kMsgA);
        EXPECT_EQ(m.wParam, 1u);
        EXPECT_EQ(m.lParam, -1);
        while (GetMessage(&m, nullptr, 0, 0)) got.push_back(m.message);
        EXPECT_EQ(m.message, WM_QUIT);
        EXPECT_EQ(m.wParam, 7u);
      },
      plat::ThreadOptions{true}));
  // The queue exists before the id is handed out: the first post succeeds.
  EXPECT_TRUE(plat::HasThreadQueue(worker.id()));
  EXPECT_TRUE(PostThreadMessage(worker.id(), kMsgA, 1, -1));
  EXPECT_TRUE(PostThreadMessage(worker.id(), kMsgB, 2, 0));
  EXPECT_TRUE(PostThreadMessage(worker.id(), kMsgA, 3, 0));
  EXPECT_TRUE(PostThreadMessage(worker.id(), WM_QUIT, 7, 0));
  EXPECT_EQ(plat::ThreadQueueSize(worker.id()), 4u);
  go.set();
  worker.join();
  EXPECT_EQ(got, (std::vector<UINT>{kMsgB, kMsgA}));
  // The thread ended: its queue is gone, posts fail and the sender keeps the record.
  EXPECT_FALSE(PostThreadMessage(worker.id(), kMsgA, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(PlatformThreadQueue, PostToThreadWithoutQueueFails) {
  plat::Event done(true, false);
  plat::Thread t;
  ASSERT_TRUE(t.start("noqueue", [&] { done.wait(INFINITE); }));
  EXPECT_FALSE(PostThreadMessage(t.id(), kMsgA, 0, 0));
  done.set();
  t.join();
}

TEST(PlatformThreadQueue, QuitComesAfterPostedMessagesAndFilter) {
  plat::CreateThreadQueue();
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
  PostThreadMessage(GetCurrentThreadId(), kMsgA, 0, 0);
  PostThreadMessage(GetCurrentThreadId(), kMsgB, 0, 0);
  PostQuitMessage(3);
  // Filter picks the later message first.
  EXPECT_TRUE(GetMessage(&m, nullptr, kMsgB, kMsgB));
  EXPECT_EQ(m.message, kMsgB);
  EXPECT_TRUE(GetMessage(&m, nullptr, 0, 0));
  EXPECT_EQ(m.message, kMsgA);
  EXPECT_FALSE(GetMessage(&m, nullptr, 0, 0));
  EXPECT_EQ(m.wParam, 3u);
  EXPECT_FALSE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST(PlatformThreadQueue, FullQueueRefusesPosts) {
  plat::CreateThreadQueue();
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
  int accepted = 0;
  for (int i = 0; i < 10005; ++i) accepted += PostThreadMessage(GetCurrentThreadId(), kMsgA, 0, 0);
  EXPECT_EQ(accepted, 10000);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
}

TEST(PlatformThreadQueue, GetMessageForTimesOutOnTestClock) {
  plat::TestClock clock;
  std::atomic<int> result{2};
  plat::Thread t;
  ASSERT_TRUE(t.start("waiter", [&] {
    MSG m;
    result = plat::GetMessageFor(&m, 500);
  }, plat::ThreadOptions{true}));
  ASSERT_TRUE(clock.wait_for_waiters(1));
  clock.advance(500);
  t.join();
  EXPECT_EQ(result.load(), -1);
}

TEST(PlatformWindowTarget, PumpedTargetRunsInPostOrder) {
  std::vector<std::pair<UINT, LPARAM>> seen;
  HWND w = plat::RegisterWindowTarget([&](HWND, UINT msg, WPARAM, LPARAM l) -> LRESULT {
    seen.push_back({msg, l});
    return 0;
  });
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(IsWindow(w));
  EXPECT_TRUE(PostMessage(w, kMsgA, 0, 1));
  EXPECT_TRUE(PostMessage(w, kMsgB, 0, 2));
  EXPECT_TRUE(seen.empty());  // nothing runs until pumped
  EXPECT_EQ(plat::PendingWindowMessages(w), 2u);
  EXPECT_EQ(plat::PumpWindowMessages(), 2u);
  EXPECT_EQ(seen, (std::vector<std::pair<UINT, LPARAM>>{{kMsgA, 1}, {kMsgB, 2}}));
  EXPECT_TRUE(plat::UnregisterWindowTarget(w));
  EXPECT_FALSE(IsWindow(w));
}

TEST(PlatformWindowTarget, PostToMissingWindowFailsAndUndeliveredAreDiscarded) {
  EXPECT_FALSE(PostMessage(reinterpret_cast<HWND>(0x1234), kMsgA, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  std::vector<LPARAM> discarded;
  plat::WindowTarget t;
  t.handler = [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; };
  t.discard = [&](HWND, UINT, WPARAM, LPARAM l) { discarded.push_back(l); };
  HWND w = plat::RegisterWindowTarget(std::move(t));
  EXPECT_TRUE(PostMessage(w, kMsgA, 0, 11));
  EXPECT_TRUE(plat::UnregisterWindowTarget(w));
  EXPECT_EQ(discarded, std::vector<LPARAM>{11});  // the record can be freed
  EXPECT_FALSE(PostMessage(w, kMsgA, 0, 12));     // handles are never reused
  EXPECT_FALSE(plat::UnregisterWindowTarget(w));
  HWND w2 = plat::RegisterWindowTarget([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
  EXPECT_NE(w2, w);
  EXPECT_EQ(GetCurrentThreadId(), plat::WindowOwnerThread(w2));
  EXPECT_EQ(0u, plat::WindowOwnerThread(w));  // gone
  plat::UnregisterWindowTarget(w2);
}

TEST(PlatformWindowTarget, SendMessageDirectAndAcrossThreads) {
  HWND w = plat::RegisterWindowTarget([](HWND, UINT msg, WPARAM wp, LPARAM) -> LRESULT {
    return static_cast<LRESULT>(msg + wp);
  });
  EXPECT_EQ(SendMessage(w, 100, 5, 0), 105);  // owner thread: direct call
  std::atomic<LRESULT> answer{-1};
  std::thread other([&] { answer = SendMessage(w, 200, 1, 0); });
  // The sender waits until the owner pumps.
  while (plat::PendingWindowMessages(w) == 0) std::this_thread::yield();
  EXPECT_EQ(answer.load(), -1);
  EXPECT_EQ(plat::PumpWindowMessages(w), 1u);
  other.join();
  EXPECT_EQ(answer.load(), 201);
  // A send blocked on a target that goes away returns 0.
  std::thread other2([&] { answer = SendMessage(w, 300, 0, 0); });
  while (plat::PendingWindowMessages(w) == 0) std::this_thread::yield();
  plat::UnregisterWindowTarget(w);
  other2.join();
  EXPECT_EQ(answer.load(), 0);
  EXPECT_EQ(SendMessage(w, 1, 0, 0), 0);
}

TEST(PlatformWindowTarget, PosterMarshalsToOwnerThread) {
  // A stand-in for a UI event loop: a thread running posted tasks from its queue.
  std::atomic<DWORD> handlerThread{0};
  plat::Thread ui;
  ASSERT_TRUE(ui.start("ui", [] {
    MSG m;
    while (GetMessage(&m, nullptr, 0, 0)) {
      auto* task = reinterpret_cast<std::function<void()>*>(m.lParam);
      (*task)();
      delete task;
    }
  }, plat::ThreadOptions{true}));
  DWORD uiId = ui.id();
  plat::WindowTarget t;
  t.ownerThread = uiId;
  t.handler = [&](HWND, UINT msg, WPARAM, LPARAM l) -> LRESULT {
    handlerThread = GetCurrentThreadId();
    delete reinterpret_cast<int*>(l);  // the receiver frees the record
    return msg;
  };
  t.poster = [uiId](std::function<void()> task) {
    auto* p = new std::function<void()>(std::move(task));
    if (!PostThreadMessage(uiId, WM_USER, 0, reinterpret_cast<LPARAM>(p))) delete p;
  };
  HWND w = plat::RegisterWindowTarget(std::move(t));
  EXPECT_TRUE(PostMessage(w, kMsgA, 0, reinterpret_cast<LPARAM>(new int(5))));
  EXPECT_EQ(SendMessage(w, kMsgB, 0, reinterpret_cast<LPARAM>(new int(6))), static_cast<LRESULT>(kMsgB));
  EXPECT_EQ(handlerThread.load(), uiId);
  plat::UnregisterWindowTarget(w);
  PostThreadMessage(uiId, WM_QUIT, 0, 0);
  ui.join();
}

TEST(PlatformWindowTarget, HandlerMayCloseItsOwnWindow) {
  HWND self = nullptr;
  int calls = 0;
  self = plat::RegisterWindowTarget([&](HWND h, UINT, WPARAM, LPARAM) -> LRESULT {
    ++calls;
    EXPECT_TRUE(plat::UnregisterWindowTarget(h));
    return 0;
  });
  PostMessage(self, WM_CLOSE, 0, 0);
  PostMessage(self, WM_CLOSE, 0, 0);
  EXPECT_EQ(plat::PumpWindowMessages(), 1u);  // the second one was dropped with the window
  EXPECT_EQ(calls, 1);
}

}  // namespace
