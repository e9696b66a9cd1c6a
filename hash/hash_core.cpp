// SHA-256: the object's rules and the hex form, shared by every platform.
// The digest itself is the platform library's (hash_<platform>.cpp).
#include "hash/hash.h"

#include "hash/hash_backend.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * count);
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

}  // namespace

Sha256::Sha256() : state_(hash_backend::Sha256Begin()) {}

Sha256::~Sha256() {
  if (state_ != nullptr) hash_backend::Sha256Discard(state_);
}

int32_t Sha256::Update(const void* data, size_t size) {
  if (state_ == nullptr || failed_) return 0;
  if (size == 0) return 1;
  // A digest that missed some bytes would name an image that was never
  // read: once a piece is refused, the whole digest is lost.
  if (data == nullptr || !hash_backend::Sha256Update(state_, data, size)) {
    failed_ = true;
    return 0;
  }
  return 1;
}

std::string Sha256::FinishHex() {
  if (state_ == nullptr) return std::string();
  void* state = state_;
  state_ = nullptr;
  if (failed_) {
    hash_backend::Sha256Discard(state);
    return std::string();
  }
  uint8_t digest[hash_backend::kSha256Bytes];
  if (!hash_backend::Sha256Finish(state, digest)) return std::string();
  return Hex(digest, sizeof digest);
}

std::string Sha256Hex(const void* data, size_t size) {
  Sha256 hash;
  if (!hash.Update(data, size)) return std::string();
  return hash.FinishHex();
}
