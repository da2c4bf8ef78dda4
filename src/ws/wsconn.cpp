#include "ws/wsconn.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <thread>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

namespace ws {

using namespace boost::asio::experimental::awaitable_operators;
using boost::system::error_code;

namespace {

bool would_block(const error_code& ec) { return ec == asio::error::would_block || ec == asio::error::try_again; }

// Only the rest of the unfinished frame may follow it.
constexpr const char* BROKEN = "an earlier frame was left unfinished";

[[noreturn]] void throw_aborted() { throw boost::system::system_error(asio::error::operation_aborted); }

}  // namespace

WsConnection::WsConnection(tcp::socket socket, std::span<const std::uint8_t> already_read)
    : socket_(std::move(socket)) {
  error_code ec;
  socket_.non_blocking(true, ec);
  parser_.feed(already_read);
}

WsConnection::~WsConnection() { close(); }

void WsConnection::close() noexcept {
  error_code ec;
  socket_.close(ec);
}

WsConnection::Poll WsConnection::poll(WsParser::Message& out, std::string& error) {
  for (;;) {
    switch (parser_.next(out)) {
      case WsParser::Event::Message: return Poll::Ready;
      case WsParser::Event::Error: error = parser_.error(); return Poll::Failed;
      case WsParser::Event::NeedMore: break;
    }
    const auto dst = parser_.read_target();
    error_code ec;
    const std::size_t n = socket_.read_some(asio::buffer(dst.data(), dst.size()), ec);
    if (would_block(ec)) return Poll::Wait;
    if (ec == asio::error::eof) {
      if (parser_.mid_message()) {
        error = "connection closed in the middle of a message";
        return Poll::Failed;
      }
      return Poll::Closed;
    }
    if (ec) {
      error = ec.message();
      return Poll::Failed;
    }
    parser_.bytes_written(n);
  }
}

WsConnection::Poll WsConnection::poll_spinning(WsParser::Message& out, std::string& error, Clock::time_point until,
                                               const std::atomic<bool>* abandoned) {
  // The caller has just polled and found nothing: yield first, so that a peer sharing this
  // processor can answer. A caller who gave up must not take someone else's answer.
  for (;;) {
    std::this_thread::yield();
    if (abandoned && abandoned->load()) throw_aborted();
    const auto r = poll(out, error);
    if (r != Poll::Wait || Clock::now() >= until) return r;
  }
}

asio::awaitable<WsConnection::Received> WsConnection::next_binary(Clock::time_point deadline,
                                                                  const std::atomic<bool>* abandoned) {
  asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
  bool spun = false;
  for (;;) {
    // The waits below end quietly when cancelled, so a cancelled caller is noticed here.
    if (abandoned && abandoned->load()) throw_aborted();
    if ((co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none) throw_aborted();
    Received r{Received::Kind::Message, {}, {}};
    auto polled = poll(r.message, r.error);
    if (polled == Poll::Wait && !spun) {
      spun = true;  // once per wait: a slow answer must not keep a processor busy
      const auto until = std::min(deadline, timing_.spin_until());
      if (Clock::now() < until) polled = poll_spinning(r.message, r.error, until, abandoned);
    }
    switch (polled) {
      case Poll::Closed: r.kind = Received::Kind::Closed; co_return r;
      case Poll::Failed: r.kind = Received::Kind::Failed; co_return r;
      case Poll::Wait:
        // Only now, with nothing readable at once, does the deadline count.
        if (Clock::now() >= deadline) {
          r.kind = Received::Kind::TimedOut;
          co_return r;
        }
        co_await wait_readable(timer);
        continue;
      case Poll::Ready:
        break;
    }
    switch (r.message.opcode) {
      case Opcode::Binary:
        timing_.message_arrived();
        co_return r;
      case Opcode::Close:
        r.kind = Received::Kind::Closed;
        co_return r;
      case Opcode::Ping:
        // A failed pong shows up as a broken connection at a later read.
        co_await send(Opcode::Pong, {}, r.message.data, deadline);
        continue;
      default:
        continue;  // text, pong
    }
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
  auto on_deadline = [this, armed](error_code ec) {
    if (!ec && *armed) {
      error_code ignored;
      socket_.cancel(ignored);
    }
  };
  deadline_timer.async_wait(asio::bind_executor(ex, std::move(on_deadline)));
  // Errors show up at the next read, so the outcome of the wait itself does not matter.
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
  // A frame started and not finished leaves the stream unusable for anything else until it is.
  if (written == f.total) broken_ = false;
  else if (written > 0) broken_ = true;
  return written;
}

WsConnection::WriteResult WsConnection::try_send(Opcode op, std::span<const std::uint8_t> head,
                                                 std::span<const std::uint8_t> data, std::size_t& written) {
  const OutFrame f(op, head, data);
  WriteResult r;
  written = 0;
  if (broken_) return {false, BROKEN};
  error_code ec;
  written = write_now(f, 0, ec);
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
                                                              Clock::time_point deadline,
                                                              std::size_t already_written) {
  const OutFrame f(op, head, data);
  WriteResult r;
  if (broken_ && already_written == 0) co_return WriteResult{false, BROKEN};
  // Small messages usually fit in the socket buffer: try without waiting first.
  error_code ec;
  const std::size_t written = write_now(f, already_written, ec);
  if (written == f.total) co_return r;
  r.ok = false;
  if (!would_block(ec)) {
    r.error = ec.message();
    co_return r;
  }
  if (Clock::now() >= deadline) {
    r.error = "send timed out";
    co_return r;
  }
  // From here on part of the frame may reach the socket at any moment; only a completed write
  // makes the stream whole again (an abandoned one leaves it broken).
  broken_ = true;
  asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
  auto res = co_await (asio::async_write(socket_, f.rest(written), asio::as_tuple(asio::use_awaitable)) ||
                       timer.async_wait(asio::as_tuple(asio::use_awaitable)));
  if (res.index() == 1) {
    r.error = "send timed out";
    co_return r;
  }
  if (auto [wec, k] = std::get<0>(res); wec) {
    r.error = wec.message();
    co_return r;
  }
  broken_ = false;
  r.ok = true;
  co_return r;
}

}  // namespace ws
