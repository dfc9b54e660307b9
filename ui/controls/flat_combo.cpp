// CCJFlatComboBox and CDigitEdit.
#include "ui/controls/flat_combo.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QStyleOptionComboBox>

#include "ui/controls/control_geometry.h"
#include "ui/controls/skin.h"

CCJFlatComboBox::CCJFlatComboBox(QWidget* parent, bool editable) : QComboBox(parent) {
  setEditable(editable);
  setMouseTracking(true);
  setInsertPolicy(QComboBox::NoInsert);
  setCompleter(nullptr);
  readColours();
  if (lineEdit()) {
    lineEdit()->setFrame(false);
    lineEdit()->installEventFilter(this);
    connect(lineEdit(), &QLineEdit::textEdited, this, [this](const QString& t) { complete(t); });
  }
}

void CCJFlatComboBox::readColours() {
  highlight_ = ctl::ToColorRef(palette().color(QPalette::Light));
  shadow_ = ctl::ToColorRef(palette().color(QPalette::Mid));
  face_ = ctl::ToColorRef(palette().color(QPalette::Button));
}

void CCJFlatComboBox::changeEvent(QEvent* e) {
  QComboBox::changeEvent(e);
  if (e->type() == QEvent::PaletteChange) readColours();
}

// An Alt+key (the system character) typed into the box is eaten: it reaches no menu or mnemonic.
bool CCJFlatComboBox::IsSysChar(QEvent* e) {
  if (e->type() != QEvent::KeyPress && e->type() != QEvent::ShortcutOverride) return false;
  const auto* k = static_cast<QKeyEvent*>(e);
  return (k->modifiers() & Qt::AltModifier) && !(k->modifiers() & Qt::ControlModifier) && !k->text().isEmpty() &&
         k->text()[0].isPrint();
}

bool CCJFlatComboBox::event(QEvent* e) {
  if (IsSysChar(e)) {
    e->accept();
    return true;
  }
  return QComboBox::event(e);
}

bool CCJFlatComboBox::CursorInside() const { return rect().contains(mapFromGlobal(QCursor::pos())) || underMouse(); }

// A painting is flat or raised by the cursor and the focus; a look drawn by a step or a focus change
// shows until the next painting.
CCJFlatComboBox::Look CCJFlatComboBox::CurrentLook() const {
  if (forced_ >= 0) return static_cast<Look>(forced_);
  if (drawn_ >= 0) return static_cast<Look>(drawn_);
  return (CursorInside() || hasFocus_) ? kRaised : kFlat;
}

void CCJFlatComboBox::drawLook(Look look) {
  drawn_ = look;
  update();
}

void CCJFlatComboBox::TimerStep() {
  const bool inside = CursorInside();
  if (!mouseDown_ && !inside && !hasFocus_) {
    timer_.stop();
    if (raised_ == 1) {
      drawLook(kFlat);
      raised_ = 0;
    }
  } else if (!mouseDown_) {
    if (raised_ != 1) {
      raised_ = 1;
      drawLook(kRaised);
    }
  } else {
    timer_.stop();
    if (raised_ == 1) {
      drawLook(kPressed);
      raised_ = 0;
    }
  }
}

void CCJFlatComboBox::timerEvent(QTimerEvent* e) {
  if (e->timerId() == timer_.timerId()) TimerStep();
  else QComboBox::timerEvent(e);
}

void CCJFlatComboBox::mouseMoveEvent(QMouseEvent* e) {
  timer_.start(10, this);
  TimerStep();
  QComboBox::mouseMoveEvent(e);
}

void CCJFlatComboBox::enterEvent(QEnterEvent* e) {
  timer_.start(10, this);
  TimerStep();
  QComboBox::enterEvent(e);
}

void CCJFlatComboBox::mousePressEvent(QMouseEvent* e) {
  mouseDown_ = true;
  QComboBox::mousePressEvent(e);
}

void CCJFlatComboBox::mouseReleaseEvent(QMouseEvent* e) {
  mouseDown_ = false;
  drawn_ = -1;
  update();
  QComboBox::mouseReleaseEvent(e);
}

void CCJFlatComboBox::focusInEvent(QFocusEvent* e) {
  hasFocus_ = true;
  drawLook(kRaised);
  QComboBox::focusInEvent(e);
}

void CCJFlatComboBox::focusOutEvent(QFocusEvent* e) {
  hasFocus_ = false;
  drawLook(kFlat);
  QComboBox::focusOutEvent(e);
}

bool CCJFlatComboBox::eventFilter(QObject* o, QEvent* e) {
  if (o == lineEdit()) {
    if (IsSysChar(e)) {
      e->accept();
      return true;
    }
    if (e->type() == QEvent::FocusIn) { hasFocus_ = true; drawLook(kRaised); }
    if (e->type() == QEvent::FocusOut) { hasFocus_ = false; drawLook(kFlat); }
    if (e->type() == QEvent::Enter || e->type() == QEvent::MouseMove) { timer_.start(10, this); TimerStep(); }
  }
  return QComboBox::eventFilter(o, e);
}

