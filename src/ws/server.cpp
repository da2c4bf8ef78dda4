#include "ws/server.hpp"

#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "ws/runtime.hpp"

namespace ws {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using namespace boost::asio::experimental::awaitable_operators;

namespace {

// A peer gets this long to finish its upgrade; upgrades also run side by side, so a stalled one
// never keeps the real user interface out.
constexpr auto UPGRADE_LIMIT = std::chrono::seconds(10);

void log_line(const std::string& text) {
  static std::mutex m;
  const std::string line = "[rust ws server] " + text + "\n";
  std::lock_guard lk(m);
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

bool token_listed(std::string_view header, std::string_view token) {
  // Comma-separated, case-insensitive token lists (Connection: keep-alive, Upgrade).
  while (!header.empty()) {
    auto comma = header.find(',');
    auto item = header.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (beast::iequals(item, token)) return true;
    if (comma == std::string_view::npos) break;
    header.remove_prefix(comma + 1);
  }
  return false;
}

// The checks the upgrade itself needs; anything failing them gets no response at all.
bool valid_upgrade(const http::request<http::empty_body>& req, std::string& why) {
  if (req.method() != http::verb::get) why = "handshake request method is not GET";
  else if (req.version() < 11) why = "handshake request is not HTTP/1.1";
  else if (!token_listed(req[http::field::connection], "upgrade")) why = "missing 'Connection: upgrade' header";
  else if (!token_listed(req[http::field::upgrade], "websocket")) why = "missing 'Upgrade: websocket' header";
  else if (req[http::field::sec_websocket_version] != "13") why = "missing or unsupported Sec-WebSocket-Version";
  else if (req[http::field::sec_websocket_key].empty() || req[http::field::sec_websocket_key].size() > 24)
    why = "missing or malformed Sec-WebSocket-Key";
  else return true;
  return false;
}

asio::awaitable<void> install(EngineShared& sh, std::unique_ptr<WsConnection> conn) {
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
  Upgrading(Lifecycle& life, int fd) : life_(life), fd_(life.add_upgrading(fd) ? fd : -1) {}
  ~Upgrading() { release(); }
  Upgrading(const Upgrading&) = delete;
  Upgrading& operator=(const Upgrading&) = delete;
  bool registered() const noexcept { return fd_ >= 0; }
  void release() noexcept {
    if (fd_ >= 0) life_.remove_upgrading(std::exchange(fd_, -1));
  }

 private:
  Lifecycle& life_;
  int fd_;
};

asio::awaitable<void> serve_peer(tcp::socket sock, EngineShared sh) {
  // Declared after the socket, so it is unregistered before the socket closes.
  Upgrading upgrading(*sh.life, sock.native_handle());
  if (!upgrading.registered()) co_return;
  asio::steady_timer timer(co_await asio::this_coro::executor, Clock::now() + UPGRADE_LIMIT);
  beast::flat_buffer buf;
  http::request_parser<http::empty_body> parser;
  auto read = co_await (http::async_read(sock, buf, parser, asio::as_tuple(asio::use_awaitable)) ||
                        timer.async_wait(asio::as_tuple(asio::use_awaitable)));
  if (read.index() == 1) {
    log_line("accept failed: the upgrade request did not arrive in time");
    co_return;
  }
  if (auto [ec, n] = std::get<0>(read); ec) {
    log_line("accept failed: " + ec.message());
    co_return;
  }
  const auto& req = parser.get();
  std::string why;
  if (!valid_upgrade(req, why)) {
    log_line("accept failed: " + why);
    co_return;
  }
  std::string origin;
  const auto it = req.find(http::field::origin);
  const bool has_origin = it != req.end();
  if (!origin_allowed(has_origin ? it->value().data() : nullptr, has_origin ? it->value().size() : 0, origin)) {
    log_line("rejected origin: " + origin);
    static constexpr std::string_view forbidden = "HTTP/1.1 403 Forbidden\r\n\r\n";
    co_await (asio::async_write(sock, asio::buffer(forbidden), asio::as_tuple(asio::use_awaitable)) ||
              timer.async_wait(asio::as_tuple(asio::use_awaitable)));
    log_line("accept failed: HTTP error: 403 Forbidden");
    co_return;
  }
  {
    beast::websocket::stream<tcp::socket&> upgrade(sock);
    auto acc = co_await (upgrade.async_accept(req, asio::as_tuple(asio::use_awaitable)) ||
                         timer.async_wait(asio::as_tuple(asio::use_awaitable)));
    if (acc.index() == 1) {
      log_line("accept failed: the upgrade response could not be sent in time");
      co_return;
    }
    if (auto [ec] = std::get<0>(acc); ec) {
      log_line("accept failed: " + ec.message());
      co_return;
    }
  }
  // Bytes the client sent right behind its request belong to the WebSocket stream.
  const auto rest = buf.data();
  auto conn = std::make_unique<WsConnection>(
      std::move(sock), std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(rest.data()), rest.size()));
  const auto hello = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(HANDSHAKE_MESSAGE.data()),
                                                   HANDSHAKE_MESSAGE.size());
  auto sent = co_await conn->send(Opcode::Text, hello, Clock::now() + UPGRADE_LIMIT);
  if (!sent.ok) log_line("handshake send failed: " + sent.error);
  upgrading.release();  // from here on close() reaches the connection through the slot
  co_await install(sh, std::move(conn));
}

asio::awaitable<void> accept_loop(std::shared_ptr<tcp::acceptor> acceptor, EngineShared sh) {
  for (;;) {
    auto [ec, sock] = co_await acceptor->async_accept(asio::make_strand(runtime()), asio::as_tuple(asio::use_awaitable));
    if (sh.life->closed()) co_return;
    if (ec) {
      log_line("accept failed: " + ec.message());
      continue;
    }
    auto ex = sock.get_executor();
    asio::co_spawn(ex, serve_peer(std::move(sock), sh), asio::detached);
  }
}

}  // namespace

bool origin_allowed(const char* value, std::size_t size, std::string& trimmed) {
  std::string_view v;
  if (value) {
    v = std::string_view(value, size);
    for (unsigned char c : v)
      if (c != '\t' && (c < 0x20 || c > 0x7E)) {
        v = {};
        break;
      }
  }
  while (!v.empty() && v.back() == '/') v.remove_suffix(1);
  trimmed.assign(v);
  if (v.empty()) return true;
  // An allowed origin must end right after the prefix or go on with a port or a path: a bare
  // prefix match would let http://localhost.attacker.example in.
  static constexpr std::string_view allowed[] = {"http://127.0.0.1", "http://localhost", "https://127.0.0.1",
                                                 "https://localhost", HOSTED_UI_ORIGIN};
  for (std::string_view a : allowed) {
    if (v.size() >= a.size() && v.substr(0, a.size()) == a &&
        (v.size() == a.size() || v[a.size()] == ':' || v[a.size()] == '/'))
      return true;
  }
  return false;
}

void launch_server(std::shared_ptr<tcp::acceptor> acceptor, Strand strand, EngineShared shared) {
  asio::co_spawn(strand, accept_loop(std::move(acceptor), std::move(shared)), asio::detached);
}

}  // namespace ws
