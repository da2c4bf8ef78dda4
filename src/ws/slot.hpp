#pragma once
// Shared state of one engine: the sequence counter, the single live connection and the
// connected signal, reached by every call through EngineShared.
#include <cstdint>
#include <memory>
#include <string>

#include "ws/sync.hpp"
#include "ws/wsconn.hpp"

namespace ws {

struct SeqCounter {
  explicit SeqCounter(std::uint32_t start) : value(start) {}
  AsyncMutex mutex;
  std::uint32_t value;  // guarded by mutex
};

struct ConnectionSlot {
  AsyncMutex mutex;
  std::unique_ptr<WsConnection> conn;  // guarded by mutex

  // Call with the lock held. The socket is closed at once, without a closing handshake.
  void drop() noexcept {
    if (conn) conn->close();
    conn.reset();
  }
};

struct EngineShared {
  std::string host;
  std::uint16_t port = 0;
  std::uint32_t start_seq = 1;
  std::shared_ptr<SeqCounter> seq;
  std::shared_ptr<ConnectionSlot> slot;
  std::shared_ptr<ConnectedSignal> connected;

  static EngineShared create(std::string host, std::uint16_t port, std::uint32_t start_seq) {
    return {std::move(host), port, start_seq, std::make_shared<SeqCounter>(start_seq),
            std::make_shared<ConnectionSlot>(), std::make_shared<ConnectedSignal>()};
  }
};

}  // namespace ws
