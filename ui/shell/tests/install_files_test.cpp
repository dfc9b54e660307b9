// The installation folder holds every file that its language, skin and settings files name, and every
// skin file the program asks for by name.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kApp = TESSALY_BINARY_DIR;
const std::string kSource = TESSALY_SOURCE_DIR;

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> Files(const std::string& dir, const std::regex& name) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::regex_match(e->d_name, name)) out.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    return out;
}

// Source files below a folder, recursively.
void Sources(const std::string& dir, std::vector<std::string>* out) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) Sources(path, out);
        else if (std::regex_match(name, std::regex(R"(.*\.(cpp|h))"))) out->push_back(path);
    }
    closedir(d);
}

const std::regex kFileName(R"([A-Za-z0-9_\-]+\.(bmp|wav|htm|html|png|ico|ini))", std::regex::icase);

// Each (section, key, value) of an ini file whose value names a file.
struct Named {
    std::string file, section, key, value;
};
std::vector<Named> FileValues(const std::string& path) {
    std::vector<Named> out;
    std::istringstream in(Slurp(path));
    std::string line, section;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string value = line.substr(eq + 1);
        if (std::regex_match(value, kFileName)) out.push_back({path, section, line.substr(0, eq), value});
    }
    return out;
}

// Where the program looks for a file named by a language or skin file: head pictures by [photo], the
// rest in the skin folder.
std::string FolderOf(const Named& n) { return n.section == "photo" ? kApp + "/headpics" : kApp + "/skin/default"; }

}  // namespace

TEST(InstallFiles, EveryFileTheLanguageAndSkinFilesNameIsThere) {
    std::vector<std::string> inis = Files(kApp + "/language", std::regex(R"(zy.*\.ini)"));
    ASSERT_GE(inis.size(), 4u) << "the language files are missing";
    std::vector<std::string> skins;
    if (DIR* d = opendir((kApp + "/skin").c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.' && Exists(kApp + "/skin/" + e->d_name + "/corvina.ini"))
                skins.push_back(kApp + "/skin/" + e->d_name + "/corvina.ini");
        closedir(d);
    }
    ASSERT_FALSE(skins.empty());
    inis.insert(inis.end(), skins.begin(), skins.end());
    int named = 0;
    for (const std::string& ini : inis)
        for (const Named& n : FileValues(ini)) {
            ++named;
            EXPECT_TRUE(Exists(FolderOf(n) + "/" + n.value))
                << n.file << " [" << n.section << "] " << n.key << " names " << n.value << ", not in " << FolderOf(n);
        }
    EXPECT_GE(named, 3) << "head picture and the two notice sounds at least";
}

TEST(InstallFiles, TheSettingsFilesNameOnlyFilesThatAreThere) {
    // Local files named by the settings: file addresses in tessaly.xml, programs in usrcfg.ini.
    const std::string xml = Slurp(kApp + "/tessaly.xml");
    ASSERT_FALSE(xml.empty());
    const std::regex fileUrl(R"(>\s*file://([^<\s]+)\s*<)");
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), fileUrl); it != std::sregex_iterator(); ++it)
        EXPECT_TRUE(Exists((*it)[1].str())) << "tessaly.xml names " << (*it)[1].str();
    for (const Named& n : FileValues(kApp + "/usrcfg.ini"))
        EXPECT_TRUE(Exists(kApp + "/" + n.value)) << "usrcfg.ini [" << n.section << "] " << n.key << " names " << n.value;
}

TEST(InstallFiles, EverySkinFileTheProgramAsksForByNameIsThere) {
    // Names written in the program's sources (not the tests', not the generators' that draw them).
    std::vector<std::string> sources;
    Sources(kSource + "/ui", &sources);
    ASSERT_FALSE(sources.empty());
    const std::regex literal(R"re("([A-Za-z0-9_]+\.(bmp|wav|htm))")re");
    std::set<std::string> names;
    for (const std::string& path : sources) {
        if (path.find("/tests/") != std::string::npos || std::regex_search(path, std::regex(R"([a-z]+gen\.cpp$)"))) continue;
        const std::string text = Slurp(path);
        for (auto it = std::sregex_iterator(text.begin(), text.end(), literal); it != std::sregex_iterator(); ++it)
            names.insert((*it)[1].str());
    }
    EXPECT_TRUE(names.count("service.htm")) << "the scan found the service page's name";
    for (const std::string& name : names) {
        // Pages and sounds come from the skin folder; pictures also from the program's own and the heads.
        const bool picture = name.size() > 4 && name.substr(name.size() - 4) == ".bmp";
        bool found = Exists(kApp + "/skin/default/" + name);
        if (picture) found = found || Exists(kApp + "/res/" + name) || Exists(kApp + "/headpics/" + name);
        EXPECT_TRUE(found) << name << " is asked for but not in the installation";
    }
    // The service page holds both languages.
    const std::string page = Slurp(kApp + "/skin/default/service.htm");
    EXPECT_NE(std::string::npos, page.find("id=\"chs\""));
    EXPECT_NE(std::string::npos, page.find("id=\"eng\""));
}

// Each popup of the menu files gives every item its own mnemonic, so one key reaches one command.
TEST(InstallFiles, MenuMnemonicsAreUniqueInEveryPopup) {
    for (const char* name : {"zymenueng.ini", "zymenuchs.ini"}) {
        std::istringstream in(Slurp(kApp + "/language/" + name));
        ASSERT_TRUE(in.good()) << name;
        std::vector<std::map<char, std::string>> open(1);  // the popups from the bar down
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.rfind("//", 0) == 0 || line.empty()) continue;
            const size_t a = line.find(','), b = line.find(',', a + 1);
            if (a == std::string::npos || b == std::string::npos) continue;
            const int kind = std::stoi(line.substr(0, a), nullptr, 16);
            const std::string text = line.substr(b + 1);
            if (kind == 8) {
                if (open.size() > 1) open.pop_back();
                continue;
            }
            const size_t amp = text.find('&');
            if (amp != std::string::npos && amp + 1 < text.size()) {
                const char key = static_cast<char>(std::tolower(static_cast<unsigned char>(text[amp + 1])));
                auto [it, fresh] = open.back().emplace(key, text);
                EXPECT_TRUE(fresh) << name << ": \"" << text << "\" and \"" << it->second << "\" share a key";
            }
            if (kind == 1) open.emplace_back();
        }
    }
}
