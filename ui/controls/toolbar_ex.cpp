// CToolBarEx and CCustomizeDialog.
#include "ui/controls/toolbar_ex.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <map>

#include "ui/controls/skin.h"

CToolBarEx::CToolBarEx(QWidget* parent) : QToolBar(parent) {
  setMovable(true);
  setFloatable(true);
}

namespace {
// Texts given by the owner in the program's language, over the built-in ones.
std::map<int, QString>& CommandTexts() {
  static std::map<int, QString> texts;
  return texts;
}
}  // namespace

void CToolBarEx::SetCommandText(int command, const QString& text) {
  if (text.isEmpty()) CommandTexts().erase(command);
  else CommandTexts()[command] = text;
}

QString CToolBarEx::CommandText(int command) {
  if (const auto it = CommandTexts().find(command); it != CommandTexts().end()) return it->second;
  switch (command) {
    case 32821: return QStringLiteral("手动播放");
    case 32822: return QStringLiteral("字体");
    case 32823: return QStringLiteral("表情");
    case 32831: return QStringLiteral("邀请加入会议");
    case 32833: return QStringLiteral("调整音频");
    default: return {};
  }
}

void CToolBarEx::Retext() {
  for (ctl::ToolButtonRecord& r : buttonSet_) r.text = CommandText(r.button.idCommand).toStdString();
  rebuild();
}

void CToolBarEx::SetButtons(const std::vector<ctl::TBBUTTON>& buttons) {
  buttons_ = buttons;
  rebuild();
}

void CToolBarEx::SetButtonSet(const std::vector<ctl::ToolButtonRecord>& extra) {
  buttonSet_.clear();
  for (const ctl::TBBUTTON& b : buttons_) {
    ctl::ToolButtonRecord r;
    r.button = b;
    r.text = CommandText(b.idCommand).toStdString();
    r.inUse = true;
    buttonSet_.push_back(r);
  }
  buttonSet_.insert(buttonSet_.end(), extra.begin(), extra.end());
  SetTextOptions(DefaultTextOption, true);
  SetIconOptions(DefaultIconOption, true);
}

bool CToolBarEx::HasButtonText(int) const { return true; }

void CToolBarEx::SetTextOptions(int option, bool update) {
  textOption_ = option;
  for (ctl::TBBUTTON& b : buttons_) {
    if (b.fsStyle & ctl::TBSTYLE_SEP) continue;
    const bool hasText = !CommandText(b.idCommand).isEmpty();
    switch (option) {
      case 0:
        b.iString = hasText ? b.idCommand : -1;
        b.fsStyle = static_cast<uint8_t>((b.fsStyle & ~ctl::BTNS_SHOWTEXT) | ctl::TBSTYLE_AUTOSIZE);
        break;
      case 1:
        if (HasButtonText(b.idCommand) && hasText) {
          b.iString = b.idCommand;
          b.fsStyle |= ctl::BTNS_SHOWTEXT | ctl::TBSTYLE_AUTOSIZE;
        } else {
          b.fsStyle = static_cast<uint8_t>((b.fsStyle & ~ctl::BTNS_SHOWTEXT) | ctl::TBSTYLE_AUTOSIZE);
        }
        break;
      default:
        b.iString = -1;
        b.fsStyle = static_cast<uint8_t>((b.fsStyle & ~ctl::BTNS_SHOWTEXT) | ctl::TBSTYLE_AUTOSIZE);
        break;
    }
    for (auto& r : buttonSet_)
      if (r.button.idCommand == b.idCommand) r.button = b;
  }
  if (update) rebuild();
}

void CToolBarEx::SetIconOptions(int option, bool update) {
  iconOption_ = option;
  if (option == 0) setIconSize(QSize(16, 16));
  else if (option == 1) setIconSize(QSize(32, 32));
  if (update) rebuild();
}

void CToolBarEx::SetImageStrips(const QString& small, const QString& large, unsigned key) {
  small_ = ctl::CutStrip(ctl::LoadBitmapFile(small), 16, 16, key);
  large_ = ctl::CutStrip(ctl::LoadBitmapFile(large), 32, 32, key);
  rebuild();
}

QWidget* CToolBarEx::InsertControl(QWidget* control, int command) {
  controls_[command] = addWidget(control);
  rebuild();
  return control;
}

bool CToolBarEx::SetDropDownButton(int command, QMenu* menu, bool arrow) {
  dropDowns_[command] = menu;
  dropArrow_[command] = arrow;
  for (ctl::TBBUTTON& b : buttons_)
    if (b.idCommand == command) b.fsStyle |= ctl::TBSTYLE_DROPDOWN | (arrow ? 0 : ctl::BTNS_WHOLEDROPDOWN);
  rebuild();
  return true;
}

