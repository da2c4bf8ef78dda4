#pragma once
// One step_and_sync of many engines at once: one exchange per engine (the same request as
// RustEngineAsync.step_and_sync), all written from the calling thread, each driven and timed out
// on its own; one future, completed once every row has settled, with the snapshots and windows
// stacked into two arrays and one error (or None) per row.
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "engine/remote_call.hpp"
#include "runtime/timeout.hpp"

namespace engine {

// Arrays the caller gave to be filled: (N, S) snapshots and (N, W, C) windows.
struct StackTargets {
  py::Ref snapshots, windows;
  std::size_t s = 0, w = 0, c = 0;
};

// On the calling thread, with the interpreter lock: the future of the step, or null with a
// Python error set. Engines made in another process get that error in their row.
PyObject* step_and_sync_all(const std::vector<rpc::EngineShared*>& engines, runtime::Timeout timeout,
                            std::optional<StackTargets> out);

}  // namespace engine
