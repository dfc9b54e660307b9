// The remaining windows offscreen: the frame's menus from the menu file, the mute buttons following a
// test mixer, the accounts dialog changing the accounts for good, the identity, password, about and
// head-picture dialogs.
#include <dirent.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QTreeWidget>
#include <QLineEdit>
#include <QTest>
#include <cstring>
#include <set>

#include "shell_test_app.h"
#include "common/account.h"
#include "common/appenv.h"
#include "platform/fs.h"
#include "platform/ini.h"
#include "service/as_records.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/shell/about_box.h"
#include "ui/shell/accounts_dialogs.h"
#include "ui/shell/book_results.h"
#include "ui/shell/dialog_box.h"
#include "ui/shell/head_picture.h"
#include "ui/shell/identity_dialogs.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/nav_pages.h"
#include "ui/controls/links.h"
#include "ui/controls/web/web_host.h"
#include "ui/shell/shell_config.h"
#include "voip/VoipUi.h"
#include "fake_calls.h"

namespace {

class ShellPages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        app = shelltest::StartOffscreenApp();
        profile = shelltest::NewTempFolder("pages");
        plat::SetBaseFolder(profile);
        shell::LoadConfigPaths(TESSALY_BINARY_DIR, profile, false);
        shell::ApplyLanguageCode("eng");
        QDir::setCurrent(TESSALY_BINARY_DIR);
    }
    void SetUp() override {
        boxes.clear();
        shell::SetDialogBoxHook([this](const QString& text, const QString& title) { boxes.push_back(title + ": " + text); });
    }
    void TearDown() override { shell::SetDialogBoxHook({}); }
    static inline QApplication* app = nullptr;
    static inline std::string profile;
    QStringList boxes;
};

class TestMixer : public shell::MixerDevice {
public:
    int speakerMute = 0;
    std::vector<int> values{0, 1};  // line, microphone (a multiplexer)
    int DeviceCount() override { return 1; }
    bool Open() override { return true; }
    void Close() override {}
    bool HasSpeakerMute() override { return true; }
    bool GetSpeakerMute(int* v) override {
        *v = speakerMute;
        return true;
    }
    bool SetSpeakerMute(int v) override {
        speakerMute = v;
        return true;
    }
    bool GetSelector(uint32_t* t, std::vector<shell::MixerSource>* s) override {
        *t = shell::kSelectorTypeMux;
        *s = {{"Line", 0}, {"Mic", shell::kComponentMicrophone}};
        return true;
    }
    bool GetSelectorValues(std::vector<int>* v) override {
        *v = values;
        return true;
    }
    bool SetSelectorValues(const std::vector<int>& v) override {
        values = v;
        return true;
    }
};

QStringList Titles(QMenuBar* bar) {
    QStringList t;
    for (QAction* a : bar->actions()) t << a->text();
    return t;
}

}  // namespace

TEST_F(ShellPages, FrameMenusComeFromTheMenuFileWithMarksAndSkins) {
    CMainFrame frame;
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    EXPECT_EQ((QStringList{"&File", "&View", "&Contacts", "S&tatus", "&Help"}), Titles(frame.menuBar()));
    const auto& m = frame.Menus();
    ASSERT_TRUE(m.fromFile);
    ASSERT_NE(nullptr, m.skinMenu);
    ASSERT_EQ(1, m.skinMenu->actions().size());
    EXPECT_EQ("Default", m.skinMenu->actions()[0]->text());
    EXPECT_TRUE(m.actions.at(3014)->isChecked());
    EXPECT_TRUE(m.actions.at(2928)->isChecked());
    EXPECT_FALSE(m.actions.at(2927)->isChecked());
    EXPECT_EQ("&Sign in", m.actions.at(2919)->text());
    frame.LogoffReset(LOGIN_SIGNING_IN);
    EXPECT_EQ("&Cancel sign-in", frame.Menus().actions.at(2919)->text());
    frame.LogoffReset(LOGIN_SIGNED_OUT);

    // Chinese: the menus are rebuilt from the other file and the marks follow.
    frame.Command(ID_LANG_CHS);
    EXPECT_EQ(QString::fromUtf8("文件(&F)"), Titles(frame.menuBar()).value(0));
    EXPECT_TRUE(frame.Menus().actions.at(2927)->isChecked());
    EXPECT_EQ(QString::fromUtf8("默认"), frame.Menus().skinMenu->actions()[0]->text());
    frame.Command(ID_LANG_ENG);
    EXPECT_EQ("&File", Titles(frame.menuBar()).value(0));
    // Always on top is a marked toggle.
    frame.Menus().actions.at(2923)->trigger();
    EXPECT_TRUE(frame.Menus().actions.at(2923)->isChecked());
    frame.Menus().actions.at(2923)->trigger();
    EXPECT_FALSE(frame.Menus().actions.at(2923)->isChecked());
}

