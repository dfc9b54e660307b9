// Settings file "tessaly.xml": service addresses, the update address and the bootstrap server with its ports.
#pragma once

#include <string>

#include "service/login_fsm.h"

struct ServiceSettings {
    std::string portal;
    std::string registerPage;
    std::string status;
    std::string update;
    int robot = 0;
    std::string bootstrapHost;
    std::string helpTopic;
    std::string searchBuddy;
    std::string searchGroup;
    std::string service;
    std::string prepay;
    std::string share;
};

// The values read at start (the user-interface thread reads them afterwards).
extern ServiceSettings g_serviceSettings;

// Reads the file into g_serviceSettings, hands the bootstrap host to the bootstrap client and the
// bootstrap port list to the login state machine (service 0). The list is also returned for tests.
PortCandidateList ReadSettingsXml(const char* path);
