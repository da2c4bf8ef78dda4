#include "rpc/verdict.hpp"

namespace rpc {

Verdict judge_frame(const codec::FrameHeader& h, std::uint32_t seq, std::uint16_t fnId) {
  using Kind = Verdict::Kind;
  // A wrong version fails even a frame that would have been skipped.
  if (h.version != codec::PROTOCOL_VERSION)
    return {Kind::Mismatch, "protocol version mismatch: got " + std::to_string(h.version) + ", expected " +
                                std::to_string(codec::PROTOCOL_VERSION)};
  if (h.kind == static_cast<std::uint8_t>(codec::FrameKind::EchoRequest)) return {Kind::Echo, {}};
  const bool response = h.kind == static_cast<std::uint8_t>(codec::FrameKind::Response);
  if (!response && h.kind != static_cast<std::uint8_t>(codec::FrameKind::ErrorResponse)) return {Kind::Skip, {}};
  if (h.seq != seq)
    return {Kind::Mismatch, "seq mismatch: expected " + std::to_string(seq) + ", got " + std::to_string(h.seq)};
  if (h.fnId != fnId)
    return {Kind::Mismatch, "fnId mismatch: expected " + std::to_string(fnId) + ", got " + std::to_string(h.fnId)};
  return {response ? Kind::Response : Kind::Error, {}};
}

}  // namespace rpc
