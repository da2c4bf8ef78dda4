#pragma once
// Asynchronous lock and notify-all signal for coroutines on the runtime. Both are safe to use
// from any worker thread; waiting never blocks a thread.
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/defer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/error_code.hpp>

#include "runtime/runtime.hpp"

namespace runtime {

namespace asio = boost::asio;
using boost::system::error_code;

namespace detail {
// A suspended waiter: its completion handler and the executor it must be resumed on.
struct WaitHandler {
  WaitHandler() = default;
  template <class Handler>
    requires(!std::is_same_v<std::decay_t<Handler>, WaitHandler>)
  explicit WaitHandler(Handler&& handler)
      : ex(asio::get_associated_executor(handler, runtime().get_executor())), h(std::move(handler)) {}
  // Move construction only: any_completion_handler's move assignment is broken in this Asio
  // release (it wraps the handler in itself), so handlers are kept in std::optional and emplaced.
  WaitHandler(WaitHandler&&) noexcept = default;
  WaitHandler& operator=(WaitHandler&&) = delete;
  explicit operator bool() const noexcept { return static_cast<bool>(h); }

  asio::any_io_executor ex;
  asio::any_completion_handler<void(error_code)> h;
};

// Moves a parked handler out of its place and empties the place, which then reads as nobody
// parked there (call with the owner's mutex held).
inline WaitHandler take(std::optional<WaitHandler>& slot) {
  WaitHandler h(std::move(*slot));
  slot.reset();
  return h;
}

// Completes a parked handler on its own executor, never inline. The cancellation slot is
// cleared there too, because cancellation is emitted on that same executor and a slot must not
// be touched concurrently. Deferred: from a worker the handler waits for this thread rather than
// waking another one (a lock hand-over usually happens just before the worker goes idle).
inline void complete_parked(WaitHandler w, error_code ec) {
  auto ex = w.ex;
  asio::defer(ex, [h = std::move(w.h), ec]() mutable {
    auto slot = asio::get_associated_cancellation_slot(h);
    if (slot.is_connected()) slot.clear();
    std::move(h)(ec);
  });
}
}  // namespace detail

// First-come first-served lock; the holder may suspend while holding it. A queued waiter whose
// coroutine is cancelled leaves the queue with operation_aborted.
class AsyncMutex {
 public:
  class Guard {
   public:
    Guard() = default;
    explicit Guard(AsyncMutex* m) : m_(m) {}
    Guard(Guard&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
    Guard& operator=(Guard&& o) noexcept {
      if (this != &o) {
        release();
        m_ = std::exchange(o.m_, nullptr);
      }
      return *this;
    }
    ~Guard() { release(); }
    void release() noexcept {
      if (m_) std::exchange(m_, nullptr)->unlock();
    }
    // Gives up the guard without unlocking.
    void dismiss() noexcept { m_ = nullptr; }
    explicit operator bool() const noexcept { return m_ != nullptr; }

   private:
    AsyncMutex* m_ = nullptr;
  };

  asio::awaitable<Guard> lock();
  // Takes the lock only if nobody holds it (and so nobody waits for it); never suspends. An empty
  // guard means it was not taken.
  Guard try_lock();
  void unlock() noexcept;
  // Whether anybody waits for the lock (its holder asks: nobody to let go first).
  bool contended() noexcept;
  // Hands the held lock to the oldest waiter and queues for it again in one step, so that no task
  // that asks for the lock after this call can be served before this one.
  asio::awaitable<Guard> relock(Guard held);

  template <class Token>
  auto async_acquire(Token&& token) {
    return asio::async_initiate<Token, void(error_code)>(
        [this](auto handler) { park(detail::WaitHandler(std::move(handler)), false); }, token);
  }

  // `held` is given up only once the operation is under way: if the await is refused (the task
  // was cancelled) the guard still unlocks.
  template <class Token>
  auto async_requeue(Guard& held, Token&& token) {
    return asio::async_initiate<Token, void(error_code)>(
        [this, &held](auto handler) {
          held.dismiss();
          park(detail::WaitHandler(std::move(handler)), true);
        },
        token);
  }

 private:
  struct Waiter {
    std::optional<detail::WaitHandler> handler;
  };
  void park(detail::WaitHandler h, bool requeue);
  void enqueue(detail::WaitHandler h);
  void cancel(const std::weak_ptr<Waiter>& w);

  std::mutex m_;
  bool locked_ = false;
  std::deque<std::shared_ptr<Waiter>> queue_;
};

// Broadcast wake-up without memory. A task subscribes first and waits afterwards, so that a
// notification that comes between the two is not lost; nothing is stored for later subscribers.
class ConnectedSignal {
 public:
  struct Waiter {
    std::atomic<bool> notified{false};
    std::optional<detail::WaitHandler> handler;  // guarded by the signal's mutex
  };

  std::shared_ptr<Waiter> subscribe();
  void unsubscribe(const std::shared_ptr<Waiter>& w);
  void notify_all();

  // Completes once `w` has been notified (at once if it already was).
  template <class Token>
  auto async_wait(std::shared_ptr<Waiter> w, Token&& token) {
    return asio::async_initiate<Token, void(error_code)>(
        [this, w = std::move(w)](auto handler) { park(w, detail::WaitHandler(std::move(handler))); }, token);
  }

 private:
  void park(const std::shared_ptr<Waiter>& w, detail::WaitHandler h);

  std::mutex m_;
  std::vector<std::shared_ptr<Waiter>> waiters_;
};

}  // namespace runtime
