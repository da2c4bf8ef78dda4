#include "ws/runtime.hpp"

#include <cxxabi.h>

#include <boost/asio/executor_work_guard.hpp>
#include <algorithm>
#include <thread>

namespace ws {

boost::asio::io_context& runtime() {
  static boost::asio::io_context* const ctx = [] {
    // A worker's share of a call is a few microseconds, while every thread that wakes up costs
    // a processor the user interface (a browser on the same machine) needs: half the processors,
    // and one on a machine of two. One thread also lets the scheduler skip waking others.
    const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
    const unsigned n = std::clamp(cpus / 2, 1u, 8u);
    // Leaked on purpose: destroying it at exit would race with the worker threads.
    auto* io = new boost::asio::io_context(static_cast<int>(n));
    auto* guard = new boost::asio::executor_work_guard<boost::asio::io_context::executor_type>(io->get_executor());
    (void)guard;
    for (unsigned i = 0; i < n; ++i)
      std::thread([io] {
        for (;;) {
          try {
            io->run();
            return;
          } catch (abi::__forced_unwind&) {
            throw;  // the interpreter is ending this thread during finalisation
          } catch (...) {
            // A handler must never take a worker down; operations report their own faults.
          }
        }
      }).detach();
    return io;
  }();
  return *ctx;
}

}  // namespace ws
