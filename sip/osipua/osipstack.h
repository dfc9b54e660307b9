// libosip2 stack headers with the system headers they rely on.
#pragma once

#include <sys/time.h>
#include <time.h>

#include <osip2/osip.h>
#include <osip2/osip_dialog.h>
