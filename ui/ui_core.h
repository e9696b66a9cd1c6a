// What the portable part of the window layer keeps, shared with the
// platform backend (ui/ui_backend.h). Only the layer itself and its backends
// include this file.
#pragma once

#include <cstdint>
#include <string>

#include "common/slot_table.h"
#include "ui/event_queue.h"
#include "ui/ui.h"

enum class ControlKind { DropDownList, TextField, PushButton, ProgressBar };

struct WindowRecord {
  void* handle = nullptr;    // the platform window; non-null while open
  void* platform = nullptr;  // backend's own per-window data
  bool minimized_or_maximized = false;
  UiHandle remembered_focus = 0;  // control that had the focus at the last deactivation
};

struct ControlRecord {
  void* handle = nullptr;    // the platform control; non-null while open
  void* platform = nullptr;  // backend's own per-control data (e.g. the previous window procedure)
  ControlKind kind = ControlKind::PushButton;
  UiHandle window = 0;       // the window the control was placed in
};

// Identifiers handed out for requested id -1. Both stay below 0x8000 so that
// a control identifier survives the 16-bit command field of the platform.
constexpr int32_t kControlIdBase = 1000;
constexpr int32_t kWindowIdBase = 0x7000;

// State shared by the core and the backend.
struct UiState {
  SlotTable<WindowRecord> windows;
  SlotTable<ControlRecord> controls;
  EventQueue queue;
  QueuedEvent current;      // what the last PollEvent returned
  UiHandle control_parent = 0;

  UiState();
};
UiState& Ui();

// Queues an event (subject to muting and de-duplication).
void QueueEvent(int32_t code, int32_t source, UiHandle window, int32_t detail);

// Moves the focus among the controls of `window` by the Tab rule.
// `focused` is the control holding the focus (0 for none or one outside
// the window). Returns the control that should get the focus, or 0.
UiHandle FocusTarget(UiHandle window, UiHandle focused, bool backward);
