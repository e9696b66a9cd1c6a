// The Win32 window layer and dialogs, driven from inside the process: what
// the platform objects look like, which messages become which events, Tab
// order, and what the modal guard changes and restores. Runs under Wine on a
// private X server (run_under_xvfb.py).
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ui/dialogs.h"
#include "ui/dialogs_win32.h"
#include "ui/ui.h"
#include "ui/ui_backend.h"

namespace {

struct Event {
  int32_t code, source, detail;
  bool operator==(const Event& o) const {
    return code == o.code && source == o.source && detail == o.detail;
  }
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
  return os << "{" << e.code << ", " << e.source << ", " << e.detail << "}";
}

// Polls until nothing is left; returns the layer's events (not the platform
// message identifiers).
std::vector<Event> Drain() {
  std::vector<Event> events;
  for (int i = 0; i < 100000; ++i) {
    int32_t code = PollEvent(0);
    if (code == 0) break;
    if (code >= EventControl && code <= EventResize && EventDetail() != -1) {
      events.push_back({code, EventSource(), EventDetail()});
    }
  }
  return events;
}

std::vector<Event> ControlEvents(const std::vector<Event>& all) {
  std::vector<Event> out;
  for (const Event& e : all) {
    if (e.code == EventControl || e.code == EventMenu || e.code == EventCloseWindow) out.push_back(e);
  }
  return out;
}

HWND Hwnd(UiHandle h) {
  if (WindowRecord* w = Ui().windows.Find(h)) return static_cast<HWND>(w->handle);
  if (ControlRecord* c = Ui().controls.Find(h)) return static_cast<HWND>(c->handle);
  return nullptr;
}

std::string ClassOf(HWND hwnd) {
  char name[64] = {};
  GetClassNameA(hwnd, name, sizeof name);
  return name;
}

// The application's window and its five controls.
class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UiStartup();
    window = NewWindow(-1, 0, 0, 480, 140, "Update firmware 1.0", WindowFixedCentred);
    ASSERT_NE(window, 0);
    ports = NewDropDownList(-1, 10, 10, 70, 20);
    path = NewTextField(-1, 90, 10, 280, 20, "trx.fw");
    open = NewPushButton(-1, 380, 10, 90, 20, "Open");
    progress = NewProgressBar(-1, 10, 50, 460, 30, 0, 100);
    update = NewPushButton(-1, 170, 90, 140, 40, "UPDATE!");
    ASSERT_TRUE(ports && path && open && progress && update);
    Drain();
  }
  void TearDown() override {
    ReleaseWindows();
    Drain();
  }

  // Presses Tab (or Shift+Tab) the way the keyboard would deliver it: a key
  // message in the queue, handled by the next polls.
  UiHandle PressTab(bool shift) {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    SetKeyboardState(keys);
    HWND target = GetFocus() ? GetFocus() : Hwnd(window);
    PostMessageA(target, WM_KEYDOWN, VK_TAB, 1);
    Drain();
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    return ui_backend::FocusedControl();
  }

  UiHandle window = 0, ports = 0, path = 0, open = 0, progress = 0, update = 0;
};

TEST_F(MainWindowTest, WindowHasItsOwnClassCaptionAndCentredFrame) {
  HWND hwnd = Hwnd(window);
  EXPECT_EQ(ClassOf(hwnd), "WindowClass_" + std::to_string(window));
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  ASSERT_TRUE(GetClassInfoExA(GetModuleHandleA(nullptr), ClassOf(hwnd).c_str(), &wc));
  EXPECT_EQ(wc.style, static_cast<UINT>(CS_DBLCLKS));
  EXPECT_EQ(wc.hbrBackground, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));

  const LONG style = GetWindowLongA(hwnd, GWL_STYLE);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
  EXPECT_FALSE(GetWindowLongA(hwnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
  EXPECT_TRUE(IsWindowVisible(hwnd));
  EXPECT_EQ(GetActiveWindow(), hwnd);

  char title[64] = {};
  GetWindowTextA(hwnd, title, sizeof title);
  EXPECT_STREQ(title, "Update firmware 1.0");

  RECT client;
  GetClientRect(hwnd, &client);
  EXPECT_EQ(client.right - client.left, 480);
  EXPECT_EQ(client.bottom - client.top, 140);

  RECT outer;
  GetWindowRect(hwnd, &outer);
  const int w = outer.right - outer.left, h = outer.bottom - outer.top;
  EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - w) / 2);
  EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - h) / 2);
}

