#include "rpc/lifecycle.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace rpc {

namespace asio = boost::asio;
using namespace boost::asio::experimental::awaitable_operators;

asio::awaitable<RpcResult> wait_connected(EngineShared sh, std::optional<runtime::Timeout> limit) {
  // Presence is read without the slot lock, so a limit of 0 answers at once even while an
  // exchange holds the slot for its receive phase.
  auto ended = [&]() -> std::optional<RpcResult> {
    if (sh.life->closed()) return EngineError::transport(ENGINE_CLOSED);
    if (sh.slot->present()) return codec::Bytes{};
    return std::nullopt;
  };
  if (auto r = ended()) co_return std::move(*r);
  auto w = sh.connected->subscribe();
  struct Unsubscribe {
    runtime::ConnectedSignal& s;
    std::shared_ptr<runtime::ConnectedSignal::Waiter>& w;
    ~Unsubscribe() { s.unsubscribe(w); }
  } unsub{*sh.connected, w};
  // Subscribed first, looked again second: an install or close in between is not missed.
  if (auto r = ended()) co_return std::move(*r);

  if (!limit) {
    co_await sh.connected->async_wait(w, asio::use_awaitable);
  } else {
    asio::steady_timer timer(co_await asio::this_coro::executor, runtime::deadline_after(*limit, std::nullopt));
    co_await (sh.connected->async_wait(w, asio::as_tuple(asio::use_awaitable)) ||
              timer.async_wait(asio::as_tuple(asio::use_awaitable)));
  }
  if (sh.life->closed()) co_return EngineError::transport(ENGINE_CLOSED);
  if (w->notified.load()) co_return codec::Bytes{};
  co_return EngineError::transport("wait_connected timed out");
}

asio::awaitable<RpcResult> close_engine(EngineShared sh) {
  auto listeners = sh.life->close();
  sh.slot->shut_down();
  sh.connected->notify_all();
  for (auto& l : listeners) {
    // A named closure: g++ 12 destroys a capturing temporary in a co_await expression twice.
    auto close_it = [a = l.acceptor]() -> asio::awaitable<void> {
      if (auto acc = a.lock()) {
        boost::system::error_code ec;
        acc->close(ec);
      }
      co_return;
    };
    co_await asio::co_spawn(l.strand, std::move(close_it), asio::use_awaitable);
  }
  // Behind every exchange that holds or awaits the slot: each sees the closed engine and ends.
  auto g = co_await sh.slot->mutex.lock();
  sh.slot->drop();
  co_return codec::Bytes{};
}

}  // namespace rpc
