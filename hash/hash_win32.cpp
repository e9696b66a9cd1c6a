// SHA-256 on Windows: BCrypt (bcrypt.dll, part of the system), so that the
// program stays one file.
#ifndef _WIN32
#error "hash_win32.cpp is the BCrypt backend"
#endif

#include <windows.h>
// bcrypt.h needs windows.h first
#include <bcrypt.h>

#include <climits>
#include <new>

#include "hash/hash_backend.h"

namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

struct State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

void Release(State* s) {
  if (s->hash != nullptr) BCryptDestroyHash(s->hash);
  if (s->algorithm != nullptr) BCryptCloseAlgorithmProvider(s->algorithm, 0);
  delete s;
}

}  // namespace

namespace hash_backend {

void* Sha256Begin() {
  State* s = new (std::nothrow) State;
  if (s == nullptr) return nullptr;
  // The object's memory is BCrypt's own (null buffer, size 0: Windows 7 on).
  if (!Succeeded(BCryptOpenAlgorithmProvider(&s->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
      !Succeeded(BCryptCreateHash(s->algorithm, &s->hash, nullptr, 0, nullptr, 0, 0))) {
    Release(s);
    return nullptr;
  }
  return s;
}

bool Sha256Update(void* state, const void* data, size_t size) {
  auto* s = static_cast<State*>(state);
  // BCryptHashData takes a 32-bit count: a larger buffer goes in pieces.
  auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
  while (size > 0) {
    const ULONG piece = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
    if (!Succeeded(BCryptHashData(s->hash, bytes, piece, 0))) return false;
    bytes += piece;
    size -= piece;
  }
  return true;
}

bool Sha256Finish(void* state, uint8_t (&digest)[kSha256Bytes]) {
  auto* s = static_cast<State*>(state);
  const bool done = Succeeded(BCryptFinishHash(s->hash, digest, kSha256Bytes, 0));
  Release(s);
  return done;
}

void Sha256Discard(void* state) { Release(static_cast<State*>(state)); }

}  // namespace hash_backend
