// The chat-record browser offscreen over a records root of fixtures: tree, ranges, deletion written back
// without losing appends, keyword search, export, day steps.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QSignalSpy>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>
#include <QToolButton>
#include <QLineEdit>
#include <QComboBox>
#include <QAbstractItemView>
#include <QTreeWidget>
#include <cstdlib>
#include <sys/stat.h>
#include <map>
#include <memory>

#include "platform/codepage.h"
#include "platform/fs.h"
#include "ui/chat/chat_placement.h"
#include "ui/chat/chat_record_frame.h"
#include "ui/chat/chat_record_view.h"
#include <QLabel>
#include <QTest>
#include "ui/controls/rich_edit.h"
#include "ui/controls/skin.h"
#include "ui/shell/app_start.h"
#include "ui/shell/shell_config.h"

namespace {

class ChatRecordBrowser : public ::testing::Test {
 protected:
    void SetUp() override {
        char tmpl[] = "/tmp/chatbrowseXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        root_ = tmpl;
        shell::LoadConfigPaths(TESSALY_BINARY_DIR, root_, false);
        shell::ApplyLanguageCode("eng");
        store_.SetRoot(root_ + "/records");
        const int64_t now = time(nullptr);
        store_.Append(5, 0, 0, "Ann", "Me", now - 60, "hello /:) there", 0, "");
        store_.Append(5, 1, 0, "Ann", "Me", now - 50, "42", 0, "");
        store_.Append(5, 0, 0, "Me", "Ann", now - 86400 * 3, "three days ago", 1, plat::Utf8ToAnsi("安妮"));
        store_.Append(6, 0, 1, "Bob", "Me", now - 30, std::string(256, 'x'), 0, "");
        CChatRecordFrame::SetBoxHook([this](const QString& t) { boxes_ << t; });
    }
    void TearDown() override {
        CChatRecordFrame::SetBoxHook(nullptr);
        std::system(("rm -rf " + root_).c_str());
    }
    std::string root_;
    ChatRecordFile store_;
    QStringList boxes_;
};

QTreeWidgetItem* Peer(CChatRecordFrame& f, int i) { return f.Tree()->topLevelItem(0)->child(i); }


// The browser opens wholly within the screen's available area, cut to it where it is larger than the
// area (the offscreen screen is narrower than the browser).
TEST_F(ChatRecordBrowser, OpensWithinTheScreensAvailableArea) {
    struct Case {
        QRect frame, area, placed;
    } cases[] = {
        {{204, 223, 820, 560}, {0, 0, 1024, 768}, {204, 208, 820, 560}},  // off the bottom: up
        {{0, 0, 820, 560}, {0, 0, 800, 600}, {0, 0, 800, 560}},          // too wide: cut
        {{-50, -20, 300, 200}, {0, 30, 1024, 738}, {0, 30, 300, 200}},   // under a panel at the top
        {{900, 700, 300, 200}, {0, 0, 1024, 768}, {724, 568, 300, 200}},  // off the right and the bottom
    };
    for (const Case& c : cases) EXPECT_EQ(c.placed, chat::FitWithin(c.frame, c.area)) << c.frame.x() << "," << c.frame.y();
    auto* f = new CChatRecordFrame(&store_, [](int) { return std::string(); });
    f->show();
    const QRect area = f->screen()->availableGeometry();
    EXPECT_TRUE(area.contains(f->frameGeometry())) << f->frameGeometry().x() << "," << f->frameGeometry().y() << " "
                                                   << f->frameGeometry().width() << "x" << f->frameGeometry().height();
    f->close();
}

TEST_F(ChatRecordBrowser, TreeRangesAndTheShownRecord) {
    CChatRecordFrame f(&store_, [](int) { return std::string(); });
    f.show();
    EXPECT_EQ("Message management", f.windowTitle());
    ASSERT_EQ(2, f.Tree()->topLevelItem(0)->childCount());
    EXPECT_EQ(QString::fromUtf8("安妮"), Peer(f, 0)->text(0));  // the last name written
    EXPECT_EQ("Bob", Peer(f, 1)->text(0));
    ASSERT_EQ(6, Peer(f, 0)->childCount());
    EXPECT_EQ("Last month", Peer(f, 0)->child(5)->text(0));
    // The peer itself: the last week.
    f.Tree()->setCurrentItem(Peer(f, 0));
    EXPECT_EQ(3, f.List()->topLevelItemCount());
    EXPECT_EQ("Records: 3", f.StatusText(2));
    // Today: text then voice of the day.
    f.Tree()->setCurrentItem(Peer(f, 0)->child(0));
    ASSERT_EQ(2, f.List()->topLevelItemCount());
    EXPECT_EQ("Text", f.List()->topLevelItem(0)->text(3));
    EXPECT_EQ("Voice", f.List()->topLevelItem(1)->text(3));
    f.List()->topLevelItem(0)->setSelected(true);
    EXPECT_EQ(1u, f.View()->ImageCodeCount());  // the emoticon drawn as a picture
    EXPECT_EQ("hello /:) there", f.View()->GetTextWithImageCodes(false, nullptr));
    // Day steps stop at today and at 27 days back.
    EXPECT_FALSE(f.Enabled(32875));
    for (int i = 0; i < 40; ++i) f.StepDay(1);
    EXPECT_EQ(27, f.DaysBack());
    EXPECT_FALSE(f.Enabled(32874));
    // A peer without a folder.
    EXPECT_FALSE(f.SelectRecordOwner(99));
    EXPECT_EQ(QStringList{"There is no chat history with this contact."}, boxes_);
    EXPECT_TRUE(f.SelectRecordOwner(6));
    ASSERT_EQ(1, f.List()->topLevelItemCount());
    EXPECT_EQ("Private", f.List()->topLevelItem(0)->text(4));
}

// A voice record shows a picture that plays its message when clicked; text beside it plays nothing.
// The query result reads again the peer last shown and the range last read: a day shown moves its peer,
// a range read moves its dates too.
TEST_F(ChatRecordBrowser, TheQueryResultReadsWhatWasShownLast) {
    CChatRecordFrame f(&store_, [](int) { return std::string(); });
    f.show();
    const QDate today = QDate::currentDate();
    f.Query(6, today.addDays(-5), today.addDays(-2), 2);  // Bob, nothing in that range
    QTreeWidgetItem* query = f.Tree()->currentItem();
    ASSERT_NE(nullptr, query);
    EXPECT_EQ(0, f.List()->topLevelItemCount());
    const struct {
        int peer, node;  // the time node browsed before going back to the query result
        int rows;
        QString range;
    } cases[] = {
        // Ann's today: her peer, the query's days, where her record of three days ago lies.
        {0, 0, 1, today.addDays(-5).toString("yyyy-MM-dd") + " to " + today.addDays(-2).toString("yyyy-MM-dd")},
        // Bob's last month: his peer and that month.
        {1, 5, 1, today.addDays(-30).toString("yyyy-MM-dd") + " to " + today.toString("yyyy-MM-dd")},
        // Ann's three days: hers again, from three days back.
        {0, 3, 3, today.addDays(-3).toString("yyyy-MM-dd") + " to " + today.toString("yyyy-MM-dd")},
    };
    for (const auto& c : cases) {
        f.Tree()->setCurrentItem(Peer(f, c.peer)->child(c.node));
        f.Tree()->setCurrentItem(query);
        EXPECT_EQ(c.rows, f.List()->topLevelItemCount()) << c.peer << "/" << c.node;
        EXPECT_EQ(c.range, f.StatusText(1)) << c.peer << "/" << c.node;
    }
}

// The day steps read the peer selected last, also when a range was read for it.
TEST_F(ChatRecordBrowser, DayStepsReadThePeerSelectedLast) {
    CChatRecordFrame f(&store_, [](int) { return std::string(); });
    f.show();
    f.Tree()->setCurrentItem(Peer(f, 0)->child(0));  // Ann's today
    f.Tree()->setCurrentItem(Peer(f, 1));             // Bob's last week
    for (int i = 0; i < 3; ++i) f.StepDay(1);
    EXPECT_EQ(0, f.List()->topLevelItemCount()) << "Ann's record of three days ago under Bob";
    f.StepDay(-3);
    EXPECT_EQ(1, f.List()->topLevelItemCount());  // Bob's today
    EXPECT_EQ("Bob", f.List()->topLevelItem(0)->text(0));
}

TEST_F(ChatRecordBrowser, TheVoicePictureInTheViewPlaysOnAClick) {
    std::vector<int> played;
    CChatRecordView::SetPlayHook([&played](int n) { played.push_back(n); });
    CChatRecordFrame f(&store_, [](int) { return std::string(); });
    f.resize(900, 600);
    f.show();
    f.Tree()->setCurrentItem(Peer(f, 0)->child(0));
    ASSERT_EQ(2, f.List()->topLevelItemCount());
    f.List()->topLevelItem(1)->setSelected(true);
    CChatRecordView* view = f.RecordView();
    EXPECT_EQ(42, view->VoiceNumber());
    EXPECT_EQ("Ann", view->SenderField()->text());
    EXPECT_TRUE(view->Edit()->toPlainText().contains("voice message", Qt::CaseInsensitive));
    QApplication::processEvents();
    // Find the picture: the first point of the view whose anchor is the voice link.
    QPoint onPicture(-1, -1);
    for (int y = 0; y < 80 && onPicture.x() < 0; y += 2)
        for (int x = 0; x < 120; x += 2)
            if (view->Edit()->anchorAt(QPoint(x, y)).startsWith("voice:")) {
                onPicture = QPoint(x, y);
                break;
            }
    ASSERT_GE(onPicture.x(), 0);
    QTest::mouseClick(view->Edit()->viewport(), Qt::LeftButton, {}, onPicture);
    EXPECT_EQ(std::vector<int>{42}, played);
    QTest::mouseClick(view->Edit()->viewport(), Qt::LeftButton, {}, QPoint(400, 60));
    EXPECT_EQ(1u, played.size());
    // A text record forgets the number.
    f.List()->clearSelection();
    f.List()->topLevelItem(0)->setSelected(true);
    EXPECT_EQ(0, view->VoiceNumber());
    // Play plays the first selected row when it is a voice record, also with more rows selected.
    EXPECT_FALSE(f.Enabled(32873));
    f.List()->clearSelection();
    f.List()->topLevelItem(1)->setSelected(true);
    f.RunCommand(32873);
    EXPECT_EQ((std::vector<int>{42, 42}), played);
    f.List()->topLevelItem(0)->setSelected(true);
    EXPECT_FALSE(f.Enabled(32873));  // the first selected row is the text
    CChatRecordView::SetPlayHook(nullptr);
}

// Asked for folder 0, the browser shows the own conversations; a language change re-reads every text.
TEST_F(ChatRecordBrowser, TheOwnFolderAndALanguageChangeWhileOpen) {
    store_.Append(0, 0, 0, "Me", "Ann", time(nullptr) - 20, "my own copy", 0, "Me");
    CChatRecordFrame f(&store_, [](int n) { return n == 0 ? std::string("Me") : std::string(); });
    EXPECT_TRUE(f.SelectRecordOwner(0));
    EXPECT_EQ("Me", f.Tree()->currentItem()->text(0));
    ASSERT_EQ(1, f.List()->topLevelItemCount());
    EXPECT_EQ("my own copy", f.Rows()[0].content);
    const QString english = f.windowTitle();
    const QString englishLabel = f.RecordView()->SenderLabel()->text();
    shell::ApplyLanguageCode("chs");
    f.OnLanguageChanged();
    EXPECT_NE(english, f.windowTitle());
    EXPECT_NE(englishLabel, f.RecordView()->SenderLabel()->text());
    EXPECT_NE("My contacts", f.Tree()->topLevelItem(0)->text(0));
    shell::ApplyLanguageCode("eng");
    f.OnLanguageChanged();
    EXPECT_EQ(english, f.windowTitle());
}

TEST_F(ChatRecordBrowser, DeletingWritesBackAndKeepsWhatArrivedMeanwhile) {
    {
        CChatRecordFrame f(&store_, [](int) { return std::string(); });
        f.Tree()->setCurrentItem(Peer(f, 0)->child(0));
        ASSERT_EQ(2, f.List()->topLevelItemCount());
        f.List()->topLevelItem(0)->setSelected(true);
        f.DeleteSelected(false);
        EXPECT_EQ(1, f.List()->topLevelItemCount());
        // A chat window appends while the deletion is pending.
        store_.Append(5, 0, 0, "Ann", "Me", time(nullptr), "arrived meanwhile", 0, "");
    }  // closing writes back
    std::vector<ChatRecordRow> rows;
    store_.ScanFolder(5, {}, &rows);
    std::vector<std::string> contents;
    for (auto& r : rows) contents.push_back(r.content);
    EXPECT_EQ(3u, rows.size());
    EXPECT_EQ(contents.end(), std::find(contents.begin(), contents.end(), "hello /:) there"));
    EXPECT_NE(contents.end(), std::find(contents.begin(), contents.end(), "arrived meanwhile"));
}

TEST_F(ChatRecordBrowser, KeywordSearchExportAndCopy) {
    CChatRecordFrame f(&store_, [](int) { return std::string(); });
    f.Search("   ");
    EXPECT_EQ(QStringList{"Please enter a keyword."}, boxes_);
    f.Search("THREE");
    ASSERT_EQ(1, f.List()->topLevelItemCount());
    EXPECT_EQ("Keyword: THREE", f.StatusText(1));
    f.List()->topLevelItem(0)->setSelected(true);
    EXPECT_FALSE(f.Enabled(32869));  // no deleting from a search result
    EXPECT_FALSE(f.Enabled(32871));
    EXPECT_TRUE(f.Enabled(32870));
    EXPECT_TRUE(f.CopyText().contains("three days ago"));
    // A peer chosen after the search lists its records whole again: they may be cut and deleted.
    f.Tree()->setCurrentItem(Peer(f, 0));
    ASSERT_EQ(3, f.List()->topLevelItemCount());
    f.List()->topLevelItem(0)->setSelected(true);
    EXPECT_TRUE(f.Enabled(32869));
    EXPECT_TRUE(f.Enabled(32871));
    f.Search("THREE");
    ASSERT_EQ(1, f.List()->topLevelItemCount());
    f.List()->topLevelItem(0)->setSelected(true);
    EXPECT_FALSE(f.Enabled(32869));
    // Export of a long record keeps it whole.
    f.Search("xxx");
    ASSERT_EQ(1, f.List()->topLevelItemCount());
    const QString path = QString::fromStdString(root_) + "/out.txt";
    ASSERT_TRUE(f.ExportTo(path));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.startsWith("Bob to Me said  ["));
    EXPECT_TRUE(text.contains(QString(256, 'x') + "\r\n\r\n"));
    // A date query.
    f.Query(5, QDate::currentDate().addDays(-4), QDate::currentDate(), 1);
    EXPECT_EQ(1, f.List()->topLevelItemCount());
    EXPECT_EQ("Voice", f.List()->topLevelItem(0)->text(3));
}

