// The accounts dialogs: the list of sign-in accounts, the type chooser and the two account editors.
#include "ui/shell/accounts_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cstring>
#include <mutex>

#include "common/account.h"
#include "common/appenv.h"
#include "common/presence_link.h"
#include "platform/codepage.h"
#include "service/presence_core.h"
#include "ui/shell/book_results.h"
#include "ui/shell/dialog_box.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/shell_config.h"

namespace shell {

CAccountsDlg* g_pAccountsDlg = nullptr;

namespace {

QString StateText(int online) { return LangText("presence_state", std::to_string(online).c_str(), ""); }
QString ProtocolText(uint32_t type) {
    return LangText("protocol", std::to_string(type).c_str(), "");
}
const char* EditorSection(uint32_t type) { return type == ACCOUNT_TYPE_SIP ? "account_sip_dlg" : "account_mv_dlg"; }

void SetCommonButtons(QDialogButtonBox* box) {
    box->button(QDialogButtonBox::Ok)->setText(LangText("dlg_common", "IDOK", "&OK"));
    box->button(QDialogButtonBox::Cancel)->setText(LangText("dlg_common", "IDCANCEL", "&Cancel"));
}

void Fill(Account* a, const AccountValues& v, bool settings) {
    const QByteArray pwd = v.password.toUtf8(), server = v.server.toUtf8();
    // The alias is a name: the ANSI code page, as the profile's display name that sets it.
    const std::string alias = plat::FromUtf16(v.alias.toStdU16String(), CP_ACP);
    Account_SetPassword(a, pwd.constData());
    Account_SetAlias(a, alias.empty() ? nullptr : alias.c_str());
    Account_SetAutoLogin(a, v.autoLogin ? 1 : 0);
    if (settings) {
        presence_setting_set_string(&a->settings, "server", nullptr, server.constData());
        presence_setting_set_int(&a->settings, "port", nullptr, v.port);
    }
}

}  // namespace

std::vector<AccountRow> AccountRows() {
    std::vector<AccountRow> rows;
    std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
    for (Account* a = g_accountList; a; a = a->next)
        rows.insert(rows.begin(), AccountRow{QString::fromUtf8(a->userName), StateText(Account_IsOnline(a) ? 1 : 0),
                                             ProtocolText(a->type), a->type});
    return rows;
}

int CheckAccountValues(const AccountValues& v, uint32_t type, bool isNew, int minPort) {
    if (!v.portIsNumber) return 3;
    if (v.port < minPort || v.port > 65535) return 4;
    if (v.user.isEmpty() || v.password.isEmpty() || v.server.isEmpty() || v.port == 0) return 1;
    if (isNew) {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        const QByteArray user = v.user.toUtf8();
        for (Account* a = g_accountList; a; a = a->next)
            if (a->type == type && std::strcmp(a->userName, user.constData()) == 0) return 2;
    }
    return 0;
}

bool AddAccount(uint32_t type, const AccountValues& v) {
    const QByteArray user = v.user.toUtf8();
    Account* a = Account_New(user.constData(), type);
    if (!a) return false;
    Fill(a, v, true);
    std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
    if (!Account_Add(a)) {
        Account_Free(a);
        return false;
    }
    return true;
}

bool UpdateAccount(uint32_t type, const AccountValues& v) {
    const QByteArray user = v.user.toUtf8();
    std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
    Account* a = Account_Find(user.constData(), type);
    if (!a) return false;
    Fill(a, v, true);
    return true;
}

bool DeleteAccount(const QString& name, uint32_t type) {
    const QByteArray user = name.toUtf8();
    Account* a;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        a = Account_Find(user.constData(), type);
        if (!a) return false;
        Account_Remove(a);
    }
    // The account's buddy identities are gone from the store: the Contacts page must drop its items.
    if (BookHooks().refresh) BookHooks().refresh(REBUILD_BUDDIES);
    // Signed off outside the lock: the presence core may post to the login machine.
    Account_Logout(a);
    Account_Free(a);
    return true;
}

