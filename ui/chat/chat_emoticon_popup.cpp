// The emoticon picker.
#include "ui/chat/chat_emoticon_popup.h"

#include <QCoreApplication>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include "ui/chat/chat_art.h"
#include "ui/controls/control_messages.h"

CEmoticonPopup::CEmoticonPopup(QWidget* owner, int releases)
    : QWidget(owner, Qt::Popup | Qt::FramelessWindowHint), owner_(owner),
      count_(static_cast<int>(chat::EmoticonTable().size())), releases_(releases) {
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

void CEmoticonPopup::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    p.setPen(QColor(0x84, 0x84, 0x84));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    p.setPen(QColor(0xa5, 0xb6, 0xde));
    for (int c = 1; c < kColumns; ++c) p.drawLine(c * 30 + 1, 1, c * 30 + 1, height() - 2);
    p.setPen(QColor(0xde, 0xde, 0xde));
    for (int r = 1; r < Rows(); ++r) p.drawLine(1, r * 30 + 1, width() - 2, r * 30 + 1);
    for (int i = 0; i < count_; ++i) {
        QRect cell = CellRect(i);
        if (i == hot_) {
            p.setPen(QColor(0x00, 0x10, 0x7b));
            p.setBrush(QColor(0xf1, 0xee, 0xe7));
            p.drawRect(cell.adjusted(0, 0, -1, -1));
        }
        p.drawImage(cell.topLeft() + QPoint(3, 3), chat::EmoticonImage(i, 22));
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
    if (!rect().contains(e->position().toPoint())) Finish(false, hot_);
}

void CEmoticonPopup::mouseReleaseEvent(QMouseEvent* e) {
    if (++releases_ < 2) return;
    QPoint p = e->position().toPoint();
    // The cell under the click counts, even when the mouse never moved over it first.
    Finish(rect().contains(p), CellAt(p) >= 0 ? CellAt(p) : hot_);
}

bool CEmoticonPopup::event(QEvent* e) {
    if (e->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(e);
        int cell = CellAt(help->pos());
        if (cell >= 0) QToolTip::showText(help->globalPos(), chat::EmoticonTable()[cell].name, this, CellRect(cell));
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
