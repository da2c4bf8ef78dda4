#pragma once
// How a method call becomes an awaitable: a future on the caller's running event loop, the work on
// the background runtime, and completion moved back onto the loop's own thread.
#include <atomic>
#include <memory>
#include <optional>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "codec/buffer.hpp"
#include "py/ref.hpp"
#include "ws/error.hpp"
#include "ws/rpc.hpp"
#include "ws/runtime.hpp"

namespace engine {

namespace asio = boost::asio;

// Turns a successful response payload into the awaited value, with the interpreter lock held.
// Returns the value, or sets `error` (codec failures), or returns null with a Python error set.
using Convert = py::Ref (*)(codec::Bytes& payload, std::optional<ws::EngineError>& error);

py::Ref convert_none(codec::Bytes&, std::optional<ws::EngineError>&);

struct LoopWaker;

// One operation in flight. Python references in it are only touched with the lock held.
struct Pending {
  explicit Pending(ws::Strand s) : strand(std::move(s)) {}
  ws::Strand strand;
  asio::cancellation_signal cancel;
  // Set by the future's done-callback, at once, when the caller cancels.
  std::shared_ptr<std::atomic<bool>> abandoned = std::make_shared<std::atomic<bool>>(false);
  Convert convert = nullptr;
  PyObject* loop = nullptr;
  PyObject* context = nullptr;
  PyObject* future = nullptr;
  // The loop's wake-up channel; null when the loop cannot watch a file descriptor.
  std::shared_ptr<LoopWaker> waker;

  // The fallback completion, on a worker: takes the interpreter lock and schedules the outcome
  // with loop.call_soon_threadsafe.
  void complete(std::exception_ptr fault, ws::RpcResult&& result);
};

// Called on a worker when the operation has ended. The outcome is queued for the loop, which is
// woken without the worker ever waiting for the interpreter lock; where that is impossible the
// fallback completion runs on the operation's strand.
void finish(std::shared_ptr<Pending> p, std::exception_ptr fault, ws::RpcResult&& result);

// Steps taken on the calling thread: the running loop, a copy of the context, the future and its
// cancellation callback. Null with a Python error set when there is no running loop.
// `strand`: where the operation runs, made here if empty; a new one of its own when null. (Made
// only after the loop checks: a call that fails them starts no runtime.)
std::shared_ptr<Pending> prepare_pending(Convert convert, std::optional<ws::Strand>* strand = nullptr);

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
                   finish(std::move(p), e, std::move(r));
                 }));
  return fut;
}

// Seconds as the exchange's duration. ValueError for negative, NaN, infinite or too large values.
bool to_timeout(double secs, ws::Timeout& out);

// Reads an optional timeout_secs argument: absent or None gives `fallback`.
bool read_timeout_secs(PyObject* arg, double fallback, double& secs);

}  // namespace engine
