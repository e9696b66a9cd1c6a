#include "cli/image_source.h"

#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "cli/platform.h"
#include "cli/trace.h"
#include "fileio/fileio.h"
#include "hash/hash.h"
#include "update/update.h"

namespace {

constexpr int32_t kScratchSlot = 1;  // the file slot 0 is the upload's

// The open file's bytes, as many as it had when it was opened; false when
// it came short meanwhile.
bool ReadWhole(int32_t slot, std::vector<uint8_t>* bytes) {
  bytes->resize(static_cast<size_t>(FileSlotSize(slot)));
  for (uint8_t& b : *bytes) b = static_cast<uint8_t>(FileReadByte(slot) & 0xFF);
  return FileReadShort(slot) == 0;
}

// The text of a HEX or S-record file open in a slot, for the image layer's
// two readings: the same open file both times, never the path again.
class SlotText : public ImageText {
 public:
  explicit SlotText(int32_t slot) : slot_(slot) {}
  size_t Read(char* buffer, size_t capacity) override {
    size_t n = 0;
    while (n < capacity) {
      const int32_t byte = FileReadByte(slot_);
      if (FileReadShort(slot_)) break;
      buffer[n++] = static_cast<char>(byte & 0xFF);
    }
    return n;
  }
  bool Rewind() override { return RewindFileSlot(slot_) != 0; }
  // A read error and the end look alike in the file layer; a file that
  // came short shows in the records that are then missing.
  bool Failed() const override { return false; }

 private:
  int32_t slot_;
};

std::string FormatText(ImageFormat format) {
  return format == ImageFormat::IntelHex ? "Intel HEX"
         : format == ImageFormat::SRecord ? "S-record"
                                          : "raw binary";
}

// Why a raw file of `size` bytes cannot lie at the --base given; empty when
// it fits below 4 GiB or no base was given. Any bytes are a raw image: only
// where it is said to lie can be wrong.
std::string RawPlacementProblem(const FlattenOptions& options, int64_t size) {
  constexpr uint64_t kAddressSpace = uint64_t{1} << 32;
  if (!options.has_base || options.base + static_cast<uint64_t>(size) <= kAddressSpace) {
    return std::string();
  }
  char base[16];
  std::snprintf(base, sizeof base, "0x%08X", static_cast<unsigned>(options.base));
  return "read as " + FormatText(ImageFormat::Raw) + " from --base " + base + ", its " +
         std::to_string(size) + " bytes run past the 32-bit address space, which has room for " +
         std::to_string(kAddressSpace - options.base) + " from there";
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

void SealImage(Image* image) {
  image->facts.odd_length = !image->facts.flattened && image->size() % 2 != 0;
  image->facts.sha256 = Sha256Hex(image->bytes.data(), static_cast<size_t>(image->sent()));
}

std::string LoadImage(const std::string& path, const ImageReading& reading, Image* image) {
  *image = Image{};
  image->path = path;
  const ImageFormat format = reading.FormatOf(path);
  // Through the file layer, so that what is no regular file is refused
  // without waiting on it, as for any image; and once, so that every
  // board gets the bytes of the one file that was opened.
  // A knob of the kernel's says a size and yields what it likes.
  if (cli_platform::OnPseudoFileSystem(ResolvedPath(path))) {
    return "a file of the kernel's (/proc, /sys, /dev), not a firmware image";
  }
  if (!OpenFileForReading(kScratchSlot, path.c_str())) return FileProblemText(path, 0);
  const int64_t size = FileSlotSize(kScratchSlot);
  if (format == ImageFormat::Raw && !FitsSizeField(size)) {
    CloseFileSlot(kScratchSlot);
    return FileProblemText(path, size);
  }
  const std::string misplaced =
      format == ImageFormat::Raw ? RawPlacementProblem(reading.options, size) : std::string();
  if (!misplaced.empty()) {
    CloseFileSlot(kScratchSlot);
    return misplaced;
  }
  if (format == ImageFormat::Raw) {
    const bool whole = ReadWhole(kScratchSlot, &image->bytes);
    CloseFileSlot(kScratchSlot);
    if (!whole) return "the file came short while it was read";
    SealImage(image);
    return std::string();
  }
  // Streamed, and bounded before the block is allocated: a file whose
  // image could not be announced is refused without being built.
  FlatImage flat;
  ImageError error;
  FlattenOptions options = reading.options;
  options.max_size = static_cast<uint64_t>(INT32_MAX);
  SlotText text(kScratchSlot);
  const bool flattened = FlattenImage(text, format, options, &flat, &error);
  CloseFileSlot(kScratchSlot);
  if (!flattened) {
    return "not a valid " + FormatText(format) + " file: " + DescribeImageError(error);
  }
  ImageFacts& facts = image->facts;
  facts.flattened = true;
  facts.format = FormatName(format);
  facts.first_address = flat.first_address;
  facts.end_address = flat.end_address;
  facts.padded = flat.padded;
  facts.description = DescribeFlatImage(flat);
  image->bytes = std::move(flat.bytes);
  SealImage(image);
  return std::string();
}

intptr_t OpenImageSlot(int32_t file_slot, const Image& image) {
  return OpenBytesForReading(file_slot, image.bytes.data(), image.size());
}
