// CSkinButton and CRoundSkinButton: picture buttons whose four state pictures come from the skin folder.
#pragma once

#include <QAbstractButton>
#include <QImage>
#include <QPixmap>
#include <string>

class CSkinButton : public QAbstractButton {
  Q_OBJECT
 public:
  explicit CSkinButton(QWidget* parent = nullptr);

  void SetSkinName(const std::string& name) { name_ = name.substr(0, 31); }
  const std::string& SkinName() const { return name_; }
  void EnableHoverTracking(bool on) { hoverTracking_ = on; }
  // Paths may be empty for the optional states; false when the normal picture cannot be loaded.
  bool LoadBitmapFiles(const QString& normal, const QString& selected, const QString& focus, const QString& disabled);
  // The skin changed: reload the four pictures of the current skin.
  virtual void OnSkinChanged();
  bool ImagesLoaded() const { return loaded_; }
  // Gallery and tests: force the hover look.
  void SetHovering(bool on) { hovering_ = on; update(); }

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;
  // A pressed button stays pressed while dragged off it, until the release decides.
  void mouseMoveEvent(QMouseEvent*) override;
  // The second press of a double click is no press.
  void mouseDoubleClickEvent(QMouseEvent*) override;
  bool event(QEvent*) override;  // WM_SKIN_CHANGED
  void reloadFromSkin();
  const QPixmap& currentPicture() const;
  virtual bool drawOpaque() const { return false; }
  QImage normalImage_;  // for pixel tests

 private:
  std::string name_;
  bool hoverTracking_ = false, hovering_ = false, loaded_ = false;
  QPixmap normal_, selected_, focus_, disabled_;
};

class CRoundSkinButton : public CSkinButton {
  Q_OBJECT
 public:
  explicit CRoundSkinButton(QWidget* parent = nullptr);
  void SetKeyCode(unsigned short code) { keyCode_ = code; }
  unsigned short KeyCode() const { return keyCode_; }
  void SetCircleFlag(bool on) { circle_ = on; }
  bool CircleFlag() const { return circle_; }
  void OnSkinChanged() override;

 protected:
  void mousePressEvent(QMouseEvent*) override;
  bool drawOpaque() const override { return true; }

 private:
  unsigned short keyCode_ = 0;
  bool circle_ = false;
};
