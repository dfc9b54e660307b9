// Load-time entry of the shared library: nothing to prepare, the core starts work when a host creates it.
#include "pellico/pellico.h"
