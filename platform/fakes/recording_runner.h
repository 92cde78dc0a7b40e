// A command processor that records the command lines it was given.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/command_runner.h"

namespace davrilon {

class RecordingRunner : public CommandRunner {
 public:
  RunOutcome Run(std::string_view command_line) override {
    commands.emplace_back(command_line);
    if (on_run)
      on_run(commands.back());
    return outcome;
  }

  std::vector<std::string> commands;
  RunOutcome outcome = RunOutcome::kRan;  // what every run reports
  // Stands in for the companion program's work (writing files, say).
  std::function<void(const std::string&)> on_run;
};

}  // namespace davrilon
