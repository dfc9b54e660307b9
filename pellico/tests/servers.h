// Starts the loopback test services (messaging and attachment servers) as child processes for a test.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "tools/testsupport/server_process.h"

namespace pt {

// Runs python3 <script> --port 0 <args...>; PELLICO_SERVER_LOG keeps the server's log on stderr.
class ServerProcess : public testsupport::ServerProcess {
 public:
  ServerProcess(const std::string& relScript, const std::vector<std::string>& args)
      : testsupport::ServerProcess(relScript, args, getenv("PELLICO_SERVER_LOG") ? "-" : "") {}
};

}  // namespace pt
