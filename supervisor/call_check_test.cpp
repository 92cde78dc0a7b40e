#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "modem/test_rig.h"
#include "supervisor/supervisor.h"

namespace davrilon {
namespace {

using Kind = PortEvent::Kind;

constexpr std::uint32_t kIdle = MS_CTS_ON | MS_DSR_ON;       // 0x30
constexpr std::uint32_t kRinging = kIdle | MS_RING_ON;       // 0x70 = 112
constexpr std::uint32_t kConnected = kRinging | MS_RLSD_ON;  // 0xF0 = 240
constexpr char kRingLine[] = "Wykryto sygna\xb3 MS_RING :112\r\n";
constexpr char kTimeStamp[] = "Mon Mar 05 14:03:09 2001\r\n\r\n";
constexpr char kPortFault[] =
    "Bl\xb9"
    "d obs\xb3ugi zdarze\xf1 na porcie\r\n";

const std::vector<std::string> kEscapeSetUpWrites = {"+++",    "ATH0\r", "ATZ0\r",
                                                     "ATE0\r", "ATM0\r", "ATS0=0\r"};
const std::string kEscapeSetUpLog = std::string(logged::kEscape) + logged::kHangUp +
                                    logged::kReset + logged::kEchoOff + logged::kQuiet +
                                    logged::kAutoAnswer + logged::kModemSet;

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class CallCheckTest : public ::testing::Test {
 protected:
  int CountOf(Kind kind) const {
    int n = 0;
    for (const auto& e : rig.port.events)
      n += e.kind == kind ? 1 : 0;
    return n;
  }
  StationRig rig;
};

TEST_F(CallCheckTest, NoRingReadsTheStatusOnceAndGoesOn) {
  rig.port.status = [] { return kIdle; };
  EXPECT_TRUE(CallCheck(rig.station, &rig.port));
  EXPECT_EQ(rig.LogFile(), "");
  EXPECT_EQ(rig.port.events.size(), 1u);
  EXPECT_EQ(CountOf(Kind::kStatus), 1);
  EXPECT_TRUE(rig.clock.pauses.empty());
}

TEST_F(CallCheckTest, AnsweredCallRunsTheExchangeThenSetsTheModemUpWithTheEscape) {
  // The ring is seen at the first read; the carrier is up at the next.
  int reads = 0;
  rig.port.status = [&reads] { return ++reads == 1 ? kRinging : kConnected; };

  EXPECT_TRUE(CallCheck(rig.station, &rig.port)) << "after an exchange the pass goes on";

  const std::string log = rig.LogFile();
  const std::string answered = std::string(kRingLine) + kTimeStamp +
                               "Wykryto fal\xea no\x9cn\xb9 :240\r\n"
                               "Pol\xb9"
                               "czenie zosta\xb3o nawi\xb9zane\r\n";
  EXPECT_EQ(log.substr(0, answered.size()), answered);
  EXPECT_TRUE(EndsWith(log, kEscapeSetUpLog)) << log;

  const std::vector<std::string> writes = rig.port.Writes();
  ASSERT_GE(writes.size(), 1 + kEscapeSetUpWrites.size());
  EXPECT_EQ(writes.front(), "ATHA\r");
  EXPECT_EQ(std::vector<std::string>(writes.end() - static_cast<long>(kEscapeSetUpWrites.size()),
                                     writes.end()),
            kEscapeSetUpWrites);
}

TEST_F(CallCheckTest, StatusWordsWithTheTopBitSetAreLoggedUnsigned) {
  rig.port.status = [] { return 0x80000000u | kConnected; };  // 2147483888
  EXPECT_TRUE(CallCheck(rig.station, &rig.port));
  const std::string expected = std::string("Wykryto sygna\xb3 MS_RING :2147483888\r\n") +
                               kTimeStamp + "Wykryto fal\xea no\x9cn\xb9 :2147483888\r\n";
  EXPECT_EQ(rig.LogFile().substr(0, expected.size()), expected);
}

TEST_F(CallCheckTest, UnansweredCallSetsTheModemUpAgainAndEndsThePass) {
  rig.port.status = [] { return kRinging; };  // rings, but the carrier never comes

  EXPECT_FALSE(CallCheck(rig.station, &rig.port));

  EXPECT_EQ(rig.LogFile(), std::string(kRingLine) + kTimeStamp +
                               "Nie wykryto fali no\x9cnej przez 60 s\r\n"
                               "Nie nawiazano pol\xb9"
                               "czenia: \r\n" +
                               kEscapeSetUpLog);
  std::vector<std::string> expected_writes = {"ATHA\r"};
  expected_writes.insert(expected_writes.end(), kEscapeSetUpWrites.begin(),
                         kEscapeSetUpWrites.end());
  EXPECT_EQ(rig.port.Writes(), expected_writes);
  EXPECT_EQ(CountOf(Kind::kPurge), 0) << "no exchange without a carrier";
  EXPECT_EQ(CountOf(Kind::kRead), 0);
}

TEST_F(CallCheckTest, AStopSignalDuringTheCarrierWaitLeavesTheModemAlone) {
  rig.port.status = [] { return kRinging; };
  rig.clock.on_pause = [this](int) {
    if (rig.clock.elapsed() >= std::chrono::seconds(3))
      rig.signal_number = 15;
  };

  EXPECT_FALSE(CallCheck(rig.station, &rig.port));

  EXPECT_EQ(rig.clock.elapsed(), std::chrono::seconds(3));
  EXPECT_EQ(rig.port.Writes(), std::vector<std::string>{"ATHA\r"})
      << "no set-up: the station is about to close the port";
  EXPECT_TRUE(EndsWith(rig.LogFile(),
                       "Nie nawiazano pol\xb9"
                       "czenia: \r\n"));
}

TEST_F(CallCheckTest, RingWithAClosedPortAfterAFailedAnswer) {
  // ATHA cannot be written: the port closes, the set-up after it fails at once.
  rig.port.status = [] { return kRinging; };
  rig.port.failures.push_back({Kind::kWrite, 1, 5});

  EXPECT_FALSE(CallCheck(rig.station, &rig.port));
  EXPECT_EQ(rig.LogFile(), std::string(kRingLine) + kTimeStamp + logged::kSendFailed +
                               "ATHA\r\r\n"
                               "Nie przej\xea"
                               "to pol\xb9"
                               "czenia\r\n"
                               "Nie nawiazano pol\xb9"
                               "czenia: \r\n" +
                               logged::kEscape + logged::kSendFailed + "+++\r\n" +
                               logged::kNotReset);
  EXPECT_EQ(rig.port.closes, 1);

  // From now on every pass finds the port unusable.
  const std::size_t before = rig.LogFile().size();
  EXPECT_TRUE(CallCheck(rig.station, &rig.port));
  EXPECT_EQ(rig.LogFile().substr(before), kPortFault);
}

// The network port is back after its access server went away: the modem is
// set up again as after a call, once, and the next pass looks for rings.
TEST_F(CallCheckTest, PortConnectedAgainSetsTheModemUpWithTheEscape) {
  int reads = 0;
  rig.port.status = [&reads] { return ++reads == 1 ? kIdle : kRinging; };
  rig.port.reconnected = true;

  EXPECT_TRUE(CallCheck(rig.station, &rig.port));
  EXPECT_EQ(rig.LogFile(),
            "Port sieciowy po\xb3\xb9"
            "czony ponownie\r\n" +
                kEscapeSetUpLog);
  EXPECT_EQ(rig.port.Writes(), kEscapeSetUpWrites);

  const std::size_t before = rig.LogFile().size();
  CallCheck(rig.station, &rig.port);  // rings without a carrier: the result is that call's
  EXPECT_EQ(rig.LogFile().substr(before, std::string(kRingLine).size()), kRingLine)
      << "the next pass answers calls";
}

struct StatusFailureCase {
  const char* name;
  std::function<void(ScriptedPort&)> break_port;
};
// Named by its row in test listings.
void PrintTo(const StatusFailureCase& c, std::ostream* os) {
  *os << c.name;
}

class CallCheckStatusFailure : public CallCheckTest,
                               public ::testing::WithParamInterface<StatusFailureCase> {};

TEST_P(CallCheckStatusFailure, IsLoggedAndThePassGoesOn) {
  rig.port.status = [] { return kRinging; };  // a ring that must not be acted on
  GetParam().break_port(rig.port);
  const int closes_before = rig.port.closes;

  EXPECT_TRUE(CallCheck(rig.station, &rig.port));
  EXPECT_EQ(rig.LogFile(), kPortFault);
  EXPECT_TRUE(rig.port.Writes().empty());
  EXPECT_EQ(rig.port.closes, closes_before) << "nothing is closed or reopened";
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallCheckStatusFailure,
    ::testing::Values(StatusFailureCase{"read_fails",
                                        [](ScriptedPort& p) {
                                          p.failures.push_back({Kind::kStatus, 1, 5});
                                        }},
                      StatusFailureCase{"port_closed", [](ScriptedPort& p) { p.Close(); }}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace davrilon
