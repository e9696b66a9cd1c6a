// Numbered read-only files ("file slots") with a 4096-byte read-ahead, and
// the size of a file by path. Nothing here prints or shows anything.
#pragma once

#include <cstdint>

// Closes whatever the slot held, then opens `path` for reading. Returns a
// non-zero value when the file is open, 0 on failure (the slot is then
// closed).
intptr_t OpenFileForReading(int32_t slot, const char* path);
// The next byte as a signed 8-bit value widened to 32 bits (0xFF gives -1);
// 0 at end of file, on a read error, or when the slot is not open.
int32_t FileReadByte(int32_t slot);
// The size in bytes of the file at `path`; -1 when there is no such file or
// the path is absent or empty; -2 when it names a directory (or a drive).
int64_t FileSizeAtPath(const char* path);
void CloseFileSlot(int32_t slot);
void CloseAllFiles();
