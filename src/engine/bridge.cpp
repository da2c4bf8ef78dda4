#include "engine/bridge.hpp"

#include <cmath>
#include <exception>
#include <unordered_map>
#include <vector>

#include <boost/asio/post.hpp>

#include "py/args.hpp"
#include "py/errors.hpp"

namespace engine {

namespace {

struct Names {
  PyObject* get_running_loop;
  PyObject* copy_context;
  PyObject* create_future;
  PyObject* add_done_callback;
  PyObject* call_soon_threadsafe;
  PyObject* cancelled;
  PyObject* set_result;
  PyObject* set_exception;
  PyObject* context_kw;  // ("context",)
};

const Names* names() {
  static Names* n = [] () -> Names* {
    py::Ref asyncio = py::Ref::steal(PyImport_ImportModule("asyncio"));
    py::Ref contextvars = py::Ref::steal(PyImport_ImportModule("contextvars"));
    if (!asyncio || !contextvars) return nullptr;
    auto* r = new Names{};
    r->get_running_loop = PyObject_GetAttrString(asyncio.get(), "get_running_loop");
    r->copy_context = PyObject_GetAttrString(contextvars.get(), "copy_context");
    r->create_future = PyUnicode_InternFromString("create_future");
    r->add_done_callback = PyUnicode_InternFromString("add_done_callback");
    r->call_soon_threadsafe = PyUnicode_InternFromString("call_soon_threadsafe");
    r->cancelled = PyUnicode_InternFromString("cancelled");
    r->set_result = PyUnicode_InternFromString("set_result");
    r->set_exception = PyUnicode_InternFromString("set_exception");
    r->context_kw = Py_BuildValue("(s)", "context");
    if (!r->get_running_loop || !r->copy_context || !r->context_kw) return nullptr;
    return r;
  }();
  return n;
}

// True, false, or -1 with a Python error set.
int is_cancelled(PyObject* fut) {
  py::Ref r = py::Ref::steal(PyObject_CallMethodObjArgs(fut, names()->cancelled, nullptr));
  if (!r) return -1;
  return PyObject_IsTrue(r.get());
}

// Completions waiting for one loop, set on the loop's own thread in the order they arrived. One
// scheduled call serves every completion that arrives before it runs, so a burst of results costs
// the loop one wake-up instead of one each.
struct Outcome {
  PyObject* future;
  PyObject* value;
  bool is_exception;
};

struct Completer {
  PyObject_HEAD
  PyObject* loop;
  std::vector<Outcome>* outcomes;
};

// Loop -> its completer that is scheduled but has not run yet (a strong reference). Only touched
// with the interpreter lock held.
std::unordered_map<PyObject*, PyObject*>& open_batches() {
  static auto* m = new std::unordered_map<PyObject*, PyObject*>();
  return *m;
}

void close_batch(PyObject* completer) {
  auto* c = reinterpret_cast<Completer*>(completer);
  auto& batches = open_batches();
  auto it = batches.find(c->loop);
  if (it != batches.end() && it->second == completer) {
    batches.erase(it);
    Py_DECREF(completer);
  }
}

void release(std::vector<Outcome>& outcomes) {
  for (auto& o : outcomes) {
    Py_XDECREF(o.future);
    Py_XDECREF(o.value);
  }
  outcomes.clear();
}

PyObject* completer_call(PyObject* self, PyObject*, PyObject*) {
  auto* c = reinterpret_cast<Completer*>(self);
  py::Ref keep = py::Ref::borrow(self);
  close_batch(self);  // later completions start a new batch
  std::vector<Outcome> outcomes;
  outcomes.swap(*c->outcomes);
  for (auto& o : outcomes) {
    const int cancelled = is_cancelled(o.future);
    py::Ref r;
    if (cancelled == 0)
      r = py::Ref::steal(PyObject_CallMethodObjArgs(
          o.future, o.is_exception ? names()->set_exception : names()->set_result, o.value, nullptr));
    if (cancelled < 0 || (cancelled == 0 && !r)) PyErr_WriteUnraisable(o.future);
  }
  release(outcomes);
  Py_RETURN_NONE;
}

void completer_dealloc(PyObject* self) {
  auto* c = reinterpret_cast<Completer*>(self);
  if (c->outcomes) {
    release(*c->outcomes);
    delete c->outcomes;
  }
  Py_XDECREF(c->loop);
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// The future's done-callback: a cancelled future cancels the operation on its own strand.
struct CancelHook {
  PyObject_HEAD
  std::weak_ptr<Pending>* pending;
};

PyObject* cancel_hook_call(PyObject* self, PyObject* args, PyObject*) {
  auto* h = reinterpret_cast<CancelHook*>(self);
  PyObject* fut = PyTuple_Size(args) == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  if (!fut) Py_RETURN_NONE;
  const int cancelled = is_cancelled(fut);
  if (cancelled < 0) return nullptr;
  if (cancelled) {
    if (auto p = h->pending->lock())
      asio::post(p->strand, [p] { p->cancel.emit(asio::cancellation_type::terminal); });
  }
  Py_RETURN_NONE;
}

void cancel_hook_dealloc(PyObject* self) {
  auto* h = reinterpret_cast<CancelHook*>(self);
  delete h->pending;
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyTypeObject* make_type(const char* name, int size, void (*dealloc)(PyObject*), ternaryfunc call) {
  PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
                         {Py_tp_call, reinterpret_cast<void*>(call)},
                         {0, nullptr}};
  PyType_Spec spec = {name, size, 0, Py_TPFLAGS_DEFAULT, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyTypeObject* completer_type() {
  static PyTypeObject* t = make_type("py_engine_rust._Completer", sizeof(Completer), completer_dealloc, completer_call);
  return t;
}

PyTypeObject* cancel_hook_type() {
  static PyTypeObject* t =
      make_type("py_engine_rust._CancelHook", sizeof(CancelHook), cancel_hook_dealloc, cancel_hook_call);
  return t;
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

}  // namespace

py::Ref convert_none(codec::Bytes&, std::optional<ws::EngineError>&) { return py::Ref::borrow(Py_None); }

std::shared_ptr<Pending> prepare_pending(Convert convert) {
  const Names* n = names();
  PyTypeObject* ctype = completer_type();
  PyTypeObject* htype = cancel_hook_type();
  if (!n || !ctype || !htype) return nullptr;
  py::Ref loop = py::Ref::steal(PyObject_CallNoArgs(n->get_running_loop));
  if (!loop) return nullptr;
  py::Ref ctx = py::Ref::steal(PyObject_CallNoArgs(n->copy_context));
  if (!ctx) return nullptr;
  py::Ref fut = py::Ref::steal(PyObject_CallMethodObjArgs(loop.get(), n->create_future, nullptr));
  if (!fut) return nullptr;

  auto p = std::make_shared<Pending>();
  py::Ref hook = py::Ref::steal(htype->tp_alloc(htype, 0));
  if (!hook) return nullptr;
  reinterpret_cast<CancelHook*>(hook.get())->pending = new std::weak_ptr<Pending>(p);
  py::Ref added = py::Ref::steal(PyObject_CallMethodObjArgs(fut.get(), n->add_done_callback, hook.get(), nullptr));
  if (!added) return nullptr;

  p->convert = convert;
  p->loop = loop.release();
  p->context = ctx.release();
  p->future = fut.release();
  return p;
}

void Pending::complete(std::exception_ptr fault, ws::RpcResult&& result) {
  py::Gil gil;
  py::SavedError outer;  // this thread may be inside Python code of its own; keep its error state
  py::Ref fut = py::Ref::steal(std::exchange(future, nullptr));
  py::Ref lp = py::Ref::steal(std::exchange(loop, nullptr));
  py::Ref ctx = py::Ref::steal(std::exchange(context, nullptr));
  if (!fut) return;

  const int cancelled = is_cancelled(fut.get());
  if (cancelled != 0) {
    PyErr_Clear();
    outer.restore();
    return;
  }
  py::Ref value;
  bool is_exception = true;
  if (fault) {
    value = py::panic_exception(fault_text(fault));
  } else if (auto* err = std::get_if<ws::EngineError>(&result)) {
    value = py::exception_for(*err);
  } else {
    std::optional<ws::EngineError> conv_err;
    value = convert(std::get<codec::Bytes>(result), conv_err);
    if (conv_err) {
      value = py::exception_for(*conv_err);
    } else if (value) {
      is_exception = false;
    }
  }
  if (!value) {
    // Building the outcome itself failed (memory, NumPy): that Python error is the outcome.
    value = py::take_exception();
    if (!value) value = py::panic_exception("outcome could not be built");
  }

  auto& batches = open_batches();
  if (auto it = batches.find(lp.get()); it != batches.end()) {
    reinterpret_cast<Completer*>(it->second)->outcomes->push_back({fut.release(), value.release(), is_exception});
    outer.restore();
    return;
  }
  PyTypeObject* ctype = completer_type();
  py::Ref completer = py::Ref::steal(ctype->tp_alloc(ctype, 0));
  if (completer) {
    auto* c = reinterpret_cast<Completer*>(completer.get());
    c->loop = py::Ref(lp).release();
    c->outcomes = new std::vector<Outcome>{{fut.release(), value.release(), is_exception}};
    batches.emplace(lp.get(), py::Ref(completer).release());
    py::Ref meth = py::Ref::steal(PyObject_GetAttr(lp.get(), names()->call_soon_threadsafe));
    if (meth) {
      PyObject* args[] = {completer.get(), ctx.get()};
      // Wakes the loop through its self-pipe, which releases the interpreter lock for a moment.
      py::Ref r = py::Ref::steal(
          py::releasing_call([&] { return PyObject_Vectorcall(meth.get(), args, 1, names()->context_kw); }));
      if (r) {
        outer.restore();
        return;
      }
    }
    close_batch(completer.get());
  }
  // The loop is gone (closed) or scheduling failed: nothing can complete the future now.
  py::releasing_call([] { PyErr_Print(); });
  outer.restore();
}

bool to_timeout(double secs, ws::Timeout& out) {
  if (std::isnan(secs) || std::isinf(secs) || secs >= 18446744073709551616.0) {
    if (!(secs < 0)) {
      PyErr_SetString(PyExc_ValueError, "cannot convert float seconds to Duration: value is either too big or NaN");
      return false;
    }
  }
  if (secs < 0) {
    PyErr_SetString(PyExc_ValueError, "cannot convert float seconds to Duration: value is negative");
    return false;
  }
  const long double whole = std::floor(static_cast<long double>(secs));
  long double nanos = std::nearbyint((static_cast<long double>(secs) - whole) * 1e9L);
  long double s = whole;
  if (nanos >= 1e9L) {
    s += 1;
    nanos -= 1e9L;
  }
  if (s >= 18446744073709551616.0L) {
    PyErr_SetString(PyExc_ValueError, "cannot convert float seconds to Duration: value is either too big or NaN");
    return false;
  }
  out.secs = static_cast<std::uint64_t>(s);
  out.nanos = static_cast<std::uint32_t>(nanos);
  return true;
}

bool read_timeout_secs(PyObject* arg, double fallback, double& secs) {
  if (!arg || arg == Py_None) {
    secs = fallback;
    return true;
  }
  return py::to_double(arg, "timeout_secs", secs);
}

}  // namespace engine
