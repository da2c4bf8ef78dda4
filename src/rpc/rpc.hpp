#pragma once
// rpc_call: the runtime's part of an exchange, from wherever it stands to its end, with the
// waits between its steps (rpc/exchange.hpp).
#include <memory>

#include <boost/asio/awaitable.hpp>

#include "rpc/exchange.hpp"

namespace rpc {

// Completes with the exchange's result. Cancelling the task (or setting the exchange's abandoned
// flag) abandons the exchange at its next step: its locks are released.
boost::asio::awaitable<RpcResult> rpc_call(std::shared_ptr<Exchange> x);

}  // namespace rpc
