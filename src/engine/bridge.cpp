#include "engine/bridge.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

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
  PyObject* add_reader;
  PyObject* is_closed;
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
    r->add_reader = PyUnicode_InternFromString("add_reader");
    r->is_closed = PyUnicode_InternFromString("is_closed");
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

// The futures' done-callback, one object for all: a cancelled future cancels its operation on
// the operation's strand. Future -> its operation, for futures not yet done; interpreter lock only.
std::unordered_map<PyObject*, std::weak_ptr<Pending>>& watched() {
  static auto* m = new std::unordered_map<PyObject*, std::weak_ptr<Pending>>();
  return *m;
}

// Forgets `fut`; its operation if it was still watched.
std::shared_ptr<Pending> unwatch(PyObject* fut) {
  auto& m = watched();
  auto it = m.find(fut);
  if (it == m.end()) return nullptr;
  auto p = it->second.lock();
  m.erase(it);
  return p;
}

PyObject* cancel_hook_call(PyObject*, PyObject* args, PyObject*) {
  PyObject* fut = PyTuple_Size(args) == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  if (!fut) Py_RETURN_NONE;
  // Futures completed with a result were forgotten already; what is left was cancelled (or
  // completed by someone else, which is checked).
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

void cancel_hook_dealloc(PyObject* self) {
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

// The one done-callback object (a strong reference kept for good).
PyObject* cancel_hook() {
  static PyObject* hook = []() -> PyObject* {
    PyTypeObject* t = make_type("py_engine_rust._CancelHook", sizeof(PyObject), cancel_hook_dealloc, cancel_hook_call);
    return t ? t->tp_alloc(t, 0) : nullptr;
  }();
  return hook;
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

// The awaited value or the exception for an ended operation; with the interpreter lock held.
struct Built {
  py::Ref value;
  bool is_exception = true;
};

Built build_outcome(Convert convert, std::exception_ptr fault, ws::RpcResult& result) {
  Built o;
  if (fault) {
    o.value = py::panic_exception(fault_text(fault));
  } else if (auto* err = std::get_if<ws::EngineError>(&result)) {
    o.value = py::exception_for(*err);
  } else {
    std::optional<ws::EngineError> conv_err;
    o.value = convert(std::get<codec::Bytes>(result), conv_err);
    if (conv_err) {
      o.value = py::exception_for(*conv_err);
    } else if (o.value) {
      o.is_exception = false;
    }
  }
  if (!o.value) {
    // Building the outcome itself failed (memory, NumPy): that Python error is the outcome.
    o.value = py::take_exception();
    if (!o.value) o.value = py::panic_exception("outcome could not be built");
  }
  return o;
}

// -- Waking the loop without the interpreter lock ------------------------------------------------
// Each loop gets an eventfd that it watches with add_reader. A worker queues the ended operation
// and writes the eventfd when the queue was empty; the loop thread then builds the values and
// completes the futures itself. The worker never waits for the interpreter lock, and the loop
// wakes once, outside that lock, however many results arrive before it runs.

constexpr auto STALE_AFTER = std::chrono::milliseconds(250);

struct Finished {
  std::shared_ptr<Pending> p;
  std::exception_ptr fault;
  ws::RpcResult result;
};

void complete_all(std::vector<Finished>& items) {
  for (auto& f : items) f.p->complete(f.fault, std::move(f.result));
  items.clear();
}

}  // namespace

struct LoopWaker {
  explicit LoopWaker(int fd) : fd(fd) {}
  ~LoopWaker() { ::close(fd); }
  LoopWaker(const LoopWaker&) = delete;
  LoopWaker& operator=(const LoopWaker&) = delete;

  const int fd;
  std::mutex m;
  std::vector<Finished> queue;      // guarded by m
  bool closed = false;              // guarded by m: the loop no longer watches fd
  ws::Clock::time_point since;      // guarded by m: when the queue last became non-empty
};

namespace {

// The loop no longer watches the waker: later results take the fallback, and queued ones are
// handed to it on a worker, which reports the closed loop.
void close_waker(LoopWaker& w) {
  std::vector<Finished> orphaned;
  {
    std::lock_guard lk(w.m);
    w.closed = true;
    orphaned.swap(w.queue);
  }
  if (!orphaned.empty())
    asio::post(ws::runtime(), [items = std::move(orphaned)]() mutable { complete_all(items); });
}

// Every waker, for the stale-queue check, which runs without the interpreter lock.
std::mutex& all_wakers_mutex() {
  static auto* m = new std::mutex();
  return *m;
}
std::vector<std::weak_ptr<LoopWaker>>& all_wakers() {
  static auto* v = new std::vector<std::weak_ptr<LoopWaker>>();
  return *v;
}

// Loop -> its waker (null: the loop cannot watch descriptors) and a weak reference that tells a
// live entry from one left by a dead loop at a reused address. Interpreter lock only.
struct LoopEntry {
  std::shared_ptr<LoopWaker> waker;
  PyObject* loop_ref;       // owned weak reference to the loop
  PyObject* create_future;  // owned: the loop's bound create_future
};

void release(LoopEntry& e) {
  Py_DECREF(e.loop_ref);
  Py_XDECREF(e.create_future);
}
std::unordered_map<PyObject*, LoopEntry>& loop_wakers() {
  static auto* m = new std::unordered_map<PyObject*, LoopEntry>();
  return *m;
}

// The object registered with add_reader. The selector drops it when the loop closes, which is
// how a closed loop is noticed at once on CPython.
struct Reader {
  PyObject_HEAD
  std::shared_ptr<LoopWaker>* waker;
};

void deliver(Finished& f) {
  Pending& p = *f.p;
  py::Ref fut = py::Ref::steal(std::exchange(p.future, nullptr));
  py::Ref lp = py::Ref::steal(std::exchange(p.loop, nullptr));
  py::Ref ctx = py::Ref::steal(std::exchange(p.context, nullptr));
  if (!fut) return;
  unwatch(fut.get());
  const int cancelled = is_cancelled(fut.get());
  if (cancelled < 0) PyErr_WriteUnraisable(fut.get());
  if (cancelled != 0) return;
  auto [value, is_exception] = build_outcome(p.convert, f.fault, f.result);
  py::Ref r = py::Ref::steal(PyObject_CallMethodObjArgs(
      fut.get(), is_exception ? names()->set_exception : names()->set_result, value.get(), nullptr));
  if (!r) PyErr_WriteUnraisable(fut.get());
}

PyObject* reader_call(PyObject* self, PyObject*, PyObject*) {
  LoopWaker& w = **reinterpret_cast<Reader*>(self)->waker;
  // Reset before taking the queue: a result queued after the reset wakes the loop again.
  std::uint64_t count;
  (void)!::read(w.fd, &count, sizeof count);
  std::vector<Finished> items;
  {
    std::lock_guard lk(w.m);
    items.swap(w.queue);
  }
  for (auto& f : items) deliver(f);
  Py_RETURN_NONE;
}

void reader_dealloc(PyObject* self) {
  auto* r = reinterpret_cast<Reader*>(self);
  if (r->waker) {
    close_waker(**r->waker);
    delete r->waker;
  }
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyTypeObject* reader_type() {
  static PyTypeObject* t = make_type("py_engine_rust._LoopReader", sizeof(Reader), reader_dealloc, reader_call);
  return t;
}

// True when the loop behind `loop_ref` (a weak reference) is dead or closed. Runs Python code.
bool loop_gone(PyObject* loop_ref) {
  py::Ref loop = py::Ref::borrow(PyWeakref_GetObject(loop_ref));
  if (!loop || loop.get() == Py_None) return true;
  py::Ref r = py::Ref::steal(PyObject_CallMethodObjArgs(loop.get(), names()->is_closed, nullptr));
  const bool closed = r && PyObject_IsTrue(r.get()) == 1;
  PyErr_Clear();
  return closed;
}

// Entries of dead or closed loops are dropped when a loop is added; the eventfd goes with the last
// reference to its waker (the reader object, on PyPy only at a collection).
void sweep_loop_wakers() {
  // is_closed() is Python code, during which another thread may change the map: look first,
  // then erase by key.
  std::vector<std::pair<PyObject*, py::Ref>> entries;
  for (auto& [key, e] : loop_wakers()) entries.emplace_back(key, py::Ref::borrow(e.loop_ref));
  for (auto& [key, ref] : entries) {
    const bool dead = loop_gone(ref.get());
    auto& m = loop_wakers();
    auto it = m.find(key);
    if (!dead || it == m.end() || it->second.loop_ref != ref.get()) continue;
    if (it->second.waker) close_waker(*it->second.waker);
    release(it->second);
    m.erase(it);
  }
}

const LoopEntry* register_loop(PyObject* loop) {
  PyObject* ref = PyWeakref_NewRef(loop, nullptr);
  if (!ref) return nullptr;
  PyObject* create = PyObject_GetAttr(loop, names()->create_future);
  if (!create) {
    Py_DECREF(ref);
    return nullptr;
  }
  sweep_loop_wakers();
  std::shared_ptr<LoopWaker> waker;
  if (const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); fd >= 0) {
    waker = std::make_shared<LoopWaker>(fd);
    PyTypeObject* rtype = reader_type();
    py::Ref reader = py::Ref::steal(rtype ? rtype->tp_alloc(rtype, 0) : nullptr);
    py::Ref fdobj = py::Ref::steal(PyLong_FromLong(fd));
    py::Ref added;
    if (reader && fdobj) {
      reinterpret_cast<Reader*>(reader.get())->waker = new std::shared_ptr<LoopWaker>(waker);
      added = py::Ref::steal(PyObject_CallMethodObjArgs(loop, names()->add_reader, fdobj.get(), reader.get(), nullptr));
    }
    if (!added) {
      // A loop that cannot watch descriptors is completed through call_soon_threadsafe.
      PyErr_Clear();
      if (reader) {
        std::lock_guard lk(waker->m);
        waker->closed = true;
      }
      waker.reset();
    }
  }
  auto& m = loop_wakers();
  if (auto it = m.find(loop); it != m.end()) {
    // Left by a dead loop at the same address.
    if (it->second.waker) close_waker(*it->second.waker);
    release(it->second);
    m.erase(it);
  }
  if (waker) {
    std::lock_guard lk(all_wakers_mutex());
    all_wakers().push_back(waker);
  }
  return &m.emplace(loop, LoopEntry{std::move(waker), ref, create}).first->second;
}

// What an operation needs of its loop: the waker (null: complete through call_soon_threadsafe) and
// the bound create_future. Null with a Python error set on failure.
struct LoopParts {
  std::shared_ptr<LoopWaker> waker;
  py::Ref create_future;
};

bool loop_parts(PyObject* loop, LoopParts& out) {
  auto& m = loop_wakers();
  const LoopEntry* e = nullptr;
  if (auto it = m.find(loop); it != m.end() && PyWeakref_GetObject(it->second.loop_ref) == loop)
    e = &it->second;
  else
    e = register_loop(loop);
  if (!e) return false;
  // Copied out: Python code run later in this call may let another thread change the map.
  out.waker = e->waker;
  out.create_future = py::Ref::borrow(e->create_future);
  return true;
}

// A queue that stays undrained may belong to a loop that was closed while its reader was still
// alive (PyPy frees it only at a collection). Those results take the fallback, which reports the
// closed loop as before; results for a loop that is merely busy or stopped stay queued.
std::atomic<bool> checker_armed{false};

void check_stale();

void arm_checker() {
  if (checker_armed.load(std::memory_order_relaxed) || checker_armed.exchange(true)) return;
  auto t = std::make_shared<asio::steady_timer>(ws::runtime(), STALE_AFTER);
  t->async_wait([t](boost::system::error_code) { check_stale(); });
}

// 0: every queue empty, 1: some queued, 2: some queued for longer than STALE_AFTER.
int queue_state(ws::Clock::time_point now) {
  int state = 0;
  std::lock_guard lk(all_wakers_mutex());
  auto& v = all_wakers();
  std::erase_if(v, [](const std::weak_ptr<LoopWaker>& w) { return w.expired(); });
  for (auto& weak : v) {
    auto w = weak.lock();
    if (!w) continue;
    std::lock_guard wl(w->m);
    if (w->queue.empty()) continue;
    state = std::max(state, now - w->since >= STALE_AFTER ? 2 : 1);
  }
  return state;
}

void flush_closed_loops(ws::Clock::time_point now) {
  py::Gil gil;
  std::vector<std::pair<std::shared_ptr<LoopWaker>, py::Ref>> suspects;
  for (auto& [key, e] : loop_wakers()) {
    if (!e.waker) continue;
    std::lock_guard lk(e.waker->m);
    if (!e.waker->queue.empty() && now - e.waker->since >= STALE_AFTER)
      suspects.emplace_back(e.waker, py::Ref::borrow(e.loop_ref));
  }
  for (auto& [w, ref] : suspects)
    if (loop_gone(ref.get())) close_waker(*w);
}

void check_stale() {
  const auto now = ws::Clock::now();
  if (queue_state(now) == 2) flush_closed_loops(now);
  checker_armed.store(false);
  if (queue_state(ws::Clock::now()) != 0) arm_checker();
}

}  // namespace

py::Ref convert_none(codec::Bytes&, std::optional<ws::EngineError>&) { return py::Ref::borrow(Py_None); }

std::shared_ptr<Pending> prepare_pending(Convert convert, std::optional<ws::Strand>* strand) {
  const Names* n = names();
  PyObject* hook = cancel_hook();
  if (!n || !hook) return nullptr;
  py::Ref loop = py::Ref::steal(PyObject_CallNoArgs(n->get_running_loop));
  if (!loop) return nullptr;
  LoopParts parts;
  if (!loop_parts(loop.get(), parts)) return nullptr;
  // The copy of the context is what call_soon_threadsafe runs the completion in; a loop woken
  // through its waker needs none (no code of the caller's runs in the completion).
  py::Ref ctx;
  if (!parts.waker) {
    ctx = py::Ref::steal(PyObject_CallNoArgs(n->copy_context));
    if (!ctx) return nullptr;
  }
  py::Ref fut = py::Ref::steal(PyObject_CallNoArgs(parts.create_future.get()));
  if (!fut) return nullptr;

  if (strand && !*strand) strand->emplace(asio::make_strand(ws::runtime()));
  auto p = std::make_shared<Pending>(strand ? **strand : asio::make_strand(ws::runtime()));
  watched()[fut.get()] = p;
  py::Ref added = py::Ref::steal(PyObject_CallMethodObjArgs(fut.get(), n->add_done_callback, hook, nullptr));
  if (!added) {
    unwatch(fut.get());
    return nullptr;
  }
  p->waker = std::move(parts.waker);
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
  unwatch(fut.get());  // the operation has ended: nothing left to cancel

  const int cancelled = is_cancelled(fut.get());
  if (cancelled != 0) {
    PyErr_Clear();
    outer.restore();
    return;
  }
  auto [value, is_exception] = build_outcome(convert, fault, result);

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
      // No copy was taken for a loop with a waker that has closed since: its current context then.
      PyObject* args[] = {completer.get(), ctx ? ctx.get() : Py_None};
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

void finish(std::shared_ptr<Pending> p, std::exception_ptr fault, ws::RpcResult&& result) {
  if (auto w = p->waker) {
    std::unique_lock lk(w->m);
    if (!w->closed) {
      const bool was_empty = w->queue.empty();
      if (was_empty) w->since = ws::Clock::now();
      w->queue.push_back({std::move(p), fault, std::move(result)});
      lk.unlock();
      if (was_empty) {
        const std::uint64_t one = 1;
        (void)!::write(w->fd, &one, sizeof one);
        arm_checker();
      }
      return;
    }
  }
  // Plain handler on the strand, outside any coroutine frame: if the interpreter ends this thread
  // during finalisation, the unwinding must not meet a frame that swallows it.
  auto ex = p->strand;
  asio::post(ex, [p = std::move(p), fault, r = std::move(result)]() mutable { p->complete(fault, std::move(r)); });
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
