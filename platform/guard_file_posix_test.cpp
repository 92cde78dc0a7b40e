#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/guard_file.h"
#include "supervisor/test_support.h"

namespace davrilon {
namespace {

// Copy A's creation step cut in two, as it is when A is slowed down between
// them: the file is opened, and only later locked.
struct SlowCreator {
  explicit SlowCreator(const std::filesystem::path& path)
      : fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)) {}
  ~SlowCreator() {
    if (fd >= 0)
      close(fd);
  }
  bool Lock() const { return flock(fd, LOCK_EX | LOCK_NB) == 0; }
  int fd;
};

class GuardFileTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::filesystem::path path = dir.path() / "OBSLUGA.PC";
};

TEST_F(GuardFileTest, ACopyThatEndedLeavesAFileThatIsTakenOver) {
  dir.Write("OBSLUGA.PC", "left by a copy that was killed");
  EXPECT_FALSE(GuardFile::HeldByRunningCopy(path));
  GuardFile guard;
  ASSERT_TRUE(guard.CreateAndHold(path));
  EXPECT_EQ(dir.Read("OBSLUGA.PC"), "") << "emptied once it is held";
  EXPECT_TRUE(GuardFile::HeldByRunningCopy(path));
  guard.Close();
  EXPECT_TRUE(dir.Exists("OBSLUGA.PC")) << "closed, not deleted";
  EXPECT_FALSE(GuardFile::HeldByRunningCopy(path));
}

// Copy B makes its test while copy A has opened the guard file but not yet
// locked it. Whichever of them locks first, the other one must not run.
TEST_F(GuardFileTest, ATestBetweenAnotherCopysOpenAndLockLetsOnlyOneRun) {
  {  // A locks before B creates its own.
    SlowCreator a(path);
    ASSERT_GE(a.fd, 0);
    EXPECT_FALSE(GuardFile::HeldByRunningCopy(path)) << "B's test: nobody holds it yet";
    ASSERT_TRUE(a.Lock());
    GuardFile b;
    EXPECT_FALSE(b.CreateAndHold(path)) << "A holds the one file at the path";
  }
  {  // B creates its own before A locks.
    SlowCreator a(path);
    ASSERT_GE(a.fd, 0);
    EXPECT_FALSE(GuardFile::HeldByRunningCopy(path));
    GuardFile b;
    ASSERT_TRUE(b.CreateAndHold(path));
    EXPECT_FALSE(a.Lock()) << "B holds the file that A opened";
  }
}

TEST_F(GuardFileTest, AGuardFileThatCannotBeCreatedIsAFailure) {
  GuardFile guard;
  EXPECT_FALSE(guard.CreateAndHold(dir.path() / "MISSING" / "OBSLUGA.PC"));
  EXPECT_FALSE(guard.held());
}

}  // namespace
}  // namespace davrilon
