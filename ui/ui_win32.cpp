// The window layer on the Win32 window manager and the common controls.
//
// Every window gets a class of its own and a two-entry accelerator table for
// Tab and Shift+Tab; every control is subclassed so that the text field can
// report its own focus changes. Events go into the portable queue from the
// window procedure, which runs on the application's one thread.
#ifndef _WIN32
#error "ui_win32.cpp is the Windows backend; build ui_fltk.cpp elsewhere"
#endif

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ui/ui_backend.h"

namespace {

// A control whose identifier is this reports menu commands, not control actions.
constexpr int kMenuControlId = -10000;
// Common-control classes registered at start-up: the set 0x0B48, kept as it
// is although the progress bar class is not among its bits.
constexpr DWORD kCommonControlClasses = ICC_TAB_CLASSES | ICC_HOTKEY_CLASS | ICC_DATE_CLASSES |
                                        ICC_USEREX_CLASSES | ICC_INTERNET_CLASSES;
// x or y with this value asks for the platform's default position.
constexpr int32_t kDefaultPosition = -65535;
// A closed drop-down list's platform height includes its list part: this much
// below the field with visual styles, a fixed height without.
constexpr int kThemedListExtra = 30;
constexpr int kClassicListHeight = 350;
// Item height set first so the frame around the selection field can be measured.
constexpr int kMeasuringItemHeight = 15;
// The style names of ui.h are this platform's own bits, passed through as they are.
static_assert(WindowStyleCaption == WS_CAPTION && WindowStyleSysMenu == WS_SYSMENU &&
                  WindowStyleMinimize == WS_MINIMIZE && WindowStyleMaximize == WS_MAXIMIZE,
              "window style names out of step with the platform");
// Window property that keeps a subclassed control's earlier procedure, so the
// chain stays intact even while the control has no record (being created or
// destroyed).
const char kPreviousProcProp[] = "uf.previous_proc";

struct Win32Window {
  HACCEL accelerators = nullptr;
  char class_name[32] = {};
};

HINSTANCE Instance() { return GetModuleHandleA(nullptr); }

UiHandle WindowIdOfHwnd(HWND hwnd) {
  UiHandle found = 0;
  if (!hwnd) return 0;
  Ui().windows.ForEachOpen([&](int32_t id, const WindowRecord& rec) {
    if (!found && rec.handle == hwnd) found = id;
  });
  return found;
}

UiHandle ControlIdOfHwnd(HWND hwnd) {
  UiHandle found = 0;
  if (!hwnd) return 0;
  Ui().controls.ForEachOpen([&](int32_t id, const ControlRecord& rec) {
    if (!found && rec.handle == hwnd) found = id;
  });
  return found;
}

// The nearest of our windows among `hwnd` and its ancestors.
UiHandle OwningWindowId(HWND hwnd) {
  for (HWND h = hwnd; h; h = GetParent(h)) {
    if (UiHandle id = WindowIdOfHwnd(h)) return id;
  }
  return 0;
}

void ShowFocusCues(HWND hwnd) {
  const LRESULT state = SendMessageA(hwnd, WM_QUERYUISTATE, 0, 0);
  if (state & (UISF_HIDEFOCUS | UISF_HIDEACCEL)) {
    SendMessageA(hwnd, WM_UPDATEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS | UISF_HIDEACCEL),
                 0);
  }
}

void HideFocusCues(HWND hwnd) {
  const LRESULT state = SendMessageA(hwnd, WM_QUERYUISTATE, 0, 0);
  if ((state & (UISF_HIDEFOCUS | UISF_HIDEACCEL)) != (UISF_HIDEFOCUS | UISF_HIDEACCEL)) {
    SendMessageA(hwnd, WM_UPDATEUISTATE, MAKEWPARAM(UIS_SET, UISF_HIDEFOCUS | UISF_HIDEACCEL), 0);
  }
}

