#if defined(_WIN32)
#error "delay_posix.cpp is the POSIX backend"
#endif
#include "common/delay.h"

#include <cerrno>
#include <ctime>

static uint64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void Delay(uint32_t ms) {
  // nanosleep can return early on a signal; sleep again for what is left so
  // a delay is never shorter than asked.
  const uint64_t end = NowNs() + static_cast<uint64_t>(ms) * 1000000ull;
  for (;;) {
    const uint64_t now = NowNs();
    if (now >= end) return;
    const uint64_t left = end - now;
    timespec ts{static_cast<time_t>(left / 1000000000ull), static_cast<long>(left % 1000000000ull)};
    nanosleep(&ts, nullptr);
  }
}

uint64_t MonotonicMs() { return NowNs() / 1000000ull; }