// The export is written in the records' code page, the texts between the fields as well.
TEST_F(ChatRecordBrowser, ExportWritesTheRecordsCodePage) {
    store_.Append(7, 0, 0, plat::Utf8ToAnsi("安妮"), "Me", time(nullptr) - 20, plat::Utf8ToAnsi("你好 😀"), 0, "");
    shell::ApplyLanguageCode("chs");
    CChatRecordFrame f(&store_, [](int) { return std::string(); });
    f.Query(7, QDate::currentDate(), QDate::currentDate(), 2);
    ASSERT_EQ(1, f.List()->topLevelItemCount());
    const QString path = QString::fromStdString(root_) + "/gbk.txt";
    ASSERT_TRUE(f.ExportTo(path));
    // An ordinary new file: the system's default permissions.
    const mode_t mask = ::umask(022);
    ::umask(mask);
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.toLocal8Bit().constData(), &st));
    EXPECT_EQ(0666 & ~mask, st.st_mode & 0777);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const std::string to = plat::Utf8ToAnsi(shell::LangText("chatrecord_dlg", "to", "To").toStdString());
    shell::ApplyLanguageCode("eng");
    const std::string head = plat::Utf8ToAnsi("安妮") + " " + to + " Me ";
    EXPECT_TRUE(bytes.startsWith(QByteArray::fromStdString(head))) << bytes.toStdString();
    EXPECT_TRUE(bytes.endsWith(QByteArray::fromStdString("]\r\n" + plat::Utf8ToAnsi("你好 😀") + "\r\n\r\n")));
    EXPECT_EQ(QString::fromUtf8("你好 😀"), QString::fromStdString(plat::AnsiToUtf8(bytes.mid(bytes.indexOf("]\r\n") + 3, -1).trimmed().toStdString())));
}

