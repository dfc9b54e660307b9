// Paths of the installation and profile folders, the language file's texts and the skin table.
#pragma once

#include <QRect>
#include <QString>
#include <functional>
#include <string>
#include <vector>

namespace shell {

inline constexpr size_t kMaxSkins = 32;

// The installation folder holds what the program reads (language, skin, pictures, sounds); the
// profile folder holds what one user's copy writes (usrcfg.ini, usrInfo.xml, the log, chat records).
struct ShellPaths {
    std::string appFolder;
    std::string profileFolder;
    std::string settingsPath;     // <profile>/usrcfg.ini
    std::string settingsXmlPath;  // <app>/tessaly.xml
    std::string savedLoginsPath;  // <profile>/usrInfo.xml
    std::string logPath;          // <profile>/tessaly.log
    std::string langType;         // "chs" or "eng" (or as stored, e.g. "ENG")
    std::string langFile;         // <app>/language/zy<code>.ini
    std::string menuFile;         // <app>/language/zymenu<code>.ini
    std::string headPicFolder;    // <app>/headpics
    std::string skinType;         // skin folder name
    std::string skinFolder;       // <app>/skin/<type>
    std::string skinIni;          // <skinFolder>/corvina.ini
    std::string defaultHeadPic = "31.bmp";
    int sortType = 2;
    std::vector<std::string> skins;  // listed skins, at most kMaxSkins
};

ShellPaths& Paths();

// Whether the system's language is Chinese as spoken in China (the locale of LC_ALL, else LC_MESSAGES,
// else LANG, as the C library takes them, is zh_CN); get is the environment (tests give their own).
bool SystemLanguageIsChinese(const std::function<const char*(const char*)>& get);
bool SystemLanguageIsChinese();
// Builds every path. systemChinese stands for the system's default language being Chinese (2052).
// A missing usrcfg.ini in the profile is seeded from the installation's copy when there is one.
void LoadConfigPaths(const std::string& appFolder, const std::string& profileFolder, bool systemChinese);
// Rebuilds the language paths; writes langtype only when it differs (ignoring case). The caller
// broadcasts the change to the windows before this writes (see SetLanguageType in the frame).
void ApplyLanguageCode(const std::string& code);
void ApplySkinType(const std::string& type);
bool WriteLangTypeIfChanged(const std::string& code);
bool WriteSkinTypeIfChanged(const std::string& type);
// Entries of <app>/skin ("." and ".." too) whose corvina.ini has a non-empty [skinname] chs, in the
// order the folder gives them.
std::vector<std::string> EnumerateSkins(const std::string& appFolder);

// A text of the language file (UTF-8), or the built-in default.
QString LangText(const char* section, const char* key, const char* builtIn);
// A printf-style text of the language file: used only when its conversions are exactly those of
// the built-in default (same count and kinds, in order); otherwise the default is used.
QString LangFormatText(const char* section, const char* key, const char* builtIn);
// The same with the conversions named ("ddd"), for a text whose default holds none (an empty one).
QString LangFormatText(const char* section, const char* key, const char* builtIn, const std::string& conversions);
// The conversions of a format text, e.g. "%d of %s" gives "ds"; false for an unknown or bad conversion.
bool FormatConversions(const std::string& format, std::string* kinds);
// Fills %s/%d conversions in order with the given arguments (the format has been checked), honouring
// the flags and width as printf does.
QString FillFormat(const QString& format, const QStringList& args);

// usrcfg.ini access.
std::string ConfigString(const char* section, const char* key, const char* def);
int ConfigInt(const char* section, const char* key, int def);
bool ConfigWrite(const char* section, const char* key, const std::string& value);
// The skin's corvina.ini, overridden per profile by the same section and key in usrcfg.ini (where writes go).
int SkinInt(const char* section, const char* key, int def);
bool SkinWrite(const char* section, const char* key, const std::string& value);
QString SkinFile(const char* name);
// The program's icon (icon 128) in the installation.
QString ProgramIconFile();

// The emoticon table: "face/01.bmp", "02", ... in the installation, up to the first missing file and never
// more than the table's 49 entries; the number loaded.
inline constexpr int kEmoticonCount = 49;
int CountEmoticons(const std::string& appFolder);

// A plain name component from a user name or a server text: no separators, no "." or "..", no
// control characters; empty when nothing usable is left.
std::string SafeNameComponent(const std::string& text);

// The main window's chat settings from the skin ini's [imconfig], read when the window is made; chat
// windows take the send key (1 Enter sends, 2 Ctrl+Enter sends) and the auto-play flag from here and
// give them back when they close.
struct ImSettings {
    int sendKey = 1;
    int autoPlay = 0;
    int hideOnStart = 1;
    QRect window;  // a new chat window's place; empty when unset
};
ImSettings& FrameImSettings();

}  // namespace shell
