// Intel HEX and S-record text, read and flattened. The first byte picks the
// format and the options; the block is bounded, as the programs bound it,
// so that an address far out asks for no gigabytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "image/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t pick = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  FlattenOptions options;
  options.max_size = 1 << 20;
  options.has_base = (pick & 2) != 0;
  options.base = (pick & 4) != 0 ? 0x08000000u : 0u;
  options.max_gap = (pick & 8) != 0 ? 16 : 65536;
  const ImageFormat format = (pick & 1) != 0 ? ImageFormat::SRecord : ImageFormat::IntelHex;
  FlatImage image;
  ImageError error;
  if (FlattenImage(text, format, options, &image, &error)) {
    // What a flattened block promises: it fits the bound, and its end lies
    // within the bytes sent.
    if (image.bytes.size() > options.max_size) __builtin_trap();
    if (!image.bytes.empty() && (image.end_address < image.first_address ||
        image.end_address - image.first_address > image.bytes.size())) {
      __builtin_trap();
    }
    (void)DescribeFlatImage(image);
  } else {
    (void)DescribeImageError(error);
  }
  return 0;
}
