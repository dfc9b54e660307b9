// Widget tests of the drawn menu and the picture buttons' wider interface: what each call changes, drawn offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBitmap>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QStyleOption>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include "test_skin.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/shaped_button.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_button.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/controls/styled_button.h"
#include "ui/controls/trel_menu.h"

namespace {

const QColor kRed(200, 30, 30), kGreen(30, 160, 60), kBlue(30, 60, 200);
const QColor kParentBg(10, 220, 230);

QStringList Texts(const QMenu& m) {
  QStringList out;
  for (QAction* a : m.actions()) out << (a->isSeparator() ? QStringLiteral("-") : a->text());
  return out;
}

QByteArray ToolbarResource(int w, int h, std::initializer_list<quint16> commands) {
  QByteArray out;
  auto word = [&](quint16 v) {
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
  };
  word(1);
  word(static_cast<quint16>(w));
  word(static_cast<quint16>(h));
  word(static_cast<quint16>(commands.size()));
  for (quint16 c : commands) word(c);
  return out;
}

// A strip of 16 x 15 cells, one colour each.
QImage Strip(std::initializer_list<QColor> colours) {
  QImage img(16 * static_cast<int>(colours.size()), 15, QImage::Format_RGB32);
  int x = 0;
  for (const QColor& c : colours) {
    for (int y = 0; y < 15; ++y)
      for (int i = 0; i < 16; ++i) img.setPixelColor(x + i, y, c);
    x += 16;
  }
  return img;
}

QImage Shown(TrelMenu* m, QAction* active = nullptr) {
  m->adjustSize();
  m->popup(QPoint(0, 0));
  if (active) m->setActiveAction(active);
  QApplication::processEvents();
  const QImage img = m->grab().toImage();
  m->hide();
  return img;
}

// ---------------------------------------------------------------------------

TEST(TrelMenuInterfaceTest, InsertPlacesByPositionOrBeforeTheCommandInAnySubMenu) {
  struct Case {
    const char* name;
    int position;
    UINT flags;
    QStringList top, sub;
  };
  const Case cases[] = {
      {"first by position", 0, MF_BYPOSITION, {"New", "A", "Sub", "B"}, {"C", "D"}},
      {"end by position", -1, MF_BYPOSITION, {"A", "Sub", "B", "New"}, {"C", "D"}},
      {"before a command of the sub-menu", 4, MF_BYCOMMAND, {"A", "Sub", "B"}, {"C", "New", "D"}},
      {"before a top-level command", 2, MF_BYCOMMAND, {"A", "Sub", "New", "B"}, {"C", "D"}},
  };
  for (const Case& c : cases) {
    TrelMenu m;
    m.AppendMenu(0, 1, QStringLiteral("A"));
    TrelMenu* sub = m.AppendPopup(QStringLiteral("Sub"));
    sub->AppendMenu(0, 3, QStringLiteral("C"));
    sub->AppendMenu(0, 4, QStringLiteral("D"));
    m.AppendMenu(0, 2, QStringLiteral("B"));
    ASSERT_NE(m.InsertMenu(c.position, c.flags, 9, QStringLiteral("New")), nullptr) << c.name;
    EXPECT_EQ(Texts(m), c.top) << c.name;
    EXPECT_EQ(Texts(*sub), c.sub) << c.name;
    EXPECT_TRUE(m.ItemFlags(0) & MF_OWNERDRAW) << c.name;
  }
  TrelMenu m;
  m.AppendMenu(0, 1, QStringLiteral("A"));
  EXPECT_EQ(m.InsertMenu(77, MF_BYCOMMAND, 9, QStringLiteral("x")), nullptr);
  EXPECT_EQ(m.InsertMenu(5, MF_BYPOSITION, 9, QStringLiteral("x")), nullptr);
}

TEST(TrelMenuInterfaceTest, TextsAndSubMenusByPositionCommandOrText) {
  TrelMenu m;
  m.AppendMenu(0, 1, QStringLiteral("Call"));
  TrelMenu* sub = m.AppendPopup(QStringLiteral("Status"));
  sub->AppendMenu(0, 5, QStringLiteral("Online"));
  QString text;
  EXPECT_TRUE(m.GetMenuText(5, &text));
  EXPECT_EQ(text, QStringLiteral("Online"));
  EXPECT_TRUE(m.SetMenuText(0, QStringLiteral("Dial"), MF_BYPOSITION));
  EXPECT_TRUE(m.GetMenuText(0, &text, MF_BYPOSITION));
  EXPECT_EQ(text, QStringLiteral("Dial"));
  EXPECT_FALSE(m.SetMenuText(99, QStringLiteral("x")));
  EXPECT_FALSE(m.GetMenuText(7, &text, MF_BYPOSITION));
  EXPECT_EQ(m.GetSubMenu(1), sub);
  EXPECT_EQ(m.GetSubMenu(QStringLiteral("Status")), sub);
  EXPECT_EQ(m.GetSubMenu(0), nullptr);
  EXPECT_EQ(m.GetSubMenu(QStringLiteral("Nope")), nullptr);
  const QString renamed = QStringLiteral("Available");
  EXPECT_TRUE(m.ModifyItem(QStringLiteral("Online"), &renamed));
  EXPECT_EQ(sub->actions().at(0)->text(), renamed);
  EXPECT_FALSE(m.ModifyItem(QStringLiteral("Online"), &renamed));
}

TEST(TrelMenuInterfaceTest, DeletingByTextTakesTheSeparatorsAskedFor) {
  struct Case {
    int option;
    QStringList left;
  };
  const Case cases[] = {{0, {"A", "-", "B", "-"}}, {1, {"A", "-", "B"}}, {2, {"A", "-", "B"}}, {3, {"A", "-"}}};
  for (const Case& c : cases) {
    TrelMenu m;
    m.AppendMenu(0, 1, QStringLiteral("A"));
    m.AppendMenu(MF_SEPARATOR, 0, QString());
    m.AppendMenu(0, 2, QStringLiteral("B"));
    m.AppendMenu(MF_SEPARATOR, 0, QString());
    m.AppendMenu(0, 3, QStringLiteral("C"));
    EXPECT_TRUE(m.DeleteMenu(QStringLiteral("C"), c.option));
    EXPECT_EQ(Texts(m), c.left) << "option " << c.option;
  }
  TrelMenu m;
  EXPECT_FALSE(m.RemoveMenu(QStringLiteral("C"), 1));
}

TEST(TrelMenuInterfaceTest, DeletingAPopupFreesItsSubMenusAndTheirItems) {
  TrelMenu m;
  m.AppendMenu(0, 1, QStringLiteral("A"));
  QPointer<TrelMenu> sub = m.AppendPopup(QStringLiteral("Sub"));
  QPointer<TrelMenu> inner = sub->AppendPopup(QStringLiteral("Inner"));
  QPointer<QAction> item = inner->AppendMenu(0, 42, QStringLiteral("Deep"));
  EXPECT_TRUE(TrelMenu::IsOwnMenu(inner));
  EXPECT_EQ(m.FindCommand(42), item.data());
  EXPECT_TRUE(m.DeleteMenu(1, MF_BYPOSITION));
  EXPECT_TRUE(sub.isNull());
  EXPECT_TRUE(inner.isNull());
  EXPECT_TRUE(item.isNull());
  EXPECT_EQ(m.FindCommand(42), nullptr);
  EXPECT_EQ(Texts(m), QStringList{"A"});
  // By command the item is found in a sub-menu.
  TrelMenu* again = m.AppendPopup(QStringLiteral("Again"));
  again->AppendMenu(0, 43, QStringLiteral("X"));
  EXPECT_TRUE(m.RemoveMenu(43));
  EXPECT_TRUE(again->actions().isEmpty());
  EXPECT_FALSE(m.DeleteMenu(43));
}

TEST(TrelMenuInterfaceTest, DirectlyAddedItemsGetRecordsBeforeAMnemonicIsLookedUp) {
  TrelMenu m;
  m.AppendMenu(0, 1, QStringLiteral("&Open"));
  m.addAction(QStringLiteral("&Quit"));  // straight through the base menu
  EXPECT_EQ(m.RecordCount(), 1);
  EXPECT_EQ(TrelMenu::HandleMenuChar(QLatin1Char('q'), &m), 1);
  EXPECT_EQ(m.RecordCount(), 2);
  EXPECT_TRUE(m.ItemFlags(1) & MF_OWNERDRAW);
  m.addSeparator();
  EXPECT_TRUE(TrelMenu::UpdateMenu(&m));
  EXPECT_EQ(m.ItemFlags(2), MF_SEPARATOR | MF_OWNERDRAW);
  // Inserted by position, the record keeps MF_BYPOSITION until a modification.
  m.InsertMenu(0, MF_BYPOSITION, 0, QString());
  EXPECT_EQ(m.ItemFlags(0), MF_SEPARATOR | MF_OWNERDRAW | MF_BYPOSITION);
  m.InsertMenu(0, MF_BYPOSITION, 7, QStringLiteral("Seven"));
  EXPECT_EQ(m.ItemFlags(0), MF_BYPOSITION | MF_OWNERDRAW);
  const QString six = QStringLiteral("Six");
  EXPECT_TRUE(m.ModifyItem(7, &six, -1));
  EXPECT_EQ(m.ItemFlags(0), static_cast<UINT>(MF_OWNERDRAW));
  QMenu plain;
  EXPECT_FALSE(TrelMenu::UpdateMenu(&plain));
}

TEST(TrelMenuInterfaceTest, RadioItemsDrawADotAndCheckItemsAMark) {
  TrelMenu m;
  QAction* radio = m.AppendMenu(MF_RADIOCHECK | MF_CHECKED, 1, QStringLiteral("Online"));
  QAction* check = m.AppendMenu(MF_CHECKED, 2, QStringLiteral("On top"));
  const QImage img = Shown(&m);
  const QColor ink = m.palette().color(QPalette::WindowText);
  const int W = TrelMenu::ImageSize().width(), Hi = TrelMenu::ImageSize().height();
  auto boxOf = [&](QAction* a) {
    const QRect r = m.actionGeometry(a);
    const int dy = std::max(0, (r.height() - 4 - Hi) / 2);
    return QRect(r.left() + 1, r.top() + 2 + dy, W, Hi);
  };
  // The dot fills the middle of its 6 x 6 circle at (left + 5, top + 4).
  const QRect rb = boxOf(radio);
  EXPECT_EQ(img.pixelColor(rb.left() + 7, rb.top() + 6), ink);
  EXPECT_EQ(img.pixelColor(rb.left() + 8, rb.top() + 7), ink);
  // The check mark's first stroke is at (left + 4, top + 6); the dot's middle is empty there.
  const QRect cb = boxOf(check);
  EXPECT_EQ(img.pixelColor(cb.left() + 4, cb.top() + 6), ink);
  EXPECT_NE(img.pixelColor(cb.left() + 7, cb.top() + 4), ink);
  EXPECT_NE(img.pixelColor(rb.left() + 4, rb.top() + 6), ink);
  radio->setChecked(false);
  const QImage off = Shown(&m);
  EXPECT_NE(off.pixelColor(rb.left() + 7, rb.top() + 6), ink);
}

TEST(TrelMenuInterfaceTest, AnItemThatOpensASubMenuMeasuresAsAnyOther) {
  TrelMenu m;
  const int mode = TrelMenu::DrawMode();
  const int W = TrelMenu::ImageSize().width();
  for (int xp : {0, 1}) {
    TrelMenu::SetDrawMode(xp);
    QStyleOptionMenuItem item;
    item.initFrom(&m);
    item.text = QStringLiteral("&Status");
    item.menuItemType = QStyleOptionMenuItem::Normal;
    const QSize plain = m.style()->sizeFromContents(QStyle::CT_MenuItem, &item, QSize(), &m);
    item.menuItemType = QStyleOptionMenuItem::SubMenu;
    const QSize sub = m.style()->sizeFromContents(QStyle::CT_MenuItem, &item, QSize(), &m);
    const int tw = item.fontMetrics.horizontalAdvance(QStringLiteral("&Status"));
    EXPECT_EQ(plain.width(), (xp ? W + 7 + tw + 8 : W + tw + W + 1) + 12) << xp;
    EXPECT_EQ(sub.width(), plain.width()) << xp;
  }
  TrelMenu::SetDrawMode(mode);
}

TEST(TrelMenuInterfaceTest, AnItemIsAsWideAsItsWholeTextMeasures) {
  // '&' counts as a character and a tab as one more; the accelerator after it is counted once.
  const int mode = TrelMenu::DrawMode();
  TrelMenu::SetDrawMode(0);
  TrelMenu plain, accel;
  plain.AppendMenu(0, 1, QStringLiteral("Open"));
  accel.AppendMenu(0, 1, QStringLiteral("&Open\tCtrl+O"));
  const QFontMetrics fm = accel.fontMetrics();
  const int tab = fm.horizontalAdvance(QLatin1Char('\t'));
  EXPECT_EQ(accel.sizeHint().width() - plain.sizeHint().width(),
            fm.horizontalAdvance(QStringLiteral("&Open")) + tab + fm.horizontalAdvance(QStringLiteral("Ctrl+O")) -
                fm.horizontalAdvance(QStringLiteral("Open")));
  // A wider item without an accelerator sets the width by itself.
  TrelMenu both;
  both.AppendMenu(0, 1, QStringLiteral("&Open\tCtrl+O"));
  both.AppendMenu(0, 2, QString(40, QLatin1Char('w')));
  TrelMenu wide;
  wide.AppendMenu(0, 2, QString(40, QLatin1Char('w')));
  EXPECT_EQ(both.sizeHint().width(), wide.sizeHint().width());
  TrelMenu::SetDrawMode(mode);
}

TEST(TrelMenuInterfaceTest, AColourSwatchIsTheCommandsImage) {
  TrelMenu m;
  QAction* a = m.AppendMenu(0, 7001, QStringLiteral("Red"));
  const QString name = QStringLiteral("Dark red");
  EXPECT_TRUE(m.ModifyItem(&name, 7001, RGB(150, 0, 0), RGB(0, 0, 255), -1, QSize(10, 9)));
  EXPECT_EQ(a->text(), name);
  const QImage img = TrelMenu::CommandImage(7001).toImage();
  const QSize size = TrelMenu::ImageSize();
  ASSERT_EQ(img.size(), size);
  const int x0 = (size.width() - 10) / 2, y0 = (size.height() - 9) / 2;
  EXPECT_EQ(img.pixelColor(x0 + 5, y0 + 4), QColor(150, 0, 0));
  EXPECT_EQ(img.pixelColor(x0, y0 + 4), QColor(0, 0, 255));
  EXPECT_EQ(img.pixelColor(x0 + 9, y0 + 8), QColor(0, 0, 255));
  EXPECT_EQ(img.pixelColor(0, 0), m.palette().color(QPalette::Window));
  // Hatched: the gaps show white.
  const QPixmap hatched = TrelMenu::ColourSwatch(RGB(0, 120, 0), RGB(0, 0, 0), 4, QSize(), Qt::gray);
  const QImage h = hatched.toImage();
  bool white = false, green = false;
  for (int y = 1; y < h.height() - 1; ++y)
    for (int x = 1; x < h.width() - 1; ++x) {
      white |= h.pixelColor(x, y) == QColor(Qt::white);
      green |= h.pixelColor(x, y) == QColor(0, 120, 0);
    }
  EXPECT_TRUE(white && green);
  EXPECT_FALSE(m.ModifyItem(&name, 9999, RGB(1, 2, 3), RGB(1, 2, 3)));
}

TEST(TrelMenuInterfaceTest, DisabledImagesTakeTheChosenLook) {
  // A dark and a light pixel: the one-bit form keeps only the dark one, the mask both, the washed
  // copy fades each by its brightness.
  QImage image(4, 1, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  image.setPixelColor(0, 0, QColor(40, 40, 40));
  image.setPixelColor(1, 0, QColor(200, 200, 200));
  const QColor face(212, 208, 200), hi(255, 255, 255), sh(128, 128, 128), back(240, 240, 240);
  const QImage dib = ctl::EmbossedImage(image, face, hi, sh, true).toImage();
  const QImage mask = ctl::EmbossedImage(image, face, hi, sh, false).toImage();
  EXPECT_EQ(dib.pixelColor(0, 0), sh);
  EXPECT_EQ(dib.pixelColor(1, 1), hi);  // the highlight of the dark pixel, one down and right
  EXPECT_EQ(dib.pixelColor(2, 0).alpha(), 0);
  EXPECT_EQ(mask.pixelColor(0, 0), sh);
  EXPECT_EQ(mask.pixelColor(1, 0), sh);
  EXPECT_EQ(mask.pixelColor(2, 1), hi);
  EXPECT_EQ(mask.pixelColor(3, 0).alpha(), 0);  // transparent counts as the face
  const QImage washed = ctl::WashedImage(image, face, sh, back).toImage();
  EXPECT_EQ(washed.pixelColor(3, 0), back);
  EXPECT_EQ(washed.pixelColor(0, 0), ctl::ToQColor(ctl::WashedColor(RGB(40, 40, 40), RGB(128, 128, 128))));

  // The menu draws a disabled item's image in the form its flags pick.
  TrelMenu m;
  QImage light(16, 15, QImage::Format_RGB32);
  light.fill(QColor(200, 200, 200));
  QAction* a = m.AppendBitmapMenu(MF_GRAYED, 7101, QStringLiteral("Light"), light);
  const QRect r = m.actionGeometry(a);
  const int dy = std::max(0, (r.height() - 4 - 15) / 2);
  const QPoint at(r.left() + 2 + 5, r.top() + 2 + dy + 5);
  const QColor shadow = m.palette().color(QPalette::Mid);
  const bool plain = TrelMenu::PlainBitmaps();
  TrelMenu::SetPlainBitmaps(false);
  EXPECT_EQ(Shown(&m).pixelColor(at).rgb(), shadow.rgb());  // the mask: a light pixel is still drawn
  m.SetDibEmboss(true);
  EXPECT_NE(Shown(&m).pixelColor(at).rgb(), shadow.rgb());  // one bit: light pixels drop out
  m.SetDibEmboss(false);
  TrelMenu::SetPlainBitmaps(true);
  EXPECT_EQ(Shown(&m).pixelColor(at).rgb(),
            ctl::ToQColor(ctl::WashedColor(RGB(200, 200, 200), ctl::ToColorRef(shadow))).rgb());
  TrelMenu::SetPlainBitmaps(plain);
}

TEST(TrelMenuInterfaceTest, PictureResourcesMapColoursAndSetThePlainFlag) {
  TestSkin skin;
  // A 16-colour picture: its light grey becomes the face (and so transparent with the face key).
  QImage sixteen(32, 15, QImage::Format_Indexed8);
  QList<QRgb> table;
  for (int i = 0; i < 16; ++i) table << qRgb(i * 16, 0, 0);
  table[1] = qRgb(192, 192, 192);
  table[2] = qRgb(0, 0, 200);
  sixteen.setColorTable(table);
  sixteen.fill(2);
  for (int x = 0; x < 16; ++x) sixteen.setPixel(x, 0, 1);
  ASSERT_TRUE(sixteen.save(QDir::currentPath() + "/res/300.bmp", "BMP"));
  skin.Write("res/301.bmp", Strip({kRed, kGreen}));
  TrelMenu m;
  m.ClearImageBackground();
  TrelMenu::SetPlainBitmaps(false);
  const QList<QPixmap> cells = m.LoadImageStrip(300);
  ASSERT_EQ(cells.size(), 2);
  EXPECT_EQ(cells[0].toImage().pixelColor(3, 0).alpha(), 0);
  EXPECT_EQ(cells[0].toImage().pixelColor(3, 5), QColor(0, 0, 200));
  EXPECT_FALSE(TrelMenu::PlainBitmaps());
  EXPECT_EQ(m.LoadImageStrip(301).size(), 2);
  EXPECT_TRUE(TrelMenu::PlainBitmaps());
  TrelMenu::SetPlainBitmaps(false);
  EXPECT_TRUE(m.LoadImageStrip(302).isEmpty());
}

TEST(TrelMenuInterfaceTest, CheckPicturesNeedBothAndShowForCheckedItems) {
  TestSkin skin;
  skin.Write("res/310.bmp", TestSkin::Solid(16, 15, kRed));
  skin.Write("res/311.bmp", TestSkin::Solid(16, 15, kGreen));
  TrelMenu m;
  EXPECT_FALSE(m.SetCheckImages(0, 311));
  EXPECT_FALSE(m.SetCheckImages(310, 399));
  EXPECT_FALSE(m.HasCheckImages());
  ASSERT_TRUE(m.SetCheckImages(310, 311));
  TrelMenu* sub = m.AppendPopup(QStringLiteral("Sub"));
  EXPECT_TRUE(sub->HasCheckImages());  // popups share the parent's pictures
  QAction* a = m.AppendMenu(MF_CHECKED, 1, QStringLiteral("Checked"));
  QAction* b = m.AppendMenu(0, 2, QStringLiteral("Other"));
  const QRect r = m.actionGeometry(a);
  const int dy = std::max(0, (r.height() - 4 - 15) / 2);
  const QPoint at(r.left() + 2 + 8, r.top() + 2 + dy + 7);
  EXPECT_EQ(Shown(&m, b).pixelColor(at), kRed);
  EXPECT_EQ(Shown(&m, a).pixelColor(at), kGreen);
}

TEST(TrelMenuInterfaceTest, LoadingATemplateBuildsPopupsAlignsTabsAndKeepsTheTopLevelPlain) {
  TestSkin skin;
  WriteRes("320.menu", MenuTemplate({{MF_POPUP, 0, "&File"},
                                      {0, 101, "Open\tCtrl+O"},
                                      {MF_GRAYED, 102, "Close everything\tCtrl+W"},
                                      {0, 0, ""},
                                      {MF_POPUP, 0, "Recent"},
                                      {MF_END, 103, "one.txt"},
                                      {MF_END, 104, "E&xit"},
                                      {MF_POPUP | MF_END, 0, "&Help"},
                                      {MF_END, 105, "About"}}));
  TrelMenu m;
  m.AppendMenu(0, 1, QStringLiteral("replaced"));
  ASSERT_TRUE(m.LoadMenu(320));
  EXPECT_TRUE(m.LoadedFromResource());
  EXPECT_EQ(Texts(m), (QStringList{"&File", "&Help"}));
  TrelMenu* file = m.GetSubMenu(0);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(file->actions().size(), 5);
  EXPECT_FALSE(file->actions().at(1)->isEnabled());
  EXPECT_TRUE(file->actions().at(2)->isSeparator());
  ASSERT_NE(file->GetSubMenu(3), nullptr);
  EXPECT_EQ(Texts(*file->GetSubMenu(3)), QStringList{"one.txt"});
  EXPECT_EQ(Texts(*m.GetSubMenu(1)), QStringList{"About"});
  EXPECT_NE(m.FindCommand(104), nullptr);
  // Tabs line up: the text before each tab is at least as wide as the widest one and a space.
  const QFontMetrics fm(file->font());
  const int widest = fm.horizontalAdvance(QStringLiteral("Close everything "));
  for (int i : {0, 1}) {
    const QString t = file->actions().at(i)->text();
    EXPECT_GE(fm.horizontalAdvance(t.left(t.indexOf('\t'))), widest) << qPrintable(t);
  }
  EXPECT_TRUE(file->actions().at(0)->text().startsWith(QStringLiteral("Open ")));
  // The top level stays plain strings, also after a later append; the popups' items are drawn.
  EXPECT_FALSE(m.ItemFlags(0) & MF_OWNERDRAW);
  m.AppendMenu(0, 106, QStringLiteral("Later"));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(m.ItemFlags(i) & MF_OWNERDRAW) << i;
  EXPECT_TRUE(file->ItemFlags(0) & MF_OWNERDRAW);

  TrelMenu bad;
  WriteRes("321.menu", MenuTemplate({{MF_POPUP, 0, "&File"}, {0, 101, "Open"}}));  // never closed
  EXPECT_FALSE(bad.LoadMenu(321));
  EXPECT_TRUE(bad.actions().isEmpty());
  WriteRes("322.menu", QByteArray("\0\0\0\0\x10\0&", 7));  // cut inside a text
  EXPECT_FALSE(bad.LoadMenu(322));
  EXPECT_FALSE(bad.LoadMenu(323));
  WriteRes("named.menu", MenuTemplate({{MF_END, 7, "Only"}}));
  EXPECT_TRUE(bad.LoadMenu(QStringLiteral("named")));
  EXPECT_EQ(Texts(bad), QStringList{"Only"});
}

// The same template as a plain menu: the style's own items, with their commands, states and
// separators; a bad template is refused.
TEST(PlainMenuTest, ATemplateBecomesPlainItems) {
  TestSkin skin;
  WriteRes("324.menu", MenuTemplate({{MF_POPUP | MF_END, 0, "&Format"},
                                      {MF_CHECKED, 201, "Bold"},
                                      {0, 0, ""},
                                      {MF_GRAYED | MF_END, 202, "Italic"}}));
  QMenu m;
  ASSERT_TRUE(ctl::LoadPlainMenu(324, &m));
  ASSERT_EQ(m.actions().size(), 1);
  QMenu* sub = m.actions().front()->menu();
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(qobject_cast<TrelMenu*>(sub), nullptr);
  EXPECT_EQ(Texts(*sub), (QStringList{"Bold", "-", "Italic"}));
  EXPECT_TRUE(sub->actions().at(0)->isChecked());
  EXPECT_EQ(sub->actions().at(0)->data().toInt(), 201);
  EXPECT_FALSE(sub->actions().at(2)->isEnabled());
  EXPECT_EQ(sub->actions().at(2)->data().toInt(), 202);
  WriteRes("325.menu", MenuTemplate({{MF_POPUP, 0, "&File"}, {0, 101, "Open"}}));  // never closed
  EXPECT_FALSE(ctl::LoadPlainMenu(325, &m));
  EXPECT_FALSE(ctl::LoadPlainMenu(326, &m));
}

TEST(TrelMenuInterfaceTest, ToolbarResourcesGiveEachCommandItsButtonsImage) {
  TestSkin skin;
  WriteRes("330.toolbar", ToolbarResource(16, 15, {501, 0, 502, 503}));
  skin.Write("res/330.bmp", Strip({kRed, kGreen, kBlue}));
  TrelMenu m;
  m.AppendMenu(0, 502, QStringLiteral("Second"));
  TrelMenu* sub = m.AppendPopup(QStringLiteral("Sub"));
  sub->AppendMenu(0, 503, QStringLiteral("Third"));
  ASSERT_TRUE(m.LoadToolbarImages(330));
  EXPECT_EQ(TrelMenu::CommandImage(502).toImage().pixelColor(4, 4), kGreen);  // the separator takes no image
  EXPECT_EQ(TrelMenu::CommandImage(503).toImage().pixelColor(4, 4), kBlue);
  EXPECT_TRUE(TrelMenu::CommandImage(501).isNull());  // not in the menu
  EXPECT_FALSE(m.LoadToolbarImages(std::vector<int>{330, 331}));  // all must load
  WriteRes("332.toolbar", ToolbarResource(16, 15, {1, 2, 3}).left(9));  // cut short
  EXPECT_FALSE(m.LoadToolbarImages(332));
  // Appending with a picture number takes the button of the same tool bar.
  m.AppendMenu(0, 501, QStringLiteral("First"), 330);
  EXPECT_EQ(TrelMenu::CommandImage(501).toImage().pixelColor(4, 4), kRed);
  m.AppendMenu(0, 509, QStringLiteral("Unknown"), 330);  // no button: image 0
  EXPECT_EQ(TrelMenu::CommandImage(509).toImage().pixelColor(4, 4), kRed);
  // From a tool bar's own buttons: the item gets its own copy.
  std::vector<ctl::TBBUTTON> buttons(1);
  buttons[0].idCommand = 502;
  buttons[0].iBitmap = 2;
  ASSERT_TRUE(m.LoadToolbarImages(buttons, 330));
  EXPECT_EQ(m.FindCommand(502)->icon().pixmap(16, 15).toImage().pixelColor(4, 4), kBlue);
  EXPECT_EQ(TrelMenu::CommandImage(502).toImage().pixelColor(4, 4), kGreen);  // the shared one stays
}

// Each item holds the shared entry it was given when added: a later picture for the same entry
// reaches it, but an item added before its command had a picture, or whose own picture failed to
// load, stays without one.
TEST(TrelMenuInterfaceTest, AnItemShowsOnlyTheSharedEntryItWasGiven) {
  TestSkin skin;
  WriteRes("350.toolbar", ToolbarResource(16, 15, {701}));
  skin.Write("res/350.bmp", Strip({kRed}));
  skin.Write("res/351.bmp", Strip({kGreen}));
  auto colour = [](const QAction* a) { return a->icon().pixmap(16, 15).toImage().pixelColor(4, 4); };
  TrelMenu a, b;
  QAction* early = a.AppendMenu(0, 701, QStringLiteral("Early"));
  QAction* first = b.AppendMenu(0, 701, QStringLiteral("First"), 350);
  EXPECT_EQ(colour(first), kRed);
  EXPECT_TRUE(early->icon().isNull());
  QAction* later = a.AppendMenu(0, 701, QStringLiteral("Later"));
  EXPECT_EQ(colour(later), kRed);
  b.AppendMenu(0, 701, QStringLiteral("Second"), 351);  // replaces the entry for every holder
  EXPECT_EQ(colour(first), kGreen);
  EXPECT_EQ(colour(later), kGreen);
  EXPECT_TRUE(early->icon().isNull());
  QAction* missing = b.AppendMenu(0, 701, QStringLiteral("Missing"), 352);
  QAction* missingFile = b.AppendMenu(0, 701, QStringLiteral("Missing file"), skin.Path(QStringLiteral("none.bmp")));
  QAction* inserted = b.InsertMenu(0, MF_BYPOSITION, 701, QStringLiteral("Inserted"), 352);
  for (const QAction* x : {missing, missingFile, inserted}) EXPECT_TRUE(x->icon().isNull()) << x->text().toStdString();
  EXPECT_EQ(colour(first), kGreen);
  // Changing the command's picture gives it to every item of the command in that menu.
  EXPECT_TRUE(a.ModifyItem(701, nullptr, 350));
  EXPECT_EQ(colour(early), kRed);
  EXPECT_EQ(colour(first), kRed);
  EXPECT_TRUE(missing->icon().isNull());
}

TEST(SkinToolBarResourceTest, BarFromItsToolbarResourceAndBackgroundByNumber) {
  TestSkin skin;
  WriteRes("340.toolbar", ToolbarResource(16, 15, {601, 0, 602}));
  skin.Write("res/340.bmp", Strip({kRed, kGreen}));
  skin.Write("res/341.bmp", TestSkin::Solid(8, 30, kBlue));
  CSkinToolBar bar;
  ASSERT_TRUE(bar.CreateBar(340));
  EXPECT_EQ(QSize(16, 15), bar.ImageSize());
  ASSERT_NE(nullptr, bar.Button(601));
  ASSERT_NE(nullptr, bar.Button(602));
  EXPECT_EQ(1, bar.Button(602)->imageIndex());  // the separator takes no picture
  EXPECT_EQ(kGreen, bar.Image(1, false).toImage().pixelColor(4, 4));
  EXPECT_EQ(3, bar.actions().size());
  EXPECT_FALSE(bar.CreateBar(342));  // no such resource
  WriteRes("343.toolbar", ToolbarResource(16, 15, {1, 2}).left(9));
  EXPECT_FALSE(bar.CreateBar(343));
  WriteRes("344.toolbar", ToolbarResource(16, 15, {603}));
  EXPECT_FALSE(bar.CreateBar(344));  // no picture strip
  EXPECT_EQ(3, bar.actions().size());
  bar.SetBackgroundBitmap(341, 1);
  EXPECT_TRUE(bar.HasBackground());
  EXPECT_EQ(1, bar.FrameMode());
}

TEST(TrelMenuInterfaceTest, OffscreenSurfaceCopiesBackOnlyItsRectangle) {
  QImage target(20, 20, QImage::Format_RGB32);
  target.fill(Qt::white);
  {
    QPainter p(&target);
    COffscreenDC off(&p, QRect(5, 5, 10, 10));
    EXPECT_TRUE(off.drawsInMemory());
    off.painter()->fillRect(QRect(0, 0, 20, 20), Qt::red);  // the target's coordinates
    EXPECT_EQ(target.pixelColor(7, 7), QColor(Qt::white));  // nothing until it ends
  }
  EXPECT_EQ(target.pixelColor(7, 7), QColor(Qt::red));
  EXPECT_EQ(target.pixelColor(4, 4), QColor(Qt::white));
  EXPECT_EQ(target.pixelColor(15, 15), QColor(Qt::white));
}

// ---------------------------------------------------------------------------

QPixmap SolidPixmap(int w, int h, const QColor& c) {
  QPixmap p(w, h);
  p.fill(c);
  return p;
}

TEST(StyledButtonInterfaceTest, TheSecondIconSitsWhereItsAlignmentSays) {
  QWidget parent;
  CStyledButton b(&parent);
  b.resize(100, 30);
  b.setText(QStringLiteral("Call"));
  b.SetColor(2, RGB(250, 250, 250));
  ASSERT_EQ(b.SetIcon(SolidPixmap(10, 10, kRed), QPixmap()), 0);
  ASSERT_EQ(b.SetSecondIcon(SolidPixmap(8, 8, kGreen), QPixmap()), 0);
  b.SetForcedState(false, false, false);
  EXPECT_NE(PixelOf(&b, 100 - 3 - 4, 15), kGreen);  // not shown yet
  b.ShowSecondIcon(true);
  struct Case {
    int align;
    QPoint inside;
  };
  // With a caption: right of the button at origin 3, above at origin 3, left at origin 3.
  const Case cases[] = {{2, {100 - 3 - 4, 15}}, {1, {50, 3 + 4}}, {0, {3 + 4, 15}}};
  for (const Case& c : cases) {
    EXPECT_EQ(b.SetSecondIconAlign(c.align), 0);
    EXPECT_EQ(PixelOf(&b, c.inside.x(), c.inside.y()), kGreen) << c.align;
  }
  EXPECT_EQ(b.SetSecondIconAlign(4), 4);
  b.SetSecondIconAlign(2);
  // The first icon and the caption keep their places.
  EXPECT_EQ(PixelOf(&b, 3 + 5, 15), kRed);
  b.ShowSecondIcon(false);
  EXPECT_NE(PixelOf(&b, 100 - 3 - 4, 15), kGreen);
  // Releasing the images empties the second pair too; a null icon fails.
  b.ShowSecondIcon(true);
  b.ReleaseImages();
  EXPECT_NE(PixelOf(&b, 100 - 3 - 4, 15), kGreen);
  EXPECT_EQ(b.SetSecondIcon(QPixmap(), QPixmap()), 1);
}

TEST(StyledButtonInterfaceTest, IconAndBitmapResourcesByNumber) {
  TestSkin skin;
  skin.Write("res/401.bmp", TestSkin::Solid(12, 12, kRed));
  skin.Write("res/402.bmp", TestSkin::Solid(12, 12, kBlue));
  QWidget parent;
  CStyledButton b(&parent);
  b.resize(40, 40);
  b.SetForcedState(false, false, false);
  EXPECT_EQ(b.SetIconIds(401, 402), 0);
  EXPECT_EQ(PixelOf(&b, 20, 20), kBlue);  // at rest: the out-icon
  b.SetForcedState(true, false, false);
  EXPECT_EQ(PixelOf(&b, 20, 20), kRed);
  EXPECT_EQ(b.LoadIconPair(401, 20, 20, CStyledButton::kOutGray, 0, 0), 0);
  b.SetForcedState(false, false, false);
  const QColor grey = PixelOf(&b, 20, 20);
  EXPECT_EQ(grey.red(), grey.green());
  b.SizeToImage();
  EXPECT_EQ(b.size(), QSize(20, 20));
  EXPECT_EQ(b.SetIconIds(499, 0), 1);
  EXPECT_EQ(b.LoadBitmapPair(402, RGB(255, 0, 255), CStyledButton::kOutDarker, 0), 0);
  b.resize(40, 40);
  EXPECT_EQ(PixelOf(&b, 20, 20), QColor(22, 45, 150));  // darker at rest
  EXPECT_EQ(b.LoadBitmapPair(498, 0, 0, 0), 1);
}

TEST(StyledButtonInterfaceTest, SoundRecordsCursorAndDefaultStyle) {
  CStyledButton b;
  struct Case {
    const char* name;
    const char* folder;
    bool click, async;
    UINT flags;
    const char* path;
  };
  const Case cases[] = {
      {"hover.wav", "", false, true, SND_NODEFAULT | SND_NOWAIT | SND_FILENAME | SND_ASYNC, "hover.wav"},
      {"click.wav", "", true, false, SND_NODEFAULT | SND_NOWAIT | SND_FILENAME, "click.wav"},
      {"ding", "sounds", true, true, SND_NODEFAULT | SND_NOWAIT | SND_RESOURCE | SND_ASYNC, "sounds/ding.wav"},
  };
  for (const Case& c : cases) {
    b.SetSound(QString::fromUtf8(c.name), QString::fromUtf8(c.folder), c.click, c.async);
    EXPECT_EQ(b.SoundFlags(c.click), c.flags) << c.name;
    EXPECT_EQ(b.SoundName(c.click), QString::fromUtf8(c.path)) << c.name;
  }
  EXPECT_EQ(b.SoundName(false), QStringLiteral("hover.wav"));  // records are kept apart
  b.SetSound(QString(), {}, true, false);
  EXPECT_TRUE(b.SoundName(true).isEmpty());
  EXPECT_EQ(b.SoundFlags(true), 0u);
  b.SetSound(QString(300, QLatin1Char('a')));
  EXPECT_EQ(b.SoundName(false).size(), 259);

  TestSkin skin;
  skin.Write("res/450.bmp", TestSkin::Solid(16, 16, kRed));
  EXPECT_EQ(b.SetCursorId(450), 0);
  EXPECT_EQ(b.cursor().shape(), Qt::BitmapCursor);
  EXPECT_EQ(b.SetCursorId(451), 1);
  EXPECT_NE(b.cursor().shape(), Qt::BitmapCursor);
  EXPECT_EQ(b.SetCursorId(0), 0);

  EXPECT_EQ(b.GetDlgCode(), DLGC_UNDEFPUSHBUTTON);
  WindowMessageEvent setStyle(BM_SETSTYLE, 1, 1);
  QApplication::sendEvent(&b, &setStyle);
  EXPECT_TRUE(b.IsDefaultButton());
  WindowMessageEvent code(WM_GETDLGCODE, 0, 0);
  QApplication::sendEvent(&b, &code);
  EXPECT_EQ(code.result, static_cast<LRESULT>(DLGC_DEFPUSHBUTTON));
  b.SetButtonStyle(0);
  EXPECT_FALSE(b.IsDefaultButton());
  WindowMessageEvent check(BM_SETCHECK, 2, 0);
  QApplication::sendEvent(&b, &check);
  WindowMessageEvent get(BM_GETCHECK, 0, 0);
  QApplication::sendEvent(&b, &get);
  EXPECT_EQ(get.result, 1);
}

TEST(StyledButtonInterfaceTest, TipIsFourHundredWideAndBalloonOnlyWhenAskedFirst) {
  CStyledButton plain;
  plain.SetTooltipText(QString());  // a null text does nothing
  EXPECT_EQ(plain.Tooltip(), nullptr);
  plain.SetTooltipText(QStringLiteral("Call"), false);
  ASSERT_NE(plain.Tooltip(), nullptr);
  EXPECT_EQ(plain.Tooltip()->maximumWidth(), 400);
  EXPECT_TRUE(plain.Tooltip()->wordWrap());
  EXPECT_FALSE(plain.Tooltip()->testAttribute(Qt::WA_TranslucentBackground));
  plain.SetTooltipText(QStringLiteral("Dial"));
  EXPECT_EQ(plain.Tooltip()->text(), QStringLiteral("Dial"));
  plain.EnableBalloonTooltip();  // too late: the tip exists
  EXPECT_FALSE(plain.Tooltip()->testAttribute(Qt::WA_TranslucentBackground));

  {
    TestSkin skin;
    WriteRes("strings.ini", "[strings]\r\n470=\xe5\x91\xbc\xe5\x8f\xab\r\n471=\r\n");
    CStyledButton byId;
    byId.SetTooltipTextId(471);  // empty: nothing
    EXPECT_EQ(byId.Tooltip(), nullptr);
    byId.SetTooltipTextId(470);
    ASSERT_NE(byId.Tooltip(), nullptr);
    EXPECT_EQ(byId.Tooltip()->text(), QString::fromUtf8("\xe5\x91\xbc\xe5\x8f\xab"));
  }

  QWidget parent;
  parent.resize(200, 100);
  auto* balloon = new CStyledButton(&parent);
  balloon->resize(60, 24);
  balloon->EnableBalloonTooltip();
  balloon->SetTooltipText(QStringLiteral("Hold to talk"));
  EXPECT_TRUE(balloon->Tooltip()->testAttribute(Qt::WA_TranslucentBackground));
  parent.show();
  QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), balloon->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(balloon, &help);
  EXPECT_TRUE(balloon->Tooltip()->isVisible());
  balloon->ActivateTooltip(false);
  EXPECT_FALSE(balloon->Tooltip()->isVisible());
  QApplication::sendEvent(balloon, &help);
  EXPECT_FALSE(balloon->Tooltip()->isVisible());
}

TEST(StyledButtonInterfaceTest, HoverFollowsTheMouseAndTheActiveTest) {
  QWidget parent;
  parent.resize(200, 100);
  auto* b = new CStyledButton(&parent);
  b->setGeometry(10, 10, 80, 30);
  parent.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
  QApplication::setActiveWindow(nullptr);
  b->SetTrackAlways(false);
  QTest::mouseMove(b, QPoint(20, 10));
  EXPECT_FALSE(b->Hovering());  // the application is not active
  b->SetTrackAlways(true);
  QTest::mouseMove(b, QPoint(21, 11));
  EXPECT_TRUE(b->Hovering());
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(b, &leave);
  EXPECT_FALSE(b->Hovering());
  b->SetFlatLook(false);
  QTest::mouseMove(b, QPoint(22, 12));
  EXPECT_FALSE(b->Hovering());  // only the flat look hovers
}

TEST(StyledButtonInterfaceTest, DisablingAFocusedButtonMovesTheFocusOn) {
  QWidget parent;
  parent.setFocusPolicy(Qt::StrongFocus);
  auto* a = new CStyledButton(&parent);
  auto* b = new CStyledButton(&parent);
  a->setGeometry(0, 0, 60, 24);
  b->setGeometry(70, 0, 60, 24);
  parent.show();
  QApplication::setActiveWindow(&parent);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&parent));
  a->setFocus();
  ASSERT_TRUE(a->hasFocus());
  a->SetForcedState(false, false, false);
  a->setEnabled(false);
  EXPECT_TRUE(b->hasFocus());
  b->setEnabled(false);  // nothing left to take it: the parent does
  EXPECT_TRUE(parent.hasFocus());
}

