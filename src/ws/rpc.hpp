#pragma once
// One remote call over the live connection: the request out, the matching response back.
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>

#include <boost/asio/awaitable.hpp>

#include "ws/error.hpp"
#include "ws/slot.hpp"
#include "ws/timeout.hpp"

namespace ws {

// A request written on the calling thread, before its exchange reached the runtime.
struct Presend {
  AsyncMutex::Guard guard;  // the slot lock, held since the write
  std::uint32_t seq = 0;
  std::size_t written = 0;  // bytes of the message that went out
  bool complete = false;    // all of them
  std::string error;        // the write failed after `written` bytes
};

// How an exchange began on the calling thread: its request already (partly) out, or counted as
// unsent until it goes out, so that later calls cannot write ahead of it.
using ExchangeStart = std::variant<UnsentMark, Presend>;

// Requests up to this size may be written on the calling thread.
inline constexpr std::size_t MAX_PRESEND_PAYLOAD = 64 * 1024;

// On the calling thread, never blocking. When the connection is idle (no exchange holds or waits
// for the slot lock, and none handed to the runtime earlier is still to send its request), takes
// the slot lock and the next seq and writes the request at once, saving the exchange a hand-off
// to the runtime before anything can happen on the wire.
ExchangeStart begin_exchange(const EngineShared& shared, std::uint16_t fnId, std::span<const std::uint8_t> payload);

// Set on the calling thread when the caller gives up on the call. The runtime's cancellation
// reaches a task only at a suspension point; this flag is looked at between steps too.
using Abandoned = std::shared_ptr<const std::atomic<bool>>;

// The rest of the exchange on the runtime: the request (or what is left of it), then the
// receive phase under the call's timeout.
boost::asio::awaitable<RpcResult> rpc_call(EngineShared shared, std::uint16_t fnId,
                                           std::span<const std::uint8_t> payload, Timeout timeout, Abandoned abandoned,
                                           ExchangeStart start);

}  // namespace ws
