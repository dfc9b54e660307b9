// Gallery: renders each skinned control in each state, from the default skin, to PNG files in Chinese and English.
#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QPainter>
#include <QStyleFactory>
#include <QTabWidget>
#include <QTextCursor>
#include <QVBoxLayout>
#include <cstdio>
#include <functional>
#include <map>

#include "platform/ini.h"
#include "ui/controls/flat_combo.h"
#include "ui/controls/links.h"
#include "ui/controls/rich_edit.h"
#include "ui/controls/shaped_button.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_button.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/controls/statics.h"
#include "ui/controls/styled_button.h"
#include "ui/controls/toolbar_ex.h"
#include "ui/controls/trel_menu.h"

namespace {

bool g_chinese = false;
QString g_out;
QList<QImage> g_sheet;

// The gallery's texts in both languages.
QString T(const char* key) {
  static const std::map<std::string, std::pair<const char*, const char*>> texts = {
      {"rest", {"常态", "Rest"}}, {"hover", {"悬停", "Hover"}}, {"pressed", {"按下", "Pressed"}},
      {"focused", {"焦点", "Focused"}}, {"disabled", {"禁用", "Disabled"}}, {"checked", {"选中", "Checked"}},
      {"default", {"默认按钮", "Default"}}, {"call", {"呼叫", "Call"}}, {"hangup", {"挂断", "Hang up"}},
      {"send", {"发送", "Send"}}, {"contacts", {"联系人", "Contacts"}}, {"chat", {"消息", "Messages"}},
      {"history", {"通话记录", "Call log"}}, {"settings", {"设置", "Settings"}}, {"sms", {"短信", "SMS"}},
      {"conference", {"会议", "Conference"}}, {"ptt", {"按住说话", "Hold to talk"}},
      {"styled", {"样式按钮", "Styled push button"}}, {"skinbuttons", {"皮肤按钮", "Skinned buttons"}},
      {"keypad", {"拨号键盘", "Keypad"}}, {"shaped", {"异形按钮（按住说话）", "Shaped button (press to talk)"}},
      {"toolbar", {"皮肤工具栏", "Skinned toolbar"}}, {"plainbar", {"无背景工具栏", "Toolbar without background"}},
      {"combos", {"拨号框、平面组合框与数字框", "Dial combo, flat combo and digit edit"}},
      {"flat", {"平面", "Flat"}}, {"raised", {"凸起", "Raised"}}, {"dialcombo", {"拨号框", "Dial combo"}},
      {"digits", {"数字框", "Digit edit"}}, {"links", {"链接", "Links"}}, {"visited", {"已访问", "Visited"}},
      {"linktext", {"访问服务主页", "Visit the service page"}}, {"statics", {"静态图与提示窗", "Statics and tip window"}},
      {"tabs", {"标签页", "Tab control"}}, {"start", {"首页", "Start"}}, {"book", {"通讯录", "Contacts"}},
      {"dial", {"拨号", "Dial"}}, {"log", {"记录", "Log"}}, {"service", {"服务", "Service"}},
      {"talk", {"通话中", "In call"}}, {"menu", {"菜单", "Menus"}}, {"classic", {"经典样式", "Classic"}},
      {"xp", {"XP 样式", "XP style"}}, {"online", {"在线", "Online"}}, {"offline", {"离线", "Offline"}},
      {"busy", {"忙碌", "Busy"}}, {"away", {"离开", "Away"}}, {"status", {"状态", "Status"}},
      {"sendmsg", {"发送消息", "Send message"}}, {"addcontact", {"添加联系人…", "Add contact..."}},
      {"delete", {"删除", "Delete"}}, {"properties", {"属性", "Properties"}}, {"exit", {"退出", "Exit"}},
      {"richedit", {"聊天输入框", "Chat rich edit"}}, {"richtext", {"今晚一起吃饭吗？", "Dinner tonight?"}},
      {"richtext2", {"好的，七点见", "Sure, see you at seven"}}, {"me", {"我", "Me"}}, {"picture", {"头像", "Picture"}},
      {"name", {"张伟（工作）", "Zhang Wei (work)"}}, {"longname", {"王小明的非常长的显示名称", "A display name far too long"}},
      {"tip", {"新消息提示动画", "New-message tip frames"}}, {"painted", {"状态图标", "Status icons"}},
      {"customize", {"可定制工具栏", "Customisable toolbar"}}, {"textlabels", {"显示文字", "Text labels"}},
      {"selective", {"右侧文字", "Selective text"}}, {"notext", {"无文字", "No text"}},
      {"splitter", {"分隔条", "Splitter"}}, {"docked", {"停靠的可定制工具栏", "Docked customisable toolbar"}},
      {"docktop", {"停靠在上方", "Docked at the top"}}, {"dockleft", {"停靠在左侧（隐藏控件）", "Docked on the left (controls hidden)"}},
      {"all", {"全部", "All"}}, {"customdlg", {"自定义工具栏对话框", "Customise dialog"}}, {"me", {"我", "Me"}}, {"pane", {"窗格", "Pane"}}, {"search", {"查找联系人", "Find contact"}},
  };
  const auto it = texts.find(key);
  if (it == texts.end()) return QString::fromLatin1(key);
  return QString::fromUtf8(g_chinese ? it->second.first : it->second.second);
}

QString Skin(const char* name) { return QString::fromStdString(ctl::SkinFilePath(name)); }

// A titled panel holding labelled cells, grabbed to a PNG.
class Panel : public QWidget {
 public:
  explicit Panel(const QString& title) {
    setAutoFillBackground(true);
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(16, 12, 16, 14);
    v->setSpacing(10);
    auto* t = new QLabel(title, this);
    QFont f = t->font();
    f.setBold(true);
    f.setPixelSize(14);
    t->setFont(f);
    t->setStyleSheet(QStringLiteral("color:#2b3a4a"));
    v->addWidget(t);
    row_ = new QHBoxLayout;
    row_->setSpacing(18);
    v->addLayout(row_);
    row_->addStretch(0);
  }
  // A cell: the control over its state's name.
  template <typename W>
  W* Cell(const QString& label, W* control, QSize size = {}) {
    auto* cell = new QWidget(this);
    auto* v = new QVBoxLayout(cell);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(6);
    control->setParent(cell);
    if (size.isValid()) control->setFixedSize(size);
    v->addWidget(control, 0, Qt::AlignHCenter | Qt::AlignBottom);
    auto* l = new QLabel(label, cell);
    l->setAlignment(Qt::AlignHCenter);
    l->setStyleSheet(QStringLiteral("color:#7a8699"));
    v->addWidget(l, 0, Qt::AlignHCenter);
    row_->insertWidget(row_->count() - 1, cell, 0, Qt::AlignBottom);
    return control;
  }
  void NewRow() {
    row_ = new QHBoxLayout;
    row_->setSpacing(18);
    static_cast<QVBoxLayout*>(layout())->addLayout(row_);
    row_->addStretch(0);
  }
  void Save(const QString& name) {
    adjustSize();
    ensurePolished();
    show();
    QApplication::processEvents();
    const QImage img = grab().toImage();
    img.save(g_out + QLatin1Char('/') + name + QStringLiteral(".png"));
    g_sheet.append(img);
    hide();
  }

