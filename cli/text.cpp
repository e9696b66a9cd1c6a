#include "cli/text.h"

#include <cstdio>

namespace {

constexpr int kBarWidth = 30;
constexpr int32_t kQuarter = 25;  // percent between plain progress lines

int64_t Bytes(int32_t words) { return kBytesPerWord * static_cast<int64_t>(words); }

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
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
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
  if (!detail.empty()) line += " (" + detail + ")";
  return line + "\n";
}

std::string TraceLostLine(const std::string& port, const std::string& trace,
                          const std::string& why) {
  return (port.empty() ? std::string("update-firmware-cli") : Printable(port)) +
         ": the trace file '" + Printable(trace) + "' could not be written: " + why + "\n";
}
