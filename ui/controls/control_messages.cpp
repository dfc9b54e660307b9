// Messages of the controls to their owners.
#include "ui/controls/control_messages.h"

#include <QCoreApplication>
#include <QVariant>

#include "platform/msgqueue.h"

QEvent::Type WindowMessageEvent::eventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

namespace ctl {

namespace {
constexpr const char* kTargetProperty = "tessalyOwnerTarget";

HWND TargetOf(QWidget* control) {
  const QVariant v = control->property(kTargetProperty);
  return v.isValid() ? reinterpret_cast<HWND>(v.value<quintptr>()) : nullptr;
}
}  // namespace

void SetOwnerTarget(QWidget* control, HWND target) {
  control->setProperty(kTargetProperty, QVariant::fromValue(reinterpret_cast<quintptr>(target)));
}

bool PostOwnerMessage(QWidget* control, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (HWND target = TargetOf(control)) return PostMessage(target, msg, wParam, lParam) != FALSE;
  QWidget* owner = control->parentWidget();
  if (!owner) return false;
  QCoreApplication::postEvent(owner, new WindowMessageEvent(msg, wParam, lParam));
  return true;
}

LRESULT SendOwnerMessage(QWidget* control, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (HWND target = TargetOf(control)) return SendMessage(target, msg, wParam, lParam);
  QWidget* owner = control->parentWidget();
  if (!owner) return 0;
  WindowMessageEvent ev(msg, wParam, lParam);
  QCoreApplication::sendEvent(owner, &ev);
  return ev.result;
}

}  // namespace ctl
