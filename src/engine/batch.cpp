#include "engine/batch.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "arrays/ndarray.hpp"
#include "codec/payload.hpp"
#include "py/errors.hpp"
#include "rpc/lifecycle.hpp"

namespace engine {

namespace {

constexpr std::uint16_t STEP_AND_SYNC = 130;

struct BatchRow;

// The step in flight: what every row ended with, until the last one has.
struct BatchStep final : Awaited, std::enable_shared_from_this<BatchStep> {
  explicit BatchStep(std::size_t n, std::optional<StackTargets> out)
      : rows(n), outcomes(n), left(n), targets(std::move(out)) {}

  // How a row ended.
  struct Ended {
    std::exception_ptr fault;
    rpc::RpcResult result;
  };

  FutureSlot slot;                            // interpreter lock
  std::vector<std::weak_ptr<BatchRow>> rows;  // interpreter lock: what cancelling abandons
  std::vector<Ended> outcomes;                // interpreter lock
  std::size_t left;                           // interpreter lock: rows still in flight
  std::optional<StackTargets> targets;

  void abandon() override;
  // With the interpreter lock, on the loop's thread.
  void row_ended(std::size_t i, std::exception_ptr fault, rpc::RpcResult result);
  void finish();
};

struct BatchRow final : RemoteCall {
  BatchRow(rpc::Strand s, std::shared_ptr<LoopRecord> r, std::shared_ptr<rpc::Exchange> x,
           std::shared_ptr<BatchStep> b, std::size_t i)
      : RemoteCall(std::move(s), std::move(r), std::move(x)), batch(std::move(b)), index(i) {}
  std::shared_ptr<BatchStep> batch;
  std::size_t index;
  void settle(Outcome& o) override { batch->row_ended(index, o.fault, std::move(o.result)); }
  void discard() override { batch->slot.forget(); }
};

void BatchStep::abandon() {
  for (auto& weak : rows)
    if (auto row = weak.lock()) row->abandon();
}

void BatchStep::row_ended(std::size_t i, std::exception_ptr fault, rpc::RpcResult result) {
  outcomes[i] = {std::move(fault), std::move(result)};
  if (--left == 0) finish();
}

py::Ref value_error(const std::string& text) {
  py::Ref msg = py::Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  return msg ? py::Ref::steal(PyObject_CallOneArg(PyExc_ValueError, msg.get())) : py::Ref();
}

std::string shape_text(std::size_t s, std::size_t w, std::size_t c) {
  return "(" + std::to_string(s) + ",) and (" + std::to_string(w) + ", " + std::to_string(c) + ")";
}

// The shape of a row's arrays, as a single step_and_sync gives them: a window without rows is
// (0, 0).
struct RowShape {
  std::size_t s, w, c;
  bool operator==(const RowShape&) const = default;
};
RowShape shape_of(const codec::VecMatF64View& v) { return {v.vec.n, v.mat.rows, v.mat.rows ? v.mat.cols : 0u}; }

// With the interpreter lock: every row's values or error, stacked. Rows of another shape than
// the targets' (or, without targets, than the first row that succeeded) fail with ValueError,
// and every failed row is NaN.
py::Ref stacked(std::vector<BatchStep::Ended>& outcomes, std::optional<StackTargets>& targets) {
  const std::size_t n = outcomes.size();
  std::vector<codec::VecMatF64View> views(n);
  py::Ref errors = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
  if (!errors) return {};
  std::optional<RowShape> shape;
  if (targets) shape = RowShape{targets->s, targets->w, targets->c};
  for (std::size_t i = 0; i < n; ++i) {
    BatchStep::Ended& o = outcomes[i];
    py::Ref error;
    if (o.fault) {
      error = py::exception_for(o.fault);
    } else if (auto* e = std::get_if<rpc::EngineError>(&o.result)) {
      error = py::exception_for(*e);
    } else if (auto r = codec::check_vec_mat_f64(std::get<codec::Bytes>(o.result).span()); !r) {
      error = value_error(r.error().message);
    } else if (views[i] = r.value(); !shape) {
      shape = shape_of(views[i]);
    } else if (shape_of(views[i]) != *shape) {
      const RowShape got = shape_of(views[i]);
      error = value_error("step_and_sync result of shapes " + shape_text(got.s, got.w, got.c) +
                          " does not match the others' " + shape_text(shape->s, shape->w, shape->c));
    }
    if (error) views[i] = {};
    else if (PyErr_Occurred()) return {};
    PyTuple_SET_ITEM(errors.get(), static_cast<Py_ssize_t>(i), error ? error.release() : py::Ref::borrow(Py_None).release());
  }
  const RowShape sh = shape.value_or(RowShape{0, 0, 0});
  if (!targets) {
    const std::size_t snap_dims[2] = {n, sh.s}, window_dims[3] = {n, sh.w, sh.c};
    targets.emplace();
    targets->snapshots = arrays::new_f64_array(2, snap_dims);
    targets->windows = arrays::new_f64_array(3, window_dims);
    if (!targets->snapshots || !targets->windows) return {};
  }
  double* snaps = arrays::f64_data(targets->snapshots.get());
  double* windows = arrays::f64_data(targets->windows.get());
  const std::size_t window_len = sh.w * sh.c;
  for (std::size_t i = 0; i < n; ++i) {
    double* snap = snaps + i * sh.s;
    double* window = windows + i * window_len;
    if (!views[i].vec.values) {
      std::fill(snap, snap + sh.s, std::numeric_limits<double>::quiet_NaN());
      std::fill(window, window + window_len, std::numeric_limits<double>::quiet_NaN());
      continue;
    }
    // Little-endian values at any alignment, copied as they are.
    if (sh.s) std::memcpy(snap, views[i].vec.values, sh.s * sizeof(double));
    if (window_len) std::memcpy(window, views[i].mat.values, window_len * sizeof(double));
  }
  return py::Ref::steal(PyTuple_Pack(3, targets->snapshots.get(), targets->windows.get(), errors.get()));
}

void BatchStep::finish() {
  py::Ref fut = slot.take();
  if (!fut) return;
  py::Ref value = stacked(outcomes, targets);
  const bool failed = !value;
  if (failed) value = py::take_exception();
  FutureSlot::set(fut.get(), value.get(), failed);
}

}  // namespace

PyObject* step_and_sync_all(const std::vector<rpc::EngineShared*>& engines, runtime::Timeout timeout,
                            std::optional<StackTargets> out) {
  Prepared pre;
  if (!prepare(pre)) return nullptr;
  auto batch = std::make_shared<BatchStep>(engines.size(), std::move(out));
  if (!watch_future(pre.future.get(), batch)) return nullptr;
  batch->slot.future = py::Ref(pre.future).release();
  std::vector<std::shared_ptr<BatchRow>> rows;
  for (std::size_t i = 0; i < engines.size(); ++i) {
    rpc::EngineShared& own = *engines[i];
    // Nothing of an engine made before a fork may be touched in the child (see fork.cpp).
    if (!own.made_in_this_process()) {
      batch->row_ended(i, nullptr,
                       rpc::EngineError::transport(rpc::ENGINE_OF_ANOTHER_PROCESS, std::nullopt, STEP_AND_SYNC));
      continue;
    }
    auto x = std::make_shared<rpc::Exchange>(own, STEP_AND_SYNC, codec::Bytes{}, timeout);
    rows.push_back(std::make_shared<BatchRow>(strand_for(&own.exchanges), pre.record, std::move(x), batch, i));
    batch->rows[i] = rows.back();
  }
  if (rows.empty()) batch->finish();
  // All requests go out here, one after the other, before any answer is looked at.
  for (auto& row : rows) row->start(pre.loop.get());
  return pre.future.release();
}

}  // namespace engine
