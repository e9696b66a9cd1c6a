#include "cli/image_source.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "fileio/fileio.h"
#include "hash/hash.h"
#include "update/update.h"

namespace {

constexpr int32_t kScratchSlot = 1;  // the file slot 0 is the upload's

// The SHA-256 of the `size` bytes open in `slot`, read in pieces; empty
// when the file came short.
std::string HashOfSlot(int32_t slot, int64_t size) {
  Sha256 hash;
  std::string piece;
  piece.reserve(1 << 16);
  for (int64_t left = size; left > 0;) {
    piece.clear();
    while (left > 0 && piece.size() < (1 << 16)) {
      piece.push_back(static_cast<char>(FileReadByte(slot)));
      --left;
    }
    hash.Update(piece.data(), piece.size());
  }
  return FileReadShort(slot) ? std::string() : hash.FinishHex();
}

}  // namespace

std::string HashProblem(const ImageFacts& facts, const std::string& expected) {
  if (expected.empty() || facts.sha256 == expected) return std::string();
  return "SHA-256 " + (facts.sha256.empty() ? std::string("unknown") : facts.sha256) +
         ", not the expected " + expected;
}

std::string FileProblemText(const std::string& path, int64_t size) {
  const int64_t at_path = FileSizeAtPath(path.c_str());
  if (at_path == -2) return "a directory, not a file";
  if (at_path < 0) return "no such file";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    return "not a regular file (a device, a FIFO or a socket)";
  }
  // Larger files would be announced by their low 32 bits and arrive cut
  // short on the device.
  if (!FitsSizeField(size)) {
    return std::to_string(size) + " bytes, more than the 32-bit size field can announce";
  }
  return "cannot be opened for reading";
}

std::string ReadingWord(const ImageReading& reading) {
  const FlattenOptions& o = reading.options;
  return std::string(reading.format_given ? FormatName(reading.format) : "-") + ":" +
         (o.has_base ? std::to_string(o.base) : "-") + ":" + std::to_string(o.fill) + ":" +
         std::to_string(o.max_gap);
}

bool ParseReadingWord(const std::string& word, ImageReading* reading) {
  char format[8] = {};
  char base[16] = {};
  unsigned fill = 0;
  unsigned long long gap = 0;
  if (std::sscanf(word.c_str(), "%7[a-z-]:%15[0-9-]:%u:%llu", format, base, &fill, &gap) != 4 ||
      fill > 0xFF) {
    return false;
  }
  reading->format_given = std::string(format) != "-";
  if (reading->format_given && !ParseFormatName(format, &reading->format)) return false;
  reading->options.has_base = std::string(base) != "-";
  reading->options.base = static_cast<uint32_t>(std::strtoul(base, nullptr, 10));
  reading->options.fill = static_cast<uint8_t>(fill);
  reading->options.max_gap = gap;
  return true;
}

bool LoadImage(const std::string& path, const ImageReading& reading, FlatImage* image,
               std::string* why) {
  // Through the file layer, so that what is no regular file is refused
  // without waiting on it, as for any image.
  if (!OpenFileForReading(kScratchSlot, path.c_str())) {
    *why = "cannot be opened as a regular file";
    return false;
  }
  std::string text(static_cast<size_t>(FileSlotSize(kScratchSlot)), '\0');
  for (char& c : text) c = static_cast<char>(FileReadByte(kScratchSlot));
  const bool whole = FileReadShort(kScratchSlot) == 0;
  CloseFileSlot(kScratchSlot);
  if (!whole) {
    *why = "the file came short while it was read";
    return false;
  }
  ImageError error;
  if (!FlattenImage(text, reading.FormatOf(path), reading.options, image, &error)) {
    *why = std::string("not a valid ") +
           (reading.FormatOf(path) == ImageFormat::IntelHex ? "Intel HEX" : "S-record") +
           " file: " + DescribeImageError(error);
    return false;
  }
  return true;
}

bool OpenImage(int32_t file_slot, const std::string& path, const ImageReading& reading,
               std::string* why) {
  if (reading.FormatOf(path) == ImageFormat::Raw) {
    return OpenFileForReading(file_slot, path.c_str()) != 0;
  }
  FlatImage image;
  if (!LoadImage(path, reading, &image, why)) return false;
  return OpenBytesForReading(file_slot, image.bytes.data(),
                             static_cast<int64_t>(image.bytes.size())) != 0;
}

std::string CheckImage(const std::string& path, const ImageReading& reading, int64_t* size,
                       ImageFacts* facts) {
  *facts = ImageFacts{};
  if (reading.FormatOf(path) == ImageFormat::Raw) {
    const bool opened = OpenFileForReading(kScratchSlot, path.c_str()) != 0;
    *size = opened ? FileSlotSize(kScratchSlot) : 0;
    if (opened && FitsSizeField(*size)) facts->sha256 = HashOfSlot(kScratchSlot, *size);
    CloseFileSlot(kScratchSlot);
    return opened && FitsSizeField(*size) ? std::string() : FileProblemText(path, *size);
  }
  FlatImage image;
  std::string why;
  if (!LoadImage(path, reading, &image, &why)) {
    return FileSizeAtPath(path.c_str()) < 0 ? FileProblemText(path, 0) : why;
  }
  *size = static_cast<int64_t>(image.bytes.size());
  facts->flattened = true;
  facts->format = FormatName(reading.FormatOf(path));
  facts->first_address = image.first_address;
  facts->end_address = image.end_address;
  facts->padded = image.padded;
  facts->description = DescribeFlatImage(image);
  facts->sha256 = Sha256Hex(image.bytes.data(), image.bytes.size());
  return FitsSizeField(*size) ? std::string() : FileProblemText(path, *size);
}
