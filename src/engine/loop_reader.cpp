#include "engine/loop_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "engine/internals.hpp"
#include "engine/remote_call.hpp"
#include "engine/waker.hpp"
#include "py/errors.hpp"
#include "py/types.hpp"

namespace engine {

namespace {

// What the loop calls when the socket is readable.
struct SocketReader {
  PyObject_HEAD
  struct State {
    std::shared_ptr<rpc::ReceiveWatch> watch;
    std::shared_ptr<LoopRecord> record;  // its loop
    int fd;                              // the duplicate the loop watches; closed with the reader
  }* st;
};

// What a step came to, on the loop's thread.
void carry_on(rpc::ReceiveWatch::Step& s) {
  auto& call = static_cast<RemoteCall&>(*s.receiver);
  switch (s.next) {
    case rpc::Exchange::Next::Readable:
      return;
    case rpc::Exchange::Next::Done:
      call.driven_by.reset();
      call.ended_here(s.fault);
      return;
    default:
      call.driven_by.reset();
      call.continue_on_runtime();
  }
}

// The socket is readable while this loop drives nothing on it (a message between exchanges, or
// one that the runtime reads): the loop stops watching it, rather than being woken for it again
// and again, until its next exchange there.
void stop_watching(PyObject* self) {
  auto& st = *reinterpret_cast<SocketReader*>(self)->st;
  st.watch->unwatched_by(self);
  py::Ref loop = referent(st.record->loop_ref);
  py::Ref fd = py::Ref::steal(PyLong_FromLong(st.fd));
  py::Ref r;
  if (loop && loop.get() != Py_None && fd)
    r = py::Ref::steal(PyObject_CallMethodObjArgs(loop.get(), made_internals().s_remove_reader, fd.get(), nullptr));
  if (!r) {
    PyErr_Clear();
    return;
  }
  // Closed now, not when the reader is freed (PyPy frees it only at a collection): the socket of
  // a dropped connection must close, so that a peer still sending is reset.
  ::close(std::exchange(st.fd, -1));
}

PyObject* reader_call(PyObject* self, PyObject*, PyObject*) {
  auto& st = *reinterpret_cast<SocketReader*>(self)->st;
  // The parent's (see fork.cpp), or one that stopped watching.
  if (!st.record->in_this_process() || st.fd < 0) Py_RETURN_NONE;
  return py::guarded([&]() -> PyObject* {
    auto s = st.watch->step(st.record.get());
    if (s.receiver) carry_on(s);
    else stop_watching(self);
    Py_RETURN_NONE;
  });
}

void reader_dealloc(PyObject* self) {
  if (auto* st = reinterpret_cast<SocketReader*>(self)->st) {
    if (st->record->in_this_process()) {
      st->watch->unwatched_by(self);
      if (st->fd >= 0) ::close(st->fd);
      delete st;
    }  // the parent's: kept, and its descriptor is the child's copy only (see fork.cpp)
  }
  py::free_instance(self);
}

PyTypeObject* reader_type(Internals& in) {
  return py::callable_type(in.socket_reader_type, "py_engine_rust._SocketReader", sizeof(SocketReader),
                           reader_dealloc, reader_call);
}

// Has `loop` watch the connection through `fd`, a duplicate of its descriptor, with a reader of
// its own (which closes `fd` when it goes); false when it cannot.
bool watch_socket(const std::shared_ptr<rpc::ReceiveWatch>& watch, const std::shared_ptr<LoopRecord>& record,
                  PyObject* loop, int fd) {
  Internals& in = made_internals();
  PyTypeObject* t = reader_type(in);
  py::Ref reader = t ? py::new_instance(t) : py::Ref();
  if (!reader) {
    ::close(fd);
    return false;
  }
  reinterpret_cast<SocketReader*>(reader.get())->st = new SocketReader::State{watch, record, fd};
  py::Ref fdobj = py::Ref::steal(PyLong_FromLong(fd));
  py::Ref added = fdobj ? py::Ref::steal(PyObject_CallMethodObjArgs(loop, in.s_add_reader, fdobj.get(),
                                                                    reader.get(), nullptr))
                        : py::Ref();
  if (!added) return false;
  watch->watched_by(record.get(), reader.get());
  return true;
}

}  // namespace

bool drive_from_loop(const std::shared_ptr<RemoteCall>& call, PyObject* loop) {
  LoopRecord& record = *call->record;
  if (!record.watches_descriptors()) return false;
  // Read before the exchange is handed to the watch: from then on the deadline timer may end it
  // on the runtime, and drop the connection with it, at any moment.
  ws::WsConnection& conn = call->x->connection();
  std::shared_ptr<rpc::ReceiveWatch> watch = conn.watch();
  // Only this loop's thread changes whether this loop watches the socket.
  int fd = -1;
  if (!watch->watched_by_loop(&record)) {
    // A duplicate, so that the connection can close its descriptor whenever it ends without the
    // loop's selector keeping a number that something else may get next.
    fd = ::fcntl(conn.native_fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return false;
  }
  call->driven_by = watch;
  watch->drive(call, &record);
  if (fd >= 0 && !watch_socket(watch, call->record, loop, fd)) {
    PyErr_Clear();
    call->driven_by.reset();
    // Taken back unless the deadline came first and the runtime has it already.
    return !watch->release(call.get());
  }
  // Messages buffered since the connection's last exchange announce themselves to nobody.
  auto s = watch->step(&record, false);
  if (s.receiver) carry_on(s);
  return true;
}

}  // namespace engine
