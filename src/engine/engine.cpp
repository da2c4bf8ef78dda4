#include "engine/engine.hpp"

#include <string>

#include "codec/frame.hpp"
#include "engine/remote_call.hpp"
#include "py/errors.hpp"
#include "py/types.hpp"
#include "rpc/lifecycle.hpp"
#include "texts.hpp"
#include "ws/listen.hpp"

namespace engine {

namespace {

constexpr const char* CTOR_PARAMS[] = {"host", "port", "start_seq"};
constexpr py::Signature CTOR_SIG{"RustEngineAsync", CTOR_PARAMS, 3, 2};

PyObject* make_engine(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[3];
  if (!py::bind_tuple(CTOR_SIG, args, kwargs, argv)) return nullptr;
  std::string host;
  long long port = 0, start_seq = 1;
  if (!py::to_utf8(argv[0], "host", host)) return nullptr;
  // The system calls would cut the name at the NUL and bind another address than the one given.
  if (host.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "argument 'host': embedded null character");
    return nullptr;
  }
  if (!py::to_int_in(argv[1], "port", 0, 65535, port)) return nullptr;
  if (argv[2] && argv[2] != Py_None && !py::to_int_in(argv[2], "start_seq", 0, 4294967295LL, start_seq))
    return nullptr;
  auto shared = std::make_unique<rpc::EngineShared>(rpc::EngineShared::create(
      std::move(host), static_cast<std::uint16_t>(port), static_cast<std::uint32_t>(start_seq)));
  py::Ref self = py::Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  reinterpret_cast<EngineObject*>(self.get())->shared = shared.release();
  return self.release();
}

void engine_dealloc(PyObject* self) {
  // The shared objects live on in running operations and in the server task. In a fork's child,
  // those of an engine made before the fork are left as they are: freeing them would close the
  // parent's sockets through the parent's runtime (see fork.cpp).
  rpc::EngineShared* shared = reinterpret_cast<EngineObject*>(self)->shared;
  if (shared->made_in_this_process()) delete shared;
  py::free_instance(self);
}

PyObject* port_getter(PyObject* self, void*) {
  const int port = reinterpret_cast<EngineObject*>(self)->shared->life->bound_port();
  if (port < 0) Py_RETURN_NONE;
  return PyLong_FromLong(port);
}

PyGetSetDef GETSET[] = {
    {"port", port_getter, nullptr,
     "The port the latest successful start() bound (the one the system chose for port 0); None before.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

constexpr const char* WAIT_PARAMS[] = {"timeout_secs"};
constexpr py::Signature WAIT_SIG{"RustEngineAsync.wait_connected", WAIT_PARAMS, 1, 0};

rpc::EngineShared& shared_of(PyObject* self) { return *reinterpret_cast<EngineObject*>(self)->shared; }

// In the child of a fork, an engine made before it can do nothing: its connection, listeners and
// operations belong to the parent. Its calls fail at once, before anything of it is touched.
PyObject* made_elsewhere(std::optional<std::uint16_t> fnId) {
  return failed_future(rpc::EngineError::transport(rpc::ENGINE_OF_ANOTHER_PROCESS, std::nullopt, fnId));
}

// A lifecycle task of the engine on a strand of its own: `run(shared)` makes its coroutine.
template <class Run>
PyObject* launch_lifecycle(PyObject* self, Run run) {
  if (!shared_of(self).made_in_this_process()) return made_elsewhere(std::nullopt);
  return launch_task(convert_none, [shared = shared_of(self), run]() { return run(shared); });
}

}  // namespace

PyTypeObject* engine_type() {
  static PyTypeObject* type = [] {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(py::guarded_new<make_engine>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
        {Py_tp_methods, engine_methods()},
        {Py_tp_getset, GETSET},
        {Py_tp_doc, const_cast<char*>("RustEngineAsync(host, port, start_seq=None)\n--\n\n")},
        {0, nullptr}};
    PyType_Spec spec = {"py_engine_rust.RustEngineAsync", static_cast<int>(sizeof(EngineObject)), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  }();
  if (!type && !PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, texts::TYPE_NOT_CREATED);
  return type;
}

bool read_timeout_secs(PyObject* arg, double fallback, double& secs) {
  if (!arg || arg == Py_None) {
    secs = fallback;
    return true;
  }
  return py::to_double(arg, "timeout_secs", secs);
}

bool to_timeout(double secs, runtime::Timeout& out) {
  const char* why = nullptr;
  auto t = runtime::Timeout::from_secs(secs, why);
  if (!t) {
    PyErr_SetString(PyExc_ValueError, why);
    return false;
  }
  out = *t;
  return true;
}

PyObject* start_method(PyObject* self, PyObject*) {
  return py::guarded([&] {
    return launch_lifecycle(self, [](const rpc::EngineShared& shared) { return ws::start_server(shared); });
  });
}

PyObject* close_method(PyObject* self, PyObject*) {
  return py::guarded([&] {
    return launch_lifecycle(self, [](const rpc::EngineShared& shared) { return rpc::close_engine(shared); });
  });
}

PyObject* wait_connected_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* argv[1];
    if (!py::bind(WAIT_SIG, args, nargs, kwnames, argv)) return nullptr;
    std::optional<runtime::Timeout> limit;
    if (argv[0] && argv[0] != Py_None) {
      double secs = 0;
      runtime::Timeout t;
      if (!py::to_double(argv[0], "timeout_secs", secs) || !to_timeout(secs, t)) return nullptr;
      limit = t;
    }
    return launch_lifecycle(self,
                            [limit](const rpc::EngineShared& shared) { return rpc::wait_connected(shared, limit); });
  });
}

namespace {

// Bridge steps 1 to 3: the arguments bound and checked, the payload built, the timeout read.
bool prepare_request(const Operation& op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Request& req, runtime::Timeout& timeout) {
  PyObject* argv[16];
  if (!py::bind(op.sig, args, nargs, kwnames, argv)) return false;
  req = Request{{}, op.default_timeout};
  if (!op.prepare(argv, req)) return false;
  if (!py::payload_fits(req.payload.size(), codec::MAX_FRAME_PAYLOAD)) return false;
  return to_timeout(req.timeout_secs, timeout);
}

}  // namespace

PyObject* run_operation(const Operation& op, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    Request req;
    runtime::Timeout timeout;
    if (!prepare_request(op, args, nargs, kwnames, req, timeout)) return nullptr;
    rpc::EngineShared& own = shared_of(self);
    if (!own.made_in_this_process()) return made_elsewhere(op.fnId);
    Prepared pre;
    if (!prepare(pre)) return nullptr;
    auto call = std::make_shared<SingleCall>(
        strand_for(&own.exchanges), pre.record,
        std::make_shared<rpc::Exchange>(own, op.fnId, std::move(req.payload), timeout));
    call->slot.convert = op.convert;
    if (!watch_future(pre.future.get(), call)) return nullptr;
    call->slot.future = pre.future.get();
    Py_INCREF(call->slot.future);
    call->start(pre.loop.get());
    return pre.future.release();
  });
}

}  // namespace engine