TEST_F(ShellPages, MuteButtonsFollowTheMixerAndChangeIt) {
    CMainFrame frame;
    auto dev = std::make_unique<TestMixer>();
    TestMixer* mixer = dev.get();
    frame.SetMixer(std::make_unique<shell::CMicrophoneMixer>(std::move(dev)));
    CSkinToolButton* speaker = frame.ToolBar()->Button(ID_SPEAKER_MUTE);
    CSkinToolButton* mic = frame.ToolBar()->Button(ID_MIC_MUTE);
    ASSERT_TRUE(speaker && mic);
    EXPECT_FALSE(speaker->isChecked());
    EXPECT_FALSE(mic->isChecked());
    EXPECT_EQ("Mute speaker", speaker->toolTip());

    // The mixer changes elsewhere: the buttons show it; the tips stay until a press or a language change.
    mixer->speakerMute = 1;
    mixer->values = {1, 0};
    frame.MuteButtonsOf()->OnMixerChange();
    EXPECT_TRUE(speaker->isChecked());
    EXPECT_TRUE(mic->isChecked());
    EXPECT_EQ("Mute speaker", speaker->toolTip());
    EXPECT_EQ("Mute microphone", mic->toolTip());
    frame.Dispatch(WM_LANGUAGE_CHANGED, 0, 0);
    EXPECT_EQ("Unmute speaker", speaker->toolTip());
    EXPECT_EQ("Unmute microphone", mic->toolTip());

    // A press changes the mixer and its own button's tip.
    QTest::mouseClick(speaker, Qt::LeftButton);
    EXPECT_FALSE(speaker->isChecked());
    EXPECT_EQ(0, mixer->speakerMute);
    EXPECT_EQ("Mute speaker", speaker->toolTip());
    EXPECT_EQ("Unmute microphone", mic->toolTip());
    QTest::mouseClick(mic, Qt::LeftButton);
    EXPECT_FALSE(mic->isChecked());
    EXPECT_EQ((std::vector<int>{0, 1}), mixer->values);
    EXPECT_EQ("Mute microphone", mic->toolTip());
    QTest::mouseClick(mic, Qt::LeftButton);  // muting a multiplexer moves it to the line
    EXPECT_TRUE(mic->isChecked());
    EXPECT_EQ((std::vector<int>{1, 0}), mixer->values);
    EXPECT_EQ("Unmute microphone", mic->toolTip());

    // Without a mixer the buttons stay as they are and do nothing.
    frame.SetMixer(std::make_unique<shell::CMicrophoneMixer>());
    QTest::mouseClick(speaker, Qt::LeftButton);
    EXPECT_TRUE(speaker->isChecked());
}

