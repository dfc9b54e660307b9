// Widget tests of the skinned controls, offscreen: states drawn from a test skin, owner messages, keys.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyleOptionMenuItem>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>
#include <csignal>

#include "platform/msgqueue.h"
#include "test_skin.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/flat_combo.h"
#include "ui/controls/links.h"
#include "ui/controls/rich_edit.h"
#include "ui/controls/shaped_button.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_button.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/controls/statics.h"
#include "ui/controls/styled_button.h"
#include "ui/controls/toolbar_ex.h"
#include "ui/controls/trel_menu.h"

namespace {

const QColor kRed(200, 30, 30), kGreen(30, 160, 60), kBlue(30, 60, 200), kGrey(128, 128, 128);
const QColor kParentBg(10, 220, 230);

void PaintParent(QWidget* w) {
  w->setAutoFillBackground(true);
  QPalette p = w->palette();
  p.setColor(QPalette::Window, kParentBg);
  w->setPalette(p);
}

// ---------------------------------------------------------------------------

TEST(StyledButtonTest, ColourSlotsFollowTheState) {
  MessageOwner owner;
  CStyledButton b(&owner);
  b.resize(80, 24);
  b.SetColor(0, RGB(255, 0, 0));
  b.SetColor(2, RGB(0, 255, 0));
  b.SetColor(4, RGB(0, 0, 255));
  struct Case { bool hover, pressed, focus; QColor want; };
  const Case cases[] = {{false, false, false, QColor(0, 255, 0)},
                        {true, false, false, QColor(255, 0, 0)},
                        {false, true, true, QColor(255, 0, 0)},  // pressed wins over focused
                        {false, false, true, QColor(0, 0, 255)}};
  for (const Case& c : cases) {
    b.SetForcedState(c.hover, c.pressed, c.focus);
    EXPECT_EQ(PixelOf(&b, 40, 12), c.want) << c.hover << c.pressed << c.focus;
  }
}

TEST(StyledButtonTest, SettersAnswerTheirCodes) {
  CStyledButton b;
  b.SetColor(0, RGB(240, 240, 230));
  EXPECT_EQ(b.OffsetColor(0, 30), 0);
  COLORREF c = 0;
  EXPECT_EQ(b.GetColor(0, &c), 0);
  EXPECT_EQ(c, RGB(255, 255, 245));
  EXPECT_EQ(b.OffsetColor(0, -300), 5);
  EXPECT_EQ(b.SetColor(6, 0), 3);
  EXPECT_EQ(b.GetColor(6, &c), 3);
  EXPECT_EQ(b.SetImageAlign(4), 4);
  EXPECT_EQ(b.SetPressShift(2), 6);
  EXPECT_EQ(b.SetBitmapPair(QImage(), 0, QImage(), 0), 1);
}

TEST(StyledButtonTest, DefaultTemplateDrawsTheBlackFrame) {
  QWidget parent;
  CStyledButton b(&parent, CStyledButton::kDefPushButton);
  b.resize(60, 20);
  EXPECT_TRUE(b.IsDefaultButton());
  b.SetFlatLook(false);
  b.SetForcedState(false, false, false);
  EXPECT_EQ(PixelOf(&b, 30, 0), QColor(0, 0, 0));
  CStyledButton plain(&parent);
  plain.resize(60, 20);
  plain.SetFlatLook(false);
  plain.SetForcedState(false, false, false);
  EXPECT_NE(PixelOf(&plain, 30, 0), QColor(0, 0, 0));
}

TEST(StyledButtonTest, DarkerOutImageRestsAndInImageLights) {
  QWidget parent;
  CStyledButton b(&parent);
  b.resize(40, 40);
  ASSERT_EQ(b.SetBitmapPair(TestSkin::Solid(16, 16, QColor(200, 100, 40)), RGB(255, 0, 255), QImage(), 0,
                            CStyledButton::kOutDarker), 0);
  b.SetForcedState(false, false, false);
  EXPECT_EQ(PixelOf(&b, 20, 20), QColor(150, 75, 30));
  b.SetForcedState(true, false, false);
  EXPECT_EQ(PixelOf(&b, 20, 20), QColor(200, 100, 40));
}

TEST(StyledButtonTest, DoubleClickPostsTwoPressToTalkPairs) {
  MessageOwner owner;
  auto* b = new CStyledButton(&owner);
  b->resize(60, 24);
  b->pressToTalk = true;
  owner.show();
  // A double click arrives as down, up, double click, up.
  const QPointF at(10, 10);
  QTest::mousePress(b, Qt::LeftButton, {}, at.toPoint());
  QTest::mouseRelease(b, Qt::LeftButton, {}, at.toPoint());
  QMouseEvent dbl(QEvent::MouseButtonDblClick, at, b->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(b, &dbl);
  QTest::mouseRelease(b, Qt::LeftButton, {}, at.toPoint());
  QCoreApplication::sendPostedEvents();
  std::vector<UINT> order;
  for (const auto& m : owner.messages)
    if (m.msg == WM_PTT_PRESS || m.msg == WM_PTT_RELEASE) order.push_back(m.msg);
  EXPECT_EQ(order, (std::vector<UINT>{WM_PTT_PRESS, WM_PTT_RELEASE, WM_PTT_PRESS, WM_PTT_RELEASE}));
  for (const auto& m : owner.messages) {
    EXPECT_EQ(m.wParam, 0u);
    EXPECT_EQ(m.lParam, 0);
  }
  b->pressToTalk = false;
  owner.messages.clear();
  QTest::mouseClick(b, Qt::LeftButton);
  EXPECT_TRUE(owner.Take(WM_PTT_PRESS).empty());
}

TEST(StyledButtonTest, PressToTalkReachesAPlatformWindowTarget) {
  std::vector<UINT> got;
  HWND target = plat::RegisterWindowTarget([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    got.push_back(msg);
    return 0;
  });
  QWidget parent;
  auto* b = new CStyledButton(&parent);
  b->resize(60, 24);
  b->pressToTalk = true;
  ctl::SetOwnerTarget(b, target);
  parent.show();
  QTest::mouseClick(b, Qt::LeftButton);
  plat::PumpWindowMessages(target);
  EXPECT_EQ(got, (std::vector<UINT>{WM_PTT_PRESS, WM_PTT_RELEASE}));
  plat::UnregisterWindowTarget(target);
}

// ---------------------------------------------------------------------------

TEST(SkinButtonTest, EachStateShowsItsPictureWithMagentaKeyedOut) {
  TestSkin skin;
  QImage normal = TestSkin::Solid(20, 20, kRed);
  normal.setPixelColor(0, 0, QColor(255, 0, 255));
  skin.Write("call.bmp", normal);
  skin.Write("callsel.bmp", TestSkin::Solid(20, 20, kGreen));
  skin.Write("callfocus.bmp", TestSkin::Solid(20, 20, kBlue));
  skin.Write("calldisabled.bmp", TestSkin::Solid(20, 20, kGrey));
  QWidget parent;
  PaintParent(&parent);
  parent.resize(60, 60);
  auto* b = new CSkinButton(&parent);
  b->SetSkinName("call");
  b->EnableHoverTracking(true);
  EXPECT_FALSE(b->ImagesLoaded());  // nothing until the skin-changed message
  WindowMessageEvent skinChanged(WM_SKIN_CHANGED, 0, 0);
  QApplication::sendEvent(b, &skinChanged);
  EXPECT_EQ(skinChanged.result, 1);
  ASSERT_TRUE(b->ImagesLoaded());
  EXPECT_EQ(b->size(), QSize(20, 20));
  b->move(10, 10);
  EXPECT_EQ(PixelOf(&parent, 15, 15), kRed);
  EXPECT_EQ(PixelOf(&parent, 10, 10), kParentBg);  // the magenta pixel shows the parent
  b->SetHovering(true);
  EXPECT_EQ(PixelOf(&parent, 15, 15), kBlue);
  b->setDown(true);
  EXPECT_EQ(PixelOf(&parent, 15, 15), kGreen);
  b->setDown(false);
  b->setEnabled(false);
  EXPECT_EQ(PixelOf(&parent, 15, 15), kGrey);
}

TEST(SkinButtonTest, OnlyTheNormalPictureServesEveryStateAndNoneLeavesItBlank) {
  TestSkin skin;
  skin.Write("mute.bmp", TestSkin::Solid(12, 12, kRed));
  QWidget parent;
  PaintParent(&parent);
  parent.resize(40, 40);
  auto* b = new CSkinButton(&parent);
  b->SetSkinName("mute");
  b->EnableHoverTracking(true);
  b->OnSkinChanged();
  b->SetHovering(true);
  EXPECT_EQ(PixelOf(&parent, 5, 5), kRed);
  b->setDown(true);
  EXPECT_EQ(PixelOf(&parent, 5, 5), kRed);
  b->setEnabled(false);
  EXPECT_EQ(PixelOf(&parent, 5, 5), kRed);

  auto* missing = new CSkinButton(&parent);
  missing->SetSkinName("nosuchpicture");
  missing->OnSkinChanged();
  missing->setGeometry(20, 20, 12, 12);
  EXPECT_FALSE(missing->ImagesLoaded());
  EXPECT_EQ(PixelOf(&parent, 25, 25), kParentBg);
}

TEST(SkinButtonTest, LongSkinNamesMakeLongPaths) {
  const std::string longSkin(120, 's');
  const std::string path = ctl::SkinFilePath(longSkin, std::string(31, 'n') + "disabled.bmp");
  EXPECT_EQ(path, "skin/" + longSkin + "/" + std::string(31, 'n') + "disabled.bmp");
}

TEST(RoundSkinButtonTest, KeypadPostsItsDigitButNotFromWhiteCorners) {
  TestSkin skin;
  QImage key = TestSkin::Solid(30, 30, kBlue);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 6; ++x) key.setPixelColor(x, y, Qt::white);
  skin.Write("dialkey5.bmp", key);
  skin.WriteIni("[dial_dialog]\r\ncircle_button=1\r\n");
  MessageOwner owner;
  auto* b = new CRoundSkinButton(&owner);
  b->SetKeyCode('5');
  b->SetSkinName("dialkey5");
  b->OnSkinChanged();
  EXPECT_TRUE(b->CircleFlag());
  owner.show();
  QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(2, 2));
  EXPECT_TRUE(owner.Take(WM_KEYPAD_DIGIT).empty());
  QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(15, 15));
  const auto digits = owner.Take(WM_KEYPAD_DIGIT);
  ASSERT_EQ(digits.size(), 1u);
  EXPECT_EQ(digits[0].wParam, WPARAM('5'));
  EXPECT_EQ(digits[0].lParam, 0);
}

