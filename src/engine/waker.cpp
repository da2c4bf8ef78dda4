#include "engine/waker.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include <boost/asio/post.hpp>

#include "engine/internals.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "py/types.hpp"
#include "runtime/runtime.hpp"

namespace engine {

py::Ref referent(PyObject* ref) {
  // Calling the reference rather than PyWeakref_GetObject: PyPy keeps an object handed out
  // borrowed alive for as long as the weak reference lives, which would make every loop ever seen
  // immortal.
  return py::Ref::steal(PyObject_CallNoArgs(ref));
}

namespace {

// With the interpreter lock, on the loop's thread: settles everything queued so far.
void drain_queue(LoopRecord& rec) {
  std::vector<Outcome> items;
  {
    std::lock_guard lk(rec.m);
    items.swap(rec.queue);
  }
  for (auto& o : items) settle(o);
}

// The loop takes nothing any more. Its descriptor goes now rather than when the reader is
// freed (PyPy frees it only at a collection).
void mark_closed(LoopRecord& rec) {
  rec.closed.store(true);
  std::lock_guard lk(rec.m);
  if (rec.fd >= 0) ::close(std::exchange(rec.fd, -1));
}

// One drain, scheduled once with call_soon_threadsafe. A loop that drops it without running it
// (it was closed meanwhile) has it freed unrun: what is queued then is reported and dropped.
struct Drain {
  PyObject_HEAD
  std::weak_ptr<LoopRecord>* rec;
  bool done;  // ran, or handled without being scheduled
};

void closed_now(const std::shared_ptr<LoopRecord>& rec);

PyObject* drain_call(PyObject* self, PyObject*, PyObject*) {
  auto* d = reinterpret_cast<Drain*>(self);
  d->done = true;
  if (auto rec = d->rec->lock()) {
    if (!rec->in_this_process()) {
      new std::shared_ptr<LoopRecord>(std::move(rec));  // the parent's: never freed here
      Py_RETURN_NONE;
    }
    return py::guarded([&] {
      drain_queue(*rec);
      Py_RETURN_NONE;
    });
  }
  Py_RETURN_NONE;
}

void drain_dealloc(PyObject* self) {
  auto* d = reinterpret_cast<Drain*>(self);
  if (auto rec = d->rec->lock(); rec && !d->done) {
    if (rec->in_this_process()) {
      py::in_dealloc(self, [&] { closed_now(rec); });
    } else {
      new std::shared_ptr<LoopRecord>(std::move(rec));
    }
  }
  delete d->rec;
  py::free_instance(self);
}

PyTypeObject* drain_type(Internals& in) {
  return py::callable_type(in.drain_type, "py_engine_rust._LoopDrain", sizeof(Drain), drain_dealloc, drain_call);
}

// With the interpreter lock: asks the loop to drain its queue on its own thread. A loop that
// cannot take it (closed) has the error reported, and what was queued is dropped.
void wake_by_drain(const std::shared_ptr<LoopRecord>& rec) {
  Internals& in = made_internals();
  PyTypeObject* t = drain_type(in);
  py::Ref drain = t ? py::new_instance(t) : py::Ref();
  if (drain) {
    reinterpret_cast<Drain*>(drain.get())->rec = new std::weak_ptr<LoopRecord>(rec);
    reinterpret_cast<Drain*>(drain.get())->done = false;
  }
  py::Ref loop = referent(rec->loop_ref);
  py::Ref r;
  if (drain && loop && loop.get() != Py_None)
    r = py::Ref::steal(PyObject_CallMethodObjArgs(loop.get(), in.s_call_soon_threadsafe, drain.get(), nullptr));
  if (r) return;
  if (drain) reinterpret_cast<Drain*>(drain.get())->done = true;
  // Printed without keeping the error in sys.last_value, whose traceback would keep the loop.
  if (PyErr_Occurred()) PyErr_PrintEx(0);
  std::vector<Outcome> lost;
  {
    std::lock_guard lk(rec->m);
    lost.swap(rec->queue);
  }
  for (auto& o : lost) discard(o);
}

// The same from a worker, outside any coroutine frame.
void post_wake_by_drain(std::shared_ptr<LoopRecord> rec) {
  boost::asio::post(runtime::runtime(), [rec = std::move(rec)] {
    py::WorkerGil gil;
    if (gil.acquired()) wake_by_drain(rec);
  });
}

// With the interpreter lock: a record found closed reports what is queued for it now.
void closed_now(const std::shared_ptr<LoopRecord>& rec) {
  mark_closed(*rec);
  bool queued;
  {
    std::lock_guard lk(rec->m);
    queued = !rec->queue.empty();
  }
  if (queued) wake_by_drain(rec);
}

// Closed but still alive: its reader is freed only later (PyPy) or never (kept by a cycle).
bool loop_closed(LoopRecord& rec) {
  py::Ref loop = referent(rec.loop_ref);
  if (!loop || loop.get() == Py_None) {
    PyErr_Clear();
    return false;
  }
  py::Ref closed = py::Ref::steal(PyObject_CallMethodObjArgs(loop.get(), made_internals().s_is_closed, nullptr));
  const bool is_closed = closed && PyObject_IsTrue(closed.get()) == 1;
  PyErr_Clear();
  return is_closed;
}

// Runs Python code (is_closed), so it works on a copy and never changes the table.
void find_closed_loops(Internals& in) {
  std::vector<std::shared_ptr<LoopRecord>> watching;
  for (auto& [loop, rec] : in.tables->loops)
    if (rec->wake.load() == LoopRecord::Wake::Eventfd && !rec->closed.load()) watching.push_back(rec);
  for (auto& rec : watching)
    if (loop_closed(*rec)) closed_now(rec);
}

struct Reader {
  PyObject_HEAD
  std::shared_ptr<LoopRecord>* rec;
};

PyObject* reader_call(PyObject* self, PyObject*, PyObject*) {
  LoopRecord& rec = **reinterpret_cast<Reader*>(self)->rec;
  if (!rec.in_this_process()) Py_RETURN_NONE;  // the parent's: see fork.cpp
  // Reset before taking the queue: an outcome queued after the reset wakes the loop again.
  std::uint64_t count;
  {
    std::lock_guard lk(rec.m);
    if (rec.fd >= 0) (void)!::read(rec.fd, &count, sizeof count);
  }
  return py::guarded([&] {
    drain_queue(rec);
    Py_RETURN_NONE;
  });
}

// The selector lets go of the reader when the loop closes: what is queued now, and whatever
// comes later, is reported and dropped.
void reader_dealloc(PyObject* self) {
  if (auto* holder = reinterpret_cast<Reader*>(self)->rec; holder && !(*holder)->in_this_process()) {
    // The parent's record: kept, never freed here (see fork.cpp).
  } else if (holder) {
    std::shared_ptr<LoopRecord> rec = std::move(*holder);
    delete holder;
    py::in_dealloc(self, [&] { closed_now(rec); });
  }
  py::free_instance(self);
}

PyTypeObject* reader_type(Internals& in) {
  return py::callable_type(in.reader_type, "py_engine_rust._LoopReader", sizeof(Reader), reader_dealloc, reader_call);
}

// The weak-reference callback of every record: the loop is being freed, so its entry goes.
PyObject* loop_gone_call(PyObject*, PyObject* ref) {
  auto& loops = made_internals().tables->loops;
  auto it = std::find_if(loops.begin(), loops.end(), [ref](const auto& e) { return e.second->loop_ref == ref; });
  if (it != loops.end()) {
    // Out of the table before anything is let go of: nothing runs while the table is changing.
    std::shared_ptr<LoopRecord> rec = std::move(it->second);
    loops.erase(it);
    mark_closed(*rec);
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
  py::Ref added = py::Ref::steal(PyObject_CallMethodObjArgs(loop, in.s_add_reader, fdobj.get(), reader.get(), nullptr));
  if (!added) return false;
  rec->wake.store(LoopRecord::Wake::Eventfd);
  return true;
}

PyObject* report_at_exit() {
  if (!made_or_null()) Py_RETURN_NONE;
  Internals* made = internals();  // in a fork's child, forgets the parent's first
  if (!made) return nullptr;
  Internals& in = *made;
  std::vector<std::shared_ptr<LoopRecord>> queued;
  for (auto& [loop, rec] : in.tables->loops) {
    std::lock_guard lk(rec->m);
    if (!rec->queue.empty()) queued.push_back(rec);
  }
  for (auto& rec : queued)
    if (rec->closed.load() || loop_closed(*rec)) closed_now(rec);
  Py_RETURN_NONE;
}

PyObject* at_exit(PyObject*, PyObject*) { return py::guarded(report_at_exit); }

PyMethodDef AT_EXIT = {"_report_closed_loops", at_exit, METH_NOARGS, nullptr};

}  // namespace

LoopRecord::~LoopRecord() {
  if (fd >= 0) ::close(fd);
  py::release_later(loop_ref);
  py::release_later(create_future);
}

std::shared_ptr<LoopRecord> record_for(PyObject* loop) {
  Internals& in = made_internals();
  if (auto it = in.tables->loops.find(loop);
      it != in.tables->loops.end() && referent(it->second->loop_ref).get() == loop)
    return it->second;
  if (!in.loop_gone && !(in.loop_gone = PyCFunction_New(&LOOP_GONE, nullptr))) return nullptr;
  find_closed_loops(in);

  // Every Python call first; the table is touched once, at the end, so that another thread that
  // runs meanwhile (the calls may let it) never sees it half changed.
  auto rec = std::make_shared<LoopRecord>();
  rec->loop_ref = PyWeakref_NewRef(loop, in.loop_gone);
  if (!rec->loop_ref) return nullptr;
  rec->create_future = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(loop)), in.s_create_future);
  if (!rec->create_future) return nullptr;
  rec->fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (!watch_eventfd(in, loop, rec)) PyErr_Clear();  // completed through call_soon_threadsafe
  // An entry still here is one left by a dead loop at the same address: replaced, and let go of
  // once the table is consistent.
  std::shared_ptr<LoopRecord> old = std::exchange(in.tables->loops[loop], rec);
  return rec;
}

void deliver(Outcome&& o) {
  auto rec = o.p->record;
  std::unique_lock lk(rec->m);
  const bool first = rec->queue.empty();
  rec->queue.push_back(std::move(o));
  if (rec->wake.load() == LoopRecord::Wake::Eventfd && !rec->closed.load()) {
    // Under the record's lock: a closed record's descriptor is closed under it too. Written only
    // when the queue was empty: otherwise a wake-up is already on its way.
    const std::uint64_t one = 1;
    if (first) (void)!::write(rec->fd, &one, sizeof one);
    return;
  }
  lk.unlock();
  // A drain per outcome, not per batch: a loop that closed with a drain on its way (dropped
  // unrun, which PyPy notices only at a collection) is found at the outcome that follows.
  post_wake_by_drain(std::move(rec));
}

bool report_closed_loops_at_exit() {
  py::Ref atexit = py::Ref::steal(PyImport_ImportModule("atexit"));
  py::Ref hook = atexit ? py::Ref::steal(PyCFunction_New(&AT_EXIT, nullptr)) : py::Ref();
  if (!hook) return false;
  return static_cast<bool>(py::Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get())));
}

}  // namespace engine