// The tool bar holds Cut and the day steps with their tips; the tree and the list show the skin's
// pictures.
TEST_F(ChatRecordBrowser, ToolBarAndPicturesFromTheSkin) {
    CChatRecordFrame f(&store_, [](int) { return std::string(); });
    auto* bar = f.findChild<QToolBar*>("recordsBar");
    ASSERT_NE(nullptr, bar);
    const std::tuple<int, const char*, const char*> tips[] = {
        {32867, "TipQuery", "Query records"}, {32870, "TipCopy", "Copy selected records"}, {32871, "TipCut", "Cut selected records"},
        {32869, "TipDelete", "Delete selected records"}, {32873, "TipPlay", "Play PTT"}, {32874, "TipPrevDay", "Prev day"},
        {32875, "TipNextDay", "Next day"}, {32876, "TipRefresh", "Refresh record"}};
    for (const auto& [id, key, tip] : tips) {
        QAction* action = f.Action(id);
        ASSERT_NE(nullptr, action) << id;
        EXPECT_TRUE(bar->actions().contains(action)) << id;
        EXPECT_EQ(shell::LangText("chatrecord_dlg", key, tip), action->toolTip()) << id;
    }
    // The File menu lists its commands in the order of their keys: Query, Close, Export.
    QMenu* file = f.menuBar()->actions().at(0)->menu();
    ASSERT_NE(nullptr, file);
    EXPECT_EQ((QList<QAction*>{f.Action(32867), f.Action(32868), f.Action(32900)}), file->actions());
    auto picture = [](const char* file) {
        return ctl::KeyedPixmap(ctl::LoadBitmapFile(shell::SkinFile(file)), RGB(0xEC, 0xE9, 0xD8)).toImage().convertToFormat(QImage::Format_ARGB32);
    };
    auto shown = [](const QIcon& icon) { return icon.pixmap(QSize(16, 16), 1.0).toImage().convertToFormat(QImage::Format_ARGB32); };
    QTreeWidgetItem* root = f.Tree()->topLevelItem(0);
    EXPECT_EQ(picture("addr_closed.bmp"), shown(root->icon(0)));
    EXPECT_EQ(picture("addr_useronline.bmp"), shown(Peer(f, 0)->icon(0)));
    EXPECT_EQ(picture("record_time.bmp"), shown(Peer(f, 0)->child(0)->icon(0)));
    f.Tree()->setCurrentItem(Peer(f, 0));
    ASSERT_GT(f.List()->topLevelItemCount(), 1);
    for (int i = 0; i < f.List()->topLevelItemCount(); ++i)
        EXPECT_EQ(picture("record_item.bmp"), shown(f.List()->topLevelItem(i)->icon(0))) << i;
    f.Query(5, QDate::currentDate(), QDate::currentDate(), 2);
    EXPECT_EQ(picture("record_query.bmp"), shown(f.Tree()->currentItem()->icon(0)));
}

