#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <thread>

#include "platform/file_watch.h"

namespace davrilon {

namespace {

// Without inotify a caller is woken this often to look for itself.
constexpr std::chrono::milliseconds kFallbackPoll{50};

// A file that is only created is not looked at yet: its writer may not have
// put anything into it. It counts once it is closed after writing.
constexpr std::uint32_t kWatchedEvents = IN_CLOSE_WRITE | IN_MOVED_TO;

class InotifyWatch : public FileWatch {
 public:
  ~InotifyWatch() override { Stop(); }

  bool Watch(const std::filesystem::path& directory) override {
    Stop();
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0)
      return false;
    if (inotify_add_watch(fd_, directory.c_str(), kWatchedEvents) < 0) {
      Stop();
      return false;
    }
    return true;
  }

  void Wait(std::chrono::milliseconds timeout) override {
    if (timeout.count() < 0)
      timeout = std::chrono::milliseconds(0);
    if (fd_ < 0) {
      std::this_thread::sleep_for(std::min(timeout, kFallbackPoll));
      return;
    }
    pollfd request{fd_, POLLIN, 0};
    int ready = poll(&request, 1, static_cast<int>(timeout.count()));
    if (ready > 0)
      Drain();
    // A signal (ready < 0, EINTR) ends the wait early too; the caller looks
    // at its files and waits again.
  }

  void Stop() override {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }

 private:
  // Reads every queued event; which file changed is of no interest, the
  // caller looks at its files itself.
  void Drain() {
    alignas(inotify_event) std::array<char, 4096> events;
    while (read(fd_, events.data(), events.size()) > 0) {
    }
  }

  int fd_ = -1;
};

}  // namespace

std::unique_ptr<FileWatch> MakeFileWatch() {
  return std::make_unique<InotifyWatch>();
}

}  // namespace davrilon
