// The two modal dialogs. Both block until the user closes them; while one
// is up the main window is painted but takes no input.
#pragma once

#include <cstdint>
#include <string>

// A modal box with the title, the text and the platform style flags (0: one
// OK button, no icon). Returns the platform's answer, 0 if it could not be shown.
int32_t ShowMessage(const char* title, const char* text, uint32_t style = 0);

// The system's open-file chooser. `pattern` is "Name|pattern|Name|pattern";
// `pattern_position` 0 selects the first filter. Returns the chosen full
// path, or empty text on cancel or failure. The current directory is left
// as it was.
std::string ChooseFileToOpen(const char* title, const char* default_path, const char* pattern,
                             int32_t pattern_position);
