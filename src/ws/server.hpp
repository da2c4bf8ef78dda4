#pragma once
// The server task: accepts user interfaces, upgrades them to WebSocket after the Origin check,
// greets them with the handshake message and installs the newest one in the connection slot.
#include <string_view>

#include <boost/asio/ip/tcp.hpp>

#include "ws/slot.hpp"

namespace ws {

// The hosted user interface's public origin, accepted beside the loopback ones.
inline constexpr std::string_view HOSTED_UI_ORIGIN = "https://trading.example.com";
static_assert(HOSTED_UI_ORIGIN.size() == 27);

inline constexpr std::string_view HANDSHAKE_MESSAGE = R"({"type":"handshake","python_library_version":"0.1.0"})";

// Runs detached on `strand` (the acceptor's) until the engine is closed.
void launch_server(std::shared_ptr<tcp::acceptor> acceptor, Strand strand, EngineShared shared);

// Accept or refuse an Origin header value (nullptr when absent). `trimmed` receives the text
// that a refusal is logged with.
bool origin_allowed(const char* value, std::size_t size, std::string& trimmed);

}  // namespace ws
