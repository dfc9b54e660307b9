// CUrlLink and CHyperLink.
#include "ui/controls/links.h"

#include <QMouseEvent>

#include "ui/controls/control_geometry.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"

CUrlLink::CUrlLink(QWidget* parent, Qt::Alignment align) : QLabel(parent) {
  setAlignment(align);
  setMouseTracking(true);
  SetLinkCursor();
  SetUnderline(true);
  applyColour();
}

void CUrlLink::SetURL(const QString& url) {
  url_ = url;
  if (text().isEmpty()) setText(url_);
  setToolTip(url_);
  FitToText();
}

void CUrlLink::SetLinkText(const QString& text) {
  setText(text.isEmpty() ? url_ : text);
  if (url_.isEmpty()) url_ = text;
  setToolTip(url_);
  FitToText();
}

void CUrlLink::SetLinkCursor(const std::optional<QCursor>& cursor) {
  linkCursor_ = cursor ? *cursor : ctl::ResourceCursor(ctl::kHandCursor).value_or(QCursor(Qt::PointingHandCursor));
  setCursor(linkCursor_);
}

void CUrlLink::SetColours(COLORREF link, COLORREF visited, COLORREF hover) {
  link_ = link;
  visited_ = visited;
  hover_ = hover == COLORREF(-1) ? ctl::ToColorRef(palette().color(QPalette::Highlight)) : hover;
  applyColour();
}

void CUrlLink::SetVisited(bool on) {
  if (visitedFlag_ == on) return;
  visitedFlag_ = on;
  applyColour();
}

void CUrlLink::SetUnderline(bool on) {
  underline_ = on;
  QFont f = font();
  f.setUnderline(on);
  setFont(f);
  FitToText();
}

void CUrlLink::SetAutoSize(bool on) {
  autoSize_ = on;
  FitToText();
}

void CUrlLink::applyColour() {
  const COLORREF c = hovering_ ? hover_ : visitedFlag_ ? visited_ : link_;
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, ctl::ToQColor(c));
  setPalette(pal);
  update();
}

void CUrlLink::FitToText() {
  if (!autoSize_ || !parentWidget()) return;
  const QFontMetrics fm(font());
  const int tw = fm.horizontalAdvance(text()), th = fm.height();
  const QRect g = geometry();
  const ctl::Rect w{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
  ctl::LinkAlign a = ctl::LinkAlign::Left;
  if (alignment() & Qt::AlignHCenter) a = ctl::LinkAlign::Center;
  else if (alignment() & Qt::AlignRight) a = ctl::LinkAlign::Right;
  const ctl::Rect r = ctl::FitLinkRect(w, tw, th, a, (alignment() & Qt::AlignVCenter) != 0);
  setGeometry(r.left, r.top, r.width(), r.height());
}

void CUrlLink::showEvent(QShowEvent* e) {
  QLabel::showEvent(e);
}

void CUrlLink::mouseMoveEvent(QMouseEvent* e) {
  const bool inside = rect().contains(e->position().toPoint());
  if (inside && !hovering_) {
    hovering_ = true;
    applyColour();
  } else if (!inside && hovering_) {
    hovering_ = false;
    applyColour();
  }
  QLabel::mouseMoveEvent(e);
}

void CUrlLink::leaveEvent(QEvent* e) {
  if (hovering_) {
    hovering_ = false;
    applyColour();
  }
  QLabel::leaveEvent(e);
}

// A static reports its click as the button goes down.
void CUrlLink::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) {
    QLabel::mousePressEvent(e);
    return;
  }
  e->accept();
  FollowLink();
  emit linkClicked();
}

// The second press of a double click is a double-click notice, not another click.
void CUrlLink::mouseDoubleClickEvent(QMouseEvent* e) { e->accept(); }

void CUrlLink::FollowLink() {
  hovering_ = false;
  applyColour();
  GotoURL(url_, 5 /* SW_SHOW */);
}

int CUrlLink::GotoURL(const QString&, int) { return 0; }

// Without a message set, -1 goes out, which no window answers.
void CHyperLink::FollowLink() { ctl::PostOwnerMessage(this, clickMessage_, 0, 0); }
