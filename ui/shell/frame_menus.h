// The frame's menu bar read from the language's menu file, its check marks and the skin items.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

class QMenuBar;
class QMenu;
class QAction;

namespace shell {

inline constexpr int kMenuKindPopup = 1;
inline constexpr int kMenuKindItem = 2;
inline constexpr int kMenuKindSeparator = 4;
inline constexpr int kMenuKindEnd = 8;
inline constexpr int kMenuMaxPopupDepth = 3;  // open popups below the menu bar
inline constexpr int kMenuMaxLine = 255;
inline constexpr int kSkinCommandFirst = 3014;

// One entry of the built menu: a popup with its items, a command item or a separator.
struct MenuNode {
    int kind = kMenuKindItem;  // kMenuKindPopup, kMenuKindItem or kMenuKindSeparator
    int id = 0;
    std::string text;
    bool skinPopup = false;  // a popup opened with id 1: the skins are listed in it
    std::vector<MenuNode> children;
};

// Builds the menu bar's popups from the menu file's text. Comment lines ("//" after blanks and
// tabs) and empty lines are skipped; a popup that would open a fourth level is dropped with what
// it holds; a stray end mark is ignored; popups still open at the end are closed in order.
std::vector<MenuNode> ParseMenuFile(const std::string& content);
// Reads the file; false (and nothing built) when it cannot be read.
bool ReadMenuFile(const std::string& path, std::vector<MenuNode>* bar);

// What the marks depend on.
struct MenuMarkState {
    std::string langType;
    int sortType = 2;
    std::string skinType;
    std::vector<std::string> skins;
    bool alwaysOnTop = false;
    int loginState = 0;
};
// Check state of every marked command (language, sort, the 32 skin items, always on top), and
// whether the login item reads "cancel login".
struct MenuMarks {
    std::map<int, bool> checked;
    bool loginCancels = false;
};
MenuMarks ComputeMenuMarks(const MenuMarkState& state);

// The built menu bar: the actions by command id and the skin popup.
struct FrameMenus {
    std::map<int, QAction*> actions;
    QMenu* skinMenu = nullptr;
    bool fromFile = false;
};
// Frees the bar's menus and rebuilds them from the nodes, then appends one item per skin (its
// name for the language code from the skin's corvina.ini) to the skin popup. Every command
// triggers onCommand(id).
void BuildMenuBar(QMenuBar* bar, const std::vector<MenuNode>& nodes, const std::vector<std::string>& skins,
                  const std::string& appFolder, const std::string& langCode, const std::function<void(int)>& onCommand,
                  FrameMenus* out);
// Applies the marks and the login item's text.
void ApplyMenuMarks(const FrameMenus& menus, const MenuMarks& marks);

}  // namespace shell
