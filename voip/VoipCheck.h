// Failed-check lines of call control, in the system's assertion format.
#pragma once

#include "common/debug.h"

#define VOIP_CHECK_LOG(cond, file) \
    DebugTrace(MOD_SYSTEM, DBG_NONE, "!---: ASSERT(%s) FAILED!\n%s #%d\n", cond, file, __LINE__)

// Evaluates cond; when false logs it and evaluates to false.
#define VOIP_CHECK(cond, file) ((cond) ? true : (VOIP_CHECK_LOG(#cond, file), false))
