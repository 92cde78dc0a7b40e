// The progress relay, in virtual time.
#include <gtest/gtest.h>

#include "exchange/exchange_state.h"
#include "exchange/exchange_test_support.h"

namespace davrilon {
namespace {

using testing::ExchangeTest;

class RelayTest : public ExchangeTest {
 protected:
  // The companion program: at every wait of the relay it leaves the next
  // progress value, and after the last one its ready mark.
  void CompanionLeaves(std::vector<std::string> values) {
    watch.on_wait = [this, values = std::move(values), next = std::size_t{0}]() mutable {
      if (next < values.size()) {
        dir.Write("DETAL/POSTEP.PC", values[next++]);
      } else {
        dir.Write("DETAL/GOTOWE.PC", "");
      }
      return true;
    };
  }

  Exchange x{station, port};
};

struct CodesCase {
  std::vector<std::string> values;
  std::vector<std::uint8_t> codes;
};

TEST_F(RelayTest, EveryProgressValueBecomesOneCode) {
  const CodesCase cases[] = {
      {{"50", "70", "12", "90", "99", "99"}, {11, 12, 12, 13, 14, 14}},
      {{"110"}, {11}},                         // only two characters are read
      {{"", "", "13", ""}, {11, 12, 13, 14}},  // no digits: the next code up
      {{"12", "11"}, {12, 11}},                // 11 to 14 go out as they are
      {{" 14"}, {11}},                         // " 1"
      {{"14\r\n", "14"}, {14, 14}},
  };
  for (const CodesCase& c : cases) {
    port.events.clear();
    CompanionLeaves(c.values);
    RunProgressRelay(x);
    EXPECT_EQ(ControlBytes(), c.codes) << c.values[0];
    EXPECT_FALSE(dir.Exists("DETAL/POSTEP.PC"));
    EXPECT_FALSE(dir.Exists("DETAL/GOTOWE.PC"));
  }
  EXPECT_EQ(watch.watched.front(), files.Resolve("DETAL"));
  EXPECT_FALSE(watch.watching) << "the watch is let go when the relay ends";
}

TEST_F(RelayTest, EachValueIsLoggedAsReadAndAsANumber) {
  CompanionLeaves({"50", "110", ""});
  RunProgressRelay(x);
  EXPECT_EQ(LogText(),
            "Odczytany PlikPostepu 50\r\n50\r\n"
            "Odczytany PlikPostepu 11\r\n11\r\n"
            "Odczytany PlikPostepu \r\n0\r\n");
}

TEST_F(RelayTest, AProgressFileBesideTheReadyMarkIsSentFirst) {
  dir.Write("DETAL/POSTEP.PC", "13");
  dir.Write("DETAL/GOTOWE.PC", "");
  RunProgressRelay(x);
  EXPECT_EQ(ControlBytes(), std::vector<std::uint8_t>{13});
  EXPECT_TRUE(watch.waits.empty()) << "the relay ended in its first pass";
  EXPECT_FALSE(dir.Exists("DETAL/POSTEP.PC"));
  EXPECT_FALSE(dir.Exists("DETAL/GOTOWE.PC"));
}

TEST_F(RelayTest, ACompanionThatNeverReportsReadyIsGivenUpAfter300Seconds) {
  x.upload_name = "UP.ZIP";
  RunProgressRelay(x);
  EXPECT_EQ(x.upload_name, "");
  EXPECT_TRUE(ControlBytes().empty());
  EXPECT_GE(clock.elapsed(), std::chrono::seconds(300));
  EXPECT_LT(clock.elapsed(), std::chrono::seconds(301));
  EXPECT_EQ(LogText(), "Przekroczony czs oczekiwania\r\n");
  for (auto wait : watch.waits)
    ASSERT_EQ(wait, std::chrono::milliseconds(250));
  EXPECT_TRUE(clock.pauses.empty()) << "the watch does the waiting";
}

TEST_F(RelayTest, AStopSignalEndsTheWaitWithinASecond) {
  x.upload_name = "UP.ZIP";
  watch.on_wait = [this] {
    if (clock.elapsed() >= std::chrono::seconds(42))
      signal_number = 15;
    return false;
  };
  RunProgressRelay(x);
  EXPECT_LT(clock.elapsed(), std::chrono::seconds(43));
  EXPECT_EQ(LogText(), "") << "not the time-out's line";
  EXPECT_FALSE(watch.watching);
}

// Without a file watch the relay gives up its time slice between two looks.
class PollingClock : public FakeClock {
 public:
  void PauseSeconds(int seconds) override {
    FakeClock::PauseSeconds(seconds);
    if (on_pause)
      on_pause();
  }
  std::function<void()> on_pause;
};

TEST_F(RelayTest, WithoutAWatchTheRelayPollsWithZeroPauses) {
  PollingClock polling;
  ScriptedPort line(polling);
  Station st{StationConfig{}, log, console, polling, files, runner, guard};
  st.watch = nullptr;
  int pauses = 0;
  polling.on_pause = [&] {
    ++pauses;
    if (pauses == 3)
      dir.Write("DETAL/POSTEP.PC", "50");
    if (pauses == 7)
      dir.Write("DETAL/POSTEP.PC", "13");
    polling.Advance(std::chrono::milliseconds(500));
  };
  Exchange polled(st, line);
  polled.upload_name = "UP.ZIP";
  RunProgressRelay(polled);

  EXPECT_EQ(line.Writes(), (std::vector<std::string>{"\x0b", "\x0d"}));
  EXPECT_EQ(polled.upload_name, "");
  EXPECT_EQ(std::count(polling.pauses.begin(), polling.pauses.end(), 0), pauses);
  EXPECT_EQ(pauses, 600) << "the limit counted in wall-clock seconds";
}

}  // namespace
}  // namespace davrilon
