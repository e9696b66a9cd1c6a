// The "Name|pattern|..." filter list of the open-file dialog turned into
// what a chooser that matches shell-style patterns needs. Pure text work,
// kept apart from any toolkit so it can be tested without a screen.
#pragma once

#include <string>
#include <vector>

struct FileFilter {
  std::string name;  // what the chooser shows, e.g. "Firmware (*.fw)"
  std::string glob;  // one shell-style pattern, e.g. "*.fw" or "{*.fw,*.bin}"
};

// "Name|pat;pat|Name|pat" -> pairs. The list ends at the first empty name or
// pattern (the platform list ends at its first empty string); a name without
// a pattern is dropped. Each pattern list "a;b;" becomes one glob: empty
// alternatives are left out, "*.*" means every file ("*"), several
// alternatives become "{a,b}". A pair whose patterns are all empty is dropped.
std::vector<FileFilter> ParseFileFilters(const char* pattern);
std::string PatternListToGlob(const std::string& patterns);

// The filter text of FLTK's file chooser: entries separated by tabs, each
// "Name (glob)", from which the chooser takes the text between the first
// '(' and the last ')' as the glob. A name that already ends in "(glob)" is
// used as it is; other parentheses in a name become brackets so they cannot
// be taken for the glob. '/', '\\' and '&' are escaped for the menu.
std::string ChooserFilterText(const std::vector<FileFilter>& filters);

// Text as FLTK's menus show it literally: a menu label is parsed ('/' makes
// submenus, '&' underlines), so those characters are escaped.
std::string EscapeMenuText(const std::string& text);
