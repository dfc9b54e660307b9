// The group message dialog, the send-SMS dialog and its recipient chooser.
#pragma once

#include <QDialog>
#include <QPointer>
#include <functional>
#include <string>
#include <vector>

// One number of the address book as the chooser lists it (display name in the ANSI code page).
struct SmsBookEntry {
    std::string name;
    std::string number;
};

class QKeyEvent;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

namespace chat {
// The non-empty entries of a comma-separated number list, in order.
std::vector<std::string> SplitSmsNumbers(const QString& text);
// Whether a typed number may be added: 1 to 18 digits, not beginning with 0.
bool IsTypedSmsNumber(const QString& text);
// Queues access-server command SND; false when nothing was queued.
bool QueueSms(const std::string& source, const std::string& text, const std::vector<std::string>& numbers);
}  // namespace chat

class CGroupMessageDlg : public QDialog {
    Q_OBJECT
public:
    explicit CGroupMessageDlg(QWidget* parent = nullptr);
    QString m_strMessage;
    void accept() override;
    void OnLanguageChanged();
    QPlainTextEdit* Edit() const { return edit_; }

private:
    QPlainTextEdit* edit_;
    QPushButton *send_, *cancel_;
};

class CSelectRecipientsDlg : public QDialog {
    Q_OBJECT
public:
    CSelectRecipientsDlg(const std::vector<SmsBookEntry>& book, const QString& chosen, QWidget* parent = nullptr);
    QString m_strResult;  // ",n1,n2..."
    void Find();
    void Add();
    // The selected rows of the address-book list with a number not chosen yet (a double click on the list).
    void AddSelectedRows();
    void Delete();
    void accept() override;
    QLineEdit* FindEdit() const { return find_; }
    QTreeWidget* Book() const { return book_; }
    QTreeWidget* Chosen() const { return chosen_; }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    static QIcon MobileIcon();
    bool IsChosen(const QString& number) const;
    void AddChosen(const QString& name, const QString& number);
    std::vector<SmsBookEntry> records_;
    QLineEdit* find_;
    QPushButton* findButton_;
    QTreeWidget* book_;
    QTreeWidget* chosen_;
};

class CSendSmsDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kNumbersMax = 2048;
    static constexpr int kTextMax = 512;
    CSendSmsDlg(QPointer<CSendSmsDlg>* ownerSlot = nullptr, QWidget* parent = nullptr);
    ~CSendSmsDlg() override;
    // Appends the numbers below an address-book node (group, contact or card); false when they do not fit.
    bool AddContactNumbers(const char* id);
    bool AddRecipient(const char* id) { return AddContactNumbers(id); }
    // Appends numbers (already collected); false when the list would pass 2048 characters.
    bool AppendNumbers(const std::vector<std::string>& numbers);
    // Queues the SMS to the access server; false when something is missing (a box says what).
    bool SendSms();
    // The server's answer.
    void OnSmsResult(int code);
    void SelectRecipients();
    void OnLanguageChanged();
    // Escape and Cancel: a window the frame made goes away, as closing it does.
    void reject() override;
    QLineEdit* Numbers() const { return numbers_; }
    QPlainTextEdit* Text() const { return text_; }

    // Replaceable for tests: the boxes and the queueing of the request (takes the record).
    using SmsQueue = std::function<bool(const std::string& source, const std::string& text, const std::vector<std::string>& numbers)>;
    static void SetHooks(std::function<void(const QString&)> box, SmsQueue queue);

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void Box(const QString& text);
    QPointer<CSendSmsDlg>* ownerSlot_;
    QLineEdit* numbers_;
    QPlainTextEdit* text_;
    QLabel *numbersLabel_, *bottomTip_;
    QPushButton *select_, *send_, *cancel_;
};
