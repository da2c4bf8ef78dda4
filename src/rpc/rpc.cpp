#include "rpc/rpc.hpp"

#include <algorithm>
#include <thread>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "rpc/lifecycle.hpp"

namespace rpc {

namespace asio = boost::asio;

namespace {

// Between steps that complete without suspending (a free lock, a write that fits), nothing else
// would notice that the caller gave up: an abandoned call must not take a seq or send.
void stop_if_abandoned(const Exchange& x) {
  if (x.abandoned()->load()) throw boost::system::system_error(asio::error::operation_aborted);
}

}  // namespace

asio::awaitable<RpcResult> rpc_call(std::shared_ptr<Exchange> xp) {
  Exchange& x = *xp;
  // However the task ends (cancelled included), the exchange ends with it.
  struct EndWithTask {
    Exchange& x;
    ~EndWithTask() { x.abandon(); }
  } end_with_task{x};
  EngineShared& sh = x.sh_;
  using Next = Exchange::Next;
  Next next = x.phase_ == Exchange::Phase::Sending ? Next::Writable
              : x.phase_ == Exchange::Phase::Receiving ? Next::Readable
              : x.phase_ == Exchange::Phase::Done ? Next::Done
                                                  : Next::Lock;
  bool spun = false;
  // Whether the latest step read what the socket held: a receive phase begins, and is handed
  // over, with messages possibly buffered already, which no readiness would announce.
  bool polled = false;
  for (;;) {
    stop_if_abandoned(x);
    switch (next) {
      case Next::Done:
        co_return std::move(x.result_);
      case Next::Lock:
        polled = false;
        if (x.phase_ == Exchange::Phase::Sent) {
          // Queue for the receive phase before anyone else can send: exchanges then receive in
          // exactly the order in which their requests went out, which is the order the peer
          // answers in.
          x.slot_ = co_await sh.slot->mutex.relock(std::move(x.slot_));
          stop_if_abandoned(x);
          next = x.enter_receive();
          break;
        }
        if (sh.life->closed()) {
          next = x.end(EngineError::transport(ENGINE_CLOSED, std::nullopt, x.fnId_), false);
          break;
        }
        {
          // 1. Presence.
          auto check = co_await sh.slot->mutex.lock();
          stop_if_abandoned(x);
          if (sh.life->closed() || !sh.slot->conn) {
            next = x.end(EngineError::transport(sh.life->closed() ? ENGINE_CLOSED : "no websocket connected",
                                                std::nullopt, x.fnId_),
                         false);
            break;
          }
        }
        {
          // 2. The seq.
          auto sg = co_await sh.seq->mutex.lock();
          stop_if_abandoned(x);
          x.seq_ = sh.seq->value++;  // wraps modulo 2^32
        }
        // 4. The send phase.
        x.slot_ = co_await sh.slot->mutex.lock();
        stop_if_abandoned(x);
        if (!sh.slot->conn || sh.life->closed()) {
          next = x.fail("connection missing", false);
          break;
        }
        x.sent_on_ = sh.slot->generation;
        x.phase_ = Exchange::Phase::Sending;
        next = x.write_request();
        break;
      case Next::Writable:
        co_await x.connection().wait(ws::WsConnection::WaitFor::Writable, x.deadline_);
        stop_if_abandoned(x);
        polled = x.phase_ == Exchange::Phase::Receiving;
        next = polled ? x.receive_some() : x.write_request();
        continue;
      case Next::Readable:
        if (!polled) {
          polled = true;
          next = x.receive_some();
          continue;
        }
        if (!spun) {
          // Once per exchange: a quick peer's answer is polled for rather than slept for.
          spun = true;
          const auto until = std::min(x.deadline_, x.connection().spin_until());
          while (next == Next::Readable && runtime::Clock::now() < until) {
            // Yield first, so that a peer sharing this processor can answer.
            std::this_thread::yield();
            stop_if_abandoned(x);
            next = x.receive_some();
          }
          if (next != Next::Readable) break;
        }
        co_await x.connection().wait(ws::WsConnection::WaitFor::Readable, x.deadline_);
        stop_if_abandoned(x);
        next = x.receive_some();
        continue;
    }
  }
}

}  // namespace rpc
