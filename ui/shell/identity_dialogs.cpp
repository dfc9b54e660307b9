// The identity chooser and the password prompt used before acting in the name of one identity.
#include "ui/shell/identity_dialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "platform/codepage.h"
#include "service/as_records.h"
#include "ui/controls/skin.h"
#include "ui/shell/dialog_box.h"
#include "ui/shell/shell_config.h"

namespace {
// The dialogs' language texts hold at most 512 characters.
QString LangText(const char* section, const char* key, const char* builtIn) {
    return shell::LangText(section, key, builtIn).left(512);
}
}  // namespace

CSelectIdentityDlg::CSelectIdentityDlg(QWidget* parent, bool needPassword)
    : QDialog(parent), m_bNeedPassword(needPassword ? 1 : 0) {
    setObjectName("selectIdentityDlg");
    setWindowTitle(LangText("profile_select", "title", "请选择进入身份"));
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(18, 16, 18, 14);
    v->setSpacing(10);
    auto* top = new QHBoxLayout;
    auto* icon = new QLabel(this);
    icon->setObjectName("identityPicture");  // the program's icon
    icon->setPixmap(QPixmap(shell::ProgramIconFile()).scaled(36, 36, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    top->addWidget(icon);
    top->addStretch(1);
    v->addLayout(top);
    list_ = new QTreeWidget(this);
    list_->setRootIsDecorated(false);
    list_->setHeaderLabels({LangText("profile_select", "col_name", "名称")});
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setMinimumSize(360, 150);
    list_->setStyleSheet("QTreeWidget::item { padding: 3px 2px; }");
    v->addWidget(list_, 1);
    auto* form = new QFormLayout;
    identity_ = new QLineEdit(this);
    password_ = new QLineEdit(this);
    password_->setEchoMode(QLineEdit::Password);
    form->addRow(LangText("profile_select", "txt_selected", "选中身份："), identity_);
    form->addRow(LangText("profile_select", "txt_password", "请输入密码"), password_);
    v->addLayout(form);
    auto* box = new QDialogButtonBox(this);
    box->addButton(LangText("profile_select", "btn_ok", " 确认(&O)"), QDialogButtonBox::AcceptRole);
    box->addButton(LangText("profile_select", "btn_cancel", "取消(&C)"), QDialogButtonBox::RejectRole);
    connect(box, &QDialogButtonBox::accepted, this, [this] {
        if (OnOK()) done(1);
    });
    connect(box, &QDialogButtonBox::rejected, this, [this] { done(2); });
    v->addWidget(box);
    // A row that becomes selected is the identity chosen.
    connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] {
        const QList<QTreeWidgetItem*> rows = list_->selectedItems();
        if (rows.isEmpty()) return;
        m_nSelected = list_->indexOfTopLevelItem(rows.front());
        m_strIdentity = rows.front()->text(0);
        identity_->setText(m_strIdentity);
    });
    OnInitDialog();
}

void CSelectIdentityDlg::OnInitDialog() {
    password_->setEnabled(m_bNeedPassword != 0);
    list_->clear();
    const QSignalBlocker block(list_);
    for (AsProfileEntry* e : g_profileList.entries) {
        // Profile names come from the access server in the ANSI code page.
        auto* item = new QTreeWidgetItem({QString::fromStdU16String(plat::ToUtf16(e->name ? e->name : "", CP_ACP))});
        item->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void*>(e)));
        list_->insertTopLevelItem(0, item);
    }
    list_->setCurrentItem(nullptr);
    list_->clearSelection();
    if (list_->topLevelItemCount() > 0) {
        m_strIdentity = list_->topLevelItem(0)->text(0);
        identity_->setText(m_strIdentity);
    }
}

bool CSelectIdentityDlg::OnOK() {
    m_strPassword = password_->text();
    m_strIdentity = identity_->text();
    if (m_bNeedPassword == 1 && m_strPassword.isEmpty()) {
        shell::DialogBox(this, LangText("profile_select", "need_password", "请输入密码"),
                         LangText("profile_select", "title", "请选择进入身份"), shell::BoxIcon::Question);
        return false;
    }
    return true;
}

CPasswordDlg::CPasswordDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("passwordDlg");
    setWindowTitle(LangText("profile_select", "password_title", "请输入密码..."));
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(18, 16, 18, 14);
    v->setSpacing(12);
    auto* row = new QHBoxLayout;
    password_ = new QLineEdit(this);
    password_->setEchoMode(QLineEdit::Password);
    password_->setMinimumWidth(220);
    row->addWidget(new QLabel(LangText("profile_select", "txt_pwd", "密码："), this));
    row->addWidget(password_, 1);
    v->addLayout(row);
    auto* box = new QDialogButtonBox(this);
    box->addButton(LangText("profile_select", "pwd_ok", "确定(&O)"), QDialogButtonBox::AcceptRole);
    box->addButton(LangText("profile_select", "pwd_cancel", "取消(&C)"), QDialogButtonBox::RejectRole);
    connect(box, &QDialogButtonBox::accepted, this, [this] {
        if (OnOK()) done(1);
    });
    connect(box, &QDialogButtonBox::rejected, this, [this] { done(2); });
    v->addWidget(box);
}

bool CPasswordDlg::OnOK() {
    m_strPassword = password_->text();
    if (m_strPassword.isEmpty()) {
        shell::DialogBox(this, LangText("profile_select", "err_null_password", "密码不能为空"),
                         LangText("profile_select", "need_password", "请输入密码"), shell::BoxIcon::Question);
        return false;
    }
    return true;
}
