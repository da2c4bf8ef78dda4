#include "py/errors.hpp"

#include <stdexcept>

#include "texts.hpp"

namespace py {

namespace {

// Raised for internal faults of an operation, never for bad input or a failed exchange. It is not
// a module attribute: user code is not meant to catch it specifically.
PyObject* panic_type() {
  static PyObject* type =
      PyErr_NewExceptionWithDoc("py_engine_rust.RustPanic", "An operation failed by an internal fault.",
                                PyExc_Exception, nullptr);
  return type;
}

Ref make(PyObject* type, const std::string& text) {
  Ref msg = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!msg) return {};
  return Ref::steal(PyObject_CallOneArg(type, msg.get()));
}

}  // namespace

Ref take_exception() {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (v && tb) PyException_SetTraceback(v, tb);
  Py_XDECREF(t);
  Py_XDECREF(tb);
  return Ref::steal(v);
}

Ref exception_for(const rpc::EngineError& e) {
  return make(e.kind == rpc::EngineError::Kind::Value ? PyExc_ValueError : PyExc_RuntimeError, e.text());
}

Ref raise(const codec::CodecError& e) {
  Ref msg = Ref::steal(PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "replace"));
  if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
  return {};
}

bool payload_fits(std::uint64_t bytes, std::uint64_t limit) {
  if (bytes <= limit) return true;
  PyErr_Format(PyExc_ValueError, "request payload of %llu bytes exceeds the %llu-byte frame limit",
               static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(limit));
  return false;
}

Ref panic_exception(const std::string& what) {
  PyObject* type = panic_type();
  if (!type) return {};
  return make(type, texts::PANIC_PREFIX + what);
}

namespace {

std::string fault_text(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return x.what();
  } catch (...) {
    return "unknown fault";
  }
}

}  // namespace

Ref exception_for(const std::exception_ptr& fault) {
  try {
    return panic_exception(fault_text(fault));
  } catch (const std::bad_alloc&) {
    return Ref::borrow(PyExc_MemoryError);
  }
}

void raise_fault(const std::exception_ptr& fault) noexcept {
  try {
    std::rethrow_exception(fault);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();  // a container asked for more than memory can hold
  } catch (...) {
    Ref exc = exception_for(fault);
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  }
}

}  // namespace py
