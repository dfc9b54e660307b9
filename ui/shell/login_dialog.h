// CLoginDlg: pick or type a user and password, the two choices, remove a saved user.
#pragma once

#include <QDialog>
#include <QString>

class QComboBox;
class QLineEdit;
class QCheckBox;
class QPushButton;
class QLabel;
class CHyperLink;

// Characters the user-name and password fields take; a saved login keeps at most 32 bytes of each.
inline constexpr int kLoginFieldMax = 40;

class CLoginDlg : public QDialog {
    Q_OBJECT
public:
    explicit CLoginDlg(QWidget* parent = nullptr);
    QString m_strUser;
    QString m_strPwd;
    QComboBox* UserBox() const { return m_user; }
    QLineEdit* PasswordBox() const { return m_pwd; }
    QCheckBox* SaveBox() const { return m_save; }
    QCheckBox* AutoBox() const { return m_auto; }
    QPushButton* LoginButton() const { return m_login; }
    QPushButton* RemoveButton() const { return m_remove; }
    // Message boxes; tests replace it.
    std::function<void(const QString&, const QString&)> showBox;
    void OnLogin();
    void OnRemoveUser();
    void OnSelChangeUser(int index);
    // Opens the registration page of the settings file (or the portal).
    void OnRegister();

protected:
    void done(int result) override;

private:
    void FillUsers();
    QComboBox* m_user;
    QLineEdit* m_pwd;
    QCheckBox *m_save, *m_auto;
    QPushButton *m_login, *m_cancel, *m_remove;
    QLabel *m_banner, *m_userLabel, *m_pwdLabel;
    CHyperLink* m_register;
    bool filling_ = false;
};
