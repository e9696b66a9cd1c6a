// The two modal dialogs on FLTK 1.3: a plain message box built here (title,
// text, one OK button, no icon) and FLTK's own file chooser, kept in-process
// so that it looks and behaves the same on every machine.
//
// Both are modal FLTK windows run by a local wait loop: the main window keeps
// being painted but FLTK hands its input to the modal window.
#if defined(_WIN32)
#error "dialogs_fltk.cpp is the Linux (FLTK on X11) backend"
#endif
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_File_Chooser.H>
#include <FL/Fl_File_Input.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Window.H>
#include <FL/filename.H>
#include <FL/fl_draw.H>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "ui/dialogs.h"
#include "ui/file_filter.h"
#include "ui/open_dialog_args.h"

namespace {

constexpr int kTextSize = 12;
constexpr int kMargin = 16;
constexpr int kButtonWidth = 80;
constexpr int kButtonHeight = 24;

// Dialogs come up centred over the topmost window shown before them (the
// owner), or over the screen when there is none.
struct OwnerArea {
  int x, y, w, h;
};

OwnerArea FindOwnerArea() {
  OwnerArea area;
  Fl::screen_xywh(area.x, area.y, area.w, area.h, 0);
  if (Fl_Window* owner = Fl::first_window()) {
    if (owner->shown() && owner->visible()) area = {owner->x(), owner->y(), owner->w(), owner->h()};
  }
  return area;
}

void CentreOver(const OwnerArea& area, Fl_Window& dialog) {
  dialog.position(std::max(0, area.x + (area.w - dialog.w()) / 2),
                  std::max(0, area.y + (area.h - dialog.h()) / 2));
}

void RunModal(Fl_Window& dialog) {
  dialog.set_modal();
  dialog.show();
  while (dialog.shown()) Fl::wait();
}

Fl_File_Input* FindNameField(Fl_Widget* widget) {
  if (Fl_File_Input* field = dynamic_cast<Fl_File_Input*>(widget)) return field;
  if (Fl_Group* group = widget ? widget->as_group() : nullptr) {
    for (int i = 0; i < group->children(); ++i) {
      if (Fl_File_Input* field = FindNameField(group->child(i))) return field;
    }
  }
  return nullptr;
}

// FLTK's chooser opens with its folder selected in the name field. Starting
// from "folder/" (plus the initial name, selected) shows where a typed name
// goes and lets a person just type it.
void PrepareNameField(Fl_Window* chooser_window, const std::string& folder,
                      const std::string& name) {
  Fl_File_Input* field = FindNameField(chooser_window);
  if (!field) return;
  std::string text = folder;
  if (text.empty() || text.back() != '/') text += '/';
  int name_start = static_cast<int>(text.size());
  text += name;
  field->value(text.c_str());
  field->position(static_cast<int>(text.size()), name_start);
  field->take_focus();
}

// The folder the chooser lists, ending in '/'. FLTK's empty "no folder"
// state lists the file systems, which all hang off the root.
std::string FolderShown(Fl_File_Chooser& chooser) {
  std::string folder = chooser.directory() ? chooser.directory() : "";
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

// The chooser follows its name field on every key (completion, listing the
// folder typed so far, Return to finish) but gets two things wrong: it makes
// a relative name absolute against the process's working directory rather
// than the folder it shows, leaving the cursor at the front, and a path whose
// only '/' is the leading one ("/", "/tm") takes it to its "no folder" state,
// which empties the field - a "/" typed over a selected field vanishes and
// the rest of the path lands in the wrong folder. FLTK's own handling is
// kept, but it is only ever handed an absolute path whose folder part it
// can follow.
struct NameFieldHook {
  Fl_File_Chooser* chooser = nullptr;
  Fl_Callback* fltk_callback = nullptr;
  void* fltk_data = nullptr;
};

void OnNameFieldEdited(Fl_Widget* widget, void* data) {
  NameFieldHook& hook = *static_cast<NameFieldHook*>(data);
  Fl_File_Input& field = *static_cast<Fl_File_Input*>(widget);
  std::string text = field.value() ? field.value() : "";
  int position = field.position();
  int mark = field.mark();
  if (text.find_first_of("~$") != std::string::npos) {
    char expanded[FL_PATH_MAX];
    fl_filename_expand(expanded, sizeof expanded, text.c_str());
    text = expanded;
    position = mark = static_cast<int>(text.size());
  }
  if (!text.empty() && text[0] != '/') {
    std::string folder = FolderShown(*hook.chooser);
    text.insert(0, folder);
    position += static_cast<int>(folder.size());
    mark += static_cast<int>(folder.size());
  }
  if (!text.empty() && text.rfind('/') == 0 && std::string(hook.chooser->directory()) != "/") {
    hook.chooser->directory("/");  // resets the field, hence the value below
  }
  if (text != field.value()) field.value(text.c_str());
  field.position(position, mark);
  if (hook.fltk_callback) hook.fltk_callback(widget, hook.fltk_data);
}

void OkCallback(Fl_Widget* widget, void*) { widget->window()->hide(); }

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Restores the working directory on every way out of the chooser.
class KeepWorkingDirectory {
 public:
  KeepWorkingDirectory() { saved_ = getcwd(path_, sizeof path_) != nullptr; }
  ~KeepWorkingDirectory() {
    if (saved_ && chdir(path_) != 0) {
      // Nothing better to do: the folder vanished while the chooser was up.
    }
  }
  const char* path() const { return saved_ ? path_ : "."; }

 private:
  char path_[PATH_MAX];
  bool saved_ = false;
};

}  // namespace

int32_t ShowMessage(const char* title, const char* text, uint32_t /*style*/) {
  std::string caption = title ? title : "";
  std::string body = text ? text : "";

  fl_font(FL_HELVETICA, kTextSize);
  int text_w = 0, text_h = 0;
  fl_measure(body.c_str(), text_w, text_h, 0);
  text_w += 8;  // FLTK insets a left-aligned label by 3 px on each side
  int width = std::max({text_w + 2 * kMargin, kButtonWidth + 2 * kMargin, 200});
  int height = kMargin + std::max(text_h, kTextSize) + kMargin + kButtonHeight + kMargin;

  Fl_Window dialog(width, height);
  dialog.copy_label(caption.c_str());
  Fl_Box message(kMargin, kMargin, width - 2 * kMargin, std::max(text_h, kTextSize));
  message.copy_label(body.c_str());
  message.labelsize(kTextSize);
  message.align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_WRAP);
  Fl_Return_Button ok((width - kButtonWidth) / 2, height - kMargin - kButtonHeight, kButtonWidth,
                      kButtonHeight, "OK");
  ok.labelsize(kTextSize);
  ok.callback(OkCallback);
  dialog.end();
  // Closing by the close box or Escape hides the box, which counts as OK,
  // as for the platform's box with only an OK button.
  dialog.size_range(width, height, width, height);
  CentreOver(FindOwnerArea(), dialog);
  RunModal(dialog);
  return 1;  // IDOK
}

