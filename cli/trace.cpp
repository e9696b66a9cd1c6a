#include "cli/trace.h"

#include <chrono>
#include <cstdio>

#include "serial/serial.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kTraceBuffer = 1 << 20;

std::FILE* g_file = nullptr;
Clock::time_point g_start;

void OnTransfer(int32_t /*slot*/, bool sent, const void* data, int32_t count) {
  if (g_file == nullptr) return;
  const double ms =
      std::chrono::duration<double, std::milli>(Clock::now() - g_start).count();
  char line[64];
  const int head = std::snprintf(line, sizeof line, "%.3f %c", ms, sent ? '>' : '<');
  std::fwrite(line, 1, static_cast<size_t>(head), g_file);
  static const char kHex[] = "0123456789ABCDEF";
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (int32_t i = 0; i < count; ++i) {
    const char text[3] = {' ', kHex[bytes[i] >> 4], kHex[bytes[i] & 0xF]};
    std::fwrite(text, 1, sizeof text, g_file);
  }
  std::fputc('\n', g_file);
}

}  // namespace

bool StartTrace(const std::string& path, const std::string& port) {
  StopTrace();
  g_file = std::fopen(path.c_str(), "wb");
  if (g_file == nullptr) return false;
  std::setvbuf(g_file, nullptr, _IOFBF, kTraceBuffer);
  std::fprintf(g_file,
               "# update-firmware-cli trace of %s: ms since the start, > to the device, "
               "< from it\n",
               port.c_str());
  g_start = Clock::now();
  SetPortTraceHook(OnTransfer);
  return true;
}

void StopTrace() {
  SetPortTraceHook(nullptr);
  if (g_file != nullptr) std::fclose(g_file);
  g_file = nullptr;
}
