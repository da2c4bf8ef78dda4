#include "engine/future.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "engine/internals.hpp"
#include "engine/waker.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "py/types.hpp"
#include "ws/runtime.hpp"

namespace engine {

namespace {

// True, false, or -1 with a Python error set.
int is_cancelled(PyObject* fut) {
  py::Ref r = py::Ref::steal(PyObject_CallMethodObjArgs(fut, made_internals().s_cancelled, nullptr));
  if (!r) return -1;
  return PyObject_IsTrue(r.get());
}

// Forgets `fut`; its operation if it was still watched.
std::shared_ptr<Pending> unwatch(PyObject* fut) {
  auto& m = made_internals().tables->watched;
  auto it = m.find(fut);
  if (it == m.end()) return nullptr;
  auto p = it->second.lock();
  m.erase(it);
  return p;
}

// The done-callback of every future: a cancelled future cancels its operation on the
// operation's strand. Futures settled with a result were forgotten already; what is left was
// cancelled (or completed by someone else, which is checked).
PyObject* cancel_hook_call(PyObject*, PyObject* args, PyObject*) {
  PyObject* fut = PyTuple_Size(args) == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  if (!fut) Py_RETURN_NONE;
  auto p = unwatch(fut);
  if (!p) Py_RETURN_NONE;
  const int cancelled = is_cancelled(fut);
  if (cancelled < 0) return nullptr;
  if (cancelled) {
    p->abandoned->store(true);
    asio::post(p->strand, [p] { p->cancel.emit(asio::cancellation_type::terminal); });
  }
  Py_RETURN_NONE;
}

PyObject* cancel_hook(Internals& in) {
  if (in.cancel_hook) return in.cancel_hook;
  PyTypeObject* t = py::make_type("py_engine_rust._CancelHook", sizeof(PyObject),
                                  {{Py_tp_dealloc, reinterpret_cast<void*>(py::free_instance)},
                                   {Py_tp_call, reinterpret_cast<void*>(cancel_hook_call)}});
  if (t) in.cancel_hook = py::new_instance(t).release();
  return in.cancel_hook;
}

std::string fault_text(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return x.what();
  } catch (...) {
    return "unknown fault";
  }
}

// The awaited value, or the exception to fail the future with (`is_exception`).
py::Ref awaited(Convert convert, const std::exception_ptr& fault, ws::RpcResult& result, bool& is_exception) {
  py::Ref value;
  is_exception = true;
  if (fault) {
    value = py::panic_exception(fault_text(fault));
  } else if (auto* err = std::get_if<ws::EngineError>(&result)) {
    value = py::exception_for(*err);
  } else if ((value = convert(std::get<codec::Bytes>(result)))) {
    is_exception = false;
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

std::shared_ptr<Pending> prepare_pending(Convert convert, std::optional<ws::Strand>* strand) {
  Internals* in = internals();
  PyObject* hook = in ? cancel_hook(*in) : nullptr;
  if (!hook) return nullptr;
  py::release_deferred();
  py::Ref loop = py::Ref::steal(PyObject_CallNoArgs(in->get_running_loop));
  if (!loop) return nullptr;
  auto record = record_for(loop.get());
  if (!record) return nullptr;
  py::Ref fut = py::Ref::steal(PyObject_CallOneArg(record->create_future, loop.get()));
  if (!fut) return nullptr;

  if (strand && !*strand) strand->emplace(asio::make_strand(ws::runtime()));
  auto p = std::make_shared<Pending>(strand ? **strand : asio::make_strand(ws::runtime()), convert, std::move(record));
  in->tables->watched[fut.get()] = p;
  py::Ref added = py::Ref::steal(PyObject_CallMethodObjArgs(fut.get(), in->s_add_done_callback, hook, nullptr));
  if (!added) {
    unwatch(fut.get());
    return nullptr;
  }
  p->future = fut.release();
  return p;
}

PyObject* failed_future(const ws::EngineError& e) {
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

void settle(Outcome& o) {
  py::Ref fut = py::Ref::steal(std::exchange(o.p->future, nullptr));
  if (!fut) return;
  unwatch(fut.get());  // the operation has ended: nothing left to cancel
  const int cancelled = is_cancelled(fut.get());
  if (cancelled < 0) PyErr_WriteUnraisable(fut.get());
  if (cancelled != 0) return;
  bool is_exception = true;
  py::Ref value = awaited(o.p->convert, o.fault, o.result, is_exception);
  const Internals& in = made_internals();
  py::Ref r = py::Ref::steal(PyObject_CallMethodObjArgs(
      fut.get(), is_exception ? in.s_set_exception : in.s_set_result, value.get(), nullptr));
  if (!r) PyErr_WriteUnraisable(fut.get());
}

void discard(Outcome& o) {
  py::Ref fut = py::Ref::steal(std::exchange(o.p->future, nullptr));
  if (fut) unwatch(fut.get());
}

}  // namespace engine