TEST_F(MainWindowTest, ControlsAreSubclassedChildrenWithTheirHandleAsIdentifier) {
  struct Expect {
    UiHandle id;
    const char* cls;
    LONG styles;
  };
  const Expect expected[] = {
      // The combo box hands WS_BORDER and WS_VSCROLL on to its list part.
      {ports, "ComboBox", WS_GROUP | WS_TABSTOP | CBS_DROPDOWNLIST},
      {path, "Edit", WS_GROUP | WS_TABSTOP | ES_AUTOHSCROLL},
      {open, "Button", WS_GROUP | WS_TABSTOP | BS_PUSHBUTTON},
      {progress, "msctls_progress32", 0},
      {update, "Button", WS_GROUP | WS_TABSTOP | BS_PUSHBUTTON},
  };
  HFONT gui_font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  for (const Expect& e : expected) {
    HWND hwnd = Hwnd(e.id);
    ASSERT_TRUE(hwnd) << e.cls;
    EXPECT_EQ(ClassOf(hwnd), e.cls);
    EXPECT_EQ(GetParent(hwnd), Hwnd(window));
    EXPECT_EQ(GetDlgCtrlID(hwnd), e.id);
    const LONG style = GetWindowLongA(hwnd, GWL_STYLE);
    EXPECT_EQ(style & (e.styles | WS_CHILD | WS_VISIBLE), e.styles | WS_CHILD | WS_VISIBLE) << e.cls;
    if (e.id == progress) {
      EXPECT_FALSE(style & (WS_TABSTOP | PBS_SMOOTH));
    }
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(hwnd, WM_GETFONT, 0, 0)), gui_font) << e.cls;
    // Subclassed: the procedure is no longer the class's own.
    WNDCLASSA wc{};
    GetClassInfoA(nullptr, e.cls, &wc);
    EXPECT_NE(reinterpret_cast<WNDPROC>(GetWindowLongPtrA(hwnd, GWLP_WNDPROC)), wc.lpfnWndProc)
        << e.cls;
  }
  EXPECT_TRUE(GetWindowLongA(Hwnd(path), GWL_EXSTYLE) & WS_EX_CLIENTEDGE);

  // The closed list is exactly as high as asked, whatever its frame.
  RECT r;
  GetWindowRect(Hwnd(ports), &r);
  EXPECT_EQ(r.bottom - r.top, 20);
  GetWindowRect(Hwnd(update), &r);
  EXPECT_EQ(r.right - r.left, 140);
  EXPECT_EQ(r.bottom - r.top, 40);

  PBRANGE range{};
  SendMessageA(Hwnd(progress), PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  EXPECT_EQ(range.iLow, 0);
  EXPECT_EQ(range.iHigh, 100);
  EXPECT_EQ(SendMessageA(Hwnd(progress), PBM_GETPOS, 0, 0), 0);
  SetControlValue(progress, 42);
  EXPECT_EQ(SendMessageA(Hwnd(progress), PBM_GETPOS, 0, 0), 42);
}

TEST_F(MainWindowTest, ListItemsKeepInsertionOrderAndAreNeverSelectedByTheLayer) {
  EXPECT_EQ(InsertListItem(ports, -1, "COM3"), 1);
  EXPECT_EQ(InsertListItem(ports, -1, "COM7"), 1);
  EXPECT_EQ(InsertListItem(ports, 0, "COM1"), 1);
  EXPECT_EQ(InsertListItem(ports, -2, "COM9"), 1);  // inserts nothing
  EXPECT_EQ(InsertListItem(ports, -1, nullptr), 1);
  EXPECT_EQ(InsertListItem(path, -1, "x"), 0);
  HWND list = Hwnd(ports);
  ASSERT_EQ(SendMessageA(list, CB_GETCOUNT, 0, 0), 4);
  const char* order[] = {"COM1", "COM3", "COM7", ""};
  for (int i = 0; i < 4; ++i) {
    char item[32] = {};
    SendMessageA(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
    EXPECT_STREQ(item, order[i]);
  }
  EXPECT_EQ(GetControlText(ports), "");
  SendMessageA(list, CB_SETCURSEL, 2, 0);
  EXPECT_EQ(GetControlText(ports), "COM7");
  EXPECT_TRUE(ControlEvents(Drain()).empty());
}

TEST_F(MainWindowTest, TextRoundTripsWholeAndLayerChangesQueueNothing) {
  EXPECT_EQ(GetControlText(path), "trx.fw");
  const std::string long_text(5000, 'p');
  SetControlText(path, long_text.c_str());
  EXPECT_EQ(GetControlText(path), long_text);
  SetControlText(path, nullptr);
  EXPECT_EQ(GetControlText(path), "");
  EXPECT_TRUE(ControlEvents(Drain()).empty());
  EXPECT_EQ(GetControlText(open), "Open");
}

TEST_F(MainWindowTest, CloseRequestQueuesOneEventAndKeepsTheWindow) {
  HWND hwnd = Hwnd(window);
  SendMessageA(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
  std::vector<Event> events = ControlEvents(Drain());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], (Event{EventCloseWindow, window, 0}));
  // Two requests waiting in a row collapse into one.
  SendMessageA(hwnd, WM_CLOSE, 0, 0);
  SendMessageA(hwnd, WM_CLOSE, 0, 0);
  events = ControlEvents(Drain());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], (Event{EventCloseWindow, window, 0}));
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_TRUE(IsWindowVisible(hwnd));
}

