// The Intel HEX and S-record readers. Each line is checked whole (start
// character, hex digits, length byte, checksum, what its type allows) before
// its data is noted, and the file must close with a record that shows it is
// complete: a file cut off at a line boundary would otherwise pass as a
// shorter image.
#include <algorithm>
#include <array>
#include <cstring>

#include "image/image_records.h"

namespace image_records {
namespace {

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;

// The longest record either format can hold (an Intel HEX record with 255
// data bytes is 260 bytes), so that one fixed buffer takes any valid line.
constexpr size_t kMaxRecordBytes = 260;

std::string Hex2(unsigned byte) {
  static const char digits[] = "0123456789ABCDEF";
  return {'0', 'x', digits[(byte >> 4) & 0xF], digits[byte & 0xF]};
}

// A character as a message can show it: control and non-ASCII bytes by code.
std::string Shown(unsigned char c) {
  if (c >= 0x20 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
  return "byte " + Hex2(c);
}

// A line may be this long at most, trailing blanks and line end included:
// room for the longest record (521 characters) twice over. A longer one is
// refused as soon as it is seen, so that a file of garbage or of NUL bytes
// without line ends is never gathered up.
constexpr size_t kMaxLineChars = 1024;

// How much of the text is asked for at a time.
constexpr size_t kPieceChars = 64 * 1024;

bool Fail(ImageError* error, size_t line, std::string text) {
  error->line = line;
  error->text = std::move(text);
  return false;
}

// The file line by line, each without its line end ("\n" or "\r\n") and
// trailing blanks, so that files from any system read alike. Blank lines are
// skipped but counted. The text is read a piece at a time; a line that runs
// across two pieces is put together in a buffer of its own.
class Lines {
 public:
  Lines(ImageText& text, ImageError* error) : text_(text), error_(error), piece_(kPieceChars) {}

  // False at the end of the text and when the reading failed (failed()
  // then says so and the error is set).
  bool Next() {
    while (at_ != end_ || Refill()) {
      ++number_;
      size_t held = 0;
      const char* start = nullptr;
      for (;;) {
        const char* from = piece_.data() + at_;
        const size_t left = end_ - at_;
        const void* newline = std::memchr(from, '\n', left);
        const size_t length = newline ? static_cast<size_t>(static_cast<const char*>(newline) - from) : left;
        if (held + length > kMaxLineChars) {
          failed_ = true;
          return Fail(error_, number_,
                      "the line is longer than any record: over " + std::to_string(kMaxLineChars) +
                          " characters");
        }
        at_ += length + (newline ? 1 : 0);
        if (newline && held == 0) {  // the whole line in this piece: no copy
          start = from;
          held = length;
          break;
        }
        std::memcpy(line_.data() + held, from, length);
        held += length;
        start = line_.data();
        if (newline) break;
        if (!Refill()) {
          if (failed_) return false;
          break;
        }
      }
      const char* stop = start + held;
      while (stop != start && (stop[-1] == '\r' || stop[-1] == ' ' || stop[-1] == '\t')) --stop;
      if (stop != start) {
        begin_ = start;
        length_ = static_cast<size_t>(stop - start);
        return true;
      }
    }
    return false;
  }

  bool failed() const { return failed_; }
  const char* begin() const { return begin_; }
  size_t length() const { return length_; }
  size_t number() const { return number_; }

 private:
  bool Refill() {
    at_ = 0;
    end_ = std::min(text_.Read(piece_.data(), piece_.size()), piece_.size());
    if (end_ == 0 && text_.Failed()) {
      failed_ = true;
      Fail(error_, 0, "the file could not be read to its end");
    }
    return end_ != 0;
  }

  ImageText& text_;
  ImageError* error_;
  std::vector<char> piece_;
  size_t at_ = 0;
  size_t end_ = 0;
  std::array<char, kMaxLineChars> line_;
  bool failed_ = false;
  const char* begin_ = nullptr;
  size_t length_ = 0;
  size_t number_ = 0;
};

// The bytes a record's hex digits stand for, and their sum.
struct Record {
  std::array<uint8_t, kMaxRecordBytes> bytes;
  size_t size = 0;
  unsigned sum = 0;
};

// Decodes the current line after its `skip` characters of start code.
bool DecodeDigits(const Lines& lines, size_t skip, Record* record, ImageError* error) {
  const auto* digits = reinterpret_cast<const unsigned char*>(lines.begin()) + skip;
  const size_t count = lines.length() - skip;
  const size_t size = count / 2;
  if (count % 2 == 0 && size <= kMaxRecordBytes) {
    // No branch per digit: one look at the collected flags afterwards.
    unsigned flags = 0;
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i) {
      const unsigned value = PairValue(digits + 2 * i);
      flags |= value;
      record->bytes[i] = static_cast<uint8_t>(value);
      sum += value;
    }
    if ((flags & kNotHexPair) == 0) {
      record->size = size;
      record->sum = sum;
      return true;
    }
  }
  // A bad character is the likelier fault than a wrong length, so it is
  // named first.
  for (size_t i = 0; i < count; ++i) {
    if (kHexValues[digits[i]] == kNotHex) {
      return Fail(error, lines.number(),
                  Shown(digits[i]) + " at column " + std::to_string(skip + i + 1) + " is not a hex digit");
    }
  }
  if (count % 2 != 0) {
    return Fail(error, lines.number(),
                "the record has an odd number of hex digits (" + std::to_string(count) + ")");
  }
  return Fail(error, lines.number(),
              "the line holds " + std::to_string(size) + " bytes, more than any record can");
}

uint32_t BigEndian(const uint8_t* bytes, size_t count) {
  uint32_t value = 0;
  for (size_t i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

// Hands a data record on; `data_index` is the index of its first data byte
// in the record.
bool KeepData(DataSink& sink, const Lines& lines, const Record& record, size_t data_index,
              uint64_t address, size_t count, ImageError* error) {
  if (address + count > kAddressSpace) {
    return Fail(error, lines.number(),
                "data at " + HexAddress(address) + " runs past the end of the 32-bit address space");
  }
  if (count == 0) return true;
  return sink.Data(lines.number(), static_cast<uint32_t>(address), record.bytes.data() + data_index,
                   count, error);
}

bool NoRecords(const Lines& lines, ImageError* error) {
  return Fail(error, 0, lines.number() == 0 ? "the file is empty" : "the file holds no records");
}

}  // namespace

bool ReadIntelHex(ImageText& text, DataSink& sink, ImageError* error) {
  Lines lines(text, error);
  Record record;
  // Type 02 sets a segment base (a record may not run past its segment's
  // 64 KiB, since tools disagree on where such bytes go); type 04 sets the
  // upper half of a linear address, across which a record may run on.
  uint64_t base = 0;
  bool segmented = false;
  size_t end_line = 0;
  bool any = false;
  while (lines.Next()) {
    any = true;
    const size_t line = lines.number();
    if (end_line != 0) {
      return Fail(error, line, "a record after the end record on line " + std::to_string(end_line));
    }
    if (lines.begin()[0] != ':') {
      return Fail(error, line,
                  "a record starts with ':', this line with " +
                      Shown(static_cast<unsigned char>(lines.begin()[0])));
    }
    if (!DecodeDigits(lines, 1, &record, error)) return false;
    const uint8_t* b = record.bytes.data();
    if (record.size < 5) {
      return Fail(error, line,
                  "the record is cut short: " + std::to_string(record.size) +
                      " bytes, where even an empty record has 5");
    }
    const size_t count = b[0];
    if (record.size != count + 5) {
      return Fail(error, line,
                  "the length byte says " + std::to_string(count) + " data bytes, the line holds " +
                      std::to_string(record.size - 5));
    }
    if ((record.sum & 0xFF) != 0) {
      const unsigned wanted = (b[record.size - 1] - record.sum) & 0xFF;
      return Fail(error, line,
                  "checksum " + Hex2(b[record.size - 1]) + " is wrong; the record's bytes need " +
                      Hex2(wanted));
    }
    const uint32_t offset = BigEndian(b + 1, 2);
    const uint8_t type = b[3];
    // Every type but data has a fixed length; a wrong one means a damaged
    // record whose checksum happened to fit.
    static const int kLengthOfType[6] = {-1, 0, 2, 4, 2, 4};
    if (type > 5) return Fail(error, line, "unknown record type " + Hex2(type));
    if (kLengthOfType[type] >= 0 && count != static_cast<size_t>(kLengthOfType[type])) {
      return Fail(error, line,
                  "a type " + Hex2(type) + " record has " + std::to_string(kLengthOfType[type]) +
                      " data bytes, this one " + std::to_string(count));
    }
    switch (type) {
      case 0x00:
        if (segmented && offset + count > 0x10000) {
          return Fail(error, line,
                      "the record runs past the end of its 64 KiB segment at " +
                          HexAddress(base + 0x10000));
        }
        if (!KeepData(sink, lines, record, 4, base + offset, count, error)) return false;
        break;
      case 0x01:
        end_line = line;
        break;
      case 0x02:
        base = uint64_t{BigEndian(b + 4, 2)} << 4;
        segmented = true;
        break;
      case 0x04:
        base = uint64_t{BigEndian(b + 4, 2)} << 16;
        segmented = false;
        break;
      default:  // 03 and 05: start addresses, of no use to a bootloader that starts itself
        break;
    }
  }
  if (lines.failed()) return false;
  if (!any) return NoRecords(lines, error);
  if (end_line == 0) {
    return Fail(error, lines.number(), "the file ends without an end record (type 01)");
  }
  return true;
}

bool ReadSRecords(ImageText& text, DataSink& sink, ImageError* error) {
  Lines lines(text, error);
  Record record;
  // Bytes of the address field by type; S4 does not exist.
  static const int kAddressBytes[10] = {2, 2, 3, 4, -1, 2, 3, 4, 3, 2};
  size_t end_line = 0;
  uint64_t data_records = 0;
  // Some writers close with the count record alone; either kind after the
  // last data shows that the file was not cut short.
  bool closed = false;
  bool any = false;
  while (lines.Next()) {
    any = true;
    const size_t line = lines.number();
    if (end_line != 0) {
      return Fail(error, line,
                  "a record after the termination record on line " + std::to_string(end_line));
    }
    const char* chars = lines.begin();
    if (chars[0] != 'S') {
      return Fail(error, line,
                  "a record starts with 'S', this line with " +
                      Shown(static_cast<unsigned char>(chars[0])));
    }
    const int type = lines.length() > 1 ? chars[1] - '0' : -1;
    if (type < 0 || type > 9 || kAddressBytes[type] < 0) {
      return Fail(error, line,
                  lines.length() > 1 ? "unknown record type " + Shown(static_cast<unsigned char>(chars[1]))
                                     : "the record is cut short after 'S'");
    }
    if (!DecodeDigits(lines, 2, &record, error)) return false;
    const uint8_t* b = record.bytes.data();
    if (record.size == 0) return Fail(error, line, "the record is cut short: no length byte");
    const size_t count = b[0];
    if (record.size != count + 1) {
      return Fail(error, line,
                  "the length byte says " + std::to_string(count) + " bytes follow it, the line holds " +
                      std::to_string(record.size - 1));
    }
    const size_t address_bytes = static_cast<size_t>(kAddressBytes[type]);
    if (count < address_bytes + 1) {
      return Fail(error, line,
                  "the length byte says " + std::to_string(count) + " bytes, too few for an S" +
                      std::to_string(type) + " record's address and checksum");
    }
    const unsigned wanted = ~(record.sum - b[record.size - 1]) & 0xFF;
    if (b[record.size - 1] != wanted) {
      return Fail(error, line,
                  "checksum " + Hex2(b[record.size - 1]) + " is wrong; the record's bytes need " +
                      Hex2(wanted));
    }
    const uint32_t address = BigEndian(b + 1, address_bytes);
    const size_t data_count = count - address_bytes - 1;
    if (type >= 5 && data_count != 0) {
      return Fail(error, line,
                  "an S" + std::to_string(type) + " record carries no data, this one " +
                      std::to_string(data_count) + " bytes");
    }
    switch (type) {
      case 1:
      case 2:
      case 3:
        ++data_records;
        closed = false;
        if (!KeepData(sink, lines, record, 1 + address_bytes, address, data_count, error)) return false;
        break;
      case 5:
      case 6: {
        // The count field holds the low bits of the count, so that a file
        // of more records than it can hold still checks what it can.
        const uint64_t field_mask = (uint64_t{1} << (8 * address_bytes)) - 1;
        if ((data_records & field_mask) != address) {
          return Fail(error, line,
                      "the count record says " + std::to_string(address) + " data records, the " +
                          "file holds " + std::to_string(data_records) + " before it");
        }
        closed = true;
        break;
      }
      case 7:
      case 8:
      case 9:
        end_line = line;
        closed = true;
        break;
      default:  // S0: a header, free text
        break;
    }
  }
  if (lines.failed()) return false;
  if (!any) return NoRecords(lines, error);
  if (!closed) {
    return Fail(error, lines.number(),
                "the file ends without a count or termination record (S5 to S9) after its data");
  }
  return true;
}

}  // namespace image_records
