#include "ui/file_filter.h"

namespace {

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(' ');
  return text.substr(begin, end - begin + 1);
}

}  // namespace

std::string EscapeMenuText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '/' || c == '\\') out += '\\';
    if (c == '&') out += '&';
    out += c;
  }
  return out;
}

std::string PatternListToGlob(const std::string& patterns) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= patterns.size()) {
    size_t end = patterns.find(';', start);
    if (end == std::string::npos) end = patterns.size();
    std::string part = Trim(patterns.substr(start, end - start));
    if (part == "*.*") part = "*";
    if (!part.empty()) parts.push_back(part);
    start = end + 1;
  }
  if (parts.empty()) return std::string();
  if (parts.size() == 1) return parts[0];
  std::string glob = "{";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) glob += ',';
    glob += parts[i];
  }
  return glob + "}";
}

std::vector<FileFilter> ParseFileFilters(const char* pattern) {
  std::vector<FileFilter> filters;
  std::vector<std::string> fields;
  std::string text = pattern ? pattern : "";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('|', start);
    if (end == std::string::npos) end = text.size();
    fields.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  for (size_t i = 0; i + 1 < fields.size(); i += 2) {
    if (fields[i].empty() || fields[i + 1].empty()) break;
    std::string glob = PatternListToGlob(fields[i + 1]);
    if (!glob.empty()) filters.push_back(FileFilter{fields[i], glob});
  }
  return filters;
}

std::string ChooserFilterText(const std::vector<FileFilter>& filters) {
  std::string out;
  for (const FileFilter& f : filters) {
    if (!out.empty()) out += '\t';
    const std::string tail = "(" + f.glob + ")";
    size_t open = f.name.find('(');
    bool ends_with_glob = f.name.size() >= tail.size() &&
                          f.name.compare(f.name.size() - tail.size(), tail.size(), tail) == 0 &&
                          open == f.name.size() - tail.size();
    if (ends_with_glob) {
      out += EscapeMenuText(f.name);
      continue;
    }
    std::string name = f.name;
    for (char& c : name) {
      if (c == '(') c = '[';
      if (c == ')') c = ']';
    }
    out += EscapeMenuText(name + " " + tail);
  }
  return out;
}
