// Blocking delays and a monotonic clock.
#pragma once

#include <cstdint>

// Sleeps at least `ms` milliseconds. On Windows the first call raises the
// system timer resolution to 1 ms for the rest of the process, so that the
// 10 ms reply polls are not stretched to the 15.6 ms default tick.
void Delay(uint32_t ms);

// Milliseconds from an arbitrary fixed origin; never goes backwards.
uint64_t MonotonicMs();
