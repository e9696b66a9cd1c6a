// Records to one block, in two readings of the file. The first checks every
// line and keeps only runs of data; every rule is checked on those before
// the block is allocated, so a refused file costs no memory but the list of
// runs, and an accepted one no more than its data plus the allowed gaps. The
// second reading copies the data into the block.
#include <algorithm>
#include <cstring>

#include "image/image_records.h"

namespace image_records {
namespace {

// Records that follow on from each other in the file, each starting where
// the one before it ended: most files are a handful of these.
struct Run {
  uint32_t address;
  uint64_t end;
  size_t first_line;  // of its first record
  size_t last_line;   // of its last record, the one that reaches `end`
};

// A digest of every data record, its line, address and bytes, so that the
// second reading can tell whether it found what the first did. Not proof
// against a file made to collide, only against one rewritten meanwhile.
class Digest {
 public:
  void Add(size_t line, uint32_t address, const uint8_t* bytes, size_t count) {
    Mix(line);
    Mix(uint64_t{address} << 16 | count);
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
      uint64_t word;
      std::memcpy(&word, bytes + i, 8);
      Mix(word);
    }
    uint64_t tail = 0;
    for (; i < count; ++i) tail = tail << 8 | bytes[i];
    Mix(tail);
  }
  bool operator==(const Digest& other) const { return value_ == other.value_; }

 private:
  void Mix(uint64_t word) {
    value_ = (value_ ^ word) * 0x100000001B3u;
    value_ ^= value_ >> 29;
  }
  uint64_t value_ = 0xCBF29CE484222325u;
};

bool Changed(ImageError* error) {
  error->line = 0;
  error->text = "the file changed while it was read";
  return false;
}

// The first reading: where the data lies, and the size of the block so far.
class Survey : public DataSink {
 public:
  explicit Survey(const FlattenOptions& options) : options_(options) {}

  bool Data(size_t line, uint32_t address, const uint8_t* bytes, size_t count, ImageError* error) override {
    digest.Add(line, address, bytes, count);
    const uint64_t end = uint64_t{address} + count;
    if (!runs.empty() && runs.back().end == address) {
      runs.back().end = end;
      runs.back().last_line = line;
    } else {
      runs.push_back({address, end, line, line});
    }
    low_ = std::min<uint64_t>(low_, address);
    high_ = std::max(high_, end);
    const uint64_t first = options_.has_base ? options_.base : low_;
    const uint64_t size = high_ > first ? high_ - first : 0;
    if (size + size % 2 > options_.max_size) {
      error->line = line;
      error->text = "data at " + HexAddress(address) + " makes the image run from " + HexAddress(first) +
                    " to " + HexAddress(high_ - 1) + ", " + std::to_string(size + size % 2) +
                    " bytes, over the limit of " + std::to_string(options_.max_size);
      return false;
    }
    // Runs that do not overlap hold a byte each at least, so more of them
    // than the addresses they spread over means an overlap: the reading
    // stops, and the list stays no longer than the block could be.
    if (runs.size() > high_ - low_) {
      crowded = true;
      return false;
    }
    return true;
  }

  std::vector<Run> runs;  // in file order
  Digest digest;
  bool crowded = false;  // stopped early: an overlap is certain

 private:
  const FlattenOptions& options_;
  uint64_t low_ = UINT64_MAX;
  uint64_t high_ = 0;
};

// The second reading: copies each record into the block, which the first
// reading measured; a record outside it can only come from a changed file.
class Copy : public DataSink {
 public:
  explicit Copy(FlatImage* image) : image_(image) {}

  bool Data(size_t line, uint32_t address, const uint8_t* bytes, size_t count, ImageError* error) override {
    digest.Add(line, address, bytes, count);
    if (address < image_->first_address || address + count > image_->end_address) return Changed(error);
    std::memcpy(image_->bytes.data() + (address - image_->first_address), bytes, count);
    return true;
  }

  Digest digest;

 private:
  FlatImage* image_;
};

// Finds the line of the record, among `lines`, that holds `address`: a run
// knows only its first and last line, and an overlap is reported by record.
class Locate : public DataSink {
 public:
  Locate(size_t first_line, size_t last_line, uint32_t address)
      : first_(first_line), last_(last_line), address_(address) {}

  bool Data(size_t line, uint32_t address, const uint8_t*, size_t count, ImageError*) override {
    if (line < first_ || line > last_ || address_ < address || address_ >= uint64_t{address} + count) {
      return true;
    }
    found = line;
    return false;
  }

  size_t found = 0;

