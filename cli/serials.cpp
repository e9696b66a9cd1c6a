#include "cli/serials.h"

#include <fstream>
#include <set>
#include <sstream>

#include "cli/platform.h"
#include "cli/text.h"

namespace {

// Decimal, or hexadecimal after "0x"; false past 64 bits.
bool ParseValue(const std::string& text, uint64_t* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty()) return false;
  const uint64_t base = hex ? 16 : 10;
  uint64_t v = 0;
  for (const char c : digits) {
    const int d = c >= '0' && c <= '9'   ? c - '0'
                  : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                : -1;
    if (d < 0 || v > (UINT64_MAX - static_cast<uint64_t>(d)) / base) return false;
    v = v * base + static_cast<uint64_t>(d);
  }
  *value = v;
  return true;
}

std::string Hex(uint64_t v, int digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), kDigits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  while (static_cast<int>(s.size()) < digits) s.insert(s.begin(), '0');
  return s;
}

std::string Address(uint64_t a) { return "0x" + Hex(a, 8); }

// Held for one take: the other boards, runs and stations wait for it.
class Lock {
 public:
  Lock(const std::string& path, std::string* why) : handle_(cli_platform::LockPath(path, why)) {}
  ~Lock() {
    if (handle_ != 0) cli_platform::UnlockPath(handle_);
  }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  intptr_t handle() const { return handle_; }

 private:
  intptr_t handle_;
};

// The counter's state: "NEXT\n". Missing: `*exists` false.
std::string ReadCounter(const std::string& state, bool* exists, uint64_t* next) {
  std::ifstream in(state, std::ios::binary);
  *exists = static_cast<bool>(in);
  if (!*exists) return std::string();
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text == "used-up") return "the counter in '" + Printable(state) + "' is used up";
  if (!ParseValue(text, next)) {
    return "the counter's file '" + Printable(state) + "' does not hold the next value";
  }
  return std::string();
}

class Counter : public SerialSource {
 public:
  explicit Counter(const SerialPlan& plan) : plan_(plan) {}

  bool Take(const std::string& /*port*/, std::string* value, std::string* why) override {
    const Lock lock(CounterLockPath(plan_.state), why);
    if (lock.handle() == 0) return false;
    bool exists = false;
    uint64_t next = plan_.first;
    *why = ReadCounter(plan_.state, &exists, &next);
    if (!why->empty()) return false;
    if (!exists && !plan_.first_given) {
      *why = "the counter's file '" + Printable(plan_.state) + "' is gone";
      return false;
    }
    std::vector<uint8_t> field;
    std::string written;
    const std::string text = std::to_string(next);
    const std::string misfit = EncodeSerial(plan_, text, &field, &written);
    if (!misfit.empty()) {
      *why = "the counter has reached " + text + ": " + misfit;
      return false;
    }
    // Past the last value the counter stays put, and that value is refused
    // next time as burnt.
    const uint64_t after = next > UINT64_MAX - plan_.step ? next : next + plan_.step;
    const std::string state = after == next ? "used-up\n" : std::to_string(after) + "\n";
    // On the disk before the value is used: a run killed now has burnt it.
    if (!cli_platform::WriteWholeFile(plan_.state, state.data(), state.size(), why)) {
      *why = "the counter's file '" + Printable(plan_.state) + "' could not be written: " + *why;
      return false;
    }
    *value = text;
    return true;
  }

 private:
  SerialPlan plan_;
};

class List : public SerialSource {
 public:
  List(const SerialPlan& plan, std::vector<std::string> values)
      : plan_(plan), values_(std::move(values)) {}

