// Numbered read-only files with a 4096-byte read-ahead. The platform
// specifics (open, read, close, sizes) live in fileio_<platform>.cpp.
#include "fileio/fileio.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/slot_table.h"
#include "fileio/fileio_backend.h"

namespace {

constexpr int32_t kReadBufferCapacity = 4096;
constexpr int32_t kFileSlotStep = 16;

struct FileSlot {
  intptr_t handle;      // non-zero exactly while the slot is open
  uint8_t* ReadBuffer;  // nullptr when the allocation failed
  int32_t capacity;
  int32_t remaining;    // bytes of the last refill not yet handed out
  int32_t fill;         // bytes the last refill placed in ReadBuffer
  int64_t size;         // of the open file, as it was when opened
  bool ran_out;         // a read came back empty since the open
  bool in_memory;       // the bytes were given, not read from a file
};

// The handle of a slot that holds given bytes: non-zero, and never seen by
// a backend.
constexpr intptr_t kMemoryHandle = -1;

void* DefaultAllocator(size_t bytes) { return std::malloc(bytes); }

ReadBufferAllocator g_allocator = DefaultAllocator;

SlotTable<FileSlot>& Files() {
  // Built on first use so that no other static's constructor can reach it
  // before it exists.
  static SlotTable<FileSlot> table(kFileSlotStep, [](int32_t slot) { CloseFileSlot(slot); });
  return table;
}

int32_t SignExtend(uint8_t byte) { return static_cast<int32_t>(static_cast<int8_t>(byte)); }

}  // namespace

ReadBufferAllocator SetReadBufferAllocator(ReadBufferAllocator allocator) {
  ReadBufferAllocator previous = g_allocator;
  g_allocator = allocator ? allocator : DefaultAllocator;
  return previous;
}

intptr_t OpenFileForReading(int32_t slot, const char* path) {
  // The claim closes the slot's old file before the new open is tried, so a
  // failed open leaves the slot closed rather than holding the old file.
  // Files are always numbered; a detached record (slot -1) could never be
  // read or closed again by number.
  if (slot < 0) return 0;
  FileSlot* rec = Files().Claim(slot);
  if (!rec || !path) return 0;
  const intptr_t handle = fileio_backend::OpenReadOnly(path);
  if (handle == 0) return 0;
  // The size is taken now, from the file just opened: asking the path later
  // could answer for another file put there meanwhile, or for none. A file
  // whose size cannot be told cannot be announced, so it does not open.
  const int64_t size = fileio_backend::SizeOfHandle(handle);
  if (size < 0) {
    fileio_backend::Close(handle);
    return 0;
  }
  rec->handle = handle;
  rec->size = size;
  rec->ran_out = false;
  rec->in_memory = false;
  rec->ReadBuffer = static_cast<uint8_t*>(g_allocator(kReadBufferCapacity));
  rec->capacity = kReadBufferCapacity;
  rec->remaining = 0;
  rec->fill = 0;
  return handle;
}

intptr_t OpenBytesForReading(int32_t slot, const void* bytes, int64_t size) {
  if (slot < 0) return 0;
  FileSlot* rec = Files().Claim(slot);
  if (!rec || (!bytes && size > 0) || size < 0 || size > INT32_MAX) return 0;
  auto* copy = static_cast<uint8_t*>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1));
  if (!copy) return 0;
  if (size > 0) std::memcpy(copy, bytes, static_cast<size_t>(size));
  rec->handle = kMemoryHandle;
  rec->size = size;
  rec->ran_out = false;
  rec->in_memory = true;
  rec->ReadBuffer = copy;
  rec->capacity = static_cast<int32_t>(size);
  rec->fill = static_cast<int32_t>(size);
  rec->remaining = static_cast<int32_t>(size);
  return kMemoryHandle;
}

int32_t FileReadByte(int32_t slot) {
  uint8_t byte = 0;
  FileSlot* rec = Files().Find(slot);
  if (!rec) return 0;
  if (!rec->ReadBuffer) {
    if (fileio_backend::Read(rec->handle, &byte, 1) != 1) {
      byte = 0;
      rec->ran_out = true;
    }
    return SignExtend(byte);
  }
  if (rec->remaining >= 1) {
    byte = rec->ReadBuffer[rec->fill - rec->remaining];
    rec->remaining -= 1;
    return SignExtend(byte);
  }
  // Refill. At end of file this is a fresh platform read on every call, so a
  // file that has grown since is read on instead of staying at its old end.
  // Given bytes have no more to come.
  int32_t got =
      rec->in_memory ? 0 : fileio_backend::Read(rec->handle, rec->ReadBuffer, rec->capacity);
  if (got < 0 || got > rec->capacity) got = 0;
  rec->fill = got;
  rec->remaining = got;
  if (got >= 1) {
    byte = rec->ReadBuffer[0];
    rec->remaining -= 1;
  } else {
    rec->ran_out = true;
  }
  return SignExtend(byte);
}

int64_t FileSlotSize(int32_t slot) {
  const FileSlot* rec = Files().Find(slot);
  return rec ? rec->size : -1;
}

int32_t FileReadShort(int32_t slot) {
  const FileSlot* rec = Files().Find(slot);
  return rec && rec->ran_out ? 1 : 0;
}

int32_t RewindFileSlot(int32_t slot) {
  FileSlot* rec = Files().Find(slot);
  if (!rec) return 0;
  if (rec->in_memory) {
    // The copy stays whole in the buffer; running out only emptied `fill`.
    rec->fill = rec->capacity;
    rec->remaining = rec->capacity;
  } else {
    if (!fileio_backend::SeekToStart(rec->handle)) return 0;
    rec->fill = 0;
    rec->remaining = 0;
  }
  rec->ran_out = false;
  return 1;
}

int64_t FileSizeAtPath(const char* path) {
  if (!path || path[0] == '\0') return -1;
  return fileio_backend::SizeAtPath(path);
}

void CloseFileSlot(int32_t slot) {
  FileSlot* rec = Files().Find(slot);
  if (!rec) return;
  std::free(rec->ReadBuffer);
  if (!rec->in_memory) fileio_backend::Close(rec->handle);
  Files().Release(slot);
}

void CloseAllFiles() { Files().CloseAll(); }