// Visual styles are on when comctl32 6 or later is loaded (the manifest asks
// for it) and the application is themed. Both are looked up at run time so
// the program still starts where uxtheme is missing.
bool VisualStylesActive() {
  static const bool active = [] {
    HMODULE comctl = LoadLibraryA("comctl32.dll");
    if (!comctl) return false;
    auto get_version =
        reinterpret_cast<DLLGETVERSIONPROC>(reinterpret_cast<void*>(GetProcAddress(comctl, "DllGetVersion")));
    DLLVERSIONINFO info{};
    info.cbSize = sizeof info;
    if (!get_version || FAILED(get_version(&info)) || info.dwMajorVersion < 6) return false;
    HMODULE uxtheme = LoadLibraryA("uxtheme.dll");
    if (!uxtheme) return false;
    using IsAppThemedFn = BOOL(WINAPI*)();
    auto is_themed =
        reinterpret_cast<IsAppThemedFn>(reinterpret_cast<void*>(GetProcAddress(uxtheme, "IsAppThemed")));
    return is_themed && is_themed();
  }();
  return active;
}

void QueueControlNotification(HWND control, UiHandle window, int code) {
  const int id = GetDlgCtrlID(control);
  if (id == kMenuControlId) {
    QueueEvent(EventMenu, id, window, 0);
    return;
  }
  const ControlRecord* rec = Ui().controls.Find(id);
  if (rec && rec->kind == ControlKind::DropDownList) {
    // The list's own handling: only a new selection is worth an event.
    if (code == CBN_SELCHANGE) QueueEvent(EventControl, id, window, DetailChange);
    return;
  }
  QueueEvent(EventControl, id, window, code);
}

void MoveFocus(UiHandle window, bool backward) {
  UiHandle target = FocusTarget(window, ui_backend::FocusedControl(), backward);
  if (const ControlRecord* rec = Ui().controls.Find(target)) {
    SetFocus(static_cast<HWND>(rec->handle));
  }
}

void OnActivate(HWND hwnd, UiHandle id, WPARAM wparam) {
  WindowRecord* rec = Ui().windows.Find(id);
  if (LOWORD(wparam) == WA_INACTIVE) {
    if (rec) {
      const UiHandle focused = ui_backend::FocusedControl();
      const ControlRecord* control = Ui().controls.Find(focused);
      rec->remembered_focus = (control && control->window == id) ? focused : 0;
    }
    HideFocusCues(hwnd);
    QueueEvent(EventDeactivate, id, id, 0);
    return;
  }
  if (rec) {
    if (const ControlRecord* control = Ui().controls.Find(rec->remembered_focus)) {
      SetFocus(static_cast<HWND>(control->handle));
    }
  }
  QueueEvent(EventActivate, id, id, 0);
}

void OnSize(UiHandle id, WPARAM kind) {
  WindowRecord* rec = Ui().windows.Find(id);
  switch (kind) {
    case SIZE_MINIMIZED:
      if (rec) rec->minimized_or_maximized = true;
      QueueEvent(EventMinimize, id, id, 0);
      return;
    case SIZE_MAXIMIZED:
      if (rec) rec->minimized_or_maximized = true;
      QueueEvent(EventMaximize, id, id, 0);
      QueueEvent(EventResize, id, id, 0);
      return;
    case SIZE_RESTORED:
      if (rec && rec->minimized_or_maximized) {
        rec->minimized_or_maximized = false;
        QueueEvent(EventRestore, id, id, 0);
      }
      QueueEvent(EventResize, id, id, 0);
      return;
    default:
      return;
  }
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_NCCREATE) {
    // The window's handle comes in through the creation parameter; keep it
    // where every later message can find it.
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return DefWindowProcA(hwnd, msg, wparam, lparam);
  }
  const UiHandle id = static_cast<UiHandle>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!id) return DefWindowProcA(hwnd, msg, wparam, lparam);

  switch (msg) {
    case WM_CLOSE:
      // Only a request: the application decides, and the window stays.
      QueueEvent(EventCloseWindow, id, id, 0);
      return 0;
    case WM_COMMAND:
      if (lparam) {
        HWND control = reinterpret_cast<HWND>(lparam);
        UiHandle window = OwningWindowId(GetParent(control));
        QueueControlNotification(control, window ? window : id, HIWORD(wparam));
      } else if (HIWORD(wparam) == 1 && LOWORD(wparam) == CommandNextControl) {
        MoveFocus(id, false);
      } else if (HIWORD(wparam) == 1 && LOWORD(wparam) == CommandPreviousControl) {
        MoveFocus(id, true);
      } else {
        QueueEvent(EventMenu, LOWORD(wparam), id, 0);
      }
      return 0;
    case WM_ACTIVATE:
      OnActivate(hwnd, id, wparam);
      return 0;
    case WM_SIZE:
      OnSize(id, wparam);
      break;
    case WM_MOVE:
      QueueEvent(EventMove, id, id, 0);
      break;
    case WM_RBUTTONUP:
      QueueEvent(EventRightButtonUp, id, id, 0);
      break;
    case WM_LBUTTONUP:
      QueueEvent(EventLeftButtonUp, id, id, 0);
      break;
    case WM_LBUTTONDBLCLK:
      QueueEvent(EventLeftDoubleClick, id, id, 0);
      break;
    case WM_ERASEBKGND:
      // The platform still paints the class brush.
      QueueEvent(EventEraseBackground, id, id, 0);
      break;
    default:
      break;
  }
  return DefWindowProcA(hwnd, msg, wparam, lparam);
}

