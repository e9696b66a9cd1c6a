#include "sim_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseCount(const std::string& text, int64_t max, int64_t& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < 0 || v > max) return false;
  out = v;
  return true;
}

bool ParseNonNegative(const std::string& text, double max, double& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0 || v > max) return false;
  out = v;
  return true;
}

}  // namespace

bool ParseHex(const std::string& text, Bytes& out) {
  if (text.empty() || text.size() % 2 != 0) return false;
  Bytes bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = HexDigit(text[i]);
    int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  out = bytes;
  return true;
}

std::string ToHex(const Bytes& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::string UsageText(const char* program) {
  std::string p = program ? program : "bootloader-sim";
  return "Usage: " + p + R"( [options]

Plays a device's serial bootloader on a pseudo-terminal, for tests and demos.
The first line on stdout is the path of the terminal to open (e.g. /dev/pts/7);
nothing else is printed on stdout. One summary line per session goes to stderr.

The device waits for "BL10" (bytes that do not form it are ignored), answers
"OK", reads a 4-byte little-endian size and then size/2 two-byte words
(2*(size/2) bytes; an odd last byte is never expected), answers "OK" and waits
for "BL10" again. Like a real device it holds no descriptor of the terminal the
host opens: it sees the host's opens and closes on its own (master) side. The
host may open and close the port as often as it likes; whatever the device
sent stays queued for the next open. When the host closes the port, raw mode
is restored. An exclusive mode (TIOCEXCL) the host left set stays, unlike on
a real port: programs without root privileges cannot open it until the
simulator is restarted.

A session ends when the device has queued its final reply (or would have),
stopped reading or vanished, or when the host closes the port in the middle
of it. Even after a wrong or missing start reply the device takes what
follows as the size, as a real one would; a host is expected to give up and
close the port, which ends the session normally.

Where it appears:
  --device PATH         serve this existing terminal (e.g. a USB gadget's
                        /dev/ttyGS0) in raw mode instead of a pseudo-terminal
                        of its own; PATH is what is printed. The host's opens
                        and closes are not seen there, so a session ends only
                        as the protocol ends it; a hang-up of PATH (the line
                        is gone) ends the simulator with code 2
  --link PATH           also make PATH a symbolic link to the terminal (an
                        existing link is replaced; anything else there is an
                        error); the link is removed on exit
  --ready-file PATH     once ready, write the terminal path and a newline to
                        PATH (atomically); the file is removed on exit

Sessions and time limits:
  --sessions N          serve N uploads, then exit once the host has closed
                        the port, i.e. no other process holds it open any more
                        (default 1; 0 = forever)
  --timeout S           exit with code 3 when nothing happened (no byte in, no
                        reply out, no open or close by the host) for S seconds;
                        a reply still to be sent keeps it waiting; decimals
                        allowed (default 60; 0 = never)

Records:
  --log FILE            every received byte, one line each: milliseconds since
                        start (monotonic, 3 decimals), a space, the byte as two
                        hex digits, e.g. "12.345 42"
  --image FILE          the image bytes (the words only) of the latest session;
                        emptied at start and when a session's size arrives,
                        then written as the bytes come in

Misbehaviour:
  --silent              never answer (still records everything)
  --ignore-starts K     take the first K start commands as noise, as a board
                        still busy resetting would: no answer, no session; the
                        next one is answered (default 0)
  --start-reply HEX     answer the start command with these bytes instead of
                        4F4B, e.g. 4F4C
  --final-reply HEX     answer the last word with these bytes instead of 4F4B,
                        e.g. 6F6B
  --no-final            never send the final reply
  --reply-delay MS      send both replies MS milliseconds after the byte that
                        called for them
  --start-delay MS      delay of the start reply (overrides --reply-delay)
  --final-delay MS      delay of the final reply (overrides --reply-delay)
                        A reply whose host has closed the port meanwhile is
                        still sent, and waits as stale input for the next open.
  --suffix HEX          append these bytes to every reply, in the same write
                        (e.g. 0D0A)
  --stale HEX           write these bytes at start-up, before any command; they
                        wait in the host's input queue
  --stop-reading-after N
                        stop reading after N image bytes and never answer: the
                        host's writes back up and time out. When the host then
                        closes the port, the unread bytes are discarded and the
                        device waits for "BL10" again
  --vanish-after N      after N image bytes close the terminal (the host sees
                        a hang-up) and exit with code 0
  --pace                read one byte at a time, no faster than the line rate
                        (10 bits per byte), so the host's writes back up as on
                        a real line; without it bytes are read at once
  --baud B              line rate for --pace (default 9600); implies --pace

  --help                show this text

HEX is an even number of hex digits (at least two). MS and S accept decimals.

Exit codes:
  0  every session ended as configured (or --vanish-after struck)
  1  bad command line
  2  the terminal, link or a file could not be set up, or I/O on them failed
  3  --timeout: nothing happened for that long
  4  the host closed the port in the middle of an upload after the device had
     sent a plain "OK" start reply and the host had gone on (sent at least a
     byte of the size after it)
  5  stopped by SIGTERM, SIGINT or SIGHUP before the sessions were done (with
     --sessions 0: while an upload was in progress)
)";
}