void CToolBarEx::UpdateButtonUsage() {
  for (auto& r : buttonSet_) {
    bool on = false;
    for (const auto& b : buttons_)
      if (b.idCommand == r.button.idCommand) on = true;
    if ((r.button.fsStyle & ctl::TBSTYLE_SEP) && r.button.idCommand < 1) on = true;
    r.inUse = on;
  }
}

std::vector<uint8_t> CToolBarEx::SaveState() const { return ctl::SaveToolbarBlock(iconOption_, textOption_, buttons_); }

bool CToolBarEx::RestoreState(const std::vector<uint8_t>& block) {
  int icon = 0, text = 0;
  std::vector<ctl::TBBUTTON> restored;
  if (!ctl::RestoreToolbarBlock(block, &icon, &text, &restored)) return false;
  iconOption_ = icon;
  textOption_ = text;
  // Only buttons the bar knows come back.
  std::vector<ctl::TBBUTTON> known;
  for (const auto& b : restored) {
    if (b.fsStyle & ctl::TBSTYLE_SEP) {
      known.push_back(b);
      continue;
    }
    for (const auto& r : buttonSet_)
      if (r.button.idCommand == b.idCommand) known.push_back(b);
  }
  buttons_ = known;
  SetIconOptions(icon, false);
  SetTextOptions(text, false);
  rebuild();
  return true;
}

void CToolBarEx::Reset() {
  buttons_.clear();
  for (const auto& r : buttonSet_)
    if (r.inUse) buttons_.push_back(r.button);
  SetTextOptions(DefaultTextOption, true);
}

void CToolBarEx::rebuild() {
  for (QAction* a : actions()) {
    removeAction(a);
    if (!controls_.values().contains(a)) delete a;
  }
  const bool vertical = orientation() == Qt::Vertical;
  const QList<QPixmap>& images = iconOption_ == 1 ? large_ : small_;
  switch (textOption_) {
    case 0: setToolButtonStyle(Qt::ToolButtonTextUnderIcon); break;
    case 1: setToolButtonStyle(Qt::ToolButtonTextBesideIcon); break;
    default: setToolButtonStyle(Qt::ToolButtonIconOnly); break;
  }
  for (const ctl::TBBUTTON& b : buttons_) {
    if (b.fsStyle & ctl::TBSTYLE_SEP) {
      if (b.idCommand != 0 && controls_.contains(b.idCommand)) {
        if (!(vertical && HideControlsWhenVertical)) addAction(controls_[b.idCommand]);
      } else {
        addSeparator();
      }
      continue;
    }
    if (controls_.contains(b.idCommand)) {  // a control takes the button's slot
      if (!(vertical && HideControlsWhenVertical)) addAction(controls_[b.idCommand]);
      continue;
    }
    auto* tb = new QToolButton(this);
    const QString text = CommandText(b.idCommand);
    tb->setText(text.isEmpty() ? QString::number(b.idCommand) : text);
    if (b.iBitmap >= 0 && b.iBitmap < images.size()) tb->setIcon(QIcon(images[b.iBitmap]));
    if (textOption_ == 1) tb->setToolButtonStyle((b.fsStyle & ctl::BTNS_SHOWTEXT) ? Qt::ToolButtonTextBesideIcon : Qt::ToolButtonIconOnly);
    else tb->setToolButtonStyle(toolButtonStyle());
    tb->setCheckable(false);
    tb->setEnabled(b.fsState & ctl::TBSTATE_ENABLED);
    tb->setAutoRaise(true);
    if (dropDowns_.contains(b.idCommand) && dropDowns_[b.idCommand]) {
      tb->setMenu(dropDowns_[b.idCommand]);
      tb->setPopupMode(dropArrow_[b.idCommand] ? QToolButton::MenuButtonPopup : QToolButton::InstantPopup);
    }
    const int command = b.idCommand;
    connect(tb, &QToolButton::clicked, this, [this, command] { emit commandTriggered(command); });
    addWidget(tb);
  }
}

void CToolBarEx::Customize() {
  CCustomizeDialog dlg(this, textOption_, iconOption_);
  dlg.exec();
  if (dlg.IconOptionChoice() != iconOption_) SetIconOptions(dlg.IconOptionChoice(), true);
}

// ---------------------------------------------------------------------------

