// The frame's menu bar read from the language's menu file, its check marks and the skin items.
#include "ui/shell/frame_menus.h"

#include <QMenuBar>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "common/debug.h"
#include "platform/codepage.h"
#include "platform/fs.h"
#include "platform/ini.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/shell_config.h"

namespace shell {

namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

// Reads "kind(hex),id(decimal),text"; false when the two numbers are not there.
bool ParseEntry(const std::string& line, int* kind, int* id, std::string* text) {
    const char* p = line.c_str();
    char* end = nullptr;
    const long k = std::strtol(p, &end, 16);
    if (end == p || *end != ',') return false;
    p = end + 1;
    const long n = std::strtol(p, &end, 10);
    if (end == p) return false;
    *kind = static_cast<int>(k);
    *id = static_cast<int>(n);
    text->clear();
    if (*end == ',') {
        p = end + 1;
        while (Blank(*p)) ++p;
        text->assign(p);
    }
    return true;
}

}  // namespace

std::vector<MenuNode> ParseMenuFile(const std::string& content) {
    std::vector<MenuNode> bar;
    std::vector<MenuNode> open;  // the popups being filled, outermost first
    int dropped = 0;             // levels of a popup too deep, being skipped
    auto current = [&]() -> std::vector<MenuNode>& { return open.empty() ? bar : open.back().children; };
    auto close = [&] {
        MenuNode done = std::move(open.back());
        open.pop_back();
        current().push_back(std::move(done));
    };

    size_t pos = 0;
    int lineNo = 0;
    while (pos < content.size()) {
        size_t nl = content.find('\n', pos);
        if (nl == std::string::npos) nl = content.size();
        std::string line = content.substr(pos, nl - pos);
        pos = nl + 1;
        ++lineNo;
        if (line.size() > static_cast<size_t>(kMenuMaxLine)) line.resize(kMenuMaxLine);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        size_t start = 0;
        while (start < line.size() && Blank(line[start])) ++start;
        line.erase(0, start);
        if (line.empty() || line.rfind("//", 0) == 0) continue;

        int kind = 0, id = 0;
        std::string text;
        if (!ParseEntry(line, &kind, &id, &text)) {
            DebugTrace(MOD_SYSTEM, 2, "menu file line %d not understood", lineNo);
            continue;
        }
        switch (kind) {
            case kMenuKindPopup:
                if (dropped > 0 || static_cast<int>(open.size()) >= kMenuMaxPopupDepth) {
                    if (dropped == 0) DebugTrace(MOD_SYSTEM, 2, "menu file line %d: popup too deep, left out", lineNo);
                    ++dropped;
                    break;
                }
                open.push_back(MenuNode{kMenuKindPopup, id, text, id == 1, {}});
                break;
            case kMenuKindItem:
                if (dropped == 0) current().push_back(MenuNode{kMenuKindItem, id, text, false, {}});
                break;
            case kMenuKindSeparator:
                if (dropped == 0) current().push_back(MenuNode{kMenuKindSeparator, 0, {}, false, {}});
                break;
            case kMenuKindEnd:
                if (dropped > 0) --dropped;
                else if (open.empty()) DebugTrace(MOD_SYSTEM, 2, "menu file line %d: end without popup, ignored", lineNo);
                else close();
                break;
            default: break;
        }
    }
    if (!open.empty()) DebugTrace(MOD_SYSTEM, 2, "menu file: %d popup(s) not closed", static_cast<int>(open.size()));
    while (!open.empty()) close();
    return bar;
}

bool ReadMenuFile(const std::string& path, std::vector<MenuNode>* bar) {
    std::string content;
    if (!plat::ReadFile(path, &content)) return false;
    *bar = ParseMenuFile(content);
    return true;
}

MenuMarks ComputeMenuMarks(const MenuMarkState& s) {
    MenuMarks m;
    m.checked[2927] = strcasecmp(s.langType.c_str(), "chs") == 0;
    m.checked[2928] = strcasecmp(s.langType.c_str(), "eng") == 0;
    m.checked[2924] = s.sortType == 1;
    m.checked[2925] = s.sortType == 2;
    for (int i = 0; i < static_cast<int>(kMaxSkins); ++i) m.checked[kSkinCommandFirst + i] = false;
    for (size_t i = 0; i < s.skins.size() && i < kMaxSkins; ++i) {
        if (strcasecmp(s.skins[i].c_str(), s.skinType.c_str()) == 0) {
            m.checked[kSkinCommandFirst + static_cast<int>(i)] = true;
            break;
        }
    }
    m.checked[2923] = s.alwaysOnTop;
    m.loginCancels = s.loginState == 2;
    return m;
}

