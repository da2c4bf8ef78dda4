#pragma once
// One accepted WebSocket connection, server side, after the upgrade: the socket around the frame
// parser. It answers pings and reports the end of the stream itself, so that its user sees binary
// messages only, and it knows whether a frame has gone out only in part.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "ws/timeout.hpp"
#include "ws/wsparser.hpp"

namespace ws {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

class WsConnection {
 public:
  WsConnection(tcp::socket socket, std::span<const std::uint8_t> already_read);
  ~WsConnection();
  WsConnection(const WsConnection&) = delete;
  WsConnection& operator=(const WsConnection&) = delete;

  struct Received {
    enum class Kind { Message, Closed, Failed, TimedOut } kind;
    WsParser::Message message;  // Message: valid until the next call of next_binary
    std::string error;          // Failed: the read error or protocol violation
  };
  // The next binary message. Pings are answered with pongs (a failed pong shows up at a later
  // read), text messages and pongs are skipped, a close frame or the end of the stream is
  // Closed. Whatever can be read at once is handled before the deadline is looked at. Bytes taken
  // from the socket stay buffered here, so abandoning this between messages leaves the stream in
  // step. `abandoned` is looked at while spinning, where the runtime's cancellation cannot reach.
  asio::awaitable<Received> next_binary(Clock::time_point deadline, const std::atomic<bool>* abandoned);

  struct WriteResult {
    bool ok = true;
    std::string error;
  };
  // Sends one unfragmented message, `head` followed by `data` (written straight from both),
  // of which `already_written` bytes went out before (see try_send); gives up at `deadline`.
  asio::awaitable<WriteResult> send(Opcode op, std::span<const std::uint8_t> head, std::span<const std::uint8_t> data,
                                    Clock::time_point deadline, std::size_t already_written = 0);

  // Writes as much of the message as the socket takes without waiting, from any thread (the
  // caller holds the connection exclusively). ok: all of it went out; otherwise `written` bytes
  // did, and `error` is empty when the socket buffer was merely full.
  WriteResult try_send(Opcode op, std::span<const std::uint8_t> head, std::span<const std::uint8_t> data,
                       std::size_t& written);

  // A frame has gone out only in part (also when its sender was abandoned): nothing else can be
  // sent on this stream any more.
  bool broken() const noexcept { return broken_; }

  // A request has just gone out: its answer is timed from now.
  void request_sent() noexcept { timing_.request_sent(); }

  // Closes the TCP socket at once, without a closing handshake.
  void close() noexcept;
  int native_fd() noexcept { return socket_.native_handle(); }

 private:
  enum class Poll { Ready, Wait, Closed, Failed };
  // Reads whatever the socket holds without waiting and hands out the next whole message.
  Poll poll(WsParser::Message& out, std::string& error);
  Poll poll_spinning(WsParser::Message& out, std::string& error, Clock::time_point until,
                     const std::atomic<bool>* abandoned);
  // Waits until the socket is readable, or quietly until `deadline_timer` expires.
  asio::awaitable<void> wait_readable(asio::steady_timer& deadline_timer);

  struct OutFrame;
  std::size_t write_now(const OutFrame& frame, std::size_t written, boost::system::error_code& ec);

  // How quickly the peer answers, to decide whether waiting for an answer is worth a short spin
  // instead of going to sleep: with a peer that answers within tens of microseconds, sleeping
  // and being woken costs as much again; with a slower one (a browser takes about half a
  // millisecond) a spin is only processor time taken from the peer. So the spin happens only
  // while the peer's usual answer time is within the spin's length.
  struct AnswerTiming {
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
    // Until when to spin for the answer now; a past time means do not spin.
    Clock::time_point spin_until() const { return usual <= MAX_SPIN ? sent + MAX_SPIN : Clock::time_point{}; }
  };

  tcp::socket socket_;
  WsParser parser_;
  AnswerTiming timing_;
  bool broken_ = false;
};

}  // namespace ws
