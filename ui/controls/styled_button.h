// CStyledButton: the flat drawn push button of the dialogs, with colour slots, images, a drop menu and press-to-talk.
#pragma once

#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <array>
#include <memory>

#include "platform/wintypes.h"
#include "ui/controls/colour.h"

class TrelMenu;
class QLabel;

inline constexpr UINT WM_GETDLGCODE = 0x0087;
inline constexpr UINT WM_SYSCOLORCHANGE = 0x0015;
inline constexpr UINT DLGC_DEFPUSHBUTTON = 0x0010;
inline constexpr UINT DLGC_UNDEFPUSHBUTTON = 0x0020;
inline constexpr UINT SND_ASYNC = 0x0001;
inline constexpr UINT SND_NODEFAULT = 0x0002;
inline constexpr UINT SND_NOWAIT = 0x2000;
inline constexpr UINT SND_FILENAME = 0x20000;
inline constexpr UINT SND_RESOURCE = 0x40004;

class CStyledButton : public QPushButton {
  Q_OBJECT
 public:
  // Special out-images.
  enum OutImage { kOutNone = 0, kOutGray = -2, kOutDarker = -3 };
  enum ButtonStyle { kPushButton = 0, kDefPushButton = 1, kCheckBox = 2 };

  explicit CStyledButton(QWidget* parent = nullptr, int templateStyle = kPushButton);
  ~CStyledButton() override;

  bool pressToTalk = false;  // set directly by the owning dialog

  int SetIcon(const QPixmap& in, const QPixmap& out, int outSpecial = kOutNone);
  // Icon resources by number (res/<id>.ico, else the picture res/<id>.bmp); sizes 0 keep the
  // natural size; the out id may be kOutDarker, kOutGray or kOutNone.
  int LoadIconPair(int inId, int inWidth, int inHeight, int outId, int outWidth, int outHeight);
  int SetIconIds(int inId, int outId);
  // A second in/out icon pair placed on its own (not moving the caption).
  int SetSecondIcon(const QPixmap& in, const QPixmap& out, int outSpecial = kOutNone);
  void ShowSecondIcon(bool show);
  int SetSecondIconAlign(int align);
  int SetBitmapPair(const QImage& in, COLORREF inKey, const QImage& out, COLORREF outKey, int outSpecial = kOutNone);
  int LoadBitmapPair(int inId, COLORREF inKey, int outId, COLORREF outKey);
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
  void SetTrackAlways(bool on) { trackAlways_ = on; }
  // A cursor resource (res/<id>.cur, else res/<id>.bmp); 0 removes it; 1 when it cannot be loaded.
  int SetCursorId(int id, bool repaint = true);
  void SetTooltipText(const QString& text, bool activate = true);
  // A string of the resource folder's string table (res/strings.ini, [strings] id=text, UTF-8).
  void SetTooltipTextId(int id, bool activate = true);
  void ActivateTooltip(bool on);
  // Balloon tips: only before the tip window is made.
  void EnableBalloonTooltip();
  QLabel* Tooltip() const { return tip_; }
  void SetUrl(const QString& url);
  // The drop menu opens on click; a chosen command goes to target as WM_COMMAND.
  int SetDropMenu(TrelMenu* menu, QWidget* target);
  // Loads menu resource menuId (its first popup opens); with a tool-bar id its images too.
  int SetDropMenu(int menuId, QWidget* target, bool xpStyle, int toolbarId = 0, int imageWidth = 16,
                  int imageHeight = 15, COLORREF imageBackground = RGB(192, 192, 192), bool repaint = true);
  // Sent to window just before the drop menu opens: wParam the popup (TrelMenu*), lParam the value.
  void SetMenuCallback(QWidget* window, UINT message, LPARAM lParam);
  void SizeToImage();
  // A null name clears. Without a folder the name is a sound file; with one, a sound of that
  // resource folder. Record 1 plays on click, record 0 on hover.
  void SetSound(const QString& name, const QString& resourceFolder = {}, bool onClick = false, bool async = true);
  UINT SoundFlags(bool onClick) const { return sounds_[onClick ? 1 : 0].flags; }
  QString SoundName(bool onClick) const { return sounds_[onClick ? 1 : 0].path; }
  // The parent's pixels behind the button become its background.
  void SetTransparentLook(bool repaint = true);
  // parentPixels is the parent's client area; 5 unless the look is transparent and the image exists.
  int CaptureParentBackground(const QImage* parentPixels);
  // BM_SETSTYLE: type 1 makes the button the default one, type 0 an ordinary one.
  void SetButtonStyle(UINT style, bool repaint = true);
  UINT GetDlgCode() const { return defaultButton_ ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON; }
  bool Hovering() const { return hovering_; }
  // Test and gallery hooks: force the drawing states.
  void SetForcedState(bool hover, bool pressed, bool focused);