 private:
  size_t first_, last_;
  uint32_t address_;
};

bool Read(ImageText& text, ImageFormat format, DataSink& sink, ImageError* error) {
  return format == ImageFormat::IntelHex ? ReadIntelHex(text, sink, error) : ReadSRecords(text, sink, error);
}

// Reads the text again from its start through `sink`. False, with `error`
// set, when it cannot be read again; otherwise true, with `whole` telling
// whether the reader passed the file this time.
bool ReadAgain(ImageText& text, ImageFormat format, DataSink& sink, bool* whole, ImageError* error) {
  if (!text.Rewind()) {
    error->line = 0;
    error->text = "the file could not be read again from its start";
    return false;
  }
  ImageError reading;
  *whole = Read(text, format, sink, &reading);
  if (!*whole && text.Failed()) {
    *error = reading;
    return false;
  }
  return true;
}

// Every rule on the runs, sorted by address; on success `image` holds the
// block's place and size, its bytes not yet allocated.
bool Check(ImageText& text, ImageFormat format, std::vector<Run>& runs, const FlattenOptions& options,
           FlatImage* image, ImageError* error) {
  if (runs.empty()) {
    error->line = 0;
    error->text = "the file holds no data";
    return false;
  }
  // Most files come in address order; out-of-order ones keep their file
  // order among equal addresses, so that messages name lines predictably.
  const auto by_address = [](const Run& a, const Run& b) { return a.address < b.address; };
  if (!std::is_sorted(runs.begin(), runs.end(), by_address)) {
    std::stable_sort(runs.begin(), runs.end(), by_address);
  }

  // Two records for one address would leave the block to whichever tool
  // came last, so they are refused whatever their bytes.
  const Run* reach = nullptr;  // the run that reaches highest so far
  for (const Run& run : runs) {
    if (reach && run.address < reach->end) {
      size_t held_by = reach->first_line;
      if (reach->last_line != reach->first_line) {
        Locate locate(reach->first_line, reach->last_line, run.address);
        bool whole = false;
        if (!ReadAgain(text, format, locate, &whole, error)) return false;
        if (locate.found == 0) return Changed(error);
        held_by = locate.found;
      }
      error->line = std::max(run.first_line, held_by);
      error->text = "data at " + HexAddress(run.address) + " overlaps the data of line " +
                    std::to_string(std::min(run.first_line, held_by));
      return false;
    }
    reach = &run;
  }

  const Run& lowest = runs.front();
  const uint32_t first = options.has_base ? options.base : lowest.address;
  if (lowest.address < first) {
    error->line = lowest.first_line;
    error->text = "data at " + HexAddress(lowest.address) + " lies below the base address " +
                  HexAddress(first);
    return false;
  }
  // The lead from the base counts as a gap too: a base far below the data
  // would inflate the block just as a stray record far above it would.
  uint64_t cursor = first;
  for (const Run& run : runs) {
    const uint64_t gap = run.address - cursor;
    if (gap > options.max_gap) {
      error->line = run.first_line;
      error->text = "no data from " + HexAddress(cursor) + " up to " + HexAddress(run.address) +
                    ": a gap of " + std::to_string(gap) + " bytes, over the limit of " +
                    std::to_string(options.max_gap);
      return false;
    }
    cursor = run.end;
  }
  image->first_address = first;
  image->end_address = cursor;
  return true;
}

}  // namespace

std::string HexAddress(uint64_t address) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text = "0x";
  // Eight digits, nine for the one address past the 32-bit space.
  for (int shift = address > 0xFFFFFFFFu ? 32 : 28; shift >= 0; shift -= 4) {
    text += digits[(address >> shift) & 0xF];
  }
  return text;
}

bool FlattenRecords(ImageText& text, ImageFormat format, const FlattenOptions& options,
                    FlatImage* image, ImageError* error) {
  Survey survey(options);
  if (!Read(text, format, survey, error) && !survey.crowded) return false;
  FlatImage result;
  if (!Check(text, format, survey.runs, options, &result, error)) return false;
  // Nothing but the block from here on: the runs are done with.
  std::vector<Run>().swap(survey.runs);

  const uint64_t size = result.end_address - result.first_address;
  // The bootloader takes whole 2-byte words.
  result.padded = size % 2 != 0;
  result.bytes.assign(static_cast<size_t>(size + (result.padded ? 1 : 0)), options.fill);
  Copy copy(&result);
  bool whole = false;
  if (!ReadAgain(text, format, copy, &whole, error)) return false;
  // Anything the first reading did not see, a fault included, means the
  // file is no longer the one that was checked.
  if (!whole || !(copy.digest == survey.digest)) return Changed(error);
  *image = std::move(result);
  return true;
}

}  // namespace image_records
