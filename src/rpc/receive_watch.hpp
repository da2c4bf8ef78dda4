#pragma once
// What a loop and the runtime share about one connection while the loop drives an exchange's
// receive phase: which exchange that is and which loop drives it (the loop's reader runs the
// receive steps when the socket is readable), which loop watches the socket, and a deadline
// timer on the runtime that hands the exchange to the runtime when its deadline passes first:
// the loop may be busy, stopped or closed. The timer is re-armed lazily, only when a deadline
// earlier than the one it is set for comes in, so a steady stream of calls costs it nothing.
#include <exception>
#include <memory>
#include <mutex>

#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "rpc/exchange.hpp"
#include "runtime/timeout.hpp"

namespace rpc {

class ReceiveWatch : public std::enable_shared_from_this<ReceiveWatch> {
 public:
  // What a loop drives: an exchange and whoever awaits it (the engine layer).
  class Receiver {
   public:
    virtual ~Receiver() = default;
    virtual Exchange& exchange() noexcept = 0;
    // The rest of the exchange goes to the runtime (rpc_call), which completes it: it needs a
    // wait the loop does not do, or its deadline came first.
    virtual void continue_on_runtime() = 0;
  };

  ReceiveWatch();

  // On the loop's thread, once `r`'s exchange receives: the loop `loop` (an identity) drives it
  // from now on. If that loop does not watch the socket yet, the caller has it watch it and says
  // so with watched_by(), naming what watches (`reader`).
  void drive(std::shared_ptr<Receiver> r, const void* loop);
  bool watched_by_loop(const void* loop);
  void watched_by(const void* loop, const void* reader);
  // `reader` no longer watches the socket.
  void unwatched_by(const void* reader);

  struct Step {
    std::shared_ptr<Receiver> receiver;  // null: this loop drives nothing here now
    Exchange::Next next = Exchange::Next::Done;
    std::exception_ptr fault;  // Done by an internal fault (the exchange was abandoned)
  };
  // On `loop`'s thread: one receive step of the exchange it drives (`read_socket` false: of what is
  // buffered only). Anything but Readable ends the loop's part: Done, or a wait for the runtime
  // (also Readable in the middle of a large message, which the runtime reads).
  Step step(const void* loop, bool read_socket = true);

  // On the loop's thread: the loop stops driving `r` (its caller gave up). False when it was not
  // driving it (the runtime has it).
  bool release(const Receiver* r);

  // From any thread (close()): whatever a loop drives goes on on the runtime now.
  void hand_to_runtime();

 private:
  void arm(runtime::Clock::time_point deadline);
  void expired(boost::system::error_code ec);

  std::mutex m_;
  std::shared_ptr<Receiver> receiver_;  // m_
  const void* driver_ = nullptr;        // m_: the loop that drives receiver_
  const void* watcher_ = nullptr;       // m_: the loop whose reader watches the socket
  const void* reader_ = nullptr;        // m_: that reader
  boost::asio::steady_timer timer_;     // m_
  runtime::Clock::time_point armed_for_ = runtime::Clock::time_point::max();  // m_: the timer's expiry, max when unset
};

}  // namespace rpc