TEST(StyledButtonInterfaceTest, RestingBordersDrawTheirLightLines) {
  QWidget parent;
  QPalette pal = parent.palette();
  pal.setColor(QPalette::Light, QColor(255, 255, 255));
  pal.setColor(QPalette::Midlight, QColor(230, 0, 230));
  pal.setColor(QPalette::Mid, QColor(100, 100, 100));
  pal.setColor(QPalette::Dark, QColor(40, 40, 40));
  parent.setPalette(pal);
  CStyledButton b(&parent);
  b.resize(60, 20);
  b.SetColor(2, RGB(200, 200, 200));
  b.SetForcedState(false, false, false);
  // Flat at rest: a highlight along the top from left + 1 to right - 3; no bottom line.
  EXPECT_EQ(PixelOf(&b, 1, 0), QColor(255, 255, 255));
  EXPECT_EQ(PixelOf(&b, 57, 0), QColor(255, 255, 255));
  EXPECT_EQ(PixelOf(&b, 0, 0), QColor(200, 200, 200));
  EXPECT_EQ(PixelOf(&b, 58, 0), QColor(200, 200, 200));
  EXPECT_EQ(PixelOf(&b, 30, 19), QColor(200, 200, 200));
  b.SetEdgeLines(true);
  b.update();
  EXPECT_EQ(PixelOf(&b, 30, 19), QColor(100, 100, 100));
  // Raised: the inner light line inside the highlight.
  b.SetFlatLook(false);
  EXPECT_EQ(PixelOf(&b, 0, 10), QColor(255, 255, 255));
  EXPECT_EQ(PixelOf(&b, 1, 10), QColor(230, 0, 230));
  EXPECT_EQ(PixelOf(&b, 30, 1), QColor(230, 0, 230));
  EXPECT_EQ(PixelOf(&b, 59, 10), QColor(40, 40, 40));
  EXPECT_EQ(PixelOf(&b, 58, 10), QColor(100, 100, 100));
}

