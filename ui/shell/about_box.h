// The about box: the product's pictures, version and notices; its version text opens the accounts.
#pragma once

#include <QDialog>
#include <functional>

class QLabel;

// The version text: the copyright text with "\n" as line breaks, then the version, then the second
// text; at most 511 characters.
QString AboutVersionText(const QString& copyright, const QString& version, const QString& second);

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    void OnClickVersion();
    QLabel* VersionText() const { return version_; }
    // Runs the accounts dialog; tests replace it.
    std::function<void()> runAccounts;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel *version_, *notice_;
};
