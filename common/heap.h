// The process's private heap for the application's long-lived buffers.
#pragma once

#include <cstddef>

// Creates the heap; false if the platform refused. Safe to call once at start-up.
bool CreatePrivateHeaps();
// Zero-filled memory from the private heap (the C heap if none was created);
// nullptr on failure.
void* AllocZeroed(std::size_t bytes);
// Releases the heap and everything allocated from it. Run once at exit.
void ReleasePrivateHeaps();