 private:
  QHBoxLayout* row_;
};

QPixmap MenuImage(const char* name) { return ctl::KeyedPixmap(ctl::LoadBitmapFile(Skin(name)), RGB(236, 233, 216)); }

// Texts of the buttons' and menus' further states.
QString TB(const char* key) {
  static const std::map<std::string, std::pair<const char*, const char*>> texts = {
      {"secondicon", {"第二图标", "Second icon"}}, {"secondoff", {"第二图标（禁用）", "Second icon, disabled"}},
      {"raised", {"凸起样式", "Raised"}}, {"edge", {"上下边线", "Edge lines"}}, {"zhang", {"张伟", "Zhang Wei"}},
      {"fontcolour", {"字体颜色", "Font colour"}}, {"red", {"红色", "Red"}}, {"blue", {"蓝色", "Blue"}},
      {"hatched", {"绿色（网纹）", "Green (hatched)"}}, {"sortname", {"按名称排序", "Sort by name"}},
      {"sortstatus", {"按状态排序", "Sort by status"}}, {"radio", {"单选与颜色", "Radio items and colours"}},
  };
  const auto it = texts.find(key);
  if (it == texts.end()) return QString::fromLatin1(key);
  return QString::fromUtf8(g_chinese ? it->second.first : it->second.second);
}

void StyledButtons() {
  Panel panel(T("styled"));
  struct S { const char* label; bool hover, pressed, focus, enabled; };
  const S states[] = {{"rest", false, false, false, true}, {"hover", true, false, false, true},
                      {"pressed", false, true, false, true}, {"focused", false, false, true, true},
                      {"disabled", false, false, false, false}};
  for (const S& s : states) {
    auto* b = new CStyledButton;
    b->setText(T("call"));
    b->SetIcon(MenuImage("callmi"), QPixmap(), CStyledButton::kOutGray);
    b->SetColor(2, RGB(244, 246, 249));
    b->SetColor(4, RGB(244, 246, 249));
    b->SetColor(0, RGB(244, 246, 249));
    b->OffsetColor(0, 30);
    b->SetColor(1, 0xFF0000);
    b->SetFlatFocus(true);
    b->setEnabled(s.enabled);
    b->SetForcedState(s.hover, s.pressed, s.focus);
    panel.Cell(T(s.label), b, QSize(96, 30));
  }
  auto* check = new CStyledButton(nullptr, CStyledButton::kCheckBox);
  check->setText(T("conference"));
  check->SetIcon(MenuImage("propertiesmi"), QPixmap(), CStyledButton::kOutDarker);
  check->SetChecked(true);
  check->SetForcedState(false, false, false);
  panel.Cell(T("checked"), check, QSize(96, 30));
  auto* def = new CStyledButton(nullptr, CStyledButton::kDefPushButton);
  def->setText(T("send"));
  def->SetFlatLook(false);
  def->SetForcedState(false, false, false);
  panel.Cell(T("default"), def, QSize(96, 30));
  panel.NewRow();
  // A contact button: the head picture at the left, the presence icon on its own at the right.
  for (bool enabled : {true, false}) {
    auto* b = new CStyledButton;
    b->setText(TB("zhang"));
    b->SetIcon(MenuImage("propertiesmi"), QPixmap(), CStyledButton::kOutGray);
    b->SetSecondIcon(MenuImage("onlinemi"), QPixmap());
    b->SetSecondIconAlign(2);
    b->ShowSecondIcon(true);
    b->SetColor(2, RGB(244, 246, 249));
    b->SetColor(0, RGB(244, 246, 249));
    b->OffsetColor(0, 30);
    b->setEnabled(enabled);
    b->SetForcedState(enabled, false, false);
    panel.Cell(TB(enabled ? "secondicon" : "secondoff"), b, QSize(120, 30));
  }
  auto* raised = new CStyledButton;
  raised->setText(T("send"));
  raised->SetFlatLook(false);
  raised->SetForcedState(false, false, false);
  panel.Cell(TB("raised"), raised, QSize(96, 30));
  auto* edge = new CStyledButton;
  edge->setText(T("contacts"));
  edge->SetEdgeLines(true);
  edge->SetForcedState(false, false, false);
  panel.Cell(TB("edge"), edge, QSize(96, 30));
  panel.Save(QStringLiteral("styled_button"));
}

void SkinButtons() {
  Panel panel(T("skinbuttons"));
  for (const char* name : {"dialcall", "dialhangup", "imsend"}) {
    struct S { const char* label; bool hover, down, enabled; };
    const S states[] = {{"rest", false, false, true}, {"hover", true, false, true}, {"pressed", false, true, true},
                        {"disabled", false, false, false}};
    for (const S& s : states) {
      auto* b = new CSkinButton;
      b->SetSkinName(name);
      b->EnableHoverTracking(true);
      b->OnSkinChanged();
      b->SetHovering(s.hover);
      b->setDown(s.down);
      b->setEnabled(s.enabled);
      panel.Cell(T(s.label), b);
    }
    panel.NewRow();
  }
  panel.Save(QStringLiteral("skin_button"));
}

void Keypad() {
  Panel panel(T("keypad"));
  const char* names[12] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "star", "0", "pound"};
  auto* grid = new QWidget;
  auto* g = new QGridLayout(grid);
  g->setSpacing(8);
  g->setContentsMargins(0, 0, 0, 0);
  for (int i = 0; i < 12; ++i) {
    auto* b = new CRoundSkinButton(grid);
    b->SetSkinName(std::string("dialkey") + names[i]);
    b->OnSkinChanged();
    g->addWidget(b, i / 3, i % 3);
  }
  panel.Cell(T("rest"), grid);
  struct S { const char* label; bool hover, down, enabled; };
  const S states[] = {{"hover", true, false, true}, {"pressed", false, true, true}, {"disabled", false, false, false}};
  for (const S& s : states) {
    auto* b = new CRoundSkinButton;
    b->SetSkinName("dialkey5");
    b->OnSkinChanged();
    b->SetHovering(s.hover);
    b->setDown(s.down);
    b->setEnabled(s.enabled);
    panel.Cell(T(s.label), b);
  }
  panel.Save(QStringLiteral("keypad"));
}