 protected:
  // The drawing steps, each replaceable by a subclass.
  virtual int PaintBackground(QPainter& p, QRect& rect);
  virtual int PaintBorder(QPainter& p, const QRect& rect);
  virtual void PaintIcon(QPainter& p, bool hasCaption, const QRect& item, QRect& caption, bool pressed, bool disabled);
  virtual void PaintSecondIcon(QPainter& p, bool hasCaption, const QRect& item, QRect& caption, bool pressed,
                               bool disabled);
  virtual void PaintBitmap(QPainter& p, bool hasCaption, const QRect& item, QRect& caption, bool pressed,
                           bool disabled);
  virtual void PaintCaption(QPainter& p, const QString& text, const QRect& item, QRect& caption, bool pressed,
                            bool disabled);

  void paintEvent(QPaintEvent*) override;
  // Room for the image beside (or above) the caption on one line, where a layout sizes the button.
  QSize sizeHint() const override;
  bool event(QEvent*) override;
  void leaveEvent(QEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void mouseDoubleClickEvent(QMouseEvent*) override;
  void focusOutEvent(QFocusEvent*) override;
  void changeEvent(QEvent*) override;
  void hideEvent(QHideEvent*) override;

 private:
  struct Image {
    QPixmap in, out;
    bool empty() const { return in.isNull(); }
  };
  struct Sound {
    QString path;
    UINT flags = 0;
  };
  void onClicked();
  void endHover();
  void playSound(int record);
  void paintParentCopy(QPainter& p);
  const QPixmap& chosen(const Image& image) const;
  void placeImage(QRect& image, QRect& caption, QSize size, bool hasCaption, bool pressed) const;
  void placeSecondImage(QRect& image, QSize size, bool hasCaption, bool pressed) const;
  QPixmap disabledForm(const QPixmap& image) const;
  void ensureTooltip();
  std::array<COLORREF, 6> colours_{};
  Image icon_, secondIcon_, bitmap_;
  QPoint origin_{3, 3};
  QPoint shift_{1, 1};
  int align_ = 0, secondAlign_ = 0;
  bool flat_ = true, flatBorder_ = true, flatFocus_ = false, edgeLines_ = false;
  bool hovering_ = false, checkMode_ = false, checked_ = false, defaultButton_ = false;
  bool menuShown_ = false, transparent_ = false, trackAlways_ = true, secondShown_ = false;
  bool lostFocusByDisabling_ = false;
  const bool embossDisabledBitmap_ = true;
  bool forced_ = false, forcedHover_ = false, forcedPressed_ = false, forcedFocus_ = false;
  bool drawPressed_ = false, drawFocused_ = false, drawHover_ = false;
  QString url_;
  QPointer<TrelMenu> menu_;
  std::unique_ptr<TrelMenu> ownMenu_;
  QPointer<QWidget> menuTarget_;
  QPointer<QWidget> callbackWindow_;
  UINT callbackMessage_ = 0;
  LPARAM callbackValue_ = 0;
  bool hasCursor_ = false;
  QLabel* tip_ = nullptr;
  bool tipRegistered_ = false, tipActive_ = false;
  UINT tipStyle_ = 0;
  QString tipText_;
  QPixmap background_;
  std::array<Sound, 2> sounds_;
};
