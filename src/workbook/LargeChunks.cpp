#include "workbook/LargeChunks.h"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace plicato {

#if defined(__linux__)
namespace {

// Mapped rather than taken from the heap: fresh pages are zero already, where calloc would clear memory
// the heap has used before a second time.
uint8_t* MapChunk(size_t size) {
  // Over-allocated by one large page so that the chunk can start on a large-page boundary.
  const size_t span = size + kLargeChunkSize;
  void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = (start + kLargeChunkSize - 1) & ~(uintptr_t{kLargeChunkSize} - 1);
  if (aligned > start) ::munmap(p, aligned - start);
  const uintptr_t end = start + span;
  if (end > aligned + size) ::munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
#if defined(MADV_HUGEPAGE)
  ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<uint8_t*>(aligned);
}

}  // namespace
#endif

uint8_t* AllocateChunk(size_t size) {
#if defined(__linux__)
  if (size >= kLargeChunkSize) return MapChunk(size);
#endif
  void* p = std::calloc(1, size);
  if (!p) throw std::bad_alloc();
  return static_cast<uint8_t*>(p);
}

void FreeChunk(uint8_t* data, size_t size) {
#if defined(__linux__)
  if (size >= kLargeChunkSize) {
    ::munmap(data, size);
    return;
  }
#endif
  std::free(data);
}

}  // namespace plicato
