// Memory for large buffers that are filled once and freed whole (a full sheet's cell blocks, an output's
// cell records). From kLargeChunkSize on a chunk is mapped on its own, on large pages where the system
// has them: filling it faults in a few large pages instead of thousands of small ones (a fresh 4 KB page
// costs a fault and a clearing of its own), and freeing it gives it straight back. The memory is zeroed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plicato {

constexpr size_t kLargeChunkSize = size_t{2} << 20;

// size bytes of zeroed memory. Throws std::bad_alloc.
uint8_t* AllocateChunk(size_t size);
// Frees memory AllocateChunk gave, with the size it was asked for.
void FreeChunk(uint8_t* data, size_t size);

}  // namespace plicato
