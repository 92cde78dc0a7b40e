// The guard file that tells a running station from one that has ended.
#pragma once

#include <filesystem>

namespace davrilon {

// A running station holds its guard file open and locked for the whole run.
// The lock goes with the process, so a guard file left on disk by a copy that
// ended or was killed never blocks the next start.
class GuardFile {
 public:
  GuardFile() = default;
  GuardFile(const GuardFile&) = delete;
  GuardFile& operator=(const GuardFile&) = delete;
  ~GuardFile() { Close(); }

  // Whether a running copy holds the file at `path`. A stale guard file is
  // left where it is: CreateAndHold takes it over.
  static bool HeldByRunningCopy(const std::filesystem::path& path);

  // Creates the file, or takes over a stale one, holds it and empties it.
  // False when it cannot be created, or another copy holds it.
  bool CreateAndHold(const std::filesystem::path& path);

  // Lets go of the file; it stays on disk.
  void Close();

  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace davrilon
