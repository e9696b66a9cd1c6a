// The window layer on FLTK 1.3 (X11): one Fl_Window per window, one widget
// per control, and FLTK's callbacks and handle() overrides turned into the
// same events, details and focus behaviour as the Win32 backend.
//
// FLTK's own keyboard navigation is switched off: Tab and Shift+Tab go
// through the core's focus rule, arrow keys never move the focus between
// controls, and Escape is not a close request.
#if defined(_WIN32)
#error "ui_fltk.cpp is the Linux (FLTK on X11) backend"
#endif
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/delay.h"
#include "ui/file_filter.h"
#include "ui/ui_backend.h"

namespace {

constexpr int kTextSize = 12;

// What every control widget of ours carries, so that an FLTK widget can be
// traced back to its handle (the focus, the event source).
struct ControlTag {
  UiHandle id = 0;
  UiHandle owner = 0;  // the layer's window the control sits in
  virtual ~ControlTag() = default;
};

ControlTag* TagOf(Fl_Widget* widget) { return widget ? dynamic_cast<ControlTag*>(widget) : nullptr; }

// An open drop-down list grabs the keyboard, and X reports the grab and its
// release as focus changes of the window; the platform list does not
// deactivate its window. Focus that merely follows the pointer (no window
// manager, focus on PointerRoot) is no (de)activation either. Set while
// FLTK handles such an X focus event (the X event is only valid then).
bool g_focus_follows_grab_or_pointer = false;

bool CloseDespiteGrab(Fl_Window* window);

int DispatchEvent(int event, Fl_Window* window) {
  if (event == FL_CLOSE && CloseDespiteGrab(window)) return 1;
  if ((event == FL_FOCUS || event == FL_UNFOCUS) && fl_xevent &&
      (fl_xevent->type == FocusIn || fl_xevent->type == FocusOut)) {
    const XFocusChangeEvent& focus = fl_xevent->xfocus;
    bool saved = g_focus_follows_grab_or_pointer;
    g_focus_follows_grab_or_pointer = focus.mode == NotifyGrab || focus.mode == NotifyUngrab ||
                                      focus.detail == NotifyPointer;
    int handled = Fl::handle_(event, window);
    g_focus_follows_grab_or_pointer = saved;
    return handled;
  }
  return Fl::handle_(event, window);
}

// The control that lost the focus last; the window reads and clears it when
// the loss reaches it, to tell a deactivation from a move inside the window.
UiHandle g_last_unfocused = 0;

class LayerWindow;

class TextField : public Fl_Input, public ControlTag {
 public:
  TextField(int x, int y, int w, int h) : Fl_Input(x, y, w, h) {}
  int handle(int event) override {
    if (event == FL_FOCUS) {
      int r = Fl_Input::handle(event);
      // The field's own focus message first, then the edit notification.
      QueueEvent(EventControl, id, owner, DetailFocus);
      QueueEvent(EventControl, id, owner, DetailFocusNotify);
      return r;
    }
    if (event == FL_UNFOCUS) {
      int r = Fl_Input::handle(event);
      QueueEvent(EventControl, id, owner, DetailLostFocus);
      QueueEvent(EventControl, id, owner, DetailLostFocusNotify);
      g_last_unfocused = id;
      return r;
    }
    return Fl_Input::handle(event);
  }
};

class PushButton : public Fl_Button, public ControlTag {
 public:
  PushButton(int x, int y, int w, int h) : Fl_Button(x, y, w, h) {}
  int handle(int event) override {
    if (event == FL_UNFOCUS) g_last_unfocused = id;
    return Fl_Button::handle(event);
  }
};

class DropDownList : public Fl_Choice, public ControlTag {
 public:
  DropDownList(int x, int y, int w, int h) : Fl_Choice(x, y, w, h) {}
  std::vector<std::string> items;  // the texts as given; the menu holds escaped labels

  // -1 (or any index out of range) leaves no item selected.
  void Select(int index) {
    if (index >= 0 && index < static_cast<int>(items.size())) {
      value(index);
    } else {
      value(static_cast<const Fl_Menu_Item*>(nullptr));
    }
    redraw();
  }

