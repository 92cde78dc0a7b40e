#include "platform/append_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace davrilon {

bool AppendFile::Open(const std::filesystem::path& path) {
  Close();
  fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  return fd_ >= 0;
}

bool AppendFile::Write(const char* bytes, std::size_t count) {
  if (fd_ < 0)
    return false;
  while (count > 0) {
    ssize_t n = write(fd_, bytes, count);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

void AppendFile::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

}  // namespace davrilon