// A press dragged off the key keeps it pressed until the release, which clicks only over the key; a
// double click is one key, its second press no press.
TEST(RoundSkinButtonTest, ADragOffStaysPressedAndADoubleClickIsOneKey) {
  TestSkin skin;
  skin.Write("dialkey7.bmp", TestSkin::Solid(30, 30, kBlue));
  skin.Write("dialkey7sel.bmp", TestSkin::Solid(30, 30, kGreen));
  MessageOwner owner;
  owner.resize(100, 100);
  auto* b = new CRoundSkinButton(&owner);
  b->SetKeyCode('7');
  b->SetSkinName("dialkey7");
  b->OnSkinChanged();
  owner.show();
  auto move = [&](QPoint at) {
    QMouseEvent m(QEvent::MouseMove, at, b->mapToGlobal(QPointF(at)), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(b, &m);
  };
  QTest::mousePress(b, Qt::LeftButton, {}, QPoint(15, 15));
  move(QPoint(60, 60));
  EXPECT_TRUE(b->isDown());
  EXPECT_EQ(PixelOf(&owner, 15, 15), kGreen);
  QTest::mouseRelease(b, Qt::LeftButton, {}, QPoint(60, 60));
  EXPECT_FALSE(b->isDown());
  EXPECT_EQ(PixelOf(&owner, 15, 15), kBlue);
  EXPECT_TRUE(owner.Take(WM_KEYPAD_DIGIT).empty());
  // Dragged off and back, the release over the key clicks.
  QTest::mousePress(b, Qt::LeftButton, {}, QPoint(15, 15));
  move(QPoint(60, 60));
  move(QPoint(15, 15));
  QTest::mouseRelease(b, Qt::LeftButton, {}, QPoint(15, 15));
  EXPECT_EQ(owner.Take(WM_KEYPAD_DIGIT).size(), 1u);
  owner.messages.clear();
  // A double click arrives as down, up, double click, up.
  const QPointF at(15, 15);
  auto send = [&](QEvent::Type type, Qt::MouseButtons held) {
    QMouseEvent m(type, at, b->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
    QApplication::sendEvent(b, &m);
  };
  send(QEvent::MouseButtonPress, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, Qt::NoButton);
  send(QEvent::MouseButtonDblClick, Qt::LeftButton);
  EXPECT_FALSE(b->isDown());
  send(QEvent::MouseButtonRelease, Qt::NoButton);
  EXPECT_EQ(owner.Take(WM_KEYPAD_DIGIT).size(), 1u);
}

// ---------------------------------------------------------------------------

class ShapedButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    skin.Write("n.bmp", TestSkin::Solid(40, 20, kRed));
    skin.Write("d.bmp", TestSkin::Solid(40, 20, kGreen));
    skin.Write("h.bmp", TestSkin::Solid(40, 20, kBlue));
    QImage mask = TestSkin::Solid(40, 20, Qt::black);
    for (int y = 0; y < 20; ++y) mask.setPixelColor(0, y, Qt::white);
    skin.Write("m.bmp", mask);
  }
  void Dress(CShapedButton* b) {
    b->SetBitmaps(skin.Path("n.bmp"), skin.Path("d.bmp"), skin.Path("h.bmp"), {}, {}, skin.Path("m.bmp"),
                  CShapedButton::kOwnSize);
  }
  TestSkin skin;
};

TEST_F(ShapedButtonTest, StatesAndTheMaskShape) {
  MessageOwner owner;
  auto* b = new CShapedButton(&owner, CShapedButton::kCheck);
  Dress(b);
  EXPECT_EQ(b->size(), QSize(40, 20));
  EXPECT_FALSE(b->mask().contains(QPoint(0, 5)));  // white column: outside the shape
  EXPECT_TRUE(b->mask().contains(QPoint(39, 5)));  // the last column is inside
  EXPECT_EQ(PixelOf(b, 20, 10), kRed);
  b->SetHovering(true);
  EXPECT_EQ(PixelOf(b, 20, 10), kBlue);
  b->SetCheck(true);
  EXPECT_EQ(PixelOf(b, 20, 10), kGreen);
  b->SetCheck(false);
  b->setEnabled(false);
  EXPECT_EQ(PixelOf(b, 20, 10), kRed);  // no disabled picture: the normal one
}

TEST_F(ShapedButtonTest, WithoutANormalPictureEveryRestingLookIsTheFace) {
  QWidget parent;
  QPalette pal = parent.palette();
  pal.setColor(QPalette::Button, QColor(10, 20, 30));
  parent.setPalette(pal);
  auto* b = new CShapedButton(&parent, CShapedButton::kPush);
  b->SetBitmaps({}, skin.Path("d.bmp"), skin.Path("h.bmp"), {}, {}, {}, CShapedButton::kStretch);
  b->resize(40, 20);
  b->SetHovering(true);
  EXPECT_EQ(PixelOf(b, 20, 10), QColor(10, 20, 30));  // not the hover picture
}

TEST_F(ShapedButtonTest, DragOutReleasePostsBothMessagesButDoesNotToggle) {
  MessageOwner owner;
  owner.resize(200, 100);
  auto* b = new CShapedButton(&owner, CShapedButton::kCheck);
  Dress(b);
  b->pressToTalk = true;
  owner.show();
  QTest::mousePress(b, Qt::LeftButton, {}, QPoint(20, 10));
  QTest::mouseMove(b, QPoint(120, 60));
  QTest::mouseRelease(b, Qt::LeftButton, {}, QPoint(120, 60));
  EXPECT_FALSE(b->GetCheck());
  EXPECT_FALSE(b->isDown());
  EXPECT_EQ(owner.Take(WM_PTT_PRESS).size(), 1u);
  EXPECT_EQ(owner.Take(WM_PTT_RELEASE).size(), 1u);
  QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(20, 10));
  EXPECT_TRUE(b->GetCheck());
}

// Each space key-down, the held key's repeats included, toggles; a release over the button toggles
// even after the focus (and with it the held mark) was lost during the press.
TEST_F(ShapedButtonTest, SpaceRepeatsAndAReleaseAfterLostFocusToggle) {
  QWidget parent;
  auto* b = new CShapedButton(&parent, CShapedButton::kCheck);
  Dress(b);
  parent.show();
  b->setFocus();
  auto space = [&](bool repeat) {
    QKeyEvent e(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), repeat);
    QApplication::sendEvent(b, &e);
  };
  space(false);
  EXPECT_TRUE(b->GetCheck());
  space(true);
  EXPECT_FALSE(b->GetCheck());
  space(true);
  EXPECT_TRUE(b->GetCheck());
  QTest::keyRelease(b, Qt::Key_Space);
  EXPECT_TRUE(b->GetCheck());
  QTest::mousePress(b, Qt::LeftButton, {}, QPoint(20, 10));
  QFocusEvent out(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
  QApplication::sendEvent(b, &out);
  QTest::mouseRelease(b, Qt::LeftButton, {}, QPoint(20, 10));
  EXPECT_FALSE(b->GetCheck());
}

