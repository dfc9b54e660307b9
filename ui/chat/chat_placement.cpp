// Where the chat side's own top-level windows open: wholly within the screen's available area.
#include "ui/chat/chat_placement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace chat {

namespace {

QRect AvailableArea(const QWidget* window) {
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

// The window's frame moved (and cut) into the area; the decoration is kept as the window system has it.
void Fit(QWidget* window, bool centre) {
    const QRect area = AvailableArea(window);
    if (area.isEmpty()) return;
    const QRect inner = window->geometry(), outer = window->frameGeometry();
    const QMargins frame(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                         outer.bottom() - inner.bottom());
    QRect wanted = outer;
    if (centre) wanted.moveCenter(area.center());
    // move() places the frame's corner; resize() sizes what is inside the frame.
    const QRect placed = FitWithin(wanted, area);
    const QSize size = placed.marginsRemoved(frame).size();
    if (size != inner.size()) window->resize(size);
    window->move(placed.topLeft());
}

// Once the window is shown its decoration is known: the frame is fitted again with it.
class RefitOnShow : public QObject {
 public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (e->type() == QEvent::Show) {
            auto* window = static_cast<QWidget*>(watched);
            window->removeEventFilter(this);
            deleteLater();
            Fit(window, false);
        }
        return false;
    }
};

}  // namespace

QRect FitWithin(const QRect& frame, const QRect& area) {
    QRect r = frame;
    r.setWidth(std::min(r.width(), area.width()));
    r.setHeight(std::min(r.height(), area.height()));
    r.moveLeft(std::clamp(r.left(), area.left(), area.right() + 1 - r.width()));
    r.moveTop(std::clamp(r.top(), area.top(), area.bottom() + 1 - r.height()));
    return r;
}

void PlaceWithinScreen(QWidget* window) {
    Fit(window, true);
    window->installEventFilter(new RefitOnShow(window));
}

}  // namespace chat
