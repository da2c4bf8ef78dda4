#include "frame.hpp"

#include <cstring>

namespace codec {

namespace {

template <class T>
T load(const std::uint8_t* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
void store(std::uint8_t* p, T v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

// Length of the well-formed UTF-8 sequence at p[0..avail), or 0 when it is
// ill-formed; then `bad` is the length of its maximal subpart, the unit that
// one U+FFFD replaces (Unicode's "substitution of maximal subparts").
std::size_t utf8_sequence(const std::uint8_t* p, std::size_t avail, std::size_t& bad) noexcept {
  const std::uint8_t b0 = p[0];
  if (b0 < 0x80) return 1;
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;       // overlong
    else if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;       // overlong
    else if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    bad = 1;
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (k >= avail || p[k] < lo || p[k] > hi) {
      bad = k;
      return 0;
    }
    lo = 0x80;
    hi = 0xBF;
  }
  return need + 1;
}

std::string utf8_replacing_invalid(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0, bad = 0;
  while (i < n) {
    const std::size_t len = utf8_sequence(p + i, n - i, bad);
    if (len == 0) break;
    i += len;
  }
  if (i == n) return std::string(reinterpret_cast<const char*>(p), n);

  std::string out;
  out.reserve(n + 16);
  out.append(reinterpret_cast<const char*>(p), i);
  while (i < n) {
    const std::size_t len = utf8_sequence(p + i, n - i, bad);
    if (len != 0) {
      out.append(reinterpret_cast<const char*>(p + i), len);
      i += len;
    } else {
      out.append("\xEF\xBF\xBD");
      i += bad;
    }
  }
  return out;
}

}  // namespace

Result<FrameHeader> parse_frame_header(std::span<const std::uint8_t> msg) {
  return parse_frame_header(msg, msg.size());
}

Result<FrameHeader> parse_frame_header(std::span<const std::uint8_t> msg, std::size_t total_size) {
  if (total_size < FRAME_HEADER_LEN || msg.size() < FRAME_HEADER_LEN) {
    return CodecError{"frame too short: " + std::to_string(total_size) + " < " +
                      std::to_string(FRAME_HEADER_LEN)};
  }
  const std::uint8_t* p = msg.data();
  FrameHeader h{p[0],
                p[1],
                load<std::uint16_t>(p + 2),
                load<std::uint32_t>(p + 4),
                load<std::uint16_t>(p + 8),
                load<std::uint16_t>(p + 10),
                load<std::uint32_t>(p + 12)};
  const std::uint64_t expected = std::uint64_t{h.payloadLen} + FRAME_HEADER_LEN;
  if (total_size != expected) {
    return CodecError{"payload length mismatch: expected " + std::to_string(expected) + ", got " +
                      std::to_string(total_size)};
  }
  return h;
}

Result<DecodedFrame> decode_frame(std::span<const std::uint8_t> msg) {
  auto parsed = parse_frame_header(msg);
  if (!parsed) return parsed.error();
  const FrameHeader& h = parsed.value();
  Bytes payload = Bytes::allocate(h.payloadLen);
  if (h.payloadLen != 0) std::memcpy(payload.data(), msg.data() + FRAME_HEADER_LEN, h.payloadLen);
  return DecodedFrame{h.version, h.kind, h.reserved1, h.seq, h.fnId, std::move(payload)};
}

void write_frame_header(std::uint8_t* out, FrameKind kind, std::uint32_t seq, std::uint16_t fnId,
                        std::uint32_t payloadLen) noexcept {
  out[0] = PROTOCOL_VERSION;
  out[1] = static_cast<std::uint8_t>(kind);
  store<std::uint16_t>(out + 2, 0);
  store<std::uint32_t>(out + 4, seq);
  store<std::uint16_t>(out + 8, fnId);
  store<std::uint16_t>(out + 10, 0);
  store<std::uint32_t>(out + 12, payloadLen);
}

Bytes encode_frame(FrameKind kind, std::uint32_t seq, std::uint16_t fnId,
                   std::span<const std::uint8_t> payload) {
  Bytes out = Bytes::allocate(FRAME_HEADER_LEN + payload.size());
  write_frame_header(out.data(), kind, seq, fnId, static_cast<std::uint32_t>(payload.size()));
  if (!payload.empty()) std::memcpy(out.data() + FRAME_HEADER_LEN, payload.data(), payload.size());
  return out;
}

ErrorRecord decode_error_record(std::span<const std::uint8_t> payload) noexcept(false) {
  ErrorRecord rec{0, 0, {}};
  if (payload.size() < 8) return rec;
  const std::uint8_t* p = payload.data();
  rec.err = load<std::uint16_t>(p);
  rec.sub = load<std::uint16_t>(p + 2);
  const std::uint32_t msgLen = load<std::uint32_t>(p + 4);
  // size() >= 8 here, so the subtraction cannot wrap and the sum cannot overflow.
  if (msgLen <= payload.size() - 8) rec.message = utf8_replacing_invalid(p + 8, msgLen);
  return rec;
}

}  // namespace codec