std::string ChooseFileToOpen(const char* title, const char* default_path, const char* pattern,
                             int32_t pattern_position) {
  KeepWorkingDirectory cwd;

  // The default path follows the same folder/name rule as on Windows, with
  // '/' as the separator.
  std::string path = default_path ? default_path : "";
  std::replace(path.begin(), path.end(), '/', '\\');
  OpenDialogArgs args = MakeOpenDialogArgs(default_path ? path.c_str() : nullptr, nullptr);
  std::string folder = args.folder;
  std::string name = args.file_name;
  std::replace(folder.begin(), folder.end(), '\\', '/');
  std::vector<FileFilter> filters = ParseFileFilters(pattern);
  std::string filter_text = ChooserFilterText(filters);
  if (folder.empty() || !IsDirectory(folder)) folder = cwd.path();

  NameFieldHook hook;  // outlives the chooser, whose field points to it
  Fl_File_Chooser chooser(folder.c_str(), filter_text.empty() ? nullptr : filter_text.c_str(),
                          Fl_File_Chooser::CREATE, title ? title : "");
  if (Fl_File_Input* field = FindNameField(chooser.newButton->window())) {
    hook.chooser = &chooser;
    hook.fltk_callback = field->callback();
    hook.fltk_data = field->user_data();
    field->callback(OnNameFieldEdited, &hook);
  }
  chooser.ok_label("Open");
  if (!filters.empty()) {
    bool in_range = pattern_position >= 0 && pattern_position < static_cast<int32_t>(filters.size());
    chooser.filter_value(in_range ? pattern_position : 0);
  }

  const OwnerArea owner = FindOwnerArea();
  std::string chosen;
  for (;;) {
    chooser.show();
    // The chooser keeps its window to itself; once shown it is the topmost.
    Fl_Window* shown = Fl::first_window();
    if (shown && shown->label() && title && std::string(shown->label()) == title) {
      CentreOver(owner, *shown);
      if (chosen.empty()) PrepareNameField(shown, chooser.directory(), name);
    }
    while (chooser.shown()) Fl::wait();
    const char* value = chooser.count() > 0 ? chooser.value(1) : nullptr;
    if (!value || !*value) return std::string();
    // A relative name is in the folder shown, whatever the working directory.
    chosen = value[0] == '/' ? value : FolderShown(chooser) + value;
    // A name that need not exist is fine; a folder that does not exist is
    // refused and the chooser comes back.
    if (!IsDirectory(chosen) && IsDirectory(ParentOf(chosen))) break;
    ShowMessage(title ? title : "", "The folder of this path does not exist.", 0);
  }
  return chosen;
}
