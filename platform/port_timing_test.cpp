#include "platform/port_timing.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace davrilon {
namespace {

using std::chrono::milliseconds;

const PortTime kStart{std::chrono::hours(1)};

// The station's own read time-outs: 3 s between bytes, 3 s in all, no per-byte part.
constexpr PortTimeouts kStation{3000, 0, 3000, 3000, 3000};

struct ReadCase {
  const char* name;
  PortTimeouts timeouts;
  std::size_t count;
  std::vector<int> bytes_at_ms;  // when bytes came, from the start
  int now_ms;
  std::optional<milliseconds> remaining;
};

TEST(ReadDeadline, EndsOnTheTotalOrTheIntervalWhicheverComesFirst) {
  const ReadCase cases[] = {
      {"silent line waits the total", kStation, 132, {}, 0, milliseconds(3000)},
      {"silent line almost over", kStation, 132, {}, 2999, milliseconds(1)},
      {"silent line over", kStation, 132, {}, 3000, milliseconds(0)},
      {"after a byte the interval counts too", kStation, 132, {1000}, 1000, milliseconds(2000)},
      {"late byte: the total still ends it", kStation, 132, {2500}, 2600, milliseconds(400)},
      {"interval restarts with each byte",
       PortTimeouts{100, 0, 0, 0, 0},
       10,
       {50, 120},
       200,
       milliseconds(20)},
      {"interval over", PortTimeouts{100, 0, 0, 0, 0}, 10, {50}, 150, milliseconds(0)},
      {"interval alone waits forever for the first byte",
       PortTimeouts{100, 0, 0, 0, 0},
       10,
       {},
       60000,
       std::nullopt},
      {"per-byte part", PortTimeouts{0, 10, 100, 0, 0}, 50, {}, 0, milliseconds(600)},
      {"no time-outs: no limit", PortTimeouts{}, 132, {10}, 99999, std::nullopt},
      {"no 32-bit wrap",
       PortTimeouts{0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
       4,
       {},
       0,
       milliseconds(5LL * 0xFFFFFFFF)},
  };
  for (const auto& c : cases) {
    ReadDeadline d(c.timeouts, c.count, kStart);
    for (int at : c.bytes_at_ms)
      d.BytesCame(kStart + milliseconds(at));
    EXPECT_EQ(d.Remaining(kStart + milliseconds(c.now_ms)), c.remaining) << c.name;
  }
}

TEST(WriteDeadline, IsConstantPlusThePerBytePartForTheWholeWrite) {
  struct Case {
    PortTimeouts timeouts;
    std::size_t count;
    int now_ms;
    std::optional<milliseconds> remaining;
  };
  const Case cases[] = {
      {kStation, 2, 0, milliseconds(9000)},
      {kStation, 2, 8999, milliseconds(1)},
      {kStation, 2, 12000, milliseconds(0)},
      {PortTimeouts{}, 1000, 5, std::nullopt},
  };
  for (const auto& c : cases) {
    WriteDeadline d(c.timeouts, c.count, kStart);
    EXPECT_EQ(d.Remaining(kStart + milliseconds(c.now_ms)), c.remaining);
  }
}

TEST(PollMilliseconds, RoundsUpAndCaps) {
  EXPECT_EQ(PollMilliseconds(std::nullopt), -1);
  EXPECT_EQ(PollMilliseconds(milliseconds(0)), 0);
  EXPECT_EQ(PollMilliseconds(milliseconds(1500)), 1500);
  EXPECT_EQ(PollMilliseconds(milliseconds(1LL << 40)), INT_MAX);
  EXPECT_EQ(TimeLeft(kStart + std::chrono::microseconds(1), kStart), milliseconds(1));
  EXPECT_EQ(TimeLeft(kStart, kStart + milliseconds(5)), milliseconds(0));
}

}  // namespace
}  // namespace davrilon
