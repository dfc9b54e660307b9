// The chat window: its widgets and layout, the member area, the title and the routing of its messages.
#include "ui/chat/chat_window.h"

#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFontDialog>
#include <QPainter>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <set>

#include "common/account.h"
#include "common/debug.h"
#include "platform/codepage.h"
#include "ui/chat/chat_art.h"
#include "ui/chat/chat_book.h"
#include "ui/chat/chat_skin_panel.h"
#include "ui/chat/chat_emoticon_popup.h"
#include "ui/chat/chat_room_dialogs.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/controls/rich_edit.h"
#include "ui/controls/shaped_button.h"
#include "ui/controls/statics.h"
#include "ui/shell/book_results.h"
#include "ui/shell/shell_config.h"
#include "ui/chat/chat_window_internal.h"

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

bool ConfirmAndOpenLink(QWidget* parent, const QString& link) { return OpenLink(parent, link, true); }

bool OpenLink(QWidget* parent, const QString& link, bool ask) {
    QString text = link.trimmed();
    if (text.startsWith("www.", Qt::CaseInsensitive)) text = "http://" + text;
    QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != "http" && scheme != "https" && scheme != "mailto")) {
        DebugTrace(MOD_QZ, 2, "link refused: %s", text.toUtf8().constData());
        return false;
    }
    if (ask && !(g_confirm ? g_confirm(url.toString())
                           : QMessageBox::question(parent, ChatText("im_dlg", "im_link_title", "Open link"),
                                                   ChatText("im_dlg", "im_link_ask", "Open this address?") + "\n\n" +
                                                       url.toString()) == QMessageBox::Yes))
        return false;
    if (g_open) g_open(url);
    else QDesktopServices::openUrl(url);
    return true;
}

namespace {
std::function<bool(QFont*, QColor*)> g_fontHook;
}  // namespace

void SetFontChooserHook(std::function<bool(QFont*, QColor*)> hook) { g_fontHook = std::move(hook); }
void SetHeadPictureHook(std::function<void(QWidget*)> hook) { chatwin::HeadPictureHook() = std::move(hook); }

ChatFontSetting& AppChatFont() {
    static ChatFontSetting setting;
    return setting;
}

bool ChooseChatFont(QWidget* parent, QFont* font, QColor* colour, bool styles) {
    if (g_fontHook) return g_fontHook(font, colour);
    // The font dialog with the effects and the colour list of the system's font chooser.
    QDialog dialog(parent);
    dialog.setObjectName("chatFontDlg");
    dialog.setWindowTitle(chatwin::Plain(ChatText("im_dlg", "im_font_title", "字体")));
    auto* v = new QVBoxLayout(&dialog);
    auto* fonts = new QFontDialog(*font, &dialog);
    fonts->setWindowFlags(Qt::Widget);
    fonts->setOptions(QFontDialog::NoButtons | QFontDialog::DontUseNativeDialog);
    // The style column is the second of the family, style and size columns (its box, its list and the
    // label naming the list).
    const auto edits = fonts->findChildren<QLineEdit*>(Qt::FindDirectChildrenOnly);
    const auto lists = fonts->findChildren<QListView*>(Qt::FindDirectChildrenOnly);
    if (edits.size() >= 3 && lists.size() >= 3) {
        lists[1]->setObjectName("fontStyleList");
        if (!styles) {
            edits[1]->hide();
            lists[1]->hide();
            for (QLabel* label : fonts->findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
                if (label->buddy() == lists[1] || label->buddy() == edits[1]) label->hide();
        }
    }
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
    box->addButton(chatwin::Plain(ChatText("dlg_common", "IDOK", "&OK")), QDialogButtonBox::AcceptRole);
    box->addButton(chatwin::Plain(ChatText("dlg_common", "IDCANCEL", "&Cancel")), QDialogButtonBox::RejectRole);
    QObject::connect(box, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    v->addWidget(box);
    if (dialog.exec() != QDialog::Accepted) return false;
    *font = fonts->currentFont();
    *colour = colours->currentData().value<QColor>();
    return true;
}

}  // namespace chat

namespace chatwin {

QString Plain(QString text) {
    static const QRegularExpression mnemonic(R"(\(&\w\))");
    text.remove(mnemonic);
    return text.remove('&');
}

QString TimeText(int64_t time) {
    return QString::fromStdString(ChatTimeStamp(time, static_cast<int64_t>(::time(nullptr))));
}

QString WithoutShortcutText(QString text, const QKeySequence& key) {
    const QString name = key.toString(QKeySequence::NativeText);
    if (name.isEmpty()) return text;
    if (text.endsWith(name, Qt::CaseInsensitive)) {
        const QString head = text.left(text.size() - name.size());
        if (!head.isEmpty() && head.back().isSpace()) text = head.trimmed();
    }
    return text;
}

QTextCharFormat BodyFormat(const QTextCharFormat& f) {
    QTextCharFormat out;
    if (f.foreground().style() != Qt::NoBrush) out.setForeground(f.foreground().color());
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

const QRegularExpression& LinkPattern() {
    static const QRegularExpression re(R"((https?://[^\s<>"]+|mailto:[^\s<>"]+|www\.[^\s<>"]+))",
                                       QRegularExpression::CaseInsensitiveOption);
    return re;
}

