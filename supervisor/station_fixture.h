// A whole station on fakes, in a scratch store directory, for tests.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "platform/fakes/fake_clock.h"
#include "platform/fakes/fake_console.h"
#include "platform/fakes/recording_runner.h"
#include "supervisor/station.h"
#include "supervisor/test_support.h"

namespace davrilon {

struct StationFixture {
  StationFixture() : files(dir.path()) {
    setenv("TZ", "UTC", 1);
    tzset();
    station.diagnose = [this](std::string_view line) { diagnostics.emplace_back(line); };
  }

  // The event log as it stands on disk (Windows-1250, CR LF).
  std::string Log() const { return dir.Read("davrilon.log"); }

  TempDir dir;
  StoreFiles files;
  FakeConsole console;
  FakeClock clock;
  RecordingRunner runner;
  EventLog log;
  GuardFile guard;
  int signal_number = 0;
  std::vector<std::string> diagnostics;  // the lines for standard error
  Station station{StationConfig{}, log,    console, clock,
                  files,           runner, guard,   [this] { return signal_number; }};
};

}  // namespace davrilon