TEST_F(ShapedButtonTest, CheckingARadioClearsTheOthersOfItsGroup) {
  QWidget parent;
  auto* a = new CShapedButton(&parent, CShapedButton::kRadio, 1);
  auto* b = new CShapedButton(&parent, CShapedButton::kRadio, 1);
  auto* other = new CShapedButton(&parent, CShapedButton::kRadio, 2);
  a->SetCheck(true);
  other->SetCheck(true);
  QCoreApplication::sendPostedEvents();
  b->SetCheck(true);
  QCoreApplication::sendPostedEvents();
  EXPECT_FALSE(a->GetCheck());
  EXPECT_TRUE(b->GetCheck());
  EXPECT_TRUE(other->GetCheck());
}

TEST_F(ShapedButtonTest, TwoPixelEdgesAndTheSpaceBarPushes) {
  QWidget parent;
  QPalette pal = parent.palette();
  const QColor light(250, 250, 250), midlight(220, 220, 220), mid(128, 128, 128), dark(40, 40, 40);
  pal.setColor(QPalette::Light, light);
  pal.setColor(QPalette::Midlight, midlight);
  pal.setColor(QPalette::Mid, mid);
  pal.setColor(QPalette::Dark, dark);
  parent.setPalette(pal);
  auto* b = new CShapedButton(&parent, CShapedButton::kPush);
  b->SetBitmaps(skin.Path("n.bmp"), skin.Path("d.bmp"), {}, {}, {}, {}, CShapedButton::kOwnSize, true);
  b->resize(40, 20);
  parent.show();
  struct Case {
    bool pushed;
    QColor outerTopLeft, innerTopLeft, innerBottomRight, outerBottomRight;
  };
  const Case cases[] = {{false, midlight, light, mid, dark}, {true, mid, dark, midlight, light}};
  for (const Case& c : cases) {
    b->setDown(c.pushed);
    EXPECT_EQ(PixelOf(b, 10, 0), c.outerTopLeft) << c.pushed;
    EXPECT_EQ(PixelOf(b, 10, 1), c.innerTopLeft) << c.pushed;
    EXPECT_EQ(PixelOf(b, 10, 18), c.innerBottomRight) << c.pushed;
    EXPECT_EQ(PixelOf(b, 10, 19), c.outerBottomRight) << c.pushed;
  }
  b->setDown(false);
  b->setFocus();
  QTest::keyPress(b, Qt::Key_Space);
  EXPECT_EQ(PixelOf(b, 20, 10), kGreen);  // pushed from the keyboard: the down picture
  QTest::keyRelease(b, Qt::Key_Space);
  EXPECT_EQ(PixelOf(b, 20, 10), kRed);
}

// ---------------------------------------------------------------------------

// The drop arrow's transparent colours are magenta and the face colour the bar has when it draws.
TEST(SkinToolBarTest, TheDropArrowKeysMagentaAndTheCurrentFace) {
  TestSkin skin;
  QImage arrow(3, 1, QImage::Format_RGB32);
  arrow.setPixelColor(0, 0, QColor(255, 0, 255));
  arrow.setPixelColor(1, 0, QColor(10, 20, 30));
  arrow.setPixelColor(2, 0, QColor(200, 100, 50));
  skin.Write("res/32738.bmp", arrow);
  CSkinToolBar bar;
  QPalette pal = bar.palette();
  pal.setColor(QPalette::Button, QColor(200, 100, 50));
  bar.setPalette(pal);
  const QImage keyed = bar.DropArrow().toImage();
  ASSERT_EQ(keyed.size(), QSize(3, 1));
  EXPECT_EQ(qAlpha(keyed.pixel(0, 0)), 0);
  EXPECT_EQ(keyed.pixelColor(1, 0), QColor(10, 20, 30));
  EXPECT_EQ(qAlpha(keyed.pixel(2, 0)), 0);
}

TEST(SkinToolBarTest, PlainWithoutBackgroundPlatesWithIt) {
  TestSkin skin;
  QWidget parent;
  parent.resize(300, 60);
  auto* bar = new CSkinToolBar(&parent);
  auto* b = bar->AddButton(100, QStringLiteral("Call"), 0);
  bar->resize(300, 34);
  parent.show();
  EXPECT_FALSE(bar->HasBackground());
  skin.Write("bg.bmp", TestSkin::Solid(8, 40, kGreen));
  bar->SetBackgroundBitmapFile(skin.Path("bg.bmp"), 0);
  ASSERT_TRUE(bar->HasBackground());
  EXPECT_EQ(PixelOf(bar, 295, 30), kGreen);
  b->setCheckable(true);
  b->setChecked(true);
  EXPECT_EQ(PixelOf(b, b->width() / 2, b->height() - 3), ctl::ToQColor(bar->CheckedColor));
  b->SetHot(true);  // checked and hot: the hot plate comes last
  EXPECT_EQ(PixelOf(b, b->width() / 2, b->height() - 3), ctl::ToQColor(bar->HotColor));
  bar->SetBackgroundBitmapFile(skin.Path("missing.bmp"), 0);  // a missing file changes nothing
  EXPECT_TRUE(bar->HasBackground());
}

// A dial combo with two numbers in its list, in a window whose messages a recorder takes.
struct DialComboWindow {
  QWidget window;
  MessageOwner* owner = new MessageOwner;
  CDialComboBox* combo = nullptr;
  DialComboWindow() {
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(owner);
    combo = new CDialComboBox(owner);
    combo->addItems({QStringLiteral("13800"), QStringLiteral("13912")});
  }
};

TEST(DialComboTest, EnterDialsOnlyWhenEnabledAndNeverReachesTheDefaultButton) {
  QDialog dlg;
  auto* owner = new MessageOwner;
  auto* layout = new QVBoxLayout(&dlg);
  layout->addWidget(owner);
  auto* combo = new CDialComboBox(owner);
  auto* ok = new QPushButton(QStringLiteral("OK"), &dlg);
  layout->addWidget(ok);
  ok->setDefault(true);
  QSignalSpy okClicked(ok, &QPushButton::clicked);
  bool dialEnabled = true;
  combo->SetDialEnabledQuery([&] { return dialEnabled; });
  dlg.show();
  combo->setFocus();
  QTest::keyClicks(combo->lineEdit(), QStringLiteral("138"));
  EXPECT_EQ(owner->Take(WM_DIAL_NUMBER_CHANGED).size(), 3u);  // one per edit
  QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
  EXPECT_EQ(owner->Take(WM_CALL_DIAL).size(), 1u);
  dialEnabled = false;
  QTest::keyClick(combo->lineEdit(), Qt::Key_Enter);
  EXPECT_EQ(owner->Take(WM_CALL_DIAL).size(), 1u);
  EXPECT_EQ(okClicked.count(), 0);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(combo->currentText(), QStringLiteral("138"));
}

TEST(DialComboTest, TheListsEndIsToldOnceChosenOrCancelled) {
  DialComboWindow w;
  QWidget& window = w.window;
  MessageOwner* owner = w.owner;
  CDialComboBox* combo = w.combo;
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  auto told = [&] {
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    return owner->Take(WM_DIAL_NUMBER_CHANGED).size();
  };
  // Chosen with the mouse.
  combo->showPopup();
  QAbstractItemView* view = combo->view();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
  const QRect item = view->visualRect(view->model()->index(1, 0));
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
  EXPECT_EQ(combo->currentText(), QStringLiteral("13912"));
  EXPECT_EQ(told(), 1u);
  // Closed without a choice.
  combo->showPopup();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
  QTest::keyClick(view, Qt::Key_Escape);
  EXPECT_FALSE(view->isVisible());
  EXPECT_EQ(told(), 2u);
  // Chosen with the keyboard: the item reached is in the field at once, told when the list closes.
  combo->showPopup();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
  QTest::keyClick(view, Qt::Key_Up);
  EXPECT_EQ(combo->currentText(), QStringLiteral("13800"));
  EXPECT_EQ(told(), 2u);
  QTest::keyClick(view, Qt::Key_F4);
  EXPECT_FALSE(view->isVisible());
  EXPECT_EQ(combo->currentText(), QStringLiteral("13800"));
  EXPECT_EQ(told(), 3u);
}

