// CUpdateDialog: asks the update service for the newest version, shows it and hands over to the updater.
#include "ui/shell/update_dialog.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "common/debug.h"
#include "platform/msgqueue.h"
#include "platform/thread.h"
#include "service/service_msgs.h"
#include "service/update_check.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/shell_config.h"

using shell::LangText;

namespace {

// The dialog's mark: a blue disc with a downward arrow into a tray.
QPixmap UpdateMark(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, size);
    g.setColorAt(0, QColor(0x3c, 0x9a, 0xd8));
    g.setColorAt(1, QColor(0x1f, 0x5f, 0xa8));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(QRectF(1, 1, size - 2, size - 2));
    const qreal u = size / 48.0;
    QPen pen(Qt::white, 4 * u, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(24 * u, 11 * u), QPointF(24 * u, 28 * u));
    QPainterPath head;
    head.moveTo(16 * u, 21 * u);
    head.lineTo(24 * u, 29 * u);
    head.lineTo(32 * u, 21 * u);
    p.drawPath(head);
    QPainterPath tray;
    tray.moveTo(13 * u, 30 * u);
    tray.lineTo(13 * u, 36 * u);
    tray.lineTo(35 * u, 36 * u);
    tray.lineTo(35 * u, 30 * u);
    p.drawPath(tray);
    return pm;
}

}  // namespace

QString UpdateSizeText(int64_t bytes) {
    if (bytes <= 0) return QStringLiteral("0");
    return QString::number(static_cast<double>(bytes) / 1024.0 / 1024.0, 'f', 2);
}

CUpdateDialog::CUpdateDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("updateDialog");
    setStyleSheet("#updateDialog { background: white; } #updateDialog QLabel { background: transparent; color: #1d2733; }"
                  "#updateNotice { color: #5b6b7f; } #updateSize { color: #5b6b7f; }");
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(22, 20, 22, 16);
    v->setSpacing(14);

    auto* top = new QHBoxLayout;
    top->setSpacing(16);
    icon_ = new QLabel(this);
    icon_->setPixmap(UpdateMark(48));
    icon_->setFixedSize(48, 48);
    top->addWidget(icon_, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(6);
    version_ = new QLabel(this);  // the version line, or what the check is doing
    version_->setObjectName("updateVersion");
    QFont f = version_->font();
    f.setBold(true);
    f.setPixelSize(14);
    version_->setFont(f);
    version_->setWordWrap(true);
    size_ = new QLabel(this);
    size_->setObjectName("updateSize");
    size_->hide();
    bytes_ = new QLabel(this);  // the same size in bytes
    bytes_->setObjectName("updateSize");
    bytes_->hide();
    notice_ = new QLabel(this);
    notice_->setObjectName("updateNotice");
    notice_->setWordWrap(true);
    texts->addWidget(version_);
    texts->addWidget(size_);
    texts->addWidget(bytes_);
    texts->addWidget(notice_);
    texts->addStretch();
    top->addLayout(texts, 1);
    v->addLayout(top);

    progressGroup_ = new QWidget(this);
    auto* pg = new QVBoxLayout(progressGroup_);
    pg->setContentsMargins(0, 0, 0, 0);
    pg->setSpacing(4);
    progressCaption_ = new QLabel(progressGroup_);
    progress_ = new QProgressBar(progressGroup_);
    progress_->setObjectName("updateProgress");
    progress_->setRange(0, 100);
    progress_->setTextVisible(false);
    progress_->setFixedHeight(8);
    pg->addWidget(progressCaption_);
    pg->addWidget(progress_);
    progressGroup_->hide();
    v->addWidget(progressGroup_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    update_ = new QPushButton(this);
    update_->setObjectName("primaryButton");
    update_->setMinimumSize(96, 30);
    update_->setDefault(true);
    close_ = new QPushButton(this);
    close_->setProperty("closes", true);
    close_->setMinimumSize(80, 30);
    buttons->addWidget(update_);
    buttons->addWidget(close_);
    v->addLayout(buttons);
    setFixedWidth(400);

    connect(update_, &QPushButton::clicked, this, &CUpdateDialog::OnUpdateButton);
    connect(close_, &QPushButton::clicked, this, &CUpdateDialog::OnCloseButton);

    // The update thread answers here, on the window's thread.
    plat::WindowTarget target;
    target.handler = [this](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        return m == WM_UPDATE_CHECK ? OnUpdateCheck(w, l) : 0;
    };
    target.poster = [](std::function<void()> task) { QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection); };
    target.ownerThread = GetCurrentThreadId();
    m_hWnd = plat::RegisterWindowTarget(std::move(target));

    frameAnswer = []() -> const CUpdateVersionInfo* {
        CMainFrame* frame = MainFrame();
        return frame && frame->HaveUpdateAnswer() ? &frame->UpdateAnswer() : nullptr;
    };
    passToFrame = [](WPARAM w, LPARAM l) { SendToFrame(WM_UPDATE_CHECK, w, l); };
    markAsked = [] {
        if (CMainFrame* frame = MainFrame()) frame->MarkUpdateAsked();
    };
    runUpdater = [] {
        CMainFrame* frame = MainFrame();
        return frame && frame->RunUpdater();
    };
    closeFrame = [] {
        if (CMainFrame* frame = MainFrame()) frame->close();
    };
    askThread = [](HWND answerTo) {
        if (Update_ThreadId() == 0 && !Update_StartThread()) return false;
        return PostThreadMessage(Update_ThreadId(), WM_UPDATE_CHECK, 0, reinterpret_cast<LPARAM>(answerTo)) != FALSE;
    };
    cancelThread = [](LPARAM dialog) {
        if (DWORD thread = Update_ThreadId()) PostThreadMessage(thread, WM_UPDATE_CANCEL, 0, dialog);
    };
    ApplyLanguage();
}

