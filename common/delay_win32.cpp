#if !defined(_WIN32)
#error "delay_win32.cpp is the Windows backend"
#endif
#include "common/delay.h"

#include <windows.h>
#include <mmsystem.h>

void Delay(uint32_t ms) {
  // Raised once and never lowered: lowering it again would cost every later
  // delay a resolution change for no benefit in a short-lived tool.
  static const bool raised = (timeBeginPeriod(1), true);
  (void)raised;
  Sleep(ms);
}

uint64_t MonotonicMs() { return GetTickCount64(); }
