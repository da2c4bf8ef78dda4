// The only user of NumPy's C API: its table is private to this file and loaded on first use, so
// that importing the module never imports NumPy.
#include "arrays/ndarray.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include "codec/payload.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "texts.hpp"

namespace arrays {

namespace {

// Base object of a wrapped buffer: the array and its views keep it alive, and it frees the
// buffer when the last of them goes.
struct BufferOwner {
  PyObject_HEAD
  void* data;
  std::size_t bytes;
  codec::Placement where;
};

void owner_dealloc(PyObject* self) {
  auto* owner = reinterpret_cast<BufferOwner*>(self);
  codec::detail::free_block(owner->data, owner->bytes, owner->where);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyType_Slot OWNER_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of an array decoded from a payload.")},
    {0, nullptr}};

PyType_Spec OWNER_SPEC = {"py_engine_rust.OwnedBuffer", sizeof(BufferOwner), 0, Py_TPFLAGS_DEFAULT,
                          OWNER_SLOTS};

struct Loaded {
  PyTypeObject* owner_type = nullptr;
  PyArray_Descr* f64 = nullptr;
  PyArray_Descr* i32 = nullptr;
};
Loaded* loaded = nullptr;  // set once, under the interpreter lock, and kept for the process

void raise_numpy_missing() {
  py::Ref cause = py::take_exception();
  py::Ref text = py::Ref::steal(cause ? PyObject_Str(cause.get()) : nullptr);
  if (!text) {
    PyErr_Clear();
    text = py::Ref::steal(PyUnicode_FromString("unknown error"));
    if (!text) return;
  }
  PyErr_Format(PyExc_ImportError, "numpy is required by py_engine_rust for arrays, but it could not be imported: %U",
               text.get());
  if (!cause) return;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (v) PyException_SetCause(v, cause.release());
  PyErr_Restore(t, v, tb);
}

template <class T>
constexpr int type_number() {
  return std::is_same_v<T, double> ? NPY_DOUBLE : NPY_INT;
}

// An array over `data`, which lies in `block` (from codec's allocate_block, `bytes` long); the array's base
// object takes the block over and frees it with the last view.
py::Ref adopt_block(void* block, std::size_t bytes, codec::Placement where, int nd, npy_intp* dims, int typenum,
                    void* data) {
  py::Ref owner = py::Ref::steal(loaded->owner_type->tp_alloc(loaded->owner_type, 0));
  if (!owner) {
    codec::detail::free_block(block, bytes, where);
    return {};
  }
#ifdef PYPY_VERSION
  // PyPy's collector cannot see malloc'd memory; this reports it as pressure so that dropped
  // arrays are collected before the process grows.
  PyTraceMalloc_Track(0, reinterpret_cast<std::uintptr_t>(block), bytes);
#endif
  reinterpret_cast<BufferOwner*>(owner.get())->data = block;
  reinterpret_cast<BufferOwner*>(owner.get())->bytes = bytes;
  reinterpret_cast<BufferOwner*>(owner.get())->where = where;
  py::Ref arr = py::Ref::steal(PyArray_SimpleNewFromData(nd, dims, typenum, data));
  if (!arr) return {};
  // Takes the owner's reference even when it fails; the owner, and so the buffer, then goes at once.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), owner.release()) < 0) return {};
  return arr;
}

template <class T>
py::Ref wrap(codec::Array<T>&& v) {
  if (!ensure_numpy()) return {};
  npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
  if (!v.data()) return py::Ref::steal(PyArray_SimpleNew(1, dims, type_number<T>()));
  const std::size_t bytes = v.size() * sizeof(T);
  const auto where = v.placement();
  void* data = v.release();
  return adopt_block(data, bytes, where, 1, dims, type_number<T>(), data);
}

py::Ref new_tuple(py::Ref* items, Py_ssize_t n) {
  py::Ref t = py::Ref::steal(PyTuple_New(n));
  if (!t) return {};
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t.get(), i, items[i].release());
  return t;
}

}  // namespace

