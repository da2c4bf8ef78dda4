#pragma once
// Payloads <-> NumPy arrays. Every function needs the interpreter lock and reports failure as
// null / empty / false with a Python error set.
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/buffer.hpp"
#include "py/ref.hpp"

namespace arrays {

// Loads NumPy's C table on first use; ImportError when NumPy cannot be loaded (retried next call).
bool ensure_numpy();

// 1-D writeable array over the buffer itself: the buffer moves into the array's base object.
py::Ref vec_to_ndarray(codec::Array<double>&& v);
py::Ref vec_to_ndarray(codec::Array<std::int32_t>&& v);

// Fresh C-ordered float64 array of shape (rows, cols), (0, 0) when rows is 0, filled from
// rows*cols little-endian float64 values at any alignment.
py::Ref mat_to_ndarray(std::uint32_t rows, std::uint32_t cols, const std::uint8_t* values_le);

// The argument as an ndarray (borrowed) of `ndim` dimensions and dtype float64, or int32 when
// `int32`; TypeError "argument '<argname>': ..." otherwise.
PyObject* as_array(PyObject* o, const char* argname, int ndim, bool int32);

// TypeError "The given array is not contiguous" unless C- or Fortran-contiguous with data.
bool check_contiguous(PyObject* arr);

// Memory start and element count of an array that passed as_array and check_contiguous.
struct ArrayView {
  const void* data;
  std::uint64_t size;
};
ArrayView view_of(PyObject* arr);

// A 2-D float64 array (already through as_array) as MatF64 bytes, whatever its memory order.
// A payload that would be longer than `max_payload` bytes is refused (ValueError) before any
// memory is taken for it.
bool ndarray_to_mat_f64(PyObject* arr, codec::Bytes& out, std::uint64_t max_payload = UINT64_MAX);

// A fresh C-ordered float64 array of `ndim` (1 to 3) dimensions.
py::Ref new_f64_array(int ndim, const std::size_t* dims);
// `o` as an array to write float64 values into: `ndim` dimensions (their sizes to `dims`), native
// float64, C-contiguous and writeable. TypeError or ValueError naming `argname` otherwise.
bool f64_target(PyObject* o, const char* argname, int ndim, std::size_t* dims);
// The first value of an array that passed either.
double* f64_data(PyObject* arr);

// Payload bytes to Python values; null with a Python error set (a codec failure is ValueError).
py::Ref vec_f64_value(std::span<const std::uint8_t> payload);
py::Ref mat_f64_value(std::span<const std::uint8_t> payload);
py::Ref close_step_value(std::span<const std::uint8_t> payload);
py::Ref vec_mat_f64_value(std::span<const std::uint8_t> payload);

// The same for response payloads, in the shape of engine::Convert.
py::Ref convert_vec_f64(codec::Bytes& payload);
py::Ref convert_mat_f64(codec::Bytes& payload);
py::Ref convert_vec_mat_f64(codec::Bytes& payload);

}  // namespace arrays
