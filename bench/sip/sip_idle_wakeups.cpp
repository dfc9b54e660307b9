// Wake-ups per second of each thread of an idle user agent registered with a loopback registrar
// (voluntary context switches read from /proc/self/task/*/status).
#include <dirent.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "platform/net.h"
#include "sip/osipua/osipua.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"

namespace {

bool ProbeOk() { return true; }

struct ThreadCount {
    std::string name;
    long switches = 0;
};

// Voluntary context switches of every thread of this process, by thread id.
std::map<int, ThreadCount> Sample() {
    std::map<int, ThreadCount> out;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return out;
    while (dirent* e = readdir(dir)) {
        int tid = atoi(e->d_name);
        if (tid <= 0) continue;
        std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/status");
        std::string line;
        ThreadCount c;
        while (std::getline(in, line)) {
            if (line.rfind("Name:", 0) == 0) c.name = line.substr(line.find_first_not_of(" \t", 5));
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) c.switches = atol(line.c_str() + 24);
        }
        out[tid] = c;
    }
    closedir(dir);
    return out;
}

// Answers every REGISTER with 200 (expires 3600) until stopped.
void Registrar(int fd, std::atomic<bool>* stop, std::atomic<int>* answered) {
    pthread_setname_np(pthread_self(), "registrar");
    char buf[4096];
    while (!stop->load()) {
        uint32_t ip = 0;
        uint16_t port = 0;
        int n = plat::RecvFromWithTimeout(fd, buf, sizeof buf - 1, 100, &ip, &port, nullptr);
        if (n <= 0) continue;
        std::string req(buf, static_cast<size_t>(n));
        if (req.rfind("REGISTER ", 0) != 0) continue;
        std::string resp = "SIP/2.0 200 OK\r\n";
        size_t pos = 0;
        while ((pos = req.find("\r\n", pos)) != std::string::npos) {
            pos += 2;
            size_t eol = req.find("\r\n", pos);
            if (eol == std::string::npos || eol == pos) break;
            std::string line = req.substr(pos, eol - pos);
            for (const char* h : {"Via:", "From:", "Call-ID:", "CSeq:", "Contact:"}) {
                if (line.rfind(h, 0) == 0) resp += line + "\r\n";
            }
            if (line.rfind("To:", 0) == 0) resp += line + ";tag=reg1\r\n";
        }
        resp += "Expires: 3600\r\nContent-Length: 0\r\n\r\n";
        plat::SendTo(fd, resp.data(), resp.size(), ip, port);
        ++*answered;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 10;
    if (seconds <= 0) seconds = 10;
    int reg = plat::UdpSocket();
    plat::Bind(reg, 0x7F000001u, 0);
    uint32_t regIp = 0;
    uint16_t regPort = 0;
    plat::LocalEndpoint(reg, &regIp, &regPort);
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::thread registrar(Registrar, reg, &stop, &answered);

    plat::SetLocalAddressOverride("127.0.0.1");
    CC_SetRecordDeviceProbe(ProbeOk);
    CM_Init();
    CC_Init(true);
    OSIP_SetBasePort(26000 + static_cast<int>(getpid() % 1000) * 3);
    if (OSIP_Init() != 0) {
        fprintf(stderr, "the user agent did not start\n");
        return 1;
    }
    auto* info = static_cast<CM_REG_INFO*>(calloc(1, sizeof(CM_REG_INFO)));
    info->pszDisplayName = strdup("idle");
    info->pszUserName = strdup("idle");
    info->pszIdentity = strdup("idle@127.0.0.1");
    info->pszLocalIp = strdup("127.0.0.1");
    info->iLocalPort = 5060;
    info->pszRegistrar = strdup("127.0.0.1");
    info->iRegistrarPort = regPort;
    info->pszProxy = strdup("127.0.0.1");
    info->iProxyPort = regPort;
    info->pszDomain = strdup("127.0.0.1");
    info->iPort2 = regPort;
    info->iExpires = 3600;
    CM_SendEvent(-1, -1, CMEVT_START, -1, 0, info);
    for (int i = 0; i < 300 && answered.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (answered.load() == 0) {
        fprintf(stderr, "no REGISTER reached the registrar\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::map<int, ThreadCount> before = Sample();
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::map<int, ThreadCount> after = Sample();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    printf("idle registered user agent, %.1f s\n", secs);
    printf("%-16s %12s\n", "thread", "wake-ups/s");
    double total = 0;
    const std::string process = after.count(static_cast<int>(getpid())) ? after[static_cast<int>(getpid())].name : "";
    for (const auto& [tid, c] : after) {
        auto it = before.find(tid);
        if (it == before.end() || tid == static_cast<int>(getpid())) continue;
        double rate = static_cast<double>(c.switches - it->second.switches) / secs;
        // The stack's threads keep the process's name: they are shown by thread id.
        std::string name = c.name == process ? "tid " + std::to_string(tid) : c.name;
        printf("%-16s %12.1f\n", name.c_str(), rate);
        if (c.name != "registrar") total += rate;
    }
    printf("%-16s %12.1f  (the user agent's threads)\n", "total", total);

    CM_Destroy();
    CC_Exit();
    CM_Exit();
    stop.store(true);
    registrar.join();
    plat::CloseSocket(reg);
    return 0;
}