namespace {

void AddNodes(TrelMenu* menu, const std::vector<MenuNode>& nodes, const std::function<void(int)>& onCommand,
              FrameMenus* out) {
    for (const MenuNode& n : nodes) {
        if (n.kind == kMenuKindSeparator) {
            menu->addSeparator();
        } else if (n.kind == kMenuKindItem) {
            QAction* a = menu->AppendMenu(0, n.id, QString::fromStdString(n.text));
            if (!a) continue;
            const int id = n.id;
            QObject::connect(a, &QAction::triggered, menu, [onCommand, id] { onCommand(id); });
            out->actions[id] = a;
        } else {
            TrelMenu* sub = menu->AppendPopup(QString::fromStdString(n.text));
            if (n.skinPopup) out->skinMenu = sub;
            AddNodes(sub, n.children, onCommand, out);
        }
    }
}

}  // namespace

void BuildMenuBar(QMenuBar* bar, const std::vector<MenuNode>& nodes, const std::vector<std::string>& skins,
                  const std::string& appFolder, const std::string& langCode, const std::function<void(int)>& onCommand,
                  FrameMenus* out) {
    // Freeing: the popups are children of the bar, deleted with their actions.
    for (QMenu* m : bar->findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly)) m->deleteLater();
    bar->clear();
    out->actions.clear();
    out->skinMenu = nullptr;
    out->fromFile = true;
    for (const MenuNode& n : nodes) {
        if (n.kind == kMenuKindPopup) {
            auto* menu = new TrelMenu(bar);
            menu->setTitle(QString::fromStdString(n.text));
            if (n.skinPopup) out->skinMenu = menu;
            AddNodes(menu, n.children, onCommand, out);
            bar->addMenu(menu);
        } else if (n.kind == kMenuKindItem) {
            QAction* a = bar->addAction(QString::fromStdString(n.text));
            const int id = n.id;
            QObject::connect(a, &QAction::triggered, bar, [onCommand, id] { onCommand(id); });
            out->actions[id] = a;
        }
    }
    if (auto* skinMenu = qobject_cast<TrelMenu*>(out->skinMenu)) {
        for (size_t i = 0; i < skins.size() && i < kMaxSkins; ++i) {
            const std::string ini = plat::PathJoin(plat::PathJoin(plat::PathJoin(appFolder, "skin"), skins[i]), "corvina.ini");
            char name[256];
            GetPrivateProfileString("skinname", langCode.c_str(), "", name, sizeof name, ini.c_str());
            const int id = kSkinCommandFirst + static_cast<int>(i);
            // The skin's settings file is in the ANSI code page.
            QAction* a = skinMenu->AppendMenu(0, id, QString::fromStdU16String(plat::ToUtf16(name, 936)));
            if (!a) continue;
            QObject::connect(a, &QAction::triggered, bar, [onCommand, id] { onCommand(id); });
            out->actions[id] = a;
        }
    }
    // Every item that can carry a mark is checkable.
    for (int id : {2923, 2924, 2925, 2927, 2928})
        if (auto it = out->actions.find(id); it != out->actions.end()) it->second->setCheckable(true);
    for (int i = 0; i < static_cast<int>(kMaxSkins); ++i)
        if (auto it = out->actions.find(kSkinCommandFirst + i); it != out->actions.end()) it->second->setCheckable(true);
    bar->update();
}

void ApplyMenuMarks(const FrameMenus& menus, const MenuMarks& marks) {
    for (const auto& [id, on] : marks.checked)
        if (auto it = menus.actions.find(id); it != menus.actions.end()) it->second->setChecked(on);
    if (auto it = menus.actions.find(2919); it != menus.actions.end())
        it->second->setText(marks.loginCancels ? LangText("menu", "txt_cancel_login", "Cancel Login")
                                               : LangText("menu", "txt_login", "Login").left(31));
}

}  // namespace shell
