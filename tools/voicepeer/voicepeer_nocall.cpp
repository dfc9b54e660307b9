// voicepeer without a SIP user agent: the call mode is not available in this build.
#include <cstdio>

#include "voicepeer.h"

int CallMain(int, char**) {
  std::fprintf(stderr, "voicepeer: this build has no SIP user agent\n");
  return 2;
}
