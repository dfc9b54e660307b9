// Decisions of the main frame that do not need a window: dial requests, sign-in states and notices.
#include "ui/shell/frame_logic.h"

#include <cctype>

#include "platform/fs.h"
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
        // A new gateway counts as lost, then available.
        if (gateway != m.lastGateway) {
            if (m.lastGateway != -1) before = 2;
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
    if (major != 0) return major > 0;
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

}  // namespace shell