TEST(StyledButtonInterfaceTest, TransparentLookShowsTheParentsPixels) {
  QWidget parent;
  parent.setAutoFillBackground(true);
  QPalette pal = parent.palette();
  pal.setColor(QPalette::Window, kParentBg);
  parent.setPalette(pal);
  parent.resize(100, 60);
  auto* b = new CStyledButton(&parent);
  b->setGeometry(20, 20, 40, 20);
  QImage red(100, 60, QImage::Format_RGB32);
  red.fill(kRed);
  EXPECT_EQ(b->CaptureParentBackground(&red), 5);  // not transparent
  b->SetTransparentLook();
  b->SetForcedState(false, false, false);
  EXPECT_EQ(PixelOf(b, 20, 10), kParentBg);
  EXPECT_EQ(b->CaptureParentBackground(nullptr), 5);
  EXPECT_EQ(b->CaptureParentBackground(&red), 0);
  EXPECT_EQ(PixelOf(b, 20, 10), kRed);
  WindowMessageEvent sysColour(WM_SYSCOLORCHANGE, 0, 0);  // drops the saved copy
  QApplication::sendEvent(b, &sysColour);
  EXPECT_EQ(PixelOf(b, 20, 10), kParentBg);
}

// A change of the desktop's colours reaches the button as the system colour message does.
TEST(StyledButtonInterfaceTest, DesktopColourChangeResetsTheColours) {
  const QPalette before = QApplication::palette();
  CStyledButton b;
  ASSERT_EQ(b.SetColor(0, RGB(1, 2, 3), false), 0);
  QPalette changed = before;
  changed.setColor(QPalette::Button, QColor(10, 20, 30));
  QApplication::setPalette(changed);
  QApplication::processEvents();
  COLORREF face = 0;
  ASSERT_EQ(b.GetColor(0, &face), 0);
  QApplication::setPalette(before);
  EXPECT_EQ(face, RGB(10, 20, 30));
}

