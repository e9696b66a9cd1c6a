// The platform-independent half of the window layer: handle tables, the
// event queue, the current event, muting, and the focus rule.
#include "ui/ui_backend.h"

#include <vector>

#include "ui/focus.h"

namespace {

void CloseWindowSlot(int32_t id) {
  UiState& ui = Ui();
  WindowRecord* rec = ui.windows.Find(id);
  if (!rec) return;
  // Controls die with their window on every platform; forget them first so
  // no handle outlives its platform object.
  std::vector<int32_t> owned;
  ui.controls.ForEachOpen([&](int32_t cid, const ControlRecord& c) {
    if (c.window == id) owned.push_back(cid);
  });
  ui_backend::DestroyPlatformWindow(id, *rec);
  for (int32_t cid : owned) ui.controls.Release(cid);
  ui.queue.DropWindow(id);
  if (ui.control_parent == id) ui.control_parent = 0;
  ui.windows.Release(id);
}

void CloseControlSlot(int32_t id) { Ui().controls.Release(id); }

UiHandle NewControl(int32_t requested_id, ControlKind kind, int32_t x, int32_t y, int32_t width,
                    int32_t height, const char* text, int32_t minimum, int32_t maximum) {
  UiState& ui = Ui();
  WindowRecord* parent = ui.windows.Find(ui.control_parent);
  if (!parent) return 0;
  int32_t id = 0;
  ControlRecord* rec = ui.controls.Claim(requested_id, &id);
  if (!rec) return 0;
  rec->kind = kind;
  rec->window = ui.control_parent;
  void* handle = ui_backend::CreateControl(id, *rec, ui.control_parent, *parent, x, y, width,
                                           height, text ? text : "", minimum, maximum);
  if (!handle) {
    ui.controls.Release(id);
    return 0;
  }
  rec->handle = handle;
  return id;
}

}  // namespace

UiState::UiState()
    : windows(16, CloseWindowSlot, kWindowIdBase), controls(50, CloseControlSlot, kControlIdBase) {}

UiState& Ui() {
  static UiState state;
  return state;
}

void QueueEvent(int32_t code, int32_t source, UiHandle window, int32_t detail) {
  Ui().queue.Push(QueuedEvent{code, source, window, detail});
}

UiHandle FocusTarget(UiHandle window, UiHandle focused, bool backward) {
  std::vector<UiHandle> ids;
  std::vector<bool> eligible;
  int current = -1;
  // Detached identifiers grow with creation, so identifier order is
  // creation order, which is the tab order.
  Ui().controls.ForEachOpen([&](int32_t id, const ControlRecord& c) {
    if (c.window != window) return;
    if (id == focused) current = static_cast<int>(ids.size());
    ids.push_back(id);
    eligible.push_back(ui_backend::IsTabEligible(c));
  });
  int next = NextFocusIndex(eligible, current, backward);
  return next < 0 ? 0 : ids[static_cast<size_t>(next)];
}

void UiStartup() { ui_backend::Startup(); }

UiHandle NewWindow(int32_t requested_id, int32_t x, int32_t y, int32_t width, int32_t height,
                   const char* title, uint32_t flags) {
  UiState& ui = Ui();
  int32_t id = 0;
  WindowRecord* rec = ui.windows.Claim(requested_id, &id);
  if (!rec) return 0;
  void* handle = ui_backend::CreatePlatformWindow(id, *rec, x, y, width, height, title ? title : "", flags);
  if (!handle) {
    ui.windows.Release(id);
    return 0;
  }
  rec->handle = handle;
  if (!(flags & WindowNoControlParent)) ui.control_parent = id;
  return id;
}

UiHandle NewDropDownList(int32_t requested_id, int32_t x, int32_t y, int32_t width, int32_t height) {
  return NewControl(requested_id, ControlKind::DropDownList, x, y, width, height, "", 0, 0);
}

UiHandle NewTextField(int32_t requested_id, int32_t x, int32_t y, int32_t width, int32_t height,
                      const char* text) {
  return NewControl(requested_id, ControlKind::TextField, x, y, width, height, text, 0, 0);
}

UiHandle NewPushButton(int32_t requested_id, int32_t x, int32_t y, int32_t width, int32_t height,
                       const char* caption) {
  return NewControl(requested_id, ControlKind::PushButton, x, y, width, height, caption, 0, 0);
}

UiHandle NewProgressBar(int32_t requested_id, int32_t x, int32_t y, int32_t width, int32_t height,
                        int32_t minimum, int32_t maximum) {
  return NewControl(requested_id, ControlKind::ProgressBar, x, y, width, height, "", minimum,
                    maximum);
}

int32_t InsertListItem(UiHandle list, int32_t position, const char* text) {
  ControlRecord* rec = Ui().controls.Find(list);
  if (!rec) return 0;
  if (rec->kind != ControlKind::DropDownList) return 0;
  if (position < -1) return 1;
  MuteScope mute(Ui().queue);
  ui_backend::InsertItem(*rec, position, text ? text : "");
  return 1;
}

void DisableControl(UiHandle control, int32_t disable) {
  // Not muted: enabling and disabling is not a change of content.
  if (ControlRecord* rec = Ui().controls.Find(control)) {
    ui_backend::EnableControl(*rec, disable == 0);
  }
}

std::string GetControlText(UiHandle control) {
  ControlRecord* rec = Ui().controls.Find(control);
  return rec ? ui_backend::GetText(*rec) : std::string();
}

void SetControlText(UiHandle control, const char* text) {
  ControlRecord* rec = Ui().controls.Find(control);
  if (!rec) return;
  MuteScope mute(Ui().queue);
  ui_backend::SetText(*rec, text ? text : "");
}

void SetControlValue(UiHandle control, int32_t value) {
  ControlRecord* rec = Ui().controls.Find(control);
  if (!rec) return;
  MuteScope mute(Ui().queue);
  ui_backend::SetValue(*rec, value);
}

int32_t PollEvent(int32_t timeout) {
  UiState& ui = Ui();
  QueuedEvent event;
  if (ui.queue.Pop(&event)) {
    ui.current = event;
    return event.code;
  }
  // Source and window keep the last event's values; only code and detail
  // say "nothing queued".
  ui.current.code = 0;
  ui.current.detail = -1;
  return ui_backend::PumpOne(timeout);
}

int32_t EventSource() { return Ui().current.source; }
int32_t EventDetail() { return Ui().current.detail; }
int32_t EventCommand() { return Ui().current.source; }

void ReleaseWindows() { Ui().windows.CloseAll(); }
