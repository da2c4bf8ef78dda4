#include "process.hpp"

#include <pthread.h>

namespace proc {

namespace {

constinit std::atomic<std::uint32_t> generation{0};

void on_fork_child() noexcept { generation.fetch_add(1, std::memory_order_relaxed); }

// At load: every fork from then on is counted, whoever makes it.
const int registered = ::pthread_atfork(nullptr, nullptr, on_fork_child);

}  // namespace

std::uint32_t fork_generation() noexcept {
  (void)registered;
  return generation.load(std::memory_order_relaxed);
}

}  // namespace proc
