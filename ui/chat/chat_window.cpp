// The chat window: widgets, drawing of the history view, the send and press-to-talk paths, commands.
#include "ui/chat/chat_window.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFontDialog>
#include <QMimeData>
#include <QPainter>
#include <QGuiApplication>
#include <QScreen>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <set>
#include <QTextDocumentFragment>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>

#include "common/account.h"
#include "common/debug.h"
#include "platform/codepage.h"
#include "platform/sync.h"
#include "service/presence_core.h"
#include "ui/chat/chat_art.h"
#include "ui/chat/chat_book.h"
#include "ui/chat/chat_skin_panel.h"
#include "ui/chat/chat_emoticon_popup.h"
#include "ui/chat/chat_room_dialogs.h"
#include "ui/controls/chat_text.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/controls/rich_edit.h"
#include "ui/controls/shaped_button.h"
#include "ui/controls/statics.h"
#include "ui/shell/book_results.h"
#include "ui/shell/capture_probe.h"
#include "ui/shell/head_picture.h"
#include "ui/shell/shell_config.h"

namespace {
// A caption without its mnemonic: "发送(&S)" and "&Send" read "发送" and "Send".
QString Plain(QString text) {
    static const QRegularExpression mnemonic(R"(\(&\w\))");
    text.remove(mnemonic);
    return text.remove('&');
}
}  // namespace

namespace chat {

QString FromAnsi(const std::string& text) { return QString::fromStdString(plat::AnsiToUtf8(text)); }
std::string ToAnsi(const QString& text) { return plat::Utf8ToAnsi(text.toStdString()); }

QRect PlaceChatWindow(int left, int top, int width, int height, const QRect& screen) {
    width = std::max(width, 540);
    height = std::max(height, 390);
    left = std::max(left, 1);
    top = std::max(top, 1);
    if (left + width > screen.right() + 1) left = std::max(screen.left(), screen.right() + 1 - width);
    if (top + height > screen.bottom() + 1 - 27) top = std::max(screen.top(), screen.bottom() + 1 - 27 - height);
    return QRect(left, top, width, height);
}

QString ChatText(const char* section, const char* key, const char* english) {
    return shell::LangText(section, key, english);
}

namespace {
std::function<bool(const QString&)> g_confirm;
std::function<void(const QUrl&)> g_open;
}  // namespace

void SetLinkHooks(std::function<bool(const QString&)> confirm, std::function<void(const QUrl&)> open) {
    g_confirm = std::move(confirm);
    g_open = std::move(open);
}

bool ConfirmAndOpenLink(QWidget* parent, const QString& link) {
    QString text = link.trimmed();
    if (text.startsWith("www.", Qt::CaseInsensitive)) text = "http://" + text;
    QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != "http" && scheme != "https" && scheme != "mailto")) {
        DebugTrace(MOD_QZ, 2, "link refused: %s", text.toUtf8().constData());
        return false;
    }
    bool yes = g_confirm ? g_confirm(url.toString())
                         : QMessageBox::question(parent, ChatText("im_dlg", "im_link_title", "Open link"),
                                                 ChatText("im_dlg", "im_link_ask", "Open this address?") + "\n\n" +
                                                     url.toString()) == QMessageBox::Yes;
    if (!yes) return false;
    if (g_open) g_open(url);
    else QDesktopServices::openUrl(url);
    return true;
}

namespace {
std::function<bool(QFont*, QColor*)> g_fontHook;
std::function<void(QWidget*)> g_headPictureHook;
}  // namespace

void SetFontChooserHook(std::function<bool(QFont*, QColor*)> hook) { g_fontHook = std::move(hook); }
void SetHeadPictureHook(std::function<void(QWidget*)> hook) { g_headPictureHook = std::move(hook); }

ChatFontSetting& AppChatFont() {
    static ChatFontSetting setting;
    return setting;
}

bool ChooseChatFont(QWidget* parent, QFont* font, QColor* colour) {
    if (g_fontHook) return g_fontHook(font, colour);
    // The font dialog with the effects and the colour list of the system's font chooser.
    QDialog dialog(parent);
    dialog.setObjectName("chatFontDlg");
    dialog.setWindowTitle(Plain(ChatText("im_dlg", "im_font_title", "字体")));
    auto* v = new QVBoxLayout(&dialog);
    auto* fonts = new QFontDialog(*font, &dialog);
    fonts->setWindowFlags(Qt::Widget);
    fonts->setOptions(QFontDialog::NoButtons | QFontDialog::DontUseNativeDialog);
    v->addWidget(fonts);
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(ChatText("im_dlg", "im_font_colour", "颜色(&C):"), &dialog));
    auto* colours = new QComboBox(&dialog);
    colours->setObjectName("fontColour");
    static const COLORREF kColours[] = {0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080, 0x808000, 0x808080,
                                        0xC0C0C0, 0x0000FF, 0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF};
    for (COLORREF c : kColours) {
        QPixmap swatch(28, 12);
        const QColor q(GetRValue(c), GetGValue(c), GetBValue(c));
        swatch.fill(q);
        QPainter frame(&swatch);
        frame.setPen(QColor(0x80, 0x80, 0x80));
        frame.drawRect(swatch.rect().adjusted(0, 0, -1, -1));
        colours->addItem(QIcon(swatch), QString(), q);
    }
    colours->setIconSize(QSize(28, 12));
    const int at = colours->findData(colour->isValid() ? *colour : QColor(Qt::black));
    colours->setCurrentIndex(at < 0 ? 0 : at);
    row->addWidget(colours);
    row->addStretch();
    v->addLayout(row);
    auto* box = new QDialogButtonBox(&dialog);
    box->addButton(Plain(ChatText("dlg_common", "IDOK", "&OK")), QDialogButtonBox::AcceptRole);
    box->addButton(Plain(ChatText("dlg_common", "IDCANCEL", "&Cancel")), QDialogButtonBox::RejectRole);
    QObject::connect(box, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    v->addWidget(box);
    if (dialog.exec() != QDialog::Accepted) return false;
    *font = fonts->currentFont();
    *colour = colours->currentData().value<QColor>();
    return true;
}

}  // namespace chat

using chat::ChatText;
using chat::FromAnsi;
using chat::ToAnsi;

namespace {

std::function<int()> g_captureProbe;

enum Command {
    ID_VIEW_RECORDS = 32805, ID_CLOSE = 32806, ID_UNDO = 32807, ID_COPY = 32808, ID_CUT = 32809, ID_PASTE = 32810,
    ID_DELETE = 32811, ID_SELECT_ALL = 32812, ID_ENTER_SENDS = 32814, ID_CTRL_ENTER_SENDS = 32815,
    ID_AUTOPLAY = 32821, ID_FONT = 32822, ID_EMOTICONS = 32823, ID_FONT_MENU = 32825, ID_INVITE = 32831,
    ID_CALL = 32833, ID_END = 32837, ID_KICK = 32838, ID_BLOCK = 32841,
};

const QColor kAccent(0x2f, 0x6f, 0xc6);

// Block notices every chat window gets (lParam: the contact's id text).
constexpr UINT WM_BLOCK_ANSWER = 0x821;
constexpr UINT WM_UNBLOCK_ANSWER = 0x822;
constexpr UINT WM_BLOCK_REQUEST = 0x823;
constexpr UINT WM_SYSTEM_NOTICE = WM_USER + 211;   // 0x4D3: a notice text for the history
constexpr UINT WM_MEMBER_AREA = WM_USER + 1054;    // 0x81E: show (lParam 1) or hide the member area
constexpr UINT WM_PICTURE_MENU = WM_USER + 1055;   // 0x81F: the picture menu; wParam 0 peer, 1 own

QString TimeText(int64_t time) {
    return QString::fromStdString(ChatTimeStamp(time, static_cast<int64_t>(::time(nullptr))));
}

QString Escape(const QString& text) { return text.toHtmlEscaped(); }


// A menu caption without the key name the language file writes after it ("Chat &history   Ctrl+R"):
// the menu shows the action's own shortcut, which would otherwise stand there twice.
QString WithoutShortcutText(QString text, const QKeySequence& key) {
    const QString name = key.toString(QKeySequence::NativeText);
    if (name.isEmpty()) return text;
    if (text.endsWith(name, Qt::CaseInsensitive)) {
        const QString head = text.left(text.size() - name.size());
        if (!head.isEmpty() && head.back().isSpace()) text = head.trimmed();
    }
    return text;
}

// The format of message bodies: the font chosen for the input box, else the window's own look.
QTextCharFormat BodyFormat(const QTextCharFormat& f) {
    QTextCharFormat out;
    out.setForeground(f.foreground().style() != Qt::NoBrush ? f.foreground().color() : QColor(0x1d, 0x2b, 0x3a));
    if (!f.hasProperty(QTextFormat::FontFamilies)) return out;
    const QStringList families = f.fontFamilies().toStringList();
    if (!families.isEmpty()) out.setFontFamilies({families.first()});
    if (f.fontPointSize() > 0) out.setFontPointSize(f.fontPointSize());
    if (f.fontWeight() >= QFont::Bold) out.setFontWeight(QFont::Bold);
    out.setFontItalic(f.fontItalic());
    out.setFontUnderline(f.fontUnderline());
    out.setFontStrikeOut(f.fontStrikeOut());
    return out;
}

// Web and mail addresses inside a message or the input box.
const QRegularExpression& LinkPattern() {
    static const QRegularExpression re(R"((https?://[^\s<>"]+|mailto:[^\s<>"]+|www\.[^\s<>"]+))",
                                       QRegularExpression::CaseInsensitiveOption);
    return re;
}

// Plain text at the cursor with its web and mail addresses as links; line ends stay inside the body's
// paragraph.
void InsertLinked(QTextCursor& c, QString text, const QTextCharFormat& body, QTextCharFormat link) {
    text.replace("\r\n", QString(QChar::LineSeparator)).replace('\n', QChar::LineSeparator).replace('\r', QChar::LineSeparator);
    qsizetype last = 0;
    auto it = LinkPattern().globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        if (m.capturedStart() > last) c.insertText(text.mid(last, m.capturedStart() - last), body);
        link.setAnchorHref(m.captured());
        c.insertText(m.captured(), link);
        last = m.capturedEnd();
    }
    if (last < text.size()) c.insertText(text.mid(last), body);
}

}  // namespace

CIMDlg::CIMDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("imDlg");
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowFlags(Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setMinimumSize(540, 390);
    setWindowIcon(QIcon(shell::ProgramIconFile()));
    pttTimer_.setSingleShot(true);
    connect(&pttTimer_, &QTimer::timeout, this, [this] {
        if (ptt_) ptt_->setEnabled(true);
    });
    // Ticks the wait for a room's answer while one runs.
    sessionTimer_.setInterval(100);
    connect(&sessionTimer_, &QTimer::timeout, this, [this] {
        if (!SessionTick()) sessionTimer_.stop();
    });
    BuildWindow();
}

CIMDlg::~CIMDlg() = default;

