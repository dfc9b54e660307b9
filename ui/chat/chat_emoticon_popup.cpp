// The emoticon picker.
#include "ui/chat/chat_emoticon_popup.h"

#include <QCoreApplication>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QGuiApplication>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionToolButton>
#include <QToolButton>
#include <QToolTip>

#include "ui/chat/chat_art.h"
#include "ui/controls/control_messages.h"

// A window of its own that the window manager leaves alone, not a Qt popup: Qt closes its popups when
// the program loses the focus, and the picker stays open until it is clicked.
CEmoticonPopup::CEmoticonPopup(QWidget* owner, int releases)
    : QWidget(owner, Qt::Tool | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::WindowStaysOnTopHint),
      owner_(owner), count_(chat::EmoticonCount()), releases_(releases) {
    setAttribute(Qt::WA_DeleteOnClose);
    setMouseTracking(true);
    setFixedSize(kColumns * kCell + kColumns + 2, Rows() * kCell + Rows() + 2);
}

QRect CEmoticonPopup::CellRect(int index) const {
    if (index < 0 || index >= count_) return {};
    int r = index / kColumns, c = index % kColumns;
    int left = c == 0 ? 2 : c * 30 + 3, top = r == 0 ? 2 : r * 30 + 3;
    int w = c == 0 ? 28 : 27, h = r == 0 ? 28 : 27;
    return QRect(left, top, w, h);
}

int CEmoticonPopup::CellAt(const QPoint& p) const {
    for (int i = 0; i < count_; ++i)
        if (CellRect(i).contains(p)) return i;
    return -1;
}

QPoint CEmoticonPopup::Placed(QPoint at, QSize size, const QRect& screen, int ownerHeight) {
    if (at.x() + size.width() > screen.right() + 1) at.setX(screen.right() + 1 - size.width());
    if (at.x() < screen.left()) at.setX(screen.left());
    if (at.y() + size.height() > screen.bottom() + 1) at.setY(at.y() - size.height() - ownerHeight);
    // A screen too short for it below and above its button: the top of the screen.
    if (at.y() < screen.top()) at.setY(screen.top());
    return at;
}

CEmoticonPopup* CEmoticonPopup::OpenBelow(QWidget* owner, QWidget* anchor, int releases) {
    auto* popup = new CEmoticonPopup(owner, releases);
    QWidget* near = anchor ? anchor : owner;
    const QPoint at = anchor ? anchor->mapToGlobal(QPoint(0, anchor->height())) : owner->mapToGlobal(QPoint(40, 40));
    QScreen* screen = QGuiApplication::screenAt(at);
    if (!screen && near) screen = near->screen();
    popup->move(screen ? Placed(at, popup->size(), screen->geometry(), anchor ? anchor->height() : 0) : at);
    popup->show();
    popup->activateWindow();
    // The mouse is the picker's: a click anywhere, outside it too, reaches it.
    popup->grabMouse();
    return popup;
}

namespace {
// Opens the picker from the arrow part of a tool-bar button, on the press.
class DropDownFilter : public QObject {
public:
    DropDownFilter(QToolButton* button, QWidget* owner) : QObject(button), button_(button), owner_(owner) {}

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() != QEvent::MouseButtonPress || static_cast<QMouseEvent*>(e)->button() != Qt::LeftButton || !owner_)
            return false;
        QStyleOptionToolButton option;
        option.initFrom(button_);
        option.features = QStyleOptionToolButton::MenuButtonPopup;
        option.subControls = QStyle::SC_ToolButton | QStyle::SC_ToolButtonMenu;
        const QRect arrow = button_->style()->subControlRect(QStyle::CC_ToolButton, &option, QStyle::SC_ToolButtonMenu, button_);
        if (!arrow.contains(static_cast<QMouseEvent*>(e)->position().toPoint())) return false;
        CEmoticonPopup::OpenBelow(owner_, button_, 0);
        return true;
    }

private:
    QToolButton* button_;
    QPointer<QWidget> owner_;
};
}  // namespace

