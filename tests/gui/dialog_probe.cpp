// Shows one of the two modal dialogs over a window with one button and
// reports the result, so that a test can drive the dialog from outside:
//   dialog_probe message TITLE TEXT
//   dialog_probe choose TITLE DEFAULT PATTERN POSITION   ("-" = absent)
// Prints (flushed line by line):
//   READY                  the owner window is up, the dialog comes next
//   CWD <dir>              working directory before the dialog
//   RESULT <n> | PATH <p>  what the dialog returned
//   CWD <dir>              working directory after it
//   EVENT <code> <source>  every event polled during 300 ms afterwards
//   DONE
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/delay.h"
#include "ui/dialogs.h"
#include "ui/ui.h"

namespace {

const char* Arg(const char* text) { return std::strcmp(text, "-") == 0 ? nullptr : text; }

void PrintCwd() {
  std::error_code error;
  std::printf("CWD %s\n", std::filesystem::current_path(error).string().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  bool message = argc == 4 && std::strcmp(argv[1], "message") == 0;
  bool choose = argc == 6 && std::strcmp(argv[1], "choose") == 0;
  if (!message && !choose) {
    std::fprintf(stderr,
                 "usage: dialog_probe message TITLE TEXT\n"
                 "       dialog_probe choose TITLE DEFAULT PATTERN POSITION\n");
    return 2;
  }
  UiStartup();
  UiHandle window = NewWindow(-1, 0, 0, 300, 100, "Dialog owner", WindowFixedCentred);
  UiHandle button = NewPushButton(-1, 10, 10, 280, 80, "Press");
  // Let the owner window come up before the dialog covers it.
  for (int i = 0; i < 20; ++i) {
    PollEvent(10);
  }
  std::printf("READY\n");
  PrintCwd();
  std::fflush(stdout);

  if (message) {
    std::printf("RESULT %d\n", static_cast<int>(ShowMessage(argv[2], argv[3], 0)));
  } else {
    std::string path = ChooseFileToOpen(argv[2], Arg(argv[3]), Arg(argv[4]),
                                        static_cast<int32_t>(std::atoi(argv[5])));
    std::printf("PATH %s\n", path.c_str());
  }
  PrintCwd();
  std::fflush(stdout);

  uint64_t end = MonotonicMs() + 300;
  while (MonotonicMs() < end) {
    int32_t code = PollEvent(0);
    if (code == EventControl) {
      std::printf("EVENT %d %s %d\n", static_cast<int>(code),
                  EventSource() == button ? "Button" : "other", static_cast<int>(EventDetail()));
    } else if (code == EventCloseWindow) {
      std::printf("EVENT %d %s\n", static_cast<int>(code),
                  EventSource() == window ? "Window" : "other");
    }
  }
  std::printf("DONE\n");
  std::fflush(stdout);
  ReleaseWindows();
  return 0;
}
