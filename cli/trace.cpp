#include "cli/trace.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include "cli/platform.h"
#include "cli/text.h"
#include "serial/serial.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The lines are kept here, not in the stream's own buffer, so that the stop
// handler can write out every whole line at once: `g_whole` counts the
// bytes of finished lines and moves only after a line is complete.
constexpr size_t kTraceBuffer = 1 << 20;
char g_buffer[kTraceBuffer];
volatile size_t g_whole = 0;
volatile bool g_writing = false;  // the buffer is on its way to the file

std::FILE* g_file = nullptr;
Clock::time_point g_start;
int g_error = 0;  // the first errno a write of the transcript met

void WriteOut() {
  if (g_whole == 0) return;
  g_writing = true;
  errno = 0;
  const size_t size = g_whole;
  if ((std::fwrite(g_buffer, 1, size, g_file) != size || std::fflush(g_file) != 0) &&
      g_error == 0) {
    g_error = errno != 0 ? errno : EIO;
  }
  g_whole = 0;
  g_writing = false;
}

void OnTransfer(int32_t /*slot*/, bool sent, const void* data, int32_t count) {
  if (g_file == nullptr || count < 0) return;
  const double ms =
      std::chrono::duration<double, std::milli>(Clock::now() - g_start).count();
  const size_t longest = 48 + 3 * static_cast<size_t>(count) + 1;
  if (g_whole + longest > kTraceBuffer) WriteOut();
  if (longest > kTraceBuffer) return;
  size_t at = g_whole;
  at += static_cast<size_t>(
      std::snprintf(g_buffer + at, 48, "%.3f %c", ms > 1e12 ? 1e12 : ms, sent ? '>' : '<'));
  static const char kHex[] = "0123456789ABCDEF";
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (int32_t i = 0; i < count; ++i) {
    g_buffer[at++] = ' ';
    g_buffer[at++] = kHex[bytes[i] >> 4];
    g_buffer[at++] = kHex[bytes[i] & 0xF];
  }
  g_buffer[at++] = '\n';
  g_whole = at;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  std::error_code ec;
  if (fs::equivalent(a, b, ec) && !ec) return true;
  // Two names of a file not made yet are the same where they lead.
  return ResolvedPath(a) == ResolvedPath(b);
}

namespace {

bool Same(const std::string& a, const std::string& b) { return SameFile(a, b); }

std::vector<std::string> g_claimed;  // the outputs of this run, ClaimOutput

}  // namespace

bool StartTrace(const std::string& path, const std::string& port) {
  StopTrace();
  g_error = 0;
  g_file = std::fopen(path.c_str(), "wb");
  if (g_file == nullptr) {
    g_error = errno != 0 ? errno : EIO;
    return false;
  }
  std::setvbuf(g_file, nullptr, _IONBF, 0);
  g_whole = 0;
  std::fprintf(g_file,
               "# update-firmware-cli trace of %s: ms since the start, > to the device, "
               "< from it\n",
               Printable(port).c_str());
  g_start = Clock::now();
  SetPortTraceHook(OnTransfer);
  return true;
}

std::string StopTrace() {
  SetPortTraceHook(nullptr);
  if (g_file != nullptr) {
    WriteOut();
    errno = 0;
    const bool flushed = std::fflush(g_file) == 0 && std::ferror(g_file) == 0;
    if (!flushed && g_error == 0) g_error = errno != 0 ? errno : EIO;
    errno = 0;
    if (std::fclose(g_file) != 0 && g_error == 0) g_error = errno != 0 ? errno : EIO;
    g_file = nullptr;
  }
  const int error = g_error;
  g_error = 0;
  return error == 0 ? std::string() : std::strerror(error);
}

TraceTail PendingTrace() {
  if (g_file == nullptr || g_writing) return {nullptr, nullptr, 0};
  return {g_file, g_buffer, g_whole};
}

