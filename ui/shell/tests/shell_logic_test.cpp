// Shell logic below the widgets: saved logins, language texts and formats, dial requests, start and sign-in decisions.
#include <dirent.h>
#include <gtest/gtest.h>
#include <QMessageBox>

#include <QByteArray>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fs.h"
#include "platform/ini.h"
#include "common/addrbook.h"
#include "common/addrbook_query.h"
#include "common/appenv.h"
#include "common/debug.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "ui/shell/app_start.h"
#include "ui/shell/book_results.h"
#include "ui/shell/frame_logic.h"
#include "ui/shell/instance_guard.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/saved_logins.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/shell_messages.h"

namespace {

std::string TempFolder() {
    char pattern[] = "/tmp/tessaly_shell_XXXXXX";
    return mkdtemp(pattern);
}

std::string Slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

}  // namespace

TEST(SavedLogins, ProtectedPasswordMatchesTheOtherWriter) {
    // The run command's profile writer produces this for "alice123"; both sides must read each other.
    EXPECT_EQ("a95d89797022943c", shell::ToHex(shell::ProtectPassword("alice123")));
    EXPECT_EQ("alice123", shell::ProtectPassword(shell::ProtectPassword("alice123")));
}

TEST(SavedLogins, RoundTripWithLongPasswordsAndPrivateAtomicFile) {
    const std::string dir = TempFolder(), path = dir + "/usrInfo.xml";
    shell::SavedLoginStore a;
    a.savePassword = true;
    a.autoLogin = true;
    const std::string longPwd(32, 'x');  // 64 hex characters in the file
    a.logins = {{"alice", "alice123", 1}, {"bob", longPwd, 1}, {"hidden", "h", 0}, {"张伟", "密码1", 1}};
    a.lastLoginId = "bob";
    ASSERT_TRUE(shell::saveLoginInfo(a, path));
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_FALSE(plat::FileExists(path + ".tmp"));
    EXPECT_EQ(std::string::npos, Slurp(path).find("alice123")) << "passwords never in clear text";

    shell::SavedLoginStore b;
    shell::loadLoginInfo(b, path);
    EXPECT_TRUE(b.savePassword);
    EXPECT_TRUE(b.autoLogin);
    ASSERT_EQ(3u, b.logins.size()) << "kind 0 is not written; a 32-byte password keeps its user";
    EXPECT_EQ("bob", b.logins[0].id) << "the last user comes first";
    EXPECT_EQ(longPwd, b.logins[0].pwd);
    EXPECT_EQ("alice", b.logins[1].id);
    EXPECT_EQ("alice123", b.logins[1].pwd);
    EXPECT_EQ("张伟", b.logins[2].id);
    EXPECT_EQ("密码1", b.logins[2].pwd);
    EXPECT_EQ(longPwd, b.lastLoginPwd);
}

TEST(SavedLogins, LoadRules) {
    const std::string dir = TempFolder(), path = dir + "/usrInfo.xml";
    const std::string pwd = shell::ToHex(shell::ProtectPassword("pw"));
    struct Case {
        const char* name;
        std::string xml;
        bool save, autoLogin;
        std::vector<std::string> ids;
        std::string lastId;
        std::string firstPwd;
    } cases[] = {
        {"save must be exactly true",
         "<l><config save='TRUE' autologin='true'/><brindle><user id='a' pwd='" + pwd + "'/></brindle></l>", false, true,
         {"a"}, "", ""},
        {"over-long hex skips only that user",
         "<l><config save='true'/><brindle><user id='a' pwd='" + std::string(66, 'a') + "'/><user id='b' pwd='" + pwd +
             "'/></brindle></l>",
         true, false, {"b"}, "", "pw"},
        {"odd or non-hex password keeps the user",
         "<l><config save='true'/><brindle><user id='a' pwd='abc'/><user id='b' pwd='zz'/></brindle></l>", true, false,
         {"a", "b"}, "", ""},
        {"a user without id ends the list",
         "<l><config save='true'/><brindle><user id='a'/><user/><user id='c'/></brindle></l>", true, false, {"a"}, "", ""},
        {"unmatched last login is cleared",
         "<l><config/><brindle><user id='a'/></brindle><lastlogin><user id='zz' type='0'/></lastlogin></l>", false, false,
         {"a"}, "", ""},
        {"type 2 reads as 0 and the last user moves first",
         "<l><config save='true'/><brindle><user id='a'/><user id='b' pwd='" + pwd +
             "'/></brindle><lastlogin><user id='b' type='2'/></lastlogin></l>",
         true, false, {"b", "a"}, "b", "pw"},
        {"ids are cut to 32", "<l><brindle><user id='" + std::string(40, 'q') + "'/></brindle></l>", false, false,
         {std::string(32, 'q')}, "", ""},
        {"the choices hold wherever config stands",
         "<l><brindle><user id='a' pwd='" + pwd + "'/></brindle><x><config save='true' autologin='true'/></x></l>", true,
         true, {"a"}, "", "pw"},
        {"a broken document leaves the store empty", "<l><config save='true'/><brindle><user id='a'/>", false, false, {}, "",
         ""},
    };
    for (const Case& c : cases) {
        Write(path, c.xml);
        shell::SavedLoginStore s;
        shell::loadLoginInfo(s, path);
        EXPECT_EQ(c.save, s.savePassword) << c.name;
        EXPECT_EQ(c.autoLogin, s.autoLogin) << c.name;
        std::vector<std::string> ids;
        for (const auto& l : s.logins) ids.push_back(l.id);
        EXPECT_EQ(c.ids, ids) << c.name;
        EXPECT_EQ(c.lastId, s.lastLoginId) << c.name;
        if (!s.logins.empty()) EXPECT_EQ(c.firstPwd, s.logins[0].pwd) << c.name;
    }
}