void CIMDlg::BuildWindow() {
    setStyleSheet(
        "CIMDlg { background: #eef3f9; }"
        "QLabel#chatTitle { font-size: 15px; font-weight: 600; color: #1d2b3a; }"
        "QLabel#chatSubtitle { color: #6a7a8c; }"
        "QTextEdit { background: white; border: 1px solid #cdd8e6; border-radius: 4px; }"
        "QListWidget { background: white; border: 1px solid #cdd8e6; border-radius: 4px; }"
        "QToolBar { background: transparent; border: none; spacing: 2px; }"
        "QToolButton { border: 1px solid transparent; border-radius: 4px; padding: 3px 6px; color: #22364d; }"
        "QToolButton:hover { background: #dde9f8; border-color: #b8cfee; }"
        "QToolButton:checked { background: #d3e3f8; border-color: #9dbbe6; }"
        "QFrame#sidePane { background: #f7faff; border: 1px solid #d5e0ee; border-radius: 6px; }"
        "QPushButton#sendButton { background: #2f6fc6; color: white; border: none; border-radius: 4px; padding: 6px 18px; font-weight: 600; }"
        "QPushButton#sendButton:hover { background: #3b7fd8; }");
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    menuBar_ = new QMenuBar(this);
    root->setMenuBar(menuBar_);
    auto addAction = [this](QMenu* menu, int id, std::function<void()> run, bool checkable = false) {
        QAction* a = menu->addAction(QString());
        a->setCheckable(checkable);
        connect(a, &QAction::triggered, this, [run] { run(); });
        actions_[id] = a;
        return a;
    };
    QMenu* file = menuBar_->addMenu(QString());
    addAction(file, ID_VIEW_RECORDS, [this] { ViewRecords(); })->setShortcut(QKeySequence("Ctrl+R"));
    addAction(file, ID_CLOSE, [this] { close(); })->setShortcut(QKeySequence("Alt+C"));
    QMenu* edit = menuBar_->addMenu(QString());
    // Copy and select all act on the view last clicked; the others on the input box.
    addAction(edit, ID_UNDO, [this] { if (input_->document()->isUndoAvailable()) input_->undo(); })->setShortcut(QKeySequence("Ctrl+Z"));
    addAction(edit, ID_COPY, [this] { (lastClickInHistory_ ? static_cast<QTextEdit*>(history_) : input_)->copy(); })
        ->setShortcut(QKeySequence("Ctrl+C"));
    addAction(edit, ID_CUT, [this] { input_->cut(); })->setShortcut(QKeySequence("Ctrl+X"));
    // The clipboard's text, cut to what the message still takes, whatever else the clipboard holds.
    addAction(edit, ID_PASTE, [this] { if (input_->canPaste()) input_->PasteWithinLimit(); })->setShortcut(QKeySequence("Ctrl+V"));
    addAction(edit, ID_DELETE, [this] { input_->textCursor().removeSelectedText(); })->setShortcut(QKeySequence("Ctrl+D"));
    addAction(edit, ID_SELECT_ALL, [this] { (lastClickInHistory_ ? static_cast<QTextEdit*>(history_) : input_)->selectAll(); })
        ->setShortcut(QKeySequence("Ctrl+A"));
    edit->addSeparator();
    addAction(edit, ID_FONT_MENU, [this] { ChooseFont(); });
    connect(edit, &QMenu::aboutToShow, this, [this] { RefreshEditCommands(); });
    QMenu* action = menuBar_->addMenu(QString());
    addAction(action, ID_INVITE, [this] { OnInvite(); });
    addAction(action, ID_KICK, [this] {
        m_roomCmd.ClearArgs();
        for (QListWidgetItem* item : memberList_->selectedItems())
            if (int id = item->data(Qt::UserRole).toInt(); id > 0) m_roomCmd.AppendId(id);
        if (!m_roomCmd.args().empty() && m_roomCmd.BuildKick()) m_roomCmd.Send(Connection(), nullptr, 0);
    });
    addAction(action, ID_END, [this] {
        hide();
        // Only a room that answered has a session to end.
        if (m_chatType != CHAT_ONE && m_chatType != CHAT_SEVERAL && m_roomState != 0) {
            m_roomState = 1;
            if (m_roomCmd.BuildEnd(1)) m_roomCmd.Send(Connection(), nullptr, 0);
        }
        close();
    });
    addAction(action, ID_BLOCK, [this] { OnBlock(); });
    // Call has a tool-bar button only.
    actions_[ID_CALL] = new QAction(this);
    connect(actions_[ID_CALL], &QAction::triggered, this, [this] { OnCall(); });
    QMenu* settings = menuBar_->addMenu(QString());
    addAction(settings, ID_ENTER_SENDS, [this] { m_bEnterSends = 1; RefreshCommands(); }, true);
    addAction(settings, ID_CTRL_ENTER_SENDS, [this] { m_bEnterSends = 0; RefreshCommands(); }, true);

    // Upper tool bar: the session's actions.
    auto* top = new QWidget(this);
    top->setObjectName("chatTop");
    top->setStyleSheet("QWidget#chatTop { background: qlineargradient(x1:0,y1:0,x2:0,y2:1, stop:0 #ffffff, stop:1 #e4edf8); border-bottom: 1px solid #c9d6e6; }");
    auto* topRow = new QHBoxLayout(top);
    topRow->setContentsMargins(6, 3, 10, 3);
    topRow->setSpacing(8);
    // The upper bar: the skin's "qzBar.bmp" and "qzBar_disable.bmp", 32 x 32 on magenta, in button order.
    upper_ = new CSkinToolBar(top);
    upper_->setObjectName("upperBar");
    upper_->setIconSize(QSize(32, 32));
    const QString skinFolder = QFileInfo(shell::SkinFile("qzBar.bmp")).absolutePath();
    upper_->SetButtonImagesFromFile(32, 32, skinFolder, "qzBar.bmp", RGB(255, 0, 255), false);
    upper_->SetDisabledImagesFromFile(32, 32, shell::SkinFile("qzBar_disable.bmp"), RGB(255, 0, 255));
    // Each button follows an action of its own (caption, tooltip, enabling, showing); the menu's command
    // runs when it is pressed.
    auto barButton = [this](CSkinToolBar* bar, int id, int image, bool dropDown) {
        CSkinToolButton* button = bar->AddButton(id, QString(), image, dropDown);
        button->setIconSize(bar->ImageSize());
        auto* a = new QAction(this);
        QIcon icon;
        if (const QPixmap on = bar->Image(image, false); !on.isNull()) icon.addPixmap(on);
        if (const QPixmap off = bar->DisabledImage(image); !off.isNull()) icon.addPixmap(off, QIcon::Disabled);
        a->setIcon(icon);
        button->setDefaultAction(a);
        QAction* placed = nullptr;
        for (QAction* candidate : bar->actions())
            if (bar->widgetForAction(candidate) == button) placed = candidate;
        connect(a, &QAction::visibleChanged, this, [a, placed, button] {
            if (placed) placed->setVisible(a->isVisible());
            button->setVisible(a->isVisible());
        });
        return a;
    };
    int upperImage = 0;
    for (int id : {ID_INVITE, ID_CALL, ID_KICK, ID_END, ID_BLOCK}) {
        QAction* a = barButton(upper_, id, upperImage++, false);
        connect(a, &QAction::triggered, actions_[id], &QAction::trigger);
        actions_[id + 100000] = a;
    }
    topRow->addWidget(upper_);
    // The title line: the session's name or its count of participants.
    title_ = new QLabel(top);
    title_->setObjectName("chatTitle");
    title_->setMinimumWidth(0);
    title_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    title_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    topRow->addWidget(title_, 1);
    root->addWidget(top);

    // Body: the history row (history view | peer pane or member area) over the input row (input box |
    // own picture pane); bar 1086 parts the two rows, bar 1088 the history view and the member area.
    // The body places them itself (LayoutPanes): the history height and the chat column width stay as
    // the user dragged them, the input row and the member area take what is left.
    body_ = new QWidget(this);
    body_->installEventFilter(this);
    historyRow_ = new QWidget(body_);
    bar1086_ = new CSplitterBar(body_, 1086, false);
    bar1086_->setObjectName("splitter1086");
    connect(bar1086_, &CSplitterBar::delta, this, [this](int d) {
        historyHeight_ = historyRow_->height() + d;
        LayoutPanes();
    });
    bar1088_ = new CSplitterBar(historyRow_, 1088, true);
    bar1088_->setObjectName("splitter1088");
    connect(bar1088_, &CSplitterBar::delta, this, [this](int d) {
        columnWidth_ = history_->width() + d;
        LayoutPanes();
    });
    history_ = new CFormatRichEdit(historyRow_);
    history_->setObjectName("history");
    history_->setReadOnly(true);
    history_->setTextInteractionFlags(Qt::TextBrowserInteraction);
    history_->viewport()->installEventFilter(this);
    history_->setContextMenuPolicy(Qt::NoContextMenu);
    history_->document()->setDefaultStyleSheet("a { color: #2f6fc6; }");
    history_->setMinimumHeight(160);

    auto* compose = new QWidget;
    // The press-to-talk button and the input box tell their parent, which is this pane: pass it on.
    compose->installEventFilter(this);
    auto* composeLayout = new QVBoxLayout(compose);
    composeLayout->setContentsMargins(0, 4, 0, 0);
    composeLayout->setSpacing(4);
    format_ = new CSkinToolBar(compose);
    format_->setObjectName("formatBar");
    format_->setIconSize(QSize(16, 15));
    // The skin's "chatbar2.bmp": 16 x 15 on white, auto-play, font and emoticons in that order.
    format_->SetButtonImagesFromFile(16, 15, skinFolder, "chatbar2.bmp", RGB(255, 255, 255), false);
    QAction* autoPlay = barButton(format_, ID_AUTOPLAY, 0, false);
    autoPlay->setCheckable(true);
    connect(autoPlay, &QAction::toggled, this, [this](bool on) { m_bAutoPlay = on ? 1 : 0; });
    actions_[ID_AUTOPLAY] = autoPlay;
    QAction* font = barButton(format_, ID_FONT, 1, false);
    connect(font, &QAction::triggered, actions_[ID_FONT_MENU], &QAction::trigger);
    actions_[ID_FONT] = font;
    QAction* smile = barButton(format_, ID_EMOTICONS, 2, false);
    connect(smile, &QAction::triggered, this, [this] { OpenEmoticonPicker(); });
    actions_[ID_EMOTICONS] = smile;
    CEmoticonPopup::AddDropDown(format_->Button(ID_EMOTICONS), this);
    composeLayout->addWidget(format_);
    input_ = new CChatRichEdit(compose);
    input_->setObjectName("input");
    input_->installEventFilter(this);
    // Two lines at least: at the window's least size the history and the member list keep the room.
    input_->setMinimumHeight(40);
    composeLayout->addWidget(input_, 1);
    auto* buttons = new QHBoxLayout;
    hint_ = new QLabel(compose);
    hint_->setObjectName("chatSubtitle");
    ptt_ = new CShapedButton(this);
    ptt_->pressToTalk = true;
    ptt_->setObjectName("pttButton");
    ptt_->setMinimumSize(112, 30);
    if (const std::optional<QCursor> hand = ctl::ResourceCursor(ctl::kHandCursor)) ptt_->setCursor(*hand);
    ptt_->SetBitmaps(219, 218, 219, 0, 218, 207);
    send_ = new CShapedButton(this);
    send_->setObjectName("sendButton");
    send_->setMinimumSize(96, 30);
    send_->SetBitmaps(205, 206, 205, 0, 206, 207);
    send_->SetCaptionColor(Qt::white);
    connect(send_, &QAbstractButton::clicked, this, [this] { OnSend(); });
    buttons->addWidget(hint_, 1);
    buttons->addWidget(ptt_);
    buttons->addWidget(send_);
    composeLayout->addLayout(buttons);
    // The own picture pane beside the input box.
    ownPanel_ = new CIMSkinPanel(CIMSkinPanel::Own, this);
    connect(ownPanel_, &CIMSkinPanel::stateClicked, this, [this] { SetOwnPaneCollapsed(!ownPanel_->Collapsed()); });
    auto* composeRow = new QWidget(body_);
    composeRow_ = composeRow;
    auto* composeRowLayout = new QHBoxLayout(composeRow);
    composeRowLayout->setContentsMargins(0, 0, 0, 0);
    composeRowLayout->setSpacing(4);
    compose->setParent(composeRow);
    composeRowLayout->addWidget(compose, 1);
    composeRowLayout->addWidget(ownPanel_);

    // Beside the history: the peer's pane (one-to-one) or the member area.
    side_ = new QStackedWidget(historyRow_);
    peerPanel_ = new CIMSkinPanel(CIMSkinPanel::Peer, this);
    connect(peerPanel_, &CIMSkinPanel::stateClicked, this, [this] { SetPeerPaneCollapsed(!peerPanel_->Collapsed()); });
    side_->addWidget(peerPanel_);
    auto* memberPane = new QFrame(side_);
    memberPane->setObjectName("sidePane");
    auto* memberLayout = new QVBoxLayout(memberPane);
    memberLayout->setContentsMargins(6, 4, 6, 6);
    auto* memberHead = new QHBoxLayout;
    memberLabel_ = new QLabel(memberPane);
    memberHead->addWidget(memberLabel_, 1);
    auto* hideMembers = new QToolButton(memberPane);
    memberArrow_ = hideMembers;
    hideMembers->setObjectName("memberArrow");
    hideMembers->setStyleSheet("QToolButton { padding: 0; border: none; }");
    hideMembers->setAutoRaise(true);
    hideMembers->setFixedSize(CIMSkinPanel::kStrip, 18);
    // The state button asks the window to hide the member area (0x81E with 0).
    connect(hideMembers, &QToolButton::clicked, this, [this] { SendChatMessage(WM_MEMBER_AREA, 0, 0); });
    memberHead->addWidget(hideMembers);
    memberLayout->addLayout(memberHead);
    memberList_ = new QListWidget(memberPane);
    // Kick, call and block follow the selected rows.
    connect(memberList_, &QListWidget::itemSelectionChanged, this, [this] { RefreshCommands(); });
    memberList_->setObjectName("members");
    memberList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    memberList_->setIconSize(QSize(32, 32));
    // A long name is cut with an ellipsis rather than scrolled sideways in the narrow column.
    memberList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memberList_->setTextElideMode(Qt::ElideRight);
    recipientLabel_ = new QLabel(memberPane);
    recipient_ = new QComboBox(memberPane);
    recipient_->setObjectName("recipient");
    connect(recipient_, &QComboBox::currentIndexChanged, this, [this] { RefreshHint(); });
    memberLayout->addWidget(memberList_, 1);
    // The chooser and its label share one row: the list keeps the height.
    auto* recipientRow = new QHBoxLayout;
    recipientRow->setSpacing(4);
    recipientRow->addWidget(recipientLabel_);
    recipientRow->addWidget(recipient_, 1);
    memberLayout->addLayout(recipientRow);
    side_->addWidget(memberPane);
    // A hidden member area leaves this strip to bring it back.
    memberStrip_ = new QToolButton(historyRow_);
    memberStrip_->setObjectName("memberStrip");
    memberStrip_->setStyleSheet("QToolButton { padding: 0; border: none; background: transparent; }");
    memberStrip_->setAutoRaise(true);
    memberStrip_->setFixedWidth(CIMSkinPanel::kStrip);
    memberStrip_->setCursor(ctl::ResourceCursor(ctl::kHandCursor).value_or(QCursor(Qt::PointingHandCursor)));
    memberStrip_->hide();
    LoadStateButtons();
    connect(memberStrip_, &QToolButton::clicked, this, [this] { SendChatMessage(WM_MEMBER_AREA, 0, 1); });
    root->addWidget(body_, 1);

    // Placement and settings from [imconfig] of the skin ini.
    const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->geometry() : QRect(0, 0, 1280, 800);
    setGeometry(chat::PlaceChatWindow(shell::SkinInt("imconfig", "left", 0), shell::SkinInt("imconfig", "top", 0),
                                      shell::SkinInt("imconfig", "width", 623), shell::SkinInt("imconfig", "height", 398), screen));
    if (shell::SkinInt("imconfig", "maximized", 0)) setWindowState(Qt::WindowMaximized);
    m_bEnterSends = shell::SkinInt("imconfig", "shortkey", 1) == 2 ? 0 : 1;
    m_bAutoPlay = shell::SkinInt("imconfig", "autoplay", 0) ? 1 : 0;
    // The panes as the user left them, and the splitters' places.
    savedHistoryHeight_ = shell::SkinInt("imconfig", "postion", -1);
    savedColumnWidth_ = shell::SkinInt("imconfig", "postion2", -1);
    hideHistory_ = shell::SkinInt("imconfig", "hide_history", 0) != 0;
    peerPanel_->SetCollapsed(hideHistory_);
    ownPanel_->SetCollapsed(shell::SkinInt("imconfig", "hide_send", 0) != 0);
    ownPanel_->SetPictureName(shell::g_panelPicture);
    ApplyPlacement();

    // The input box: 275 characters at most, change notices on; the main window's chat font.
    input_->SetTextLimit(275);
    input_->SetNotifyMask(ENM_CHANGE);
    connect(input_, &QTextEdit::textChanged, this, [this] {
        if (input_->NotifyMask() & ENM_CHANGE) OnInputChange();
    });
    input_->viewport()->installEventFilter(this);
    input_->viewport()->setMouseTracking(true);
    // A character typed in the other views goes to the input box.
    for (QWidget* view : std::initializer_list<QWidget*>{history_, memberList_, recipient_}) view->installEventFilter(this);
    // The edit commands follow the selections, the undo buffer and the clipboard.
    connect(input_, &QTextEdit::selectionChanged, this, [this] { RefreshEditCommands(); });
    connect(history_, &QTextEdit::selectionChanged, this, [this] { RefreshEditCommands(); });
    connect(input_->document(), &QTextDocument::undoAvailable, this, [this] { RefreshEditCommands(); });
    if (QApplication::clipboard())
        connect(QApplication::clipboard(), &QClipboard::dataChanged, this, [this] { RefreshEditCommands(); });
    input_->setContextMenuPolicy(Qt::NoContextMenu);
    const chat::ChatFontSetting& chatFont = chat::AppChatFont();
    if (chatFont.chosen) ApplyInputFont(chatFont.font, chatFont.colour);
    OnLanguageChanged();
}

