// bench-image [RUNS]
// Times reading a firmware file from disk and flattening it, for files of
// the size compilers ship, against the time one word (2 bytes, 10 bits each
// at 9600 baud) takes on the line: the flattening must never be what the
// device waits for. Prints the first run (a program flattens a file once,
// on memory it has not touched yet), then the best and the median of RUNS
// runs (200).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "image/image.h"

namespace {

constexpr double kWordMs = 2.0 * 10 / 9600 * 1000;
constexpr uint32_t kFirstAddress = 0x08000000;

std::string HexByte(unsigned value) {
  static const char digits[] = "0123456789ABCDEF";
  return {digits[(value >> 4) & 0xF], digits[value & 0xF]};
}

// One record: the start code, its bytes in hex, the checksum the format
// wants (Intel HEX: the two's complement of the sum; S-records: the ones').
std::string Record(const std::string& start, const std::vector<unsigned>& bytes, bool ones) {
  std::string line = start;
  unsigned sum = 0;
  for (unsigned b : bytes) line += HexByte(b), sum += b;
  return line + HexByte(ones ? ~sum : 0x100 - (sum & 0xFF)) + "\n";
}

// Data records of 16 bytes from kFirstAddress on, the usual length from
// compilers and the one with the most text per data byte, until the text
// reaches `text_size`. One 4 KiB gap, so that filling is timed too.
std::string MakeText(ImageFormat format, size_t text_size, size_t* data_size) {
  std::string text = format == ImageFormat::SRecord ? Record("S0", {3, 0, 0}, true) : "";
  uint32_t address = kFirstAddress;
  uint32_t upper = 0;  // of the last extended linear address record
  *data_size = 0;
  while (text.size() < text_size) {
    if (address == kFirstAddress + 0x40000) address += 0x1000;
    std::vector<unsigned> bytes;
    if (format == ImageFormat::SRecord) {
      bytes = {21, address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF};
    } else {
      if (address >> 16 != upper) {
        upper = address >> 16;
        text += Record(":", {2, 0, 0, 4, upper >> 8, upper & 0xFF}, false);
      }
      bytes = {16, (address >> 8) & 0xFF, address & 0xFF, 0};
    }
    for (unsigned i = 0; i < 16; ++i) bytes.push_back((address * 7 + i * 13) & 0xFF);
    text += Record(format == ImageFormat::SRecord ? "S3" : ":", bytes, format == ImageFormat::SRecord);
    address += 16;
    *data_size += 16;
  }
  return text + (format == ImageFormat::SRecord ? Record("S7", {5, 0, 0, 0, 0}, true) : ":00000001FF\n");
}

struct Timing {
  double first_ms;
  double best_ms;
  double median_ms;
};

template <typename Work>
Timing Time(int runs, Work work) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  const double first = ms.front();
  std::sort(ms.begin(), ms.end());
  return {first, ms.front(), ms[ms.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  // The first run's figure is mostly fresh memory being mapped in; what that
  // costs on this machine, measured before anything else has used the heap.
  const auto start = std::chrono::steady_clock::now();
  const std::vector<uint8_t> fresh(1 << 20, 1);
  const double fresh_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  volatile uint8_t kept = fresh[fresh.size() / 2];  // so that the filling cannot be left out
  static_cast<void>(kept);
  std::printf("Filling 1 MiB of fresh memory takes %.3f ms here\n", fresh_ms);
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const auto path = std::filesystem::temp_directory_path() / ("uf-bench-image-" + std::to_string(stamp));
  std::printf("Reading and flattening: first run, best / median of %d; one word on the line takes %.3f ms\n",
              runs, kWordMs);
  struct Case {
    const char* what;
    ImageFormat format;
    size_t text_size;
  } cases[] = {{"1 MiB Intel HEX file", ImageFormat::IntelHex, 1 << 20},
               {"1 MiB S-record file", ImageFormat::SRecord, 1 << 20},
               {"Intel HEX file of a 1 MiB image", ImageFormat::IntelHex, 2900000}};
  int status = 0;
  for (const Case& c : cases) {
    size_t data_size = 0;
    const std::string text = MakeText(c.format, c.text_size, &data_size);
    std::ofstream(path, std::ios::binary) << text;
    FlatImage image;
    ImageError error;
    bool ok = true;
    const Timing flatten = Time(runs, [&] { ok = ok && FlattenImage(text, c.format, {}, &image, &error); });
    const Timing both = Time(runs, [&] {
      std::ifstream in(path, std::ios::binary | std::ios::ate);
      std::string read(static_cast<size_t>(in.tellg()), '\0');
      in.seekg(0).read(&read[0], static_cast<std::streamsize>(read.size()));
      ok = ok && in && FlattenImage(read, c.format, {}, &image, &error);
    });
    if (!ok) {
      std::printf("%s: refused: %s\n", c.what, DescribeImageError(error).c_str());
      status = 1;
      continue;
    }
    std::printf("%s (%zu bytes of text, %zu of data, %zu flat)\n", c.what, text.size(), data_size,
                image.bytes.size());
    for (const auto& [what, t] : {std::make_pair("flatten", flatten), std::make_pair("file read + flatten", both)}) {
      std::printf("  %-20s %7.3f, %7.3f / %7.3f ms  (%.2f, %.2f / %.2f of a word)\n", what, t.first_ms, t.best_ms,
                  t.median_ms, t.first_ms / kWordMs, t.best_ms / kWordMs, t.median_ms / kWordMs);
    }
  }
  std::filesystem::remove(path);
  return status;
}