void Shaped() {
  Panel panel(T("shaped"));
  struct S { const char* label; bool hover, down, enabled, focus; };
  const S states[] = {{"rest", false, false, true, false}, {"hover", true, false, true, false},
                      {"pressed", false, true, true, false}, {"focused", false, false, true, true},
                      {"disabled", false, false, false, false}};
  for (const S& s : states) {
    auto* b = new CShapedButton(nullptr, CShapedButton::kCheck);
    b->SetBitmaps(Skin("ptt.bmp"), Skin("pttdown.bmp"), Skin("ptthover.bmp"), Skin("pttdisabled.bmp"),
                  Skin("pttfocus.bmp"), Skin("pttmask.bmp"), CShapedButton::kOwnSize, false, 0);
    b->setText(QStringLiteral("  ") + T("ptt"));
    b->SetCaptionColor(s.down ? QColor(Qt::white) : QColor(43, 58, 74));
    b->SetHovering(s.hover);
    b->SetCheck(s.down);
    b->setEnabled(s.enabled);
    if (s.focus) b->setFocus();
    panel.Cell(T(s.label), b);
  }
  panel.Save(QStringLiteral("shaped_button"));
}

// A text of the program's language file, as the windows holding the control take it.
QString LangText(const char* section, const char* key) {
  const std::string file = (QDir::currentPath() + (g_chinese ? QStringLiteral("/language/zychs.ini")
                                                             : QStringLiteral("/language/zyeng.ini"))).toStdString();
  char text[256] = {};
  GetPrivateProfileStringA(section, key, "", text, sizeof text, file.c_str());
  return QString::fromUtf8(text);
}

