// First input byte picks the decoder (VecF64, MatF64, CloseStep, VecMatF64),
// the rest is the payload. Besides memory safety this checks that the view
// checks agree with the decoders and that every accepted payload re-encodes
// to exactly the same bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "require.hpp"
#include "codec/payload.hpp"

namespace {

using Span = std::span<const std::uint8_t>;

bool same(const codec::Bytes& b, Span s) {
  return b.size() == s.size() && (s.empty() || std::memcmp(b.data(), s.data(), s.size()) == 0);
}

template <class A, class B>
void agree(const codec::Result<A>& a, const codec::Result<B>& b) {
  REQUIRE(a.ok() == b.ok());
  if (!a.ok()) REQUIRE(a.error().message == b.error().message);
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

void vec(Span p) {
  auto d = codec::decode_vec_f64(p);
  agree(d, codec::check_vec_f64(p));
  if (!d) {
    REQUIRE(starts_with(d.error().message, "VecF64 "));
    return;
  }
  auto e = codec::encode_vec_f64(d.value().data(), d.value().size());
  REQUIRE(e.ok() && same(e.value(), p));
}

void mat(Span p) {
  auto d = codec::decode_mat_f64(p);
  agree(d, codec::check_mat_f64(p));
  if (!d) {
    REQUIRE(starts_with(d.error().message, "MatF64 "));
    return;
  }
  const codec::MatF64& m = d.value();
  auto e = codec::encode_mat_f64(m.rows, m.cols, m.values.data(), m.values.size());
  REQUIRE(e.ok() && same(e.value(), p));

  // The column-major encoder must produce the same bytes from the transposed layout.
  std::vector<std::uint64_t> colmajor(m.values.size());
  for (std::uint64_t r = 0; r < m.rows && m.cols != 0; ++r)
    for (std::uint64_t c = 0; c < m.cols; ++c)
      std::memcpy(&colmajor[c * m.rows + r], m.values.data() + r * m.cols + c, 8);
  auto t = codec::encode_mat_f64_col_major(m.rows, m.cols, colmajor.data(), colmajor.size());
  REQUIRE(t.ok() && same(t.value(), p));
}

void close_step(Span p) {
  auto d = codec::decode_close_step(p);
  if (!d) {
    REQUIRE(starts_with(d.error().message, "CloseStep "));
    return;
  }
  const codec::CloseStep& c = d.value();
  REQUIRE(c.flags.size() == c.actions.size() && c.flags.size() == c.ratios.size());
  auto e = codec::encode_close_step(c.flags.data(), c.flags.size(), c.actions.data(), c.actions.size(),
                                    c.ratios.data(), c.ratios.size());
  REQUIRE(e.ok() && same(e.value(), p));
}

void vec_mat(Span p) {
  auto d = codec::decode_vec_mat_f64(p);
  agree(d, codec::check_vec_mat_f64(p));
  if (!d) {
    REQUIRE(starts_with(d.error().message, "VecMatF64 "));
    return;
  }
  auto v = codec::encode_vec_f64(d.value().vec.data(), d.value().vec.size());
  REQUIRE(v.ok());
  const codec::MatF64& m = d.value().mat;
  auto e = codec::encode_mat_f64(m.rows, m.cols, m.values.data(), m.values.size());
  REQUIRE(e.ok());
  REQUIRE(v.value().size() + e.value().size() == p.size());
  REQUIRE(same(v.value(), p.first(v.value().size())));
  REQUIRE(same(e.value(), p.subspan(v.value().size())));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // Decode from a buffer of exactly the payload's size so that ASan catches
  // any read past its end.
  std::vector<std::uint8_t> payload(data + 1, data + size);
  const Span p(payload.data(), payload.size());
  switch (data[0] % 4) {
    case 0: vec(p); break;
    case 1: mat(p); break;
    case 2: close_step(p); break;
    case 3: vec_mat(p); break;
  }
  return 0;
}
