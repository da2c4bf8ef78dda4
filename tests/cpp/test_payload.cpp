#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "codec/payload.hpp"

namespace {

using Vec = std::vector<std::uint8_t>;
constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

Vec hex(const std::string& s) {
  Vec out;
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] == ' ' || s[i] == ',') {
      ++i;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

// Raw bytes of a std::vector or codec::Array.
template <class C>
Vec bytes_of(const C& c) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(c.data());
  return Vec(p, p + c.size() * sizeof(*c.data()));
}

Vec u32(std::uint32_t v) {
  Vec out(4);
  std::memcpy(out.data(), &v, 4);
  return out;
}

Vec cat(std::initializer_list<Vec> parts) {
  Vec out;
  for (const Vec& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Bit patterns a float register could alter: signalling and payload-carrying
// NaNs, negative zero, subnormals.
std::vector<double> tricky_doubles() {
  const std::uint64_t bits[] = {0x7FF0000000000001ull, 0xFFF8DEADBEEF0001ull, 0x7FF4000000000000ull,
                                0x8000000000000000ull, 0x0000000000000001ull, 0x800FFFFFFFFFFFFFull,
                                0x7FF0000000000000ull, 0x3FF0000000000000ull};
  std::vector<double> out(std::size(bits));
  std::memcpy(out.data(), bits, sizeof bits);
  return out;
}

// Copies `data` to an odd address so that every 4- and 8-byte field is misaligned.
struct Unaligned {
  explicit Unaligned(const Vec& data) : storage(data.size() + 1) {
    if (!data.empty()) std::memcpy(storage.data() + 1, data.data(), data.size());
  }
  std::span<const std::uint8_t> span() const { return std::span(storage).subspan(1); }
  const void* ptr() const { return storage.data() + 1; }
  Vec storage;
};

TEST(Payload, WorkedExamplesEncode) {
  const std::vector<double> vec{1.0, 2.0};
  auto v = codec::encode_vec_f64(vec.data(), vec.size());
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(bytes_of(v.value()), hex("02 00 00 00, 00 00 00 00 00 00 F0 3F, 00 00 00 00 00 00 00 40"));

  const std::vector<double> mat{1.5, -2.0};
  auto m = codec::encode_mat_f64(1, 2, mat.data(), mat.size());
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(bytes_of(m.value()),
            hex("01 00 00 00, 02 00 00 00, 00 00 00 00 00 00 F8 3F, 00 00 00 00 00 00 00 C0"));

  const std::vector<std::int32_t> flags{-1}, actions{3};
  const std::vector<double> ratios{0.25};
  auto c = codec::encode_close_step(flags.data(), 1, actions.data(), 1, ratios.data(), 1);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(bytes_of(c.value()), hex("01 00 00 00, FF FF FF FF, 03 00 00 00, 00 00 00 00 00 00 D0 3F"));

  auto e = codec::encode_vec_f64(nullptr, 0);
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(bytes_of(e.value()), hex("00 00 00 00"));
}

TEST(Payload, WorkedExamplesDecode) {
  auto v = codec::decode_vec_f64(hex("02 00 00 00 00 00 00 00 00 00 F0 3F 00 00 00 00 00 00 00 40"));
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(bytes_of(v.value()), bytes_of(std::vector<double>{1.0, 2.0}));

  auto m = codec::decode_mat_f64(hex("01 00 00 00 02 00 00 00 00 00 00 00 00 00 F8 3F 00 00 00 00 00 00 00 C0"));
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m.value().rows, 1u);
  EXPECT_EQ(m.value().cols, 2u);
  EXPECT_EQ(bytes_of(m.value().values), bytes_of(std::vector<double>{1.5, -2.0}));

  auto c = codec::decode_close_step(hex("01 00 00 00 FF FF FF FF 03 00 00 00 00 00 00 00 00 00 D0 3F"));
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(bytes_of(c.value().flags), bytes_of(std::vector<std::int32_t>{-1}));
  EXPECT_EQ(bytes_of(c.value().actions), bytes_of(std::vector<std::int32_t>{3}));
  EXPECT_EQ(bytes_of(c.value().ratios), bytes_of(std::vector<double>{0.25}));
}

TEST(Payload, EmptyShapesDecode) {
  const Vec zero4 = hex("00 00 00 00");
  auto v = codec::decode_vec_f64(zero4);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v.value().size(), 0u);
  EXPECT_NE(v.value().data(), nullptr);

  auto c = codec::decode_close_step(zero4);
  ASSERT_TRUE(c.ok());
  EXPECT_TRUE(c.value().flags.empty() && c.value().actions.empty() && c.value().ratios.empty());

  auto m = codec::decode_mat_f64(cat({u32(3), u32(0)}));
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m.value().rows, 3u);
  EXPECT_EQ(m.value().cols, 0u);
  EXPECT_TRUE(m.value().values.empty());

  const Vec one = bytes_of(std::vector<double>{-0.5});
  auto vm = codec::decode_vec_mat_f64(cat({u32(1), one, u32(0), u32(0)}));
  ASSERT_TRUE(vm.ok());
  EXPECT_EQ(bytes_of(vm.value().vec), one);
  EXPECT_EQ(vm.value().mat.rows, 0u);
  EXPECT_EQ(vm.value().mat.cols, 0u);
  EXPECT_TRUE(vm.value().mat.values.empty());
}