// ---------------------------------------------------------------------------------------------
CAccountTypeDlg::CAccountTypeDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("accountTypeDlg");
    setWindowTitle(LangText("account_type_dialog", "title", ""));
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(18, 16, 18, 14);
    v->setSpacing(10);
    auto* label = new QLabel(LangText("account_type_dialog", "txt_account_type", ""), this);
    combo_ = new QComboBox(this);
    combo_->setMinimumWidth(220);
    for (int t : {1, 2}) combo_->addItem(ProtocolText(t), t);
    combo_->setCurrentIndex(0);
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    SetCommonButtons(box);
    connect(box, &QDialogButtonBox::accepted, this, &CAccountTypeDlg::OnOK);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    v->addWidget(label);
    v->addWidget(combo_);
    v->addSpacing(6);
    v->addWidget(box);
}

void CAccountTypeDlg::OnOK() {
    m_nType = combo_->currentData().toInt();
    accept();
}

// ---------------------------------------------------------------------------------------------
CAccountEditorDlg::CAccountEditorDlg(uint32_t type, QWidget* parent) : QDialog(parent), type_(type) {
    const char* s = EditorSection(type);
    const bool sip = type == ACCOUNT_TYPE_SIP;
    setObjectName(sip ? "sipAccountDlg" : "serviceAccountDlg");
    setWindowTitle(LangText(s, "title", ""));
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(18, 16, 18, 14);
    v->setSpacing(10);
    auto* form = new QFormLayout;
    form->setHorizontalSpacing(12);
    form->setVerticalSpacing(8);
    m_user = new QLineEdit(this);
    m_password = new QLineEdit(this);
    m_password->setEchoMode(QLineEdit::Password);
    m_alias = new QLineEdit(this);
    m_server = new QLineEdit(this);
    m_port = new QLineEdit(this);
    m_port->setInputMask(QString());
    m_port->setMaxLength(5);
    m_port->setMaximumWidth(90);
    m_autoLogin = new QCheckBox(LangText(s, "txt_autologin", ""), this);
    for (QLineEdit* e : {m_user, m_password, m_alias, m_server}) e->setMinimumWidth(240);
    form->addRow(LangText(s, "txt_username", ""), m_user);
    form->addRow(LangText(s, "txt_password", ""), m_password);
    form->addRow(LangText(s, "txt_alias", ""), m_alias);
    form->addRow(sip ? LangText(s, "txt_proxyserver", "") : LangText(s, "txt_server", ""), m_server);
    form->addRow(sip ? LangText(s, "txt_proxyport", "") : LangText(s, "txt_port", ""), m_port);
    form->addRow(QString(), m_autoLogin);
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    SetCommonButtons(box);
    connect(box, &QDialogButtonBox::accepted, this, [this] {
        if (OnOK()) accept();
    });
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    v->addLayout(form);
    v->addSpacing(4);
    v->addWidget(box);
    m_bNew = 1;
}

void CAccountEditorDlg::Load(const AccountValues& val) {
    m_user->setText(val.user);
    m_password->setText(val.password);
    m_alias->setText(val.alias);
    m_server->setText(val.server);
    m_port->setText(QString::number(val.port));
    m_autoLogin->setChecked(val.autoLogin);
    m_bNew = val.user.isEmpty() ? 1 : 0;
    // An existing account keeps its name.
    m_user->setEnabled(m_bNew);
}

AccountValues CAccountEditorDlg::Values() const {
    AccountValues v;
    v.user = m_user->text();
    v.password = m_password->text();
    v.alias = m_alias->text();
    v.server = m_server->text();
    bool ok = false;
    v.port = m_port->text().trimmed().toInt(&ok);
    v.portIsNumber = ok;
    if (!ok) v.port = 0;
    v.autoLogin = m_autoLogin->isChecked();
    return v;
}

bool CAccountEditorDlg::OnOK() {
    const QString caption = LangText("accounts_dialog", "account_add_error", "");
    const int minPort = type_ == ACCOUNT_TYPE_SIP ? 1 : 0;
    switch (CheckAccountValues(Values(), type_, m_bNew != 0, minPort)) {
        case 3:
            DialogBox(this, LangText("dlg_common", "txt_int", "Please enter an integer."), caption);
            return false;
        case 4:
            DialogBox(this,
                      FillFormat(LangFormatText("dlg_common", "txt_int_range", "Please enter an integer between %d and %d."),
                                 {QString::number(minPort), "65535"}),
                      caption);
            return false;
        case 1:
            DialogBox(this, LangText("account_mv_dlg", "txt_incomplete", ""), caption);
            return false;
        case 2:
            DialogBox(this, LangText("accounts_dialog", "txt_duplicate_account", "duplicate"), caption);
            return false;
        default: return true;
    }
}

