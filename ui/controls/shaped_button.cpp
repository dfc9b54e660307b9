// CShapedButton: a picture button shaped by a mask.
#include "ui/controls/shaped_button.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPainter>

#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"

CShapedButton::CShapedButton(QWidget* parent, Kind kind, int group) : QAbstractButton(parent), kind_(kind), group_(group) {
  setMouseTracking(true);
  captionColour_ = palette().color(QPalette::ButtonText);
}

QRegion CShapedButton::RegionFromMask(const QImage& mask) {
  QRegion region;
  if (mask.isNull()) return region;
  const auto runs = ctl::RegionRunsFromMask(mask.width(), mask.height(), [&](int x, int y) {
    return (mask.pixel(x, y) & 0x00FFFFFF) == 0x00FFFFFF;
  });
  for (const auto& r : runs) region += QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
  return region;
}

void CShapedButton::SetBitmaps(const QString& normal, const QString& down, const QString& hover, const QString& disabled,
                               const QString& focus, const QString& mask, int layout, bool drawEdge, int focusInset) {
  normal_ = ctl::LoadBitmapFile(normal);
  down_ = ctl::LoadBitmapFile(down);
  hover_ = ctl::LoadBitmapFile(hover);
  disabled_ = ctl::LoadBitmapFile(disabled);
  if (disabled_.isNull()) disabled_ = normal_;
  focus_ = ctl::LoadBitmapFile(focus);
  mask_ = ctl::LoadBitmapFile(mask);
  layout_ = std::clamp(layout, 0, 2);
  drawEdge_ = drawEdge;
  focusInset_ = std::max(0, focusInset);
  clearMask();
  if (!mask_.isNull()) {
    if (layout_ == kOwnSize) resize(mask_.size());
    applyMask();
  }
  update();
}

void CShapedButton::SetBitmaps(int normal, int down, int hover, int disabled, int focus, int mask, int layout,
                               bool drawEdge, int focusInset) {
  auto path = [](int id) { return id ? ctl::ResourcePath(id) : QString(); };
  SetBitmaps(path(normal), path(down), path(hover), path(disabled), path(focus), path(mask), layout, drawEdge,
             focusInset);
}

void CShapedButton::applyMask() {
  if (mask_.isNull()) return;
  // A stretched picture stretches its mask with it.
  const QRegion region = RegionFromMask(layout_ == kStretch ? mask_.scaled(size()) : mask_);
  if (region.isEmpty()) clearMask();  // no shape: the window stays rectangular
  else setMask(region);
}

void CShapedButton::resizeEvent(QResizeEvent* e) {
  QAbstractButton::resizeEvent(e);
  applyMask();
}

QSize CShapedButton::sizeHint() const {
  if (layout_ == kOwnSize && !mask_.isNull()) return mask_.size();
  if (!normal_.isNull()) return normal_.size();
  return QSize(80, 24);
}

QColor CShapedButton::SetCaptionColor(const QColor& colour) {
  const QColor old = captionColour_;
  captionColour_ = colour;
  update();
  return old;
}

void CShapedButton::SetCheck(bool checked) {
  checked_ = kind_ == kPush ? false : checked;
  if (kind_ == kRadio && checked_ && parentWidget()) {
    for (QObject* o : parentWidget()->children()) {
      auto* other = qobject_cast<CShapedButton*>(o);
      if (other && other != this && other->group_ == group_ && other->kind_ == kRadio)
        QCoreApplication::postEvent(other, new WindowMessageEvent(WM_CLEAR_CHECK, 0, 0));
    }
  }
  update();
}

bool CShapedButton::event(QEvent* e) {
  if (e->type() == WindowMessageEvent::eventType()) {
    auto* m = static_cast<WindowMessageEvent*>(e);
    if (m->message == WM_CLEAR_CHECK && checked_) {
      checked_ = false;
      update();
    } else if (m->message == BM_SETCHECK) {
      SetCheck(m->wParam != 0);
      m->result = 0;
    } else if (m->message == BM_GETCHECK) {
      m->result = checked_ ? 1 : 0;
    }
    return true;
  }
  return QAbstractButton::event(e);
}

void CShapedButton::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QAbstractButton::mousePressEvent(e);
  hovering_ = false;
  if (pressToTalk) ctl::PostOwnerMessage(this, WM_PTT_PRESS);
  QAbstractButton::mousePressEvent(e);
  held_ = true;
}

