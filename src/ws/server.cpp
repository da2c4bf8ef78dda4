#include "ws/server.hpp"

#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "process.hpp"
#include "runtime/runtime.hpp"
#include "texts.hpp"
#include "ws/upgrade.hpp"

namespace ws {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

// A peer gets this long for its whole upgrade (request, response, handshake message); upgrades
// also run side by side, so a stalled one never keeps the real user interface out.
constexpr auto UPGRADE_LIMIT = std::chrono::seconds(10);

// One per process: a fork's child must not wait for a parent thread that held it at the fork.
constinit proc::PerProcess<std::mutex> log_mutex;

void log_line(const std::string& text) {
  const std::string line = std::string(texts::LOG_PREFIX) + text + "\n";
  std::lock_guard lk(log_mutex.get());
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

asio::awaitable<void> install(rpc::EngineShared& sh, std::unique_ptr<WsConnection> conn) {
  auto g = co_await sh.slot->mutex.lock();
  if (sh.life->closed()) co_return;  // close() has run meanwhile: the connection goes
  sh.slot->install(std::move(conn));
  auto g2 = co_await sh.seq->mutex.lock();
  sh.seq->value = sh.start_seq;
  sh.connected->notify_all();
}

// Registers an accepted socket as upgrading for as long as it lives here, so that close() can
// end its upgrade.
class Upgrading {
 public:
  Upgrading(rpc::Lifecycle& life, int fd) : life_(life), fd_(life.add_upgrading(fd) ? fd : -1) {}
  ~Upgrading() { release(); }
  Upgrading(const Upgrading&) = delete;
  Upgrading& operator=(const Upgrading&) = delete;
  bool registered() const noexcept { return fd_ >= 0; }
  void release() noexcept {
    if (fd_ >= 0) life_.remove_upgrading(std::exchange(fd_, -1));
  }

 private:
  rpc::Lifecycle& life_;
  int fd_;
};

UpgradeRequest fields_of(const http::request<http::empty_body>& req) {
  UpgradeRequest r;
  r.is_get = req.method() == http::verb::get;
  r.http_version = req.version();
  r.connection = req[http::field::connection];
  r.upgrade = req[http::field::upgrade];
  r.ws_version = req[http::field::sec_websocket_version];
  r.ws_key = req[http::field::sec_websocket_key];
  if (const auto it = req.find(http::field::origin); it != req.end()) r.origin = it->value();
  return r;
}

asio::awaitable<void> serve_peer(beast::tcp_stream stream, rpc::EngineShared sh) {
  // An upgrade that close() cut short is not a failure worth a line.
  auto log_failure = [&sh](const std::string& text) {
    if (!sh.life->closed()) log_line(text);
  };
  Upgrading upgrading(*sh.life, stream.socket().native_handle());
  if (!upgrading.registered()) co_return;
  stream.expires_after(UPGRADE_LIMIT);
  beast::flat_buffer buf;
  http::request_parser<http::empty_body> parser;
  if (auto [ec, n] = co_await http::async_read(stream, buf, parser, asio::as_tuple(asio::use_awaitable)); ec) {
    log_failure(ec == beast::error::timeout ? "accept failed: the upgrade request did not arrive in time"
                                            : "accept failed: " + ec.message());
    co_return;
  }
  const auto& req = parser.get();
  const UpgradeDecision decision = decide_upgrade(fields_of(req));
  if (decision.outcome == UpgradeDecision::Outcome::Forbid) {
    log_line(decision.log.front());
    static constexpr std::string_view forbidden = "HTTP/1.1 403 Forbidden\r\n\r\n";
    co_await asio::async_write(stream, asio::buffer(forbidden), asio::as_tuple(asio::use_awaitable));
  }
  if (decision.outcome != UpgradeDecision::Outcome::Accept) {
    log_line(decision.log.back());
    co_return;
  }
  {
    beast::websocket::stream<beast::tcp_stream&> upgrade(stream);
    if (auto [ec] = co_await upgrade.async_accept(req, asio::as_tuple(asio::use_awaitable)); ec) {
      log_failure(ec == beast::error::timeout ? "accept failed: the upgrade response could not be sent in time"
                                              : "accept failed: " + ec.message());
      co_return;
    }
  }
  // One unmasked text frame; the message is shorter than 126 bytes.
  static_assert(texts::HANDSHAKE_MESSAGE.size() < 126);
  const std::uint8_t head[2] = {0x81, static_cast<std::uint8_t>(texts::HANDSHAKE_MESSAGE.size())};
  const std::array<asio::const_buffer, 2> hello = {
      asio::buffer(head), asio::buffer(texts::HANDSHAKE_MESSAGE.data(), texts::HANDSHAKE_MESSAGE.size())};
  if (auto [ec, n] = co_await asio::async_write(stream, hello, asio::as_tuple(asio::use_awaitable)); ec)
    log_line("handshake send failed: " + ec.message());
  // Bytes the client sent right behind its request belong to the WebSocket stream.
  const auto rest = buf.data();
  stream.expires_never();
  auto conn = std::make_unique<WsConnection>(
      stream.release_socket(),
      std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(rest.data()), rest.size()));
  upgrading.release();  // from here on close() reaches the connection through the slot
  co_await install(sh, std::move(conn));
}

asio::awaitable<void> accept_loop(std::shared_ptr<tcp::acceptor> acceptor, rpc::EngineShared sh) {
  for (;;) {
    auto [ec, sock] =
        co_await acceptor->async_accept(asio::make_strand(runtime::runtime()), asio::as_tuple(asio::use_awaitable));
    if (sh.life->closed()) co_return;
    if (ec) {
      log_line("accept failed: " + ec.message());
      continue;
    }
    auto ex = sock.get_executor();
    asio::co_spawn(ex, serve_peer(beast::tcp_stream(std::move(sock)), sh), asio::detached);
  }
}

}  // namespace

void launch_server(std::shared_ptr<tcp::acceptor> acceptor, rpc::Strand strand, rpc::EngineShared shared) {
  asio::co_spawn(strand, accept_loop(std::move(acceptor), std::move(shared)), asio::detached);
}

}  // namespace ws