void CIMDlg::ApplyPlacement() {
    // History height ("postion") and chat column width ("postion2"); below 1 they follow the window.
    const int w = width(), h = height();
    const int columnWidth = savedColumnWidth_ < 1 ? w - 146 : savedColumnWidth_;
    const int historyHeight = savedHistoryHeight_ < 1 ? h - (60 + 5) - 88 - 10 : savedHistoryHeight_;
    historyHeight_ = std::max(160, historyHeight);
    columnWidth_ = std::max(kMinColumn, std::min(columnWidth, w - kMinMembers));
    LayoutPanes();
}

void CIMDlg::LoadStateButtons() {
    // The skin's state pictures: the member area goes to the right and comes back to the left. A skin
    // without them leaves the buttons their plain arrows.
    auto set = [](QToolButton* button, const char* picture, const char* selected, Qt::ArrowType fallback) {
        const QIcon icon = chat::StateButtonIcon(picture, selected);
        button->setArrowType(icon.isNull() ? fallback : Qt::NoArrow);
        button->setIcon(icon);
        button->setIconSize(QSize(CIMSkinPanel::kStrip, 18));
    };
    set(memberArrow_, "im_state_rightnormal.bmp", "im_state_rightselect.bmp", Qt::RightArrow);
    set(memberStrip_, "im_state_normal.bmp", "im_state_select.bmp", Qt::LeftArrow);
}

void CIMDlg::EnterTestMode() {
    m_bModal = 1;
    peerPanel_->SetCollapsed(true);
    LayoutPanes();
}

void CIMDlg::LayoutPanes() {
    if (!body_ || !side_ || !composeRow_ || !memberStrip_) return;
    const int bar = CSplitterBar::kThickness;
    const QRect r = body_->rect().adjusted(8, 8, -8, -8);
    if (r.width() <= 0 || r.height() <= 0) return;
    // The history keeps at least 160 pixels and leaves the input row at least 88, and never less than its
    // tool bar, input box and button row need: the buttons are not cut off at the bottom.
    const int inputMin = std::max(88, composeRow_->minimumSizeHint().height());
    const int room = std::max(0, r.height() - bar - inputMin);  // the most the history may take
    const int historyH = std::min(std::max(160, std::min(historyHeight_, room)), room);
    historyRow_->setGeometry(r.x(), r.y(), r.width(), historyH);
    bar1086_->setGeometry(r.x(), r.y() + historyH, r.width(), bar);
    composeRow_->setGeometry(r.x(), r.y() + historyH + bar, r.width(), std::max(0, r.height() - historyH - bar));
    // The bar's centre line may go from 160 below the top to the input row's least height above the bottom.
    bar1086_->SetRange(r.y() + 160 + bar / 2, r.y() + r.height() - inputMin - bar + bar / 2);

    // The history row: the chat column, then bar 1088 and the member area (at least 138 wide); the
    // peer's pane of a one-to-one chat is as wide as its picture pane and has no bar beside it.
    const int w = r.width(), h = historyH;
    const bool members = m_chatType != CHAT_ONE;
    const bool sideShown = side_->isVisibleTo(historyRow_);
    const bool barShown = members && sideShown && !(m_bModal && hideHistory_);
    bar1088_->setVisible(barShown);
    if (!members) {
        const int sideW = peerPanel_->Collapsed() ? CIMSkinPanel::kStrip + 2 : CIMSkinPanel::kWidth;
        side_->setGeometry(w - sideW, 0, sideW, h);
        history_->setGeometry(0, 0, std::max(0, w - sideW - 4), h);
    } else if (!sideShown) {
        memberStrip_->setGeometry(w - CIMSkinPanel::kStrip, 0, CIMSkinPanel::kStrip, h);
        history_->setGeometry(0, 0, std::max(0, w - CIMSkinPanel::kStrip - 4), h);
    } else {
        const int chatW = std::max(kMinColumn, std::min(columnWidth_, w - bar - kMinMembers));
        history_->setGeometry(0, 0, chatW, h);
        bar1088_->setGeometry(chatW, 0, bar, h);
        side_->setGeometry(chatW + bar, 0, std::max(0, w - chatW - bar), h);
        bar1088_->SetRange(kMinColumn + bar / 2, std::max(kMinColumn, w - bar - kMinMembers) + bar / 2);
    }
}

bool CIMDlg::CreateChatWindow() {
    QTimer::singleShot(0, this, [this] {
        if (m_sessionTicks >= 0) sessionTimer_.start();
    });
    return true;
}

void CIMDlg::ShowChatWindow() {
    show();
    RefreshTitle();
}

void CIMDlg::BringToTop() {
    raise();
    activateWindow();
}

bool CIMDlg::IsActiveChatWindow() const { return isActiveWindow(); }

void CIMDlg::DestroyLater() {
    closedByRegistry_ = true;
    if (isVisible()) hide();
    deleteLater();
}

std::string CIMDlg::Text(const char* key, const char* english) const { return ToAnsi(ChatText("im_dlg", key, english)); }

