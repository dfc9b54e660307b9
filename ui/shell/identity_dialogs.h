// The identity chooser and the password prompt used before acting in the name of one identity.
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QTreeWidget;

class CSelectIdentityDlg : public QDialog {
    Q_OBJECT
public:
    // needPassword: the caller wants a password with the identity (m_bNeedPassword).
    explicit CSelectIdentityDlg(QWidget* parent = nullptr, bool needPassword = false);
    void OnInitDialog();
    // OK: true when the dialog ended, false when it stays for the missing password.
    bool OnOK();
    QString m_strPassword;
    QString m_strIdentity;
    int m_bNeedPassword = 0;
    int m_nSelected = -1;
    QTreeWidget* List() const { return list_; }
    // Cancel, Escape and closing the window end the dialog with 2.
    void reject() override { done(2); }
    QLineEdit* PasswordEdit() const { return password_; }
    QLineEdit* IdentityEdit() const { return identity_; }

private:
    QTreeWidget* list_;
    QLineEdit *password_, *identity_;
};

class CPasswordDlg : public QDialog {
    Q_OBJECT
public:
    explicit CPasswordDlg(QWidget* parent = nullptr);
    bool OnOK();
    QString m_strPassword;
    QLineEdit* PasswordEdit() const { return password_; }
    void reject() override { done(2); }

private:
    QLineEdit* password_;
};
