#pragma once
// One accepted WebSocket connection, server side, after the upgrade. Framing (RFC 6455) is done
// here rather than by a stream wrapper so that the exchange can tell exactly whether a whole
// message is already readable without waiting, and whether abandoning a wait would leave half a
// message behind.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

namespace ws {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// Largest message accepted, however it is split into frames.
inline constexpr std::size_t MAX_MESSAGE_SIZE = std::size_t{64} << 20;

enum class Opcode : std::uint8_t { Continuation = 0, Text = 1, Binary = 2, Close = 8, Ping = 9, Pong = 10 };

class WsConnection {
 public:
  WsConnection(tcp::socket socket, std::span<const std::uint8_t> already_read);
  ~WsConnection();
  WsConnection(const WsConnection&) = delete;
  WsConnection& operator=(const WsConnection&) = delete;

  struct Message {
    Opcode opcode;
    std::span<std::uint8_t> data;  // valid until the next poll
  };
  enum class Poll { Ready, Wait, Closed, Failed };

  // Reads whatever the socket holds without waiting and hands out the next complete message
  // if there is one. Closed: the peer ended the stream (close frame or end of file).
  // Failed: a read error or a protocol violation, described in `error`.
  Poll poll(Message& out, std::string& error);

  // Waits until the socket is readable; consumes nothing, so abandoning it is harmless. Bytes
  // already taken from the socket stay buffered here across exchanges, so an abandoned read
  // never leaves the stream out of step.
  // Ends early, quietly, when `deadline_timer` expires first.
  asio::awaitable<void> wait_readable(asio::steady_timer& deadline_timer);

  struct WriteResult {
    bool ok = true;
    bool started = false;  // some bytes of the message reached the socket
    std::string error;
  };
  // Sends one unfragmented message; gives up at `deadline` (the stream is then unusable).
  // `*started` becomes true once any byte has gone out, also when the task is abandoned.
  // The message is `head` followed by `data`, written straight from both (no joined copy).
  asio::awaitable<WriteResult> send(Opcode op, std::span<const std::uint8_t> head, std::span<const std::uint8_t> data,
                                    Clock::time_point deadline, bool* started = nullptr);
  asio::awaitable<WriteResult> send(Opcode op, std::span<const std::uint8_t> data, Clock::time_point deadline,
                                    bool* started = nullptr) {
    return send(op, {}, data, deadline, started);
  }

  // Closes the TCP socket at once, without a closing handshake.
  void close() noexcept;

  tcp::socket& socket() noexcept { return socket_; }

 private:
  enum class Parse { Message, NeedMore, Failed };
  Parse parse_buffered(Message& out, std::string& error);
  void reserve_from_begin(std::size_t need);
  void append_fragment(const std::uint8_t* p, std::size_t n);

  static constexpr std::size_t READ_CHUNK = 64 * 1024;

  tcp::socket socket_;
  std::unique_ptr<std::uint8_t[]> buf_;
  std::size_t cap_ = 0;
  std::size_t begin_ = 0;  // first unconsumed byte
  std::size_t end_ = 0;    // one past the last received byte
  std::size_t handed_ = 0; // bytes of the message handed out last, released on the next poll
  std::size_t want_ = 0;   // bytes from begin_ that the frame being received needs in one piece

  // A fragmented message being assembled.
  std::unique_ptr<std::uint8_t[]> frag_;
  std::size_t frag_len_ = 0;
  std::size_t frag_cap_ = 0;
  Opcode frag_op_ = Opcode::Continuation;
  bool in_fragments_ = false;
  bool frag_handed_ = false;
};

}  // namespace ws