void CIMDlg::OnLanguageChanged() {
    roomTitleCleared_ = false;  // the texts name a group or room window's kind again
    roomTitleDue_ = true;
    auto set = [this](int id, const char* key, const char* chinese) {
        if (!actions_.count(id)) return;
        QAction* a = actions_[id];
        a->setText(WithoutShortcutText(ChatText("im_dlg", key, chinese), a->shortcut()));
    };
    QList<QAction*> menus = menuBar_->actions();
    const char* menuKeys[][2] = {{"im_menu0", "文件(&F)"}, {"im_menu1", "编辑(&E)"}, {"im_menu2", "动作(&V)"}, {"im_menu3", "设置(&Z)"}};
    for (int i = 0; i < menus.size() && i < 4; ++i) menus[i]->setText(ChatText("im_dlg", menuKeys[i][0], menuKeys[i][1]));
    set(ID_VIEW_RECORDS, "im_menu0_0", "查看聊天记录(&I)");
    set(ID_CLOSE, "im_menu0_1", "关闭(&C)");
    set(ID_UNDO, "im_menu1_0", "撤销(&Z)");
    set(ID_COPY, "im_menu1_1", "拷贝(&C)");
    set(ID_CUT, "im_menu1_2", "剪切(&X)");
    set(ID_PASTE, "im_menu1_3", "粘贴(&V)");
    set(ID_DELETE, "im_menu1_4", "删除(&D)");
    set(ID_SELECT_ALL, "im_menu1_5", "全选(&A)");
    set(ID_FONT_MENU, "im_menu1_6", "字体(&F)");
    set(ID_INVITE, "im_menu2_0", "邀请加入对话(&T)");
    set(ID_KICK, "im_menu2_1", "踢出用户(&K)");
    set(ID_END, "im_menu2_2", "结束会话(&E)");
    set(ID_BLOCK, "im_menu2_3", "阻止用户(&B)");
    set(ID_ENTER_SENDS, "im_menu3_0", "按Enter发送");
    set(ID_CTRL_ENTER_SENDS, "im_menu3_1", "按Ctrl+Enter发送");
    auto bar = [this](int id, const char* key, const char* chinese, const char* tipKey, const char* tip) {
        QAction* a = actions_.count(id + 100000) ? actions_[id + 100000] : actions_[id];
        if (!a) return;
        a->setText(ChatText("im_dlg", key, chinese));
        a->setToolTip(ChatText("im_tooltip", tipKey, tip));
    };
    bar(ID_INVITE, "im_bar_invite", "邀请", "im_bar_invite", "邀请其他人加入当前会议");
    bar(ID_CALL, "im_bar_call", "呼叫", "im_bar_call", "播打电话");
    bar(ID_KICK, "im_bar_kick", "踢出用户", "im_bar_kick", "将选中的人员从当前会话中踢出");
    bar(ID_END, "im_bar_end", "结束会话", "im_bar_end", "结束当前会话");
    bar(ID_BLOCK, "im_bar_block", "阻止", "im_bar_block", "将选中的人员加入黑名单");
    bar(ID_AUTOPLAY, "im_bar_autoplay", "自动播放", "im_bar_autoptt", "选中自动播放语音短信状态");
    bar(ID_FONT, "im_bar_font", "字体", "im_bar_font", "修改文本窗口中的文字字体");
    bar(ID_EMOTICONS, "im_bar_action", "表情", "im_bar_action", "表情菜单");
    send_->setText(ChatText("im_dlg", "im_send", "发送(&S)"));
    send_->setToolTip(ChatText("im_tooltip", "im_sendbutton", "单击这里以发送消息"));
    ptt_->setText(Plain(ChatText("im_dlg", "im_bar_ptt", "按住讲话")));
    ptt_->setToolTip(ChatText("im_tooltip", "im_bar_ptt", "一直按住鼠标左键，发送语音信息"));
    memberLabel_->setText(ChatText("im_dlg", "im_privacy1", "To") + " ");
    recipientLabel_->setText(ChatText("im_dlg", "im_privacy2", "") + " ");
    // A blank label would only take a row from the member list.
    recipientLabel_->setVisible(!recipientLabel_->text().trimmed().isEmpty());
    peerPanel_->OnLanguageChanged();
    ownPanel_->OnLanguageChanged();
    inviteTexts_ = QStringList{
        ChatText("invite_dlg", "header",
                 "选择要将其添加到对话框中的人，然后单击“确定”(若选择多个人，请在单击的同时按住Ctrl或Shift键)"),
        ChatText("invite_dlg", "title", "邀请加入会议"), ChatText("invite_dlg", "confirm", "确定(&O)"),
        ChatText("invite_dlg", "cancel", "取消(&C)")};
    if (inviteDialog_) {
        if (ChatWindowHooks().inviteTexts) ChatWindowHooks().inviteTexts(inviteDialog_, inviteTexts_);
        WindowMessageEvent changed(WM_USER + 1000, 0, 0);
        QCoreApplication::sendEvent(inviteDialog_, &changed);
    }
    memberStrip_->setToolTip(ChatText("im_tooltip", "im_button", "隐藏或显示当前窗口"));
    RefreshCommands();
    // A language change leaves the caption im_title alone; the first load comes before the session's
    // set-up, which still writes the title into it.
    if (languageLoaded_) plainCaption_ = true;
    languageLoaded_ = true;
    ViewMembersChanged();
    if (plainCaption_) setWindowTitle(ChatText("im_dlg", "im_title", "QZ文本消息"));
}

QString CIMDlg::TitleText() const { return title_->text(); }

void CIMDlg::SetOneMemberTitle(void*) {
    oneMemberTitle_ = true;
    RefreshTitle();
}

void CIMDlg::RefreshTitle() {
    QString title;
    if (oneMemberTitle_ && m_members.empty() && (m_chatType == CHAT_ONE || m_chatType == CHAT_SEVERAL)) {
        title = "1 " + ChatText("im_dlg", "im_chatcnt", "参与者");
    } else if (m_chatType == CHAT_ONE && !m_members.empty()) {
        const auto& peer = m_members[0];
        title = FromAnsi(peer.name) + BookSuffix(peer);
    } else if (m_chatType == CHAT_SEVERAL) {
        title = QString("%1 ").arg(m_members.size() + 1) + ChatText("im_dlg", "im_chatcnt", "参与者");
    } else {
        QString name = FromAnsi(m_szRoomName);
        // "(kind)name"; a language may space the two.
        const QString kindTitle = shell::LangFormatText("im_dlg", "im_kindtitle", "(%s)%s");
        QString kind;
        if (m_chatType == CHAT_TEMP_GROUP) kind = ChatText("im_dlg", "im_tempgrp", "Temp Group");
        else if (m_chatType == CHAT_GROUP) kind = shell::FillFormat(kindTitle, {ChatText("im_dlg", "im_group", "Group"), name});
        else kind = shell::FillFormat(kindTitle, {ChatText("im_dlg", "im_chatroom", "Chat room"), name});
        const QString count = m_roomMembers.size() < 2 ? QString()
                                                       : QString("%1 ").arg(m_roomMembers.size()) + ChatText("im_dlg", "im_chatcnt", "参与者");
        if (!roomTitleCleared_) {
            // Made when the texts are loaded, and kept until they are loaded again.
            if (roomTitleDue_) roomTitle_ = count.isEmpty() ? kind : count;
            roomTitleDue_ = false;
            title = roomTitle_;
        }
    }
    title_->setText(title);
    QString caption = ChatText("im_dlg", "im_title", "QZ文本消息");
    setWindowTitle(title.isEmpty() || plainCaption_ ? caption : caption + " - " + title);
}

void CIMDlg::RefreshPanels() {
    // The peer's pane: picture from its file (grey while offline), name and state.
    if (m_chatType == CHAT_ONE && !m_members.empty()) {
        const auto& peer = m_members[0];
        const std::string file = chat::BookPicture(peer.userId);
        if (file != peerPanel_->PictureName() || peerPanel_->ShownPicture().isNull()) peerPanel_->SetPictureName(file);
        peerPanel_->SetOnline(peer.online == 1);
        peerPanel_->SetTexts(FromAnsi(peer.name), peer.online == 1 ? ChatText("addrbook_dialog", "online", "Online")
                                                                 : ChatText("addrbook_dialog", "offline", "Offline"));
    }
    ownPanel_->SetTexts(FromAnsi(ownName_), QString());
}

QIcon CIMDlg::MemberIcon(const PresenceBuddyRecord& m, bool own) const {
    const shell::ShellPaths& paths = shell::Paths();
    const chat::HeadPictureFiles pics = own ? chat::LoadHeadPictureOrDefault(paths.headPicFolder, shell::g_panelPicture, paths.defaultHeadPic)
                                            : chat::LoadHeadPicture(paths.headPicFolder, chat::BookPicture(m.userId));
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    if (!pics.colour.isNull()) {
        const QImage& img = own || m.online == 1 ? pics.colour : pics.grey;
        pixmap = ctl::KeyedPixmap(img.scaled(32, 32, Qt::IgnoreAspectRatio, Qt::SmoothTransformation), RGB(255, 255, 255));
    }
    return QIcon(pixmap);
}

void CIMDlg::RefreshCommands() {
    auto enable = [this](int id, bool on) {
        if (actions_.count(id)) actions_[id]->setEnabled(on);
        if (actions_.count(id + 100000)) actions_[id + 100000]->setEnabled(on);
    };
    // The buttons and menu items each kind of chat has: a one-to-one or several-user chat has no room to
    // end or to kick from; a room's session is the robot's to end; blocking is for people, not rooms.
    auto show = [this](int id, bool bar, bool menu) {
        if (actions_.count(id + 100000)) actions_[id + 100000]->setVisible(bar);
        if (actions_.count(id)) actions_[id]->setVisible(menu);
    };
    const bool direct = m_chatType == CHAT_ONE || m_chatType == CHAT_SEVERAL;
    show(ID_END, !direct && m_chatType != CHAT_ROOM, !direct && m_chatType != CHAT_ROOM);
    show(ID_KICK, !direct, !direct);
    show(ID_BLOCK, direct, direct);
    show(ID_CALL, m_chatType != CHAT_GROUP, true);
    enable(ID_INVITE, m_bSessionActive && m_chatType != CHAT_ROOM);
    // Kick: some rows chosen; a single one must be somebody other than the user.
    const QList<QListWidgetItem*> chosen = memberList_->selectedItems();
    enable(ID_KICK, !chosen.isEmpty() && (chosen.size() != 1 || chosen[0]->data(Qt::UserRole).toInt() != 0));
    enable(ID_END, m_chatType == CHAT_TEMP_GROUP ? m_bInitiator != 0 : m_chatType == CHAT_GROUP);
    enable(ID_CALL, m_chatType == CHAT_ROOM ? false : m_chatType == CHAT_ONE ? (!m_members.empty() && m_members[0].online == 1) : [this] {
        const auto rows = memberList_->selectedItems();
        if (rows.size() != 1) return false;
        const PresenceBuddyRecord* m = RowMember(rows[0]->data(Qt::UserRole).toInt());
        return m && m->id > 0 && m->online == 1;
    }());
    // Block: a target with an id that the address book holds, and no answer outstanding.
    const PresenceBuddyRecord* target = blockPending_ ? nullptr : BlockTarget();
    const int state = target && target->id != 0 && target->userId[0] && ChatWindowHooks().bookState
                          ? ChatWindowHooks().bookState(target->userId) : -1;
    enable(ID_BLOCK, state >= 0);
    if (actions_.count(ID_BLOCK)) {
        const bool unblock = state == 1;
        actions_[ID_BLOCK]->setText(unblock ? ChatText("addrbook_dialog", "menucontactunblock", "解除阻止此用户(&B)")
                                            : ChatText("im_dlg", "im_menu2_3", "阻止用户(&B)"));
        if (QAction* button = actions_.count(ID_BLOCK + 100000) ? actions_[ID_BLOCK + 100000] : nullptr) {
            button->setText(unblock ? ChatText("im_dlg", "im_bar_unblock", "解除阻止") : ChatText("im_dlg", "im_bar_block", "阻止用户"));
            button->setToolTip(unblock ? ChatText("im_tooltip", "im_bar_unblock", "将选中的人员从黑名单中解除")
                                       : ChatText("im_tooltip", "im_bar_block", "将选中的人员加入黑名单"));
        }
    }
    actions_[ID_ENTER_SENDS]->setChecked(m_bEnterSends == 1);
    actions_[ID_CTRL_ENTER_SENDS]->setChecked(m_bEnterSends == 0);
    actions_[ID_AUTOPLAY]->setChecked(m_bAutoPlay != 0);
}

