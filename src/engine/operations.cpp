// The remote operations of RustEngineAsync: one row each, with its argument checks, payload and
// result conversion.
#include <cstring>

#include "engine/engine.hpp"

namespace engine {

namespace {

constexpr double DEFAULT_TIMEOUT = 10.0;
constexpr double SYNC_POLICY_TIMEOUT = 5.0;

constexpr const char* TIMEOUT_ONLY[] = {"timeout_secs"};
constexpr const char* RESET_PARAMS[] = {"episode_index", "episode_type", "timeout_secs"};

codec::Bytes bytes_of(std::size_t n) { return codec::Bytes::allocate(n); }

bool prepare_timeout_only(PyObject** argv, Request& req) {
  return read_timeout_secs(argv[0], req.timeout_secs, req.timeout_secs);
}

// Payload: u32 episode_index, u8 type code (1 only for a string that lower-cases to "test").
bool prepare_reset_episode(PyObject** argv, Request& req) {
  long long index = 0;
  if (!py::to_int_in(argv[0], "episode_index", 0, 4294967295LL, index)) return false;
  if (!PyUnicode_Check(argv[1])) {
    py::raise_cannot_convert(argv[1], "PyString");
    py::prefix_type_error("episode_type");
    return false;
  }
  if (!read_timeout_secs(argv[2], req.timeout_secs, req.timeout_secs)) return false;
  py::Ref lowered = py::Ref::steal(PyObject_CallMethod(argv[1], "lower", nullptr));
  if (!lowered) return false;
  const int is_test = PyUnicode_CompareWithASCIIString(lowered.get(), "test") == 0;
  req.payload = bytes_of(5);
  const auto idx = static_cast<std::uint32_t>(index);
  std::memcpy(req.payload.data(), &idx, 4);
  req.payload.data()[4] = static_cast<std::uint8_t>(is_test);
  return true;
}

py::Ref convert_u32_or_zero(codec::Bytes& payload, std::optional<ws::EngineError>&) {
  std::uint32_t v = 0;
  if (payload.size() >= 4) std::memcpy(&v, payload.data(), 4);
  return py::Ref::steal(PyLong_FromUnsignedLong(v));
}

// UTF-8 text as it came; anything that is not valid UTF-8 becomes "{}".
py::Ref convert_text(codec::Bytes& payload, std::optional<ws::EngineError>&) {
  const char* data = reinterpret_cast<const char*>(payload.data());
  py::Ref s = py::Ref::steal(PyUnicode_DecodeUTF8(payload.empty() ? "" : data,
                                                  static_cast<Py_ssize_t>(payload.size()), "strict"));
  if (s) return s;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return {};
  PyErr_Clear();
  return py::Ref::steal(PyUnicode_FromString("{}"));
}

py::Ref convert_sync_policy(codec::Bytes& payload, std::optional<ws::EngineError>&) {
  if (!payload.empty()) {
    if (payload.data()[0] == 0) return py::Ref::steal(PyUnicode_FromString("deferred"));
    if (payload.data()[0] == 1) return py::Ref::steal(PyUnicode_FromString("eager"));
  }
  return py::Ref::borrow(Py_None);
}

constexpr py::Signature timeout_sig(const char* name) { return {name, TIMEOUT_ONLY, 1, 0}; }

constexpr Operation RESET_EPISODE{"reset_episode", 101, DEFAULT_TIMEOUT,
                                  {"RustEngineAsync.reset_episode", RESET_PARAMS, 3, 2},
                                  prepare_reset_episode, convert_u32_or_zero};
constexpr Operation GET_RL_CONFIG{"get_rl_config", 102, DEFAULT_TIMEOUT, timeout_sig("RustEngineAsync.get_rl_config"),
                                  prepare_timeout_only, convert_text};
constexpr Operation STEP_NEXT{"step_next", 2, DEFAULT_TIMEOUT, timeout_sig("RustEngineAsync.step_next"),
                              prepare_timeout_only, convert_none};
constexpr Operation GET_SYNC_POLICY{"get_sync_policy", 120, SYNC_POLICY_TIMEOUT,
                                    timeout_sig("RustEngineAsync.get_sync_policy"), prepare_timeout_only,
                                    convert_sync_policy};

template <const Operation& Op>
PyObject* op_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_operation(Op, self, args, nargs, kwnames);
}

template <const Operation& Op>
constexpr PyMethodDef row(const char* doc) {
  return {Op.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(op_method<Op>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

PyMethodDef METHODS[] = {
    {"start", start_method, METH_NOARGS, "start($self)\n--\n\n"},
    {"wait_connected", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wait_connected_method)),
     METH_FASTCALL | METH_KEYWORDS, "wait_connected($self, timeout_secs=None)\n--\n\n"},
    row<RESET_EPISODE>("reset_episode($self, episode_index, episode_type, timeout_secs=None)\n--\n\n"
                       "Reset to a specific episode by index.\n"
                       "Payload: [u32 episode_index, u8 episode_type (0=train, 1=test)]"),
    row<GET_RL_CONFIG>("get_rl_config($self, timeout_secs=None)\n--\n\n"
                       "Get RL config from UI (seed, episode counts, etc.). Returns JSON string."),
    row<STEP_NEXT>("step_next($self, timeout_secs=None)\n--\n\n"),
    row<GET_SYNC_POLICY>("get_sync_policy($self, timeout_secs=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* engine_methods() { return METHODS; }

}  // namespace engine
