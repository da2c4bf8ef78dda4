#include "engine/remote_call.hpp"

#include <boost/asio/post.hpp>

#include "engine/loop_reader.hpp"
#include "rpc/rpc.hpp"

namespace engine {

void RemoteCall::start(PyObject* loop) {
  switch (x->begin()) {
    case rpc::Exchange::Next::Done:
      ended_here();
      return;
    case rpc::Exchange::Next::Readable:
      if (drive_from_loop(std::static_pointer_cast<RemoteCall>(shared_from_this()), loop)) return;
      break;
    default:
      break;
  }
  continue_on_runtime();
}

void RemoteCall::ended_here(const std::exception_ptr& fault) {
  Outcome o{shared_from_this(), fault, std::move(x->result())};
  settle(o);
}

void RemoteCall::continue_on_runtime() {
  launch(shared_from_this(), [x = x]() { return rpc::rpc_call(x); });
}

void RemoteCall::abandon() {
  x->abandoned()->store(true);
  // Still driven by this loop: nobody else touches the exchange, so it ends here and now.
  if (driven_by && driven_by->release(this)) {
    x->abandon();
    return;
  }
  auto self = shared_from_this();
  asio::post(strand, [self] { self->cancel.emit(asio::cancellation_type::terminal); });
}

}  // namespace engine
