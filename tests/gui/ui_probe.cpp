// Builds the application's window and five controls with the same calls,
// order and coordinates, then reports what the window layer returns:
//   EVENT <code> <source name> <detail>   one line per event returned
//   FOCUS <control name|none>             whenever the focused control changes
// Output is flushed line by line so a test can follow it live. Exits 0 on
// EventCloseWindow.
//
//   ui_probe [--disable NAME]...   disables the named control before the loop
//   ui_probe --no-items            leaves the port list empty
//   ui_probe --stay                ends on the second close request, not the first
//   ui_probe --box-on TEXT         shows a message box titled "Probe" as soon as
//                                  the path field holds TEXT, then reports BOX CLOSED
#include <cstdio>
#include <cstring>
#include <string>

#include "ui/dialogs.h"
#include "ui/ui.h"
#include "ui/ui_backend.h"

namespace {

struct Named {
  const char* name;
  UiHandle handle;
};

Named g_objects[6];

const char* NameOf(int32_t handle) {
  for (const Named& n : g_objects) {
    if (n.handle != 0 && n.handle == handle) return n.name;
  }
  return nullptr;
}

UiHandle HandleOf(const char* name) {
  for (const Named& n : g_objects) {
    if (std::strcmp(n.name, name) == 0) return n.handle;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  UiStartup();
  UiHandle window = NewWindow(-1, 0, 0, 480, 140, "Update firmware 1.0", WindowFixedCentred);
  UiHandle port_list = NewDropDownList(-1, 10, 10, 70, 20);
  UiHandle path_field = NewTextField(-1, 90, 10, 280, 20, "trx.fw");
  UiHandle open_button = NewPushButton(-1, 380, 10, 90, 20, "Open");
  UiHandle progress = NewProgressBar(-1, 10, 50, 460, 30, 0, 100);
  UiHandle update_button = NewPushButton(-1, 170, 90, 140, 40, "UPDATE!");
  g_objects[0] = {"MainWindow", window};
  g_objects[1] = {"PortList", port_list};
  g_objects[2] = {"FirmwarePathField", path_field};
  g_objects[3] = {"OpenButton", open_button};
  g_objects[4] = {"ProgressBar", progress};
  g_objects[5] = {"UpdateButton", update_button};

  bool items = true;
  int closes_to_exit = 1;
  const char* box_on = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-items") == 0) {
      items = false;
    } else if (std::strcmp(argv[i], "--box-on") == 0 && i + 1 < argc) {
      box_on = argv[++i];
    } else if (std::strcmp(argv[i], "--stay") == 0) {
      closes_to_exit = 2;
    } else if (std::strcmp(argv[i], "--disable") == 0 && i + 1 < argc) {
      DisableControl(HandleOf(argv[++i]), 1);
    } else {
      std::fprintf(stderr, "ui_probe: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  if (items) {
    // Appending and inserting in front give the order COM3, COM12.
    InsertListItem(port_list, -1, "COM12");
    InsertListItem(port_list, 0, "COM3");
  }
  for (const Named& n : g_objects) {
    std::printf("HANDLE %s %d\n", n.name, static_cast<int>(n.handle));
  }
  std::printf("READY\n");
  std::fflush(stdout);

  UiHandle focus = -1;
  for (;;) {
    int32_t code = PollEvent(-1);
    if (code >= EventControl && code <= EventResize) {
      int32_t source = EventSource();
      const char* name = NameOf(source);
      std::string source_text = name ? name : std::to_string(source);
      std::printf("EVENT %d %s %d\n", static_cast<int>(code), source_text.c_str(),
                  static_cast<int>(EventDetail()));
      if (code == EventControl) {
        // What the application would read back after a change.
        std::printf("TEXT %s \"%s\"\n", source_text.c_str(), GetControlText(source).c_str());
        if (box_on && source == path_field && EventDetail() == DetailChange &&
            GetControlText(path_field) == box_on) {
          std::fflush(stdout);
          ShowMessage("Probe", "box", 0);
          std::printf("BOX CLOSED\n");
        }
      }
    }
    UiHandle now = ui_backend::FocusedControl();
    if (now != focus) {
      focus = now;
      const char* name = NameOf(now);
      std::printf("FOCUS %s\n", name ? name : "none");
    }
    std::fflush(stdout);
    if (code == EventCloseWindow && --closes_to_exit == 0) break;
  }
  ReleaseWindows();
  std::printf("EXIT\n");
  std::fflush(stdout);
  return 0;
}