CUpdateDialog::~CUpdateDialog() {
    plat::UnregisterWindowTarget(m_hWnd);
    if (cancelThread) cancelThread(reinterpret_cast<LPARAM>(this));
}

void CUpdateDialog::ApplyLanguage() {
    setWindowTitle(LangText("update", "title", "Software update"));
    update_->setText(LangText("update", "updatebtn", "&Update"));
    SetClosing(close_->property("closes").toBool());
    progressCaption_->setText(LangText("update", "downprocess", "Progress"));
    // Read with the others; none of the dialog's steps shows them.
    finishText_ = LangText("update", "finishBtn", "&Finish");
    okText_ = LangText("update", "updateok", "The update is complete.");
    errorText_ = LangText("update", "updateerror", "The update failed.");
    downTip_ = LangText("update", "downtip", "Downloading the new version...");
    SetDownloadSize(sizeBytes_);
    if (shown_) ShowVersion();
}

void CUpdateDialog::SetClosing(bool closeText) {
    close_->setText(closeText ? LangText("update", "closebtn", "&Close") : LangText("update", "cancelbtn", "&Cancel"));
    close_->setProperty("closes", closeText);
}

void CUpdateDialog::SetDownloadSize(int64_t bytes) {
    sizeBytes_ = bytes;
    size_->setText(shell::FillFormat(shell::LangFormatText("update", "newversize", "Download size: %s MB"),
                                     {UpdateSizeText(bytes)}));
    size_->setVisible(bytes > 0);
    bytes_->setText(QString::number(bytes > 0 ? bytes : 0));
    bytes_->setVisible(bytes > 0);
}

void CUpdateDialog::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (shown_) return;
    shown_ = true;
    ShowVersion();
}

void CUpdateDialog::ShowVersion() {
    const CUpdateVersionInfo* answer = frameAnswer ? frameAnswer() : nullptr;
    if (!answer) {
        if (!checking_) StartCheck();
        return;
    }
    version_->setText(LangText("update", "newvertip", "Newest version:") +
                      QString(" %1.%2.%3").arg(answer->major).arg(answer->minor).arg(answer->build));
    notice_->setText(answer->needUpdate == 1 ? LangText("update", "needUpdate", "An update is recommended.")
                                             : LangText("update", "noneedUpdate", "This version needs no update."));
    update_->setEnabled(true);
}

void CUpdateDialog::StartCheck() {
    progressGroup_->hide();
    version_->show();
    update_->setEnabled(false);
    version_->setText(LangText("update", "connection", "Connecting to the update service..."));
    notice_->clear();
    checking_ = true;
    if (!askThread || !askThread(m_hWnd)) {
        DebugTrace(MOD_UPDATE, 1, "update check could not be asked");
        OnUpdateCheck(UPDATE_FAILED, 0);
    }
}

LRESULT CUpdateDialog::OnUpdateCheck(WPARAM wParam, LPARAM lParam) {
    checking_ = false;
    if (wParam == UPDATE_OK && lParam != 0) {
        // The main window may run the update at once and close (this dialog with it).
        QPointer<CUpdateDialog> self(this);
        if (passToFrame) passToFrame(wParam, lParam);
        if (self) ShowVersion();
        return 1;
    }
    version_->setText(wParam == UPDATE_TRANSFER_ERROR ? LangText("update", "updatetimeout", "The update service did not answer in time.")
                                                      : LangText("update", "updateerr", "The newest version could not be read."));
    notice_->clear();
    update_->setEnabled(true);
    return 1;
}

void CUpdateDialog::OnUpdateButton() {
    if (markAsked) markAsked();
    if (frameAnswer && frameAnswer()) {
        // The updater takes over from the closing program; with none started the program stays.
        if (runUpdater && runUpdater() && closeFrame) closeFrame();
        return;
    }
    StartCheck();
}

void CUpdateDialog::OnCloseButton() {
    if (close_->property("closes").toBool()) {
        done(UPDATE_DIALOG_CLOSED);
        return;
    }
    // Cancel: the progress goes and the thread is told; its answer still comes and ends the check.
    progressGroup_->hide();
    if (cancelThread) cancelThread(reinterpret_cast<LPARAM>(this));
}
