// Waiting for files that another program leaves in a directory, without
// polling it in a tight loop.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>

namespace davrilon {

// Changes are remembered from Watch() on, so a file that appears between a
// look at the directory and the next Wait() still ends that wait at once.
class FileWatch {
 public:
  virtual ~FileWatch() = default;

  // Starts watching `directory` in place of whatever was watched before.
  // False when it cannot be watched; Wait() then waits a short while only,
  // so a caller that looks at its files after every Wait() still sees them.
  virtual bool Watch(const std::filesystem::path& directory) = 0;

  // Returns when a file in the watched directory has been written and closed,
  // or moved in, since Watch() or the previous Wait(); else when `timeout`
  // has passed.
  virtual void Wait(std::chrono::milliseconds timeout) = 0;

  // Stops watching.
  virtual void Stop() = 0;
};

// The platform's watch (inotify on Linux).
std::unique_ptr<FileWatch> MakeFileWatch();

}  // namespace davrilon
