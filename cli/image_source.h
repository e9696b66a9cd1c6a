// The image of a run: read once, before any port is opened, from a raw
// file as it is or from the flat image an Intel HEX or S-record file
// describes. Every board of the run is sent from these bytes, and their
// SHA-256 is taken over exactly what goes on the line, so that what is
// checked, recorded and sent are the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"

struct ImageReading {
  bool format_given = false;  // --format overrules the extension
  ImageFormat format = ImageFormat::Raw;
  FlattenOptions options;

  // The format `path` is read as.
  ImageFormat FormatOf(const std::string& path) const {
    return format_given ? format : FormatForPath(path);
  }
};

// What the start line, the events and the record tell of an image.
struct ImageFacts {
  bool flattened = false;  // false: the file is sent as it is
  std::string format;      // "ihex", "srec"
  uint32_t first_address = 0;
  uint64_t end_address = 0;
  bool padded = false;
  // A raw file of odd length: its last byte is announced but never sent,
  // since the line takes whole words.
  bool odd_length = false;
  std::string description;  // "0x08000000 to 0x08001232, 4660 bytes"
  std::string sha256;       // of the bytes that go on the line
};

struct Image {
  std::string path;            // the file it was read from
  std::vector<uint8_t> bytes;  // what the upload reads: the file, or its flat image
  ImageFacts facts;

  // The size announced on the line.
  int64_t size() const { return static_cast<int64_t>(bytes.size()); }
  // The bytes that go on the line: whole words.
  int64_t sent() const { return size() & ~int64_t{1}; }
};

// Reads `path` once, by `reading`, into `image`, hashed. Empty when it can
// be flashed; else why, in plain words (the file's problem, or the line or
// the addresses at fault). Nothing stays open.
std::string LoadImage(const std::string& path, const ImageReading& reading, Image* image);

// Works out the facts that follow from the bytes alone (the hash of what is
// sent, an odd length), for an image whose bytes were handed over.
void SealImage(Image* image);

// Why `path` cannot be flashed, in plain words, after the file layer
// refused it or its size (`size`, when it opened).
std::string FileProblemText(const std::string& path, int64_t size);

// Why an image with `facts` is not the one expected, or empty when it is
// (or when no hash is expected).
std::string HashProblem(const ImageFacts& facts, const std::string& expected_sha256);

// Puts the image's bytes in the file slot for the upload; non-zero when open.
intptr_t OpenImageSlot(int32_t file_slot, const Image& image);