void CIMDlg::ViewMembersChanged() {
    if (!memberList_) return;
    const bool one = m_chatType == CHAT_ONE;
    side_->setCurrentIndex(one ? 0 : 1);
    side_->setVisible(one || memberAreaShown_);
    memberStrip_->setVisible(!one && !memberAreaShown_);
    FitSide();
    memberList_->clear();
    int chosen = recipient_->currentData().isValid() ? recipient_->currentData().toInt() : 0;
    recipient_->clear();
    recipient_->addItem(ChatText("im_dlg", "im_all", "All"), 0);
    const bool room = !one && m_chatType != CHAT_SEVERAL;
    const QString myself = ChatText("im_dlg", "im_myself", "(myself)");
    // The user's own row: the nickname, or the account's user name without one, cut so that it and
    // "(myself)" fit in 64 characters.
    const std::string ownShown = !ownName_.empty() || !m_pAccount || !m_pAccount->userName ? ownName_ : m_pAccount->userName;
    const QString ownRow = FromAnsi(ownShown).left(std::max<qsizetype>(0, 64 - myself.size())) + myself;
    const auto& list = ListedMembers();
    PresenceBuddyRecord self;
    if (!room) {
        auto* row = new QListWidgetItem(MemberIcon(self, true), ownRow);
        row->setData(Qt::UserRole, 0);
        memberList_->addItem(row);
    }
    for (const auto& m : list) {
        QString name = m.id == 0 ? ownRow : FromAnsi(m.name);
        if (m.id != 0 && !room) name += BookSuffix(m);
        // A room's member is there: only a blocked contact is marked.
        else if (m.id != 0 && m.userId[0] && ChatWindowHooks().bookState && ChatWindowHooks().bookState(m.userId) == 1)
            name += QString(" (%1)").arg(ChatText("addrbook_dialog", "block", "Block"));
        auto* item = new QListWidgetItem(MemberIcon(m, m.id == 0), name);
        item->setData(Qt::UserRole, m.id);
        memberList_->addItem(item);
        if (m.id != 0) recipient_->addItem(FromAnsi(m.name), m.id);
    }
    int at = recipient_->findData(chosen);
    recipient_->setCurrentIndex(at < 0 ? 0 : at);
    RefreshPanels();
    RefreshTitle();
    RefreshCommands();
    RefreshHint();
}

void CIMDlg::RefreshHint() {
    if (hint_) hint_->setText(ChatText("im_dlg", "im_receiver", "收件人:"));
}

QString CIMDlg::HintText() const { return hint_->text(); }

void CIMDlg::ViewShowMemberArea(bool show) {
    if (!side_) return;
    memberAreaShown_ = show;
    if (m_chatType == CHAT_ONE) return;
    side_->setCurrentIndex(1);
    side_->setVisible(show);
    memberStrip_->setVisible(!show);
    FitSide();
}

bool CIMDlg::MemberAreaShown() const { return m_chatType != CHAT_ONE && side_->isVisibleTo(this) && side_->currentIndex() == 1; }

void CIMDlg::FitSide() { LayoutPanes(); }

void CIMDlg::SetPeerPaneCollapsed(bool collapsed) {
    peerPanel_->SetCollapsed(collapsed);
    LayoutPanes();
}

void CIMDlg::SetOwnPaneCollapsed(bool collapsed) { ownPanel_->SetCollapsed(collapsed); }

void CIMDlg::ReloadPanelImage() {
    peerPanel_->ReloadPicture();
    ownPanel_->SetPictureName(shell::g_panelPicture);
    ViewMembersChanged();
}

RecipientChoice CIMDlg::ViewRecipientChoice() const {
    RecipientChoice c;
    if (m_chatType == CHAT_ONE || recipient_->currentIndex() < 0) return c;
    c.selected = true;
    c.userId = recipient_->currentData().toInt();
    c.entryText = ToAnsi(recipient_->currentText());
    return c;
}

void CIMDlg::ViewFocusInput() {
    if (isActiveWindow()) input_->setFocus();
}

void CIMDlg::EndLine() {
    history_->moveCursor(QTextCursor::End);
    history_->verticalScrollBar()->setValue(history_->verticalScrollBar()->maximum());
}

void CIMDlg::ViewHeader(const std::string& sender, const std::string& receiver, int64_t time, bool priv) {
    QTextCursor c(history_->document());
    c.movePosition(QTextCursor::End);
    const bool own = sender == ownName_;
    const QString colour = own ? "#2f6fc6" : "#1f8a4c";
    // "name 对 receiver 说(Privacy): (time)": the name in its colour, the rest in the header's grey.
    QString html = QString("<span style=\"color:%1;font-weight:600;\">%2</span>").arg(colour, Escape(FromAnsi(sender)));
    const auto grey = [](const QString& t) { return QString("<span style=\"color:#808080;\">%1</span>").arg(Escape(t)); };
    if (!receiver.empty()) {
        const QString say = ChatText("im_dlg", "im_privacy2", "说");
        html += grey(" " + ChatText("im_dlg", "im_privacy1", "对") + " " + FromAnsi(receiver) + (say.isEmpty() ? QString() : " " + say));
        if (priv) html += QString("<span style=\"color:#c0641c;\">%1</span>").arg(Escape(ChatText("im_dlg", "im_privacy", "(Privacy)")));
    }
    html += grey(": ");
    html += QString("<span style=\"color:#a0aab6;\">%1</span>").arg(TimeText(time));
    if (!history_->document()->isEmpty()) c.insertBlock();
    QTextBlockFormat block;
    block.setTopMargin(history_->document()->isEmpty() ? 0 : 8);
    c.setBlockFormat(block);
    c.insertHtml(html);
    EndLine();
}

void CIMDlg::AppendBody(const QString& text) {
    QTextCursor c(history_->document());
    c.movePosition(QTextCursor::End);
    // Written piece by piece in one edit, so the history lays the body out once; going through HTML took
    // time growing with the square of the pictures.
    c.beginEditBlock();
    c.insertBlock();
    QTextBlockFormat block;
    block.setLeftMargin(14);
    c.setBlockFormat(block);
    const QTextCharFormat body = BodyFormat(inputFormat_);
    QTextCharFormat link = body;
    link.setForeground(history_->palette().link());
    link.setFontUnderline(true);
    link.setAnchor(true);
    // Emoticon codes become pictures; everything else is text with its links.
    std::set<int> pictures;
    const std::u16string_view view(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size()));
    for (const chat::TextPiece& piece : chat::SplitEmoticons(view)) {
        if (piece.emoticon < 0) {
            InsertLinked(c, text.mid(static_cast<qsizetype>(piece.start), static_cast<qsizetype>(piece.length)), body, link);
            continue;
        }
        const QString name = QString("emoticon:%1").arg(piece.emoticon);
        if (pictures.insert(piece.emoticon).second)
            history_->document()->addResource(QTextDocument::ImageResource, QUrl(name), chat::EmoticonImage(piece.emoticon, 22));
        QTextImageFormat picture;
        picture.merge(body);
        picture.setName(name);
        picture.setWidth(22);
        picture.setHeight(22);
        c.insertImage(picture);
    }
    c.endEditBlock();
    EndLine();
}

void CIMDlg::ViewBody(const std::string& text) {
    const QString body = FromAnsi(text).trimmed();
    if (!body.isEmpty()) AppendBody(body);
}

void CIMDlg::ViewLine(const std::string& text) { AppendBody(FromAnsi(text)); }

void CIMDlg::ViewNotice(const std::string& text) {
    if (text.empty()) return;
    QTextCursor c = NewHistoryLine();
    QTextBlockFormat block;
    block.setTopMargin(8);
    c.setBlockFormat(block);
    // "System tip : (time)", and the notice on the next line.
    c.insertHtml(QString("<span style=\"color:#808080;\">%1 : </span><span style=\"color:#a0aab6;\">%2</span>")
                     .arg(Escape(ChatText("im_dlg", "im_systip", "System tip")), TimeText(-1)));
    c.insertBlock();
    QTextBlockFormat body;
    body.setLeftMargin(14);
    c.setBlockFormat(body);
    c.insertHtml(QString("<span style=\"color:#b0601a;font-weight:600;\">%1</span>").arg(Escape(FromAnsi(text))));
    EndLine();
}

void CIMDlg::SystemNotice(const std::string& text) {
    // The warning picture, the "not sent" header, and the notice as a message body.
    QTextCursor c = NewHistoryLine();
    c.insertHtml(QString("<a href=\"notice:\">%1</a> <span style=\"color:#808080;\">%2</span>")
                     .arg(HistoryPicture(202), Escape(ChatText("im_dlg", "im_warn", "以下消息未被发送"))));
    AppendBody(FromAnsi(text).trimmed());
    EndLine();
    if (!isActiveWindow()) QApplication::alert(this);
}

void CIMDlg::ViewInvitation(const std::string& invitation) {
    // "n1,name,n3,text": the inviter's name and the invitation's text, then the two answers.
    const QStringList fields = FromAnsi(invitation).split(',');
    const QString name = fields.value(1).trimmed(), text = fields.value(3).trimmed();
    QString line = text.isEmpty() ? shell::FillFormat(shell::LangFormatText("im_dlg", "im_invite2", "%s"), {name})
                                  : shell::FillFormat(shell::LangFormatText("im_dlg", "im_invite1", "%s:%s"), {name, text});
    const int n = static_cast<int>(invitationsAnswered_.size());
    invitationsAnswered_.push_back(false);
    ViewNotice(ToAnsi(line));
    QTextCursor c(history_->document());
    c.movePosition(QTextCursor::End);
    c.insertText("  ");
    const int from = c.position();
    c.insertHtml(QString("<a href=\"agree:%1\">%2</a>&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;<a href=\"reject:%1\">%3</a>")
                     .arg(n)
                     .arg(Escape(ChatText("im_dlg", "im_agree", "我同意")), Escape(ChatText("im_dlg", "im_reject", "拒绝参加"))));
    invitationLinks_.push_back({from, c.position()});
    EndLine();
}

QString CIMDlg::HistoryPicture(int id) {
    // The program's picture by number, registered with the history once; "" when it cannot be read.
    const QString name = QString("res:%1").arg(id);
    if (!history_->document()->resource(QTextDocument::ImageResource, QUrl(name)).isValid()) {
        const QImage picture = ctl::LoadBitmapFile(ctl::ResourcePath(id));
        if (picture.isNull()) return {};
        history_->document()->addResource(QTextDocument::ImageResource, QUrl(name), picture);
    }
    return QString("<img src=\"%1\">").arg(name);
}

