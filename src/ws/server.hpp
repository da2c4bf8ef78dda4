#pragma once
// The server task: accepts user interfaces, upgrades them to WebSocket after the Origin check,
// greets them with the handshake message and installs the newest one in the connection slot.
#include <memory>

#include <boost/asio/ip/tcp.hpp>

#include "rpc/slot.hpp"

namespace ws {

// Runs detached on `strand` (the acceptor's) until the engine is closed.
void launch_server(std::shared_ptr<tcp::acceptor> acceptor, rpc::Strand strand, rpc::EngineShared shared);

}  // namespace ws