LRESULT CALLBACK ControlProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  auto previous = reinterpret_cast<WNDPROC>(GetPropA(hwnd, kPreviousProcProp));
  if (!previous) return DefWindowProcA(hwnd, msg, wparam, lparam);

  if (msg == WM_SETFOCUS || msg == WM_KILLFOCUS) {
    const int id = GetDlgCtrlID(hwnd);
    const ControlRecord* rec = Ui().controls.Find(id);
    if (rec && rec->kind == ControlKind::TextField) {
      // Queued before the field's own handling, which notifies the parent
      // (EN_SETFOCUS / EN_KILLFOCUS) and so queues the second event.
      QueueEvent(EventControl, id, OwningWindowId(GetParent(hwnd)),
                 msg == WM_SETFOCUS ? DetailFocus : DetailLostFocus);
    }
  }
  if (msg == WM_NCDESTROY) {
    RemovePropA(hwnd, kPreviousProcProp);
    SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
  }
  return CallWindowProcA(previous, hwnd, msg, wparam, lparam);
}

void CentreWindow(HWND hwnd, uint32_t flags) {
  RECT outer;
  GetWindowRect(hwnd, &outer);
  const int w = outer.right - outer.left;
  const int h = outer.bottom - outer.top;
  int x = 0;
  int y = 0;
  if (flags & WindowCentreScreen) {
    const int sw = GetSystemMetrics(SM_CXSCREEN);
    const int sh = GetSystemMetrics(SM_CYSCREEN);
    x = (sw - std::min(w, sw)) / 2;
    y = (sh - std::min(h, sh)) / 2;
  } else {
    HWND over = GetParent(hwnd);
    if (!over) over = GetActiveWindow();
    // With nothing to centre over, the window stays where it was created.
    if (!over || over == hwnd) return;
    RECT r;
    GetWindowRect(over, &r);
    x = std::max(0L, r.left + ((r.right - r.left) - w) / 2);
    y = std::max(0L, r.top + ((r.bottom - r.top) - h) / 2);
  }
  SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOZORDER);
}

int ShowCommand(uint32_t style, uint32_t flags) {
  const bool no_activate = (flags & WindowNoActivate) != 0;
  if (style & WS_MAXIMIZE) return no_activate ? SW_SHOWNA : SW_SHOWMAXIMIZED;
  if (style & WS_MINIMIZE) return no_activate ? SW_SHOWMINNOACTIVE : SW_SHOWMINIMIZED;
  return no_activate ? SW_SHOWNOACTIVATE : SW_SHOWNORMAL;
}

}  // namespace

