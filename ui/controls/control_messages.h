// Messages the controls send their owners, and how a message reaches a window as a Qt event.
#pragma once

#include <QEvent>
#include <QWidget>

#include "platform/wintypes.h"

inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT WM_NOTIFY = 0x004E;
inline constexpr UINT WM_CALL_DIAL = WM_USER + 200;              // 0x4C8
inline constexpr UINT WM_SKIN_CHANGED = WM_USER + 1001;
inline constexpr UINT WM_KEYPAD_DIGIT = WM_USER + 1002;
inline constexpr UINT WM_DIAL_NUMBER_CHANGED = WM_USER + 0x3F1;  // 0x7F1
inline constexpr UINT WM_PTT_PRESS = WM_USER + 1020;             // 0x7FC
inline constexpr UINT WM_PTT_RELEASE = WM_USER + 1021;           // 0x7FD
inline constexpr UINT WM_CHAT_PASTE = 0x812;
inline constexpr UINT WM_CLEAR_CHECK = WM_USER + 0x100;
inline constexpr int SPN_DELTA = 1025;
inline constexpr UINT BM_GETCHECK = 0x00F0;
inline constexpr UINT BM_SETCHECK = 0x00F1;
inline constexpr UINT BM_SETSTYLE = 0x00F4;

// The header every WM_NOTIFY notice opens with: the control, its id and the notice's code.
struct NotifyHeader {
  QWidget* hwndFrom = nullptr;
  uintptr_t idFrom = 0;
  UINT code = 0;
};
// A splitter's SPN_DELTA notice: the header, then the distance moved (positive right or down).
struct SplitterNotify {
  NotifyHeader hdr;
  int32_t delta = 0;
};

// A window message delivered as a Qt event; result answers a sent message.
class WindowMessageEvent : public QEvent {
 public:
  static QEvent::Type eventType();
  WindowMessageEvent(UINT msg, WPARAM wParam, LPARAM lParam)
      : QEvent(eventType()), message(msg), wParam(wParam), lParam(lParam) {}
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  LRESULT result = 0;
};

namespace ctl {

// The control's owner: a platform window target set with SetOwnerTarget, else its parent widget.
// Posting queues the message (it arrives as a WindowMessageEvent); sending delivers it at once
// and returns the owner's answer.
void SetOwnerTarget(QWidget* control, HWND target);
bool PostOwnerMessage(QWidget* control, UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
LRESULT SendOwnerMessage(QWidget* control, UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);

}  // namespace ctl
