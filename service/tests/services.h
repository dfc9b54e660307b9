// The sign-in test services (tools/bootserver, accessserver, updateserver) as child processes of a test.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace servicetest {

class ServiceProcess {
public:
    // Runs python3 tools/<name>/<name>.py --port 0 <args...>; reads the ports from "PORT a [b ...]".
    ServiceProcess(const std::string& name, const std::vector<std::string>& args, const std::string& logFile = "") {
        const char* src = getenv("TESSALY_SOURCE_DIR");
        std::string script = std::string(src ? src : TESSALY_SOURCE_DIR) + "/tools/" + name + "/" + name + ".py";
        int out[2];
        if (pipe(out) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::vector<std::string> all = {"python3", script};
            bool hasPort = false;
            for (const std::string& a : args) hasPort = hasPort || a == "--port";
            if (!hasPort) all.insert(all.end(), {"--port", "0"});
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            FILE* err = fopen(logFile.empty() ? "/dev/null" : logFile.c_str(), "w");
            if (err) dup2(fileno(err), 2);
            execvp("python3", argv.data());
            _exit(127);
        }
        close(out[1]);
        FILE* f = fdopen(out[0], "r");
        char line[256] = {};
        if (f && fgets(line, sizeof line, f)) {
            std::istringstream in(line);
            std::string word;
            in >> word;
            int port;
            while (word == "PORT" && in >> port) m_ports.push_back(port);
        }
        if (f) fclose(f);
    }
    ~ServiceProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status;
            waitpid(m_pid, &status, 0);
        }
    }
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    int Port(size_t i = 0) const { return i < m_ports.size() ? m_ports[i] : 0; }
    const std::vector<int>& Ports() const { return m_ports; }

private:
    pid_t m_pid = -1;
    std::vector<int> m_ports;
};

}  // namespace servicetest
