#include "platform/serial_termios.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace davrilon {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// The station's time-outs: 3 s between bytes, 3 s in all, no per-byte part.
constexpr PortTimeouts kStationTimeouts{3000, 0, 3000, 3000, 3000};
constexpr auto kPeerWait = 3s;  // how long the far end waits for what the port sent

std::vector<std::uint8_t> AllByteValues() {
  std::vector<std::uint8_t> all;
  for (int i = 0; i < 256; ++i)
    all.push_back(static_cast<std::uint8_t>(i));
  return all;
}

// A pseudo-terminal pair: the port opens the terminal side by name, the test
// plays the far end on the controlling side.
class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256] = {};
    ASSERT_EQ(openpty(&far_, &near_, name, nullptr, nullptr), 0) << errno;
    path_ = name;
  }
  void TearDown() override {
    close(far_);
    close(near_);
  }

  std::unique_ptr<SerialPort> OpenPort() {
    PortOpenResult r = OpenTermiosPort(path_);
    EXPECT_NE(r.port, nullptr) << "open failed: " << r.error;
    return std::move(r.port);
  }

  void FarWrite(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(write(far_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Bytes waiting on the port's side; waits a little for `expected` to arrive,
  // since the far end's bytes reach the terminal side a moment later.
  int Queued(int expected) {
    int queued = 0;
    const auto end = SteadyClock::now() + kPeerWait;
    do {
      if (ioctl(near_, FIONREAD, &queued) != 0)
        return -1;
      if (queued >= expected)
        break;
      std::this_thread::sleep_for(10ms);
    } while (SteadyClock::now() < end);
    return queued;
  }

  std::vector<std::uint8_t> FarRead(std::size_t count) {
    std::vector<std::uint8_t> got;
    const auto end = SteadyClock::now() + kPeerWait;
    while (got.size() < count && SteadyClock::now() < end) {
      pollfd p{far_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0)
        continue;
      std::uint8_t buf[512];
      const ssize_t n = read(far_, buf, std::min(sizeof buf, count - got.size()));
      if (n <= 0)
        break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

  int far_ = -1;
  int near_ = -1;  // kept open so the pair lives as long as the test
  std::string path_;
};

TEST_F(PtyPort, EveryByteValuePassesUnchangedBothWays) {
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetTimeouts(kStationTimeouts));
  const auto all = AllByteValues();

  std::uint32_t written = 0;
  ASSERT_TRUE(port->Write(all, written));
  EXPECT_EQ(written, all.size());
  EXPECT_EQ(FarRead(all.size()), all);

  FarWrite(all);
  std::vector<std::uint8_t> in(all.size());
  std::uint32_t got = 0;
  ASSERT_TRUE(port->Read(in, got));
  EXPECT_EQ(got, all.size());
  EXPECT_EQ(in, all);
}

// One of the few real-time tests: the station's exchange counts on a read on a
// silent line ending about 3 s after it began.
TEST_F(PtyPort, ReadOnASilentLineSucceedsEmptyAfterTheTotalTimeout) {
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetTimeouts(kStationTimeouts));
  std::vector<std::uint8_t> in(132);
  std::uint32_t got = 99;
  const auto start = SteadyClock::now();
  ASSERT_TRUE(port->Read(in, got));
  const auto took = SteadyClock::now() - start;
  EXPECT_EQ(got, 0u);
  EXPECT_GE(took, 2500ms);
  EXPECT_LE(took, 6000ms);
}

TEST_F(PtyPort, ReadEndsOnTheIntervalAfterAPartialBlock) {
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetTimeouts(PortTimeouts{200, 0, 10000, 0, 0}));
  FarWrite({1, 2, 3, 4, 5, 6, 7});
  std::vector<std::uint8_t> in(132);
  std::uint32_t got = 0;
  const auto start = SteadyClock::now();
  ASSERT_TRUE(port->Read(in, got));
  const auto took = SteadyClock::now() - start;
  ASSERT_EQ(got, 7u);
  EXPECT_EQ(std::vector<std::uint8_t>(in.begin(), in.begin() + 7),
            (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_GE(took, 150ms);
  EXPECT_LE(took, 5000ms);  // well before the 10 s total
}

TEST_F(PtyPort, PurgeThrowsAwayWhatCameAndWasNotRead) {
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetTimeouts(PortTimeouts{100, 0, 1000, 0, 0}));
  FarWrite({'o', 'l', 'd'});
  ASSERT_EQ(Queued(3), 3);
  ASSERT_TRUE(port->PurgeReceive());
  FarWrite({'n', 'e', 'w'});
  std::vector<std::uint8_t> in(8);
  std::uint32_t got = 0;
  ASSERT_TRUE(port->Read(in, got));
  EXPECT_EQ(std::string(in.begin(), in.begin() + got), "new");
}

TEST_F(PtyPort, LineSettingsChangeOnlyTheirFourFields) {
  termios before{};
  ASSERT_EQ(tcgetattr(near_, &before), 0);
  before.c_cflag |= CRTSCTS;  // the port had hardware flow control before the station came
  ASSERT_EQ(tcsetattr(near_, TCSANOW, &before), 0);
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);

  // A pseudo-terminal keeps speed and stop bits but always has 8-bit bytes and no parity.
  const LineSettings good[] = {{9600, 8, 0, 2}, {2400, 8, 0, 0}, {300, 8, 0, 2}};
  for (const auto& s : good) {
    ASSERT_TRUE(port->SetLineSettings(s)) << s.baud_rate << " " << port->last_error();
    LineSettings now;
    ASSERT_TRUE(port->GetLineSettings(now));
    EXPECT_EQ(now.baud_rate, s.baud_rate);
    EXPECT_EQ(now.byte_size, s.byte_size);
    EXPECT_EQ(now.parity, s.parity);
    EXPECT_EQ(now.stop_bits, s.stop_bits);
  }
  termios after{};
  ASSERT_EQ(tcgetattr(near_, &after), 0);
  EXPECT_NE(after.c_cflag & CRTSCTS, 0u) << "hardware flow control was dropped";

  const LineSettings bad[] = {
      {12345, 8, 0, 0}, {9600, 9, 0, 0}, {9600, 4, 0, 0},   {9600, 8, 5, 0}, {9600, 8, 0, 3},
      {9600, 8, 0, 1},  {9600, 5, 0, 2}, {115200, 7, 2, 0},  // valid, but the device does not take
                                                             // all of it
  };
  for (const auto& s : bad) {
    EXPECT_FALSE(port->SetLineSettings(s)) << s.baud_rate << "/" << int(s.byte_size);
    EXPECT_EQ(port->last_error(), static_cast<std::uint32_t>(EINVAL));
  }
  LineSettings kept;
  ASSERT_TRUE(port->GetLineSettings(kept));
  EXPECT_EQ(kept.baud_rate, 300u) << "a refused setting must leave the last good one";
  EXPECT_EQ(kept.stop_bits, 2u);
}

TEST_F(PtyPort, SecondOpenerIsRefusedUntilTheFirstCloses) {
  auto first = OpenPort();
  ASSERT_NE(first, nullptr);
  PortOpenResult second = OpenTermiosPort(path_);
  EXPECT_EQ(second.port, nullptr);
  EXPECT_EQ(second.error, static_cast<std::uint32_t>(EBUSY));
  first->Close();
  PortOpenResult third = OpenTermiosPort(path_);
  EXPECT_NE(third.port, nullptr) << third.error;
}

TEST_F(PtyPort, ModemStatusOfAPseudoTerminalIsAFailureWithItsErrorNumber) {
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);
  std::uint32_t status = 0;
  EXPECT_FALSE(port->GetModemStatus(status));
  EXPECT_NE(port->last_error(), 0u);
}

