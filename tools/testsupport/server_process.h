// A python test service of tools/ as a child process of a test, on free loopback ports it reports.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

class ServerProcess {
 public:
  // Runs python3 <source>/<relScript> [--port 0 unless args name a port] <args...> and reads the
  // ports from its first line, "PORT a [b ...]". Its errors go to logFile; "" drops them, "-" keeps
  // them on the test's own error output.
  ServerProcess(const std::string& relScript, const std::vector<std::string>& args, const std::string& logFile = "") {
    const char* src = getenv("TESSALY_SOURCE_DIR");
#if defined(TESSALY_SOURCE_DIR)
    const std::string root = src ? src : TESSALY_SOURCE_DIR;
#else
    const std::string root = src ? src : ".";
#endif
    const std::string script = root + "/" + relScript;
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
      if (logFile != "-") {
        FILE* err = fopen(logFile.empty() ? "/dev/null" : logFile.c_str(), "w");
        if (err) dup2(fileno(err), 2);
      }
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
  ~ServerProcess() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      int status;
      waitpid(m_pid, &status, 0);
    }
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  int Port(size_t i = 0) const { return i < m_ports.size() ? m_ports[i] : 0; }
  const std::vector<int>& Ports() const { return m_ports; }

 private:
  pid_t m_pid = -1;
  std::vector<int> m_ports;
};

}  // namespace testsupport
