#if defined(_WIN32)
#error "heap_posix.cpp is the POSIX backend"
#endif
#include "common/heap.h"

#include <cstdlib>
#include <vector>

// POSIX has no private heaps; the blocks are tracked so that release frees
// them all at once, as destroying a heap does elsewhere.
static std::vector<void*>& Blocks() {
  static std::vector<void*> blocks;
  return blocks;
}

bool CreatePrivateHeaps() { return true; }

void* AllocZeroed(std::size_t bytes) {
  void* block = std::calloc(1, bytes);
  if (block) Blocks().push_back(block);
  return block;
}

void ReleasePrivateHeaps() {
  for (void* block : Blocks()) std::free(block);
  Blocks().clear();
}
