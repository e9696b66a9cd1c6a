// Between the two readers and the flattening: where each data record's
// bytes are, found by a first pass that checks the whole file. The bytes
// stay in the text until the block is laid out, so that the data is held
// once, in the block. Not part of the public API.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"

namespace image_records {

struct DataRecord {
  uint32_t address;  // of the first byte; the readers guarantee address + length <= 2^32
  uint32_t digits;   // offset in the text of its first data digit
  uint32_t length;   // never 0: empty data records are dropped
};

// Each reader checks every line of the file, and the file as a whole (its
// end record, its record count), before anything is flattened. `text` is at
// most 4 GiB, so that record offsets fit. Records come in file order.
bool ReadIntelHex(const std::string& text, std::vector<DataRecord>* records, ImageError* error);
bool ReadSRecords(const std::string& text, std::vector<DataRecord>* records, ImageError* error);

// Lays the records out as one block by the options' rule, decoding their
// bytes from `text`.
bool Flatten(const std::string& text, std::vector<DataRecord>& records, const FlattenOptions& options,
             FlatImage* image, ImageError* error);

// The value of a hex digit, or kNotHex: one table look per character,
// since every byte of a file passes through here.
constexpr uint8_t kNotHex = 0x80;
constexpr std::array<uint8_t, 256> MakeHexValues() {
  std::array<uint8_t, 256> values{};
  for (auto& v : values) v = kNotHex;
  for (int c = '0'; c <= '9'; ++c) values[c] = static_cast<uint8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) values[c] = static_cast<uint8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) values[c] = static_cast<uint8_t>(c - 'a' + 10);
  return values;
}
inline constexpr std::array<uint8_t, 256> kHexValues = MakeHexValues();

// The byte two digits stand for, indexed by the first character times 256
// plus the second; kNotHexPair set when either is not a hex digit. One look
// per byte, and the 22 digit characters touch few cache lines.
constexpr uint16_t kNotHexPair = 0x100;
constexpr std::array<uint16_t, 65536> MakePairValues() {
  std::array<uint16_t, 65536> values{};
  for (int i = 0; i < 65536; ++i) {
    const uint8_t high = kHexValues[i >> 8], low = kHexValues[i & 0xFF];
    values[i] = (high | low) & kNotHex ? kNotHexPair : static_cast<uint16_t>(high << 4 | low);
  }
  return values;
}
inline constexpr std::array<uint16_t, 65536> kPairValues = MakePairValues();
inline unsigned PairValue(const unsigned char* digits) { return kPairValues[digits[0] << 8 | digits[1]]; }

// "0x0800FFF0": addresses in messages always look the same.
std::string HexAddress(uint64_t address);

}  // namespace image_records
