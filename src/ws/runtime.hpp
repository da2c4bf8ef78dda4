#pragma once
// The process-wide background runtime: one io_context run by half as many threads as there are
// processors (at least one).
// It is created on first use and never shut down (its threads end with the process), so
// nothing here has to be torn down while Python is finalising.
#include <boost/asio/io_context.hpp>

namespace ws {

boost::asio::io_context& runtime();

}  // namespace ws
