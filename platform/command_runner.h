// The command processor that runs the companion programs.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "platform/signals.h"

namespace davrilon {

class StoreFiles;

// How a run went; the program's exit status is of no interest to the station.
enum class RunOutcome {
  kRan,          // started and waited for (or left running on a stop request)
  kCannotStart,  // not found, or found but could not be started
  kNotStarted,   // a stop request had come: nothing new is started
};

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Runs one command line and returns when it has ended. A program that
  // cannot be found or cannot be started is reported on standard error as a
  // command processor would, and Run returns.
  virtual RunOutcome Run(std::string_view command_line) = 0;
};

// Runs command lines without a shell: the first word is the program, the rest
// are its arguments split at blanks. A program named without a path is looked
// for in the store directory first, then along PATH; one that starts with a
// backslash is a path from the drive root, the directory named by
// DAVRILON_ROOT (default "/"). Names match case-insensitively as store paths do.
//
// A stop request ends the wait, not the program: once `stop_signal` gives a
// signal number, Run returns within a second and leaves the companion program
// running (it may be writing the store's data), and a Run asked for after
// that starts nothing. A program left running this way is reaped by a later
// Run or when the runner is destroyed, if it has ended by then; otherwise it
// outlives the station and init reaps it.
std::unique_ptr<CommandRunner> MakeProcessRunner(
    const StoreFiles& files, std::function<int()> stop_signal = StopSignalNumber);

}  // namespace davrilon
