#include "ws/wsconn.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

namespace ws {

using namespace boost::asio::experimental::awaitable_operators;
using boost::system::error_code;

namespace {

std::uint64_t load_be(const std::uint8_t* p, int n) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// Unmasks `n` payload bytes that start at payload offset `offset`.
void unmask(std::uint8_t* p, std::size_t n, const std::uint8_t key0[4], std::size_t offset = 0) {
  const std::uint8_t key[4] = {key0[offset & 3], key0[(offset + 1) & 3], key0[(offset + 2) & 3],
                               key0[(offset + 3) & 3]};
  std::uint64_t k8;
  std::uint8_t kb[8] = {key[0], key[1], key[2], key[3], key[0], key[1], key[2], key[3]};
  std::memcpy(&k8, kb, 8);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t v;
    std::memcpy(&v, p + i, 8);
    v ^= k8;
    std::memcpy(p + i, &v, 8);
  }
  for (; i < n; ++i) p[i] ^= key[i & 3];
}

bool is_control(Opcode op) { return static_cast<std::uint8_t>(op) >= 8; }

bool would_block(const error_code& ec) { return ec == asio::error::would_block || ec == asio::error::try_again; }

}  // namespace

WsConnection::WsConnection(tcp::socket socket, std::span<const std::uint8_t> already_read)
    : socket_(std::move(socket)) {
  error_code ec;
  socket_.non_blocking(true, ec);
  reserve_from_begin(std::max(READ_CHUNK, already_read.size()));
  if (!already_read.empty()) std::memcpy(buf_.get(), already_read.data(), already_read.size());
  end_ = already_read.size();
}

WsConnection::~WsConnection() { close(); }

void WsConnection::close() noexcept {
  error_code ec;
  socket_.close(ec);
}

void WsConnection::reserve_from_begin(std::size_t need) {
  const std::size_t have = end_ - begin_;
  if (begin_ + need <= cap_) return;
  if (need <= cap_) {
    std::memmove(buf_.get(), buf_.get() + begin_, have);
  } else {
    // Grown buffers are kept for later messages: a large response costs its page faults once.
    std::unique_ptr<std::uint8_t[]> nb(new std::uint8_t[need]);
    if (have) std::memcpy(nb.get(), buf_.get() + begin_, have);
    buf_ = std::move(nb);
    cap_ = need;
  }
  begin_ = 0;
  end_ = have;
}

void WsConnection::append_fragment(const std::uint8_t* p, std::size_t n) {
  if (frag_len_ + n > frag_cap_) {
    std::size_t cap = std::max(frag_len_ + n, frag_cap_ * 2);
    std::unique_ptr<std::uint8_t[]> nb(new std::uint8_t[cap]);
    if (frag_len_) std::memcpy(nb.get(), frag_.get(), frag_len_);
    frag_ = std::move(nb);
    frag_cap_ = cap;
  }
  if (n) std::memcpy(frag_.get() + frag_len_, p, n);
  frag_len_ += n;
}

void WsConnection::start_large(Opcode op, std::size_t len, const std::uint8_t key[4]) {
  large_body_ = codec::Bytes::allocate(len - LARGE_MESSAGE_HEAD);
  large_active_ = true;
  large_op_ = op;
  std::memcpy(large_key_, key, 4);
  large_len_ = len;
  large_got_ = 0;
}

void WsConnection::put_large(const std::uint8_t* p, std::size_t n) {
  if (large_got_ < LARGE_MESSAGE_HEAD) {
    const std::size_t k = std::min(n, LARGE_MESSAGE_HEAD - large_got_);
    std::memcpy(large_head_ + large_got_, p, k);
    large_got_ += k;
    p += k;
    n -= k;
  }
  if (n) std::memcpy(large_body_.data() + (large_got_ - LARGE_MESSAGE_HEAD), p, n);
  large_got_ += n;
}

