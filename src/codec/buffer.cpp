#include "buffer.hpp"

#include <sys/mman.h>

namespace codec::detail {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}

void* allocate_block(std::size_t bytes) {
  if (bytes < kHugePage) {
    // malloc(0) may return null; callers rely on a non-null data() for empty arrays.
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  // Filling a fresh multi-megabyte buffer costs mostly page faults; huge pages
  // cut their number by 512. aligned_alloc wants a size that is a multiple of
  // the alignment, so the tail is rounded up (the slack is never touched).
  if (bytes > std::numeric_limits<std::size_t>::max() - (kHugePage - 1)) throw std::bad_alloc();
  const std::size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (p == nullptr) throw std::bad_alloc();
  // Advisory only: without transparent huge pages the block still works.
  (void)::madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

}  // namespace codec::detail
