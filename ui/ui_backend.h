// What the portable window layer (ui_core.cpp) asks of a platform backend
// (ui_win32.cpp, ui_fltk.cpp, or a test's stand-in). Only the layer itself
// and its backends include this file.
#pragma once

#include <cstdint>
#include <string>

#include "ui/ui_core.h"

namespace ui_backend {

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
