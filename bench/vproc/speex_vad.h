// Turns on libspeexdsp's activity detector without the warning it prints on stderr.
#pragma once

#include <fcntl.h>
#include <speex/speex_preprocess.h>
#include <unistd.h>

#include <cstdio>

// It warns on stderr that its activity detector is provisional; the reports stay readable without it.
inline void EnableSpeexVadQuietly(SpeexPreprocessState* pre) {
  int on = 1;
  std::fflush(stderr);
  const int saved = dup(2);
  const int devnull = open("/dev/null", O_WRONLY);
  dup2(devnull, 2);
  speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_VAD, &on);
  dup2(saved, 2);
  close(devnull);
  close(saved);
}
