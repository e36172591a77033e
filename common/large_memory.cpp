#include "large_memory.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

void* allocateLarge(size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const size_t kHugePage = size_t(2) << 20;
  if (bytes >= kHugePage) {
    if (bytes > size_t(-1) - (kHugePage - 1)) return nullptr;
    size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    void* memory = aligned_alloc(kHugePage, rounded);
    if (memory) madvise(memory, rounded, MADV_HUGEPAGE);  // a hint: failure is harmless
    return memory;
  }
#endif
  return malloc(bytes == 0 ? 1 : bytes);
}
