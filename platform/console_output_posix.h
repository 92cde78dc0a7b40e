// The console's output on POSIX: a terminal, pipe or socket that may stop
// reading (a terminal held by Ctrl+S elsewhere, a full pseudo-terminal, a
// logger that hangs) must never hold the station up.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

namespace davrilon {

// How long one console write may wait for room. What has not gone out by then
// is dropped: the console's texts may be lost, the event log's never.
constexpr std::chrono::milliseconds kConsoleWriteDeadline{100};

class ConsoleOutput {
 public:
  // Writes to `fd`. A terminal or pipe is written through a descriptor of its
  // own opened without blocking, so the descriptor that the companion programs
  // inherit keeps its blocking mode; a socket is written without waiting.
  explicit ConsoleOutput(int fd);
  ~ConsoleOutput();
  ConsoleOutput(const ConsoleOutput&) = delete;
  ConsoleOutput& operator=(const ConsoleOutput&) = delete;

  // Writes the bytes, waiting at most kConsoleWriteDeadline for room; once a
  // write has run out of time, later ones do not wait at all until one goes
  // through whole again.
  void Write(std::string_view bytes);

  // Bytes dropped so far.
  std::size_t dropped() const { return dropped_; }

 private:
  enum class Kind { kPlain, kOwnNonBlocking, kSocket };
  long WriteSome(std::string_view bytes);

  int fd_;
  Kind kind_ = Kind::kPlain;
  bool stalled_ = false;
  std::size_t dropped_ = 0;
};

}  // namespace davrilon
