// CToolBarEx, CCustomizeDialog and CDockBarEx.
#include "ui/controls/toolbar_ex.h"

#include <QChildEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QStyleOptionToolBar>
#include <QStyleOptionToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "common/appenv.h"
#include "common/debug.h"
#include "platform/msgqueue.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"
#include "ui/controls/trel_menu.h"

namespace ctl {

ButtonColours CurrentButtonColours(const QPalette& p) {
  ButtonColours c;
  c.text = ToColorRef(p.color(QPalette::ButtonText));
  c.shadow = ToColorRef(p.color(QPalette::Mid));
  c.face = ToColorRef(p.color(QPalette::Button));
  c.highlight = ToColorRef(p.color(QPalette::Light));
  return c;
}

namespace {
QRgb Classic(QRgb px, const ButtonColours& to) {
  const QRgb rgb = px & 0xFFFFFF;
  auto q = [px](COLORREF c) { return (px & 0xFF000000u) | (ToQColor(c).rgb() & 0xFFFFFF); };
  switch (rgb) {
    case 0x000000: return q(to.text);
    case 0x808080: return q(to.shadow);
    case 0xC0C0C0: return q(to.face);
    case 0xFFFFFF: return q(to.highlight);
    default: return px;
  }
}
}  // namespace

QImage RecolourBitmap(const QImage& bitmap, int w, int h, const ButtonColours& to) {
  if (bitmap.isNull() || w <= 0 || h <= 0) return {};
  if (bitmap.depth() <= 8 && bitmap.colorCount() > 0) {
    QImage img = bitmap;
    QList<QRgb> table = img.colorTable();
    for (int i = 0; i < table.size() && i < 16; ++i) table[i] = Classic(table[i], to);
    img.setColorTable(table);
    return img.scaled(w, h, Qt::IgnoreAspectRatio, Qt::FastTransformation).convertToFormat(QImage::Format_RGB32);
  }
  QImage img = bitmap.scaled(w, h, Qt::IgnoreAspectRatio, Qt::FastTransformation).convertToFormat(QImage::Format_RGB32);
  for (int y = 0; y < img.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
    for (int x = 0; x < img.width(); ++x) line[x] = Classic(line[x], to);
  }
  return img;
}

}  // namespace ctl

namespace {

// Texts given by the owner in the program's language, over the built-in ones.
std::map<int, QString>& CommandTexts() {
  static std::map<int, QString> texts;
  return texts;
}

CToolBarEx::EmoticonPicker& Picker() {
  static CToolBarEx::EmoticonPicker picker;
  return picker;
}

constexpr int kSeparatorWidth = 8;

// The bar's one item: it lays the buttons and controls out itself and draws the separators.
class ToolStrip : public QWidget {
 public:
  explicit ToolStrip(QWidget* parent) : QWidget(parent) {}
  // A separator within a row stands upright; one that wraps lies across the gap between rows.
  struct Line {
    QRect rect;
    bool across = false;
  };
  std::vector<Line> separators;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    for (const Line& l : separators) {
      const QRect& r = l.rect;
      const int c = l.across ? r.center().y() : r.center().x();
      p.setPen(palette().color(QPalette::Mid));
      if (l.across) p.drawLine(r.left() + 2, c, r.right() - 2, c);
      else p.drawLine(c, r.top() + 3, c, r.bottom() - 3);
      p.setPen(palette().color(QPalette::Light));
      if (l.across) p.drawLine(r.left() + 2, c + 1, r.right() - 2, c + 1);
      else p.drawLine(c + 1, r.top() + 3, c + 1, r.bottom() - 3);
    }
  }
};

}  // namespace

// ---------------------------------------------------------------------------

CToolBarExButton::CToolBarExButton(CToolBarEx* bar, int command) : QToolButton(bar->strip_), bar_(bar), command_(command) {
  setAutoRaise(true);
  setFocusPolicy(Qt::NoFocus);
  connect(this, &QToolButton::clicked, bar, [bar, command] { emit bar->commandTriggered(command); });
}

void CToolBarExButton::SetDropDown(bool on, bool whole) {
  dropDown_ = on;
  whole_ = whole;
  if (!on) {
    setMenu(nullptr);
    return;
  }
  // An empty menu only makes the style draw the arrow: the bar opens what the drop-down shows.
  if (!menu()) setMenu(new QMenu(this));
  setPopupMode(whole ? QToolButton::InstantPopup : QToolButton::MenuButtonPopup);
}

void CToolBarExButton::mousePressEvent(QMouseEvent* e) {
  if (dropDown_ && e->button() == Qt::LeftButton) {
    QStyleOptionToolButton opt;
    initStyleOption(&opt);
    const QRect arrow = style()->subControlRect(QStyle::CC_ToolButton, &opt, QStyle::SC_ToolButtonMenu, this);
    if (whole_ || arrow.contains(e->position().toPoint())) {
      bar_->ShowDropDown(command_, QRect(mapToGlobal(QPoint(0, 0)), size()));
      e->accept();
      return;
    }
  }
  QToolButton::mousePressEvent(e);
}

// ---------------------------------------------------------------------------

CToolBarEx::CToolBarEx(QWidget* parent) : QToolBar(parent) {
  setMovable(false);
  setFloatable(true);
  strip_ = new ToolStrip(this);
  addWidget(strip_);
  colours_ = ctl::CurrentButtonColours(palette());
  GetComCtlVersion();
  connect(this, &QToolBar::orientationChanged, this, [this] { relayout(); });
  connect(this, &QToolBar::topLevelChanged, this, [this] { relayout(); });
}

CToolBarEx::~CToolBarEx() = default;

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
  SetTextOptions(textOption_ < 0 ? DefaultTextOption : textOption_, true);
}