TEST(StyledButtonInterfaceTest, DropMenuFromAResourceCallsBackAndSendsTheCommand) {
  TestSkin skin;
  WriteRes("460.menu", MenuTemplate({{MF_POPUP | MF_END, 0, "Drop"}, {0, 601, "Mute"}, {MF_END, 602, "Hold"}}));
  MessageOwner owner;
  auto* b = new CStyledButton(&owner);
  b->resize(60, 24);
  owner.show();
  EXPECT_EQ(b->SetDropMenu(461, &owner, false), 1);
  EXPECT_EQ(b->SetDropMenu(460, &owner, false, 462), 1);  // the tool bar is missing
  ASSERT_EQ(b->SetDropMenu(460, &owner, false), 0);
  TrelMenu* seen = nullptr;
  owner.onMessage = [&](UINT msg, LPARAM lParam) {
    if (msg != WM_USER + 77) return;
    EXPECT_EQ(lParam, 5);
    seen = reinterpret_cast<TrelMenu*>(owner.messages.back().wParam);
  };
  b->SetMenuCallback(&owner, WM_USER + 77, 5);
  QTimer::singleShot(0, [&] {
    auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(popup, nullptr);
    popup->setActiveAction(popup->actions().at(1));
    QTest::keyClick(popup, Qt::Key_Return);
  });
  b->click();
  ASSERT_NE(seen, nullptr);
  EXPECT_EQ(Texts(*seen), (QStringList{"Mute", "Hold"}));
  const auto commands = owner.Take(WM_COMMAND);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].wParam, 602u);
}

