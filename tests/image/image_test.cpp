// Hand-made records: which files are read as what, what a valid file
// flattens to, and that each kind of fault is refused where it is; then
// random damage to valid files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <new>

#include "tests/image/image_text.h"

using namespace image_text;

// The largest single allocation since it was last cleared: a refused file
// must not have had its block allocated.
static size_t g_largest_allocation = 0;
void* operator new(size_t size) {
  g_largest_allocation = std::max(g_largest_allocation, size);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// Every form that a replaced delete may free, so that no allocation comes
// from elsewhere (the sort's temporary buffer asks for the nothrow one).
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  g_largest_allocation = std::max(g_largest_allocation, size);
  return std::malloc(size ? size : 1);
}
void* operator new[](size_t size) { return operator new(size); }
// GCC takes the replaced pair for a mismatch of new and free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

const ImageFormat kHex = ImageFormat::IntelHex, kSrec = ImageFormat::SRecord, kRaw = ImageFormat::Raw;
const std::string kEnd = IhexLine(1, 0, {});

FlattenOptions Opt(uint64_t max_gap = 65536, bool has_base = false, uint32_t base = 0, uint8_t fill = 0xFF) {
  return {has_base, base, fill, max_gap};
}

}  // namespace

TEST(ImageFormat, ExtensionsAndNames) {
  const std::pair<const char*, ImageFormat> paths[] = {
      {"FW.HEX", kHex}, {"a.b/c.IHex", kHex}, {"fw.srec", kSrec}, {"fw.S19", kSrec}, {"fw.s28", kSrec},
      {"fw.s37", kSrec}, {"C:\\fw.Mot", kSrec}, {"hex", kRaw}, {"d.hex/fw", kRaw}, {"C:\\d.s19\\fw", kRaw},
      {"fw.hex.bin", kRaw}, {"fw.s19x", kRaw}};
  for (const auto& [path, format] : paths) EXPECT_EQ(FormatForPath(path), format) << path;
  ImageFormat format = kRaw;
  for (const char* name : {"ihex", "srec", "bin"}) {
    EXPECT_TRUE(ParseFormatName(name, &format) && std::string(FormatName(format)) == name) << name;
  }
  for (const char* name : {"hex", "IHEX", ""}) EXPECT_FALSE(ParseFormatName(name, &format)) << name;
  EXPECT_EQ(format, kRaw);
}

// A file's outcome as one line: its description and bytes, or the refusal
// (which must leave the image untouched).
template <class Text>
std::string Outcome(Text& text, ImageFormat format, const FlattenOptions& options) {
  FlatImage image;
  image.bytes = {42};
  ImageError error;
  if (!FlattenImage(text, format, options, &image, &error)) {
    return image.bytes == Bytes{42} ? DescribeImageError(error) : "image changed by a refusal";
  }
  std::string line = DescribeFlatImage(image) + ":";
  for (uint8_t b : image.bytes) line += " " + Line("", {b}, false).substr(0, 2);
  return line;
}

