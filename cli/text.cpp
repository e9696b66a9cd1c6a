#include "cli/text.h"

#include <cstdio>
#include <ctime>

namespace {

constexpr int kBarWidth = 30;
constexpr int32_t kQuarter = 25;  // percent between plain progress lines

int64_t Bytes(int32_t words) { return kBytesPerWord * static_cast<int64_t>(words); }

// The length of the well-formed UTF-8 sequence at `text[at]`, with its code
// point in `code`; 0 when the bytes there are none (a stray or cut-short
// byte, an overlong form, a surrogate, past U+10FFFF).
size_t Utf8Length(const std::string& text, size_t at, uint32_t* code) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  size_t length = 0;
  uint32_t value = 0;
  // The second byte's range, narrower after some lead bytes.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = byte(at + k);
    if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
    value = value << 6 | (next & 0x3F);
  }
  *code = value;
  return length;
}

// U+202A to U+202E and U+2066 to U+2069: the embeddings, overrides and
// isolates that make a terminal show what follows in another order.
bool IsDirectionControl(uint32_t code) {
  return (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::string ClockText(int64_t seconds) {
  const int64_t h = seconds / 3600;
  const int64_t m = seconds / 60 % 60;
  const int64_t s = seconds % 60;
  char text[48];
  if (h > 0) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(h),
                  static_cast<long long>(m), static_cast<long long>(s));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(m),
                  static_cast<long long>(s));
  }
  return text;
}

std::string Pad(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string PadLeft(const std::string& text, size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string Printable(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t code = 0;
    const size_t length = Utf8Length(text, i, &code);
    // A C1 control works on a terminal whether it comes as one byte or as
    // its UTF-8 form; a direction override turns the text after it around.
    const bool control = length == 0 ? static_cast<unsigned char>(text[i]) >= 0x80 &&
                                           static_cast<unsigned char>(text[i]) <= 0x9F
                                     : code < 0x20 || (code >= 0x7F && code <= 0x9F) ||
                                           IsDirectionControl(code);
    const size_t taken = length == 0 ? 1 : length;
    for (size_t k = i; k < i + taken; ++k) {
      const auto byte = static_cast<unsigned char>(text[k]);
      if (control) {
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
      } else {
        out += text[k];
      }
    }
    i += taken;
  }
  return out;
}

std::string OutcomeLine(const OutcomeMessage& message) {
  return message.title + ": " + message.text;
}

std::string ProgressBar(int32_t index, int32_t count, int64_t size) {
  if (count <= 0) return std::string();
  if (size < Bytes(count)) size = Bytes(count);
  const int32_t percent = ProgressPercent(index, count);
  const std::string total = std::to_string(size);
  const size_t clock_width = ClockText(LineSeconds(Bytes(count))).size();
  const int filled = static_cast<int>(static_cast<int64_t>(index) * kBarWidth / count);
  return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] " +
         PadLeft(std::to_string(percent), 3) + "%  " + PadLeft(std::to_string(Bytes(index)),
                                                               total.size()) +
         "/" + total + " bytes  " + PadLeft(ClockText(LineSeconds(Bytes(count - index))),
                                            clock_width) +
         " left";
}

bool NewQuarter(int32_t index, int32_t count) {
  if (count <= 0 || index < 1 || index > count) return false;
  return ProgressPercent(index, count) / kQuarter != ProgressPercent(index - 1, count) / kQuarter;
}

std::string SentText(int32_t index, int32_t count, int64_t size) {
  if (size < Bytes(count)) size = Bytes(count);
  return "Sent " + std::to_string(Bytes(index)) + " of " + std::to_string(size) + " bytes (" +
         std::to_string(ProgressPercent(index, count)) + "%)";
}

std::string ProgressText(int32_t index, int32_t count, int64_t size, bool is_tty) {
  if (count <= 0 || index < 1 || index > count) return std::string();
  if (!is_tty) return NewQuarter(index, count) ? SentText(index, count, size) + "\n" : "";
  const bool same_percent = ProgressPercent(index, count) == ProgressPercent(index - 1, count);
  const bool same_clock =
      LineSeconds(Bytes(count - index)) == LineSeconds(Bytes(count - index + 1));
  if (index != 1 && index != count && same_percent && same_clock) return std::string();
  return "\r" + ProgressBar(index, count, size) + (index == count ? "\n" : "");
}

std::string TallyText(int64_t done, int64_t failed) {
  return "Tally: " + std::to_string(done) + " done, " + std::to_string(failed) + " failed\n";
}

std::string SizeText(int64_t size) {
  return std::to_string(size) + " bytes, about " + ClockText(LineSeconds(size)) + " on the line";
}

std::string BoardLine(const std::string& port, const OutcomeMessage& message,
                      const std::string& detail) {
  std::string line = port.empty() ? std::string() : Printable(port) + ": ";
  line += OutcomeLine(message);
  if (!detail.empty()) line += " (" + Printable(detail) + ")";
  return line + "\n";
}

std::string TraceLostLine(const std::string& port, const std::string& trace,
                          const std::string& why) {
  return (port.empty() ? std::string("update-firmware-cli") : Printable(port)) +
         ": the trace file '" + Printable(trace) + "' could not be written: " + why + "\n";
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  const std::tm* utc = std::gmtime(&now);
  char text[32] = {};
  if (utc != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
  return text;
}
