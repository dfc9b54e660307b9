// CToolBarEx: the dockable toolbar the user rearranges, with text and icon options, control slots and a saved layout; CCustomizeDialog, CDockBarEx.
#pragma once

#include <QDialog>
#include <QImage>
#include <QMap>
#include <QPixmap>
#include <QPointer>
#include <QToolBar>
#include <QToolButton>
#include <functional>
#include <map>
#include <vector>

#include "ui/controls/colour.h"
#include "ui/controls/toolbar_state.h"

class QComboBox;
class QListWidget;
class QMainWindow;
class QMenu;
class QPushButton;
class CToolBarEx;

namespace ctl {
inline constexpr unsigned TBSTYLE_FLAT = 0x0800;
inline constexpr unsigned TBSTYLE_LIST = 0x1000;
inline constexpr unsigned TBSTYLE_EX_DRAWDDARROWS = 0x01, TBSTYLE_EX_MIXEDBUTTONS = 0x08;
// Window style bits a child control of the bar takes.
inline constexpr unsigned WS_DISABLED = 0x08000000;
inline constexpr unsigned CBS_SIMPLE = 0x0001, CBS_DROPDOWN = 0x0002, CBS_DROPDOWNLIST = 0x0003;
inline constexpr unsigned ES_PASSWORD = 0x0020, ES_READONLY = 0x0800, ES_NUMBER = 0x2000;
inline constexpr unsigned BS_CHECKBOX = 0x0002, BS_AUTOCHECKBOX = 0x0003, BS_TYPEMASK = 0x000F;
// The frame's dock bar ids, one per side.
inline constexpr int AFX_IDW_DOCKBAR_TOP = 0xE81B, AFX_IDW_DOCKBAR_LEFT = 0xE81C, AFX_IDW_DOCKBAR_RIGHT = 0xE81D,
                     AFX_IDW_DOCKBAR_BOTTOM = 0xE81E;
// The four classic button colours mapped to the current ones (text, shadow, face, highlight).
struct ButtonColours {
  COLORREF text = RGB(0, 0, 0), shadow = RGB(128, 128, 128), face = RGB(192, 192, 192),
           highlight = RGB(255, 255, 255);
};
ButtonColours CurrentButtonColours(const QPalette& palette);
// The bitmap stretched to w x h with the classic colours replaced: a palette image has its first 16
// table entries mapped before the stretch, a true-colour one its pixels after it.
QImage RecolourBitmap(const QImage& bitmap, int w, int h, const ButtonColours& to);
}  // namespace ctl

// One button of the customisable bar: a click runs its command, its drop-down part asks the bar.
class CToolBarExButton : public QToolButton {
  Q_OBJECT
 public:
  CToolBarExButton(CToolBarEx* bar, int command);
  int command() const { return command_; }
  void SetDropDown(bool on, bool whole);

 protected:
  void mousePressEvent(QMouseEvent*) override;

 private:
  CToolBarEx* bar_;
  int command_;
  bool dropDown_ = false, whole_ = false;
};

class CToolBarEx : public QToolBar {
  Q_OBJECT
 public:
  explicit CToolBarEx(QWidget* parent = nullptr);
  ~CToolBarEx() override;

  int DefaultTextOption = 0;
  int DefaultIconOption = 0;
  bool HideControlsWhenVertical = true;

  // The buttons the bar holds (what loading its toolbar resource gives).
  void SetButtons(const std::vector<ctl::TBBUTTON>& buttons);
  // The buttons now on the bar become the set the customise dialog offers, plus extra records.
  void SetButtonSet(const ctl::CToolButtonArray* extra = nullptr);
  void SetTextOptions(int option, bool update = true);
  void SetIconOptions(int option, bool update = true);
  int TextOption() const { return textOption_; }
  int IconOption() const { return iconOption_; }
  int ButtonSetCount() const { return buttonSetCount_; }
  // Taking the button set makes the bar adjustable: a double click on it opens the customise dialog.
  bool IsAdjustable() const { return adjustable_; }
  virtual bool HasButtonText(int command) const;
  // The images at both sizes: strips of 16x16 and 32x32 cells from the skin.
  void SetImageStrips(const QString& small, const QString& large, unsigned key);
  // A program picture by name (or number), reloaded at each icon size with the classic colours
  // mapped to the current ones. False when there is none.
  bool SetBitmapResource(const QString& name);
  QSize ImageSize() const { return imageSize_; }
  const QList<QPixmap>& Images() const { return images_; }

