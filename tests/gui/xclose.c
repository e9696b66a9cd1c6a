/* xclose WINDOW_ID
 * xclose --on-map TITLE
 *
 * Asks an X window to close the way a window manager does when the user
 * presses the close box: a WM_PROTOCOLS client message carrying
 * WM_DELETE_WINDOW. The GUI tests run on a bare X server without a window
 * manager, and xdotool has no polite close, so this is the test's close box.
 *
 * With --on-map it waits for the next top-level window titled TITLE to be
 * mapped and sends the request in the same instant, before the program
 * behind it can have finished starting up; a search by polling would come
 * too late for that. It prints "ready" once it is watching (start the
 * program after that line) and the window's id once the request is sent.
 *
 * Exit status: 0 sent, 1 bad usage or no display, 2 no such window.
 */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int bad_window;

static int on_error(Display* display, XErrorEvent* error) {
  (void)display;
  if (error->error_code == BadWindow) bad_window = 1;
  return 0;
}

static void send_close(Display* display, Window window) {
  XEvent event;
  memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XSync(display, False);
}

static int titled(Display* display, Window window, const char* title) {
  char* name = NULL;
  bad_window = 0;
  /* The window may be gone again already: that is no error, just not it. */
  int same = XFetchName(display, window, &name) && !bad_window && name && strcmp(name, title) == 0;
  if (name) XFree(name);
  return same;
}

static int close_on_map(Display* display, const char* title) {
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  XSync(display, False);
  printf("ready\n");
  fflush(stdout);
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MapNotify && titled(display, event.xmap.window, title)) {
      send_close(display, event.xmap.window);
      printf("0x%lx\n", (unsigned long)event.xmap.window);
      return 0;
    }
  }
}

int main(int argc, char** argv) {
  int on_map = argc == 3 && strcmp(argv[1], "--on-map") == 0;
  if (argc != 2 && !on_map) {
    fprintf(stderr, "usage: xclose WINDOW_ID | xclose --on-map TITLE\n");
    return 1;
  }
  Window window = 0;
  if (!on_map) {
    char* end = NULL;
    window = (Window)strtoul(argv[1], &end, 0);
    if (!end || *end || window == 0) {
      fprintf(stderr, "xclose: not a window id: %s\n", argv[1]);
      return 1;
    }
  }
  Display* display = XOpenDisplay(NULL);
  if (!display) {
    fprintf(stderr, "xclose: cannot open display\n");
    return 1;
  }
  XSetErrorHandler(on_error);
  if (on_map) {
    int status = close_on_map(display, argv[2]);
    XCloseDisplay(display);
    return status;
  }
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes) || bad_window) {
    fprintf(stderr, "xclose: no window 0x%lx\n", (unsigned long)window);
    XCloseDisplay(display);
    return 2;
  }
  send_close(display, window);
  int status = bad_window ? 2 : 0;
  XCloseDisplay(display);
  return status;
}
