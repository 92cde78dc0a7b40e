#include "platform/uucp_lock_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace davrilon {

namespace {

constexpr char kLockPrefix[] = "LCK..";
constexpr char kDevicePrefix[] = "/dev/";
// A stale lock is removed and the lock taken again; another program racing for
// it as well may win in between, so this is tried a few times only.
constexpr int kTakeAttempts = 3;
constexpr std::size_t kPidTextSize = 11;  // "%10d\n"

bool IsDirectory(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// The process number in a lock file: ten ASCII characters as mgetty and
// minicom write them, or the four binary bytes of old UUCP; 0 when unreadable.
pid_t HolderOf(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    return 0;
  char text[32] = {};
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n == static_cast<ssize_t>(sizeof(int))) {
    int binary = 0;
    std::memcpy(&binary, text, sizeof binary);
    return binary;
  }
  if (n <= 0)
    return 0;
  return static_cast<pid_t>(std::strtol(text, nullptr, 10));
}

bool Alive(pid_t pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

}  // namespace

std::string UucpLockDirectory() {
  if (const char* configured = std::getenv("DAVRILON_LOCK_DIR"); configured && *configured)
    return configured;
  for (const char* dir : {"/var/lock", "/run/lock"})
    if (IsDirectory(dir))
      return dir;
  return {};
}

std::string UucpLockName(const std::string& device_path) {
  std::string name = device_path;
  if (name.rfind(kDevicePrefix, 0) == 0) {
    name = name.substr(std::strlen(kDevicePrefix));
  } else if (const auto slash = name.rfind('/'); slash != std::string::npos) {
    name = name.substr(slash + 1);
  }
  for (char& c : name)
    if (c == '/')
      c = '_';
  return kLockPrefix + name;
}

std::optional<UucpLock> UucpLock::Take(const std::string& device_path, const std::string& directory,
                                       int& error) {
  error = 0;
  if (directory.empty())
    return UucpLock(std::string());
  const std::string path = directory + "/" + UucpLockName(device_path);
  const std::string temporary = directory + "/LTMP." + std::to_string(getpid());
  char text[kPidTextSize + 1];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));

  for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
    // Written whole under a name of its own, then linked into place: another
    // program never sees a lock file without its process number.
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
      return UucpLock(std::string());  // no right to lock here: go on without
    const bool written = write(fd, text, kPidTextSize) == static_cast<ssize_t>(kPidTextSize);
    close(fd);
    const int linked = written ? link(temporary.c_str(), path.c_str()) : -1;
    const int link_error = errno;
    unlink(temporary.c_str());
    if (linked == 0)
      return UucpLock(path);
    if (!written || link_error != EEXIST)
      return UucpLock(std::string());
    const pid_t holder = HolderOf(path);
    if (Alive(holder)) {
      error = EBUSY;
      return std::nullopt;
    }
    unlink(path.c_str());  // left by a process that is gone
  }
  error = EBUSY;
  return std::nullopt;
}

UucpLock::UucpLock(UucpLock&& other) noexcept : path_(std::exchange(other.path_, {})) {}

UucpLock& UucpLock::operator=(UucpLock&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::exchange(other.path_, {});
  }
  return *this;
}

void UucpLock::Release() {
  if (path_.empty())
    return;
  if (HolderOf(path_) == getpid())
    unlink(path_.c_str());
  path_.clear();
}

}  // namespace davrilon