bool ensure_numpy() {
  if (loaded) return true;
  // _import_array rather than import_array: the latter prints the cause to stderr before
  // replacing it, and the caller gets a plain exception instead.
  if (_import_array() < 0) {
    PyArray_API = nullptr;  // a failed version check leaves it set; the next call must retry
    raise_numpy_missing();
    return false;
  }
  auto* l = new (std::nothrow) Loaded;
  if (!l) {
    PyErr_NoMemory();
    return false;
  }
  l->f64 = PyArray_DescrFromType(NPY_DOUBLE);
  l->i32 = PyArray_DescrFromType(NPY_INT);
  l->owner_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&OWNER_SPEC));
  if (!l->f64 || !l->i32 || !l->owner_type) {
    Py_XDECREF(l->f64);
    Py_XDECREF(l->i32);
    Py_XDECREF(l->owner_type);
    delete l;
    return false;
  }
  loaded = l;
  return true;
}

py::Ref vec_to_ndarray(codec::Array<double>&& v) { return wrap(std::move(v)); }
py::Ref vec_to_ndarray(codec::Array<std::int32_t>&& v) { return wrap(std::move(v)); }

py::Ref mat_to_ndarray(std::uint32_t rows, std::uint32_t cols, const std::uint8_t* values_le) {
  if (!ensure_numpy()) return {};
  npy_intp dims[2] = {static_cast<npy_intp>(rows), rows == 0 ? 0 : static_cast<npy_intp>(cols)};
  py::Ref arr = py::Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
  if (!arr) return {};
  // A fresh C-ordered array has its rows back to back, so all rows go in one copy.
  const std::size_t bytes = static_cast<std::size_t>(dims[0]) * static_cast<std::size_t>(dims[1]) * sizeof(double);
  if (bytes != 0) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())), values_le, bytes);
  return arr;
}

PyObject* as_array(PyObject* o, const char* argname, int ndim, bool int32) {
  if (!ensure_numpy()) return nullptr;
  if (!PyArray_Check(o)) {
    py::raise_cannot_convert(o, "PyArray<T, D>");
    py::prefix_type_error(argname);
    return nullptr;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_NDIM(a) != ndim) {
    PyErr_Format(PyExc_TypeError, texts::DIMENSIONALITY_MISMATCH, argname,
                 PyArray_NDIM(a), ndim);
    return nullptr;
  }
  PyArray_Descr* want = int32 ? loaded->i32 : loaded->f64;
  // Equivalence, not the type number alone: a byte-swapped float64 has the same number.
  if (!PyArray_EquivTypes(PyArray_DESCR(a), want)) {
    py::Ref from = py::Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a))));
    py::Ref to = py::Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(want)));
    if (!from || !to) return nullptr;
    PyErr_Format(PyExc_TypeError, texts::TYPE_MISMATCH, argname, from.get(), to.get());
    return nullptr;
  }
  return o;
}

bool check_contiguous(PyObject* arr) {
  auto* a = reinterpret_cast<PyArrayObject*>(arr);
  if ((PyArray_FLAGS(a) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) && PyArray_DATA(a)) return true;
  PyErr_SetString(PyExc_TypeError, texts::NOT_CONTIGUOUS);
  return false;
}

ArrayView view_of(PyObject* arr) {
  auto* a = reinterpret_cast<PyArrayObject*>(arr);
  return {PyArray_DATA(a), static_cast<std::uint64_t>(PyArray_SIZE(a))};
}

py::Ref new_f64_array(int ndim, const std::size_t* dims) {
  if (!ensure_numpy()) return {};
  npy_intp d[3];
  for (int i = 0; i < ndim; ++i) d[i] = static_cast<npy_intp>(dims[i]);
  return py::Ref::steal(PyArray_SimpleNew(ndim, d, NPY_DOUBLE));
}

bool f64_target(PyObject* o, const char* argname, int ndim, std::size_t* dims) {
  if (!as_array(o, argname, ndim, false)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  if (!PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISWRITEABLE(a)) {
    PyErr_Format(PyExc_ValueError, "argument '%s': a C-contiguous, writeable array is needed", argname);
    return false;
  }
  for (int i = 0; i < ndim; ++i) dims[i] = static_cast<std::size_t>(PyArray_DIM(a, i));
  return true;
}

double* f64_data(PyObject* arr) { return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr))); }

