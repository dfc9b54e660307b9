// Runs sipp with a scenario file of sip/tests/sipp on loopback, bounded in time.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "platform/tests/test_ports.h"

namespace siptest {

inline std::string FindProgram(const char* name) {
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/usr/sbin:/bin:/sbin";
    dirs += ":/usr/sbin:/sbin";
    std::stringstream ss(dirs);
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        std::string full = dir + "/" + name;
        if (access(full.c_str(), X_OK) == 0) return full;
    }
    return "";
}

// A port on 127.0.0.1 free for UDP and TCP, held for this test process: a peer that binds it
// later cannot meet another test's server there.
inline int FreeUdpPort() { return test_ports::Reserve(1); }

// The same for peers that listen on both UDP and TCP (baresip).
inline int FreeUdpTcpPort() { return test_ports::Reserve(1); }

// Removes a test's scratch folder (kept when SIP_TEST_KEEP is set, for a look after a failure).
inline void RemoveScratch(const std::string& dir) {
    if (dir.empty() || dir == "/tmp" || getenv("SIP_TEST_KEEP") != nullptr) return;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A child process started with arguments, output to a file, killed when still running at the end.
class Child {
public:
    ~Child() { Kill(); }
    bool Start(const std::vector<std::string>& args, const std::string& outFile) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            int nul = open("/dev/null", O_RDONLY);
            if (nul >= 0) dup2(nul, 0);
            setpgid(0, 0);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return true;
    }
    // Exit status within ms; -1 (and the process killed) on time-out.
    int Wait(int ms) {
        if (pid_ <= 0) return exit_;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return exit_;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                Kill();
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    // Asks the process group to end (SIGTERM), then kills it after ms.
    void Stop(int ms = 2000) {
        if (pid_ <= 0) return;
        kill(-pid_, SIGTERM);
        if (Wait(ms) == -1) Kill();
    }
    void Kill() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    bool Running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return false;
        }
        return true;
    }

private:
    pid_t pid_ = -1;
    int exit_ = -1;
};

class Sipp {
public:
    int port = 0;
    std::string dir;
    ~Sipp() {
        child_.Kill();
        RemoveScratch(dir);
    }

    static std::string Binary() { return FindProgram("sipp"); }

    // Starts sipp with the scenario; remote ("127.0.0.1:port") for scenarios that send first.
    bool Start(const std::string& scenario, const std::vector<std::string>& extra = {}, const std::string& remote = "",
               int calls = 1, int timeoutSec = 20, int fixedPort = 0) {
        port = fixedPort != 0 ? fixedPort : FreeUdpPort();
        char tmpl[] = "/tmp/sip_sipp_XXXXXX";
        dir = mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
        std::vector<std::string> args = {Binary(),
                                         "-sf", std::string(SIP_TEST_DIR) + "/sipp/" + scenario,
                                         "-i", "127.0.0.1",
                                         "-p", std::to_string(port),
                                         "-m", std::to_string(calls),
                                         "-timeout", std::to_string(timeoutSec),
                                         "-timeout_error",
                                         "-recv_timeout", "10000",
                                         "-nostdin",
                                         "-trace_msg", "-message_file", dir + "/messages.log",
                                         "-trace_err", "-error_file", dir + "/errors.log"};
        for (const std::string& e : extra) args.push_back(e);
        if (!remote.empty()) args.push_back(remote);
        if (!child_.Start(args, dir + "/out.log")) return false;
        // Our first request must find sipp listening: the test clock sends no retransmission.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!test_ports::UdpBound(port)) {
            if (!child_.Running() || std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    int Wait(int ms = 20000) { return child_.Wait(ms); }
    std::string Errors() const { return ReadAll(dir + "/errors.log") + ReadAll(dir + "/out.log").substr(0, 4000); }
    std::string Messages() const { return ReadAll(dir + "/messages.log"); }

private:
    Child child_;
};

}  // namespace siptest
