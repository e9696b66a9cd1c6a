// What the portable file-slot core needs from a platform, and a hook that
// lets tests take the read-ahead buffer away. Not part of the public API.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fileio_backend {

// Opens an existing regular file read-only, letting others read it too.
// Returns a non-zero handle, or 0 when the file cannot be opened (missing,
// unreadable, held for writing, or not a regular file: a directory, pipe,
// device or socket). Never waits for a writer or a device.
intptr_t OpenReadOnly(const char* path);
// The size in bytes of the file behind an open handle; -1 when the platform
// cannot tell.
int64_t SizeOfHandle(intptr_t handle);
// One platform read of up to `count` bytes. Returns the bytes read; 0 at end
// of file and on a read error alike.
int32_t Read(intptr_t handle, void* buffer, int32_t count);
// Moves an open handle back to the first byte of its file. False when the
// platform cannot.
bool SeekToStart(intptr_t handle);
void Close(intptr_t handle);
// FileSizeAtPath for a path that is present and not empty.
int64_t SizeAtPath(const char* path);

}  // namespace fileio_backend

// The read-ahead buffer comes from this allocator (malloc by default) and is
// given back with free. Returns the previous allocator. Tests swap in one
// that fails, to exercise the one-byte-read path.
using ReadBufferAllocator = void* (*)(size_t bytes);
ReadBufferAllocator SetReadBufferAllocator(ReadBufferAllocator allocator);