std::vector<std::string> TracePaths(const std::string& base, const std::vector<std::string>& ports) {
  if (ports.size() == 1) return {base};
  std::vector<std::string> paths;
  std::map<std::string, int> uses;
  for (const std::string& port : ports) paths.push_back(TracePathFor(base, port));
  for (const std::string& p : paths) ++uses[p];
  for (size_t i = 0; i < paths.size(); ++i) {
    if (uses[paths[i]] < 2) continue;
    std::string whole = ports[i];
    for (char& c : whole) {
      if (c == '/' || c == '\\') c = '_';
    }
    while (!whole.empty() && whole[0] == '_') whole.erase(0, 1);
    paths[i] = TracePathFor(base, whole);
  }
  // Whole paths differ once the ports do; a name that still clashes (a port
  // named after another's path) gets its place in the list.
  std::map<std::string, int> seen;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (seen[paths[i]]++ > 0) paths[i] = TracePathFor(base, std::to_string(i + 1) + "-" + ports[i]);
  }
  return paths;
}

std::string TraceProblem(const std::string& trace, const std::string& image,
                         const std::vector<PresentPort>& ports, bool force) {
  if (trace.empty()) return "an empty file name";
  if (Same(trace, image)) return "it is the firmware image";
  // Its own claim aside: a transcript is checked again just before it is
  // opened.
  for (const std::string& other : g_claimed) {
    if (other != trace && Same(trace, other)) {
      return "it is another output of this run ('" + Printable(other) + "')";
    }
  }
  // Where the links lead, or the folder a new file would be made in.
  const fs::path resolved = ResolvedPath(trace);
  std::error_code ec;
  const fs::path place = fs::exists(resolved, ec) ? resolved : resolved.parent_path();
  const std::string pseudo =
      cli_platform::OnPseudoFileSystem(place.string())
          ? "it is on a file system of the kernel's (/proc, /sys, /dev), not a file"
          : std::string();
  const fs::file_status link = fs::symlink_status(trace, ec);
  if (!fs::exists(link)) return pseudo;
  for (const PresentPort& p : ports) {
    if (Same(trace, p.name) || (!p.device.empty() && Same(trace, p.device))) {
      return "it is the port " + Printable(p.name);
    }
  }
  const fs::file_status target = fs::status(trace, ec);
  if (fs::is_symlink(link) && !fs::exists(target)) {
    if (!pseudo.empty()) return pseudo;
    return force ? std::string() : "it is a link to nothing; --force writes through it";
  }
  if (fs::is_directory(target)) return "it is a directory";
  if (!fs::is_regular_file(target)) return "it is a device, a FIFO or a socket, not a file";
  if (!pseudo.empty()) return pseudo;
  return force ? std::string() : "it exists; --force overwrites it";
}

std::string TracePathFor(const std::string& base, const std::string& port) {
  std::string tag = port;
  const size_t slash = tag.find_last_of("/\\");
  if (slash != std::string::npos) tag = tag.substr(slash + 1);
  for (char& c : tag) {
    if (c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|') c = '_';
  }
  const size_t dir_end = base.find_last_of("/\\");
  const size_t dot = base.rfind('.');
  if (dot == std::string::npos || (dir_end != std::string::npos && dot < dir_end) ||
      dot == (dir_end == std::string::npos ? 0 : dir_end + 1)) {
    return base + "." + tag;
  }
  return base.substr(0, dot) + "." + tag + base.substr(dot);
}

void ClaimOutput(const std::string& path) { g_claimed.push_back(path); }

std::string ResolvedPath(const std::string& path) {
  std::error_code ec;
  fs::path p = path;
  // A loop of links ends the walk; the open then fails on its own.
  for (int i = 0; i < 40 && fs::is_symlink(fs::symlink_status(p, ec)); ++i) {
    const fs::path target = fs::read_symlink(p, ec);
    if (ec) break;
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  const fs::path whole = fs::weakly_canonical(fs::absolute(p, ec), ec);
  return ec ? path : whole.string();
}