// Enter with the list open dials the field as it stands, when the dial button allows, and is eaten:
// the list takes it as no choice.
TEST(DialComboTest, EnterWithTheListOpenStillDials) {
  DialComboWindow w;
  QWidget& window = w.window;
  MessageOwner* owner = w.owner;
  CDialComboBox* combo = w.combo;
  combo->setEditText(QStringLiteral("555"));
  bool dialEnabled = true;
  combo->SetDialEnabledQuery([&] { return dialEnabled; });
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QAbstractItemView* view = combo->view();
  for (bool enabled : {true, false}) {
    dialEnabled = enabled;
    combo->showPopup();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
    QCoreApplication::processEvents();
    owner->messages.clear();
    view->setCurrentIndex(view->model()->index(1, 0));
    QTest::keyClick(view, Qt::Key_Return);
    QCoreApplication::processEvents();
    EXPECT_EQ(owner->Take(WM_CALL_DIAL).size(), enabled ? 1u : 0u) << enabled;
    EXPECT_EQ(combo->currentText(), QStringLiteral("555")) << enabled;
    EXPECT_TRUE(owner->Take(WM_DIAL_NUMBER_CHANGED).empty()) << enabled;
    EXPECT_TRUE(view->isVisible()) << enabled;
    QTest::keyClick(view, Qt::Key_Escape);
    QCoreApplication::processEvents();
  }
  // Moved to an item with the keys, the field shows it and Enter dials it.
  combo->showPopup();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
  dialEnabled = true;
  owner->messages.clear();
  QTest::keyClick(view, Qt::Key_Down);
  EXPECT_EQ(combo->currentText(), QStringLiteral("13912"));
  QTest::keyClick(view, Qt::Key_Return);
  EXPECT_EQ(owner->Take(WM_CALL_DIAL).size(), 1u);
  EXPECT_EQ(combo->currentText(), QStringLiteral("13912"));
}

TEST(FlatComboTest, CompletesFromTheListAndKeepsUnmatchedText) {
  QWidget parent;
  auto* combo = new CCJFlatComboBox(&parent);
  combo->addItems({QStringLiteral("13800"), QStringLiteral("13912")});
  combo->setEditText(QString());
  parent.show();
  QTest::keyClicks(combo->lineEdit(), QStringLiteral("139"));
  EXPECT_EQ(combo->lineEdit()->text(), QStringLiteral("13912"));
  EXPECT_EQ(combo->lineEdit()->selectedText(), QStringLiteral("12"));
  combo->lineEdit()->clear();
  QTest::keyClicks(combo->lineEdit(), QStringLiteral("17"));
  EXPECT_EQ(combo->lineEdit()->text(), QStringLiteral("17"));
  EXPECT_EQ(combo->lineEdit()->cursorPosition(), 2);
  EXPECT_FALSE(combo->lineEdit()->hasSelectedText());
}

TEST(FlatComboTest, CompletesTextOutsideAscii) {
  QWidget parent;
  auto* combo = new CCJFlatComboBox(&parent);
  combo->addItems({QStringLiteral("\u5f20\u4e09\u4e30"), QStringLiteral("\u674e\u56db")});
  combo->setEditText(QString());
  parent.show();
  QInputMethodEvent typed;  // how Chinese text is typed
  typed.setCommitString(QStringLiteral("\u5f20"));
  QCoreApplication::sendEvent(combo->lineEdit(), &typed);
  EXPECT_EQ(combo->lineEdit()->text(), QStringLiteral("\u5f20\u4e09\u4e30"));
  EXPECT_EQ(combo->lineEdit()->selectedText(), QStringLiteral("\u4e09\u4e30"));
}

TEST(FlatComboTest, LooksFlatAwayRaisedWithFocus) {
  QWidget parent;
  auto* combo = new CCJFlatComboBox(&parent, false);
  combo->addItem(QStringLiteral("All calls"));
  combo->move(60, 60);  // away from the pointer
  auto* other = new QLineEdit(&parent);
  parent.show();
  other->setFocus();
  combo->TimerStep();
  EXPECT_EQ(combo->CurrentLook(), CCJFlatComboBox::kFlat);
  combo->setFocus();
  QCoreApplication::processEvents();
  EXPECT_EQ(combo->CurrentLook(), CCJFlatComboBox::kRaised);
}

TEST(DigitEditTest, TakesOnlyDigitsCommaAndBackspace) {
  CDigitEdit e;
  e.show();
  QTest::keyClicks(&e, QStringLiteral("0a"));
  EXPECT_EQ(e.text(), QStringLiteral("0"));
  QTest::keyClicks(&e, QStringLiteral("1,2 x#9"));
  EXPECT_EQ(e.text(), QStringLiteral("01,29"));
  QTest::keyClick(&e, Qt::Key_Backspace);
  EXPECT_EQ(e.text(), QStringLiteral("01,2"));
  // Ctrl+letter gives a control character, which is dropped like any other: no keyboard paste of letters.
  QApplication::clipboard()->setText(QStringLiteral("ab7"));
  QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier, QStringLiteral("\x16"));  // as X11 gives it
  QApplication::sendEvent(&e, &paste);
  EXPECT_EQ(e.text(), QStringLiteral("01,2"));
  // What an input method commits is typed too: its letters and hanzi are dropped, its digits taken.
  QInputMethodEvent ime;
  ime.setCommitString(QString::fromUtf8("3\xE4\xBD\xA0x,4"));
  QApplication::sendEvent(&e, &ime);
  EXPECT_EQ(e.text(), QStringLiteral("01,23,4"));
}

// ---------------------------------------------------------------------------

TEST(LinkTest, HyperlinkPostsExactlyItsMessage) {
  MessageOwner owner;
  owner.resize(200, 50);
  auto* link = new CHyperLink(&owner);
  link->SetLinkText(QStringLiteral("Service"));
  link->SetClickMessage(2040);
  owner.show();
  QTest::mouseClick(link, Qt::LeftButton, {}, QPoint(2, 2));
  QCoreApplication::sendPostedEvents();
  ASSERT_EQ(owner.messages.size(), 1u);
  EXPECT_EQ(owner.messages[0].msg, 2040u);
  EXPECT_EQ(owner.messages[0].wParam, 0u);
  EXPECT_EQ(owner.messages[0].lParam, 0);
  auto* plain = new CUrlLink(&owner);
  plain->SetURL(QStringLiteral("http://example.org/"));
  plain->show();
  EXPECT_EQ(plain->text(), QStringLiteral("http://example.org/"));  // empty text shows the address
  plain->SetHovering(true);
  QTest::mouseClick(plain, Qt::LeftButton, {}, QPoint(2, 2));
  QCoreApplication::sendPostedEvents();
  EXPECT_FALSE(plain->Hovering());
  EXPECT_EQ(owner.messages.size(), 1u);
}