  bool Take(const std::string& port, std::string* value, std::string* why) override {
    const std::string used_path = ListUsedPath(plan_.list);
    const Lock lock(used_path, why);
    if (lock.handle() == 0) return false;
    std::string used_text;
    if (!cli_platform::ReadLocked(lock.handle(), &used_text, why)) return false;
    // Whatever a line begins with is burnt, a line cut short by a crash
    // too: it can only skip a value, never give one twice.
    std::set<std::string> used;
    std::istringstream lines(used_text);
    for (std::string line; std::getline(lines, line);) used.insert(line.substr(0, line.find('\t')));
    for (const std::string& v : values_) {
      if (used.count(v) != 0) continue;
      std::string entry = v + "\t" + port + "\t" + UtcNow() + "\n";
      if (!used_text.empty() && used_text.back() != '\n') entry.insert(entry.begin(), '\n');
      if (!cli_platform::AppendLocked(lock.handle(), entry, why)) {
        *why = "'" + Printable(used_path) + "' could not be written: " + *why;
        return false;
      }
      *value = v;
      return true;
    }
    *why = "no value left in the list '" + Printable(plan_.list) + "': all " +
           std::to_string(values_.size()) + " have been given (" + Printable(used_path) + ")";
    return false;
  }

 private:
  SerialPlan plan_;
  std::vector<std::string> values_;
};

std::string NetworkProblem(const std::string& path, bool force) {
  if (force || !cli_platform::OnNetworkFileSystem(path)) return std::string();
  return "'" + Printable(path) +
         "' is on a network file system, where two stations' locks cannot be trusted to keep "
         "them from taking the same value; give each station its own file on a local disk "
         "(--force uses it all the same)";
}

}  // namespace

