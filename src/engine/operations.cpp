// The remote operations of RustEngineAsync: one row each, with its argument checks, payload and
// result conversion.
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "arrays/ndarray.hpp"
#include "codec/frame.hpp"
#include "codec/payload.hpp"
#include "engine/engine.hpp"
#include "py/errors.hpp"
#include "texts.hpp"

namespace engine {

namespace {

constexpr double DEFAULT_TIMEOUT = 10.0;
constexpr double SYNC_POLICY_TIMEOUT = 5.0;

bool prepare_timeout_only(PyObject** argv, Request& req) {
  return read_timeout_secs(argv[0], req.timeout_secs, req.timeout_secs);
}

bool check_str(PyObject* o, const char* argname) {
  if (PyUnicode_Check(o)) return true;
  py::raise_cannot_convert(o, "PyString");
  py::prefix_type_error(argname);
  return false;
}

bool value_error(const char* msg) {
  PyErr_SetString(PyExc_ValueError, msg);
  return false;
}

// Payload: u32 episode_index, u8 type code (1 only for a string that lower-cases to "test").
bool prepare_reset_episode(PyObject** argv, Request& req) {
  long long index = 0;
  if (!py::to_int_in(argv[0], "episode_index", 0, 4294967295LL, index)) return false;
  if (!check_str(argv[1], "episode_type")) return false;
  if (!read_timeout_secs(argv[2], req.timeout_secs, req.timeout_secs)) return false;
  py::Ref lowered = py::Ref::steal(PyObject_CallMethod(argv[1], "lower", nullptr));
  if (!lowered) return false;
  const int is_test = PyUnicode_CompareWithASCIIString(lowered.get(), "test") == 0;
  req.payload = codec::Bytes::allocate(5);
  const auto idx = static_cast<std::uint32_t>(index);
  std::memcpy(req.payload.data(), &idx, 4);
  req.payload.data()[4] = static_cast<std::uint8_t>(is_test);
  return true;
}

bool prepare_init_candles(PyObject** argv, Request& req) {
  if (!read_timeout_secs(argv[1], req.timeout_secs, req.timeout_secs)) return false;
  PyObject* arr = arrays::as_array(argv[0], "ohlc5", 2, false);
  // A matrix too large for one frame is refused before anything is copied.
  return arr && arrays::ndarray_to_mat_f64(arr, req.payload, codec::MAX_FRAME_PAYLOAD);
}

// Code points with the Unicode White_Space property.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Trims White_Space at both ends and lower-cases ASCII letters only; false with a Python error.
bool normalise_word(PyObject* s, std::string& out) {
  const Py_ssize_t n = PyUnicode_GetLength(s);
  if (n < 0) return false;
  Py_ssize_t b = 0, e = n;
  while (b < e && is_white_space(PyUnicode_ReadChar(s, b))) ++b;
  while (e > b && is_white_space(PyUnicode_ReadChar(s, e - 1))) --e;
  out.clear();
  for (Py_ssize_t i = b; i < e; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(s, i);
    if (c >= 0x80) {  // no accepted word has other characters
      out.push_back('\x7f');
      continue;
    }
    out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
  }
  return true;
}

bool read_optional_double(PyObject* o, const char* argname, std::optional<double>& out) {
  if (!o || o == Py_None) {
    out.reset();
    return true;
  }
  double v = 0;
  if (!py::to_double(o, argname, v)) return false;
  out = v;
  return true;
}

bool check_setting(const std::optional<double>& v) {
  return !v || (std::isfinite(*v) && !(*v < 0.0)) || value_error("value must be finite and >= 0");
}

bool encode_values(const std::vector<double>& values, Request& req) {
  auto r = codec::encode_vec_f64(values.data(), values.size());
  if (!r) {
    py::raise(r.error());
    return false;
  }
  req.payload = r.take();
  return true;
}

// v x 100 - 1 as two rounded float64 operations; the compiler must not fuse them.
double percent_minus_one(double v) {
  volatile double product = v * 100.0;
  return product + -1.0;
}

bool prepare_place_order(PyObject** argv, Request& req) {
  double price = 0;
  long long units = 0;
  std::optional<double> tp, sl, ts, tl;
  if (!check_str(argv[0], "side") || !check_str(argv[1], "order_type") ||
      !py::to_double(argv[2], "price", price) ||
      !py::to_int_in(argv[3], "units", -2147483648LL, 2147483647LL, units) ||
      !read_optional_double(argv[4], "take_profit", tp) || !read_optional_double(argv[5], "stop_loss", sl) ||
      !read_optional_double(argv[6], "trailing_stop", ts) || !read_optional_double(argv[7], "time_limit", tl) ||
      !read_timeout_secs(argv[8], req.timeout_secs, req.timeout_secs))
    return false;
  std::string side, type;
  if (!normalise_word(argv[0], side) || !normalise_word(argv[1], type)) return false;
  if (side != "buy" && side != "sell") return value_error("side must be 'buy' or 'sell'");
  if (type != "limit" && type != "stop") return value_error("order_type must be 'limit' or 'stop'");
  if (!std::isfinite(price)) return value_error("price must be finite");
  if (units < 1) return value_error("units must be > 0");
  if (!check_setting(tp) || !check_setting(sl) || !check_setting(ts)) return false;
  auto presence = [](const std::optional<double>& v) { return v ? 1.0 : -1.0; };
  auto scaled = [](const std::optional<double>& v) { return v ? percent_minus_one(*v) : 0.0; };
  return encode_values({1.0, price, presence(tp), presence(sl), presence(ts), presence(tl),
                        side == "buy" ? 1.0 : -1.0, type == "limit" ? 1.0 : -1.0, static_cast<double>(units),
                        scaled(tp), scaled(sl), scaled(ts), tl ? *tl : 0.0},
                       req);
}

bool prepare_place_ticket(PyObject** argv, Request& req) {
  long long units = 0;
  std::optional<double> tp, sl, ts;
  if (!check_str(argv[0], "side") || !py::to_int_in(argv[1], "units", -2147483648LL, 2147483647LL, units) ||
      !read_optional_double(argv[2], "take_profit", tp) || !read_optional_double(argv[3], "stop_loss", sl) ||
      !read_optional_double(argv[4], "trailing_stop", ts) ||
      !read_timeout_secs(argv[5], req.timeout_secs, req.timeout_secs))
    return false;
  std::string side;
  if (!normalise_word(argv[0], side)) return false;
  if (side != "buy" && side != "sell") return value_error("side must be 'buy' or 'sell'");
  if (units < 1) return value_error("units must be > 0");
  if (!check_setting(tp) || !check_setting(sl) || !check_setting(ts)) return false;
  auto presence = [](const std::optional<double>& v) { return v ? 1.0 : 0.0; };
  auto minus_one = [](const std::optional<double>& v) { return v ? *v + -1.0 : 0.0; };
  return encode_values({1.0, presence(tp), presence(sl), presence(ts), side == "buy" ? 1.0 : 0.0,
                        static_cast<double>(units), minus_one(tp), minus_one(sl), minus_one(ts)},
                       req);
}

// Lists, tuples, NumPy arrays and other sequences, item by item; a str is refused.
template <class T, class ReadItem>
bool read_sequence(PyObject* o, std::vector<T>& out, ReadItem read_item) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, texts::STR_TO_VEC);
    return false;
  }
  if (!PySequence_Check(o)) {
    py::raise_cannot_convert(o, "Sequence");
    return false;
  }
  const Py_ssize_t hint = PySequence_Size(o);
  if (hint < 0) PyErr_Clear();
  else out.reserve(static_cast<std::size_t>(hint));
  py::Ref it = py::Ref::steal(PyObject_GetIter(o));
  if (!it) return false;
  while (py::Ref item = py::Ref::steal(PyIter_Next(it.get()))) {
    T v{};
    if (!read_item(item.get(), v)) return false;
    out.push_back(v);
  }
  return !PyErr_Occurred();
}