TEST_F(ShellPages, AccountsDialogAddsEditsAndDeletesForGood) {
    g_configManual = 1;
    Account_LoadAll();
    shell::CAccountsDlg dlg;
    EXPECT_EQ(&dlg, shell::g_pAccountsDlg);
    int pickType = 2;
    std::function<void(shell::CAccountEditorDlg&)> fill;
    dlg.runTypeDialog = [&](shell::CAccountTypeDlg& d) {
        d.Combo()->setCurrentIndex(d.Combo()->findData(pickType));
        d.OnOK();
        return int(QDialog::Accepted);
    };
    dlg.runEditor = [&](shell::CAccountEditorDlg& e) {
        fill(e);
        return e.OnOK() ? int(QDialog::Accepted) : int(QDialog::Rejected);
    };
    // Add a SIP account: the editor comes with the default proxy port.
    fill = [](shell::CAccountEditorDlg& e) {
        EXPECT_EQ("5060", e.m_port->text());
        EXPECT_TRUE(e.m_user->isEnabled());
        e.m_user->setText("carol");
        e.m_password->setText("pw");
        e.m_server->setText("sip.example");
    };
    dlg.OnAdd();
    ASSERT_EQ(1, dlg.List()->topLevelItemCount());
    EXPECT_EQ("carol", dlg.List()->topLevelItem(0)->text(0));
    EXPECT_EQ("SIP", dlg.List()->topLevelItem(0)->text(2));
    // Adding the same again is refused as a duplicate; an incomplete one too.
    fill = [](shell::CAccountEditorDlg& e) {
        e.m_user->setText("carol");
        e.m_password->setText("pw");
        e.m_server->setText("sip.example");
    };
    dlg.OnAdd();
    fill = [](shell::CAccountEditorDlg& e) { e.m_user->setText("dave"); };
    dlg.OnAdd();
    EXPECT_EQ(2, boxes.size());
    EXPECT_EQ(1, dlg.List()->topLevelItemCount());
    // A port out of range, or no number, has its own message rather than "incomplete".
    for (const char* port : {"70000", "0", "5o60"}) {
        fill = [port](shell::CAccountEditorDlg& e) {
            e.m_user->setText("erin");
            e.m_password->setText("pw");
            e.m_server->setText("sip.example");
            e.m_port->setText(port);
        };
        dlg.OnAdd();
    }
    ASSERT_EQ(5, boxes.size());
    const QString caption = shell::LangText("accounts_dialog", "account_add_error", "") + ": ";
    EXPECT_EQ(caption + shell::FillFormat(shell::LangFormatText("dlg_common", "txt_int_range", "%d %d"), {"1", "65535"}),
              boxes[2]);
    EXPECT_EQ(boxes[2], boxes[3]);
    EXPECT_EQ(caption + shell::LangText("dlg_common", "txt_int", ""), boxes[4]);
    EXPECT_EQ(1, dlg.List()->topLevelItemCount());
    // A service account: added at the front of the list, so shown last.
    pickType = 1;
    fill = [](shell::CAccountEditorDlg& e) {
        EXPECT_EQ("9999", e.m_port->text());
        e.m_user->setText("carol");
        e.m_password->setText("pw2");
    };
    dlg.OnAdd();
    ASSERT_EQ(2, dlg.List()->topLevelItemCount());
    EXPECT_EQ("Service", dlg.List()->topLevelItem(1)->text(2));

    // Edit the SIP account: the name is fixed, the port changes.
    dlg.List()->setCurrentItem(dlg.List()->topLevelItem(0));
    fill = [](shell::CAccountEditorDlg& e) {
        EXPECT_FALSE(e.m_user->isEnabled());
        EXPECT_EQ("sip.example", e.m_server->text());
        e.m_port->setText("5070");
        e.m_alias->setText("Carol");
    };
    dlg.OnEdit();
    // Delete the service account.
    dlg.List()->setCurrentItem(dlg.List()->topLevelItem(1));
    dlg.OnDelete();
    ASSERT_EQ(1, dlg.List()->topLevelItemCount());

    // A restart: the file holds what the dialog did.
    Account_SaveAll();
    Account_LoadAll();
    shell::CAccountsDlg again;
    ASSERT_EQ(1, again.List()->topLevelItemCount());
    EXPECT_EQ("carol", again.List()->topLevelItem(0)->text(0));
    Account* a = Account_Find("carol", ACCOUNT_TYPE_SIP);
    ASSERT_NE(nullptr, a);
    EXPECT_STREQ("Carol", a->alias);
    EXPECT_EQ(5070, presence_setting_get_int(&a->settings, "port", 0));
    // The state and list notices land on their rows.
    again.OnAccountState(1, a);
    EXPECT_EQ("Online", again.List()->topLevelItem(0)->text(1));
    again.OnAccountListChanged(30, a);
    EXPECT_EQ(0, again.List()->topLevelItemCount());
    Account_SaveAll();
    g_configManual = 0;
}

TEST_F(ShellPages, IdentityListIsReversedWithTheTopPresetAndPasswordsAreAsked) {
    g_profileList.Clear();
    for (const char* n : {"first", "second", "third"}) {
        auto* e = new AsProfileEntry;
        e->name = strdup(n);
        g_profileList.entries.push_back(e);
    }
    CSelectIdentityDlg dlg(nullptr, true);
    ASSERT_EQ(3, dlg.List()->topLevelItemCount());
    EXPECT_EQ("third", dlg.List()->topLevelItem(0)->text(0));
    EXPECT_EQ("first", dlg.List()->topLevelItem(2)->text(0));
    EXPECT_EQ("third", dlg.IdentityEdit()->text());
    EXPECT_EQ(-1, dlg.m_nSelected);
    EXPECT_FALSE(dlg.OnOK());
    EXPECT_EQ(1, boxes.size());
    dlg.List()->setCurrentItem(dlg.List()->topLevelItem(1));
    EXPECT_EQ(1, dlg.m_nSelected);
    dlg.PasswordEdit()->setText("pw");
    EXPECT_TRUE(dlg.OnOK());
    EXPECT_EQ("second", dlg.m_strIdentity);
    // The identity is a plain edit: OK takes what it holds.
    dlg.IdentityEdit()->clear();
    QTest::keyClicks(dlg.IdentityEdit(), "typed");
    EXPECT_TRUE(dlg.OnOK());
    EXPECT_EQ("typed", dlg.m_strIdentity);

    CSelectIdentityDlg noPassword;
    EXPECT_FALSE(noPassword.PasswordEdit()->isEnabled());
    EXPECT_TRUE(noPassword.OnOK());
    g_profileList.Clear();
    CSelectIdentityDlg empty;
    EXPECT_EQ(0, empty.List()->topLevelItemCount());
    EXPECT_TRUE(empty.OnOK());
    EXPECT_TRUE(empty.m_strIdentity.isEmpty());

    CPasswordDlg pwd;
    EXPECT_FALSE(pwd.OnOK());
    EXPECT_EQ(2, boxes.size());
    pwd.PasswordEdit()->setText("x");
    EXPECT_TRUE(pwd.OnOK());
}

