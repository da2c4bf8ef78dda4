#pragma once
// The process-wide background runtime: one io_context run by half as many threads as there are
// processors (at least one, at most 8).
// It is created on first use and never shut down (its threads end with the process), so
// nothing here has to be torn down while Python is finalising. The child of a fork makes its own
// on first use: the parent's threads did not follow it, and the parent's epoll set and eventfds
// are shared with the parent, so the child never touches the parent's io_context again.
#include <boost/asio/io_context.hpp>

namespace runtime {

boost::asio::io_context& runtime();

}  // namespace runtime
