#pragma once
// The one place where engine errors and C++ failures become Python exceptions: the exception an
// outcome fails with, and the guard around every entry point the interpreter calls, through
// which no C++ exception unwinds into the interpreter.
#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <string>

#include "codec/buffer.hpp"
#include "py/ref.hpp"
#include "rpc/error.hpp"

namespace py {

// A new exception instance for the error's kind: ValueError, or RuntimeError with the full text.
Ref exception_for(const rpc::EngineError& e);
// A new exception instance for an operation that failed by an internal fault: the internal-fault
// type with "rust future panicked: <what>".
Ref exception_for(const std::exception_ptr& fault);
// ValueError with the codec's message, raised now; returns an empty Ref for `return raise(...)`.
Ref raise(const codec::CodecError& e);
// The pending Python exception as an instance (with its traceback), clearing it; null if none.
Ref take_exception();
// False, with a ValueError raised, when a request payload of `bytes` would exceed `limit`.
bool payload_fits(std::uint64_t bytes, std::uint64_t limit);
// "rust future panicked: <what>" for an operation that failed by an internal fault.
Ref panic_exception(const std::string& what);
// Raises, at call time, what a C++ failure becomes: MemoryError for std::bad_alloc (and for a
// container asked to grow past its limit), the internal-fault type for anything else.
void raise_fault(const std::exception_ptr& fault) noexcept;

// Runs an entry point's body: `f()` returns a new reference, or null with a Python error set.
template <class F>
PyObject* guarded(F&& f) {
  try {
    return f();
  } catch (abi::__forced_unwind&) {
    throw;  // the interpreter is ending this thread
  } catch (...) {
    raise_fault(std::current_exception());
    return nullptr;
  }
}

// A type's tp_new made of `Make(type, args, kwargs)`, run through guarded().
template <PyObject* (*Make)(PyTypeObject*, PyObject*, PyObject*)>
PyObject* guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return Make(type, args, kwargs); });
}

// Runs work that a dealloc must do (which may call into Python): the exception being raised when
// the dealloc began is kept, and a failure of the work is printed as unraisable.
template <class F>
void in_dealloc(PyObject* self, F&& f) {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  if (!guarded([&]() -> PyObject* {
        f();
        Py_RETURN_NONE;
      }))
    PyErr_WriteUnraisable(self);
  PyErr_Restore(t, v, tb);
}

}  // namespace py
