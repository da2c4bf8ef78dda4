#include "payload.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace codec {

namespace {

// A MatF64 header can imply 8 + 8*(2^32-1)^2 bytes, which needs 68 bits.
__extension__ typedef unsigned __int128 u128;

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

std::uint32_t load_u32(const std::uint8_t* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void store_u32(std::uint8_t* p, std::uint64_t v) noexcept {
  const auto u = static_cast<std::uint32_t>(v);
  std::memcpy(p, &u, sizeof u);
}

// memcpy with a null source is undefined even for zero bytes, and empty
// inputs legitimately arrive as null pointers.
void copy_bytes(void* dst, const void* src, std::size_t n) noexcept {
  if (n != 0) std::memcpy(dst, src, n);
}

std::string decimal(u128 v) {
  char buf[40];
  char* end = buf + sizeof buf;
  char* p = end;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  } while (v != 0);
  return std::string(p, end);
}

CodecError length_mismatch(const char* kind, u128 expected, std::size_t got) {
  return CodecError{std::string(kind) + " length mismatch: expected " + decimal(expected) +
                    ", got " + decimal(got)};
}

template <class T>
Array<T> copy_out(const std::uint8_t* src, std::size_t n) {
  Array<T> a = Array<T>::allocate(n);
  copy_bytes(a.data(), src, n * sizeof(T));
  return a;
}

// Checks shared by encode_mat_f64 and its column-major twin; on success the
// result holds the buffer with its 8 header bytes written.
Result<Bytes> mat_f64_buffer(std::uint64_t rows, std::uint64_t cols, std::uint64_t n_values) {
  const u128 count = u128{rows} * cols;
  if (count > std::numeric_limits<std::uint64_t>::max()) return CodecError{"rows*cols overflow"};
  if (n_values != count) {
    return CodecError{"MatF64 data length mismatch: expected " + decimal(count) + ", got " +
                      decimal(n_values)};
  }
  if (rows > kU32Max || cols > kU32Max) {
    return CodecError{"MatF64 dimension too large for the u32 header: rows=" + decimal(rows) +
                      ", cols=" + decimal(cols)};
  }
  const u128 total = 8 + 8 * count;
  if (total > std::numeric_limits<std::size_t>::max()) {
    return CodecError{"MatF64 payload too large: " + decimal(total) + " bytes"};
  }
  Bytes out = Bytes::allocate(static_cast<std::size_t>(total));
  store_u32(out.data(), rows);
  store_u32(out.data() + 4, cols);
  return out;
}

// Column-major src (element (r, c) at r + c*rows) to row-major dst, tile by
// tile so that both the strided reads and the strided writes stay in cache.
// Values move as 8-byte integers: no float register may touch a NaN payload.
void transpose_f64(std::uint8_t* dst, const std::uint8_t* src, std::uint64_t rows,
                   std::uint64_t cols) noexcept {
  constexpr std::uint64_t kTile = 32;
  for (std::uint64_t r0 = 0; r0 < rows; r0 += kTile) {
    const std::uint64_t r1 = std::min(rows, r0 + kTile);
    for (std::uint64_t c0 = 0; c0 < cols; c0 += kTile) {
      const std::uint64_t c1 = std::min(cols, c0 + kTile);
      for (std::uint64_t r = r0; r < r1; ++r) {
        std::uint8_t* out = dst + 8 * (r * cols);
        for (std::uint64_t c = c0; c < c1; ++c) {
          std::uint64_t bits;
          std::memcpy(&bits, src + 8 * (c * rows + r), 8);
          std::memcpy(out + 8 * c, &bits, 8);
        }
      }
    }
  }
}

}  // namespace

Result<VecF64View> check_vec_f64(std::span<const std::uint8_t> payload) {
  if (payload.size() < 4) return CodecError{"VecF64 payload too short"};
  const std::uint32_t n = load_u32(payload.data());
  const u128 expected = 4 + 8 * u128{n};
  if (payload.size() != expected) return length_mismatch("VecF64", expected, payload.size());
  return VecF64View{n, payload.data() + 4};
}

Result<MatF64View> check_mat_f64(std::span<const std::uint8_t> payload) {
  if (payload.size() < 8) return CodecError{"MatF64 payload too short"};
  const std::uint32_t rows = load_u32(payload.data());
  const std::uint32_t cols = load_u32(payload.data() + 4);
  const u128 expected = 8 + 8 * u128{rows} * cols;
  if (payload.size() != expected) return length_mismatch("MatF64", expected, payload.size());
  return MatF64View{rows, cols, payload.data() + 8};
}

