// The chat window: widgets, drawing of the history view, the send and press-to-talk paths, commands.
#include "ui/chat/chat_window.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QFontDialog>
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
#include "ui/chat/chat_emoticon_popup.h"
#include "ui/chat/chat_room_dialogs.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/rich_edit.h"
#include "ui/controls/shaped_button.h"
#include "ui/controls/statics.h"
#include "ui/shell/shell_config.h"

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

QRect CascadeChatWindow(QRect place, const std::vector<QPoint>& taken, const QRect& screen) {
    constexpr int kStep = 28;
    const QPoint corner(std::max(screen.left(), 1), std::max(screen.top(), 1));
    int round = 0;
    for (int tries = 0; tries < 64; ++tries) {
        const bool held = std::any_of(taken.begin(), taken.end(),
                                      [&](const QPoint& p) { return (p - place.topLeft()).manhattanLength() < kStep / 2; });
        if (!held) break;
        QPoint next = place.topLeft() + QPoint(kStep, kStep);
        auto off = [&](const QPoint& p) {
            return p.x() + place.width() > screen.right() + 1 || p.y() + place.height() > screen.bottom() + 1 - 27;
        };
        if (off(next)) {
            ++round;
            next = corner + QPoint(kStep * round, 0);
            if (off(next)) {
                round = 0;
                next = corner;
            }
        }
        place.moveTopLeft(next);
    }
    return place;
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

// The style of message bodies: the font chosen for the input box, else the window's own look.
QString BodyStyle(const QTextCharFormat& f) {
    QString style = QString("color:%1;").arg(f.foreground().style() != Qt::NoBrush ? f.foreground().color().name() : QString("#1d2b3a"));
    if (!f.hasProperty(QTextFormat::FontFamilies)) return style;
    const QStringList families = f.fontFamilies().toStringList();
    if (!families.isEmpty()) style += QString("font-family:'%1';").arg(families.first().toHtmlEscaped().remove('\''));
    if (f.fontPointSize() > 0) style += QString("font-size:%1pt;").arg(f.fontPointSize());
    if (f.fontWeight() >= QFont::Bold) style += "font-weight:700;";
    if (f.fontItalic()) style += "font-style:italic;";
    QStringList lines;
    if (f.fontUnderline()) lines << "underline";
    if (f.fontStrikeOut()) lines << "line-through";
    if (!lines.isEmpty()) style += "text-decoration:" + lines.join(' ') + ";";
    return style;
}

QString TimeText(int64_t time) {
    QDateTime when = time == -1 ? QDateTime::currentDateTime() : QDateTime::fromSecsSinceEpoch(time);
    return when.toString(when.date() == QDate::currentDate() ? "HH:mm:ss" : "yyyy-MM-dd HH:mm:ss");
}

QString Escape(const QString& text) { return text.toHtmlEscaped(); }

// A caption without its mnemonic: "发送(&S)" and "&Send" read "发送" and "Send".
QString Plain(QString text) {
    static const QRegularExpression mnemonic(R"(\(&\w\))");
    text.remove(mnemonic);
    return text.remove('&');
}

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

// Plain text with links turned into anchors, line ends kept.
QString Linked(const QString& text) {
    static const QRegularExpression re(R"((https?://[^\s<>"]+|mailto:[^\s<>"]+|www\.[^\s<>"]+))",
                                       QRegularExpression::CaseInsensitiveOption);
    QString out;
    int last = 0;
    auto it = re.globalMatch(text);
    while (it.hasNext()) {
        auto m = it.next();
        out += Escape(text.mid(last, m.capturedStart() - last));
        out += QString("<a href=\"%1\">%2</a>").arg(Escape(m.captured()), Escape(m.captured()));
        last = m.capturedEnd();
    }
    out += Escape(text.mid(last));
    out.replace("\r\n", "<br>").replace("\n", "<br>");
    return out;
}

}  // namespace

namespace {

constexpr int kHistoryMin = 100, kComposeMin = 110, kSideMin = 138, kSideMax = 220;

// Keeps a splitter's drag range in step with the size of the panes' parent.
class SplitterRange : public QObject {
public:
    SplitterRange(QWidget* parent, std::function<void()> update) : QObject(parent), update_(std::move(update)) {
        parent->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Resize) update_();
        return false;
    }

private:
    std::function<void()> update_;
};

}  // namespace

