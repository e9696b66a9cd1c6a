#include "ui/open_dialog_args.h"

#include <cstring>

namespace {

bool IsValidInitialName(const std::string& name) {
  static const char kForbidden[] = "\"\\/:*?<>|";
  for (char c : name) {
    // Bytes 128 and up are ordinary ANSI letters; only the control range
    // below 32 is refused, so compare unsigned.
    if (static_cast<unsigned char>(c) < 32) return false;
    if (std::memchr(kForbidden, c, sizeof kForbidden - 1)) return false;
  }
  return true;
}

}  // namespace

OpenDialogArgs MakeOpenDialogArgs(const char* default_path, const char* pattern) {
  OpenDialogArgs args;

  const std::string filter_text = pattern ? pattern : "";
  args.filter.assign(filter_text.size() + 3, '\0');
  for (size_t i = 0; i < filter_text.size(); ++i) {
    args.filter[i] = filter_text[i] == '|' ? '\0' : filter_text[i];
  }

  if (!default_path) return args;
  const std::string path = default_path;
  args.has_folder = true;
  const size_t last = path.rfind('\\');
  if (last != std::string::npos && last > 0) {
    args.folder = path.substr(0, last);
    args.file_name = path.substr(last + 1, kMaxInitialName);
  } else {
    args.file_name = path.substr(0, kMaxInitialName);
  }
  if (!IsValidInitialName(args.file_name)) args.file_name.clear();
  return args;
}
