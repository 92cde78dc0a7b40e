#include "platform/console_output_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/port_timing.h"

namespace davrilon {

namespace {

// A new open file description on what `fd` leads to, non-blocking: on Linux
// /proc/self/fd opens the same terminal or pipe again.
int ReopenNonBlocking(int fd) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  int own = open(self.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (own < 0 && isatty(fd) != 0) {
    if (const char* name = ttyname(fd))
      own = open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  }
  return own;
}

}  // namespace

ConsoleOutput::ConsoleOutput(int fd) : fd_(fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0)
    return;
  if (S_ISSOCK(st.st_mode)) {
    kind_ = Kind::kSocket;
  } else if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
    const int own = ReopenNonBlocking(fd);
    if (own >= 0) {
      fd_ = own;
      kind_ = Kind::kOwnNonBlocking;
    }
  }
  // Anything else (a regular file, /dev/null) takes a write at once.
}

ConsoleOutput::~ConsoleOutput() {
  if (kind_ == Kind::kOwnNonBlocking)
    close(fd_);
}

long ConsoleOutput::WriteSome(std::string_view bytes) {
  if (kind_ == Kind::kSocket)
    return static_cast<long>(send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL));
  return static_cast<long>(write(fd_, bytes.data(), bytes.size()));
}

void ConsoleOutput::Write(std::string_view bytes) {
  const auto end = std::chrono::steady_clock::now() + kConsoleWriteDeadline;
  while (!bytes.empty()) {
    const long n = WriteSome(bytes);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
      break;  // the console reports no failures
    const std::chrono::milliseconds left = TimeLeft(end, std::chrono::steady_clock::now());
    if (stalled_ || left.count() == 0)
      break;
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, PollMilliseconds(left)) < 0 && errno != EINTR)
      break;
  }
  dropped_ += bytes.size();
  stalled_ = !bytes.empty();
}

}  // namespace davrilon