  int handle(int event) override {
    if (event == FL_UNFOCUS) g_last_unfocused = id;
    if (event == FL_KEYBOARD && Fl::focus() == this &&
        !(Fl::event_state() & (FL_CTRL | FL_ALT | FL_META))) {
      // A closed drop-down list steps through its items with the arrow
      // keys, as the platform list does.
      int count = static_cast<int>(items.size());
      int current = value();
      int next = current;
      switch (Fl::event_key()) {
        case FL_Down: case FL_Right: next = current < 0 ? 0 : std::min(current + 1, count - 1); break;
        case FL_Up: case FL_Left: next = current < 0 ? 0 : std::max(current - 1, 0); break;
        case FL_Home: next = 0; break;
        case FL_End: next = count - 1; break;
        default: return Fl_Choice::handle(event);
      }
      // The platform list notifies every such key, also one that cannot
      // move the selection any further.
      if (count > 0) {
        if (next != current) Select(next);
        QueueEvent(EventControl, id, owner, DetailChange);
      }
      return 1;
    }
    return Fl_Choice::handle(event);
  }
};

class ProgressBar : public Fl_Progress, public ControlTag {
 public:
  ProgressBar(int x, int y, int w, int h) : Fl_Progress(x, y, w, h) {}
};

class LayerWindow : public Fl_Window {
 public:
  LayerWindow(int w, int h, const char* title) : Fl_Window(w, h), title_(title) {
    label(title_.c_str());
  }
  UiHandle id = 0;

  int handle(int event) override {
    switch (event) {
      case FL_KEYBOARD:
      case FL_SHORTCUT:
        if (HandleKey()) return 1;
        break;
      case FL_FOCUS:
        Activated();
        // Claiming the focus keeps FLTK from handing it to the first child;
        // with nothing remembered the window itself holds it.
        return 1;
      case FL_UNFOCUS: {
        UiHandle lost = g_last_unfocused;
        g_last_unfocused = 0;
        if (!contains(Fl::focus())) Deactivated(lost);
        return 1;
      }
      default:
        break;
    }
    return Fl_Window::handle(event);
  }

 private:
  // True when the key was ours: Tab, Shift+Tab, the arrows that FLTK would
  // use to move between widgets, Escape, Alt+F4.
  bool HandleKey() {
    int key = Fl::event_key();
    int mods = Fl::event_state() & (FL_SHIFT | FL_CTRL | FL_ALT | FL_META);
    if (key == FL_Tab) {
      // Only plain Tab and Shift+Tab are accelerators; other combinations
      // do nothing, and never FLTK's navigation.
      if (mods == 0 || mods == FL_SHIFT) MoveFocus(mods == FL_SHIFT);
      return true;
    }
    if (key == FL_Left || key == FL_Right || key == FL_Up || key == FL_Down) return true;
    if (key == FL_Escape) return true;
    if (key == FL_F + 4 && mods == FL_ALT) {
      QueueEvent(EventCloseWindow, id, id, 0);
      return true;
    }
    return false;
  }

  static bool NotAnActivation() { return g_focus_follows_grab_or_pointer; }

  void MoveFocus(bool backward) {
    UiHandle focused = ui_backend::FocusedControl();
    ControlRecord* current = Ui().controls.Find(focused);
    if (current && current->window != id) focused = 0;
    UiHandle target = FocusTarget(id, focused, backward);
    ControlRecord* rec = Ui().controls.Find(target);
    if (rec) static_cast<Fl_Widget*>(rec->handle)->take_focus();
  }

  void Activated() {
    if (!active_ && !NotAnActivation()) {
      active_ = true;
      QueueEvent(EventActivate, id, id, 0);
    }
    WindowRecord* rec = Ui().windows.Find(id);
    if (!rec || !rec->remembered_focus) return;
    ControlRecord* control = Ui().controls.Find(rec->remembered_focus);
    if (control && control->window == id) {
      Fl_Widget* widget = static_cast<Fl_Widget*>(control->handle);
      if (widget->active_r() && widget->visible_r()) widget->take_focus();
    }
  }