void Toolbars() {
  // The frame's bar: its strip's pictures in its button order, its tool-tip texts as labels.
  struct FrameButton { int image; const char* tip; };
  const FrameButton frame[6] = {{0, "2"}, {1, "3"}, {2, "4"}, {3, "5"}, {4, "8"}, {5, "9"}};
  {
    Panel panel(T("toolbar"));
    auto* bar = new CSkinToolBar;
    bar->SetBackgroundBitmapFile(Skin("toolbarbg.bmp"), 1);
    bar->SetButtonImagesFromFile(20, 19, QString::fromStdString(ctl::SkinFilePath("")).chopped(1),
                                 QStringLiteral("mainframebar.bmp"), RGB(255, 0, 255), false);
    bar->SetButtonImagesFromFile(20, 19, QString::fromStdString(ctl::SkinFilePath("")).chopped(1),
                                 QStringLiteral("mainframebar.bmp"), RGB(255, 0, 255), true);
    bar->SetDisabledImagesFromFile(20, 19, Skin("mainframebar_disable.bmp"), RGB(255, 0, 255));
    QList<CSkinToolButton*> buttons;
    for (const FrameButton& f : frame) buttons << bar->AddButton(f.image + 1, LangText("tool_tip", f.tip), f.image);
    buttons[1]->setEnabled(false);
    buttons[2]->setCheckable(true);
    buttons[2]->setChecked(true);
    buttons[3]->SetHot(true);
    buttons[4]->setDown(true);
    // Drop-down buttons: at rest the bar's own drawing, checked on a plate with the line before the arrow.
    bar->AddButton(90, T("status"), 5, true);
    auto* dropChecked = bar->AddButton(91, T("status"), 5, true);
    dropChecked->setCheckable(true);
    dropChecked->setChecked(true);
    auto name = [&](int i) { return LangText("tool_tip", frame[i].tip); };
    panel.Cell(name(1) + QStringLiteral(": ") + T("disabled") + QStringLiteral(" · ") + name(2) + QStringLiteral(": ") +
                   T("checked") + QStringLiteral(" · ") + name(3) + QStringLiteral(": ") + T("hover") +
                   QStringLiteral(" · ") + name(4) + QStringLiteral(": ") + T("pressed"),
               bar, QSize(g_chinese ? 720 : 990, 32));
    panel.Save(QStringLiteral("skin_toolbar"));
  }
  {
    Panel panel(T("plainbar"));
    auto* bar = new CSkinToolBar;
    bar->SetButtonImagesFromFile(20, 19, QString::fromStdString(ctl::SkinFilePath("")).chopped(1),
                                 QStringLiteral("mainframebar.bmp"), RGB(255, 0, 255), false);
    for (int i : {2, 3, 5}) {
      auto* b = bar->AddButton(10 + i, LangText("tool_tip", frame[i].tip), frame[i].image);
      b->setIcon(QIcon(bar->Image(frame[i].image, false)));
    }
    panel.Cell(T("rest"), bar, QSize(g_chinese ? 320 : 400, 32));
    panel.Save(QStringLiteral("skin_toolbar_plain"));
  }
  {
    // The window holding the bar gives the commands' texts in its language.
    for (int command : {32821, 32822, 32823, 32831, 32833})
      CToolBarEx::SetCommandText(command, LangText("toolbar_ex", std::to_string(command).c_str()));
    Panel panel(T("customize"));
    for (int option = 0; option < 3; ++option) {
      auto* bar = new CToolBarEx;
      // Pictures of the skin's strips, in the commands' order.
      std::vector<ctl::TBBUTTON> buttons = {
          {0, 32821, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1}, {1, 32822, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1},
          {8, 0, 0, ctl::TBSTYLE_SEP, {0, 0}, 0, -1},         {2, 32823, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1},
          {3, 32831, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1}, {4, 32833, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1}};
      bar->SetButtons(buttons);
      bar->DefaultTextOption = option;
      bar->SetButtonSet();
      bar->SetImageStrips(Skin("toolbar16.bmp"), Skin("toolbar32.bmp"), RGB(255, 0, 255));
      bar->SetIconOptions(option == 2 ? 1 : 0);
      const char* labels[3] = {"textlabels", "selective", "notext"};
      panel.Cell(T(labels[option]), bar,
                 QSize(option == 1 ? (g_chinese ? 440 : 600) : option == 0 ? (g_chinese ? 380 : 460) : 220,
                       option == 1 ? 30 : 52));
      if (option == 0) panel.NewRow();
    }
    panel.Save(QStringLiteral("toolbar_ex"));
  }
  {
    // Docked in a frame: a flat bar across the top with a control in a slot and a drop-down, the
    // same bar docked on the left without its control.
    Panel panel(T("docked"));
    std::vector<ctl::TBBUTTON> buttons = {
        {0, 32821, ctl::TBSTATE_ENABLED | ctl::TBSTATE_CHECKED, 0, {0, 0}, 0, -1}, {1, 32822, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1},
        {8, 0, 0, ctl::TBSTYLE_SEP, {0, 0}, 0, -1},         {0, 32789, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1},
        {8, 0, 0, ctl::TBSTYLE_SEP, {0, 0}, 0, -1},         {2, 32823, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1},
        {3, 32831, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1}};
    for (Qt::ToolBarArea area : {Qt::TopToolBarArea, Qt::LeftToolBarArea}) {
      auto* frame = new QMainWindow;
      FrameEnableDocking(frame, ctl::CBRS_ALIGN_ANY);
      auto* bar = new CToolBarEx(frame);
      bar->SetButtons(buttons);
      bar->DefaultTextOption = 1;
      bar->SetButtonSet();
      bar->SetImageStrips(Skin("toolbar16.bmp"), Skin("toolbar32.bmp"), RGB(255, 0, 255));
      bar->SetFlat(true);
      bar->SetBarStyle(ctl::CBRS_SIZE_DYNAMIC | ctl::CBRS_BORDER_BOTTOM | ctl::CBRS_BORDER_3D);
      bar->EnableDocking(ctl::CBRS_ALIGN_ANY);
      bar->SetDropDownButton(32823, 0, true);
      auto* combo = static_cast<QComboBox*>(
          bar->InsertControl(CToolBarEx::ControlKind::ComboBox, QString(), QRect(0, 0, 110, 22), 32789));
      combo->addItem(QStringLiteral("<") + T("all") + QStringLiteral(">"));
      frame->addToolBar(area, bar);
      auto* body = new QLabel(T("pane"));
      body->setAlignment(Qt::AlignCenter);
      body->setStyleSheet(QStringLiteral("background:white; color:#7a8699"));
      frame->setCentralWidget(body);
      panel.Cell(T(area == Qt::TopToolBarArea ? "docktop" : "dockleft"), frame,
                 area == Qt::TopToolBarArea ? QSize(g_chinese ? 560 : 660, 120) : QSize(g_chinese ? 230 : 280, 200));
    }
    panel.Save(QStringLiteral("toolbar_ex_docked"));
  }
  {
    // The customise dialog with its two extra lists and Move Up and Down, its own texts in the language.
    for (const char* key : {"title", "available", "current", "add", "remove", "reset", "up", "down", "close", "separator"})
      CCustomizeDialog::SetText(QString::fromLatin1(key), LangText("toolbar_ex", (std::string("dlg_") + key).c_str()));
    Panel panel(T("customdlg"));
    auto* bar = new CToolBarEx;
    bar->SetButtons({{0, 32821, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1}, {1, 32822, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1},
                     {8, 0, 0, ctl::TBSTYLE_SEP, {0, 0}, 0, -1}, {2, 32823, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1},
                     {3, 32831, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1}, {4, 32833, ctl::TBSTATE_ENABLED, 0, {0, 0}, 0, -1}});
    bar->SetButtonSet();
    bar->DeleteButton(5);
    bar->DeleteButton(4);
    auto* dlg = new CCustomizeDialog(bar, bar->TextOption(), bar->IconOption());
    dlg->current()->setCurrentRow(1);
    dlg->available()->setCurrentRow(1);
    panel.Cell(dlg->windowTitle(), static_cast<QWidget*>(dlg), QSize(560, 330));
    panel.Save(QStringLiteral("toolbar_ex_customize"));
    delete bar;
  }
}