int CToolBarEx::GetComCtlVersion() {
  // No common-control library answers DllGetVersion here: it counts as version 4.0.
  static const int version = 4 << 16;
  return version;
}

void CToolBarEx::SetButtons(const std::vector<ctl::TBBUTTON>& buttons) {
  buttons_ = buttons;
  rebuild();
}

void CToolBarEx::SetButtonSet(const ctl::CToolButtonArray* extra) {
  buttonSet_.RemoveAll();
  for (const ctl::TBBUTTON& b : buttons_) {
    ctl::ToolButtonRecord r;
    r.button = b;
    r.text = CommandText(b.idCommand).toStdString();
    r.inUse = true;
    buttonSet_.Add(r);
  }
  buttonSetCount_ = static_cast<int>(buttonSet_.size());
  if (extra && !extra->empty()) buttonSet_.Append(*extra);
  buttonSet_.FreeExtra();
  adjustable_ = true;
  SetTextOptions(DefaultTextOption, true);
  SetIconOptions(DefaultIconOption, true);
}

bool CToolBarEx::HasButtonText(int) const { return true; }

int CToolBarEx::stringIndex(const QString& text) {
  if (const auto it = stringIndexMap_.find(text); it != stringIndexMap_.end()) return it->second;
  strings_.push_back(text);
  const int index = static_cast<int>(strings_.size()) - 1;
  stringIndexMap_[text] = index;
  return index;
}

void CToolBarEx::SetTextOptions(int option, bool update) {
  textOption_ = option;
  for (ctl::ToolButtonRecord& r : buttonSet_) {
    if (r.button.fsStyle & ctl::TBSTYLE_SEP) continue;
    auto on = std::find_if(buttons_.begin(), buttons_.end(),
                           [&](const ctl::TBBUTTON& b) { return b.idCommand == r.button.idCommand; });
    if (on == buttons_.end() || (on->fsStyle & ctl::TBSTYLE_SEP)) continue;  // a control's slot keeps its form
    const int index = (option == 0 || option == 1) ? stringIndex(QString::fromStdString(r.text)) : -1;
    ctl::TBBUTTON b = r.button;
    const auto plain = static_cast<uint8_t>((b.fsStyle & ~ctl::BTNS_SHOWTEXT) | ctl::TBSTYLE_AUTOSIZE);
    switch (option) {
      case 0:
        b.iString = index;
        b.fsStyle = plain;
        break;
      case 1:
        if (HasButtonText(b.idCommand) && index >= 0) {
          b.iString = index;
          b.fsStyle |= ctl::BTNS_SHOWTEXT | ctl::TBSTYLE_AUTOSIZE;
        } else {
          b.fsStyle = plain;
        }
        break;
      default:
        b.iString = -1;
        b.fsStyle = plain;
        break;
    }
    r.button = b;
    *on = b;
  }
  if (update) rebuild();
}

void CToolBarEx::SetIconOptions(int option, bool update) {
  iconOption_ = option;
  if (option == 0 || option == 1) {
    imageSize_ = option == 0 ? QSize(16, 16) : QSize(32, 32);
    if (!bitmapPath_.isEmpty()) reloadBitmap();
    else images_ = option == 0 ? small_ : large_;
    setIconSize(imageSize_);
  }
  if (update) rebuild();
}

void CToolBarEx::SetImageStrips(const QString& small, const QString& large, unsigned key) {
  small_ = ctl::CutStrip(ctl::LoadBitmapFile(small), 16, 16, key);
  large_ = ctl::CutStrip(ctl::LoadBitmapFile(large), 32, 32, key);
  if (bitmapPath_.isEmpty()) images_ = iconOption_ == 1 ? large_ : small_;
  rebuild();
}

bool CToolBarEx::SetBitmapResource(const QString& name) {
  bool number = false;
  const int id = name.toInt(&number);
  const QString path = number ? ctl::ResourcePath(id)
                              : QFileInfo(ctl::ResourcePath(0)).path() + QLatin1Char('/') + name + QStringLiteral(".bmp");
  if (ctl::LoadBitmapFile(path).isNull()) return false;
  bitmapPath_ = path;
  return true;
}

void CToolBarEx::reloadBitmap() {
  if (bitmapPath_.isEmpty()) return;
  const QImage bitmap = ctl::LoadBitmapFile(bitmapPath_);
  if (bitmap.isNull()) return;  // the pictures stay as they were
  int count = 0;
  for (int i = 0; i < buttonSetCount_ && i < static_cast<int>(buttonSet_.size()); ++i)
    if (buttonSet_[i].button.idCommand != 0) ++count;
  const QImage strip = ctl::RecolourBitmap(bitmap, count * imageSize_.width(), imageSize_.height(), colours_);
  if (strip.isNull()) return;
  images_.clear();
  for (int i = 0; i < count; ++i)
    images_.append(QPixmap::fromImage(strip.copy(i * imageSize_.width(), 0, imageSize_.width(), imageSize_.height())));
}

CToolBarExButton* CToolBarEx::Button(int command) const {
  for (auto* b : strip_->findChildren<CToolBarExButton*>(Qt::FindDirectChildrenOnly))
    if (b->command() == command) return b;
  return nullptr;
}

