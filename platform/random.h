// The 15-bit pseudo-random generator (values 0..32767) the protocols and ids expect.
#pragma once

#include <cstdint>

namespace plat {

inline constexpr int kRand15Max = 32767;

// Linear congruential generator: state = state * 214013 + 2531011 (mod 2^32),
// value = (state >> 16) & 0x7FFF. Seed 1 gives 41, 18467, 6334, ...
class Rand15 {
 public:
  explicit Rand15(uint32_t seed = 1) : state_(seed) {}
  // Restarts the sequence.
  void seed(uint32_t s) { state_ = s; }
  // Next value, 0..32767.
  int next() {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int>((state_ >> 16) & 0x7FFFu);
  }

 private:
  uint32_t state_;
};

// Process-wide generator (thread-safe), like srand/rand with RAND_MAX 32767.
void srand15(uint32_t seed);
// Next value of the process-wide generator, 0..32767.
int rand15();

}  // namespace plat