TEST_F(ShellPages, AboutVersionTextOpensTheAccountsOnlyWhenAllowed) {
    EXPECT_EQ("Tessaly\nfor you 0.9.6 second", AboutVersionText("Tessaly\\nfor you", "0.9.6", "second"));
    EXPECT_EQ(511, AboutVersionText(QString(600, 'x'), "1", "").size());
    CAboutDlg about;
    // The version text: the first notice's lines, the version and the second notice.
    EXPECT_EQ(AboutVersionText(shell::LangText("about_dlg", "IDC_ZYCOPYRIGHT", ""), "0.9.6",
                               shell::LangText("about_dlg", "IDC_ZYCOPYRIGHT2", "")),
              about.VersionText()->text());
    // The box's three pictures are the program's bitmaps 163 to 165 of the default skin's build.
    for (int id : {163, 164, 165}) {
        auto* picture = about.findChild<QLabel*>(QStringLiteral("aboutPicture%1").arg(id));
        ASSERT_NE(nullptr, picture) << id;
        EXPECT_FALSE(picture->pixmap().isNull()) << id;
    }
    int runs = 0;
    about.runAccounts = [&] { ++runs; };
    QTest::mouseClick(about.VersionText(), Qt::LeftButton);
    EXPECT_EQ(0, runs);
    shell::ConfigWrite("common", "account_management", "1");
    QTest::mouseClick(about.VersionText(), Qt::LeftButton);
    EXPECT_EQ(1, runs);
    shell::ConfigWrite("common", "account_management", "0");
}

TEST_F(ShellPages, HeadPicturesListedByTheirTextsAndOkSendsTheChosenOne) {
    // The installation's pictures: every one has a name in the language file.
    const auto listed = ListHeadPictures(shell::Paths().headPicFolder);
    ASSERT_EQ(32u, listed.size());
    // In the order the folder gives its files, not by name.
    std::vector<std::string> folderOrder;
    if (DIR* d = opendir(shell::Paths().headPicFolder.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strstr(e->d_name, ".bmp")) folderOrder.push_back(e->d_name);
        closedir(d);
    }
    std::vector<std::string> listedOrder;
    for (const HeadPicEntry& e : listed) listedOrder.push_back(e.file);
    EXPECT_EQ(folderOrder, listedOrder);
    for (const HeadPicEntry& e : listed)
        if (e.file == "00.bmp") EXPECT_EQ("Blue 1", e.text);
    // A folder with a picture without a text, and a file that is no picture.
    char pattern[] = "/tmp/tessaly_heads_XXXXXX";
    const std::string dir = mkdtemp(pattern);
    for (const char* f : {"00.bmp", "zz.bmp", "01.txt"})
        plat::WriteFileAtomic(plat::PathJoin(dir, f), "x");
    const auto some = ListHeadPictures(dir);
    ASSERT_EQ(1u, some.size());
    EXPECT_EQ("00.bmp", some[0].file);

    std::vector<std::string> sent;
    {
        CHeadPicDlg dlg("03.bmp");
        dlg.sendPicture = [&](const std::string& f) { sent.push_back(f); };
        EXPECT_EQ(32, dlg.List()->count());
        EXPECT_FALSE(dlg.Preview()->isHidden());  // the present picture is previewed
        dlg.OnOK();
        EXPECT_TRUE(sent.empty());  // nothing chosen, nothing sent
    }
    CHeadPicDlg dlg;
    dlg.sendPicture = [&](const std::string& f) { sent.push_back(f); };
    EXPECT_TRUE(dlg.Preview()->isHidden());
    dlg.List()->setCurrentRow(5);
    EXPECT_FALSE(dlg.Preview()->isHidden());
    dlg.OnOK();
    EXPECT_EQ((std::vector<std::string>{listed[5].file}), sent);
    dlg.OnLanguageChanged();
    EXPECT_EQ("Teal 4", dlg.List()->item(29)->text());  // by position: key "29"
}

