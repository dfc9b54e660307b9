// Thread message queues and window targets (posted and sent messages).
#pragma once

#include <atomic>

#include <cstddef>
#include <functional>

#include "platform/wintypes.h"

// A message as GetMessage/PeekMessage return it.
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;   // GetTickCount() when posted
};

inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;

// ---------------------------------------------------------------------------
// Thread queues
// ---------------------------------------------------------------------------
// Each thread may own one FIFO queue of posted messages. A queue is created for
// the calling thread by its first GetMessage/PeekMessage, by
// plat::CreateThreadQueue, or by plat::Thread::start with messageQueue; it is
// destroyed when the thread ends. A queue holds at most 10000 messages.
// A failed post leaves the message (and any record in lParam) with the sender.

// Appends a message to the thread's queue; FALSE when the thread has no queue
// (or it is full). Safe from any thread.
BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
inline BOOL PostThreadMessageA(DWORD t, UINT m, WPARAM w, LPARAM l) { return PostThreadMessage(t, m, w, l); }
// Removes the next message of the calling thread's queue whose number lies in
// [minMsg, maxMsg] (0, 0 = any), waiting for one. Returns FALSE for WM_QUIT,
// TRUE otherwise. hwnd must be null (window targets have their own delivery).
BOOL GetMessage(MSG* msg, HWND hwnd, UINT minMsg, UINT maxMsg);
inline BOOL GetMessageA(MSG* m, HWND h, UINT a, UINT b) { return GetMessage(m, h, a, b); }
// Like GetMessage without waiting: TRUE when a message was returned (removed
// with PM_REMOVE, left in place with PM_NOREMOVE), FALSE when none.
BOOL PeekMessage(MSG* msg, HWND hwnd, UINT minMsg, UINT maxMsg, UINT removeFlags);
inline BOOL PeekMessageA(MSG* m, HWND h, UINT a, UINT b, UINT r) { return PeekMessage(m, h, a, b, r); }
// Asks the calling thread's loop to end: GetMessage returns FALSE (wParam =
// exitCode) once the messages posted before are taken.
void PostQuitMessage(int exitCode);

// ---------------------------------------------------------------------------
// Window targets
// ---------------------------------------------------------------------------
// A window target stands for a window of the user interface (or a fake in
// tests). Core modules post (message, wParam, lParam) to its handle; the
// target's handler runs the message on the target's thread. Handles are never
// reused, so a post to a closed window fails instead of reaching another one.

namespace plat {

// Handler of a target's messages (like a window procedure).
using WindowHandler = std::function<LRESULT(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)>;
// Marshals a delivery to the target's thread: must run the task later, once, on
// that thread (e.g. a queued call into the UI event loop). Called by the poster's thread.
using WindowPoster = std::function<void(std::function<void()> task)>;
// Receives a posted message that can no longer be delivered because the target
// was unregistered first, so its record can be freed.
using WindowDiscard = std::function<void(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)>;

struct WindowTarget {
  WindowHandler handler;
  // Empty: pumped mode; messages wait until the owner thread calls PumpWindowMessages.
  WindowPoster poster;
  WindowDiscard discard;
  // Thread that runs the handler; 0 = the registering thread. SendMessage from
  // this thread calls the handler directly.
  DWORD ownerThread = 0;
};

// Registers a target; returns its handle (never null).
HWND RegisterWindowTarget(WindowTarget target);
// Registers a pumped target with just a handler, owned by the calling thread.
HWND RegisterWindowTarget(WindowHandler handler);
// Unregisters a target: later posts fail; messages still queued for it go to its
// discard hook; a blocked SendMessage to it returns 0. FALSE when unknown.
// Waits for a handler call in progress on another thread to finish.
BOOL UnregisterWindowTarget(HWND hwnd);
// Runs the queued messages of pumped targets owned by the calling thread (or of
// hwnd only when not null), in post order, up to max; returns how many ran.
size_t PumpWindowMessages(HWND hwnd = nullptr, size_t max = static_cast<size_t>(-1));
// Number of messages waiting for a pumped target (tests).
size_t PendingWindowMessages(HWND hwnd);
// The thread that owns a window target (a send from it runs the handler at once); 0 when there is none.
DWORD WindowOwnerThread(HWND hwnd);

}  // namespace plat

// TRUE when hwnd is a registered target.
BOOL IsWindow(HWND hwnd);
// Posts a message to a target; FALSE when hwnd is not a registered target, in
// which case the caller keeps (and frees) the record. A null hwnd posts to the
// calling thread's queue, as on Windows.
BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
inline BOOL PostMessageA(HWND h, UINT m, WPARAM w, LPARAM l) { return PostMessage(h, m, w, l); }
// Runs the message through the target's handler and returns its result: directly
// on the owner thread, otherwise by delivery to the owner thread while the caller
// waits (the owner must be pumping). 0 when the target is missing or goes away.
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
inline LRESULT SendMessageA(HWND h, UINT m, WPARAM w, LPARAM l) { return SendMessage(h, m, w, l); }

namespace plat {

// SendMessage that gives up while the message still waits for delivery once giveUp is true
// (set it, then call WakeBlockedSenders): a thread stopping a sender that waits on it must not
// deadlock. A handler that has started is always waited for. *delivered tells whether it ran.
LRESULT SendMessageUnless(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, const std::atomic<bool>& giveUp,
                          bool* delivered = nullptr);
// Wakes senders blocked in SendMessageUnless so they look at their flag again.
void WakeBlockedSenders();

// Makes sure the calling thread has a message queue (returns TRUE).
BOOL CreateThreadQueue();
// True when the thread has a queue (posts to it can succeed).
bool HasThreadQueue(DWORD threadId);
// GetMessage with a time-out (clock of sync.h): 1 = a message, 0 = WM_QUIT, -1 = time-out.
int GetMessageFor(MSG* msg, DWORD ms);
// Number of messages in a thread's queue (tests).
size_t ThreadQueueSize(DWORD threadId);

}  // namespace plat