QWidget* CToolBarEx::InsertControl(ControlKind kind, const QString& title, const QRect& rect, int command, unsigned style) {
  QWidget* control = nullptr;
  switch (kind) {
    case ControlKind::ComboBox: {
      auto* combo = new QComboBox(strip_);
      const unsigned type = style & ctl::CBS_DROPDOWNLIST;
      combo->setEditable(type == ctl::CBS_DROPDOWN || type == ctl::CBS_SIMPLE);  // a drop-down list types nothing
      control = combo;
      break;
    }
    case ControlKind::Edit: {
      auto* edit = new QLineEdit(strip_);
      if (style & ctl::ES_PASSWORD) edit->setEchoMode(QLineEdit::Password);
      edit->setReadOnly((style & ctl::ES_READONLY) != 0);
      if (style & ctl::ES_NUMBER) edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
      control = edit;
      break;
    }
    case ControlKind::Button: {
      auto* button = new QPushButton(title, strip_);
      const unsigned type = style & ctl::BS_TYPEMASK;
      button->setCheckable(type == ctl::BS_CHECKBOX || type == ctl::BS_AUTOCHECKBOX);
      control = button;
      break;
    }
    case ControlKind::Window: control = new QWidget(strip_); break;
  }
  control->setEnabled((style & ctl::WS_DISABLED) == 0);
  control->setObjectName(QString::number(command));
  control->resize(rect.size());
  controlList_.emplace_back(control);
  controls_[command] = control;
  PositionControl(control, rect, command);
  return control;
}

QWidget* CToolBarEx::InsertControl(QWidget* control, int command) {
  control->setParent(strip_);
  if (control->size().isEmpty() || !control->testAttribute(Qt::WA_Resized)) control->resize(control->sizeHint());
  controls_[command] = control;
  PositionControl(control, QRect(QPoint(), control->size()), command);
  return control;
}

void CToolBarEx::PositionControl(QWidget* control, const QRect& rect, int command) {
  if (!control) return;
  auto it = std::find_if(buttons_.begin(), buttons_.end(), [&](const ctl::TBBUTTON& b) { return b.idCommand == command; });
  if (it == buttons_.end()) {
    control->hide();
    return;
  }
  control->resize(rect.width() > 0 ? rect.width() : control->width(), rect.height() > 0 ? rect.height() : control->height());
  it->fsStyle = ctl::TBSTYLE_SEP;
  it->iBitmap = control->width();
  control->setFont(font());
  if (IsVertDocked() && HideControlsWhenVertical) it->fsState |= ctl::TBSTATE_HIDDEN;
  else it->fsState &= static_cast<uint8_t>(~ctl::TBSTATE_HIDDEN);
  rebuild();
}

bool CToolBarEx::SetDropDownButton(int command, int menuId, bool arrow) {
  dropDowns_[command] = DropDown{menuId, arrow};
  for (ctl::TBBUTTON& b : buttons_)
    if (b.idCommand == command) {
      b.fsStyle |= ctl::TBSTYLE_DROPDOWN;
      if (!arrow) b.fsStyle |= ctl::BTNS_WHOLEDROPDOWN;
    }
  rebuild();
  return true;
}

void CToolBarEx::SetEmoticonPicker(EmoticonPicker picker) { Picker() = std::move(picker); }

QPoint CToolBarEx::DropDownPlace(const QRect& button, const QSize& menu, const QRect& screen) {
  QPoint at(button.left(), button.bottom() + 1);
  if (at.y() + menu.height() > screen.bottom() + 1 && button.top() - menu.height() >= screen.top())
    at.setY(button.top() - menu.height());
  if (at.x() + menu.width() > screen.right() + 1) at.setX(screen.right() + 1 - menu.width());
  if (at.x() < screen.left()) at.setX(screen.left());
  return at;
}