CIMDlg::CIMDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("imDlg");
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowFlags(Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setMinimumSize(540, 390);
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
    addAction(edit, ID_UNDO, [this] { input_->undo(); });
    addAction(edit, ID_COPY, [this] { (history_->textCursor().hasSelection() ? static_cast<QTextEdit*>(history_) : input_)->copy(); });
    addAction(edit, ID_CUT, [this] { input_->cut(); });
    addAction(edit, ID_PASTE, [this] { input_->paste(); });
    addAction(edit, ID_DELETE, [this] { input_->textCursor().removeSelectedText(); });
    addAction(edit, ID_SELECT_ALL, [this] { input_->selectAll(); });
    edit->addSeparator();
    addAction(edit, ID_FONT_MENU, [this] {
        bool ok = false;
        QFont f = QFontDialog::getFont(&ok, input_->currentFont(), this);
        if (ok) ApplyInputFont(f);
    });
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
        if (m_chatType != CHAT_ONE && m_chatType != CHAT_SEVERAL && m_roomCmd.BuildEnd(1)) m_roomCmd.Send(Connection(), nullptr, 0);
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
    topRow->setContentsMargins(10, 6, 8, 6);
    head_ = new QLabel(top);
    head_->setFixedSize(40, 40);
    topRow->addWidget(head_);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(1);
    title_ = new QLabel(top);
    title_->setObjectName("chatTitle");
    subtitle_ = new QLabel(top);
    subtitle_->setObjectName("chatSubtitle");
    titles->addWidget(title_);
    titles->addWidget(subtitle_);
    topRow->addLayout(titles, 1);
    upper_ = new QToolBar(top);
    upper_->setIconSize(QSize(22, 22));
    upper_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    auto upperButton = [this](int id, chat::Glyph glyph) {
        QAction* a = upper_->addAction(chat::GlyphIcon(glyph), QString());
        connect(a, &QAction::triggered, actions_.count(id) ? actions_[id] : a, &QAction::trigger);
        actions_[id + 100000] = a;
    };
    upperButton(ID_INVITE, chat::Glyph::Invite);
    upperButton(ID_CALL, chat::Glyph::Call);
    upperButton(ID_KICK, chat::Glyph::Kick);
    upperButton(ID_END, chat::Glyph::End);
    upperButton(ID_BLOCK, chat::Glyph::Block);
    upperButton(ID_VIEW_RECORDS, chat::Glyph::History);
    topRow->addWidget(upper_);
    root->addWidget(top);

    auto* body = new QWidget(this);
    auto* bodyLayout = new QHBoxLayout(body);
    bodyLayout->setContentsMargins(8, 8, 8, 8);
    split_ = new QWidget(body);
    auto* splitLayout = new QHBoxLayout(split_);
    splitLayout->setContentsMargins(0, 0, 0, 0);
    splitLayout->setSpacing(0);
    column_ = new QWidget(split_);
    auto* columnLayout = new QVBoxLayout(column_);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    columnLayout->setSpacing(0);
    history_ = new CFormatRichEdit(column_);
    history_->setObjectName("history");
    history_->setReadOnly(true);
    history_->setTextInteractionFlags(Qt::TextBrowserInteraction);
    history_->viewport()->installEventFilter(this);
    history_->document()->setDefaultStyleSheet("a { color: #2f6fc6; }");

    auto* compose = new QWidget(column_);
    // The press-to-talk button and the input box tell their parent, which is this pane: pass it on.
    compose->installEventFilter(this);
    auto* composeLayout = new QVBoxLayout(compose);
    composeLayout->setContentsMargins(0, 4, 0, 0);
    composeLayout->setSpacing(4);
    format_ = new QToolBar(compose);
    format_->setIconSize(QSize(18, 18));
    format_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    QAction* autoPlay = format_->addAction(chat::GlyphIcon(chat::Glyph::AutoPlay), QString());
    autoPlay->setCheckable(true);
    connect(autoPlay, &QAction::toggled, this, [this](bool on) { m_bAutoPlay = on ? 1 : 0; });
    actions_[ID_AUTOPLAY] = autoPlay;
    QAction* font = format_->addAction(chat::GlyphIcon(chat::Glyph::Font), QString());
    connect(font, &QAction::triggered, actions_[ID_FONT_MENU], &QAction::trigger);
    actions_[ID_FONT] = font;
    QAction* smile = format_->addAction(chat::GlyphIcon(chat::Glyph::Smile), QString());
    connect(smile, &QAction::triggered, this, [this] { OpenEmoticonPicker(); });
    actions_[ID_EMOTICONS] = smile;
    composeLayout->addWidget(format_);
    input_ = new CChatRichEdit(compose);
    input_->setObjectName("input");
    input_->installEventFilter(this);
    composeLayout->addWidget(input_, 1);
    auto* buttons = new QHBoxLayout;
    hint_ = new QLabel(compose);
    hint_->setObjectName("chatSubtitle");
    ptt_ = new CShapedButton(this);
    ptt_->pressToTalk = true;
    ptt_->setObjectName("pttButton");
    ptt_->setIcon(chat::GlyphIcon(chat::Glyph::Talk));
    ptt_->setMinimumSize(112, 30);
    QString skin = QString::fromStdString(shell::Paths().skinFolder);
    if (!skin.isEmpty())
        ptt_->SetBitmaps(skin + "/ptt.bmp", skin + "/pttdown.bmp", skin + "/ptthover.bmp", skin + "/pttdisabled.bmp",
                         skin + "/pttfocus.bmp", QString());
    send_ = new CShapedButton(this);
    send_->setObjectName("sendButton");
    send_->setMinimumSize(96, 30);
    send_->SetBitmaps(chat::ArtFile("send.png"), chat::ArtFile("senddown.png"), chat::ArtFile("sendhover.png"), QString(),
                      chat::ArtFile("sendfocus.png"), QString());
    send_->SetCaptionColor(Qt::white);
    connect(send_, &QAbstractButton::clicked, this, [this] { OnSend(); });
    buttons->addWidget(hint_, 1);
    buttons->addWidget(ptt_);
    buttons->addWidget(send_);
    composeLayout->addLayout(buttons);
    // The splitter between history and input box (1086) and the one beside the member area (1088).
    inputSplitter_ = new CSplitterBar(column_, 1086, false);
    columnLayout->addWidget(history_, 1);
    columnLayout->addWidget(inputSplitter_);
    columnLayout->addWidget(compose);
    compose->setFixedHeight(150);
    connect(inputSplitter_, &CSplitterBar::delta, this, [this, compose](int d) {
        compose->setFixedHeight(std::clamp(compose->height() - d, kComposeMin, std::max(kComposeMin, column_->height() - kHistoryMin)));
    });
    new SplitterRange(column_, [this] {
        inputSplitter_->SetRange(kHistoryMin + 2, column_->height() - kComposeMin - 3);
    });

    sideSplitter_ = new CSplitterBar(split_, 1088, true);
    side_ = new QStackedWidget(split_);
    auto* peerPane = new QFrame(side_);
    peerPane->setObjectName("sidePane");
    auto* peerLayout = new QVBoxLayout(peerPane);
    peerLayout->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    peerPicture_ = new QLabel(peerPane);
    peerPicture_->setAlignment(Qt::AlignCenter);
    peerName_ = new QLabel(peerPane);
    peerName_->setAlignment(Qt::AlignCenter);
    peerName_->setStyleSheet("font-weight: 600; color: #1d2b3a;");
    peerName_->setWordWrap(true);
    peerState_ = new QLabel(peerPane);
    peerState_->setAlignment(Qt::AlignCenter);
    peerState_->setObjectName("chatSubtitle");
    peerLayout->addSpacing(12);
    peerLayout->addWidget(peerPicture_);
    peerLayout->addWidget(peerName_);
    peerLayout->addWidget(peerState_);
    side_->addWidget(peerPane);
    auto* memberPane = new QFrame(side_);
    memberPane->setObjectName("sidePane");
    auto* memberLayout = new QVBoxLayout(memberPane);
    memberLabel_ = new QLabel(memberPane);
    memberList_ = new QListWidget(memberPane);
    // Kick, call and block follow the selected rows.
    connect(memberList_, &QListWidget::itemSelectionChanged, this, [this] { RefreshCommands(); });
    memberList_->setObjectName("members");
    memberList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    memberList_->setIconSize(QSize(20, 20));
    recipientLabel_ = new QLabel(memberPane);
    recipient_ = new QComboBox(memberPane);
    recipient_->setObjectName("recipient");
    memberLayout->addWidget(memberLabel_);
    memberLayout->addWidget(memberList_, 1);
    memberLayout->addWidget(recipientLabel_);
    memberLayout->addWidget(recipient_);
    side_->addWidget(memberPane);
    splitLayout->addWidget(column_, 1);
    splitLayout->addWidget(sideSplitter_);
    splitLayout->addWidget(side_);
    side_->setFixedWidth(160);
    connect(sideSplitter_, &CSplitterBar::delta, this, [this](int d) {
        side_->setFixedWidth(std::clamp(side_->width() - d, kSideMin, kSideMax));
    });
    new SplitterRange(split_, [this] {
        const int right = split_->width() - 3;  // the bar's centre when the side area is 0 wide
        sideSplitter_->SetRange(right - kSideMax, right - kSideMin);
    });
    bodyLayout->addWidget(split_);
    root->addWidget(body, 1);

    // Placement and settings from [imconfig] of the skin ini.
    const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->geometry() : QRect(0, 0, 1280, 800);
    setGeometry(chat::PlaceChatWindow(shell::SkinInt("imconfig", "left", 0), shell::SkinInt("imconfig", "top", 0),
                                      shell::SkinInt("imconfig", "width", 623), shell::SkinInt("imconfig", "height", 398), screen));
    if (shell::SkinInt("imconfig", "maximized", 0)) setWindowState(Qt::WindowMaximized);
    m_bEnterSends = shell::SkinInt("imconfig", "shortkey", 1) == 2 ? 0 : 1;
    m_bAutoPlay = shell::SkinInt("imconfig", "autoplay", 0) ? 1 : 0;
    OnLanguageChanged();
}

