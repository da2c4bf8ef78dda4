#include "ws/listen.hpp"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "rpc/lifecycle.hpp"
#include "runtime/runtime.hpp"
#include "ws/server.hpp"

namespace ws {

namespace asio = boost::asio;

namespace {

// "a.b.c.d:port" or "[v6]:port", the two numeric socket address forms.
std::optional<tcp::endpoint> parse_numeric(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  std::string host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const unsigned long p = std::stoul(port);
  if (p > 65535) return std::nullopt;
  boost::system::error_code ec;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    auto a = asio::ip::make_address_v6(host.substr(1, host.size() - 2), ec);
    if (ec) return std::nullopt;
    return tcp::endpoint(a, static_cast<unsigned short>(p));
  }
  auto a = asio::ip::make_address_v4(host, ec);
  if (ec) return std::nullopt;
  return tcp::endpoint(a, static_cast<unsigned short>(p));
}

// Non-blocking, close-on-exec, SO_REUSEADDR, bound and listening with the system's largest backlog.
int bind_listen(const tcp::endpoint& ep, int& err) {
  const int fd = ::socket(ep.protocol().family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  const int one = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(fd, ep.data(), static_cast<socklen_t>(ep.size())) != 0 || ::listen(fd, -1) != 0) {
    err = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

asio::awaitable<rpc::RpcResult> start_server(rpc::EngineShared sh) {
  if (sh.life->closed()) co_return rpc::EngineError::transport(rpc::ENGINE_CLOSED);
  const std::string addr = sh.host + ":" + std::to_string(sh.port);
  auto fail = [&](const std::string& why) {
    return rpc::EngineError::transport("bind failed on " + addr + ": " + why);
  };

  std::vector<tcp::endpoint> endpoints;
  if (auto ep = parse_numeric(addr)) {
    endpoints.push_back(*ep);
  } else {
    const auto colon = addr.rfind(':');
    tcp::resolver resolver(co_await asio::this_coro::executor);
    // getaddrinfo runs on the resolver's own thread, never on a worker.
    auto [ec, results] = co_await resolver.async_resolve(addr.substr(0, colon), addr.substr(colon + 1),
                                                         tcp::resolver::flags{},
                                                         asio::as_tuple(asio::use_awaitable));
    if (ec) co_return fail("failed to lookup address information: " + ec.message());
    for (const auto& e : results) endpoints.push_back(e.endpoint());
  }
  if (endpoints.empty()) co_return fail("could not resolve to any address");

  int last_err = 0;
  for (const auto& ep : endpoints) {
    const int fd = bind_listen(ep, last_err);
    if (fd < 0) continue;
    auto strand = asio::make_strand(runtime::runtime());
    auto acceptor = std::make_shared<tcp::acceptor>(strand);
    boost::system::error_code ec;
    acceptor->assign(ep.protocol(), fd, ec);
    if (ec) {
      ::close(fd);
      last_err = ec.value();
      continue;
    }
    const auto bound = acceptor->local_endpoint(ec);
    if (!sh.life->add_listener(acceptor, strand, ec ? ep.port() : bound.port())) {
      acceptor->close(ec);
      co_return rpc::EngineError::transport(rpc::ENGINE_CLOSED);
    }
    launch_server(std::move(acceptor), std::move(strand), sh);
    co_return codec::Bytes{};
  }
  co_return fail(rpc::os_error_text(last_err));
}

}  // namespace ws