ParseResult ParseOptions(int argc, char** argv, Config& c, std::string& error) {
  bool delay_start_set = false;
  bool delay_final_set = false;
  double reply_delay = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_inline = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_inline = true;
    }
    auto flag = [&](const char* name) {
      if (arg != name) return false;
      if (has_inline) {
        error = std::string(name) + " takes no value";
        return false;
      }
      return true;
    };
    auto take = [&](const char* name) -> bool {
      if (arg != name) return false;
      if (!has_inline) {
        if (i + 1 >= argc) {
          error = std::string(name) + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      return true;
    };
    auto bad = [&](const char* what) {
      error = "bad value for " + arg + ": \"" + value + "\" (" + what + ")";
      return ParseResult::Error;
    };

    int64_t n = 0;
    if (flag("--help") || arg == "-h") {
      return ParseResult::Help;
    } else if (flag("--silent")) {
      c.silent = true;
    } else if (flag("--no-final")) {
      c.no_final = true;
    } else if (flag("--pace")) {
      c.pace = true;
    } else if (take("--sessions")) {
      if (!ParseCount(value, 1000000000, n)) return bad("a count");
      c.sessions = static_cast<unsigned>(n);
    } else if (take("--ignore-starts")) {
      if (!ParseCount(value, 1000000000, n)) return bad("a count");
      c.ignore_starts = static_cast<unsigned>(n);
    } else if (take("--timeout")) {
      if (!ParseNonNegative(value, 1e7, c.timeout_s)) return bad("seconds");
    } else if (take("--log")) {
      c.log_path = value;
    } else if (take("--image")) {
      c.image_path = value;
    } else if (take("--link")) {
      c.link_path = value;
    } else if (take("--device")) {
      if (value.empty()) return bad("a path");
      c.device_path = value;
    } else if (take("--ready-file")) {
      c.ready_path = value;
    } else if (take("--start-reply")) {
      if (!ParseHex(value, c.start_reply)) return bad("hex bytes");
    } else if (take("--final-reply")) {
      if (!ParseHex(value, c.final_reply)) return bad("hex bytes");
    } else if (take("--suffix")) {
      if (!ParseHex(value, c.suffix)) return bad("hex bytes");
    } else if (take("--stale")) {
      if (!ParseHex(value, c.stale)) return bad("hex bytes");
    } else if (take("--reply-delay")) {
      if (!ParseNonNegative(value, 1e9, reply_delay)) return bad("milliseconds");
    } else if (take("--start-delay")) {
      if (!ParseNonNegative(value, 1e9, c.start_delay_ms)) return bad("milliseconds");
      delay_start_set = true;
    } else if (take("--final-delay")) {
      if (!ParseNonNegative(value, 1e9, c.final_delay_ms)) return bad("milliseconds");
      delay_final_set = true;
    } else if (take("--stop-reading-after")) {
      if (!ParseCount(value, INT64_MAX / 2, c.stop_reading_after)) return bad("a byte count");
    } else if (take("--vanish-after")) {
      if (!ParseCount(value, INT64_MAX / 2, c.vanish_after)) return bad("a byte count");
    } else if (take("--baud")) {
      if (!ParseCount(value, 100000000, n) || n < 10) return bad("a rate of 10 or more");
      c.baud = static_cast<unsigned>(n);
      c.pace = true;
    } else {
      if (error.empty()) error = "unknown option \"" + std::string(argv[i]) + "\"";
      return ParseResult::Error;
    }
    if (!error.empty()) return ParseResult::Error;
  }
  if (!delay_start_set) c.start_delay_ms = reply_delay;
  if (!delay_final_set) c.final_delay_ms = reply_delay;
  return ParseResult::Run;
}

}  // namespace sim