enum class Decoder { Vec, Mat, CloseStep, VecMat };

// The decode error, and the matching check_* error where one exists (they must agree).
std::string decode_error(Decoder d, std::span<const std::uint8_t> p) {
  auto msg = [](const auto& r) { return r.ok() ? std::string("<ok>") : r.error().message; };
  switch (d) {
    case Decoder::Vec: {
      const std::string a = msg(codec::decode_vec_f64(p)), b = msg(codec::check_vec_f64(p));
      return a == b ? a : a + " | check: " + b;
    }
    case Decoder::Mat: {
      const std::string a = msg(codec::decode_mat_f64(p)), b = msg(codec::check_mat_f64(p));
      return a == b ? a : a + " | check: " + b;
    }
    case Decoder::CloseStep:
      return msg(codec::decode_close_step(p));
    case Decoder::VecMat: {
      const std::string a = msg(codec::decode_vec_mat_f64(p)), b = msg(codec::check_vec_mat_f64(p));
      return a == b ? a : a + " | check: " + b;
    }
  }
  return "";
}

struct DecodeErrorCase {
  const char* name;
  Decoder decoder;
  Vec payload;
  std::string message;
};

class DecodeErrors : public ::testing::TestWithParam<DecodeErrorCase> {};

TEST_P(DecodeErrors, ExactMessage) {
  const DecodeErrorCase& c = GetParam();
  EXPECT_EQ(decode_error(c.decoder, c.payload), c.message);
}

