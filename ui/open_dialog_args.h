// What the open-file chooser is given, worked out from the caller's texts
// apart from any platform: the filter list and the initial folder and name.
#pragma once

#include <string>
#include <vector>

struct OpenDialogArgs {
  // The pattern with every '|' turned into a zero byte, followed by at least
  // three zero bytes, so the list of display-name/pattern pairs always ends
  // in the double zero the chooser looks for.
  std::vector<char> filter;
  // Whether there is an initial folder at all; without a default path there
  // is none, and the chooser picks its own.
  bool has_folder = false;
  std::string folder;
  // At most kMaxInitialName characters; empty when the name holds a
  // character no file name may contain.
  std::string file_name;
};

// The chooser's name buffer is 260 bytes including the terminating zero.
constexpr size_t kOpenNameBufferSize = 260;
constexpr size_t kMaxInitialName = kOpenNameBufferSize - 1;

// `default_path` and `pattern` may be null (absent).
//
// A default path with a backslash anywhere but at its very start is split at
// its last backslash into folder and name; otherwise the whole path is the
// name and the folder is empty. A name holding a control byte or one of
// " \ / : * ? < > | is dropped, so the chooser never starts on a name it
// would refuse.
OpenDialogArgs MakeOpenDialogArgs(const char* default_path, const char* pattern);
