#pragma once
// Blocks of memory the codec fills (on the heap, or mapped for what a peer sends), and results as values.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace codec {

// Every multi-byte value on the wire is little-endian; on such hosts a plain
// memcpy is the whole conversion.
static_assert(std::endian::native == std::endian::little,
              "codec supports little-endian hosts only");

// Where a block comes from. Heap: the C allocator, whose freed memory is
// reused at once (no page faults for a block like the last one). Mapped
// (large blocks only): pages of their own, resident only once written and
// returned to the system when freed, for buffers sized by what a peer claims
// it will send.
enum class Placement : bool { Heap, Mapped };

namespace detail {
// Returns a block of at least `bytes` bytes (never null); throws std::bad_alloc.
// It must be given back with free_block and the same `bytes` and placement.
void* allocate_block(std::size_t bytes, Placement where = Placement::Heap);
void free_block(void* p, std::size_t bytes, Placement where = Placement::Heap) noexcept;
}  // namespace detail

// Block of n T's, left uninitialised. Move-only. The block can be handed on
// (to NumPy) with release(); whoever takes it frees it with
// detail::free_block(p, n * sizeof(T), placement()).
template <class T>
class Array {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  Array() noexcept = default;

  static Array allocate(std::size_t n, Placement where = Placement::Heap) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    Array a;
    a.data_ = static_cast<T*>(detail::allocate_block(n * sizeof(T), where));
    a.size_ = n;
    a.where_ = where;
    return a;
  }

  Placement placement() const noexcept { return where_; }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  T* release() noexcept {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }

  std::span<T> span() noexcept { return {data_, size_}; }
  std::span<const T> span() const noexcept { return {data_, size_}; }

  ~Array() { detail::free_block(data_, size_ * sizeof(T), where_); }
  Array(Array&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), where_(o.where_) {}
  Array& operator=(Array&& o) noexcept {
    if (this != &o) {
      detail::free_block(data_, size_ * sizeof(T), where_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      where_ = o.where_;
    }
    return *this;
  }
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
  Placement where_ = Placement::Heap;
};

using Bytes = Array<std::uint8_t>;

struct CodecError {
  std::string message;
};

// Value or CodecError. Failures are values so that callers on worker threads
// can pass them up without exceptions.
template <class T>
class Result {
 public:
  Result(T v) : v_(std::in_place_index<0>, std::move(v)) {}
  Result(CodecError e) : v_(std::in_place_index<1>, std::move(e)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() { return *std::get_if<0>(&v_); }
  T&& take() { return std::move(*std::get_if<0>(&v_)); }
  const CodecError& error() const { return *std::get_if<1>(&v_); }

 private:
  std::variant<T, CodecError> v_;
};

}  // namespace codec
