// Which format a file is in, and the one entry that reads and flattens it.
#include "image/image.h"

#include "image/image_records.h"

namespace {

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

bool FlattenImage(const std::string& text, ImageFormat format, const FlattenOptions& options,
                  FlatImage* image, ImageError* error) {
  using image_records::HexAddress;
  const uint64_t first = options.has_base ? options.base : 0;
  if (format == ImageFormat::Raw) {
    if (first + text.size() > (uint64_t{1} << 32)) {
      *error = {0, "the file does not fit the 32-bit address space from " + HexAddress(first)};
      return false;
    }
    FlatImage result;
    result.bytes.assign(text.begin(), text.end());
    result.first_address = static_cast<uint32_t>(first);
    result.end_address = first + text.size();
    *image = std::move(result);
    return true;
  }
  // Records keep 32-bit offsets into the text; a text this large could not
  // describe a 4 GiB image anyway.
  if (text.size() > 0xFFFFFFFFu) {
    *error = {0, "the file is larger than 4 GiB"};
    return false;
  }
  // One allocation for the list of records, as many as the text could
  // hold: the shortest data record takes 12 characters and a line end.
  // Only the part that is used is ever touched.
  std::vector<image_records::DataRecord> records;
  records.reserve(text.size() / 13);
  const bool read = format == ImageFormat::IntelHex ? image_records::ReadIntelHex(text, &records, error)
                                                    : image_records::ReadSRecords(text, &records, error);
  return read && image_records::Flatten(text, records, options, image, error);
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
