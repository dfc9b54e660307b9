// CToolBarEx: the dockable toolbar the user rearranges, with text and icon options, control slots and a saved layout; CCustomizeDialog.
#pragma once

#include <QDialog>
#include <QMap>
#include <QPixmap>
#include <QToolBar>
#include <vector>

#include "ui/controls/toolbar_state.h"

class QComboBox;
class QListWidget;
class QToolButton;

class CToolBarEx : public QToolBar {
  Q_OBJECT
 public:
  explicit CToolBarEx(QWidget* parent = nullptr);

  int DefaultTextOption = 0;
  int DefaultIconOption = 0;
  bool HideControlsWhenVertical = true;

  // The buttons now on the bar become the set the customise dialog offers, plus extra records.
  void SetButtons(const std::vector<ctl::TBBUTTON>& buttons);
  void SetButtonSet(const std::vector<ctl::ToolButtonRecord>& extra = {});
  void SetTextOptions(int option, bool update = true);
  void SetIconOptions(int option, bool update = true);
  int TextOption() const { return textOption_; }
  int IconOption() const { return iconOption_; }
  virtual bool HasButtonText(int command) const;
  // The images at both sizes: strips of 16x16 and 32x32 cells.
  void SetImageStrips(const QString& small, const QString& large, unsigned key);
  // A child control on the slot of a command; hidden when the bar has no such button.
  QWidget* InsertControl(QWidget* control, int command);
  bool SetDropDownButton(int command, QMenu* menu, bool arrow);
  void UpdateButtonUsage();
  // The customisation block: icon option, text option, then the buttons on the bar.
  std::vector<uint8_t> SaveState() const;
  bool RestoreState(const std::vector<uint8_t>& block);
  void Reset();
  void Customize();
  const std::vector<ctl::ToolButtonRecord>& ButtonSet() const { return buttonSet_; }
  const std::vector<ctl::TBBUTTON>& Buttons() const { return buttons_; }
  // The text the bar shows for a command: the owner's text in the program's language when it gave
  // one (an empty text takes it back), else the built-in text of the known commands.
  static QString CommandText(int command);
  static void SetCommandText(int command, const QString& text);
  // Shows the commands' current texts (after a language change).
  void Retext();

 signals:
  void commandTriggered(int command);

 private:
  void rebuild();
  std::vector<ctl::TBBUTTON> buttons_;
  std::vector<ctl::ToolButtonRecord> buttonSet_;
  int textOption_ = -1, iconOption_ = -1;
  QList<QPixmap> small_, large_;
  QMap<int, QAction*> controls_;  // the control slots' actions, kept across rebuilds
  QMap<int, QMenu*> dropDowns_;
  QMap<int, bool> dropArrow_;
};

class CCustomizeDialog : public QDialog {
  Q_OBJECT
 public:
  CCustomizeDialog(CToolBarEx* bar, int textOption, int iconOption);
  void SetTextOption(int option);
  void SetIconOption(int option);
  int IconOptionChoice() const { return iconOption_; }
  QListWidget* available() const { return available_; }
  QListWidget* current() const { return current_; }

 private:
  void fill();
  CToolBarEx* bar_;
  QComboBox* textList_;
  QComboBox* iconList_;
  QListWidget* available_;
  QListWidget* current_;
  int textOption_, iconOption_;
};
