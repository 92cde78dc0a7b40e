// The command processor that runs the companion programs.
#pragma once

#include <memory>
#include <string_view>

namespace davrilon {

class StoreFiles;

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Runs one command line and returns when it has ended. The exit status is
  // of no interest to the station; a program that cannot be started is
  // reported on standard error as a command processor would, and Run returns.
  virtual void Run(std::string_view command_line) = 0;
};

// Runs command lines without a shell: the first word is the program, the rest
// are its arguments split at blanks. A program named without a path is looked
// for in the store directory first, then along PATH; one that starts with a
// backslash is a path from the drive root, the directory named by
// DAVRILON_ROOT (default "/"). Names match case-insensitively as store paths do.
std::unique_ptr<CommandRunner> MakeProcessRunner(const StoreFiles& files);

}  // namespace davrilon
