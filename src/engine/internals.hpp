#pragma once
// Everything the engine layer keeps for the life of the process, in one place, each field with
// what guards it. Made at first use with the interpreter lock held and never destroyed: worker
// threads may still use it while the interpreter finalises.
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "py/ref.hpp"

namespace engine {

struct LoopRecord;
struct Awaited;

// What the engine layer knows of loops and calls in flight. One per process: the child of a fork
// starts new tables, since the parent's describe eventfds the parent's loops watch and
// operations that stayed in the parent (see forget_parent).
struct LoopTables {
  // Interpreter lock: loop -> its record, from the loop's first call until the loop is freed.
  std::unordered_map<PyObject*, std::shared_ptr<LoopRecord>> loops;
  // Interpreter lock: future -> what it stands for, until the future is settled or cancelled.
  std::unordered_map<PyObject*, std::weak_ptr<Awaited>> watched;
};

struct Internals {
  // Set when made, read-only afterwards (strong references kept for good).
  PyObject* get_running_loop = nullptr;  // asyncio.get_running_loop
  PyObject* s_add_done_callback = nullptr;
  PyObject* s_add_reader = nullptr;
  PyObject* s_call_soon_threadsafe = nullptr;
  PyObject* s_cancelled = nullptr;
  PyObject* s_create_future = nullptr;
  PyObject* s_is_closed = nullptr;
  PyObject* s_remove_done_callback = nullptr;
  PyObject* s_remove_reader = nullptr;
  PyObject* s_set_exception = nullptr;
  PyObject* s_set_result = nullptr;

  // Made by their owners at first use, with the interpreter lock; kept for good.
  PyTypeObject* reader_type = nullptr;  // what a loop watches its eventfd with (waker)
  PyTypeObject* drain_type = nullptr;   // what a loop that cannot watch descriptors is sent (waker)
  PyTypeObject* socket_reader_type = nullptr;  // what a loop watches a connection with (loop_reader)
  PyObject* loop_gone = nullptr;        // weak-reference callback that forgets a dead loop (waker)
  PyObject* cancel_hook = nullptr;      // the done-callback of every future (future)

  // Interpreter lock: this process's tables and the fork generation they belong to. Replaced
  // only in a fork's child, before any of the child's workers exists.
  LoopTables* tables = nullptr;
  std::uint32_t process = 0;
};

// With the interpreter lock held; null with a Python error set if it cannot be made. In the
// child of a fork, its first call forgets what the parent had in flight first.
Internals* internals();
// Once made, from any thread (the fields guarded by their own locks only).
Internals& made_internals() noexcept;
// Null until made.
Internals* made_or_null() noexcept;

// With the interpreter lock, at import: has the child of every os.fork() forget the parent's
// loops and calls at once, so that a call in flight at the fork fails there instead of hanging.
bool forget_parent_after_forks(PyObject* module);

}  // namespace engine