std::function<void(QWidget*)>& HeadPictureHook() {
    static std::function<void(QWidget*)> hook;
    return hook;
}

}  // namespace chatwin

using chat::ChatText;
using chat::FromAnsi;
using chat::ToAnsi;
using namespace chatwin;

namespace {

// The member rows in the system's colours: the highlight while the list has the focus, the button face
// for a selected row of a list without it, the window colour otherwise, the text in the button-text
// colour; the picture, the name and a focus rectangle on the focused row.
class MemberRowDelegate : public QStyledItemDelegate {
 public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem o(option);
        initStyleOption(&o, index);
        const QPalette pal = QApplication::palette();
        const bool selected = o.state & QStyle::State_Selected;
        const bool focus = o.widget && o.widget->hasFocus();
        const QColor back = !selected ? pal.color(QPalette::Active, QPalette::Base)
                            : focus   ? pal.color(QPalette::Active, QPalette::Highlight)
                                      : pal.color(QPalette::Active, QPalette::Button);
        const QColor text = selected && focus ? pal.color(QPalette::Active, QPalette::HighlightedText)
                                              : pal.color(QPalette::Active, QPalette::ButtonText);
        painter->save();
        painter->fillRect(o.rect, back);
        const QSize icon = o.decorationSize;
        const QRect iconRect(o.rect.left() + 2, o.rect.top() + (o.rect.height() - icon.height()) / 2, icon.width(), icon.height());
        o.icon.paint(painter, iconRect);
        const QRect textRect = o.rect.adjusted(icon.width() + 6, 0, -2, 0);
        painter->setPen(text);
        painter->setFont(o.font);
        painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, o.fontMetrics.elidedText(o.text, Qt::ElideRight, textRect.width()));
        if ((o.state & QStyle::State_HasFocus) && o.widget) {
            QStyleOptionFocusRect frame;
            frame.initFrom(o.widget);
            frame.rect = o.rect;
            frame.backgroundColor = back;
            o.widget->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &frame, painter, o.widget);
        }
        painter->restore();
    }
};

// Sees the application's events first and hands the window those of its own controls.
class PreTranslator : public QObject {
 public:
    explicit PreTranslator(CIMDlg* window) : QObject(window), window_(window) {}

 protected:
    bool eventFilter(QObject* watched, QEvent* e) override { return window_->PreTranslate(watched, e); }

 private:
    CIMDlg* window_;
};

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
    pttStopTimer_.setSingleShot(true);
    connect(&pttStopTimer_, &QTimer::timeout, this, [this] {
        StopVoiceRecording();
        pttTimer_.start(1000);
    });
    // Ticks the wait for a room's answer while one runs.
    sessionTimer_.setInterval(100);
    connect(&sessionTimer_, &QTimer::timeout, this, [this] {
        if (!SessionTick()) sessionTimer_.stop();
    });
    BuildWindow();
}

CIMDlg::~CIMDlg() {
    // A window that goes without its close (the registry's close-all) stops its voice message too.
    if (pttStopTimer_.isActive()) StopVoiceRecording();
}