const Vec kVec2 = hex("02 00 00 00 00 00 00 00 00 00 F0 3F 00 00 00 00 00 00 00 40");

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeErrors,
    ::testing::Values(
        DecodeErrorCase{"vec_short", Decoder::Vec, Vec(3), "VecF64 payload too short"},
        DecodeErrorCase{"mat_short", Decoder::Mat, Vec(7), "MatF64 payload too short"},
        DecodeErrorCase{"close_short", Decoder::CloseStep, Vec(3), "CloseStep payload too short"},
        DecodeErrorCase{"vecmat_short", Decoder::VecMat, Vec(3), "VecMatF64 payload too short"},
        DecodeErrorCase{"vec_plus_one", Decoder::Vec, cat({kVec2, Vec(1)}),
                        "VecF64 length mismatch: expected 20, got 21"},
        DecodeErrorCase{"vec_minus_one", Decoder::Vec, Vec(kVec2.begin(), kVec2.end() - 1),
                        "VecF64 length mismatch: expected 20, got 19"},
        DecodeErrorCase{"vec_max_n", Decoder::Vec, u32(0xFFFFFFFFu),
                        "VecF64 length mismatch: expected 34359738364, got 4"},
        DecodeErrorCase{"mat_2x3_short", Decoder::Mat, cat({u32(2), u32(3), Vec(40)}),
                        "MatF64 length mismatch: expected 56, got 48"},
        // 8 + 8 * 2^31 * 2^30 = 2^64 + 8: must not wrap to 8 and pass.
        DecodeErrorCase{"mat_beyond_64_bits", Decoder::Mat, cat({u32(0x80000000u), u32(0x40000000u)}),
                        "MatF64 length mismatch: expected 18446744073709551624, got 8"},
        DecodeErrorCase{"mat_max_dims", Decoder::Mat, cat({u32(0xFFFFFFFFu), u32(0xFFFFFFFFu)}),
                        "MatF64 length mismatch: expected 147573952520956936208, got 8"},
        DecodeErrorCase{"close_trailing", Decoder::CloseStep, cat({u32(1), Vec(17)}),
                        "CloseStep length mismatch: expected 20, got 21"},
        DecodeErrorCase{"close_max_n", Decoder::CloseStep, u32(0xFFFFFFFFu),
                        "CloseStep length mismatch: expected 68719476724, got 4"},
        DecodeErrorCase{"vecmat_no_header", Decoder::VecMat, cat({u32(1), Vec(15)}),
                        "VecMatF64 missing matrix header"},
        DecodeErrorCase{"vecmat_mismatch", Decoder::VecMat, cat({u32(1), Vec(8), u32(2), u32(2), Vec(24)}),
                        "VecMatF64 length mismatch: expected 52, got 44"},
        DecodeErrorCase{"vecmat_beyond_64_bits", Decoder::VecMat,
                        cat({u32(0), u32(0x80000000u), u32(0x40000000u)}),
                        "VecMatF64 length mismatch: expected 18446744073709551628, got 12"}),
    [](const auto& info) { return std::string(info.param.name); });

struct EncodeErrorCase {
  const char* name;
  std::function<codec::Result<codec::Bytes>()> encode;
  std::string message;
};

class EncodeErrors : public ::testing::TestWithParam<EncodeErrorCase> {};

TEST_P(EncodeErrors, ExactMessage) {
  auto r = GetParam().encode();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, GetParam().message);
}

