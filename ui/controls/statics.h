// Statics, splitter, tab control and tip window: CSplitterBar, CPaintedStatic, CPictureStatic, CSkinTabCtrl, CPopupTipWnd.
#pragma once

#include <QBasicTimer>
#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QTabBar>
#include <QWidget>
#include <vector>

#include "ui/controls/colour.h"
#include "ui/controls/control_geometry.h"

class QRubberBand;

inline constexpr unsigned WS_VISIBLE = 0x10000000;

// A 5-pixel bar dragged between two panes; on release the owner gets WM_NOTIFY SPN_DELTA
// (wParam = the bar's id, lParam = a SplitterNotify, valid while the message is handled) and the
// delta signal.
class CSplitterBar : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kThickness = 5;
  CSplitterBar(QWidget* parent, int id, bool vertical);
  // Vertical when the rectangle is narrower than tall; the rectangle is cut to the bar's thickness.
  // Shown when the style has WS_VISIBLE.
  CSplitterBar(unsigned style, const QRect& rect, QWidget* parent, int id);
  void SetRange(int minPos, int maxPos) { minPos_ = minPos; maxPos_ = maxPos; }
  int SetOrientation(int orientation);
  int GetOrientation() const { return orientation_; }
  int id() const { return id_; }
  bool Dragging() const { return drag_.dragging(); }
  // edge 1: right edge by +delta, 2: left edge by -delta.
  static void ChangeWidth(QWidget* w, int delta, int edge);
  // edge 3: bottom edge by +delta, 4: top edge by -delta.
  static void ChangeHeight(QWidget* w, int delta, int edge);

 signals:
  void delta(int pixels);

 protected:
  void mousePressEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void paintEvent(QPaintEvent*) override {}

 private:
  int axisOf(const QPoint& parentPoint) const;
  void showTrack(int pos);
  int id_;
  int orientation_;  // 1 vertical bar moving sideways, 2 horizontal bar moving up and down
  int minPos_ = -1, maxPos_ = -1;
  ctl::SplitterDrag drag_;
  QPointer<QRubberBand> track_;
};

// A bitmap with one colour keyed out.
class CPaintedStatic : public QWidget {
  Q_OBJECT
 public:
  explicit CPaintedStatic(QWidget* parent = nullptr);
  int SetBitmapFile(const QString& path);
  void SetBkColor(COLORREF key) { key_ = key; rebuild(); }
  QSize sizeHint() const override { return image_.isNull() ? QSize(16, 16) : image_.size(); }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  void rebuild();
  QImage image_;
  QPixmap keyed_;
  COLORREF key_ = RGB(236, 233, 216);
};

// A picture file fitted into the control with a caption in its bottom 27 pixels.
class CPictureStatic : public QWidget {
  Q_OBJECT
 public:
  explicit CPictureStatic(QWidget* parent = nullptr);
  void SetPicture(const QString& imagePath, const QString& caption, bool highlighted);
  void SetHighlighted(bool on);
  bool CaptionCut() const { return captionCut_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QString path_, caption_;
  bool highlighted_ = false, captionCut_ = false;
};

// Tabs painted by the control: rounded top-left corners, a dark outer edge.
class CSkinTabCtrl : public QTabBar {
  Q_OBJECT
 public:
  explicit CSkinTabCtrl(QWidget* parent = nullptr);
  void SetImages(const QList<QPixmap>& images) { images_ = images; updateGeometry(); update(); }
  const QList<QPixmap>& Images() const { return images_; }
  // The pages' area under the tabs, framed in 3-D (a tab widget's own page stack by default).
  void AttachBody(QWidget* body);
  QWidget* Body() const { return body_; }

 protected:
  void paintEvent(QPaintEvent*) override;
  QSize tabSizeHint(int index) const override;

 private:
  void drawTab(QPainter& p, int index, QRect r, bool selected);
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent*) override;
  QList<QPixmap> images_;
  QPointer<QWidget> body_;
};

// Draws the tip frames: background 237, then the frame with green keyed out.
class CTipPainter {
 public:
  CTipPainter();
  void Paint(QPainter& p, int frame);
  static const std::vector<int>& Frames();

 private:
  QImage background_;
  std::vector<QPixmap> frames_;
};

// A small animated window beside an item of the contact tree.
class CPopupTipWnd : public QWidget {
  Q_OBJECT
 public:
  CPopupTipWnd(QWidget* parent, QPoint at, unsigned itemData, int periodMs);
  void ShowAt(QPoint at);
  unsigned GetItemData() const { return itemData_; }
  void Close();
  // One timer tick (also what the timers run).
  void Tick();
  const ctl::TipAnimation& Animation() const { return animation_; }
  int ShownFrame() const { return shown_; }
  bool Started() const { return started_; }

 protected:
  void paintEvent(QPaintEvent*) override;
  void timerEvent(QTimerEvent*) override;

 private:
  CTipPainter painter_;
  ctl::TipAnimation animation_;
  QBasicTimer timer_;
  bool started_ = false;
  int shown_ = 0;
  unsigned itemData_;
};
