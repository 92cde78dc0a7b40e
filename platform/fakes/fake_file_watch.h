// A file watch in virtual time: a wait in which nothing changes moves the
// clock on by its whole time-out.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <vector>

#include "platform/fakes/fake_clock.h"
#include "platform/file_watch.h"

namespace davrilon {

class FakeFileWatch : public FileWatch {
 public:
  explicit FakeFileWatch(FakeClock& clock) : clock_(clock) {}

  bool Watch(const std::filesystem::path& directory) override {
    watched.push_back(directory);
    watching = true;
    return true;
  }
  // Calls `on_wait` first, in which a test's companion program may leave its
  // files; when it reports a change the wait ends at once.
  void Wait(std::chrono::milliseconds timeout) override {
    waits.push_back(timeout);
    if (on_wait && on_wait())
      return;
    clock_.Advance(timeout);
  }
  void Stop() override { watching = false; }

  std::function<bool()> on_wait;
  std::vector<std::filesystem::path> watched;
  std::vector<std::chrono::milliseconds> waits;
  bool watching = false;

 private:
  FakeClock& clock_;
};

}  // namespace davrilon
