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

#include "codec/buffer.hpp"

namespace ws {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// Largest message accepted, however it is split into frames.
inline constexpr std::size_t MAX_MESSAGE_SIZE = std::size_t{64} << 20;

// A single-frame data message at least this large is read straight into a block of its own
// instead of through the connection's buffer, so that its receiver can keep that block without a
// copy. Its first LARGE_MESSAGE_HEAD bytes (the application's frame header) are kept apart, so
// the block holds exactly the body that follows them.
inline constexpr std::size_t LARGE_MESSAGE = std::size_t{1} << 20;
inline constexpr std::size_t LARGE_MESSAGE_HEAD = 16;

enum class Opcode : std::uint8_t { Continuation = 0, Text = 1, Binary = 2, Close = 8, Ping = 9, Pong = 10 };

class WsConnection {
 public:
  WsConnection(tcp::socket socket, std::span<const std::uint8_t> already_read);
  ~WsConnection();
  WsConnection(const WsConnection&) = delete;
  WsConnection& operator=(const WsConnection&) = delete;

  struct Message {
    Opcode opcode;
    std::span<std::uint8_t> data;   // valid until the next poll
    codec::Bytes* rest = nullptr;   // a large message: data (its head) is followed by *rest, which
                                    // the receiver may move out before the next poll
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
  // `already_written` bytes of this same message went out before (see try_send).
  asio::awaitable<WriteResult> send(Opcode op, std::span<const std::uint8_t> head, std::span<const std::uint8_t> data,
                                    Clock::time_point deadline, bool* started = nullptr,
                                    std::size_t already_written = 0);
  asio::awaitable<WriteResult> send(Opcode op, std::span<const std::uint8_t> data, Clock::time_point deadline,
                                    bool* started = nullptr) {
    return send(op, {}, data, deadline, started);
  }

  // Writes as much of the message as the socket takes without waiting, from any thread (the
  // caller holds the connection exclusively). ok: all of it went out; otherwise `written` bytes
  // did, and `error` is empty when the socket buffer was merely full.
  WriteResult try_send(Opcode op, std::span<const std::uint8_t> head, std::span<const std::uint8_t> data,
                       std::size_t& written);

  // How quickly the peer answers, to decide whether waiting for an answer is worth a short spin
  // instead of going to sleep: with a peer that answers within tens of microseconds, sleeping
  // and being woken costs as much again. A spin that ends without the answer makes the next
  // exchanges sleep at once, for twice as many each time it happens again (a slow peer, or one
  // that needs the processor this thread spins on). Touched only by the holder of the connection.
  struct AnswerTiming {
    static constexpr Clock::duration MAX_SPIN = std::chrono::microseconds(50);
    static constexpr unsigned MAX_BACKOFF = 4096;
    Clock::time_point sent{};  // when the latest request went out
    unsigned backoff = 0;      // exchanges that do not spin after the latest failed spin
    unsigned skip = 0;         // of which this many are left

    void request_sent() { sent = Clock::now(); }
    // Until when to spin for the answer now; a past time means do not spin.
    Clock::time_point spin_until() {
      if (skip > 0) {
        --skip;
        return {};
      }
      return sent + MAX_SPIN;
    }
    void spin_ended(bool answered) {
      if (answered) {
        backoff = 0;
      } else {
        backoff = backoff ? std::min(backoff * 2, MAX_BACKOFF) : 1;
        skip = backoff;
      }
    }
  };
  AnswerTiming timing;

  // Closes the TCP socket at once, without a closing handshake.
  void close() noexcept;

  int native_fd() noexcept { return socket_.native_handle(); }

 private:
  enum class Parse { Message, NeedMore, Failed };
  struct OutFrame;
  // Writes `frame` from byte `written` on until done or the socket refuses; returns the new count.
  std::size_t write_now(const OutFrame& frame, std::size_t written, boost::system::error_code& ec);
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

  // A large message being read straight into its own block.
  void start_large(Opcode op, std::size_t len, const std::uint8_t key[4]);
  void put_large(const std::uint8_t* p, std::size_t n);
  bool large_active_ = false;
  bool large_handed_ = false;
  Opcode large_op_ = Opcode::Binary;
  std::uint8_t large_key_[4] = {};
  std::uint8_t large_head_[LARGE_MESSAGE_HEAD] = {};
  codec::Bytes large_body_;
  std::size_t large_len_ = 0;  // whole payload
  std::size_t large_got_ = 0;  // received so far

  // A fragmented message being assembled.
  std::unique_ptr<std::uint8_t[]> frag_;
  std::size_t frag_len_ = 0;
  std::size_t frag_cap_ = 0;
  Opcode frag_op_ = Opcode::Continuation;
  bool in_fragments_ = false;
  bool frag_handed_ = false;
};

}  // namespace ws
