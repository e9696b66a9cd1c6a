// Each board its own identity: a value (a serial number, a MAC address, a
// key) written into its copy of the run's image at a fixed place, before
// the copy is sent.
//
// The values come from a counter kept in a small state file, or from a
// list file used once a value. Taking one is atomic across boards, runs
// and stations of one machine: under an exclusive lock, the new state is on
// the disk before the value is handed out. A value handed out is burnt,
// whatever becomes of the board, so no two boards ever get the same one.
// Locks cannot be trusted on a network file system, so those are refused.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/image_source.h"

enum class SerialFormat { U32Le, U32Be, U64Le, U64Be, Ascii, Hex };

// How a value is written and where, as the command line gave it.
struct SerialPlan {
  bool at_given = false;
  uint64_t at = 0;            // an address in a flat image, an offset in a raw one
  SerialFormat format = SerialFormat::U32Le;
  int32_t width = 4;          // the field's bytes
  std::string format_name = "u32le";
  std::string state;          // the counter's file; empty: no counter
  bool first_given = false;
  uint64_t first = 0;         // where a new counter starts
  uint64_t step = 1;
  std::string list;           // the list file; empty: no list
  std::string value;          // convert: the one value to write; empty: none

  bool on() const { return at_given; }
};

// "u32le", "u32be", "u64le", "u64be", "ascii:N", "hex:N" (N from 1 to 64).
bool ParseSerialFormat(const std::string& text, SerialPlan* plan);

// The field's bytes for `value` (decimal, hex after "0x", or for ascii any
// printable text of exactly the width), and the value as written into it;
// empty when it fits, else why.
std::string EncodeSerial(const SerialPlan& plan, const std::string& value,
                         std::vector<uint8_t>* field, std::string* written);

// Where the field lies in `image`'s bytes (`offset`); empty when it lies
// wholly inside them, else why, naming the address and the image's range.
std::string SerialFieldProblem(const SerialPlan& plan, const Image& image, int64_t* offset);

// `base` with `field` at `offset`, hashed: the board's own image.
Image SerializedImage(const Image& base, int64_t offset, const std::vector<uint8_t>& field);

// "0x08001000", or an offset in decimal for a raw image.
std::string SerialPlace(const SerialPlan& plan, const Image& image);

// What one board got.
struct BoardSerial {
  std::string value;   // as written into the field
  std::string at;      // SerialPlace
  std::string sha256;  // of the board's image
};

// The values of a run: from the counter or the list, each given once.
class SerialSource {
 public:
  virtual ~SerialSource() = default;
  // The next value for the board on `port`; false with `why` when none can
  // be given (the list is used up, the counter has outgrown the field, a
  // file cannot be written): nothing is then sent to that board.
  virtual bool Take(const std::string& port, std::string* value, std::string* why) = 0;
};

// The source `plan` names, checked before any port is opened: its files
// (not on a network file system unless `force`) and, for a list, every
// value against the format. Null with `why` when it cannot be used.
std::unique_ptr<SerialSource> OpenSerialSource(const SerialPlan& plan, bool force,
                                               std::string* why);

// The files beside a source that keep its state: the counter's lock, the
// list's used values.
std::string CounterLockPath(const std::string& state);
std::string ListUsedPath(const std::string& list);

// The serial numbers of one run: the plan, where the field lies in the
// run's image, and where the values come from.
struct RunSerials {
  SerialPlan plan;
  int64_t offset = 0;
  std::string at;
  std::unique_ptr<SerialSource> source;

  // Board `port`'s own image and what it got; false with `why` when it can
  // have none (nothing is then sent to it).
  bool Next(const Image& base, const std::string& port, Image* image, BoardSerial* serial,
            std::string* why);
};

// Readies `serials` for a run with `image`, before any port is opened:
// empty when they can be given, else why.
std::string PrepareSerials(const SerialPlan& plan, const Image& image, bool force,
                           RunSerials* serials);
