// Reads the progress bar of the program's window from outside, for the
// Windows build's end-to-end test and the upload benchmark under Wine: for
// every line on standard input it prints one line, the bar's position
// (PBM_GETPOS of the first progress bar in the window titled "Update
// firmware 1.0"), or -1 when there is no such window or it did not answer
// within 2 s. It ends at the end of its input.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>

namespace {

// The first progress bar among the window's descendants.
BOOL CALLBACK FindBar(HWND child, LPARAM found) {
  char cls[64];
  if (GetClassNameA(child, cls, sizeof cls) > 0 && lstrcmpiA(cls, PROGRESS_CLASSA) == 0) {
    *reinterpret_cast<HWND*>(found) = child;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

int main() {
  char line[256];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    long position = -1;
    HWND main_window = FindWindowA(nullptr, "Update firmware 1.0");
    HWND bar = nullptr;
    if (main_window) EnumChildWindows(main_window, FindBar, reinterpret_cast<LPARAM>(&bar));
    DWORD_PTR answer = 0;
    if (bar && SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer)) {
      position = static_cast<long>(answer);
    }
    std::printf("%ld\n", position);
    std::fflush(stdout);
  }
  return 0;
}
