// CSkinToolBar and CDialComboBox.
#include "ui/controls/skin_toolbar.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QStyleOptionToolButton>
#include <QStylePainter>
#include <QTimer>

#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"
#include "ui/controls/trel_menu.h"

namespace {
constexpr int kDropArrowResource = 32738;
}

CSkinToolButton::CSkinToolButton(CSkinToolBar* bar, int command, int imageIndex, bool dropDown)
    : QToolButton(bar), bar_(bar), command_(command), imageIndex_(imageIndex), dropDown_(dropDown) {
  setAutoRaise(true);
  setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  setAttribute(Qt::WA_Hover);
}

QSize CSkinToolButton::sizeHint() const {
  const QSize img = bar_->ImageSize();
  const int tw = text().isEmpty() ? 0 : fontMetrics().horizontalAdvance(text()) + 6;
  const int w = 3 + img.width() + 2 + tw + (dropDown_ ? 13 : 0) + 3;
  const QSize own(w, std::max(img.height() + 7, fontMetrics().height() + 8));
  // Without a background the style draws the button, with its own margins: it needs the style's room too.
  return bar_->HasBackground() ? own : own.expandedTo(QToolButton::sizeHint());
}

void CSkinToolButton::paintEvent(QPaintEvent* e) {
  const bool hot = forcedHot_ || (underMouse() && isEnabled());
  const bool pressed = isDown();
  const bool checked = isChecked();
  // Without a background, and for a button at rest over one, the bar's default drawing.
  if (!bar_->HasBackground() || !(hot || pressed || checked)) {
    QStylePainter sp(this);
    QStyleOptionToolButton opt;
    initStyleOption(&opt);
    if (opt.icon.isNull() && imageIndex_ >= 0) {
      opt.icon = QIcon(bar_->Image(imageIndex_, hot));  // the control's own drawing takes the hot list
      opt.iconSize = bar_->ImageSize();
      opt.toolButtonStyle = toolButtonStyle();  // a button without its own icon counted as text only
    }
    if (dropDown_) opt.features |= QStyleOptionToolButton::HasMenu;  // the control's own arrow
    sp.drawComplexControl(QStyle::CC_ToolButton, opt);
    (void)e;
    return;
  }
  QPainter p(this);  // its pen as it comes (black, one pixel) outlines the plates and the arrow's line
  p.setRenderHint(QPainter::Antialiasing);
  const QRect r = rect();
  const QPen pen = p.pen();
  // Each state present is drawn in turn; a checked and hot button ends with the hot plate.
  if (checked) {  // a pixel in on every side
    p.setBrush(ctl::ToQColor(bar_->CheckedColor));
    p.drawRect(QRectF(r.left() + 1.5, r.top() + 1.5, r.width() - 3, r.height() - 3));
  }
  if (hot) {
    p.setBrush(ctl::ToQColor(bar_->HotColor));
    p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), bar_->PlateCornerX / 2.0, bar_->PlateCornerY / 2.0);
  }
  if (pressed) {
    p.setBrush(ctl::ToQColor(bar_->PressedColor));
    p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), bar_->PlateCornerX / 2.0, bar_->PlateCornerY / 2.0);
  }
  p.setRenderHint(QPainter::Antialiasing, false);
  // The face over a plate takes the normal picture and text colour, a disabled (checked) button too.
  const QPixmap img = bar_->Image(imageIndex_, false);
  if (!img.isNull()) p.drawPixmap(r.left() + 3, r.top() + 3, img);
  const QRect textRect(r.left() + 5 + bar_->ImageSize().width(), r.top() + 2,
                       r.width() - 6 - bar_->ImageSize().width(), r.height() - 3);
  p.setPen(palette().color(QPalette::Active, QPalette::ButtonText));
  p.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine | Qt::TextShowMnemonic, text());
  if (dropDown_) {
    // The arrow's area closes the text rectangle, over whatever text reached it.
    const QRect area(textRect.right() - 12, textRect.top(), 12, textRect.height());
    const QPixmap arrow = bar_->DropArrow();
    if (!arrow.isNull()) p.drawPixmap(area.left() + 1, area.top() + 3, arrow);
    p.setPen(pen);
    p.drawLine(area.left() - 1, area.top() - 1, area.left() - 1, area.bottom());
  }
}