// At its opening size the bar holds every command, the keyword box and the search button in both
// languages: the commands as pictures with tips, the search button with its text, the label whole
// within its 100 pixels. The record below the list shows several lines.
TEST_F(ChatRecordBrowser, TheToolBarAndTheRecordFitTheOpeningSize) {
    ctl::SetResourceFolder(TESSALY_BINARY_DIR "/res");  // the bar's pictures
    for (const char* code : {"eng", "chs"}) {
        shell::ApplyLanguageCode(code);
        CChatRecordFrame f(&store_, [](int) { return std::string(); });
        f.resize(820, 560);
        f.show();
        QApplication::processEvents();
        auto* bar = f.findChild<QToolBar*>("recordsBar");
        ASSERT_NE(nullptr, bar);
        auto* extension = bar->findChild<QToolButton*>("qt_toolbar_ext_button");
        EXPECT_TRUE(!extension || !extension->isVisible()) << code << ": the bar overflows";
        auto* keyword = bar->findChild<QLineEdit*>("keyword");
        ASSERT_NE(nullptr, keyword);
        EXPECT_TRUE(keyword->isVisible()) << code;
        EXPECT_TRUE(bar->rect().contains(keyword->geometry())) << code;
        auto* search = qobject_cast<QToolButton*>(bar->widgetForAction(f.Action(32903)));
        ASSERT_NE(nullptr, search);
        EXPECT_TRUE(search->isVisible()) << code;
        EXPECT_TRUE(bar->rect().contains(search->geometry())) << code;
        EXPECT_EQ(Qt::ToolButtonTextBesideIcon, search->toolButtonStyle()) << code;
        for (int id : {32867, 32870, 32871, 32869, 32873, 32874, 32875, 32876}) {
            auto* button = qobject_cast<QToolButton*>(bar->widgetForAction(f.Action(id)));
            ASSERT_NE(nullptr, button) << id;
            EXPECT_EQ(Qt::ToolButtonIconOnly, button->toolButtonStyle()) << code << " " << id;
        }
        QLabel* label = nullptr;
        for (QLabel* l : bar->findChildren<QLabel*>())
            if (!l->text().isEmpty()) label = l;
        ASSERT_NE(nullptr, label) << code;
        EXPECT_EQ(100, label->width()) << code;
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->contentsRect().width())
            << code << ": " << label->text().toStdString();
        // The record's pane: a peer's record with several lines shows them.
        const int lines = f.View()->fontMetrics().lineSpacing();
        EXPECT_GE(f.View()->viewport()->height(), 6 * lines) << code << ": " << f.View()->viewport()->height();
        f.close();
    }
    shell::ApplyLanguageCode("eng");
    ctl::SetResourceFolder("res");
}

