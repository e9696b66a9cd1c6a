// The recording stand-in for the window layer and its dialogs, linked in
// place of uf_ui by the tests of the application.
#include "tests/support/recording_layers.h"

#include <cstdio>

#include "ui/dialogs.h"
#include "ui/ui.h"

Recorder& Rec() {
  static Recorder recorder;
  return recorder;
}

void ResetRecorder() { Rec() = Recorder{}; }

int Recorder::Find(const std::string& line) const {
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i] == line) return static_cast<int>(i);
  }
  return -1;
}

std::vector<std::string> Recorder::Matching(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const auto& c : calls) {
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  }
  return out;
}

namespace {
int32_t g_next_handle = 100;
const char* kControlNames[] = {"PortList", "FirmwarePathField", "OpenButton", "ProgressBar",
                               "UpdateButton"};

UiHandle NewControlRecorded(const std::string& line, const char* text) {
  Recorder& r = Rec();
  const int32_t handle = g_next_handle++;
  const size_t index = r.names.size() - 1;  // the window is entry 0
  r.names[handle] = index < 5 ? kControlNames[index] : "Control";
  r.texts[handle] = text ? text : "";
  r.Log(line);
  return handle;
}
}  // namespace

// ---- ui/ui.h ----
void UiStartup() { Rec().Log("UiStartup"); }

UiHandle NewWindow(int32_t id, int32_t x, int32_t y, int32_t w, int32_t h, const char* title,
                   uint32_t flags) {
  Recorder& r = Rec();
  const int32_t handle = g_next_handle++;
  r.names[handle] = "MainWindow";
  char buf[160];
  snprintf(buf, sizeof buf, "NewWindow %d %d %d %d %d %s 0x%X", id, x, y, w, h, title, flags);
  r.Log(buf);
  return r.window_fails ? 0 : handle;
}

static std::string Geometry(const char* kind, int32_t id, int32_t x, int32_t y, int32_t w,
                            int32_t h) {
  char buf[120];
  snprintf(buf, sizeof buf, "%s %d %d %d %d %d", kind, id, x, y, w, h);
  return buf;
}

UiHandle NewDropDownList(int32_t id, int32_t x, int32_t y, int32_t w, int32_t h) {
  return NewControlRecorded(Geometry("NewDropDownList", id, x, y, w, h), "");
}
UiHandle NewTextField(int32_t id, int32_t x, int32_t y, int32_t w, int32_t h, const char* text) {
  return NewControlRecorded(Geometry("NewTextField", id, x, y, w, h) + " " + text, text);
}
UiHandle NewPushButton(int32_t id, int32_t x, int32_t y, int32_t w, int32_t h, const char* text) {
  return NewControlRecorded(Geometry("NewPushButton", id, x, y, w, h) + " " + text, text);
}
UiHandle NewProgressBar(int32_t id, int32_t x, int32_t y, int32_t w, int32_t h, int32_t lo,
                        int32_t hi) {
  return NewControlRecorded(Geometry("NewProgressBar", id, x, y, w, h) + " " +
                                std::to_string(lo) + " " + std::to_string(hi),
                            "");
}

int32_t InsertListItem(UiHandle list, int32_t position, const char* text) {
  Rec().Log("Insert " + Rec().Name(list) + " " + std::to_string(position) + " " + text);
  return 1;
}
void DisableControl(UiHandle c, int32_t disable) {
  Rec().Log("Disable " + Rec().Name(c) + " " + std::to_string(disable));
}
std::string GetControlText(UiHandle c) {
  Rec().Log("GetText " + Rec().Name(c));
  return Rec().texts[c];
}
void SetControlText(UiHandle c, const char* text) {
  Rec().texts[c] = text ? text : "";
  Rec().Log("SetText " + Rec().Name(c) + " " + Rec().texts[c]);
}
void SetControlValue(UiHandle c, int32_t value) {
  if (Rec().Name(c) == "ProgressBar") Rec().progress_values.push_back(value);
  Rec().Log("SetValue " + Rec().Name(c) + " " + std::to_string(value));
}
int32_t PollEvent(int32_t timeout) {
  Recorder& r = Rec();
  r.Log("Poll " + std::to_string(timeout));
  if (r.polled_events.empty()) return 0;
  const int32_t event = r.polled_events.front();
  r.polled_events.erase(r.polled_events.begin());
  return event;
}
int32_t EventSource() { return Rec().event_source; }
int32_t EventDetail() { return Rec().event_detail; }
int32_t EventCommand() {
  Rec().Log("EventCommand");
  return Rec().event_source;
}
void ReleaseWindows() { Rec().Log("ReleaseWindows"); }

// ---- ui/dialogs.h ----
int32_t ShowMessage(const char* title, const char* text, uint32_t style) {
  Rec().Log(std::string("ShowMessage ") + title + " | " + text + " | " + std::to_string(style));
  return 1;
}
std::string ChooseFileToOpen(const char* title, const char* default_path, const char* pattern,
                             int32_t position) {
  Rec().Log(std::string("ChooseFile ") + title + " | " + (default_path ? default_path : "(none)") +
            " | " + pattern + " | " + std::to_string(position));
  return Rec().chosen_file;
}
