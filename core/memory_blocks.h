// Heap blocks that may be unavailable, with a small cache of released blocks.
#pragma once

#include <cstddef>

namespace zipsalvage {

// Returns an uninitialised block of at least `size` bytes, or nullptr when memory is exhausted.
// Released blocks of the common sizes are kept for reuse, so a run over many small entries
// allocates and releases per entry without touching fresh pages each time.
void* allocBlock(size_t size);

// Releases a block from allocBlock; nullptr is ignored.
void freeBlock(void* block);

// Test seam: makes the next `countdown`-th allocation fail (1 = the very next one); 0 disables.
void failAllocationAfter(int countdown);

// Releases every cached block (used at the end of a process and by leak-checking tests).
void releaseCachedBlocks();

}  // namespace zipsalvage
