#include "app/app.h"

#include <cstdio>
#include <string>

#include "update/update.h"
#include "common/heap.h"
#include "fileio/fileio.h"
#include "protocol/protocol.h"
#include "serial/serial.h"
#include "ui/dialogs.h"

namespace {

AppState g_app;

constexpr int32_t kPortSlot = 0;
constexpr int32_t kFileSlot = 0;

void SetInputsDisabled(int32_t disable) {
  DisableControl(g_app.port_list, disable);
  DisableControl(g_app.firmware_path_field, disable);
  DisableControl(g_app.open_button, disable);
  DisableControl(g_app.update_button, disable);
}

void Show(const OutcomeMessage& message) {
  ShowMessage(message.title.c_str(), message.text.c_str(), 0);
}

}  // namespace

const AppState& App() { return g_app; }

void StartUp() {
  g_app = AppState{};
  CreatePrivateHeaps();
  UiStartup();
  g_app.receive_buffer = static_cast<uint8_t*>(AllocZeroed(kTransferBufferSize));
  g_app.send_buffer = static_cast<uint8_t*>(AllocZeroed(kTransferBufferSize));

  g_app.main_window = NewWindow(-1, 0, 0, 480, 140, "Update firmware 1.0", WindowFixedCentred);
  g_app.port_list = NewDropDownList(-1, 10, 10, 70, 20);
  g_app.firmware_path_field = NewTextField(-1, 90, 10, 280, 20, kDefaultFirmwareName);
  g_app.open_button = NewPushButton(-1, 380, 10, 90, 20, "Open");
  g_app.progress_bar = NewProgressBar(-1, 10, 50, 460, 30, 0, 100);
  g_app.update_button = NewPushButton(-1, 170, 90, 140, 40, "UPDATE!");

  PortProbe();
}

void RunMainLoop() {
  // Waiting for the next platform message instead of polling with 0 keeps an
  // idle window from burning a whole core; queued events still come first.
  while (DispatchEvent(PollEvent(-1))) {
  }
}

void ShutDown() {
  CloseAllPorts();
  ReleaseWindows();
  CloseAllFiles();
  ReleasePrivateHeaps();
  g_app.receive_buffer = nullptr;
  g_app.send_buffer = nullptr;
}

int AppMain() {
  StartUp();
  if (g_app.main_window == 0) {
    // Without a window (no display to open it on) nothing could ever end
    // the main loop, so the program would wait forever, unseen.
    ShutDown();
    std::fputs("update-firmware: cannot open the main window (no display?)\n", stderr);
    return 1;
  }
  RunMainLoop();
  ShutDown();
  return 0;
}

bool DispatchEvent(int32_t event) {
  switch (event) {
    case EventCloseWindow:
      return false;
    case EventMenu:
      (void)EventCommand();
      return true;
    case EventControl: {
      const int32_t source = EventSource();
      const int32_t detail = EventDetail();
      if (source == g_app.open_button) {
        ChooseFirmwareFile(detail);
      } else if (source == g_app.update_button) {
        RunUpdate(detail);
      }
      return true;
    }
    default:
      return true;
  }
}

void PortProbe() {
  ScanPorts(kPortSlot, [](const std::string& name, bool opened) {
    if (opened) InsertListItem(g_app.port_list, -1, name.c_str());
  });
}

void RunUpdate(int32_t /*event_detail*/) {
  SetInputsDisabled(1);
  UpdateSteps steps;
  steps.port_name = [] { return GetControlText(g_app.port_list); };
  steps.progress = [](int32_t index, int32_t count) {
    SetControlValue(g_app.progress_bar, ProgressPercent(index, count));
    // One window event per word keeps the window painted; what it was
    // does not matter, since the inputs are disabled.
    (void)PollEvent(0);
  };
  steps.outcome = Show;
  RunUpdateSequence(kPortSlot, kFileSlot, GetControlText(g_app.firmware_path_field),
                    g_app.send_buffer, g_app.receive_buffer, steps);
  SetControlValue(g_app.progress_bar, 0);
  SetInputsDisabled(0);
}

void ChooseFirmwareFile(int32_t /*event_detail*/) {
  const std::string chosen =
      ChooseFileToOpen("Please choose file to load", nullptr, "Firmware (*.fw)|*.fw;", 0);
  SetControlText(g_app.firmware_path_field, chosen.c_str());
}
