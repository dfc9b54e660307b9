// Group message, SMS and recipient dialogs.
#include "ui/chat/chat_sms_dialogs.h"

#include "common/addrbook_query.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/debug.h"
#include "ui/chat/chat_art.h"
#include "ui/chat/chat_closing.h"
#include "ui/chat/chat_placement.h"
#include "ui/chat/chat_window.h"
#include "ui/controls/flat_combo.h"
#include "ui/controls/skin.h"
#include "ui/controls/styled_button.h"
#include "ui/shell/shell_config.h"

namespace {

std::function<void(const QString&)> g_box;
CSendSmsDlg::SmsQueue g_queue;

QString Lang(const char* section, const char* key, const char* english) { return chat::ChatText(section, key, english); }

constexpr int kRecipientsBitmap = 205;


}  // namespace

namespace chat {

std::vector<std::string> SplitSmsNumbers(const QString& text) {
    std::vector<std::string> out;
    for (const QString& part : text.split(',', Qt::SkipEmptyParts)) {
        QString n = part.trimmed();
        if (!n.isEmpty()) out.push_back(n.toStdString());
    }
    return out;
}

bool IsTypedSmsNumber(const QString& text) {
    static const QRegularExpression re("^[1-9][0-9]{0,17}$");
    return re.match(text).hasMatch();
}

}  // namespace chat

// ---------------------------------------------------------------------------------------------
CGroupMessageDlg::CGroupMessageDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("groupMessageDlg");
    setWindowIcon(QIcon(shell::ProgramIconFile()));
    // A white window; its texts are drawn on it without a background of their own.
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(this);
    edit_ = new QPlainTextEdit(this);
    layout->addWidget(edit_);
    auto* buttons = new QDialogButtonBox(this);
    send_ = buttons->addButton(QString(), QDialogButtonBox::AcceptRole);
    cancel_ = buttons->addButton(QString(), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(edit_, &QPlainTextEdit::textChanged, this, [this] {
        // At most 200 characters.
        if (edit_->toPlainText().size() > 200) {
            QString t = edit_->toPlainText().left(200);
            edit_->setPlainText(t);
            edit_->moveCursor(QTextCursor::End);
        }
    });
    layout->addWidget(buttons);
    resize(360, 200);
    OnLanguageChanged();
}

void CGroupMessageDlg::OnLanguageChanged() {
    setWindowTitle(Lang("group_dlg", "group_msg_title", "Send Group Message"));
    send_->setText(Lang("group_dlg", "group_send_btn", "Send"));
    cancel_->setText(Lang("group_dlg", "group_cancel_btn", "Cancel"));
}

void CGroupMessageDlg::accept() {
    m_strMessage = edit_->toPlainText().trimmed();
    if (m_strMessage.isEmpty()) {
        const QString text = Lang("group_dlg", "no_send_msg", "Please input message and send it!");
        if (g_box) g_box(text);
        else QMessageBox::information(this, Lang("group_dlg", "msg_box_title", "Information"), text);
        return;
    }
    QDialog::accept();
}