// ---------------------------------------------------------------------------------------------
CAccountsDlg::CAccountsDlg(QWidget* parent) : QDialog(parent) {
    g_pAccountsDlg = this;
    setObjectName("accountsDlg");
    setWindowTitle(LangText("accounts_dialog", "title", "Accounts"));
    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(16, 16, 16, 16);
    h->setSpacing(12);
    list_ = new QTreeWidget(this);
    list_->setObjectName("accountList");
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSortingEnabled(false);
    list_->setHeaderLabels({LangText("accounts_dialog", "txt_col_username", ""),
                            LangText("accounts_dialog", "txt_col_status", ""),
                            LangText("accounts_dialog", "txt_col_protocol", "")});
    list_->header()->setSectionsClickable(false);
    list_->setColumnWidth(0, 200);
    list_->setColumnWidth(1, 60);
    list_->setColumnWidth(2, 100);
    list_->headerItem()->setTextAlignment(1, Qt::AlignCenter);
    list_->headerItem()->setTextAlignment(2, Qt::AlignCenter);
    list_->setMinimumSize(390, 220);
    list_->setStyleSheet("QTreeWidget::item { padding: 3px 2px; }");
    h->addWidget(list_, 1);
    auto* v = new QVBoxLayout;
    v->setSpacing(6);
    auto button = [&](const char* key) {
        auto* b = new QPushButton(LangText("accounts_dialog", key, ""), this);
        b->setMinimumWidth(100);
        v->addWidget(b);
        return b;
    };
    add_ = button("txt_btn_add");
    edit_ = button("txt_btn_edit");
    del_ = button("txt_btn_del");
    v->addSpacing(10);
    connect_ = button("txt_btn_con");
    disconnect_ = button("txt_btn_disc");
    v->addStretch();
    close_ = button("txt_btn_close");
    h->addLayout(v);
    connect(add_, &QPushButton::clicked, this, &CAccountsDlg::OnAdd);
    connect(edit_, &QPushButton::clicked, this, &CAccountsDlg::OnEdit);
    connect(del_, &QPushButton::clicked, this, &CAccountsDlg::OnDelete);
    connect(connect_, &QPushButton::clicked, this, &CAccountsDlg::OnConnect);
    connect(disconnect_, &QPushButton::clicked, this, &CAccountsDlg::OnDisconnect);
    connect(close_, &QPushButton::clicked, this, &QDialog::reject);
    runTypeDialog = [](CAccountTypeDlg& d) { return d.exec(); };
    runEditor = [](CAccountEditorDlg& d) { return d.exec(); };
    Refill();
}

CAccountsDlg::~CAccountsDlg() {
    if (g_pAccountsDlg == this) g_pAccountsDlg = nullptr;
}

void CAccountsDlg::Refill() {
    list_->clear();
    for (const AccountRow& r : AccountRows()) {
        auto* item = new QTreeWidgetItem(list_, {r.name, r.state, r.protocol});
        item->setData(0, Qt::UserRole, r.type);
        item->setTextAlignment(1, Qt::AlignCenter);
        item->setTextAlignment(2, Qt::AlignCenter);
    }
}

bool CAccountsDlg::SelectedRow(QString* name, uint32_t* type) const {
    const auto items = list_->selectedItems();
    if (items.isEmpty()) return false;
    *name = items.first()->text(0);
    *type = items.first()->data(0, Qt::UserRole).toUInt();
    return true;
}

int CAccountsDlg::FindRow(const QString& name, uint32_t type) const {
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* it = list_->topLevelItem(i);
        if (it->text(0) == name && it->data(0, Qt::UserRole).toUInt() == type) return i;
    }
    return -1;
}

