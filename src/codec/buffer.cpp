#include "buffer.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace codec::detail {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kPage = 4096;
// Mapped blocks smaller than this come from the heap all the same: a few pages are not worth a
// mapping of their own.
constexpr std::size_t kMapFrom = 256 * 1024;

std::size_t round_up(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) & ~(unit - 1); }

bool mapped(std::size_t bytes, Placement where) { return where == Placement::Mapped && bytes >= kMapFrom; }

// Filling a fresh multi-megabyte block costs mostly page faults; huge pages cut their number by
// 512. Advisory only: without transparent huge pages the block still works.
void advise_huge(void* p, std::size_t size) { (void)::madvise(p, size, MADV_HUGEPAGE); }

void* map_block(std::size_t bytes) {
  if (bytes < kHugePage) {
    void* p = ::mmap(nullptr, round_up(bytes, kPage), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
  }
  // On a huge-page boundary: over-mapped, then trimmed.
  const std::size_t size = round_up(bytes, kHugePage);
  void* raw = ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                     -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = round_up(start, kHugePage);
  if (aligned > start) ::munmap(raw, aligned - start);
  const std::uintptr_t tail = aligned + size, end = start + size + kHugePage;
  if (end > tail) ::munmap(reinterpret_cast<void*>(tail), end - tail);
  void* p = reinterpret_cast<void*>(aligned);
  advise_huge(p, size);
  return p;
}

}  // namespace

void* allocate_block(std::size_t bytes, Placement where) {
  if (bytes > std::numeric_limits<std::size_t>::max() - 2 * kHugePage) throw std::bad_alloc();
  if (mapped(bytes, where)) return map_block(bytes);
  if (bytes < kHugePage) {
    // malloc(0) may return null; callers rely on a non-null data() for empty arrays.
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  // aligned_alloc wants a size that is a multiple of the alignment; the slack is never touched.
  const std::size_t rounded = round_up(bytes, kHugePage);
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (p == nullptr) throw std::bad_alloc();
  advise_huge(p, rounded);
  return p;
}

void free_block(void* p, std::size_t bytes, Placement where) noexcept {
  if (p == nullptr) return;
  if (!mapped(bytes, where)) {
    std::free(p);
    return;
  }
  ::munmap(p, round_up(bytes, bytes < kHugePage ? kPage : kHugePage));
}

}  // namespace codec::detail
