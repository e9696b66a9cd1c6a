// SHA-256 of firmware images, so that a record can say which image went to
// a board. The digest comes from the platform's own crypto library
// (libcrypto on Linux, BCrypt on Windows); nothing here prints or throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The digest of `size` bytes at `data` as 64 lower-case hex digits; empty
// when the platform's library fails. `data` may be null when `size` is 0.
std::string Sha256Hex(const void* data, size_t size);

// The same digest taken piece by piece, so that a file can be hashed as it
// is read instead of held whole:
//   Sha256 h; while (...) h.Update(piece, n); std::string hex = h.FinishHex();
// After FinishHex the object is spent: further calls fail.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Adds `size` bytes. Non-zero on success; 0 when the library failed or
  // the digest is already finished, after which FinishHex gives nothing.
  int32_t Update(const void* data, size_t size);
  // The digest of everything added, as Sha256Hex gives it; empty on failure.
  std::string FinishHex();

 private:
  void* state_;  // the backend's; null once spent or when it could not start
  bool failed_ = false;
};
