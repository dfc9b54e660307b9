// CStyledButton: the flat drawn push button of the dialogs, with colour slots, images, a drop menu and press-to-talk.
#pragma once

#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <array>

#include "ui/controls/colour.h"

class TrelMenu;

class CStyledButton : public QPushButton {
  Q_OBJECT
 public:
  // Special out-images.
  enum OutImage { kOutNone = 0, kOutGray = -2, kOutDarker = -3 };
  enum ButtonStyle { kPushButton = 0, kDefPushButton = 1, kCheckBox = 2 };

  explicit CStyledButton(QWidget* parent = nullptr, int templateStyle = kPushButton);

  bool pressToTalk = false;  // set directly by the owning dialog

  int SetIcon(const QPixmap& in, const QPixmap& out, int outSpecial = kOutNone);
  int SetBitmapPair(const QImage& in, COLORREF inKey, const QImage& out, COLORREF outKey, int outSpecial = kOutNone);
  void ReleaseImages();
  int SetColor(int slot, COLORREF colour, bool repaint = true);
  int GetColor(int slot, COLORREF* colour) const;
  int OffsetColor(int slot, int offset, bool repaint = true);
  void ResetColors(bool repaint = true);
  void SetFlatLook(bool flat, bool repaint = true);
  void SetFlatBorder(bool on, bool repaint = true);
  void SetFlatFocus(bool on, bool repaint = true);
  void SetEdgeLines(bool on) { edgeLines_ = on; }
  int SetImageAlign(int align, bool repaint = true);
  int SetPressShift(int style, bool repaint = true);
  void SetChecked(bool on, bool repaint = true);
  bool IsChecked() const { return checked_; }
  bool IsDefaultButton() const { return defaultButton_; }
  void SetTooltipText(const QString& text, bool activate = true);
  void SetUrl(const QString& url);
  // The drop menu opens on click; a chosen command goes to target as WM_COMMAND.
  int SetDropMenu(TrelMenu* menu, QWidget* target);
  void SetTransparentLook(bool on) { transparent_ = on; update(); }
  // Test and gallery hooks: force the drawing states.
  void SetForcedState(bool hover, bool pressed, bool focused);

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void mouseDoubleClickEvent(QMouseEvent*) override;
  void focusOutEvent(QFocusEvent*) override;
  void changeEvent(QEvent*) override;

 private:
  void onClicked();
  void placeImage(QRect& image, QRect& caption, QSize size, bool hasCaption, bool pressed) const;
  std::array<COLORREF, 6> colours_{};
  QPixmap inImage_, outImage_;
  QPoint origin_{3, 3};
  QPoint shift_{1, 1};
  int align_ = 0;
  bool flat_ = true, flatBorder_ = true, flatFocus_ = false, edgeLines_ = false;
  bool hovering_ = false, checkMode_ = false, checked_ = false, defaultButton_ = false;
  bool menuShown_ = false, transparent_ = false;
  bool forced_ = false, forcedHover_ = false, forcedPressed_ = false, forcedFocus_ = false;
  QString url_;
  QPointer<TrelMenu> menu_;
  QPointer<QWidget> menuTarget_;
};
