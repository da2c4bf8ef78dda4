#pragma once
// The frame envelope of every message: the 16-byte header, its checks, and error records.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "buffer.hpp"

namespace codec {

inline constexpr std::uint8_t PROTOCOL_VERSION = 1;
inline constexpr std::size_t FRAME_HEADER_LEN = 16;
// The header's payloadLen is 32 bits wide.
inline constexpr std::uint64_t MAX_FRAME_PAYLOAD = UINT32_MAX;

enum class FrameKind : std::uint8_t {
  Request = 1,
  Response = 2,
  ErrorResponse = 3,
  EchoRequest = 4,
  EchoReply = 5,
};

// Wire layout, little-endian: version u8 | kind u8 | reserved1 u16 | seq u32 |
// fnId u16 | reserved2 u16 | payloadLen u32, then payloadLen payload bytes.
struct FrameHeader {
  std::uint8_t version;
  std::uint8_t kind;
  std::uint16_t reserved1;
  std::uint32_t seq;
  std::uint16_t fnId;
  std::uint16_t reserved2;
  std::uint32_t payloadLen;
};

// Reads the header and checks only that the message length matches it; the
// version, kind, seq and fnId are the exchange's business. Copies nothing: the
// payload is msg.subspan(FRAME_HEADER_LEN).
Result<FrameHeader> parse_frame_header(std::span<const std::uint8_t> msg);
// The same for a message of `total_size` bytes of which `head` holds at least the header.
Result<FrameHeader> parse_frame_header(std::span<const std::uint8_t> head, std::size_t total_size);

struct DecodedFrame {
  std::uint8_t version;
  std::uint8_t kind;
  std::uint16_t reserved1;
  std::uint32_t seq;
  std::uint16_t fnId;
  Bytes payload;
};

// parse_frame_header plus a copy of the payload the receiver can keep.
Result<DecodedFrame> decode_frame(std::span<const std::uint8_t> msg);

// One buffer of exactly FRAME_HEADER_LEN + payload.size() bytes.
// Precondition: payload.size() <= UINT32_MAX (callers check).
Bytes encode_frame(FrameKind kind, std::uint32_t seq, std::uint16_t fnId,
                   std::span<const std::uint8_t> payload);

// Writes the FRAME_HEADER_LEN header bytes (version 1, reserved fields 0) to
// out, for callers that build the payload in place behind it.
void write_frame_header(std::uint8_t* out, FrameKind kind, std::uint32_t seq, std::uint16_t fnId,
                        std::uint32_t payloadLen) noexcept;

struct ErrorRecord {
  std::uint16_t err;
  std::uint16_t sub;
  std::string message;  // valid UTF-8
};

// Payload of an ErrorResponse: err u16 | sub u16 | msgLen u32 | message.
// Never fails: a short record yields zeros and/or an empty message, and
// invalid UTF-8 is replaced by U+FFFD per maximal subpart (the policy of
// Python's bytes.decode('utf-8', 'replace')). Throws only std::bad_alloc.
ErrorRecord decode_error_record(std::span<const std::uint8_t> payload) noexcept(false);

}  // namespace codec