bool CToolBarEx::ShowDropDown(int command, const QRect& screenRect) {
  const auto it = dropDowns_.find(command);
  if (it != dropDowns_.end() && it->second.menuId != 0) {
    QMenu menu;
    QMenu* popup = nullptr;
    if (ctl::LoadPlainMenu(it->second.menuId, &menu) && !menu.actions().isEmpty()) popup = menu.actions().front()->menu();
    if (!popup) {
      DebugTrace(MOD_SYSTEM, 2, "tool bar: drop-down menu %d of command %d has no sub-menu", it->second.menuId, command);
      return true;
    }
    popup->ensurePolished();
    const QScreen* screen = QGuiApplication::screenAt(screenRect.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    const QSize size = popup->sizeHint();
    const QPoint at = screen ? DropDownPlace(screenRect, size, screen->availableGeometry()) : screenRect.bottomLeft() + QPoint(0, 1);
    const QAction* chosen = popup->exec(at);
    const int id = chosen && chosen->data().isValid() ? chosen->data().toInt() : 0;
    if (id != 0)
      if (HWND owner = g_hMainWnd.load()) PostMessage(owner, WM_COMMAND, static_cast<WPARAM>(id), 0);
    return true;
  }
  if (command == 32823) {
    if (Picker()) Picker()(screenRect.bottomLeft() + QPoint(0, 1), this, 0);
    return true;
  }
  return false;
}

void CToolBarEx::UpdateButtonUsage() {
  for (ctl::ToolButtonRecord& r : buttonSet_) {
    const bool onBar = std::any_of(buttons_.begin(), buttons_.end(),
                                   [&](const ctl::TBBUTTON& b) { return b.idCommand == r.button.idCommand; });
    r.inUse = (r.button.fsStyle & ctl::TBSTYLE_SEP) ? (r.button.idCommand < 1 || onBar) : onBar;
  }
}

bool CToolBarEx::QueryDelete(int index) const {
  if (index < 0 || index >= static_cast<int>(buttons_.size())) return false;
  const ctl::TBBUTTON& b = buttons_[static_cast<size_t>(index)];
  return !(b.fsState & ctl::TBSTATE_HIDDEN);  // a slot hidden with its control stays
}

bool CToolBarEx::GetButtonInfo(int item, ctl::TBBUTTON* button, QString* text, int cchText) const {
  if (item < 0 || item >= static_cast<int>(buttonSet_.size())) return false;
  const ctl::ToolButtonRecord& r = buttonSet_[static_cast<size_t>(item)];
  *button = r.button;
  *text = QString::fromStdString(r.text).left(std::max(0, cchText));
  return true;
}

void CToolBarEx::ToolbarChange() {
  SetTextOptions(textOption_, false);
  rebuild();
}

void CToolBarEx::Reset() {
  buttons_.clear();
  for (const ctl::ToolButtonRecord& r : buttonSet_)
    if (r.inUse) buttons_.push_back(r.button);
  SetTextOptions(DefaultTextOption, true);
}

void CToolBarEx::MoveButton(int from, int to) {
  const int n = static_cast<int>(buttons_.size());
  if (from < 0 || from >= n || to < 0 || to >= n || from == to) return;
  const ctl::TBBUTTON b = buttons_[static_cast<size_t>(from)];
  buttons_.erase(buttons_.begin() + from);
  buttons_.insert(buttons_.begin() + to, b);
  ToolbarChange();
}

void CToolBarEx::DeleteButton(int index) {
  if (!QueryDelete(index)) return;
  buttons_.erase(buttons_.begin() + index);
  ToolbarChange();
}

void CToolBarEx::InsertButton(int index, const ctl::TBBUTTON& button) {
  if (!QueryInsert(index)) return;
  index = std::clamp(index, 0, static_cast<int>(buttons_.size()));
  buttons_.insert(buttons_.begin() + index, button);
  ToolbarChange();
}

std::vector<uint8_t> CToolBarEx::SaveState() const { return ctl::SaveToolbarBlock(iconOption_, textOption_, buttons_); }

bool CToolBarEx::RestoreState(const std::vector<uint8_t>& block) {
  int icon = 0, text = 0;
  std::vector<ctl::TBBUTTON> restored;
  if (!ctl::RestoreToolbarBlock(block, &icon, &text, &restored)) return false;
  // The two words are only remembered; the records come back exactly as saved.
  buttons_ = std::move(restored);
  iconOption_ = icon;
  textOption_ = text;
  rebuild();
  return true;
}

void CToolBarEx::SetBarStyle(unsigned style) {
  barStyle_ = style;
  rebuild();
}

void CToolBarEx::SetFlat(bool on) {
  flat_ = on;
  rebuild();
}

void CToolBarEx::EnableDocking(unsigned align) {
  dockContext_ = align != 0;
  setMovable(dockContext_);
  Qt::ToolBarAreas areas;
  auto* frame = qobject_cast<QMainWindow*>(parentWidget());
  auto side = [&](unsigned bit, int id, Qt::ToolBarArea area) {
    if (!(align & bit)) return;
    if (frame && !qobject_cast<CDockBarEx*>(FrameDockBar(frame, id))) return;  // the frame takes none there
    areas |= area;
  };
  side(ctl::CBRS_ALIGN_TOP, ctl::AFX_IDW_DOCKBAR_TOP, Qt::TopToolBarArea);
  side(ctl::CBRS_ALIGN_BOTTOM, ctl::AFX_IDW_DOCKBAR_BOTTOM, Qt::BottomToolBarArea);
  side(ctl::CBRS_ALIGN_LEFT, ctl::AFX_IDW_DOCKBAR_LEFT, Qt::LeftToolBarArea);
  side(ctl::CBRS_ALIGN_RIGHT, ctl::AFX_IDW_DOCKBAR_RIGHT, Qt::RightToolBarArea);
  setAllowedAreas(areas);
  rebuild();
}

bool CToolBarEx::IsVertDocked() const {
  if (isFloating()) return false;
  if (auto* frame = qobject_cast<QMainWindow*>(parentWidget())) {
    const Qt::ToolBarArea a = frame->toolBarArea(const_cast<CToolBarEx*>(this));
    if (a == Qt::LeftToolBarArea || a == Qt::RightToolBarArea) return true;
    if (a == Qt::TopToolBarArea || a == Qt::BottomToolBarArea) return false;
  }
  return orientation() == Qt::Vertical;
}

ctl::ToolbarLayout CToolBarEx::layoutModel() const {
  ctl::ToolbarLayout m;
  m.hideControlsWhenVertical = HideControlsWhenVertical;
  m.style = barStyle_;
  m.floating = isFloating();
  m.vertDocked = IsVertDocked();
  m.mruWidth = mruWidth_;
  m.comCtlVersion = GetComCtlVersion();
  int height = imageSize_.height() + 6;
  for (auto* b : strip_->findChildren<CToolBarExButton*>(Qt::FindDirectChildrenOnly))
    height = std::max(height, b->sizeHint().height());
  m.buttonHeight = height;
  for (const ctl::TBBUTTON& t : buttons_) {
    ctl::LayoutButton b;
    b.command = t.idCommand;
    b.separator = (t.fsStyle & ctl::TBSTYLE_SEP) != 0;
    b.hidden = (t.fsState & ctl::TBSTATE_HIDDEN) != 0;
    b.wrap = (t.fsState & ctl::TBSTATE_WRAP) != 0;
    b.height = height;
    if (b.separator) {
      const QWidget* control = b.command ? controls_.value(b.command).data() : nullptr;
      b.hasControl = control != nullptr;
      b.width = control ? control->width() : (t.iBitmap > 0 ? t.iBitmap : kSeparatorWidth);
      if (control) {
        b.controlWidth = control->width();
        b.controlHeight = control->height();
      }
    } else if (CToolBarExButton* w = Button(t.idCommand)) {
      b.width = w->sizeHint().width();
    }
    m.buttons.push_back(b);
  }
  return m;
}

ctl::LayoutSize CToolBarEx::CalcFixedLayout(bool stretch, bool horz) {
  ctl::ToolbarLayout m = layoutModel();
  return ctl::CalcFixedLayout(m, stretch, horz);
}

ctl::LayoutSize CToolBarEx::CalcDynamicLayout(int length, unsigned mode) {
  ctl::ToolbarLayout m = layoutModel();
  const ctl::LayoutSize size = ctl::CalcDynamicLayout(m, length, mode);
  if (!(mode & ctl::LM_COMMIT)) return size;
  mruWidth_ = m.mruWidth;
  auto* strip = static_cast<ToolStrip*>(strip_);
  strip->separators.clear();
  const bool hideControls = m.vertDocked && HideControlsWhenVertical;
  for (size_t i = 0; i < buttons_.size() && i < m.buttons.size(); ++i) {
    ctl::TBBUTTON& t = buttons_[i];
    const ctl::LayoutButton& b = m.buttons[i];
    t.fsState = static_cast<uint8_t>((t.fsState & ~(ctl::TBSTATE_WRAP | ctl::TBSTATE_HIDDEN)) |
                                     (b.wrap ? ctl::TBSTATE_WRAP : 0) | (b.hidden ? ctl::TBSTATE_HIDDEN : 0));
    if (b.separator && !b.hasControl) {
      if (b.hidden) continue;
      if (b.wrap) strip->separators.push_back({QRect(0, b.y + m.buttonHeight, size.width, b.width), true});
      else strip->separators.push_back({QRect(b.x, b.y, b.width, m.buttonHeight), false});
      continue;
    }
    if (b.separator) t.iBitmap = b.controlWidth;
    QWidget* w = b.separator ? controls_.value(b.command).data() : static_cast<QWidget*>(Button(t.idCommand));
    if (!w) continue;
    if (b.hidden && !b.carriesControl()) {
      w->hide();
      continue;
    }
    if (b.separator) {
      w->move(b.x, b.y + (m.buttonHeight - w->height()) / 2);
      w->setVisible(!hideControls);
    } else {
      w->setGeometry(b.x, b.y, b.width, m.buttonHeight);
      w->show();
    }
  }
  // A control whose command no button carries is hidden.
  for (auto it = controls_.begin(); it != controls_.end(); ++it) {
    const int command = it.key();
    if (it.value() && std::none_of(buttons_.begin(), buttons_.end(), [&](const ctl::TBBUTTON& t) { return t.idCommand == command; }))
      it.value()->hide();
  }
  strip_->setFixedSize(std::max(1, size.width), std::max(1, size.height));
  strip_->update();
  return size;
}

void CToolBarEx::relayout() {
  unsigned mode = ctl::LM_COMMIT;
  if (isFloating()) mode |= ctl::LM_MRUWIDTH;
  else if (IsVertDocked()) mode |= ctl::LM_VERTDOCK;
  else mode |= ctl::LM_HORZDOCK | ctl::LM_HORZ;
  CalcDynamicLayout(-1, mode);
  // Each bordered side moves the buttons in by a pixel; a bar without docking has an etched top line.
  if (flat_) {
    setContentsMargins((barStyle_ & ctl::CBRS_BORDER_LEFT) ? 1 : 0,
                       ((barStyle_ & ctl::CBRS_BORDER_TOP) ? 1 : 0) + (dockContext_ ? 0 : 2),
                       (barStyle_ & ctl::CBRS_BORDER_RIGHT) ? 1 : 0, (barStyle_ & ctl::CBRS_BORDER_BOTTOM) ? 1 : 0);
  } else {
    setContentsMargins(0, 0, 0, 0);
  }
  updateGeometry();
  update();
}

void CToolBarEx::rebuild() {
  for (auto* b : strip_->findChildren<CToolBarExButton*>(Qt::FindDirectChildrenOnly)) delete b;
  for (const ctl::TBBUTTON& t : buttons_) {
    if (t.fsStyle & ctl::TBSTYLE_SEP) continue;
    auto* tb = new CToolBarExButton(this, t.idCommand);
    const QString text = t.iString >= 0 && t.iString < static_cast<int>(strings_.size()) ? strings_[t.iString] : QString();
    tb->setText(text);
    tb->setToolTip(CommandText(t.idCommand));
    const bool hasImage = t.iBitmap >= 0 && t.iBitmap < images_.size();
    if (hasImage) tb->setIcon(QIcon(images_[t.iBitmap]));
    tb->setIconSize(imageSize_);
    Qt::ToolButtonStyle style = Qt::ToolButtonIconOnly;
    if (textOption_ == 0 && !text.isEmpty()) style = Qt::ToolButtonTextUnderIcon;
    else if (textOption_ == 1 && (t.fsStyle & ctl::BTNS_SHOWTEXT) && !text.isEmpty()) style = Qt::ToolButtonTextBesideIcon;
    if (!hasImage) {
      style = Qt::ToolButtonTextOnly;
      if (text.isEmpty()) tb->setText(CommandText(t.idCommand).isEmpty() ? QString::number(t.idCommand) : CommandText(t.idCommand));
    }
    tb->setToolButtonStyle(style);
    tb->setCheckable((t.fsState & ctl::TBSTATE_CHECKED) != 0);
    tb->setChecked((t.fsState & ctl::TBSTATE_CHECKED) != 0);
    tb->setEnabled(t.fsState & ctl::TBSTATE_ENABLED);
    if (t.fsStyle & ctl::TBSTYLE_DROPDOWN) tb->SetDropDown(true, (t.fsStyle & ctl::BTNS_WHOLEDROPDOWN) != 0);
    tb->resize(tb->sizeHint());
  }
  relayout();
}

void CToolBarEx::paintEvent(QPaintEvent* e) {
  if (!flat_) {
    QToolBar::paintEvent(e);
    return;
  }
  QPainter p(this);
  QRect r = rect();
  const QColor shadow = ctl::ToQColor(colours_.shadow), highlight = ctl::ToQColor(colours_.highlight);
  const QColor colour = (barStyle_ & ctl::CBRS_BORDER_3D) ? highlight : shadow;
  p.fillRect(r, palette().color(QPalette::Button));
  p.setPen(colour);
  if (barStyle_ & ctl::CBRS_BORDER_LEFT) p.drawLine(r.left(), r.top(), r.left(), r.bottom());
  if (barStyle_ & ctl::CBRS_BORDER_TOP) p.drawLine(r.left(), r.top(), r.right(), r.top());
  p.setPen(shadow);
  if (barStyle_ & ctl::CBRS_BORDER_RIGHT) p.drawLine(r.right(), r.top(), r.right(), r.bottom());
  if (barStyle_ & ctl::CBRS_BORDER_BOTTOM) p.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
  if (barStyle_ & ctl::CBRS_BORDER_LEFT) r.setLeft(r.left() + 1);
  if (barStyle_ & ctl::CBRS_BORDER_TOP) r.setTop(r.top() + 1);
  if (barStyle_ & ctl::CBRS_BORDER_RIGHT) r.setRight(r.right() - 1);
  if (barStyle_ & ctl::CBRS_BORDER_BOTTOM) r.setBottom(r.bottom() - 1);
  if (!dockContext_) {  // an etched line across the top
    p.setPen(shadow);
    p.drawLine(r.left(), r.top(), r.right(), r.top());
    p.setPen(highlight);
    p.drawLine(r.left(), r.top() + 1, r.right(), r.top() + 1);
  }
  if (isMovable()) {  // the gripper
    QStyleOptionToolBar opt;
    initStyleOption(&opt);
    opt.rect = style()->subElementRect(QStyle::SE_ToolBarHandle, &opt, this);
    if (opt.rect.isValid()) style()->drawPrimitive(QStyle::PE_IndicatorToolBarHandle, &opt, &p, this);
  }
}

void CToolBarEx::changeEvent(QEvent* e) {
  QToolBar::changeEvent(e);
  if (e->type() == QEvent::PaletteChange) {
    colours_ = ctl::CurrentButtonColours(palette());
    if (iconOption_ >= 0) SetIconOptions(iconOption_, true);  // the recoloured pictures
  }
}

void CToolBarEx::contextMenuEvent(QContextMenuEvent* e) { e->accept(); }

void CToolBarEx::mouseDoubleClickEvent(QMouseEvent* e) {
  if (adjustable_ && e->button() == Qt::LeftButton) {
    Customize();
    return;
  }
  QToolBar::mouseDoubleClickEvent(e);
}

void CToolBarEx::Customize() {
  CCustomizeDialog dlg(this, textOption_, iconOption_);
  dlg.exec();
  if (dlg.IconOptionChoice() != iconOption_) SetIconOptions(dlg.IconOptionChoice(), true);
}

// ---------------------------------------------------------------------------

CCustomizeDialog::CCustomizeDialog(CToolBarEx* bar, int textOption, int iconOption)
    : QDialog(bar), bar_(bar), textOption_(textOption), iconOption_(iconOption) {
  setWindowTitle(bar->windowTitle().isEmpty() ? Text(QStringLiteral("title"))
                                              : Text(QStringLiteral("title")) + QStringLiteral(" - ") + bar->windowTitle());
  auto* grid = new QGridLayout(this);
  available_ = new QListWidget(this);
  current_ = new QListWidget(this);
  add_ = new QPushButton(Text(QStringLiteral("add")), this);
  remove_ = new QPushButton(Text(QStringLiteral("remove")), this);
  auto* reset = new QPushButton(Text(QStringLiteral("reset")), this);
  up_ = new QPushButton(Text(QStringLiteral("up")), this);
  down_ = new QPushButton(Text(QStringLiteral("down")), this);
  auto* close = new QPushButton(Text(QStringLiteral("close")), this);
  auto* availableLabel = new QLabel(Text(QStringLiteral("available")), this);
  availableLabel->setBuddy(available_);
  auto* currentLabel = new QLabel(Text(QStringLiteral("current")), this);
  currentLabel->setBuddy(current_);
  grid->addWidget(availableLabel, 0, 0);
  grid->addWidget(currentLabel, 0, 2);
  grid->addWidget(available_, 1, 0, 4, 1);
  auto* middle = new QVBoxLayout;
  middle->addWidget(add_);
  middle->addWidget(remove_);
  middle->addStretch();
  grid->addLayout(middle, 1, 1, 4, 1);
  grid->addWidget(current_, 1, 2, 4, 1);
  auto* right = new QVBoxLayout;
  right->addWidget(close);
  right->addWidget(reset);
  right->addSpacing(12);
  right->addWidget(up_);
  right->addWidget(down_);
  right->addStretch();
  grid->addLayout(right, 1, 3, 4, 1);
  textList_ = new QComboBox(this);
  textList_->setObjectName(QStringLiteral("1000"));
  textList_->addItems({Text(QStringLiteral("text0")), Text(QStringLiteral("text1")), Text(QStringLiteral("text2"))});
  iconList_ = new QComboBox(this);
  iconList_->setObjectName(QStringLiteral("1001"));
  iconList_->addItems({Text(QStringLiteral("icon0")), Text(QStringLiteral("icon1"))});
  auto* textLabel = new QLabel(Text(QStringLiteral("textoptions")), this);
  textLabel->setBuddy(textList_);
  auto* iconLabel = new QLabel(Text(QStringLiteral("iconoptions")), this);
  iconLabel->setBuddy(iconList_);
  grid->addWidget(textLabel, 5, 0);
  grid->addWidget(textList_, 5, 1, 1, 2);
  grid->addWidget(iconLabel, 6, 0);
  grid->addWidget(iconList_, 6, 1, 1, 2);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  SetTextOption(textOption);
  SetIconOption(iconOption);
  connect(textList_, qOverload<int>(&QComboBox::activated), this, [this](int i) {
    textOption_ = i;
    bar_->SetTextOptions(i, true);  // a text option shows at once
  });
  // The icon size is applied when the dialog closes.
  connect(iconList_, qOverload<int>(&QComboBox::activated), this, [this](int i) { iconOption_ = i; });
  connect(add_, &QPushButton::clicked, this, [this] {
    auto* item = available_->currentItem();
    if (!item) return;
    const int at = current_->currentRow() < 0 ? static_cast<int>(bar_->Buttons().size()) : current_->currentRow();
    const int index = item->data(Qt::UserRole).toInt();
    ctl::TBBUTTON b;
    if (index < 0) {  // a new separator
      b.fsStyle = ctl::TBSTYLE_SEP;
    } else {
      QString text;
      bar_->GetButtonInfo(index, &b, &text, 128);
    }
    bar_->InsertButton(at, b);
    fill();
    current_->setCurrentRow(at + 1 < current_->count() ? at + 1 : at);
  });
  connect(remove_, &QPushButton::clicked, this, [this] {
    const int row = current_->currentRow();
    if (row < 0 || !bar_->QueryDelete(row)) return;
    bar_->DeleteButton(row);
    fill();
    current_->setCurrentRow(std::min(row, current_->count() - 1));
  });
  auto move = [this](int by) {
    const int row = current_->currentRow();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= current_->count()) return;
    bar_->MoveButton(row, to);
    fill();
    current_->setCurrentRow(to);
  };
  connect(up_, &QPushButton::clicked, this, [move] { move(-1); });
  connect(down_, &QPushButton::clicked, this, [move] { move(1); });
  connect(current_, &QListWidget::currentRowChanged, this, [this](int row) {
    up_->setEnabled(row > 0);
    down_->setEnabled(row >= 0 && row + 1 < current_->count());
    remove_->setEnabled(row >= 0 && bar_->QueryDelete(row));
  });
  connect(reset, &QPushButton::clicked, this, [this] {
    bar_->Reset();
    SetTextOption(bar_->DefaultTextOption);
    SetIconOption(bar_->DefaultIconOption);
    fill();
  });
  fill();
}