void CAccountsDlg::OnAdd() {
    CAccountTypeDlg typeDlg(this);
    if (runTypeDialog(typeDlg) != QDialog::Accepted) return;
    const uint32_t type = static_cast<uint32_t>(typeDlg.m_nType);
    if (type != ACCOUNT_TYPE_SERVICE && type != ACCOUNT_TYPE_SIP) return;
    CAccountEditorDlg editor(type, this);
    AccountValues preset;
    if (type == ACCOUNT_TYPE_SERVICE) {
        preset.server = QString::fromStdString(ConfigString("QZ", "server", ACCOUNT_DEFAULT_SERVICE_SERVER));
        preset.port = ConfigInt("QZ", "port", ACCOUNT_DEFAULT_SERVICE_PORT);
    } else {
        preset.server = QString::fromStdString(ConfigString("SIP", "outboundproxy", ""));
        preset.port = ConfigInt("SIP", "proxyport", ACCOUNT_DEFAULT_SIP_PORT);
    }
    editor.Load(preset);
    if (runEditor(editor) != QDialog::Accepted) return;
    if (!AddAccount(type, editor.Values())) {
        DialogBox(this, "Not enough memory", LangText("accounts_dialog", "account_add_error", ""));
        return;
    }
    Refill();
}

void CAccountsDlg::OnEdit() {
    QString name;
    uint32_t type;
    if (!SelectedRow(&name, &type)) return;
    AccountValues v;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        const QByteArray user = name.toUtf8();
        Account* a = Account_Find(user.constData(), type);
        if (!a) return;
        char server[513] = {};
        presence_setting_get_string(&a->settings, "server", "", server, sizeof server);
        v.user = QString::fromUtf8(a->userName);
        v.password = QString::fromUtf8(a->password ? a->password : "");
        v.alias = QString::fromStdU16String(plat::ToUtf16(a->alias ? a->alias : "", CP_ACP));
        v.autoLogin = a->autoLogin != 0;
        v.server = QString::fromUtf8(server);
        v.port = presence_setting_get_int(&a->settings, "port", 0);
    }
    CAccountEditorDlg editor(type, this);
    editor.Load(v);
    if (runEditor(editor) != QDialog::Accepted) return;
    UpdateAccount(type, editor.Values());
    Refill();
}

void CAccountsDlg::OnDelete() {
    QString name;
    uint32_t type;
    if (!SelectedRow(&name, &type)) return;
    DeleteAccount(name, type);
    Refill();
}

void CAccountsDlg::OnConnect() {
    QString name;
    uint32_t type;
    if (!SelectedRow(&name, &type) || (type != ACCOUNT_TYPE_SERVICE && type != ACCOUNT_TYPE_SIP)) return;
    Account* a;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        const QByteArray user = name.toUtf8();
        a = Account_Find(user.constData(), type);
        if (!a || a->connection) return;
    }
    Account_Login(a);
    if (PresenceServices* services = Presence_GetServices()) services->presence_serv_login(a, g_hMainWnd.load());
}

void CAccountsDlg::OnDisconnect() {
    QString name;
    uint32_t type;
    if (!SelectedRow(&name, &type) || (type != ACCOUNT_TYPE_SERVICE && type != ACCOUNT_TYPE_SIP)) return;
    Account* a;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        const QByteArray user = name.toUtf8();
        a = Account_Find(user.constData(), type);
        if (!a || !a->connection) return;
    }
    Account_Logout(a);
}

void CAccountsDlg::OnAccountListChanged(int what, const Account* account) {
    if (!account) return;
    const QString name = QString::fromUtf8(account->userName);
    if (what == 29) {
        auto* item = new QTreeWidgetItem(list_, {name, StateText(Account_IsOnline(account) ? 1 : 0), ProtocolText(account->type)});
        item->setData(0, Qt::UserRole, account->type);
    } else if (what == 30) {
        const int row = FindRow(name, account->type);
        if (row >= 0) delete list_->takeTopLevelItem(row);
    }
}

void CAccountsDlg::OnAccountState(int state, const Account* account) {
    if (!account) return;
    const int row = FindRow(QString::fromUtf8(account->userName), account->type);
    if (row >= 0) list_->topLevelItem(row)->setText(1, StateText(state));
}

}  // namespace shell
