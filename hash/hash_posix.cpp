// SHA-256 on Linux: OpenSSL's libcrypto, through its EVP interface.
#if defined(_WIN32)
#error "hash_posix.cpp is the libcrypto backend"
#endif

#include <openssl/evp.h>

#include "hash/hash_backend.h"

namespace hash_backend {

void* Sha256Begin() {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr) return nullptr;
  if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context);
    return nullptr;
  }
  return context;
}

bool Sha256Update(void* state, const void* data, size_t size) {
  return EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(state), data, size) == 1;
}

bool Sha256Finish(void* state, uint8_t (&digest)[kSha256Bytes]) {
  auto* context = static_cast<EVP_MD_CTX*>(state);
  unsigned int length = 0;
  const bool done = EVP_DigestFinal_ex(context, digest, &length) == 1 && length == kSha256Bytes;
  EVP_MD_CTX_free(context);
  return done;
}

void Sha256Discard(void* state) { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(state)); }

}  // namespace hash_backend