TEST_F(ShellPages, HeadPictureRowsAreDrawnWithTheirOwnColours) {
    struct Case {
        bool selected, focused;
        HeadPicRowColours want;
    };
    for (const Case& c : {Case{false, false, {QPalette::Base, QPalette::ButtonText}},
                          Case{false, true, {QPalette::Base, QPalette::ButtonText}},
                          Case{true, true, {QPalette::Highlight, QPalette::HighlightedText}},
                          Case{true, false, {QPalette::Button, QPalette::ButtonText}}})
        EXPECT_EQ(c.want, HeadPicRowColoursFor(c.selected, c.focused)) << c.selected << c.focused;
    // A selected row without the focus: its label's place is filled with the button face.
    CHeadPicDlg dlg;
    QPalette pal = dlg.List()->palette();
    pal.setColor(QPalette::Button, QColor(10, 200, 30));
    pal.setColor(QPalette::Highlight, QColor(200, 10, 30));
    dlg.List()->setPalette(pal);
    dlg.resize(400, 400);
    dlg.show();
    ASSERT_GT(dlg.List()->count(), 0);
    dlg.List()->setCurrentRow(0);
    dlg.List()->clearFocus();
    const QRect row = dlg.List()->visualItemRect(dlg.List()->item(0));
    const QImage shot = dlg.List()->viewport()->grab().toImage();
    EXPECT_EQ(QColor(10, 200, 30), shot.pixelColor(row.right() - 2, row.center().y()));
}

TEST_F(ShellPages, StartPagePicturesAreTheSkinsAsTheyAreOrTheProgramsOwn) {
    const std::string skin = shell::Paths().skinType;
    shell::ApplySkinType("no-such-skin");
    shell::CNavigateLinks links;
    for (int id : {shell::NAV_MISSED_PIC, shell::NAV_ONLINE_PIC}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(static_cast<QLabel*>(links.Control(id))->pixmap().isNull()) << "the program's picture 180";
    }
    shell::ApplySkinType(skin);
    links.OnSkinChanged();
    for (int id : {shell::NAV_MISSED_PIC, shell::NAV_ONLINE_PIC}) {
        SCOPED_TRACE(id);
        const QImage shown = static_cast<QLabel*>(links.Control(id))->pixmap().toImage();
        ASSERT_EQ(QSize(16, 16), shown.size());
        EXPECT_EQ(QColor(Qt::white), shown.pixelColor(0, 0)) << "no colour keyed out";
    }
}

TEST_F(ShellPages, StartPageMissedCallsAndOnlineLinks) {
    shell::CNavigateLinks links;
    links.SetMode(1);
    int shown = 0;
    QObject::connect(&links, &shell::CNavigateLinks::showMissedCalls, [&] { ++shown; });
    links.AddMissedCall();
    links.AddMissedCall();
    EXPECT_EQ("2 missed call(s)", links.Link(shell::NAV_MISSED)->text());
    QTest::mouseClick(links.Link(shell::NAV_MISSED), Qt::LeftButton);
    EXPECT_EQ(1, shown);
    EXPECT_EQ(0, links.MissedCalls());
    EXPECT_EQ("No missed call", links.Link(shell::NAV_MISSED)->text());
    links.SetOnlineCount(1);
    EXPECT_EQ("1 contact online", links.Link(shell::NAV_ONLINE)->text());
    EXPECT_TRUE(links.Control(shell::NAV_UPDATE)->isHidden());
    links.SetUpdateAnswer();
    links.ShowUpdateVersion(1, 2, 3);
    EXPECT_EQ("Version 1.2.3 is available", links.Link(shell::NAV_UPDATE)->text());
    EXPECT_FALSE(links.Control(shell::NAV_UPDATE)->isHidden());
    // Q asks for the balance while signed in, not while signed out.
    int queries = 0;
    QObject::connect(&links, &shell::CNavigateLinks::queryBalance, [&] { ++queries; });
    links.show();
    QApplication::setActiveWindow(&links);
    links.setFocus();
    QTest::keyClick(&links, Qt::Key_Q);
    EXPECT_EQ(1, queries);
    links.SetMode(0);
    QTest::keyClick(&links, Qt::Key_F2);
    EXPECT_EQ(1, queries);
    EXPECT_TRUE(links.Control(shell::NAV_MISSED)->isHidden());
    EXPECT_TRUE(links.Control(shell::NAV_UPDATE)->isHidden());
}

