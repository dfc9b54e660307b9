// Rules of the frame below its windows: which commands are enabled in each sign-in state, the status
// menus, the presence commands, the title, the chat font, the contact counter, the emoticon table and
// the modules' version information of the crash report.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "platform/fs.h"
#include "platform/ini.h"
#include "ui/shell/crash_report.h"
#include "ui/shell/frame_logic.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/shell_messages.h"

namespace {

std::string TempFolder() {
    char pattern[] = "/tmp/tessaly_rules_XXXXXX";
    return mkdtemp(pattern);
}

void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

// ---- enabling rules ---------------------------------------------------------------------------
TEST(CommandRules, ByStateBookAndSelection) {
    using shell::CommandState;
    const CommandState out{LOGIN_SIGNED_OUT, false, 0, false, false, false};
    const CommandState signingIn{LOGIN_SIGNING_IN, false, 0, false, false, false};
    const CommandState signingOut{LOGIN_SIGNING_OUT, true, 2, true, true, true};
    const CommandState inNoBook{LOGIN_SIGNED_IN, false, 0, true, true, true};
    const CommandState in{LOGIN_SIGNED_IN, true, 0, true, true, true};
    const CommandState inGroup{LOGIN_SIGNED_IN, true, 1, true, true, true};
    const CommandState inContact{LOGIN_SIGNED_IN, true, 2, true, true, true};
    const CommandState inIdentity{LOGIN_SIGNED_IN, true, 4, true, true, true};
    const CommandState inCard{LOGIN_SIGNED_IN, true, 7, true, true, true};
    const CommandState inNoPages{LOGIN_SIGNED_IN, true, 0, false, false, false};
    struct Row {
        int id;
        std::vector<std::pair<CommandState, bool>> cases;
    };
    const Row rows[] = {
        // The address book's commands open dialogs that ask the server: only signed in with the book.
        {2937, {{out, false}, {signingIn, false}, {signingOut, false}, {inNoBook, false}, {in, true}}},
        {2957, {{out, false}, {in, true}}},
        {2940, {{out, false}, {inNoBook, false}, {in, true}}},
        {2958, {{out, false}, {in, true}}},
        {2960, {{out, false}, {signingOut, false}, {in, true}}},
        {2961, {{out, false}, {in, true}}},
        {2840, {{out, false}, {inNoBook, false}, {in, true}}},
        {2846, {{out, false}, {in, true}}},
        {2847, {{out, false}, {in, true}}},
        {2850, {{out, false}, {inNoBook, false}, {in, true}}},
        {32800, {{out, false}, {in, true}}},
        {32801, {{out, false}, {in, true}}},
        // Deleting needs a selection of the right kind.
        {2938, {{out, false}, {in, false}, {inGroup, false}, {inContact, true}, {inCard, true}, {inIdentity, false}}},
        {2941, {{out, false}, {in, false}, {inGroup, true}, {inContact, false}}},
        {2955, {{inContact, true}, {inIdentity, true}, {inCard, false}, {out, false}}},
        // Signing in and out.
        {2919, {{out, true}, {signingIn, true}, {signingOut, true}, {in, false}}},
        {2920, {{out, false}, {signingIn, false}, {in, true}}},
        {2921, {{out, true}, {signingIn, false}, {signingOut, false}, {in, false}}},
        // Pages: signed in and the page there.
        {2929, {{out, false}, {inNoBook, false}, {in, true}}},
        {2930, {{out, false}, {inNoPages, false}, {in, true}}},
        {2931, {{out, false}, {inNoPages, false}, {in, true}}},
        {2963, {{out, false}, {inNoPages, false}, {in, true}}},
        // Always: the presence commands, sorting, the window, exit, accounts, update, language, mute.
        {3114, {{out, true}, {signingIn, true}, {in, true}}},
        {3115, {{out, true}, {in, true}}},
        {3116, {{out, true}, {in, true}}},
        {2924, {{out, true}, {in, true}}},
        {2925, {{out, true}}},
        {2922, {{out, true}}},
        {2042, {{signingOut, true}}},
        {2946, {{out, true}}},
        {2959, {{out, true}}},
        {2927, {{out, true}}},
        {32773, {{out, true}}},
        {3014, {{out, true}}},
        {3045, {{out, true}}},
        // Never.
        {32804, {{out, false}, {in, false}}},
        {32834, {{in, false}}},
    };
    for (const Row& row : rows)
        for (const auto& [state, want] : row.cases) {
            bool known = false;
            EXPECT_EQ(want, shell::CommandEnabled(row.id, state, &known))
                << "command " << row.id << " state " << state.loginState << " book " << state.book << " kind "
                << state.selectionKind;
            EXPECT_TRUE(known) << row.id;
        }
    // Commands of the application and the dial bar are not the frame's to rule.
    for (int id : {2914, 2943, 2944, 2962, 2994, 1000, 1001}) {
        bool known = true;
        EXPECT_TRUE(shell::CommandEnabled(id, out, &known));
        EXPECT_FALSE(known) << id;
    }
    // Every id of the table is listed once.
    const std::vector<int>& ids = shell::RuledCommands();
    EXPECT_EQ(ids.size(), std::set<int>(ids.begin(), ids.end()).size());
}

TEST(CommandRules, StatusMenusByState) {
    // Signed out: offline is the status, checked and greyed; online stays open (it signs in).
    auto on = shell::StatusMenuItem(STATUS_ONLINE, LOGIN_SIGNED_OUT, STATUS_OFFLINE);
    auto off = shell::StatusMenuItem(STATUS_OFFLINE, LOGIN_SIGNED_OUT, STATUS_OFFLINE);
    EXPECT_TRUE(on.enabled);
    EXPECT_FALSE(on.checked);
    EXPECT_TRUE(off.checked);
    EXPECT_FALSE(off.enabled);
    // Signed in and online: the other way round.
    on = shell::StatusMenuItem(STATUS_ONLINE, LOGIN_SIGNED_IN, STATUS_ONLINE);
    off = shell::StatusMenuItem(STATUS_OFFLINE, LOGIN_SIGNED_IN, STATUS_ONLINE);
    EXPECT_FALSE(on.enabled);
    EXPECT_TRUE(on.checked);
    EXPECT_TRUE(off.enabled);
    // Signing in or out: nothing to choose.
    for (int state : {LOGIN_SIGNING_IN, LOGIN_SIGNING_OUT})
        for (int item : {STATUS_ONLINE, STATUS_OFFLINE, STATUS_BUSY})
            EXPECT_FALSE(shell::StatusMenuItem(item, state, STATUS_OFFLINE).enabled) << state << " " << item;
    // The tray: the same, and without a frame both are greyed.
    EXPECT_TRUE(shell::TrayMenuItem(STATUS_ONLINE, true, LOGIN_SIGNED_OUT, STATUS_OFFLINE).enabled);
    EXPECT_FALSE(shell::TrayMenuItem(STATUS_OFFLINE, true, LOGIN_SIGNED_OUT, STATUS_OFFLINE).enabled);
    EXPECT_TRUE(shell::TrayMenuItem(STATUS_OFFLINE, true, LOGIN_SIGNED_OUT, STATUS_OFFLINE).checked);
    EXPECT_FALSE(shell::TrayMenuItem(STATUS_ONLINE, false, LOGIN_SIGNED_OUT, STATUS_OFFLINE).enabled);
    EXPECT_FALSE(shell::TrayMenuItem(STATUS_ONLINE, true, LOGIN_SIGNING_IN, STATUS_OFFLINE).enabled);
    EXPECT_FALSE(shell::TrayMenuItem(STATUS_OFFLINE, true, LOGIN_SIGNING_OUT, STATUS_ONLINE).enabled);
}

TEST(CommandRules, PresenceCommandsWhileSignedOutNeverSetAStatus) {
    using shell::ActionForPresenceCommand;
    // Online while signed out signs in; busy does nothing.
    EXPECT_EQ(shell::PRESENCE_CMD_LOGIN, ActionForPresenceCommand(ID_STATUS_ONLINE, LOGIN_SIGNED_OUT, STATUS_OFFLINE));
    EXPECT_EQ(shell::PRESENCE_CMD_LOGIN, ActionForPresenceCommand(ID_STATUS_ONLINE, LOGIN_SIGNING_IN, STATUS_OFFLINE));
    EXPECT_EQ(shell::PRESENCE_CMD_NONE, ActionForPresenceCommand(ID_STATUS_BUSY, LOGIN_SIGNED_OUT, STATUS_OFFLINE));
    EXPECT_EQ(shell::PRESENCE_CMD_NONE, ActionForPresenceCommand(ID_STATUS_BUSY, LOGIN_SIGNED_OUT, STATUS_ONLINE))
        << "a stale status shown is no sign-in";
    // Signed in: the status is set.
    EXPECT_EQ(shell::PRESENCE_CMD_SET_ONLINE, ActionForPresenceCommand(ID_STATUS_ONLINE, LOGIN_SIGNED_IN, STATUS_BUSY));
    EXPECT_EQ(shell::PRESENCE_CMD_SET_BUSY, ActionForPresenceCommand(ID_STATUS_BUSY, LOGIN_SIGNED_IN, STATUS_ONLINE));
    EXPECT_EQ(shell::PRESENCE_CMD_NONE, ActionForPresenceCommand(ID_STATUS_BUSY, LOGIN_SIGNED_IN, STATUS_OFFLINE));
    EXPECT_EQ(shell::PRESENCE_CMD_LOGOFF, ActionForPresenceCommand(ID_STATUS_OFFLINE, LOGIN_SIGNED_IN, STATUS_ONLINE));
}

TEST(FrameTitle, AliasUserNameAndSignedOut) {
    EXPECT_EQ("Tessaly - Bob", shell::FrameTitle("Tessaly", LOGIN_SIGNED_IN, STATUS_ONLINE, "Bob", "bob1"));
    EXPECT_EQ("Tessaly - bob1", shell::FrameTitle("Tessaly", LOGIN_SIGNED_IN, STATUS_BUSY, "", "bob1")) << "no alias: the user";
    EXPECT_EQ("Tessaly", shell::FrameTitle("Tessaly", LOGIN_SIGNED_OUT, STATUS_ONLINE, "Bob", "bob1")) << "signed out";
    EXPECT_EQ("Tessaly", shell::FrameTitle("Tessaly", LOGIN_SIGNED_IN, STATUS_OFFLINE, "Bob", "bob1")) << "offline";
    EXPECT_EQ("Tessaly", shell::FrameTitle("Tessaly", LOGIN_SIGNING_OUT, STATUS_ONLINE, "Bob", "bob1"));
    EXPECT_EQ("Tessaly", shell::FrameTitle("Tessaly", LOGIN_SIGNED_IN, STATUS_ONLINE, "", ""));
}

// ---- usrcfg.ini values the frame reads -----------------------------------------------------------
TEST(ChatFont, DefaultsRoundTripAndBadValues) {
    const std::string dir = TempFolder();
    const std::string ini = dir + "/usrcfg.ini";
    shell::ChatFont f = shell::ReadChatFont(ini);
    EXPECT_EQ(8388608u, f.color);
    EXPECT_EQ(180, f.size);
    EXPECT_EQ("\xCB\xCE\xCC\xE5", f.faceName) << "宋体 in the ANSI code page";
    EXPECT_FALSE(f.bold || f.italic || f.underline || f.strikeout);

    f.color = 0x0000FF;
    f.size = 240;
    f.faceName = "Arial";
    f.italic = f.strikeout = true;
    f.charset = 134;
    ASSERT_TRUE(shell::WriteChatFont(ini, f));
    std::string text;
    ASSERT_TRUE(plat::ReadFile(ini, &text));
    EXPECT_NE(std::string::npos, text.find("Itatic=1")) << "the stored key's spelling";
    EXPECT_NE(std::string::npos, text.find("Bold=0"));
    const shell::ChatFont back = shell::ReadChatFont(ini);
    EXPECT_EQ(255u, back.color);
    EXPECT_EQ(240, back.size);
    EXPECT_EQ("Arial", back.faceName);
    EXPECT_TRUE(back.italic && back.strikeout);
    EXPECT_FALSE(back.bold || back.underline);
    EXPECT_EQ(134, back.charset);

    // Numbers are taken as stored and written back the same; a text that is no number keeps the default.
    Write(ini, "[IMFont]\nColor=blue\nSize=999999\nBold=2\nCharset=-4\n");
    const shell::ChatFont odd = shell::ReadChatFont(ini);
    EXPECT_EQ(8388608u, odd.color);
    EXPECT_EQ(999999, odd.size);
    EXPECT_FALSE(odd.bold);
    EXPECT_EQ(-4, odd.charset);
    Write(ini, "[IMFont]\nColor=4278190335\nSize=5\nCharset=300\n");
    const shell::ChatFont stored = shell::ReadChatFont(ini);
    EXPECT_EQ(4278190335u, stored.color);
    EXPECT_EQ(5, stored.size);
    EXPECT_EQ(300, stored.charset);
    ASSERT_TRUE(shell::WriteChatFont(ini, stored));
    ASSERT_TRUE(plat::ReadFile(ini, &text));
    for (const char* line : {"Color=4278190335", "Size=5", "Charset=300"})
        EXPECT_NE(std::string::npos, text.find(line)) << line;
}

TEST(ContactCounter, OnlyANumberCounts) {
    EXPECT_EQ(42, shell::ParseContactCounter("42"));
    EXPECT_EQ(0, shell::ParseContactCounter("0"));
    EXPECT_EQ(0, shell::ParseContactCounter("-7")) << "negative becomes 0";
    EXPECT_EQ(-1, shell::ParseContactCounter(""));
    EXPECT_EQ(-1, shell::ParseContactCounter("12a"));
    EXPECT_EQ(-1, shell::ParseContactCounter("-"));
    EXPECT_EQ(-1, shell::ParseContactCounter("99999999999")) << "too big to be a counter";
}

TEST(FaceTable, LoadsUpToTheFirstMissingFileAndTakesTipsFromTheLanguage) {
    const std::string dir = TempFolder();
    ASSERT_TRUE(plat::MakeDirectories(dir + "/face"));
    for (const char* name : {"01.bmp", "02.bmp", "03.bmp", "05.bmp"}) Write(dir + "/face/" + name, "x");
    std::vector<std::string> asked;
    const int loaded = shell::LoadFaceTable(dir, [&](const std::string& path) {
        asked.push_back(path);
        return plat::IsRegularFile(path);
    });
    EXPECT_EQ(3, loaded) << "05 after a missing 04 is not loaded";
    ASSERT_EQ(49u, shell::FaceTable().size());
    EXPECT_TRUE(shell::FaceTable()[2].available);
    EXPECT_FALSE(shell::FaceTable()[4].available);
    EXPECT_EQ("05.bmp", shell::FaceTable()[4].fileName);
    EXPECT_EQ(4u, asked.size()) << "the walk stops at the first failure";

    // Tips from [action_tip], key of each entry's index.
    const std::string app = TempFolder();
    ASSERT_TRUE(plat::MakeDirectories(app + "/language"));
    Write(app + "/language/zyeng.ini", "[action_tip]\n0=Smile\n2=Wink\n");
    shell::LoadConfigPaths(app, TempFolder(), false);
    shell::ApplyLanguageCode("eng");
    shell::ReadFaceTips();
    EXPECT_EQ("Smile", shell::FaceTable()[0].tip);
    EXPECT_EQ("", shell::FaceTable()[1].tip);
    EXPECT_EQ("Wink", shell::FaceTable()[2].tip);
}

// ---- module versions ------------------------------------------------------------------------------
TEST(ModuleVersion, VersionNumbersOfPackageTexts) {
    struct Case {
        const char* text;
        uint16_t want[4];
        bool ok;
    };
    const Case cases[] = {
        {"2.36-9+deb12u4", {2, 36, 0, 0}, true}, {"1:1.2.13.dfsg-1", {1, 2, 13, 0}, true},
        {"6.4.2+dfsg-10", {6, 4, 2, 0}, true},   {"1.2.3.4.5", {1, 2, 3, 4}, true},
        {"70000.1", {65535, 1, 0, 0}, true},     {"abc", {0, 0, 0, 0}, false},
        {"", {0, 0, 0, 0}, false},               {"3.", {3, 0, 0, 0}, true},
    };
    for (const Case& c : cases) {
        uint16_t v[4] = {9, 9, 9, 9};
        EXPECT_EQ(c.ok, shell::ParseVersionNumbers(c.text, v)) << c.text;
        for (int i = 0; i < 4; ++i) EXPECT_EQ(c.want[i], v[i]) << c.text << " part " << i;
    }
}

TEST(ModuleVersion, ThisProgramCarriesItsOwnBlock) {
    shell::CModuleVersion v("/proc/self/exe");
    ASSERT_TRUE(v.HasVersionBlock());
    char text[199];
    ASSERT_EQ(1, v.GetProductName(text, sizeof text));
    EXPECT_STREQ("Tessaly", text);
    v.GetFileDescription(text, sizeof text);
    EXPECT_STREQ("Tessaly communicator", text);
    uint16_t ver[4];
    v.GetFileVersion(ver);
    EXPECT_EQ(0, ver[0]);
    EXPECT_EQ(9, ver[1]);
    EXPECT_EQ(6, ver[2]);
    uint32_t type = 0, machine = 0;
    ASSERT_EQ(1, v.GetFileType(&type));
    ASSERT_EQ(1, v.GetFileSubtype(&machine));
    EXPECT_TRUE(type == 2 || type == 3) << "an executable or a position-independent one";
    EXPECT_NE(0u, machine);
    // A short buffer gets at most size - 2 characters; no buffer gets nothing.
    char small[5];
    ASSERT_EQ(1, v.GetProductName(small, sizeof small));
    EXPECT_STREQ("Tes", small);
    EXPECT_EQ(0, v.GetCompanyName(nullptr, 10));
    v.Release();
    EXPECT_FALSE(v.HasVersionBlock());
}

TEST(ModuleVersion, AModuleWithoutABlockTakesItsPackage) {
    const std::string db = TempFolder();
    ASSERT_TRUE(plat::MakeDirectories(db + "/info"));
    Write(db + "/info/libother.list", "/usr/lib/x86_64-linux-gnu/libother.so.2\n");
    // Merged /usr: the list names "/lib/..." for what is loaded from "/usr/lib/...".
    Write(db + "/info/libfoo1:amd64.list", "/.\n/lib\n/lib/x86_64-linux-gnu/libfoo.so.1.2.3\n");
    Write(db + "/status",
          "Package: libfoo1\nArchitecture: i386\nMaintainer: Wrong One <w@x>\nVersion: 9.9\nDescription: wrong\n\n"
          "Package: libfoo1\nStatus: install ok installed\nMaintainer: Foo Team <foo@example.org>\nArchitecture: amd64\n"
          "Version: 1:1.2-4\nDescription: the foo library\n long text\n\n"
          "Package: libother\nVersion: 2.0\n");
    shell::CModuleVersion::SetPackageDatabase(db.c_str());
    shell::CModuleVersion v("/usr/lib/x86_64-linux-gnu/libfoo.so.1.2.3");
    EXPECT_FALSE(v.HasVersionBlock());
    char text[199];
    v.GetProductName(text, sizeof text);
    EXPECT_STREQ("libfoo1", text);
    v.GetCompanyName(text, sizeof text);
    EXPECT_STREQ("Foo Team <foo@example.org>", text);
    v.GetFileDescription(text, sizeof text);
    EXPECT_STREQ("the foo library", text);
    uint16_t file[4], product[4];
    v.GetFileVersion(file);
    v.GetProductVersion(product);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 0}), (std::vector<int>{file[0], file[1], file[2], file[3]})) << "from the file name";
    EXPECT_EQ((std::vector<int>{1, 2, 0, 0}), (std::vector<int>{product[0], product[1], product[2], product[3]}));

    // Without a version in the name the file takes the package's; no package leaves everything empty.
    shell::CModuleVersion other("/usr/lib/x86_64-linux-gnu/libother.so.2");
    other.GetProductVersion(product);
    EXPECT_EQ(2, product[0]);
    shell::CModuleVersion none("/opt/nowhere/libnone.so");
    none.GetProductName(text, sizeof text);
    EXPECT_STREQ("", text);
    none.GetFileVersion(file);
    EXPECT_EQ(0, file[0] + file[1] + file[2] + file[3]);
    shell::CModuleVersion::SetPackageDatabase("/var/lib/dpkg");
}

