// The module-level codec functions: payload bytes <-> NumPy arrays for Python code without an engine.
#include <cstdint>
#include <span>

#include "arrays/ndarray.hpp"
#include "codec/payload.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace arrays {

namespace {

using Value = py::Ref (*)(std::span<const std::uint8_t>);

const char* const PAYLOAD[] = {"payload"};
const char* const ARR[] = {"arr"};
const char* const MAT[] = {"mat"};
const char* const CLOSE_STEP[] = {"flags", "actions", "ratios"};

const py::Signature DECODE_VEC_F64{"decode_vec_f64_py", PAYLOAD, 1, 1};
const py::Signature DECODE_MAT_F64{"decode_mat_f64_py", PAYLOAD, 1, 1};
const py::Signature DECODE_CLOSE_STEP{"decode_close_step_py", PAYLOAD, 1, 1};
const py::Signature DECODE_VEC_MAT_F64{"decode_vec_mat_f64_py", PAYLOAD, 1, 1};
const py::Signature ENCODE_VEC_F64{"encode_vec_f64_py", ARR, 1, 1};
const py::Signature ENCODE_MAT_F64{"encode_mat_f64_py", MAT, 1, 1};
const py::Signature ENCODE_CLOSE_STEP{"encode_close_step_py", CLOSE_STEP, 3, 3};

// Binds the payload argument and runs `value` on the bytes object's own memory.
PyObject* run_decoder(const py::Signature& sig, Value value, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  PyObject* payload;
  if (!py::bind(sig, args, nargs, kwnames, &payload)) return nullptr;
  if (!PyBytes_Check(payload)) {
    py::raise_cannot_convert(payload, "PyBytes");
    py::prefix_type_error("payload");
    return nullptr;
  }
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(payload)),
                                            static_cast<std::size_t>(PyBytes_GET_SIZE(payload)));
  return value(bytes).release();
}

// A list of the payload's byte values. The 256 int objects are made once and shared, so a list
// costs one allocation plus a reference per item.
PyObject* byte_list(const codec::Bytes& payload) {
#ifdef PYPY_VERSION
  // Filling a list item by item crosses PyPy's C-API layer once per byte; its own list(bytes)
  // does the same work natively, about twice as fast.
  py::Ref bytes = py::Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload.data()),
                                                           static_cast<Py_ssize_t>(payload.size())));
  return bytes ? PySequence_List(bytes.get()) : nullptr;
#else
  static PyObject* ints[256] = {};
  if (!ints[255]) {
    for (int i = 0; i < 256; ++i) {
      if (ints[i]) continue;
      ints[i] = PyLong_FromLong(i);
      if (!ints[i]) return nullptr;
    }
  }
  const auto n = static_cast<Py_ssize_t>(payload.size());
  PyObject* list = PyList_New(n);
  if (!list) return nullptr;
  const std::uint8_t* p = payload.data();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = ints[p[i]];
    Py_INCREF(item);
    PyList_SET_ITEM(list, i, item);
  }
  return list;
#endif
}

// The list for an encoder's result, or ValueError with its codec message.
PyObject* finish(codec::Result<codec::Bytes>& r) {
  if (!r) return py::raise(r.error()).release();
  return byte_list(r.value());
}

template <class Encode>
PyObject* encoding(Encode&& encode) {
  auto r = encode();
  return finish(r);
}

PyObject* decode_vec_f64_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_decoder(DECODE_VEC_F64, vec_f64_value, args, nargs, kwnames);
}

PyObject* decode_mat_f64_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_decoder(DECODE_MAT_F64, mat_f64_value, args, nargs, kwnames);
}

PyObject* decode_close_step_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_decoder(DECODE_CLOSE_STEP, close_step_value, args, nargs, kwnames);
}

PyObject* decode_vec_mat_f64_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_decoder(DECODE_VEC_MAT_F64, vec_mat_f64_value, args, nargs, kwnames);
}

PyObject* encode_vec_f64_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg;
  if (!py::bind(ENCODE_VEC_F64, args, nargs, kwnames, &arg)) return nullptr;
  PyObject* arr = as_array(arg, "arr", 1, false);
  if (!arr || !check_contiguous(arr)) return nullptr;
  const ArrayView v = view_of(arr);
  return encoding([&] { return codec::encode_vec_f64(v.data, v.size); });
}

PyObject* encode_mat_f64_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg;
  if (!py::bind(ENCODE_MAT_F64, args, nargs, kwnames, &arg)) return nullptr;
  PyObject* mat = as_array(arg, "mat", 2, false);
  codec::Bytes payload;
  if (!mat || !ndarray_to_mat_f64(mat, payload)) return nullptr;
  return byte_list(payload);
}

PyObject* encode_close_step_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* in[3];
  if (!py::bind(ENCODE_CLOSE_STEP, args, nargs, kwnames, in)) return nullptr;
  PyObject* arrs[3];
  for (int i = 0; i < 3; ++i) {
    arrs[i] = as_array(in[i], CLOSE_STEP[i], 1, i < 2);
    if (!arrs[i]) return nullptr;
  }
  for (PyObject* a : arrs)
    if (!check_contiguous(a)) return nullptr;
  const ArrayView f = view_of(arrs[0]), a = view_of(arrs[1]), r = view_of(arrs[2]);
  return encoding([&] { return codec::encode_close_step(f.data, f.size, a.data, a.size, r.data, r.size); });
}

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Every function's entry: a C++ failure inside becomes its Python exception there.
template <FastCall F>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] { return F(self, args, nargs, kwnames); });
}

template <FastCall F>
constexpr PyCFunction fastcall() {
  // PyMethodDef stores every calling convention under one pointer type.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<F>));
}

PyMethodDef FUNCTIONS[] = {
    {"decode_vec_f64_py", fastcall<decode_vec_f64_py>(), METH_FASTCALL | METH_KEYWORDS,
     "decode_vec_f64_py(payload)\n--\n\nDecode VecF64 payload into numpy.ndarray(float64, shape=(n,))"},
    {"decode_mat_f64_py", fastcall<decode_mat_f64_py>(), METH_FASTCALL | METH_KEYWORDS,
     "decode_mat_f64_py(payload)\n--\n\nDecode MatF64 payload into numpy.ndarray(float64, shape=(rows, cols))"},
    {"decode_close_step_py", fastcall<decode_close_step_py>(), METH_FASTCALL | METH_KEYWORDS,
     "decode_close_step_py(payload)\n--\n\nDecode CloseStep payload into tuple(flags, actions, ratios) as numpy "
     "arrays."},
    {"decode_vec_mat_f64_py", fastcall<decode_vec_mat_f64_py>(), METH_FASTCALL | METH_KEYWORDS,
     "decode_vec_mat_f64_py(payload)\n--\n\nDecode VecF64 + MatF64 payload into (vec, mat)."},
    {"encode_vec_f64_py", fastcall<encode_vec_f64_py>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_vec_f64_py(arr)\n--\n\n"},
    {"encode_mat_f64_py", fastcall<encode_mat_f64_py>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_mat_f64_py(mat)\n--\n\n"},
    {"encode_close_step_py", fastcall<encode_close_step_py>(), METH_FASTCALL | METH_KEYWORDS,
     "encode_close_step_py(flags, actions, ratios)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* module_functions() { return FUNCTIONS; }

}  // namespace arrays
