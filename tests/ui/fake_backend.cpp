#include "fake_backend.h"

FakePlatform& FakePlatform::Get() {
  static FakePlatform platform;
  return platform;
}

void FakePlatform::Reset() { *this = FakePlatform(); }

FakeControl* FakeControlOf(UiHandle id) {
  ControlRecord* rec = Ui().controls.Find(id);
  return rec ? static_cast<FakeControl*>(rec->handle) : nullptr;
}

namespace ui_backend {

void Startup() {}

void* CreatePlatformWindow(UiHandle id, WindowRecord&, int32_t, int32_t, int32_t, int32_t,
                           const char* title, uint32_t flags) {
  if (FakePlatform::Get().fail_windows) return nullptr;
  return new FakeWindow{id, title, flags};
}

void DestroyPlatformWindow(UiHandle id, WindowRecord& rec) {
  FakePlatform::Get().destroyed_windows.push_back(id);
  delete static_cast<FakeWindow*>(rec.handle);
  // The platform destroys the controls with their window.
  Ui().controls.ForEachOpen([&](int32_t, const ControlRecord& c) {
    if (c.window == id) delete static_cast<FakeControl*>(c.handle);
  });
}

void* CreateControl(UiHandle id, ControlRecord& rec, UiHandle parent_id, WindowRecord&, int32_t,
                    int32_t, int32_t, int32_t, const char* text, int32_t minimum, int32_t) {
  if (FakePlatform::Get().fail_controls) return nullptr;
  FakeControl* control = new FakeControl;
  control->id = id;
  control->kind = rec.kind;
  control->window = parent_id;
  control->text = text;
  control->value = minimum;
  return control;
}

// Like the platform, the fake notifies every change made to a control;
// the core must keep these from the queue where it mutes.
void InsertItem(ControlRecord& rec, int32_t position, const char* text) {
  FakeControl* c = static_cast<FakeControl*>(rec.handle);
  if (position < 0 || position > static_cast<int32_t>(c->items.size())) {
    c->items.push_back(text);
  } else {
    c->items.insert(c->items.begin() + position, text);
  }
  QueueEvent(EventControl, c->id, c->window, DetailChange);
}

void EnableControl(ControlRecord& rec, bool enable) {
  FakeControl* c = static_cast<FakeControl*>(rec.handle);
  c->enabled = enable;
  QueueEvent(EventControl, c->id, c->window, enable ? DetailFocus : DetailLostFocus);
}

std::string GetText(const ControlRecord& rec) { return static_cast<FakeControl*>(rec.handle)->text; }

void SetText(ControlRecord& rec, const char* text) {
  FakeControl* c = static_cast<FakeControl*>(rec.handle);
  c->text = text;
  QueueEvent(EventControl, c->id, c->window, DetailUpdate);
  QueueEvent(EventControl, c->id, c->window, DetailChange);
}

void SetValue(ControlRecord& rec, int32_t value) {
  FakeControl* c = static_cast<FakeControl*>(rec.handle);
  c->value = value;
  QueueEvent(EventControl, c->id, c->window, DetailChange);
}

bool IsTabEligible(const ControlRecord& rec) {
  FakeControl* c = static_cast<FakeControl*>(rec.handle);
  return c->enabled && c->visible && c->kind != ControlKind::ProgressBar;
}

UiHandle FocusedControl() { return FakePlatform::Get().focused; }

int32_t PumpOne(int32_t timeout) {
  FakePlatform& p = FakePlatform::Get();
  p.pump_timeouts.push_back(timeout);
  if (p.pumps.empty()) return 0;
  FakePlatform::Pump pump = p.pumps.front();
  p.pumps.pop_front();
  if (pump.during) pump.during();
  return pump.message;
}

}  // namespace ui_backend
