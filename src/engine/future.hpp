#pragma once
// The awaitable of a call: a future on the caller's running event loop, its operation on the
// runtime, and the one function that completes futures.
#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>

#include "codec/buffer.hpp"
#include "py/ref.hpp"
#include "ws/error.hpp"
#include "ws/slot.hpp"

namespace engine {

namespace asio = boost::asio;

// Turns a successful response payload into the awaited value, with the interpreter lock held;
// null with a Python error set (a codec failure is a ValueError).
using Convert = py::Ref (*)(codec::Bytes& payload);

py::Ref convert_none(codec::Bytes&);

struct LoopRecord;

// One operation in flight. `future` is owned and touched only with the interpreter lock held;
// everything else may be used by the runtime.
struct Pending {
  Pending(ws::Strand s, Convert c, std::shared_ptr<LoopRecord> r)
      : strand(std::move(s)), convert(c), record(std::move(r)) {}
  ws::Strand strand;
  asio::cancellation_signal cancel;
  // Set by the future's done-callback, at once, when the caller cancels.
  std::shared_ptr<std::atomic<bool>> abandoned = std::make_shared<std::atomic<bool>>(false);
  Convert convert;
  std::shared_ptr<LoopRecord> record;  // where the outcome goes
  PyObject* future = nullptr;
};

// How an operation ended, on its way to the loop that awaits it.
struct Outcome {
  std::shared_ptr<Pending> p;
  std::exception_ptr fault;  // an internal fault instead of a result
  ws::RpcResult result;
};

// On the calling thread: the running loop, the future and its cancellation callback. Null with
// a Python error set when there is no running loop. `strand`: where the operation runs, made
// here if empty; a new one of its own when null. (Made only after the loop checks: a call that
// fails them starts no runtime.)
std::shared_ptr<Pending> prepare_pending(Convert convert, std::optional<ws::Strand>* strand = nullptr);

// On the calling thread: a future of the running loop that has already failed with `e` (a new
// reference), or null with a Python error set (no running loop). Starts nothing.
PyObject* failed_future(const ws::EngineError& e);

// On the loop's thread, with the interpreter lock: completes the future with the outcome unless
// it was cancelled. The only place a future is completed.
void settle(Outcome& o);
// With the interpreter lock: lets go of an outcome that can no longer reach its loop.
void discard(Outcome& o);

// From the runtime, without the interpreter lock: queues the outcome for its loop (waker).
void deliver(Outcome&& o);

// Hands `task` (a callable returning asio::awaitable<ws::RpcResult>) to the runtime and returns
// the future (a new reference).
template <class Task>
PyObject* launch(std::shared_ptr<Pending> p, Task task) {
  PyObject* fut = p->future;
  Py_INCREF(fut);
  auto strand = p->strand;
  auto slot = p->cancel.slot();
  asio::co_spawn(strand, std::move(task),
                 asio::bind_cancellation_slot(slot, [p = std::move(p)](std::exception_ptr e, ws::RpcResult r) mutable {
                   deliver(Outcome{std::move(p), e, std::move(r)});
                 }));
  return fut;
}

}  // namespace engine
