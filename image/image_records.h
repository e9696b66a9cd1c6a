// Between the two readers and the flattening: each reader checks a file
// line by line and hands every data record, decoded, to a sink; the
// flattening reads a file twice through two sinks, one that notes where the
// data lies and one that copies it into the block. Not part of the public
// API.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"

namespace image_records {

// Where a reader's data records go, in file order.
class DataSink {
 public:
  virtual ~DataSink() = default;
  // One data record of `count` bytes (never 0) at `address`, from `line`;
  // the reader guarantees address + count <= 2^32. False stops the reading:
  // the reader then returns false, `error` set if the sink set it.
  virtual bool Data(size_t line, uint32_t address, const uint8_t* bytes, size_t count,
                    ImageError* error) = 0;
};

// Each reader checks every line of the text from where it stands, and the
// file as a whole (its end record, its record count); only a file that
// passes all of it returns true. A read error or a line longer than any
// record stops the reading at once.
bool ReadIntelHex(ImageText& text, DataSink& sink, ImageError* error);
bool ReadSRecords(ImageText& text, DataSink& sink, ImageError* error);

// Reads a HEX or S-record text twice as FlattenImage says.
bool FlattenRecords(ImageText& text, ImageFormat format, const FlattenOptions& options,
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
