// Prints what the Win32 side knows about a window's frame, for tests that can
// only see the X window Wine makes for the client area:
//   screen <width> <height>
//   frame <left> <top> <right> <bottom>
// with the frame as AdjustWindowRectEx grows a client rectangle for the style
// given in hexadecimal (default: caption and system menu).
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  DWORD style = WS_CAPTION | WS_SYSMENU;
  DWORD ex_style = 0;
  if (argc > 1) style = static_cast<DWORD>(std::strtoul(argv[1], nullptr, 16));
  if (argc > 2) ex_style = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 16));
  RECT r{0, 0, 0, 0};
  if (!AdjustWindowRectEx(&r, style, FALSE, ex_style)) return 1;
  std::printf("screen %d %d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
  std::printf("frame %ld %ld %ld %ld\n", -r.left, -r.top, r.right, r.bottom);
  return 0;
}
