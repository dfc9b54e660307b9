// CStyledButton: the flat drawn push button of the dialogs.
#include "ui/controls/styled_button.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>

#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"
#include "ui/controls/trel_menu.h"

namespace {
QPixmap MakeOut(const QPixmap& in, int special, COLORREF key) {
  if (special == CStyledButton::kOutDarker) return QPixmap::fromImage(ctl::MapPixels(in.toImage(), ctl::DarkerColor, key));
  if (special == CStyledButton::kOutGray) return QPixmap::fromImage(ctl::MapPixels(in.toImage(), ctl::GrayColor, key));
  return {};
}
}  // namespace

CStyledButton::CStyledButton(QWidget* parent, int templateStyle) : QPushButton(parent) {
  if (templateStyle & kCheckBox) checkMode_ = true;
  if ((templateStyle & 0x1F) == kDefPushButton) defaultButton_ = true;
  setAttribute(Qt::WA_Hover);
  setMouseTracking(true);
  ResetColors(false);
  connect(this, &QPushButton::clicked, this, &CStyledButton::onClicked);
}

void CStyledButton::ReleaseImages() {
  inImage_ = outImage_ = QPixmap();
}

int CStyledButton::SetIcon(const QPixmap& in, const QPixmap& out, int outSpecial) {
  ReleaseImages();
  if (in.isNull()) return 1;
  inImage_ = in;
  outImage_ = outSpecial ? MakeOut(in, outSpecial, RGB(0, 0, 0)) : out;
  update();
  return 0;
}

int CStyledButton::SetBitmapPair(const QImage& in, COLORREF inKey, const QImage& out, COLORREF outKey, int outSpecial) {
  ReleaseImages();
  if (in.isNull()) return 1;
  inImage_ = ctl::KeyedPixmap(in, inKey);
  if (outSpecial == kOutDarker || outSpecial == kOutGray)
    outImage_ = ctl::KeyedPixmap(ctl::MapPixels(in, outSpecial == kOutDarker ? ctl::DarkerColor : ctl::GrayColor, inKey), inKey);
  else if (!out.isNull())
    outImage_ = ctl::KeyedPixmap(out, outKey);
  update();
  return 0;
}

int CStyledButton::SetColor(int slot, COLORREF colour, bool repaint) {
  if (slot < 0 || slot > 5) return 3;
  colours_[slot] = colour;
  if (repaint) update();
  return 0;
}

int CStyledButton::GetColor(int slot, COLORREF* colour) const {
  if (slot < 0 || slot > 5) return 3;
  *colour = colours_[slot];
  return 0;
}

int CStyledButton::OffsetColor(int slot, int offset, bool repaint) {
  if (slot < 0 || slot > 5) return 3;
  if (offset < -255 || offset > 255) return 5;
  colours_[slot] = ctl::OffsetColorValue(colours_[slot], offset);
  if (repaint) update();
  return 0;
}

void CStyledButton::ResetColors(bool repaint) {
  const QPalette pal = QApplication::palette();
  const COLORREF face = ctl::ToColorRef(pal.color(QPalette::Button));
  const COLORREF text = ctl::ToColorRef(pal.color(QPalette::ButtonText));
  colours_ = {face, text, face, text, face, text};
  if (repaint) update();
}

void CStyledButton::SetFlatLook(bool flat, bool repaint) { flat_ = flat; if (repaint) update(); }
void CStyledButton::SetFlatBorder(bool on, bool repaint) { flatBorder_ = on; if (repaint) update(); }
void CStyledButton::SetFlatFocus(bool on, bool repaint) { flatFocus_ = on; if (repaint) update(); }

int CStyledButton::SetImageAlign(int align, bool repaint) {
  if (align < 0 || align > 3) return 4;
  align_ = align;
  if (repaint) update();
  return 0;
}

int CStyledButton::SetPressShift(int style, bool repaint) {
  if (style == 0) shift_ = {1, 1};
  else if (style == 1) shift_ = {0, 2};
  else return 6;
  if (repaint) update();
  return 0;
}

void CStyledButton::SetChecked(bool on, bool repaint) {
  if (!checkMode_) return;
  checked_ = on;
  if (repaint) update();
}

