#include "cli/profile.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

// Errors come back as values: no exception may leave this file.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "cli/text.h"
#include "cli/words.h"

namespace fs = std::filesystem;

namespace {

enum class Kind { Text, Number, Flag, Words };

// The keys a profile may hold, each with the option of flash it stands for.
struct Key {
  const char* name;
  const char* option;
  Kind kind;
};
const Key kKeys[] = {
    {"ports", "PORT...", Kind::Words},           {"image", "FILE", Kind::Text},
    {"expect_sha256", "--expect-sha256", Kind::Text}, {"log", "--log", Kind::Text},
    {"trace", "--trace", Kind::Text},             {"force", "--force", Kind::Flag},
    {"format", "--format", Kind::Text},           {"base", "--base", Kind::Number},
    {"fill", "--fill", Kind::Number},             {"max_gap", "--max-gap", Kind::Number},
    {"attempts", "--attempts", Kind::Number},     {"reset", "--reset", Kind::Text},
    {"count", "--count", Kind::Number},           {"serial_at", "--serial-at", Kind::Number},
    {"serial_format", "--serial-format", Kind::Text},
    {"serial_state", "--serial-state", Kind::Text},
    {"serial_first", "--serial-first", Kind::Number},
    {"serial_step", "--serial-step", Kind::Number},
    {"serial_list", "--serial-list", Kind::Text},
};

const char* KindText(Kind kind) {
  switch (kind) {
    case Kind::Text: return "a string";
    case Kind::Number: return "a number (or a string such as \"0x08000000\")";
    case Kind::Flag: return "true or false";
    case Kind::Words: return "a list of strings";
  }
  return "";
}

class ProfileReader {
 public:
  explicit ProfileReader(std::string path) : path_(std::move(path)) {}

  std::string Where(const toml::source_region& at) const {
    return Printable(path_) + ":" + std::to_string(at.begin.line) + ": ";
  }

  // The value of one key as the command line would have written it; the
  // key's line is kept for the checks made later.
  std::string Read(const std::string& name, const toml::node& node, const Key& key) {
    lines_[key.option] = Where(node.source());
    std::string* text = &words_[name];
    if (key.kind == Kind::Words) {
      const toml::array* list = node.as_array();
      if (list == nullptr || list->empty()) {
        return Where(node.source()) + name + " takes " + KindText(key.kind) + ", at least one";
      }
      for (const toml::node& item : *list) {
        if (!item.is_string()) return Where(item.source()) + name + " takes " + KindText(key.kind);
        ports_.push_back(*item.value<std::string>());
      }
      return std::string();
    }
    if (key.kind == Kind::Flag && node.is_boolean()) {
      *text = *node.value<bool>() ? "true" : "";
      return std::string();
    }
    if (key.kind != Kind::Flag && node.is_string()) {
      *text = *node.value<std::string>();
      // An empty value would read as the key left out, as on the command
      // line.
      if (text->empty()) {
        return Where(node.source()) + name +
               ": an empty value is refused; leave the key out instead";
      }
      return std::string();
    }
    if (key.kind == Kind::Number && node.is_integer()) {
      const int64_t value = *node.value<int64_t>();
      if (value < 0) return Where(node.source()) + name + " takes a number, 0 or more";
      *text = std::to_string(value);
      return std::string();
    }
    return Where(node.source()) + name + " takes " + KindText(key.kind);
  }

  // A path of the profile, from the profile's folder.
  std::string Placed(const std::string& name) const {
    const std::string& text = Word(name);
    if (text.empty()) return text;
    const fs::path given = fs::u8path(text);
    if (given.is_absolute()) return text;
    return (fs::u8path(path_).parent_path() / given).lexically_normal().u8string();
  }

  const std::string& Word(const std::string& name) const {
    static const std::string none;
    const auto found = words_.find(name);
    return found == words_.end() ? none : found->second;
  }