  // A child control on the slot of a command; hidden when the bar has no such button.
  enum class ControlKind { ComboBox, Edit, Button, Window };
  QWidget* InsertControl(ControlKind kind, const QString& title, const QRect& rect, int command, unsigned style = 0);
  QWidget* InsertControl(QWidget* control, int command);
  void PositionControl(QWidget* control, const QRect& rect, int command);
  const std::vector<QPointer<QWidget>>& ControlList() const { return controlList_; }

  // menuId: a menu resource whose first sub-menu drops down; 0: a drop-down without a menu (the
  // emoticon picker for 32823).
  bool SetDropDownButton(int command, int menuId, bool arrow);
  // Opens the command's drop-down under the button (a screen rectangle); the menu's choice goes to the
  // main window as its command. False when the command has nothing to drop down.
  bool ShowDropDown(int command, const QRect& screenRect);
  // Where a drop-down menu of that size opens for a button: under its left corner, above the button
  // when the screen has no room below, never over it; moved left to stay on the screen.
  static QPoint DropDownPlace(const QRect& button, const QSize& menu, const QRect& screen);
  // What opens the emoticon picker (the chat windows install it): at a screen point, for an owner, with
  // the bar's opening value 0 (the chat windows' picker counts it as releases already seen).
  using EmoticonPicker = std::function<QWidget*(QPoint at, QWidget* owner, unsigned value)>;
  static void SetEmoticonPicker(EmoticonPicker picker);

  void UpdateButtonUsage();
  void Customize();
  // The customise dialog's questions and answers.
  bool QueryInsert(int) const { return true; }
  bool QueryDelete(int index) const;  // a control slot (hidden button) stays
  bool GetButtonInfo(int item, ctl::TBBUTTON* button, QString* text, int cchText) const;
  void ToolbarChange();
  void Reset();
  void MoveButton(int from, int to);
  void DeleteButton(int index);
  void InsertButton(int index, const ctl::TBBUTTON& button);

  // The customisation block: icon option, text option, then the buttons on the bar.
  std::vector<uint8_t> SaveState() const;
  bool RestoreState(const std::vector<uint8_t>& block);

  const ctl::CToolButtonArray& ButtonSet() const { return buttonSet_; }
  const std::vector<ctl::TBBUTTON>& Buttons() const { return buttons_; }
  const std::vector<QString>& Strings() const { return strings_; }
  CToolBarExButton* Button(int command) const;

  // Bar styles: CBRS_* borders and sizing; the flat look draws its own borders.
  void SetBarStyle(unsigned style);
  unsigned GetBarStyle() const { return barStyle_; }
  void SetFlat(bool on);
  bool IsFlat() const { return flat_; }
  // Docking on the sides named (CBRS_ALIGN_*); a bar never given docking draws an etched top line.
  void EnableDocking(unsigned align);
  bool HasDockContext() const { return dockContext_; }
  bool IsVertDocked() const;
  // The layout as the frame asks for it.
  ctl::LayoutSize CalcFixedLayout(bool stretch, bool horz);
  ctl::LayoutSize CalcDynamicLayout(int length, unsigned mode);
  static int GetComCtlVersion();

  // The text the bar shows for a command: the owner's text in the program's language when it gave
  // one (an empty text takes it back), else the built-in text of the known commands.
  static QString CommandText(int command);
  static void SetCommandText(int command, const QString& text);
  // Shows the commands' current texts (after a language change).
  void Retext();

