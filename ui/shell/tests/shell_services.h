// The sign-in test services on free loopback ports for the shell's tests, and a profile folder naming them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/calllog.h"
#include "e2e_support.h"
#include "platform/fs.h"
#include "tools/testsupport/install_copy.h"
#include "ui/shell/saved_logins.h"

namespace shelltest {

// The whole text of a file ("" when it cannot be read).
inline std::string Slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Waits until the file holds the text; false after ms.
inline bool WaitText(const std::string& path, const std::string& text, int ms) {
    for (int waited = 0; waited < ms; waited += 50) {
        if (Slurp(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// How often the file holds the text.
inline size_t CountText(const std::string& path, const std::string& text) {
    const std::string all = Slurp(path);
    size_t found = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++found;
    return found;
}

// Waits until the file holds the text n times; false after ms.
inline bool WaitCount(const std::string& path, const std::string& text, size_t n, int ms) {
    for (int waited = 0; waited < ms; waited += 50) {
        if (CountText(path, text) >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// The records of a call-log file (its id counter skipped).
inline std::vector<CallLogEntry> ReadCallLog(const std::string& path) {
    std::vector<CallLogEntry> out;
    std::ifstream f(path, std::ios::binary);
    uint32_t counter = 0;
    if (!f.read(reinterpret_cast<char*>(&counter), 4)) return out;
    CallLogEntry e;
    while (f.read(reinterpret_cast<char*>(&e), sizeof e)) out.push_back(e);
    return out;
}

// Waits until the call-log file holds n records; what it holds then.
inline std::vector<CallLogEntry> WaitCallLog(const std::string& path, size_t n, int ms) {
    std::vector<CallLogEntry> log;
    for (int waited = 0; waited < ms; waited += 100) {
        log = ReadCallLog(path);
        if (log.size() >= n) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return log;
}

// What a shell command prints.
inline std::string Run(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    return out;
}

// "PORT a b ..." from a server's first line: the numbers; empty while not there.
inline std::vector<int> Ports(const e2e::Child& c) {
    std::smatch m;
    const std::string out = c.Output();
    std::vector<int> ports;
    if (!std::regex_search(out, m, std::regex("PORT ([0-9 ]+)\n"))) return ports;
    std::stringstream s(m[1].str());
    for (int p; s >> p;) ports.push_back(p);
    return ports;
}

inline int WaitPorts(const e2e::Child& c, size_t count) {
    for (int waited = 0; waited < 10000; waited += 20) {
        const auto p = Ports(c);
        if (p.size() >= count) return p[0];
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

// A port for the access server, which tests start again on the same port: held for this test
// process so no parallel test hands it to its own server meanwhile.
inline int FreeTcpPort() { return test_ports::Reserve(1); }

struct Services {
    std::string dir;
    std::string src = TESSALY_SOURCE_DIR;
    e2e::Child kamailio, msg, access, boot, update;
    int kamPort = 0, msgPort = 0, accessPort = 0, bootUdp = 0, bootTcp = 0, updatePort = 0;

    static bool Available() { return e2e::HaveTool("kamailio") && e2e::HaveTool("python3"); }

    // The messaging server's users ("id:name:password:display"), set before Start.
    std::vector<std::string> msgUsers = {"1001:alice:secret:Alice", "1002:bob:secret:Bob", "1005:carol:secret:Carol"};

    // Everything; the access server only when startAccess (its port is fixed now, so it can come later).
    bool Start(const std::string& tag, bool startAccess = true) {
        dir = e2e::TempDir(tag);
        kamPort = e2e::FreePortPair(41);
        std::ofstream(dir + "/kamailio.cfg") << e2e::KamailioConfig(kamPort);
        if (!kamailio.Start({"/usr/sbin/kamailio", "-f", dir + "/kamailio.cfg", "-DD", "-E", "-Y", dir, "-w", dir, "-m", "32",
                             "-M", "4", "-a", "no"},
                            dir + "/kamailio.log"))
            return false;
        std::vector<std::string> msgArgs = {"/usr/bin/python3", src + "/tools/msgserver/msgserver.py", "--port", "0"};
        for (const std::string& u : msgUsers) msgArgs.insert(msgArgs.end(), {"--user", u});
        if (!msg.Start(msgArgs, dir + "/msgserver.log")) return false;
        if (!update.Start({"/usr/bin/python3", src + "/tools/updateserver/updateserver.py", "--port", "0"}, dir + "/update.log"))
            return false;
        accessPort = FreeTcpPort();
        if (startAccess && !StartAccess()) return false;
        msgPort = WaitPorts(msg, 1);
        updatePort = WaitPorts(update, 1);
        if (!msgPort || !updatePort || !e2e::WaitPortBound(kamPort, 5000)) return false;
        const std::string as = "8890=127.0.0.1:" + std::to_string(accessPort) + "/tcp";
        const std::string sip = "8888=127.0.0.1:" + std::to_string(kamPort) + "/udp";
        const std::string im = "8886=127.0.0.1:" + std::to_string(msgPort) + "/udp";
        bootArgs = {"/usr/bin/python3", src + "/tools/bootserver/bootserver.py", "--service", as, "--service", sip,
                    "--service", im, "--log", dir + "/boot.jsonl"};
        std::vector<std::string> args = bootArgs;
        args.insert(args.end(), {"--port", "0", "--count", "2"});
        if (!boot.Start(args, dir + "/boot.log")) return false;
        bootUdp = WaitPorts(boot, 2);
        bootTcp = bootUdp ? Ports(boot)[1] : 0;
        return bootUdp != 0;
    }

    // The bootstrap server again on the ports it had.
    bool RestartBoot() {
        std::vector<std::string> args = bootArgs;
        args.insert(args.end(), {"--port", std::to_string(bootUdp), "--port", std::to_string(bootTcp)});
        return boot.Start(args, dir + "/boot2.log") && WaitPorts(boot, 2) != 0;
    }
    std::vector<std::string> bootArgs;

    bool StartAccess() {
        if (!access.Start({"/usr/bin/python3", src + "/tools/accessserver/accessserver.py", "--port", std::to_string(accessPort),
                           "--log", dir + "/access.jsonl"},
                          dir + "/access.log"))
            return false;
        return WaitPorts(access, 1) != 0;
    }

    // The commands the access server answered, in order (from its request log).
    std::vector<std::string> AccessCommands() const {
        std::ifstream f(dir + "/access.jsonl");
        std::vector<std::string> out;
        std::smatch m;
        for (std::string line; std::getline(f, line);)
            if (std::regex_search(line, m, std::regex("\"(?:command|cmd)\": *\"([A-Z]+)\""))) out.push_back(m[1].str());
        return out;
    }

    // The installation folder of the programs these tests start (--app-folder): the build's files, with a
    // settings file naming these services, written (whole, by a rename) by every Profile.
    std::string AppFolder() const { return dir + "/app"; }
    void WriteAppFolder() const {
        testsupport::LinkInstallation(AppFolder());
        std::ostringstream xml;
        xml << "<tessaly><common><update>127.0.0.1:" << updatePort << "</update></common><bootstrap server=\"127.0.0.1\"><ServerPort port=\""
            << bootUdp << "\" type=\"udp\"/><ServerPort port=\"" << bootTcp << "\" type=\"tcp\"/></bootstrap></tessaly>\n";
        plat::WriteFileAtomic(AppFolder() + "/tessaly.xml", xml.str());
    }

    // A profile folder with one saved login (automatic sign-in when autoLogin), for a program started
    // with AppFolder().
    std::string Profile(const std::string& name, const std::string& user, const std::string& password, bool autoLogin) const {
        const std::string p = dir + "/" + name;
        plat::MakeDirectories(p);
        WriteAppFolder();
        shell::SavedLoginStore s;
        s.savePassword = true;
        s.autoLogin = autoLogin;
        if (!user.empty()) {
            s.logins.push_back({user, password, 1});
            s.lastLoginId = user;
        }
        shell::saveLoginInfo(s, p + "/usrInfo.xml");
        return p;
    }

    void Stop() {
        boot.Stop();
        access.Stop();
        update.Stop();
        msg.Stop();
        kamailio.Stop();
    }
};

// The id and title of the process's visible window whose title starts with "start"; empty when none.
inline std::pair<std::string, std::string> FindWindow(const std::string& display, pid_t pid, const std::string& start) {
    const std::string env = "DISPLAY=" + display + " ";
    std::stringstream ids(Run(env + "xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null"));
    for (std::string id; ids >> id;) {
        std::string name = Run(env + "xdotool getwindowname " + id + " 2>/dev/null");
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        if (name.rfind(start, 0) == 0) return {id, name};
    }
    return {};
}

// FindWindow, waiting up to ms for the window to show (it shows a moment after the trace says it was made).
inline std::pair<std::string, std::string> WaitWindow(const std::string& display, pid_t pid, const std::string& start, int ms) {
    for (int waited = 0;; waited += 50) {
        auto found = FindWindow(display, pid, start);
        if (!found.first.empty() || waited >= ms) return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Opens a menu of the program's main window with its Alt key and, once the menu shows (one window more),
// picks the item by its key. False when the window or the menu never showed. The keys reach the program
// in order with any input sent after them, however slowly it takes them.
inline bool ChooseFromMenu(const std::string& display, pid_t pid, const std::string& menuKey, const std::string& itemKey) {
    const std::string id = WaitWindow(display, pid, "Tessaly", 15000).first;
    if (id.empty()) return false;
    const std::string xdo = "DISPLAY=" + display + " xdotool ";
    const std::string windows = xdo + "search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null | wc -l";
    const int before = std::atoi(Run(windows).c_str());
    Run(xdo + "windowfocus --sync " + id + " key --window " + id + " alt+" + menuKey + " 2>/dev/null");
    bool open = false;
    for (int waited = 0; waited < 15000 && !open; waited += 50) {
        open = std::atoi(Run(windows).c_str()) > before;
        if (!open) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (open) Run(xdo + "key " + itemKey + " 2>/dev/null");
    return open;
}

}  // namespace shelltest
