// File access on kernel32.
#if !defined(_WIN32)
#error "fileio_win32.cpp is the Windows backend"
#endif
#include <windows.h>

#include "fileio/fileio_backend.h"

namespace {

constexpr size_t kMaxPathChars = 260;  // MAX_PATH; the copy has room for the terminator

// A drive root such as "C:\": a type above DRIVE_NO_ROOT_DIR means the drive
// exists and has a root directory, which counts as a directory.
int64_t DriveAnswer(const char* root) { return GetDriveTypeA(root) > DRIVE_NO_ROOT_DIR ? -2 : -1; }

}  // namespace

namespace fileio_backend {

intptr_t OpenReadOnly(const char* path) {
  // Share mode read: others may read the image meanwhile, nobody may write
  // it. Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open.
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return 0;
  // Only a file on a disk has a size that says how many bytes will come; a
  // console, NUL, a COM port or a pipe would be read without end or block.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return 0;
  }
  return reinterpret_cast<intptr_t>(h);
}

int64_t SizeOfHandle(intptr_t handle) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(reinterpret_cast<HANDLE>(handle), &size)) return -1;
  return static_cast<int64_t>(size.QuadPart);
}

int32_t Read(intptr_t handle, void* buffer, int32_t count) {
  if (count <= 0) return 0;
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(handle), buffer, static_cast<DWORD>(count), &got, nullptr)) {
    return 0;
  }
  return static_cast<int32_t>(got);
}

bool SeekToStart(intptr_t handle) {
  LARGE_INTEGER start;
  start.QuadPart = 0;
  return SetFilePointerEx(reinterpret_cast<HANDLE>(handle), start, nullptr, FILE_BEGIN) != 0;
}

void Close(intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

int64_t SizeAtPath(const char* path) {
  char copy[kMaxPathChars + 1];
  size_t len = 0;
  while (len < kMaxPathChars && path[len] != '\0') {
    copy[len] = path[len];
    ++len;
  }
  copy[len] = '\0';

  // "C:" or "C:\": a drive, answered by its type.
  if ((len == 2 || len == 3) && copy[1] == ':') {
    if (len == 2) {
      copy[2] = '\\';
      copy[3] = '\0';
    }
    return DriveAnswer(copy);
  }

  // Trailing backslashes are ignored. A path made only of backslashes
  // becomes empty here, is not found, and gives -1.
  while (len > 0 && copy[len - 1] == '\\') copy[--len] = '\0';

  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(copy, &found);
  if (search != INVALID_HANDLE_VALUE) {
    int64_t result;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      result = -2;
    } else {
      result = static_cast<int64_t>((static_cast<uint64_t>(found.nFileSizeHigh) << 32) |
                                    found.nFileSizeLow);
    }
    FindClose(search);
    return result;
  }

  // FindFirstFileA finds nothing for a share root ("\\server\share") or for
  // some ".." forms; ask for the attributes instead.
  const bool network = copy[0] == '\\' && copy[1] == '\\';
  const bool parent = copy[0] == '.' && copy[1] == '.';
  if (network || parent) {
    const DWORD attributes = GetFileAttributesA(copy);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? -2 : -1;
    }
    return DriveAnswer(copy);
  }
  return -1;
}

}  // namespace fileio_backend