TEST(ModuleVersion, BrokenElfFilesAreReadWithoutHarm) {
    const std::string dir = TempFolder();
    // A header that claims sections far beyond the file, and notes whose sizes run past their section.
    std::string elf(64, '\0');
    elf.replace(0, 4, "\177ELF");
    elf[4] = 2, elf[5] = 1, elf[16] = 3, elf[18] = 62;
    elf[0x28] = 0x40;           // section headers right after the header
    elf[0x3A] = 0x40;           // entry size
    elf[0x3C] = 0x10;           // 16 of them, only one there
    std::string sh(64, '\0');
    sh[4] = 7;                  // a note section
    sh[0x18] = static_cast<char>(0x80);  // at 0x80
    sh[0x20] = 0x20;            // 32 bytes
    std::string note(32, '\0');
    note[0] = static_cast<char>(0xFF), note[1] = static_cast<char>(0xFF);  // a name size far too big
    Write(dir + "/broken.so", elf + sh + note);
    shell::CModuleVersion v((dir + "/broken.so").c_str());
    EXPECT_FALSE(v.HasVersionBlock());
    uint32_t type = 0;
    v.GetFileType(&type);
    EXPECT_EQ(3u, type);
    Write(dir + "/short.so", "\177EL");
    shell::CModuleVersion s((dir + "/short.so").c_str());
    EXPECT_FALSE(s.HasVersionBlock());
}
