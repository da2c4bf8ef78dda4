#pragma once
// How outcomes that end on the runtime reach the loop that awaits them (what a loop drives
// itself is settled where it ends, see loop_reader): one queue per loop and one wake-up per
// batch, by one mechanism per loop, chosen at the loop's first call:
// - an eventfd the loop watches (loop.add_reader): a worker queues the outcome and writes the
//   eventfd only when the queue was empty, and never waits for the interpreter lock; the loop's
//   thread settles everything queued in one go;
// - for a loop that cannot watch descriptors, one drain scheduled with call_soon_threadsafe,
//   which a worker makes with the interpreter lock.
// A loop that has closed takes nothing any more: an outcome for it is dropped, and the error of
// the attempt to schedule it there is printed (the interpreter's own error printer). That is
// found out when the loop lets go of its reader (its selector closes), when a new loop makes its
// first call, when the loop is freed, and at the interpreter's exit, whichever comes first;
// nothing polls for it.
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/future.hpp"
#include "process.hpp"

namespace engine {

struct LoopRecord {
  LoopRecord() = default;
  ~LoopRecord();
  LoopRecord(const LoopRecord&) = delete;
  LoopRecord& operator=(const LoopRecord&) = delete;

  enum class Wake { Eventfd, Drain };

  std::mutex m;
  std::vector<Outcome> queue;  // m; non-empty exactly while a wake-up is on its way
  int fd = -1;                 // the eventfd; m; closed once the loop no longer watches it
  // Set with the interpreter lock; read by workers.
  std::atomic<Wake> wake{Wake::Drain};
  std::atomic<bool> closed{false};  // the loop takes nothing any more

  // Owned, and let go of through py::release_later: the record may end on any thread.
  PyObject* loop_ref = nullptr;       // weak reference to the loop (its callback forgets the loop)
  PyObject* create_future = nullptr;  // the loop type's create_future, called with the loop

  // The fork generation the record was made in: a fork's child leaves the parent's records alone.
  const std::uint32_t process = proc::fork_generation();
  bool in_this_process() const noexcept { return process == proc::fork_generation(); }

  // Whether the loop watches descriptors, and so can drive exchanges itself.
  bool watches_descriptors() const noexcept { return wake.load() == Wake::Eventfd && !closed.load(); }
};

// The record of `loop` (made on its first call); null with a Python error set.
std::shared_ptr<LoopRecord> record_for(PyObject* loop);

// The object behind a weak reference (None once it is gone), as a new reference.
py::Ref referent(PyObject* ref);

// With the interpreter lock, at import: at the interpreter's exit, outcomes queued for loops
// that have closed are reported and dropped.
bool report_closed_loops_at_exit();

}  // namespace engine