TEST(LinkTest, TheLinkIsFollowedOnceAsTheButtonGoesDownAndOncePerDoubleClick) {
  MessageOwner owner;
  owner.resize(200, 50);
  auto* link = new CHyperLink(&owner);
  link->SetLinkText(QStringLiteral("Service"));
  link->SetClickMessage(2040);
  QSignalSpy clicked(link, &CUrlLink::linkClicked);
  owner.show();
  const QPoint at(2, 2);
  auto send = [&](QEvent::Type type, QPoint where) {
    QMouseEvent e(type, QPointF(where), link->mapToGlobal(QPointF(where)), Qt::LeftButton,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(link, &e);
    QCoreApplication::sendPostedEvents();
  };
  send(QEvent::MouseButtonPress, at);
  EXPECT_EQ(owner.Take(2040).size(), 1u);  // before the button comes up
  // Released away from the link: the click already counted.
  send(QEvent::MouseButtonRelease, QPoint(500, 500));
  EXPECT_EQ(owner.Take(2040).size(), 1u);
  // A double click as the window system gives it: press, release, double click, release.
  send(QEvent::MouseButtonPress, at);
  send(QEvent::MouseButtonRelease, at);
  send(QEvent::MouseButtonDblClick, at);
  send(QEvent::MouseButtonRelease, at);
  EXPECT_EQ(owner.Take(2040).size(), 2u);
  EXPECT_EQ(clicked.count(), 2);
}

TEST(LinkTest, AHyperlinkWithoutAMessagePostsMinusOne) {
  MessageOwner owner;
  owner.resize(200, 50);
  auto* link = new CHyperLink(&owner);
  link->SetLinkText(QStringLiteral("Service"));
  owner.show();
  QTest::mouseClick(link, Qt::LeftButton, {}, QPoint(2, 2));
  QCoreApplication::sendPostedEvents();
  ASSERT_EQ(owner.messages.size(), 1u);
  EXPECT_EQ(owner.messages[0].msg, UINT(-1));
}

TEST(LinkTest, TheHandCursorIsTheProgramsResourceWhenItHasOne) {
  TestSkin skin;
  QWidget owner;
  CUrlLink without(&owner);
  EXPECT_EQ(without.GetLinkCursor().shape(), Qt::PointingHandCursor);
  skin.Write(QStringLiteral("res/106.bmp"), TestSkin::Solid(16, 16, kRed));
  CUrlLink with(&owner);
  EXPECT_EQ(with.GetLinkCursor().shape(), Qt::BitmapCursor);
  EXPECT_EQ(with.GetLinkCursor().pixmap().toImage().pixelColor(4, 4), kRed);
}

TEST(LinkTest, FittingKeepsRightAndCentreAnchors) {
  QWidget parent;
  auto* right = new CUrlLink(&parent, Qt::AlignRight | Qt::AlignTop);
  right->setGeometry(10, 10, 300, 40);
  right->SetLinkText(QStringLiteral("go"));
  EXPECT_EQ(right->geometry().right(), 309);
  auto* centre = new CUrlLink(&parent, Qt::AlignHCenter | Qt::AlignTop);
  centre->setGeometry(10, 60, 300, 40);
  centre->SetLinkText(QStringLiteral("middle"));
  EXPECT_NEAR(centre->geometry().center().x(), 160, 1);
  // A plain static keeps its top; one with a centred image shrinks evenly from top and bottom.
  auto* plain = new CUrlLink(&parent);
  plain->setGeometry(10, 110, 300, 40);
  plain->SetLinkText(QStringLiteral("top"));
  EXPECT_EQ(plain->geometry().top(), 110);
  auto* centred = new CUrlLink(&parent, Qt::AlignLeft | Qt::AlignVCenter);
  centred->setGeometry(10, 160, 300, 40);
  centred->SetLinkText(QStringLiteral("middle"));
  EXPECT_NEAR(centred->geometry().center().y(), 180, 1);
}

// ---------------------------------------------------------------------------

TEST(StaticsTest, SplitterStopsAtItsRangeAndReportsTheDeltaFromTheStart) {
  MessageOwner owner;
  owner.resize(400, 200);
  auto* bar = new CSplitterBar(&owner, 77, true);
  bar->setGeometry(100, 0, 5, 200);
  bar->SetRange(60, 150);
  QSignalSpy moved(bar, &CSplitterBar::delta);
  SplitterNotify seen;
  owner.onMessage = [&](UINT msg, LPARAM l) {
    if (msg == WM_NOTIFY) seen = *reinterpret_cast<const SplitterNotify*>(l);
  };
  owner.show();
  QTest::mousePress(bar, Qt::LeftButton, {}, QPoint(2, 50));
  QMouseEvent move(QEvent::MouseMove, QPointF(300, 50), bar->mapToGlobal(QPointF(300, 50)), Qt::NoButton,
                   Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(bar, &move);
  QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(300, 50));
  const auto notes = owner.Take(WM_NOTIFY);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].wParam, 77u);
  EXPECT_EQ(seen.hdr.hwndFrom, bar);
  EXPECT_EQ(seen.hdr.idFrom, 77u);
  EXPECT_EQ(seen.hdr.code, static_cast<UINT>(SPN_DELTA));
  EXPECT_EQ(seen.delta, 150 - 102);
  ASSERT_EQ(moved.count(), 1);
  EXPECT_EQ(bar->geometry().center().x(), 150);
}

// Created from a rectangle: its shape gives the orientation, and it is cut to the bar's thickness.
TEST(StaticsTest, SplitterFromARectangleTakesItsOrientationFromTheShape) {
  QWidget parent;
  parent.resize(300, 300);
  struct Case {
    QRect rect;
    int orientation;
    QRect geometry;
  } const cases[] = {
      {QRect(100, 10, 20, 200), 1, QRect(100, 10, 5, 200)},
      {QRect(10, 100, 200, 20), 2, QRect(10, 100, 200, 5)},
      {QRect(10, 100, 30, 30), 2, QRect(10, 100, 30, 5)},  // square: horizontal
  };
  for (const Case& c : cases) {
    CSplitterBar bar(WS_VISIBLE, c.rect, &parent, 5);
    EXPECT_EQ(bar.GetOrientation(), c.orientation) << c.rect.width();
    EXPECT_EQ(bar.geometry(), c.geometry) << c.rect.width();
    EXPECT_EQ(bar.id(), 5);
  }
  parent.show();
  CSplitterBar shown(WS_VISIBLE, QRect(0, 0, 5, 50), &parent, 6);
  CSplitterBar hidden(0, QRect(0, 0, 5, 50), &parent, 7);
  EXPECT_TRUE(shown.isVisible());
  EXPECT_FALSE(hidden.isVisible());
}

TEST(StaticsTest, SplitterMovesTheAttachedEdges) {
  QWidget parent;
  auto* pane = new QWidget(&parent);
  struct Case {
    bool width;
    int edge;
    QRect after;
  } const cases[] = {
      {true, 1, QRect(10, 20, 110, 50)},   // right edge +delta
      {true, 2, QRect(0, 20, 110, 50)},    // left edge -delta
      {true, 3, QRect(10, 20, 100, 50)},   // not a width edge
      {false, 3, QRect(10, 20, 100, 60)},  // bottom edge +delta
      {false, 4, QRect(10, 10, 100, 60)},  // top edge -delta
  };
  for (const Case& c : cases) {
    pane->setGeometry(10, 20, 100, 50);
    if (c.width) CSplitterBar::ChangeWidth(pane, 10, c.edge);
    else CSplitterBar::ChangeHeight(pane, 10, c.edge);
    EXPECT_EQ(pane->geometry(), c.after) << c.width << " " << c.edge;
  }
}

TEST(StaticsTest, PaintedStaticShowsTheParentThroughTheKeyColour) {
  TestSkin skin;
  QImage img = TestSkin::Solid(10, 10, kRed);
  for (int i = 0; i < 10; ++i) img.setPixelColor(i, 0, QColor(236, 233, 216));
  skin.Write("status.bmp", img);
  QWidget parent;
  PaintParent(&parent);
  parent.resize(30, 30);
  auto* s = new CPaintedStatic(&parent);
  EXPECT_EQ(s->SetBitmapFile(skin.Path("status.bmp")), 1);
  EXPECT_EQ(s->SetBitmapFile(skin.Path("none.bmp")), 0);
  s->setGeometry(5, 5, 10, 10);
  EXPECT_EQ(PixelOf(&parent, 8, 5), kParentBg);
  EXPECT_EQ(PixelOf(&parent, 8, 8), kRed);
}

TEST(StaticsTest, PictureCaptionEndsInAnEllipsisWithTheWholeTextAsTip) {
  TestSkin skin;
  skin.Write("head.bmp", TestSkin::Solid(32, 32, kBlue));
  CPictureStatic s;
  s.resize(60, 80);
  s.SetPicture(skin.Path("head.bmp"), QStringLiteral("A caption far longer than the control"), true);
  EXPECT_EQ(PixelOf(&s, 30, 10), kBlue);
  EXPECT_EQ(PixelOf(&s, 2, 10), QColor(243, 243, 243));
  EXPECT_TRUE(s.CaptionCut());
  EXPECT_EQ(s.toolTip(), QStringLiteral("A caption far longer than the control"));
  s.SetPicture(skin.Path("head.bmp"), QStringLiteral("Al"), true);
  s.grab();
  EXPECT_FALSE(s.CaptionCut());
  EXPECT_TRUE(s.toolTip().isEmpty());
}

TEST(StaticsTest, TipWindowDrawsItsFramesInTurn) {
  TestSkin skin;
  skin.Write("res/237.bmp", TestSkin::Solid(8, 8, kGrey));
  const std::vector<int>& ids = CTipPainter::Frames();
  for (size_t i = 0; i < ids.size(); ++i) {
    QImage f = TestSkin::Solid(8, 8, QColor(0, 255, 0));
    f.setPixelColor(4, 4, QColor(10 * static_cast<int>(i), 0, 0));
    skin.Write(QStringLiteral("res/%1.bmp").arg(ids[i]), f);
  }
  QWidget parent;
  auto* tip = new CPopupTipWnd(&parent, QPoint(0, 0), 42, 400);
  EXPECT_EQ(tip->size(), QSize(8, 8));
  EXPECT_EQ(tip->GetItemData(), 42u);
  EXPECT_EQ(PixelOf(tip, 0, 0), kGrey);  // the key colour shows the background picture
  for (int i = 1; i <= 13; ++i) {
    tip->Tick();
    EXPECT_EQ(PixelOf(tip, 4, 4), QColor(10 * (i % 12), 0, 0)) << i;
  }
}