TEST(SavedLogins, PutAndAFailedWriteThatKeepsTheOldFile) {
    const std::string dir = TempFolder(), path = dir + "/usrInfo.xml";
    shell::SavedLoginStore a;
    a.logins = {{"alice", "", 1}};
    ASSERT_TRUE(shell::saveLoginInfo(a, path));
    const std::string before = Slurp(path);
    chmod(dir.c_str(), 0500);
    a.logins = {{"bob", "", 1}};
    const bool saved = shell::saveLoginInfo(a, path);
    chmod(dir.c_str(), 0700);
    if (geteuid() != 0) {  // root writes anyway
        EXPECT_FALSE(saved);
        EXPECT_EQ(before, Slurp(path));
    }
    shell::SavedLoginStore s;
    putSavedLogin(s, {"a", "1", 1});
    putSavedLogin(s, {"b", "2", 1});
    putSavedLogin(s, {"a", "3", 1});
    ASSERT_EQ(2u, s.logins.size());
    EXPECT_EQ("b", s.logins[0].id);
    EXPECT_EQ("3", s.logins[1].pwd) << "put removes the old entry and appends";
}

TEST(SavedLogins, CutsKeepWholeCharacters) {
    auto zhang = [](int n) {  // n three-byte characters
        std::string t;
        for (int i = 0; i < n; ++i) t += "张";
        return t;
    };
    struct Case {
        std::string text, want;
    } cases[] = {
        {std::string(40, 'q'), std::string(32, 'q')},
        {std::string(32, 'q'), std::string(32, 'q')},
        {"ab" + zhang(10), "ab" + zhang(10)},
        {zhang(11), zhang(10)},
        {"a" + zhang(11), "a" + zhang(10)},
        {std::string(30, 'q') + "\xF0\x9F\x98\x80", std::string(30, 'q')},  // a four-byte character
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, shell::CutSavedField(c.text)) << c.text;

    // An id that does not fit reads back as it was saved, through the file and again.
    const std::string dir = TempFolder(), path = dir + "/usrInfo.xml";
    const std::string longId = zhang(11);
    Write(path, "<l><brindle><user id='" + longId + "'/></brindle></l>");
    shell::SavedLoginStore a;
    shell::loadLoginInfo(a, path);
    ASSERT_EQ(1u, a.logins.size());
    EXPECT_EQ(shell::CutSavedField(longId), a.logins[0].id);
    ASSERT_TRUE(shell::saveLoginInfo(a, path));
    shell::SavedLoginStore b;
    shell::loadLoginInfo(b, path);
    ASSERT_EQ(1u, b.logins.size());
    EXPECT_EQ(a.logins[0].id, b.logins[0].id);
}