namespace {
std::map<QString, QString>& DialogTexts() {
  static std::map<QString, QString> texts;
  return texts;
}
}  // namespace

void CCustomizeDialog::SetText(const QString& key, const QString& text) {
  if (text.isEmpty()) DialogTexts().erase(key);
  else DialogTexts()[key] = text;
}

QString CCustomizeDialog::Text(const QString& key) {
  if (const auto it = DialogTexts().find(key); it != DialogTexts().end()) return it->second;
  static const std::map<QString, QString> english = {
      {QStringLiteral("title"), QStringLiteral("Customize Toolbar")},
      {QStringLiteral("available"), QStringLiteral("A&vailable toolbar buttons:")},
      {QStringLiteral("current"), QStringLiteral("C&urrent toolbar buttons:")},
      {QStringLiteral("add"), QStringLiteral("&Add ->")},
      {QStringLiteral("remove"), QStringLiteral("<- &Remove")},
      {QStringLiteral("reset"), QStringLiteral("R&eset")},
      {QStringLiteral("up"), QStringLiteral("Move &Up")},
      {QStringLiteral("down"), QStringLiteral("Move &Down")},
      {QStringLiteral("close"), QStringLiteral("&Close")},
      {QStringLiteral("separator"), QStringLiteral("Separator")},
      {QStringLiteral("textoptions"), QStringLiteral("Te&xt options:")},
      {QStringLiteral("text0"), QStringLiteral("Show Text Labels")},
      {QStringLiteral("text1"), QStringLiteral("Selective Text on Right")},
      {QStringLiteral("text2"), QStringLiteral("No Text Labels")},
      {QStringLiteral("iconoptions"), QStringLiteral("Ico&n options:")},
      {QStringLiteral("icon0"), QStringLiteral("Small Icons")},
      {QStringLiteral("icon1"), QStringLiteral("Large Icons")}};
  const auto it = english.find(key);
  return it == english.end() ? key : it->second;
}

