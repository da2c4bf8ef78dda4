#pragma once
// The duration of a call's timeout: parsed from float seconds, and turned into a deadline.
#include <chrono>
#include <cstdint>
#include <optional>

namespace runtime {

using Clock = std::chrono::steady_clock;

// Whole seconds (up to 2^64 - 1) and nanoseconds: the range of a float timeout that is accepted.
struct Timeout {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;

  // Float seconds, rounded to the nanosecond; empty for negative, NaN, infinite or too large
  // values, with `why` set to the fixed text that says which.
  static std::optional<Timeout> from_secs(double secs, const char*& why);
};

// now + timeout on the monotonic clock; now + `fallback` (or the clock's end without one) when
// the sum cannot be represented.
Clock::time_point deadline_after(Timeout t, std::optional<Clock::duration> fallback);

}  // namespace runtime
