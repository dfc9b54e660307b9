// TrelMenu: the drawn popup menu, with one image per command shared by every menu.
#pragma once

#include <QMenu>
#include <QPixmap>
#include <QProxyStyle>

#include "platform/wintypes.h"
#include "ui/controls/colour.h"

inline constexpr UINT MF_GRAYED = 0x0001;
inline constexpr UINT MF_DISABLED = 0x0002;
inline constexpr UINT MF_CHECKED = 0x0008;
inline constexpr UINT MF_POPUP = 0x0010;
inline constexpr UINT MF_OWNERDRAW = 0x0100;
inline constexpr UINT MF_SEPARATOR = 0x0800;
inline constexpr UINT MF_RADIOCHECK = 0x0200;
inline constexpr int MNC_EXECUTE = 2;

class TrelMenu : public QMenu {
  Q_OBJECT
 public:
  explicit TrelMenu(QWidget* parent = nullptr);
  ~TrelMenu() override;

  // Command 0 makes a separator. An image file names a strip of images at the image size;
  // imageIndex picks one, registered for the command in the shared list. No file: the image
  // already registered for the command (if any).
  QAction* AppendMenu(UINT flags, int command, const QString& text, const QString& imageFile = {},
                      int imageIndex = 0);
  QAction* AppendBitmapMenu(UINT flags, int command, const QString& text, const QImage& bitmap);
  TrelMenu* AppendPopup(const QString& text);
  // Changes every item of the command here and in the sub-menus; FALSE when none matched.
  bool ModifyItem(int command, const QString* text, const QImage& bitmap = {});
  bool DeleteMenu(int command);
  QAction* FindCommand(int command) const;

  void SetImageBackground(COLORREF colour);
  void ClearImageBackground();
  COLORREF ImageKey() const;

  static void SetImageSize(int width, int height);
  static QSize ImageSize();
  static void SetDrawMode(int mode);  // 0 classic, 1 XP
  static int DrawMode();
  // The shared list: one image per command; a second registration replaces the first.
  static int RegisterCommandImage(int command, const QPixmap& image);
  static QPixmap CommandImage(int command);
  static int SharedImageCount();
  static bool IsOwnMenu(const QMenu* menu);
  // Position of the item to execute for a mnemonic character, or -1.
  static int HandleMenuChar(QChar ch, const TrelMenu* menu);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QAction* addItem(UINT flags, int command, const QString& text);
  void refreshCommandIcon(int command);
  bool useImageBackground_ = true;
  COLORREF imageBackground_ = RGB(236, 233, 216);
};

// Draws the items of every TrelMenu in the classic or the XP look.
class TrelMenuStyle : public QProxyStyle {
 public:
  static TrelMenuStyle* instance();
  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override;
  QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                         const QWidget* widget) const override;
  int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override;
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override;

 private:
  TrelMenuStyle();
};
