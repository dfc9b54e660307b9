// CSkinButton and CRoundSkinButton.
#include "ui/controls/skin_button.h"

#include <QMouseEvent>
#include <QPainter>

#include "platform/ini.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"

namespace {
constexpr COLORREF kMagenta = RGB(255, 0, 255);
}

CSkinButton::CSkinButton(QWidget* parent) : QAbstractButton(parent) {
  setMouseTracking(true);
  setAttribute(Qt::WA_Hover);
}

bool CSkinButton::LoadBitmapFiles(const QString& normal, const QString& selected, const QString& focus,
                                  const QString& disabled) {
  // The old pictures go first: a failed load leaves the button without any.
  normal_ = selected_ = focus_ = disabled_ = QPixmap();
  normalImage_ = QImage();
  const QImage n = ctl::LoadBitmapFile(normal);
  if (n.isNull()) {
    update();
    return false;
  }
  const COLORREF key = drawOpaque() ? 0xFF000000u : kMagenta;  // the keypad draws opaque
  auto keyed = [&](const QImage& img) { return drawOpaque() ? QPixmap::fromImage(img) : ctl::KeyedPixmap(img, key); };
  normalImage_ = n;
  normal_ = keyed(n);
  auto state = [&](const QString& path) {
    const QImage img = path.isEmpty() ? QImage() : ctl::LoadBitmapFile(path);
    return img.isNull() ? normal_ : keyed(img);
  };
  selected_ = state(selected);
  focus_ = state(focus);
  disabled_ = state(disabled);
  setFixedSize(n.size());
  loaded_ = true;
  update();
  return true;
}

void CSkinButton::reloadFromSkin() {
  auto path = [&](const char* suffix) { return QString::fromStdString(ctl::SkinFilePath(name_ + suffix + ".bmp")); };
  LoadBitmapFiles(path(""), path("sel"), path("focus"), path("disabled"));
  update();
}

void CSkinButton::OnSkinChanged() { reloadFromSkin(); }

bool CSkinButton::event(QEvent* e) {
  if (e->type() == WindowMessageEvent::eventType()) {
    auto* m = static_cast<WindowMessageEvent*>(e);
    if (m->message == WM_SKIN_CHANGED) {
      OnSkinChanged();
      m->result = 1;
      return true;
    }
  }
  return QAbstractButton::event(e);
}

QSize CSkinButton::sizeHint() const { return loaded_ ? normal_.size() : QSize(24, 24); }

const QPixmap& CSkinButton::currentPicture() const {
  if (!isEnabled()) return disabled_;
  if (isDown()) return selected_;
  if (hovering_) return focus_;
  return normal_;
}

void CSkinButton::paintEvent(QPaintEvent*) {
  if (!loaded_ || currentPicture().isNull()) return;
  QPainter p(this);
  p.drawPixmap(0, 0, currentPicture());
}

void CSkinButton::enterEvent(QEnterEvent* e) {
  if (hoverTracking_ && !hovering_) {
    hovering_ = true;
    update();
  }
  QAbstractButton::enterEvent(e);
}

void CSkinButton::leaveEvent(QEvent* e) {
  if (hoverTracking_) {
    hovering_ = false;
    update();
  }
  QAbstractButton::leaveEvent(e);
}

void CSkinButton::mouseMoveEvent(QMouseEvent* e) {
  if (hoverTracking_ && !hovering_) {
    hovering_ = true;
    update();
  }
  e->accept();
}

void CSkinButton::mouseDoubleClickEvent(QMouseEvent* e) { e->accept(); }

CRoundSkinButton::CRoundSkinButton(QWidget* parent) : CSkinButton(parent) {
  connect(this, &QAbstractButton::clicked, this, [this] { ctl::PostOwnerMessage(this, WM_KEYPAD_DIGIT, keyCode_, 0); });
}

void CRoundSkinButton::OnSkinChanged() {
  circle_ = GetPrivateProfileIntA("dial_dialog", "circle_button", 0, ctl::SkinIniPath().c_str()) != 0;
  reloadFromSkin();
}

void CRoundSkinButton::mousePressEvent(QMouseEvent* e) {
  const QPoint at = e->position().toPoint();
  if (!normalImage_.isNull() && normalImage_.valid(at) && (normalImage_.pixel(at) & 0x00FFFFFF) == 0x00FFFFFF) {
    e->accept();  // a press on the white corners around a round key is dropped
    return;
  }
  CSkinButton::mousePressEvent(e);
}