TEST(StaticsTest, SkinTabsDrawTheirImages) {
  TestSkin skin;
  CSkinTabCtrl tabs;
  tabs.SetImages(ctl::CutStrip(TestSkin::Solid(48, 23, kRed), 24, 23, RGB(255, 0, 255)));
  tabs.addTab(QStringLiteral("Start"));
  tabs.addTab(QStringLiteral("Dial"));
  tabs.resize(300, tabs.sizeHint().height());
  const QRect r = tabs.tabRect(1);
  EXPECT_EQ(PixelOf(&tabs, r.left() + 10, r.center().y()), kRed);
}

TEST(StaticsTest, SkinTabOutlineAndPicturePlaces) {
  CSkinTabCtrl tabs;
  QPalette pal = tabs.palette();
  pal.setColor(QPalette::Light, QColor(255, 255, 255));
  pal.setColor(QPalette::Mid, QColor(128, 128, 128));
  pal.setColor(QPalette::Button, QColor(212, 208, 200));
  pal.setColor(QPalette::Window, QColor(212, 208, 200));
  tabs.setPalette(pal);
  // Pictures smaller than the tab: each sits at its fixed place, not centred.
  tabs.SetImages(ctl::CutStrip(TestSkin::Solid(32, 15, kRed), 16, 15, RGB(255, 0, 255)));
  tabs.addTab(QStringLiteral("Start"));
  tabs.addTab(QStringLiteral("Dial"));
  tabs.addTab(QStringLiteral("Calls"));
  tabs.setCurrentIndex(0);
  tabs.resize(300, tabs.sizeHint().height());
  ASSERT_GT(tabs.tabRect(1).height(), 15 + 8);
  // An unselected tab: two pixels down, picture at (left + 3, top + 1).
  const QRect u = tabs.tabRect(1).adjusted(0, 2, 0, 0);
  EXPECT_EQ(PixelOf(&tabs, u.left() + 3, u.top() + 1), kRed);
  EXPECT_NE(PixelOf(&tabs, u.left() + 3, u.top()), kRed);
  // The selected tab's outer right edge lies on the next tab's first column; the tab after that
  // shows its own left edge.
  EXPECT_EQ(PixelOf(&tabs, u.left(), u.top() + 3), QColor(64, 64, 64));
  const QRect u2 = tabs.tabRect(2).adjusted(0, 2, 0, 0);
  EXPECT_EQ(PixelOf(&tabs, u2.left(), u2.top() + 3), QColor(255, 255, 255));
  // Its face is the face colour, as the selected tab's.
  EXPECT_EQ(PixelOf(&tabs, u.right() - 4, u.bottom() - 2), QColor(212, 208, 200));
  // Narrowed by one pixel, its right edge is the tab's last column: the dark outer edge there, the
  // shadow just inside it; the top edge stops three pixels short of it.
  const int y = u.center().y();
  EXPECT_EQ(PixelOf(&tabs, u.right(), y), QColor(64, 64, 64));
  EXPECT_EQ(PixelOf(&tabs, u.right() - 1, y), QColor(128, 128, 128));
  EXPECT_EQ(PixelOf(&tabs, u.right() - 2, y), QColor(212, 208, 200));
  EXPECT_EQ(PixelOf(&tabs, u.right() - 3, u.top()), QColor(255, 255, 255));
  EXPECT_NE(PixelOf(&tabs, u.right() - 2, u.top()), QColor(255, 255, 255));
  // The selected tab, two pixels wider to the left: picture at (left + 3, top + 2).
  const QRect s = tabs.tabRect(0).adjusted(-2, 0, 0, 0);
  EXPECT_EQ(PixelOf(&tabs, std::max(0, s.left()) + 3, s.top() + 2), kRed);
  EXPECT_NE(PixelOf(&tabs, std::max(0, s.left()) + 3, s.top() + 1), kRed);
}

// ---------------------------------------------------------------------------

// A picture given as a bitmap is the item's own copy: two menus showing one command with different
// pictures (the status menu and the tray menu) each keep theirs, and the shared list is not touched.
TEST(TrelMenuTest, BitmapItemsKeepTheirOwnPicture) {
  TrelMenu a, b;
  const int before = TrelMenu::SharedImageCount();
  a.AppendBitmapMenu(0, 4712, QStringLiteral("Call"), TestSkin::Solid(16, 15, kRed));
  b.AppendBitmapMenu(0, 4712, QStringLiteral("Call"), TestSkin::Solid(16, 15, kGreen));
  b.InsertBitmapMenu(0, MF_BYPOSITION, 4712, QStringLiteral("First"), TestSkin::Solid(16, 15, kBlue));
  EXPECT_EQ(TrelMenu::SharedImageCount(), before);
  EXPECT_TRUE(TrelMenu::CommandImage(4712).isNull());
  EXPECT_EQ(a.actions().at(0)->icon().pixmap(16, 15).toImage().pixelColor(5, 5), kRed);
  EXPECT_EQ(b.actions().at(0)->icon().pixmap(16, 15).toImage().pixelColor(5, 5), kBlue);
  EXPECT_EQ(b.actions().at(1)->icon().pixmap(16, 15).toImage().pixelColor(5, 5), kGreen);
  a.AppendMenu(0, 4712, QStringLiteral("Again"));  // no picture given and none registered
  EXPECT_TRUE(a.actions().last()->icon().isNull());
}

TEST(TrelMenuTest, MnemonicAndSeparatorHeight) {
  TrelMenu m;
  m.AppendMenu(0, 1, QStringLiteral("Open"));
  m.AppendMenu(0, 2, QStringLiteral("&Call"));
  m.AppendMenu(0, 3, QStringLiteral("&cancel"));
  EXPECT_EQ(TrelMenu::HandleMenuChar(QLatin1Char('C'), &m), 1);
  EXPECT_EQ(TrelMenu::HandleMenuChar(QLatin1Char('x'), &m), -1);
  QSignalSpy triggered(m.actions().at(1), &QAction::triggered);
  m.popup(QPoint(0, 0));
  QTest::keyClick(&m, Qt::Key_C);
  EXPECT_EQ(triggered.count(), 1);
  QStyleOptionMenuItem opt;
  opt.initFrom(&m);
  opt.menuItemType = QStyleOptionMenuItem::Separator;
  const QSize sep = m.style()->sizeFromContents(QStyle::CT_MenuItem, &opt, QSize(), &m);
  EXPECT_EQ(sep.height(), std::max((opt.fontMetrics.height() + 6) / 2, 9));
}

// ---------------------------------------------------------------------------

TEST(ChatRichEditTest, PicturesKeepTheirCodesAndCopyPutsThemOnTheClipboard) {
  MessageOwner owner;
  auto* edit = new CChatRichEdit(&owner);
  edit->insertPlainText(QStringLiteral("hi "));
  edit->InsertImage(TestSkin::Solid(19, 19, kRed), std::string(40, 'q'));
  edit->insertPlainText(QStringLiteral(" ok"));
  int expansion = 0;
  EXPECT_EQ(edit->GetTextWithImageCodes(false, &expansion), "hi " + std::string(31, 'q') + " ok");
  EXPECT_EQ(expansion, 30);
  EXPECT_EQ(edit->CountTextUnits(nullptr, nullptr), 3 + 31 + 3);
  edit->selectAll();
  edit->copy();
  EXPECT_EQ(QApplication::clipboard()->text(), QString::fromStdString("hi " + std::string(31, 'q') + " ok"));
  // Without a picture the control's own copy stands.
  QTextCursor c = edit->textCursor();
  c.setPosition(0);
  c.setPosition(2, QTextCursor::KeepAnchor);
  edit->setTextCursor(c);
  edit->copy();
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("hi"));
}

// Dragged within the control, a selection with a picture keeps the picture and its code.
TEST(ChatRichEditTest, ADragWithinTheControlKeepsItsPictures) {
  struct Edit : CChatRichEdit {
    using CChatRichEdit::createMimeDataFromSelection;
    using CChatRichEdit::dropEvent;
  };
  MessageOwner owner;
  auto* edit = new Edit;
  edit->setParent(&owner);
  owner.resize(300, 120);
  edit->resize(300, 120);
  owner.show();
  edit->insertPlainText(QStringLiteral("a"));
  edit->InsertImage(TestSkin::Solid(8, 8, kRed), "/wave");
  edit->insertPlainText(QStringLiteral("b"));
  edit->selectAll();
  std::unique_ptr<QMimeData> dragged(edit->createMimeDataFromSelection());
  EXPECT_EQ(dragged->text(), QStringLiteral("a/waveb"));  // what another window gets
  QTextCursor end = edit->textCursor();
  end.movePosition(QTextCursor::End);
  const QPointF at = edit->cursorRect(end).center() + QPointF(20, 0);
  QDropEvent drop(at, Qt::CopyAction, dragged.get(), Qt::LeftButton, Qt::NoModifier);
  edit->dropEvent(&drop);  // as the viewport hands it on
  int expansion = 0;
  EXPECT_EQ(edit->GetTextWithImageCodes(false, &expansion), "a/waveba/waveb");
  EXPECT_EQ(expansion, 2 * 4);  // two pictures, each coded
}

