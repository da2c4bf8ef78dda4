#pragma once
// The payload encodings of the arrays that requests and responses carry, both ways, with their exact error texts.

#include <cstdint>
#include <span>

#include "buffer.hpp"

namespace codec {

// Array payloads, little-endian, no padding, no tag:
//   VecF64    n u32 | n f64
//   MatF64    rows u32 | cols u32 | rows*cols f64, row-major
//   CloseStep n u32 | n i32 flags | n i32 actions | n f64 ratios
//   VecMatF64 a VecF64 immediately followed by a MatF64
// A payload is exactly as long as its counts imply.

struct MatF64 {
  std::uint32_t rows;
  std::uint32_t cols;
  Array<double> values;  // row-major
};

struct CloseStep {
  Array<std::int32_t> flags;
  Array<std::int32_t> actions;
  Array<double> ratios;
};

struct VecMatF64 {
  Array<double> vec;
  MatF64 mat;
};

// Views make the checks of the matching decoder without allocating, for
// callers that copy the values straight into a buffer of their own. The value
// pointers point into the payload at any alignment: read them with memcpy.
struct VecF64View {
  std::uint32_t n;
  const std::uint8_t* values;
};
struct MatF64View {
  std::uint32_t rows;
  std::uint32_t cols;
  const std::uint8_t* values;
};
struct VecMatF64View {
  VecF64View vec;
  MatF64View mat;
};

Result<VecF64View> check_vec_f64(std::span<const std::uint8_t> payload);
Result<MatF64View> check_mat_f64(std::span<const std::uint8_t> payload);
Result<VecMatF64View> check_vec_mat_f64(std::span<const std::uint8_t> payload);

// Decoders allocate only after every check has passed, one buffer per array at
// its exact size; the payload may start at any address.
Result<Array<double>> decode_vec_f64(std::span<const std::uint8_t> payload);
Result<MatF64> decode_mat_f64(std::span<const std::uint8_t> payload);
Result<CloseStep> decode_close_step(std::span<const std::uint8_t> payload);
Result<VecMatF64> decode_vec_mat_f64(std::span<const std::uint8_t> payload);

// Encoders read their inputs with memcpy, so inputs may be unaligned (NumPy
// views); `values` point to n (or n_values) elements and may be null when
// there are none. Counts and dimensions above UINT32_MAX are refused rather
// than truncated into the u32 header.
Result<Bytes> encode_vec_f64(const void* values, std::uint64_t n);
// values in row-major order
Result<Bytes> encode_mat_f64(std::uint64_t rows, std::uint64_t cols, const void* values,
                             std::uint64_t n_values);
// values in column-major order; the bytes are those of encode_mat_f64 on the
// same matrix, so Fortran-ordered arrays need no intermediate copy.
Result<Bytes> encode_mat_f64_col_major(std::uint64_t rows, std::uint64_t cols, const void* values,
                                       std::uint64_t n_values);
Result<Bytes> encode_close_step(const void* flags, std::uint64_t n_flags, const void* actions,
                                std::uint64_t n_actions, const void* ratios,
                                std::uint64_t n_ratios);

}  // namespace codec
