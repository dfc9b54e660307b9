// CEmoticonPopup: the grid of emoticons a chat message can carry; one click chooses one and closes it.
#pragma once

#include <QWidget>

class QToolButton;

class CEmoticonPopup : public QWidget {
    Q_OBJECT
public:
    static constexpr int kColumns = 10;
    static constexpr int kCell = 29;

    // owner gets 0x7FE (index) or 0x7FF (click outside); releases counts releases already seen (0 or 1).
    CEmoticonPopup(QWidget* owner, int releases);
    int Count() const { return count_; }
    int Rows() const { return (count_ + kColumns - 1) / kColumns; }
    int HotCell() const { return hot_; }
    // Cell under a point of the picker, -1 outside every cell.
    int CellAt(const QPoint& p) const;
    QRect CellRect(int index) const;
    // Keeps the picker on a screen of the given geometry, above the owner when there is no room below.
    static QPoint Placed(QPoint at, QSize size, const QRect& screen, int ownerHeight);
    // Opens a picker under the anchor (a tool-bar button), kept on the anchor's screen; the owner gets its
    // messages.
    static CEmoticonPopup* OpenBelow(QWidget* owner, QWidget* anchor, int releases);
    // Gives a tool-bar button a drop-down arrow that opens the picker as a drop-down: it opens on the
    // press, and the release of that press is not taken as a choice.
    static void AddDropDown(QToolButton* button, QWidget* owner);

protected:
    void paintEvent(QPaintEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;
    void keyPressEvent(QKeyEvent*) override;
    bool event(QEvent*) override;

private:
    void Finish(bool inside, int index);
    QWidget* owner_;
    int count_;
    int hot_ = -1;
    int releases_;
    bool done_ = false;
};
