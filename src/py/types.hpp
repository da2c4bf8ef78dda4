#pragma once
// Heap types of the module's own small objects, made in one way.
#include <initializer_list>

#include "py/ref.hpp"

namespace py {

// A heap type named `name` (module-qualified) with `slots`; null with a Python error set.
PyTypeObject* make_type(const char* name, int basicsize, std::initializer_list<PyType_Slot> slots);

// A callable type with instances of `basicsize` bytes, made the first time into `cache` (with the
// interpreter lock); null with a Python error set.
inline PyTypeObject* callable_type(PyTypeObject*& cache, const char* name, int basicsize, destructor dealloc,
                                   ternaryfunc call) {
  if (!cache)
    cache = make_type(name, basicsize,
                      {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)}, {Py_tp_call, reinterpret_cast<void*>(call)}});
  return cache;
}

// The end of every dealloc of such an instance: its memory, then the reference it held on its type.
inline void free_instance(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// A new instance of `type`, or null with a Python error set.
inline Ref new_instance(PyTypeObject* type) { return Ref::steal(type->tp_alloc(type, 0)); }

}  // namespace py
