#pragma once
// The Python class RustEngineAsync: its instance layout, construction, the lifecycle methods and
// the one path by which every remote operation is launched.
#include <cstdint>

#include "codec/buffer.hpp"
#include "engine/future.hpp"
#include "py/args.hpp"
#include "py/ref.hpp"
#include "rpc/slot.hpp"
#include "runtime/timeout.hpp"

namespace engine {

struct EngineObject {
  PyObject_HEAD
  rpc::EngineShared* shared;
};

// Built once per process; null with a Python error set if it cannot be built.
PyTypeObject* engine_type();

// What a call hands to the background once its arguments are checked.
struct Request {
  codec::Bytes payload;
  double timeout_secs;
};

// One row of the operation table: adding an operation is a row and its argument checks.
struct Operation {
  const char* name;
  std::uint16_t fnId;
  double default_timeout;
  py::Signature sig;  // parameters after self
  // Converts the bound arguments in the operation's order and builds the payload.
  bool (*prepare)(PyObject** argv, Request& req);
  Convert convert;
};

PyObject* run_operation(const Operation& op, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// The class's method table, in registration order, terminated by a null entry.
PyMethodDef* engine_methods();

PyObject* start_method(PyObject* self, PyObject*);
PyObject* close_method(PyObject* self, PyObject*);
PyObject* wait_connected_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// An optional timeout_secs argument: absent or None gives `fallback`; TypeError otherwise.
bool read_timeout_secs(PyObject* arg, double fallback, double& secs);
// Seconds as a duration; ValueError for negative, NaN, infinite or too large values.
bool to_timeout(double secs, runtime::Timeout& out);

}  // namespace engine
