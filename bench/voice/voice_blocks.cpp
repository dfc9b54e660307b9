// Runs a number of 10-ms blocks of one engine stage with callgrind collecting only the blocks.

// voice_bench_blocks <capture|send|mix|jitter> <channels> <blocks>
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "voice_stages.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: voice_bench_blocks <capture|send|mix|jitter> <channels> <blocks>\n");
    return 2;
  }
  const std::string stage = argv[1];
  const int channels = std::atoi(argv[2]);
  const int blocks = std::atoi(argv[3]);
  voicebench::Stages s(channels < 1 ? 1 : channels);
  if (stage == "send") s.SetSending(true);
  if (stage == "mix") s.SetPlaying(true);
  for (int i = 0; i < 50; ++i) {
    if (stage == "mix") s.MixBlock();
    if (stage == "jitter") s.JitterBlock();
    if (stage == "send" || stage == "capture") s.SendBlock();
  }
  CALLGRIND_START_INSTRUMENTATION;
  for (int i = 0; i < blocks; ++i) {
    if (stage == "mix") s.MixBlock();
    else if (stage == "jitter") s.JitterBlock();
    else s.SendBlock();
  }
  CALLGRIND_STOP_INSTRUMENTATION;
  return 0;
}
