#include "platform/port_timing.h"

#include <algorithm>
#include <climits>

namespace davrilon {

namespace {

using std::chrono::milliseconds;

// Constant + count x multiplier in 64 bits, so a long write cannot wrap around.
std::optional<PortTime> TotalEnd(std::uint32_t constant_ms, std::uint32_t multiplier_ms,
                                 std::size_t count, PortTime start) {
  if (constant_ms == 0 && multiplier_ms == 0)
    return std::nullopt;
  const auto total =
      milliseconds(constant_ms) +
      milliseconds(static_cast<std::int64_t>(multiplier_ms) * static_cast<std::int64_t>(count));
  return start + total;
}

}  // namespace

std::chrono::milliseconds TimeLeft(PortTime end, PortTime now) {
  if (now >= end)
    return milliseconds(0);
  return std::chrono::ceil<milliseconds>(end - now);
}

ReadDeadline::ReadDeadline(const PortTimeouts& timeouts, std::size_t count, PortTime start)
    : total_end_(TotalEnd(timeouts.read_total_constant_ms, timeouts.read_total_multiplier_ms, count,
                          start)) {
  if (timeouts.read_interval_ms != 0)
    interval_ = milliseconds(timeouts.read_interval_ms);
}

std::optional<milliseconds> ReadDeadline::Remaining(PortTime now) const {
  std::optional<milliseconds> left;
  if (total_end_)
    left = TimeLeft(*total_end_, now);
  if (interval_ && last_byte_) {
    const milliseconds interval_left = TimeLeft(*last_byte_ + *interval_, now);
    left = left ? std::min(*left, interval_left) : interval_left;
  }
  return left;
}

WriteDeadline::WriteDeadline(const PortTimeouts& timeouts, std::size_t count, PortTime start)
    : end_(TotalEnd(timeouts.write_total_constant_ms, timeouts.write_total_multiplier_ms, count,
                    start)) {}

std::optional<milliseconds> WriteDeadline::Remaining(PortTime now) const {
  if (!end_)
    return std::nullopt;
  return TimeLeft(*end_, now);
}

int PollMilliseconds(std::optional<milliseconds> wait) {
  if (!wait)
    return -1;
  return static_cast<int>(std::clamp<std::int64_t>(wait->count(), 0, INT_MAX));
}

}  // namespace davrilon
