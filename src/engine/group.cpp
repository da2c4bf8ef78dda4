// The Python class EngineGroup: engines stepped together (batch.hpp), its arguments and checks.
#include "engine/group.hpp"

#include <vector>

#include "arrays/ndarray.hpp"
#include "engine/batch.hpp"
#include "engine/engine.hpp"
#include "py/errors.hpp"
#include "py/types.hpp"
#include "texts.hpp"

namespace engine {

namespace {

constexpr double DEFAULT_TIMEOUT = 10.0;

struct GroupObject {
  PyObject_HEAD
  PyObject* engines;  // a tuple of RustEngineAsync
};

constexpr const char* NEW_PARAMS[] = {"engines"};
constexpr py::Signature NEW_SIG{"EngineGroup", NEW_PARAMS, 1, 1};
constexpr const char* STEP_PARAMS[] = {"timeout_secs", "out"};
constexpr py::Signature STEP_SIG{"EngineGroup.step_and_sync", STEP_PARAMS, 2, 0, 1};

PyObject* make_group(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  if (!py::bind_tuple(NEW_SIG, args, kwargs, argv)) return nullptr;
  py::Ref engines = py::Ref::steal(PySequence_Tuple(argv[0]));
  if (!engines) return nullptr;
  PyTypeObject* engine = engine_type();
  if (!engine) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(engines.get()); ++i) {
    PyObject* e = PyTuple_GET_ITEM(engines.get(), i);
    if (!PyObject_TypeCheck(e, engine)) {
      PyErr_Format(PyExc_TypeError, "argument 'engines': item %zd is a '%s', not a RustEngineAsync", i,
                   Py_TYPE(e)->tp_name);
      return nullptr;
    }
  }
  py::Ref self = py::Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  reinterpret_cast<GroupObject*>(self.get())->engines = engines.release();
  return self.release();
}

void group_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<GroupObject*>(self)->engines);
  py::free_instance(self);
}

PyObject* group_engines(PyObject* self) { return reinterpret_cast<GroupObject*>(self)->engines; }

Py_ssize_t group_len(PyObject* self) { return PyTuple_GET_SIZE(group_engines(self)); }

PyObject* engines_getter(PyObject* self, void*) { return py::Ref::borrow(group_engines(self)).release(); }

// `out`: (snapshots, windows), float64 arrays of (N, S) and (N, W, C) to fill.
bool read_out(PyObject* out, std::size_t n, StackTargets& targets) {
  if (!PyTuple_Check(out) || PyTuple_GET_SIZE(out) != 2) {
    PyErr_SetString(PyExc_TypeError, "argument 'out': a tuple (snapshots, windows) of float64 arrays is needed");
    return false;
  }
  std::size_t snaps[2], windows[3];
  PyObject* s = PyTuple_GET_ITEM(out, 0);
  PyObject* w = PyTuple_GET_ITEM(out, 1);
  if (!arrays::f64_target(s, "out[0]", 2, snaps) || !arrays::f64_target(w, "out[1]", 3, windows)) return false;
  if (snaps[0] != n || windows[0] != n) {
    PyErr_Format(PyExc_ValueError, "argument 'out': arrays of %zu rows are needed, one per engine, not %zu and %zu",
                 n, snaps[0], windows[0]);
    return false;
  }
  targets = {py::Ref::borrow(s), py::Ref::borrow(w), snaps[1], windows[1], windows[2]};
  return true;
}

PyObject* step_and_sync(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  if (!py::bind(STEP_SIG, args, nargs, kwnames, argv)) return nullptr;
  double secs = DEFAULT_TIMEOUT;
  if (!read_timeout_secs(argv[0], DEFAULT_TIMEOUT, secs)) return nullptr;
  PyObject* engines = group_engines(self);
  const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(engines));
  std::optional<StackTargets> out;
  if (argv[1] && argv[1] != Py_None && !read_out(argv[1], n, out.emplace())) return nullptr;
  runtime::Timeout timeout;
  if (!to_timeout(secs, timeout)) return nullptr;
  std::vector<rpc::EngineShared*> shared(n);
  for (std::size_t i = 0; i < n; ++i)
    shared[i] = reinterpret_cast<EngineObject*>(PyTuple_GET_ITEM(engines, static_cast<Py_ssize_t>(i)))->shared;
  return step_and_sync_all(shared, timeout, std::move(out));
}

PyObject* step_and_sync_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] { return step_and_sync(self, args, nargs, kwnames); });
}

PyMethodDef METHODS[] = {
    {"step_and_sync", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_and_sync_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "step_and_sync($self, timeout_secs=None, *, out=None)\n--\n\n"
     "step_and_sync of every engine at once: an awaitable of (snapshots, windows, errors), the\n"
     "snapshots stacked as (N, S), the windows as (N, W, C), and errors[i] None or the exception\n"
     "engine i's own step_and_sync would have raised; a failed row is NaN. out=(snapshots, windows)\n"
     "gives the arrays to fill (float64, C-contiguous, N rows each)."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef GETSET[] = {{"engines", engines_getter, nullptr, "The engines, in row order.", nullptr},
                        {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyTypeObject* group_type() {
  static PyTypeObject* type = [] {
    PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(py::guarded_new<make_group>)},
                           {Py_tp_dealloc, reinterpret_cast<void*>(group_dealloc)},
                           {Py_tp_methods, METHODS},
                           {Py_tp_getset, GETSET},
                           {Py_sq_length, reinterpret_cast<void*>(group_len)},
                           {Py_tp_doc, const_cast<char*>("EngineGroup(engines)\n--\n\n"
                                                         "Engines stepped together, one row each.")},
                           {0, nullptr}};
    PyType_Spec spec = {"py_engine_rust.EngineGroup", static_cast<int>(sizeof(GroupObject)), 0, Py_TPFLAGS_DEFAULT,
                        slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  }();
  return type;
}

}  // namespace engine
