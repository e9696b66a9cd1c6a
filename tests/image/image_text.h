// Records with a correct length byte and checksum, for building test files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "image/image.h"

namespace image_text {

using Bytes = std::vector<uint8_t>;

// The record line for `b`, its checksum (two's or ones' complement) appended.
inline std::string Line(const std::string& start, Bytes b, bool ones) {
  unsigned sum = 0;
  for (uint8_t x : b) sum += x;
  b.push_back(static_cast<uint8_t>(ones ? ~sum : 0 - sum));
  std::string line = start;
  for (uint8_t x : b) line += {"0123456789ABCDEF"[x >> 4], "0123456789ABCDEF"[x & 0xF]};
  return line + "\n";
}
inline std::string IhexLine(uint8_t type, uint16_t offset, Bytes data) {
  data.insert(data.begin(), {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
                             static_cast<uint8_t>(offset), type});
  return Line(":", data, false);
}
inline std::string SrecLine(int type, uint32_t address, const Bytes& data) {
  const int address_bytes = "2234023432"[type] - '0';
  Bytes b = {static_cast<uint8_t>(address_bytes + data.size() + 1)};
  for (int i = address_bytes - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(address >> (8 * i)));
  b.insert(b.end(), data.begin(), data.end());
  return Line("S" + std::to_string(type), b, true);
}

// A text made as it is read, never stored: `head`, then `tail` over and over
// up to `size` bytes in all, at most `piece` bytes per read. `head_after_rewind`,
// when set, is the head from the first rewind on: a file rewritten meanwhile.
class MadeText : public ImageText {
 public:
  MadeText(std::string head, std::string tail, uint64_t size, size_t piece = SIZE_MAX)
      : head_(std::move(head)), tail_(std::move(tail)), size_(size), piece_(piece) {}
  size_t Read(char* buffer, size_t capacity) override {
    const size_t count = static_cast<size_t>(std::min<uint64_t>({capacity, piece_, size_ - at_}));
    for (size_t i = 0; i < count; ++i, ++at_) {
      buffer[i] = at_ < head_.size() ? head_[at_] : tail_[(at_ - head_.size()) % tail_.size()];
    }
    handed += count;
    return count;
  }
  bool Rewind() override {
    if (!head_after_rewind.empty()) head_ = head_after_rewind;
    at_ = 0;
    return true;
  }
  bool Failed() const override { return false; }

  std::string head_after_rewind;
  uint64_t handed = 0;  // bytes read, all readings together

 private:
  std::string head_, tail_;
  uint64_t size_, at_ = 0;
  size_t piece_;
};

inline Bytes RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes v(n);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

}  // namespace image_text
