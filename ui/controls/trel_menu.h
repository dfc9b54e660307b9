// TrelMenu: the drawn popup menu, with one image per command shared by every menu.
#pragma once

#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QProxyStyle>
#include <memory>
#include <vector>

#include "platform/wintypes.h"
#include "ui/controls/colour.h"
#include "ui/controls/toolbar_state.h"

inline constexpr UINT MF_BYCOMMAND = 0x0000;
inline constexpr UINT MF_GRAYED = 0x0001;
inline constexpr UINT MF_DISABLED = 0x0002;
inline constexpr UINT MF_CHECKED = 0x0008;
inline constexpr UINT MF_POPUP = 0x0010;
inline constexpr UINT MF_END = 0x0080;
inline constexpr UINT MF_OWNERDRAW = 0x0100;
inline constexpr UINT MF_RADIOCHECK = 0x0200;
inline constexpr UINT MF_BYPOSITION = 0x0400;
inline constexpr UINT MF_SEPARATOR = 0x0800;
inline constexpr int MNC_EXECUTE = 2;

namespace ctl {
// The disabled looks of a menu or button image (highlight one pixel down-right, shadow in place).
// Dib: pixels darker than middle grey form the shape. Mask: every pixel that is neither the face
// nor the highlight colour (nor transparent) does. Washed: a faded copy, the face becoming back.
QPixmap EmbossedImage(const QImage& image, const QColor& face, const QColor& highlight, const QColor& shadow,
                      bool dib);
QPixmap WashedImage(const QImage& image, const QColor& face, const QColor& shadow, const QColor& back);
// Tool-bar resource `id` (res/<id>.toolbar): its button size and commands in order (0 a separator);
// false when missing or malformed.
bool ReadToolbarResource(int id, QSize* buttonSize, std::vector<int>* commands);
// Menu template resource `id` (res/<id>.menu) into `menu` as plain items drawn by the style;
// false when missing or malformed.
bool LoadPlainMenu(int id, QMenu* menu);
}  // namespace ctl

// An off-screen surface: callers draw in the target's coordinates; the destructor copies the
// rectangle back. On a printer it draws straight onto the target.
class COffscreenDC {
 public:
  COffscreenDC(QPainter* target, const QRect& rect);
  ~COffscreenDC();
  QPainter* painter() { return memory_ ? &own_ : target_; }
  bool drawsInMemory() const { return memory_; }

