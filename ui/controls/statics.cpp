// Statics, splitter, tab control and tip window.
#include "ui/controls/statics.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRubberBand>
#include <QStackedWidget>
#include <QTimerEvent>

#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"

// ---------------------------------------------------------------------------
// CSplitterBar

namespace {
// The two sizing cursors, loaded once: resource 206 for a vertical bar, 205 for a horizontal one.
const QCursor& SizingCursor(int orientation) {
  static const QCursor vertical = ctl::ResourceCursor(206).value_or(QCursor(Qt::SplitHCursor));
  static const QCursor horizontal = ctl::ResourceCursor(205).value_or(QCursor(Qt::SplitVCursor));
  return orientation == 1 ? vertical : horizontal;
}
}  // namespace

CSplitterBar::CSplitterBar(QWidget* parent, int id, bool vertical) : QWidget(parent), id_(id), orientation_(vertical ? 1 : 2) {
  setCursor(SizingCursor(orientation_));
  if (vertical) setFixedWidth(kThickness);
  else setFixedHeight(kThickness);
}

CSplitterBar::CSplitterBar(unsigned style, const QRect& rect, QWidget* parent, int id)
    : CSplitterBar(parent, id, rect.width() < rect.height()) {
  QRect r = rect;
  if (orientation_ == 1) r.setWidth(kThickness);
  else r.setHeight(kThickness);
  setGeometry(r);
  setVisible((style & WS_VISIBLE) != 0);
}

int CSplitterBar::SetOrientation(int orientation) {
  const int old = orientation_;
  orientation_ = orientation;
  setCursor(SizingCursor(orientation_));
  return old;
}

int CSplitterBar::axisOf(const QPoint& pp) const { return orientation_ == 1 ? pp.x() : pp.y(); }

void CSplitterBar::showTrack(int pos) {
  // The desktop cannot be drawn on here: a line over the parent stands in for it.
  if (!parentWidget()) return;
  if (!track_) track_ = new QRubberBand(QRubberBand::Line, parentWidget());
  const QRect g = geometry();
  if (orientation_ == 1) track_->setGeometry(pos - 2, g.top(), 4, g.height());
  else track_->setGeometry(g.left(), pos - 2, g.width(), 4);
  track_->show();
  track_->raise();
}

void CSplitterBar::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  const QRect g = geometry();
  const int centre = orientation_ == 1 ? g.left() + g.width() / 2 : g.top() + g.height() / 2;
  // Until a range is set the bar cannot move.
  const int lo = minPos_ < 0 && maxPos_ < 0 ? centre : minPos_;
  const int hi = minPos_ < 0 && maxPos_ < 0 ? centre : maxPos_;
  drag_.begin(centre, lo, hi);
  grabMouse();
  showTrack(centre);
}

void CSplitterBar::mouseMoveEvent(QMouseEvent* e) {
  if (!drag_.dragging() || !parentWidget()) return;
  const int pos = drag_.move(axisOf(mapToParent(e->position().toPoint())));
  showTrack(pos);
}

void CSplitterBar::mouseReleaseEvent(QMouseEvent* e) {
  if (!drag_.dragging() || e->button() != Qt::LeftButton) return;
  releaseMouse();
  if (track_) track_->hide();
  const int pos = drag_.position();
  const int d = drag_.end();
  if (parentWidget()) {
    if (orientation_ == 1) move(pos - width() / 2, y());
    else move(x(), pos - height() / 2);
    SplitterNotify note;
    note.hdr.hwndFrom = this;
    note.hdr.idFrom = static_cast<uintptr_t>(id_);
    note.hdr.code = SPN_DELTA;
    note.delta = d;
    ctl::SendOwnerMessage(this, WM_NOTIFY, static_cast<WPARAM>(id_), reinterpret_cast<LPARAM>(&note));
  }
  emit delta(d);
}

void CSplitterBar::ChangeWidth(QWidget* w, int delta, int edge) {
  QRect g = w->geometry();
  if (edge == 1) g.setRight(g.right() + delta);
  else if (edge == 2) g.setLeft(g.left() - delta);
  w->setGeometry(g);
  w->update();
}

void CSplitterBar::ChangeHeight(QWidget* w, int delta, int edge) {
  QRect g = w->geometry();
  if (edge == 3) g.setBottom(g.bottom() + delta);
  else if (edge == 4) g.setTop(g.top() - delta);
  w->setGeometry(g);
  w->update();
}

// ---------------------------------------------------------------------------
// CPaintedStatic

