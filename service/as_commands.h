// Access-server command table: each command's name, request builder and reply parser.
#pragma once

#include <cstdint>

#include "service/as_client.h"

class CXmlDocument;
class CXmlElement;

// Adds the command's children under the cursor; non-zero when a text it needs is missing.
using AsBuilder = int (*)(CXmlDocument& doc, AsRequest* request);
// Turns the reply's command element into records; 0, or 1 on failure.
using AsParser = int (*)(CXmlElement* command, AsRequest* request);

struct AsCommandRow {
    int32_t index;
    const char* name;
    AsBuilder builders[11];
    AsParser parser;
};

extern const AsCommandRow g_asCommandTable[AS_COMMAND_COUNT];

enum AsCommand : int {
    AS_LGN = 0, AS_LGT, AS_SYN, AS_SYQ, AS_SQI, AS_SQN, AS_JNQ, AS_QTQ, AS_SYJQ, AS_REA,
    AS_ADD, AS_REM, AS_REB, AS_BLK, AS_UBLK, AS_MVB, AS_ADG, AS_RMG, AS_MVG, AS_RNG,
    AS_ADL, AS_RML, AS_UDL, AS_SRB, AS_SRUL, AS_GCR, AS_SND, AS_SUD, AS_REL,
};