void CCJFlatComboBox::complete(const QString& typed) {
  if (!autoComplete_ || completing_ || !lineEdit()) return;
  completing_ = true;
  QLineEdit* e = lineEdit();
  std::vector<std::string> entries;
  for (int i = 0; i < count(); ++i) entries.push_back(itemText(i).toStdString());
  const int start = e->hasSelectedText() ? e->selectionStart() : e->cursorPosition();
  const int end = e->hasSelectedText() ? e->selectionEnd() : e->cursorPosition();
  const std::string t = typed.toStdString();
  // The rule compares positions with the text's length in UTF-8 bytes: hand it byte positions.
  auto bytesBefore = [&](int chars) { return static_cast<int>(typed.left(chars).toUtf8().size()); };
  const int startBytes = bytesBefore(start), endBytes = bytesBefore(end);
  const ctl::CompletionResult r = ctl::AutoComplete(t, startBytes, endBytes, entries);
  const QString text = QString::fromStdString(r.text);
  const int typedChars = typed.size();
  if (r.matched) setCurrentIndex(findText(text));
  e->setText(text);
  if (r.matched && !(r.selStart == startBytes && r.selEnd == endBytes)) e->setSelection(typedChars, text.size() - typedChars);
  else if (start == end) e->setCursorPosition(start);
  else e->setSelection(start, end - start);
  completing_ = false;
}

void CCJFlatComboBox::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QPalette pal = palette();
  const QColor face = ctl::ToQColor(face_), hi = ctl::ToQColor(highlight_), sh = ctl::ToQColor(shadow_);
  QRect r = rect();
  p.fillRect(r, pal.color(QPalette::Base));
  const Look look = CurrentLook();
  drawn_ = -1;  // the next painting follows the cursor and the focus again
  // A one-pixel frame on the rectangle's own edges (QRect's right and bottom are inside it).
  auto frame3d = [&](QRect rc, const QColor& tl, const QColor& br) {
    p.setPen(tl); p.drawLine(rc.topLeft(), rc.topRight()); p.drawLine(rc.topLeft(), rc.bottomLeft());
    p.setPen(br); p.drawLine(rc.bottomLeft(), rc.bottomRight()); p.drawLine(rc.topRight(), rc.bottomRight());
  };
  if (look == kFlat) frame3d(r, face, face);
  else frame3d(r, sh, hi);
  r.adjust(1, 1, -1, -1);
  frame3d(r, isEnabled() ? face : hi, isEnabled() ? face : hi);
  r.adjust(1, 1, -1, -1);
  const int bw = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
  QRect button(r.right() + 1 - bw, r.top(), bw, r.height());
  p.fillRect(button, face);
  if (!lineEdit()) {
    p.setPen(isEnabled() ? pal.color(QPalette::Text) : sh);
    p.drawText(QRect(r.left() + 3, r.top(), button.left() - r.left() - 4, r.height()), Qt::AlignVCenter, currentText());
  }
  if (isEnabled()) {
    QRect area = button.adjusted(1, 0, -1, 0);  // inside the outer ring, grown back at top and bottom
    if (look == kFlat) {
      frame3d(area, hi, hi);
      frame3d(area.adjusted(-1, 0, 0, 0), hi, hi);
    } else if (look == kRaised) {
      frame3d(area, hi, sh);
    } else {
      area.translate(1, 1);
      frame3d(area, sh, hi);
    }
  }
  // Arrow.
  const QPoint c = button.center() + (look == kPressed ? QPoint(1, 1) : QPoint());
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(isEnabled() ? pal.color(QPalette::ButtonText) : sh);
  const QPointF tri[3] = {QPointF(c.x() - 3.5, c.y() - 1.5), QPointF(c.x() + 3.5, c.y() - 1.5), QPointF(c.x(), c.y() + 2.5)};
  p.drawPolygon(tri, 3);
}

void CDigitEdit::keyPressEvent(QKeyEvent* e) {
  const QString t = e->text();
  if (t.size() == 1) {
    const QChar c = t[0];
    if (c == QChar(8) || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char(',')) {
      QLineEdit::keyPressEvent(e);
      return;
    }
    // Every other character is dropped, the control characters of Ctrl+letter too (so Ctrl+V pastes
    // no letters); Tab, Enter and Escape belong to the dialog.
    const bool dialogKey = c == QChar(9) || c == QChar(13) || c == QChar(27);
    if (c.isPrint() || (c.unicode() < 0x20 && !dialogKey)) {
      e->accept();
      return;
    }
  }
  QLineEdit::keyPressEvent(e);  // editing keys (arrows, delete, backspace) pass
}

void CDigitEdit::inputMethodEvent(QInputMethodEvent* e) {
  // An input method's characters are typed characters too: only digits and commas are taken of them.
  QString kept;
  for (const QChar c : e->commitString())
    if ((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char(',')) kept.append(c);
  if (kept == e->commitString()) {
    QLineEdit::inputMethodEvent(e);
    return;
  }
  QInputMethodEvent filtered(e->preeditString(), e->attributes());
  filtered.setCommitString(kept, e->replacementStart(), e->replacementLength());
  QLineEdit::inputMethodEvent(&filtered);
  e->accept();
}