WsConnection::Parse WsConnection::parse_buffered(Message& out, std::string& error) {
  for (;;) {
    std::uint8_t* p = buf_.get() + begin_;
    const std::size_t avail = end_ - begin_;
    want_ = 2;
    if (avail < 2) return Parse::NeedMore;
    const bool fin = p[0] & 0x80;
    const auto op = static_cast<Opcode>(p[0] & 0x0F);
    if (p[0] & 0x70) {
      error = "reserved bits set in a frame (no extension was negotiated)";
      return Parse::Failed;
    }
    switch (op) {
      case Opcode::Continuation: case Opcode::Text: case Opcode::Binary:
      case Opcode::Close: case Opcode::Ping: case Opcode::Pong:
        break;
      default:
        error = "unknown frame opcode " + std::to_string(static_cast<int>(op));
        return Parse::Failed;
    }
    if (!(p[1] & 0x80)) {
      error = "unmasked frame from the client";
      return Parse::Failed;
    }
    const int len7 = p[1] & 0x7F;
    const int ext = len7 == 126 ? 2 : len7 == 127 ? 8 : 0;
    const std::size_t hdr = 2 + ext + 4;
    want_ = hdr;
    if (avail < hdr) return Parse::NeedMore;
    const std::uint64_t len = ext ? load_be(p + 2, ext) : static_cast<std::uint64_t>(len7);
    if (is_control(op) && (len > 125 || !fin)) {
      error = "malformed control frame";
      return Parse::Failed;
    }
    const std::uint64_t so_far = (op == Opcode::Continuation) ? frag_len_ : 0;
    if (len > MAX_MESSAGE_SIZE || so_far + len > MAX_MESSAGE_SIZE) {
      error = "message too long: " + std::to_string(so_far + len) + " > " + std::to_string(MAX_MESSAGE_SIZE);
      return Parse::Failed;
    }
    if (op == Opcode::Continuation && !in_fragments_) {
      error = "continuation frame without a message to continue";
      return Parse::Failed;
    }
    if ((op == Opcode::Text || op == Opcode::Binary) && in_fragments_) {
      error = "new message started before the previous one was finished";
      return Parse::Failed;
    }
    if (fin && (op == Opcode::Binary || op == Opcode::Text) && len >= LARGE_MESSAGE) {
      start_large(op, static_cast<std::size_t>(len), p + hdr - 4);
      const std::size_t have = std::min<std::size_t>(avail - hdr, static_cast<std::size_t>(len));
      put_large(p + hdr, have);
      begin_ += hdr + have;
      want_ = 0;
      return Parse::NeedMore;
    }
    want_ = hdr + static_cast<std::size_t>(len);
    if (avail < want_) return Parse::NeedMore;

    std::uint8_t* payload = p + hdr;
    unmask(payload, static_cast<std::size_t>(len), p + hdr - 4);
    const std::size_t frame = want_;
    want_ = 0;

    if (is_control(op) || (fin && op != Opcode::Continuation)) {
      out = {op, {payload, static_cast<std::size_t>(len)}};
      handed_ = frame;
      return Parse::Message;
    }
    if (op != Opcode::Continuation) {
      in_fragments_ = true;
      frag_op_ = op;
      frag_len_ = 0;
    }
    append_fragment(payload, static_cast<std::size_t>(len));
    begin_ += frame;
    if (fin) {
      in_fragments_ = false;
      frag_handed_ = true;
      out = {frag_op_, {frag_.get(), frag_len_}};
      return Parse::Message;
    }
  }
}

WsConnection::Poll WsConnection::poll(Message& out, std::string& error) {
  begin_ += std::exchange(handed_, 0);
  if (std::exchange(frag_handed_, false)) frag_len_ = 0;
  if (std::exchange(large_handed_, false)) large_body_ = codec::Bytes();
  if (begin_ == end_) begin_ = end_ = 0;
  for (;;) {
    // Where the next bytes from the socket go: straight into a large message's body once its
    // head is complete, otherwise into the buffer.
    bool into_body = false;
    if (large_active_) {
      if (large_got_ == large_len_) {
        large_active_ = false;
        large_handed_ = true;
        unmask(large_head_, LARGE_MESSAGE_HEAD, large_key_);
        unmask(large_body_.data(), large_body_.size(), large_key_, LARGE_MESSAGE_HEAD);
        out = {large_op_, {large_head_, LARGE_MESSAGE_HEAD}, &large_body_};
        return Poll::Ready;
      }
      if (large_got_ < LARGE_MESSAGE_HEAD) {
        // Still inside the head: bytes come through the buffer, whose excess is the next message's.
        const std::size_t k = std::min(end_ - begin_, large_len_ - large_got_);
        put_large(buf_.get() + begin_, k);
        begin_ += k;
      }
      if (large_got_ >= LARGE_MESSAGE_HEAD) {
        if (large_got_ == large_len_) continue;
        into_body = true;
      }
    } else {
      switch (parse_buffered(out, error)) {
        case Parse::Message: return Poll::Ready;
        case Parse::Failed: return Poll::Failed;
        case Parse::NeedMore: break;
      }
      if (large_active_) continue;
    }
    asio::mutable_buffer dst;
    if (into_body) {
      dst = asio::buffer(large_body_.data() + (large_got_ - LARGE_MESSAGE_HEAD), large_len_ - large_got_);
    } else {
      if (begin_ == end_) begin_ = end_ = 0;
      reserve_from_begin(std::max(want_, std::min<std::size_t>(end_ - begin_ + READ_CHUNK, MAX_MESSAGE_SIZE + 14)));
      if (end_ == cap_) reserve_from_begin(end_ - begin_ + READ_CHUNK);
      dst = asio::buffer(buf_.get() + end_, cap_ - end_);
    }
    error_code ec;
    const std::size_t n = socket_.read_some(dst, ec);
    if (would_block(ec)) return Poll::Wait;
    if (ec == asio::error::eof) {
      if (end_ != begin_ || in_fragments_ || large_active_) {
        error = "connection closed in the middle of a message";
        return Poll::Failed;
      }
      return Poll::Closed;
    }
    if (ec) {
      error = ec.message();
      return Poll::Failed;
    }
    (into_body ? large_got_ : end_) += n;
  }
}

