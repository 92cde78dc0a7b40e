#include "platform/uucp_lock_posix.h"

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/serial_termios.h"
#include "supervisor/test_support.h"

namespace davrilon {
namespace {

// The number of a process that has ended and been reaped: nobody has it now.
pid_t GonePid() {
  const pid_t child = fork();
  if (child == 0)
    _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

std::string PidText(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

TEST(UucpLock, NamesFollowTheLockProgramsCustom) {
  EXPECT_EQ(UucpLockName("/dev/ttyS0"), "LCK..ttyS0");
  EXPECT_EQ(UucpLockName("/dev/ttyUSB1"), "LCK..ttyUSB1");
  EXPECT_EQ(UucpLockName("/dev/pts/3"), "LCK..pts_3");
  EXPECT_EQ(UucpLockName("/srv/modem"), "LCK..modem");
}

TEST(UucpLock, HoldsTheProcessNumberAndGoesWithRelease) {
  TempDir locks;
  int error = -1;
  std::optional<UucpLock> lock = UucpLock::Take("/dev/ttyS0", locks.path().string(), error);
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(lock->held());
  EXPECT_EQ(locks.Read("LCK..ttyS0"), PidText(getpid()));
  lock->Release();
  EXPECT_FALSE(locks.Exists("LCK..ttyS0"));
  EXPECT_TRUE(std::filesystem::is_empty(locks.path())) << "no temporary file left";
}

TEST(UucpLock, ALiveHolderRefusesAndAStaleOneIsRemoved) {
  struct Case {
    const char* name;
    std::string content;
    bool taken;
  };
  const int parent = static_cast<int>(getppid());  // alive while the test runs
  const std::string binary(reinterpret_cast<const char*>(&parent), sizeof parent);
  const Case cases[] = {
      {"live, ASCII", PidText(parent), false},
      {"live, old binary form", binary, false},
      {"gone", PidText(GonePid()), true},
      {"empty", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir locks;
    locks.Write("LCK..ttyS1", c.content);
    int error = -1;
    std::optional<UucpLock> lock = UucpLock::Take("/dev/ttyS1", locks.path().string(), error);
    EXPECT_EQ(lock.has_value(), c.taken);
    EXPECT_EQ(error, c.taken ? 0 : EBUSY);
    EXPECT_EQ(locks.Read("LCK..ttyS1"), c.taken ? PidText(getpid()) : c.content)
        << "a live holder's lock is left alone";
  }
}

TEST(UucpLock, NoLockDirectoryIsNoReasonToRefuseThePort) {
  int error = -1;
  std::optional<UucpLock> lock = UucpLock::Take("/dev/ttyS0", "/nonexistent/lock/dir", error);
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(error, 0);
  EXPECT_FALSE(lock->held());
}

// The serial device backend takes the lock with the port and lets go of it
// with the port; a device another program has locked is busy.
TEST(UucpLock, TheDeviceBackendTakesItAndGivesItBack) {
  TempDir locks;
  ScopedVariable lock_dir("DAVRILON_LOCK_DIR", locks.path().string());
  int far = -1;
  int near = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&far, &near, name, nullptr, nullptr), 0);
  const std::string lock_name = UucpLockName(name);
  {
    PortOpenResult opened = OpenTermiosPort(name);
    ASSERT_NE(opened.port, nullptr) << opened.error;
    EXPECT_EQ(locks.Read(lock_name), PidText(getpid()));
    opened.port->Close();
    EXPECT_FALSE(locks.Exists(lock_name));
  }
  locks.Write(lock_name, PidText(getppid()));
  PortOpenResult refused = OpenTermiosPort(name);
  EXPECT_EQ(refused.port, nullptr);
  EXPECT_EQ(refused.error, static_cast<std::uint32_t>(EBUSY));
  EXPECT_NE(refused.reason.find(lock_name), std::string::npos) << refused.reason;
  close(far);
  close(near);
}

}  // namespace
}  // namespace davrilon
