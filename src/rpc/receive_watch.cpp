#include "rpc/receive_watch.hpp"

#include <boost/asio/error.hpp>

#include "runtime/runtime.hpp"

namespace rpc {

ReceiveWatch::ReceiveWatch() : timer_(runtime::runtime()) {}

void ReceiveWatch::drive(std::shared_ptr<Receiver> r, const void* loop) {
  std::lock_guard lk(m_);
  const runtime::Clock::time_point deadline = r->exchange().deadline();
  receiver_ = std::move(r);
  driver_ = loop;
  arm(deadline);
}

bool ReceiveWatch::watched_by_loop(const void* loop) {
  std::lock_guard lk(m_);
  return watcher_ == loop;
}

void ReceiveWatch::watched_by(const void* loop, const void* reader) {
  std::lock_guard lk(m_);
  watcher_ = loop;
  reader_ = reader;
}

void ReceiveWatch::unwatched_by(const void* reader) {
  std::lock_guard lk(m_);
  if (reader_ != reader) return;
  watcher_ = nullptr;
  reader_ = nullptr;
}

ReceiveWatch::Step ReceiveWatch::step(const void* loop, bool read_socket) {
  // The step may drop the connection, which owns one reference to this watch.
  auto keep = shared_from_this();
  std::lock_guard lk(m_);
  if (!receiver_ || driver_ != loop) return {};
  Exchange& x = receiver_->exchange();
  Exchange::Next next;
  try {
    next = x.receive_some(read_socket);
  } catch (...) {
    x.abandon();
    driver_ = nullptr;
    return {std::move(receiver_), Exchange::Next::Done, std::current_exception()};
  }
  // The rest of a large message is the runtime's to read: the loop would hold the interpreter
  // lock for every part of it.
  if (next == Exchange::Next::Readable && x.connection().mid_large_message()) next = Exchange::Next::Lock;
  if (next == Exchange::Next::Readable) return {receiver_, next, nullptr};
  driver_ = nullptr;
  return {std::move(receiver_), next, nullptr};
}

bool ReceiveWatch::release(const Receiver* r) {
  std::lock_guard lk(m_);
  if (!receiver_ || receiver_.get() != r) return false;
  receiver_.reset();
  driver_ = nullptr;
  return true;
}

void ReceiveWatch::hand_to_runtime() {
  std::shared_ptr<Receiver> r;
  {
    std::lock_guard lk(m_);
    r = std::move(receiver_);
    driver_ = nullptr;
  }
  if (r) r->continue_on_runtime();
}

void ReceiveWatch::arm(runtime::Clock::time_point deadline) {
  // A timer set earlier fires first and re-arms itself for what is receiving then.
  if (armed_for_ <= deadline) return;
  armed_for_ = deadline;
  timer_.expires_at(deadline);
  timer_.async_wait([weak = weak_from_this()](boost::system::error_code ec) {
    if (auto self = weak.lock()) self->expired(ec);
  });
}

void ReceiveWatch::expired(boost::system::error_code ec) {
  std::shared_ptr<Receiver> late;
  {
    std::lock_guard lk(m_);
    // Cancelled by an earlier deadline, or a wait replaced after it had fired: the newer one
    // comes.
    if (ec == boost::asio::error::operation_aborted || runtime::Clock::now() < armed_for_) return;
    armed_for_ = runtime::Clock::time_point::max();
    if (!receiver_) return;
    if (runtime::Clock::now() < receiver_->exchange().deadline()) {
      arm(receiver_->exchange().deadline());
      return;
    }
    late = std::move(receiver_);
    driver_ = nullptr;
  }
  late->continue_on_runtime();
}

}  // namespace rpc