TEST_F(MainWindowTest, ClicksComeOutOfALaterPollThanTheMessage) {
  PostMessageA(Hwnd(update), BM_CLICK, 0, 0);
  // The poll that handles the posted message returns its identifier ...
  int32_t first = PollEvent(0);
  EXPECT_EQ(first, static_cast<int32_t>(BM_CLICK));
  // ... and the click is the next poll's event.
  std::vector<Event> events = ControlEvents(Drain());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], (Event{EventControl, update, DetailClick}));

  SendMessageA(Hwnd(open), BM_CLICK, 0, 0);
  events = ControlEvents(Drain());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], (Event{EventControl, open, DetailClick}));

  // Nothing pending: 0, and the detail says "no event".
  EXPECT_EQ(PollEvent(0), 0);
  EXPECT_EQ(EventDetail(), -1);
}

TEST_F(MainWindowTest, ListReportsOnlySelectionChanges) {
  HWND parent = Hwnd(window), list = Hwnd(ports);
  for (WORD code : {CBN_DROPDOWN, CBN_SETFOCUS, CBN_CLOSEUP, CBN_SELCHANGE, CBN_KILLFOCUS}) {
    SendMessageA(parent, WM_COMMAND, MAKEWPARAM(ports, code), reinterpret_cast<LPARAM>(list));
  }
  std::vector<Event> events = ControlEvents(Drain());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], (Event{EventControl, ports, DetailChange}));
}

TEST_F(MainWindowTest, TextFieldReportsFocusAndEdits) {
  SetFocus(Hwnd(path));
  std::vector<Event> events = ControlEvents(Drain());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], (Event{EventControl, path, DetailFocus}));
  EXPECT_EQ(events[1], (Event{EventControl, path, DetailFocusNotify}));

  SendMessageA(Hwnd(path), WM_CHAR, 'x', 1);
  events = ControlEvents(Drain());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], (Event{EventControl, path, DetailUpdate}));
  EXPECT_EQ(events[1], (Event{EventControl, path, DetailChange}));

  SetFocus(Hwnd(open));
  events = ControlEvents(Drain());
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0], (Event{EventControl, path, DetailLostFocus}));
  EXPECT_EQ(events[1], (Event{EventControl, path, DetailLostFocusNotify}));
}

TEST_F(MainWindowTest, TabWalksTheEligibleControlsInCreationOrder) {
  ASSERT_EQ(GetActiveWindow(), Hwnd(window));
  // Nothing of ours focused yet: Tab goes to the first, Shift+Tab to the last.
  SetFocus(Hwnd(window));
  EXPECT_EQ(PressTab(false), ports);
  EXPECT_EQ(PressTab(false), path);
  EXPECT_EQ(PressTab(false), open);
  EXPECT_EQ(PressTab(false), update);  // the progress bar is no tab stop
  EXPECT_EQ(PressTab(false), ports);   // wraps
  EXPECT_EQ(PressTab(true), update);   // and back
  EXPECT_EQ(PressTab(true), open);
  SetFocus(Hwnd(window));
  EXPECT_EQ(PressTab(true), update);

  // Focus moves queue no event of their own (the field's focus events do come).
  SetFocus(Hwnd(ports));
  Drain();
  PressTab(false);
  for (const Event& e : ControlEvents(Drain())) EXPECT_EQ(e.source, path);

  DisableControl(open, 1);
  EXPECT_FALSE(IsWindowEnabled(Hwnd(open)));
  SetFocus(Hwnd(path));
  EXPECT_EQ(PressTab(false), update);
  EXPECT_EQ(PressTab(true), path);
  DisableControl(open, 0);
  EXPECT_TRUE(IsWindowEnabled(Hwnd(open)));
  EXPECT_EQ(PressTab(false), open);

  for (UiHandle c : {ports, path, open, update}) DisableControl(c, 1);
  SetFocus(Hwnd(window));
  EXPECT_EQ(PressTab(false), 0);  // nothing eligible, nothing happens
  EXPECT_EQ(GetFocus(), Hwnd(window));
}

