#include "tests/app/recording_layers.h"

#include <cstdio>

#include "fileio/fileio.h"
#include "serial/serial.h"
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

// ---- serial/serial.h ----
intptr_t OpenPort(int32_t slot, const char* name, uint32_t baud, uint8_t parity, uint8_t data_bits,
                  float stop_bits, int32_t handshake, int32_t in_q, int32_t out_q) {
  char buf[160];
  snprintf(buf, sizeof buf, "OpenPort %d %s %u %u %u %.1f %d %d %d", slot, name, baud, parity,
           data_bits, static_cast<double>(stop_bits), handshake, in_q, out_q);
  Rec().Log(buf);
  return Rec().openable_ports.count(name) ? 1 : 0;
}
int32_t PortInputCount(int32_t) { return 0; }
int32_t PortOutputCount(int32_t) { return 0; }
int32_t ReadPort(int32_t, void*, int32_t) { return 0; }
int32_t WritePort(int32_t, const void*, int32_t) { return 0; }
void ClosePort(int32_t slot) { Rec().Log("ClosePort " + std::to_string(slot)); }
void CloseAllPorts() { Rec().Log("CloseAllPorts"); }

// ---- fileio/fileio.h ----
intptr_t OpenFileForReading(int32_t slot, const char* path) {
  Rec().Log("OpenFile " + std::to_string(slot) + " " + path);
  return Rec().openable_files.count(path) ? 1 : 0;
}
int32_t FileReadByte(int32_t) { return 0; }
int64_t FileSizeAtPath(const char* path) {
  Rec().Log(std::string("FileSize ") + path);
  auto it = Rec().file_sizes.find(path);
  return it == Rec().file_sizes.end() ? -1 : it->second;
}
void CloseFileSlot(int32_t slot) { Rec().Log("CloseFile " + std::to_string(slot)); }
void CloseAllFiles() { Rec().Log("CloseAllFiles"); }

// ---- protocol/protocol.h ----
UploadOutcome RunUpload(int32_t port_slot, int32_t file_slot, uint8_t* send, uint8_t* receive,
                        const SizeSource& size_source, const ProgressHook& progress) {
  Recorder& r = Rec();
  r.Log("RunUpload " + std::to_string(port_slot) + " " + std::to_string(file_slot) +
        (send && receive ? " buffers" : " no-buffers"));
  if (r.asks_size) r.size_seen = size_source();
  for (int32_t i = 1; i <= r.words; ++i) progress(i, r.words);
  return r.outcome;
}
