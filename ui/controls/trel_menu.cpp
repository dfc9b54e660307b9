// TrelMenu: the drawn popup menu.
#include "ui/controls/trel_menu.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOptionMenuItem>
#include <vector>

#include "ui/controls/control_geometry.h"
#include "ui/controls/skin.h"

namespace {

struct SharedImages {
  std::vector<int> ids;
  std::vector<QPixmap> images;
};
SharedImages& Shared() {
  static SharedImages s;
  return s;
}
std::vector<TrelMenu*>& AllMenus() {
  static std::vector<TrelMenu*> menus;
  return menus;
}
QSize g_imageSize(16, 15);
int g_drawMode = 0;
constexpr int kGapClassic = 4;
constexpr int kGapXp = 7;

int CommandOf(const QAction* a) { return a->data().isValid() ? a->data().toInt() : 0; }

QColor Lighten(const QColor& c, double f) { return ctl::ToQColor(ctl::LightenColor(ctl::ToColorRef(c), f)); }
QColor Darken(const QColor& c, double f) { return ctl::ToQColor(ctl::DarkenColor(ctl::ToColorRef(c), f)); }

// The class's own check mark: seven short vertical strokes.
void DrawCheckMark(QPainter* p, int x, int y, const QColor& colour, bool xp) {
  static const int tops[7] = {2, 3, 4, 3, 2, 1, 0};
  p->setPen(colour);
  for (int i = 0; i < 7; ++i) p->drawLine(x + i, y + tops[i], x + i, y + tops[i] + (xp ? 1 : 2));
}

}  // namespace

TrelMenu::TrelMenu(QWidget* parent) : QMenu(parent) {
  setStyle(TrelMenuStyle::instance());
  AllMenus().push_back(this);
}

TrelMenu::~TrelMenu() { std::erase(AllMenus(), this); }

QAction* TrelMenu::addItem(UINT flags, int command, const QString& text) {
  QAction* a = nullptr;
  if (command == 0 || (flags & MF_SEPARATOR)) return addSeparator();
  a = addAction(text);
  a->setData(command);
  a->setEnabled(!(flags & (MF_GRAYED | MF_DISABLED)));
  if (flags & MF_CHECKED) {
    a->setCheckable(true);
    a->setChecked(true);
  }
  if (flags & MF_RADIOCHECK) a->setProperty("radio", true);
  return a;
}

QAction* TrelMenu::AppendMenu(UINT flags, int command, const QString& text, const QString& imageFile, int imageIndex) {
  QAction* a = addItem(flags, command, text);
  if (command == 0) return a;
  if (!imageFile.isEmpty()) {
    const QList<QPixmap> cells = ctl::CutStrip(ctl::LoadBitmapFile(imageFile), g_imageSize.width(),
                                               g_imageSize.height(), ImageKey());
    if (imageIndex >= 0 && imageIndex < cells.size()) RegisterCommandImage(command, cells[imageIndex]);
  }
  refreshCommandIcon(command);
  return a;
}

QAction* TrelMenu::AppendBitmapMenu(UINT flags, int command, const QString& text, const QImage& bitmap) {
  QAction* a = addItem(flags, command, text);
  if (command != 0 && !bitmap.isNull()) RegisterCommandImage(command, ctl::KeyedPixmap(bitmap, ImageKey()));
  refreshCommandIcon(command);
  return a;
}

TrelMenu* TrelMenu::AppendPopup(const QString& text) {
  auto* popup = new TrelMenu(this);
  popup->setTitle(text);
  popup->useImageBackground_ = useImageBackground_;
  popup->imageBackground_ = imageBackground_;
  addMenu(popup);
  return popup;
}

QAction* TrelMenu::FindCommand(int command) const {
  for (QAction* a : actions()) {
    if (CommandOf(a) == command && !a->isSeparator()) return a;
    if (auto* sub = qobject_cast<TrelMenu*>(a->menu()))
      if (QAction* found = sub->FindCommand(command)) return found;
  }
  return nullptr;
}

bool TrelMenu::ModifyItem(int command, const QString* text, const QImage& bitmap) {
  bool any = false;
  for (QAction* a : actions()) {
    if (auto* sub = qobject_cast<TrelMenu*>(a->menu())) any |= sub->ModifyItem(command, text, bitmap);
    if (a->isSeparator() || CommandOf(a) != command) continue;
    if (text) a->setText(*text);
    any = true;
  }
  if (any && !bitmap.isNull()) RegisterCommandImage(command, ctl::KeyedPixmap(bitmap, ImageKey()));
  return any;
}

