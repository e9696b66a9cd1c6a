// The application: start-up, the main loop, and the two button actions.
#pragma once

#include <cstdint>

#include "ui/ui.h"

// Module-level state, zeroed at start-up and alive until exit.
struct AppState {
  UiHandle main_window;
  UiHandle port_list;
  UiHandle firmware_path_field;
  UiHandle open_button;
  UiHandle progress_bar;
  UiHandle update_button;
  uint8_t* receive_buffer;  // 17 bytes, zero-filled
  uint8_t* send_buffer;     // 17 bytes, zero-filled
};

const AppState& App();

// Prepares the process, builds the window and its controls, probes the ports.
void StartUp();
// Polls and dispatches until a close request.
void RunMainLoop();
// Closes ports, windows and files, releases the heap.
void ShutDown();
// All of the above; the process's exit code: 0, or 1 when the main window
// could not be created.
int AppMain();

// Returns false to end the main loop.
bool DispatchEvent(int32_t event);
void PortProbe();
void RunUpdate(int32_t event_detail);
void ChooseFirmwareFile(int32_t event_detail);
