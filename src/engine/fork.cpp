// What the child of a fork does with the engine layer's state from before the fork: it leaves
// it alone. Only the forking thread goes on in the child, so the runtime that ran the parent's
// operations has no threads there; the parent's loop records hold eventfds that the parent's
// loops watch, and locks that a parent thread may have held at the fork.
#include <unistd.h>

#include "engine/internals.hpp"
#include "engine/waker.hpp"
#include "process.hpp"
#include "py/errors.hpp"
#include "rpc/lifecycle.hpp"

namespace engine {

// With the interpreter lock, in the child, before any of the child's workers exists. The parent's
// tables are leaked, not freed: freeing them would release operations whose strands and sockets
// belong to the parent's runtime (their destructors take that runtime's locks, and deregister
// descriptors from the epoll set the parent still uses).
void forget_parent(Internals& in) {
  LoopTables* parent = in.tables;
  in.tables = new LoopTables;
  in.process = proc::fork_generation();
  // The child's copies of the parent's eventfds: nothing here may write to or read from them,
  // and their records ignore their readers from now on (LoopRecord::process).
  for (auto& [loop, rec] : parent->loops)
    if (rec->fd >= 0) ::close(std::exchange(rec->fd, -1));
  // A call in flight at the fork goes on in the parent only: its future here would never
  // complete. Its loop may not run in the child, or be closed: what cannot be completed is
  // left as it is.
  const rpc::EngineError why = rpc::EngineError::transport(rpc::ENGINE_OF_ANOTHER_PROCESS);
  for (auto& [fut, awaited] : parent->watched) {
    auto a = awaited.lock();
    if (!a) continue;
    // Alive while watched: the future's own reference is released only once it is settled.
    py::Ref exc = py::exception_for(why);
    py::Ref r = exc ? py::Ref::steal(PyObject_CallMethodObjArgs(fut, in.s_set_exception, exc.get(), nullptr))
                    : py::Ref();
    if (!r) PyErr_Clear();
    new std::shared_ptr<Awaited>(std::move(a));  // kept: see above
  }
}

namespace {

PyObject* after_fork_in_child(PyObject*, PyObject*) {
  return py::guarded([] {
    if (Internals* in = made_or_null(); in && in->process != proc::fork_generation()) forget_parent(*in);
    Py_RETURN_NONE;
  });
}

PyMethodDef AFTER_FORK = {"_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};

}  // namespace

bool forget_parent_after_forks(PyObject* module) {
  // A fork made without os.fork() is noticed at the child's first call instead (internals()).
  py::Ref os = py::Ref::steal(PyImport_ImportModule("os"));
  if (!os) return false;
  py::Ref hook = py::Ref::steal(PyCFunction_New(&AFTER_FORK, module));
  if (!hook) return false;
  py::Ref reg = py::Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
  if (!reg) {
    PyErr_Clear();  // no os.register_at_fork on this platform
    return true;
  }
  py::Ref kw = py::Ref::steal(Py_BuildValue("{s:O}", "after_in_child", hook.get()));
  py::Ref args = py::Ref::steal(PyTuple_New(0));
  if (!kw || !args) return false;
  return static_cast<bool>(py::Ref::steal(PyObject_Call(reg.get(), args.get(), kw.get())));
}

}  // namespace engine