// The query dialog's peer list, opened in the program's style, shows its current peer's name.
TEST_F(ChatRecordBrowser, TheQueryDialogsPeerListShowsItsCurrentPeer) {
    const QString sheet = qApp->styleSheet(), style = qApp->style()->name();
    QApplication::setStyle("Fusion");
    qApp->setStyleSheet(shell::ShellStyleSheet());
    {
        CChatQueryDlg dlg({{0, "Margaret Mayhew"}, {5, "Ann"}});
        dlg.show();
        QComboBox* peers = dlg.Peers();
        EXPECT_EQ("Margaret Mayhew", peers->currentText());
        peers->showPopup();
        QApplication::processEvents();
        QAbstractItemView* view = peers->view();
        const QRect current = view->visualRect(view->model()->index(peers->currentIndex(), 0));
        const QImage row = view->viewport()->grab(current).toImage();
        // The name is drawn: inside the row's frame its letters stand out from the row's own colour (the
        // commonest one there).
        const QRect inside = row.rect().adjusted(3, 3, -3, -3);
        std::map<int, int> greys;
        for (int y = inside.top(); y <= inside.bottom(); ++y)
            for (int x = inside.left(); x <= inside.right(); ++x) ++greys[qGray(row.pixel(x, y))];
        const int background =
            std::max_element(greys.begin(), greys.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
        int letters = 0;
        for (auto [grey, n] : greys) letters += std::abs(grey - background) > 80 ? n : 0;
        EXPECT_GT(letters, 80) << "the current peer's row shows no name";
        peers->hidePopup();
    }
    qApp->setStyleSheet(sheet);
    QApplication::setStyle(style);
}

// Typing a name without ".txt" where that file exists asks before replacing it; "No" keeps the file.
TEST_F(ChatRecordBrowser, ExportAsksBeforeReplacingAFileNamedWithoutItsExtension) {
    CChatRecordFrame f(&store_, [](int) { return std::string(); });
    f.Query(5, QDate::currentDate().addDays(-4), QDate::currentDate(), 2);
    ASSERT_EQ(3, f.List()->topLevelItemCount());
    const QString dir = QString::fromStdString(root_);
    ASSERT_TRUE(plat::WriteFileAtomic(root_ + "/notes.txt", "keep me"));
    int asked = 0;
    CChatRecordFrame::SetExportRunner([&](QFileDialog* dialog) {
        dialog->setOption(QFileDialog::DontUseNativeDialog);
        dialog->setDirectory(dir);
        dialog->selectFile("notes");
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                ++asked;
                box->button(QMessageBox::No)->click();
            }
        });
        QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
        return dialog->result();
    });
    f.RunCommand(32900);
    EXPECT_EQ(1, asked);
    std::string kept;
    ASSERT_TRUE(plat::ReadFile(root_ + "/notes.txt", &kept, 100));
    EXPECT_EQ("keep me", kept);
    // A new name gets its ".txt" and the records.
    CChatRecordFrame::SetExportRunner([&](QFileDialog* dialog) {
        dialog->setOption(QFileDialog::DontUseNativeDialog);
        dialog->setDirectory(dir);
        dialog->selectFile("fresh");
        QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
        return dialog->result();
    });
    f.RunCommand(32900);
    CChatRecordFrame::SetExportRunner(nullptr);
    std::string written;
    ASSERT_TRUE(plat::ReadFile(root_ + "/fresh.txt", &written, 100000));
    EXPECT_NE(std::string::npos, written.find("three days ago"));
}

