// The input is one received message. Checks memory safety of the frame and
// error-record readers, that decode_frame agrees with parse_frame_header, that
// a frame re-encodes to the same bytes (apart from the fields the engine
// always writes as 1 and 0), and that an error record's text is always valid
// UTF-8 and left untouched when it already was.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "require.hpp"
#include "codec/frame.hpp"

namespace {

using Span = std::span<const std::uint8_t>;

// Strict UTF-8 check written from the code point ranges, independent of the
// decoder's table of lead and continuation bytes.
bool valid_utf8(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t b = p[i];
    std::size_t len;
    std::uint32_t cp;
    if (b < 0x80) { len = 1; cp = b; }
    else if ((b & 0xE0) == 0xC0) { len = 2; cp = b & 0x1F; }
    else if ((b & 0xF0) == 0xE0) { len = 3; cp = b & 0x0F; }
    else if ((b & 0xF8) == 0xF0) { len = 4; cp = b & 0x07; }
    else return false;
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

void error_record(Span payload) {
  const codec::ErrorRecord rec = codec::decode_error_record(payload);
  const std::string& m = rec.message;
  REQUIRE(valid_utf8(reinterpret_cast<const std::uint8_t*>(m.data()), m.size()));
  if (payload.size() < 8) {
    REQUIRE(rec.err == 0 && rec.sub == 0 && m.empty());
    return;
  }
  std::uint32_t msgLen;
  std::memcpy(&msgLen, payload.data() + 4, 4);
  if (msgLen > payload.size() - 8) {
    REQUIRE(m.empty());
    return;
  }
  const std::uint8_t* text = payload.data() + 8;
  if (valid_utf8(text, msgLen)) {
    REQUIRE(m.size() == msgLen && (msgLen == 0 || std::memcmp(m.data(), text, msgLen) == 0));
  } else {
    // At most one three-byte replacement per input byte.
    REQUIRE(m.size() <= 3 * std::size_t{msgLen} && m.find("\xEF\xBF\xBD") != std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Span msg(data, size);
  auto h = codec::parse_frame_header(msg);
  auto f = codec::decode_frame(msg);
  REQUIRE(h.ok() == f.ok());
  if (!f) {
    REQUIRE(h.error().message == f.error().message);
    error_record(msg);
    return 0;
  }
  const codec::DecodedFrame& frame = f.value();
  REQUIRE(frame.payload.size() == h.value().payloadLen && frame.payload.size() == size - 16);

  codec::Bytes again = codec::encode_frame(static_cast<codec::FrameKind>(frame.kind), frame.seq, frame.fnId,
                                           frame.payload.span());
  std::vector<std::uint8_t> expect(data, data + size);
  expect[0] = codec::PROTOCOL_VERSION;
  expect[2] = expect[3] = expect[10] = expect[11] = 0;
  REQUIRE(again.size() == size && std::memcmp(again.data(), expect.data(), size) == 0);

  error_record(frame.payload.span());
  return 0;
}
