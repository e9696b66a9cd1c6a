// Records to one block. Every rule is checked on the sorted records before
// the block is allocated, so a refused file costs no memory but the list of
// records, and an accepted one no more than its data plus the allowed gaps.
#include <algorithm>

#include "image/image_records.h"

namespace image_records {
namespace {

// Messages name lines; records only know where their digits are, so the
// line is counted out on the way to a refusal.
size_t LineOf(const std::string& text, const DataRecord& record) {
  return 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + record.digits, '\n'));
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

bool Flatten(const std::string& text, std::vector<DataRecord>& records, const FlattenOptions& options,
             FlatImage* image, ImageError* error) {
  if (records.empty()) {
    error->line = 0;
    error->text = "the file holds no data";
    return false;
  }
  // Most files come in address order; out-of-order ones keep their file
  // order among equal addresses, so that messages name lines predictably.
  const auto by_address = [](const DataRecord& a, const DataRecord& b) { return a.address < b.address; };
  if (!std::is_sorted(records.begin(), records.end(), by_address)) {
    std::stable_sort(records.begin(), records.end(), by_address);
  }

  // Two records for one address would leave the block to whichever tool
  // came last, so they are refused whatever their bytes.
  const DataRecord* reach = nullptr;  // the record that reaches highest so far
  uint64_t reach_end = 0;
  for (const DataRecord& record : records) {
    if (reach && record.address < reach_end) {
      const size_t lines[2] = {LineOf(text, record), LineOf(text, *reach)};
      error->line = std::max(lines[0], lines[1]);
      error->text = "data at " + HexAddress(record.address) + " overlaps the data of line " +
                    std::to_string(std::min(lines[0], lines[1]));
      return false;
    }
    reach = &record;
    reach_end = uint64_t{record.address} + record.length;
  }

  const DataRecord& lowest = records.front();
  const uint32_t first = options.has_base ? options.base : lowest.address;
  if (lowest.address < first) {
    error->line = LineOf(text, lowest);
    error->text = "data at " + HexAddress(lowest.address) + " lies below the base address " +
                  HexAddress(first);
    return false;
  }
  // The lead from the base counts as a gap too: a base far below the data
  // would inflate the block just as a stray record far above it would.
  uint64_t cursor = first;
  for (const DataRecord& record : records) {
    const uint64_t gap = record.address - cursor;
    if (gap > options.max_gap) {
      error->line = LineOf(text, record);
      error->text = "no data from " + HexAddress(cursor) + " up to " + HexAddress(record.address) +
                    ": a gap of " + std::to_string(gap) + " bytes, over the limit of " +
                    std::to_string(options.max_gap);
      return false;
    }
    cursor = uint64_t{record.address} + record.length;
  }

  FlatImage result;
  result.first_address = first;
  result.end_address = cursor;
  const uint64_t size = cursor - first;
  // The bootloader takes whole 2-byte words.
  result.padded = size % 2 != 0;
  result.bytes.assign(static_cast<size_t>(size + (result.padded ? 1 : 0)), options.fill);
  // The digits were checked by the reader.
  for (const DataRecord& record : records) {
    uint8_t* out = result.bytes.data() + (record.address - first);
    const auto* digits = reinterpret_cast<const unsigned char*>(text.data()) + record.digits;
    for (uint32_t i = 0; i < record.length; ++i) {
      out[i] = static_cast<uint8_t>(PairValue(digits + 2 * i));
    }
  }
  *image = std::move(result);
  return true;
}

}  // namespace image_records
