// A clock in virtual time: pauses return at once and move the clock on.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "platform/clock.h"

namespace davrilon {

class FakeClock : public Clock {
 public:
  // 5 March 2001, 14:03:09 UTC: a Monday.
  static constexpr std::time_t kStart = 983800989;

  std::time_t Now() override {
    return kStart + static_cast<std::time_t>(
                        std::chrono::duration_cast<std::chrono::seconds>(elapsed_).count());
  }
  void PauseSeconds(int seconds) override {
    pauses.push_back(seconds);
    elapsed_ += std::chrono::seconds(seconds);
    if (on_pause)
      on_pause(seconds);
  }
  std::chrono::steady_clock::time_point Monotonic() override {
    return std::chrono::steady_clock::time_point(elapsed_);
  }

  void Advance(std::chrono::milliseconds by) { elapsed_ += by; }
  std::chrono::milliseconds elapsed() const { return elapsed_; }

  std::vector<int> pauses;  // every PauseSeconds argument, in order
  // Stands in for what the world does while the station waits.
  std::function<void(int seconds)> on_pause;

 private:
  std::chrono::milliseconds elapsed_{0};
};

}  // namespace davrilon
