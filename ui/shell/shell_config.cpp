// Paths of the installation and profile folders, the language file's texts and the skin table.
#include "ui/shell/shell_config.h"

#include <QDir>
#include <QStringList>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "common/debug.h"
#include "platform/fs.h"
#include "platform/ini.h"

namespace shell {

namespace {
ShellPaths g_paths;

std::string IniString(const std::string& file, const char* section, const char* key, const char* def,
                      size_t max) {
    std::string buffer(max + 1, '\0');
    DWORD n = GetPrivateProfileStringA(section, key, def, buffer.data(), static_cast<DWORD>(buffer.size()),
                                       file.c_str());
    buffer.resize(n);
    return buffer;
}

void BuildLanguagePaths() {
    // "ENG" finds zyeng.ini: the code is kept as stored, the files are found as Windows would.
    const std::string folder = plat::PathJoin(g_paths.appFolder, "language");
    g_paths.langFile = plat::PathJoinNoCase(folder, "zy" + g_paths.langType + ".ini");
    g_paths.menuFile = plat::PathJoinNoCase(folder, "zymenu" + g_paths.langType + ".ini");
}

void BuildSkinPaths() {
    g_paths.skinFolder = plat::PathJoin(g_paths.appFolder, "skin/" + g_paths.skinType);
    g_paths.skinIni = plat::PathJoin(g_paths.skinFolder, "corvina.ini");
}
}  // namespace

ShellPaths& Paths() { return g_paths; }

std::vector<std::string> EnumerateSkins(const std::string& appFolder) {
    std::vector<std::string> out;
    const std::string root = plat::PathJoin(appFolder, "skin");
    // Every entry as the folder gives them, "." and ".." too: only one with a named corvina.ini is a skin.
    const QStringList entries = QDir(QString::fromStdString(root)).entryList(QDir::AllEntries | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QString& entry : entries) {
        const std::string name = entry.toStdString();
        if (out.size() >= kMaxSkins) break;
        const std::string ini = plat::PathJoin(root, name + "/corvina.ini");
        if (!IniString(ini, "skinname", "chs", "", 32).empty()) out.push_back(name);
    }
    return out;
}

bool SystemLanguageIsChinese(const std::function<const char*(const char*)>& get) {
    // The first of these that is set and not empty decides, as it does for the C library's messages.
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = get(name);
        if (v && *v) {
            locale = v;
            break;
        }
    }
    // "zh_CN", "zh_CN.UTF-8", "zh_CN.GB18030@...": the language and the territory, nothing else.
    const size_t end = locale.find_first_of(".@");
    locale = locale.substr(0, end);
    return strcasecmp(locale.c_str(), "zh_CN") == 0 || strcasecmp(locale.c_str(), "zh-CN") == 0;
}

bool SystemLanguageIsChinese() {
    return SystemLanguageIsChinese([](const char* name) { return static_cast<const char*>(std::getenv(name)); });
}

void LoadConfigPaths(const std::string& appFolder, const std::string& profileFolder, bool systemChinese) {
    g_paths = ShellPaths{};
    g_paths.appFolder = appFolder;
    g_paths.profileFolder = profileFolder;
    g_paths.settingsPath = plat::PathJoin(profileFolder, "usrcfg.ini");
    const std::string seed = plat::PathJoin(appFolder, "usrcfg.ini");
    if (!plat::FileExists(g_paths.settingsPath) && plat::FileExists(seed)) {
        std::string bytes;
        if (plat::ReadFile(seed, &bytes)) plat::WriteFileAtomic(g_paths.settingsPath, bytes);
    }
    g_paths.langType = IniString(g_paths.settingsPath, "common", "langtype", "", 19);
    g_paths.sortType = static_cast<int>(GetPrivateProfileIntA("common", "sorttype", 2, g_paths.settingsPath.c_str()));
    if (g_paths.langType.empty()) g_paths.langType = systemChinese ? "chs" : "eng";
    g_paths.settingsXmlPath = plat::PathJoin(appFolder, "tessaly.xml");
    g_paths.savedLoginsPath = plat::PathJoin(profileFolder, "usrInfo.xml");
    g_paths.logPath = plat::PathJoin(profileFolder, "tessaly.log");
    BuildLanguagePaths();
    g_paths.headPicFolder = plat::PathJoin(appFolder, "headpics");
    g_paths.skins = EnumerateSkins(appFolder);
    g_paths.skinType = IniString(g_paths.settingsPath, "common", "skintype", "default", 19);
    BuildSkinPaths();
    g_paths.defaultHeadPic = IniString(g_paths.langFile, "photo", "default", "31.bmp", 256);
}

void ApplyLanguageCode(const std::string& code) {
    DebugTrace(MOD_SYSTEM, 2, "Set language type to %s", code.c_str());
    g_paths.langType = code;
    BuildLanguagePaths();
}

void ApplySkinType(const std::string& type) {
    DebugTrace(MOD_SYSTEM, 2, "Set skin to %s", type.c_str());
    g_paths.skinType = type;
    BuildSkinPaths();
}

bool WriteLangTypeIfChanged(const std::string& code) {
    const std::string stored = IniString(g_paths.settingsPath, "common", "langtype", "", 32);
    if (strcasecmp(stored.c_str(), code.c_str()) == 0) return false;
    return WritePrivateProfileStringA("common", "langtype", code.c_str(), g_paths.settingsPath.c_str()) != 0;
}