// ---------------------------------------------------------------------------------------------
CSelectRecipientsDlg::CSelectRecipientsDlg(const std::vector<SmsBookEntry>& book, const QString& chosen, QWidget* parent)
    : QDialog(parent), records_(book) {
    setObjectName("selectRecipientsDlg");
    setWindowTitle(Lang("selerecip_dlg", "title", "Send Sms"));
    auto* layout = new QVBoxLayout(this);
    auto* findRow = new QHBoxLayout;
    find_ = new QLineEdit(this);
    find_->setMaxLength(64);
    find_->installEventFilter(this);
    findButton_ = new QPushButton(Lang("selerecip_dlg", "btnfind", "&Find"), this);
    findButton_->setEnabled(false);
    // The label's mnemonic moves to the find box (without a buddy a label shows its "&").
    auto* findLabel = new QLabel(Lang("selerecip_dlg", "findname", "&Please input name"), this);
    findLabel->setBuddy(find_);
    findRow->addWidget(findLabel);
    findRow->addWidget(find_, 1);
    findRow->addWidget(findButton_);
    layout->addLayout(findRow);
    auto makeList = [this](const char* name) {
        auto* list = new QTreeWidget(this);
        list->setObjectName(name);
        list->setRootIsDecorated(false);
        list->setSelectionMode(QAbstractItemView::ExtendedSelection);
        list->setHeaderLabels({Lang("selerecip_dlg", "col_name", "&Nick name").remove('&'),
                               Lang("selerecip_dlg", "col_no", "&Mobile no").remove('&')});
        list->header()->resizeSection(0, 120);
        list->header()->resizeSection(1, 120);
        return list;
    };
    book_ = makeList("book");
    chosen_ = makeList("chosen");
    auto* lists = new QHBoxLayout;
    lists->addWidget(book_);
    auto* middle = new QVBoxLayout;
    auto* add = new QPushButton(Lang("selerecip_dlg", "btnrecip", "&Recip"), this);
    auto* del = new QPushButton(Lang("selerecip_dlg", "btndele", "&Delete"), this);
    middle->addStretch();
    middle->addWidget(add);
    middle->addWidget(del);
    middle->addStretch();
    lists->addLayout(middle);
    lists->addWidget(chosen_);
    layout->addLayout(lists, 1);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(Lang("dlg_common", "IDOK", "&Ok"), QDialogButtonBox::AcceptRole);
    buttons->addButton(Lang("dlg_common", "IDCANCEL", "&Cancel"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    // Enter clicks no button, the focused one included: it finds in the find box and does nothing elsewhere.
    for (QPushButton* button : findChildren<QPushButton*>()) {
        button->setAutoDefault(false);
        button->installEventFilter(this);
    }
    connect(findButton_, &QPushButton::clicked, this, &CSelectRecipientsDlg::Find);
    connect(add, &QPushButton::clicked, this, &CSelectRecipientsDlg::Add);
    connect(del, &QPushButton::clicked, this, &CSelectRecipientsDlg::Delete);
    connect(book_, &QTreeWidget::itemDoubleClicked, this, [this] { AddSelectedRows(); });
    connect(find_, &QLineEdit::textChanged, this, [this](const QString& t) {
        findButton_->setEnabled(!t.isEmpty());
        if (t.isEmpty()) return;
        for (int i = 0; i < book_->topLevelItemCount(); ++i)
            if (book_->topLevelItem(i)->text(0).startsWith(t, Qt::CaseInsensitive)) {
                book_->clearSelection();
                book_->topLevelItem(i)->setSelected(true);
                book_->setCurrentItem(book_->topLevelItem(i));
                break;
            }
    });
    Find();
    for (const std::string& n : chat::SplitSmsNumbers(chosen)) {
        QString number = QString::fromStdString(n), name;
        // The name of the first record with that number.
        for (const auto& r : records_)
            if (number == QString::fromStdString(r.number)) {
                name = chat::FromAnsi(r.name);
                break;
            }
        if (!IsChosen(number)) AddChosen(name, number);
    }
    resize(560, 380);
}

bool CSelectRecipientsDlg::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(e)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (watched == find_) Find();
            // On a button (the button box makes Ok the default one when it is shown) Enter does nothing.
            if (watched == find_ || qobject_cast<QPushButton*>(watched)) return true;
        }
    }
    return QDialog::eventFilter(watched, e);
}

void CSelectRecipientsDlg::keyPressEvent(QKeyEvent* e) {
    // Enter chooses nothing by itself: only the buttons end the dialog.
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) return;
    QDialog::keyPressEvent(e);
}

QIcon CSelectRecipientsDlg::MobileIcon() {
    // The skin's picture of the book, read afresh so a skin change shows in the next chooser.
    return QIcon(ctl::KeyedPixmap(ctl::LoadBitmapFile(shell::SkinFile("addr_mobile.bmp")), RGB(0xEC, 0xE9, 0xD8)));
}

void CSelectRecipientsDlg::Find() {
    const QString key = find_->text();
    book_->clear();
    for (const auto& r : records_) {
        QString name = chat::FromAnsi(r.name), number = QString::fromStdString(r.number);
        if (!key.isEmpty() && !name.contains(key) && !number.contains(key)) continue;
        auto* item = new QTreeWidgetItem(book_, {name, number});
        item->setIcon(0, MobileIcon());
    }
}

bool CSelectRecipientsDlg::IsChosen(const QString& number) const {
    for (int i = 0; i < chosen_->topLevelItemCount(); ++i)
        if (chosen_->topLevelItem(i)->text(1) == number) return true;
    return false;
}