void Combos() {
  Panel panel(T("combos"));
  auto* dial = new CDialComboBox;
  dial->addItems({QStringLiteral("13800138000"), QStringLiteral("01062345678")});
  dial->setEditText(QStringLiteral("138 0013 8000"));
  panel.Cell(T("dialcombo"), dial, QSize(170, 26));
  const char* looks[3] = {"flat", "raised", "pressed"};
  for (int look = 0; look < 3; ++look) {
    auto* c = new CCJFlatComboBox(nullptr, false);
    c->addItem(T("history"));
    c->ForceLook(look);
    panel.Cell(T(looks[look]), c, QSize(130, 24));
  }
  auto* off = new CCJFlatComboBox(nullptr, false);
  off->addItem(T("history"));
  off->setEnabled(false);
  panel.Cell(T("disabled"), off, QSize(130, 24));
  auto* digits = new CDigitEdit;
  digits->setText(QStringLiteral("13800138000,13912345678"));
  panel.Cell(T("digits"), digits, QSize(180, 24));
  panel.Save(QStringLiteral("combos"));
}

void Links() {
  Panel panel(T("links"));
  for (int s = 0; s < 3; ++s) {
    auto* holder = new QWidget;
    holder->setFixedSize(170, 22);
    auto* link = new CHyperLink(holder);
    link->setGeometry(0, 2, 170, 18);
    link->SetLinkText(T("linktext"));
    link->SetURL(QStringLiteral("http://service.example/"));
    if (s == 1) link->SetHovering(true);
    if (s == 2) link->SetVisited(true);
    const char* labels[3] = {"rest", "hover", "visited"};
    panel.Cell(T(labels[s]), holder);
  }
  panel.Save(QStringLiteral("links"));
}