namespace ui_backend {

void Startup() {
  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof icc;
  icc.dwICC = kCommonControlClasses;
  InitCommonControlsEx(&icc);
  CoInitialize(nullptr);
}

void* CreatePlatformWindow(UiHandle id, WindowRecord& rec, int32_t x, int32_t y, int32_t width,
                           int32_t height, const char* title, uint32_t flags) {
  auto* data = new Win32Window;
  std::snprintf(data->class_name, sizeof data->class_name, "WindowClass_%d", id);

  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = Instance();
  wc.hIcon = LoadIconA(Instance(), MAKEINTRESOURCEA(1));
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  wc.lpszClassName = data->class_name;
  if (!RegisterClassExA(&wc)) {
    delete data;
    return nullptr;
  }

  constexpr uint32_t kLayerBits = WindowCentreScreen | WindowCentreParent | WindowToolFrame |
                                  WindowNoControlParent | WindowHidden | WindowNoActivate;
  constexpr uint32_t kCaptionlessBits =
      WindowCentreScreen | WindowCentreParent | WindowNoControlParent | WindowHidden;
  DWORD style = flags & ~kLayerBits;
  DWORD ex_style = 0;
  if ((flags & ~kCaptionlessBits) == 0) style |= WS_CAPTION;
  if (flags & WindowToolFrame) {
    ex_style |= WS_EX_TOOLWINDOW;
    style |= WS_CAPTION;
    style &= ~(WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_MINIMIZE | WS_MAXIMIZE);
  }

  RECT r{0, 0, width, height};
  AdjustWindowRectEx(&r, style, FALSE, ex_style);
  const bool centred = (flags & (WindowCentreScreen | WindowCentreParent)) != 0;
  int px = x;
  int py = y;
  if (x == kDefaultPosition || (y == kDefaultPosition && !centred)) px = py = CW_USEDEFAULT;

  HWND hwnd = CreateWindowExA(ex_style, data->class_name, title, style, px, py, r.right - r.left,
                              r.bottom - r.top, nullptr, nullptr, Instance(),
                              reinterpret_cast<LPVOID>(static_cast<INT_PTR>(id)));
  if (!hwnd) {
    UnregisterClassA(data->class_name, Instance());
    delete data;
    return nullptr;
  }
  // Messages sent while the window is shown below already look the record up.
  rec.handle = hwnd;
  rec.platform = data;

  if (centred) CentreWindow(hwnd, flags);
  if (!(flags & WindowHidden)) ShowWindow(hwnd, ShowCommand(style, flags));

  ACCEL keys[2] = {
      {FVIRTKEY | FNOINVERT, VK_TAB, static_cast<WORD>(CommandNextControl)},
      {FVIRTKEY | FNOINVERT | FSHIFT, VK_TAB, static_cast<WORD>(CommandPreviousControl)},
  };
  data->accelerators = CreateAcceleratorTableA(keys, 2);
  return hwnd;
}

void DestroyPlatformWindow(UiHandle, WindowRecord& rec) {
  HWND hwnd = static_cast<HWND>(rec.handle);
  auto* data = static_cast<Win32Window*>(rec.platform);
  if (HWND owner = GetWindow(hwnd, GW_OWNER)) SetActiveWindow(owner);
  DestroyWindow(hwnd);
  if (data) {
    UnregisterClassA(data->class_name, Instance());
    if (data->accelerators) DestroyAcceleratorTable(data->accelerators);
    delete data;
  }
  rec.platform = nullptr;
}

void* CreateControl(UiHandle id, ControlRecord& rec, UiHandle, WindowRecord& parent, int32_t x,
                    int32_t y, int32_t width, int32_t height, const char* text, int32_t minimum,
                    int32_t maximum) {
  const char* cls = nullptr;
  DWORD style = WS_CHILD | WS_VISIBLE;
  DWORD ex_style = 0;
  int platform_height = height;
  switch (rec.kind) {
    case ControlKind::DropDownList:
      cls = "ComboBox";
      style |= WS_BORDER | WS_VSCROLL | WS_GROUP | WS_TABSTOP | CBS_DROPDOWNLIST;
      // The platform height of a combo box includes its drop-down part.
      platform_height = VisualStylesActive() ? height + kThemedListExtra : kClassicListHeight;
      text = "";
      break;
    case ControlKind::TextField:
      cls = "Edit";
      style |= WS_GROUP | WS_TABSTOP | ES_AUTOHSCROLL;
      ex_style = WS_EX_CLIENTEDGE;
      break;
    case ControlKind::PushButton:
      cls = "Button";
      style |= WS_GROUP | WS_TABSTOP | BS_PUSHBUTTON;
      break;
    case ControlKind::ProgressBar:
      cls = PROGRESS_CLASSA;
      text = "";
      break;
  }

  HWND hwnd = CreateWindowExA(ex_style, cls, text, style, x, y, width, platform_height,
                              static_cast<HWND>(parent.handle),
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(),
                              nullptr);
  if (!hwnd) return nullptr;
  rec.handle = hwnd;

  SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
               MAKELPARAM(TRUE, 0));

