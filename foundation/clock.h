// The monotonic clock every timer of the program reads.
#pragma once

#include <cstdint>

// Milliseconds from an arbitrary fixed origin; never goes back.
int64_t MonotonicMs();
