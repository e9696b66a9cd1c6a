// What the portable SHA-256 core asks of the platform's crypto library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hash_backend {

constexpr size_t kSha256Bytes = 32;

// A running digest; null when the library could not start one.
void* Sha256Begin();
// `data` is not null. False when the library refused the bytes.
bool Sha256Update(void* state, const void* data, size_t size);
// Writes the digest and releases the state, whatever the outcome.
bool Sha256Finish(void* state, uint8_t (&digest)[kSha256Bytes]);
// Releases a state that will not be finished.
void Sha256Discard(void* state);

}  // namespace hash_backend
