#include "platform/console_output_posix.h"

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

namespace davrilon {
namespace {

// Far longer than any console write may take; reaching it means the write hung.
constexpr std::chrono::seconds kHangLimit{10};

std::string DrainNonBlocking(int fd);

// Writes `bytes` on another thread; false when the write has not returned in
// time. The reader `reader_fd` is then drained until the write comes free, so
// a failing test ends.
bool WriteReturns(ConsoleOutput& out, const std::string& bytes, int reader_fd) {
  auto done = std::async(std::launch::async, [&] { out.Write(bytes); });
  if (done.wait_for(kHangLimit) != std::future_status::ready) {
    ADD_FAILURE() << "the console write is still blocked";
    while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
      DrainNonBlocking(reader_fd);
    return false;
  }
  return true;
}

std::string DrainNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string got;
  char chunk[4096];
  for (int i = 0; i < 100000; ++i) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0)
      break;
    got.append(chunk, static_cast<std::size_t>(n));
  }
  return got;
}

struct Pipe {
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  int fds[2] = {-1, -1};
};

TEST(ConsoleOutput, APipeNobodyReadsDropsTheTextInsteadOfBlocking) {
  Pipe p;
  // The reading end in another process would be blocked forever: the writer
  // end the station was given stays blocking for the companion programs.
  ConsoleOutput out(p.fds[1]);
  const std::string megabyte(1 << 20, 'x');
  ASSERT_TRUE(WriteReturns(out, megabyte, p.fds[0]));
  EXPECT_GT(out.dropped(), 0u);
  EXPECT_LT(out.dropped(), megabyte.size()) << "what fitted went out";
  EXPECT_EQ(fcntl(p.fds[1], F_GETFL) & O_NONBLOCK, 0) << "the inherited descriptor keeps blocking";

  // Stalled: the next text does not wait again, and is dropped whole.
  const std::size_t before = out.dropped();
  ASSERT_TRUE(WriteReturns(out, "next", p.fds[0]));
  EXPECT_EQ(out.dropped(), before + 4);

  // Once the reader takes what piled up, texts go out again, whole.
  const std::string piled = DrainNonBlocking(p.fds[0]);
  EXPECT_EQ(piled.size(), megabyte.size() - before);
  ASSERT_TRUE(WriteReturns(out, "after", p.fds[0]));
  EXPECT_EQ(out.dropped(), before + 4);
  EXPECT_EQ(DrainNonBlocking(p.fds[0]), "after");
}

TEST(ConsoleOutput, AFullPseudoTerminalDoesNotHoldTheWriterUp) {
  int master = -1;
  int slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  {
    ConsoleOutput out(slave);
    const std::string text(1 << 20, 'y');
    ASSERT_TRUE(WriteReturns(out, text, master));
    EXPECT_GT(out.dropped(), 0u);
    EXPECT_EQ(fcntl(slave, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_FALSE(DrainNonBlocking(master).empty()) << "what fitted reached the terminal";
  }
  close(master);
  close(slave);
}

TEST(ConsoleOutput, AReadingPipeGetsEveryByteInOrder) {
  Pipe p;
  ConsoleOutput out(p.fds[1]);
  ASSERT_TRUE(WriteReturns(out, "Davrilon jest juz uruchomiony !!!\n", p.fds[0]));
  EXPECT_EQ(out.dropped(), 0u);
  EXPECT_EQ(DrainNonBlocking(p.fds[0]), "Davrilon jest juz uruchomiony !!!\n");
}

}  // namespace
}  // namespace davrilon