bool WriteSkinTypeIfChanged(const std::string& type) {
    const std::string stored = IniString(g_paths.settingsPath, "common", "skintype", "", 32);
    if (strcasecmp(stored.c_str(), type.c_str()) == 0) return false;
    return WritePrivateProfileStringA("common", "skintype", type.c_str(), g_paths.settingsPath.c_str()) != 0;
}

QString LangText(const char* section, const char* key, const char* builtIn) {
    return QString::fromStdString(IniString(g_paths.langFile, section, key, builtIn, 1023));
}

bool FormatConversions(const std::string& format, std::string* kinds) {
    kinds->clear();
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        ++i;
        if (i >= format.size()) return false;
        if (format[i] == '%') continue;
        // Flags and a width are allowed; precision, lengths and '*' are not.
        while (i < format.size() && std::strchr("-+ 0#", format[i]) != nullptr) ++i;
        while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) ++i;
        if (i >= format.size()) return false;
        const char c = format[i];
        if (c == 'd' || c == 'i' || c == 'u') kinds->push_back('d');
        else if (c == 's') kinds->push_back('s');
        else return false;
    }
    return true;
}

QString LangFormatText(const char* section, const char* key, const char* builtIn) {
    std::string want;
    FormatConversions(builtIn, &want);
    return LangFormatText(section, key, builtIn, want);
}

QString LangFormatText(const char* section, const char* key, const char* builtIn, const std::string& conversions) {
    const QString text = LangText(section, key, builtIn);
    std::string got;
    if (!FormatConversions(text.toStdString(), &got) || got != conversions) {
        if (text != QString::fromUtf8(builtIn))
            DebugTrace(MOD_SYSTEM, 3, "Language text [%s] %s has wrong conversions, built-in text used", section, key);
        return QString::fromUtf8(builtIn);
    }
    return text;
}

QString FillFormat(const QString& format, const QStringList& args) {
    QString out;
    int next = 0;
    for (int i = 0; i < format.size(); ++i) {
        if (format[i] != u'%' || i + 1 >= format.size()) {
            out += format[i];
            continue;
        }
        if (format[i + 1] == u'%') {
            out += u'%';
            ++i;
            continue;
        }
        // Flags and a width as printf takes them for %d and %s.
        bool left = false, zero = false, plus = false, space = false;
        int j = i + 1;
        for (; j < format.size() && QStringLiteral("-+ 0#").contains(format[j]); ++j) {
            left |= format[j] == u'-';
            zero |= format[j] == u'0';
            plus |= format[j] == u'+';
            space |= format[j] == u' ';
        }
        int width = 0;
        for (; j < format.size() && format[j].isDigit(); ++j) width = std::min(width * 10 + format[j].digitValue(), 1024);
        if (j >= format.size()) {  // an unfinished conversion (a cut text) is shown as it stands
            out += format.mid(i);
            break;
        }
        QString arg = next < args.size() ? args[next] : QString();
        ++next;
        QString sign;
        if (format[j] != u's') {
            if (arg.startsWith(u'-') || arg.startsWith(u'+')) {
                sign = arg.left(1);
                arg.remove(0, 1);
            } else if (plus) {
                sign = QStringLiteral("+");
            } else if (space) {
                sign = QStringLiteral(" ");
            }
        }
        const int pad = std::max(0, width - static_cast<int>(sign.size() + arg.size()));
        if (left) out += sign + arg + QString(pad, u' ');
        else if (zero && format[j] != u's') out += sign + QString(pad, u'0') + arg;
        else out += QString(pad, u' ') + sign + arg;
        i = j;
    }
    return out;
}

std::string ConfigString(const char* section, const char* key, const char* def) {
    return IniString(g_paths.settingsPath, section, key, def, 1023);
}

int ConfigInt(const char* section, const char* key, int def) {
    return static_cast<int>(GetPrivateProfileIntA(section, key, def, g_paths.settingsPath.c_str()));
}

bool ConfigWrite(const char* section, const char* key, const std::string& value) {
    return WritePrivateProfileStringA(section, key, value.c_str(), g_paths.settingsPath.c_str()) != 0;
}

int SkinInt(const char* section, const char* key, int def) {
    const int fromSkin = static_cast<int>(GetPrivateProfileIntA(section, key, def, g_paths.skinIni.c_str()));
    return static_cast<int>(GetPrivateProfileIntA(section, key, fromSkin, g_paths.settingsPath.c_str()));
}

bool SkinWrite(const char* section, const char* key, const std::string& value) {
    // The installation is shared by every profile (and may be read-only): what one user's window
    // remembers goes to that profile's usrcfg.ini, read before the skin's own value.
    return ConfigWrite(section, key, value);
}

QString SkinFile(const char* name) { return QString::fromStdString(plat::PathJoin(g_paths.skinFolder, name)); }

QString ProgramIconFile() { return QString::fromStdString(plat::PathJoin(g_paths.appFolder, "res/128.png")); }

int CountEmoticons(const std::string& appFolder) {
    int n = 0;
    while (n < kEmoticonCount) {
        char name[32];
        std::snprintf(name, sizeof name, "face/%02d.bmp", n + 1);
        if (!plat::IsRegularFile(plat::PathJoin(appFolder, name))) break;
        ++n;
    }
    return n;
}

std::string SafeNameComponent(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\' || c == ':') continue;
        out.push_back(static_cast<char>(c));
    }
    while (!out.empty() && (out.front() == ' ' || out.front() == '.')) out.erase(out.begin());
    while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
    if (out.size() > 128) out.resize(128);
    return out;
}

ImSettings& FrameImSettings() {
    static ImSettings settings;
    return settings;
}

}  // namespace shell