TEST_F(PtyPort, EveryCallOnAClosedPortFailsWithBadHandle) {
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);
  port->Close();
  port->Close();  // at most once: the second does nothing
  EXPECT_TRUE(port->is_closed());
  FarWrite({'x'});
  std::uint8_t buf[4];
  std::uint32_t n = 7;
  LineSettings s;
  PortTimeouts t;
  std::uint32_t status = 0;
  const std::pair<const char*, std::function<bool()>> calls[] = {
      {"GetLineSettings", [&] { return port->GetLineSettings(s); }},
      {"SetLineSettings",
       [&] {
         return port->SetLineSettings(LineSettings{115200, 8, 0, 0});
       }},
      {"GetTimeouts", [&] { return port->GetTimeouts(t); }},
      {"SetTimeouts", [&] { return port->SetTimeouts(kStationTimeouts); }},
      {"GetModemStatus", [&] { return port->GetModemStatus(status); }},
      {"PurgeReceive", [&] { return port->PurgeReceive(); }},
      {"Read", [&] { return port->Read(buf, n); }},
      {"Write", [&] { return port->Write(buf, n); }},
  };
  for (const auto& [name, call] : calls) {
    EXPECT_FALSE(call()) << name;
    EXPECT_EQ(port->last_error(), static_cast<std::uint32_t>(EBADF)) << name;
  }
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(Queued(1), 1) << "a closed port must not purge or read the device";
}

TEST_F(PtyPort, ReadFailsPromptlyWhenTheFarEndGoesAway) {
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetTimeouts(kStationTimeouts));
  close(far_);
  far_ = -1;
  std::vector<std::uint8_t> in(132);
  std::uint32_t got = 0;
  const auto start = SteadyClock::now();
  EXPECT_FALSE(port->Read(in, got));
  EXPECT_EQ(port->last_error(), static_cast<std::uint32_t>(EIO));
  EXPECT_LT(SteadyClock::now() - start, 2s);
}

TEST(TermiosPort, MissingDeviceAndNonTerminalAreRefusedWithTheirErrorNumbers) {
  PortOpenResult missing = OpenTermiosPort("/dev/davrilon-no-such-port");
  EXPECT_EQ(missing.port, nullptr);
  EXPECT_EQ(missing.error, static_cast<std::uint32_t>(ENOENT));
  PortOpenResult not_tty = OpenTermiosPort("/dev/null");
  EXPECT_EQ(not_tty.port, nullptr);
  EXPECT_EQ(not_tty.error, static_cast<std::uint32_t>(ENOTTY));
}

}  // namespace
}  // namespace davrilon
