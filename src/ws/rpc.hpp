#pragma once
// One remote call over the live connection, and the lifecycle tasks of an engine.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
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

// A request written on the calling thread, before its exchange reached the runtime.
struct Presend {
  AsyncMutex::Guard guard;  // the slot lock, held since the write
  std::uint32_t seq = 0;
  std::size_t written = 0;  // bytes of the message that went out
  bool complete = false;    // all of them
  std::string error;        // the write failed after `written` bytes
};

// Requests up to this size may be written on the calling thread.
inline constexpr std::size_t MAX_PRESEND_PAYLOAD = 64 * 1024;

// When the connection is idle (no exchange holds or waits for the slot lock, and none handed to
// the runtime earlier is still to send its request), takes the slot lock
// and the next seq and writes the request without waiting, saving the exchange a hand-off to the
// runtime before anything can happen on the wire. Empty when nothing was written; the exchange
// then takes the ordinary path. Never blocks.
std::optional<Presend> try_send_now(const EngineShared& shared, std::uint16_t fnId,
                                    std::span<const std::uint8_t> payload);

// Set on the calling thread when the caller gives up on the call. The runtime's cancellation
// reaches a task only at a suspension point; this flag is looked at between steps too.
using Abandoned = std::shared_ptr<const std::atomic<bool>>;

// The rest of an exchange after try_send_now wrote its request.
boost::asio::awaitable<RpcResult> rpc_call(EngineShared shared, std::uint16_t fnId,
                                           std::span<const std::uint8_t> payload, Timeout timeout, Abandoned abandoned,
                                           Presend presend);
// The whole exchange. `unsent` (taken on the calling thread, so that later calls see it at once)
// is released once the request has gone out or the exchange has ended.
boost::asio::awaitable<RpcResult> rpc_call(EngineShared shared, std::uint16_t fnId,
                                           std::span<const std::uint8_t> payload, Timeout timeout, Abandoned abandoned,
                                           UnsentMark unsent);

// Completes with an empty payload as soon as the slot holds a connection; without a limit it may
// wait forever.
boost::asio::awaitable<RpcResult> wait_connected(EngineShared shared, std::optional<Timeout> limit);

// Binds the listener and launches the server; completes with an empty payload once it runs.
boost::asio::awaitable<RpcResult> start_server(EngineShared shared);

// What every call of a closed engine fails with.
inline constexpr const char* ENGINE_CLOSED = "engine closed";

// Stops the servers, ends upgrades in progress and the live connection, and fails the calls in
// flight with ENGINE_CLOSED; completes once every listener is closed (its port free again).
boost::asio::awaitable<RpcResult> close_engine(EngineShared shared);

}  // namespace ws
