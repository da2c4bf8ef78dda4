#pragma once
// What a received frame means to the exchange that waits for (seq, fnId): the matching rules,
// apart from the socket, so that they are tested alone.
#include <cstdint>
#include <string>

#include "codec/frame.hpp"

namespace rpc {

struct Verdict {
  enum class Kind {
    Response,  // the awaited answer
    Error,     // the awaited answer, an ErrorResponse
    Echo,      // answer with an EchoReply and go on waiting
    Skip,      // not for any exchange: go on waiting
    Mismatch,  // the stream is out of step: end with `failure` and drop the connection
  } kind;
  std::string failure;
};

// `h` has passed the frame-length checks.
Verdict judge_frame(const codec::FrameHeader& h, std::uint32_t seq, std::uint16_t fnId);

}  // namespace rpc
