// What the portable part of the window layer keeps, and what each platform
// backend (ui_win32.cpp, ui_fltk.cpp) provides. Only the layer itself and
// its backends include this file.
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

namespace ui_backend {

// Everything below is implemented once per platform.
void Startup();

// Creates the platform window for `rec` (already claimed, id known).
// Returns the platform handle or nullptr; on nullptr the core frees the record.
void* CreatePlatformWindow(UiHandle id, WindowRecord& rec, int32_t x, int32_t y, int32_t width,
                   int32_t height, const char* title, uint32_t flags);
void DestroyPlatformWindow(UiHandle id, WindowRecord& rec);

// Creates a platform control inside `parent`. `text` is the initial text or
// caption; minimum/maximum are for progress bars.
void* CreateControl(UiHandle id, ControlRecord& rec, UiHandle parent_id, WindowRecord& parent,
                    int32_t x, int32_t y, int32_t width, int32_t height, const char* text,
                    int32_t minimum, int32_t maximum);

// The core mutes the queue around InsertItem, SetText and SetValue.
void InsertItem(ControlRecord& rec, int32_t position, const char* text);
void EnableControl(ControlRecord& rec, bool enable);
std::string GetText(const ControlRecord& rec);
void SetText(ControlRecord& rec, const char* text);
void SetValue(ControlRecord& rec, int32_t value);
// Whether the control can take the focus by Tab right now (enabled, visible,
// tab stop).
bool IsTabEligible(const ControlRecord& rec);

// The control that holds the keyboard focus, or 0 when none of ours does.
UiHandle FocusedControl();

// Handles at most one platform message, waiting as PollEvent's timeout says.
// Returns the message's identifier, or 0 when there was none.
int32_t PumpOne(int32_t timeout);

}  // namespace ui_backend