bool TrelMenu::DeleteMenu(int command) {
  for (QAction* a : actions()) {
    if (auto* sub = qobject_cast<TrelMenu*>(a->menu()))
      if (sub->DeleteMenu(command)) return true;
    if (!a->isSeparator() && CommandOf(a) == command) {
      removeAction(a);
      delete a;
      return true;
    }
  }
  return false;
}

void TrelMenu::SetImageBackground(COLORREF colour) {
  imageBackground_ = colour;
  useImageBackground_ = true;
}
void TrelMenu::ClearImageBackground() { useImageBackground_ = false; }
COLORREF TrelMenu::ImageKey() const {
  return useImageBackground_ ? imageBackground_ : ctl::ToColorRef(QApplication::palette().color(QPalette::Button));
}

void TrelMenu::SetImageSize(int w, int h) { g_imageSize = QSize(w, h); }
QSize TrelMenu::ImageSize() { return g_imageSize; }
void TrelMenu::SetDrawMode(int mode) { g_drawMode = mode; }
int TrelMenu::DrawMode() { return g_drawMode; }

int TrelMenu::RegisterCommandImage(int command, const QPixmap& image) {
  SharedImages& s = Shared();
  int index = -1;
  for (size_t i = 0; i < s.ids.size(); ++i)
    if (s.ids[i] == command) index = static_cast<int>(i);
  if (index >= 0) {
    s.images[index] = image;
  } else {
    s.ids.push_back(command);
    s.images.push_back(image);
    index = static_cast<int>(s.ids.size()) - 1;
  }
  for (TrelMenu* m : AllMenus()) m->refreshCommandIcon(command);
  return index;
}

QPixmap TrelMenu::CommandImage(int command) {
  const SharedImages& s = Shared();
  for (size_t i = 0; i < s.ids.size(); ++i)
    if (s.ids[i] == command) return s.images[i];
  return {};
}

int TrelMenu::SharedImageCount() { return static_cast<int>(Shared().ids.size()); }

void TrelMenu::refreshCommandIcon(int command) {
  const QPixmap image = CommandImage(command);
  if (image.isNull()) return;
  for (QAction* a : actions())
    if (!a->isSeparator() && CommandOf(a) == command) a->setIcon(QIcon(image));
}

bool TrelMenu::IsOwnMenu(const QMenu* menu) {
  for (TrelMenu* m : AllMenus())
    if (m == menu) return true;
  return false;
}

int TrelMenu::HandleMenuChar(QChar ch, const TrelMenu* menu) {
  if (!menu || !IsOwnMenu(menu)) return -1;
  std::vector<std::u16string> texts;
  for (QAction* a : menu->actions()) texts.push_back(a->text().toStdU16String());
  return ctl::FindMnemonic(texts, ch.unicode());
}

void TrelMenu::keyPressEvent(QKeyEvent* event) {
  const QString t = event->text();
  if (t.size() == 1 && t[0].isLetterOrNumber() && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
    const int pos = HandleMenuChar(t[0], this);
    if (pos >= 0) {
      QAction* a = actions().at(pos);
      if (a->isEnabled()) {
        if (a->menu()) {
          setActiveAction(a);
        } else {
          a->trigger();
          close();
        }
        return;
      }
    }
  }
  QMenu::keyPressEvent(event);
}

// ---------------------------------------------------------------------------

TrelMenuStyle::TrelMenuStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

TrelMenuStyle* TrelMenuStyle::instance() {
  static TrelMenuStyle* style = [] {
    auto* s = new TrelMenuStyle;
    s->setParent(qApp);
    return s;
  }();
  return style;
}

int TrelMenuStyle::pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const {
  if (metric == PM_MenuPanelWidth) return 1;
  if (metric == PM_MenuHMargin || metric == PM_MenuVMargin) return 1;
  if (metric == PM_SmallIconSize) return g_imageSize.width();
  return QProxyStyle::pixelMetric(metric, option, widget);
}

int TrelMenuStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                             QStyleHintReturn* returnData) const {
  // The classic look lets a disabled item take the highlight; the XP look never does.
  if (hint == SH_Menu_AllowActiveAndDisabled) return g_drawMode == 0 ? 1 : 0;
  return QProxyStyle::styleHint(hint, option, widget, returnData);
}

