#include "linesim/modem_emulator.h"

#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

#include "platform/fakes/fake_clock.h"

namespace davrilon::linesim {
namespace {

using namespace std::chrono_literals;

struct Events : ModemListener {
  std::vector<std::string> seen;
  std::string data;
  void OnRegisterWritten(int reg, int value) override {
    seen.push_back("S" + std::to_string(reg) + "=" + std::to_string(value));
  }
  void OnAnswering() override { seen.push_back("answering"); }
  void OnConnected() override { seen.push_back("connected"); }
  void OnDataFromStation(std::string_view bytes) override { data.append(bytes); }
  void OnStationHungUp() override { seen.push_back("hung up"); }
};

class ModemTest : public ::testing::Test {
 protected:
  explicit ModemTest(ModemSettings settings = {}) : modem_(clock_, log_, settings) {
    modem_.set_listener(&events_);
  }

  // Moves virtual time on in small steps, polling like the server's loop.
  void Wait(Millis span) {
    for (Millis done{0}; done < span; done += 10ms) {
      clock_.Advance(std::min<Millis>(10ms, span - done));
      modem_.Poll();
    }
  }
  std::string Send(std::string_view bytes) {
    modem_.FromStation(bytes);
    modem_.Poll();
    return modem_.TakeToStation();
  }
  // Rings, answers and waits for the carrier; echo off.
  void Connect() {
    Send("ATE0\r");
    modem_.StartRinging();
    Send("ATHA\r");
    Wait(1s);
    ASSERT_EQ(modem_.state(), ModemEmulator::State::kOnline);
    modem_.TakeToStation();
    events_.seen.clear();
  }