void CStyledButton::SetTooltipText(const QString& text, bool activate) { setToolTip(activate ? text : QString()); }

void CStyledButton::SetUrl(const QString& url) { url_ = url.left(260); }

int CStyledButton::SetDropMenu(TrelMenu* menu, QWidget* target) {
  menu_ = menu;
  menuTarget_ = target;
  return menu ? 0 : 1;
}

void CStyledButton::SetForcedState(bool hover, bool pressed, bool focused) {
  forced_ = true;
  forcedHover_ = hover;
  forcedPressed_ = pressed;
  forcedFocus_ = focused;
  update();
}

void CStyledButton::onClicked() {
  setFocus();
  if (checkMode_) {
    checked_ = !checked_;
    update();
    return;
  }
  if (menu_) {
    menuShown_ = true;
    update();
    QAction* chosen = menu_->exec(mapToGlobal(QPoint(0, height())));
    menuShown_ = false;
    update();
    if (chosen && menuTarget_ && chosen->data().isValid())
      QCoreApplication::postEvent(menuTarget_, new WindowMessageEvent(WM_COMMAND, chosen->data().toInt(), 0));
    return;
  }
  if (!url_.isEmpty()) QDesktopServices::openUrl(QUrl::fromUserInput(url_));
}

void CStyledButton::enterEvent(QEnterEvent* e) {
  if (flat_ && !hovering_) {
    hovering_ = true;
    update();
  }
  QPushButton::enterEvent(e);
}

void CStyledButton::leaveEvent(QEvent* e) {
  if (flat_ && hovering_) {
    hovering_ = false;
    update();
  }
  QPushButton::leaveEvent(e);
}

void CStyledButton::focusOutEvent(QFocusEvent* e) {
  hovering_ = false;
  QPushButton::focusOutEvent(e);
}

void CStyledButton::changeEvent(QEvent* e) {
  if (e->type() == QEvent::EnabledChange && !isEnabled()) hovering_ = false;
  QPushButton::changeEvent(e);
}

void CStyledButton::mousePressEvent(QMouseEvent* e) {
  if (pressToTalk && e->button() == Qt::LeftButton) ctl::PostOwnerMessage(this, WM_PTT_PRESS);
  QPushButton::mousePressEvent(e);
}

void CStyledButton::mouseReleaseEvent(QMouseEvent* e) {
  if (pressToTalk && e->button() == Qt::LeftButton) ctl::PostOwnerMessage(this, WM_PTT_RELEASE);
  QPushButton::mouseReleaseEvent(e);
}

void CStyledButton::mouseDoubleClickEvent(QMouseEvent* e) {
  // A double click counts as a second press.
  mousePressEvent(e);
}

void CStyledButton::placeImage(QRect& img, QRect& caption, QSize size, bool hasCaption, bool pressed) const {
  const int W = size.width(), H = size.height();
  const QRect item = rect();
  img = QRect(item.topLeft(), size);
  switch (align_) {
    case 0:
      if (hasCaption) {
        img.moveLeft(item.left() + origin_.x());
        caption.setLeft(caption.left() + W + origin_.x());
      } else {
        img.moveLeft(item.left() + (item.width() - W) / 2);
      }
      img.moveTop(item.top() + (item.height() - H) / 2);
      break;
    case 1:
      img.moveLeft(item.left() + (item.width() - W) / 2);
      if (hasCaption) {
        img.moveTop(item.top() + origin_.y());
        caption.setTop(caption.top() + H);
      } else {
        img.moveTop(item.top() + (item.height() - H) / 2);
      }
      break;
    case 2:
      if (hasCaption) {
        caption.setRight(caption.width() - W - origin_.x());
        caption.setLeft(origin_.x());
        img.moveLeft(item.right() + 1 - W - origin_.x());
        img.moveTop(item.top() + (item.height() - H) / 2);
      } else {
        img.moveLeft(item.left() + (item.width() - W) / 2);
      }
      break;
    default:
      break;
  }
  if (pressed && !checkMode_) img.translate(shift_);
}

void CStyledButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const bool hover = forced_ ? forcedHover_ : hovering_;
  const bool down = forced_ ? forcedPressed_ : isDown();
  const bool focused = forced_ ? forcedFocus_ : hasFocus();
  const bool disabled = !isEnabled();
  const bool pressed = checkMode_ ? (down || checked_) : (down || menuShown_);
  const QPalette& pal = palette();
  QRect r = rect();

  // Background.
  if (!transparent_) {
    if (!flat_ && (focused || defaultButton_)) {
      p.setPen(Qt::black);
      p.drawRect(r.adjusted(0, 0, -1, -1));
      r.adjust(1, 1, -1, -1);
    }
    const COLORREF bg = (hover || pressed) ? colours_[0] : focused ? colours_[4] : colours_[2];
    p.fillRect(r, ctl::ToQColor(bg));
  }
  // Border.
  const QColor hi = pal.color(QPalette::Light), sh = pal.color(QPalette::Mid), dk = pal.color(QPalette::Dark);
  const int l = r.left(), t = r.top(), rr = r.right(), b = r.bottom();
  auto line = [&](const QColor& c, int x1, int y1, int x2, int y2) { p.setPen(c); p.drawLine(x1, y1, x2, y2); };
  if (pressed) {
    if (!flat_) {
      p.setPen(sh);
      p.drawRect(r.adjusted(0, 0, -1, -1));
    } else if (flatBorder_) {
      line(sh, l, t, rr, t); line(sh, l, t, l, b);
      line(hi, l, b, rr, b); line(hi, rr, t, rr, b);
    }
  } else if (flat_) {
    if (hover && flatBorder_) {
      line(hi, l, t, rr, t); line(hi, l, t, l, b);
      line(sh, l, b, rr, b); line(sh, rr, t, rr, b);
    } else if (edgeLines_) {
      line(hi, l + 1, t, rr - 1, t);
      line(sh, l + 1, b, rr - 1, b);
    }
  } else {
    line(hi, l, b, l, t); line(hi, l, t, rr, t);
    line(dk, l, b, rr, b); line(dk, rr, b, rr, t);
    line(sh, l + 1, b - 1, rr - 1, b - 1); line(sh, rr - 1, b - 1, rr - 1, t + 1);
  }

  // Image and caption.
  const QString caption = text();
  QRect captionRect = rect();
  const bool useIn = checkMode_ ? pressed : (pressed || hover);
  const QPixmap& image = (useIn || outImage_.isNull()) ? inImage_ : outImage_;
  if (!image.isNull()) {
    QRect imageRect;
    placeImage(imageRect, captionRect, image.size() / image.devicePixelRatio(), !caption.isEmpty(), pressed);
    if (disabled)
      p.drawPixmap(imageRect.topLeft(), QIcon(image).pixmap(image.size(), QIcon::Disabled));
    else
      p.drawPixmap(imageRect.topLeft(), image);
  }
  if (!caption.isEmpty()) {
    if (pressed && !checkMode_) captionRect.translate(shift_);
    const QRect measured = p.fontMetrics().boundingRect(captionRect, Qt::TextWordWrap, caption);
    QRect at(captionRect.left() + 4, captionRect.top() + (captionRect.height() - measured.height()) / 2,
             captionRect.width() - 4, measured.height());
    if (disabled) {
      p.setPen(hi);
      p.drawText(at.translated(1, 1), Qt::TextWordWrap | Qt::TextShowMnemonic, caption);
      p.setPen(sh);
      p.drawText(at, Qt::TextWordWrap | Qt::TextShowMnemonic, caption);
    } else {
      const COLORREF tc = (hover || pressed) ? colours_[1] : focused ? colours_[5] : colours_[3];
      p.setPen(ctl::ToQColor(tc));
      p.drawText(at, Qt::TextWordWrap | Qt::TextShowMnemonic, caption);
    }
  }
  if ((!flat_ || flatFocus_) && focused) {
    p.setPen(QPen(pal.color(QPalette::WindowText), 1, Qt::DotLine));
    p.drawRect(rect().adjusted(3, 3, -4, -4));
  }
}