void RichEdit() {
  Panel panel(T("richedit"));
  auto* edit = new CChatRichEdit;
  const QImage smile = ctl::LoadBitmapFile(QStringLiteral("face/01.bmp"));
  const QImage thumbs = ctl::LoadBitmapFile(QStringLiteral("face/05.bmp"));
  QTextCharFormat bold;
  bold.setFontWeight(QFont::Bold);
  bold.setForeground(QColor(29, 88, 168));
  QTextCursor c = edit->textCursor();
  c.insertText(T("name") + QStringLiteral("  19:02\n"), bold);
  c.insertText(T("richtext") + QStringLiteral(" "), QTextCharFormat());
  edit->setTextCursor(c);
  if (!smile.isNull()) edit->InsertImage(smile, "/01");
  c = edit->textCursor();
  c.insertText(QStringLiteral("\n"));
  c.insertText(T("me") + QStringLiteral("  19:03\n"), bold);
  c.insertText(T("richtext2") + QStringLiteral(" "), QTextCharFormat());
  edit->setTextCursor(c);
  if (!thumbs.isNull()) edit->InsertImage(thumbs, "/05");
  panel.Cell(T("rest"), edit, QSize(320, 110));
  panel.Save(QStringLiteral("rich_edit"));
}

void Statics() {
  Panel panel(T("statics"));
  auto* icons = new QWidget;
  auto* h = new QHBoxLayout(icons);
  h->setContentsMargins(0, 0, 0, 0);
  for (const char* name : {"online.bmp", "offline.bmp", "busy.bmp", "leave.bmp", "notavailable.bmp"}) {
    auto* s = new CPaintedStatic(icons);
    if (QString::fromLatin1(name) == QLatin1String("online.bmp")) s->SetBkColor(RGB(255, 0, 255));
    s->SetBitmapFile(Skin(name));
    s->setFixedSize(16, 16);
    h->addWidget(s);
  }
  panel.Cell(T("painted"), icons);
  auto* pic = new CPictureStatic;
  pic->SetPicture(Skin("usericondef.bmp"), T("name"), true);
  panel.Cell(T("picture"), pic, QSize(90, 96));
  auto* grey = new CPictureStatic;
  grey->SetPicture(Skin("usericondef.bmp"), T("longname"), false);
  panel.Cell(T("offline"), grey, QSize(90, 96));
  // The tip frames in order.
  auto* frames = new QWidget;
  auto* fh = new QHBoxLayout(frames);
  fh->setContentsMargins(0, 0, 0, 0);
  fh->setSpacing(3);
  for (int i = 0; i < 12; ++i) {
    auto* holder = new QWidget(frames);
    holder->setFixedSize(22, 22);
    auto* tip = new CPopupTipWnd(holder, QPoint(0, 0), 1, 400);
    tip->grab();
    for (int k = 0; k < i; ++k) tip->Tick();
    fh->addWidget(holder);
  }
  panel.Cell(T("tip"), frames);
  panel.NewRow();
  // The sheet: the tabs over their body's 3-D frame.
  struct Sheet : QTabWidget {
    using QTabWidget::setTabBar;
  };
  auto* sheet = new Sheet;
  auto* tabs = new CSkinTabCtrl(sheet);
  sheet->setTabBar(tabs);
  sheet->setDocumentMode(true);
  tabs->SetImages(ctl::CutStrip(ctl::LoadBitmapFile(Skin("propertypicon.bmp")), 24, 23, RGB(255, 0, 255)));
  for (const char* t : {"start", "book", "dial", "log", "service", "talk"}) {
    auto* page = new QWidget;
    page->setAutoFillBackground(true);
    page->setBackgroundRole(QPalette::Button);
    sheet->addTab(page, T(t));
  }
  sheet->setCurrentIndex(2);
  panel.Cell(T("tabs"), sheet, QSize(560, tabs->sizeHint().height() + 40));
  auto* split = new QWidget;
  split->setFixedSize(160, 60);
  auto* left = new QLabel(T("pane"), split);
  left->setGeometry(0, 0, 76, 60);
  left->setAlignment(Qt::AlignCenter);
  left->setStyleSheet(QStringLiteral("background:white; border:1px solid #c9d6e8"));
  auto* bar = new CSplitterBar(split, 1, true);
  bar->setGeometry(77, 0, 5, 60);
  auto* right = new QLabel(T("pane"), split);
  right->setGeometry(83, 0, 77, 60);
  right->setAlignment(Qt::AlignCenter);
  right->setStyleSheet(QStringLiteral("background:white; border:1px solid #c9d6e8"));
  panel.Cell(T("splitter"), split);
  panel.Save(QStringLiteral("statics"));
}