QSize TrelMenuStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                                      const QWidget* widget) const {
  if (type != CT_MenuItem) return QProxyStyle::sizeFromContents(type, option, size, widget);
  const auto* mi = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
  const int w = g_imageSize.width(), h = g_imageSize.height();
  const bool xp = g_drawMode == 1;
  const int gap = xp ? kGapXp : kGapClassic;
  const int menuHeight = option->fontMetrics.height() + 6;
  if (mi && mi->menuItemType == QStyleOptionMenuItem::Separator) return QSize(0, xp ? 3 : std::max(menuHeight / 2, (h + gap) / 2));
  QString text = mi ? mi->text : QString();
  text.replace(QLatin1Char('\t'), QStringLiteral("    "));
  text.remove(QLatin1Char('&'));
  const int tw = option->fontMetrics.horizontalAdvance(text);
  const int width = xp ? w + gap + tw + 8 : w + tw + w + 1;
  const bool sub = mi && mi->menuItemType == QStyleOptionMenuItem::SubMenu;
  return QSize(width + 12 + (sub ? 12 : 0), std::max(menuHeight, h + gap));
}

void TrelMenuStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* p,
                                const QWidget* widget) const {
  const auto* mi = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
  if (element != CE_MenuItem || !mi) {
    QProxyStyle::drawControl(element, option, p, widget);
    return;
  }
  const QPalette& pal = option->palette;
  const QRect r = option->rect;
  const int l = r.left(), t = r.top(), rr = r.right() + 1, H = r.height();
  const int W = g_imageSize.width(), Hi = g_imageSize.height();
  const bool xp = g_drawMode == 1;
  const bool disabled = !(option->state & State_Enabled);
  bool selected = (option->state & State_Selected) != 0;
  const bool checked = mi->checked;
  const QColor menuBg = pal.color(QPalette::Window);
  const QColor highlight = pal.color(QPalette::Highlight);
  const QColor face = pal.color(QPalette::Button);
  const QPixmap image = mi->icon.isNull() ? QPixmap() : mi->icon.pixmap(QSize(W, Hi));
  p->save();

  if (xp) {
    const int gap = kGapXp;
    if (disabled) selected = false;
    p->fillRect(r, Darken(pal.color(QPalette::Base), 0.02));
    p->fillRect(QRect(l, t, W + gap, H), Lighten(face, 0.25));
    if (mi->menuItemType == QStyleOptionMenuItem::Separator) {
      const int y = t + H / 2;
      p->setPen(pal.color(QPalette::Mid));
      p->drawLine(l + W + gap + gap, y, rr, y);
      p->setPen(pal.color(QPalette::Light));
      p->drawLine(l + W + gap + gap, y + 1, rr, y + 1);
      p->restore();
      return;
    }
    if (selected) {
      p->fillRect(r.adjusted(1, 0, -1, -1), Lighten(highlight, 0.85));
      p->setPen(highlight);
      p->drawRect(r.adjusted(1, 0, -2, -1));
    }
    const int dy = std::max(0, (H - Hi) / 2);
    if (checked) {
      QRect box(l + 2, t + dy - 2, W + 3, Hi + 3);
      p->fillRect(box, Lighten(highlight, selected ? 0.55 : 0.85));
      p->setPen(highlight);
      p->drawRect(box);
      if (image.isNull()) {
        DrawCheckMark(p, box.center().x() - 3, box.center().y() - 3, pal.color(QPalette::WindowText), true);
      }
    }
    if (!image.isNull()) {
      if (disabled) {
        p->setOpacity(0.35);
        p->drawPixmap(l + 3, t + dy, image);
        p->setOpacity(1.0);
      } else {
        if (selected) {  // a soft shadow under a lifted image
          p->setOpacity(0.25);
          p->drawPixmap(l + 4, t + dy + 1, QIcon(image).pixmap(QSize(W, Hi), QIcon::Disabled));
          p->setOpacity(1.0);
          p->drawPixmap(l + 2, t + dy - 1, image);
        } else {
          p->drawPixmap(l + 3, t + dy, image);
        }
      }
    }
    QColor tc = pal.color(QPalette::WindowText);
    if (disabled) tc = selected ? pal.color(QPalette::Mid) : Lighten(pal.color(QPalette::Mid), 0.4);
    p->setPen(tc);
    const QRect textRect(l + W + kGapXp + 6, t, rr - (l + W + kGapXp + 6) - W, H);
    const QStringList parts = mi->text.split(QLatin1Char('\t'));
    p->drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextShowMnemonic | Qt::TextSingleLine, parts.value(0));
    if (parts.size() > 1) p->drawText(textRect, Qt::AlignVCenter | Qt::AlignRight | Qt::TextSingleLine, parts.value(1));
    if (mi->menuItemType == QStyleOptionMenuItem::SubMenu) {
      QStyleOption arrow = *option;
      arrow.rect = QRect(rr - 14, t + H / 2 - 4, 8, 8);
      proxy()->drawPrimitive(PE_IndicatorArrowRight, &arrow, p, widget);
    }
    p->restore();
    return;
  }

  // Classic look: a disabled item may be highlighted; its text then takes the menu colour.
  if (mi->menuItemType == QStyleOptionMenuItem::Separator) {
    p->fillRect(r, menuBg);
    const int y = t + H / 2;
    p->setPen(pal.color(QPalette::Mid));
    p->drawLine(l + 2, y, rr - 3, y);
    p->setPen(pal.color(QPalette::Light));
    p->drawLine(l + 2, y + 1, rr - 3, y + 1);
    p->restore();
    return;
  }
  p->fillRect(r, menuBg);
  QColor textColour = pal.color(QPalette::WindowText);
  if (selected) {
    const int from = (!image.isNull() || checked) ? l + W + 5 : l;
    p->fillRect(QRect(from, t, rr - from, H), highlight);
    textColour = pal.color(QPalette::HighlightedText);
  }
  const int dy = std::max(0, (H - 4 - Hi) / 2);
  const QRect box(l, t + dy, W + 4, Hi + 4);
  if (!image.isNull()) {
    if (checked && !selected) p->fillRect(box, Lighten(menuBg, 0.6));
    if (selected || checked) {
      const QColor tl = selected ? pal.color(QPalette::Light) : pal.color(QPalette::Mid);
      const QColor br = selected ? pal.color(QPalette::Mid) : pal.color(QPalette::Light);
      p->setPen(tl);
      p->drawLine(box.left(), box.top(), box.right() - 1, box.top());
      p->drawLine(box.left(), box.top(), box.left(), box.bottom() - 1);
      p->setPen(br);
      p->drawLine(box.left(), box.bottom(), box.right(), box.bottom());
      p->drawLine(box.right(), box.top(), box.right(), box.bottom());
    }
    if (disabled) {  // embossed: highlight one pixel down-right, shadow in place
      QImage shape = image.toImage().convertToFormat(QImage::Format_ARGB32);
      auto tint = [&](const QColor& c) {
        QImage out = shape;
        for (int y = 0; y < out.height(); ++y) {
          auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
          for (int x = 0; x < out.width(); ++x) {
            const int lum = qGray(line[x]);
            line[x] = (qAlpha(line[x]) > 0 && lum < 200) ? qRgba(c.red(), c.green(), c.blue(), qAlpha(line[x])) : 0;
          }
        }
        return QPixmap::fromImage(out);
      };
      p->drawPixmap(l + 3, t + 3 + dy, tint(pal.color(QPalette::Light)));
      p->drawPixmap(l + 2, t + 2 + dy, tint(pal.color(QPalette::Mid)));
    } else {
      p->drawPixmap(l + 2, t + 2 + dy, image);
    }
  } else if (checked) {
    const QRect cb(l + 1, t + 2 + dy, W, Hi);
    p->fillRect(cb, selected ? menuBg : Lighten(menuBg, 0.6));
    p->setPen(pal.color(QPalette::Mid));
    p->drawLine(cb.topLeft(), cb.topRight());
    p->drawLine(cb.topLeft(), cb.bottomLeft());
    if (mi->checkType == QStyleOptionMenuItem::Exclusive) {
      p->setRenderHint(QPainter::Antialiasing);
      p->setBrush(pal.color(QPalette::WindowText));
      p->setPen(Qt::NoPen);
      p->drawEllipse(QRect(cb.left() + 5, cb.top() + 4, 6, 6));
    } else {
      DrawCheckMark(p, cb.left() + 4, cb.top() + 4, pal.color(QPalette::WindowText), false);
    }
  }
  const QRect textRect(l + W + 9, t - 1, rr - (l + W + 9), H);
  const QStringList parts = mi->text.split(QLatin1Char('\t'));
  const int flags = Qt::AlignVCenter | Qt::TextShowMnemonic | Qt::TextSingleLine;
  auto drawText = [&](const QRect& rect, const QColor& c) {
    p->setPen(c);
    p->drawText(rect, flags | Qt::AlignLeft, parts.value(0));
    if (parts.size() > 1) p->drawText(rect.adjusted(0, 0, -W, 0), flags | Qt::AlignRight, parts.value(1));
  };
  if (!disabled) {
    drawText(textRect, textColour);
  } else if (!selected) {
    drawText(textRect.translated(1, 1), pal.color(QPalette::Light));
    drawText(textRect, pal.color(QPalette::Mid));
  } else {
    drawText(textRect, menuBg);
  }
  if (mi->menuItemType == QStyleOptionMenuItem::SubMenu) {
    QStyleOption arrow = *option;
    arrow.rect = QRect(rr - 14, t + H / 2 - 4, 8, 8);
    arrow.palette.setColor(QPalette::ButtonText, textColour);
    proxy()->drawPrimitive(PE_IndicatorArrowRight, &arrow, p, widget);
  }
  p->restore();
}