// None of these may touch the (null or short) value pointers: they must be refused before copying.
const double kFive[5] = {};
INSTANTIATE_TEST_SUITE_P(
    Table, EncodeErrors,
    ::testing::Values(
        EncodeErrorCase{"mat_overflow", [] { return codec::encode_mat_f64(1ull << 32, 1ull << 32, nullptr, 0); },
                        "rows*cols overflow"},
        EncodeErrorCase{"mat_overflow_col_major",
                        [] { return codec::encode_mat_f64_col_major(~0ull, 2, nullptr, 0); },
                        "rows*cols overflow"},
        EncodeErrorCase{"mat_data_mismatch", [] { return codec::encode_mat_f64(2, 3, kFive, 5); },
                        "MatF64 data length mismatch: expected 6, got 5"},
        EncodeErrorCase{"mat_data_mismatch_col_major",
                        [] { return codec::encode_mat_f64_col_major(2, 3, kFive, 5); },
                        "MatF64 data length mismatch: expected 6, got 5"},
        EncodeErrorCase{"mat_rows_too_large", [] { return codec::encode_mat_f64(1ull << 32, 0, nullptr, 0); },
                        "MatF64 dimension too large for the u32 header: rows=4294967296, cols=0"},
        EncodeErrorCase{"mat_cols_too_large",
                        [] { return codec::encode_mat_f64_col_major(0, 1ull << 40, nullptr, 0); },
                        "MatF64 dimension too large for the u32 header: rows=0, cols=1099511627776"},
        EncodeErrorCase{"mat_beyond_size_t",
                        [] { return codec::encode_mat_f64(kU32Max, kU32Max, nullptr, kU32Max * kU32Max); },
                        "MatF64 payload too large: 147573952520956936208 bytes"},
        EncodeErrorCase{"vec_count_too_large", [] { return codec::encode_vec_f64(nullptr, 1ull << 32); },
                        "VecF64 count too large for the u32 header: 4294967296"},
        EncodeErrorCase{"close_shape", [] { return codec::encode_close_step(kFive, 2, kFive, 2, kFive, 1); },
                        "close_step shape mismatch: flags=2, actions=2, ratios=1"},
        EncodeErrorCase{"close_shape_before_count",
                        [] { return codec::encode_close_step(nullptr, 1ull << 32, nullptr, 0, nullptr, 0); },
                        "close_step shape mismatch: flags=4294967296, actions=0, ratios=0"},
        EncodeErrorCase{"close_count_too_large",
                        [] { return codec::encode_close_step(nullptr, 1ull << 32, nullptr, 1ull << 32, nullptr, 1ull << 32); },
                        "CloseStep count too large for the u32 header: 4294967296"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Payload, LargestEncodableCountsAreAccepted) {
  // The boundary itself is legal: a u32-max dimension with no data.
  auto m = codec::encode_mat_f64(kU32Max, 0, nullptr, 0);
  ASSERT_TRUE(m.ok()) << m.error().message;
  EXPECT_EQ(bytes_of(m.value()), cat({u32(0xFFFFFFFFu), u32(0)}));
  auto back = codec::decode_mat_f64(m.value().span());
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value().rows, 0xFFFFFFFFu);

  auto t = codec::encode_mat_f64_col_major(0, kU32Max, nullptr, 0);
  ASSERT_TRUE(t.ok()) << t.error().message;
  EXPECT_EQ(bytes_of(t.value()), cat({u32(0), u32(0xFFFFFFFFu)}));
  auto c = codec::encode_close_step(nullptr, 0, nullptr, 0, nullptr, 0);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(bytes_of(c.value()), u32(0));
}

// NaN payloads, -0.0 and subnormals read from and decoded at odd addresses.
TEST(Payload, BitPatternsSurviveAtAnyAlignment) {
  const std::vector<double> d = tricky_doubles();
  const Vec raw = bytes_of(d);
  const std::uint32_t n = static_cast<std::uint32_t>(d.size());
  const Unaligned in(raw);

  auto v = codec::encode_vec_f64(in.ptr(), n);
  ASSERT_TRUE(v.ok());
  const Unaligned vp(bytes_of(v.value()));
  auto vd = codec::decode_vec_f64(vp.span());
  ASSERT_TRUE(vd.ok());
  EXPECT_EQ(bytes_of(vd.value()), raw);

  auto m = codec::encode_mat_f64(2, n / 2, in.ptr(), n);
  ASSERT_TRUE(m.ok());
  const Unaligned mp(bytes_of(m.value()));
  auto md = codec::decode_mat_f64(mp.span());
  ASSERT_TRUE(md.ok());
  EXPECT_EQ(bytes_of(md.value().values), raw);
  // Column-major with a single column is the same memory order as row-major.
  auto mc = codec::encode_mat_f64_col_major(n, 1, in.ptr(), n);
  ASSERT_TRUE(mc.ok());
  EXPECT_EQ(Vec(mc.value().data() + 8, mc.value().data() + mc.value().size()), raw);

  const Vec ints = bytes_of(std::vector<std::int32_t>{INT32_MIN, -2, 3, -4, 5, -6, 7, INT32_MAX});
  const Unaligned iin(ints);
  auto c = codec::encode_close_step(iin.ptr(), n, iin.ptr(), n, in.ptr(), n);
  ASSERT_TRUE(c.ok());
  const Unaligned cp(bytes_of(c.value()));
  auto cd = codec::decode_close_step(cp.span());
  ASSERT_TRUE(cd.ok());
  EXPECT_EQ(bytes_of(cd.value().flags), ints);
  EXPECT_EQ(bytes_of(cd.value().actions), ints);
  EXPECT_EQ(bytes_of(cd.value().ratios), raw);

  const Vec vmraw = cat({u32(1), Vec(raw.begin(), raw.begin() + 8), u32(1), u32(n), raw});
  const Unaligned vmp(vmraw);
  auto check = codec::check_vec_mat_f64(vmp.span());
  ASSERT_TRUE(check.ok());
  EXPECT_EQ(check.value().vec.values, vmp.span().data() + 4);
  EXPECT_EQ(check.value().mat.values, vmp.span().data() + 20);
  auto vm = codec::decode_vec_mat_f64(vmp.span());
  ASSERT_TRUE(vm.ok());
  EXPECT_EQ(bytes_of(vm.value().mat.values), raw);
}

struct Shape {
  std::uint64_t rows, cols;
};

class ColMajor : public ::testing::TestWithParam<Shape> {};

TEST_P(ColMajor, MatchesRowMajorOfTranspose) {
  const auto [rows, cols] = GetParam();
  std::mt19937_64 rng(rows * 1000003 + cols);
  std::vector<std::uint64_t> colmajor(rows * cols);
  for (auto& x : colmajor) x = rng();
  std::vector<std::uint64_t> rowmajor(rows * cols);
  for (std::uint64_t r = 0; r < rows; ++r)
    for (std::uint64_t c = 0; c < cols; ++c) rowmajor[r * cols + c] = colmajor[c * rows + r];

  auto a = codec::encode_mat_f64_col_major(rows, cols, colmajor.data(), colmajor.size());
  auto b = codec::encode_mat_f64(rows, cols, rowmajor.data(), rowmajor.size());
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(bytes_of(a.value()), bytes_of(b.value()));
}

// Tile edges (32), single rows and columns, empty shapes, non-square remainders.
INSTANTIATE_TEST_SUITE_P(Shapes, ColMajor,
                         ::testing::Values(Shape{1, 1}, Shape{1, 7}, Shape{7, 1}, Shape{0, 5}, Shape{5, 0},
                                           Shape{2, 3}, Shape{32, 32}, Shape{33, 31}, Shape{64, 3},
                                           Shape{3, 100}, Shape{97, 65}),
                         [](const auto& info) {
                           return std::to_string(info.param.rows) + "x" + std::to_string(info.param.cols);
                         });

TEST(Array, AllocationContract) {
  auto empty = codec::Array<double>::allocate(0);
  EXPECT_NE(empty.data(), nullptr);
  EXPECT_TRUE(empty.empty());

  // Large blocks are 2 MiB aligned so that huge pages can back them, and are handed on with
  // release() to whoever frees them with free_block.
  auto big = codec::Array<double>::allocate((std::size_t{4} << 20) / 8 + 1);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(big.data()) % (std::size_t{2} << 20), 0u);
  big.data()[big.size() - 1] = 1.0;

  codec::Array<double> moved = std::move(big);
  EXPECT_EQ(big.data(), nullptr);
  EXPECT_EQ(big.size(), 0u);
  const std::size_t bytes = moved.size() * sizeof(double);
  double* raw = moved.release();
  EXPECT_TRUE(moved.empty());
  EXPECT_EQ(moved.data(), nullptr);
  codec::detail::free_block(raw, bytes, codec::Placement::Heap);

  // Mapped blocks the same, from the system's pages.
  auto mapped = codec::Array<double>::allocate((std::size_t{1} << 20) / 8, codec::Placement::Mapped);
  EXPECT_EQ(mapped.placement(), codec::Placement::Mapped);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(mapped.data()) % 4096, 0u);
  mapped.data()[mapped.size() - 1] = 2.0;
  codec::Array<double> also = std::move(mapped);
  EXPECT_EQ(also.placement(), codec::Placement::Mapped);

  EXPECT_THROW(codec::Array<double>::allocate(std::numeric_limits<std::size_t>::max() / 4),
               std::bad_alloc);
}

}  // namespace
