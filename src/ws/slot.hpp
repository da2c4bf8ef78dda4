#pragma once
// Shared state of one engine: the sequence counter, the single live connection and the
// connected signal, reached by every call through EngineShared.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/strand.hpp>

#include "ws/runtime.hpp"
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
  // Exchanges handed to the runtime whose request has not gone out yet: while there are any, a
  // newer call must not write its request ahead of them from the calling thread.
  std::atomic<std::uint32_t> unsent{0};

  // Call with the lock held. The socket is closed at once, without a closing handshake.
  void drop() noexcept {
    if (conn) conn->close();
    conn.reset();
  }
};

// Counts one exchange as unsent for as long as it lives or until done() is called.
class UnsentMark {
 public:
  explicit UnsentMark(std::shared_ptr<ConnectionSlot> slot) : slot_(std::move(slot)) { slot_->unsent.fetch_add(1); }
  UnsentMark(UnsentMark&&) noexcept = default;
  UnsentMark& operator=(UnsentMark&&) = delete;
  ~UnsentMark() { done(); }
  void done() noexcept {
    if (slot_) std::exchange(slot_, nullptr)->unsent.fetch_sub(1);
  }

 private:
  std::shared_ptr<ConnectionSlot> slot_;
};

using Strand = asio::strand<asio::io_context::executor_type>;

struct EngineShared {
  std::string host;
  std::uint16_t port = 0;
  std::uint32_t start_seq = 1;
  std::shared_ptr<SeqCounter> seq;
  std::shared_ptr<ConnectionSlot> slot;
  std::shared_ptr<ConnectedSignal> connected;
  // Every exchange of the engine starts and runs on this one strand, so that calls reach the
  // locks, and so the wire, in the order they were made. Made by the first call (constructing
  // an engine starts no thread).
  std::optional<Strand> exchanges;

  static EngineShared create(std::string host, std::uint16_t port, std::uint32_t start_seq) {
    return {std::move(host),
            port,
            start_seq,
            std::make_shared<SeqCounter>(start_seq),
            std::make_shared<ConnectionSlot>(),
            std::make_shared<ConnectedSignal>(),
            std::nullopt};
  }
};

}  // namespace ws
