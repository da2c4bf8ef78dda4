#include "buffer.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace codec::detail {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kPage = 4096;
// From this size on a block is mapped on its own, so that it goes back to the system when freed
// instead of staying in the allocator's cache (a flood of large frames must not leave the
// process bigger).
constexpr std::size_t kMapFrom = 256 * 1024;

std::size_t round_up(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) & ~(unit - 1); }
std::size_t mapped_size(std::size_t bytes) { return round_up(bytes, bytes < kHugePage ? kPage : kHugePage); }
}  // namespace

void* allocate_block(std::size_t bytes) {
  if (bytes < kMapFrom) {
    // malloc(0) may return null; callers rely on a non-null data() for empty arrays.
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  // Large blocks are mapped from the system rather than taken from the heap: their pages become
  // resident only as they are written (a block sized for a message that never fully arrives
  // costs what did arrive), and they go back to the system the moment the block is freed.
  if (bytes > std::numeric_limits<std::size_t>::max() - 2 * kHugePage) throw std::bad_alloc();
  const std::size_t size = mapped_size(bytes);
  if (bytes < kHugePage) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
  }
  // Filling a fresh multi-megabyte block costs mostly page faults; huge pages cut their number by
  // 512, so the block is placed on a huge-page boundary (over-mapped, then trimmed).
  void* raw = ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                     -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  const std::uintptr_t tail = aligned + size, end = start + size + kHugePage;
  if (end > tail) ::munmap(reinterpret_cast<void*>(tail), end - tail);
  void* p = reinterpret_cast<void*>(aligned);
  // Advisory only: without transparent huge pages the block still works.
  (void)::madvise(p, size, MADV_HUGEPAGE);
  return p;
}

void free_block(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
  if (bytes < kMapFrom) {
    std::free(p);
    return;
  }
  ::munmap(p, mapped_size(bytes));
}

}  // namespace codec::detail