CSkinToolBar::CSkinToolBar(QWidget* parent) : QToolBar(parent) {
  setMovable(false);
  setFloatable(false);
  setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  setContentsMargins(2, 2, 2, 2);
  dropArrow_ = ctl::LoadBitmapFile(ctl::ResourcePath(kDropArrowResource));
}

QPixmap CSkinToolBar::DropArrow() const {
  if (dropArrow_.isNull()) return {};
  // The face colour at drawing time is the transparent colour; magenta too, the picture's background.
  const QImage noMagenta = ctl::KeyedPixmap(dropArrow_, RGB(255, 0, 255)).toImage();
  return ctl::KeyedPixmap(noMagenta, ctl::ToColorRef(palette().color(QPalette::Button)));
}

CSkinToolButton* CSkinToolBar::AddButton(int command, const QString& text, int imageIndex, bool dropDown) {
  auto* b = new CSkinToolButton(this, command, imageIndex, dropDown);
  b->setText(text);
  connect(b, &QToolButton::clicked, this, [this, command] { emit commandTriggered(command); });
  addWidget(b);
  return b;
}

CSkinToolButton* CSkinToolBar::Button(int command) const {
  for (auto* b : findChildren<CSkinToolButton*>())
    if (b->command() == command) return b;
  return nullptr;
}

bool CSkinToolBar::CreateBar(int resourceId) {
  QSize size;
  std::vector<int> commands;
  if (!ctl::ReadToolbarResource(resourceId, &size, &commands)) return false;
  const QImage strip = ctl::LoadBitmapFile(ctl::ResourcePath(resourceId));
  if (strip.isNull()) return false;
  imageSize_ = size;
  images_ = ctl::CutStrip(strip, size.width(), size.height(), RGB(192, 192, 192));  // the button face
  int image = 0;
  for (int command : commands) {
    if (command == 0) {
      addSeparator();
      continue;
    }
    AddButton(command, QString(), image++);
  }
  return true;
}

void CSkinToolBar::SetBackgroundBitmap(int resourceId, int frameMode) {
  SetBackgroundBitmapFile(ctl::ResourcePath(resourceId), frameMode);
}

void CSkinToolBar::SetBackgroundBitmapFile(const QString& path, int frameMode) {
  frameMode_ = frameMode;
  const QImage img = ctl::LoadBitmapFile(path);
  if (!img.isNull()) background_ = img;
  update();
}

void CSkinToolBar::SetButtonImagesFromFile(int w, int h, const QString& folder, const QString& file, COLORREF mask,
                                           bool hot) {
  const QImage strip = ctl::LoadBitmapFile(folder + QLatin1Char('/') + file);
  if (strip.isNull()) return;
  imageSize_ = QSize(w, h);
  (hot ? hotImages_ : images_) = ctl::CutStrip(strip, w, h, mask);
  for (auto* b : findChildren<CSkinToolButton*>()) b->updateGeometry();
  update();
}

bool CSkinToolBar::SetDisabledImagesFromFile(int w, int h, const QString& path, COLORREF mask) {
  const QImage strip = ctl::LoadBitmapFile(path);
  disabledImages_ = strip.isNull() ? QList<QPixmap>() : ctl::CutStrip(strip, w, h, mask);
  update();
  return !strip.isNull();
}

QPixmap CSkinToolBar::DisabledImage(int index) const {
  return index >= 0 && index < disabledImages_.size() ? disabledImages_[index] : QPixmap();
}

QPixmap CSkinToolBar::Image(int index, bool hot) const {
  const QList<QPixmap>& list = (hot && !hotImages_.isEmpty()) ? hotImages_ : images_;
  return (index >= 0 && index < list.size()) ? list[index] : QPixmap();
}