bool ndarray_to_mat_f64(PyObject* arr, codec::Bytes& out, std::uint64_t max_payload) {
  if (!check_contiguous(arr)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(arr);
  const auto rows = static_cast<std::uint64_t>(PyArray_DIM(a, 0));
  const auto cols = static_cast<std::uint64_t>(PyArray_DIM(a, 1));
  const auto n = static_cast<std::uint64_t>(PyArray_SIZE(a));
  // An array's bytes fit in memory, so 8 + 8 n does not overflow.
  if (!py::payload_fits(8 + 8 * n, max_payload)) return false;
  const void* data = PyArray_DATA(a);
  auto r = (PyArray_FLAGS(a) & NPY_ARRAY_C_CONTIGUOUS) ? codec::encode_mat_f64(rows, cols, data, n)
                                                        : codec::encode_mat_f64_col_major(rows, cols, data, n);
  if (!r) {
    py::raise(r.error());
    return false;
  }
  out = r.take();
  return true;
}

py::Ref vec_f64_value(std::span<const std::uint8_t> payload) {
  if (!ensure_numpy()) return {};
  auto r = codec::decode_vec_f64(payload);
  if (!r) {
    return py::raise(r.error());
  }
  return vec_to_ndarray(r.take());
}

py::Ref mat_f64_value(std::span<const std::uint8_t> payload) {
  if (!ensure_numpy()) return {};
  // Checked in place and copied straight into NumPy's array: no buffer in between.
  auto r = codec::check_mat_f64(payload);
  if (!r) {
    return py::raise(r.error());
  }
  return mat_to_ndarray(r.value().rows, r.value().cols, r.value().values);
}

py::Ref close_step_value(std::span<const std::uint8_t> payload) {
  if (!ensure_numpy()) return {};
  auto r = codec::decode_close_step(payload);
  if (!r) {
    return py::raise(r.error());
  }
  codec::CloseStep& cs = r.value();
  py::Ref items[3];
  if (!(items[0] = vec_to_ndarray(std::move(cs.flags)))) return {};
  if (!(items[1] = vec_to_ndarray(std::move(cs.actions)))) return {};
  if (!(items[2] = vec_to_ndarray(std::move(cs.ratios)))) return {};
  return new_tuple(items, 3);
}

py::Ref vec_mat_f64_value(std::span<const std::uint8_t> payload) {
  if (!ensure_numpy()) return {};
  auto r = codec::check_vec_mat_f64(payload);
  if (!r) {
    return py::raise(r.error());
  }
  const codec::VecMatF64View& view = r.value();
  // The leading VecF64 already passed its checks; decoding it alone gives the vector its own
  // buffer without allocating one for the matrix, which goes straight into NumPy's array.
  auto vec = codec::decode_vec_f64(payload.first(4 + 8 * std::size_t{view.vec.n}));
  if (!vec) {
    return py::raise(vec.error());
  }
  py::Ref items[2];
  if (!(items[0] = vec_to_ndarray(vec.take()))) return {};
  if (!(items[1] = mat_to_ndarray(view.mat.rows, view.mat.cols, view.mat.values))) return {};
  return new_tuple(items, 2);
}

py::Ref convert_vec_f64(codec::Bytes& payload) {
  return vec_f64_value(payload.span());
}

py::Ref convert_mat_f64(codec::Bytes& payload) {
  // Large responses become the array's memory as they are (the values start 8 bytes into the
  // block, so they are aligned): a fresh copy would cost a second set of page faults.
  constexpr std::size_t ADOPT_FROM = std::size_t{1} << 20;
  if (payload.size() < ADOPT_FROM) return mat_f64_value(payload.span());
  if (!ensure_numpy()) return {};
  auto r = codec::check_mat_f64(payload.span());
  if (!r) {
    return py::raise(r.error());
  }
  const auto rows = r.value().rows, cols = r.value().cols;
  if (rows == 0) return mat_to_ndarray(rows, cols, r.value().values);
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  const std::size_t bytes = payload.size();
  const auto where = payload.placement();
  std::uint8_t* block = payload.release();
  return adopt_block(block, bytes, where, 2, dims, NPY_DOUBLE, block + 8);
}

py::Ref convert_vec_mat_f64(codec::Bytes& payload) {
  return vec_mat_f64_value(payload.span());
}

}  // namespace arrays