 private:
  QPainter* target_;
  QRect rect_;
  bool memory_;
  QPixmap bitmap_;
  QPainter own_;
};

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
  // imageId -1: the command's registered image; else the picture resource of that number (a strip:
  // the button of the command in the tool-bar resource of the same number, else image 0).
  QAction* AppendMenu(UINT flags, int command, const QString& text, int imageId);
  // The item gets its own copy of image index of the list.
  QAction* AppendMenu(UINT flags, int command, const QString& text, const QList<QPixmap>& images, int index);
  QAction* AppendBitmapMenu(UINT flags, int command, const QString& text, const QImage& bitmap);
  TrelMenu* AppendPopup(const QString& text);
  // By position in this menu (MF_BYPOSITION, -1 = the end), else before the item of that command
  // in this menu or any sub-menu. Null when nothing matched.
  QAction* InsertMenu(int position, UINT flags, int command, const QString& text, int imageId = -1);
  QAction* InsertMenu(int position, UINT flags, int command, const QString& text, const QList<QPixmap>& images,
                      int index);
  QAction* InsertBitmapMenu(int position, UINT flags, int command, const QString& text, const QImage& bitmap);

  // Changes every item of the command here and in the sub-menus; FALSE when none matched.
  bool ModifyItem(int command, const QString* text, const QImage& bitmap = {});
  bool ModifyItem(int command, const QString* text, int imageId);
  bool ModifyItem(int command, const QString* text, const QList<QPixmap>& images, int index);
  // The item whose text is itemText.
  bool ModifyItem(const QString& itemText, const QString* newText, int imageId = -1);
  // A colour swatch as the command's image: the fill with a one-pixel border (hatch -1 solid, else
  // HS_HORIZONTAL..HS_DIAGCROSS), centred on a menu-coloured square of the image size.
  bool ModifyItem(const QString* text, int command, COLORREF fill, COLORREF border, int hatch = -1,
                  QSize size = {});
  static QPixmap ColourSwatch(COLORREF fill, COLORREF border, int hatch, QSize size, const QColor& menuColour);

  bool SetMenuText(int positionOrCommand, const QString& text, UINT flags = MF_BYCOMMAND);
  bool GetMenuText(int positionOrCommand, QString* text, UINT flags = MF_BYCOMMAND) const;
  // A popup's items and sub-menu go with it. By command the item is searched in the sub-menus.
  bool DeleteMenu(int positionOrCommand, UINT flags = MF_BYCOMMAND);
  bool RemoveMenu(int positionOrCommand, UINT flags = MF_BYCOMMAND);
  // separatorOption 1 or 2 also removes the entry just before, 3 the two before.
  bool DeleteMenu(const QString& text, int separatorOption);
  bool RemoveMenu(const QString& text, int separatorOption);
  TrelMenu* GetSubMenu(int position) const;
  TrelMenu* GetSubMenu(const QString& text) const;
  QAction* FindCommand(int command) const;
  // The flags the item carries (MF_OWNERDRAW unless it is a plain string), or ~0u for no item.
  UINT ItemFlags(int position) const;
  int RecordCount() const;

  void SetImageBackground(COLORREF colour);
  void ClearImageBackground();
  COLORREF ImageKey() const;
  void SetDibEmboss(bool on) { dibEmboss_ = on; update(); }
  bool DibEmboss() const { return dibEmboss_; }
  // Pictures for checked items: both ids at least 1; false (and no list) when either fails.
  bool SetCheckImages(int unselectedId, int selectedId);
  bool HasCheckImages() const { return checkImages_ && !checkImages_->empty(); }
  QPixmap CheckImage(bool selected) const;

  // A menu template resource (res/<id>.menu or res/<name>.menu); false when missing or malformed.
  bool LoadMenu(int resourceId);
  bool LoadMenu(const QString& resourceName);
  bool LoadedFromResource() const { return loadedFromResource_; }
  // Tool-bar resources (res/<id>.toolbar with res/<id>.bmp): each button's image becomes the image
  // of the menu's item of its command. All must load.
  bool LoadToolbarImages(int toolbarId);
  bool LoadToolbarImages(const std::vector<int>& toolbarIds);
  // Each item whose command a button has gets its own copy of that button's image of the strip.
  bool LoadToolbarImages(const std::vector<ctl::TBBUTTON>& buttons, int imageId);
  void DestroyMenu();

  static void SetImageSize(int width, int height);
  static QSize ImageSize();
  static void SetDrawMode(int mode);  // 0 classic, 1 XP
  static int DrawMode();
  // Set once a picture had to be taken as stored (not a 16-colour one): disabled images then fade.
  static bool PlainBitmaps();
  static void SetPlainBitmaps(bool on);
  // The shared list: one image per command; a second registration replaces the first, and every
  // item holding that entry shows the new picture. Items added before the command had an entry
  // stay without one.
  static int RegisterCommandImage(int command, const QPixmap& image);
  static int SharedIndex(int command);  // -1 when the command has no entry
  static QPixmap CommandImage(int command);
  static int SharedImageCount();
  static bool IsOwnMenu(const QMenu* menu);
  // Brings the records in line with items added to the menu directly; FALSE for other menus.
  static bool UpdateMenu(QMenu* menu);
  // Position of the item to execute for a mnemonic character, or -1.
  static int HandleMenuChar(QChar ch, const TrelMenu* menu);
  // A picture resource as a menu image strip: 16-colour pictures take the system's button
  // colours, others keep theirs with light grey made the face colour (and set the plain flag).
  QList<QPixmap> LoadImageStrip(int imageId) const;
  // The picture the tool-bar resource `imageId` gives `command` (its first when the bar does not
  // name the command) becomes the command's menu image; its index in the shared list, or -1.
  int RegisterToolbarImage(int command, int imageId) const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void initStyleOption(QStyleOptionMenuItem* option, const QAction* action) const override;

 private:
  QAction* addItem(UINT flags, int command, const QString& text, QAction* before);
  QAction* insertWithImage(QAction* before, UINT flags, int command, const QString& text, int imageId);
  bool locate(int positionOrCommand, UINT flags, TrelMenu** owner, QAction** action) const;
  QAction* findText(const QString& text) const;
  bool dropItem(TrelMenu* owner, QAction* action);
  bool removeByText(const QString& text, int separatorOption);
  void setGlobalIndex(QAction* a, int index);
  void giveIndex(int command, int index);  // every item of the command here and in the sub-menus
  void flattenTopLevel();
  void alignTabs();
  bool loadTemplate(const QByteArray& data);
  TrelMenu* newPopup(const QString& text, QAction* before);
  bool useImageBackground_ = true;
  COLORREF imageBackground_ = RGB(236, 233, 216);
  bool dibEmboss_ = false;
  bool loadedFromResource_ = false;
  std::shared_ptr<std::vector<QPixmap>> checkImages_;
  bool checkImagesShared_ = false;
  int checkSelectedId_ = -1, checkUnselectedId_ = -1;
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
