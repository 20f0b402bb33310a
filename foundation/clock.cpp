#include "foundation/clock.h"

#include <chrono>

int64_t MonotonicMs()
{
  using namespace std::chrono;
  return static_cast<int64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