namespace {
// Every control of the start page, by id.
const std::set<int> kStartControls{shell::NAV_TIP,     shell::NAV_MISSED,     shell::NAV_LOGIN,   shell::NAV_ONLINE,
                                   shell::NAV_QUERY,   shell::NAV_MISSED_PIC, shell::NAV_ONLINE_PIC, shell::NAV_PREPAY,
                                   shell::NAV_LOGINING, shell::NAV_UPDATE_PIC, shell::NAV_UPDATE, shell::NAV_COUNTER,
                                   shell::NAV_PREPAY_BUTTON};

std::set<int> ShownControls(CNqNavigatePage& page) {
    std::set<int> shown;
    for (int id : kStartControls)
        if (page.Links()->Control(id)->isVisibleTo(&page)) shown.insert(id);
    return shown;
}

// Whether a widget of the page is one of its controls (or the block holding them).
bool IsStartControl(CNqNavigatePage& page, QWidget* w) {
    if (w == page.Links()) return true;
    for (int id : kStartControls)
        if (page.Links()->Control(id) == w) return true;
    return false;
}
}  // namespace

TEST_F(ShellPages, StartPageShowsEachModesControlsAndNothingElse) {
    using namespace shell;
    const std::set<int> summary{NAV_MISSED, NAV_MISSED_PIC, NAV_TIP, NAV_ONLINE, NAV_QUERY, NAV_PREPAY, NAV_ONLINE_PIC};
    auto with = [](std::set<int> a, std::initializer_list<int> b) {
        a.insert(b);
        return a;
    };
    struct Case {
        int mode;
        bool update;
        std::set<int> shown;
    } cases[] = {
        {0, false, {NAV_LOGIN}},
        {0, true, {NAV_LOGIN}},
        {1, false, with(summary, {NAV_COUNTER})},
        {1, true, with(summary, {NAV_COUNTER, NAV_UPDATE_PIC, NAV_UPDATE})},
        {2, false, {NAV_LOGINING}},
        {2, true, {NAV_LOGINING}},
        {3, false, summary},
        {3, true, summary},  // neither the counter nor the newer version: signed out they were hidden
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << (c.update ? " with a newer version" : ""));
        CNqNavigatePage page;
        page.Links()->ShowContactCounter(8001);
        if (c.update) {
            page.Links()->SetUpdateAnswer();
            page.Links()->SetUpdateAnswer();
            page.Links()->ShowUpdateVersion(1, 2, 3);
        }
        page.Links()->SetMode(c.mode);
        EXPECT_EQ(c.shown, ShownControls(page));
        for (QWidget* w : page.findChildren<QWidget*>()) {
            if (w->isVisibleTo(&page)) EXPECT_TRUE(IsStartControl(page, w)) << w->metaObject()->className() << " " << w->objectName().toStdString();
        }
    }
    // Another mode number changes nothing.
    CNqNavigatePage page;
    page.Links()->SetMode(1);
    page.Links()->SetMode(4);
    EXPECT_EQ(with(summary, {NAV_COUNTER}), ShownControls(page)) << "the counter, 0 until one is known";
    // Without a main window the page's mode changes nothing either.
    CNqNavigatePage alone;
    alone.SetMode(1);
    EXPECT_EQ(std::set<int>{NAV_LOGIN}, ShownControls(alone));
    // Within one it does.
    {
        CMainFrame frame;
        frame.StartPage()->SetMode(1);
        EXPECT_TRUE(frame.StartPage()->Links()->Link(NAV_QUERY)->isVisibleTo(frame.StartPage()));
        frame.StartPage()->SetMode(0);
        EXPECT_FALSE(frame.StartPage()->Links()->Link(NAV_QUERY)->isVisibleTo(frame.StartPage()));
    }
}

TEST_F(ShellPages, StartPageHoldsOnlyItsControls) {
    CNqNavigatePage page;
    for (QWidget* w : page.findChildren<QWidget*>())
        EXPECT_TRUE(IsStartControl(page, w)) << w->metaObject()->className() << " " << w->objectName().toStdString();
}