  void Deactivated(UiHandle lost) {
    if (active_ && !NotAnActivation()) {
      active_ = false;
      QueueEvent(EventDeactivate, id, id, 0);
    }
    WindowRecord* rec = Ui().windows.Find(id);
    if (!rec) return;
    // Nothing of ours had the focus: nothing to give back later.
    ControlRecord* control = Ui().controls.Find(lost);
    rec->remembered_focus = control && control->window == id ? lost : 0;
  }

  std::string title_;
  bool active_ = false;  // between an activation and a deactivation reported
};

// An open drop-down list is a modal menu window holding FLTK's grab, and
// FLTK drops every close request meanwhile: the request would be lost. The
// platform list lets it through and goes with its window, so the request is
// queued and the list closed the way Escape closes it, without a pick.
// Behind a modal box FLTK's refusal stands: the window takes no close
// request then.
bool CloseDespiteGrab(Fl_Window* window) {
  Fl_Window* popup = Fl::grab();
  LayerWindow* layer = dynamic_cast<LayerWindow*>(window);
  if (!popup || !popup->menu_window() || !layer) return false;
  for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w)) {
    if (w->modal() && !w->menu_window()) return false;
  }
  QueueEvent(EventCloseWindow, layer->id, layer->id, 0);
  const int key = Fl::e_keysym;
  Fl::e_keysym = FL_Escape;
  popup->handle(FL_KEYBOARD);
  Fl::e_keysym = key;
  return true;
}

// The close box (WM_DELETE_WINDOW) arrives as FL_CLOSE; FLTK also calls the
// window callback for Escape, which must not count as a close request.
void WindowCallback(Fl_Widget* widget, void*) {
  if (Fl::event() != FL_CLOSE) return;
  LayerWindow* window = static_cast<LayerWindow*>(widget);
  QueueEvent(EventCloseWindow, window->id, window->id, 0);
}

void ButtonCallback(Fl_Widget* widget, void*) {
  if (ControlTag* tag = TagOf(widget)) QueueEvent(EventControl, tag->id, tag->owner, DetailClick);
}

void ListCallback(Fl_Widget* widget, void*) {
  if (ControlTag* tag = TagOf(widget)) QueueEvent(EventControl, tag->id, tag->owner, DetailChange);
}

void FieldCallback(Fl_Widget* widget, void*) {
  // The edit is already made when FLTK calls back; the platform field
  // reports "about to show" and "changed", in that order.
  if (ControlTag* tag = TagOf(widget)) {
    QueueEvent(EventControl, tag->id, tag->owner, DetailUpdate);
    QueueEvent(EventControl, tag->id, tag->owner, DetailChange);
  }
}

// FLTK ends the process when it cannot reach the X server; the layer
// instead refuses to create windows, so the caller decides what to do.
bool DisplayReady() {
  static int state = 0;  // 0 not tried, 1 open, -1 unavailable
  if (state == 0) {
    if (fl_display) {
      state = 1;
    } else if (Display* display = XOpenDisplay(nullptr)) {
      fl_open_display(display);
      state = 1;
    } else {
      state = -1;
    }
  }
  return state > 0;
}

}  // namespace