void CSelectRecipientsDlg::AddChosen(const QString& name, const QString& number) {
    auto* item = new QTreeWidgetItem(chosen_, {name, number});
    item->setIcon(0, MobileIcon());
}

void CSelectRecipientsDlg::Add() {
    const QString typed = find_->text().trimmed();
    if (chat::IsTypedSmsNumber(typed)) {
        // A number chosen already changes nothing, the typed text included.
        if (IsChosen(typed)) return;
        AddChosen(QString(), typed);
        find_->clear();
        return;
    }
    AddSelectedRows();
}

void CSelectRecipientsDlg::AddSelectedRows() {
    for (QTreeWidgetItem* item : book_->selectedItems())
        if (!item->text(1).isEmpty() && !IsChosen(item->text(1))) AddChosen(item->text(0), item->text(1));
}

void CSelectRecipientsDlg::Delete() {
    for (int i = chosen_->topLevelItemCount() - 1; i >= 0; --i)
        if (chosen_->topLevelItem(i)->isSelected()) delete chosen_->takeTopLevelItem(i);
}

void CSelectRecipientsDlg::accept() {
    m_strResult.clear();
    for (int i = 0; i < chosen_->topLevelItemCount(); ++i) m_strResult += "," + chosen_->topLevelItem(i)->text(1);
    QDialog::accept();
}

// ---------------------------------------------------------------------------------------------
void CSendSmsDlg::SetHooks(std::function<void(const QString&)> box, SmsQueue queue) {
    g_box = std::move(box);
    g_queue = std::move(queue);
}

CSendSmsDlg::CSendSmsDlg(QPointer<CSendSmsDlg>* ownerSlot, QWidget* parent) : QDialog(parent), ownerSlot_(ownerSlot) {
    setObjectName("sendSmsDlg");
    setAttribute(Qt::WA_DeleteOnClose, ownerSlot != nullptr);
    auto* layout = new QVBoxLayout(this);
    numbersLabel_ = new QLabel(this);
    auto* numbersRow = new QHBoxLayout;
    numbers_ = new CDigitEdit(this);  // typed: digits, commas and backspace only
    numbers_->setObjectName("numbers");
    numbers_->setMaxLength(kNumbersMax);
    // The skinned button of the recipients, with its picture (bitmap 205).
    auto* select = new CStyledButton(this);
    select->LoadBitmapPair(kRecipientsBitmap, RGB(255, 0, 255), CStyledButton::kOutNone, 0);
    select_ = select;
    numbersRow->addWidget(numbers_, 1);
    numbersRow->addWidget(select_);
    text_ = new QPlainTextEdit(this);
    text_->setObjectName("smsText");
    text_->installEventFilter(this);
    numbers_->installEventFilter(this);
    bottomTip_ = new QLabel(this);
    bottomTip_->setStyleSheet("color: #6a7a8c;");
    send_ = new QPushButton(this);
    cancel_ = new QPushButton(this);
    layout->addWidget(numbersLabel_);
    layout->addLayout(numbersRow);
    layout->addWidget(text_, 1);
    auto* row = new QHBoxLayout;
    row->addWidget(bottomTip_, 1);
    row->addWidget(send_);
    row->addWidget(cancel_);
    layout->addLayout(row);
    connect(select_, &QPushButton::clicked, this, &CSendSmsDlg::SelectRecipients);
    connect(send_, &QPushButton::clicked, this, &CSendSmsDlg::SendSms);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::close);
    connect(text_, &QPlainTextEdit::textChanged, this, [this] {
        if (text_->toPlainText().size() > kTextMax) {
            text_->setPlainText(text_->toPlainText().left(kTextMax));
            text_->moveCursor(QTextCursor::End);
        }
    });
    resize(420, 300);
    OnLanguageChanged();
    if (!parent) chat::PlaceWithinScreen(this);
}

CSendSmsDlg::~CSendSmsDlg() {
    if (ownerSlot_ && *ownerSlot_ == this) *ownerSlot_ = nullptr;  // a newer window may hold the slot by now
}

void CSendSmsDlg::reject() {
    QDialog::reject();
    if (!ownerSlot_) return;
    // The frame's pointer goes at once, so the next request makes a new window rather than this one.
    *ownerSlot_ = nullptr;
    ownerSlot_ = nullptr;
    deleteLater();
}