CPaintedStatic::CPaintedStatic(QWidget* parent) : QWidget(parent) {}

int CPaintedStatic::SetBitmapFile(const QString& path) {
  const QImage img = ctl::LoadBitmapFile(path);
  if (img.isNull()) return 0;
  image_ = img;
  rebuild();
  updateGeometry();
  return 1;
}

void CPaintedStatic::rebuild() {
  keyed_ = ctl::KeyedPixmap(image_, key_);
  update();
}

void CPaintedStatic::paintEvent(QPaintEvent*) {
  if (keyed_.isNull()) return;
  QPainter p(this);
  p.drawPixmap(0, 0, keyed_, 0, 0, width(), height());
}

// ---------------------------------------------------------------------------
// CPictureStatic

CPictureStatic::CPictureStatic(QWidget* parent) : QWidget(parent) {}

void CPictureStatic::SetPicture(const QString& imagePath, const QString& caption, bool highlighted) {
  path_ = imagePath.left(259);
  caption_ = caption.left(127);
  highlighted_ = highlighted;
  update();
}

void CPictureStatic::SetHighlighted(bool on) {
  highlighted_ = on;
  update();
}

void CPictureStatic::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(243, 243, 243));
  QImage img = ctl::LoadBitmapFile(path_);
  if (!img.isNull()) {
    // Not highlighted: the picture as a monochrome bitmap.
    if (!highlighted_) img = img.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither).convertToFormat(QImage::Format_RGB32);
    const ctl::PictureFit f = ctl::FitPicture(img.width(), img.height(), width(), height());
    p.drawImage(QRect(f.x, 0, f.width, f.height), img, QRect(0, 0, f.width, f.height));
  }
  const QRect captionRect(0, height() - 27, width(), 27);
  p.setPen(highlighted_ ? QColor(0, 0, 228) : QColor(158, 158, 158));
  const QString shown = p.fontMetrics().elidedText(caption_, Qt::ElideRight, width());
  p.drawText(captionRect, Qt::AlignCenter | Qt::TextSingleLine, shown);
  const bool cut = shown != caption_;
  if (cut != captionCut_) {
    captionCut_ = cut;
    setToolTip(cut ? caption_ : QString());
  }
}

// ---------------------------------------------------------------------------
// CSkinTabCtrl

CSkinTabCtrl::CSkinTabCtrl(QWidget* parent) : QTabBar(parent) {
  setDrawBase(false);
  setExpanding(false);
}

QSize CSkinTabCtrl::tabSizeHint(int index) const {
  const int img = images_.isEmpty() ? 0 : images_.first().width() + 3;
  const int w = 3 + img + fontMetrics().horizontalAdvance(tabText(index).left(63)) + 14;
  const int h = std::max(fontMetrics().height() + 10, images_.isEmpty() ? 0 : images_.first().height() + 5);
  return QSize(w, h);
}

void CSkinTabCtrl::drawTab(QPainter& p, int index, QRect r, bool selected) {
  const QPalette pal = palette();
  // The tab's right and bottom edges as the system gives them: one past its last column and row.
  const int l = r.left(), t = r.top(), rr = r.right() + 1, b = r.bottom() + 1;
  // Every tab stands on the face colour; only the outline sets the selected one apart.
  p.fillRect(QRect(l + 1, t + 1, rr - l - 1, b - t - (selected ? 0 : 1)), pal.color(QPalette::Button));
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(pal.color(QPalette::Light));
  p.drawArc(QRect(l, t, 10, 10), 90 * 16, 90 * 16);
  p.setRenderHint(QPainter::Antialiasing, false);
  // Each line stops one pixel before its end point, as the system's lines do; the arc covers the
  // left edge's end.
  p.drawLine(l, b - 1, l, t + 3);
  p.drawLine(l + 4, t, rr - 3, t);
  p.setPen(pal.color(QPalette::Mid));
  p.drawLine(rr - 1, t + 1, rr - 1, b - 2);
  p.setPen(QColor(64, 64, 64));
  p.drawLine(rr, t + 2, rr, b - 2);
  int imageWidth = 0;
  if (index < images_.size() && !images_[index].isNull()) {
    p.drawPixmap(l + 3, t + (selected ? 2 : 1), images_[index]);
    imageWidth = images_[index].width();
  }
  const int x = ctl::TabTextLeft(l, imageWidth);
  p.setPen(pal.color(QPalette::ButtonText));
  p.drawText(QRect(x, t + 2, rr - x, b - t - 2), Qt::AlignVCenter | Qt::TextSingleLine, tabText(index).left(63));
}

