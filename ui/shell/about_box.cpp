// The about box: the product's picture, version and notices; its version text opens the accounts.
#include "ui/shell/about_box.h"

#include <QDialogButtonBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/shell/accounts_dialogs.h"
#include "ui/shell/shell_config.h"

using shell::LangText;

namespace {

constexpr const char* kVersion = "0.9.6";

// The box's banner: the product's mark and name on a blue band.
QPixmap Banner(int width) {
    QPixmap pm(width, 92);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, width, 92);
    g.setColorAt(0, QColor(0x1f, 0x5f, 0xa8));
    g.setColorAt(1, QColor(0x3c, 0x9a, 0xd8));
    p.fillRect(pm.rect(), g);
    // The mark: a speech bubble with a wave.
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(22, 18, 56, 44), 14, 14);
    QPainterPath tail;
    tail.moveTo(36, 58), tail.lineTo(30, 74), tail.lineTo(50, 60);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawPath(bubble.united(tail));
    p.setPen(QPen(QColor(0x1f, 0x5f, 0xa8), 3.2, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 4; ++i) {
        const int h = (i == 1 || i == 2) ? 20 : 10;
        p.drawLine(QPointF(38 + i * 8, 40 - h / 2), QPointF(38 + i * 8, 40 + h / 2));
    }
    p.setPen(Qt::white);
    QFont f = p.font();
    f.setPointSize(20);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRect(96, 16, width - 110, 36), Qt::AlignLeft | Qt::AlignVCenter, "Tessaly");
    f.setPointSize(9);
    f.setBold(false);
    p.setFont(f);
    p.setPen(QColor(255, 255, 255, 210));
    p.drawText(QRect(98, 52, width - 110, 22), Qt::AlignLeft | Qt::AlignVCenter,
               LangText("about_dlg", "slogan", "Voice calls, messages and push-to-talk"));
    return pm;
}

}  // namespace

QString AboutVersionText(const QString& copyright, const QString& version, const QString& second) {
    QString text = copyright;
    text.replace("\\n", "\n");
    if (!version.isEmpty()) text += (text.isEmpty() ? "" : " ") + version;
    if (!second.isEmpty()) text += (text.isEmpty() ? "" : "\n") + second;
    return text.left(511);
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("aboutDlg");
    setWindowTitle(LangText("about_dlg", "title", "about Corvina"));
    setStyleSheet("#aboutDlg { background: white; } #aboutDlg QLabel { color: black; background: transparent; }");
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 14);
    v->setSpacing(12);
    auto* banner = new QLabel(this);
    banner->setPixmap(Banner(420));
    v->addWidget(banner);
    auto* body = new QVBoxLayout;
    body->setContentsMargins(24, 0, 24, 0);
    body->setSpacing(8);
    version_ = new QLabel(this);
    version_->setObjectName("aboutVersion");
    version_->setText(AboutVersionText(LangText("about_dlg", "IDC_ZYCOPYRIGHT", "Tessaly communicator\\nVersion"),
                                       QString::fromLatin1(kVersion), QString()));
    version_->installEventFilter(this);
    notice_ = new QLabel(LangText("about_dlg", "IDC_ZYCOPYRIGHT2", "Built from open standards: SIP, RTP, SRTP."), this);
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
