// The controls' owner messages as the calls windows read them.
#include "ui/calls/control_events.h"

#include <QCoreApplication>

#include "ui/controls/control_messages.h"

namespace calls {

static_assert(kMsgCallDial == WM_CALL_DIAL && kMsgKeypadDigit == WM_KEYPAD_DIGIT &&
              kMsgDialNumberChanged == WM_DIAL_NUMBER_CHANGED && kMsgSkinChanged == WM_SKIN_CHANGED, "the controls' message numbers");

bool ControlMessage(QEvent* e, UINT* msg, WPARAM* wParam, LPARAM* lParam) {
    if (e->type() != WindowMessageEvent::eventType()) return false;
    auto* m = static_cast<WindowMessageEvent*>(e);
    *msg = m->message;
    *wParam = m->wParam;
    *lParam = m->lParam;
    return true;
}

void SetControlResult(QEvent* e, LRESULT result) {
    if (e->type() == WindowMessageEvent::eventType()) static_cast<WindowMessageEvent*>(e)->result = result;
}

void PostControlMessage(QWidget* to, UINT msg, WPARAM wParam, LPARAM lParam) {
    QCoreApplication::postEvent(to, new WindowMessageEvent(msg, wParam, lParam));
}

}  // namespace calls
