#pragma once
// An awaited remote call: its exchange (rpc/exchange.hpp) begun on the calling thread, its receive
// phase driven by the loop that awaits it where that loop can watch the socket (loop_reader),
// and the runtime for every other wait. However it ends, its outcome goes to settle().
#include <memory>

#include "engine/future.hpp"
#include "rpc/exchange.hpp"
#include "rpc/receive_watch.hpp"

namespace engine {

struct RemoteCall : Pending, rpc::ReceiveWatch::Receiver {
  RemoteCall(rpc::Strand s, std::shared_ptr<LoopRecord> r, std::shared_ptr<rpc::Exchange> exchange)
      : Pending(std::move(s), std::move(r)), x(std::move(exchange)) {}

  std::shared_ptr<rpc::Exchange> x;
  // Loop's thread: the watch of the connection whose loop drives x's receive phase.
  std::shared_ptr<rpc::ReceiveWatch> driven_by;

  // On the calling thread, with the interpreter lock: steps 1 to 4, then the receive phase where
  // it can go on. `loop` is the running loop. The outcome may be settled before this returns.
  void start(PyObject* loop);
  // On the loop's thread, with the interpreter lock: the exchange ended there (or failed by
  // `fault`); its outcome is settled now.
  void ended_here(const std::exception_ptr& fault = nullptr);

  rpc::Exchange& exchange() noexcept override { return *x; }
  void continue_on_runtime() override;
  void abandon() override;
};

// One call of an engine's operation: its future.
struct SingleCall final : RemoteCall {
  using RemoteCall::RemoteCall;
  FutureSlot slot;
  void settle(Outcome& o) override { slot.complete(o.fault, o.result); }
  void discard() override { slot.forget(); }
};

}  // namespace engine