void CSendSmsDlg::OnLanguageChanged() {
    setWindowTitle(Lang("smssend_dlg", "title", "Send Sms"));
    numbersLabel_->setText(Lang("smssend_dlg", "mobileno", "tip"));
    bottomTip_->setText(Lang("smssend_dlg", "bottomtip", "Please Click 'Ctrl+Enter' to send"));
    select_->setText(Lang("smssend_dlg", "selerecip", "&Recip"));
    send_->setText(Lang("smssend_dlg", "sendsms", "&Send"));
    cancel_->setText(Lang("dlg_common", "IDCANCEL", "&Cancel"));
}

void CSendSmsDlg::Box(const QString& text) {
    if (g_box) {
        g_box(text);
        return;
    }
    chat::ModalScope scope(this);
    QMessageBox::information(this, Lang("dlg_common", "tip", "Tip"), text);
}

bool CSendSmsDlg::AppendNumbers(const std::vector<std::string>& numbers) {
    QString text = numbers_->text();
    for (const std::string& n : numbers) {
        if (n.empty()) continue;
        QString next = text.isEmpty() ? QString::fromStdString(n) : text + "," + QString::fromStdString(n);
        if (next.size() > kNumbersMax) {
            // The list is full: the rest is not added, and the user is told.
            numbers_->setText(text);
            Box(Lang("smssend_dlg", "toomany", "The list of numbers is full; the remaining numbers were not added."));
            return false;
        }
        text = next;
    }
    numbers_->setText(text);
    return true;
}

bool CSendSmsDlg::AddContactNumbers(const char* id) {
    if (!id) return false;
    std::vector<Type3Record> records;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        AddrNode* node = nullptr;
        for (AddrGroup* root : g_addrBookRoots)
            if (!node && root) node = AddrBook_FindById(root, id);
        if (!node) return true;
        AddrBook_CollectType3Records(node, &records, nullptr);
    }
    std::vector<std::string> numbers;
    for (const auto& r : records) numbers.emplace_back(r.number);
    return AppendNumbers(numbers);
}

bool CSendSmsDlg::SendSms() {
    const std::vector<std::string> numbers = chat::SplitSmsNumbers(numbers_->text());
    const QString text = text_->toPlainText();
    if (numbers_->text().isEmpty()) {
        Box(Lang("smssend_dlg", "nullnos", "Please input some mobile nos"));
        numbers_->setFocus();
        return false;
    }
    if (text.isEmpty()) {
        Box(Lang("smssend_dlg", "nullcontent", "Please input sms content"));
        text_->setFocus();
        return false;
    }
    Account* account = Account_FindByType(ACCOUNT_TYPE_SERVICE);
    if (!account || !account->userName || !*account->userName) return false;
    if (numbers.empty()) return false;  // separators only: nothing to queue
    const std::string body = chat::ToAnsi(text);
    return g_queue ? g_queue(account->userName, body, numbers) : chat::QueueSms(account->userName, body, numbers);
}

void CSendSmsDlg::OnSmsResult(int code) {
    if (code == 0) {
        Box(Lang("smssend_dlg", "succeeded", "You has sent succeeded."));
        text_->clear();
    } else {
        Box(Lang("smssend_dlg", "failed", "You has sent failed."));
    }
}

void CSendSmsDlg::SelectRecipients() {
    std::vector<SmsBookEntry> book;
    {
        std::vector<Type3Record> records;
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        for (AddrGroup* root : g_addrBookRoots)
            if (root) AddrBook_CollectType3Records(root, &records, nullptr);
        for (const auto& r : records) book.push_back({r.displayName, r.number});
    }
    chat::ModalScope scope(this);
    CSelectRecipientsDlg dlg(book, numbers_->text(), this);
    if (dlg.exec() == QDialog::Accepted && !scope.Closed()) {
        QString result = dlg.m_strResult;
        while (result.startsWith(',')) result.remove(0, 1);
        numbers_->setText(result);
    }
}

bool CSendSmsDlg::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(e);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::ControlModifier) {
                SendSms();
                return true;
            }
            if (watched == numbers_ || watched == text_) {
                focusNextChild();
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, e);
}

void CSendSmsDlg::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        if (send_->hasFocus() || (e->modifiers() & Qt::ControlModifier)) SendSms();
        return;
    }
    QDialog::keyPressEvent(e);
}