// A range is read whole however many records it holds, and the count pane says how many.
TEST_F(ChatRecordBrowser, ARangeIsReadWholeAndCounted) {
    const QDate first = QDate::currentDate().addDays(-2);
    CChatRecordFrame f(&store_, [](int) { return std::string(); });
    f.ShowRange(5, first, QDate::currentDate(), 2);
    const int before = f.List()->topLevelItemCount();
    std::string bytes;
    const std::string one = ChatRecordFile::FormatRecord("2007-03-05 10:15", 0, 0, "Ann", "Me", "n") + '\0';
    bytes.reserve(one.size() * 200000);
    for (int i = 0; i < 200000; ++i) bytes += one;
    ASSERT_TRUE(plat::WriteFileAtomic(root_ + "/records/5/" + first.toString("yyyy-MM-dd").toStdString() + "-0.dat", bytes));
    f.ShowRange(5, first, QDate::currentDate(), 2);
    EXPECT_EQ(before + 200000, f.List()->topLevelItemCount());
    EXPECT_TRUE(f.StatusText(2).endsWith(QString(": %1").arg(before + 200000))) << f.StatusText(2).toStdString();
}

// A long history: many peers with a day of records each, every record holding "note".
void WriteManyRecords(const std::string& root, int peers, int perPeer) {
    for (int peer = 100; peer < 100 + peers; ++peer) {
        std::string bytes;
        for (int i = 0; i < perPeer; ++i)
            bytes += ChatRecordFile::FormatRecord("2007-03-05 10:15", 0, 0, "Ann", "Bob", "note " + std::to_string(peer * 100000 + i)) + '\0';
        const std::string path = root + "/" + std::to_string(peer) + "/2007-03-05-0.dat";
        plat::MakeDirectories(plat::PathDirName(path));
        ASSERT_TRUE(plat::WriteFileAtomic(path, bytes));
    }
}

TEST_F(ChatRecordBrowser, TheKeywordSearchListsEveryMatchAtOnce) {
    WriteManyRecords(root_ + "/records", 20, 2000);
    CChatRecordFrame f(&store_, [](int) { return std::string(); });
    QSignalSpy done(&f, &CChatRecordFrame::SearchDone);
    f.Search("NOTE");
    EXPECT_EQ(40000, f.List()->topLevelItemCount());
    EXPECT_EQ("Records: 40000", f.StatusText(2));
    // A second search lists only its own rows.
    f.Search("there");
    ASSERT_EQ(1, f.List()->topLevelItemCount());
    EXPECT_EQ("hello /:) there", QString::fromStdString(f.Rows()[0].content));
    EXPECT_EQ(2, done.count());
}

}  // namespace