bool ParseSerialFormat(const std::string& text, SerialPlan* plan) {
  static const struct {
    const char* name;
    SerialFormat format;
    int32_t width;
  } kFixed[] = {{"u32le", SerialFormat::U32Le, 4},
                {"u32be", SerialFormat::U32Be, 4},
                {"u64le", SerialFormat::U64Le, 8},
                {"u64be", SerialFormat::U64Be, 8}};
  for (const auto& f : kFixed) {
    if (text == f.name) {
      plan->format = f.format;
      plan->width = f.width;
      plan->format_name = text;
      return true;
    }
  }
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string kind = text.substr(0, colon);
  const std::string digits = text.substr(colon + 1);
  if ((kind != "ascii" && kind != "hex") || digits.empty() || digits.size() > 2 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int32_t width = std::stoi(digits);
  if (width < 1 || width > 64) return false;
  plan->format = kind == "ascii" ? SerialFormat::Ascii : SerialFormat::Hex;
  plan->width = width;
  plan->format_name = text;
  return true;
}

std::string EncodeSerial(const SerialPlan& plan, const std::string& value,
                         std::vector<uint8_t>* field, std::string* written) {
  const std::string shown = "'" + Printable(value) + "'";
  uint64_t number = 0;
  const bool numeric = ParseValue(value, &number);
  const std::string width = std::to_string(plan.width);
  field->clear();
  switch (plan.format) {
    case SerialFormat::U32Le:
    case SerialFormat::U32Be:
    case SerialFormat::U64Le:
    case SerialFormat::U64Be: {
      if (!numeric) return shown + " is not a number (decimal, or hex after 0x)";
      if (plan.width == 4 && number > UINT32_MAX) return shown + " does not fit in 32 bits";
      const bool little = plan.format == SerialFormat::U32Le || plan.format == SerialFormat::U64Le;
      for (int32_t i = 0; i < plan.width; ++i) {
        const int32_t shift = 8 * (little ? i : plan.width - 1 - i);
        field->push_back(static_cast<uint8_t>(number >> shift));
      }
      *written = std::to_string(number);
      return std::string();
    }
    case SerialFormat::Hex: {
      if (!numeric) return shown + " is not a number (decimal, or hex after 0x)";
      *written = Hex(number, plan.width);
      if (static_cast<int32_t>(written->size()) > plan.width) {
        return shown + " needs more than " + width + " hex digits";
      }
      break;
    }
    case SerialFormat::Ascii: {
      if (numeric) {
        *written = std::to_string(number);
        if (static_cast<int32_t>(written->size()) > plan.width) {
          return shown + " needs more than " + width + " digits";
        }
        written->insert(0, static_cast<size_t>(plan.width) - written->size(), '0');
        break;
      }
      for (const char c : value) {
        if (c < 0x20 || c > 0x7E) return shown + " is not printable ASCII";
      }
      if (static_cast<int32_t>(value.size()) != plan.width) {
        return shown + " is not " + width + " characters long";
      }
      *written = value;
      break;
    }
  }
  field->assign(written->begin(), written->end());
  return std::string();
}

std::string SerialPlace(const SerialPlan& plan, const Image& image) {
  return image.facts.flattened ? Address(plan.at) : "offset " + std::to_string(plan.at);
}

std::string SerialFieldProblem(const SerialPlan& plan, const Image& image, int64_t* offset) {
  const uint64_t width = static_cast<uint64_t>(plan.width);
  const uint64_t sent = static_cast<uint64_t>(image.sent());
  const std::string field = plan.format_name + " field (" + std::to_string(width) + " bytes)";
  if (image.facts.flattened) {
    const uint64_t first = image.facts.first_address;
    if (plan.at < first || plan.at - first > sent || sent - (plan.at - first) < width) {
      return "the " + field + " at " + Address(plan.at) +
             " does not lie wholly inside the image, which is sent from " + Address(first) +
             " to " + Address(first + sent - (sent > 0 ? 1 : 0));
    }
    *offset = static_cast<int64_t>(plan.at - first);
    return std::string();
  }
  if (plan.at > sent || sent - plan.at < width) {
    return "the " + field + " at offset " + std::to_string(plan.at) +
           " does not lie wholly inside the image, whose " + std::to_string(sent) +
           " bytes sent are offsets 0 to " + std::to_string(sent > 0 ? sent - 1 : 0);
  }
  *offset = static_cast<int64_t>(plan.at);
  return std::string();
}

Image SerializedImage(const Image& base, int64_t offset, const std::vector<uint8_t>& field) {
  Image image = base;
  std::copy(field.begin(), field.end(), image.bytes.begin() + offset);
  SealImage(&image);
  return image;
}

std::string CounterLockPath(const std::string& state) { return state + ".lock"; }

std::string ListUsedPath(const std::string& list) { return list + ".used"; }

std::unique_ptr<SerialSource> OpenSerialSource(const SerialPlan& plan, bool force,
                                               std::string* why) {
  if (!plan.state.empty()) {
    *why = NetworkProblem(plan.state, force);
    if (!why->empty()) return nullptr;
    bool exists = false;
    uint64_t next = 0;
    *why = ReadCounter(plan.state, &exists, &next);
    if (!why->empty()) return nullptr;
    if (!exists && !plan.first_given) {
      *why = "the counter's file '" + Printable(plan.state) +
             "' is not there yet; --serial-first N starts a counter at N";
      return nullptr;
    }
    return std::make_unique<Counter>(plan);
  }
  *why = NetworkProblem(plan.list, force);
  if (!why->empty()) return nullptr;
  std::ifstream in(plan.list, std::ios::binary);
  if (!in) {
    *why = "the list '" + Printable(plan.list) + "' cannot be read";
    return nullptr;
  }
  std::vector<std::string> values;
  std::set<std::string> seen;
  int line_number = 0;
  for (std::string line; std::getline(in, line);) {
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<uint8_t> field;
    std::string written;
    std::string problem = EncodeSerial(plan, line, &field, &written);
    // Two spellings of one number would burn it twice.
    if (problem.empty() && !seen.insert(written).second) problem = "its value is in the list twice";
    if (!problem.empty()) {
      *why = Printable(plan.list) + " line " + std::to_string(line_number) + ": " + problem;
      return nullptr;
    }
    values.push_back(line);
  }
  return std::make_unique<List>(plan, std::move(values));
}

bool RunSerials::Next(const Image& base, const std::string& port, Image* image,
                      BoardSerial* serial, std::string* why) {
  std::string value;
  if (!source->Take(port, &value, why)) return false;
  std::vector<uint8_t> field;
  *why = EncodeSerial(plan, value, &field, &serial->value);
  if (!why->empty()) return false;
  *image = SerializedImage(base, offset, field);
  serial->at = at;
  serial->sha256 = image->facts.sha256;
  return true;
}

std::string PrepareSerials(const SerialPlan& plan, const Image& image, bool force,
                           RunSerials* serials) {
  serials->plan = plan;
  std::string why = SerialFieldProblem(plan, image, &serials->offset);
  if (!why.empty()) return why;
  serials->at = SerialPlace(plan, image);
  serials->source = OpenSerialSource(plan, force, &why);
  return why;
}
