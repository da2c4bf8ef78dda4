#pragma once
// The receive phase driven by the loop that awaits it: the loop watches the connection's socket
// (loop.add_reader on a duplicate of its descriptor, one per connection and loop, kept while the
// loop keeps driving that connection's exchanges) and runs the receive steps in the reader, with
// the interpreter lock it holds anyway; an answer completes the future right there. No worker
// wakes, no lock changes hands, and the loop wakes once, for the answer.
#include <memory>

#include "py/ref.hpp"

namespace engine {

struct RemoteCall;

// On the calling thread, with the interpreter lock, once `call`'s exchange receives: false when
// the loop cannot drive it (it cannot watch descriptors), so that the runtime must. Otherwise the
// loop drives it from now on (what is buffered already is handled at once, which may settle it).
bool drive_from_loop(const std::shared_ptr<RemoteCall>& call, PyObject* loop);

}  // namespace engine
