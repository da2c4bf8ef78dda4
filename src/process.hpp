#pragma once
// Which process this is: a number that the child of every fork bumps, and process-wide objects
// that a child makes afresh rather than use the parent's. After a fork only the forking thread
// goes on, so the parent's copy may have locks held by threads that are gone and descriptors
// (epoll sets, eventfds, sockets) shared with the parent: the child leaves it untouched.
#include <atomic>
#include <cstdint>

namespace proc {

// 0 in the process that loaded the module, one more in the child of each fork since. Bumped by a
// pthread_atfork child handler (one atomic increment: async-signal-safe).
std::uint32_t fork_generation() noexcept;

// One T per process, made on first use and never destroyed (threads may use it while the
// interpreter finalises). Constant-initialised, so that no static-initialisation guard, which a
// parent thread may hold at the fork, stands in the child's way.
template <class T>
class PerProcess {
 public:
  constexpr PerProcess() noexcept = default;
  PerProcess(const PerProcess&) = delete;
  PerProcess& operator=(const PerProcess&) = delete;

  // This process's T: `make()` returns a new T*, and `kept(T&)` runs once, on the one that is
  // kept (two threads may make one at the same time; the other is deleted unused).
  template <class Make, class Kept>
  T& get(Make make, Kept kept) {
    const std::uint32_t gen = fork_generation();
    Box* b = box_.load(std::memory_order_acquire);
    if (b && b->gen == gen) [[likely]]
      return *b->value;
    auto* fresh = new Box{gen, make()};
    for (;;) {
      if (box_.compare_exchange_weak(b, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
        kept(*fresh->value);
        return *fresh->value;  // the parent's box, if any, is left as it is
      }
      if (b && b->gen == gen) {
        delete fresh->value;
        delete fresh;
        return *b->value;
      }
    }
  }
  T& get() {
    return get([] { return new T(); }, [](T&) {});
  }

 private:
  struct Box {
    std::uint32_t gen;
    T* value;
  };
  std::atomic<Box*> box_{nullptr};
};

}  // namespace proc
