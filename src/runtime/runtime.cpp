#include "runtime/runtime.hpp"

#include <cxxabi.h>

#include <boost/asio/executor_work_guard.hpp>
#include <algorithm>
#include <thread>

#include "process.hpp"

namespace runtime {

namespace {

struct Runtime {
  // A worker's share of a call is a few microseconds, while every thread that wakes up costs
  // a processor the user interface (a browser on the same machine) needs: half the processors,
  // and one on a machine of two. One thread also lets the scheduler skip waking others.
  static unsigned thread_count() {
    const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
    return std::clamp(cpus / 2, 1u, 8u);
  }

  Runtime() : io(static_cast<int>(thread_count())), guard(io.get_executor()) {}

  void start_threads() {
    for (unsigned i = 0, n = thread_count(); i < n; ++i)
      std::thread([this] {
        for (;;) {
          try {
            io.run();
            return;
          } catch (abi::__forced_unwind&) {
            throw;  // the interpreter is ending this thread during finalisation
          } catch (...) {
            // A handler must never take a worker down; operations report their own faults.
          }
        }
      }).detach();
  }

  boost::asio::io_context io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard;
};

// Leaked on purpose: destroying it at exit would race with the worker threads.
constinit proc::PerProcess<Runtime> current;

}  // namespace

boost::asio::io_context& runtime() {
  return current.get([] { return new Runtime(); }, [](Runtime& r) { r.start_threads(); }).io;
}

}  // namespace runtime
