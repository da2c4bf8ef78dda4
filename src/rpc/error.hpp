#pragma once
// The error value of every engine operation. It travels as a value through the transport
// and is turned into a Python exception in exactly one place (py/errors).
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "codec/buffer.hpp"

namespace rpc {

struct EngineError {
  enum class Kind { Value, RpcError, RpcTransportError };

  Kind kind = Kind::RpcTransportError;
  std::string message;
  std::optional<std::uint32_t> seq;   // RpcError always has both; transport errors may lack them
  std::optional<std::uint16_t> fnId;
  std::uint16_t err = 0;
  std::uint16_t sub = 0;

  static EngineError value(std::string msg) { return {Kind::Value, std::move(msg), {}, {}, 0, 0}; }
  static EngineError transport(std::string msg, std::optional<std::uint32_t> seq = {},
                               std::optional<std::uint16_t> fnId = {}) {
    return {Kind::RpcTransportError, std::move(msg), seq, fnId, 0, 0};
  }
  static EngineError rpc(std::uint32_t seq, std::uint16_t fnId, std::uint16_t err, std::uint16_t sub,
                         std::string msg) {
    return {Kind::RpcError, std::move(msg), seq, fnId, err, sub};
  }

  // The text the Python exception carries.
  std::string text() const;
};

// What an exchange or a lifecycle task ends with: the response payload, or the error.
using RpcResult = std::variant<codec::Bytes, EngineError>;

// strerror-style description followed by "(os error N)", as users see it for bind failures.
std::string os_error_text(int errnum);

}  // namespace rpc