namespace {
std::vector<std::string>& TraceLines() {
    static std::vector<std::string> lines;
    return lines;
}
// Collects the trace lines written while it exists.
struct TraceCapture {
    TraceCapture() {
        TraceLines().clear();
        debug_enable = 1;
        debug_all = DBG_LOW;
        g_debugOutput = [](unsigned, const char* text) { TraceLines().push_back(text); };
    }
    ~TraceCapture() { g_debugOutput = nullptr; }
    bool Contains(const std::string& part) const {
        return std::any_of(TraceLines().begin(), TraceLines().end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
};
}  // namespace

// A file larger than the program ever writes, or one that is not a regular file, is neither read nor
// written over, and the log says so; reading a FIFO never waits for a writer.
TEST(SavedLogins, RefusedFilesAreKeptAndLogged) {
    const std::string dir = TempFolder();
    const std::string pwd = shell::ToHex(shell::ProtectPassword("pw"));
    const std::string big = dir + "/big.xml";
    Write(big, "<l><config save='true'/><brindle><user id='a' pwd='" + pwd + "'/></brindle><!--" +
                   std::string(shell::kSavedLoginsFileMax, ' ') + "--></l>");
    const std::string fifo = dir + "/fifo.xml";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const std::string folder = dir + "/folder.xml";
    ASSERT_TRUE(plat::MakeDirectories(folder));
    struct Case {
        std::string path, why;
    } cases[] = {{big, "larger than 1 MiB"}, {fifo, "not a regular file"}, {folder, "not a regular file"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        struct stat before {};
        ASSERT_EQ(0, lstat(c.path.c_str(), &before));
        TraceCapture trace;
        shell::SavedLoginStore s;
        s.logins = {{"x", "", 1}};
        shell::loadLoginInfo(s, c.path);
        EXPECT_TRUE(s.logins.empty());
        EXPECT_TRUE(trace.Contains(c.why + ", not read and kept as it is"));
        s.logins = {{"bob", "", 1}};
        EXPECT_FALSE(shell::saveLoginInfo(s, c.path));
        EXPECT_TRUE(trace.Contains(c.why + ", not written over"));
        struct stat after {};
        ASSERT_EQ(0, lstat(c.path.c_str(), &after));
        EXPECT_EQ(before.st_ino, after.st_ino);
        EXPECT_EQ(before.st_size, after.st_size);
    }
    // Just under the limit the same file is read.
    Write(big, "<l><config save='true'/><brindle><user id='a' pwd='" + pwd + "'/></brindle><!--" +
                   std::string(shell::kSavedLoginsFileMax - 200, ' ') + "--></l>");
    shell::SavedLoginStore s;
    shell::loadLoginInfo(s, big);
    ASSERT_EQ(1u, s.logins.size());
    EXPECT_EQ("pw", s.logins[0].pwd);
}

TEST(LanguageTexts, FormatsWithOtherConversionsFallBackToTheBuiltInText) {
    const std::string dir = TempFolder();
    plat::MakeDirectories(dir + "/language");
    Write(dir + "/language/zyeng.ini",
          "[t]\nok=%d online\nextra=%d %s\nwrong=%s online\nstar=%*d\nprec=%.300s\npct=100%% %d\n");
    shell::LoadConfigPaths(dir, dir, false);
    EXPECT_EQ("3 online", shell::FillFormat(shell::LangFormatText("t", "ok", "%d contacts"), {"3"}));
    for (const char* key : {"extra", "wrong", "star", "prec", "missing"})
        EXPECT_EQ("%d contacts", shell::LangFormatText("t", key, "%d contacts")) << key;
    EXPECT_EQ("100% 7", shell::FillFormat(shell::LangFormatText("t", "pct", "%d"), {"7"}));
    std::string kinds;
    EXPECT_TRUE(shell::FormatConversions("%d.%d.%d", &kinds));
    EXPECT_EQ("ddd", kinds);
    EXPECT_FALSE(shell::FormatConversions("%n", &kinds));
    EXPECT_FALSE(shell::FormatConversions("50%", &kinds));
}

TEST(LanguageTexts, FormatsKeepTheirFlagsAndWidth) {
    const struct {
        const char* format;
        QStringList args;
        const char* want;
    } cases[] = {
        {"%d", {"7"}, "7"},
        {"%05d", {"7"}, "00007"},
        {"%3d|", {"7"}, "  7|"},
        {"%-3d|", {"7"}, "7  |"},
        {"%-05d|", {"7"}, "7    |"},
        {"%05d", {"-7"}, "-0007"},
        {"%+05d", {"7"}, "+0007"},
        {"% d", {"7"}, " 7"},
        {"%+d", {"-7"}, "-7"},
        {"%2d", {"12345"}, "12345"},
        {"%05u", {"42"}, "00042"},
        {"[%5s]", {"ab"}, "[   ab]"},
        {"[%05s]", {"ab"}, "[   ab]"},
        {"[%-4s]", {"ab"}, "[ab  ]"},
        {"%02d.%02d.%d", {"1", "2", "3"}, "01.02.3"},
        {"100%% %3d", {"7"}, "100%   7"},
        {"%s and %5d", {"a"}, "a and      "},
        {"cut %05", {"7"}, "cut %05"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.want, shell::FillFormat(c.format, c.args).toStdString()) << c.format;
    // A width is bounded: a hand-edited file cannot make a text of millions of characters.
    EXPECT_EQ(1024, shell::FillFormat("%999999999d", {"7"}).size());
}

TEST(LanguageTexts, StartPageFormatsShowNothingWhenBadlyFormed) {
    const std::string dir = TempFolder();
    plat::MakeDirectories(dir + "/language");
    const struct {
        const char* lines;
        const char* version;
        const char* counter;
    } cases[] = {
        {"update_version=New version %d.%02d (%d)\nucount=%05d numbers\n", "New version 1.02 (3)", "00042 numbers"},
        {"update_version=%d.%d\nucount=%s\n", "", ""},
        {"update_version=%s.%d.%d\nucount=%d of %d\n", "", ""},
        {"update_version=%d.%d.%d.%d\nucount=no number\n", "", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        Write(dir + "/language/zyeng.ini", std::string("[navigate_dialog]\n") + c.lines);
        shell::LoadConfigPaths(dir, dir, false);
        EXPECT_EQ(c.version, shell::UpdateVersionText(1, 2, 3).toStdString()) << c.lines;
        EXPECT_EQ(c.counter, shell::ContactCounterText(42).toStdString()) << c.lines;
    }
}

TEST(LanguageTexts, BothLanguageFilesHoldEveryTextTheWindowsRead) {
    // Every (section, key) written literally in the shell's sources must be in both files.
    QSet<QString> used;
    const QRegularExpression re(R"re(Lang(?:Format)?Text\(\s*"([^"]+)",\s*"([^"]+)")re");
    QDirIterator it(QStringLiteral(TESSALY_SOURCE_DIR "/ui/shell"), {"*.cpp"}, QDir::Files);
    while (it.hasNext()) {
        QFile f(it.next());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(f.readAll());
        for (auto m = re.globalMatch(text); m.hasNext();) {
            const auto match = m.next();
            used.insert(match.captured(1) + "/" + match.captured(2));
        }
    }
    // Keys built at run time.
    for (int i = 0; i <= 4; ++i) used.insert("status_description/" + QString::number(i));
    for (int i = 0; i <= 2; ++i) used.insert("status_popup_menu/" + QString::number(i));
    for (int i = 0; i <= 5; ++i) used.insert("tool_tip/" + QString::number(i));
    for (int i = 0; i <= 2; ++i) used.insert("tray_tip/" + QString::number(i));
    for (const char* k : {"update_now", "logoff", "login_as", "exit", "show_book", "show_dial", "show_log", "show_service",
                          "always_top", "lang_chs", "lang_eng", "online", "busy", "offline", "about"})
        used.insert(QString("menu/") + k);
    for (const char* k : {"txt_boot_profile", "txt_profile_account", "txt_boot_account", "txt_sip", "txt_mv", "txt_online"})
        used.insert(QString("status_txt/") + k);
    for (const char* k : {"txt_bootstrap_fail", "txt_login_fail", "txt_title_error"}) used.insert(QString("login/") + k);
    ASSERT_GT(used.size(), 80);
    for (const char* lang : {"zyeng.ini", "zychs.ini"}) {
        const std::string file = std::string(TESSALY_SOURCE_DIR) + "/ui/shell/install/language/" + lang;
        for (const QString& sk : used) {
            const QStringList p = sk.split('/');
            std::string value;
            EXPECT_TRUE(plat::IniGetString(file, p[0].toStdString(), p[1].toStdString(), &value) && !value.empty())
                << lang << " lacks [" << p[0].toStdString() << "] " << p[1].toStdString();
        }
    }
}

// The reader stops at a section's first copy: a second one hides every key it holds.
TEST(LanguageTexts, EachSectionAndKeyAppearsOnce) {
    for (const char* lang : {"zyeng.ini", "zychs.ini"}) {
        std::ifstream in(std::string(TESSALY_SOURCE_DIR) + "/ui/shell/install/language/" + lang);
        std::set<std::string> sections, keys;
        std::string line, section;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
                section = line.substr(1, line.size() - 2);
                EXPECT_TRUE(sections.insert(section).second) << lang << " repeats [" << section << "]";
            } else if (const size_t eq = line.find('='); eq != std::string::npos && line[0] != ';') {
                const std::string key = section + "/" + line.substr(0, eq);
                EXPECT_TRUE(keys.insert(key).second) << lang << " repeats " << key;
            }
        }
        EXPECT_GT(sections.size(), 20u);
    }
}

TEST(Configuration, TheSettingsFileIsTheInstallations) {
    const std::string app = TempFolder(), profile = TempFolder();
    Write(app + "/tessaly.xml", "<t/>");
    Write(profile + "/tessaly.xml", "<t/>");  // a copy in the profile is not read
    shell::LoadConfigPaths(app, profile, false);
    EXPECT_EQ(app + "/tessaly.xml", shell::Paths().settingsXmlPath);
    EXPECT_EQ(profile + "/usrcfg.ini", shell::Paths().settingsPath);
    EXPECT_EQ(profile + "/usrInfo.xml", shell::Paths().savedLoginsPath);
}

TEST(Configuration, LanguageFromTheSystemIsWrittenOnceAndKeptAsStored) {
    const std::string dir = TempFolder();
    shell::LoadConfigPaths(dir, dir, true);
    EXPECT_EQ("chs", shell::Paths().langType);
    EXPECT_EQ(dir + "/language/zychs.ini", shell::Paths().langFile);
    EXPECT_TRUE(shell::WriteLangTypeIfChanged("chs"));
    EXPECT_FALSE(shell::WriteLangTypeIfChanged("CHS")) << "the same language, ignoring case, writes nothing";
    Write(dir + "/usrcfg.ini", "[common]\nlangtype=ENG\n");
    plat::MakeDirectories(dir + "/language");
    Write(dir + "/language/zyeng.ini", "[x]\n");
    Write(dir + "/language/zymenueng.ini", "[x]\n");
    shell::LoadConfigPaths(dir, dir, true);
    EXPECT_EQ("ENG", shell::Paths().langType);
    EXPECT_EQ(dir + "/language/zyeng.ini", shell::Paths().langFile) << "file names ignore case, as on Windows";
    EXPECT_EQ(dir + "/language/zymenueng.ini", shell::Paths().menuFile);
    EXPECT_FALSE(shell::WriteLangTypeIfChanged("eng"));
    // Skins: listed only with a name; at most 32.
    for (int i = 0; i < 34; ++i) {
        plat::MakeDirectories(dir + "/skin/s" + std::to_string(i));
        Write(dir + "/skin/s" + std::to_string(i) + "/corvina.ini", i == 3 ? "[skinname]\nchs=\n" : "[skinname]\nchs=x\n");
    }
    plat::MakeDirectories(dir + "/skin/noini");
    const auto skins = shell::EnumerateSkins(dir);
    EXPECT_EQ(32u, skins.size());
    EXPECT_EQ(skins.end(), std::find(skins.begin(), skins.end(), "s3"));
    EXPECT_EQ(skins.end(), std::find(skins.begin(), skins.end(), "noini"));
    // In the folder's own order, "." and ".." read like any entry (skin/corvina.ini and the folder's own).
    const std::string few = TempFolder();
    for (const char* name : {"b", "a", "c"}) {
        plat::MakeDirectories(few + "/skin/" + name);
        Write(few + "/skin/" + name + "/corvina.ini", "[skinname]\nchs=x\n");
    }
    Write(few + "/skin/corvina.ini", "[skinname]\nchs=dot\n");
    Write(few + "/corvina.ini", "[skinname]\nchs=up\n");
    std::vector<std::string> folderOrder;
    if (DIR* d = opendir((few + "/skin").c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, "corvina.ini") != 0) folderOrder.push_back(e->d_name);
        closedir(d);
    }
    EXPECT_EQ(5u, folderOrder.size());
    EXPECT_EQ(folderOrder, shell::EnumerateSkins(few));
}

TEST(Names, FolderNamesFromUserOrServerTextsArePlainComponents) {
    const std::pair<const char*, const char*> cases[] = {
        {"alice", "alice"}, {"../../etc", "etc"}, {"a/b\\c", "abc"}, {"..", ""},        {".", ""},
        {" x. ", "x"},      {"张伟", "张伟"},      {"a\nb", "ab"},     {"c:evil", "cevil"},
    };
    for (auto [in, out] : cases) EXPECT_EQ(out, shell::SafeNameComponent(in)) << in;
}

TEST(DialRequests, NumbersAreBoundedAndOnlyNumberCharacters) {
    std::string n;
    EXPECT_FALSE(shell::ParseDialNumber("+86 10", &n));
    EXPECT_TRUE(shell::ParseDialNumber("+8610*#", &n));
    EXPECT_EQ("+8610*#", n);
    EXPECT_TRUE(shell::ParseDialNumber("bob@127.0.0.1", &n));
    EXPECT_FALSE(shell::ParseDialNumber("", &n));
    EXPECT_FALSE(shell::ParseDialNumber("12;rm -rf", &n));
    EXPECT_FALSE(shell::ParseDialNumber(QByteArray("12\0" "3", 4), &n));
    EXPECT_TRUE(shell::ParseDialNumber(QByteArray(shell::kDialRequestMax, '7'), &n));
    EXPECT_FALSE(shell::ParseDialNumber(QByteArray(shell::kDialRequestMax + 1, '7'), &n));
    // The answer: not signed in 0; the number's page 1; no start page 0; talking 2; else dialled 3.
    EXPECT_EQ(0, shell::DialDecision(LOGIN_SIGNING_IN, false, true, false));
    EXPECT_EQ(1, shell::DialDecision(LOGIN_SIGNED_IN, true, true, true));
    EXPECT_EQ(0, shell::DialDecision(LOGIN_SIGNED_IN, false, false, false));
    EXPECT_EQ(2, shell::DialDecision(LOGIN_SIGNED_IN, false, true, true));
    EXPECT_EQ(3, shell::DialDecision(LOGIN_SIGNED_IN, false, true, false));
}

TEST(SignIn, StatesNoticesAndTheStartDecision) {
    EXPECT_EQ(LOGIN_SIGNING_IN, shell::ActionForLoginState(1).resetMode);
    EXPECT_STREQ("txt_boot_profile", shell::ActionForLoginState(1).statusKey);
    EXPECT_EQ(-1, shell::ActionForLoginState(4).resetMode);
    EXPECT_EQ(LOGIN_SIGNED_IN, shell::ActionForLoginState(6).resetMode);
    EXPECT_TRUE(shell::ActionForLoginState(0).offline);
    EXPECT_EQ(-1, shell::ActionForLoginState(7).resetMode);
    EXPECT_STREQ("txt_bootstrap_fail", shell::LoginFailureKey(1));
    EXPECT_STREQ("txt_bootstrap_fail", shell::LoginFailureKey(3));
    EXPECT_STREQ("txt_login_fail", shell::LoginFailureKey(2));
    EXPECT_STREQ("txt_title_error", shell::LoginFailureKey(5));
    EXPECT_EQ(nullptr, shell::LoginFailureKey(6));
    // Busy is one value: the bar's bitmap, the tray's and the menu (3114 + status) agree.
    EXPECT_STREQ("busy.bmp", shell::StatusBitmapName(STATUS_BUSY));
    EXPECT_STREQ("trayBusy.bmp", shell::TrayBitmapName(STATUS_BUSY));
    EXPECT_EQ(ID_STATUS_BUSY, ID_STATUS_ONLINE + STATUS_BUSY);
    EXPECT_TRUE(shell::IsCallingSelf("Alice", "example.com", "alice"));
    EXPECT_TRUE(shell::IsCallingSelf("alice@EXAMPLE.com", "example.com", "alice"));
    EXPECT_FALSE(shell::IsCallingSelf("alice@other.org", "example.com", "alice"));
    EXPECT_FALSE(shell::IsCallingSelf("bob", "example.com", "alice@example.com"));
    EXPECT_FALSE(shell::IsCallingSelf("bob", "example.com", ""));
    const struct {
        int major, minor, build;
        bool newer;
    } versions[] = {
        {0, 9, 6, false}, {0, 9, 7, true},  {0, 10, 0, true}, {1, 0, 0, true},   {0, 8, 99, false},
        {0, 0, 0, false}, {0, -1, 99, false}, {0, 9, -1, false}, {-1, 0, 0, true}, {-1, 9, 6, true}, {-7, -1, -1, true},
    };
    for (const auto& v : versions)
        EXPECT_EQ(v.newer, shell::IsNewerVersion(v.major, v.minor, v.build)) << v.major << "." << v.minor << "." << v.build;

    struct Case {
        bool splash, minimize, autoLogin, saved;
        int link;
        shell::AutoStartDecision want;
    } cases[] = {
        {true, false, true, true, 1, {true, false, true, false}},   {false, false, true, true, 1, {false, false, true, false}},
        {true, true, true, true, 1, {false, false, true, false}},   {true, false, true, true, 2, {true, true, false, false}},
        {true, false, false, false, 1, {true, false, false, true}}, {false, false, false, false, 1, {true, false, false, false}},
        {true, false, false, true, 1, {true, false, false, false}},
        // Automatic sign-in asked by a file that lists nobody: the sign-in starts and the dialog opens.
        {true, false, true, false, 1, {true, false, true, true}},   {true, true, true, false, 1, {false, false, true, false}},
    };
    for (const Case& c : cases) {
        const auto d = shell::DecideAutoStart(c.splash, c.minimize, c.autoLogin, c.saved, c.link);
        EXPECT_EQ(c.want.interactive, d.interactive);
        EXPECT_EQ(c.want.pending, d.pending);
        EXPECT_EQ(c.want.startLogin, d.startLogin);
        EXPECT_EQ(c.want.openDialog, d.openDialog);
    }
    const auto o = shell::ParseCommandLine({"tessaly", "x/nosplash.txt", "/minimize", "--profile", "/p", "--dial", "12"});
    EXPECT_FALSE(o.showSplash) << "a substring switches, as before";
    EXPECT_TRUE(o.minimize);
    EXPECT_EQ("/p", o.profileFolder);
    EXPECT_EQ("12", o.dialNumber);
    EXPECT_EQ("", o.error);
}

TEST(AppMessageBox, TheTypeChoosesIconAndButtonsAndTheAnswerIsTheButtons) {
    using shell::BoxStyleOf;
    struct Case {
        unsigned type;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
    } const cases[] = {
        {shell::MB_OK, QMessageBox::NoIcon, QMessageBox::Ok},
        {shell::MB_ICONEXCLAMATION | shell::MB_OK, QMessageBox::Warning, QMessageBox::Ok},
        {shell::MB_ICONHAND | shell::MB_OKCANCEL, QMessageBox::Critical, QMessageBox::Ok | QMessageBox::Cancel},
        {shell::MB_ICONQUESTION | shell::MB_YESNO, QMessageBox::Question, QMessageBox::Yes | QMessageBox::No},
        {shell::MB_ICONASTERISK | shell::MB_YESNOCANCEL, QMessageBox::Information,
         QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel},
        {shell::MB_RETRYCANCEL, QMessageBox::NoIcon, QMessageBox::Retry | QMessageBox::Cancel},
        {shell::MB_ABORTRETRYIGNORE, QMessageBox::NoIcon, QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore},
        {0x7 | 0x70, QMessageBox::NoIcon, QMessageBox::Ok},  // unknown sets: a plain OK box
    };
    for (const Case& c : cases) {
        const shell::BoxStyle style = BoxStyleOf(c.type);
        EXPECT_EQ(c.icon, style.icon) << c.type;
        EXPECT_EQ(static_cast<int>(c.buttons), style.buttons) << c.type;
    }
    EXPECT_EQ(shell::IDOK, shell::BoxAnswer(QMessageBox::Ok));
    EXPECT_EQ(shell::IDYES, shell::BoxAnswer(QMessageBox::Yes));
    EXPECT_EQ(shell::IDNO, shell::BoxAnswer(QMessageBox::No));
    EXPECT_EQ(shell::IDRETRY, shell::BoxAnswer(QMessageBox::Retry));
    EXPECT_EQ(shell::IDCANCEL, shell::BoxAnswer(QMessageBox::Cancel));
    EXPECT_EQ(shell::IDCANCEL, shell::BoxAnswer(QMessageBox::NoButton)) << "closed without a button";
    // A hidden automatic start shows nothing and answers 3, whatever the type.
    shell::g_interactiveLogin = false;
    shell::g_loginPending = true;
    EXPECT_EQ(3, shell::ShowAppMessageBox(nullptr, "x", "y", shell::MB_YESNO));
    EXPECT_TRUE(shell::g_loginPending);
    shell::g_interactiveLogin = true;
    EXPECT_EQ(3, shell::ShowAppMessageBox(nullptr, "x", "y", shell::MB_YESNO)) << "no window to show it on";
    EXPECT_FALSE(shell::g_loginPending);
}

TEST(Configuration, EmoticonsStopAtTheFirstMissingFileAndAtTheTablesEnd) {
    const std::string dir = TempFolder();
    plat::MakeDirectories(dir + "/face");
    EXPECT_EQ(0, shell::CountEmoticons(dir));
    for (int i = 1; i <= 3; ++i) Write(dir + "/face/0" + std::to_string(i) + ".bmp", "x");
    Write(dir + "/face/05.bmp", "x");
    EXPECT_EQ(3, shell::CountEmoticons(dir));
    for (int i = 4; i <= 60; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/face/%02d.bmp", i);
        Write(dir + name, "x");
    }
    EXPECT_EQ(shell::kEmoticonCount, shell::CountEmoticons(dir)) << "a 50th file does not overrun the table";
}

TEST(Update, VersionFileForTheUpdater) {
    const std::string dir = TempFolder(), path = dir + "/VersionInfo.ini";
    shell::VersionFileData v;
    v.major = 0;
    v.minor = 9;
    v.build = 7;
    v.changes = "fixes\r\n[evil]";
    v.downloadFile = "http://127.0.0.1:7200/tessaly-0.9.7.zip";
    v.needUpdate = 1;
    v.langType = "chs";
    v.server = "127.0.0.1:7200";
    ASSERT_TRUE(shell::WriteVersionInfoIni(path, v));
    std::string value;
    auto get = [&](const char* section, const char* key) {
        value.clear();
        plat::IniGetString(path, section, key, &value);
        return value;
    };
    EXPECT_EQ("7", get("qz_Version_Info", "Buildnum"));
    EXPECT_EQ("6", get("qz_old_Version_Info", "Buildnum"));
    EXPECT_EQ("9", get("qz_old_Version_Info", "MinorVersion"));
    EXPECT_EQ("fixes  [evil]", get("qz_Version_Info", "MajorChange")) << "a server text cannot add lines";
    EXPECT_EQ(v.downloadFile, get("update_Version_Info", "DownloadFile"));
    EXPECT_EQ("1", get("update_Version_Info", "UpdateNeedUpdate"));
    EXPECT_EQ("chs", get("system", "langtype"));
    EXPECT_EQ("127.0.0.1:7200", get("system", "server"));
    EXPECT_TRUE(plat::IniSectionNames(path).size() == 4u);
}

TEST(LinkMonitor, TickTable) {
    const char* log = nullptr;
    shell::LinkMonitor m;
    // Without a remembered user nothing is posted, whatever the link does.
    EXPECT_EQ(shell::LINK_NONE, shell::LinkMonitorTick(m, -1, false, 0, true, 0, &log));
    m = {};
    // The first tick with a route reports the link up: a pending sign-in starts at once.
    ASSERT_EQ(shell::LINK_LOGIN, shell::LinkMonitorTick(m, 7, true, 0, true, 0, &log));
    EXPECT_STREQ("TIMER: Link up, connect now", log);
    m = {};
    ASSERT_EQ(shell::LINK_NONE, shell::LinkMonitorTick(m, 7, true, 1, false, 6, &log)) << "signed in: only the log line";
    EXPECT_STREQ("TIMER: Link up, connect now", log);
    // Down while online posts unreachable once; down again posts nothing.
    EXPECT_EQ(shell::LINK_UNREACHABLE, shell::LinkMonitorTick(m, -1, true, 1, false, 6, &log));
    EXPECT_STREQ("TIMER: Link down, disconnect now", log);
    EXPECT_EQ(shell::LINK_NONE, shell::LinkMonitorTick(m, -1, true, 0, true, 0, &log));
    // Up with a sign-in pending and the machine idle: log in.
    EXPECT_EQ(shell::LINK_LOGIN, shell::LinkMonitorTick(m, 7, true, 0, true, 0, &log));
    EXPECT_STREQ("TIMER: Link up, connect now", log);
    // A changed gateway counts as lost, then up.
    EXPECT_EQ(shell::LINK_LOGIN, shell::LinkMonitorTick(m, 9, true, 0, true, 0, &log));
    // Up and idle, pending: every tenth tick (30 s) tries again; not while the machine is busy.
    int logins = 0;
    for (int i = 0; i < 20; ++i) logins += shell::LinkMonitorTick(m, 9, true, 0, true, 0, &log) == shell::LINK_LOGIN;
    EXPECT_EQ(2, logins);
    logins = 0;
    for (int i = 0; i < 10; ++i) logins += shell::LinkMonitorTick(m, 9, true, 0, true, 3, &log) == shell::LINK_LOGIN;
    EXPECT_EQ(0, logins);
    EXPECT_STREQ("TIMER: 5 min expired, connect now", log);
    // Signed in, nothing pending: nothing.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(shell::LINK_NONE, shell::LinkMonitorTick(m, 9, true, 1, false, 6, &log));
}

// The route table read by the link monitor: without one the link is alive, and a pending sign-in is tried.
TEST(LinkMonitor, RouteTableAndNoneAtAll) {
    char dir[] = "/tmp/routeXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string table = std::string(dir) + "/route";
    const char* head = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    {
        std::ofstream(table) << head << "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
    }
    EXPECT_EQ(-1, shell::DefaultGateway(QString::fromStdString(table))) << "no default route";
    {
        std::ofstream(table) << head << "eth0\t00000000\t0100A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    }
    EXPECT_EQ(0x0100A8C0LL, shell::DefaultGateway(QString::fromStdString(table)));
    unlink(table.c_str());
    rmdir(dir);
    const long long none = shell::DefaultGateway(QString::fromStdString(table));
    EXPECT_EQ(0, none);
    const char* log = nullptr;
    shell::LinkMonitor m;
    int logins = 0;
    for (int i = 0; i < 11; ++i) logins += shell::LinkMonitorTick(m, none, true, 0, true, 0, &log) == shell::LINK_LOGIN;
    EXPECT_EQ(2, logins) << "link up at once, then the tenth tick";
}

// ---- update answers ---------------------------------------------------------------------------

TEST(UpdateAnswer, ActionsByAnswerNewerForcedAndAsked) {
    struct Row {
        int answer;
        bool newer, forced, asked;
        bool notice, runForced, updateNow, failureBox;
    } rows[] = {
        {0, true, false, false, true, false, false, false},   // quiet check: the notice only
        {0, true, false, true, true, false, true, false},     // the user asked: update now
        {0, true, true, false, true, true, false, false},     // enforced: the updater, asked or not
        {0, true, true, true, true, true, false, false},
        {0, false, true, false, false, false, false, false},  // not newer: the flag means nothing
        {0, false, false, true, false, false, true, false},   // asked: "up to date"
        {1, false, false, true, false, false, false, true},   // failures show a box when asked
        {2, false, false, true, false, false, false, true},
        {1, false, false, false, false, false, false, false},
        {7, true, true, true, false, false, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.answer << r.newer << r.forced << r.asked);
        const shell::UpdateAnswerAction a = shell::ActionForUpdateAnswer(r.answer, r.newer, r.forced, r.asked);
        EXPECT_EQ(r.notice, a.notice);
        EXPECT_EQ(r.runForced, a.forced);
        EXPECT_EQ(r.updateNow, a.updateNow);
        EXPECT_EQ(r.failureBox, a.failureBox);
    }
}

// ---- address-book answers the frame applies itself ----------------------------------------------

class BookResults : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(1, AddrBook_Init());
        friends_ = Group(g_addrBookRoots[0], "Friends", "g1");
        alice_ = Contact(friends_, "Alice", "u1");
        bob_ = Contact(friends_, "Bob", "u2");
        AddrContact* card = AddrBook_NewContact("Card", nullptr, "c1");
        AddrBook_SetKind7(card);
        AddrBook_AttachContact(card, g_addrBookRoots[2], nullptr);
        savedUser_ = g_strUserId;
        savedConf_ = g_strLocalConfPath;
    }
    void TearDown() override {
        AddrBook_Init();
        g_strUserId = savedUser_;
        g_strLocalConfPath = savedConf_;
    }
    static AddrNode* Group(AddrNode* parent, const char* name, const char* id) {
        AddrGroup* g = AddrBook_NewGroup(name, id);
        EXPECT_EQ(1, AddrBook_AttachGroup(g, parent, nullptr));
        return g;
    }
    static AddrNode* Contact(AddrNode* group, const char* name, const char* id) {
        AddrContact* c = AddrBook_NewContact(name, nullptr, id);
        EXPECT_EQ(1, AddrBook_AttachContact(c, group, nullptr));
        return c;
    }
    // Runs one answer; the parameters are freed as the frame frees them.
    shell::BookResultEffect Run(int command, int result, const char* id, const char* target = nullptr,
                                const char* name = nullptr, int number = 0) {
        auto* p = static_cast<AsParams*>(calloc(1, sizeof(AsParams)));
        p->str1 = id ? strdup(id) : nullptr;
        p->str2 = target ? strdup(target) : nullptr;
        p->str3 = name ? strdup(name) : nullptr;
        p->int1 = number;
        AsRequest r{command, result, p, nullptr, AS_DATA_PARAMS};
        shell::BookResultEffect e = shell::ApplyBookResult(&r);
        AS_FreeParams(p);
        return e;
    }
    static uint32_t Contacts() { return static_cast<AddrCounted*>(g_addrBookRoots[0])->contactCount; }
    AddrNode *friends_ = nullptr, *alice_ = nullptr, *bob_ = nullptr;
    std::string savedUser_, savedConf_;
};

TEST_F(BookResults, RemovedContactLeavesTheStoreAndTellsTheChats) {
    const shell::BookResultEffect e = Run(AS_REM, 0, "u1", nullptr, "Alice");
    EXPECT_TRUE(e.handled);
    EXPECT_EQ(nullptr, e.boxKey);
    EXPECT_EQ("u1", e.removedContact);
    EXPECT_TRUE(e.rebuild & shell::REBUILD_BUDDIES);
    EXPECT_TRUE(e.onlineCount);
    EXPECT_EQ(nullptr, AddrBook_FindById(g_addrBookRoots[0], "u1"));
    EXPECT_EQ(1u, Contacts());
}

TEST_F(BookResults, RemovalsFindItemsUnderAnyTopGroupAndAnyCard) {
    // Several top groups and cards: the item is not always under the first one.
    AddrNode* work = Group(g_addrBookRoots[0], "Work", "g2");
    Contact(work, "Carol", "u3");
    Group(g_addrBookRoots[0], "Empty", "g3");
    AddrContact* card = AddrBook_NewContact("Card 2", nullptr, "c2");
    AddrBook_SetKind7(card);
    AddrBook_AttachContact(card, g_addrBookRoots[2], nullptr);
    const std::pair<int, const char*> rows[] = {{AS_REM, "u3"}, {AS_RMG, "g3"}, {AS_RMG, "g2"}, {AS_RML, "c2"}};
    for (const auto& [command, id] : rows) {
        SCOPED_TRACE(id);
        const shell::BookResultEffect e = Run(command, 0, id, nullptr, "Name");
        EXPECT_EQ(nullptr, e.boxKey);
        EXPECT_EQ(nullptr, AddrBook_FindById(g_addrBookRoots[command == AS_RML ? 2 : 0], id));
    }
    EXPECT_NE(nullptr, AddrBook_FindById(g_addrBookRoots[0], "g1"));
    EXPECT_NE(nullptr, AddrBook_FindById(g_addrBookRoots[2], "c1"));
}

TEST_F(BookResults, FailuresAndUnknownIdsShowTheBoxAndChangeNothing) {
    struct Row {
        int command, result;
        const char* id;
        const char* key;
    } rows[] = {
        {AS_REM, 0, "g1", "fail_del_contact"},  // a group is not a contact
        {AS_REM, 0, "nobody", "fail_del_contact"},
        {AS_REM, 300, "u1", "fail_del_contact"},
        {AS_RMG, 0, "u1", "fail_del_group"},
        {AS_RMG, 1, "g1", "fail_del_group"},
        {AS_RML, 0, "u1", "fail_del_contact"},  // cards only, from their own root
        {AS_ADG, 5, "g9", "fail_add_group"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.id);
        const shell::BookResultEffect e = Run(r.command, r.result, r.id, "0", "Name");
        EXPECT_TRUE(e.handled);
        ASSERT_NE(nullptr, e.boxKey);
        EXPECT_STREQ(r.key, e.boxKey);
        EXPECT_STREQ("profile_status", e.boxSection);
        EXPECT_EQ("Name", e.boxArg);
        EXPECT_EQ(0u, e.rebuild);
        EXPECT_EQ(2u, Contacts());
    }
    EXPECT_NE(nullptr, AddrBook_FindById(g_addrBookRoots[0], "g1"));
    EXPECT_NE(nullptr, AddrBook_FindById(g_addrBookRoots[2], "c1"));
}

TEST_F(BookResults, RemovedGroupTakesItsContactsAndCardsGoFromTheirRoot) {
    EXPECT_EQ(nullptr, Run(AS_RMG, 0, "g1").boxKey);
    EXPECT_EQ(nullptr, AddrBook_FindById(g_addrBookRoots[0], "g1"));
    EXPECT_EQ(nullptr, AddrBook_FindById(g_addrBookRoots[0], "u2"));
    EXPECT_EQ(0u, Contacts());
    const shell::BookResultEffect e = Run(AS_RML, 0, "c1");
    EXPECT_EQ(nullptr, e.boxKey);
    EXPECT_TRUE(e.rebuild & shell::REBUILD_CARDS);
    EXPECT_EQ(nullptr, g_addrBookRoots[2]->child);
}

TEST_F(BookResults, AddedGroupGoesUnderItsParentWithItsSavedFlags) {
    const std::string dir = TempFolder();
    shell::Paths().profileFolder = dir;
    g_strUserId = "alice";
    g_strLocalConfPath = dir + "/alice.ini";
    ASSERT_TRUE(WritePrivateProfileString("localconf", "g7", "3", g_strLocalConfPath.c_str()));
    EXPECT_EQ(nullptr, Run(AS_ADG, 0, "g7", "g1", "Work").boxKey);
    AddrNode* g = AddrBook_FindById(g_addrBookRoots[0], "g7");
    ASSERT_NE(nullptr, g);
    EXPECT_EQ(ADDR_KIND_GROUP, g->kind);
    EXPECT_EQ(friends_, g->parent);
    EXPECT_STREQ("Work", static_cast<AddrCounted*>(g)->name);
    EXPECT_EQ(3u, g->flags & ADDR_FLAG_UI_MASK);
    EXPECT_TRUE(plat::IsDirectory(dir + "/individual/alice"));
    // Under the root as well; under a contact never.
    EXPECT_EQ(nullptr, Run(AS_ADG, 0, "g8", "0", "Top").boxKey);
    EXPECT_EQ(g_addrBookRoots[0], AddrBook_FindById(g_addrBookRoots[0], "g8")->parent);
    // An answer naming a parent that is no group, or an id the book holds: nothing happens, no box.
    const shell::BookResultEffect underContact = Run(AS_ADG, 0, "g9", "u1", "Bad");
    EXPECT_EQ(nullptr, underContact.boxKey);
    EXPECT_EQ(0u, underContact.rebuild);
    EXPECT_EQ(nullptr, AddrBook_FindById(g_addrBookRoots[0], "g9"));
    EXPECT_EQ(nullptr, Run(AS_ADG, 0, "g7", "g1", "Again").boxKey);
    EXPECT_STREQ("Work", static_cast<AddrCounted*>(AddrBook_FindById(g_addrBookRoots[0], "g7"))->name);
}

TEST_F(BookResults, CounterAndPanelPicture) {
    shell::g_contactCounter = 5;
    EXPECT_FALSE(Run(AS_SUD, 1, nullptr, nullptr, nullptr, 42).counterChanged);
    EXPECT_EQ(5, shell::g_contactCounter);
    EXPECT_TRUE(Run(AS_SUD, 0, nullptr, nullptr, nullptr, 42).counterChanged);
    EXPECT_EQ(42, shell::g_contactCounter);
    EXPECT_TRUE(Run(AS_SUD, 0, nullptr, nullptr, nullptr, -3).counterChanged);
    EXPECT_EQ(-3, shell::g_contactCounter) << "the server's number as it comes";
    EXPECT_TRUE(Run(AS_REL, 0, nullptr, nullptr, "logo1").panelChanged);
    EXPECT_EQ("logo1", shell::g_panelPicture);
    const std::string longName(400, 'x');
    Run(AS_REL, 0, nullptr, nullptr, longName.c_str());
    EXPECT_EQ(256u, shell::g_panelPicture.size());
    EXPECT_FALSE(Run(AS_REL, 3, nullptr, nullptr, "other").panelChanged);
    EXPECT_FALSE(Run(AS_LGT, 0, nullptr).handled);
    EXPECT_FALSE(Run(AS_ADD, 0, "u9").handled);
}
