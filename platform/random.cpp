// The process-wide 15-bit generator.
#include "platform/random.h"

#include <mutex>

namespace plat {
namespace {

std::mutex g_mu;
Rand15 g_rand(1);

}  // namespace

void srand15(uint32_t seed) {
  std::lock_guard<std::mutex> lk(g_mu);
  g_rand.seed(seed);
}

int rand15() {
  std::lock_guard<std::mutex> lk(g_mu);
  return g_rand.next();
}

}  // namespace plat