TEST(ImageFlatten, EachFileGivesItsBlockOrARefusalThatSaysWhere) {
  // Out of order, CRLF, lower case, blank lines, start addresses to ignore.
  std::string messy = "\n" + IhexLine(4, 0, {8, 0}) + IhexLine(0, 2, {3, 4}) + IhexLine(3, 0, {0, 0, 1, 0}) +
                      IhexLine(0, 0, {0xA, 0xB}) + IhexLine(5, 0, {8, 0, 0, 0}) + "\t \n" + kEnd;
  for (size_t at = 0; (at = messy.find('\n', at)) != std::string::npos; at += 2) messy.replace(at, 1, "\r\n");
  for (char& c : messy) c = static_cast<char>(std::tolower(c));
  const std::string data = IhexLine(0, 0x100, {1, 2, 3});  // :03010000010203F6
  const std::string s3 = SrecLine(3, 0x08000000, {1, 2, 3}), s7 = SrecLine(7, 0, {});
  const struct {
    std::string text;
    ImageFormat format;
    FlattenOptions options;
    const char* outcome;
  } cases[] = {
      {IhexLine(0, 0x10, {1, 2}) + IhexLine(0, 0x14, {3}) + kEnd, kHex, Opt(65536, false, 0, 0), "0x00000010 to 0x00000014, 6 bytes (one fill byte added so that the last word is whole): 01 02 00 00 03 00"},
      {messy, kHex, Opt(), "0x08000000 to 0x08000003, 4 bytes: 0A 0B 03 04"},
      {IhexLine(2, 0, {0x12, 0x34}) + IhexLine(0, 0xFFFE, {9, 8}) + kEnd, kHex, Opt(), "0x0002233E to 0x0002233F, 2 bytes: 09 08"},
      {IhexLine(4, 0, {0, 1}) + IhexLine(0, 0xFFFF, {7, 6, 5}) + kEnd, kHex, Opt(), "0x0001FFFF to 0x00020001, 4 bytes (one fill byte added so that the last word is whole): 07 06 05 FF"},
      {IhexLine(0, 0, {1}) + IhexLine(0, 3, {2}) + kEnd, kHex, Opt(2), "0x00000000 to 0x00000003, 4 bytes: 01 FF FF 02"},
      {SrecLine(0, 0, {'h'}) + SrecLine(1, 0xFFFE, {1, 2}) + SrecLine(2, 0x10000, {3}) + SrecLine(3, 0x10001, {4}) +
       SrecLine(5, 3, {}), kSrec, Opt(), "0x0000FFFE to 0x00010001, 4 bytes: 01 02 03 04"},
      {SrecLine(3, 0x0802, {5, 6}) + s7, kSrec, Opt(65536, true, 0x0800), "0x00000800 to 0x00000803, 4 bytes: FF FF 05 06"},
      {SrecLine(3, 0xFFFFFFFF, {7}) + s7, kSrec, Opt(), "0xFFFFFFFF to 0xFFFFFFFF, 2 bytes (one fill byte added so that the last word is whole): 07 FF"},
      {"abc", kRaw, Opt(65536, true, 0x100), "0x00000100 to 0x00000102, 3 bytes: 61 62 63"},  // raw: as it is, never padded
      {"", kRaw, Opt(), "no data, 0 bytes:"},
      {data + data.substr(0, 15) + "F7\n" + kEnd, kHex, Opt(), "line 2: checksum 0xF7 is wrong; the record's bytes need 0xF6"},
      {data.substr(0, 13) + "\n" + kEnd, kHex, Opt(), "line 1: the length byte says 3 data bytes, the line holds 1"},
      {":0301000001G203F6\n" + kEnd, kHex, Opt(), "line 1: 'G' at column 12 is not a hex digit"},
      {"0301000001\n", kHex, Opt(), "line 1: a record starts with ':', this line with '0'"},
      {data + IhexLine(0, 0x200, {1}) + IhexLine(0, 0x102, {9}) + kEnd, kHex, Opt(), "line 3: data at 0x00000102 overlaps the data of line 1"},
      {IhexLine(0, 0, {1, 2}) + IhexLine(0, 2, {3, 4}) + IhexLine(0, 3, {5}) + kEnd, kHex, Opt(), "line 3: data at 0x00000003 overlaps the data of line 2"},
      {IhexLine(4, 0, {8, 0}) + IhexLine(0, 0, {1}) + IhexLine(4, 0, {8, 1}) + IhexLine(0, 2, {2}) + kEnd, kHex, Opt(),
       "line 4: no data from 0x08000001 up to 0x08010002: a gap of 65537 bytes, over the limit of 65536"},
      {data + kEnd, kHex, Opt(65536, true, 0x101), "line 1: data at 0x00000100 lies below the base address 0x00000101"},
      {data + kEnd, kHex, Opt(0xFF, true, 0), "line 1: no data from 0x00000000 up to 0x00000100: a gap of 256 bytes, over the limit of 255"},
      {data + data, kHex, Opt(), "line 2: the file ends without an end record (type 01)"},
      {data + kEnd + data, kHex, Opt(), "line 3: a record after the end record on line 2"},
      {IhexLine(2, 0, {0x10, 0}) + IhexLine(0, 0xFFFF, {1, 2}) + kEnd, kHex, Opt(), "line 2: the record runs past the end of its 64 KiB segment at 0x00020000"},
      {IhexLine(4, 0, {0xFF, 0xFF}) + IhexLine(0, 0xFFFF, {1, 2}) + kEnd, kHex, Opt(), "line 2: data at 0xFFFFFFFF runs past the end of the 32-bit address space"},
      {IhexLine(2, 0, {0x10}) + kEnd, kHex, Opt(), "line 1: a type 0x02 record has 2 data bytes, this one 1"},
      {IhexLine(6, 0, {}) + kEnd, kHex, Opt(), "line 1: unknown record type 0x06"},
      {kEnd, kHex, Opt(), "the file holds no data"},
      {SrecLine(0, 0, {}) + s3 + SrecLine(5, 2, {}) + s7, kSrec, Opt(), "line 3: the count record says 2 data records, the file holds 1 before it"},
      {s3.substr(0, s3.size() - 3) + "00\n" + s7, kSrec, Opt(), "line 1: checksum 0x00 is wrong; the record's bytes need 0xE9"},
      {s3.substr(0, 14) + "\n", kSrec, Opt(), "line 1: the length byte says 8 bytes follow it, the line holds 5"},
      {"S9020000\n", kSrec, Opt(), "line 1: the length byte says 2 bytes, too few for an S9 record's address and checksum"},
      {s3 + SrecLine(5, 1, {}) + s3, kSrec, Opt(), "line 3: the file ends without a count or termination record (S5 to S9) after its data"},
      {"", kSrec, Opt(), "the file is empty"},
      {"ab", kRaw, Opt(65536, true, 0xFFFFFFFF), "the file does not fit the 32-bit address space from 0xFFFFFFFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(Outcome(c.text, c.format, c.options), c.outcome) << c.text;
}

// Random damage to valid files: every result is an image within the memory
// bound or a refusal that says where. Half the damage changes a digit and
// fixes the checksum, so that it gets past the record checks to the rules.
TEST(ImageFuzz, DamagedFilesGiveAnImageOrACleanRefusal) {
  std::string hex = IhexLine(4, 0, {0, 1}), srec = SrecLine(0, 0, {'f', 'w'});
  for (uint16_t i = 0; i < 12; ++i) {
    const uint16_t offset = static_cast<uint16_t>(0xFF00 + 16 * i + (i > 8 ? 0x40 : 0));
    hex += IhexLine(0, offset, RandomBytes(16, i));
    srec += SrecLine(1 + i % 3, offset, RandomBytes(16, i));
  }
  hex += IhexLine(2, 0, {0x20, 0}) + IhexLine(0, 0x0200, RandomBytes(7, 20)) + kEnd;
  srec += SrecLine(5, 12, {}) + SrecLine(9, 0, {});
  std::mt19937 gen(2024);
  int accepted = 0, refused = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string text = round % 2 ? hex : srec;
    for (int steps = 1 + static_cast<int>(gen() % 2); steps > 0 && !text.empty(); --steps) {
      const size_t at = gen() % text.size();
      switch (gen() % 8) {
        case 0: text[at] = "0123456789ABCDEFfS:\n\r 7"[gen() % 23]; break;
        case 1: text[at] = static_cast<char>(gen()); break;
        case 2: text.erase(at, 1 + gen() % 40); break;
        case 3: text.insert(at, text.substr(gen() % text.size(), gen() % 60)); break;
        default: {
          text[at] = "0123456789ABCDEF"[gen() % 16];
          const size_t begin = text.rfind('\n', at) + 1, end = std::min(text.find('\n', at), text.size());
          const size_t skip = text[begin] == 'S' ? 2 : 1;
          Bytes bytes;
          const auto digit = [&](size_t i) { return std::isxdigit(static_cast<unsigned char>(text[i])) != 0; };
          for (size_t i = begin + skip; i + 2 < end && digit(i) && digit(i + 1); i += 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
          }
          if (bytes.size() * 2 + skip + 2 != end - begin) break;  // not all hex
          const std::string line = Line(text.substr(begin, skip), bytes, skip == 2);
          text.replace(begin, end - begin, line, 0, line.size() - 1);
        }
      }
    }
    FlattenOptions options = Opt(round % 3 == 0 ? 64 : 65536);
    FlatImage image;
    ImageError error;
    const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    if (FlattenImage(text, round % 2 ? kHex : kSrec, options, &image, &error)) {
      ++accepted;  // never more than the data the text can hold plus one allowed gap per line:
      ASSERT_LE(image.bytes.size(), text.size() / 2 + lines * options.max_gap) << text;
      ASSERT_EQ(image.bytes.size(), image.end_address - image.first_address + image.padded) << text;
    } else {
      ++refused;
      ASSERT_TRUE(!error.text.empty() && error.line <= lines) << text;
    }
    // Read in small pieces, lines split across reads: the same outcome.
    MadeText pieces(text, "", text.size(), 1 + round % 13);
    ASSERT_EQ(Outcome(pieces, round % 2 ? kHex : kSrec, options), Outcome(text, round % 2 ? kHex : kSrec, options));
  }
  EXPECT_GT(accepted, 400) << "the damage must not all be refused, or it never reaches the rules";
  EXPECT_GT(refused, 400);
}

// Files that break the rules are refused from their first few lines,
// however long they are, and nothing the size of their block is allocated.
TEST(ImageStream, LargeBadFilesAreRefusedEarlyWithoutTheirBlock) {
  const uint64_t k5GiB = uint64_t{5} << 30;
  FlattenOptions wide = Opt(0xFFFFFFFF), small_raw = Opt();
  wide.max_size = INT32_MAX;
  small_raw.max_size = 1000;
  const std::string span = IhexLine(0, 0, {1}) + IhexLine(4, 0, {0xFF, 0xFF}) + IhexLine(0, 0xFFFE, {2});
  const std::string nul(1, '\0'), too_long = "line 1: the line is longer than any record: over 1024 characters";
  struct {
    MadeText text;
    ImageFormat format;
    FlattenOptions options;
    std::string outcome;
  } cases[] = {
      {{"", nul, k5GiB}, kHex, Opt(), too_long},
      {{"", nul, k5GiB}, kSrec, Opt(), too_long},
      {{"", nul, k5GiB}, kRaw, small_raw, "the file is larger than the limit of 1000 bytes"},
      {{span, kEnd, k5GiB}, kHex, wide, "line 3: data at 0xFFFFFFFE makes the image run from 0x00000000 to 0xFFFFFFFE, 4294967296 bytes, over the limit of 2147483647"},
      {{"", IhexLine(0, 0, {1}), k5GiB}, kHex, Opt(), "line 2: data at 0x00000000 overlaps the data of line 1"},
  };
  for (auto& c : cases) {
    g_largest_allocation = 0;
    EXPECT_EQ(Outcome(c.text, c.format, c.options), c.outcome);
    EXPECT_LT(c.text.handed, 1u << 20) << c.outcome;
    EXPECT_LT(g_largest_allocation, 1u << 20) << c.outcome;
  }
}

TEST(ImageStream, AFileRewrittenBetweenTheReadingsIsRefused) {
  const std::string file = IhexLine(0, 0x10, {1, 2}) + kEnd;
  for (const std::string& second : {IhexLine(0, 0x10, {1, 3}) + kEnd, IhexLine(0, 0x20, {1, 2}) + kEnd}) {
    MadeText text(file, "", file.size());
    text.head_after_rewind = second;
    EXPECT_EQ(Outcome(text, kHex, Opt()), "the file changed while it was read") << second;
  }
}