asio::awaitable<void> WsConnection::wait_readable(asio::steady_timer& deadline_timer) {
  // A plain timer that cancels the socket wait is much cheaper than racing two awaitables, and
  // this wait is on every call's path. Both handlers run on this task's strand; `armed` keeps a
  // late timer handler away from a connection that may be gone by then.
  // (co_await stays out of the expression that builds the lambda: g++ 12 mishandles temporaries
  // in such full-expressions.)
  auto ex = co_await asio::this_coro::executor;
  auto armed = std::make_shared<bool>(true);
  auto on_deadline = [this, armed](boost::system::error_code ec) {
    if (!ec && *armed) {
      boost::system::error_code ignored;
      socket_.cancel(ignored);
    }
  };
  deadline_timer.async_wait(asio::bind_executor(ex, std::move(on_deadline)));
  // Errors show up on the next read, so the outcome of the wait itself does not matter.
  co_await socket_.async_wait(tcp::socket::wait_read, asio::as_tuple(asio::use_awaitable));
  *armed = false;
  deadline_timer.cancel();
}

namespace {
using Buffers = std::array<asio::const_buffer, 3>;
}  // namespace

// One unfragmented, unmasked server frame: its header and the two parts of its payload.
struct WsConnection::OutFrame {
  std::uint8_t hdr[10];
  Buffers bufs;
  std::size_t total;

  OutFrame(Opcode op, std::span<const std::uint8_t> head, std::span<const std::uint8_t> data) {
    std::size_t hlen = 2;
    hdr[0] = static_cast<std::uint8_t>(0x80 | static_cast<std::uint8_t>(op));
    const std::uint64_t n = head.size() + data.size();
    if (n < 126) {
      hdr[1] = static_cast<std::uint8_t>(n);
    } else if (n <= 0xFFFF) {
      hdr[1] = 126;
      hdr[2] = static_cast<std::uint8_t>(n >> 8);
      hdr[3] = static_cast<std::uint8_t>(n);
      hlen = 4;
    } else {
      hdr[1] = 127;
      for (int i = 0; i < 8; ++i) hdr[2 + i] = static_cast<std::uint8_t>(n >> (56 - 8 * i));
      hlen = 10;
    }
    bufs = {asio::buffer(hdr, hlen), asio::buffer(head.data(), head.size()), asio::buffer(data.data(), data.size())};
    total = hlen + head.size() + data.size();
  }
  OutFrame(const OutFrame&) = delete;

  // The buffers without their first `skip` bytes.
  Buffers rest(std::size_t skip) const {
    Buffers r = bufs;
    for (auto& b : r) {
      const std::size_t k = std::min(skip, b.size());
      b += k;
      skip -= k;
    }
    return r;
  }
};

std::size_t WsConnection::write_now(const OutFrame& f, std::size_t written, error_code& ec) {
  ec = {};
  while (written < f.total) {
    written += socket_.write_some(f.rest(written), ec);
    if (ec) break;
  }
  return written;
}

WsConnection::WriteResult WsConnection::try_send(Opcode op, std::span<const std::uint8_t> head,
                                                 std::span<const std::uint8_t> data, std::size_t& written) {
  const OutFrame f(op, head, data);
  WriteResult r;
  error_code ec;
  written = write_now(f, 0, ec);
  r.started = written > 0;
  if (ec && !would_block(ec)) {
    r.ok = false;
    r.error = ec.message();
  } else if (written < f.total) {
    r.ok = false;  // not finished: the socket buffer is full
  }
  return r;
}

asio::awaitable<WsConnection::WriteResult> WsConnection::send(Opcode op, std::span<const std::uint8_t> head,
                                                              std::span<const std::uint8_t> data,
                                                              Clock::time_point deadline, bool* started,
                                                              std::size_t already_written) {
  bool ignored = false;
  if (!started) started = &ignored;
  const OutFrame f(op, head, data);

  // Small messages usually fit in the socket buffer: try without waiting first.
  error_code ec;
  const std::size_t written = write_now(f, already_written, ec);
  if (written > 0) *started = true;
  WriteResult r;
  r.started = written > 0;
  if (written == f.total) co_return r;
  if (!would_block(ec)) {
    r.ok = false;
    r.error = ec.message();
    co_return r;
  }
  if (Clock::now() >= deadline) {
    r.ok = false;
    r.error = "send timed out";
    co_return r;
  }
  const Buffers rest = f.rest(written);
  // From here on part of the message may reach the socket at any moment.
  *started = true;
  asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
  auto res = co_await (asio::async_write(socket_, rest, asio::as_tuple(asio::use_awaitable)) ||
                       timer.async_wait(asio::as_tuple(asio::use_awaitable)));
  if (res.index() == 1) {
    r.ok = false;
    r.started = true;
    r.error = "send timed out";
    co_return r;
  }
  auto [wec, k] = std::get<0>(res);
  if (wec) {
    r.ok = false;
    r.started = written + k > 0;
    r.error = wec.message();
  }
  co_return r;
}

}  // namespace ws