TEST(ChatRichEditTest, TextDroppedInIsNotAPaste) {
  // The owner turns codes into pictures near the caret only, unless a paste says where it began.
  struct Edit : CChatRichEdit {
    using CChatRichEdit::dropEvent;
  };
  MessageOwner owner;
  auto* edit = new Edit;
  edit->setParent(&owner);
  owner.resize(300, 120);
  edit->resize(300, 120);
  owner.show();
  edit->insertPlainText(QStringLiteral("ab"));
  QMimeData dragged;
  dragged.setText(QStringLiteral("/wave xyz"));
  QTextCursor end = edit->textCursor();
  end.movePosition(QTextCursor::End);
  QDropEvent drop(edit->cursorRect(end).center() + QPointF(20, 0), Qt::CopyAction, &dragged, Qt::LeftButton,
                  Qt::NoModifier);
  edit->dropEvent(&drop);
  EXPECT_EQ(edit->toPlainText(), QStringLiteral("ab/wave xyz"));
  EXPECT_EQ(edit->PastePosition(), -1);
}

TEST(ChatRichEditTest, PasteWithinTheLimitGoesToTheOwnerAndSetsTheLimit) {
  MessageOwner owner;
  auto* edit = new CChatRichEdit(&owner);
  edit->insertPlainText(QString(260, QLatin1Char('a')));
  edit->InsertImage(TestSkin::Solid(4, 4, kRed), "/wave");  // 265 characters coded
  QApplication::clipboard()->setText(QStringLiteral("0123456789ABCDEF"));
  owner.answer = 0;
  std::string pasted;
  owner.onMessage = [&](UINT msg, LPARAM lParam) {
    if (msg == WM_CHAT_PASTE) pasted = reinterpret_cast<const char*>(lParam);
  };
  EXPECT_EQ(edit->PasteWithinLimit(), 1);
  ASSERT_EQ(owner.messages.size(), 1u);
  EXPECT_EQ(owner.messages[0].msg, WM_CHAT_PASTE);
  EXPECT_EQ(pasted, "0123456789");  // what still fits
  EXPECT_EQ(edit->TextLimit(), 275 - 4);
  owner.answer = 1;  // an owner that refuses: no limit change, result 0
  EXPECT_EQ(edit->PasteWithinLimit(), 0);
  // The owner put nothing in; typing fills up to the limit and no further.
  QTest::keyClicks(edit, QString(20, QLatin1Char('z')));
  EXPECT_EQ(edit->document()->characterCount() - 1, 275 - 4);
  EXPECT_EQ(edit->PasteWithinLimit(), 1);  // nothing fits: handled
}

TEST(ChatRichEditTest, TheControlsOwnPasteNotesWhereItBeganAndAsksNoOwner) {
  MessageOwner owner;
  auto* edit = new CChatRichEdit(&owner);
  edit->insertPlainText(QString(270, QLatin1Char('a')));
  auto* mime = new QMimeData;
  mime->setText(QStringLiteral("0123456789"));
  edit->insertFromMimeDataForTest(mime);
  delete mime;
  EXPECT_EQ(edit->toPlainText(), QString(270, QLatin1Char('a')) + QStringLiteral("0123456789"));
  EXPECT_EQ(edit->PastePosition(), 270);
  EXPECT_TRUE(owner.Take(WM_CHAT_PASTE).empty());
  auto* other = new CChatRichEdit(&owner);
  // The change notices can be switched off and on.
  EXPECT_EQ(other->NotifyMask(), ENM_CHANGE);
  other->SetNotifyMask(0);
  EXPECT_EQ(other->NotifyMask(), 0u);
}

TEST(FormatRichEditTest, ContentGoesOutAsBytesAndAMissingResourceLeavesItAlone) {
  CFormatRichEdit edit;
  edit.SetContent("plain words");
  std::vector<char> bytes;
  edit.GetContentBytes(&bytes, false);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "plain words");
  edit.GetContentBytes(&bytes, true);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 5), "{\\rtf");
  EXPECT_FALSE(edit.LoadResourceContent(424242));
  EXPECT_EQ(edit.toPlainText(), QStringLiteral("plain words"));
}

TEST(FormatRichEditTest, RtfLoadsFormattedTextAndMixedSelectionsAnswerMinusOne) {
  CFormatRichEdit edit;
  edit.SetContent("{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}plain {\\b bold}\\par next}");
  EXPECT_EQ(edit.toPlainText(), QStringLiteral("plain bold\nnext"));
  edit.selectAll();
  EXPECT_EQ(edit.IsSelectionBold(), -1);
  edit.ToggleSelectionBold();
  EXPECT_EQ(edit.IsSelectionBold(), 1);
  edit.ToggleSelectionBold();
  EXPECT_EQ(edit.IsSelectionBold(), 0);
  edit.SetContent("{rtf is not here");
  EXPECT_EQ(edit.toPlainText(), QStringLiteral("{rtf is not here"));
  std::string rtf;
  edit.selectAll();
  edit.ToggleSelectionItalic();
  edit.GetContent(&rtf, true);
  CFormatRichEdit back;
  back.SetContent(rtf);
  back.selectAll();
  EXPECT_EQ(back.toPlainText(), edit.toPlainText());
  EXPECT_EQ(back.IsSelectionItalic(), 1);
  QString shown;
  CFormatRichEdit::SetMessageBoxHook([&](const QString& t) { shown = t; });
  EXPECT_FALSE(edit.LoadFile(QStringLiteral("/no/such/file.rtf")));
  EXPECT_EQ(shown, QStringLiteral("无效的文件名。"));
  CFormatRichEdit::SetMessageBoxHook(nullptr);
}

TEST(FormatRichEditTest, RtfCarriesFaceSizeColourAndAlignment) {
  CFormatRichEdit edit;
  edit.SetContent(
      "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fnil Arial;}{\\f1\\fnil{\\*\\falt x}Courier New;}}"
      "{\\colortbl ;\\red200\\green30\\blue30;}"
      "\\pard\\qc {\\f1\\fs28\\cf1 red}\\par\\pard plain}");
  EXPECT_EQ(edit.toPlainText(), QStringLiteral("red\nplain"));
  QTextCursor c(edit.document());
  c.setPosition(1);
  edit.setTextCursor(c);
  EXPECT_EQ(edit.GetSelectionFaceName(), QStringLiteral("Courier New"));
  EXPECT_EQ(edit.GetSelectionFontSize(), 14);
  EXPECT_EQ(c.charFormat().foreground().color(), QColor(200, 30, 30));
  EXPECT_EQ(edit.IsParagraphCenter(), 1);
  c.setPosition(6);
  edit.setTextCursor(c);
  EXPECT_EQ(edit.IsParagraphLeft(), 1);
  // What the control writes it reads back the same.
  edit.selectAll();
  edit.SetSelectionColor(RGB(10, 20, 240));
  edit.SetSelectionFontSize(11);
  edit.SetSelectionFaceName(QStringLiteral("Serif"));
  c.setPosition(6);
  edit.setTextCursor(c);
  edit.SetParagraphRight();
  std::string rtf;
  edit.GetContent(&rtf, true);
  CFormatRichEdit back;
  back.SetContent(rtf);
  EXPECT_EQ(back.toPlainText(), edit.toPlainText());
  back.selectAll();
  EXPECT_EQ(back.GetSelectionFontSize(), 11);
  EXPECT_EQ(back.GetSelectionFaceName(), QStringLiteral("Serif"));
  QTextCursor b(back.document());
  b.setPosition(1);
  EXPECT_EQ(b.charFormat().foreground().color(), QColor(10, 20, 240));
  back.setTextCursor(b);
  EXPECT_EQ(back.IsParagraphCenter(), 1);
  b.setPosition(6);
  back.setTextCursor(b);
  EXPECT_EQ(back.IsParagraphRight(), 1);
  // Bullets and protected text too.
  edit.selectAll();
  edit.ToggleParagraphBullet();
  edit.ToggleSelectionProtected();
  edit.GetContent(&rtf, true);
  CFormatRichEdit again;
  again.SetContent(rtf);
  EXPECT_EQ(again.toPlainText(), edit.toPlainText());
  again.selectAll();
  EXPECT_EQ(again.IsParagraphBulleted(), 1);
  EXPECT_EQ(again.IsSelectionProtected(), 1);
  edit.ToggleParagraphBullet();
  edit.GetContent(&rtf, true);
  again.SetContent(rtf);
  again.selectAll();
  EXPECT_EQ(again.IsParagraphBulleted(), 0);
}

