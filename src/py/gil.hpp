#pragma once
// The interpreter lock on the runtime's worker threads, and the door that closes on them when the
// interpreter begins to finalise: from then on no code of the module runs Python code, so no
// worker can be ended inside the interpreter (CPython ends a thread that asks for the lock during
// finalisation, and the process dies if that thread is unwinding through C++ frames).
#include "py/ref.hpp"

namespace py {

class WorkerGil {
 public:
  // Takes the lock unless the door is closed; acquired() tells which.
  WorkerGil() noexcept;
  ~WorkerGil();
  WorkerGil(const WorkerGil&) = delete;
  WorkerGil& operator=(const WorkerGil&) = delete;
  bool acquired() const noexcept { return acquired_; }

 private:
  bool acquired_ = false;
  PyGILState_STATE state_{};
};

// Registers (once, at import, with the lock held) the atexit hook that closes the door. It waits
// briefly for workers already holding or awaiting the lock to leave.
bool install_exit_door();

// Drops a reference later, from a thread that may not hold the lock; the next holder of the lock
// that calls release_deferred() drops it.
void release_later(PyObject* o) noexcept;
void release_deferred() noexcept;

}  // namespace py