bool read_int32(PyObject* o, std::int32_t& v) {
  long long x = 0;
  if (!py::to_int_in(o, nullptr, -2147483648LL, 2147483647LL, x)) return false;
  v = static_cast<std::int32_t>(x);
  return true;
}

bool read_float(PyObject* o, double& v) { return py::to_double(o, nullptr, v); }

bool prepare_close_positions(PyObject** argv, Request& req) {
  if (!read_timeout_secs(argv[3], req.timeout_secs, req.timeout_secs)) return false;
  std::vector<std::int32_t> ids, actions;
  std::vector<double> ratios;
  if (!read_sequence(argv[0], ids, read_int32) || !read_sequence(argv[1], actions, read_int32) ||
      !read_sequence(argv[2], ratios, read_float))
    return false;
  if (ids.size() != actions.size() || ids.size() != ratios.size())
    return value_error("close_positions: arrays must have equal length");
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (actions[i] != 2) {
      ratios[i] = 0.0;
    } else if (!(ratios[i] >= 0.0 && ratios[i] <= 1.0)) {
      return value_error("ratio out of range for reduce");
    }
  }
  auto r = codec::encode_close_step(ids.data(), ids.size(), actions.data(), actions.size(), ratios.data(),
                                    ratios.size());
  if (!r) {
    py::raise(r.error());
    return false;
  }
  req.payload = r.take();
  return true;
}