namespace ui_backend {

void Startup() {
  static bool done = false;
  if (done || !DisplayReady()) return;
  done = true;
  Fl::visual(FL_RGB);
  Fl::scheme("gtk+");
  // Keyboard focus is shown on every focusable widget, as on the platform.
  Fl::visible_focus(1);
  Fl::event_dispatch(DispatchEvent);
}

void* CreatePlatformWindow(UiHandle id, WindowRecord& /*rec*/, int32_t x, int32_t y, int32_t width,
                           int32_t height, const char* title, uint32_t flags) {
  Startup();
  if (!DisplayReady() || width <= 0 || height <= 0) return nullptr;
  if ((flags & ~(WindowCentreScreen | WindowCentreParent | WindowNoControlParent | WindowHidden)) ==
      0) {
    flags |= WindowStyleCaption;
  }
  LayerWindow* window = new LayerWindow(width, height, title);
  window->end();  // controls are added explicitly, never by "current group"
  window->id = id;
  window->callback(WindowCallback);
  window->size_range(width, height, width, height);
  window->labelsize(kTextSize);
  if ((flags & WindowStyleCaption) != WindowStyleCaption && !(flags & WindowToolFrame)) {
    window->border(0);
  }

  // Without the window manager's frame size before the window is shown,
  // the client area is what gets centred.
  int sx, sy, sw, sh;
  Fl::screen_xywh(sx, sy, sw, sh, 0);
  if (flags & WindowCentreScreen) {
    x = sx + (sw - std::min<int32_t>(width, sw)) / 2;
    y = sy + (sh - std::min<int32_t>(height, sh)) / 2;
  } else if (flags & WindowCentreParent) {
    Fl_Window* parent = Fl::first_window();
    int px = sx, py = sy, pw = sw, ph = sh;
    if (parent) {
      px = parent->x();
      py = parent->y();
      pw = parent->w();
      ph = parent->h();
    }
    x = px + (pw - width) / 2;
    y = py + (ph - height) / 2;
  }
  window->position(x, y);

  if (!(flags & WindowHidden)) {
    window->show();
    if (flags & WindowStyleMinimize) {
      window->iconize();
    } else if (!(flags & WindowNoActivate)) {
      // Shown and activated, also on a bare X server where no window
      // manager hands out the focus.
      window->wait_for_expose();
      window->take_focus();
      XSetInputFocus(fl_display, fl_xid(window), RevertToParent, CurrentTime);
    }
  }
  return window;
}

void DestroyPlatformWindow(UiHandle, WindowRecord& rec) {
  LayerWindow* window = static_cast<LayerWindow*>(rec.handle);
  if (!window) return;
  window->hide();
  delete window;  // its widgets go with it
}

void* CreateControl(UiHandle id, ControlRecord& rec, UiHandle parent_id, WindowRecord& parent,
                    int32_t x, int32_t y, int32_t width, int32_t height, const char* text,
                    int32_t minimum, int32_t maximum) {
  LayerWindow* window = static_cast<LayerWindow*>(parent.handle);
  if (!window || width < 0 || height < 0) return nullptr;
  Fl_Widget* widget = nullptr;
  ControlTag* tag = nullptr;
  switch (rec.kind) {
    case ControlKind::DropDownList: {
      DropDownList* list = new DropDownList(x, y, width, height);
      list->textsize(kTextSize);
      list->callback(ListCallback);
      list->Select(-1);
      widget = list;
      tag = list;
      break;
    }
    case ControlKind::TextField: {
      TextField* field = new TextField(x, y, width, height);
      field->textsize(kTextSize);
      field->value(text);
      field->when(FL_WHEN_CHANGED);
      field->callback(FieldCallback);
      widget = field;
      tag = field;
      break;
    }
    case ControlKind::PushButton: {
      PushButton* button = new PushButton(x, y, width, height);
      button->copy_label(text);
      button->callback(ButtonCallback);
      widget = button;
      tag = button;
      break;
    }
    case ControlKind::ProgressBar: {
      ProgressBar* bar = new ProgressBar(x, y, width, height);
      bar->minimum(static_cast<float>(minimum));
      bar->maximum(static_cast<float>(maximum));
      bar->value(static_cast<float>(minimum));
      bar->selection_color(FL_DARK_GREEN);
      bar->clear_visible_focus();
      widget = bar;
      tag = bar;
      break;
    }
  }
  if (!widget) return nullptr;
  widget->labelsize(kTextSize);
  tag->id = id;
  tag->owner = parent_id;
  window->add(widget);
  window->redraw();
  return widget;
}

void InsertItem(ControlRecord& rec, int32_t position, const char* text) {
  DropDownList* list = static_cast<DropDownList*>(static_cast<Fl_Widget*>(rec.handle));
  int count = static_cast<int>(list->items.size());
  // Like the platform list: -1 appends, a position past the end inserts nothing.
  if (position > count) return;
  int at = position < 0 ? count : position;
  int selected = list->value();
  list->insert(at, EscapeMenuText(text).c_str(), 0, nullptr, nullptr, 0);
  list->items.insert(list->items.begin() + at, text);
  // Inserting never selects; an item before the selection moves it down.
  if (selected >= 0 && at <= selected) ++selected;
  list->Select(selected);
}

void EnableControl(ControlRecord& rec, bool enable) {
  Fl_Widget* widget = static_cast<Fl_Widget*>(rec.handle);
  if (enable) {
    widget->activate();
    return;
  }
  // A control that loses its input while it holds the focus loses the focus
  // the ordinary way (the field reports it); FLTK alone would drop it silently.
  if (widget->contains(Fl::focus())) {
    if (Fl_Window* window = widget->window()) Fl::focus(window);
  }
  widget->deactivate();
}

std::string GetText(const ControlRecord& rec) {
  Fl_Widget* widget = static_cast<Fl_Widget*>(rec.handle);
  switch (rec.kind) {
    case ControlKind::DropDownList: {
      DropDownList* list = static_cast<DropDownList*>(widget);
      int selected = list->value();
      if (selected < 0 || selected >= static_cast<int>(list->items.size())) return std::string();
      return list->items[static_cast<size_t>(selected)];
    }
    case ControlKind::TextField: {
      const char* value = static_cast<TextField*>(widget)->value();
      return value ? value : "";
    }
    case ControlKind::PushButton: {
      const char* label = widget->label();
      return label ? label : "";
    }
    case ControlKind::ProgressBar:
      return std::string();
  }
  return std::string();
}

void SetText(ControlRecord& rec, const char* text) {
  Fl_Widget* widget = static_cast<Fl_Widget*>(rec.handle);
  switch (rec.kind) {
    case ControlKind::TextField:
      static_cast<TextField*>(widget)->value(text);
      break;
    case ControlKind::PushButton:
      widget->copy_label(text);
      widget->redraw();
      break;
    case ControlKind::DropDownList: {
      // Selects the item with exactly this text, or nothing.
      DropDownList* list = static_cast<DropDownList*>(widget);
      auto it = std::find(list->items.begin(), list->items.end(), std::string(text));
      list->Select(it == list->items.end() ? -1 : static_cast<int>(it - list->items.begin()));
      break;
    }
    case ControlKind::ProgressBar:
      break;
  }
}

void SetValue(ControlRecord& rec, int32_t value) {
  Fl_Widget* widget = static_cast<Fl_Widget*>(rec.handle);
  switch (rec.kind) {
    case ControlKind::ProgressBar: {
      ProgressBar* bar = static_cast<ProgressBar*>(widget);
      // FLTK draws past its bounds; the platform bar clamps to its range.
      float low = std::min(bar->minimum(), bar->maximum());
      float high = std::max(bar->minimum(), bar->maximum());
      const float clamped = std::clamp(static_cast<float>(value), low, high);
      // Every value() repaints; the update sets the bar once per word, but
      // its percentage changes at most a hundred times.
      if (clamped != bar->value()) bar->value(clamped);
      break;
    }
    case ControlKind::DropDownList: {
      DropDownList* list = static_cast<DropDownList*>(widget);
      list->Select(value);
      break;
    }
    default:
      break;
  }
}

bool IsTabEligible(const ControlRecord& rec) {
  if (rec.kind == ControlKind::ProgressBar) return false;  // no tab stop
  Fl_Widget* widget = static_cast<Fl_Widget*>(rec.handle);
  return widget->active_r() && widget->visible_r();
}

UiHandle FocusedControl() {
  ControlTag* tag = TagOf(Fl::focus());
  if (!tag || !Ui().controls.Find(tag->id)) return 0;
  return tag->id;
}

int32_t PumpOne(int32_t timeout) {
  if (!DisplayReady()) {
    // Without an X server no message can ever come. FLTK would return at
    // once and turn a waiting caller into a busy loop; wait as asked instead.
    if (timeout < 0) {
      for (;;) pause();
    }
    if (timeout > 0) Delay(static_cast<uint32_t>(timeout));
    return 0;
  }
  double handled;
  if (timeout == 0) {
    handled = Fl::wait(0.0);
  } else if (timeout < 0) {
    handled = Fl::wait();
  } else {
    handled = Fl::wait(timeout / 1000.0);
  }
  if (handled <= 0) return 0;
  // FLTK's number of the last event it handled stands for the platform
  // message; it is small, so it never looks like one of the layer's codes.
  int event = Fl::event();
  return event > 0 ? event : 1;
}

}  // namespace ui_backend
