#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <string>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "runtime/sync.hpp"

namespace {

namespace asio = boost::asio;
using namespace asio::experimental::awaitable_operators;
using namespace std::chrono_literals;
using runtime::AsyncMutex;
using runtime::ConnectedSignal;

asio::awaitable<void> sleep_for(std::chrono::milliseconds d) {
  asio::steady_timer t(co_await asio::this_coro::executor, d);
  co_await t.async_wait(asio::use_awaitable);
}

// Holds the lock for `hold`, noting when it got it.
asio::awaitable<void> take(AsyncMutex& m, std::vector<std::string>& order, std::string name,
                           std::chrono::milliseconds hold) {
  auto g = co_await m.lock();
  order.push_back(name);
  co_await sleep_for(hold);
}

TEST(AsyncMutex, GrantsWaitersInArrivalOrder) {
  asio::io_context io;
  AsyncMutex m;
  std::vector<std::string> order;
  asio::co_spawn(io, take(m, order, "holder", 20ms), asio::detached);
  for (const char* name : {"a", "b", "c", "d"}) asio::co_spawn(io, take(m, order, name, 0ms), asio::detached);
  io.run();
  EXPECT_EQ(order, (std::vector<std::string>{"holder", "a", "b", "c", "d"}));
  EXPECT_TRUE(static_cast<bool>(m.try_lock()));  // free again at the end
}

TEST(AsyncMutex, ACancelledWaiterLeavesTheQueue) {
  asio::io_context io;
  AsyncMutex m;
  std::vector<std::string> order;
  asio::cancellation_signal cancel_b;
  std::exception_ptr b_error;
  asio::co_spawn(io, take(m, order, "holder", 30ms), asio::detached);
  asio::co_spawn(io, take(m, order, "b", 0ms),
                 asio::bind_cancellation_slot(cancel_b.slot(), [&](std::exception_ptr e) { b_error = e; }));
  asio::co_spawn(io, take(m, order, "c", 0ms), asio::detached);
  asio::steady_timer t(io, 10ms);
  t.async_wait([&](auto) { cancel_b.emit(asio::cancellation_type::terminal); });
  io.run();
  EXPECT_EQ(order, (std::vector<std::string>{"holder", "c"}));
  ASSERT_TRUE(b_error);
  try {
    std::rethrow_exception(b_error);
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), asio::error::operation_aborted);
  }
}

TEST(AsyncMutex, RelockHandsOverToTheOldestWaiterFirst) {
  asio::io_context io;
  AsyncMutex m;
  std::vector<std::string> order;
  auto relocker = [&]() -> asio::awaitable<void> {
    auto g = co_await m.lock();
    order.push_back("first turn");
    co_await sleep_for(10ms);  // meanwhile "waiter" queues
    g = co_await m.relock(std::move(g));
    order.push_back("second turn");
  };
  asio::co_spawn(io, relocker, asio::detached);
  asio::co_spawn(io, take(m, order, "waiter", 5ms), asio::detached);
  io.run();
  EXPECT_EQ(order, (std::vector<std::string>{"first turn", "waiter", "second turn"}));
}

TEST(AsyncMutex, RelockWithNobodyWaitingKeepsTheLock) {
  asio::io_context io;
  AsyncMutex m;
  bool done = false;
  auto alone = [&]() -> asio::awaitable<void> {
    auto g = co_await m.lock();
    g = co_await m.relock(std::move(g));
    EXPECT_FALSE(static_cast<bool>(m.try_lock()));
    done = true;
  };
  asio::co_spawn(io, alone, asio::detached);
  io.run();
  EXPECT_TRUE(done);
}

// Waits for `w` or `limit`, whichever comes first; true when notified.
asio::awaitable<bool> wait_or(ConnectedSignal& s, std::shared_ptr<ConnectedSignal::Waiter> w,
                              std::chrono::milliseconds limit) {
  asio::steady_timer t(co_await asio::this_coro::executor, limit);
  co_await (s.async_wait(w, asio::as_tuple(asio::use_awaitable)) || t.async_wait(asio::as_tuple(asio::use_awaitable)));
  co_return w->notified.load();
}

TEST(ConnectedSignal, ANotificationBetweenSubscribingAndWaitingIsKept) {
  asio::io_context io;
  ConnectedSignal s;
  auto w = s.subscribe();
  s.notify_all();  // before the wait starts
  bool notified = false;
  asio::co_spawn(io, wait_or(s, w, 5000ms), [&](std::exception_ptr, bool r) { notified = r; });
  const auto start = std::chrono::steady_clock::now();
  io.run();
  EXPECT_TRUE(notified);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);  // not the limit: woken at once
}

TEST(ConnectedSignal, HasNoMemoryForLaterSubscribers) {
  asio::io_context io;
  ConnectedSignal s;
  s.notify_all();  // nobody listens
  auto w = s.subscribe();
  bool notified = true;
  asio::co_spawn(io, wait_or(s, w, 30ms), [&](std::exception_ptr, bool r) { notified = r; });
  io.run();
  EXPECT_FALSE(notified);
  s.unsubscribe(w);
}

TEST(ConnectedSignal, WakesEveryWaiterOnce) {
  asio::io_context io;
  ConnectedSignal s;
  int woken = 0;
  for (int i = 0; i < 3; ++i)
    asio::co_spawn(io, wait_or(s, s.subscribe(), 5000ms), [&](std::exception_ptr, bool r) { woken += r; });
  asio::post(io, [&] { s.notify_all(); });
  io.run();
  EXPECT_EQ(woken, 3);
}

}  // namespace
