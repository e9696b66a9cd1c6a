// The Tab / Shift+Tab rule, apart from any platform.
#pragma once

#include <vector>

// `eligible[i]` tells whether the i-th control of the window, in creation
// order, is enabled, visible and a tab stop. `current` is the index of the
// control holding the focus, or -1. Returns the index to focus, or -1 when
// nothing is eligible.
//
// Forward: the first eligible control after the current one, wrapping; with
// no current control, the first. Backward: the eligible control just before
// the current one, wrapping to the last; with no current control, or one
// that is not eligible itself, the last.
int NextFocusIndex(const std::vector<bool>& eligible, int current, bool backward);