// ---------------------------------------------------------------------------

TEST(SkinButtonInterfaceTest, AFailedLoadDropsTheOldPictures) {
  TestSkin skin;
  const QString normal = skin.Write("n.bmp", TestSkin::Solid(12, 12, kRed));
  QWidget parent;
  parent.setAutoFillBackground(true);
  QPalette pal = parent.palette();
  pal.setColor(QPalette::Window, kParentBg);
  parent.setPalette(pal);
  parent.resize(40, 40);
  auto* b = new CSkinButton(&parent);
  ASSERT_TRUE(b->LoadBitmapFiles(normal, {}, {}, {}));
  EXPECT_EQ(PixelOf(&parent, 5, 5), kRed);
  EXPECT_FALSE(b->LoadBitmapFiles(skin.Path("missing.bmp"), {}, {}, {}));
  EXPECT_EQ(PixelOf(&parent, 5, 5), kParentBg);
}

TEST(ShapedButtonInterfaceTest, TheMaskFollowsAResize) {
  TestSkin skin;
  QImage mask = TestSkin::Solid(20, 10, Qt::black);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) mask.setPixelColor(x, y, Qt::white);  // left half outside
  skin.Write("m.bmp", mask);
  skin.Write("n.bmp", TestSkin::Solid(20, 10, kRed));
  CShapedButton b;
  b.resize(40, 20);
  b.show();
  b.SetBitmaps(skin.Path("n.bmp"), {}, {}, {}, {}, skin.Path("m.bmp"), CShapedButton::kStretch);
  EXPECT_FALSE(b.mask().contains(QPoint(15, 5)));
  EXPECT_TRUE(b.mask().contains(QPoint(25, 5)));
  b.resize(80, 20);
  EXPECT_FALSE(b.mask().contains(QPoint(35, 5)));
  EXPECT_TRUE(b.mask().contains(QPoint(45, 5)));
  EXPECT_TRUE(b.mask().contains(QPoint(79, 19)));
}

TEST(ShapedButtonInterfaceTest, DisabledCaptionsAreEtchedInTheGreyTextColour) {
  CShapedButton b;
  QPalette pal = b.palette();
  pal.setColor(QPalette::Disabled, QPalette::WindowText, QColor(255, 0, 0));
  pal.setColor(QPalette::Light, QColor(0, 0, 255));
  b.setPalette(pal);
  QFont f = b.font();
  f.setPixelSize(20);
  f.setBold(true);
  b.setFont(f);
  b.resize(120, 30);
  b.setText(QStringLiteral("HH"));
  b.setEnabled(false);
  const QImage img = b.grab().toImage();
  int grey = 0, light = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) {
      grey += img.pixelColor(x, y) == QColor(255, 0, 0);
      light += img.pixelColor(x, y) == QColor(0, 0, 255);
    }
  EXPECT_GT(grey, 10);
  EXPECT_GT(light, 0);  // the highlight shows below and right of the grey
}

}  // namespace