TEST_F(ShellPages, StartPageKeepsTheNewerVersionAgainstItsBottom) {
    CNqNavigatePage page;
    page.resize(380, 330);
    page.Links()->SetMode(1);
    page.show();
    QCoreApplication::processEvents();
    QWidget* pic = page.Links()->Control(shell::NAV_UPDATE_PIC);
    QWidget* link = page.Links()->Control(shell::NAV_UPDATE);
    const QRect before = pic->geometry();
    auto check = [&](const char* when) {
        SCOPED_TRACE(when);
        const QRect p(pic->mapTo(&page, QPoint(0, 0)), pic->size());
        const QRect l(link->mapTo(&page, QPoint(0, 0)), link->size());
        EXPECT_EQ(before.x(), pic->geometry().x()) << "keeps its left";
        EXPECT_EQ(before.size(), p.size()) << "and its size";
        EXPECT_EQ(page.height() - 10, p.y() + p.height()) << "10 pixels above the bottom";
        EXPECT_EQ(p.x() + p.width() + 5, l.x());
        EXPECT_EQ(p.y() + p.height(), l.y() + l.height()) << "the link on the picture's bottom";
        EXPECT_EQ(page.width(), l.x() + l.width()) << "to the page's right edge";
        EXPECT_GE(l.height(), link->fontMetrics().height()) << "tall enough for its text";
        // Below every other control.
        for (int id : kStartControls) {
            QWidget* w = page.Links()->Control(id);
            if (w == pic || w == link || !w->isVisible()) continue;
            EXPECT_LT(w->mapTo(&page, QPoint(0, w->height())).y(), l.y()) << id;
        }
    };
    // A newer version arriving lays the line out again, wherever it had gone meanwhile.
    pic->move(before.x(), 0);
    link->setGeometry(0, 0, 10, 10);
    page.Links()->SetUpdateAnswer();
    page.Links()->ShowUpdateVersion(1, 2, 3);
    ASSERT_TRUE(pic->isVisible());
    check("after the newer version arrived");
    page.resize(460, 420);
    QCoreApplication::processEvents();
    check("after a resize");
    // On white: the page fills its own background.
    const QImage shot = page.grab().toImage();
    EXPECT_EQ(QColor(Qt::white), shot.pixelColor(page.width() - 2, page.height() / 2));
}

TEST_F(ShellPages, StartPageNamesNoneOneOrMoreContactsOnline) {
    struct Case {
        const char* language;
        int count;
        const char* text;
    } cases[] = {
        {"eng", 0, "No contact online"},
        {"eng", 1, "1 contact online"},
        {"eng", 2, "2 contacts online"},
        {"chs", 0, "没有联系人在线"},
        {"chs", 1, "1 个联系人在线"},
        {"chs", 7, "7 个联系人在线"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.language << " " << c.count);
        shell::ApplyLanguageCode(c.language);
        CNqNavigatePage page;
        page.Links()->SetMode(1);
        page.SetOnlineCount(c.count);
        EXPECT_EQ(QString::fromUtf8(c.text), page.Links()->Link(shell::NAV_ONLINE)->text());
    }
    // The count survives a change of language.
    shell::ApplyLanguageCode("eng");
    CNqNavigatePage page;
    page.SetOnlineCount(1);
    shell::ApplyLanguageCode("chs");
    page.OnLanguageChanged();
    EXPECT_EQ(QString::fromUtf8("1 个联系人在线"), page.Links()->Link(shell::NAV_ONLINE)->text());
    EXPECT_EQ(QString::fromUtf8("首页"), page.TabTitle());
    shell::ApplyLanguageCode("eng");
    EXPECT_EQ("Start", page.TabTitle());
    // A change of language shows the contact counter again, and writes it down as it does.
    const int keep = shell::g_contactCounter;
    shell::g_contactCounter = 41;
    shell::ConfigWrite("common", "ucountnumber", "");
    page.OnLanguageChanged();
    EXPECT_EQ("41", shell::ConfigString("common", "ucountnumber", ""));
    EXPECT_FALSE(static_cast<QLabel*>(page.Links()->Control(shell::NAV_COUNTER))->text().isEmpty());
    // A counter nobody has reported yet is 0, shown and written as such.
    shell::g_contactCounter = 0;
    shell::ConfigWrite("common", "ucountnumber", "");
    CNqNavigatePage fresh;
    fresh.OnLanguageChanged();
    EXPECT_EQ("0", shell::ConfigString("common", "ucountnumber", ""));
    EXPECT_EQ("Your number: 0", static_cast<QLabel*>(fresh.Links()->Control(shell::NAV_COUNTER))->text());
    shell::g_contactCounter = keep;
}

TEST_F(ShellPages, QAndF2OnTheStartPageAskForTheBalanceUnlessOffline) {
    CNqNavigatePage page;
    page.Links()->SetMode(1);
    bool offline = false;
    page.Links()->statusOffline = [&] { return offline; };
    int queries = 0;
    QObject::connect(page.Links(), &shell::CNavigateLinks::queryBalance, [&] { ++queries; });
    page.show();
    QApplication::setActiveWindow(&page);
    page.setFocus();
    QTest::keyClick(&page, Qt::Key_Q);
    QTest::keyClick(&page, Qt::Key_F2);
    EXPECT_EQ(2, queries);
    // The key then goes on as usual: a field on the page still gets its letter.
    auto* field = new QLineEdit(&page);
    field->show();
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Q);
    EXPECT_EQ(3, queries);
    EXPECT_EQ("q", field->text());
    delete field;
    page.setFocus();
    offline = true;
    QTest::keyClick(&page, Qt::Key_Q);
    QTest::keyClick(&page, Qt::Key_F2);
    EXPECT_EQ(3, queries);
}