void CIMDlg::BuildWindow() {
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
    addAction(action, ID_KICK, [this] { OnKick(); });
    addAction(action, ID_END, [this] { OnEnd(); });
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
    // One line at least: the input row's least height (88 below the history, less the bar and the
    // margins) still holds the format bar, the box and the buttons.
    input_->setMinimumHeight(23);
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
    memberList_->setItemDelegate(new MemberRowDelegate(memberList_));
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
    // The send key and auto-play are the main window's settings.
    m_bEnterSends = shell::FrameImSettings().sendKey == 1 ? 1 : 0;
    m_bAutoPlay = shell::FrameImSettings().autoPlay ? 1 : 0;
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
    // Presses and keys anywhere in the window pass the window first.
    qApp->installEventFilter(new PreTranslator(this));
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
    // The body is the client area below the upper tool bar; the history row starts 5 pixels down and
    // spans the whole width.
    const QRect r = body_->rect();
    if (r.width() <= 0 || r.height() <= 0) return;
    constexpr int kTop = 5, kBelow = 88;
    // At least 88 pixels stay below the history (the bottom less 30, the history and its top), and it
    // keeps 160.
    const int historyH = std::max(160, std::min(historyHeight_, r.height() - 30 - kTop - kBelow));
    historyRow_->setGeometry(0, kTop, r.width(), historyH);
    bar1086_->setGeometry(0, kTop + historyH, r.width(), bar);
    // The input row from 5 pixels under the bar to 5 above the bottom, 5 in from either side.
    const int inputTop = kTop + historyH + bar + 5;
    composeRow_->setGeometry(5, inputTop, std::max(0, r.width() - 10), std::max(0, r.height() - 5 - inputTop));
    // The bar itself goes from 160 below the history's top to 88 above the bottom.
    bar1086_->SetRange(kTop + 160 + bar / 2, r.height() - kBelow + bar / 2);

    // The history row: the chat column, then bar 1088 and the member area (at least 138 wide); the
    // peer's pane of a one-to-one chat is as wide as its picture pane and has no bar beside it.
    const int w = r.width(), h = historyH;
    const bool members = m_chatType != CHAT_ONE;
    const bool sideShown = side_->isVisibleTo(historyRow_);
    const bool barShown = members && sideShown && sideBar_ && !(m_bModal && hideHistory_);
    bar1088_->setVisible(barShown);
    if (!members) {
        const int sideW = peerPanel_->Collapsed() ? CIMSkinPanel::kStrip + 2 : CIMSkinPanel::kWidth;
        side_->setGeometry(w - sideW, 0, sideW, h);
        history_->setGeometry(0, 0, std::max(0, w - sideW - 4), h);
    } else if (!sideShown) {
        memberStrip_->setGeometry(w - CIMSkinPanel::kStrip, 0, CIMSkinPanel::kStrip, h);
        history_->setGeometry(0, 0, std::max(0, w - CIMSkinPanel::kStrip - 4), h);
    } else {
        // The member column (bar 1088 and the member area) keeps 138 pixels, the chat column 128.
        const int chatW = std::max(kMinColumn, std::min(columnWidth_, w - kMinMembers));
        history_->setGeometry(0, 0, chatW, h);
        bar1088_->setGeometry(chatW, 0, bar, h);
        side_->setGeometry(chatW + bar, 0, std::max(0, w - chatW - bar), h);
        bar1088_->SetRange(133 + bar / 2, w - 127 + bar / 2);  // the bar from 133 to 127 short of the right
    }
}

bool CIMDlg::CreateChatWindow() {
    QTimer::singleShot(0, this, [this] {
        if (m_sessionTicks >= 0) sessionTimer_.start();
    });
    return true;
}

void CIMDlg::ShowChatWindow() { show(); }

void CIMDlg::BringToTop() {
    raise();
    activateWindow();
}

bool CIMDlg::IsActiveChatWindow() const { return isActiveWindow(); }

void CIMDlg::DestroyLater() {
    closedByRegistry_ = true;
    chat::CloseWhenIdle(this);
}

std::string CIMDlg::Text(const char* key, const char* english) const { return ToAnsi(ChatText("im_dlg", key, english)); }

QString CIMDlg::TitleText() const { return title_->text(); }

void CIMDlg::SetOneMemberTitle(void*) { title_->setText("1 " + chatCount_); }

void CIMDlg::SetTitle(const QString& title, bool caption) {
    title_->setText(title);
    if (!caption) return;
    const QString name = ChatText("im_dlg", "im_title", "QZ文本消息");
    setWindowTitle(title.isEmpty() ? name : name + " - " + title);
}

void CIMDlg::ViewSessionTitle() {
    QString title;
    if (m_chatType == CHAT_ONE && !m_members.empty()) title = FromAnsi(m_members[0].name) + BookSuffix(m_members[0]);
    // The user counts as well.
    else if (m_chatType == CHAT_SEVERAL) title = QString("%1 ").arg(m_members.size() + 1) + chatCount_;
    SetTitle(title, true);
    // A group or room has no title in its caption; its title line names it as the texts do, now that
    // the set-up has given it its name.
    if (m_chatType != CHAT_ONE && m_chatType != CHAT_SEVERAL) title_->setText(LanguageTitle());
}