bool CIMDlg::CreateChatWindow() {
    // Two sessions opened one after the other do not open one over the other.
    if (registry_ && !isMaximized()) {
        std::vector<QPoint> taken;
        for (ChatWindowBase* other : registry_->Windows())
            if (auto* w = dynamic_cast<CIMDlg*>(other); w && w != this) taken.push_back(w->geometry().topLeft());
        QScreen* screen = QGuiApplication::primaryScreen();
        setGeometry(chat::CascadeChatWindow(geometry(), taken, screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800)));
    }
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
    bar(ID_VIEW_RECORDS, "im_bar_history", "聊天记录", "im_bar_history", "查看聊天记录");
    bar(ID_AUTOPLAY, "im_bar_autoplay", "自动播放", "im_bar_autoptt", "选中自动播放语音短信状态");
    bar(ID_FONT, "im_bar_font", "字体", "im_bar_font", "修改文本窗口中的文字字体");
    bar(ID_EMOTICONS, "im_bar_action", "表情", "im_bar_action", "表情菜单");
    send_->setText(Plain(ChatText("im_dlg", "im_send", "发送(&S)")));
    send_->setToolTip(ChatText("im_tooltip", "im_sendbutton", "单击这里以发送消息"));
    ptt_->setText(Plain(ChatText("im_dlg", "im_bar_ptt", "按住讲话")));
    ptt_->setToolTip(ChatText("im_tooltip", "im_bar_ptt", "一直按住鼠标左键，发送语音信息"));
    memberLabel_->setText(ChatText("im_dlg", "im_privacy1", "To") + " ");
    recipientLabel_->setText(ChatText("im_dlg", "im_privacy2", "") + " ");
    hint_->setText(m_bEnterSends ? ChatText("im_dlg", "im_hint_enter", "Enter 发送，Ctrl+Enter 换行")
                                 : ChatText("im_dlg", "im_hint_ctrl", "Ctrl+Enter 发送，Enter 换行"));
    RefreshCommands();
    ViewMembersChanged();
}

