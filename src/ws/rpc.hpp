#pragma once
// One remote call over the live connection, and the lifecycle tasks of an engine.
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include <boost/asio/awaitable.hpp>

#include "codec/buffer.hpp"
#include "ws/error.hpp"
#include "ws/slot.hpp"

namespace ws {

// Whole seconds (up to 2^64 - 1) and nanoseconds: the range of a float timeout that was accepted.
struct Timeout {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;
};

// now + timeout on the monotonic clock; `fallback` when the sum cannot be represented.
Clock::time_point deadline_after(Timeout t, std::optional<Clock::duration> fallback);

// Response payload, or the error that ended the exchange.
using RpcResult = std::variant<codec::Bytes, EngineError>;

boost::asio::awaitable<RpcResult> rpc_call(EngineShared shared, std::uint16_t fnId,
                                           std::span<const std::uint8_t> payload, Timeout timeout);

// Completes with an empty payload as soon as the slot holds a connection; without a limit it may
// wait forever.
boost::asio::awaitable<RpcResult> wait_connected(EngineShared shared, std::optional<Timeout> limit);

// Binds the listener and launches the server; completes with an empty payload once it runs.
boost::asio::awaitable<RpcResult> start_server(EngineShared shared);

}  // namespace ws
