#pragma once
// start(): binding the listener and launching the server on it.
#include <boost/asio/awaitable.hpp>

#include "rpc/error.hpp"
#include "rpc/slot.hpp"

namespace ws {

// Binds the listener and launches the server; completes with an empty payload once it runs,
// or with "bind failed on <address>: <why>".
boost::asio::awaitable<rpc::RpcResult> start_server(rpc::EngineShared shared);

}  // namespace ws
