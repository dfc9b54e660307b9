// The dial page, the DTMF keypad window and the dial bar.
#include "ui/calls/dial_windows.h"
#include "ui/calls/ansi_text.h"

#include <algorithm>

#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QScreen>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "common/debug.h"
#include "platform/sound.h"
#include "service/settings_xml.h"
#include "ui/calls/call_controller.h"
#include "ui/calls/calls_windows.h"
#include "ui/calls/control_events.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_button.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/controls/styled_button.h"
#include "ui/controls/web/web_host.h"
#include "ui/shell/shell_config.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/VoipEvent.h"

namespace calls {
namespace {

QString T(const char* section, const char* key, const char* def) { return shell::LangText(section, key, def); }

const char* const kKeyImages[12] = {"bdn0", "bdn1", "bdn2", "bdn3", "bdn4",   "bdn5",
                                    "bdn6", "bdn7", "bdn8", "bdn9", "bdnstar", "bdnsharp"};
const unsigned short kKeyChars[12] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '*', '#'};
constexpr COLORREF kDeleteKey = 0xD8E9EC;  // the delete pictures' transparent colour

}  // namespace

// ---------------------------------------------------------------------------------------------
// Dial page.

CDialDialog::CDialDialog(CallsWindows* windows, QWidget* parent) : CNqPropertyPage(PAGE_DIAL, parent), windows_(windows) {
    number_ = new CDialComboBox(this);
    number_->setEditable(true);
    number_->setMaxCount(static_cast<int>(DialHistory::kMax));
    number_->lineEdit()->setMaxLength(64);
    number_->setInsertPolicy(QComboBox::NoInsert);
    number_->setMinimumHeight(30);
    QFont f = number_->font();
    f.setPixelSize(16);
    number_->setFont(f);
    number_->SetDialEnabledQuery([this] { return windows_ && windows_->IsDialButtonEnabled(); });
    for (int i = 0; i < 12; ++i) {
        keys_[i] = new CRoundSkinButton(this);
        keys_[i]->SetSkinName(kKeyImages[i]);
        keys_[i]->SetKeyCode(kKeyChars[i]);
        keys_[i]->OnSkinChanged();
        keys_[i]->setAccessibleName(QString(QChar(kKeyChars[i])));
    }
    delete_ = new CStyledButton(this);
    delete_->setFixedSize(25, 19);
    // The skin's pictures: the first for the pointer over the button, the second at rest.
    auto picture = [](const char* name) {
        const QImage image(shell::SkinFile(name));
        return image.isNull() ? QPixmap() : ctl::KeyedPixmap(image.copy(0, 0, 25, 19), kDeleteKey);
    };
    delete_->SetIcon(picture("dial_deletesel.bmp"), picture("dial_delete.bmp"));
    delete_->OffsetColor(0, 30);
    delete_->SetColor(1, 0xFF0000);
    connect(delete_, &QPushButton::clicked, this, [this] {
        number_->lineEdit()->selectAll();
        number_->lineEdit()->del();
    });
    hint_ = new QLabel(this);
    hint_->setWordWrap(true);
    QPalette black = hint_->palette();
    black.setColor(QPalette::WindowText, Qt::black);
    hint_->setPalette(black);
    OnLanguageChanged();
}

QString CDialDialog::TabTitle() const { return T("dial_dialog", "title", "Dial"); }

void CDialDialog::OnLanguageChanged() {
    delete_->setToolTip(T("dial_dialog", "delete", ""));
    hint_->setText(T("dial_dialog", "message", ""));
}

void CDialDialog::OnSkinChanged() {
    for (CRoundSkinButton* k : keys_) k->OnSkinChanged();
    resizeEvent(nullptr);
}

void CDialDialog::SyncHistory() {
    const QString text = number_->currentText();
    number_->blockSignals(true);
    number_->clear();
    for (const std::string& e : history_.Entries()) number_->addItem(AnsiQ(e));
    number_->setEditText(text);
    number_->blockSignals(false);
}

