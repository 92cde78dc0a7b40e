// The wall clock and the station's one way of waiting.
#pragma once

#include <chrono>
#include <ctime>
#include <memory>

namespace davrilon {

// Every wait of the station goes through a Clock, so tests run the station's
// long waits (the 60 s carrier wait, the 300 s relay limit) in virtual time.
class Clock {
 public:
  virtual ~Clock() = default;

  // The wall clock in whole seconds.
  virtual std::time_t Now() = 0;

  // Suspends the calling thread for `seconds` x 1000 ms; 0 only gives up the
  // rest of the time slice. Cannot fail. The real clock cuts a pause short when
  // the station has been asked to stop by a signal, so a stop is never delayed
  // by a whole pause.
  virtual void PauseSeconds(int seconds) = 0;

  // A monotonic reading for bounded waits below a second (port time-outs,
  // file watches). Never goes back.
  virtual std::chrono::steady_clock::time_point Monotonic() = 0;
};

// The process's real clock.
Clock& SystemClock();

// Local time of a wall-clock reading, as the time stamps of the event log need it.
std::tm ToLocalTime(std::time_t t);

}  // namespace davrilon
