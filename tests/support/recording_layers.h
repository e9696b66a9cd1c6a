// Recording stand-ins for every layer the application calls. They replace
// the real ui, dialogs, serial, file and protocol layers at link time: the
// window layer's (recording_ui.cpp) serves every test of the application,
// the others only the test that runs it without a device.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "protocol/protocol.h"

struct Recorder {
  std::vector<std::string> calls;  // one line per call, e.g. "Disable PortList 1"

  // UI
  std::map<int32_t, std::string> names;   // handle -> control name, by creation order
  std::map<int32_t, std::string> texts;   // handle -> text
  std::vector<int32_t> progress_values;
  std::vector<int32_t> polled_events;     // what PollEvent returns, consumed front first
  int32_t event_source = 0;
  int32_t event_detail = -1;
  std::string chosen_file;                // what ChooseFileToOpen returns
  bool window_fails = false;              // NewWindow returns 0

  // Serial and files
  std::set<std::string> openable_ports;   // names OpenPort accepts
  std::set<std::string> openable_files;
  std::map<std::string, int64_t> file_sizes;     // by path, as it is now
  std::map<int32_t, int64_t> open_file_sizes;    // by slot, as it was at the open

  // Protocol
  UploadOutcome outcome = UploadOutcome::Success;
  int32_t words = 0;                      // progress calls the upload makes
  bool asks_size = true;
  int32_t size_seen = 0;
  std::function<void()> during_upload;    // runs before the size is asked

  void Log(const std::string& line) { calls.push_back(line); }
  std::string Name(int32_t handle) const {
    auto it = names.find(handle);
    return it == names.end() ? "?" + std::to_string(handle) : it->second;
  }
  // Index of the first call equal to `line`, or -1.
  int Find(const std::string& line) const;
  std::vector<std::string> Matching(const std::string& prefix) const;
};

Recorder& Rec();
void ResetRecorder();
