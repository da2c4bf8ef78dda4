#include "runtime/timeout.hpp"

#include <cmath>

#include "texts.hpp"

namespace runtime {

std::optional<Timeout> Timeout::from_secs(double secs, const char*& why) {
  constexpr long double TWO_64 = 18446744073709551616.0L;
  if (secs < 0) {
    why = texts::DURATION_NEGATIVE;
    return std::nullopt;
  }
  if (!std::isfinite(secs) || secs >= static_cast<double>(TWO_64)) {
    why = texts::DURATION_TOO_BIG;
    return std::nullopt;
  }
  long double whole = std::floor(static_cast<long double>(secs));
  long double nanos = std::nearbyint((static_cast<long double>(secs) - whole) * 1e9L);
  if (nanos >= 1e9L) {
    whole += 1;
    nanos -= 1e9L;
  }
  if (whole >= TWO_64) {
    why = texts::DURATION_TOO_BIG;
    return std::nullopt;
  }
  return Timeout{static_cast<std::uint64_t>(whole), static_cast<std::uint32_t>(nanos)};
}

Clock::time_point deadline_after(Timeout t, std::optional<Clock::duration> fallback) {
  using namespace std::chrono;
  const auto now = Clock::now();
  const auto room = Clock::time_point::max() - now;
  const auto room_secs = duration_cast<seconds>(room).count();
  if (t.secs < static_cast<std::uint64_t>(room_secs)) {
    const auto d = seconds(static_cast<seconds::rep>(t.secs)) + nanoseconds(t.nanos);
    if (d < room) return now + duration_cast<Clock::duration>(d);
  }
  return fallback ? now + *fallback : Clock::time_point::max();
}

}  // namespace runtime
