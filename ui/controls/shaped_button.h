// CShapedButton: a picture button shaped by a mask, as push button, check box or radio button, with press-to-talk.
#pragma once

#include <QAbstractButton>
#include <QImage>
#include <QRegion>

#include "ui/controls/mask_region.h"

class CShapedButton : public QAbstractButton {
  Q_OBJECT
 public:
  enum Kind { kPush = 0, kCheck = 2, kRadio = 4 };
  enum Layout { kOwnSize = 0, kStretch = 1, kTile = 2 };
  explicit CShapedButton(QWidget* parent = nullptr, Kind kind = kPush, int group = 0);

  bool pressToTalk = false;  // set directly by the owning dialog

  // Picture files for the states ("" = none); a missing disabled picture uses the normal one.
  void SetBitmaps(const QString& normal, const QString& down, const QString& hover, const QString& disabled,
                  const QString& focus, const QString& mask, int layout = kStretch, bool drawEdge = false,
                  int focusInset = 0);
  // The same from the program's bitmap resources (0 = none).
  void SetBitmaps(int normal, int down, int hover, int disabled, int focus, int mask, int layout = kStretch,
                  bool drawEdge = false, int focusInset = 0);
  void SetTooltipText(const QString& text) { setToolTip(text); }
  QColor SetCaptionColor(const QColor& colour);
  void SetCheck(bool checked);  // BM_SETCHECK
  bool GetCheck() const { return checked_; }
  Kind kind() const { return kind_; }
  int group() const { return group_; }
  bool held() const { return held_; }
  // The window region the mask gives (empty when rectangular).
  static QRegion RegionFromMask(const QImage& mask);
  void SetHovering(bool on) { hovering_ = on; update(); }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void mouseDoubleClickEvent(QMouseEvent*) override;
  void leaveEvent(QEvent*) override;
  void focusOutEvent(QFocusEvent*) override;
  void keyPressEvent(QKeyEvent*) override;
  bool event(QEvent*) override;
  void resizeEvent(QResizeEvent*) override;

 private:
  void applyMask();
  void drawPicture(QPainter& p, const QImage& img);
  Kind kind_;
  int group_;
  bool checked_ = false, hovering_ = false, held_ = false, drawEdge_ = false;
  int layout_ = kStretch, focusInset_ = 0;
  QImage normal_, down_, hover_, disabled_, focus_, mask_;
  QColor captionColour_;
};
