// Which format a file is in, and the one entry that reads and flattens it.
#include "image/image.h"

#include <algorithm>
#include <cstring>

#include "image/image_records.h"

namespace {

// The first allocation for a raw file, which then doubles as it is read.
constexpr uint64_t kRawPiece = 64 * 1024;

// A text held whole, handed out as if it were read.
class StringText : public ImageText {
 public:
  explicit StringText(const std::string& text) : text_(text) {}
  size_t Read(char* buffer, size_t capacity) override {
    const size_t count = std::min(capacity, text_.size() - at_);
    std::memcpy(buffer, text_.data() + at_, count);
    at_ += count;
    return count;
  }
  bool Rewind() override {
    at_ = 0;
    return true;
  }
  bool Failed() const override { return false; }

 private:
  const std::string& text_;
  size_t at_ = 0;
};

std::string LowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

ImageFormat FormatForPath(const std::string& path) {
  // Both separators count on every system, so that a Windows path names
  // the same format wherever it is looked at.
  const size_t name_start = path.find_last_of("/\\");
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (name_start != std::string::npos && dot < name_start)) {
    return ImageFormat::Raw;
  }
  const std::string extension = LowerCase(path.substr(dot + 1));
  if (extension == "hex" || extension == "ihex") return ImageFormat::IntelHex;
  for (const char* name : {"srec", "s19", "s28", "s37", "mot"}) {
    if (extension == name) return ImageFormat::SRecord;
  }
  return ImageFormat::Raw;
}

bool ParseFormatName(const std::string& name, ImageFormat* out) {
  for (ImageFormat format : {ImageFormat::Raw, ImageFormat::IntelHex, ImageFormat::SRecord}) {
    if (name == FormatName(format)) {
      *out = format;
      return true;
    }
  }
  return false;
}

const char* FormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::IntelHex:
      return "ihex";
    case ImageFormat::SRecord:
      return "srec";
    case ImageFormat::Raw:
      break;
  }
  return "bin";
}

bool FlattenImage(ImageText& text, ImageFormat format, const FlattenOptions& options,
                  FlatImage* image, ImageError* error) {
  if (format != ImageFormat::Raw) return image_records::FlattenRecords(text, format, options, image, error);
  const uint64_t first = options.has_base ? options.base : 0;
  const uint64_t room = (uint64_t{1} << 32) - first;
  const uint64_t limit = std::min(room, options.max_size);
  // Read in pieces into a buffer that never grows past one byte over the
  // limit, the byte that shows the file is too large.
  std::vector<uint8_t> bytes;
  for (;;) {
    if (bytes.size() > limit) {
      *error = {0, limit == room ? "the file does not fit the 32-bit address space from " +
                                       image_records::HexAddress(first)
                                 : "the file is larger than the limit of " +
                                       std::to_string(options.max_size) + " bytes"};
      return false;
    }
    if (bytes.size() == bytes.capacity()) {
      bytes.reserve(static_cast<size_t>(
          std::min<uint64_t>(limit + 1, std::max<uint64_t>(2 * bytes.capacity(), kRawPiece))));
    }
    const size_t held = bytes.size();
    bytes.resize(bytes.capacity());
    const size_t got = text.Read(reinterpret_cast<char*>(bytes.data() + held), bytes.size() - held);
    bytes.resize(held + std::min(got, bytes.size() - held));
    if (got != 0) continue;
    if (text.Failed()) {
      *error = {0, "the file could not be read to its end"};
      return false;
    }
    break;
  }
  FlatImage result;
  result.bytes = std::move(bytes);
  result.first_address = static_cast<uint32_t>(first);
  result.end_address = first + result.bytes.size();
  *image = std::move(result);
  return true;
}

bool FlattenImage(const std::string& text, ImageFormat format, const FlattenOptions& options,
                  FlatImage* image, ImageError* error) {
  StringText source(text);
  return FlattenImage(source, format, options, image, error);
}

std::string DescribeImageError(const ImageError& error) {
  if (error.line == 0) return error.text;
  return "line " + std::to_string(error.line) + ": " + error.text;
}

std::string DescribeFlatImage(const FlatImage& image) {
  using image_records::HexAddress;
  const std::string size = std::to_string(image.bytes.size()) + " bytes";
  if (image.end_address == image.first_address) return "no data, " + size;
  return HexAddress(image.first_address) + " to " + HexAddress(image.end_address - 1) + ", " + size +
         (image.padded ? " (one fill byte added so that the last word is whole)" : "");
}