TEST_F(MainWindowTest, ReactivationGivesTheFocusBackToTheRememberedControl) {
  SetFocus(Hwnd(path));
  Drain();
  UiHandle other = NewWindow(-1, 0, 0, 100, 50, "Other", WindowNoControlParent);
  ASSERT_NE(other, 0);
  Drain();
  EXPECT_EQ(GetActiveWindow(), Hwnd(other));
  EXPECT_EQ(ui_backend::FocusedControl(), 0);
  EXPECT_EQ(Ui().windows.Find(window)->remembered_focus, path);

  SetActiveWindow(Hwnd(window));
  std::vector<Event> events = Drain();
  EXPECT_EQ(ui_backend::FocusedControl(), path);
  bool activated = false;
  for (const Event& e : events) activated |= (e.code == EventActivate && e.source == window);
  EXPECT_TRUE(activated);
}

TEST(Win32Window, FlagsMapToStylesAndShowState) {
  UiStartup();
  UiHandle plain = NewWindow(-1, 10, 20, 200, 100, nullptr, 0);
  HWND hwnd = Hwnd(plain);
  ASSERT_TRUE(hwnd);
  EXPECT_EQ(GetWindowLongA(hwnd, GWL_STYLE) & WS_CAPTION, WS_CAPTION);  // added for bare flags
  RECT r;
  GetWindowRect(hwnd, &r);
  EXPECT_EQ(r.left, 10);
  EXPECT_EQ(r.top, 20);

  UiHandle tool = NewWindow(-1, 0, 0, 100, 50, "t", WindowToolFrame | WS_MAXIMIZEBOX | WS_SYSMENU);
  hwnd = Hwnd(tool);
  EXPECT_TRUE(GetWindowLongA(hwnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
  EXPECT_EQ(GetWindowLongA(hwnd, GWL_STYLE) & WS_CAPTION, WS_CAPTION);
  EXPECT_FALSE(GetWindowLongA(hwnd, GWL_STYLE) & WS_MAXIMIZEBOX);
  EXPECT_FALSE(GetWindowLongA(hwnd, GWL_STYLE) & 0x4);  // layer bit never reaches the platform

  UiHandle hidden = NewWindow(-1, 0, 0, 100, 50, "h", WindowHidden | WindowNoControlParent);
  EXPECT_FALSE(IsWindowVisible(Hwnd(hidden)));
  // No control parent change: new controls still go into the tool window.
  UiHandle button = NewPushButton(-1, 1, 1, 10, 10, "b");
  EXPECT_EQ(GetParent(Hwnd(button)), Hwnd(tool));

  UiHandle quiet = NewWindow(-1, 0, 0, 100, 50, "q", WS_CAPTION | WindowNoActivate);
  EXPECT_TRUE(IsWindowVisible(Hwnd(quiet)));
  EXPECT_NE(GetActiveWindow(), Hwnd(quiet));

  // Wider than any screen: centred at 0 on that axis.
  UiHandle huge = NewWindow(-1, 0, 0, 20000, 50, "w", WS_CAPTION | WindowCentreScreen);
  GetWindowRect(Hwnd(huge), &r);
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2);

  const std::string cls = ClassOf(Hwnd(plain));
  ReleaseWindows();
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  EXPECT_FALSE(GetClassInfoExA(GetModuleHandleA(nullptr), cls.c_str(), &wc));
  EXPECT_EQ(Ui().windows.Find(plain), nullptr);
  EXPECT_EQ(Ui().controls.Find(button), nullptr);
  // With no window left there is nowhere to put a control.
  EXPECT_EQ(NewPushButton(-1, 1, 1, 10, 10, "b"), 0);
  Drain();
}

// Runs `act` on another thread as soon as a window titled `title` shows up;
// the dialog call blocks this thread meanwhile.
class DialogDriver {
 public:
  template <typename Act>
  DialogDriver(const char* title, Act act)
      : thread_([this, title, act] {
          for (int i = 0; i < 200 && !found_; ++i) {
            if (HWND dialog = FindWindowA(nullptr, title)) {
              if (IsWindowVisible(dialog)) {
                found_ = true;
                act(dialog);
                return;
              }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
          }
        }) {}
  ~DialogDriver() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  bool found() const { return found_; }

 private:
  std::atomic<bool> found_{false};
  std::thread thread_;
};

TEST_F(MainWindowTest, MessageBoxIsOwnedByTheForegroundWindowAndGuardRestores) {
  HWND main_window = Hwnd(window);
  SetForegroundWindow(main_window);
  std::atomic<bool> owner_ok{false}, main_disabled{false};
  DialogDriver driver("Information", [&](HWND box) {
    owner_ok = GetWindow(box, GW_OWNER) == main_window;
    main_disabled = !IsWindowEnabled(main_window);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
  });
  const int32_t answer = ShowMessage("Information", "Device update!");
  driver.Join();
  ASSERT_TRUE(driver.found());
  EXPECT_EQ(answer, IDOK);
  EXPECT_TRUE(owner_ok);
  EXPECT_TRUE(main_disabled);
  EXPECT_TRUE(IsWindowEnabled(main_window));
}

TEST_F(MainWindowTest, ModalGuardDisablesAndRestoresOnlyWhatItChanged) {
  HWND main_window = Hwnd(window);
  SetForegroundWindow(main_window);
  ASSERT_EQ(DialogOwner(), main_window);

  auto make = [](const char* title, DWORD ex_style, bool visible) {
    HWND h = CreateWindowExA(ex_style, "STATIC", title, WS_POPUP | (visible ? WS_VISIBLE : 0), 5,
                             5, 50, 20, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    return h;
  };
  HWND plain = make("plain", 0, true);
  HWND pre_disabled = make("disabled", 0, true);
  HWND topmost = make("topmost", WS_EX_TOPMOST, true);
  HWND invisible = make("invisible", 0, false);
  ASSERT_TRUE(plain && pre_disabled && topmost && invisible);
  EnableWindow(pre_disabled, FALSE);
  SetForegroundWindow(main_window);
  RECT before;
  GetWindowRect(topmost, &before);

  ModalGuardOn();
  EXPECT_TRUE(IsWindowEnabled(main_window));  // the foreground window stays usable
  EXPECT_FALSE(IsWindowEnabled(plain));
  EXPECT_FALSE(IsWindowEnabled(pre_disabled));
  EXPECT_FALSE(IsWindowEnabled(topmost));
  EXPECT_FALSE(GetWindowLongA(topmost, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_TRUE(IsWindowEnabled(invisible));
  EXPECT_EQ(GetForegroundWindow(), main_window);
  ModalGuardOff();

  EXPECT_TRUE(IsWindowEnabled(plain));
  EXPECT_FALSE(IsWindowEnabled(pre_disabled));  // was disabled before: stays so
  EXPECT_TRUE(IsWindowEnabled(topmost));
  EXPECT_TRUE(GetWindowLongA(topmost, GWL_EXSTYLE) & WS_EX_TOPMOST);
  RECT after;
  GetWindowRect(topmost, &after);
  EXPECT_TRUE(EqualRect(&before, &after));

  // The invisible window was left alone: disabling it first shows the guard
  // does not enable it afterwards either.
  EnableWindow(invisible, FALSE);
  ModalGuardOn();
  ModalGuardOff();
  EXPECT_FALSE(IsWindowEnabled(invisible));

  for (HWND h : {plain, pre_disabled, topmost, invisible}) DestroyWindow(h);
}

TEST_F(MainWindowTest, DialogOwnerIsNoneWhenNoWindowOfOursIsInFront) {
  SetForegroundWindow(GetDesktopWindow());
  HWND fg = GetForegroundWindow();
  DWORD process = 0;
  if (fg) GetWindowThreadProcessId(fg, &process);
  if (fg && process == GetCurrentProcessId()) GTEST_SKIP() << "cannot move the foreground away";
  EXPECT_EQ(DialogOwner(), nullptr);
}

// The chooser's file-name field in the Explorer-style dialog: the combo box
// of recent names (cmb13) or, in older layouts, a plain edit (edt1).
HWND NameField(HWND dialog) {
  if (HWND combo = GetDlgItem(dialog, 0x47C)) return combo;
  return GetDlgItem(dialog, 0x480);
}

std::string CurrentDirectory() {
  char dir[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, dir);
  return dir;
}

std::string TempFolder() {
  char tmp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, tmp);
  std::string folder = std::string(tmp) + "uf_chooser_test";
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

const char kChooserTitle[] = "Please choose file to load";

TEST_F(MainWindowTest, ChooserReturnsEmptyTextOnCancel) {
  SetForegroundWindow(Hwnd(window));
  std::atomic<bool> main_disabled{false};
  DialogDriver driver(kChooserTitle, [&](HWND dialog) {
    main_disabled = !IsWindowEnabled(Hwnd(window));
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  });
  const std::string chosen = ChooseFileToOpen(kChooserTitle, nullptr, "Firmware (*.fw)|*.fw;", 0);
  driver.Join();
  // The dialog must have come up at all: a wrong record size makes the
  // platform refuse it at once, which also gives empty text.
  ASSERT_TRUE(driver.found());
  EXPECT_EQ(chosen, "");
  EXPECT_TRUE(main_disabled);
  EXPECT_TRUE(IsWindowEnabled(Hwnd(window)));
}

TEST_F(MainWindowTest, ChooserAcceptsANewNameInAnExistingFolderAndKeepsTheCurrentDirectory) {
  const std::string folder = TempFolder();
  const std::string wanted = folder + "\\new.fw";
  DeleteFileA(wanted.c_str());
  const std::string cwd = CurrentDirectory();
  std::atomic<bool> name_prefilled{false};
  DialogDriver driver(kChooserTitle, [&](HWND dialog) {
    char shown[MAX_PATH] = {};
    GetWindowTextA(NameField(dialog), shown, MAX_PATH);
    name_prefilled = std::string(shown) == "trx.fw";
    SetWindowTextA(NameField(dialog), wanted.c_str());
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  });
  const std::string chosen =
      ChooseFileToOpen(kChooserTitle, (folder + "\\trx.fw").c_str(), "Firmware (*.fw)|*.fw;", 0);
  driver.Join();
  ASSERT_TRUE(driver.found());
  EXPECT_TRUE(name_prefilled);
  EXPECT_EQ(chosen, wanted);
  EXPECT_EQ(CurrentDirectory(), cwd);
}

// Another visible dialog of the thread that runs `dialog`, or none.
HWND PopupOf(HWND dialog) {
  struct Search {
    HWND dialog, found;
  } search{dialog, nullptr};
  EnumThreadWindows(
      GetWindowThreadProcessId(dialog, nullptr),
      [](HWND h, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        char cls[16] = {};
        GetClassNameA(h, cls, sizeof cls);
        if (h != s->dialog && IsWindowVisible(h) && std::string(cls) == "#32770") {
          s->found = h;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

TEST_F(MainWindowTest, ChooserRefusesAFolderThatDoesNotExist) {
  const std::string missing = TempFolder() + "\\no_such_folder\\x.fw";
  std::atomic<bool> refused{false}, still_open{false};
  DialogDriver driver(kChooserTitle, [&](HWND dialog) {
    SetWindowTextA(NameField(dialog), missing.c_str());
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    // The refusal is a message box of the dialog's own; close it, then the dialog.
    for (int i = 0; i < 100 && !refused; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (HWND popup = PopupOf(dialog)) {
        refused = true;
        PostMessageA(popup, WM_COMMAND, IDOK, 0);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    still_open = IsWindow(dialog) && IsWindowVisible(dialog);
    if (HWND popup = PopupOf(dialog)) PostMessageA(popup, WM_COMMAND, IDOK, 0);
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  });
  const std::string chosen = ChooseFileToOpen(kChooserTitle, nullptr, "Firmware (*.fw)|*.fw;", 0);
  driver.Join();
  ASSERT_TRUE(driver.found());
  EXPECT_TRUE(refused);
  EXPECT_TRUE(still_open);
  EXPECT_EQ(chosen, "");
}

}  // namespace