QString CIMDlg::LanguageTitle() {
    if (m_chatType == CHAT_ONE && m_members.size() == 1) return FromAnsi(m_members[0].name) + BookSuffix(m_members[0]);
    if (m_chatType == CHAT_SEVERAL) {
        chatCount_ = ChatText("im_dlg", "im_chatcnt", "参与者");
        return QString("%1 ").arg(m_members.size()) + chatCount_;
    }
    if (m_roomMembers.size() > 1)
        return QString("%1 ").arg(m_roomMembers.size()) + ChatText("im_dlg", "im_chatcnt", "参与者");
    const QString name = FromAnsi(m_szRoomName);
    // "(kind)name"; a language may space the two.
    const QString kindTitle = shell::LangFormatText("im_dlg", "im_kindtitle", "(%s)%s");
    if (m_chatType == CHAT_TEMP_GROUP) return ChatText("im_dlg", "im_tempgrp", "Temp Group");
    if (m_chatType == CHAT_GROUP) return shell::FillFormat(kindTitle, {ChatText("im_dlg", "im_group", "Group"), name});
    if (m_chatType == CHAT_ROOM) return shell::FillFormat(kindTitle, {ChatText("im_dlg", "im_chatroom", "Chat room"), name});
    return QString();
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

void CIMDlg::ViewMembersChanged() {
    if (!memberList_) return;
    const bool one = m_chatType == CHAT_ONE;
    side_->setCurrentIndex(one ? 0 : 1);
    side_->setVisible(one || memberAreaShown_);
    memberStrip_->setVisible(!one && !memberAreaShown_);
    FitSide();
    // The rows are made again; the ones the user picked (for kick, call, block, records) stay picked.
    std::set<int> picked;
    for (QListWidgetItem* item : memberList_->selectedItems()) picked.insert(item->data(Qt::UserRole).toInt());
    const int current = memberList_->currentItem() ? memberList_->currentItem()->data(Qt::UserRole).toInt() : -1;
    memberList_->clear();
    int chosen = recipient_->currentData().isValid() ? recipient_->currentData().toInt() : 0;
    recipient_->clear();
    const bool room = !one && m_chatType != CHAT_SEVERAL;
    // Removed from the room: the chooser is left empty.
    if (!(room && m_bKicked)) recipient_->addItem(ChatText("im_dlg", "im_all", "All"), 0);
    const QString myself = ChatText("im_dlg", "im_myself", "(myself)");
    // The user's own row: the nickname, or the account's user name without one, cut so that it and
    // "(myself)" fit in 64 characters.
    const std::string ownShown = !ownName_.empty() || !m_pAccount || !m_pAccount->userName ? ownName_ : m_pAccount->userName;
    const QString ownRow = FromAnsi(ownShown).left(std::max<qsizetype>(0, 64 - myself.size())) + myself;
    const auto& list = ListedMembers();
    for (const auto& m : list) {
        QString name = m.id == 0 ? ownRow : FromAnsi(m.name);
        if (m.id != 0 && !room) name += BookSuffix(m);
        // A room's member is there: only a blocked contact is marked.
        else if (m.id != 0 && m.userId[0] && ChatWindowHooks().bookState && ChatWindowHooks().bookState(m.userId) == 1)
            name += QString(" (%1)").arg(ChatText("addrbook_dialog", "block", "Block"));
        auto* item = new QListWidgetItem(MemberIcon(m, m.id == 0), name);
        item->setData(Qt::UserRole, m.id);
        memberList_->addItem(item);
        if (m.id != 0) recipient_->addItem(chooserText_.count(m.id) ? chooserText_.at(m.id) : FromAnsi(m.name), m.id);
    }
    {
        const QSignalBlocker quiet(memberList_);
        for (int row = 0; row < memberList_->count(); ++row) {
            QListWidgetItem* item = memberList_->item(row);
            const int id = item->data(Qt::UserRole).toInt();
            if (id == current) memberList_->setCurrentItem(item, QItemSelectionModel::NoUpdate);
            item->setSelected(picked.count(id) != 0);
        }
    }
    int at = recipient_->findData(chosen);
    recipient_->setCurrentIndex(at < 0 ? 0 : at);
    RefreshPanels();
    RefreshCommands();
    RefreshHint();
}

void CIMDlg::RefreshHint() {
    if (hint_) hint_->setText(ChatText("im_dlg", "im_receiver", "收件人:"));
}

QString CIMDlg::HintText() const { return hint_->text(); }

void CIMDlg::ViewShowMemberArea(bool show) {
    // A one-to-one chat turned several-user: the splitter goes with the peer pane, shown unless folded.
    if (peerPanel_) sideBar_ = !peerPanel_->Collapsed();
    ShowMemberPane(show);
}

void CIMDlg::ViewSessionSetUp() {
    // The splitter beside the member area: none for one peer, with the peer pane for several users,
    // always for a group or room.
    sideBar_ = m_chatType == CHAT_ONE ? false : m_chatType == CHAT_SEVERAL ? !peerPanel_->Collapsed() : true;
    LayoutPanes();
}

void CIMDlg::ShowMemberPane(bool show) {
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

bool CIMDlg::eventFilter(QObject* watched, QEvent* e) {
    if (watched == body_ && e->type() == QEvent::Resize) {
        LayoutPanes();
        // Rewrapped lines would leave the newest below the view: back to the caret, and one line on.
        if (history_) {
            history_->ensureCursorVisible();
            history_->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        }
    }
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
    if (e->type() == QEvent::ContextMenu && (watched == history_->viewport() || watched == input_->viewport())) {
        auto* m = static_cast<QContextMenuEvent*>(e);
        QMenu* menu = ContextMenuFor(watched == history_->viewport() ? static_cast<QWidget*>(history_) : input_);
        chat::ModalScope scope(this);
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

bool CIMDlg::PreTranslate(QObject* watched, QEvent* e) {
    if (!watched->isWidgetType() || !input_ || !history_) return false;
    if (e->type() != QEvent::MouseButtonPress && e->type() != QEvent::KeyPress) return false;
    auto* widget = static_cast<QWidget*>(watched);
    if (widget->window() != this) return false;
    if (e->type() == QEvent::MouseButtonPress) {
        // Copy and select all follow the last left or right press: the history view, or anything else.
        // The history's scroll bars are outside its text and change nothing.
        const Qt::MouseButton button = static_cast<QMouseEvent*>(e)->button();
        if (button != Qt::LeftButton && button != Qt::RightButton) return false;
        if (widget == history_->viewport()) lastClickInHistory_ = true;
        else if (widget != history_ && !history_->isAncestorOf(widget)) lastClickInHistory_ = false;
        RefreshEditCommands();
        return false;
    }
    // The menu bar's keys are its own menu navigation.
    if (widget == input_ || input_->isAncestorOf(widget) || widget == menuBar_) return false;
    auto* key = static_cast<QKeyEvent*>(e);
    // The send keys act from the whole window, as in the input box.
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) return eventFilter(input_, e);
    // A character typed while another control has the focus goes to the input box, which takes the focus.
    const QString typed = key->text();
    if (typed.isEmpty() || !typed.at(0).isPrint() || (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) return false;
    input_->setFocus();
    QKeyEvent copy(QEvent::KeyPress, key->key(), key->modifiers(), typed, key->isAutoRepeat(), key->count());
    QCoreApplication::sendEvent(input_, &copy);
    return true;
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
            // The room answered: a join waiting for this room is over.
            if (record && (record->command == CRC_START || record->command == CRC_RESULT) && registry_ &&
                registry_->waitDialog) {
                auto* wait = static_cast<CChatWaitDlg*>(registry_->waitDialog);
                if (wait->WaitsFor(static_cast<ChatWindowBase*>(this))) wait->Answered();
            }
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
            if (wParam == 0) {
                sideBar_ = lParam != 0;
                ShowMemberPane(lParam != 0);
            }
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

void CIMDlg::reject() {
    // Hidden alone, the window would stay in the registry with its room neither left nor enterable again.
    if (m_bModal || leaving_) {
        QDialog::reject();
        return;
    }
    close();
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
        shell::FrameImSettings().autoPlay = m_bAutoPlay ? 1 : 0;
        shell::FrameImSettings().sendKey = m_bEnterSends ? 1 : 2;
        pttTimer_.stop();
        // A voice message still in its least half second stops now: the window that would stop it goes.
        if (pttStopTimer_.isActive()) {
            pttStopTimer_.stop();
            StopVoiceRecording();
        }
        if (registry_ && !closedByRegistry_) registry_->RemoveDialog(this);
    }
    QDialog::closeEvent(e);
}
