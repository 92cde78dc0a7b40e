// What every part of the station works with: its configuration, its log, its
// console and the platform services, gathered in one place and handed down.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/command_runner.h"
#include "platform/console.h"
#include "platform/diagnostics.h"
#include "platform/file_watch.h"
#include "platform/guard_file.h"
#include "platform/signals.h"
#include "platform/store_files.h"
#include "supervisor/event_log.h"

namespace davrilon {

inline constexpr std::string_view kWindowTitle = "System DAVRILON - Wersja dla Windows (32-bitowa)";

// Fixed at start-up from MODEM.CFG and only read afterwards.
struct StationConfig {
  std::string port_name = "COM ";
  int network = 0;       // line 3 '3' or '4': the store's software transfers over the network too
  int modem_in_use = 1;  // line 3 '4' clears it: network only, no port
  int loud = 0;          // line 4 '1': modem speaker on
};

struct Station {
  StationConfig config;
  EventLog& log;
  Console& console;
  Clock& clock;
  StoreFiles& files;
  CommandRunner& runner;
  GuardFile& guard;
  // The number of a stop signal received, or 0.
  std::function<int()> stop_signal = StopSignalNumber;
  // Wakes the progress relay when the companion program leaves a file; null:
  // the relay looks for its files after every PauseSeconds(0).
  FileWatch* watch = nullptr;
  // One English line for the IT person on standard error, beside the log.
  std::function<void(std::string_view)> diagnose = WriteDiagnostic;

  void TimeStamp() { log.TimeStamp(clock.Now()); }
  // Whether a stop signal has come. Every wait of the station looks at it at
  // least once a second, and nothing new is started after it.
  bool StopRequested() const { return stop_signal() != 0; }
};

}  // namespace davrilon
