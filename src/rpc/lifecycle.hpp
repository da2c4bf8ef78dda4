#pragma once
// Waiting for a page, and closing an engine.
#include <optional>

#include <boost/asio/awaitable.hpp>

#include "rpc/error.hpp"
#include "rpc/slot.hpp"
#include "runtime/timeout.hpp"

namespace rpc {

// What every call of a closed engine fails with.
inline constexpr const char* ENGINE_CLOSED = "engine closed";
// What every call fails with in the child of a fork, on an engine made before it (and what a
// call in flight at the fork ends with there): the engine's connection and threads stay with
// the parent.
inline constexpr const char* ENGINE_OF_ANOTHER_PROCESS =
    "engine was made in another process (before a fork); make a new engine in this process";

// Completes with an empty payload as soon as the slot holds a connection; without a limit it may
// wait forever. Never waits for the slot lock.
boost::asio::awaitable<RpcResult> wait_connected(EngineShared shared, std::optional<runtime::Timeout> limit);

// Stops the servers, ends upgrades in progress and the live connection, and fails the calls in
// flight with ENGINE_CLOSED; completes once every listener is closed (its port free again).
boost::asio::awaitable<RpcResult> close_engine(EngineShared shared);

}  // namespace rpc