void CSkinTabCtrl::AttachBody(QWidget* body) {
  if (body_) body_->removeEventFilter(this);
  body_ = body;
  if (!body) return;
  if (auto* frame = qobject_cast<QFrame*>(body)) frame->setFrameShape(QFrame::NoFrame);
  // Room for the frame: the light left edge, the dark line right and below.
  body->setContentsMargins(1, 0, 1, 1);
  body->installEventFilter(this);
  body->update();
}

void CSkinTabCtrl::showEvent(QShowEvent* e) {
  QTabBar::showEvent(e);
  if (!body_ && parentWidget())
    if (auto* stack = parentWidget()->findChild<QStackedWidget*>(QString(), Qt::FindDirectChildrenOnly)) AttachBody(stack);
}

bool CSkinTabCtrl::eventFilter(QObject* watched, QEvent* event) {
  if (watched == body_ && event->type() == QEvent::Paint) {
    QPainter p(body_);
    const QRect r = body_->rect();
    const QPalette pal = palette();
    p.setPen(pal.color(QPalette::Light));
    p.drawLine(r.left(), r.top(), r.left(), r.bottom() - 1);
    // The frame's shadow lies on the last column and row, where the dark line covers it.
    p.setPen(QColor(64, 64, 64));
    p.drawLine(r.right(), r.top(), r.right(), r.bottom());
    p.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
  }
  return QTabBar::eventFilter(watched, event);
}

void CSkinTabCtrl::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const int sel = currentIndex();
  for (int i = 0; i < count(); ++i) {
    if (i == sel) continue;
    QRect r = tabRect(i);
    r.setTop(r.top() + 2);
    r.setRight(r.right() - (i == sel - 1 ? 2 : 1));
    drawTab(p, i, r, false);
  }
  // The body's top edge, which the selected tab opens.
  p.setPen(palette().color(QPalette::Light));
  p.drawLine(0, height() - 1, width() - 1, height() - 1);
  if (sel >= 0) {
    QRect r = tabRect(sel);
    r.setLeft(std::max(0, r.left() - 2));
    drawTab(p, sel, r, true);
    p.setPen(palette().color(QPalette::Button));
    p.drawLine(r.left() + 1, height() - 1, r.right() - 1, height() - 1);
  }
}

// ---------------------------------------------------------------------------
// CTipPainter and CPopupTipWnd

const std::vector<int>& CTipPainter::Frames() {
  static const std::vector<int> frames = {181, 182, 259, 220, 229, 230, 231, 232, 233, 234, 235, 236};
  return frames;
}

CTipPainter::CTipPainter() {
  background_ = ctl::LoadBitmapFile(ctl::ResourcePath(237));
  for (int id : Frames()) frames_.push_back(ctl::KeyedPixmap(ctl::LoadBitmapFile(ctl::ResourcePath(id)), RGB(0, 255, 0)));
}

void CTipPainter::Paint(QPainter& p, int frame) {
  if (!background_.isNull()) p.drawImage(0, 0, background_);
  if (frame < 0 || frame >= static_cast<int>(frames_.size())) return;
  if (!frames_[frame].isNull()) p.drawPixmap(0, 0, frames_[frame]);
}

CPopupTipWnd::CPopupTipWnd(QWidget* parent, QPoint at, unsigned itemData, int periodMs)
    : QWidget(parent), animation_(periodMs), itemData_(itemData) {
  const QImage first = ctl::LoadBitmapFile(ctl::ResourcePath(CTipPainter::Frames().front()));
  setGeometry(QRect(at, first.isNull() ? QSize(16, 16) : first.size()));
  show();
}

void CPopupTipWnd::ShowAt(QPoint at) {
  move(at);
  raise();
  show();
}

void CPopupTipWnd::Close() {
  timer_.stop();
  deleteLater();
}

void CPopupTipWnd::Tick() {
  shown_ = animation_.tick();
  update();
  timer_.start(animation_.intervalMs(), this);
}

void CPopupTipWnd::timerEvent(QTimerEvent* e) {
  if (e->timerId() == timer_.timerId()) Tick();
}

void CPopupTipWnd::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (!started_) {  // the first paint draws the first frame and starts the slow timer
    started_ = true;
    shown_ = animation_.drawFrame();
    timer_.start(animation_.intervalMs(), this);
  }
  painter_.Paint(p, shown_);
}