Result<VecMatF64View> check_vec_mat_f64(std::span<const std::uint8_t> payload) {
  if (payload.size() < 4) return CodecError{"VecMatF64 payload too short"};
  const std::uint32_t n = load_u32(payload.data());
  const std::uint64_t header_end = 12 + 8 * std::uint64_t{n};
  if (payload.size() < header_end) return CodecError{"VecMatF64 missing matrix header"};
  const std::uint8_t* mat = payload.data() + 4 + 8 * std::uint64_t{n};
  const std::uint32_t rows = load_u32(mat);
  const std::uint32_t cols = load_u32(mat + 4);
  const u128 expected = header_end + 8 * u128{rows} * cols;
  if (payload.size() != expected) return length_mismatch("VecMatF64", expected, payload.size());
  return VecMatF64View{{n, payload.data() + 4}, {rows, cols, mat + 8}};
}

Result<Array<double>> decode_vec_f64(std::span<const std::uint8_t> payload) {
  auto v = check_vec_f64(payload);
  if (!v) return v.error();
  return copy_out<double>(v.value().values, v.value().n);
}

Result<MatF64> decode_mat_f64(std::span<const std::uint8_t> payload) {
  auto m = check_mat_f64(payload);
  if (!m) return m.error();
  const MatF64View& view = m.value();
  // The length check passed, so rows*cols values fit in the payload's size.
  const std::size_t count = std::size_t{view.rows} * view.cols;
  return MatF64{view.rows, view.cols, copy_out<double>(view.values, count)};
}

Result<CloseStep> decode_close_step(std::span<const std::uint8_t> payload) {
  if (payload.size() < 4) return CodecError{"CloseStep payload too short"};
  const std::uint32_t n = load_u32(payload.data());
  const u128 expected = 4 + 16 * u128{n};
  if (payload.size() != expected) return length_mismatch("CloseStep", expected, payload.size());
  const std::uint8_t* p = payload.data() + 4;
  const std::size_t n4 = 4 * std::size_t{n};
  return CloseStep{copy_out<std::int32_t>(p, n), copy_out<std::int32_t>(p + n4, n),
                   copy_out<double>(p + 2 * n4, n)};
}

Result<VecMatF64> decode_vec_mat_f64(std::span<const std::uint8_t> payload) {
  auto vm = check_vec_mat_f64(payload);
  if (!vm) return vm.error();
  const VecMatF64View& view = vm.value();
  Array<double> vec = copy_out<double>(view.vec.values, view.vec.n);
  const std::size_t count = std::size_t{view.mat.rows} * view.mat.cols;
  return VecMatF64{std::move(vec),
                   MatF64{view.mat.rows, view.mat.cols, copy_out<double>(view.mat.values, count)}};
}

Result<Bytes> encode_vec_f64(const void* values, std::uint64_t n) {
  if (n > kU32Max) {
    return CodecError{"VecF64 count too large for the u32 header: " + decimal(n)};
  }
  Bytes out = Bytes::allocate(4 + 8 * n);
  store_u32(out.data(), n);
  copy_bytes(out.data() + 4, values, 8 * n);
  return out;
}

Result<Bytes> encode_mat_f64(std::uint64_t rows, std::uint64_t cols, const void* values,
                             std::uint64_t n_values) {
  auto out = mat_f64_buffer(rows, cols, n_values);
  if (out) copy_bytes(out.value().data() + 8, values, 8 * n_values);
  return out;
}

Result<Bytes> encode_mat_f64_col_major(std::uint64_t rows, std::uint64_t cols, const void* values,
                                       std::uint64_t n_values) {
  auto out = mat_f64_buffer(rows, cols, n_values);
  if (!out) return out;
  // An empty matrix may still have 2^32-1 rows: the tile loops must not walk them.
  if (n_values == 0) return out;
  // With a single row or column both orders are the same bytes.
  if (rows == 1 || cols == 1) {
    copy_bytes(out.value().data() + 8, values, 8 * n_values);
  } else {
    transpose_f64(out.value().data() + 8, static_cast<const std::uint8_t*>(values), rows, cols);
  }
  return out;
}

Result<Bytes> encode_close_step(const void* flags, std::uint64_t n_flags, const void* actions,
                                std::uint64_t n_actions, const void* ratios,
                                std::uint64_t n_ratios) {
  if (n_flags != n_actions || n_flags != n_ratios) {
    return CodecError{"close_step shape mismatch: flags=" + decimal(n_flags) +
                      ", actions=" + decimal(n_actions) + ", ratios=" + decimal(n_ratios)};
  }
  const std::uint64_t n = n_flags;
  if (n > kU32Max) {
    return CodecError{"CloseStep count too large for the u32 header: " + decimal(n)};
  }
  Bytes out = Bytes::allocate(4 + 16 * n);
  std::uint8_t* p = out.data();
  store_u32(p, n);
  copy_bytes(p + 4, flags, 4 * n);
  copy_bytes(p + 4 + 4 * n, actions, 4 * n);
  copy_bytes(p + 4 + 8 * n, ratios, 8 * n);
  return out;
}

}  // namespace codec
