// A stand-in for the window layer that only remembers what was put into the
// lists, so the real port probe can run without a display.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ListInsert {
  int32_t list;
  int32_t position;
  std::string text;
};

std::vector<ListInsert>& ListInserts();
