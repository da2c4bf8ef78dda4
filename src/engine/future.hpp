#pragma once
// What a call leaves in flight, and the awaitable it returns: a future on the caller's running
// event loop, the one function that completes futures, and the cancellation of an operation.
#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>

#include "codec/buffer.hpp"
#include "py/gil.hpp"
#include "py/ref.hpp"
#include "rpc/error.hpp"
#include "rpc/slot.hpp"

namespace engine {

namespace asio = boost::asio;

// Turns a successful response payload into the awaited value, with the interpreter lock held;
// null with a Python error set (a codec failure is a ValueError).
using Convert = py::Ref (*)(codec::Bytes& payload);

py::Ref convert_none(codec::Bytes&);

struct LoopRecord;
struct Outcome;

// Whatever a future stands for: what its cancellation reaches.
struct Awaited {
  virtual ~Awaited() = default;
  // With the interpreter lock, on the loop's thread: the future was cancelled, so whatever runs
  // for it is abandoned (locks released, results dropped).
  virtual void abandon() = 0;
};

// One operation in flight for a loop: where it runs on the runtime, and where its outcome goes.
// Everything in it may be used by the runtime, except what its subclass says is Python's.
struct Pending : Awaited, std::enable_shared_from_this<Pending> {
  Pending(rpc::Strand s, std::shared_ptr<LoopRecord> r) : strand(std::move(s)), record(std::move(r)) {}
  rpc::Strand strand;
  asio::cancellation_signal cancel;
  std::shared_ptr<LoopRecord> record;  // the loop that awaits the outcome

  // With the interpreter lock, on the loop's thread: the outcome reaches whoever awaits it.
  virtual void settle(Outcome& o) = 0;
  // With the interpreter lock: the outcome can no longer reach its loop.
  virtual void discard() = 0;
};

// How an operation ended, on its way to the loop that awaits it.
struct Outcome {
  std::shared_ptr<Pending> p;
  std::exception_ptr fault;  // an internal fault instead of a result
  rpc::RpcResult result;
};

// A future of the loop and how its value is made. `future` is owned and touched only with the
// interpreter lock held.
struct FutureSlot {
  FutureSlot() = default;
  FutureSlot(const FutureSlot&) = delete;
  FutureSlot& operator=(const FutureSlot&) = delete;
  // A future never completed (its call failed before it was returned) goes with the call.
  ~FutureSlot() { py::release_later(future); }

  Convert convert = nullptr;
  PyObject* future = nullptr;

  // With the interpreter lock, on the loop's thread: completes the future with the outcome unless
  // it was cancelled.
  void complete(const std::exception_ptr& fault, rpc::RpcResult& result);
  void forget() noexcept;

  // The two halves of completing, for outcomes built otherwise: the future, unless it is gone or
  // was cancelled (then nothing is to be done), and the one place a future is completed.
  py::Ref take();
  static void set(PyObject* fut, PyObject* value, bool is_exception);
};

// On the calling thread: the running loop and its record (null with a Python error set when
// there is no running loop), and a new future on it watched for cancellation of `awaited`.
struct Prepared {
  py::Ref loop;
  std::shared_ptr<LoopRecord> record;
  py::Ref future;
};
bool prepare(Prepared& out);
bool watch_future(PyObject* future, std::weak_ptr<Awaited> awaited);

// A strand of its own on the runtime, or `shared` made here if empty (an engine's first call).
rpc::Strand strand_for(std::optional<rpc::Strand>* shared);

// From the runtime, without the interpreter lock: queues the outcome for its loop (waker).
void deliver(Outcome&& o);

// Hands `task` (a callable returning asio::awaitable<rpc::RpcResult>) to the runtime on `p`'s
// strand; its outcome is delivered to `p`'s loop.
template <class Task>
void launch(std::shared_ptr<Pending> p, Task task) {
  auto strand = p->strand;
  auto slot = p->cancel.slot();
  asio::co_spawn(strand, std::move(task),
                 asio::bind_cancellation_slot(slot, [p = std::move(p)](std::exception_ptr e, rpc::RpcResult r) mutable {
                   deliver(Outcome{std::move(p), e, std::move(r)});
                 }));
}

// A call whose task runs on the runtime from start to end (start, wait_connected, close): the
// future, or null with a Python error set.
template <class Task>
PyObject* launch_task(Convert convert, Task task);

// On the calling thread: a future of the running loop that has already failed with `e` (a new
// reference), or null with a Python error set (no running loop). Starts nothing.
PyObject* failed_future(const rpc::EngineError& e);

// With the interpreter lock, on the loop's thread.
inline void settle(Outcome& o) { o.p->settle(o); }
inline void discard(Outcome& o) { o.p->discard(); }

// The call of launch_task: its future and the flag that cancellation sets.
struct TaskCall final : Pending {
  using Pending::Pending;
  FutureSlot slot;
  void settle(Outcome& o) override { slot.complete(o.fault, o.result); }
  void discard() override { slot.forget(); }
  void abandon() override;
};

template <class Task>
PyObject* launch_task(Convert convert, Task task) {
  Prepared pre;
  if (!prepare(pre)) return nullptr;
  auto call = std::make_shared<TaskCall>(strand_for(nullptr), std::move(pre.record));
  call->slot.convert = convert;
  if (!watch_future(pre.future.get(), call)) return nullptr;
  call->slot.future = pre.future.get();
  Py_INCREF(pre.future.get());
  launch(std::move(call), std::move(task));
  return pre.future.release();
}

}  // namespace engine
