#include "engine/waker.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "engine/internals.hpp"
#include "process.hpp"
#include "py/gil.hpp"
#include "py/types.hpp"
#include "ws/runtime.hpp"

namespace engine {

namespace {

// The object behind a weak reference (None once it is gone), as a new reference. Calling the
// reference rather than PyWeakref_GetObject: PyPy keeps an object handed out borrowed alive for as
// long as the weak reference lives, which would make every loop ever seen immortal.
py::Ref referent(PyObject* ref) { return py::Ref::steal(PyObject_CallNoArgs(ref)); }

// A queue left undrained this long may belong to a loop that was closed while its reader was
// still alive (PyPy frees it only at a collection), or whose scheduled drain will never run.
constexpr auto STALE_AFTER = std::chrono::milliseconds(250);

// With the interpreter lock, on the loop's thread: settles everything queued so far.
void drain_queue(LoopRecord& rec) {
  std::vector<Outcome> items;
  {
    std::lock_guard lk(rec.m);
    items.swap(rec.queue);
  }
  for (auto& o : items) settle(o);
}

// The loop no longer watches the record's descriptor (it is closed): later outcomes take the
// drain, and the descriptor goes now rather than when the reader is freed (PyPy frees it only
// at a collection).
void retire(LoopRecord& rec) {
  std::lock_guard lk(rec.m);
  rec.wake = LoopRecord::Wake::Drain;
  if (rec.fd >= 0) ::close(std::exchange(rec.fd, -1));
}

// Retires the records of loops that were closed but are still alive. Runs Python code
// (is_closed), so it works on a copy and never changes the table.
void retire_closed_loops(Internals& in) {
  std::vector<std::shared_ptr<LoopRecord>> watching;
  for (auto& [loop, rec] : in.tables->loops) {
    std::lock_guard lk(rec->m);
    if (rec->fd >= 0) watching.push_back(rec);
  }
  for (auto& rec : watching) {
    py::Ref loop = referent(rec->loop_ref);
    if (!loop || loop.get() == Py_None) continue;
    py::Ref closed = py::Ref::steal(PyObject_CallMethodObjArgs(loop.get(), in.s_is_closed, nullptr));
    const bool is_closed = closed && PyObject_IsTrue(closed.get()) == 1;
    PyErr_Clear();
    if (is_closed) retire(*rec);
  }
}

// With the interpreter lock: asks the loop to drain its queue on its own thread. A loop that
// cannot take it (closed) has its error reported, and what was queued is let go.
void wake_by_drain(const std::shared_ptr<LoopRecord>& rec);

struct Reader {
  PyObject_HEAD
  std::shared_ptr<LoopRecord>* rec;
};

PyObject* reader_call(PyObject* self, PyObject*, PyObject*) {
  LoopRecord& rec = **reinterpret_cast<Reader*>(self)->rec;
  if (!rec.in_this_process()) Py_RETURN_NONE;  // the parent's: see fork.cpp
  // Reset before taking the queue: an outcome queued after the reset wakes the loop again.
  std::uint64_t count;
  if (rec.fd >= 0) (void)!::read(rec.fd, &count, sizeof count);
  drain_queue(rec);
  Py_RETURN_NONE;
}

// The selector lets go of the reader when the loop closes: later outcomes take the drain, which
// reports the closed loop; what is queued now is handed to it.
void reader_dealloc(PyObject* self) {
  if (auto* holder = reinterpret_cast<Reader*>(self)->rec; holder && !(*holder)->in_this_process()) {
    // The parent's record: kept, never freed here (see fork.cpp).
  } else if (holder) {
    std::shared_ptr<LoopRecord> rec = std::move(*holder);
    delete holder;
    bool queued;
    {
      std::lock_guard lk(rec->m);
      rec->wake = LoopRecord::Wake::Drain;
      queued = !rec->queue.empty();
    }
    // Not from inside a dealloc, which may run in the middle of the loop's own close().
    if (queued)
      boost::asio::post(ws::runtime(), [rec] {
        py::WorkerGil gil;
        if (gil.acquired()) wake_by_drain(rec);
      });
  }
  py::free_instance(self);
}

struct Drain {
  PyObject_HEAD
  std::weak_ptr<LoopRecord>* rec;
};

PyObject* drain_call(PyObject* self, PyObject*, PyObject*) {
  if (auto rec = reinterpret_cast<Drain*>(self)->rec->lock()) {
    if (rec->in_this_process()) drain_queue(*rec);
    else new std::shared_ptr<LoopRecord>(std::move(rec));  // the parent's: never freed here
  }
  Py_RETURN_NONE;
}

void drain_dealloc(PyObject* self) {
  delete reinterpret_cast<Drain*>(self)->rec;
  py::free_instance(self);
}

PyTypeObject* reader_type(Internals& in) {
  if (!in.reader_type)
    in.reader_type = py::make_type("py_engine_rust._LoopReader", sizeof(Reader),
                                   {{Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
                                    {Py_tp_call, reinterpret_cast<void*>(reader_call)}});
  return in.reader_type;
}

PyTypeObject* drain_type(Internals& in) {
  if (!in.drain_type)
    in.drain_type = py::make_type("py_engine_rust._LoopDrain", sizeof(Drain),
                                  {{Py_tp_dealloc, reinterpret_cast<void*>(drain_dealloc)},
                                   {Py_tp_call, reinterpret_cast<void*>(drain_call)}});
  return in.drain_type;
}

void wake_by_drain(const std::shared_ptr<LoopRecord>& rec) {
  Internals& in = made_internals();
  std::vector<Outcome> lost;
  if (!rec->drain) {
    PyTypeObject* t = drain_type(in);
    py::Ref d = t ? py::new_instance(t) : py::Ref();
    if (d) {
      reinterpret_cast<Drain*>(d.get())->rec = new std::weak_ptr<LoopRecord>(rec);
      rec->drain = d.release();
    }
  }
  py::Ref loop = referent(rec->loop_ref);
  py::Ref r;
  if (rec->drain && loop && loop.get() != Py_None)
    r = py::Ref::steal(PyObject_CallMethodObjArgs(loop.get(), in.s_call_soon_threadsafe, rec->drain, nullptr));
  if (r) return;
  // The loop is closed (or gone): nothing can settle these futures now.
  // Printed without keeping the error in sys.last_value, whose traceback would keep the loop.
  if (PyErr_Occurred()) PyErr_PrintEx(0);
  {
    std::lock_guard lk(rec->m);
    lost.swap(rec->queue);
  }
  for (auto& o : lost) discard(o);
}

// The stalled-queue check, on a worker: a queue that stays full past STALE_AFTER belongs to a
// closed loop only if the loop says so; a loop that is merely busy or stopped keeps its results.
void check_stale();

void arm_checker() {
  Internals& in = made_internals();
  if (in.tables->checker_armed.load(std::memory_order_relaxed) || in.tables->checker_armed.exchange(true)) return;
  auto t = std::make_shared<boost::asio::steady_timer>(ws::runtime(), STALE_AFTER);
  t->async_wait([t](boost::system::error_code) { check_stale(); });
}

void check_stale() {
  Internals& in = made_internals();
  const auto now = ws::Clock::now();
  std::vector<std::shared_ptr<LoopRecord>> stale;
  bool queued = false;
  {
    std::lock_guard lk(in.tables->records_m);
    std::erase_if(in.tables->records, [](const std::weak_ptr<LoopRecord>& w) { return w.expired(); });
    for (auto& weak : in.tables->records) {
      auto rec = weak.lock();
      if (!rec) continue;
      std::lock_guard rl(rec->m);
      if (rec->queue.empty()) continue;
      queued = true;
      if (now - rec->since >= STALE_AFTER) stale.push_back(std::move(rec));
    }
  }
  if (!stale.empty()) {
    py::WorkerGil gil;
    if (!gil.acquired()) return;  // the interpreter is finalising: nothing to settle any more
    for (auto& rec : stale) {
      py::Ref loop = referent(rec->loop_ref);
      py::Ref closed;
      if (loop && loop.get() != Py_None)
        closed = py::Ref::steal(PyObject_CallMethodObjArgs(loop.get(), in.s_is_closed, nullptr));
      const bool is_closed = !closed || PyObject_IsTrue(closed.get()) == 1;
      PyErr_Clear();
      if (!is_closed) continue;
      retire(*rec);
      wake_by_drain(rec);
    }
  }
  in.tables->checker_armed.store(false);
  if (queued) arm_checker();
}

// The weak-reference callback of every record: the loop is being freed, so its entry goes.
PyObject* loop_gone_call(PyObject*, PyObject* ref) {
  auto& loops = made_internals().tables->loops;
  auto it = std::find_if(loops.begin(), loops.end(), [ref](const auto& e) { return e.second->loop_ref == ref; });
  if (it != loops.end()) {
    // Out of the table before anything is let go of: nothing runs while the table is changing.
    std::shared_ptr<LoopRecord> rec = std::move(it->second);
    loops.erase(it);
  }
  Py_RETURN_NONE;
}

PyMethodDef LOOP_GONE = {"_loop_gone", loop_gone_call, METH_O, nullptr};

// Registers `rec`'s eventfd with the loop; false (the record then uses the drain) when the loop
// cannot watch descriptors.
bool watch_eventfd(Internals& in, PyObject* loop, const std::shared_ptr<LoopRecord>& rec) {
  PyTypeObject* t = reader_type(in);
  if (!t || rec->fd < 0) return false;
  py::Ref reader = py::new_instance(t);
  py::Ref fdobj = py::Ref::steal(PyLong_FromLong(rec->fd));
  if (!reader || !fdobj) return false;
  reinterpret_cast<Reader*>(reader.get())->rec = new std::shared_ptr<LoopRecord>(rec);
  {
    std::lock_guard lk(rec->m);
    rec->wake = LoopRecord::Wake::Reader;
  }
  py::Ref added = py::Ref::steal(PyObject_CallMethodObjArgs(loop, in.s_add_reader, fdobj.get(), reader.get(), nullptr));
  if (added) return true;
  std::lock_guard lk(rec->m);
  rec->wake = LoopRecord::Wake::Drain;
  return false;
}

}  // namespace

LoopRecord::~LoopRecord() {
  if (fd >= 0) ::close(fd);
  py::release_later(loop_ref);
  py::release_later(create_future);
  py::release_later(drain);
}

std::shared_ptr<LoopRecord> record_for(PyObject* loop) {
  Internals& in = made_internals();
  if (auto it = in.tables->loops.find(loop); it != in.tables->loops.end() && referent(it->second->loop_ref).get() == loop)
    return it->second;
  if (!in.loop_gone && !(in.loop_gone = PyCFunction_New(&LOOP_GONE, nullptr))) return nullptr;
  retire_closed_loops(in);

  // Every Python call first; the table is touched once, at the end, so that another thread that
  // runs meanwhile (the calls may let it) never sees it half changed.
  auto rec = std::make_shared<LoopRecord>();
  rec->loop_ref = PyWeakref_NewRef(loop, in.loop_gone);
  if (!rec->loop_ref) return nullptr;
  rec->create_future = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(loop)), in.s_create_future);
  if (!rec->create_future) return nullptr;
  rec->fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (!watch_eventfd(in, loop, rec)) PyErr_Clear();  // completed through call_soon_threadsafe
  {
    std::lock_guard lk(in.tables->records_m);
    in.tables->records.push_back(rec);
  }
  // An entry still here is one left by a dead loop at the same address: replaced, and let go of
  // once the table is consistent.
  std::shared_ptr<LoopRecord> old = std::exchange(in.tables->loops[loop], rec);
  return rec;
}

void deliver(Outcome&& o) {
  auto rec = o.p->record;
  std::unique_lock lk(rec->m);
  const bool first = rec->queue.empty();
  if (first) rec->since = ws::Clock::now();
  rec->queue.push_back(std::move(o));
  if (!first) return;  // a wake-up is already on its way
  if (rec->wake == LoopRecord::Wake::Reader) {
    // Under the record's lock: a retired record's descriptor is closed under it too.
    const std::uint64_t one = 1;
    (void)!::write(rec->fd, &one, sizeof one);
    lk.unlock();
  } else {
    lk.unlock();
    // A plain handler, outside any coroutine frame.
    boost::asio::post(ws::runtime(), [rec] {
      py::WorkerGil gil;
      if (gil.acquired()) wake_by_drain(rec);
    });
  }
  arm_checker();
}

}  // namespace engine