int CDialDialog::OnDialBarDial() {
    CallController& calls = windows_->Calls();
    const std::string number = DialText(ToAnsi(number_->currentText()));
    auto finish = [this](int result) {
        number_->setFocus();
        number_->lineEdit()->deselect();
        return result;
    };
    if (number.empty()) {
        if (number_->count() > 0) number_->setCurrentIndex(0);
        return finish(1);
    }
    if (calls.IsCallingSelf(number)) return 0;
    const int current = CM_GetCurrentCallId();
    CallPageModel* target = current != -1 ? calls.FindCallPageByCallId(current) : calls.FindCallPageByNumber(number);
    if (!target) {
        history_.Add(number);
        SyncHistory();
        number_->setEditText(AnsiQ(number));
        calls.CallNumber(number);
        return finish(1);
    }
    windows_->ActivatePage(target);
    if (current != -1) {
        AddConferenceMember(calls, target, current, number, windows_->ask, windows_->box);
        windows_->PageChanged(target);
    }
    return finish(1);
}

void CDialDialog::OnDialBarHangup() {
    CallController& calls = windows_->Calls();
    if (CallPageModel* p = calls.FindTalkingCallPage()) {
        p->OnHangup(0);
        number_->setFocus();
        number_->lineEdit()->deselect();
    } else if (CallPageModel* u = calls.FindUnansweredCallPage()) {
        u->OnHangup(0);
    } else {
        number_->setEditText(QString());
    }
}

void CDialDialog::OnKeypadDigit(int key) {
    CallController& calls = windows_->Calls();
    if (CallPageModel* p = calls.FindTalkingCallPage()) {
        if (p->callId != -1) {
            const int event = KeyEvent(key);
            for (int i = 0; i < p->cnxCount && i < kMaxCnx && event >= 0; ++i) {
                const int cnx = p->cnxIds[i];
                if (cnx != -1 && CC_IsCnxPayloadPcmu(cnx)) CM_SendEvent(p->callId, cnx, CMEVT_DTMF, -1, event, nullptr);
            }
        }
    } else if (calls.FindUnansweredCallPage()) {
        return;
    }
    windows_->PlayKeySound();
    QLineEdit* edit = number_->lineEdit();
    const int start = static_cast<int>(selection_ & 0xFFFF), end = static_cast<int>(selection_ >> 16);
    if (end > start) edit->setSelection(start, end - start);
    else edit->setCursorPosition(std::min(start, static_cast<int>(edit->text().size())));
    edit->insert(QString(QChar(key)));
    selection_ = static_cast<unsigned>(edit->cursorPosition()) | (static_cast<unsigned>(edit->cursorPosition()) << 16);
    number_->setFocus();
    edit->deselect();
    ButtonState();
}

void CDialDialog::ButtonState() {
    CallController& calls = windows_->Calls();
    bool dial, hangup;
    DialPageButtons(calls.FindTalkingCallPage() != nullptr, calls.FindUnansweredCallPage() != nullptr,
                    number_->currentText().isEmpty(), &dial, &hangup);
    windows_->EnableDialBar(dial ? 1 : 0, hangup ? 1 : 0);
}

bool CDialDialog::event(QEvent* e) {
    UINT msg;
    WPARAM w;
    LPARAM l;
    if (ControlMessage(e, &msg, &w, &l)) {
        if (msg == kMsgCallDial) OnDialBarDial();
        else if (msg == kMsgKeypadDigit) OnKeypadDigit(static_cast<int>(w));
        else if (msg == kMsgDialNumberChanged) {
            selection_ = number_->EditSelection();
            if (isVisible()) ButtonState();
        }
        return true;
    }
    return CNqPropertyPage::event(e);
}

void CDialDialog::showEvent(QShowEvent* e) {
    CNqPropertyPage::showEvent(e);
    ButtonState();
}

void CDialDialog::resizeEvent(QResizeEvent*) {
    const int cx = width();
    const int left = 16, top = 16;
    number_->setGeometry(left, top, std::max(0, cx - left - (cx >= 54 ? 53 : 0)), 30);
    delete_->move(number_->geometry().right() + 1 + 8, top);
    hint_->setGeometry(left, number_->geometry().bottom() + 1 + 10, cx, 34);
    // The line is as wide as the page but starts at the field's left: its text wraps short of the edge.
    hint_->setContentsMargins(0, 0, left, 0);
    // Every key takes the size of the "1" key; three columns 45 pixels apart, rows 40 apart from y = 90.
    const QSize key = keys_[1]->sizeHint();
    const int x0 = std::max(0, (cx - 90 - key.width()) / 2);
    const int order[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 11};
    for (int i = 0; i < 12; ++i) keys_[order[i]]->setGeometry(x0 + (i % 3) * 45, 90 + (i / 3) * 40, key.width(), key.height());
}

void CDialDialog::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
}

