// Command line of the simulated bootloader device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// Exit codes; the --help text lists them too, keep the two in step.
enum ExitCode : int {
  ExitOk = 0,           // every configured session ended as configured
  ExitUsage = 1,        // bad command line
  ExitSystem = 2,       // pty, link or file could not be set up, or I/O failed
  ExitTimeout = 3,      // nothing happened for --timeout seconds
  ExitAbandoned = 4,    // the host closed the port in the middle of an upload
  ExitInterrupted = 5,  // SIGTERM/SIGINT/SIGHUP before the sessions were done
};

struct Config {
  unsigned sessions = 1;  // 0 = serve forever
  bool silent = false;
  unsigned ignore_starts = 0;  // start commands taken as noise before the first answered one
  Bytes start_reply{'O', 'K'};
  Bytes final_reply{'O', 'K'};
  bool no_final = false;
  double start_delay_ms = 0;
  double final_delay_ms = 0;
  Bytes suffix;
  Bytes stale;
  int64_t stop_reading_after = -1;  // -1 = never
  int64_t vanish_after = -1;        // -1 = never
  bool pace = false;
  unsigned baud = 9600;
  double timeout_s = 60;  // 0 = never
  std::string log_path;
  std::string image_path;
  std::string link_path;
  std::string device_path;  // serve this existing terminal instead of a pseudo-terminal
  std::string ready_path;
};

enum class ParseResult { Run, Help, Error };

// Fills `config` from argv. On Error, `error` says what was wrong.
ParseResult ParseOptions(int argc, char** argv, Config& config, std::string& error);

std::string UsageText(const char* program);

// "4F4B" -> {0x4F, 0x4B}; an even number of hex digits, at least two.
bool ParseHex(const std::string& text, Bytes& out);
std::string ToHex(const Bytes& bytes);

}  // namespace sim
