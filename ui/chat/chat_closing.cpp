// Closing a chat-side window while one of its dialogs, boxes or menus may still run a loop of its own.
#include "ui/chat/chat_closing.h"

#include <QDialog>
#include <QList>

namespace chat {

namespace {

constexpr char kDepth[] = "chatModalDepth";
constexpr char kCloseWhenIdle[] = "chatCloseWhenIdle";

int Depth(const QWidget* window) { return window->property(kDepth).toInt(); }

}  // namespace

ModalScope::ModalScope(QWidget* window) : window_(window) {
    if (window_) window_->setProperty(kDepth, Depth(window_) + 1);
}

ModalScope::~ModalScope() {
    if (!window_) return;
    const int depth = Depth(window_) - 1;
    window_->setProperty(kDepth, depth);
    // Posted from the code that ran the loop: the window goes once that code is back in the event loop.
    if (depth <= 0 && window_->property(kCloseWhenIdle).toBool()) window_->deleteLater();
}

bool ModalScope::Closed() const { return !window_ || window_->property(kCloseWhenIdle).toBool(); }

void CloseWhenIdle(QWidget* window) {
    if (!window) return;
    window->hide();
    if (Depth(window) <= 0) {
        window->deleteLater();
        return;
    }
    window->setProperty(kCloseWhenIdle, true);
    // The innermost first: each ended loop returns to the one that ran it.
    QList<QWidget*> shown;
    for (QWidget* w : window->findChildren<QWidget*>())
        if (w->isWindow() && w->isVisible()) shown.prepend(w);
    for (const QPointer<QWidget> w : shown) {
        if (!w || !w->isVisible()) continue;
        if (auto* dialog = qobject_cast<QDialog*>(w.data())) dialog->reject();
        else w->close();
    }
}

}  // namespace chat