void CCustomizeDialog::fill() {
  available_->clear();
  current_->clear();
  auto label = [](const ctl::TBBUTTON& b, const QString& text) {
    if (b.fsStyle & ctl::TBSTYLE_SEP) return Text(QStringLiteral("separator"));
    return text.isEmpty() ? QString::number(b.idCommand) : text;
  };
  for (const auto& b : bar_->Buttons()) current_->addItem(label(b, CToolBarEx::CommandText(b.idCommand)));
  auto* separator = new QListWidgetItem(Text(QStringLiteral("separator")), available_);
  separator->setData(Qt::UserRole, -1);
  ctl::TBBUTTON b;
  QString text;
  for (int i = 0; bar_->GetButtonInfo(i, &b, &text, 128); ++i) {
    if (b.fsStyle & ctl::TBSTYLE_SEP) continue;
    const bool on = std::any_of(bar_->Buttons().begin(), bar_->Buttons().end(),
                                [&](const ctl::TBBUTTON& t) { return t.idCommand == b.idCommand; });
    if (on) continue;
    auto* item = new QListWidgetItem(label(b, text), available_);
    item->setData(Qt::UserRole, i);
  }
  up_->setEnabled(false);
  down_->setEnabled(false);
}

void CCustomizeDialog::SetTextOption(int option) {
  textOption_ = option;
  if (option >= 0 && option < textList_->count()) textList_->setCurrentIndex(option);
}

