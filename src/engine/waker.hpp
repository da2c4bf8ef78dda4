#pragma once
// How outcomes reach the loop that awaits them: one queue per loop and one wake-up per batch,
// either an eventfd that the loop watches, or (for loops that cannot watch descriptors) one
// drain scheduled with call_soon_threadsafe. Workers never wait for the interpreter lock on the
// first way; the loop's own thread then settles every queued future in one go.
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/future.hpp"
#include "process.hpp"
#include "ws/timeout.hpp"

namespace engine {

struct LoopRecord {
  LoopRecord() = default;
  ~LoopRecord();
  LoopRecord(const LoopRecord&) = delete;
  LoopRecord& operator=(const LoopRecord&) = delete;

  enum class Wake { Reader, Drain };

  std::mutex m;
  Wake wake = Wake::Drain;          // m; Reader becomes Drain when the loop stops watching the fd
  std::vector<Outcome> queue;       // m; non-empty exactly while a wake-up is on its way
  ws::Clock::time_point since{};    // m: when the queue last became non-empty
  int fd = -1;                      // the eventfd; m; closed when the record is retired or ends

  // Owned, and let go of through py::release_later: the record may end on any thread.
  PyObject* loop_ref = nullptr;       // weak reference to the loop (its callback forgets the loop)
  PyObject* create_future = nullptr;  // the loop type's create_future, called with the loop
  PyObject* drain = nullptr;          // what call_soon_threadsafe is given; made when first needed

  // The fork generation the record was made in: a fork's child leaves the parent's records alone.
  const std::uint32_t process = proc::fork_generation();
  bool in_this_process() const noexcept { return process == proc::fork_generation(); }
};

// The record of `loop` (made on its first call); null with a Python error set.
std::shared_ptr<LoopRecord> record_for(PyObject* loop);

}  // namespace engine