CCustomizeDialog::CCustomizeDialog(CToolBarEx* bar, int textOption, int iconOption)
    : QDialog(bar), bar_(bar), textOption_(textOption), iconOption_(iconOption) {
  setWindowTitle(bar->windowTitle().isEmpty() ? tr("Customize Toolbar")
                                              : tr("Customize Toolbar") + QStringLiteral(" - ") + bar->windowTitle());
  auto* grid = new QGridLayout(this);
  available_ = new QListWidget(this);
  current_ = new QListWidget(this);
  auto* add = new QPushButton(tr("&Add ->"), this);
  auto* remove = new QPushButton(tr("<- &Remove"), this);
  auto* reset = new QPushButton(tr("R&eset"), this);
  grid->addWidget(new QLabel(tr("A&vailable toolbar buttons:"), this), 0, 0);
  grid->addWidget(new QLabel(tr("C&urrent toolbar buttons:"), this), 0, 2);
  grid->addWidget(available_, 1, 0, 3, 1);
  grid->addWidget(add, 1, 1);
  grid->addWidget(remove, 2, 1);
  grid->addWidget(current_, 1, 2, 3, 1);
  grid->addWidget(reset, 3, 1, Qt::AlignTop);
  textList_ = new QComboBox(this);
  textList_->setObjectName(QStringLiteral("1000"));
  textList_->addItems({tr("Show Text Labels"), tr("Selective Text on Right"), tr("No Text Labels")});
  iconList_ = new QComboBox(this);
  iconList_->setObjectName(QStringLiteral("1001"));
  iconList_->addItems({tr("Small Icons"), tr("Large Icons")});
  grid->addWidget(new QLabel(tr("Te&xt options:"), this), 4, 0);
  grid->addWidget(textList_, 4, 2);
  grid->addWidget(new QLabel(tr("Ico&n options:"), this), 5, 0);
  grid->addWidget(iconList_, 5, 2);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  grid->addWidget(buttons, 6, 0, 1, 3);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::accept);
  SetTextOption(textOption);
  SetIconOption(iconOption);
  connect(textList_, qOverload<int>(&QComboBox::activated), this, [this](int i) {
    textOption_ = i;
    bar_->SetTextOptions(i, true);  // a text option shows at once
  });
  connect(iconList_, qOverload<int>(&QComboBox::activated), this, [this](int i) { iconOption_ = i; });
  connect(add, &QPushButton::clicked, this, [this] {
    auto* item = available_->currentItem();
    if (!item) return;
    auto buttons = bar_->Buttons();
    for (const auto& r : bar_->ButtonSet())
      if (r.button.idCommand == item->data(Qt::UserRole).toInt()) buttons.push_back(r.button);
    bar_->SetButtons(buttons);
    bar_->UpdateButtonUsage();
    fill();
  });
  connect(remove, &QPushButton::clicked, this, [this] {
    const int row = current_->currentRow();
    if (row < 0) return;
    auto buttons = bar_->Buttons();
    if (row < static_cast<int>(buttons.size())) buttons.erase(buttons.begin() + row);
    bar_->SetButtons(buttons);
    bar_->UpdateButtonUsage();
    fill();
  });
  connect(reset, &QPushButton::clicked, this, [this] {
    bar_->Reset();
    SetTextOption(bar_->DefaultTextOption);
    SetIconOption(bar_->DefaultIconOption);
    fill();
  });
  fill();
}

void CCustomizeDialog::fill() {
  available_->clear();
  current_->clear();
  auto label = [](const ctl::TBBUTTON& b) {
    if (b.fsStyle & ctl::TBSTYLE_SEP) return tr("Separator");
    const QString t = CToolBarEx::CommandText(b.idCommand);
    return t.isEmpty() ? QString::number(b.idCommand) : t;
  };
  for (const auto& b : bar_->Buttons()) current_->addItem(label(b));
  for (const auto& r : bar_->ButtonSet()) {
    bool on = false;
    for (const auto& b : bar_->Buttons())
      if (b.idCommand == r.button.idCommand) on = true;
    if (on) continue;
    auto* item = new QListWidgetItem(label(r.button), available_);
    item->setData(Qt::UserRole, r.button.idCommand);
  }
}

void CCustomizeDialog::SetTextOption(int option) {
  textOption_ = option;
  if (option >= 0 && option < textList_->count()) textList_->setCurrentIndex(option);
}

void CCustomizeDialog::SetIconOption(int option) {
  iconOption_ = option;
  if (option >= 0 && option < iconList_->count()) iconList_->setCurrentIndex(option);
}
