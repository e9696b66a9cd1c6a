// A stand-in for the platform backend: it keeps what the core asks of it,
// lets a test decide what it answers, and plays the platform's habit of
// notifying changes that the layer itself makes.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ui/ui_backend.h"

struct FakeControl {
  UiHandle id = 0;
  ControlKind kind = ControlKind::PushButton;
  UiHandle window = 0;
  std::vector<std::string> items;
  std::string text;
  int32_t value = 0;
  bool enabled = true;
  bool visible = true;
};

struct FakeWindow {
  UiHandle id = 0;
  std::string title;
  uint32_t flags = 0;
};

struct FakePlatform {
  bool fail_windows = false;
  bool fail_controls = false;
  UiHandle focused = 0;
  std::vector<UiHandle> destroyed_windows;
  // What PumpOne returns, in order; 0 once empty. Each entry may queue
  // events first, as a window procedure does while a message is dispatched.
  struct Pump {
    int32_t message;
    std::function<void()> during;
  };
  std::deque<Pump> pumps;
  std::vector<int32_t> pump_timeouts;

  static FakePlatform& Get();
  void Reset();
};

FakeControl* FakeControlOf(UiHandle id);
