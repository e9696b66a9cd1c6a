// Firmware images given as Intel HEX or Motorola S-records, flattened into
// the one contiguous block of bytes the bootloader takes. The rule is
// visible and strict: the block starts at the lowest data address (or at a
// chosen base), gaps get a fill byte, and whatever would make the block
// wrong or silently large is refused with the line or the addresses at
// fault. Portable: no platform calls, no printing; the caller hands the
// file's text in as an ImageText and shows the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class ImageFormat { Raw, IntelHex, SRecord };

// The format a file's extension names, ignoring case: .hex and .ihex are
// Intel HEX; .srec, .s19, .s28, .s37 and .mot are S-records; anything else,
// no extension included, is Raw (sent as it is).
ImageFormat FormatForPath(const std::string& path);

// "ihex", "srec" or "bin" (exactly, lower case), the names a user may give
// to overrule the extension. False, and `out` untouched, for any other name.
bool ParseFormatName(const std::string& name, ImageFormat* out);
// The name ParseFormatName takes for `format`.
const char* FormatName(ImageFormat format);

struct FlattenOptions {
  bool has_base = false;  // start the image at `base` instead of the lowest data address
  uint32_t base = 0;
  uint8_t fill = 0xFF;        // for gaps and for the byte that makes the length even
  uint64_t max_gap = 65536;  // the largest run of missing bytes accepted, the base's lead included
  // The largest block accepted, in bytes on the line, the fill byte that
  // makes the length even included. Checked as the data arrives, so that a
  // file over it is refused before the rest of it is read.
  uint64_t max_size = UINT64_MAX;
};

// A file's text, read in pieces and from the start again: HEX and S-record
// files are read twice (first checked and measured, then copied into the
// block), so that neither the text nor more than the block is ever held.
class ImageText {
 public:
  virtual ~ImageText() = default;
  // Up to `capacity` bytes of the text into `buffer`; 0 at its end and on a
  // read error.
  virtual size_t Read(char* buffer, size_t capacity) = 0;
  // Back to the first byte; false when that cannot be done.
  virtual bool Rewind() = 0;
  // Whether the last 0 from Read was a read error rather than the end.
  virtual bool Failed() const = 0;
};

struct FlatImage {
  std::vector<uint8_t> bytes;  // what goes on the line
  uint32_t first_address = 0;  // address of bytes[0]
  // One past the last data byte, before the padding; 64-bit because data
  // may end at 0xFFFFFFFF.
  uint64_t end_address = 0;
  bool padded = false;  // one fill byte was added to make the length even
};

struct ImageError {
  size_t line = 0;  // 1-based line of the file at fault; 0 when no one line is
  std::string text;
};

// Reads `text` from its start as `format` and flattens it. On success fills
// `image` and returns true. On any problem returns false with `error` set and
// `image` left as it was: nothing partial is handed on. Raw text comes back
// unchanged, at `options.base` (0 without one), never padded, read in pieces
// and refused as soon as it passes `options.max_size` or the address space.
//
// A HEX or S-record text is read twice. The first reading checks every line
// and keeps only where the data lies, one entry per run of records that
// follow on from each other; a line longer than any record is refused at
// once, and so is data that takes the block past `options.max_size`. Only
// when every rule has passed is the block allocated, once, and the second
// reading fills it. If the second reading finds other records or other data
// than the first (the file was rewritten meanwhile), the file is refused.
bool FlattenImage(ImageText& text, ImageFormat format, const FlattenOptions& options,
                  FlatImage* image, ImageError* error);
// The same for a text held whole.
bool FlattenImage(const std::string& text, ImageFormat format, const FlattenOptions& options,
                  FlatImage* image, ImageError* error);

// "line 12: text", or the text alone when the error is not about a line.
std::string DescribeImageError(const ImageError& error);

// What a program says about the block before sending it: "0x08000000 to
// 0x08001232, 4660 bytes", the block's first address, its last data
// address and its size on the line, with a note when a fill byte was added.
std::string DescribeFlatImage(const FlatImage& image);