 signals:
  void commandTriggered(int command);

 protected:
  void paintEvent(QPaintEvent*) override;
  void changeEvent(QEvent*) override;
  void contextMenuEvent(QContextMenuEvent*) override;
  void mouseDoubleClickEvent(QMouseEvent*) override;

 private:
  friend class CToolBarExButton;
  void rebuild();
  void relayout();
  int stringIndex(const QString& text);
  void reloadBitmap();
  ctl::ToolbarLayout layoutModel() const;
  QWidget* strip_;
  std::vector<ctl::TBBUTTON> buttons_;
  ctl::CToolButtonArray buttonSet_;
  int buttonSetCount_ = 0;
  int textOption_ = -1, iconOption_ = -1;
  std::map<QString, int> stringIndexMap_;
  std::vector<QString> strings_;
  QList<QPixmap> small_, large_, images_;
  QSize imageSize_{16, 16};
  QString bitmapPath_;
  ctl::ButtonColours colours_;
  std::vector<QPointer<QWidget>> controlList_;  // made by the bar, deleted with it
  QMap<int, QPointer<QWidget>> controls_;       // the control of each slot command
  struct DropDown {
    int menuId = 0;
    bool arrow = true;
  };
  std::map<int, DropDown> dropDowns_;
  unsigned barStyle_ = ctl::CBRS_SIZE_DYNAMIC;
  bool flat_ = false;
  bool dockContext_ = false;
  bool adjustable_ = false;
  int mruWidth_ = 32767;
};

// The customise dialog: the offered and current buttons, Add, Remove, Move Up and Down, Reset, and
// the text and icon options.
class CCustomizeDialog : public QDialog {
  Q_OBJECT
 public:
  CCustomizeDialog(CToolBarEx* bar, int textOption, int iconOption);
  // The dialog's texts in the program's language (title, available, current, add, remove, reset, up,
  // down, close, separator, textoptions, text0-text2, iconoptions, icon0-icon1); an empty text gives
  // the English one back.
  static void SetText(const QString& key, const QString& text);
  static QString Text(const QString& key);
  void SetTextOption(int option);
  void SetIconOption(int option);
  int IconOptionChoice() const { return iconOption_; }
  QListWidget* available() const { return available_; }
  QListWidget* current() const { return current_; }
  QPushButton* moveUp() const { return up_; }
  QPushButton* moveDown() const { return down_; }
  QComboBox* textList() const { return textList_; }
  QComboBox* iconList() const { return iconList_; }
  void fill();

 private:
  CToolBarEx* bar_;
  QComboBox* textList_;
  QComboBox* iconList_;
  QListWidget* available_;
  QListWidget* current_;
  QPushButton *up_, *down_, *add_, *remove_;
  int textOption_, iconOption_;
};

// The frame's dock bar of one side; bars are placed in a row, a flat customisable bar without the
// 2-pixel overlap that other bars get. The frame's tool-bar area of that side lays the bars out; the
// dock bar then moves each row's bars onto those places.
class CDockBarEx : public QObject {
  Q_OBJECT
 public:
  CDockBarEx(QMainWindow* frame, int id, unsigned style);
  int Id() const { return id_; }
  unsigned Style() const { return style_; }
  Qt::ToolBarArea Area() const;
  struct Slot {
    int length = 0;
    bool flatEx = false;
  };
  // Where each bar of a row starts.
  static std::vector<int> PlaceBars(const std::vector<Slot>& bars);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void schedulePlace();
  void placeRows();
  QMainWindow* frame_;
  int id_;
  unsigned style_;
  bool placing_ = false, scheduled_ = false;
};

// Gives the frame a CDockBarEx on each side the style names (CBRS_ALIGN_*), in place of any other.
void FrameEnableDocking(QMainWindow* frame, unsigned dockStyle);
// The frame's dock bar with that id, or null.
QObject* FrameDockBar(QMainWindow* frame, int id);
