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
#include "ws/error.hpp"

namespace py {

// A new exception instance for the error's kind: ValueError, or RuntimeError with the full text.
Ref exception_for(const ws::EngineError& e);
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
// Raises, at call time, what a C++ failure becomes: MemoryError for std::bad_alloc, the
// internal-fault type for anything else.
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

}  // namespace py
