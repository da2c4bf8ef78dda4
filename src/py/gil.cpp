#include "py/gil.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "process.hpp"

namespace py {

namespace {

// The door: closed once, for good. Workers count themselves in before they look at it, so that
// once the hook has closed it and seen the count drop to zero, none can still get the lock.
std::atomic<bool> door_closed{false};
// Per process: a fork's child has none of the parent's workers, whatever the parent's count was.
constinit proc::PerProcess<std::atomic<int>> workers_inside;

constexpr auto DOOR_WAIT = std::chrono::seconds(5);

PyObject* close_door(PyObject*, PyObject*) {
  door_closed.store(true);
  Py_BEGIN_ALLOW_THREADS
  const auto until = std::chrono::steady_clock::now() + DOOR_WAIT;
  while (workers_inside.get().load() != 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyMethodDef CLOSE_DOOR = {"_close_door", close_door, METH_NOARGS, nullptr};

// A fork's child starts an empty list: the parent's may be mid-change under a lock that a
// parent thread held at the fork (its references are then leaked in the child).
struct Deferred {
  std::mutex m;
  std::vector<PyObject*> refs;  // guarded by m
};
constinit proc::PerProcess<Deferred> deferred;

}  // namespace

WorkerGil::WorkerGil() noexcept {
  auto& inside = workers_inside.get();
  inside.fetch_add(1);
  if (door_closed.load()) {
    inside.fetch_sub(1);
    return;
  }
  // The first use on a thread creates its Python thread state and keeps it for good: otherwise
  // CPython creates and deletes one (with an mmap/munmap) on every completion.
  thread_local bool primed = false;
  if (!primed) {
    PyGILState_Ensure();
    PyEval_SaveThread();
    primed = true;
  }
  state_ = PyGILState_Ensure();
  acquired_ = true;
}

WorkerGil::~WorkerGil() {
  if (!acquired_) return;
  PyGILState_Release(state_);
  workers_inside.get().fetch_sub(1);
}

bool install_exit_door() {
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  Ref hook = Ref::steal(PyCFunction_New(&CLOSE_DOOR, nullptr));
  if (!hook) return false;
  Ref r = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return static_cast<bool>(r);
}

void release_later(PyObject* o) noexcept {
  if (!o) return;
  Deferred& d = deferred.get();
  std::lock_guard lk(d.m);
  d.refs.push_back(o);
}

void release_deferred() noexcept {
  std::vector<PyObject*> now;
  {
    Deferred& d = deferred.get();
    std::lock_guard lk(d.m);
    if (d.refs.empty()) return;
    now.swap(d.refs);
  }
  for (PyObject* o : now) Py_DECREF(o);
}

}  // namespace py