QString CIMDlg::TitleText() const { return title_->text(); }

void CIMDlg::RefreshTitle() {
    QString title;
    QString online = ChatText("im_dlg", "im_online", "Online");
    QString offline = ChatText("im_dlg", "im_offline_word", "Offline");
    QImage picture;
    if (m_chatType == CHAT_ONE && !m_members.empty()) {
        const auto& peer = m_members[0];
        QString name = FromAnsi(peer.name);
        title = name;
        title += BookSuffix(peer);
        subtitle_->setText(peer.online == 1 ? online : offline);
        picture = chat::HeadPicture(name, peer.id, 40);
        peerPicture_->setPixmap(QPixmap::fromImage(chat::HeadPicture(name, peer.id, 96)));
        peerName_->setText(name);
        peerState_->setText(peer.online == 1 ? online : offline);
    } else if (m_chatType == CHAT_SEVERAL) {
        title = QString("%1 ").arg(m_members.size() + 1) + ChatText("im_dlg", "im_chatcnt", "参与者");
        QStringList names;
        for (const auto& m : m_members) names << FromAnsi(m.name);
        subtitle_->setText(names.join(", "));
        picture = chat::GlyphImage(chat::Glyph::Room, 40, kAccent);
    } else {
        QString name = FromAnsi(m_szRoomName);
        // "(kind)name"; a language may space the two.
        const QString kindTitle = shell::LangFormatText("im_dlg", "im_kindtitle", "(%s)%s");
        if (m_chatType == CHAT_TEMP_GROUP) title = ChatText("im_dlg", "im_tempgrp", "Temp Group");
        else if (m_chatType == CHAT_GROUP) title = shell::FillFormat(kindTitle, {ChatText("im_dlg", "im_group", "Group"), name});
        else title = shell::FillFormat(kindTitle, {ChatText("im_dlg", "im_chatroom", "Chat room"), name});
        // The count once there is more than the user to count.
        subtitle_->setText(m_roomMembers.size() < 2 ? QString()
                                                    : QString("%1 ").arg(m_roomMembers.size()) + ChatText("im_dlg", "im_chatcnt", "参与者"));
        picture = chat::GlyphImage(chat::Glyph::Room, 40, kAccent);
    }
    title_->setText(title);
    head_->setPixmap(QPixmap::fromImage(picture));
    QString caption = ChatText("im_dlg", "im_title", "QZ文本消息");
    setWindowTitle(title.isEmpty() ? caption : caption + " - " + title);
}