void CCustomizeDialog::SetIconOption(int option) {
  iconOption_ = option;
  if (option >= 0 && option < iconList_->count()) iconList_->setCurrentIndex(option);
}

// ---------------------------------------------------------------------------

CDockBarEx::CDockBarEx(QMainWindow* frame, int id, unsigned style)
    : QObject(frame), frame_(frame), id_(id), style_(style) {
  setObjectName(QStringLiteral("dockbar_%1").arg(id));
  frame->installEventFilter(this);
  for (QToolBar* bar : frame->findChildren<QToolBar*>(QString(), Qt::FindDirectChildrenOnly)) bar->installEventFilter(this);
}

bool CDockBarEx::eventFilter(QObject* watched, QEvent* event) {
  if (watched == frame_ && event->type() == QEvent::ChildAdded) {
    if (auto* bar = qobject_cast<QToolBar*>(static_cast<QChildEvent*>(event)->child())) bar->installEventFilter(this);
  }
  // The frame's layout places the bars (a move or a resize of one, a new layout of the frame); the
  // rows are set once it is done.
  switch (event->type()) {
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::LayoutRequest:
      if (!placing_) schedulePlace();
      break;
    default: break;
  }
  return QObject::eventFilter(watched, event);
}

void CDockBarEx::schedulePlace() {
  if (scheduled_) return;
  scheduled_ = true;
  QMetaObject::invokeMethod(this, [this] {
    scheduled_ = false;
    placeRows();
  }, Qt::QueuedConnection);
}