  // A check's reason names options as the command line spells them; said
  // of a profile, it names the keys, at the line of the first one named.
  // One that names none is about the port words.
  std::string AsKeys(std::string why) const {
    const auto ports = lines_.find("PORT...");
    std::string where = ports == lines_.end() ? Printable(path_) + ": " : ports->second;
    size_t first = std::string::npos;
    std::vector<const Key*> keys;
    for (const Key& k : kKeys) keys.push_back(&k);
    // Longest first: "--format" is inside "--serial-format".
    std::sort(keys.begin(), keys.end(), [](const Key* a, const Key* b) {
      return std::string(a->option).size() > std::string(b->option).size();
    });
    for (const Key* k : keys) {
      const std::string option = k->option;
      if (option.compare(0, 2, "--") != 0 && option != "FILE") continue;
      for (size_t at = why.find(option); at != std::string::npos; at = why.find(option, at)) {
        if (at < first || first == std::string::npos) {
          first = at;
          const auto line = lines_.find(option);
          where = line == lines_.end() ? Printable(path_) + ": " : line->second;
        }
        why.replace(at, option.size(), k->name);
      }
    }
    // "the --serial- options": the family, after its members.
    for (size_t at; (at = why.find("--serial-")) != std::string::npos;) {
      why.replace(at, 9, "serial_");
    }
    return where + why;
  }

  const std::vector<std::string>& ports() const { return ports_; }

 private:
  std::string path_;
  std::map<std::string, std::string> words_;
  std::map<std::string, std::string> lines_;
  std::vector<std::string> ports_;
};

}  // namespace

std::string LoadProfile(const std::string& path, CliArguments* flash) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) {
    return Printable(path) + ": the profile cannot be read";
  }
  toml::parse_result parsed = toml::parse(text.str(), path);
  if (!parsed) {
    const toml::parse_error& error = parsed.error();
    return Printable(path) + ":" + std::to_string(error.source().begin.line) + ": " +
           Printable(std::string(error.description()));
  }
  const toml::table& table = parsed.table();
  ProfileReader reader(path);
  for (const auto& [name, node] : table) {
    const std::string key_name(name.str());
    const Key* key = nullptr;
    for (const Key& k : kKeys) {
      if (key_name == k.name) key = &k;
    }
    if (key == nullptr) {
      return reader.Where(name.source()) + "unknown key '" + Printable(key_name) + "'";
    }
    const std::string why = reader.Read(key_name, node, *key);
    if (!why.empty()) return why;
  }
  if (reader.ports().empty()) {
    return Printable(path) + ": ports is missing: the ports or selectors to flash";
  }
  if (reader.Word("image").empty()) {
    return Printable(path) + ": image is missing: the file to flash";
  }
  // A station that flashes whatever file lies there cannot be trusted.
  if (reader.Word("expect_sha256").empty()) {
    return reader.AsKeys("FILE has no expect_sha256 beside it: a profile must name the image's "
                         "SHA-256");
  }
  CliArguments a;
  a.command = CliCommand::Flash;
  a.wait = true;
  a.force = !reader.Word("force").empty();
  a.expect_sha256 = reader.Word("expect_sha256");
  a.log = reader.Placed("log");
  a.trace = reader.Placed("trace");
  const std::string& attempts = reader.Word("attempts");
  if (!attempts.empty()) {
    const bool digits =
        attempts.size() <= 3 && attempts.find_first_not_of("0123456789") == std::string::npos;
    a.attempts = digits ? std::stoi(attempts) : 0;
    if (a.attempts < 1 || a.attempts > 100) {
      return reader.AsKeys("--attempts takes a number from 1 to 100");
    }
  }
  const ImageWords image{reader.Word("format"), reader.Word("base"), reader.Word("fill"),
                         reader.Word("max_gap")};
  const SerialWords serial{reader.Word("serial_at"), reader.Word("serial_format"),
                           reader.Word("serial_first"), reader.Word("serial_step"),
                           reader.Placed("serial_state"), reader.Placed("serial_list"), ""};
  std::vector<std::string> words = reader.ports();
  words.push_back(reader.Placed("image"));
  const std::string& count = reader.Word("count");
  std::string why = CheckImageWords(image, &a.image);
  if (why.empty()) why = CheckFlash(&a, words, count, !count.empty(), reader.Word("reset"));
  if (why.empty()) why = CheckSerialWords(serial, false, &a.serial);
  if (!why.empty()) return reader.AsKeys(why);
  *flash = std::move(a);
  return std::string();
}