TEST_F(ShellPages, ServicePageSiteFollowsItsScrollSetting) {
    shell::CServiceBrowser browser;
    ASSERT_NE(nullptr, browser.Host());
    EXPECT_EQ(std::vector<QUrl>{shell::CServiceBrowser::LocalPage()}, std::vector<QUrl>(browser.Host()->Navigations().begin(), browser.Host()->Navigations().end()))
        << "made, the page asks for the local page";
    auto* child = new QWidget(&browser);
    CtrlSiteQuery site;
    site.container = child;
    browser.m_bHasScroll = 1;  // the ordinary site: nobody answers
    EXPECT_FALSE(SendCustomControlSiteMsg(child, kSiteCreate, &site));
    EXPECT_EQ(nullptr, site.site);
    browser.m_bHasScroll = 0;  // the page's own site, no browser menu
    EXPECT_TRUE(SendCustomControlSiteMsg(child, kSiteCreate, &site));
    ASSERT_NE(nullptr, site.site);
    EXPECT_FALSE(site.site->ScrollBars());
    ContextMenuQuery menu;
    EXPECT_TRUE(SendCustomControlSiteMsg(child, kSiteContextMenu, &menu));
    EXPECT_EQ(0, menu.result);
    EXPECT_FALSE(SendCustomControlSiteMsg(child, 7, &menu));
}

// The page's view and the input widget the browser puts in it later: with scroll bars a right click
// reaches neither; without, it does; the left button always does.
TEST_F(ShellPages, ServicePageSwallowsTheRightButtonWithScrollBars) {
    struct Counting : QWidget {
        using QWidget::QWidget;
        int right = 0, left = 0;
        void mousePressEvent(QMouseEvent* e) override { ++(e->button() == Qt::RightButton ? right : left); }
        void mouseDoubleClickEvent(QMouseEvent* e) override { mousePressEvent(e); }
    };
    shell::CServiceBrowser browser;
    auto* view = new Counting(&browser);
    browser.SwallowRightButtonIn(view);
    auto* input = new Counting(view);  // comes after the view is watched
    for (int scroll : {1, 0}) {
        SCOPED_TRACE(scroll);
        browser.m_bHasScroll = scroll;
        for (Counting* w : {view, input}) {
            w->right = w->left = 0;
            QTest::mousePress(w, Qt::RightButton);
            QTest::mouseDClick(w, Qt::RightButton);
            QTest::mousePress(w, Qt::LeftButton);
            EXPECT_EQ(scroll == 1, w->right == 0) << w->right;
            EXPECT_GT(w->left, 0);
        }
    }
}

TEST_F(ShellPages, CallEventsReachTheCallsWindowsAndTheMissedCallLinkShowsTheCallLog) {
    std::map<std::string, int> seen;
    fakecalls::Registered calls(&seen);
    CMainFrame frame;
    g_strUserId = "alice";
    frame.LogoffReset(LOGIN_SIGNED_IN);
    shell::CNavigateLinks* links = frame.StartPage()->Links();
    // Call events posted from call control's thread go to the calls windows, which count a missed call.
    ASSERT_EQ(0, PostVoipEventToUi(3, 0, VOIPEVT_REMOTE_NEWCALL, 0, 0, strdup("bob@127.0.0.1")));
    ASSERT_EQ(0, PostVoipEventToUi(3, 0, VOIPEVT_REMOTE_DISCONNECT, 0, 0, nullptr));
    ASSERT_EQ(0, PostVoipEventToUi(3, 0, VOIPEVT_RELEASE_CALL, 0, 0, nullptr));
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen["voip"] == 3; }, 5000));
    links->AddMissedCall();
    EXPECT_EQ("1 missed call(s)", links->Link(shell::NAV_MISSED)->text());
    // The link shows the call log and clears the count.
    QTest::mouseClick(links->Link(shell::NAV_MISSED), Qt::LeftButton);
    EXPECT_EQ(0, links->MissedCalls());
    EXPECT_EQ(PAGE_LOG, static_cast<CNqPropertyPage*>(frame.Sheet()->currentWidget())->m_nType);
    frame.LogoffReset(LOGIN_SIGNED_OUT);
    g_strUserId.clear();
}