// ---------------------------------------------------------------------------------------------
// Keypad window.

CKeypadDlg::CKeypadDlg(QWidget* owner, std::function<void(int, int)> send)
    : QDialog(owner, Qt::Tool), owner_(owner), send_(std::move(send)) {
    setWindowIcon(QIcon(shell::ProgramIconFile()));
    setWindowTitle(T("dial_dialog", "keyboard_title", "Keyboard"));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    const int order[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 11};
    QSize key(36, 36);
    for (int v = 0; v < 12; ++v) {
        keys_[v] = new CSkinButton(this);
        keys_[v]->SetSkinName(kKeyImages[v]);  // normal and pressed pictures only
        keys_[v]->OnSkinChanged();
        keys_[v]->setAccessibleName(QString(QChar(kKeyChars[v])));
        key = keys_[v]->sizeHint();
        connect(keys_[v], &QAbstractButton::clicked, this, [this, v] { PressKey(1117 + v); });
    }
    // Wide enough for the caption beside the window buttons; the keys stand in the middle.
    const int grid = 3 * key.width() + 16;
    fullWidth_ = std::max(24 + grid, fontMetrics().horizontalAdvance(windowTitle()) + 130);
    const int x0 = (fullWidth_ - grid) / 2, top = 12;
    for (int i = 0; i < 12; ++i)
        keys_[order[i]]->setGeometry(x0 + (i % 3) * (key.width() + 8), top + (i / 3) * (key.height() + 8), key.width(), key.height());
    fullHeight_ = top + 4 * key.height() + 24 + 12;
    slide_.setInterval(100);
    connect(&slide_, &QTimer::timeout, this, &CKeypadDlg::SlideStep);
    StickToOwner();
    resize(0, fullHeight_);
    slide_.start();
}

void CKeypadDlg::PressKey(int controlId) {
    const int value = KeypadValue(controlId);
    if (value < 0) return;
    plat::PlaySoundFile(shell::SkinFile("keydown.wav").toStdString(), false);
    if (send_) send_(1, value);
}

void CKeypadDlg::SlideStep() {
    bool done = false;
    shown_ = KeypadSlideStep(shown_, fullWidth_, &done);
    if (done) slide_.stop();
    resize(shown_, fullHeight_);
    raise();
}

QPoint CKeypadDlg::Place() const {
    if (!owner_) return pos();
    const QRect r = owner_->frameGeometry();
    QPoint at(r.right() + 1, r.top());
    // Beside the main window, but never off the screen: it snaps back when dragged, so keys out
    // of view could not be reached at all.
    if (const QScreen* screen = owner_->screen()) {
        const QRect avail = screen->availableGeometry();
        const QSize frame = frameGeometry().size() - size();  // title bar and borders, once it has them
        const int w = fullWidth_ + frame.width(), h = fullHeight_ + frame.height();
        at.setX(std::max(avail.left(), std::min(at.x(), avail.right() + 1 - w)));
        at.setY(std::max(avail.top(), std::min(at.y(), avail.bottom() + 1 - h)));
    }
    return at;
}

void CKeypadDlg::StickToOwner() {
    if (!owner_ || sticking_) return;
    sticking_ = true;
    move(Place());
    sticking_ = false;
}

void CKeypadDlg::moveEvent(QMoveEvent* e) {
    QDialog::moveEvent(e);
    if (owner_ && !sticking_ && pos() != Place()) StickToOwner();
}

void CKeypadDlg::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Escape || e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) return;
    QDialog::keyPressEvent(e);
}

void CKeypadDlg::closeEvent(QCloseEvent* e) {
    slide_.stop();
    e->ignore();  // the owner destroys the window
    if (send_) send_(0, 0);
}

// ---------------------------------------------------------------------------------------------
// Dial bar.

