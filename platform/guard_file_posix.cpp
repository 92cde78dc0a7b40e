#include "platform/guard_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace davrilon {

bool GuardFile::HeldByRunningCopy(const std::filesystem::path& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  if (!held)
    unlink(path.c_str());  // stale: nobody holds it
  close(fd);               // also drops our own test lock
  return held;
}

bool GuardFile::CreateAndHold(const std::filesystem::path& path) {
  Close();
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);  // a copy that started at the same moment holds it
    return false;
  }
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
