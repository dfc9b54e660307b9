// CStyledButton: the flat drawn push button of the dialogs.
#include "ui/controls/styled_button.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>
#include <QUrl>
#include <chrono>
#include <thread>

#include "platform/ini.h"
#include "platform/sound.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"
#include "ui/controls/trel_menu.h"

namespace {

constexpr int kTipMaxWidth = 400;
constexpr UINT kBalloonStyle = 0x40;

QPixmap MakeOut(const QPixmap& in, int special, COLORREF key) {
  if (special == CStyledButton::kOutDarker) return QPixmap::fromImage(ctl::MapPixels(in.toImage(), ctl::DarkerColor, key));
  if (special == CStyledButton::kOutGray) return QPixmap::fromImage(ctl::MapPixels(in.toImage(), ctl::GrayColor, key));
  return {};
}

// An icon resource: the icon file of that number, else its picture.
QPixmap LoadIconResource(int id, int width, int height) {
  QImage image;
  for (const QString& path : {ctl::ResourceFile(QStringLiteral("%1.ico").arg(id)), ctl::ResourcePath(id)}) {
    QImageReader reader(path);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > 1024 || size.height() > 1024) continue;
    image = reader.read();
    if (!image.isNull()) break;
  }
  if (image.isNull()) return {};
  if (width > 0 && height > 0) image = image.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  return QPixmap::fromImage(image.convertToFormat(QImage::Format_ARGB32));
}

// The tip window: at most 400 pixels wide, wrapping; a balloon has rounded corners and a stem.
class ButtonTip : public QLabel {
 public:
  ButtonTip(bool balloon) : QLabel(nullptr, Qt::ToolTip | Qt::FramelessWindowHint), balloon_(balloon) {
    setWordWrap(true);
    setMaximumWidth(kTipMaxWidth);
    setAttribute(Qt::WA_TranslucentBackground, balloon);
    setContentsMargins(balloon ? QMargins(8, 6 + kStem, 8, 6) : QMargins(4, 2, 4, 2));
    setPalette(QToolTip::palette());
  }
  bool balloon() const { return balloon_; }

 protected:
  void paintEvent(QPaintEvent* e) override {
    QPainter p(this);
    const QColor back = palette().color(QPalette::ToolTipBase);
    const QColor edge = palette().color(QPalette::ToolTipText);
    if (balloon_) {
      p.setRenderHint(QPainter::Antialiasing);
      QPainterPath path;
      const QRectF body = QRectF(rect()).adjusted(0.5, kStem + 0.5, -0.5, -0.5);
      path.addRoundedRect(body, 6, 6);
      QPainterPath stem;
      stem.moveTo(14, kStem + 1);
      stem.lineTo(18, 0.5);
      stem.lineTo(26, kStem + 1);
      stem.closeSubpath();
      path = path.united(stem);
      p.setPen(edge);
      p.setBrush(back);
      p.drawPath(path);
    } else {
      p.fillRect(rect(), back);
      p.setPen(edge);
      p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
    p.end();
    QLabel::paintEvent(e);
  }

 private:
  static constexpr int kStem = 8;
  bool balloon_;
};

}  // namespace

CStyledButton::CStyledButton(QWidget* parent, int templateStyle) : QPushButton(parent) {
  // The template's type: check box mode from its bit 2; a default push button becomes an ordinary
  // one that remembers being the default.
  if (templateStyle & kCheckBox) checkMode_ = true;
  if ((templateStyle & 0x1F) == kDefPushButton) defaultButton_ = true;
  setAttribute(Qt::WA_Hover);
  setMouseTracking(true);
  ResetColors(false);
  connect(this, &QPushButton::clicked, this, &CStyledButton::onClicked);
}

CStyledButton::~CStyledButton() {
  ReleaseImages();
  delete tip_;
  if (ownMenu_) ownMenu_->DestroyMenu();
}

void CStyledButton::ReleaseImages() {
  icon_ = Image();
  secondIcon_ = Image();
  bitmap_ = Image();
}

int CStyledButton::SetIcon(const QPixmap& in, const QPixmap& out, int outSpecial) {
  ReleaseImages();
  if (in.isNull()) {
    update();
    return 1;
  }
  icon_.in = in;
  icon_.out = outSpecial ? MakeOut(in, outSpecial, RGB(0, 0, 0)) : out;
  update();
  return 0;
}

