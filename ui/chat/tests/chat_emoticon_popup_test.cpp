// The emoticon picker offscreen: the drop-down arrow, the release that opened it, the screen's edge.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <filesystem>

#include "tools/testsupport/install_copy.h"
#include "ui/chat/chat_emoticon_popup.h"
#include "ui/controls/control_messages.h"
#include "ui/shell/shell_config.h"

namespace {

// Stands for the chat window: notes the picker's messages.
class Owner : public QWidget {
public:
    std::vector<std::pair<UINT, int>> got;

protected:
    bool event(QEvent* e) override {
        if (e->type() == WindowMessageEvent::eventType()) {
            auto* m = static_cast<WindowMessageEvent*>(e);
            got.push_back({m->message, static_cast<int>(m->wParam)});
            return true;
        }
        return QWidget::event(e);
    }
};

struct Bar {
    Owner owner;
    QToolBar* bar = nullptr;
    QToolButton* button = nullptr;
    explicit Bar(QPoint at) {
        auto* layout = new QVBoxLayout(&owner);
        bar = new QToolBar(&owner);
        QAction* smile = bar->addAction("Smile");
        layout->addWidget(bar);
        button = qobject_cast<QToolButton*>(bar->widgetForAction(smile));
        CEmoticonPopup::AddDropDown(button, &owner);
        owner.move(at);
        owner.show();
        QApplication::processEvents();
    }
    QPoint Arrow() const { return QPoint(button->width() - 4, button->height() / 2); }
};

// The arrow opens the picker on the press; the release of that press is no choice, the next click is.
TEST(EmoticonPicker, TheArrowOpensItAsADropDown) {
    Bar b(QPoint(20, 20));
    ASSERT_EQ(QToolButton::MenuButtonPopup, b.button->popupMode());
    QTest::mousePress(b.button, Qt::LeftButton, {}, b.Arrow());
    auto* popup = b.owner.findChild<CEmoticonPopup*>();
    ASSERT_NE(nullptr, popup);
    QTest::mouseRelease(popup, Qt::LeftButton, {}, popup->mapFromGlobal(b.button->mapToGlobal(b.Arrow())));
    QApplication::sendPostedEvents(&b.owner);
    EXPECT_TRUE(b.owner.got.empty());
    EXPECT_TRUE(popup->isVisible());
    QTest::mouseMove(popup, popup->CellRect(12).center());
    QTest::mouseClick(popup, Qt::LeftButton, {}, popup->CellRect(12).center());
    QApplication::sendPostedEvents(&b.owner);
    ASSERT_EQ(1u, b.owner.got.size());
    EXPECT_EQ(0x7FEu, b.owner.got[0].first);
    EXPECT_EQ(12, b.owner.got[0].second);
}

// The button itself opens it with its first release taken; a click outside says so (0x7FF) and chooses
// nothing.
TEST(EmoticonPicker, TheButtonOpensItAndAClickOutsideClosesIt) {
    Bar b(QPoint(20, 20));
    CEmoticonPopup* popup = CEmoticonPopup::OpenBelow(&b.owner, b.button, 1);
    EXPECT_EQ(b.button->mapToGlobal(QPoint(0, b.button->height())), popup->pos());
    QTest::mouseMove(popup, popup->CellRect(3).center());
    QTest::mouseClick(popup, Qt::LeftButton, {}, QPoint(popup->width() + 30, 10));
    QApplication::sendPostedEvents(&b.owner);
    ASSERT_EQ(1u, b.owner.got.size());
    EXPECT_EQ(0x7FFu, b.owner.got[0].first);
    EXPECT_EQ(3, b.owner.got[0].second);
}

// The release posts the highlighted cell, not the one under the cursor: a click without a move over a
// cell posts -1; a press outside waits for its release, which closes the picker with 0x7FF.
TEST(EmoticonPicker, TheReleasePostsTheHotCell) {
    Bar b(QPoint(20, 20));
    CEmoticonPopup* popup = CEmoticonPopup::OpenBelow(&b.owner, b.button, 1);
    QPointer<CEmoticonPopup> alive(popup);
    QTest::mouseClick(popup, Qt::LeftButton, {}, popup->CellRect(7).center());
    QApplication::sendPostedEvents(&b.owner);
    ASSERT_EQ(1u, b.owner.got.size());
    EXPECT_EQ(0x7FEu, b.owner.got[0].first);
    EXPECT_EQ(-1, b.owner.got[0].second);

    b.owner.got.clear();
    popup = CEmoticonPopup::OpenBelow(&b.owner, b.button, 1);
    alive = popup;
    // The move straight to the picker, as the mouse would bring it.
    const QPointF over = popup->CellRect(4).center();
    QMouseEvent move(QEvent::MouseMove, over, popup->mapToGlobal(over), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(popup, &move);
    ASSERT_EQ(4, popup->HotCell());
    QTest::mouseClick(popup, Qt::LeftButton, {}, popup->CellRect(4).center() + QPoint(0, 30));  // over cell 14
    QApplication::sendPostedEvents(&b.owner);
    ASSERT_EQ(1u, b.owner.got.size());
    EXPECT_EQ(0x7FEu, b.owner.got[0].first);
    EXPECT_EQ(4, b.owner.got[0].second);

    b.owner.got.clear();
    popup = CEmoticonPopup::OpenBelow(&b.owner, b.button, 1);
    alive = popup;
    const QPoint outside(popup->width() + 30, 10);
    ASSERT_TRUE(popup->isVisible());
    QTest::mousePress(popup, Qt::LeftButton, {}, outside);
    ASSERT_TRUE(alive);
    EXPECT_TRUE(popup->isVisible());
    QApplication::sendPostedEvents(&b.owner);
    EXPECT_TRUE(b.owner.got.empty());
    QTest::mouseRelease(popup, Qt::LeftButton, {}, outside);
    QApplication::sendPostedEvents(&b.owner);
    ASSERT_EQ(1u, b.owner.got.size());
    EXPECT_EQ(0x7FFu, b.owner.got[0].first);
    EXPECT_EQ(-1, b.owner.got[0].second);
}

// Only a click ends the picker: Escape leaves it open and chooses nothing.
TEST(EmoticonPicker, EscapeDoesNotCloseIt) {
    Bar b(QPoint(20, 20));
    CEmoticonPopup* popup = CEmoticonPopup::OpenBelow(&b.owner, b.button, 1);
    QPointer<CEmoticonPopup> alive(popup);
    QTest::keyClick(popup, Qt::Key_Escape);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::sendPostedEvents(&b.owner);
    ASSERT_TRUE(alive);
    EXPECT_TRUE(popup->isVisible());
    EXPECT_TRUE(b.owner.got.empty());
    QTest::mouseMove(popup, popup->CellRect(2).center());
    QTest::mouseClick(popup, Qt::LeftButton, {}, popup->CellRect(2).center());
    QApplication::sendPostedEvents(&b.owner);
    ASSERT_EQ(1u, b.owner.got.size());
    EXPECT_EQ(0x7FEu, b.owner.got[0].first);
    EXPECT_EQ(2, b.owner.got[0].second);
}

// The picker holds the mouse, and keeps it; the program losing the focus leaves it open with nothing
// said, and a click still chooses.
TEST(EmoticonPicker, ItStaysOpenWhenTheProgramLosesTheFocus) {
    Bar b(QPoint(20, 20));
    CEmoticonPopup* popup = CEmoticonPopup::OpenBelow(&b.owner, b.button, 1);
    QPointer<CEmoticonPopup> alive(popup);
    EXPECT_EQ(popup, QWidget::mouseGrabber());
    b.owner.grabMouse();
    QTest::mouseMove(popup, popup->CellRect(5).center());
    EXPECT_EQ(popup, QWidget::mouseGrabber());
    QEvent away(QEvent::ApplicationDeactivate);
    QApplication::sendEvent(qApp, &away);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::sendPostedEvents(&b.owner);
    ASSERT_TRUE(alive);
    EXPECT_TRUE(popup->isVisible());
    EXPECT_TRUE(b.owner.got.empty());
    QTest::mouseClick(popup, Qt::LeftButton, {}, popup->CellRect(5).center());
    QApplication::sendPostedEvents(&b.owner);
    ASSERT_EQ(1u, b.owner.got.size());
    EXPECT_EQ(0x7FEu, b.owner.got[0].first);
    EXPECT_EQ(5, b.owner.got[0].second);
    EXPECT_EQ(nullptr, QWidget::mouseGrabber());
}

// Near the right edge of the screen the picker opens wholly on it, as a drop-down too.
TEST(EmoticonPicker, NearTheRightEdgeItStaysOnTheScreen) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    Bar b(QPoint(area.right() - 60, area.top() + 40));
    for (int releases : {0, 1}) {
        CEmoticonPopup* popup = CEmoticonPopup::OpenBelow(&b.owner, b.button, releases);
        EXPECT_TRUE(area.contains(popup->geometry())) << releases;
        EXPECT_EQ(area.right() + 1, popup->geometry().right() + 1) << releases;  // moved left by the excess
        popup->close();
    }
}

// The cells are the installation's emoticon pictures, as many as its "face" folder holds before the
// first one missing; each picture is drawn 4 pixels into its white cell, on the button-face window.
TEST(EmoticonPicker, ItShowsTheInstallationsPicturesUpToTheFirstMissing) {
    testsupport::InstallCopy install;
    ASSERT_TRUE(install.Ok());
    const std::filesystem::path faces = std::filesystem::path(install.Path()) / "face";
    std::filesystem::remove(faces / "24.bmp");
    QImage red(19, 19, QImage::Format_RGB888);
    red.fill(QColor(200, 0, 0));
    ASSERT_TRUE(red.save(QString::fromStdString((faces / "01.bmp").string()), "BMP"));
    const std::string saved = shell::Paths().appFolder;
    shell::Paths().appFolder = install.Path();
    {
        Owner owner;
        CEmoticonPopup popup(&owner, 1);
        EXPECT_EQ(23, popup.Count());
        EXPECT_EQ(3, popup.Rows());
        EXPECT_EQ(QSize(302, 92), popup.size());
        const QImage shot = popup.grab().toImage();
        EXPECT_EQ(QColor(200, 0, 0), shot.pixelColor(popup.CellRect(0).topLeft() + QPoint(6, 6)));
        EXPECT_EQ(QColor(Qt::white), shot.pixelColor(popup.CellRect(0).topLeft() + QPoint(1, 1)));
        // Between two cells, beside the grid line: the window's own background.
        EXPECT_EQ(popup.palette().color(QPalette::Button), shot.pixelColor(30, 10));
    }
    shell::Paths().appFolder = saved;
}

}  // namespace
