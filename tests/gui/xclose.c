/* xclose WINDOW_ID
 *
 * Asks an X window to close the way a window manager does when the user
 * presses the close box: a WM_PROTOCOLS client message carrying
 * WM_DELETE_WINDOW. The GUI tests run on a bare X server without a window
 * manager, and xdotool has no polite close, so this is the test's close box.
 *
 * Exit status: 0 sent, 1 bad usage or no display, 2 no such window.
 */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>

static int bad_window;

static int on_error(Display* display, XErrorEvent* error) {
  (void)display;
  if (error->error_code == BadWindow) bad_window = 1;
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: xclose WINDOW_ID\n");
    return 1;
  }
  char* end = NULL;
  unsigned long id = strtoul(argv[1], &end, 0);
  if (!end || *end || id == 0) {
    fprintf(stderr, "xclose: not a window id: %s\n", argv[1]);
    return 1;
  }
  Display* display = XOpenDisplay(NULL);
  if (!display) {
    fprintf(stderr, "xclose: cannot open display\n");
    return 1;
  }
  XSetErrorHandler(on_error);
  Window window = (Window)id;
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes) || bad_window) {
    fprintf(stderr, "xclose: no window 0x%lx\n", id);
    XCloseDisplay(display);
    return 2;
  }
  XEvent event = {0};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XSync(display, False);
  int status = bad_window ? 2 : 0;
  XCloseDisplay(display);
  return status;
}
