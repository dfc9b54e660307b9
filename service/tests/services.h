// The sign-in test services (tools/bootserver, accessserver, updateserver) as child processes of a test.
#pragma once

#include <string>
#include <vector>

#include "tools/testsupport/server_process.h"

namespace servicetest {

// python3 tools/<name>/<name>.py --port 0 <args...>; the ports from "PORT a [b ...]".
class ServiceProcess : public testsupport::ServerProcess {
public:
    ServiceProcess(const std::string& name, const std::vector<std::string>& args, const std::string& logFile = "")
        : testsupport::ServerProcess("tools/" + name + "/" + name + ".py", args, logFile) {}
};

}  // namespace servicetest