QImage RenderMenu(TrelMenu* menu, int activeIndex) {
  menu->adjustSize();
  menu->popup(QPoint(0, 0));
  if (activeIndex >= 0) menu->setActiveAction(menu->actions().at(activeIndex));
  QApplication::processEvents();
  const QImage img = menu->grab().toImage();
  menu->hide();
  return img;
}

void Menus() {
  Panel panel(T("menu"));
  for (int mode = 0; mode < 2; ++mode) {
    TrelMenu::SetDrawMode(mode);
    auto* menu = new TrelMenu;
    menu->AppendMenu(0, 3114, T("online"), Skin("onlinemi.bmp"), 0);
    menu->AppendMenu(MF_CHECKED, 3116, T("busy"), Skin("busymi.bmp"), 0);
    menu->AppendMenu(0, 3117, T("away"), Skin("leavemi.bmp"), 0);
    menu->AppendMenu(MF_SEPARATOR, 0, QString());
    menu->AppendMenu(0, 2001, T("call") + QStringLiteral("\tF3"), Skin("callmi.bmp"), 0);
    menu->AppendMenu(0, 2002, T("sendmsg") + QStringLiteral("\tCtrl+M"), Skin("menusendim.bmp"), 0);
    menu->AppendMenu(MF_GRAYED, 2003, T("hangup"), Skin("hangupmi.bmp"), 0);
    menu->AppendMenu(MF_CHECKED, 2006, T("conference"));
    menu->AppendMenu(MF_SEPARATOR, 0, QString());
    TrelMenu* sub = menu->AppendPopup(T("status"));
    sub->AppendMenu(0, 3115, T("offline"), Skin("offlinemi.bmp"), 0);
    menu->AppendMenu(0, 2004, T("properties"), Skin("propertiesmi.bmp"), 0);
    menu->AppendMenu(MF_GRAYED, 2005, T("delete"));
    auto* label = new QLabel;
    label->setPixmap(QPixmap::fromImage(RenderMenu(menu, 4)));
    panel.Cell(T(mode == 0 ? "classic" : "xp"), label);
    auto* label2 = new QLabel;
    label2->setPixmap(QPixmap::fromImage(RenderMenu(menu, 6)));
    panel.Cell(T(mode == 0 ? "classic" : "xp") + QStringLiteral(" · ") + T("disabled"), label2);
    // Radio items and colour swatches.
    auto* radio = new TrelMenu;
    radio->AppendMenu(MF_RADIOCHECK | MF_CHECKED, 2924, TB("sortname"));
    radio->AppendMenu(MF_RADIOCHECK, 2925, TB("sortstatus"));
    radio->AppendMenu(MF_SEPARATOR, 0, QString());
    radio->AppendMenu(0, 7001, TB("red"));
    radio->AppendMenu(MF_CHECKED, 7002, TB("blue"));
    radio->AppendMenu(0, 7003, TB("hatched"));
    radio->ModifyItem(nullptr, 7001, RGB(214, 48, 49), RGB(120, 20, 20));
    radio->ModifyItem(nullptr, 7002, RGB(47, 123, 217), RGB(20, 60, 120), -1, QSize(12, 11));
    radio->ModifyItem(nullptr, 7003, RGB(30, 150, 80), RGB(20, 90, 50), 5);
    auto* label3 = new QLabel;
    label3->setPixmap(QPixmap::fromImage(RenderMenu(radio, 3)));
    panel.Cell(T(mode == 0 ? "classic" : "xp") + QStringLiteral(" · ") + TB("radio"), label3);
  }
  TrelMenu::SetDrawMode(0);
  panel.Save(QStringLiteral("menus"));
}

