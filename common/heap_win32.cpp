#if !defined(_WIN32)
#error "heap_win32.cpp is the Windows backend"
#endif
#include "common/heap.h"

#include <cstdlib>
#include <windows.h>

static HANDLE g_heap = nullptr;

bool CreatePrivateHeaps() {
  if (!g_heap) g_heap = HeapCreate(0, 0, 0);
  return g_heap != nullptr;
}

void* AllocZeroed(std::size_t bytes) {
  if (!g_heap) return std::calloc(1, bytes);
  return HeapAlloc(g_heap, HEAP_ZERO_MEMORY, bytes);
}

void ReleasePrivateHeaps() {
  // Destroying the heap frees every block in it at once.
  if (g_heap) HeapDestroy(g_heap);
  g_heap = nullptr;
}