void CEmoticonPopup::AddDropDown(QToolButton* button, QWidget* owner) {
    if (!button || !owner) return;
    // The menu only makes the button draw its arrow; the arrow itself opens the picker.
    auto* menu = new QMenu(button);
    QObject::connect(menu, &QMenu::aboutToShow, button, [menu, button, owner = QPointer<QWidget>(owner)] {
        QMetaObject::invokeMethod(menu, &QMenu::close, Qt::QueuedConnection);
        if (owner) OpenBelow(owner, button, 0);
    });
    button->setMenu(menu);
    button->setPopupMode(QToolButton::MenuButtonPopup);
    button->installEventFilter(new DropDownFilter(button, owner));
}

void CEmoticonPopup::paintEvent(QPaintEvent*) {
    QPainter p(this);
    // The window's own background is the button face; the cells are white on it.
    p.fillRect(rect(), palette().color(QPalette::Button));
    p.setPen(QColor(0x84, 0x84, 0x84));
    p.setBrush(Qt::NoBrush);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    p.setPen(QColor(0xa5, 0xb6, 0xde));
    for (int c = 1; c < kColumns; ++c) p.drawLine(c * 30 + 1, 1, c * 30 + 1, height() - 2);
    // Row lines run within each cell (26 pixels in the first column, 25 in the others), so the column
    // lines stay whole.
    p.setPen(QColor(0xde, 0xde, 0xde));
    for (int r = 1; r < Rows(); ++r)
        for (int c = 0; c < kColumns; ++c) {
            const int left = c == 0 ? 3 : c * 30 + 4, right = c == 0 ? 28 : left + 24;
            p.drawLine(left, r * 30 + 1, right, r * 30 + 1);
        }
    for (int i = 0; i < count_; ++i) {
        QRect cell = CellRect(i);
        if (i == hot_) {
            p.setPen(QColor(0x00, 0x10, 0x7b));
            p.setBrush(QColor(0xf1, 0xee, 0xe7));
            p.drawRect(cell.adjusted(0, 0, -1, -1));
        } else {
            p.fillRect(cell, Qt::white);
        }
        const QImage face = chat::EmoticonImage(i, 19);
        if (!face.isNull()) p.drawImage(cell.topLeft() + QPoint(4, 4), face);
    }
}

void CEmoticonPopup::mouseMoveEvent(QMouseEvent* e) {
    int cell = CellAt(e->position().toPoint());
    if (cell >= 0 && cell != hot_) {
        hot_ = cell;
        update();
    }
}

void CEmoticonPopup::mousePressEvent(QMouseEvent* e) {
    // The picker holds the mouse: a press anywhere, outside too, waits for its release.
    e->accept();
}

void CEmoticonPopup::mouseReleaseEvent(QMouseEvent* e) {
    if (++releases_ < 2) return;
    // The highlighted cell is the choice (-1 when the mouse never went over one).
    Finish(rect().contains(e->position().toPoint()), hot_);
}

void CEmoticonPopup::keyPressEvent(QKeyEvent* e) {
    // Only a click ends the picker: Escape and every other key do nothing.
    e->accept();
}

bool CEmoticonPopup::event(QEvent* e) {
    // Another window took the mouse: the picker takes it back.
    if (!done_ && isVisible() && QWidget::mouseGrabber() != this && e->type() != QEvent::Hide && e->type() != QEvent::Close)
        grabMouse();
    if (e->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(e);
        int cell = CellAt(help->pos());
        if (cell >= 0) QToolTip::showText(help->globalPos(), chat::EmoticonTip(cell), this, CellRect(cell));
        else QToolTip::hideText();
        return true;
    }
    return QWidget::event(e);
}

void CEmoticonPopup::Finish(bool inside, int index) {
    if (done_) return;
    done_ = true;
    if (owner_)
        QCoreApplication::postEvent(owner_, new WindowMessageEvent(inside ? 0x7FE : 0x7FF, static_cast<WPARAM>(index), 0));
    close();
}
