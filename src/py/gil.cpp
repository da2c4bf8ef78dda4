#include "py/gil.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace py {

namespace {

// The door: closed once, for good. Workers count themselves in before they look at it, so that
// once the hook has closed it and seen the count drop to zero, none can still get the lock.
std::atomic<bool> door_closed{false};
std::atomic<int> workers_inside{0};

constexpr auto DOOR_WAIT = std::chrono::seconds(5);

PyObject* close_door(PyObject*, PyObject*) {
  door_closed.store(true);
  Py_BEGIN_ALLOW_THREADS
  const auto until = std::chrono::steady_clock::now() + DOOR_WAIT;
  while (workers_inside.load() != 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyMethodDef CLOSE_DOOR = {"_close_door", close_door, METH_NOARGS, nullptr};

std::mutex& deferred_mutex() {
  static auto* m = new std::mutex();
  return *m;
}
std::vector<PyObject*>& deferred() {
  static auto* v = new std::vector<PyObject*>();
  return *v;
}

}  // namespace

WorkerGil::WorkerGil() noexcept {
  workers_inside.fetch_add(1);
  if (door_closed.load()) {
    workers_inside.fetch_sub(1);
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
  workers_inside.fetch_sub(1);
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
  std::lock_guard lk(deferred_mutex());
  deferred().push_back(o);
}

void release_deferred() noexcept {
  std::vector<PyObject*> now;
  {
    std::lock_guard lk(deferred_mutex());
    if (deferred().empty()) return;
    now.swap(deferred());
  }
  for (PyObject* o : now) Py_DECREF(o);
}

}  // namespace py
