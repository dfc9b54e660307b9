// CSkinToolBar: the flat toolbar with a stretched background, drawn plates and drop arrows; CDialComboBox: the dial field.
#pragma once

#include <QComboBox>
#include <QImage>
#include <QPixmap>
#include <QToolBar>
#include <QToolButton>
#include <functional>

#include "ui/controls/colour.h"

class CSkinToolBar;

// One button of the skinned bar; without a background it is a plain flat tool button.
class CSkinToolButton : public QToolButton {
  Q_OBJECT
 public:
  CSkinToolButton(CSkinToolBar* bar, int command, int imageIndex, bool dropDown);
  int command() const { return command_; }
  int imageIndex() const { return imageIndex_; }
  QSize sizeHint() const override;
  // Gallery and tests: force the hot look.
  void SetHot(bool on) { forcedHot_ = on; update(); }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  CSkinToolBar* bar_;
  int command_, imageIndex_;
  bool dropDown_;
  bool forcedHot_ = false;
};

class CSkinToolBar : public QToolBar {
  Q_OBJECT
 public:
  explicit CSkinToolBar(QWidget* parent = nullptr);

  int PlateCornerX = 3, PlateCornerY = 3;
  COLORREF HotColor = RGB(255, 255, 255);
  COLORREF PressedColor = RGB(242, 245, 251);
  COLORREF CheckedColor = RGB(241, 246, 252);

  CSkinToolButton* AddButton(int command, const QString& text, int imageIndex, bool dropDown = false);
  CSkinToolButton* Button(int command) const;
  // The buttons of tool-bar resource `resourceId` (res/<id>.toolbar with its picture strip res/<id>.bmp);
  // false when the resource is missing or malformed (the bar then stays as it was).
  bool CreateBar(int resourceId);
  // The background from the program's picture `resourceId`, or from a file; a missing one changes nothing
  // but the frame mode.
  void SetBackgroundBitmap(int resourceId, int frameMode);
  void SetBackgroundBitmapFile(const QString& path, int frameMode);
  void SetButtonImagesFromFile(int w, int h, const QString& folder, const QString& file, COLORREF mask, bool hot);
  // The pictures of disabled buttons (a strip of w x h images); false when the file cannot be read, and
  // disabled buttons then show their normal picture greyed.
  bool SetDisabledImagesFromFile(int w, int h, const QString& path, COLORREF mask);
  QPixmap DisabledImage(int index) const;
  bool HasBackground() const { return !background_.isNull(); }
  int FrameMode() const { return frameMode_; }
  QPixmap Image(int index, bool hot) const;
  QSize ImageSize() const { return imageSize_; }
  // The arrow picture with the current face colour and magenta transparent.
  QPixmap DropArrow() const;

 signals:
  void commandTriggered(int command);

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QImage background_;
  int frameMode_ = 0;
  QList<QPixmap> images_, hotImages_, disabledImages_;
  QSize imageSize_{20, 19};
  QImage dropArrow_;
};

class CDialComboBox : public QComboBox {
  Q_OBJECT
 public:
  explicit CDialComboBox(QWidget* parent = nullptr);
  // Whether the dial bar's dial button is enabled (asked at each Enter).
  void SetDialEnabledQuery(std::function<bool()> query) { dialEnabled_ = std::move(query); }
  unsigned EditSelection() const { return editSelection_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void hidePopup() override;

 private:
  void numberChanged();
  bool handleEnter(QKeyEvent* event);
  std::function<bool()> dialEnabled_;
  unsigned editSelection_ = 0;
  bool closedWithoutChoice_ = false;
  bool movingInList_ = false;
};