TEST(FormatRichEditTest, AFailedSaveKeepsTheOldFileAndSaysSo) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("note.txt"));
  {
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("the old note");
  }
  CFormatRichEdit edit;
  edit.SetContent(std::string(64 * 1024, 'x'));
  QString shown;
  CFormatRichEdit::SetMessageBoxHook([&](const QString& t) { shown = t; });
  // Files may grow to 4 KB only: the write fails part of the way.
  struct rlimit before {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = before;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saved = edit.SaveFile(path, false);
  setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, oldHandler);
  CFormatRichEdit::SetMessageBoxHook(nullptr);
  EXPECT_FALSE(saved);
  EXPECT_EQ(shown, QStringLiteral("保存文档失败。"));
  QFile back(path);
  ASSERT_TRUE(back.open(QIODevice::ReadOnly));
  EXPECT_EQ(back.readAll(), QByteArray("the old note"));
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("note.txt")});
  // Room enough: the new content replaces it.
  edit.SetContent("new text");
  EXPECT_TRUE(edit.SaveFile(path, false));
  back.close();
  ASSERT_TRUE(back.open(QIODevice::ReadOnly));
  EXPECT_EQ(back.readAll(), QByteArray("new text"));
}

TEST(FormatRichEditTest, AFileOverTheBoundIsRefusedAndTheContentKept) {
  QTemporaryDir dir;
  const auto write = [&](const QString& name, qint64 size) {
    const QString path = dir.filePath(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(static_cast<qsizetype>(size), 'a'));
    return path;
  };
  CFormatRichEdit edit;
  edit.SetContent("kept");
  QString shown;
  CFormatRichEdit::SetMessageBoxHook([&](const QString& t) { shown = t; });
  EXPECT_FALSE(edit.LoadFile(write(QStringLiteral("big.txt"), CFormatRichEdit::kMaxLoadFileBytes + 1)));
  EXPECT_EQ(shown, QStringLiteral("打开文档失败。"));
  EXPECT_EQ(edit.toPlainText(), QStringLiteral("kept"));
  shown.clear();
  EXPECT_TRUE(edit.LoadFile(write(QStringLiteral("small.txt"), 300)));
  EXPECT_TRUE(shown.isEmpty());
  EXPECT_EQ(edit.toPlainText(), QString(300, u'a'));
  CFormatRichEdit::SetMessageBoxHook(nullptr);
}

TEST(FormatRichEditTest, FileMessagesComeInTheLanguageGiven) {
  QString shown;
  CFormatRichEdit::SetMessageBoxHook([&](const QString& t) { shown = t; });
  CFormatRichEdit edit;
  CFormatRichEdit::SetFileMessageText(CFormatRichEdit::kInvalidFileNameText, QStringLiteral("Invalid filename."));
  EXPECT_FALSE(edit.LoadFile(QString()));
  EXPECT_EQ(shown, QStringLiteral("Invalid filename."));
  CFormatRichEdit::SetFileMessageText(CFormatRichEdit::kInvalidFileNameText, QString());
  EXPECT_FALSE(edit.LoadFile(QString()));
  EXPECT_EQ(shown, QStringLiteral("无效的文件名。"));
  CFormatRichEdit::SetMessageBoxHook(nullptr);
}

TEST(FormatRichEditTest, WordWrapWidthIsInTwips) {
  CFormatRichEdit edit;
  struct Case {
    bool wrap;
    int width;
    QTextEdit::LineWrapMode mode;
    int pixels;  // for a fixed width: at the control's resolution
  };
  const int inch = edit.logicalDpiX();
  for (const Case& c : {Case{true, 0, QTextEdit::WidgetWidth, 0}, Case{false, 0, QTextEdit::NoWrap, 0},
                        Case{true, 1, QTextEdit::NoWrap, 0}, Case{true, 1440, QTextEdit::FixedPixelWidth, inch},
                        Case{false, 2880, QTextEdit::FixedPixelWidth, 2 * inch}}) {
    edit.SetWordWrap(c.wrap, c.width);
    EXPECT_EQ(edit.lineWrapMode(), c.mode) << c.wrap << " " << c.width;
    if (c.mode == QTextEdit::FixedPixelWidth) EXPECT_EQ(edit.lineWrapColumnOrWidth(), c.pixels) << c.width;
  }
}

// ---------------------------------------------------------------------------

TEST(ToolBarExTest, SavedStateRoundTripsAndAShortBlockIsRefused) {
  CToolBarEx bar;
  std::vector<ctl::TBBUTTON> buttons(3);
  buttons[0] = {0, 32822, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1};
  buttons[1] = {8, 0, 0, ctl::TBSTYLE_SEP, {0, 0}, 0, -1};
  buttons[2] = {1, 32823, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1};
  bar.SetButtons(buttons);
  bar.SetButtonSet();
  bar.SetTextOptions(2);
  bar.SetIconOptions(1);
  const auto block = bar.SaveState();
  EXPECT_FALSE(bar.RestoreState(std::vector<uint8_t>(block.begin(), block.begin() + 7)));
  EXPECT_EQ(bar.Buttons().size(), 3u);
  EXPECT_TRUE(bar.RestoreState(std::vector<uint8_t>(block.begin(), block.begin() + 8)));
  EXPECT_TRUE(bar.Buttons().empty());
  EXPECT_EQ(bar.TextOption(), 2);
  EXPECT_EQ(bar.IconOption(), 1);
  EXPECT_TRUE(bar.RestoreState(block));
  EXPECT_EQ(bar.Buttons().size(), 3u);
  // The block's records come back as saved, also a button of a command the set never held.
  std::vector<ctl::TBBUTTON> other = buttons;
  other.insert(other.begin() + 1, {2, 40000, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1});
  EXPECT_TRUE(bar.RestoreState(ctl::SaveToolbarBlock(1, 2, other)));
  ASSERT_EQ(bar.Buttons().size(), 4u);
  EXPECT_EQ(bar.Buttons()[1].idCommand, 40000);
  EXPECT_EQ(bar.Buttons()[2].idCommand, 0);
  // The options are remembered, not applied: state, data, text slot and style stay as saved, and
  // so does the picture size.
  std::vector<ctl::TBBUTTON> saved = buttons;
  saved[0] = {0, 32822, ctl::TBSTATE_ENABLED | ctl::TBSTATE_CHECKED, 0, {0, 0}, 77, -1};
  EXPECT_TRUE(bar.RestoreState(ctl::SaveToolbarBlock(0, 0, saved)));
  EXPECT_EQ(bar.IconOption(), 0);
  EXPECT_EQ(bar.TextOption(), 0);
  EXPECT_EQ(bar.ImageSize(), QSize(32, 32));
  ASSERT_EQ(bar.Buttons().size(), 3u);
  EXPECT_EQ(bar.Buttons()[0].fsState, ctl::TBSTATE_ENABLED | ctl::TBSTATE_CHECKED);
  EXPECT_EQ(bar.Buttons()[0].dwData, 77u);
  EXPECT_EQ(bar.Buttons()[0].iString, -1);
  EXPECT_EQ(bar.Buttons()[0].fsStyle, 0);
  bar.Reset();
  EXPECT_EQ(bar.Buttons().size(), 3u);
  EXPECT_EQ(bar.TextOption(), 0);
}

TEST(ToolBarExTest, ButtonsShowTheOwnersTextsInItsLanguage) {
  CToolBarEx bar;
  bar.SetButtons({{0, 32822, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1}, {1, 32823, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1}});
  bar.SetButtonSet();
  auto labels = [&] {
    QStringList out;
    for (QToolButton* b : bar.findChildren<QToolButton*>())
      if (b->objectName() != QLatin1String("qt_toolbar_ext_button")) out << b->text();
    return out;
  };
  EXPECT_EQ(labels(), (QStringList{QStringLiteral("字体"), QStringLiteral("表情")}));
  CToolBarEx::SetCommandText(32822, QStringLiteral("Font"));
  CToolBarEx::SetCommandText(32823, QStringLiteral("Emoticons"));
  bar.Retext();
  EXPECT_EQ(labels(), (QStringList{QStringLiteral("Font"), QStringLiteral("Emoticons")}));
  EXPECT_EQ(bar.ButtonSet()[0].text, "Font");
  // An empty text gives the built-in one back.
  CToolBarEx::SetCommandText(32822, QString());
  CToolBarEx::SetCommandText(32823, QString());
  bar.Retext();
  EXPECT_EQ(labels(), (QStringList{QStringLiteral("字体"), QStringLiteral("表情")}));
}

}  // namespace
