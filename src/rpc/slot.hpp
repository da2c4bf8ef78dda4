#pragma once
// Shared state of one engine: the sequence counter, the single live connection, the connected
// signal and what close() needs to stop, reached by every call through EngineShared.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>

#include "process.hpp"
#include "runtime/runtime.hpp"
#include "runtime/sync.hpp"
#include "ws/wsconn.hpp"

namespace rpc {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

using Strand = asio::strand<asio::io_context::executor_type>;

class ReceiveWatch;

struct SeqCounter {
  explicit SeqCounter(std::uint32_t start) : value(start) {}
  runtime::AsyncMutex mutex;
  std::uint32_t value;  // guarded by mutex
};

class ConnectionSlot {
 public:
  runtime::AsyncMutex mutex;
  std::unique_ptr<ws::WsConnection> conn;  // guarded by mutex
  std::uint64_t generation = 0;        // guarded by mutex: which connection `conn` is
  // Exchanges handed to the runtime whose request has not gone out yet: while there are any, a
  // newer call must not write its request ahead of them from the calling thread.
  std::atomic<std::uint32_t> unsent{0};

  // Whether a connection is held, readable without the lock (set before the connected signal is
  // notified, so a waiter that subscribes first and then looks cannot miss an install).
  bool present() const noexcept { return present_.load(); }

  // Call with the lock held: replaces (and drops) whatever connection was there.
  void install(std::unique_ptr<ws::WsConnection> c) noexcept;
  // Call with the lock held. The socket is closed at once, without a closing handshake.
  void drop() noexcept;
  // From any thread, without the lock: ends the held connection's stream so that whoever holds
  // the lock sees it fail at its next read or write and drops it (an exchange that a loop drives
  // is handed to the runtime for that, in case the loop does not run).
  void shut_down();

 private:
  std::atomic<bool> present_{false};
  std::mutex fd_m_;
  int live_fd_ = -1;  // guarded by fd_m_; -1 once the socket is being closed
  std::shared_ptr<ReceiveWatch> live_watch_;  // guarded by fd_m_
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

// What close() stops: the listeners of every start(), and sockets still in their upgrade.
class Lifecycle {
 public:
  bool closed() const noexcept { return closed_.load(); }
  // The port of the latest listener bound, or -1 before any.
  int bound_port() const noexcept { return bound_port_.load(); }

  // False (and nothing registered) once the engine is closed.
  bool add_listener(const std::shared_ptr<tcp::acceptor>& a, Strand strand, int port);
  bool add_upgrading(int fd);
  void remove_upgrading(int fd) noexcept;

  struct Listener {
    std::weak_ptr<tcp::acceptor> acceptor;
    Strand strand;  // where the acceptor is used, and so where it must be closed
  };
  // Marks the engine closed, shuts upgrading sockets down and hands back the listeners to close.
  std::vector<Listener> close();

 private:
  std::atomic<bool> closed_{false};
  std::atomic<int> bound_port_{-1};
  std::mutex m_;
  std::vector<Listener> listeners_;  // guarded by m_
  std::vector<int> upgrading_;       // guarded by m_
};

struct EngineShared {
  std::string host;
  std::uint16_t port = 0;
  std::uint32_t start_seq = 1;
  std::shared_ptr<SeqCounter> seq;
  std::shared_ptr<ConnectionSlot> slot;
  std::shared_ptr<runtime::ConnectedSignal> connected;
  std::shared_ptr<Lifecycle> life;
  // Every exchange of the engine starts and runs on this one strand, so that calls reach the
  // locks, and so the wire, in the order they were made. Made by the first call (constructing
  // an engine starts no thread).
  std::optional<Strand> exchanges;
  // The fork generation the engine was made in. In a fork's child none of this engine's objects
  // may be used: its runtime has no threads there, and its sockets and listeners are the parent's.
  std::uint32_t process = proc::fork_generation();

  bool made_in_this_process() const noexcept { return process == proc::fork_generation(); }

  static EngineShared create(std::string host, std::uint16_t port, std::uint32_t start_seq) {
    return {std::move(host),
            port,
            start_seq,
            std::make_shared<SeqCounter>(start_seq),
            std::make_shared<ConnectionSlot>(),
            std::make_shared<runtime::ConnectedSignal>(),
            std::make_shared<Lifecycle>(),
            std::nullopt,
            proc::fork_generation()};
  }
};

}  // namespace rpc
