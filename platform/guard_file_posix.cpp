#include "platform/guard_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <chrono>

namespace davrilon {

namespace {

// A newcomer's test takes the lock for a moment; a copy that is creating its
// guard file just then tries again a few times before it gives up.
constexpr int kLockAttempts = 10;
constexpr std::chrono::milliseconds kLockRetryPause{10};

bool TakeLock(int fd) {
  for (int attempt = 1;; ++attempt) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
      return true;
    if (errno != EWOULDBLOCK || attempt == kLockAttempts)
      return false;
    const timespec pause{0, std::chrono::nanoseconds(kLockRetryPause).count()};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

// The guard file is never deleted. A lock always lands on the one file at the
// path, so two copies cannot end up holding locks on two different files: with
// a delete in the test, a copy that had opened the old file but not locked it
// yet would lock a deleted file while the other created and locked a new one.
bool GuardFile::HeldByRunningCopy(const std::filesystem::path& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0)
    return false;
  const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // also drops our own test lock
  return held;
}

bool GuardFile::CreateAndHold(const std::filesystem::path& path) {
  Close();
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0)
    return false;
  if (!TakeLock(fd)) {
    close(fd);  // a running copy holds it, or one that started at the same moment
    return false;
  }
  // Emptied only once it is ours: a stale guard file may hold anything.
  if (ftruncate(fd, 0) != 0) {
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void GuardFile::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

}  // namespace davrilon