int CStyledButton::LoadIconPair(int inId, int inWidth, int inHeight, int outId, int outWidth, int outHeight) {
  const QPixmap in = LoadIconResource(inId, inWidth, inHeight);
  if (outId == kOutDarker || outId == kOutGray || outId == kOutNone) return SetIcon(in, QPixmap(), outId);
  return SetIcon(in, LoadIconResource(outId, outWidth, outHeight));
}

int CStyledButton::SetIconIds(int inId, int outId) { return LoadIconPair(inId, 0, 0, outId, 0, 0); }

int CStyledButton::SetSecondIcon(const QPixmap& in, const QPixmap& out, int outSpecial) {
  secondIcon_ = Image();
  if (in.isNull()) {
    ReleaseImages();
    update();
    return 1;
  }
  secondIcon_.in = in;
  secondIcon_.out = outSpecial ? MakeOut(in, outSpecial, RGB(0, 0, 0)) : out;
  update();
  return 0;
}

void CStyledButton::ShowSecondIcon(bool show) {
  secondShown_ = show;
  update();
}

int CStyledButton::SetSecondIconAlign(int align) {
  if (align < 0 || align > 3) return 4;
  secondAlign_ = align;
  update();
  return 0;
}

int CStyledButton::SetBitmapPair(const QImage& in, COLORREF inKey, const QImage& out, COLORREF outKey, int outSpecial) {
  ReleaseImages();
  if (in.isNull()) {
    update();
    return 1;
  }
  bitmap_.in = ctl::KeyedPixmap(in, inKey);
  if (outSpecial == kOutDarker || outSpecial == kOutGray)
    bitmap_.out = ctl::KeyedPixmap(ctl::MapPixels(in, outSpecial == kOutDarker ? ctl::DarkerColor : ctl::GrayColor, inKey), inKey);
  else if (!out.isNull())
    bitmap_.out = ctl::KeyedPixmap(out, outKey);
  update();
  return 0;
}