void CShapedButton::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QAbstractButton::mouseReleaseEvent(e);
  if (rect().contains(e->position().toPoint())) {
    if (kind_ == kCheck) SetCheck(!checked_);
    else if (kind_ == kRadio) SetCheck(true);
  }
  if (pressToTalk) ctl::PostOwnerMessage(this, WM_PTT_RELEASE);
  held_ = false;
  QAbstractButton::mouseReleaseEvent(e);
}

void CShapedButton::mouseDoubleClickEvent(QMouseEvent* e) { mousePressEvent(e); }

void CShapedButton::mouseMoveEvent(QMouseEvent* e) {
  if (!held_ && !hovering_) {
    hovering_ = true;
    update();
  }
  QAbstractButton::mouseMoveEvent(e);
}

void CShapedButton::leaveEvent(QEvent* e) {
  hovering_ = false;
  update();
  QAbstractButton::leaveEvent(e);
}

void CShapedButton::focusOutEvent(QFocusEvent* e) {
  held_ = false;
  QAbstractButton::focusOutEvent(e);
}

void CShapedButton::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Space) {  // every key-down, a held key's repeats too
    if (kind_ == kCheck) SetCheck(!checked_);
    else if (kind_ == kRadio) SetCheck(true);
  }
  QAbstractButton::keyPressEvent(e);
}

void CShapedButton::drawPicture(QPainter& p, const QImage& img) {
  if (img.isNull()) {
    p.fillRect(rect(), palette().color(QPalette::Button));
    return;
  }
  switch (layout_) {
    case kOwnSize: p.drawImage(0, 0, img); break;
    case kTile: p.drawTiledPixmap(rect(), QPixmap::fromImage(img)); break;
    default: p.drawImage(rect(), img); break;
  }
}

void CShapedButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  QRect caption(focusInset_ + 30, 0, width() - focusInset_ - 2 - (focusInset_ + 30), height());
  // The system's two-pixel raised or sunken edge: an outer and an inner frame.
  auto edge = [&](bool raised) {
    if (!drawEdge_) return;
    const QPalette& pal = palette();
    auto frame = [&](const QRect& r, QPalette::ColorRole tl, QPalette::ColorRole br) {
      p.setPen(pal.color(tl));
      p.drawLine(r.left(), r.top(), r.right() - 1, r.top());
      p.drawLine(r.left(), r.top(), r.left(), r.bottom() - 1);
      p.setPen(pal.color(br));
      p.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
      p.drawLine(r.right(), r.top(), r.right(), r.bottom());
    };
    if (raised) {
      frame(rect(), QPalette::Midlight, QPalette::Dark);
      frame(rect().adjusted(1, 1, -1, -1), QPalette::Light, QPalette::Mid);
    } else {
      frame(rect(), QPalette::Mid, QPalette::Light);
      frame(rect().adjusted(1, 1, -1, -1), QPalette::Dark, QPalette::Midlight);
    }
  };
  if (!isEnabled()) {
    drawPicture(p, disabled_);
    edge(true);
    p.setPen(palette().color(QPalette::Light));
    p.drawText(caption, Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, text());
    p.setPen(palette().color(QPalette::Disabled, QPalette::WindowText));
    p.drawText(caption.translated(-1, -1), Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, text());
    return;
  }
  // Pushed by the mouse (while it is over the button) or by the space bar.
  const bool pressed = isDown() || checked_;
  if (pressed) {
    drawPicture(p, down_);
    caption.translate(1, 1);
    edge(false);
  } else {
    if (normal_.isNull()) drawPicture(p, normal_);  // no picture at rest: the face colour in every look
    else if (hovering_ && !hover_.isNull()) drawPicture(p, hover_);
    else if (hasFocus() && !focus_.isNull()) drawPicture(p, focus_);
    else drawPicture(p, normal_);
    edge(true);
  }
  if (hasFocus() && focusInset_ > 0) {
    p.setPen(QPen(palette().color(QPalette::WindowText), 1, Qt::DotLine));
    p.drawRect(rect().adjusted(focusInset_, focusInset_, -focusInset_ - 1, -focusInset_ - 1));
  }
  p.setPen(captionColour_);
  p.drawText(caption, Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, text());
}