void CIMDlg::RefreshCommands() {
    const bool room = m_chatType != CHAT_ONE && m_chatType != CHAT_SEVERAL;
    auto enable = [this](int id, bool on) {
        if (actions_.count(id)) actions_[id]->setEnabled(on);
        if (actions_.count(id + 100000)) actions_[id + 100000]->setEnabled(on);
    };
    enable(ID_INVITE, m_bSessionActive && m_chatType != CHAT_ROOM);
    enable(ID_KICK, room && !memberList_->selectedItems().isEmpty());
    enable(ID_END, m_chatType == CHAT_TEMP_GROUP ? m_bInitiator != 0 : m_chatType == CHAT_GROUP);
    enable(ID_CALL, m_chatType == CHAT_ONE ? (!m_members.empty() && m_members[0].online == 1) : [this] {
        const auto rows = memberList_->selectedItems();
        if (rows.size() != 1) return false;
        const PresenceBuddyRecord* m = FindMember(rows[0]->data(Qt::UserRole).toInt());
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
    // Which buttons a session kind has at all.
    auto show = [this](int id, bool on) {
        if (actions_.count(id + 100000)) actions_[id + 100000]->setVisible(on);
        if (actions_.count(id)) actions_[id]->setVisible(on);
    };
    const bool direct = m_chatType == CHAT_ONE || m_chatType == CHAT_SEVERAL;
    show(ID_END, !direct && m_chatType != CHAT_ROOM);
    show(ID_KICK, !direct);
    show(ID_BLOCK, m_chatType == CHAT_ONE || m_chatType == CHAT_SEVERAL);
    show(ID_CALL, m_chatType != CHAT_GROUP);
    actions_[ID_ENTER_SENDS]->setChecked(m_bEnterSends == 1);
    actions_[ID_CTRL_ENTER_SENDS]->setChecked(m_bEnterSends == 0);
    actions_[ID_AUTOPLAY]->setChecked(m_bAutoPlay != 0);
}

void CIMDlg::ViewMembersChanged() {
    if (!memberList_) return;
    const bool one = m_chatType == CHAT_ONE;
    side_->setCurrentIndex(one ? 0 : 1);
    memberList_->clear();
    int chosen = recipient_->currentData().isValid() ? recipient_->currentData().toInt() : 0;
    recipient_->clear();
    recipient_->addItem(ChatText("im_dlg", "im_all", "All"), 0);
    const bool room = !one && m_chatType != CHAT_SEVERAL;
    QString offline = ChatText("im_dlg", "im_offline_word", "Offline");
    const auto& list = room ? m_roomMembers : m_members;
    if (!room) {
        auto* self = new QListWidgetItem(QIcon(QPixmap::fromImage(chat::HeadPicture(FromAnsi(ownName_), 0, 20))),
                                         FromAnsi(ownName_) + " " + ChatText("im_dlg", "im_myself", "(myself)"));
        self->setData(Qt::UserRole, 0);
        memberList_->addItem(self);
    }
    for (const auto& m : list) {
        QString name = m.id == 0 ? FromAnsi(ownName_) + " " + ChatText("im_dlg", "im_myself", "(myself)") : FromAnsi(m.name);
        if (m.id != 0 && !room) name += BookSuffix(m);
        auto* item = new QListWidgetItem(QIcon(QPixmap::fromImage(chat::HeadPicture(FromAnsi(m.name), m.id, 20))), name);
        item->setData(Qt::UserRole, m.id);
        memberList_->addItem(item);
        if (m.id != 0) recipient_->addItem(FromAnsi(m.name), m.id);
    }
    int at = recipient_->findData(chosen);
    recipient_->setCurrentIndex(at < 0 ? 0 : at);
    RefreshTitle();
    RefreshCommands();
}

void CIMDlg::ViewShowMemberArea(bool show) {
    if (side_) side_->setCurrentIndex(show ? 1 : 0);
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
    QString colour = own ? "#2f6fc6" : "#1f8a4c";
    QString html = QString("<div style=\"margin-top:6px;\"><span style=\"color:%1;font-weight:600;\">%2</span>")
                       .arg(colour, Escape(FromAnsi(sender)));
    if (!receiver.empty())
        html += QString("<span style=\"color:#8a97a6;\"> &#8594; %1</span>").arg(Escape(FromAnsi(receiver)));
    if (priv) html += QString("<span style=\"color:#c0641c;\"> %1</span>").arg(Escape(ChatText("im_dlg", "im_privacy", " privacy ").trimmed()));
    html += QString("<span style=\"color:#a0aab6;\">&nbsp;&nbsp;%1</span></div>").arg(TimeText(time));
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
    c.insertBlock();
    QTextBlockFormat block;
    block.setLeftMargin(14);
    c.setBlockFormat(block);
    // Emoticon codes become pictures; everything else is text with its links.
    QString html;
    int plainFrom = 0;
    for (int i = 0; i < text.size();) {
        int len = 0;
        int index = chat::EmoticonAt(text, i, &len);
        if (index >= 0) {
            html += Linked(text.mid(plainFrom, i - plainFrom));
            QString name = QString("emoticon:%1").arg(index);
            history_->document()->addResource(QTextDocument::ImageResource, QUrl(name), chat::EmoticonImage(index, 22));
            html += QString("<img src=\"%1\" width=22 height=22>").arg(name);
            i += len;
            plainFrom = i;
        } else {
            ++i;
        }
    }
    html += Linked(text.mid(plainFrom));
    c.insertHtml("<span style=\"" + BodyStyle(inputFormat_) + "\">" + html + "</span>");
    EndLine();
}

void CIMDlg::ViewBody(const std::string& text) {
    const QString body = FromAnsi(text).trimmed();
    if (!body.isEmpty()) AppendBody(body);
}

void CIMDlg::ViewLine(const std::string& text) { AppendBody(FromAnsi(text)); }

void CIMDlg::ViewNotice(const std::string& text) {
    if (text.empty()) return;
    QTextCursor c(history_->document());
    c.movePosition(QTextCursor::End);
    if (!history_->document()->isEmpty()) c.insertBlock();
    QTextBlockFormat block;
    block.setTopMargin(6);
    c.setBlockFormat(block);
    history_->document()->addResource(QTextDocument::ImageResource, QUrl("glyph:warn"),
                                      chat::GlyphImage(chat::Glyph::Warn, 14, QColor()));
    c.insertHtml(QString("<div style=\"margin-top:4px;\"><img src=\"glyph:warn\"> <span style=\"color:#b0601a;\">%1</span>"
                         "<span style=\"color:#a0aab6;\">&nbsp;&nbsp;%2</span></div>")
                     .arg(Escape(FromAnsi(text)), TimeText(-1)));
    EndLine();
}

void CIMDlg::ViewInvitation(const std::string& invitation) {
    // "n1,name,n3,text": the inviter's name and the invitation's text, then the two answers.
    const QStringList fields = FromAnsi(invitation).split(',');
    const QString name = fields.value(1).trimmed(), text = fields.value(3).trimmed();
    QString line = text.isEmpty() ? ChatText("im_dlg", "im_invite2", "%s").replace("%s", name)
                                  : ChatText("im_dlg", "im_invite1", "%s:%s").replace("%s:%s", name + ":" + text);
    const int n = static_cast<int>(invitationsAnswered_.size());
    invitationsAnswered_.push_back(false);
    QTextCursor c(history_->document());
    c.movePosition(QTextCursor::End);
    if (!history_->document()->isEmpty()) c.insertBlock();
    c.insertHtml(QString("<span style=\"color:#b0601a;font-weight:600;\">%1</span>&nbsp;&nbsp;"
                         "<a href=\"agree:%2\">%3</a>&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;<a href=\"reject:%2\">%4</a>")
                     .arg(Escape(line))
                     .arg(n)
                     .arg(Escape(ChatText("im_dlg", "im_agree", "我同意")), Escape(ChatText("im_dlg", "im_reject", "拒绝参加"))));
    EndLine();
}

void CIMDlg::ViewRoomClosed() { QTimer::singleShot(0, this, [this] { close(); }); }

void CIMDlg::ViewOffline() { ViewNotice(Text("im_offline", "您已经下线，请重新登陆")); }

void CIMDlg::ViewVoiceIcon(VoiceMessageEntry* entry) {
    QTextCursor c(history_->document());
    c.movePosition(QTextCursor::End);
    if (!history_->document()->isEmpty()) c.insertBlock();
    history_->document()->addResource(QTextDocument::ImageResource, QUrl("glyph:voice"),
                                      chat::GlyphImage(chat::Glyph::Voice, 22, kAccent));
    QTextBlockFormat block;
    block.setLeftMargin(14);
    c.setBlockFormat(block);
    entry->first = c.position();
    c.insertHtml(QString("<a href=\"voice:%1\"><img src=\"glyph:voice\"></a>").arg(entry->id));
    entry->last = c.position();
    c.insertHtml(QString("&nbsp;<a href=\"voice:%1\" style=\"color:#2f6fc6;text-decoration:none;\">%2</a>")
                     .arg(entry->id)
                     .arg(Escape(ChatText("im_dlg", "im_voice_clip", "语音消息（单击播放）"))));
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
    const int expansion = 0;
    (void)expansion;
    std::string text = input_->GetTextWithImageCodes(false, nullptr);
    SendOutcome outcome = SendText(text);
    // A busy lock keeps the typed text; everything else empties the box.
    if (outcome != SendOutcome::Busy) input_->clear();
    input_->setFocus();
}

void CIMDlg::SetCaptureProbe(std::function<int()> probe) { g_captureProbe = std::move(probe); }

void CIMDlg::OnPttPress() {
    int code = g_captureProbe ? g_captureProbe() : 0;
    PttPress(code, GetTickCount());
}

void CIMDlg::OnPttRelease() {
    uint32_t wait = 0;
    if (!PttRelease(GetTickCount(), &wait)) return;
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
    int units = input_->CountTextUnits(nullptr, nullptr);
    if (units + static_cast<int>(table[index].code.size()) > 275) return;
    input_->InsertImage(chat::EmoticonImage(index, 22), table[index].code);
    input_->setFocus();
}

int CIMDlg::InsertEmoticonImages(int start, int length) {
    int made = 0;
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
        c.removeSelectedText();
        input_->setTextCursor(c);
        input_->InsertImage(chat::EmoticonImage(index, 22), chat::EmoticonTable()[index].code);
        all = input_->toPlainText();
        end -= len - 1;
        ++i;
        ++made;
    }
    return made;
}

void CIMDlg::OpenEmoticonPicker() {
    auto* popup = new CEmoticonPopup(this, 1);
    QWidget* anchor = format_->widgetForAction(actions_[ID_EMOTICONS]);
    const QPoint at = anchor ? anchor->mapToGlobal(QPoint(0, anchor->height())) : mapToGlobal(QPoint(40, 40));
    QScreen* screen = QGuiApplication::screenAt(at);
    if (!screen) screen = this->screen();
    popup->move(screen ? CEmoticonPopup::Placed(at, popup->size(), screen->availableGeometry(), anchor ? anchor->height() : 0) : at);
    popup->show();
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
    chat::ConfirmAndOpenLink(this, anchor);
}

bool CIMDlg::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == WindowMessageEvent::eventType() && watched != this) {
        auto* m = static_cast<WindowMessageEvent*>(e);
        m->result = SendChatMessage(m->message, m->wParam, m->lParam);
        return true;
    }
    if (watched == input_ && e->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(e);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            const bool ctrl = key->modifiers() & Qt::ControlModifier;
            if (ctrl != (m_bEnterSends == 1)) {
                OnSend();
                return true;
            }
            input_->textCursor().insertText("\n");
            return true;
        }
    }
    if (watched == history_->viewport() && e->type() == QEvent::MouseButtonRelease) {
        auto* m = static_cast<QMouseEvent*>(e);
        QString anchor = history_->anchorAt(m->position().toPoint());
        if (!anchor.isEmpty() && m->button() == Qt::LeftButton) {
            OnHistoryClick(anchor);
            return true;
        }
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
        case WM_PRESENCE_BUDDY: return OnPresenceChange(reinterpret_cast<const PresenceBuddyRecord*>(lParam));
        case WM_IM_CLOSE:
            closedByRegistry_ = true;
            // A dialog still running over the window (invitation, font) ends first.
            for (QDialog* open : findChildren<QDialog*>(Qt::FindDirectChildrenOnly))
                if (open->isVisible()) open->reject();
            if (wParam == 1) hide();
            close();
            return 0;
        case WM_USER + 1000: OnLanguageChanged(); return 1;
        case WM_USER + 206: m_bOnline = lParam != 0; return 1;
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
    ChatWindowHooks().invite(this, m_pAccount, members, [self](const std::vector<const PresenceBuddyRecord*>& chosen, const std::string& extra) {
        if (!self) return;
        std::vector<PresenceBuddyRecord> users;
        for (const PresenceBuddyRecord* r : chosen)
            if (r) users.push_back(*r);
        self->InviteUsers(users, extra);
    });
}

