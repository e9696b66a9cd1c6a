// Where the bytes to send come from: the file as it is, or, for Intel HEX
// and S-record files, the flat image they describe.
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

// What the start line and the start event tell of a flattened image.
struct ImageFacts {
  bool flattened = false;  // false: the file is sent as it is
  std::string format;      // "ihex", "srec"
  uint32_t first_address = 0;
  uint64_t end_address = 0;
  bool padded = false;
  std::string description;  // "0x08000000 to 0x08001232, 4660 bytes"
  std::string sha256;       // of the file, or of the flat image; empty: not known
};

// Whether the image can be flashed: empty when it can, else why; `size` is
// the size that goes on the line and `facts` what to tell of a flattened
// image. Nothing stays open.
std::string CheckImage(const std::string& path, const ImageReading& reading, int64_t* size,
                       ImageFacts* facts);

// Why `path` cannot be flashed, in plain words, after the file layer
// refused it or its size (`size`, when it opened).
std::string FileProblemText(const std::string& path, int64_t size);

// Why an image with `facts` is not the one expected, or empty when it is
// (or when no hash is expected).
std::string HashProblem(const ImageFacts& facts, const std::string& expected_sha256);

// The reading as one word for a worker's command line, and back.
std::string ReadingWord(const ImageReading& reading);
bool ParseReadingWord(const std::string& word, ImageReading* reading);

// Reads `path` (a regular file only) and flattens it by `reading`. False with
// `why` (the line or the addresses at fault) when it cannot be flashed.
bool LoadImage(const std::string& path, const ImageReading& reading, FlatImage* image, std::string* why);

// Opens `path` in the file slot as `reading` says: a raw file as it is, a
// HEX or S-record file as its flat image. False with `why` when it cannot.
bool OpenImage(int32_t file_slot, const std::string& path, const ImageReading& reading,
               std::string* why);
