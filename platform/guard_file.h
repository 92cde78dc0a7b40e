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

  // Whether a running copy holds the file at `path`. A file that nobody holds
  // is deleted, as a stale guard file is.
  static bool HeldByRunningCopy(const std::filesystem::path& path);

  // Creates the file (truncated to empty) and holds it. False when it cannot
  // be created, or another copy took it first.
  bool CreateAndHold(const std::filesystem::path& path);

  // Lets go of the file; it stays on disk.
  void Close();

  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace davrilon
