// The accounts dialogs: the list of sign-in accounts, the type chooser and the two account editors.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
struct Account;

namespace shell {

// What an editor hands back; what the list shows of one account.
struct AccountValues {
    QString user, password, alias, server;
    int port = 0;
    bool autoLogin = false;
    bool portIsNumber = true;  // the port field held a whole number
};
struct AccountRow {
    QString name, state, protocol;
    uint32_t type = 0;
};

// The rows of the account list: the last account of the list first.
std::vector<AccountRow> AccountRows();
// Editor check: 0 fine, 1 incomplete (user, password or server empty, or port 0), 2 a new account
// whose name (exactly) and type are already listed, 3 the port is not a whole number, 4 the port is
// outside minPort..65535 (the port field is read first, as the editor reads its fields).
int CheckAccountValues(const AccountValues& v, uint32_t type, bool isNew, int minPort);
// The changes of the list, under the account-list lock; "account.ini" is written at the end of the
// run as before. Add: false on a duplicate or no memory. Update: the account of that name and type
// takes the values. Delete: the account is signed off, removed and freed.
bool AddAccount(uint32_t type, const AccountValues& v);
bool UpdateAccount(uint32_t type, const AccountValues& v);
bool DeleteAccount(const QString& name, uint32_t type);

class CAccountTypeDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAccountTypeDlg(QWidget* parent = nullptr);
    void OnOK();
    int m_nType = 0;
    QComboBox* Combo() const { return combo_; }

private:
    QComboBox* combo_;
};

// Both editors: the service account (type 1, section "account_mv_dlg") and the SIP account (type 2,
// section "account_sip_dlg").
class CAccountEditorDlg : public QDialog {
    Q_OBJECT
public:
    CAccountEditorDlg(uint32_t type, QWidget* parent = nullptr);
    void Load(const AccountValues& v);
    AccountValues Values() const;
    // OK: checks the fields; stays open (false) with a message when they will not do.
    bool OnOK();
    uint32_t Type() const { return type_; }
    int m_bNew = 0;
    QLineEdit *m_user, *m_password, *m_alias, *m_server, *m_port;
    QCheckBox* m_autoLogin;

private:
    uint32_t type_;
};

class CServiceAccountDlg : public CAccountEditorDlg {
public:
    explicit CServiceAccountDlg(QWidget* parent = nullptr) : CAccountEditorDlg(1, parent) {}
};
class CSipAccountDlg : public CAccountEditorDlg {
public:
    explicit CSipAccountDlg(QWidget* parent = nullptr) : CAccountEditorDlg(2, parent) {}
};

class CAccountsDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAccountsDlg(QWidget* parent = nullptr);
    ~CAccountsDlg() override;
    void Refill();
    void OnAdd();
    void OnEdit();
    void OnDelete();
    void OnConnect();
    void OnDisconnect();
    // wParam 29 an account was added, 30 removed.
    void OnAccountListChanged(int what, const Account* account);
    void OnAccountState(int state, const Account* account);
    QTreeWidget* List() const { return list_; }
    // The modal runs; tests answer them without a window (QDialog::Accepted or Rejected).
    std::function<int(CAccountTypeDlg&)> runTypeDialog;
    std::function<int(CAccountEditorDlg&)> runEditor;

private:
    bool SelectedRow(QString* name, uint32_t* type) const;
    int FindRow(const QString& name, uint32_t type) const;
    QTreeWidget* list_;
    QPushButton *add_, *del_, *edit_, *connect_, *disconnect_, *close_;
};

// The open accounts dialog, or null.
extern CAccountsDlg* g_pAccountsDlg;

}  // namespace shell
