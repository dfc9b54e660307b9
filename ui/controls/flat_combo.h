// CCJFlatComboBox: a combo box drawn flat that rises under the pointer and completes typed text; CDigitEdit: digits only.
#pragma once

#include <QBasicTimer>
#include <QComboBox>
#include <QLineEdit>

#include "ui/controls/colour.h"

class CCJFlatComboBox : public QComboBox {
  Q_OBJECT
 public:
  enum Look { kFlat, kRaised, kPressed };
  explicit CCJFlatComboBox(QWidget* parent = nullptr, bool editable = true);
  void SetAutoComplete(bool on) { autoComplete_ = on; }
  Look CurrentLook() const;
  // The timer step (also run by the 10 ms timer).
  void TimerStep();
  // Gallery and tests: force a look.
  void ForceLook(int look) { forced_ = look; update(); }
  COLORREF HighlightColor() const { return highlight_; }
  COLORREF ShadowColor() const { return shadow_; }
  COLORREF FaceColor() const { return face_; }

 protected:
  void paintEvent(QPaintEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void focusInEvent(QFocusEvent*) override;
  void focusOutEvent(QFocusEvent*) override;
  void timerEvent(QTimerEvent*) override;
  bool eventFilter(QObject*, QEvent*) override;
  bool event(QEvent*) override;
  void changeEvent(QEvent*) override;

 private:
  void complete(const QString& typed);
  void readColours();
  static bool IsSysChar(QEvent* e);
  bool CursorInside() const;
  void drawLook(Look look);
  COLORREF highlight_ = 0, shadow_ = 0, face_ = 0;
  QBasicTimer timer_;
  bool mouseDown_ = false, hasFocus_ = false, autoComplete_ = true, completing_ = false;
  int raised_ = 0;
  int forced_ = -1;
  int drawn_ = -1;  // the look a step or a focus change drew, until the next painting
};

class CDigitEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit CDigitEdit(QWidget* parent = nullptr) : QLineEdit(parent) {}

 protected:
  void keyPressEvent(QKeyEvent*) override;
  void inputMethodEvent(QInputMethodEvent*) override;
};
