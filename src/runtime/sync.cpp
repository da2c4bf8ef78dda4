#include "runtime/sync.hpp"

#include <algorithm>

#include <boost/asio/error.hpp>
#include <boost/asio/this_coro.hpp>

namespace runtime {

asio::awaitable<AsyncMutex::Guard> AsyncMutex::lock() {
  {
    std::lock_guard lk(m_);
    if (!locked_) {
      locked_ = true;
      co_return Guard(this);
    }
  }
  co_await async_acquire(asio::use_awaitable);
  co_return Guard(this);
}

AsyncMutex::Guard AsyncMutex::try_lock() {
  std::lock_guard lk(m_);
  if (locked_) return Guard();
  locked_ = true;
  return Guard(this);
}

bool AsyncMutex::contended() noexcept {
  std::lock_guard lk(m_);
  return !queue_.empty();
}

asio::awaitable<AsyncMutex::Guard> AsyncMutex::relock(Guard held) {
  co_await async_requeue(held, asio::use_awaitable);
  co_return Guard(this);
}

void AsyncMutex::park(detail::WaitHandler h, bool requeue) {
  std::unique_lock lk(m_);
  if (requeue) {
    // The caller holds the lock: nobody waiting means it simply keeps it.
    if (queue_.empty()) {
      lk.unlock();
      detail::complete_parked(std::move(h), {});
      return;
    }
    auto next = std::move(queue_.front());
    queue_.pop_front();
    auto granted = detail::take(next->handler);
    enqueue(std::move(h));
    lk.unlock();
    detail::complete_parked(std::move(granted), {});
    return;
  }
  if (!locked_) {
    locked_ = true;
    lk.unlock();
    detail::complete_parked(std::move(h), {});
    return;
  }
  enqueue(std::move(h));
}

// With m_ held.
void AsyncMutex::enqueue(detail::WaitHandler h) {
  auto w = std::make_shared<Waiter>();
  auto slot = asio::get_associated_cancellation_slot(h.h);
  w->handler.emplace(std::move(h));
  queue_.push_back(w);
  if (slot.is_connected())
    slot.assign([this, weak = std::weak_ptr<Waiter>(w)](asio::cancellation_type) { cancel(weak); });
}

void AsyncMutex::cancel(const std::weak_ptr<Waiter>& weak) {
  auto w = weak.lock();
  if (!w) return;
  std::unique_lock lk(m_);
  auto it = std::find(queue_.begin(), queue_.end(), w);
  if (it == queue_.end()) return;  // already granted: the holder releases it through its guard
  queue_.erase(it);
  auto h = detail::take(w->handler);
  lk.unlock();
  detail::complete_parked(std::move(h), asio::error::operation_aborted);
}

void AsyncMutex::unlock() noexcept {
  std::unique_lock lk(m_);
  if (queue_.empty()) {
    locked_ = false;
    return;
  }
  // Ownership passes straight to the oldest waiter; the lock never looks free in between.
  auto w = std::move(queue_.front());
  queue_.pop_front();
  auto h = detail::take(w->handler);
  lk.unlock();
  detail::complete_parked(std::move(h), {});
}

std::shared_ptr<ConnectedSignal::Waiter> ConnectedSignal::subscribe() {
  auto w = std::make_shared<Waiter>();
  std::lock_guard lk(m_);
  waiters_.push_back(w);
  return w;
}

void ConnectedSignal::unsubscribe(const std::shared_ptr<Waiter>& w) {
  std::lock_guard lk(m_);
  std::erase(waiters_, w);
}

void ConnectedSignal::notify_all() {
  std::vector<detail::WaitHandler> wake;
  {
    std::lock_guard lk(m_);
    for (auto& w : waiters_) {
      w->notified.store(true);
      if (w->handler) wake.push_back(detail::take(w->handler));
    }
    waiters_.clear();
  }
  for (auto& h : wake) detail::complete_parked(std::move(h), {});
}

void ConnectedSignal::park(const std::shared_ptr<Waiter>& w, detail::WaitHandler h) {
  std::unique_lock lk(m_);
  if (w->notified.load()) {
    lk.unlock();
    detail::complete_parked(std::move(h), {});
    return;
  }
  auto slot = asio::get_associated_cancellation_slot(h.h);
  w->handler.emplace(std::move(h));
  if (slot.is_connected())
    slot.assign([this, weak = std::weak_ptr<Waiter>(w)](asio::cancellation_type) {
      auto w = weak.lock();
      if (!w) return;
      std::unique_lock lk(m_);
      if (!w->handler) return;  // already woken
      auto h = detail::take(w->handler);
      lk.unlock();
      detail::complete_parked(std::move(h), asio::error::operation_aborted);
    });
}

}  // namespace runtime
