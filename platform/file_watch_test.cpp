#include "platform/file_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "supervisor/test_support.h"

namespace davrilon {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// These run against the real file system: a file written while nobody waits
// must still end the next wait, or a progress value would sit unseen.
TEST(FileWatchTest, AFileWrittenBeforeTheWaitEndsItAtOnce) {
  TempDir dir;
  std::unique_ptr<FileWatch> watch = MakeFileWatch();
  ASSERT_TRUE(watch->Watch(dir.path()));
  std::ofstream(dir.path() / "POSTEP.PC") << "50";

  const auto start = steady_clock::now();
  watch->Wait(std::chrono::minutes(5));
  EXPECT_LT(steady_clock::now() - start, std::chrono::minutes(1))
      << "the wait ran to its time-out: the change was not seen";
}

TEST(FileWatchTest, AQuietDirectoryWaitsForTheTimeOutAndEventsAreNotCountedTwice) {
  TempDir dir;
  std::unique_ptr<FileWatch> watch = MakeFileWatch();
  ASSERT_TRUE(watch->Watch(dir.path()));
  std::ofstream(dir.path() / "A") << "1";
  std::ofstream(dir.path() / "B") << "2";
  watch->Wait(std::chrono::minutes(5));  // takes both changes

  const auto start = steady_clock::now();
  watch->Wait(milliseconds(100));
  EXPECT_GE(steady_clock::now() - start, milliseconds(100));
}

TEST(FileWatchTest, ADirectoryThatCannotBeWatchedStillEndsEveryWaitSoon) {
  TempDir dir;
  std::unique_ptr<FileWatch> watch = MakeFileWatch();
  EXPECT_FALSE(watch->Watch(dir.path() / "missing"));

  const auto start = steady_clock::now();
  watch->Wait(std::chrono::minutes(5));
  EXPECT_LT(steady_clock::now() - start, std::chrono::minutes(1))
      << "without a watch the caller must still get to look for itself";
}

}  // namespace
}  // namespace davrilon
