// Group message, SMS and recipient dialogs offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <cstdlib>
#include <cstring>

#include "common/account.h"
#include "ui/chat/chat_record_frame.h"
#include "ui/chat/chat_sms_dialogs.h"
#include "ui/controls/skin.h"
#include "ui/shell/shell_config.h"
#include "ui/chat/chat_room_dialogs.h"
#include <QAbstractButton>
#include <QTest>
#include <functional>
#include "ui/shell/shell_config.h"

namespace {

class SmsDialogs : public ::testing::Test {
 protected:
    void SetUp() override {
        char tmpl[] = "/tmp/chatsmsXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        root_ = tmpl;
        shell::LoadConfigPaths(TESSALY_BINARY_DIR, root_, false);
        shell::ApplyLanguageCode("eng");
        account_ = Account_New("alice", ACCOUNT_TYPE_SERVICE);
        Account_Add(account_);
        CSendSmsDlg::SetHooks([this](const QString& t) { boxes_ << t; },
                              [this](const std::string& src, const std::string& text, const std::vector<std::string>& n) {
                                  sent_.push_back({src, text, n});
                                  return true;
                              });
    }
    void TearDown() override {
        CSendSmsDlg::SetHooks(nullptr, nullptr);
        Account_Remove(account_);
        Account_Free(account_);
        std::system(("rm -rf " + root_).c_str());
    }
    struct Sent {
        std::string source, text;
        std::vector<std::string> numbers;
    };
    std::string root_;
    Account* account_ = nullptr;
    QStringList boxes_;
    std::vector<Sent> sent_;
};

SmsBookEntry Record(const char* name, const char* number) { return {name, number}; }

TEST_F(SmsDialogs, NumbersSplitAndTheSendChecksWhatIsMissing) {
    EXPECT_EQ((std::vector<std::string>{"123", "456"}), chat::SplitSmsNumbers("123,,456,"));
    EXPECT_TRUE(chat::IsTypedSmsNumber("13800138000"));
    EXPECT_FALSE(chat::IsTypedSmsNumber("0123"));
    EXPECT_FALSE(chat::IsTypedSmsNumber(QString(19, '9')));
    CSendSmsDlg dlg;
    EXPECT_FALSE(dlg.SendSms());
    EXPECT_EQ("Please enter at least one mobile number.", boxes_.back());
    dlg.AppendNumbers({"123"});
    dlg.AppendNumbers({"456", ""});
    EXPECT_EQ("123,456", dlg.Numbers()->text());
    EXPECT_FALSE(dlg.SendSms());
    EXPECT_EQ("Please enter the text of the message.", boxes_.back());
    dlg.Numbers()->setText("123,,456,");
    dlg.Text()->setPlainText("See you at 3");
    EXPECT_TRUE(dlg.SendSms());
    ASSERT_EQ(1u, sent_.size());
    EXPECT_EQ("alice", sent_[0].source);
    EXPECT_EQ((std::vector<std::string>{"123", "456"}), sent_[0].numbers);
    dlg.OnSmsResult(5);
    EXPECT_EQ("The message could not be sent.", boxes_.back());
    EXPECT_EQ("See you at 3", dlg.Text()->toPlainText());  // kept for another try
    dlg.OnSmsResult(0);
    EXPECT_TRUE(dlg.Text()->toPlainText().isEmpty());
    // Separators only: nothing is queued and nothing said.
    dlg.Numbers()->setText(",,");
    dlg.Text()->setPlainText("again");
    const auto shown = boxes_.size();
    EXPECT_FALSE(dlg.SendSms());
    EXPECT_EQ(1u, sent_.size());
    EXPECT_EQ(shown, boxes_.size());
    // Only an empty text is missing: blanks are a text.
    dlg.Numbers()->setText("123");
    dlg.Text()->setPlainText("  ");
    EXPECT_TRUE(dlg.SendSms());
    ASSERT_EQ(2u, sent_.size());
    EXPECT_EQ("  ", sent_[1].text);
}

TEST_F(SmsDialogs, TheNumberListNeverPassesItsLimit) {
    CSendSmsDlg dlg;
    std::vector<std::string> many(300, "1380013800");  // 11 characters each with the comma
    EXPECT_FALSE(dlg.AppendNumbers(many));
    EXPECT_LE(dlg.Numbers()->text().size(), CSendSmsDlg::kNumbersMax);
    EXPECT_EQ(1, boxes_.size());
}

TEST_F(SmsDialogs, TheChooserAddsTypedOrSelectedNumbers) {
    std::vector<SmsBookEntry> book{Record("Ann", "123"), Record("Bob", "456"), Record("Cat", "789"), Record("Dan", "123")};
    CSelectRecipientsDlg dlg(book, "123", nullptr);
    ASSERT_EQ(4, dlg.Book()->topLevelItemCount());
    ASSERT_EQ(1, dlg.Chosen()->topLevelItemCount());
    EXPECT_EQ("Ann", dlg.Chosen()->topLevelItem(0)->text(0));
    // Both lists show the skin's mobile picture.
    const QImage mobile = ctl::KeyedPixmap(ctl::LoadBitmapFile(shell::SkinFile("addr_mobile.bmp")), RGB(0xEC, 0xE9, 0xD8)).toImage();
    ASSERT_FALSE(mobile.isNull());
    EXPECT_EQ(mobile, dlg.Chosen()->topLevelItem(0)->icon(0).pixmap(mobile.size()).toImage());
    EXPECT_EQ(mobile, dlg.Book()->topLevelItem(0)->icon(0).pixmap(mobile.size()).toImage());
    // "0123" is no number to add: the selected rows go in instead.
    dlg.Book()->topLevelItem(1)->setSelected(true);
    dlg.FindEdit()->setText("0123");
    dlg.Book()->clearSelection();
    dlg.Book()->topLevelItem(1)->setSelected(true);
    dlg.Add();
    EXPECT_EQ(2, dlg.Chosen()->topLevelItemCount());
    dlg.FindEdit()->setText("555");
    dlg.Add();
    EXPECT_TRUE(dlg.FindEdit()->text().isEmpty());
    // Typed again once chosen: nothing happens, the typed number stays in the box.
    dlg.FindEdit()->setText("555");
    dlg.Add();
    EXPECT_EQ(3, dlg.Chosen()->topLevelItemCount());
    EXPECT_EQ("555", dlg.FindEdit()->text());
    dlg.FindEdit()->setText("B");
    dlg.Find();
    EXPECT_EQ(1, dlg.Book()->topLevelItemCount());
    dlg.FindEdit()->setText("ann");  // the name is matched as written
    dlg.Find();
    EXPECT_EQ(0, dlg.Book()->topLevelItemCount());
    dlg.FindEdit()->setText("");
    dlg.Find();
    EXPECT_EQ(4, dlg.Book()->topLevelItemCount());
    dlg.accept();
    EXPECT_EQ(",123,456,555", dlg.m_strResult);
}

// A double click on the address-book list adds its selected rows, even while the find box holds a
// number Add would take; the number stays in the box.
TEST_F(SmsDialogs, ADoubleClickAddsTheSelectedRows) {
    std::vector<SmsBookEntry> book{Record("Ann", "123"), Record("Bob", "456")};
    CSelectRecipientsDlg dlg(book, "", nullptr);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    dlg.FindEdit()->setText("555");
    dlg.Book()->clearSelection();
    dlg.Book()->topLevelItem(1)->setSelected(true);
    QTreeWidgetItem* row = dlg.Book()->topLevelItem(1);
    const QPoint at = dlg.Book()->visualItemRect(row).center();
    QTest::mouseClick(dlg.Book()->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(dlg.Book()->viewport(), Qt::LeftButton, {}, at);
    ASSERT_EQ(1, dlg.Chosen()->topLevelItemCount());
    EXPECT_EQ("456", dlg.Chosen()->topLevelItem(0)->text(1));
    EXPECT_EQ("555", dlg.FindEdit()->text());
}

TEST_F(SmsDialogs, AGroupMessageOfBlanksIsRefused) {
    CGroupMessageDlg dlg;
    dlg.Edit()->setPlainText("   ");
    dlg.accept();
    EXPECT_EQ(QDialog::Rejected, dlg.result());
    EXPECT_EQ(QStringList{"Please enter a message to send."}, boxes_);
    dlg.Edit()->setPlainText(QString(250, 'a'));
    EXPECT_EQ(200, dlg.Edit()->toPlainText().size());
    dlg.Edit()->setPlainText(" hi all ");
    dlg.accept();
    EXPECT_EQ(QDialog::Accepted, dlg.result());
    EXPECT_EQ("hi all", dlg.m_strMessage);
}

// The frame's SMS window goes away on Escape as on Cancel and on closing: the next request opens a new one.
TEST_F(SmsDialogs, EscapeEndsTheFramesSmsWindow) {
    for (int how = 0; how < 2; ++how) {
        SCOPED_TRACE(how);
        QPointer<CSendSmsDlg> slot = new CSendSmsDlg(&slot);
        QPointer<CSendSmsDlg> watched = slot.data();
        slot->show();
        QTest::keyClicks(slot->Numbers(), "123");
        if (how == 0) QTest::keyClick(slot.data(), Qt::Key_Escape);
        else slot->close();
        EXPECT_TRUE(slot.isNull());
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(watched.isNull());
    }
}

// The number box takes digits and commas only; Enter moves on from either box, Ctrl+Enter sends, and
// Enter reaching the dialog sends only with Ctrl.
TEST_F(SmsDialogs, TheKeysOfTheSmsWindow) {
    CSendSmsDlg dlg;
    dlg.show();
    QTest::keyClicks(dlg.Numbers(), "12a,+3 4;5");
    EXPECT_EQ("12,345", dlg.Numbers()->text());
    dlg.Numbers()->setFocus();
    QTest::keyClick(dlg.Numbers(), Qt::Key_Return);
    EXPECT_TRUE(sent_.empty());
    EXPECT_TRUE(boxes_.isEmpty());
    dlg.Text()->setPlainText("hi");
    dlg.Text()->setFocus();
    QTest::keyClick(dlg.Text(), Qt::Key_Return);
    EXPECT_EQ("hi", dlg.Text()->toPlainText());  // no line end, no send
    EXPECT_TRUE(sent_.empty());
    QTest::keyClick(&dlg, Qt::Key_Return);
    EXPECT_TRUE(sent_.empty());
    QTest::keyClick(dlg.Text(), Qt::Key_Return, Qt::ControlModifier);
    ASSERT_EQ(1u, sent_.size());
    EXPECT_EQ((std::vector<std::string>{"12", "345"}), sent_[0].numbers);
    QTest::keyClick(&dlg, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(2u, sent_.size());
}

// Enter in the find box finds (and ends nothing); Enter elsewhere does nothing.
TEST_F(SmsDialogs, EnterInTheChoosersFindBoxFinds) {
    CSelectRecipientsDlg dlg({Record("Ann", "123"), Record("Bob", "456")}, "", nullptr);
    dlg.show();
    dlg.FindEdit()->setText("45");
    dlg.FindEdit()->setFocus();
    QTest::keyClick(dlg.FindEdit(), Qt::Key_Return);
    EXPECT_TRUE(dlg.isVisible());
    ASSERT_EQ(1, dlg.Book()->topLevelItemCount());
    EXPECT_EQ("Bob", dlg.Book()->topLevelItem(0)->text(0));
    dlg.Book()->setFocus();
    QTest::keyClick(dlg.Book(), Qt::Key_Return);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(QDialog::Rejected, dlg.result());
    // Nor does Enter click a button that has the focus: Find, Recip, Delete, Ok and Cancel alike.
    dlg.Book()->topLevelItem(0)->setSelected(true);
    const QList<QPushButton*> buttons = dlg.findChildren<QPushButton*>();
    ASSERT_EQ(5, buttons.size());
    for (QPushButton* button : buttons) {
        SCOPED_TRACE(button->text().toStdString());
        button->setEnabled(true);
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Return);
        QTest::keyClick(button, Qt::Key_Enter);
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_EQ(1, dlg.Book()->topLevelItemCount());
        EXPECT_EQ(0, dlg.Chosen()->topLevelItemCount());
    }
    EXPECT_EQ(QDialog::Rejected, dlg.result());
    EXPECT_TRUE(dlg.m_strResult.isEmpty());
}

// The SMS, group-message and room-list windows take a language change while open.
TEST_F(SmsDialogs, OpenWindowsFollowALanguageChange) {
    CSendSmsDlg sms;
    CGroupMessageDlg group;
    CChatRoomDlg::SetListRequest([] {});
    CChatRoomDlg* rooms = new CChatRoomDlg(nullptr);
    struct Window {
        QWidget* w;
        std::function<void()> reload;
    };
    const std::vector<Window> windows = {{&sms, [&] { sms.OnLanguageChanged(); }},
                                         {&group, [&] { group.OnLanguageChanged(); }},
                                         {rooms, [&] { rooms->OnLanguageChanged(); }}};
    std::vector<QStringList> english;
    auto texts = [](QWidget* w) {
        QStringList out{w->windowTitle()};
        for (auto* b : w->findChildren<QAbstractButton*>()) out << b->text();
        return out;
    };
    for (const auto& window : windows) english.push_back(texts(window.w));
    shell::ApplyLanguageCode("chs");
    for (size_t i = 0; i < windows.size(); ++i) {
        windows[i].reload();
        const QStringList chinese = texts(windows[i].w);
        EXPECT_NE(english[i][0], chinese[0]) << i;
        EXPECT_NE(english[i], chinese) << i;
    }
    shell::ApplyLanguageCode("eng");
    for (size_t i = 0; i < windows.size(); ++i) {
        windows[i].reload();
        EXPECT_EQ(english[i], texts(windows[i].w)) << i;
    }
    delete rooms;
    CChatRoomDlg::SetListRequest(nullptr);
}

// A mnemonic marks a letter and is never shown as "&": in both languages, a label carrying one hands
// it to the field it names. The query dialog's dates read as the browser writes them in both as well.
TEST_F(SmsDialogs, MnemonicsAndDatesReadRightInBothLanguages) {
    for (const char* code : {"eng", "chs"}) {
        shell::ApplyLanguageCode(code);
        CSelectRecipientsDlg chooser({Record("Ann", "13800138000")}, "", nullptr);
        CSendSmsDlg sms;
        CChatQueryDlg query({{5, "Ann"}});
        for (QDialog* dlg : std::initializer_list<QDialog*>{&chooser, &sms, &query}) {
            EXPECT_FALSE(dlg->windowTitle().contains('&')) << code << " " << dlg->objectName().toStdString();
            for (QLabel* label : dlg->findChildren<QLabel*>()) {
                if (!label->text().remove("&&").contains('&')) continue;
                EXPECT_NE(nullptr, label->buddy()) << code << " " << label->text().toStdString();
            }
        }
        const QString today = QDate::currentDate().toString("yyyy-MM-dd");
        for (QDateEdit* date : query.findChildren<QDateEdit*>()) EXPECT_EQ(today, date->text()) << code;
    }
    shell::ApplyLanguageCode("eng");
}

}  // namespace
