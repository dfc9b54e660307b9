// Trace and failed-check helpers of the SIP user agent (module "SIP").
#pragma once

#include "common/debug.h"

#define UA_TRACE(level, ...) DebugTrace(MOD_SIP, (level), __VA_ARGS__)

// Failed internal checks in the system's assertion format; evaluates to the condition.
#define UA_CHECK(cond, file)                                                                        \
    ((cond) ? true                                                                                  \
            : (DebugTrace(MOD_SYSTEM, 0, "!---: ASSERT(%s) FAILED!\n%s #%d\n", #cond, (file), __LINE__), \
               false))
