#include "modem/modem.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "modem/test_rig.h"

namespace davrilon {
namespace {

using std::chrono::milliseconds;
using Kind = PortEvent::Kind;

// The writes on the line with the virtual time each went out.
using TimedWrites = std::vector<std::pair<std::string, milliseconds>>;

TimedWrites WritesWithTimes(const ScriptedPort& port) {
  TimedWrites out;
  for (const auto& e : port.events)
    if (e.kind == Kind::kWrite)
      out.emplace_back(e.bytes, e.at);
  return out;
}

int CountOf(const ScriptedPort& port, Kind kind) {
  int n = 0;
  for (const auto& e : port.events)
    n += e.kind == kind ? 1 : 0;
  return n;
}

// --- SetUpModem: what goes on the line, when, and what is logged ---

struct SetUpCase {
  const char* name;
  bool escape;
  int loud;
  std::string log;
  TimedWrites writes;
  std::vector<int> pauses;
};
// Named by its row in test listings.
void PrintTo(const SetUpCase& c, std::ostream* os) {
  *os << c.name;
}

class SetUpModemTest : public ::testing::TestWithParam<SetUpCase> {};

TEST_P(SetUpModemTest, LogsEachStepAndSpacesTheCommandsByTime) {
  const SetUpCase& c = GetParam();
  StationRig rig;
  rig.station.config.loud = c.loud;

  EXPECT_EQ(SetUpModem(rig.station, rig.port, c.escape), 1);

  EXPECT_EQ(rig.LogFile(), c.log);
  EXPECT_EQ(WritesWithTimes(rig.port), c.writes);
  EXPECT_EQ(rig.clock.pauses, c.pauses);
  EXPECT_EQ(rig.port.closes, 0);
  EXPECT_EQ(CountOf(rig.port, Kind::kRead), 0) << "the modem's replies are never read";
}

std::string Lines(std::initializer_list<const char*> lines) {
  std::string out;
  for (const char* l : lines)
    out += l;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SetUpModemTest,
    ::testing::Values(SetUpCase{"loud",
                                false,
                                1,
                                Lines({logged::kHangUp, logged::kReset, logged::kEchoOff,
                                       logged::kLoud, logged::kAutoAnswer, logged::kModemSet}),
                                {{"ATH0\r", milliseconds(0)},
                                 {"ATZ0\r", milliseconds(1000)},
                                 {"ATE0\r", milliseconds(1000)},
                                 {"ATM1L2\r", milliseconds(2000)},
                                 {"ATS0=0\r", milliseconds(2000)}},
                                {1, 1}},
                      SetUpCase{"quiet",
                                false,
                                0,
                                Lines({logged::kHangUp, logged::kReset, logged::kEchoOff,
                                       logged::kQuiet, logged::kAutoAnswer, logged::kModemSet}),
                                {{"ATH0\r", milliseconds(0)},
                                 {"ATZ0\r", milliseconds(1000)},
                                 {"ATE0\r", milliseconds(1000)},
                                 {"ATM0\r", milliseconds(2000)},
                                 {"ATS0=0\r", milliseconds(2000)}},
                                {1, 1}},
                      SetUpCase{
                          "escape_quiet",
                          true,
                          0,
                          Lines({logged::kEscape, logged::kHangUp, logged::kReset, logged::kEchoOff,
                                 logged::kQuiet, logged::kAutoAnswer, logged::kModemSet}),
                          // A second of silence on the line before "+++": the
                          // modem's guard time, without which the escape is data.
                          {{"+++", milliseconds(1000)},
                           {"ATH0\r", milliseconds(2000)},
                           {"ATZ0\r", milliseconds(3000)},
                           {"ATE0\r", milliseconds(3000)},
                           {"ATM0\r", milliseconds(4000)},
                           {"ATS0=0\r", milliseconds(4000)}},
                          {1, 1, 1, 1}}),
    [](const auto& p) { return std::string(p.param.name); });

// --- a command that cannot be written: the step's failure line, nothing more sent ---

struct StepFailureCase {
  const char* name;
  bool escape;
  int loud;
  int failing_write;  // from 1
  std::string command_bytes;
  std::string failure_line;
};
// Named by its row in test listings.
void PrintTo(const StepFailureCase& c, std::ostream* os) {
  *os << c.name;
}

class SetUpModemStepFailure : public ::testing::TestWithParam<StepFailureCase> {};

TEST_P(SetUpModemStepFailure, LogsTheBytesAndTheStepsLineThenStops) {
  const StepFailureCase& c = GetParam();
  StationRig rig;
  rig.station.config.loud = c.loud;
  rig.port.failures.push_back({Kind::kWrite, c.failing_write, 5});

  EXPECT_EQ(SetUpModem(rig.station, rig.port, c.escape), 0);

  const std::string expected_tail =
      std::string(logged::kSendFailed) + c.command_bytes + "\r\n" + c.failure_line + "\r\n";
  const std::string log = rig.LogFile();
  ASSERT_GE(log.size(), expected_tail.size());
  EXPECT_EQ(log.substr(log.size() - expected_tail.size()), expected_tail);
  EXPECT_EQ(rig.port.Writes().size(), static_cast<std::size_t>(c.failing_write))
      << "nothing is sent after the failed command";
  EXPECT_EQ(rig.port.Writes().back(), c.command_bytes);
  EXPECT_EQ(rig.port.closes, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SetUpModemStepFailure,
    ::testing::Values(StepFailureCase{"escape", true, 0, 1, "+++", "Nie zresetowano modemu"},
                      StepFailureCase{"hang_up", false, 0, 1, "ATH0\r", "Nie zresetowano modemu"},
                      StepFailureCase{"echo_off", false, 0, 3, "ATE0\r", "Nie wylaczono echa"},
                      StepFailureCase{"loud", false, 1, 4, "ATM1L2\r", "Nie ustawiono glosnosci"},
                      StepFailureCase{"quiet", false, 0, 4, "ATM0\r", "Nie wylaczono glosnika"},
                      StepFailureCase{"auto_answer", true, 0, 6, "ATS0=0\r",
                                      "Nie ustawiono autoodpowiedzi"}),
    [](const auto& p) { return std::string(p.param.name); });

// --- the count a write reports is not looked at ---

struct ShortWriteCase {
  const char* name;
  int short_write;  // from 1
  std::uint32_t count;
  std::vector<std::string> on_the_line;
};
// Named by its row in test listings.
void PrintTo(const ShortWriteCase& c, std::ostream* os) {
  *os << c.name;
}

class SetUpModemShortWrite : public ::testing::TestWithParam<ShortWriteCase> {};

TEST_P(SetUpModemShortWrite, StillCountsAsSentAndTheSetUpGoesOn) {
  const ShortWriteCase& c = GetParam();
  StationRig rig;
  rig.port.short_writes.push_back({c.short_write, c.count});

  EXPECT_EQ(SetUpModem(rig.station, rig.port, /*escape=*/false), 1);

  EXPECT_EQ(rig.LogFile(), Lines({logged::kHangUp, logged::kReset, logged::kEchoOff, logged::kQuiet,
                                  logged::kAutoAnswer, logged::kModemSet}));
  EXPECT_EQ(rig.port.Writes(), c.on_the_line);
  EXPECT_EQ(rig.port.closes, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SetUpModemShortWrite,
    ::testing::Values(
        ShortWriteCase{"reset_in_part", 2, 2, {"ATH0\r", "AT", "ATE0\r", "ATM0\r", "ATS0=0\r"}},
        ShortWriteCase{
            "echo_off_not_at_all", 3, 0, {"ATH0\r", "ATZ0\r", "", "ATM0\r", "ATS0=0\r"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SetUpModemWriteFailure, ResetFailsThenTheClosedPortFailsEveryLaterSetUp) {
  StationRig rig;
  rig.port.failures.push_back({Kind::kWrite, 2, 5});  // "ATZ0"

  EXPECT_EQ(SetUpModem(rig.station, rig.port, /*escape=*/false), 0);
  EXPECT_EQ(rig.LogFile(), Lines({logged::kHangUp, logged::kReset, logged::kSendFailed,
                                  "ATZ0\r\r\n", logged::kNotReset}));
  EXPECT_EQ(rig.port.Writes(), (std::vector<std::string>{"ATH0\r", "ATZ0\r"}));
  EXPECT_EQ(rig.clock.pauses, std::vector<int>{1}) << "only the pause after ATH0";
  EXPECT_EQ(rig.port.closes, 1);
  EXPECT_TRUE(rig.port.is_closed());

  // After a call the station sets the modem up again on the port that is now closed.
  const std::size_t logged_before = rig.LogFile().size();
  const std::size_t events_before = rig.port.events.size();
  EXPECT_EQ(SetUpModem(rig.station, rig.port, /*escape=*/true), 0);
  EXPECT_EQ(rig.LogFile().substr(logged_before),
            Lines({logged::kEscape, logged::kSendFailed, "+++\r\n", logged::kNotReset}));
  EXPECT_EQ(rig.port.events.size(), events_before) << "a closed port is not touched";
  EXPECT_EQ(rig.port.closes, 1) << "the port is closed once";
  EXPECT_EQ(rig.clock.pauses, std::vector<int>{1});
}

TEST(SetUpModemWriteFailure, ANetworkPortThatLostItsServerIsLeftToConnectAgain) {
  StationRig rig;
  rig.port.connection_lost = true;
  rig.port.failures.push_back({Kind::kWrite, 1, 104});  // ECONNRESET on "+++"

  EXPECT_EQ(SetUpModem(rig.station, rig.port, /*escape=*/true), 0);
  EXPECT_EQ(rig.LogFile(),
            Lines({logged::kEscape, logged::kSendFailed, "+++\r\n", logged::kNotReset}));
  EXPECT_EQ(rig.port.closes, 0) << "the port connects again by itself";

  // Once it is back, the modem is set up on the same port.
  rig.port.connection_lost = false;
  EXPECT_EQ(SetUpModem(rig.station, rig.port, /*escape=*/true), 1);
  EXPECT_EQ(rig.port.Writes().back(), "ATS0=0\r");
}

// --- AnswerCall ---

constexpr std::uint32_t kRinging = MS_RING_ON | MS_CTS_ON | MS_DSR_ON;  // 0x70
constexpr std::uint32_t kConnected = kRinging | MS_RLSD_ON;             // 0xF0 = 240

class AnswerCallTest : public ::testing::Test {
 protected:
  std::vector<milliseconds> PollTimes() const {
    std::vector<milliseconds> out;
    for (const auto& e : rig.port.events)
      if (e.kind == Kind::kStatus)
        out.push_back(e.at);
    return out;
  }
  StationRig rig;
};

TEST_F(AnswerCallTest, CarrierAfterTenSecondsIsSeenAtTheNextPoll) {
  rig.port.status = [this] {
    return rig.clock.elapsed() >= std::chrono::seconds(10) ? kConnected : kRinging;
  };

  EXPECT_EQ(AnswerCall(rig.station, rig.port), 1);

  EXPECT_EQ(WritesWithTimes(rig.port), (TimedWrites{{"ATHA\r", milliseconds(0)}}));
  const std::vector<milliseconds> polls = PollTimes();
  ASSERT_EQ(polls.size(), 11u);
  EXPECT_EQ(polls.front(), milliseconds(0)) << "the first poll follows ATHA at once";
  EXPECT_EQ(polls.back(), milliseconds(10000));
  EXPECT_EQ(rig.clock.pauses, std::vector<int>(10, 1));
  EXPECT_EQ(rig.LogFile(),
            "Wykryto fal\xea no\x9cn\xb9 :240\r\n"
            "Pol\xb9"
            "czenie zosta\xb3o nawi\xb9zane\r\n");
  EXPECT_EQ(rig.port.closes, 0);
}

TEST_F(AnswerCallTest, NoCarrierGivesUpAfterSixtyPollsAndSixtyPauses) {
  rig.port.status = [] { return kRinging; };

  EXPECT_EQ(AnswerCall(rig.station, rig.port), 0);

  EXPECT_EQ(PollTimes().size(), 60u);
  EXPECT_EQ(rig.clock.pauses, std::vector<int>(60, 1)) << "the 60th poll has its pause too";
  EXPECT_EQ(rig.clock.elapsed(), std::chrono::seconds(60));
  EXPECT_EQ(rig.LogFile(), "Nie wykryto fali no\x9cnej przez 60 s\r\n");
  EXPECT_EQ(rig.port.closes, 0);
}

TEST_F(AnswerCallTest, AStopSignalEndsTheCarrierWaitAtTheNextPoll) {
  rig.port.status = [] { return kRinging; };
  rig.clock.on_pause = [this](int) {
    if (rig.clock.elapsed() == std::chrono::seconds(7))
      rig.signal_number = 15;
  };

  EXPECT_EQ(AnswerCall(rig.station, rig.port), 0);

  EXPECT_EQ(rig.clock.elapsed(), std::chrono::seconds(7));
  EXPECT_EQ(PollTimes().size(), 7u);
  EXPECT_EQ(rig.LogFile(), "") << "no carrier line: the wait was cut short";
}

TEST_F(AnswerCallTest, FailedStatusReadsAreSilentPollsWithoutCarrier) {
  // The carrier is there all along, but the first three reads fail.
  rig.port.status = [] { return kConnected; };
  for (int n = 1; n <= 3; ++n)
    rig.port.failures.push_back({Kind::kStatus, n, 5});

  EXPECT_EQ(AnswerCall(rig.station, rig.port), 1);
  EXPECT_EQ(PollTimes().size(), 4u);
  EXPECT_EQ(rig.clock.pauses, std::vector<int>(3, 1));
  EXPECT_EQ(rig.LogFile(),
            "Wykryto fal\xea no\x9cn\xb9 :240\r\n"
            "Pol\xb9"
            "czenie zosta\xb3o nawi\xb9zane\r\n");
}

TEST_F(AnswerCallTest, FailedStatusReadsUseUpTheSixtyPolls) {
  // Half the reads fail and the carrier never comes: still 60 polls in all.
  rig.port.status = [] { return kRinging; };
  for (int n = 1; n <= 60; n += 2)
    rig.port.failures.push_back({Kind::kStatus, n, 5});

  EXPECT_EQ(AnswerCall(rig.station, rig.port), 0);
  EXPECT_EQ(PollTimes().size(), 60u);
  EXPECT_EQ(rig.clock.elapsed(), std::chrono::seconds(60));
  EXPECT_EQ(rig.LogFile(), "Nie wykryto fali no\x9cnej przez 60 s\r\n");
}

TEST_F(AnswerCallTest, AnswerThatCannotBeWrittenClosesThePortAndDoesNotPoll) {
  rig.port.failures.push_back({Kind::kWrite, 1, 5});

  EXPECT_EQ(AnswerCall(rig.station, rig.port), 0);
  EXPECT_EQ(rig.LogFile(), std::string(logged::kSendFailed) +
                               "ATHA\r\r\n"
                               "Nie przej\xea"
                               "to pol\xb9"
                               "czenia\r\n");
  EXPECT_TRUE(PollTimes().empty());
  EXPECT_TRUE(rig.clock.pauses.empty());
  EXPECT_EQ(rig.port.closes, 1);
}

}  // namespace
}  // namespace davrilon
