#include "ui/focus.h"

#include <cstddef>

int NextFocusIndex(const std::vector<bool>& eligible, int current, bool backward) {
  const int n = static_cast<int>(eligible.size());
  if (current < -1 || current >= n) current = -1;
  // Shift+Tab from a control that is not eligible (hidden, disabled, no tab
  // stop) goes to the last eligible one, as if nothing had the focus.
  if (backward && current >= 0 && !eligible[static_cast<std::size_t>(current)]) current = -1;
  // Starting one step "outside" the list makes the no-current case fall out
  // of the same loop: forward begins at 0, backward at n - 1.
  int start = current == -1 ? (backward ? n : -1) : current;
  for (int step = 1; step <= n; ++step) {
    int i = backward ? start - step : start + step;
    i = ((i % n) + n) % n;
    if (eligible[static_cast<std::size_t>(i)]) return i;
  }
  return -1;
}