void SaveSheet(const QString& name) {
  int w = 0, h = 0;
  for (const QImage& i : g_sheet) { w = std::max(w, i.width()); h += i.height() + 2; }
  QImage sheet(w, h, QImage::Format_RGB32);
  sheet.fill(QColor(214, 220, 228));
  QPainter p(&sheet);
  int y = 0;
  for (const QImage& i : g_sheet) { p.drawImage(0, y, i); y += i.height() + 2; }
  p.end();
  sheet.save(g_out + QLatin1Char('/') + name);
  g_sheet.clear();
}

void ApplyLook(QApplication& app, bool chinese) {
  app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  QPalette pal;
  pal.setColor(QPalette::Window, QColor(246, 248, 251));
  pal.setColor(QPalette::Base, Qt::white);
  pal.setColor(QPalette::Button, QColor(238, 242, 247));
  pal.setColor(QPalette::ButtonText, QColor(43, 58, 74));
  pal.setColor(QPalette::WindowText, QColor(43, 58, 74));
  pal.setColor(QPalette::Text, QColor(43, 58, 74));
  pal.setColor(QPalette::Highlight, QColor(47, 123, 217));
  pal.setColor(QPalette::HighlightedText, Qt::white);
  pal.setColor(QPalette::Light, Qt::white);
  pal.setColor(QPalette::Mid, QColor(160, 170, 184));
  pal.setColor(QPalette::Dark, QColor(120, 130, 146));
  pal.setColor(QPalette::Disabled, QPalette::WindowText, QColor(150, 158, 170));  // the grey text
  app.setPalette(pal);
  QFont f(chinese ? QStringLiteral("WenQuanYi Micro Hei") : QStringLiteral("DejaVu Sans"));
  f.setPixelSize(12);
  app.setFont(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const QString root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(TESSALY_BINARY_DIR);
  QDir::setCurrent(root);  // skin pictures are found from the current folder
  ctl::SetSkinType("default");
  ctl::SetResourceFolder((root + QStringLiteral("/res")).toStdString());
  for (bool chinese : {true, false}) {
    g_chinese = chinese;
    g_out = root + QStringLiteral("/gallery/") + (chinese ? QStringLiteral("chs") : QStringLiteral("eng"));
    QDir().mkpath(g_out);
    ApplyLook(app, chinese);
    StyledButtons();
    SkinButtons();
    Keypad();
    Shaped();
    Toolbars();
    Combos();
    Links();
    RichEdit();
    Statics();
    Menus();
    SaveSheet(QStringLiteral("all.png"));
    std::printf("gallery: %s\n", qPrintable(g_out));
  }
  return 0;
}
