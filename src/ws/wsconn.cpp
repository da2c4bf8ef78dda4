#include "ws/wsconn.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "rpc/receive_watch.hpp"

namespace ws {

using boost::system::error_code;

namespace {

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

std::string os_text(int err) { return error_code(err, boost::system::system_category()).message(); }

// Only the rest of the unfinished frame may follow it.
constexpr const char* BROKEN = "an earlier frame was left unfinished";

}  // namespace

WsConnection::WsConnection(tcp::socket socket, std::span<const std::uint8_t> already_read)
    : fd_(socket.release()), watch_(std::make_shared<rpc::ReceiveWatch>()) {
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  parser_.feed(already_read);
}

WsConnection::~WsConnection() { close(); }

void WsConnection::close() noexcept {
  if (fd_ < 0) return;
  ::shutdown(fd_, SHUT_RDWR);
  ::close(std::exchange(fd_, -1));
}

WsConnection::Poll WsConnection::poll(WsParser::Message& out, std::string& error, bool read_socket) {
  for (;;) {
    switch (parser_.next(out)) {
      case WsParser::Event::Message: return Poll::Ready;
      case WsParser::Event::Error: error = parser_.error(); return Poll::Failed;
      case WsParser::Event::NeedMore: break;
    }
    if (!read_socket) return Poll::Wait;
    const auto dst = parser_.read_target();
    const ssize_t n = ::recv(fd_, dst.data(), dst.size(), 0);
    if (n > 0) {
      parser_.bytes_written(static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) {
      if (parser_.mid_message()) {
        error = "connection closed in the middle of a message";
        return Poll::Failed;
      }
      return Poll::Closed;
    }
    if (errno == EINTR) continue;
    if (would_block(errno)) return Poll::Wait;
    error = os_text(errno);
    return Poll::Failed;
  }
}

WsConnection::WriteResult WsConnection::start_write(Opcode op, std::span<const std::uint8_t> head,
                                                    std::span<const std::uint8_t> data) {
  if (broken_ || pending_) return {Write::Failed, BROKEN};
  OutFrame& f = pending_.emplace();
  f.front[0] = static_cast<std::uint8_t>(0x80 | static_cast<std::uint8_t>(op));
  const std::uint64_t n = head.size() + data.size();
  std::size_t hlen = 2;
  if (n < 126) {
    f.front[1] = static_cast<std::uint8_t>(n);
  } else if (n <= 0xFFFF) {
    f.front[1] = 126;
    f.front[2] = static_cast<std::uint8_t>(n >> 8);
    f.front[3] = static_cast<std::uint8_t>(n);
    hlen = 4;
  } else {
    f.front[1] = 127;
    for (int i = 0; i < 8; ++i) f.front[2 + i] = static_cast<std::uint8_t>(n >> (56 - 8 * i));
    hlen = 10;
  }
  if (!head.empty()) std::memcpy(f.front + hlen, head.data(), head.size());
  f.front_len = hlen + head.size();
  f.data = data;
  return write_now();
}

WsConnection::WriteResult WsConnection::continue_write() {
  if (!pending_) return {};
  return write_now();
}

WsConnection::WriteResult WsConnection::write_now() {
  OutFrame& f = *pending_;
  while (f.written < f.total()) {
    iovec iov[2];
    int count = 0;
    if (f.written < f.front_len) iov[count++] = {f.front + f.written, f.front_len - f.written};
    const std::size_t skip = f.written > f.front_len ? f.written - f.front_len : 0;
    if (skip < f.data.size())
      iov[count++] = {const_cast<std::uint8_t*>(f.data.data() + skip), f.data.size() - skip};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<decltype(msg.msg_iovlen)>(count);
    const ssize_t k = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
    if (k >= 0) {
      f.written += static_cast<std::size_t>(k);
      continue;
    }
    if (errno == EINTR) continue;
    if (would_block(errno)) return {Write::Blocked, {}};
    const int err = errno;
    abandon_write();
    return {Write::Failed, os_text(err)};
  }
  pending_.reset();
  return {};
}

bool WsConnection::abandon_write() noexcept {
  if (!pending_) return false;
  const bool partial = pending_->written > 0;
  pending_.reset();
  if (partial) broken_ = true;
  return partial;
}

asio::awaitable<void> WsConnection::wait(WaitFor what, runtime::Clock::time_point deadline) {
  if (runtime::Clock::now() >= deadline) co_return;
  auto ex = co_await asio::this_coro::executor;
  asio::posix::stream_descriptor d(ex);
  error_code ec;
  d.assign(fd_, ec);
  if (ec) co_return;  // the next read or write says what is wrong
  struct Release {
    asio::posix::stream_descriptor& d;
    ~Release() { d.release(); }
  } release{d};
  // A plain timer that cancels the descriptor's wait is much cheaper than racing two awaitables.
  // Both handlers run on this task's strand; `armed` keeps a late timer handler away from a
  // descriptor that is gone by then. (co_await stays out of the expression that builds the
  // lambda: g++ 12 mishandles temporaries in such full-expressions.)
  auto armed = std::make_shared<bool>(true);
  asio::steady_timer timer(ex, deadline);
  auto on_deadline = [&d, armed](error_code e) {
    if (!e && *armed) {
      error_code ignored;
      d.cancel(ignored);
    }
  };
  timer.async_wait(asio::bind_executor(ex, std::move(on_deadline)));
  const auto type = what == WaitFor::Readable ? asio::posix::stream_descriptor::wait_read
                                              : asio::posix::stream_descriptor::wait_write;
  // Errors show up at the next read or write, so the outcome of the wait itself does not matter.
  co_await d.async_wait(type, asio::as_tuple(asio::use_awaitable));
  *armed = false;
  timer.cancel();
  if ((co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none)
    throw boost::system::system_error(asio::error::operation_aborted);
}

}  // namespace ws