// A cursor at the history's end, on a line of its own.
QTextCursor CIMDlg::NewHistoryLine() {
    QTextCursor c(history_->document());
    c.movePosition(QTextCursor::End);
    if (!history_->document()->isEmpty()) c.insertBlock();
    return c;
}

void CIMDlg::ViewRoomClosed() { QTimer::singleShot(0, this, [this] { close(); }); }

void CIMDlg::ViewHeaderLine(const std::string& text) {
    QTextCursor c = NewHistoryLine();
    QTextBlockFormat block;
    block.setTopMargin(8);
    c.setBlockFormat(block);
    c.insertHtml(QString("<span style=\"color:#808080;\">%1</span>").arg(Escape(FromAnsi(text))));
    EndLine();
}

void CIMDlg::ViewOffline() {
    QTextCursor c = NewHistoryLine();
    c.insertHtml(QString("%1 <span style=\"color:#808080;\">%2</span>")
                     .arg(HistoryPicture(208), Escape(ChatText("im_dlg", "im_offline", "您已经下线，请重新登陆"))));
    EndLine();
}

void CIMDlg::ViewSessionTimeout(const std::string& text) {
    // Indented as a message body, in the input's format; no header and no time.
    QTextCursor c = NewHistoryLine();
    QTextBlockFormat block;
    block.setLeftMargin(14);
    c.setBlockFormat(block);
    c.insertText(FromAnsi(text), BodyFormat(inputFormat_));
    EndLine();
}

void CIMDlg::ViewVoice(VoiceMessageEntry* entry, const std::string& line) {
    QTextCursor c = NewHistoryLine();
    QTextBlockFormat block;
    block.setTopMargin(8);
    c.setBlockFormat(block);
    entry->first = c.position();
    c.insertHtml(QString("<a href=\"voice:%1\">%2</a>").arg(entry->id).arg(HistoryPicture(201)));
    entry->last = c.position();
    // The line as it is made, its blanks kept; a line end inside a name would break it.
    QString text = FromAnsi(line);
    text.replace(QRegularExpression("[\r\n\t]"), " ");
    c.insertHtml(QString("&nbsp;<span style=\"color:#808080;white-space:pre;\">%1</span>").arg(Escape(text)));
    EndLine();
}

void CIMDlg::PlayVoice(int messageId) {
    if (PresenceConnectionRec* c = Connection()) presence_serv_play_message(c, messageId);
}

void CIMDlg::StopVoiceRecording() {
    if (PresenceConnectionRec* c = Connection()) presence_serv_stop_audio(c);
}

QString CIMDlg::HistoryText() const { return history_->toPlainText(); }

void CIMDlg::OnSend() {
    // Signed in but no account to send with: only the selection goes.
    const bool noAccount = m_bOnline && !m_pAccount;
    std::string text = input_->GetTextWithImageCodes(false, nullptr);
    SendOutcome outcome = SendText(text);
    // A busy lock keeps the typed text; everything else empties the box.
    if (noAccount) input_->textCursor().removeSelectedText();
    else if (outcome != SendOutcome::Busy) input_->clear();
    input_->document()->clearUndoRedoStacks();
    input_->setFocus();
}

void CIMDlg::SetCaptureProbe(std::function<int()> probe) { g_captureProbe = std::move(probe); }

void CIMDlg::OnPttPress() {
    const int code = g_captureProbe ? g_captureProbe() : shell::HasWaveInDevice();
    PttPress(code, GetTickCount());
    // Removed from the room: what was typed goes too.
    if (code == 0 && m_pAccount && m_bKicked) input_->clear();
}

void CIMDlg::OnPttRelease() {
    uint32_t wait = 0;
    if (!PttRelease(GetTickCount(), &wait) || !m_pAccount) return;
    if (m_bKicked) {
        input_->clear();  // removed from the room: what was typed goes too
        return;
    }
    ptt_->setEnabled(false);
    // The recording lasts at least half a second; the button comes back a second after the stop.
    QTimer::singleShot(static_cast<int>(wait), this, [this] {
        StopVoiceRecording();
        pttTimer_.start(1000);
    });
}

void CIMDlg::InsertEmoticon(int index) {
    const auto& table = chat::EmoticonTable();
    if (index < 0 || index >= static_cast<int>(table.size())) return;
    // The new length: the input's characters, less the selection it replaces, plus the code.
    int selected = 0;
    if (input_->textCursor().hasSelection()) {
        const std::string sel = input_->GetTextWithImageCodes(true, nullptr);
        selected = ctl::CountUnits(sel) / 2;
    }
    const int units = input_->CountTextUnits(nullptr, nullptr);
    if (units - selected + static_cast<int>(table[index].code.size()) > ctl::kChatCharLimit) return;
    input_->InsertImage(chat::EmoticonImage(index, 22), table[index].code);
    input_->setFocus();
}

int CIMDlg::InsertEmoticonImages(int start, int length, int* removed) {
    const unsigned mask = input_->NotifyMask();
    input_->SetNotifyMask(mask & ~ENM_CHANGE);
    int made = 0, taken = 0;
    QTextCursor c(input_->document());
    QString all = input_->toPlainText();
    int end = std::min<int>(all.size(), start + length);
    for (int i = std::max(0, start); i < end;) {
        int len = 0;
        int index = chat::EmoticonAt(all, i, &len);
        if (index < 0 || i + len > end) {
            ++i;
            continue;
        }
        c.setPosition(i);
        c.setPosition(i + len, QTextCursor::KeepAnchor);
        const QTextCharFormat keep = c.charFormat();
        c.removeSelectedText();
        input_->setTextCursor(c);
        input_->InsertImage(chat::EmoticonImage(index, 22), chat::EmoticonTable()[index].code);
        input_->setCurrentCharFormat(keep);
        all = input_->toPlainText();
        end -= len - 1;
        taken += len - 1;
        ++i;
        ++made;
    }
    if (removed) *removed = taken;
    input_->SetNotifyMask(mask);
    return made > 0 ? 0 : 1;
}

LRESULT CIMDlg::OnPasteText(const char* text) {
    if (!text) return 0;
    const unsigned mask = input_->NotifyMask();
    input_->SetNotifyMask(mask & ~ENM_CHANGE);
    QTextCursor c = input_->textCursor();
    const int start = c.selectionStart();
    const QString pasted = FromAnsi(text);
    c.insertText(pasted);
    input_->setTextCursor(c);
    InsertEmoticonImages(start, static_cast<int>(pasted.size()));
    input_->ClearPastePosition();
    input_->SetNotifyMask(mask);
    MarkInputLinks();
    return 0;
}

void CIMDlg::OnInputChange() {
    if (inInputChange_) return;
    inInputChange_ = true;
    const unsigned mask = input_->NotifyMask();
    input_->SetNotifyMask(mask & ~ENM_CHANGE);
    // Codes typed or pasted next to the caret become pictures: 8 characters either side.
    QTextCursor caret = input_->textCursor();
    const int size = input_->document()->characterCount() - 1;
    if (!caret.hasSelection()) {
        const int paste = input_->PastePosition();
        const int from = std::max(0, (paste >= 0 ? std::min(paste, caret.position()) : caret.position()) - 8);
        const int to = std::min(size, caret.position() + 8);
        const int before = input_->document()->characterCount();
        InsertEmoticonImages(from, to - from);
        const int shrunk = before - input_->document()->characterCount();
        QTextCursor c(input_->document());
        c.setPosition(std::clamp(caret.position() - shrunk, 0, input_->document()->characterCount() - 1));
        if (shrunk > 0) input_->setTextCursor(c);
    }
    input_->ClearPastePosition();
    // Nothing passes 275 characters (a picture counts as its code).
    if (input_->CountTextUnits(nullptr, nullptr) > ctl::kChatCharLimit) {
        int units = 0, cutAt = -1;
        for (QTextBlock b = input_->document()->begin(); b.isValid() && cutAt < 0; b = b.next()) {
            for (auto it = b.begin(); !it.atEnd() && cutAt < 0; ++it) {
                const QTextFragment f = it.fragment();
                const QByteArray code = f.charFormat().isImageFormat() ? f.charFormat().property(CChatRichEdit::kImageCodeProperty).toByteArray()
                                                                       : QByteArray();
                const QString t = f.text();
                for (int k = 0; k < t.size(); ++k) {
                    const int u = f.charFormat().isImageFormat() ? ctl::CountUnits(code.toStdString())
                                                                 : ctl::CountUnits(ToAnsi(QString(t[k])));
                    if (units + u > ctl::kChatUnitLimit) {
                        cutAt = f.position() + k;
                        break;
                    }
                    units += u;
                }
            }
            if (cutAt < 0 && b.next().isValid()) units += 2;  // the line break
            if (cutAt < 0 && units >= ctl::kChatUnitLimit && b.next().isValid()) cutAt = b.next().position() - 1;
        }
        if (cutAt >= 0) {
            const QTextCursor keep = input_->textCursor();
            QTextCursor c(input_->document());
            c.setPosition(cutAt);
            c.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
            c.removeSelectedText();
            QTextCursor back(input_->document());
            const int last = input_->document()->characterCount() - 1;
            back.setPosition(std::min(keep.anchor(), last));
            back.setPosition(std::min(keep.position(), last), QTextCursor::KeepAnchor);
            input_->setTextCursor(back);
        }
    }
    // The box takes no more than what is left beside its pictures.
    int pictures = 0;
    for (QTextBlock b = input_->document()->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isImageFormat()) pictures += it.fragment().length();
    input_->SetTextLimit(ctl::kChatCharLimit - pictures);
    MarkInputLinks();
    input_->SetNotifyMask(mask);
    inInputChange_ = false;
}

void CIMDlg::OpenEmoticonPicker() {
    CEmoticonPopup::OpenBelow(this, format_->Button(ID_EMOTICONS), 1);
}

void CIMDlg::ViewRecords() {
    int peer = 0;
    if (m_chatType == CHAT_ONE && !m_members.empty()) peer = m_members[0].id;
    else if (auto items = memberList_->selectedItems(); !items.isEmpty()) peer = std::max(0, items[0]->data(Qt::UserRole).toInt());
    if (ChatWindowHooks().viewRecords) ChatWindowHooks().viewRecords(peer);
}

void CIMDlg::OnHistoryClick(const QString& anchor) {
    if (anchor.startsWith("agree:") || anchor.startsWith("reject:")) {
        const int n = anchor.section(':', 1).toInt();
        if (n < 0 || n >= static_cast<int>(invitationsAnswered_.size()) || invitationsAnswered_[n]) return;
        invitationsAnswered_[n] = true;
        // Both answers leave the text once one is taken; later ranges move up by what was cut.
        const auto [from, to] = invitationLinks_[static_cast<size_t>(n)];
        QTextCursor c(history_->document());
        c.setPosition(from);
        c.setPosition(std::min(to, history_->document()->characterCount() - 1), QTextCursor::KeepAnchor);
        c.removeSelectedText();
        const int cut = to - from;
        for (auto& r : invitationLinks_)
            if (r.first >= to) r = {r.first - cut, r.second - cut};
        for (auto& e : m_voiceMsgs)
            if (e.first >= to) e.first -= cut, e.last -= cut;
        if (anchor.startsWith("agree:")) AcceptInvitation();
        else QTimer::singleShot(0, this, [this] { close(); });
        return;
    }
    if (anchor.startsWith("voice:")) {
        int id = anchor.mid(6).toInt();
        for (const auto& e : m_voiceMsgs)
            if (e.id == id && e.count >= 2) PlayVoice(id);
        return;
    }
    if (anchor.startsWith("notice:")) return;
    chat::ConfirmAndOpenLink(this, anchor);
}

