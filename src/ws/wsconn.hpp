#pragma once
// One accepted WebSocket connection, server side, after the upgrade: its socket around the frame
// parser and a writer that never waits, so that whichever thread drives an exchange (the loop
// that awaits it, or the runtime) reads and writes the same way. The descriptor is outside the
// runtime's reactor: data arriving wakes no worker unless a runtime task waits for it (wait()).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "runtime/timeout.hpp"
#include "ws/wsparser.hpp"

namespace rpc {
class ReceiveWatch;
}  // namespace rpc

namespace ws {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
class WsConnection {
 public:
  WsConnection(tcp::socket socket, std::span<const std::uint8_t> already_read);
  ~WsConnection();
  WsConnection(const WsConnection&) = delete;
  WsConnection& operator=(const WsConnection&) = delete;

  enum class Poll { Ready, Wait, Closed, Failed };
  // The next whole message, without waiting: from what is buffered, then (`read_socket`) from the
  // socket. Closed: the stream ended between messages; Failed: a read error or protocol violation
  // (`error`). A Ready message is valid until the next call. Bytes taken from the socket stay
  // buffered here, so that an exchange that stops between messages leaves the stream in step.
  Poll poll(WsParser::Message& out, std::string& error, bool read_socket = true);
  // A message is being read straight into a block of its own (see LARGE_MESSAGE).
  bool mid_large_message() const noexcept { return parser_.mid_large_message(); }

  enum class Write { Done, Blocked, Failed };
  struct WriteResult {
    Write state = Write::Done;
    std::string error;  // Failed: the socket's description
  };
  // Starts one unfragmented message, `head` (at most 16 bytes, copied) followed by `data`
  // (written from where it is: it must stay valid until the write is done or abandoned), and
  // writes as much as the socket takes without waiting. Blocked: the rest waits for
  // continue_write(), and nothing else may be written meanwhile.
  WriteResult start_write(Opcode op, std::span<const std::uint8_t> head, std::span<const std::uint8_t> data);
  WriteResult continue_write();
  bool write_pending() const noexcept { return pending_.has_value(); }
  // Gives up the pending message; true when part of it went out, which leaves the stream
  // unusable (broken()).
  bool abandon_write() noexcept;
  // A frame went out only in part: nothing can be sent on this stream any more.
  bool broken() const noexcept { return broken_; }

  enum class WaitFor { Readable, Writable };
  // On the runtime: until the socket is ready or `deadline` passes. The descriptor is in the
  // reactor only for the wait.
  asio::awaitable<void> wait(WaitFor what, runtime::Clock::time_point deadline);

  // A request has just gone out: its answer is timed from now. A binary message arrived.
  void request_sent() noexcept { timing_.request_sent(); }
  void message_arrived() noexcept { timing_.message_arrived(); }
  // Until when a runtime task waiting for an answer should poll instead of sleeping; a past time
  // means not at all.
  runtime::Clock::time_point spin_until() const noexcept { return timing_.spin_until(); }

  // The part of the connection that a loop driving an exchange and the runtime share.
  const std::shared_ptr<rpc::ReceiveWatch>& watch() const noexcept { return watch_; }

  // Ends the stream (the peer sees it closed, without a closing handshake) and closes the
  // descriptor. Copies of it (a loop's watch) keep only a dead socket open.
  void close() noexcept;
  int native_fd() const noexcept { return fd_; }

 private:
  // One unfragmented, unmasked server frame on its way out: its WebSocket header followed by the
  // caller's head in one piece, then the caller's data where it lies.
  struct OutFrame {
    std::uint8_t front[10 + 16];
    std::size_t front_len = 0;
    std::span<const std::uint8_t> data;
    std::size_t written = 0;
    std::size_t total() const noexcept { return front_len + data.size(); }
  };
  WriteResult write_now();

  // How quickly the peer answers, to decide whether waiting for an answer is worth a short spin
  // instead of going to sleep: with a peer that answers within tens of microseconds, sleeping
  // and being woken costs as much again; with a slower one (a browser takes about half a
  // millisecond) a spin is only processor time taken from the peer. So the spin happens only
  // while the peer's usual answer time is within the spin's length.
  struct AnswerTiming {
    using Clock = runtime::Clock;
    static constexpr Clock::duration MAX_SPIN = std::chrono::microseconds(50);
    Clock::time_point sent{};   // when the latest request went out
    bool waiting = false;       // and no message has come since
    Clock::duration usual{};    // smoothed time from a request to the first message after it

    void request_sent() {
      sent = Clock::now();
      waiting = true;
    }
    void message_arrived() {
      if (!std::exchange(waiting, false)) return;
      usual += (Clock::now() - sent - usual) / 8;
    }
    Clock::time_point spin_until() const { return usual <= MAX_SPIN ? sent + MAX_SPIN : Clock::time_point{}; }
  };

  int fd_;
  WsParser parser_;
  std::optional<OutFrame> pending_;
  AnswerTiming timing_;
  bool broken_ = false;
  std::shared_ptr<rpc::ReceiveWatch> watch_;
};

}  // namespace ws
