// CLoginDlg: pick or type a user and password, the two choices, remove a saved user.
#include "ui/shell/login_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "service/settings_xml.h"
#include "ui/controls/links.h"
#include "ui/controls/skin.h"
#include "ui/shell/app_start.h"
#include "ui/shell/saved_logins.h"
#include "ui/shell/shell_config.h"

using shell::LangText;

CLoginDlg::CLoginDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("loginDialog");
    setWindowTitle(LangText("login_dialog", "title", ""));
    setModal(true);
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);
    // The skin's login picture as it stands; a skin without one shows none.
    m_banner = new QLabel(this);
    const QImage banner = ctl::LoadBitmapFile(shell::SkinFile("login.bmp"));
    if (!banner.isNull()) m_banner->setPixmap(QPixmap::fromImage(banner));
    else m_banner->hide();
    v->addWidget(m_banner);

    auto* body = new QWidget(this);
    body->setObjectName("loginBody");
    auto* g = new QGridLayout(body);
    g->setContentsMargins(28, 18, 28, 8);
    g->setHorizontalSpacing(12);
    g->setVerticalSpacing(10);
    m_userLabel = new QLabel(LangText("login_dialog", "username", ""), body);
    m_user = new QComboBox(body);
    m_user->setEditable(true);
    m_user->setMinimumHeight(30);
    m_user->lineEdit()->setMaxLength(kLoginFieldMax);
    m_pwdLabel = new QLabel(LangText("login_dialog", "password", ""), body);
    m_pwd = new QLineEdit(body);
    m_pwd->setEchoMode(QLineEdit::Password);
    m_pwd->setMaxLength(kLoginFieldMax);
    m_pwd->setMinimumHeight(30);
    g->addWidget(m_userLabel, 0, 0);
    g->addWidget(m_user, 0, 1);
    g->addWidget(m_pwdLabel, 1, 0);
    g->addWidget(m_pwd, 1, 1);
    auto* checks = new QVBoxLayout;
    checks->setSpacing(6);
    m_save = new QCheckBox(LangText("login_dialog", "savepasswd", ""), body);
    m_auto = new QCheckBox(LangText("login_dialog", "autologin", ""), body);
    checks->addWidget(m_save);
    checks->addWidget(m_auto);
    g->addLayout(checks, 2, 1);
    m_register = new CHyperLink(body, Qt::AlignLeft | Qt::AlignVCenter);  // centred in its row
    // The text is also the link's address, shown as its tip; a click opens the registration page.
    m_register->SetURL(LangText("login_dialog", "register", ""));
    m_register->SetLinkText(m_register->GetURL());
    g->addWidget(m_register, 3, 1);
    v->addWidget(body);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(28, 8, 28, 18);
    m_remove = new QPushButton(LangText("login_dialog", "removeuser", ""), this);
    m_remove->setObjectName("flatButton");
    m_login = new QPushButton(LangText("login_dialog", "loginbutton", ""), this);
    m_login->setObjectName("primaryButton");
    m_login->setDefault(true);
    m_login->setMinimumSize(96, 32);
    m_cancel = new QPushButton(LangText("login_dialog", "logincancel", ""), this);
    m_cancel->setMinimumSize(80, 32);
    buttons->addWidget(m_remove);
    buttons->addStretch();
    buttons->addWidget(m_login);
    buttons->addWidget(m_cancel);
    v->addLayout(buttons);
    setFixedWidth(380);

    connect(m_login, &QPushButton::clicked, this, &CLoginDlg::OnLogin);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_remove, &QPushButton::clicked, this, &CLoginDlg::OnRemoveUser);
    connect(m_user, qOverload<int>(&QComboBox::activated), this, &CLoginDlg::OnSelChangeUser);
    connect(m_register, &CUrlLink::linkClicked, this, &CLoginDlg::OnRegister);

    shell::loadLoginInfo(shell::SavedLogins(), shell::Paths().savedLoginsPath);
    m_save->setChecked(shell::SavedLogins().savePassword);
    m_auto->setChecked(shell::SavedLogins().autoLogin);
    FillUsers();
}

void CLoginDlg::FillUsers() {
    filling_ = true;
    m_strUser.clear();
    m_strPwd.clear();
    m_user->clear();
    const shell::SavedLoginStore& store = shell::SavedLogins();
    for (const shell::SavedLogin& l : store.logins)
        if (l.kind == 1) m_user->addItem(QString::fromStdString(l.id));
    if (m_user->count() > 0) {
        int i = store.lastDialogUser.empty()
                    ? -1
                    : m_user->findText(QString::fromStdString(store.lastDialogUser), Qt::MatchStartsWith);
        if (i < 0) i = 0;
        m_user->setCurrentIndex(i);
        m_strUser = m_user->itemText(i);
        if (m_save->isChecked()) {
            for (const shell::SavedLogin& l : store.logins)
                if (l.kind == 1 && QString::fromStdString(l.id) == m_strUser) {
                    m_strPwd = QString::fromStdString(l.pwd);
                    break;
                }
        }
    }
    m_user->setEditText(m_strUser);
    m_pwd->setText(m_strPwd);
    filling_ = false;
}

void CLoginDlg::OnSelChangeUser(int index) {
    m_strPwd.clear();
    if (index < 0) return;
    m_strUser = m_user->itemText(index);
    if (m_save->isChecked()) {
        for (const shell::SavedLogin& l : shell::SavedLogins().logins)
            if (l.kind == 1 && QString::fromStdString(l.id) == m_strUser) m_strPwd = QString::fromStdString(l.pwd);
    }
    m_pwd->setText(m_strPwd);
}

void CLoginDlg::OnLogin() {
    m_strUser = m_user->currentText().trimmed();
    m_strPwd = m_pwd->text();
    if (m_strUser.isEmpty()) {
        const QString text = LangText("login_dialog", "inputusername", "Please input user name");
        const QString title = LangText("login_dialog", "title", "");
        if (showBox) showBox(text, title);
        else QMessageBox::warning(this, title, text);
        m_user->setFocus();
        return;
    }
    shell::SavedLogins().lastDialogUser = m_strUser.toStdString();
    accept();
}

void CLoginDlg::OnRemoveUser() {
    const QString text = m_user->currentText();
    shell::SavedLoginStore& store = shell::SavedLogins();
    if (text.toStdString() == store.lastDialogUser) store.lastDialogUser.clear();
    if (!text.isEmpty()) {
        shell::SavedLogin l;
        l.id = shell::CutSavedField(text.toStdString());
        l.kind = 1;
        shell::removeSavedLogin(store, l);
        FillUsers();
    }
}

void CLoginDlg::OnRegister() {
    // Without a registration page in the settings, the portal's is used from now on.
    if (g_serviceSettings.registerPage.empty())
        g_serviceSettings.registerPage = g_serviceSettings.portal.empty() ? "http://127.0.0.1/" : g_serviceSettings.portal;
    shell::OpenAddress(g_serviceSettings.registerPage);
}

void CLoginDlg::done(int result) {
    // Every close keeps the two choices and the list as the dialog left them.
    shell::SavedLoginStore& store = shell::SavedLogins();
    store.savePassword = m_save->isChecked();
    store.autoLogin = m_auto->isChecked();
    shell::saveLoginInfo(store, shell::Paths().savedLoginsPath);
    QDialog::done(result);
}