void CIMDlg::MarkInputLinks() {
    // Addresses in the input box read as links (the text itself is left as typed).
    QList<QTextEdit::ExtraSelection> marks;
    const QString text = input_->toPlainText();
    auto it = LinkPattern().globalMatch(text);
    while (it.hasNext()) {
        const auto m = it.next();
        QTextEdit::ExtraSelection sel;
        sel.cursor = QTextCursor(input_->document());
        sel.cursor.setPosition(static_cast<int>(m.capturedStart()));
        sel.cursor.setPosition(static_cast<int>(m.capturedEnd()), QTextCursor::KeepAnchor);
        sel.format.setForeground(kAccent);
        sel.format.setFontUnderline(true);
        marks << sel;
    }
    input_->setExtraSelections(marks);
}

void CIMDlg::OnInputClick(const QPoint& at) {
    const int pos = input_->cursorForPosition(at).position();
    const QString text = input_->toPlainText();
    auto it = LinkPattern().globalMatch(text);
    while (it.hasNext()) {
        const auto m = it.next();
        if (pos >= m.capturedStart() && pos < m.capturedEnd()) {
            chat::ConfirmAndOpenLink(this, m.captured());
            return;
        }
    }
}

bool CIMDlg::eventFilter(QObject* watched, QEvent* e) {
    if (watched == body_ && e->type() == QEvent::Resize) LayoutPanes();
    if (e->type() == WindowMessageEvent::eventType() && watched != this) {
        auto* m = static_cast<WindowMessageEvent*>(e);
        m->result = SendChatMessage(m->message, m->wParam, m->lParam);
        return true;
    }
    if (!input_ || !history_) return QDialog::eventFilter(watched, e);
    if (watched == input_ && e->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(e);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            const bool ctrl = key->modifiers() & Qt::ControlModifier;
            if (ctrl != (m_bEnterSends == 1)) {
                OnSend();
                return true;
            }
            // The other key ends the input with a line break.
            input_->moveCursor(QTextCursor::End);
            input_->textCursor().insertText("\n");
            return true;
        }
    }
    if (watched != input_ && e->type() == QEvent::KeyPress &&
        (watched == history_ || watched == memberList_ || watched == recipient_)) {
        auto* key = static_cast<QKeyEvent*>(e);
        const QString typed = key->text();
        if (!typed.isEmpty() && typed.at(0).isPrint() && !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
            input_->setFocus();
            QKeyEvent copy(QEvent::KeyPress, key->key(), key->modifiers(), typed, key->isAutoRepeat(), key->count());
            QCoreApplication::sendEvent(input_, &copy);
            return true;
        }
    }
    // Copy and select all follow the view last clicked.
    if (e->type() == QEvent::MouseButtonPress && (watched == history_->viewport() || watched == input_->viewport())) {
        lastClickInHistory_ = watched == history_->viewport();
        RefreshEditCommands();
    }
    if (e->type() == QEvent::ContextMenu && (watched == history_->viewport() || watched == input_->viewport())) {
        auto* m = static_cast<QContextMenuEvent*>(e);
        QMenu* menu = ContextMenuFor(watched == history_->viewport() ? static_cast<QWidget*>(history_) : input_);
        menu->exec(m->globalPos());
        return true;
    }
    if (watched == history_->viewport() && e->type() == QEvent::MouseButtonRelease) {
        auto* m = static_cast<QMouseEvent*>(e);
        QString anchor = history_->anchorAt(m->position().toPoint());
        if (!anchor.isEmpty() && m->button() == Qt::LeftButton) {
            OnHistoryClick(anchor);
            return true;
        }
    }
    if (watched == input_->viewport() && e->type() == QEvent::MouseButtonRelease) {
        auto* m = static_cast<QMouseEvent*>(e);
        if (m->button() == Qt::LeftButton && !input_->textCursor().hasSelection()) OnInputClick(m->position().toPoint());
    }
    if (watched == input_->viewport() && e->type() == QEvent::MouseMove) {
        // Over an address the cursor says it can be opened.
        auto* m = static_cast<QMouseEvent*>(e);
        const int pos = input_->cursorForPosition(m->position().toPoint()).position();
        bool over = false;
        for (const auto& sel : input_->extraSelections())
            over = over || (pos >= sel.cursor.selectionStart() && pos < sel.cursor.selectionEnd());
        input_->viewport()->setCursor(over ? Qt::PointingHandCursor : Qt::IBeamCursor);
    }
    return QDialog::eventFilter(watched, e);
}

bool CIMDlg::event(QEvent* e) {
    if (e->type() == WindowMessageEvent::eventType()) {
        auto* m = static_cast<WindowMessageEvent*>(e);
        m->result = SendChatMessage(m->message, m->wParam, m->lParam);
        return true;
    }
    return QDialog::event(e);
}

LRESULT CIMDlg::SendChatMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    auto* record = reinterpret_cast<PresenceMessageRecord*>(lParam);
    switch (message) {
        case WM_PRESENCE_TEXT: {
            LRESULT r = OnReceiveText(reinterpret_cast<const char*>(wParam), record);
            ViewMembersChanged();
            // The room answered: a join waiting for it is over.
            if (record && (record->command == CRC_START || record->command == CRC_RESULT) && registry_ &&
                registry_->waitDialog)
                static_cast<CChatWaitDlg*>(registry_->waitDialog)->Answered();
            if (!isActiveWindow()) QApplication::alert(this);
            return r;
        }
        case WM_PRESENCE_VOICE: return OnReceiveVoice(static_cast<int>(wParam), record);
        case WM_VOICE_ECHO: return OnVoiceEcho(static_cast<int>(wParam), record);
        case WM_PTT_PRESS: OnPttPress(); return 1;
        case WM_PTT_RELEASE: OnPttRelease(); return 1;
        case WM_PRESENCE_BUDDY: return OnPresenceChange(wParam, reinterpret_cast<const PresenceBuddyRecord*>(lParam));
        case WM_IM_CLOSE:
            closedByRegistry_ = true;
            // A dialog still running over the window (invitation, font) ends first.
            for (QDialog* open : findChildren<QDialog*>(Qt::FindDirectChildrenOnly))
                if (open->isVisible()) open->reject();
            if (wParam == 1) hide();
            close();
            return 0;
        case WM_USER + 1000: OnLanguageChanged(); return 1;
        case WM_SKIN_CHANGED:
            peerPanel_->ReloadPicture();
            ownPanel_->ReloadPicture();
            LoadStateButtons();
            return 1;
        case WM_USER + 206: m_bOnline = lParam != 0; return 1;
        case WM_CHAT_PASTE: return OnPasteText(reinterpret_cast<const char*>(lParam));
        case WM_SYSTEM_NOTICE:
            if (wParam) SystemNotice(reinterpret_cast<const char*>(wParam));
            return 0;
        case WM_MEMBER_AREA:
            // The state button: show or hide the member list and the splitter beside it.
            if (wParam == 0) ViewShowMemberArea(lParam != 0);
            return 0;
        case WM_PICTURE_MENU:
            ShowPictureMenu(static_cast<int>(wParam), QPoint(static_cast<int>((lParam >> 16) & 0xFFFF), static_cast<int>(lParam & 0xFFFF)));
            return 0;
        case 0x7FE: InsertEmoticon(static_cast<int>(wParam)); return 0;
        case WM_BLOCK_REQUEST: return OnBlockRequest(reinterpret_cast<const char*>(lParam));
        case WM_BLOCK_ANSWER: return OnBlockResult(false, wParam, reinterpret_cast<const char*>(lParam));
        case WM_UNBLOCK_ANSWER: return OnBlockResult(true, wParam, reinterpret_cast<const char*>(lParam));
        default: return 0;
    }
}

// ---- invite, call, block and the input font ----

void CIMDlg::OnInvite() {
    if (!m_bSessionActive || m_chatType == CHAT_ROOM || !ChatWindowHooks().invite) return;
    std::set<int32_t> members;
    for (const auto& m : m_members) members.insert(m.id);
    QPointer<CIMDlg> self(this);
    QDialog* dialog = ChatWindowHooks().invite(this, m_pAccount, members, [self](const std::vector<const PresenceBuddyRecord*>& chosen, const std::string& extra) {
        if (!self) return;
        std::vector<PresenceBuddyRecord> users;
        for (const PresenceBuddyRecord* r : chosen)
            if (r) users.push_back(*r);
        self->InviteUsers(users, extra);
    });
    if (!dialog) return;
    QPointer<QDialog> running(dialog);
    if (ChatWindowHooks().inviteTexts) ChatWindowHooks().inviteTexts(dialog, inviteTexts_);
    inviteDialog_ = dialog;
    dialog->exec();
    if (self) inviteDialog_ = nullptr;
    delete running.data();
}

void CIMDlg::InviteUsers(const std::vector<PresenceBuddyRecord>& users, const std::string& extra) {
    const bool room = m_chatType == CHAT_TEMP_GROUP || m_chatType == CHAT_GROUP || m_chatType == CHAT_ROOM;
    if (room) m_roomCmd.ClearArgs();
    for (const PresenceBuddyRecord& u : users) {
        if (m_members.size() >= kChatMaxMembers) {
            DebugTrace(MOD_QZ, 3, "Max user(%d) limit ", static_cast<int>(kChatMaxMembers));
            break;
        }
        // A second member turns a one-to-one chat into a several-user chat; no room packet goes out.
        if (!AddMember(&u)) continue;
        if (room) m_roomCmd.AppendId(u.id);
    }
    if (room && !m_roomCmd.args().empty() && m_roomCmd.BuildInvite(extra)) {
        const int sent = m_roomCmd.Send(Connection(), nullptr, 0);
        ViewNotice(sent == 0 ? Text("im_invite", "You invite succeeded") : ResultText(CRC_INVITE, "2"));
        EndLine();
    }
    ViewMembersChanged();
}

const PresenceBuddyRecord* CIMDlg::RowMember(int id) const {
    for (const PresenceBuddyRecord& m : ListedMembers())
        if (m.id == id) return &m;
    return nullptr;
}

void CIMDlg::OnCall() {
    const PresenceBuddyRecord* target = nullptr;
    if (m_chatType == CHAT_ONE) {
        if (!m_members.empty()) target = &m_members[0];
    } else if (memberList_->selectedItems().size() == 1) {
        target = RowMember(memberList_->selectedItems()[0]->data(Qt::UserRole).toInt());
    }
    if (!target || target->id <= 0 || target->online != 1 || !ChatWindowHooks().callMember) return;
    const PresenceBuddyRecord copy = *target;  // the call may change the member list
    ChatWindowHooks().callMember(copy);
}

const PresenceBuddyRecord* CIMDlg::BlockTarget() const {
    if (m_chatType != CHAT_ONE) {
        const auto rows = memberList_->selectedItems();
        return rows.size() == 1 ? FindMember(rows[0]->data(Qt::UserRole).toInt()) : nullptr;
    }
    return m_members.empty() ? nullptr : &m_members.back();
}