py::Ref convert_u32_or_zero(codec::Bytes& payload) {
  std::uint32_t v = 0;
  if (payload.size() >= 4) std::memcpy(&v, payload.data(), 4);
  return py::Ref::steal(PyLong_FromUnsignedLong(v));
}

// UTF-8 text as it came; anything that is not valid UTF-8 becomes "{}".
py::Ref convert_text(codec::Bytes& payload) {
  const char* data = reinterpret_cast<const char*>(payload.data());
  py::Ref s = py::Ref::steal(
      PyUnicode_DecodeUTF8(payload.empty() ? "" : data, static_cast<Py_ssize_t>(payload.size()), "strict"));
  if (s) return s;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return {};
  PyErr_Clear();
  return py::Ref::steal(PyUnicode_FromString("{}"));
}

py::Ref convert_sync_policy(codec::Bytes& payload) {
  if (!payload.empty()) {
    if (payload.data()[0] == 0) return py::Ref::steal(PyUnicode_FromString("deferred"));
    if (payload.data()[0] == 1) return py::Ref::steal(PyUnicode_FromString("eager"));
  }
  return py::Ref::borrow(Py_None);
}

constexpr const char* TIMEOUT_ONLY[] = {"timeout_secs"};
constexpr const char* INIT_CANDLES_PARAMS[] = {"ohlc5", "timeout_secs"};
constexpr const char* RESET_PARAMS[] = {"episode_index", "episode_type", "timeout_secs"};
constexpr const char* CLOSE_PARAMS[] = {"position_ids", "actions", "ratios", "timeout_secs"};
constexpr const char* ORDER_PARAMS[] = {"side",      "order_type",    "price",      "units",       "take_profit",
                                        "stop_loss", "trailing_stop", "time_limit", "timeout_secs"};
constexpr const char* TICKET_PARAMS[] = {"side", "units", "take_profit", "stop_loss", "trailing_stop", "timeout_secs"};

constexpr Operation query(const char* name, const char* qualname, std::uint16_t fnId, Convert convert,
                          double timeout = DEFAULT_TIMEOUT) {
  return {name, fnId, timeout, {qualname, TIMEOUT_ONLY, 1, 0}, prepare_timeout_only, convert};
}

constexpr Operation INIT_CANDLES{"init_candles", 100, DEFAULT_TIMEOUT,
                                 {"RustEngineAsync.init_candles", INIT_CANDLES_PARAMS, 2, 1},
                                 prepare_init_candles, convert_none};
constexpr Operation RESET_EPISODE{"reset_episode", 101, DEFAULT_TIMEOUT,
                                  {"RustEngineAsync.reset_episode", RESET_PARAMS, 3, 2},
                                  prepare_reset_episode, convert_u32_or_zero};
constexpr Operation GET_RL_CONFIG = query("get_rl_config", "RustEngineAsync.get_rl_config", 102, convert_text);
constexpr Operation STEP_NEXT = query("step_next", "RustEngineAsync.step_next", 2, convert_none);
constexpr Operation STEP_AND_SYNC =
    query("step_and_sync", "RustEngineAsync.step_and_sync", 130, arrays::convert_vec_mat_f64);