CDialBar::CDialBar(QWidget* parent) : QWidget(parent) {
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(238, 242, 247));  // the buttons are drawn on this colour
    setPalette(pal);
    dial_ = new CSkinButton(this);
    dial_->SetSkinName("dial");
    dial_->EnableHoverTracking(true);
    dial_->OnSkinChanged();
    dial_->setAccessibleName("dial");
    dial_->setObjectName("dialBarCall");
    dial_->setCursor(Qt::PointingHandCursor);
    hangup_ = new CSkinButton(this);
    hangup_->SetSkinName("hangup");
    hangup_->EnableHoverTracking(true);
    hangup_->OnSkinChanged();
    hangup_->setAccessibleName("hangup");
    hangup_->setObjectName("dialBarHangup");
    hangup_->setCursor(Qt::PointingHandCursor);
    hangup_->setEnabled(false);
    // The page gets its site from this bar; the status page and the skin's local page both show in the
    // browser engine.
    page_ = new CWebBrowserHost(this);
    page_->SetEngineAfterWindowDrawn(true);
    page_->setFixedSize(300, 60);
    connect(page_, &CWebBrowserHost::downloadComplete, this, [this](bool ok) {
        if (!ok) OnNavigateError();
    });
    connect(page_, &CWebBrowserHost::viewCreated, this, [this] {
        // A drop on the page opens nothing; until the page draws, the strip has the bar's colour.
        if (QWebEngineView* view = page_->View()) {
            view->setAcceptDrops(false);
            view->page()->setBackgroundColor(palette().color(QPalette::Window));
        }
    });
    resizeEvent(nullptr);
}

CDialBar::~CDialBar() = default;

QString CDialBar::StatusUrl() const {
    return ownStatusUrl_ ? statusUrl_ : QString::fromStdString(g_serviceSettings.status).trimmed();
}

QUrl CDialBar::LocalPage() const {
    const QString local = shell::SkinFile("adv.htm").left(531);
    // A skin without the page leaves the strip empty rather than showing the browser's error page.
    return QFile::exists(local) ? QUrl::fromLocalFile(local) : QUrl(QStringLiteral("about:blank"));
}

void CDialBar::Show(const QUrl& url) {
    shown_ = url;
    page_->Navigate(url);
}

void CDialBar::Navigate() {
    const QString status = StatusUrl();
    if (status.isEmpty()) {
        Show(LocalPage());
        return;
    }
    const QUrl url = QUrl::fromUserInput(status);
    if (url.isValid() && (url.scheme() == "http" || url.scheme() == "https" || (url.isLocalFile() && QFile::exists(url.toLocalFile())))) {
        Show(url);
        return;
    }
    DebugTrace(MOD_SYSTEM, 1, "Dial bar: the status address %s cannot be shown; the local page instead", status.toUtf8().constData());
    Show(LocalPage());
}

void CDialBar::OnNavigateError() {
    const QUrl local = LocalPage();
    if (shown_ == local) return;  // the local page itself failed: nothing better to show
    DebugTrace(MOD_SYSTEM, 1, "Dial bar: %s could not be loaded; the local page shown", shown_.toString().toUtf8().constData());
    Show(local);
}

void CDialBar::OnSkinChanged() {
    dial_->OnSkinChanged();
    hangup_->OnSkinChanged();
    resizeEvent(nullptr);
    Navigate();
}

void CDialBar::EnableDialButton(bool on) {
    on = on && !busy;
    if (dial_->isEnabled() != on) dial_->setEnabled(on);
}
void CDialBar::EnableHangupButton(bool on) {
    on = on && !busy;
    if (hangup_->isEnabled() != on) hangup_->setEnabled(on);
}

bool CDialBar::event(QEvent* e) {
    UINT msg = 0;
    WPARAM w = 0;
    LPARAM l = 0;
    if (ControlMessage(e, &msg, &w, &l)) {
        if (msg == kMsgSkinChanged) {
            OnSkinChanged();
            return true;
        }
        if (msg == CustomControlSiteMsg()) {
            // The page's host asks for its site: no border, no scroll bars.
            auto* query = reinterpret_cast<CtrlSiteQuery*>(l);
            const bool take = w == kSiteCreate && query && query->container;
            if (take) {
                if (!site_) site_ = std::make_unique<CWebControlSite>();
                query->site = site_.get();
            }
            SetControlResult(e, take ? 1 : 0);
            return true;
        }
    }
    return QWidget::event(e);
}

void CDialBar::resizeEvent(QResizeEvent*) {
    // The buttons either side of the middle; the page centred under them.
    const int cx = width();
    const int top = 6;
    const QSize d = dial_->sizeHint(), h = hangup_->sizeHint();
    dial_->setGeometry(cx / 2 - 20 - d.width(), top, d.width(), d.height());
    hangup_->setGeometry(cx / 2 + 20, top, h.width(), h.height());
    const int pageTop = top + std::max(d.height(), h.height()) + 4;
    page_->move((cx - page_->width()) / 2, pageTop);
    page_->update();
    setMinimumHeight(pageTop + page_->height() + 4);
}

}  // namespace calls
