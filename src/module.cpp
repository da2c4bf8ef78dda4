// Import entry point: creates the module and registers the engine class and the codec functions.
#include "engine/engine.hpp"
#include "engine/group.hpp"
#include "engine/internals.hpp"
#include "engine/waker.hpp"
#include "py/gil.hpp"
#include "py/ref.hpp"
#include "texts.hpp"

namespace {

PyModuleDef MODULE_DEF = {PyModuleDef_HEAD_INIT, "py_engine_rust", texts::MODULE_DOC, 0,
                          nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* module_cell = nullptr;  // filled only once registration has succeeded

// Appends `name` to the module's __all__ (created when absent).
bool add_to_all(PyObject* module, PyObject* name) {
  py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = py::Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, texts::ALL_NOT_APPENDED);
    return false;
  }
  return true;
}

bool add_attribute(PyObject* module, const char* name, PyObject* value) {
  py::Ref n = py::Ref::steal(PyUnicode_FromString(name));
  if (!n || !add_to_all(module, n.get())) return false;
  return PyObject_SetAttr(module, n.get(), value) == 0;
}

}  // namespace

namespace arrays {
PyMethodDef* module_functions();
}

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_py_engine_rust() {
  if (module_cell) {
    Py_INCREF(module_cell);
    return module_cell;
  }
  py::Ref module = py::Ref::steal(PyModule_Create(&MODULE_DEF));
  if (!module) return nullptr;
  // Before anything can reach the runtime: from interpreter exit on, workers leave Python alone.
  if (!py::install_exit_door()) return nullptr;
  if (!engine::forget_parent_after_forks(module.get())) return nullptr;
  if (!engine::report_closed_loops_at_exit()) return nullptr;
  PyTypeObject* type = engine::engine_type();
  if (!type || !add_attribute(module.get(), "RustEngineAsync", reinterpret_cast<PyObject*>(type))) return nullptr;
  // Beside the registered names, not among them: __all__ stays as it was.
  PyTypeObject* group = engine::group_type();
  if (!group || PyObject_SetAttrString(module.get(), "EngineGroup", reinterpret_cast<PyObject*>(group)) < 0)
    return nullptr;
  py::Ref modname = py::Ref::steal(PyUnicode_FromString("py_engine_rust"));
  if (!modname) return nullptr;
  for (PyMethodDef* def = arrays::module_functions(); def->ml_name; ++def) {
    py::Ref fn = py::Ref::steal(PyCFunction_NewEx(def, module.get(), modname.get()));
    if (!fn) return nullptr;
    py::Ref name = py::Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name || !add_to_all(module.get(), name.get()) || PyObject_SetAttr(module.get(), name.get(), fn.get()) < 0)
      return nullptr;
  }
  module_cell = module.get();
  Py_INCREF(module_cell);
  return module.release();
}
