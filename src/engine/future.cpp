#include "engine/future.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "engine/internals.hpp"
#include "engine/waker.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "py/types.hpp"
#include "runtime/runtime.hpp"

namespace engine {

namespace {

// True, false, or -1 with a Python error set.
int is_cancelled(PyObject* fut) {
  py::Ref r = py::Ref::steal(PyObject_CallMethodObjArgs(fut, made_internals().s_cancelled, nullptr));
  if (!r) return -1;
  return PyObject_IsTrue(r.get());
}

// Forgets `fut`; what it stood for if it was still watched.
std::shared_ptr<Awaited> unwatch(PyObject* fut) {
  auto& m = made_internals().tables->watched;
  auto it = m.find(fut);
  if (it == m.end()) return nullptr;
  auto a = it->second.lock();
  m.erase(it);
  return a;
}

// The done-callback of every future: a cancelled future abandons what it stands for. Futures
// completed with a result were forgotten already; what is left was cancelled (or completed by
// someone else, which is checked).
PyObject* cancel_hook_call(PyObject*, PyObject* args, PyObject*) {
  PyObject* fut = PyTuple_Size(args) == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  if (!fut) Py_RETURN_NONE;
  auto a = unwatch(fut);
  if (!a) Py_RETURN_NONE;
  const int cancelled = is_cancelled(fut);
  if (cancelled < 0) return nullptr;
  if (cancelled) {
    return py::guarded([&] {
      a->abandon();
      Py_RETURN_NONE;
    });
  }
  Py_RETURN_NONE;
}

PyObject* cancel_hook(Internals& in) {
  if (in.cancel_hook) return in.cancel_hook;
  PyTypeObject* type = nullptr;
  PyTypeObject* t = py::callable_type(type, "py_engine_rust._CancelHook", sizeof(PyObject), py::free_instance,
                                      cancel_hook_call);
  if (t) in.cancel_hook = py::new_instance(t).release();
  return in.cancel_hook;
}

// The awaited value, or the exception to fail the future with (`is_exception`).
py::Ref awaited(Convert convert, const std::exception_ptr& fault, rpc::RpcResult& result, bool& is_exception) {
  py::Ref value;
  is_exception = true;
  if (fault) {
    value = py::exception_for(fault);
  } else if (auto* err = std::get_if<rpc::EngineError>(&result)) {
    value = py::exception_for(*err);
  } else {
    try {
      value = convert(std::get<codec::Bytes>(result));
    } catch (...) {
      py::raise_fault(std::current_exception());  // memory, on the way to NumPy
    }
    is_exception = !value;
  }
  if (!value) {
    // Building the value failed (a codec error, memory, NumPy): that Python error is the outcome.
    value = py::take_exception();
    if (!value) value = py::panic_exception("outcome could not be built");
  }
  return value;
}

}  // namespace

py::Ref convert_none(codec::Bytes&) { return py::Ref::borrow(Py_None); }

bool prepare(Prepared& out) {
  Internals* in = internals();
  if (!in || !cancel_hook(*in)) return false;
  py::release_deferred();
  out.loop = py::Ref::steal(PyObject_CallNoArgs(in->get_running_loop));
  if (!out.loop) return false;
  out.record = record_for(out.loop.get());
  if (!out.record) return false;
  out.future = py::Ref::steal(PyObject_CallOneArg(out.record->create_future, out.loop.get()));
  return static_cast<bool>(out.future);
}

bool watch_future(PyObject* future, std::weak_ptr<Awaited> awaited) {
  Internals& in = made_internals();
  in.tables->watched[future] = std::move(awaited);
  py::Ref added =
      py::Ref::steal(PyObject_CallMethodObjArgs(future, in.s_add_done_callback, in.cancel_hook, nullptr));
  if (added) return true;
  unwatch(future);
  return false;
}

rpc::Strand strand_for(std::optional<rpc::Strand>* shared) {
  if (!shared) return asio::make_strand(runtime::runtime());
  if (!*shared) shared->emplace(asio::make_strand(runtime::runtime()));
  return **shared;
}

void TaskCall::abandon() {
  auto self = shared_from_this();
  asio::post(strand, [self] { self->cancel.emit(asio::cancellation_type::terminal); });
}

PyObject* failed_future(const rpc::EngineError& e) {
  Internals* in = internals();
  if (!in) return nullptr;
  py::Ref loop = py::Ref::steal(PyObject_CallNoArgs(in->get_running_loop));
  if (!loop) return nullptr;
  py::Ref fut = py::Ref::steal(PyObject_CallMethodObjArgs(loop.get(), in->s_create_future, nullptr));
  py::Ref exc = fut ? py::exception_for(e) : py::Ref();
  if (!exc) return nullptr;
  py::Ref r = py::Ref::steal(PyObject_CallMethodObjArgs(fut.get(), in->s_set_exception, exc.get(), nullptr));
  return r ? fut.release() : nullptr;
}

py::Ref FutureSlot::take() {
  py::Ref fut = py::Ref::steal(std::exchange(future, nullptr));
  if (!fut) return {};
  unwatch(fut.get());  // the operation has ended: nothing left to cancel
  const int cancelled = is_cancelled(fut.get());
  if (cancelled < 0) PyErr_WriteUnraisable(fut.get());
  if (cancelled != 0) return {};
  // Completing it would schedule the cancellation hook as one more callback of the loop, for
  // nothing: the operation has ended.
  const Internals& in = made_internals();
  py::Ref removed =
      py::Ref::steal(PyObject_CallMethodObjArgs(fut.get(), in.s_remove_done_callback, in.cancel_hook, nullptr));
  if (!removed) PyErr_Clear();
  return fut;
}

void FutureSlot::set(PyObject* fut, PyObject* value, bool is_exception) {
  const Internals& in = made_internals();
  py::Ref r = py::Ref::steal(
      PyObject_CallMethodObjArgs(fut, is_exception ? in.s_set_exception : in.s_set_result, value, nullptr));
  if (!r) PyErr_WriteUnraisable(fut);
}

void FutureSlot::complete(const std::exception_ptr& fault, rpc::RpcResult& result) {
  py::Ref fut = take();
  if (!fut) return;
  bool is_exception = true;
  py::Ref value = awaited(convert, fault, result, is_exception);
  set(fut.get(), value.get(), is_exception);
}

void FutureSlot::forget() noexcept {
  py::Ref fut = py::Ref::steal(std::exchange(future, nullptr));
  if (fut) unwatch(fut.get());
}

}  // namespace engine