void CIMDlg::InviteUsers(const std::vector<PresenceBuddyRecord>& users, const std::string& extra) {
    const bool room = m_chatType == CHAT_TEMP_GROUP || m_chatType == CHAT_GROUP || m_chatType == CHAT_ROOM;
    if (room) m_roomCmd.ClearArgs();
    for (const PresenceBuddyRecord& u : users) {
        if (m_members.size() >= kChatMaxMembers) {
            DebugTrace(MOD_SYSTEM, 3, "Max user(%d) limit ", static_cast<int>(kChatMaxMembers));
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

void CIMDlg::OnCall() {
    const PresenceBuddyRecord* target = nullptr;
    if (m_chatType == CHAT_ONE) {
        if (!m_members.empty()) target = &m_members[0];
    } else if (memberList_->selectedItems().size() == 1) {
        target = FindMember(memberList_->selectedItems()[0]->data(Qt::UserRole).toInt());
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

LRESULT CIMDlg::OnPresenceChange(const PresenceBuddyRecord* record) {
    if (!record) return 0;
    PresenceBuddyRecord* member = nullptr;
    for (auto& m : m_members)
        if (m.id == record->id && m.id != 0) member = &m;
    if (!member) return 0;
    member->online = record->online == 1 ? 1 : 0;
    if (m_chatType == CHAT_ONE) {
        RefreshTitle();
        RefreshCommands();
        return 1;
    }
    if (m_chatType != CHAT_SEVERAL) return 1;
    // The row and the chooser entry change in place, so selection and choice stay.
    for (int row = 0; row < memberList_->count(); ++row) {
        QListWidgetItem* item = memberList_->item(row);
        if (item->data(Qt::UserRole).toInt() == member->id) item->setText(FromAnsi(member->name) + BookSuffix(*member));
    }
    RefreshTitle();
    RefreshCommands();
    return 1;
}

QString CIMDlg::BookSuffix(const PresenceBuddyRecord& m) const {
    // Blocked wins over offline.
    if (m.userId[0] && ChatWindowHooks().bookState && ChatWindowHooks().bookState(m.userId) == 1)
        return QString(" (%1)").arg(ChatText("addrbook_dialog", "block", "Block"));
    if (m.online != 1) return QString(" (%1)").arg(ChatText("im_dlg", "im_offline_word", "Offline"));
    return QString();
}

void CIMDlg::ApplyInputFont(const QFont& font, const QColor& color) {
    QTextCharFormat f;
    f.setFont(font);
    if (color.isValid()) f.setForeground(color);
    inputFormat_ = f;
    // The whole input box takes it; the selection stays where it was.
    const QTextCursor keep = input_->textCursor();
    QTextCursor all(input_->document());
    all.select(QTextCursor::Document);
    all.mergeCharFormat(f);
    input_->setTextCursor(keep);
    input_->setCurrentCharFormat(f);
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
        shell::SkinWrite("imconfig", "autoplay", m_bAutoPlay ? "1" : "0");
        shell::SkinWrite("imconfig", "shortkey", m_bEnterSends ? "1" : "2");
        if (registry_ && !closedByRegistry_) registry_->RemoveDialog(this);
    }
    QDialog::closeEvent(e);
}
