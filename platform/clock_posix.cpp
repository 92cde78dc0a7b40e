#include "platform/clock.h"

#include <sched.h>
#include <time.h>

#include <cerrno>

#include "platform/signals.h"

namespace davrilon {
namespace {

class PosixClock final : public Clock {
 public:
  std::time_t Now() override { return std::time(nullptr); }

  void PauseSeconds(int seconds) override {
    if (seconds <= 0) {
      sched_yield();
      return;
    }
    timespec left{seconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
      if (StopSignalNumber() != 0)
        return;
    }
  }

  std::chrono::steady_clock::time_point Monotonic() override {
    return std::chrono::steady_clock::now();
  }
};

}  // namespace

Clock& SystemClock() {
  static PosixClock clock;
  return clock;
}

std::tm ToLocalTime(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

}  // namespace davrilon