void CDockBarEx::placeRows() {
  const Qt::ToolBarArea area = Area();
  const bool horizontal = area == Qt::TopToolBarArea || area == Qt::BottomToolBarArea;
  // The bars of each row (same top, or same left for a side), in their order along it.
  std::map<int, std::vector<QToolBar*>> rows;
  for (QToolBar* bar : frame_->findChildren<QToolBar*>(QString(), Qt::FindDirectChildrenOnly)) {
    if (bar->isHidden() || bar->isFloating() || frame_->toolBarArea(bar) != area) continue;
    rows[horizontal ? bar->y() : bar->x()].push_back(bar);
  }
  placing_ = true;
  for (auto& [line, bars] : rows) {
    std::sort(bars.begin(), bars.end(), [&](QToolBar* a, QToolBar* b) { return horizontal ? a->x() < b->x() : a->y() < b->y(); });
    std::vector<Slot> lengths;
    for (QToolBar* bar : bars) {
      auto* ex = qobject_cast<CToolBarEx*>(bar);
      lengths.push_back({horizontal ? bar->width() : bar->height(), ex && ex->IsFlat()});
    }
    const std::vector<int> at = PlaceBars(lengths);
    const int start = horizontal ? bars.front()->x() : bars.front()->y();
    for (size_t i = 1; i < bars.size(); ++i) {
      const QPoint to = horizontal ? QPoint(start + at[i], line) : QPoint(line, start + at[i]);
      if (bars[i]->pos() != to) bars[i]->move(to);
    }
  }
  placing_ = false;
}

Qt::ToolBarArea CDockBarEx::Area() const {
  switch (id_) {
    case ctl::AFX_IDW_DOCKBAR_TOP: return Qt::TopToolBarArea;
    case ctl::AFX_IDW_DOCKBAR_BOTTOM: return Qt::BottomToolBarArea;
    case ctl::AFX_IDW_DOCKBAR_LEFT: return Qt::LeftToolBarArea;
    default: return Qt::RightToolBarArea;
  }
}

std::vector<int> CDockBarEx::PlaceBars(const std::vector<Slot>& bars) {
  std::vector<int> at;
  int next = 0;
  for (size_t i = 0; i < bars.size(); ++i) {
    const int start = (i > 0 && !bars[i].flatEx) ? next - 2 : next;
    at.push_back(start);
    next = start + bars[i].length;
  }
  return at;
}

QObject* FrameDockBar(QMainWindow* frame, int id) {
  if (!frame) return nullptr;
  return frame->findChild<QObject*>(QStringLiteral("dockbar_%1").arg(id), Qt::FindDirectChildrenOnly);
}

void FrameEnableDocking(QMainWindow* frame, unsigned dockStyle) {
  if (!frame) return;
  struct Side {
    unsigned align;
    int id;
    unsigned border;
  };
  const Side sides[] = {{ctl::CBRS_ALIGN_TOP, ctl::AFX_IDW_DOCKBAR_TOP, ctl::CBRS_BORDER_BOTTOM},
                        {ctl::CBRS_ALIGN_BOTTOM, ctl::AFX_IDW_DOCKBAR_BOTTOM, ctl::CBRS_BORDER_TOP},
                        {ctl::CBRS_ALIGN_LEFT, ctl::AFX_IDW_DOCKBAR_LEFT, ctl::CBRS_BORDER_RIGHT},
                        {ctl::CBRS_ALIGN_RIGHT, ctl::AFX_IDW_DOCKBAR_RIGHT, ctl::CBRS_BORDER_LEFT}};
  for (const Side& s : sides) {
    if (!(dockStyle & s.align)) continue;
    QObject* existing = FrameDockBar(frame, s.id);
    if (qobject_cast<CDockBarEx*>(existing)) continue;
    delete existing;  // another kind of dock bar gives way
    new CDockBarEx(frame, s.id, s.align | s.border);
  }
}
