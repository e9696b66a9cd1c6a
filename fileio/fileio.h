// Numbered read-only files ("file slots") with a 4096-byte read-ahead, and
// the size of a file by path. Nothing here prints or shows anything.
//
// Only regular files open: a pipe, a device such as /dev/zero or a console,
// a socket or a directory is refused, without waiting for it, since none of
// them has a size that says how many bytes will come.
#pragma once

#include <cstdint>

// Closes whatever the slot held, then opens `path` for reading. Returns a
// non-zero value when the file is open, 0 on failure (the slot is then
// closed).
intptr_t OpenFileForReading(int32_t slot, const char* path);
// Closes whatever the slot held, then opens a copy of `size` bytes for
// reading as if they were a file: an image made in memory (a flattened HEX
// file). Non-zero when open, 0 on failure (the slot is then closed).
intptr_t OpenBytesForReading(int32_t slot, const void* bytes, int64_t size);
// The next byte as a signed 8-bit value widened to 32 bits (0xFF gives -1);
// 0 at end of file, on a read error, or when the slot is not open.
int32_t FileReadByte(int32_t slot);
// The size of the file open in the slot, taken from the open file when the
// slot was opened: renaming, replacing or deleting the path afterwards does
// not change it. -1 when the slot is not open.
int64_t FileSlotSize(int32_t slot);
// Non-zero once FileReadByte on the slot has run out of bytes (end of file
// or a read error) since the slot was opened, so that a 0 it returned can be
// told from a 0 in the file; 0 otherwise and for a slot that is not open.
int32_t FileReadShort(int32_t slot);
// Back to the first byte of what the slot holds, a file or given bytes, so
// that it can be read again: the read-ahead is discarded and FileReadShort
// answers 0 again. Non-zero on success; 0 when the slot is not open or the
// platform cannot seek (the slot then stays open and reads on from where it
// was).
int32_t RewindFileSlot(int32_t slot);
// The size in bytes of the file at `path`; -1 when there is no such file or
// the path is absent or empty; -2 when it names a directory (or a drive).
int64_t FileSizeAtPath(const char* path);
void CloseFileSlot(int32_t slot);
void CloseAllFiles();