void CIMDlg::OnBlock() {
    const PresenceBuddyRecord* target = blockPending_ ? nullptr : BlockTarget();
    if (!target || target->id <= 0 || !target->userId[0] || !ChatWindowHooks().sendBlock) return;
    const int state = ChatWindowHooks().bookState ? ChatWindowHooks().bookState(target->userId) : -1;
    if (state < 0) return;
    const std::string userId = target->userId;
    const int command = state == 1 ? 14 : 13;
    if (!ChatWindowHooks().sendBlock(command, userId)) return;
    blockPending_ = true;
    blockMember_ = target->id;
    RefreshCommands();
    // The other windows with this member wait for the same answer.
    if (registry_ && !registry_->Lock()) {
        registry_->Broadcast(WM_BLOCK_REQUEST, static_cast<WPARAM>(command), reinterpret_cast<LPARAM>(userId.c_str()));
        registry_->Unlock();
    }
}

LRESULT CIMDlg::OnBlockRequest(const char* userId) {
    if (blockPending_ || !userId || !*userId) return 1;
    const PresenceBuddyRecord* member = nullptr;
    for (const auto& m : m_members)
        if (std::strcmp(m.userId, userId) == 0) member = &m;
    if (!member) return 0;
    blockPending_ = true;
    blockMember_ = member->id;
    // In a several-user window the buttons follow only when that member is the one selected row.
    if (m_chatType != CHAT_ONE) {
        const auto rows = memberList_->selectedItems();
        if (rows.size() != 1 || rows[0]->data(Qt::UserRole).toInt() != member->id) return 1;
    }
    RefreshCommands();
    return 1;
}

LRESULT CIMDlg::OnBlockResult(bool unblock, WPARAM result, const char* userId) {
    const PresenceBuddyRecord* member = nullptr;
    for (const auto& m : m_members)
        if (userId && std::strcmp(m.userId, userId) == 0) member = &m;
    if (!member) return 0;
    if (member->id == blockMember_) blockMember_ = -1;
    blockPending_ = false;
    // The address book holds the new state by now: rows, chooser and title follow it.
    if (result == 0) ViewMembersChanged();
    else {
        ViewNotice(Text(unblock ? "failed_unblock" : "failed_block", unblock ? "解除阻止失败" : "阻止用户失败"));
        EndLine();
    }
    RefreshCommands();
    return 1;
}

LRESULT CIMDlg::OnPresenceChange(WPARAM wParam, const PresenceBuddyRecord* record) {
    // The open invitation dialog keeps its list of buddies from the same notices.
    if (inviteDialog_) {
        WindowMessageEvent forward(WM_PRESENCE_BUDDY, wParam, reinterpret_cast<LPARAM>(record));
        QCoreApplication::sendEvent(inviteDialog_, &forward);
    }
    if (!record) return 0;
    PresenceBuddyRecord* member = nullptr;
    for (auto& m : m_members)
        if (m.id == record->id && m.id != 0) member = &m;
    if (!member) return 0;
    member->online = record->online == 1 ? 1 : 0;
    // The address book's name and contact for the member, as the book holds them now.
    PresenceBuddyRecord fresh = *member;
    if (chat::BookMemberByUid(member->id, &fresh)) {
        std::memcpy(member->name, fresh.name, sizeof member->name);
        std::memcpy(member->userId, fresh.userId, sizeof member->userId);
    }
    if (m_chatType == CHAT_ONE) {
        RefreshPanels();
        RefreshTitle();
        RefreshCommands();
        return 1;
    }
    if (m_chatType != CHAT_SEVERAL) return 1;
    // The row and the chooser entry change in place, so selection and choice stay.
    for (int row = 0; row < memberList_->count(); ++row) {
        QListWidgetItem* item = memberList_->item(row);
        if (item->data(Qt::UserRole).toInt() == member->id) {
            item->setText(FromAnsi(member->name) + BookSuffix(*member));
            item->setIcon(MemberIcon(*member, false));
        }
    }
    // The chooser's entry in place: the chosen entry stays chosen.
    if (const int at = recipient_->findData(member->id); at >= 0) recipient_->setItemText(at, FromAnsi(member->name));
    RefreshTitle();
    RefreshCommands();
    return 1;
}

QString CIMDlg::BookSuffix(const PresenceBuddyRecord& m) const {
    // Blocked wins over offline.
    if (m.userId[0] && ChatWindowHooks().bookState && ChatWindowHooks().bookState(m.userId) == 1)
        return QString(" (%1)").arg(ChatText("addrbook_dialog", "block", "Block"));
    if (m.online != 1) return QString(" (%1)").arg(ChatText("addrbook_dialog", "offline", "Offline"));
    return QString();
}

void CIMDlg::ApplyInputFont(const QFont& font, const QColor& color) {
    QTextCharFormat f;
    f.setFont(font);
    if (color.isValid()) f.setForeground(color);
    inputFormat_ = f;
    // The whole input box takes it; the selection stays where it was.
    const unsigned mask = input_->NotifyMask();
    input_->SetNotifyMask(mask & ~ENM_CHANGE);
    const QTextCursor keep = input_->textCursor();
    QTextCursor all(input_->document());
    all.select(QTextCursor::Document);
    all.mergeCharFormat(f);
    input_->setTextCursor(keep);
    input_->setCurrentCharFormat(f);
    input_->SetNotifyMask(mask);
}

void CIMDlg::ChooseFont() {
    QFont font = inputFormat_.hasProperty(QTextFormat::FontFamilies) ? inputFormat_.font() : input_->currentFont();
    QColor colour = inputFormat_.foreground().style() != Qt::NoBrush ? inputFormat_.foreground().color() : QColor(Qt::black);
    if (!chat::ChooseChatFont(this, &font, &colour)) return;
    ApplyInputFont(font, colour);
    // The main window keeps it for the next chat window.
    chat::ChatFontSetting& app = chat::AppChatFont();
    app.font = font;
    app.colour = colour;
    app.chosen = true;
}

QMenu* CIMDlg::ContextMenuFor(QWidget* view) {
    const bool history = view == history_;
    QMenu*& menu = history ? historyMenu_ : inputMenu_;
    if (!menu) menu = new QMenu(this);
    menu->clear();
    RefreshEditCommands();
    auto item = [&](int id, const char* key, const char* chinese) {
        static const QRegularExpression keyName(R"(\s+(Ctrl|Alt)\+\w+\s*$)");
        QAction* a = menu->addAction(ChatText("im_dlg", key, chinese).remove(keyName).left(63));
        a->setEnabled(actions_[id]->isEnabled());
        QAction* target = actions_[id];
        connect(a, &QAction::triggered, this, [this, target, history] {
            lastClickInHistory_ = history;
            target->trigger();
        });
    };
    // The context menus read the menu texts without their key names.
    if (history) {
        lastClickInHistory_ = true;
        RefreshEditCommands();
        item(ID_COPY, "im_menu1_1", "拷贝(&C)");
        menu->addSeparator();
        item(ID_SELECT_ALL, "im_menu1_5", "全选(&A)");
    } else {
        lastClickInHistory_ = false;
        RefreshEditCommands();
        item(ID_UNDO, "im_menu1_0", "撤销(&Z)");
        menu->addSeparator();
        item(ID_CUT, "im_menu1_2", "剪切(&X)");
        item(ID_COPY, "im_menu1_1", "拷贝(&C)");
        item(ID_PASTE, "im_menu1_3", "粘贴(&V)");
        item(ID_DELETE, "im_menu1_4", "删除(&D)");
        menu->addSeparator();
        item(ID_SELECT_ALL, "im_menu1_5", "全选(&A)");
    }
    return menu;
}

void CIMDlg::RefreshEditCommands() {
    auto holds = [](const QTextEdit* e) { return e->textCursor().hasSelection(); };
    const bool inputSel = holds(input_);
    actions_[ID_UNDO]->setEnabled(input_->document()->isUndoAvailable());
    actions_[ID_COPY]->setEnabled(lastClickInHistory_ ? holds(history_) : inputSel);
    actions_[ID_CUT]->setEnabled(inputSel);
    actions_[ID_DELETE]->setEnabled(inputSel);
    const QMimeData* clip = QApplication::clipboard() ? QApplication::clipboard()->mimeData() : nullptr;
    actions_[ID_PASTE]->setEnabled(clip && clip->hasText());
    actions_[ID_SELECT_ALL]->setEnabled(true);
}

void CIMDlg::ShowPictureMenu(int which, const QPoint& at) {
    QMenu menu(this);
    menu.setObjectName("pictureMenu");
    auto item = [&](int id, const char* key, const char* chinese) {
        QAction* a = menu.addAction(ChatText("im_dlg", key, chinese));
        a->setData(id);
    };
    if (which == 0) {
        item(1311, "im_contact_detail", "查看详细信息(&V)");
        const bool known = m_chatType == CHAT_ONE && !m_members.empty() && m_members[0].userId[0] && ChatWindowHooks().bookState &&
                           ChatWindowHooks().bookState(m_members[0].userId) >= 0;
        menu.actions().back()->setEnabled(known);
        menu.addSeparator();
        item(1312, "im_photo_hide", "隐藏(&H)");
    } else {
        item(1313, "im_select_photo", "更改显示图片(&C)...");
        menu.addSeparator();
        item(1314, "im_photo_hide", "隐藏(&H)");
    }
    if (QAction* chosen = menu.exec(mapToGlobal(at))) OnPictureCommand(chosen->data().toInt());
}

void CIMDlg::OnPictureCommand(int id) {
    switch (id) {
        case 1311:
            if (m_chatType == CHAT_ONE && !m_members.empty() && ChatWindowHooks().contactDetails) {
                const std::string userId = m_members[0].userId;
                ChatWindowHooks().contactDetails(this, userId);
            }
            break;
        case 1312: SetPeerPaneCollapsed(true); break;
        case 1313:
            if (chat::g_headPictureHook) {
                chat::g_headPictureHook(this);
            } else {
                CHeadPicDlg dialog(QString::fromStdString(shell::g_panelPicture), this);
                dialog.exec();
            }
            break;
        case 1314: SetOwnPaneCollapsed(true); break;
        default: break;
    }
}

void CIMDlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    input_->setFocus();
}

void CIMDlg::closeEvent(QCloseEvent* e) {
    if (!leaving_) {
        leaving_ = true;
        LeaveSession();
        shell::SkinWrite("imconfig", "maximized", isMaximized() ? "1" : "0");
        if (!isMaximized()) {
            const QRect g = geometry();
            shell::SkinWrite("imconfig", "left", std::to_string(g.left()));
            shell::SkinWrite("imconfig", "top", std::to_string(g.top()));
            shell::SkinWrite("imconfig", "width", std::to_string(g.width()));
            shell::SkinWrite("imconfig", "height", std::to_string(g.height()));
        }
        // The splitters' places and the panes as the user left them.
        if (historyHeight_ > 0) shell::SkinWrite("imconfig", "postion", std::to_string(historyHeight_));
        if (columnWidth_ > 0) shell::SkinWrite("imconfig", "postion2", std::to_string(columnWidth_));
        shell::SkinWrite("imconfig", "hide_send", ownPanel_->Collapsed() ? "1" : "0");
        shell::SkinWrite("imconfig", "hide_history", peerPanel_->Collapsed() ? "1" : "0");
        shell::SkinWrite("imconfig", "autoplay", m_bAutoPlay ? "1" : "0");
        shell::SkinWrite("imconfig", "shortkey", m_bEnterSends ? "1" : "2");
        pttTimer_.stop();
        if (registry_ && !closedByRegistry_) registry_->RemoveDialog(this);
    }
    QDialog::closeEvent(e);
}
