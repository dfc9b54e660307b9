// Starts the loopback test services (messaging and attachment servers) as child processes for a test.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace pt {

class ServerProcess {
 public:
  // Runs python3 <script> --port 0 <args...> and reads "PORT <n>" from its first line.
  ServerProcess(const std::string& relScript, const std::vector<std::string>& args) {
    const char* src = getenv("TESSALY_SOURCE_DIR");
    std::string script = std::string(src ? src : ".") + "/" + relScript;
    int out[2];
    if (pipe(out) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<std::string> all = {"python3", script, "--port", "0"};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (auto& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      if (!getenv("PELLICO_SERVER_LOG")) {
        FILE* devnull = fopen("/dev/null", "w");
        if (devnull) dup2(fileno(devnull), 2);
      }
      execvp("python3", argv.data());
      _exit(127);
    }
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    char line[64] = {};
    if (f && fgets(line, sizeof line, f)) sscanf(line, "PORT %d", &m_port);
    if (f) fclose(f);
  }
  ~ServerProcess() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      int status;
      waitpid(m_pid, &status, 0);
    }
  }
  int Port() const { return m_port; }

 private:
  pid_t m_pid = -1;
  int m_port = 0;
};

}  // namespace pt