  if (rec.kind == ControlKind::DropDownList) {
    // Make the closed list exactly the requested height: the selection
    // field's height is what can be set, the frame around it is measured.
    SendMessageA(hwnd, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), kMeasuringItemHeight);
    RECT r;
    GetWindowRect(hwnd, &r);
    const int frame = (r.bottom - r.top) - kMeasuringItemHeight;
    const int field = height - frame;
    if (field > 0) SendMessageA(hwnd, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
  } else if (rec.kind == ControlKind::ProgressBar) {
    SendMessageA(hwnd, PBM_SETRANGE32, static_cast<WPARAM>(minimum), static_cast<LPARAM>(maximum));
    SendMessageA(hwnd, PBM_SETPOS, 0, 0);
  }

  auto previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(hwnd, GWLP_WNDPROC));
  SetPropA(hwnd, kPreviousProcProp, reinterpret_cast<HANDLE>(previous));
  SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ControlProc));
  rec.platform = reinterpret_cast<void*>(previous);
  return hwnd;
}

void InsertItem(ControlRecord& rec, int32_t position, const char* text) {
  SendMessageA(static_cast<HWND>(rec.handle), CB_INSERTSTRING,
               static_cast<WPARAM>(static_cast<INT_PTR>(position)), reinterpret_cast<LPARAM>(text));
}

void EnableControl(ControlRecord& rec, bool enable) {
  EnableWindow(static_cast<HWND>(rec.handle), enable ? TRUE : FALSE);
}

std::string GetText(const ControlRecord& rec) {
  HWND hwnd = static_cast<HWND>(rec.handle);
  const int length = GetWindowTextLengthA(hwnd);
  if (length <= 0) return std::string();
  std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
  const int got = GetWindowTextA(hwnd, buffer.data(), length + 1);
  return std::string(buffer.data(), static_cast<size_t>(std::max(got, 0)));
}

void SetText(ControlRecord& rec, const char* text) {
  SetWindowTextA(static_cast<HWND>(rec.handle), text);
}

void SetValue(ControlRecord& rec, int32_t value) {
  if (rec.kind == ControlKind::ProgressBar) {
    SendMessageA(static_cast<HWND>(rec.handle), PBM_SETPOS, static_cast<WPARAM>(value), 0);
  }
}

bool IsTabEligible(const ControlRecord& rec) {
  HWND hwnd = static_cast<HWND>(rec.handle);
  return IsWindowEnabled(hwnd) && IsWindowVisible(hwnd) &&
         (GetWindowLongA(hwnd, GWL_STYLE) & WS_TABSTOP);
}

UiHandle FocusedControl() {
  // A combo box may hand the focus to a child of its own; that still counts
  // as the combo box.
  for (HWND h = GetFocus(); h; h = GetParent(h)) {
    if (UiHandle id = ControlIdOfHwnd(h)) return id;
    if (!(GetWindowLongA(h, GWL_STYLE) & WS_CHILD)) break;
  }
  return 0;
}

int32_t PumpOne(int32_t timeout) {
  MSG msg{};
  if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (timeout == 0) return 0;
    if (timeout < 0) {
      // 0 means WM_QUIT, which is returned like any other message; -1 is
      // an error and counts as nothing handled.
      if (GetMessageA(&msg, nullptr, 0, 0) == -1) return 0;
    } else {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(timeout), QS_ALLINPUT);
      if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return 0;
    }
  }

  if (GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_SHIFT) < 0 || GetKeyState(VK_MENU) < 0) {
    if (HWND active = GetActiveWindow()) ShowFocusCues(active);
  }
  HWND active = GetActiveWindow();
  const UiHandle active_id = WindowIdOfHwnd(active);
  const WindowRecord* window = active_id ? Ui().windows.Find(active_id) : nullptr;
  const auto* data = window ? static_cast<const Win32Window*>(window->platform) : nullptr;
  if (data && data->accelerators && TranslateAcceleratorA(active, data->accelerators, &msg)) {
    ShowFocusCues(active);
  } else {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int32_t>(msg.message);
}

}  // namespace ui_backend