void CSkinToolBar::paintEvent(QPaintEvent* e) {
  if (background_.isNull()) {
    QToolBar::paintEvent(e);
    return;
  }
  QPainter p(this);
  const int rows = std::min(background_.height(), height());
  p.drawImage(rect(), background_, QRect(0, 0, background_.width(), rows));
  if (frameMode_) {
    const QRect r = rect().adjusted(0, 0, -1, -1);
    p.setPen(ctl::ToQColor(0x9B533C));
    p.drawLine(r.topLeft(), r.topRight());
    p.drawLine(r.topRight(), r.bottomRight());
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.setPen(ctl::ToQColor(0x808080));
    p.drawLine(r.bottomLeft(), r.bottomRight());
  }
}

// ---------------------------------------------------------------------------

CDialComboBox::CDialComboBox(QWidget* parent) : QComboBox(parent) {
  setEditable(true);
  setInsertPolicy(QComboBox::NoInsert);
  lineEdit()->installEventFilter(this);
  // The open list has the keys: Enter still dials there, and chooses nothing.
  view()->installEventFilter(this);
  connect(lineEdit(), &QLineEdit::textEdited, this, [this] { numberChanged(); });
  connect(this, qOverload<int>(&QComboBox::activated), this, [this] {
    closedWithoutChoice_ = false;  // the list's end is told once, as a choice
    numberChanged();
  });
}

void CDialComboBox::numberChanged() {
  QLineEdit* e = lineEdit();
  const int start = e->hasSelectedText() ? e->selectionStart() : e->cursorPosition();
  const int end = e->hasSelectedText() ? e->selectionEnd() : e->cursorPosition();
  editSelection_ = (static_cast<unsigned>(start) & 0xFFFF) | (static_cast<unsigned>(end) << 16);
  ctl::SendOwnerMessage(this, WM_DIAL_NUMBER_CHANGED);
}

void CDialComboBox::hidePopup() {
  QComboBox::hidePopup();
  // A choice from the list is announced right after the list closes; only a list closed without one
  // (a cancelled selection) is told from here, once the choice had its turn.
  closedWithoutChoice_ = true;
  QTimer::singleShot(0, this, [this] {
    if (!closedWithoutChoice_) return;
    closedWithoutChoice_ = false;
    numberChanged();
  });
}

bool CDialComboBox::handleEnter(QKeyEvent* event) {
  if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) return false;
  if (dialEnabled_ && dialEnabled_()) ctl::PostOwnerMessage(this, WM_CALL_DIAL);
  event->accept();
  return true;  // never reaches the dialog's default button
}

bool CDialComboBox::eventFilter(QObject* watched, QEvent* event) {
  if ((watched == lineEdit() || watched == view()) && event->type() == QEvent::KeyPress &&
      handleEnter(static_cast<QKeyEvent*>(event)))
    return true;
  if (watched == view() && event->type() == QEvent::ShortcutOverride) {
    // The list would take Enter as its choice before the key is pressed.
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      key->accept();
      return true;
    }
  }
  if (watched == view() && event->type() == QEvent::KeyPress && !movingInList_) {
    // A key that moves through the open list puts the item reached into the field, as the system's
    // drop-down combo does, so that Enter dials what the list shows chosen.
    switch (static_cast<QKeyEvent*>(event)->key()) {
      case Qt::Key_Up:
      case Qt::Key_Down:
      case Qt::Key_PageUp:
      case Qt::Key_PageDown:
      case Qt::Key_Home:
      case Qt::Key_End: {
        if (static_cast<QKeyEvent*>(event)->modifiers() & Qt::AltModifier) break;
        const QModelIndex before = view()->currentIndex();
        movingInList_ = true;
        QCoreApplication::sendEvent(view(), event);
        movingInList_ = false;
        const QModelIndex now = view()->currentIndex();
        if (now.isValid() && now != before) {
          lineEdit()->setText(now.data().toString());
          lineEdit()->selectAll();
        }
        return true;
      }
      default: break;
    }
  }
  return QComboBox::eventFilter(watched, event);
}

void CDialComboBox::keyPressEvent(QKeyEvent* event) {
  if (handleEnter(event)) return;
  QComboBox::keyPressEvent(event);
}
