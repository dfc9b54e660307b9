// The controls' owner messages as the calls windows read them (kept apart from the shell's numbers).
#pragma once

#include <QEvent>
#include <QWidget>

#include "platform/wintypes.h"

namespace calls {

inline constexpr UINT kMsgCallDial = 0x0400 + 200;
inline constexpr UINT kMsgKeypadDigit = 0x0400 + 1002;
inline constexpr UINT kMsgDialNumberChanged = 0x0400 + 0x3F1;
inline constexpr UINT kMsgSkinChanged = 0x0400 + 1001;

// True when the event is a control's message to its owner; fills its fields.
bool ControlMessage(QEvent* e, UINT* msg, WPARAM* wParam, LPARAM* lParam);
// The answer to a message sent to the window (as a window procedure's result).
void SetControlResult(QEvent* e, LRESULT result);
// Posts a message to a widget as a control would.
void PostControlMessage(QWidget* to, UINT msg, WPARAM wParam, LPARAM lParam);

}  // namespace calls
