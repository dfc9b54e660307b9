// Widget tests of the customisable toolbar, the skinned bar's resting buttons, links, the flat combo, tabs and pictures.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolBar>

#include "test_skin.h"
#include "ui/controls/flat_combo.h"
#include "ui/controls/links.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/controls/statics.h"
#include "ui/controls/toolbar_ex.h"
#include "ui/controls/trel_menu.h"
#include "common/appenv.h"
#include "platform/msgqueue.h"
#include "ui/controls/control_messages.h"

namespace {

const QColor kGreen(30, 160, 60), kRed(200, 30, 30);

ctl::TBBUTTON Btn(int image, int command) { return {image, command, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1}; }
ctl::TBBUTTON Sep(int width = 8) { return {width, 0, 0, ctl::TBSTYLE_SEP, {0, 0}, 0, -1}; }

// A bar whose owner shows no text for the font button.
class OwnerBar : public CToolBarEx {
 public:
  using CToolBarEx::CToolBarEx;
  bool HasButtonText(int command) const override { return command != 32822; }
};

TEST(ToolBarExTest, TextOptionsChooseWhichButtonsShowText) {
  OwnerBar bar;
  bar.SetButtons({Btn(0, 32821), Btn(1, 32822), Sep(), Btn(2, 4711)});
  bar.SetButtonSet();
  struct Case {
    int option;
    Qt::ToolButtonStyle autoplay, font;
    bool autoplayShowText;
    int fontString;  // -1 or an index into the strings
  };
  const Case cases[] = {
      {0, Qt::ToolButtonTextUnderIcon, Qt::ToolButtonTextUnderIcon, false, 1},
      {1, Qt::ToolButtonTextBesideIcon, Qt::ToolButtonIconOnly, true, 1},  // the owner keeps the font's text off
      {2, Qt::ToolButtonIconOnly, Qt::ToolButtonIconOnly, false, -1},
  };
  QImage strip(48, 16, QImage::Format_RGB32);
  strip.fill(kRed);
  TestSkin skin;
  skin.Write("s16.bmp", strip);
  bar.SetImageStrips(skin.Path("s16.bmp"), skin.Path("none.bmp"), RGB(255, 0, 255));
  for (const Case& c : cases) {
    bar.SetTextOptions(c.option, true);
    EXPECT_EQ(bar.Button(32821)->toolButtonStyle(), c.autoplay) << c.option;
    EXPECT_EQ(bar.Button(32822)->toolButtonStyle(), c.font) << c.option;
    EXPECT_EQ((bar.Buttons()[0].fsStyle & ctl::BTNS_SHOWTEXT) != 0, c.autoplayShowText) << c.option;
    EXPECT_TRUE(bar.Buttons()[0].fsStyle & ctl::TBSTYLE_AUTOSIZE);
    EXPECT_EQ(bar.ButtonSet()[0].button.fsStyle, bar.Buttons()[0].fsStyle);  // the set follows the bar
    if (c.option != 1) EXPECT_EQ(bar.Buttons()[1].iString, c.fontString) << c.option;
  }
  // Each text is added once: the autoplay, font and the empty text of the unknown command.
  EXPECT_EQ(bar.Strings(), (std::vector<QString>{QStringLiteral("手动播放"), QStringLiteral("字体"), QString()}));
}

TEST(ToolBarExTest, TheDialogsListEndsAtTheSetAndOnlyHiddenButtonsStay) {
  CToolBarEx bar;
  bar.SetButtons({Btn(0, 32821), Btn(1, 32822), Btn(2, 300), Btn(3, 32823)});
  bar.SetButtonSet();
  ctl::TBBUTTON b;
  QString text;
  ASSERT_TRUE(bar.GetButtonInfo(0, &b, &text, 2));
  EXPECT_EQ(text, QStringLiteral("手动"));  // cut to the request's room
  EXPECT_FALSE(bar.GetButtonInfo(4, &b, &text, 64));
  EXPECT_FALSE(bar.GetButtonInfo(-1, &b, &text, 64));
  QWidget* combo = bar.InsertControl(CToolBarEx::ControlKind::ComboBox, QString(), QRect(0, 0, 90, 20), 300);
  ASSERT_NE(combo, nullptr);
  EXPECT_TRUE(qobject_cast<QComboBox*>(combo));
  EXPECT_TRUE(bar.Buttons()[2].fsStyle & ctl::TBSTYLE_SEP);
  EXPECT_EQ(bar.Buttons()[2].iBitmap, 90);
  EXPECT_TRUE(bar.QueryDelete(1));
  QWidget* orphan = bar.InsertControl(CToolBarEx::ControlKind::Edit, QString(), QRect(0, 0, 40, 20), 999);
  EXPECT_TRUE(orphan->isHidden());  // no button carries it
  bar.DeleteButton(1);
  EXPECT_EQ(bar.Buttons().size(), 3u);
  EXPECT_TRUE(bar.ButtonSet()[1].inUse) << "the usage changes only when it is updated";
  bar.Reset();  // back to the set as it was taken
  ASSERT_EQ(bar.Buttons().size(), 4u);
  EXPECT_EQ(bar.Buttons()[1].idCommand, 32822);
  bar.DeleteButton(1);
  bar.UpdateButtonUsage();
  EXPECT_FALSE(bar.ButtonSet()[1].inUse);
  bar.Reset();  // now without it
  EXPECT_EQ(bar.Buttons().size(), 3u);
  // Only a hidden slot stays; a control's slot on the bar may go, and its control with it.
  bar.PositionControl(combo, QRect(0, 0, 90, 20), 300);
  std::vector<ctl::TBBUTTON> buttons = bar.Buttons();
  ASSERT_EQ(buttons[1].idCommand, 300);
  ASSERT_TRUE(buttons[1].fsStyle & ctl::TBSTYLE_SEP);
  EXPECT_TRUE(bar.QueryDelete(1));
  buttons[0].fsState |= ctl::TBSTATE_HIDDEN;
  bar.SetButtons(buttons);
  EXPECT_FALSE(bar.QueryDelete(0));
  bar.DeleteButton(1);
  EXPECT_EQ(bar.Buttons().size(), 2u);
  EXPECT_TRUE(combo->isHidden());
}

TEST(ToolBarExTest, ControlsTakeTheirWindowStyle) {
  CToolBarEx bar;
  bar.SetButtons({Btn(0, 301), Btn(1, 302), Btn(2, 303), Btn(3, 304), Btn(4, 305)});
  auto* list = qobject_cast<QComboBox*>(
      bar.InsertControl(CToolBarEx::ControlKind::ComboBox, QString(), QRect(0, 0, 80, 20), 301, ctl::CBS_DROPDOWNLIST));
  auto* typed = qobject_cast<QComboBox*>(
      bar.InsertControl(CToolBarEx::ControlKind::ComboBox, QString(), QRect(0, 0, 80, 20), 302, ctl::CBS_DROPDOWN));
  auto* secret = qobject_cast<QLineEdit*>(bar.InsertControl(CToolBarEx::ControlKind::Edit, QString(), QRect(0, 0, 60, 20),
                                                            303, ctl::ES_PASSWORD | ctl::ES_READONLY));
  auto* check = qobject_cast<QPushButton*>(bar.InsertControl(CToolBarEx::ControlKind::Button, QStringLiteral("On"),
                                                             QRect(0, 0, 40, 20), 304, ctl::BS_AUTOCHECKBOX));
  QWidget* off = bar.InsertControl(CToolBarEx::ControlKind::Edit, QString(), QRect(0, 0, 60, 20), 305, ctl::WS_DISABLED);
  ASSERT_TRUE(list && typed && secret && check && off);
  EXPECT_FALSE(list->isEditable());
  EXPECT_TRUE(typed->isEditable());
  EXPECT_EQ(secret->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(secret->isReadOnly());
  EXPECT_TRUE(check->isCheckable());
  EXPECT_EQ(check->text(), QStringLiteral("On"));
  EXPECT_FALSE(off->isEnabled());
}

// A drop-down with a menu resource opens its first sub-menu under the button and sends the choice
// to the main window as its command; without a menu 32823 opens the emoticon picker.
TEST(ToolBarExTest, DropDownsOpenTheirMenuOrTheEmoticonPicker) {
  TestSkin skin;
  WriteRes("470.menu", MenuTemplate({{MF_POPUP | MF_END, 0, "Fonts"}, {0, 601, "Bold"}, {MF_END, 602, "Italic"}}));
  std::vector<std::pair<UINT, WPARAM>> got;
  HWND mainWindow = plat::RegisterWindowTarget([&](HWND, UINT msg, WPARAM w, LPARAM) -> LRESULT {
    got.push_back({msg, w});
    return 0;
  });
  g_hMainWnd = mainWindow;
  QWidget window;
  auto* bar = new CToolBarEx(&window);
  bar->SetButtons({Btn(0, 32822), Btn(1, 32823), Btn(2, 77)});
  bar->SetButtonSet();
  struct Opened {
    QPoint at;
    QWidget* owner = nullptr;
    unsigned message = 1;
    int count = 0;
  } opened;
  CToolBarEx::SetEmoticonPicker([&](QPoint at, QWidget* owner, unsigned message) -> QWidget* {
    opened = {at, owner, message, opened.count + 1};
    return nullptr;
  });
  bar->SetDropDownButton(32823, 0, false);  // the whole button opens the picker
  bar->SetDropDownButton(32822, 470, true);
  EXPECT_TRUE(bar->Buttons()[1].fsStyle & ctl::BTNS_WHOLEDROPDOWN);
  EXPECT_FALSE(bar->Buttons()[0].fsStyle & ctl::BTNS_WHOLEDROPDOWN);
  window.resize(300, 80);
  window.show();
  CToolBarExButton* emoticons = bar->Button(32823);
  ASSERT_NE(emoticons, nullptr);
  QTest::mouseClick(emoticons, Qt::LeftButton, {}, QPoint(4, 4));
  ASSERT_EQ(opened.count, 1);
  EXPECT_EQ(opened.owner, bar);
  EXPECT_EQ(opened.message, 0u);
  EXPECT_EQ(opened.at, emoticons->mapToGlobal(QPoint(0, emoticons->height())));
  QStringList items;
  QPoint shownAt;
  bool plain = false;
  QTimer::singleShot(0, [&] {
    auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(popup, nullptr);
    plain = !qobject_cast<TrelMenu*>(popup) && popup->style() == QApplication::style();  // drawn by the system
    shownAt = popup->pos();
    for (QAction* a : popup->actions()) items << a->text();
    popup->setActiveAction(popup->actions().at(1));
    QTest::keyClick(popup, Qt::Key_Return);
  });
  EXPECT_TRUE(bar->ShowDropDown(32822, QRect(10, 10, 20, 20)));
  EXPECT_EQ(items, (QStringList{"Bold", "Italic"}));
  EXPECT_TRUE(plain);
  EXPECT_EQ(shownAt, QPoint(10, 30));
  plat::PumpWindowMessages(mainWindow);
  EXPECT_EQ(got, (std::vector<std::pair<UINT, WPARAM>>{{WM_COMMAND, 602}}));
  EXPECT_FALSE(bar->ShowDropDown(77, QRect(10, 10, 20, 20)));
  EXPECT_EQ(opened.count, 1);
  CToolBarEx::SetEmoticonPicker(nullptr);
  g_hMainWnd = nullptr;
  plat::UnregisterWindowTarget(mainWindow);
}

// The menu opens under the button's left corner; above it when the screen has no room below, never
// over the button; moved left to stay on the screen.
TEST(ToolBarExTest, ADropDownMenuAvoidsItsButton) {
  const QRect screen(0, 0, 1024, 768);
  const QSize menu(120, 200);
  struct Case {
    QRect button;
    QPoint at;
  };
  const Case cases[] = {
      {QRect(10, 10, 20, 20), QPoint(10, 30)},
      {QRect(10, 700, 20, 20), QPoint(10, 500)},    // no room below: above the button
      {QRect(10, 548, 20, 20), QPoint(10, 568)},    // just room below
      {QRect(1000, 10, 20, 20), QPoint(904, 30)},   // kept on the screen
  };
  for (const Case& c : cases) EXPECT_EQ(CToolBarEx::DropDownPlace(c.button, menu, screen), c.at) << c.button.y();
}

TEST(ToolBarExTest, AVerticalDockHidesControlsAndTheirSlotsTakeNoRoom) {
  QMainWindow frame;
  auto* plain = new QObject(&frame);
  plain->setObjectName(QStringLiteral("dockbar_%1").arg(ctl::AFX_IDW_DOCKBAR_TOP));
  FrameEnableDocking(&frame, ctl::CBRS_ALIGN_TOP | ctl::CBRS_ALIGN_LEFT);
  EXPECT_TRUE(qobject_cast<CDockBarEx*>(FrameDockBar(&frame, ctl::AFX_IDW_DOCKBAR_TOP)));  // the plain one gave way
  EXPECT_TRUE(qobject_cast<CDockBarEx*>(FrameDockBar(&frame, ctl::AFX_IDW_DOCKBAR_LEFT)));
  EXPECT_EQ(FrameDockBar(&frame, ctl::AFX_IDW_DOCKBAR_RIGHT), nullptr);
  auto* bar = new CToolBarEx(&frame);
  bar->SetButtons({Btn(0, 32821), Btn(1, 300), Btn(2, 32823)});
  bar->SetButtonSet();
  bar->SetTextOptions(2);
  QWidget* combo = bar->InsertControl(CToolBarEx::ControlKind::ComboBox, QString(), QRect(0, 0, 90, 20), 300);
  bar->EnableDocking(ctl::CBRS_ALIGN_ANY);
  EXPECT_EQ(bar->allowedAreas(), Qt::TopToolBarArea | Qt::LeftToolBarArea);  // only where the frame docks
  frame.addToolBar(Qt::TopToolBarArea, bar);
  frame.resize(400, 300);
  frame.show();
  QCoreApplication::processEvents();
  EXPECT_FALSE(combo->isHidden());
  EXPECT_GT(bar->Button(32823)->x(), combo->x() + 89);
  frame.addToolBar(Qt::LeftToolBarArea, bar);
  QCoreApplication::processEvents();
  ASSERT_TRUE(bar->IsVertDocked());
  EXPECT_TRUE(combo->isHidden());
  EXPECT_TRUE(bar->Buttons()[1].fsState & ctl::TBSTATE_HIDDEN);
  // The button after the slot sits right under the first.
  EXPECT_EQ(bar->Button(32823)->y(), bar->Button(32821)->geometry().bottom() + 1);
  bar->HideControlsWhenVertical = false;
  bar->SetTextOptions(2);
  EXPECT_FALSE(combo->isHidden());
  EXPECT_FALSE(bar->Buttons()[1].fsState & ctl::TBSTATE_HIDDEN);
}

// Bars docked in a row overlap the one before by two pixels, but for a flat customisable bar; the
// row keeps this when the frame lays it out again.
TEST(ToolBarExTest, DockedBarsOverlapByTwoPixelsButAFlatCustomisableOne) {
  QMainWindow frame;
  FrameEnableDocking(&frame, ctl::CBRS_ALIGN_TOP);
  auto* first = new QToolBar(&frame);
  first->addAction(QStringLiteral("One"));
  auto* second = new CToolBarEx(&frame);
  second->SetButtons({Btn(0, 32821)});
  second->SetButtonSet();
  auto* flat = new CToolBarEx(&frame);
  flat->SetButtons({Btn(0, 32822)});
  flat->SetButtonSet();
  flat->SetFlat(true);
  for (QToolBar* bar : std::initializer_list<QToolBar*>{first, second, flat}) frame.addToolBar(Qt::TopToolBarArea, bar);
  frame.resize(600, 300);
  frame.show();
  for (int width : {600, 700}) {
    frame.resize(width, 300);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();  // the layout, then the rows set
    ASSERT_EQ(second->y(), first->y());
    EXPECT_EQ(second->x(), first->x() + first->width() - 2) << width;
    EXPECT_EQ(flat->x(), second->x() + second->width()) << width;
  }
}

TEST(ToolBarExTest, FlatBordersAndTheEtchedLineOfABarWithoutDocking) {
  QWidget window;
  QPalette pal = window.palette();
  pal.setColor(QPalette::Button, QColor(212, 208, 200));
  pal.setColor(QPalette::Light, QColor(255, 255, 255));
  pal.setColor(QPalette::Mid, QColor(128, 128, 128));
  window.setPalette(pal);
  auto* bar = new CToolBarEx(&window);
  bar->SetButtons({Btn(0, 32821)});
  bar->SetButtonSet();
  bar->SetFlat(true);
  bar->SetBarStyle(ctl::CBRS_SIZE_DYNAMIC | ctl::CBRS_BORDER_ANY);
  bar->setGeometry(0, 0, 200, 40);
  window.show();
  struct Case {
    unsigned extra;
    bool docking;
    QColor left, top, right, bottom, belowTop;
  };
  const QColor face(212, 208, 200), light(255, 255, 255), shadow(128, 128, 128);
  const Case cases[] = {
      {0, false, shadow, shadow, shadow, shadow, shadow},       // etched: shadow, then highlight
      {ctl::CBRS_BORDER_3D, false, light, light, shadow, shadow, shadow},
      {ctl::CBRS_BORDER_3D, true, light, light, shadow, shadow, face},
  };
  for (const Case& c : cases) {
    bar->SetBarStyle(ctl::CBRS_SIZE_DYNAMIC | ctl::CBRS_BORDER_ANY | c.extra);
    if (c.docking) bar->EnableDocking(ctl::CBRS_ALIGN_ANY);
    bar->setMovable(false);
    EXPECT_EQ(PixelOf(bar, 0, 20), c.left) << c.extra << c.docking;
    EXPECT_EQ(PixelOf(bar, 100, 0), c.top) << c.extra << c.docking;
    EXPECT_EQ(PixelOf(bar, 199, 20), c.right) << c.extra << c.docking;
    EXPECT_EQ(PixelOf(bar, 100, 39), c.bottom) << c.extra << c.docking;
    EXPECT_EQ(PixelOf(bar, 150, 1), c.belowTop) << c.extra << c.docking;
    if (!c.docking) EXPECT_EQ(PixelOf(bar, 150, 2), light);
  }
}

TEST(ToolBarExTest, CustomiseMovesButtonsTextAtOnceIconsAtTheClose) {
  CToolBarEx bar;
  bar.SetButtons({Btn(0, 32821), Btn(1, 32822), Btn(2, 32823)});
  bar.SetButtonSet();
  {
    CCustomizeDialog dlg(&bar, bar.TextOption(), bar.IconOption());
    dlg.current()->setCurrentRow(2);
    dlg.moveUp()->click();
    EXPECT_EQ(bar.Buttons()[1].idCommand, 32823);
    EXPECT_EQ(dlg.current()->currentRow(), 1);
    dlg.moveDown()->click();
    dlg.moveDown()->click();  // already last: nothing moves
    EXPECT_EQ(bar.Buttons()[2].idCommand, 32823);
    EXPECT_FALSE(dlg.moveDown()->isEnabled());
    dlg.current()->setCurrentRow(0);
    EXPECT_FALSE(dlg.moveUp()->isEnabled());
    EXPECT_EQ(dlg.available()->item(0)->text(), QStringLiteral("Separator"));
  }
  {
    // The dialog's own texts follow the program's language; an empty text gives the English back.
    CCustomizeDialog::SetText(QStringLiteral("separator"), QStringLiteral("分隔符"));
    CCustomizeDialog::SetText(QStringLiteral("title"), QStringLiteral("自定义工具栏"));
    CCustomizeDialog::SetText(QStringLiteral("text1"), QStringLiteral("右侧选择性文本"));
    CCustomizeDialog::SetText(QStringLiteral("icon1"), QStringLiteral("大图标"));
    bar.setWindowTitle(QStringLiteral("格式"));
    CCustomizeDialog dlg(&bar, bar.TextOption(), bar.IconOption());
    EXPECT_EQ(dlg.available()->item(0)->text(), QStringLiteral("分隔符"));
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("自定义工具栏 - 格式"));
    EXPECT_EQ(dlg.textList()->itemText(1), QStringLiteral("右侧选择性文本"));
    EXPECT_EQ(dlg.iconList()->itemText(1), QStringLiteral("大图标"));
    EXPECT_EQ(dlg.textList()->itemText(2), QStringLiteral("No Text Labels"));
    for (const char* key : {"separator", "title", "text1", "icon1"}) CCustomizeDialog::SetText(QString::fromUtf8(key), QString());
    EXPECT_EQ(CCustomizeDialog::Text(QStringLiteral("separator")), QStringLiteral("Separator"));
    bar.setWindowTitle(QString());
  }
  QTimer::singleShot(0, [&] {
    auto* dlg = bar.findChild<CCustomizeDialog*>();
    ASSERT_NE(dlg, nullptr);
    emit dlg->textList()->activated(2);
    EXPECT_EQ(bar.TextOption(), 2);  // at once
    dlg->iconList()->setCurrentIndex(1);
    emit dlg->iconList()->activated(1);
    EXPECT_EQ(bar.IconOption(), 0);  // not yet
    dlg->accept();
  });
  bar.Customize();
  EXPECT_EQ(bar.IconOption(), 1);
  EXPECT_EQ(bar.iconSize(), QSize(32, 32));
  // The user opens the dialog with a double click on the bar.
  bool opened = false;
  QTimer::singleShot(0, [&] {
    if (auto* dlg = bar.findChild<CCustomizeDialog*>()) {
      opened = true;
      dlg->accept();
    }
  });
  bar.resize(400, 60);
  QTest::mouseDClick(&bar, Qt::LeftButton, {}, QPoint(390, 50));
  EXPECT_TRUE(opened);
}

TEST(ToolBarExTest, TheProgramsPictureIsRecolouredAtEachSizeAndColourChange) {
  TestSkin skin;
  QImage classic(32, 16, QImage::Format_RGB32);
  classic.fill(QColor(192, 192, 192));  // the classic face
  classic.setPixel(20, 8, qRgb(0, 0, 0));
  skin.Write(QStringLiteral("res/toolbar.bmp"), classic);
  QWidget window;
  QPalette pal = window.palette();
  pal.setColor(QPalette::Button, QColor(236, 233, 216));
  window.setPalette(pal);
  auto* bar = new CToolBarEx(&window);
  EXPECT_FALSE(bar->SetBitmapResource(QStringLiteral("missing")));
  ASSERT_TRUE(bar->SetBitmapResource(QStringLiteral("toolbar")));
  bar->SetButtons({Btn(0, 32821), Sep(), Btn(1, 32822)});
  bar->SetButtonSet();
  ASSERT_EQ(bar->Images().size(), 2);  // two commands in the set
  EXPECT_EQ(bar->Images()[0].toImage().pixelColor(3, 3), QColor(236, 233, 216));
  bar->SetIconOptions(1);
  ASSERT_EQ(bar->Images().size(), 2);
  EXPECT_EQ(bar->Images()[1].size(), QSize(32, 32));
  EXPECT_EQ(bar->Images()[1].toImage().pixelColor(8, 16), bar->palette().color(QPalette::ButtonText));
  pal.setColor(QPalette::Button, QColor(200, 220, 240));
  window.setPalette(pal);  // the colours changed: the pictures follow
  EXPECT_EQ(bar->Images()[0].toImage().pixelColor(3, 3), QColor(200, 220, 240));
}

// ---------------------------------------------------------------------------

TEST(SkinToolBarTest, RestingButtonsOverTheBackgroundKeepTheDefaultDrawing) {
  TestSkin skin;
  QWidget parent;
  parent.resize(300, 60);
  auto* bar = new CSkinToolBar(&parent);
  auto* b = bar->AddButton(100, QStringLiteral("Call"), 0, true);
  bar->resize(300, 34);
  skin.Write("bg.bmp", TestSkin::Solid(8, 40, kGreen));
  skin.Write("strip.bmp", TestSkin::Solid(40, 19, kRed));
  bar->SetBackgroundBitmapFile(skin.Path("bg.bmp"), 0);
  bar->SetButtonImagesFromFile(20, 19, skin.Path("strip.bmp").section('/', 0, -2), QStringLiteral("strip.bmp"),
                               RGB(255, 0, 255), false);
  parent.show();
  // At rest: no plate, the background shows through the button, and its picture is drawn.
  EXPECT_EQ(PixelOf(bar, b->x() + b->width() / 2, b->y() + b->height() - 2), kGreen);
  EXPECT_EQ(PixelOf(bar, b->x() + 10, b->y() + b->height() / 2), kRed);
  // Checked: the plate and the line before the drop arrow.
  b->setCheckable(true);
  b->setChecked(true);
  const QImage drawn = b->grab().toImage();
  // The face's text area ends a pixel in; the 12-pixel arrow area closes it, the line just before, in the
  // painter's own pen.
  EXPECT_EQ(drawn.pixelColor(b->width() - 15, b->height() / 2), QColor(0, 0, 0));
  EXPECT_EQ(drawn.pixelColor(b->width() / 2, b->height() - 3), ctl::ToQColor(bar->CheckedColor));
  // The checked plate is outlined a pixel in, in the same pen.
  EXPECT_EQ(drawn.pixelColor(b->width() / 2, 1), QColor(0, 0, 0));
  EXPECT_EQ(drawn.pixelColor(b->width() / 2, b->height() - 2), QColor(0, 0, 0));
  EXPECT_EQ(drawn.pixelColor(1, b->height() / 2), QColor(0, 0, 0));
  // A text longer than the button runs on to the text rectangle's end, under the arrow's area.
  QPalette pal = b->palette();
  pal.setColor(QPalette::ButtonText, QColor(0, 0, 255));
  b->setPalette(pal);
  b->setText(QString(40, QLatin1Char('W')));
  b->setFixedWidth(90);
  const QImage longText = b->grab().toImage();
  int inked = 0;
  for (int x = b->width() - 13; x < b->width() - 2; ++x)
    for (int y = 0; y < b->height(); ++y) {
      const QColor c = longText.pixelColor(x, y);
      inked += c.blue() > c.red() + 60 && c.blue() > c.green() + 60;  // the ink, however smoothed
    }
  EXPECT_GT(inked, 0);
  // Disabled but checked: still the plate, with the normal picture and the normal text colour.
  skin.Write("off.bmp", TestSkin::Solid(40, 19, QColor(128, 128, 128)));
  ASSERT_TRUE(bar->SetDisabledImagesFromFile(20, 19, skin.Path("off.bmp"), RGB(255, 0, 255)));
  b->setText(QStringLiteral("WWW"));
  b->setEnabled(false);
  const QImage disabled = b->grab().toImage();
  EXPECT_EQ(disabled.pixelColor(3 + 10, 3 + 9), kRed);
  int blueInk = 0;
  for (int x = 25; x < b->width() - 14; ++x)
    for (int y = 0; y < b->height(); ++y) {
      const QColor c = disabled.pixelColor(x, y);
      blueInk += c.blue() > c.red() + 60 && c.blue() > c.green() + 60;
    }
  EXPECT_GT(blueInk, 0) << "the text keeps the button text colour";
}

// ---------------------------------------------------------------------------

TEST(LinkTest, LinkCursorDefaultsToTheHand) {
  CUrlLink link;
  struct Case {
    std::optional<QCursor> set;
    Qt::CursorShape want;
  };
  const Case cases[] = {
      {std::nullopt, Qt::PointingHandCursor},
      {QCursor(Qt::CrossCursor), Qt::CrossCursor},
      {std::nullopt, Qt::PointingHandCursor},
  };
  EXPECT_EQ(link.GetLinkCursor().shape(), Qt::PointingHandCursor);
  for (const Case& c : cases) {
    link.SetLinkCursor(c.set);
    EXPECT_EQ(link.GetLinkCursor().shape(), c.want);
    EXPECT_EQ(link.cursor().shape(), c.want);
  }
}

TEST(ResourceCursorTest, TheDefaultSkinsCursorsLoadWithTheirHotSpots) {
  ctl::SetResourceFolder(TESSALY_BINARY_DIR "/res");
  struct Case {
    int id;
    QPoint hot;
  };
  const Case cases[] = {{ctl::kHandCursor, {6, 1}}, {205, {16, 16}}, {206, {16, 16}}};
  for (const Case& c : cases) {
    const std::optional<QCursor> cursor = ctl::ResourceCursor(c.id);
    ASSERT_TRUE(cursor.has_value()) << c.id;
    EXPECT_EQ(cursor->pixmap().size(), QSize(32, 32)) << c.id;
    EXPECT_EQ(cursor->hotSpot(), c.hot) << c.id;
  }
  CUrlLink link;  // a link takes the program's hand, not the system's
  EXPECT_EQ(link.GetLinkCursor().shape(), Qt::BitmapCursor);
  EXPECT_EQ(link.GetLinkCursor().hotSpot(), QPoint(6, 1));
  ctl::SetResourceFolder("res");
}

TEST(ResourceCursorTest, AHotSpotOutsideThePictureFallsToTheTopLeft) {
  TestSkin skin;
  QFile good(TESSALY_BINARY_DIR "/res/106.cur");
  ASSERT_TRUE(good.open(QIODevice::ReadOnly));
  QByteArray bytes = good.readAll();
  bytes[10] = char(40);  // x hot spot 40 of a 32-pixel picture
  QDir().mkpath(QStringLiteral("res"));
  QFile bad(QStringLiteral("res/900.cur"));
  ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
  bad.write(bytes);
  bad.close();
  const std::optional<QCursor> cursor = ctl::ResourceCursor(900);
  ASSERT_TRUE(cursor.has_value());
  EXPECT_EQ(cursor->hotSpot(), QPoint(0, 0));
}

// ---------------------------------------------------------------------------

TEST(FlatComboTest, FlatEdgesInTheFaceColourAndSystemCharactersEaten) {
  QWidget window;
  QPalette pal = window.palette();
  pal.setColor(QPalette::Button, QColor(212, 208, 200));
  pal.setColor(QPalette::Light, QColor(255, 255, 255));
  pal.setColor(QPalette::Mid, QColor(128, 128, 128));
  window.setPalette(pal);
  auto* combo = new CCJFlatComboBox(&window, true);
  combo->addItems({QStringLiteral("alpha"), QStringLiteral("beta")});
  combo->setGeometry(10, 10, 150, 24);
  window.show();
  EXPECT_EQ(combo->FaceColor(), RGB(212, 208, 200));
  struct Case {
    int look;
    QColor topLeft, bottomRight;
  };
  const Case cases[] = {
      {CCJFlatComboBox::kFlat, QColor(212, 208, 200), QColor(212, 208, 200)},
      {CCJFlatComboBox::kRaised, QColor(128, 128, 128), QColor(255, 255, 255)},
  };
  for (const Case& c : cases) {
    combo->ForceLook(c.look);
    EXPECT_EQ(PixelOf(combo, 0, 12), c.topLeft) << c.look;
    EXPECT_EQ(PixelOf(combo, 149, 12), c.bottomRight) << c.look;
  }
  pal.setColor(QPalette::Button, QColor(200, 220, 240));
  combo->setPalette(pal);
  EXPECT_EQ(combo->FaceColor(), RGB(200, 220, 240));  // colours re-read on a change
  // Alt+letter never reaches a shortcut: the box takes the override.
  for (QWidget* target : {static_cast<QWidget*>(combo), static_cast<QWidget*>(combo->lineEdit())}) {
    QKeyEvent alt(QEvent::ShortcutOverride, Qt::Key_X, Qt::AltModifier, QStringLiteral("x"));
    alt.ignore();
    QCoreApplication::sendEvent(target, &alt);
    EXPECT_TRUE(alt.isAccepted());
  }
  QComboBox plain(&window);
  QKeyEvent alt(QEvent::ShortcutOverride, Qt::Key_X, Qt::AltModifier, QStringLiteral("x"));
  alt.ignore();
  QCoreApplication::sendEvent(&plain, &alt);
  EXPECT_FALSE(alt.isAccepted());
}

// The drop-down area's lines sit inside its two face-coloured rings: one pixel in from the ring's
// left and right, on its top and bottom rows (one lower and further right when pressed).
TEST(FlatComboTest, TheDropDownLinesSitInsideTheAreasRings) {
  QWidget window;
  QPalette pal = window.palette();
  const QColor face(212, 208, 200), hi(255, 255, 255), sh(128, 128, 128);
  pal.setColor(QPalette::Button, face);
  pal.setColor(QPalette::Light, hi);
  pal.setColor(QPalette::Mid, sh);
  window.setPalette(pal);
  auto* combo = new CCJFlatComboBox(&window, false);
  combo->addItems({QStringLiteral("alpha")});
  combo->setGeometry(10, 10, 150, 24);
  window.show();
  // Inside the two outer frames: x 2..147, y 2..21; the area is the last ButtonWidth columns.
  const int bw = combo->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, combo);
  const int left = 148 - bw;
  struct Case {
    int look;
    int x, y;
    QColor colour;
  };
  const Case cases[] = {
      {CCJFlatComboBox::kFlat, left, 12, hi},          // the second line, one pixel further left
      {CCJFlatComboBox::kFlat, left + 1, 12, hi},
      {CCJFlatComboBox::kFlat, 146, 12, hi},
      {CCJFlatComboBox::kFlat, 147, 12, face},
      {CCJFlatComboBox::kFlat, left + 2, 2, hi},
      {CCJFlatComboBox::kFlat, left + 2, 1, face},
      {CCJFlatComboBox::kFlat, left + 2, 21, hi},
      {CCJFlatComboBox::kRaised, left, 12, face},
      {CCJFlatComboBox::kRaised, left + 1, 12, hi},
      {CCJFlatComboBox::kRaised, left + 2, 2, hi},
      {CCJFlatComboBox::kRaised, 146, 12, sh},
      {CCJFlatComboBox::kRaised, 147, 12, face},
      {CCJFlatComboBox::kRaised, left + 2, 21, sh},
      {CCJFlatComboBox::kPressed, left + 1, 12, face},
      {CCJFlatComboBox::kPressed, left + 2, 12, sh},
      {CCJFlatComboBox::kPressed, left + 3, 3, sh},
      {CCJFlatComboBox::kPressed, 147, 12, hi},
      {CCJFlatComboBox::kPressed, left + 3, 22, hi},
  };
  for (const Case& c : cases) {
    combo->ForceLook(c.look);
    EXPECT_EQ(PixelOf(combo, c.x, c.y), c.colour) << c.look << " at " << c.x << "," << c.y;
  }
}