constexpr Operation GET_SNAPSHOT = query("get_snapshot", "RustEngineAsync.get_snapshot", 12, arrays::convert_vec_f64);
constexpr Operation GET_TICKET_LIST =
    query("get_ticket_list", "RustEngineAsync.get_ticket_list", 10, arrays::convert_mat_f64);
constexpr Operation GET_OHLC = query("get_ohlc", "RustEngineAsync.get_ohlc", 15, arrays::convert_mat_f64);
constexpr Operation FETCH_EVENTS = query("fetch_events", "RustEngineAsync.fetch_events", 30, arrays::convert_mat_f64);
constexpr Operation END_SESSION = query("end_session", "RustEngineAsync.end_session", 40, arrays::convert_mat_f64);
constexpr Operation GET_SYNC_POLICY =
    query("get_sync_policy", "RustEngineAsync.get_sync_policy", 120, convert_sync_policy, SYNC_POLICY_TIMEOUT);
constexpr Operation CLOSE_POSITIONS{"close_positions", 31, DEFAULT_TIMEOUT,
                                    {"RustEngineAsync.close_positions", CLOSE_PARAMS, 4, 3},
                                    prepare_close_positions, arrays::convert_mat_f64};
constexpr Operation PLACE_ORDER{"place_order", 20, DEFAULT_TIMEOUT,
                                {"RustEngineAsync.place_order", ORDER_PARAMS, 9, 4},
                                prepare_place_order, arrays::convert_vec_f64};
constexpr Operation PLACE_TICKET{"place_ticket", 21, DEFAULT_TIMEOUT,
                                 {"RustEngineAsync.place_ticket", TICKET_PARAMS, 6, 2},
                                 prepare_place_ticket, arrays::convert_vec_f64};

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
    row<INIT_CANDLES>("init_candles($self, ohlc5, timeout_secs=None)\n--\n\n"),
    row<RESET_EPISODE>("reset_episode($self, episode_index, episode_type, timeout_secs=None)\n--\n\n"
                       "Reset to a specific episode by index.\n"
                       "Payload: [u32 episode_index, u8 episode_type (0=train, 1=test)]"),
    row<GET_RL_CONFIG>("get_rl_config($self, timeout_secs=None)\n--\n\n"
                       "Get RL config from UI (seed, episode counts, etc.). Returns JSON string."),
    row<STEP_NEXT>("step_next($self, timeout_secs=None)\n--\n\n"),
    row<STEP_AND_SYNC>("step_and_sync($self, timeout_secs=None)\n--\n\n"),
    row<GET_SNAPSHOT>("get_snapshot($self, timeout_secs=None)\n--\n\n"),
    row<GET_TICKET_LIST>("get_ticket_list($self, timeout_secs=None)\n--\n\n"),
    row<GET_OHLC>("get_ohlc($self, timeout_secs=None)\n--\n\n"),
    row<FETCH_EVENTS>("fetch_events($self, timeout_secs=None)\n--\n\n"),
    row<END_SESSION>("end_session($self, timeout_secs=None)\n--\n\n"),
    row<GET_SYNC_POLICY>("get_sync_policy($self, timeout_secs=None)\n--\n\n"),
    row<CLOSE_POSITIONS>("close_positions($self, position_ids, actions, ratios, timeout_secs=None)\n--\n\n"),
    row<PLACE_ORDER>("place_order($self, side, order_type, price, units, take_profit=None, stop_loss=None, "
                     "trailing_stop=None, time_limit=None, timeout_secs=None)\n--\n\n"),
    row<PLACE_TICKET>("place_ticket($self, side, units, take_profit=None, stop_loss=None, trailing_stop=None, "
                      "timeout_secs=None)\n--\n\n"),
    {"close", close_method, METH_NOARGS,
     "close($self)\n--\n\n"
     "Stop serving: close the listeners (their ports can be bound again once this completes), drop\n"
     "the connection and fail the calls in flight; every later call fails with \"engine closed\"."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* engine_methods() { return METHODS; }

}  // namespace engine
