// When a port transfer ends under the port's time-outs. Shared by every
// backend; works on any monotonic time, so the rules are tested without waiting.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

#include "platform/serial_port.h"

namespace davrilon {

using PortTime = std::chrono::steady_clock::time_point;

// The end of one read of `count` bytes: all bytes came, or more than the
// interval time-out passed between two bytes after the first one, or the total
// time-out (constant + count x multiplier) ran out. A part of 0 is no limit.
class ReadDeadline {
 public:
  ReadDeadline(const PortTimeouts& timeouts, std::size_t count, PortTime start);

  // Some bytes came at `now`: the interval time-out starts again.
  void BytesCame(PortTime now) { last_byte_ = now; }

  // How long the read may still wait at `now`: nothing when there is no limit,
  // zero when the read is over.
  std::optional<std::chrono::milliseconds> Remaining(PortTime now) const;

 private:
  std::optional<PortTime> total_end_;
  std::optional<std::chrono::milliseconds> interval_;
  std::optional<PortTime> last_byte_;
};

// The end of one write of `count` bytes: constant + count x multiplier after
// it began; no limit when both are 0.
class WriteDeadline {
 public:
  WriteDeadline(const PortTimeouts& timeouts, std::size_t count, PortTime start);
  std::optional<std::chrono::milliseconds> Remaining(PortTime now) const;

 private:
  std::optional<PortTime> end_;
};

// A wait for poll(): -1 for no limit, otherwise whole milliseconds rounded up
// (so a wait never spins on a zero time-out before its deadline) and capped.
int PollMilliseconds(std::optional<std::chrono::milliseconds> wait);

// The time left until `end` at `now`, never negative.
std::chrono::milliseconds TimeLeft(PortTime end, PortTime now);

}  // namespace davrilon
