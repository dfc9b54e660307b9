// Decisions of the main frame that do not need a window: dial requests, sign-in states and notices.
#include "ui/shell/frame_logic.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "platform/fs.h"
#include "platform/ini.h"
#include "ui/shell/frame_menus.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/shell_messages.h"

namespace shell {

int DialDecision(int loginState, bool pageForNumber, bool startPageExists, bool talking) {
    if (loginState != LOGIN_SIGNED_IN) return 0;
    if (pageForNumber) return 1;
    if (!startPageExists) return 0;
    if (talking) return 2;
    return 3;
}

LoginStateAction ActionForLoginState(int state) {
    switch (state) {
        case 0: return {nullptr, LOGIN_SIGNED_OUT, true};
        case 1: return {"txt_boot_profile", LOGIN_SIGNING_IN, false};
        case 2: return {"txt_profile_account", -1, false};
        case 3: return {"txt_boot_account", -1, false};
        case 4: return {"txt_sip", -1, false};
        case 5: return {"txt_mv", -1, false};
        case 6: return {"txt_online", LOGIN_SIGNED_IN, false};
        default: return {nullptr, -1, false};
    }
}

const char* LoginFailureKey(int state) {
    switch (state) {
        case 1:
        case 3: return "txt_bootstrap_fail";
        case 2: return "txt_login_fail";
        case 4:
        case 5: return "txt_title_error";
        default: return nullptr;
    }
}

const char* StatusBitmapName(int status) {
    static const char* const names[] = {"online.bmp", "offline.bmp", "busy.bmp", "leave.bmp", "notavailable.bmp"};
    return status >= 0 && status <= 4 ? names[status] : nullptr;
}

const char* TrayBitmapName(int status) {
    switch (status) {
        case STATUS_ONLINE: return "trayOnline.bmp";
        case STATUS_OFFLINE: return "trayOffline.bmp";
        case STATUS_BUSY: return "trayBusy.bmp";
        default: return nullptr;
    }
}

LinkAction LinkMonitorTick(LinkMonitor& m, long long gateway, bool haveUser, int frameLoginState, bool pending,
                           int fsmState, const char** log) {
    *log = nullptr;
    int before = m.linkState;
    if (gateway < 0) {
        m.linkState = 2;
        m.lastGateway = -1;
    } else {
        m.linkState = 1;
        // A new gateway counts as lost, then available; so does the first one seen, and the first tick
        // with a route reports the link up.
        if (gateway != m.lastGateway) {
            before = 2;
            m.lastGateway = gateway;
        }
    }
    if (!haveUser) return LINK_NONE;
    const int now = m.linkState;
    if (now == 1 && before == 1) {
        m.ticks = (m.ticks + 1) % 10;
        if (m.ticks == 0 && frameLoginState == LOGIN_SIGNED_OUT && pending) {
            *log = "TIMER: 5 min expired, connect now";  // the period is 30 s; the text is kept as it was
            return fsmState == 0 ? LINK_LOGIN : LINK_NONE;
        }
    } else if (now == 1) {
        m.ticks = 0;
        *log = "TIMER: Link up, connect now";
        return pending && fsmState == 0 ? LINK_LOGIN : LINK_NONE;
    } else if (before == 2) {
        m.ticks = 0;
    } else if (fsmState == 6) {
        m.ticks = 0;
        *log = "TIMER: Link down, disconnect now";
        return LINK_UNREACHABLE;
    }
    return LINK_NONE;
}

bool IsCallingSelf(const std::string& target, const std::string& domain, const std::string& sipAccount) {
    if (sipAccount.empty() || target.empty()) return false;
    auto full = [&](const std::string& s) {
        std::string out = s.find('@') == std::string::npos ? s + "@" + domain : s;
        for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return out;
    };
    return full(target) == full(sipAccount);
}

bool WriteVersionInfoIni(const std::string& path, const VersionFileData& v) {
    // Built whole and renamed into place: the updater never reads half a file.
    std::string text;
    auto line = [&](const char* key, const std::string& value) { text += std::string(key) + "=" + value + "\r\n"; };
    auto clean = [](std::string s) {
        for (char& c : s)
            if (c == '\r' || c == '\n') c = ' ';
        return s;
    };
    text += "[qz_Version_Info]\r\n";
    line("MajorVersion", std::to_string(v.major));
    line("MinorVersion", std::to_string(v.minor));
    line("Buildnum", std::to_string(v.build));
    line("MajorChange", clean(v.changes));
    text += "[qz_old_Version_Info]\r\n";
    line("MajorVersion", "0");
    line("MinorVersion", "9");
    line("Buildnum", "6");
    line("MajorChange", "");
    text += "[update_Version_Info]\r\n";
    line("DownloadFile", clean(v.downloadFile));
    line("UpdateNeedUpdate", std::to_string(v.needUpdate));
    text += "[system]\r\n";
    line("langtype", clean(v.langType));
    line("server", clean(v.server));
    return plat::WriteFileAtomic(path, text);
}

bool IsNewerVersion(int major, int minor, int build) {
    // Only major version 0 holds the running version and older ones: any other major counts as newer.
    if (major != 0) return true;
    if (minor != 9) return minor > 9;
    return build > 6;
}

UpdateAnswerAction ActionForUpdateAnswer(int answer, bool newer, bool forcedFlag, bool userAsked) {
    UpdateAnswerAction a;
    if (answer == 1 || answer == 2) {
        a.failureBox = userAsked;
    } else if (answer == 0) {
        a.notice = newer;
        a.forced = newer && forcedFlag;
        a.updateNow = !a.forced && userAsked;
    }
    return a;
}

const void* PendingNoticeList::TakeFirst() {
    if (notices_.empty()) return nullptr;
    const void* dialog = notices_.front().m_pDialog;
    notices_.pop_front();
    return dialog;
}

bool PendingNoticeList::Contains(const void* dialog) const {
    for (const CPendingNotice& n : notices_)
        if (n.m_pDialog == dialog) return true;
    return false;
}

void PendingNoticeList::Forget(const void* dialog) {
    std::erase_if(notices_, [dialog](const CPendingNotice& n) { return n.m_pDialog == dialog; });
}

// ---------------------------------------------------------------------------------------------
namespace {
enum Rule { ALWAYS, NEVER, IN_BOOK, NOT_IN, IN, OUT, IN_DIAL, IN_LOG, IN_SERVICE, IN_BOOK_USER, IN_BOOK_GROUP, IN_BOOK_ITEM };
struct RuleRow {
    int id;
    Rule rule;
};
const RuleRow kRules[] = {
    {2041, ALWAYS}, {2042, ALWAYS}, {2840, IN_BOOK}, {2846, IN_BOOK}, {2847, IN_BOOK}, {2849, IN_BOOK},
    {2850, IN_BOOK}, {2919, NOT_IN}, {2920, IN}, {2921, OUT}, {2922, ALWAYS}, {2923, ALWAYS},
    {2924, ALWAYS}, {2925, ALWAYS}, {2929, IN_BOOK}, {2930, IN_LOG}, {2931, IN_DIAL}, {2963, IN_SERVICE},
    {2937, IN_BOOK}, {2957, IN_BOOK}, {2938, IN_BOOK_USER}, {2940, IN_BOOK}, {2941, IN_BOOK_GROUP},
    {2946, ALWAYS}, {2955, IN_BOOK_ITEM}, {2956, IN_BOOK_ITEM}, {2958, IN_BOOK}, {2959, ALWAYS},
    {2960, IN_BOOK}, {2961, IN_BOOK}, {3114, ALWAYS}, {3115, ALWAYS}, {3116, ALWAYS}, {3117, ALWAYS},
    {3118, ALWAYS}, {2927, ALWAYS}, {2928, ALWAYS}, {32773, ALWAYS}, {32776, ALWAYS}, {32800, IN_BOOK},
    {32801, IN_BOOK}, {32804, NEVER}, {32834, NEVER}, {32821, ALWAYS}, {32822, ALWAYS}, {32823, ALWAYS},
    {32831, ALWAYS}, {32833, ALWAYS},
};
}  // namespace

bool CommandEnabled(int id, const CommandState& s, bool* known) {
    if (known) *known = true;
    if (id >= kSkinCommandFirst && id < kSkinCommandFirst + static_cast<int>(kMaxSkins)) return true;
    const bool in = s.loginState == LOGIN_SIGNED_IN;
    for (const RuleRow& r : kRules) {
        if (r.id != id) continue;
        switch (r.rule) {
            case ALWAYS: return true;
            case NEVER: return false;
            case IN_BOOK: return in && s.book;
            case NOT_IN: return !in;
            case IN: return in;
            case OUT: return s.loginState == LOGIN_SIGNED_OUT;
            case IN_DIAL: return in && s.dialPage;
            case IN_LOG: return in && s.callLogPage;
            case IN_SERVICE: return in && s.servicePage;
            case IN_BOOK_USER: return in && s.book && (s.selectionKind == 2 || s.selectionKind == 7);
            case IN_BOOK_GROUP: return in && s.book && s.selectionKind == 1;
            case IN_BOOK_ITEM: return in && s.book && (s.selectionKind == 2 || s.selectionKind == 4);
        }
    }
    if (known) *known = false;
    return true;
}

const std::vector<int>& RuledCommands() {
    static const std::vector<int> ids = [] {
        std::vector<int> v;
        for (const RuleRow& r : kRules) v.push_back(r.id);
        for (int i = 0; i < static_cast<int>(kMaxSkins); ++i) v.push_back(kSkinCommandFirst + i);
        return v;
    }();
    return ids;
}

MenuItemState StatusMenuItem(int item, int loginState, int status) {
    MenuItemState m;
    if (loginState == LOGIN_SIGNED_OUT || loginState == LOGIN_SIGNED_IN) {
        m.checked = item == status;
        m.enabled = !m.checked;
    } else {
        m.enabled = false;  // signing in or out: both grey, none marked
    }
    return m;
}

MenuItemState TrayMenuItem(int item, bool frameExists, int loginState, int status) {
    MenuItemState m;
    if (loginState == LOGIN_SIGNING_IN || loginState == LOGIN_SIGNING_OUT) m.enabled = false;
    if (item == status) {
        m.checked = true;
        m.enabled = false;
    }
    if (!frameExists || (loginState != LOGIN_SIGNED_OUT && loginState != LOGIN_SIGNED_IN)) m.enabled = false;
    return m;
}

PresenceCommandAction ActionForPresenceCommand(int id, int loginState, int status) {
    switch (id) {
        case ID_STATUS_ONLINE: return loginState == LOGIN_SIGNED_IN ? PRESENCE_CMD_SET_ONLINE : PRESENCE_CMD_LOGIN;
        case ID_STATUS_OFFLINE: return PRESENCE_CMD_LOGOFF;
        case ID_STATUS_BUSY:
            // Offline is also the status while signed out: busy then stays off.
            return status == STATUS_OFFLINE || loginState != LOGIN_SIGNED_IN ? PRESENCE_CMD_NONE : PRESENCE_CMD_SET_BUSY;
        default: return PRESENCE_CMD_NONE;
    }
}

std::string FrameTitle(const std::string& appTitle, int loginState, int status, const std::string& alias,
                       const std::string& user) {
    if (loginState != LOGIN_SIGNED_IN || status == STATUS_OFFLINE) return appTitle;
    const std::string& name = alias.empty() ? user : alias;
    return name.empty() ? appTitle : appTitle + " - " + name;
}

// ---------------------------------------------------------------------------------------------
ChatFont ReadChatFont(const std::string& ini) {
    ChatFont f;
    const char* path = ini.c_str();
    char text[64];
    // The numbers are taken as stored; only a text that is no number keeps the default.
    GetPrivateProfileString("IMFont", "Color", "8388608", text, sizeof text, path);
    char* end = nullptr;
    const unsigned long long color = std::strtoull(text, &end, 10);
    if (end != text) f.color = static_cast<uint32_t>(color);
    GetPrivateProfileString("IMFont", "Size", "180", text, sizeof text, path);
    const long long size = std::strtoll(text, &end, 10);
    if (end != text) f.size = static_cast<int>(size);
    char face[64];
    GetPrivateProfileString("IMFont", "FaceName", "\xCB\xCE\xCC\xE5", face, sizeof face, path);  // 宋体 in CP936
    f.faceName = face;
    auto flag = [&](const char* key) { return GetPrivateProfileIntA("IMFont", key, 0, path) == 1; };
    f.italic = flag("Itatic");  // the key is spelled so in every stored file
    f.bold = flag("Bold");
    f.underline = flag("Underline");
    f.strikeout = flag("Strikeout");
    f.charset = static_cast<int>(GetPrivateProfileIntA("IMFont", "Charset", 0, path));
    return f;
}

bool WriteChatFont(const std::string& ini, const ChatFont& f) {
    const char* path = ini.c_str();
    bool ok = WritePrivateProfileString("IMFont", "Color", std::to_string(f.color).c_str(), path);
    ok &= WritePrivateProfileString("IMFont", "Size", std::to_string(f.size).c_str(), path);
    ok &= WritePrivateProfileString("IMFont", "FaceName", f.faceName.c_str(), path);
    ok &= WritePrivateProfileString("IMFont", "Itatic", f.italic ? "1" : "0", path);
    ok &= WritePrivateProfileString("IMFont", "Bold", f.bold ? "1" : "0", path);
    ok &= WritePrivateProfileString("IMFont", "Underline", f.underline ? "1" : "0", path);
    ok &= WritePrivateProfileString("IMFont", "Strikeout", f.strikeout ? "1" : "0", path);
    ok &= WritePrivateProfileString("IMFont", "Charset", std::to_string(f.charset).c_str(), path);
    return ok;
}

int ParseContactCounter(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    if (i == text.size()) return -1;
    long long v = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
        v = v * 10 + (text[i] - '0');
        if (v > 0x7FFFFFFF) return -1;
    }
    return negative ? 0 : static_cast<int>(v);
}

// ---------------------------------------------------------------------------------------------
std::vector<FaceEntry>& FaceTable() {
    static std::vector<FaceEntry> table = [] {
        std::vector<FaceEntry> t(kEmoticonCount);
        for (int i = 0; i < kEmoticonCount; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "%02d.bmp", i + 1);
            t[static_cast<size_t>(i)].index = i;
            t[static_cast<size_t>(i)].fileName = name;
        }
        return t;
    }();
    return table;
}

int LoadFaceTable(const std::string& appFolder, const std::function<bool(const std::string&)>& load) {
    std::vector<FaceEntry>& table = FaceTable();
    int loaded = 0;
    for (FaceEntry& e : table) e.available = false;
    for (FaceEntry& e : table) {
        const std::string path = plat::PathJoin(plat::PathJoin(appFolder, "face"), e.fileName);
        if (!(load ? load(path) : plat::IsRegularFile(path))) break;
        e.available = true;
        ++loaded;
    }
    return loaded;
}

void ReadFaceTips() {
    for (FaceEntry& e : FaceTable()) e.tip = LangText("action_tip", std::to_string(e.index).c_str(), "").toStdString();
}

}  // namespace shell
