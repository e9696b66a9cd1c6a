// The window, its controls and the event queue the application polls.
//
// Application code never touches platform windows or messages: it creates
// objects, gets a UiHandle for each, and learns what the user did from
// PollEvent, EventSource, EventDetail and EventCommand. Operations given a
// handle that names no live window or control do nothing and return 0.
#pragma once

#include <cstdint>
#include <string>

using UiHandle = int32_t;

// Event codes.
constexpr int32_t EventControl = 13100;
constexpr int32_t EventMenu = 13101;
constexpr int32_t EventActivate = 13104;
constexpr int32_t EventMinimize = 13107;
constexpr int32_t EventMaximize = 13108;
constexpr int32_t EventRestore = 13109;
constexpr int32_t EventRightButtonUp = 13111;
constexpr int32_t EventLeftButtonUp = 13112;
constexpr int32_t EventLeftDoubleClick = 13113;
constexpr int32_t EventDeactivate = 13114;
constexpr int32_t EventEraseBackground = 13115;
constexpr int32_t EventCloseWindow = 13116;
constexpr int32_t EventMove = 13117;
constexpr int32_t EventResize = 13118;

// Detail codes of EventControl.
constexpr int32_t DetailClick = 0;
constexpr int32_t DetailFocusNotify = 256;     // EN_SETFOCUS
constexpr int32_t DetailLostFocusNotify = 512; // EN_KILLFOCUS
constexpr int32_t DetailChange = 768;          // CBN_SELCHANGE / EN_CHANGE
constexpr int32_t DetailUpdate = 1024;         // EN_UPDATE
constexpr int32_t DetailFocus = 14000;
constexpr int32_t DetailLostFocus = 14001;

// Accelerator commands of every window.
constexpr int32_t CommandNextControl = 64001;
constexpr int32_t CommandPreviousControl = 64002;

// NewWindow flags; bits not listed are platform window styles.
constexpr uint32_t WindowCentreScreen = 0x00000001;
constexpr uint32_t WindowCentreParent = 0x00000002;
constexpr uint32_t WindowToolFrame = 0x00000004;
constexpr uint32_t WindowNoControlParent = 0x00000008;
constexpr uint32_t WindowHidden = 0x10000000;
constexpr uint32_t WindowNoActivate = 0x02000000;
constexpr uint32_t WindowStyleMinimize = 0x20000000;  // WS_MINIMIZE
constexpr uint32_t WindowStyleMaximize = 0x01000000;  // WS_MAXIMIZE
constexpr uint32_t WindowStyleCaption = 0x00C00000;   // WS_CAPTION
constexpr uint32_t WindowStyleSysMenu = 0x00080000;   // WS_SYSMENU
// The program's own window: caption and close box, fixed size, centred.
constexpr uint32_t WindowFixedCentred =
    WindowStyleCaption | WindowStyleSysMenu | WindowCentreScreen | WindowCentreParent;

// Prepares the platform's window system (common controls, COM) once per process.
void UiStartup();

UiHandle NewWindow(int32_t requested_id, int32_t x, int32_t y, int32_t width, int32_t height,
                   const char* title, uint32_t flags);
UiHandle NewDropDownList(int32_t requested_id, int32_t x, int32_t y, int32_t width, int32_t height);
UiHandle NewTextField(int32_t requested_id, int32_t x, int32_t y, int32_t width, int32_t height,
                      const char* text);
UiHandle NewPushButton(int32_t requested_id, int32_t x, int32_t y, int32_t width, int32_t height,
                       const char* caption);
UiHandle NewProgressBar(int32_t requested_id, int32_t x, int32_t y, int32_t width, int32_t height,
                        int32_t minimum, int32_t maximum);

// 1 for a drop-down list (also when nothing was inserted), 0 otherwise.
int32_t InsertListItem(UiHandle list, int32_t position, const char* text);
void DisableControl(UiHandle control, int32_t disable);
std::string GetControlText(UiHandle control);
void SetControlText(UiHandle control, const char* text);
void SetControlValue(UiHandle control, int32_t value);

// Returns a queued event code, else handles at most one platform message and
// returns its identifier (0 when none). timeout: 0 never waits, -1 waits for
// a platform message, > 0 waits at most that many milliseconds.
int32_t PollEvent(int32_t timeout);
int32_t EventSource();
int32_t EventDetail();
int32_t EventCommand();

// Destroys every window still held, with its controls, and drops their
// queued events. Run once at exit.
void ReleaseWindows();
