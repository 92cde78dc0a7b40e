// UUCP lock files for local serial devices, as mgetty, cu and minicom take
// them: "LCK..ttyS0" in the system's lock directory, holding the holder's
// process number as ten ASCII characters and a line feed. They tell those
// programs that the station holds the modem, and keep them (and root, whom the
// exclusive open does not stop) from taking it.
#pragma once

#include <optional>
#include <string>

namespace davrilon {

// Where lock files go: DAVRILON_LOCK_DIR when set, else /var/lock, else
// /run/lock; empty when there is none.
std::string UucpLockDirectory();

// "LCK..ttyS0" for /dev/ttyS0; a path below /dev keeps its subdirectories
// with '/' as '_' ("LCK..pts_3"), as the lock programs write them.
std::string UucpLockName(const std::string& device_path);

class UucpLock {
 public:
  // Takes the lock for `device_path` in `directory`. A lock left by a process
  // that is gone is removed first. Nothing (with EBUSY in `error`) when a live
  // process holds it. When the lock file cannot be made at all (no lock
  // directory, no right to write there), the port is opened without one:
  // that is not the modem being busy; `error` is then 0 and the lock empty.
  static std::optional<UucpLock> Take(const std::string& device_path, const std::string& directory,
                                      int& error);

  UucpLock(UucpLock&& other) noexcept;
  UucpLock& operator=(UucpLock&& other) noexcept;
  UucpLock(const UucpLock&) = delete;
  UucpLock& operator=(const UucpLock&) = delete;
  ~UucpLock() { Release(); }

  // Removes the lock file, if it is still ours; safe to call more than once.
  void Release();
  bool held() const { return !path_.empty(); }

 private:
  explicit UucpLock(std::string path) : path_(std::move(path)) {}
  std::string path_;  // empty: nothing held
};

}  // namespace davrilon