  FakeClock clock_;
  SimLog log_{clock_, nullptr};
  Events events_;
  ModemEmulator modem_;
};

struct CommandCase {
  const char* name;
  const char* before;  // fed first, its answers dropped
  const char* input;
  const char* answer;
};
// Named by its row in test listings.
void PrintTo(const CommandCase& c, std::ostream* os) {
  *os << c.name;
}

class ModemCommandTest : public ModemTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(ModemCommandTest, AnswersAsAHayesModem) {
  Send(GetParam().before);
  EXPECT_EQ(Send(GetParam().input), GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ModemCommandTest,
    ::testing::Values(
        CommandCase{"EchoAtPowerOn", "", "ATZ0\r", "ATZ0\r\r\nOK\r\n"},
        CommandCase{"EchoOff", "ATE0\r", "ATM1L2\r", "\r\nOK\r\n"},
        CommandCase{"ResetTurnsEchoBackOn", "ATE0\rATZ0\r", "ATM0\r", "ATM0\r\r\nOK\r\n"},
        CommandCase{"JunkBeforeAtIgnored", "ATE0\r", "+++ATH0\r", "\r\nOK\r\n"},
        CommandCase{"LowerCase", "ATE0\r", "ats0=0\r", "\r\nOK\r\n"},
        CommandCase{"UnknownCommand", "ATE0\r", "ATJ\r", "\r\nERROR\r\n"},
        CommandCase{"RegisterOutOfRange", "ATE0\r", "ATS0=256\r", "\r\nERROR\r\n"},
        CommandCase{"RegisterQuery", "ATE0\rATS0=3\r", "ATS0?\r", "\r\n003\r\n\r\nOK\r\n"},
        CommandCase{"Backspace", "ATE0\r", "ATX\bM0\r", "\r\nOK\r\n"},
        CommandCase{"NumericResults", "ATE0V0\r", "ATM0\r", "0\r"},
        CommandCase{"QuietResults", "ATE0Q1\r", "ATM0\r", ""},
        CommandCase{"AnswerWithoutCall", "ATE0\r", "ATA\r", "\r\nNO CARRIER\r\n"},
        CommandCase{"CrWithoutAt", "ATE0\r", "\r", ""},
        CommandCase{"DialRefused", "ATE0\r", "ATD123\r", "\r\nERROR\r\n"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(ModemTest, StationSetUpWritesAutoAnswerRegisterAndKeepsCount) {
  for (const char* command : {"ATH0\r", "ATZ0\r", "ATE0\r", "ATM0\r", "ATS0=0\r"})
    Send(command);
  EXPECT_EQ(events_.seen, std::vector<std::string>{"S0=0"});
  EXPECT_EQ(modem_.command_lines(), 5);
  EXPECT_FALSE(modem_.echo());
  EXPECT_FALSE(modem_.drop_requested());
}

TEST(ModemDropTest, AsksForTheDropAfterTheKthCommandLine) {
  FakeClock clock;
  SimLog log(clock, nullptr);
  ModemSettings settings;
  settings.drop_after_commands = 3;
  ModemEmulator modem(clock, log, settings);
  modem.FromStation("ATH0\rATZ0\r");
  EXPECT_FALSE(modem.drop_requested());
  modem.FromStation("ATE0\r");
  EXPECT_TRUE(modem.drop_requested());
}

TEST_F(ModemTest, RingsTwoSecondsOnFourOff) {
  Send("ATE0\r");
  modem_.StartRinging();
  std::string ring_pattern;
  for (int step = 0; step < 26; ++step) {  // 13 s in half seconds
    ring_pattern += (modem_.Status() & kLineRing) ? '1' : '0';
    EXPECT_EQ(modem_.Status() & (kLineCts | kLineDsr), kLineCts | kLineDsr);
    Wait(500ms);
  }
  EXPECT_EQ(ring_pattern, "11110000000011110000000011");
  EXPECT_EQ(modem_.rings(), 3);
  EXPECT_EQ(modem_.TakeToStation(), "\r\nRING\r\n\r\nRING\r\n\r\nRING\r\n");
}

TEST_F(ModemTest, NextDeadlineIsTheNextRingEdge) {
  modem_.StartRinging();
  EXPECT_EQ(modem_.NextDeadline(), clock_.Monotonic() + kRingOn);
  Wait(kRingOn);
  EXPECT_EQ(modem_.NextDeadline(), clock_.Monotonic() + kRingOff);
}

TEST_F(ModemTest, AutoAnswerAfterS0Rings) {
  Send("ATE0S0=2\r");
  modem_.StartRinging();
  Wait(5s);
  EXPECT_EQ(modem_.state(), ModemEmulator::State::kIdle);
  Wait(1s + 10ms);  // the second ring begins at 6 s
  EXPECT_EQ(modem_.state(), ModemEmulator::State::kAnswering);
}

class CarrierDelayTest : public ::testing::TestWithParam<Millis> {};

TEST_P(CarrierDelayTest, CarrierComesAfterTheDelayAndOnlyThen) {
  FakeClock clock;
  SimLog log(clock, nullptr);
  ModemSettings settings;
  settings.carrier_delay = GetParam();
  ModemEmulator modem(clock, log, settings);
  Events events;
  modem.set_listener(&events);
  modem.FromStation("ATE0\r");
  modem.StartRinging();
  modem.FromStation("ATHA\r");
  modem.TakeToStation();
  EXPECT_EQ(modem.Status() & (kLineRing | kLineCarrier), 0u) << "answering stops the ring";
  if (GetParam() > 0ms) {
    clock.Advance(GetParam() - 1ms);
    modem.Poll();
    EXPECT_EQ(modem.Status() & kLineCarrier, 0u);
    EXPECT_EQ(modem.NextDeadline(), clock.Monotonic() + 1ms);
    clock.Advance(1ms);
  }
  modem.Poll();
  EXPECT_EQ(modem.Status(), kLineCts | kLineDsr | kLineCarrier);
  EXPECT_EQ(modem.TakeToStation(), "\r\nCONNECT 115200\r\n");
  EXPECT_EQ(events.seen, (std::vector<std::string>{"answering", "connected"}));
  EXPECT_TRUE(modem.FromFarEnd("\x01\x02"));
  EXPECT_EQ(modem.TakeToStation(), "\x01\x02");
}

INSTANTIATE_TEST_SUITE_P(Delays, CarrierDelayTest, ::testing::Values(0ms, 1000ms, 2500ms));

class WithheldCarrierTest : public ModemTest {
 protected:
  WithheldCarrierTest() : ModemTest(Withheld()) {}
  static ModemSettings Withheld() {
    ModemSettings s;
    s.withhold_carrier = true;
    return s;
  }
};

TEST_F(WithheldCarrierTest, AnswersButTheCarrierNeverComesUntilHangUp) {
  Send("ATE0\r");
  modem_.StartRinging();
  Send("ATHA\r");
  Wait(120s);
  EXPECT_EQ(modem_.state(), ModemEmulator::State::kAnswering);
  EXPECT_EQ(modem_.Status() & kLineCarrier, 0u);
  EXPECT_FALSE(modem_.NextDeadline().has_value());
  // The station's "+++" after its 60 s wait aborts the answer, like any key.
  EXPECT_EQ(Send("+"), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(modem_.state(), ModemEmulator::State::kIdle);
  EXPECT_EQ(events_.seen.back(), "hung up");
}

TEST(ModemSwitchedOffTest, SaysNothingAndShowsNoLines) {
  FakeClock clock;
  SimLog log(clock, nullptr);
  ModemSettings settings;
  settings.switched_off = true;
  ModemEmulator modem(clock, log, settings);
  modem.FromStation("ATZ0\rATE0\r");
  modem.StartRinging();
  clock.Advance(3s);
  modem.Poll();
  EXPECT_EQ(modem.Status(), 0u);
  EXPECT_EQ(modem.TakeToStation(), "");
  EXPECT_FALSE(modem.ringing());
}

// One step of an escape attempt: wait, then send.
struct Step {
  Millis wait;
  const char* bytes;
};
struct EscapeCase {
  const char* name;
  std::vector<Step> steps;
  bool escapes;
};
// Named by its row in test listings.
void PrintTo(const EscapeCase& c, std::ostream* os) {
  *os << c.name;
}

class EscapeTest : public ModemTest, public ::testing::WithParamInterface<EscapeCase> {};

TEST_P(EscapeTest, GuardTimeDecides) {
  Connect();
  std::string sent;
  for (const Step& step : GetParam().steps) {
    Wait(step.wait);
    modem_.FromStation(step.bytes);
    sent += step.bytes;
  }
  Wait(1500ms);
  EXPECT_EQ(modem_.state(), GetParam().escapes ? ModemEmulator::State::kOnlineCommand
                                               : ModemEmulator::State::kOnline);
  EXPECT_EQ(modem_.TakeToStation(), GetParam().escapes ? "\r\nOK\r\n" : "");
  EXPECT_EQ(events_.data, sent) << "escape characters still reach the far end";
  EXPECT_NE(modem_.Status() & kLineCarrier, 0u) << "the escape keeps the carrier";
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, EscapeTest,
    ::testing::Values(EscapeCase{"SilenceBeforeAndAfter", {{1s, "+++"}}, true},
                      EscapeCase{
                          "SpreadWithinGuard", {{1s, "+"}, {500ms, "+"}, {500ms, "+"}}, true},
                      EscapeCase{"DataJustBefore", {{1s, "x"}, {500ms, "+++"}}, false},
                      EscapeCase{"DataRightBeforeInOneWrite", {{1s, "\x06+++"}}, false},
                      EscapeCase{"DataJustAfter", {{1s, "+++"}, {500ms, "x"}}, false},
                      EscapeCase{"GapBetweenPluses", {{1s, "++"}, {1500ms, "+"}}, false},
                      EscapeCase{"FourPluses", {{1s, "++++"}}, false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(ModemTest, CommandModeWhileConnectedHangsUpOrGoesBackOnline) {
  Connect();
  Wait(1s);
  modem_.FromStation("+++");
  Wait(1s);
  modem_.TakeToStation();
  EXPECT_FALSE(modem_.FromFarEnd("late")) << "far-end data is not passed on in command mode";
  EXPECT_EQ(Send("ATO\r"), "\r\nCONNECT 115200\r\n");
  EXPECT_EQ(modem_.state(), ModemEmulator::State::kOnline);
  Wait(1s);
  modem_.FromStation("+++");
  Wait(1s);
  EXPECT_EQ(Send("ATH0\r"), "\r\nOK\r\n\r\nOK\r\n");
  EXPECT_EQ(modem_.Status(), kLineCts | kLineDsr);
  EXPECT_EQ(events_.seen, std::vector<std::string>{"hung up"});
  EXPECT_EQ(events_.data, "++++++") << "the command lines stayed with the modem";
}

TEST_F(ModemTest, CommandArrivingAsTheGuardTimeEndsIsACommand) {
  // The station pauses exactly the guard time after "+++"; its ATH0 may come
  // before the server's loop has looked at the clock.
  Connect();
  Wait(1s);
  modem_.FromStation("+++");
  clock_.Advance(1s);
  modem_.FromStation("ATH0\r");
  EXPECT_EQ(modem_.Status(), kLineCts | kLineDsr) << "hung up";
  EXPECT_EQ(events_.data, "+++") << "the command stayed with the modem";
}

TEST_F(ModemTest, FarEndHangUpDropsTheCarrier) {
  Connect();
  modem_.DropCarrier();
  EXPECT_EQ(modem_.TakeToStation(), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(modem_.Status() & kLineCarrier, 0u);
  EXPECT_TRUE(events_.seen.empty()) << "not the station's hang-up";
  EXPECT_EQ(Send("ATH0\r"), "\r\nOK\r\n");
}

}  // namespace
}  // namespace davrilon::linesim
