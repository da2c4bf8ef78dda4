#pragma once
// WebSocket (RFC 6455) frames from a client, as a parser that is fed bytes and yields whole
// messages: no socket here, so it can be fuzzed and tested alone. The connection reads straight
// into the buffer the parser names (read_target), and a large message's body straight into the
// block that its receiver keeps.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "codec/buffer.hpp"

namespace ws {

enum class Opcode : std::uint8_t { Continuation = 0, Text = 1, Binary = 2, Close = 8, Ping = 9, Pong = 10 };

// Largest message accepted, however it is split into frames.
inline constexpr std::size_t MAX_MESSAGE_SIZE = std::size_t{64} << 20;

// A single-frame data message at least this large is read into a block of its own instead of the
// parser's buffer, so that its receiver can keep the block without a copy. Its first
// LARGE_MESSAGE_HEAD bytes (the application's frame header) are kept apart, so the block holds
// exactly the body that follows them.
inline constexpr std::size_t LARGE_MESSAGE = std::size_t{1} << 20;
inline constexpr std::size_t LARGE_MESSAGE_HEAD = 16;

class WsParser {
 public:
  WsParser();
  WsParser(const WsParser&) = delete;
  WsParser& operator=(const WsParser&) = delete;

  struct Message {
    Opcode opcode = Opcode::Binary;
    std::span<std::uint8_t> data;  // valid until the next call of next()
    codec::Bytes* body = nullptr;  // a large message: `data` is its head and *body the rest,
                                   // which the receiver may move out before the next call
  };
  enum class Event { Message, NeedMore, Error };

  // The next whole message (control frames included, also between the fragments of a data
  // message), NeedMore, or Error (a protocol violation, described by error()). After an Error
  // the stream cannot be read on.
  Event next(Message& out);
  const std::string& error() const noexcept { return error_; }

  // Where the next bytes from the socket go, and how many fit; never empty.
  std::span<std::uint8_t> read_target();
  // `n` bytes were written at the start of the last read_target().
  void bytes_written(std::size_t n) noexcept;
  // Copies `bytes` in through read_target (for tests and fuzzing).
  void feed(std::span<const std::uint8_t> bytes);

  // Bytes of an unfinished frame or message are held: the stream must not end here.
  bool mid_message() const noexcept { return end_ != begin_ || in_fragments_ || large_active_; }
  // A message is being read straight into its own block.
  bool mid_large_message() const noexcept { return large_active_; }
  // Bytes held beyond what the messages handed out so far took, and the size of the buffer that
  // holds them (a large message's body is apart).
  std::size_t buffered() const noexcept { return end_ - begin_; }
  std::size_t capacity() const noexcept { return cap_; }

 private:
  Event parse_buffered(Message& out);
  Event fail(std::string why);
  void release_handed();
  void make_room(std::size_t need);
  void append_fragment(const std::uint8_t* p, std::size_t n);
  void start_large(Opcode op, std::size_t len, const std::uint8_t key[4]);
  void put_large(const std::uint8_t* p, std::size_t n);

  std::string error_;

  // Frames are parsed out of [begin_, end_) of buf_. The buffer grows only as bytes arrive, and a
  // buffer grown for one big frame is given back once that frame has been handed out.
  codec::Bytes buf_;
  std::size_t cap_ = 0;  // buf_.size()
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t handed_ = 0;  // bytes of the message handed out last, consumed on the next call
  std::size_t want_ = 0;    // bytes from begin_ that the frame being parsed needs in one piece
  bool target_is_body_ = false;

  // A large message being read straight into its own block.
  bool large_active_ = false;
  bool large_handed_ = false;
  Opcode large_op_ = Opcode::Binary;
  std::uint8_t large_key_[4] = {};
  std::uint8_t large_head_[LARGE_MESSAGE_HEAD] = {};
  codec::Bytes large_body_;
  std::size_t large_len_ = 0;  // whole payload
  std::size_t large_got_ = 0;  // received so far

  // A fragmented message being assembled; its buffer lives only as long as the message.
  codec::Bytes frag_;
  std::size_t frag_len_ = 0;
  Opcode frag_op_ = Opcode::Continuation;
  bool in_fragments_ = false;
  bool frag_handed_ = false;
};

}  // namespace ws