TEST(FlatComboTest, ThePressedLookIsDrawnOnlyByTheTimerStep) {
  QWidget window;
  auto* combo = new CCJFlatComboBox(&window, true);
  combo->addItems({QStringLiteral("alpha"), QStringLiteral("beta")});
  combo->setGeometry(10, 10, 150, 24);
  window.show();
  combo->setFocus();
  QCoreApplication::processEvents();
  combo->TimerStep();  // raised while the focus is held
  combo->grab();
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(0, 0), combo->mapToGlobal(QPointF(0, 0)), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(combo, &press);
  EXPECT_EQ(combo->CurrentLook(), CCJFlatComboBox::kRaised);  // a painting with the button down: raised
  combo->TimerStep();
  EXPECT_EQ(combo->CurrentLook(), CCJFlatComboBox::kPressed);  // the step draws it pressed
  combo->grab();
  EXPECT_EQ(combo->CurrentLook(), CCJFlatComboBox::kRaised);  // until the next painting
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(0, 0), combo->mapToGlobal(QPointF(0, 0)), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(combo, &release);
}

// ---------------------------------------------------------------------------

TEST(StaticsTest, TheTabBodyHasItsThreeDimensionalFrame) {
  struct Sheet : QTabWidget {
    using QTabWidget::setTabBar;
  } sheet;
  QPalette pal = sheet.palette();
  pal.setColor(QPalette::Light, QColor(255, 255, 255));
  pal.setColor(QPalette::Mid, QColor(128, 128, 128));
  sheet.setPalette(pal);
  auto* tabs = new CSkinTabCtrl(&sheet);
  sheet.setTabBar(tabs);
  sheet.setDocumentMode(true);
  auto* page = new QWidget;
  page->setAutoFillBackground(true);
  QPalette pp = page->palette();
  pp.setColor(QPalette::Window, kRed);
  page->setPalette(pp);
  sheet.addTab(page, QStringLiteral("Start"));
  sheet.resize(300, 200);
  sheet.show();
  QCoreApplication::processEvents();
  QWidget* body = tabs->Body();
  ASSERT_NE(body, nullptr);
  const int y = body->height() / 2;
  EXPECT_EQ(PixelOf(body, 0, y), QColor(255, 255, 255));
  // One dark line on the last column and row, over the frame's shadow; the page reaches up to it.
  EXPECT_EQ(PixelOf(body, body->width() - 1, y), QColor(64, 64, 64));
  EXPECT_EQ(PixelOf(body, body->width() / 2, body->height() - 1), QColor(64, 64, 64));
  EXPECT_EQ(PixelOf(body, body->width() - 2, y), kRed);
  EXPECT_EQ(PixelOf(body, body->width() / 2, body->height() - 2), kRed);
  EXPECT_EQ(PixelOf(body, body->width() / 2, y), kRed);  // the page inside
}

TEST(StaticsTest, APictureNotHighlightedIsMonochrome) {
  TestSkin skin;
  QImage img(60, 40, QImage::Format_RGB32);
  img.fill(QColor(220, 200, 60));
  skin.Write("pic.bmp", img);
  CPictureStatic pic;
  pic.resize(60, 70);
  pic.SetPicture(skin.Path("pic.bmp"), QStringLiteral("Room"), false);
  pic.show();
  const QColor grey = PixelOf(&pic, 30, 10);
  EXPECT_TRUE(grey == QColor(Qt::white) || grey == QColor(Qt::black)) << grey.name().toStdString();
  pic.SetHighlighted(true);
  EXPECT_EQ(PixelOf(&pic, 30, 10), QColor(220, 200, 60));
}

}  // namespace
