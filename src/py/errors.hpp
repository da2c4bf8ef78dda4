#pragma once
// The one place where engine and codec errors become Python exceptions.
#include <cstdint>
#include <string>

#include "codec/buffer.hpp"
#include "py/ref.hpp"
#include "ws/error.hpp"

namespace py {

// A new exception instance for the error's kind: ValueError, or RuntimeError with the full text.
Ref exception_for(const ws::EngineError& e);
// ValueError with the codec's message, raised now; returns an empty Ref for `return raise(...)`.
Ref raise(const codec::CodecError& e);
// The pending Python exception as an instance (with its traceback), clearing it; null if none.
Ref take_exception();
// False, with a ValueError raised, when a request payload of `bytes` would exceed `limit`.
bool payload_fits(std::uint64_t bytes, std::uint64_t limit);
// "rust future panicked: <what>" for an operation that failed by an internal fault.
Ref panic_exception(const std::string& what);

}  // namespace py
