// The about box: the product's pictures, version and notices; its version text opens the accounts.
#include "ui/shell/about_box.h"

#include <QDialogButtonBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/controls/skin.h"
#include "ui/shell/accounts_dialogs.h"
#include "ui/shell/shell_config.h"

using shell::LangText;

namespace {

constexpr const char* kVersion = "0.9.6";

// One of the box's bitmap statics: the program's picture `id`, empty when the file is missing.
QLabel* Picture(int id, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QStringLiteral("aboutPicture%1").arg(id));
    const QImage image = ctl::LoadBitmapFile(ctl::ResourcePath(id));
    if (!image.isNull()) label->setPixmap(QPixmap::fromImage(image));
    return label;
}

}  // namespace

QString AboutVersionText(const QString& copyright, const QString& version, const QString& second) {
    QString text = copyright;
    text.replace("\\n", "\n");
    if (!version.isEmpty()) text += (text.isEmpty() ? "" : " ") + version;
    if (!second.isEmpty()) text += (text.isEmpty() ? "" : " ") + second;
    return text.left(511);
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("aboutDlg");
    setWindowTitle(LangText("about_dlg", "title", "about Corvina"));
    setStyleSheet("#aboutDlg { background: white; } #aboutDlg QLabel { color: black; background: transparent; }");
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 14);
    v->setSpacing(12);
    v->addWidget(Picture(163, this));
    auto* mark = new QHBoxLayout;
    mark->setContentsMargins(24, 0, 24, 0);
    mark->setSpacing(10);
    mark->addWidget(Picture(164, this));
    mark->addWidget(Picture(165, this));
    mark->addStretch();
    v->addLayout(mark);
    auto* body = new QVBoxLayout;
    body->setContentsMargins(24, 0, 24, 0);
    body->setSpacing(8);
    version_ = new QLabel(this);
    version_->setObjectName("aboutVersion");
    const QString second = LangText("about_dlg", "IDC_ZYCOPYRIGHT2", "Built from open standards: SIP, RTP, SRTP.");
    version_->setText(AboutVersionText(LangText("about_dlg", "IDC_ZYCOPYRIGHT", "Tessaly communicator\\nVersion"),
                                       QString::fromLatin1(kVersion), second));
    version_->setWordWrap(true);
    version_->installEventFilter(this);
    notice_ = new QLabel(second, this);
    notice_->setWordWrap(true);
    body->addWidget(version_);
    body->addWidget(notice_);
    v->addLayout(body);
    v->addStretch();
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    box->button(QDialogButtonBox::Ok)->setText(LangText("dlg_common", "IDOK", "&OK"));
    box->setContentsMargins(0, 0, 18, 0);
    connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
    v->addWidget(box);
    setFixedWidth(420);
    runAccounts = [this] {
        shell::CAccountsDlg dlg(this);
        dlg.exec();
    };
}

bool CAboutDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == version_ && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        OnClickVersion();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void CAboutDlg::OnClickVersion() {
    if (shell::ConfigInt("common", "account_management", 0) != 0 && runAccounts) runAccounts();
}