int CStyledButton::LoadBitmapPair(int inId, COLORREF inKey, int outId, COLORREF outKey) {
  const QImage in = ctl::LoadBitmapFile(ctl::ResourcePath(inId));
  if (outId == kOutDarker || outId == kOutGray || outId == kOutNone) return SetBitmapPair(in, inKey, QImage(), 0, outId);
  return SetBitmapPair(in, inKey, ctl::LoadBitmapFile(ctl::ResourcePath(outId)), outKey);
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

int CStyledButton::SetCursorId(int id, bool repaint) {
  if (hasCursor_) unsetCursor();
  hasCursor_ = false;
  if (id == 0) return 0;
  const std::optional<QCursor> cursor = ctl::ResourceCursor(id);
  if (!cursor) return 1;
  setCursor(*cursor);
  hasCursor_ = true;
  if (repaint) update();
  return 0;
}

void CStyledButton::ensureTooltip() {
  if (tip_) return;
  tip_ = new ButtonTip((tipStyle_ & kBalloonStyle) != 0);
  tip_->hide();
}

void CStyledButton::SetTooltipText(const QString& text, bool activate) {
  if (text.isNull()) return;
  ensureTooltip();
  tipText_ = text;
  tipRegistered_ = true;
  tip_->setText(text);
  tip_->adjustSize();
  setToolTip(text);  // what the button says it is, for accessibility and tests
  ActivateTooltip(activate);
}

void CStyledButton::SetTooltipTextId(int id, bool activate) {
  char text[1024] = {};
  const std::string table = ctl::ResourceFile(QStringLiteral("strings.ini")).toStdString();
  GetPrivateProfileStringA("strings", std::to_string(id).c_str(), "", text, sizeof text, table.c_str());
  if (text[0] == '\0') return;
  SetTooltipText(QString::fromUtf8(text), activate);
}

void CStyledButton::ActivateTooltip(bool on) {
  if (!tipRegistered_) return;
  tipActive_ = on;
  if (!on && tip_) tip_->hide();
}

void CStyledButton::EnableBalloonTooltip() { tipStyle_ |= kBalloonStyle; }

void CStyledButton::SetUrl(const QString& url) { url_ = url.left(260); }

int CStyledButton::SetDropMenu(TrelMenu* menu, QWidget* target) {
  if (ownMenu_) ownMenu_->DestroyMenu();
  ownMenu_.reset();
  menu_ = menu;
  menuTarget_ = target;
  menuShown_ = false;
  return menu ? 0 : 1;
}

int CStyledButton::SetDropMenu(int menuId, QWidget* target, bool xpStyle, int toolbarId, int imageWidth,
                               int imageHeight, COLORREF imageBackground, bool repaint) {
  if (ownMenu_) ownMenu_->DestroyMenu();
  ownMenu_.reset();
  menu_ = nullptr;
  menuTarget_ = nullptr;
  menuShown_ = false;
  if (menuId != 0) {
    TrelMenu::SetDrawMode(xpStyle ? 1 : 0);
    auto menu = std::make_unique<TrelMenu>();
    if (!menu->LoadMenu(menuId)) return 1;
    if (toolbarId != 0) {
      menu->SetImageBackground(imageBackground);
      TrelMenu::SetImageSize(imageWidth, imageHeight);
      if (!menu->LoadToolbarImages(toolbarId)) {
        menu->DestroyMenu();
        return 1;
      }
    }
    ownMenu_ = std::move(menu);
    menuTarget_ = target;
  }
  if (repaint) update();
  return 0;
}

void CStyledButton::SetMenuCallback(QWidget* window, UINT message, LPARAM lParam) {
  callbackWindow_ = window;
  callbackMessage_ = message;
  callbackValue_ = lParam;
}

void CStyledButton::SizeToImage() {
  const QPixmap& image = !icon_.empty() ? icon_.in : bitmap_.in;
  if (image.isNull()) return;
  origin_ = QPoint(0, 0);
  resize(image.size() / image.devicePixelRatio());
}

void CStyledButton::SetSound(const QString& name, const QString& resourceFolder, bool onClick, bool async) {
  Sound& s = sounds_[onClick ? 1 : 0];
  if (name.isEmpty()) {
    s = Sound();
    return;
  }
  if (resourceFolder.isEmpty()) {
    s.path = name.left(259);
    s.flags = SND_NODEFAULT | SND_NOWAIT | SND_FILENAME;
  } else {
    const QString file = QFileInfo(name).suffix().isEmpty() ? name + QStringLiteral(".wav") : name;
    s.path = resourceFolder + QLatin1Char('/') + file;
    s.flags = SND_NODEFAULT | SND_NOWAIT | SND_RESOURCE;
  }
  if (async) s.flags |= SND_ASYNC;
}

void CStyledButton::playSound(int record) {
  const Sound& s = sounds_[record];
  if (s.path.isEmpty()) return;
  // A missing file stays silent, as SND_NODEFAULT asks; without SND_ASYNC the sound ends before
  // the button goes on.
  if (!plat::PlaySoundFile(s.path.toStdString(), false) || (s.flags & SND_ASYNC)) return;
  while (plat::SoundPlaying() && plat::CurrentSound() == s.path.toStdString())
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void CStyledButton::SetTransparentLook(bool repaint) {
  transparent_ = true;
  background_ = QPixmap();
  if (repaint) update();
}

int CStyledButton::CaptureParentBackground(const QImage* parentPixels) {
  if (!transparent_ || !parentPixels || parentPixels->isNull()) return 5;
  background_ = QPixmap::fromImage(parentPixels->copy(geometry()));
  update();
  return 0;
}

void CStyledButton::SetButtonStyle(UINT style, bool repaint) {
  const UINT type = style & 0x1F;
  if (type == kDefPushButton) defaultButton_ = true;
  else if (type == kPushButton) defaultButton_ = false;
  if (repaint) update();
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
  playSound(1);
  if (checkMode_) {
    checked_ = !checked_;
    update();
    return;
  }
  TrelMenu* popup = ownMenu_ ? ownMenu_->GetSubMenu(0) : menu_.data();
  if (popup) {
    menuShown_ = true;
    update();
    if (callbackWindow_) {
      WindowMessageEvent callback(callbackMessage_, reinterpret_cast<WPARAM>(popup), callbackValue_);
      QCoreApplication::sendEvent(callbackWindow_, &callback);
    }
    QAction* chosen = popup->exec(mapToGlobal(QPoint(0, height())));
    menuShown_ = false;
    update();
    if (chosen && menuTarget_ && chosen->data().isValid())
      QCoreApplication::postEvent(menuTarget_, new WindowMessageEvent(WM_COMMAND, chosen->data().toInt(), 0));
    return;
  }
  if (!url_.isEmpty()) QDesktopServices::openUrl(QUrl::fromUserInput(url_));
}

void CStyledButton::endHover() {
  if (flat_ && hovering_) {
    hovering_ = false;
    update();
  }
}

void CStyledButton::mouseMoveEvent(QMouseEvent* e) {
  QPushButton::mouseMoveEvent(e);
  if ((e->buttons() & Qt::LeftButton) && !hovering_) return;
  if (!flat_) return;
  // Without track-always the hover shows only while the application is active.
  const bool activePresent = trackAlways_ || QApplication::activeWindow() != nullptr;
  const QPoint global = e->globalPosition().toPoint();
  QWidget* under = QApplication::widgetAt(global);
  if (!under && rect().contains(e->position().toPoint())) under = this;  // no window system to ask
  if (under == this && activePresent) {
    if (!hovering_) {
      hovering_ = true;
      update();
      playSound(0);
    }
  } else {
    endHover();
  }
}

void CStyledButton::leaveEvent(QEvent* e) {
  endHover();
  if (tip_) tip_->hide();
  QPushButton::leaveEvent(e);
}

void CStyledButton::focusOutEvent(QFocusEvent* e) {
  if (!isEnabled()) lostFocusByDisabling_ = true;
  QPushButton::focusOutEvent(e);
  endHover();
}

void CStyledButton::changeEvent(QEvent* e) {
  QPushButton::changeEvent(e);
  if (e->type() == QEvent::EnabledChange && !isEnabled()) {
    // Qt hands the focus to the next tab item; with none, the parent takes it.
    const bool hadFocus = lostFocusByDisabling_ || hasFocus();
    lostFocusByDisabling_ = false;
    if (hadFocus && parentWidget() && (!QApplication::focusWidget() || QApplication::focusWidget() == this))
      parentWidget()->setFocus();
    endHover();
    update();
  } else if (e->type() == QEvent::ActivationChange && !isActiveWindow()) {
    endHover();
  }
}

void CStyledButton::hideEvent(QHideEvent* e) {
  // A hidden button's modal states end, as a cancelled mode ends them.
  endHover();
  if (tip_) tip_->hide();
  QPushButton::hideEvent(e);
}

bool CStyledButton::event(QEvent* e) {
  if (e->type() == QEvent::ApplicationPaletteChange) {
    // The desktop's colours changed: the saved background and every colour go back to the new ones.
    background_ = QPixmap();
    ResetColors(true);
  }
  if (e->type() == WindowMessageEvent::eventType()) {
    auto* m = static_cast<WindowMessageEvent*>(e);
    switch (m->message) {
      case BM_SETSTYLE: SetButtonStyle(static_cast<UINT>(m->wParam), m->lParam != 0); return true;
      case BM_SETCHECK:
        checked_ = m->wParam == 1 || m->wParam == 2;
        update();
        m->result = 0;
        return true;
      case BM_GETCHECK: m->result = checked_ ? 1 : 0; return true;
      case WM_GETDLGCODE: m->result = GetDlgCode(); return true;
      case WM_SYSCOLORCHANGE:
        background_ = QPixmap();
        ResetColors(true);
        return true;
      default: break;
    }
  } else if (e->type() == QEvent::ToolTip) {
    if (tip_ && tipActive_ && !tipText_.isEmpty()) {
      const QPoint at = mapToGlobal(QPoint(0, height() + 2));
      tip_->move(at);
      tip_->show();
      tip_->raise();
    }
    return true;
  } else if (e->type() == QEvent::MouseButtonPress) {
    if (tip_) tip_->hide();
  }
  return QPushButton::event(e);
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

// Centring: half of (space - size), toward zero.
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
        caption.setRight(caption.width() - W - origin_.x() - 1);  // the last pixel inside
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

void CStyledButton::placeSecondImage(QRect& img, QSize size, bool hasCaption, bool pressed) const {
  const int W = size.width(), H = size.height();
  const QRect item = rect();
  img = QRect(item.topLeft(), size);
  switch (secondAlign_) {
    case 0:
      img.moveLeft(hasCaption ? item.left() + origin_.x() : item.left() + (item.width() - W) / 2);
      img.moveTop(item.top() + (item.height() - H) / 2);
      break;
    case 1:
      img.moveLeft(item.left() + (item.width() - W) / 2);
      img.moveTop(hasCaption ? item.top() + origin_.y() : item.top() + (item.height() - H) / 2);
      break;
    case 2:
      if (hasCaption) {
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

QSize CStyledButton::sizeHint() const {
  const QSize base = QPushButton::sizeHint();
  const QPixmap& image = icon_.in.isNull() ? bitmap_.in : icon_.in;
  const QString caption = text();
  if (image.isNull() || caption.isEmpty()) return base;
  const QSize pic = image.size() / image.devicePixelRatio();
  const QSize words = fontMetrics().size(Qt::TextShowMnemonic, caption);
  // The caption starts 4 pixels after the image and keeps as much again before the edge.
  if (align_ == 1)
    return base.expandedTo(QSize(std::max(pic.width(), words.width() + 8) + 2 * origin_.x(),
                                 pic.height() + words.height() + 2 * origin_.y()));
  return base.expandedTo(QSize(origin_.x() + pic.width() + 4 + words.width() + 8,
                               std::max(pic.height(), words.height()) + 2 * origin_.y()));
}

const QPixmap& CStyledButton::chosen(const Image& image) const {
  const bool useIn = checkMode_ ? drawPressed_ : (drawPressed_ || drawHover_);
  return (useIn || image.out.isNull()) ? image.in : image.out;
}

QPixmap CStyledButton::disabledForm(const QPixmap& image) const {
  // Embossed as a disabled state is drawn: the shape in the highlight one pixel down-right, the
  // shadow in place; what is white or transparent shows nothing.
  const QPalette& pal = palette();
  return ctl::EmbossedImage(image.toImage(), Qt::white, Qt::white, pal.color(QPalette::Mid), false);
}

void CStyledButton::paintParentCopy(QPainter& p) {
  QWidget* parent = parentWidget();
  if (background_.isNull() && parent) {
    // The parent alone, without its children, at the button's place.
    QPixmap copy(size());
    copy.fill(parent->palette().color(parent->backgroundRole()));
    parent->render(&copy, QPoint(), QRegion(geometry()), QWidget::DrawWindowBackground);
    background_ = copy;
  }
  if (!background_.isNull()) p.drawPixmap(0, 0, background_);
}

int CStyledButton::PaintBackground(QPainter& p, QRect& r) {
  if (!flat_ && (drawFocused_ || defaultButton_)) {
    p.setPen(Qt::black);
    p.drawRect(r.adjusted(0, 0, -1, -1));
    r.adjust(1, 1, -1, -1);
  }
  const COLORREF bg = (drawHover_ || drawPressed_) ? colours_[0] : drawFocused_ ? colours_[4] : colours_[2];
  p.fillRect(r, ctl::ToQColor(bg));
  return 0;
}

int CStyledButton::PaintBorder(QPainter& p, const QRect& rect) {
  const QPalette& pal = palette();
  const QColor hi = pal.color(QPalette::Light), light = pal.color(QPalette::Midlight);
  const QColor sh = pal.color(QPalette::Mid), dk = pal.color(QPalette::Dark);
  // Coordinates as the rectangle's edges: right and bottom are one past the last pixel.
  const int l = rect.left(), t = rect.top(), r = rect.right() + 1, b = rect.bottom() + 1;
  auto line = [&](const QColor& c, int x1, int y1, int x2, int y2) {
    p.setPen(c);
    p.drawLine(x1, y1, x2, y2);
  };
  if (drawPressed_) {
    if (!flat_) {
      p.setPen(sh);
      p.drawRect(rect.adjusted(0, 0, -1, -1));
    } else if (flatBorder_) {
      line(sh, l, t, r - 1, t);
      line(sh, l, t, l, b - 1);
      line(hi, l, b - 1, r - 1, b - 1);
      line(hi, r - 1, t, r - 1, b - 1);
    }
  } else if (flat_) {
    if (drawHover_ && flatBorder_) {
      line(hi, l, t, r - 1, t);
      line(hi, l, t, l, b - 1);
      line(sh, l, b - 1, r - 1, b - 1);
      line(sh, r - 1, t, r - 1, b - 1);
    } else {
      line(hi, l + 1, t, r - 3, t);
      if (edgeLines_) line(sh, l + 1, b - 1, r - 3, b - 1);
    }
  } else {
    line(hi, l, b - 1, l, t + 1);
    line(hi, l, t, r - 1, t);
    line(light, l + 1, b - 1, l + 1, t + 2);
    line(light, l + 1, t + 1, r - 1, t + 1);
    line(dk, l, b - 1, r - 2, b - 1);
    line(dk, r - 1, b - 1, r - 1, t);
    line(sh, l + 1, b - 2, r - 3, b - 2);
    line(sh, r - 2, b - 2, r - 2, t + 1);
  }
  return 0;
}

void CStyledButton::PaintIcon(QPainter& p, bool hasCaption, const QRect&, QRect& caption, bool pressed, bool disabled) {
  const QPixmap& image = chosen(icon_);
  QRect at;
  placeImage(at, caption, image.size() / image.devicePixelRatio(), hasCaption, pressed);
  p.drawPixmap(at.topLeft(), disabled ? disabledForm(image) : image);
}

void CStyledButton::PaintSecondIcon(QPainter& p, bool hasCaption, const QRect&, QRect&, bool pressed, bool disabled) {
  const QPixmap& image = chosen(secondIcon_);
  QRect at;
  placeSecondImage(at, image.size() / image.devicePixelRatio(), hasCaption, pressed);
  p.drawPixmap(at.topLeft(), disabled ? disabledForm(image) : image);
}

void CStyledButton::PaintBitmap(QPainter& p, bool hasCaption, const QRect&, QRect& caption, bool pressed,
                                bool disabled) {
  const QPixmap& image = chosen(bitmap_);
  QRect at;
  placeImage(at, caption, image.size() / image.devicePixelRatio(), hasCaption, pressed);
  p.drawPixmap(at.topLeft(), disabled && embossDisabledBitmap_ ? disabledForm(image) : image);
}

void CStyledButton::PaintCaption(QPainter& p, const QString& caption, const QRect&, QRect& captionRect, bool pressed,
                                 bool disabled) {
  if (pressed && !checkMode_) captionRect.translate(shift_);
  const QRect measured = p.fontMetrics().boundingRect(captionRect, Qt::TextWordWrap, caption);
  // Left-aligned with a 4-pixel indent, centred vertically.
  // The measured rectangle moved, not the caption's: the text breaks where it was measured to.
  const QRect at(captionRect.left() + 4, captionRect.top() + (captionRect.height() - measured.height()) / 2,
                 measured.width(), measured.height());
  const int flags = Qt::TextWordWrap | Qt::TextShowMnemonic;
  if (disabled) {
    p.setPen(palette().color(QPalette::Light));
    p.drawText(at.translated(1, 1), flags, caption);
    p.setPen(palette().color(QPalette::Mid));
    p.drawText(at, flags, caption);
    return;
  }
  const COLORREF tc = (drawHover_ || drawPressed_) ? colours_[1] : drawFocused_ ? colours_[5] : colours_[3];
  p.setPen(ctl::ToQColor(tc));
  p.drawText(at, flags, caption);
}

void CStyledButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const bool down = forced_ ? forcedPressed_ : isDown();
  drawHover_ = forced_ ? forcedHover_ : hovering_;
  drawFocused_ = forced_ ? forcedFocus_ : hasFocus();
  drawPressed_ = checkMode_ ? (down || checked_) : (down || menuShown_);
  const bool disabled = !isEnabled();
  QRect r = rect();
  if (transparent_) paintParentCopy(p);
  else PaintBackground(p, r);
  PaintBorder(p, r);
  const QString caption = text();
  const bool hasCaption = !caption.isEmpty();
  QRect captionRect = rect();
  if (!icon_.empty()) PaintIcon(p, hasCaption, rect(), captionRect, drawPressed_, disabled);
  if (secondShown_ && !secondIcon_.empty()) PaintSecondIcon(p, hasCaption, rect(), captionRect, drawPressed_, disabled);
  if (!bitmap_.empty()) PaintBitmap(p, hasCaption, rect(), captionRect, drawPressed_, disabled);
  if (hasCaption) PaintCaption(p, caption, rect(), captionRect, drawPressed_, disabled);
  if ((!flat_ || flatFocus_) && drawFocused_) {
    p.setPen(QPen(palette().color(QPalette::WindowText), 1, Qt::DotLine));
    p.drawRect(rect().adjusted(3, 3, -4, -4));
  }
}
