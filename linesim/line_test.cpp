#include "linesim/line.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fakes/fake_clock.h"
#include "supervisor/test_support.h"

namespace davrilon::linesim {
namespace {

using namespace std::chrono_literals;

// Plays the station's side of the cable in virtual time: its modem set-up,
// its once-a-second ring check, the answer, a short exchange and the hang-up.
class LineTest : public ::testing::Test {
 protected:
  void Make(CallPlan plan, ModemSettings modem = {}, CentreSettings centre = {}) {
    centre.store_dir = dir_.path();
    centre.hangup_wait = 10s;
    line_ = std::make_unique<Line>(clock_, log_, modem, centre, plan, report_);
  }
  void Wait(Millis span) {
    for (Millis done{0}; done < span; done += 10ms) {
      clock_.Advance(std::min<Millis>(10ms, span - done));
      line_->Poll();
    }
  }
  std::string Send(std::string_view bytes) {
    line_->FromStation(bytes);
    line_->Poll();
    return line_->TakeToStation();
  }
  bool Ringing() const { return (line_->Status() & kLineRing) != 0; }
  bool Carrier() const { return (line_->Status() & kLineCarrier) != 0; }

  void SetUpModem(bool escape) {
    if (escape) {
      Send("+++");
      Wait(1s);
    }
    Send("ATH0\r");
    Wait(1s);
    Send("ATZ0\r");
    Send("ATE0\r");
    Wait(1s);
    Send("ATM0\r");
    Send("ATS0=0\r");
  }
  // Seconds until the ring indicator is seen, sampling once a second.
  int SecondsToRing(int limit) {
    for (int s = 0; s < limit; ++s) {
      if (Ringing())
        return s;
      Wait(1s);
    }
    return -1;
  }
  bool AnswerCall() {
    Send("ATHA\r");
    for (int poll = 0; poll < 60; ++poll) {
      if (Carrier())
        return true;
      Wait(1s);
    }
    return false;
  }
  // The exchange with no file either way, as fast as the line allows.
  void ShortExchange() {
    Wait(1s);
    line_->TakeToStation();
    ASSERT_EQ(Send("\x05").size(), 132u);
    ASSERT_EQ(Send("\x06\x05").size(), 132u);
    Send("\x06");
    std::string header(1028, '\0');
    std::string text = "START10         0         #";
    header[0] = 2;
    header[1] = 2;
    header[2] = static_cast<char>(253);
    header.replace(3, text.size(), text);
    unsigned sum = 0;
    for (std::size_t i = 3; i < 1027; ++i)
      sum += static_cast<unsigned char>(header[i]);
    header[1027] = static_cast<char>(sum % 256);
    ASSERT_EQ(Send(header), "\x06");
  }

  FakeClock clock_;
  SimLog log_{clock_, nullptr};
  Report report_;
  TempDir dir_;
  std::unique_ptr<Line> line_;
};

TEST_F(LineTest, CallsRingAfterTheSetUpAndAfterEachCallEnds) {
  CallPlan plan;
  plan.calls = 2;
  plan.ring_after = 2s;
  plan.between_calls = 5s;
  Make(plan);
  Wait(30s);
  EXPECT_FALSE(Ringing()) << "no call before the station's set-up";
  SetUpModem(false);
  Wait(2s - 10ms);
  EXPECT_FALSE(Ringing());
  Wait(10ms);
  EXPECT_TRUE(Ringing());

  ASSERT_TRUE(AnswerCall());
  ShortExchange();
  Wait(1s);  // the guard time before the escape
  SetUpModem(true);
  EXPECT_FALSE(Carrier());
  EXPECT_EQ(report_.lines().back(), "call 1: end: the station hung up");

  // The hang-up came 1 s after "+++"; the set-up took 2 s more.
  EXPECT_EQ(SecondsToRing(10), 3);
  ASSERT_TRUE(AnswerCall());
  ShortExchange();
  Wait(1s);
  Send("+++");
  Wait(1s);
  Send("ATH0\r");
  EXPECT_EQ(line_->calls_ended(), 2);
  EXPECT_FALSE(line_->done()) << "not before the station's set-up after the last call";
  Send("ATS0=0\r");
  EXPECT_TRUE(line_->done());
  EXPECT_EQ(SecondsToRing(30), -1) << "no third call";
}

TEST_F(LineTest, EscapeRightAfterTheExchangeIsNoEscapeAndTheCentreHangsUp) {
  CallPlan plan;
  plan.calls = 1;
  Make(plan);
  SetUpModem(false);
  ASSERT_GE(SecondsToRing(5), 0);
  ASSERT_TRUE(AnswerCall());
  ShortExchange();
  SetUpModem(true);  // "+++" at once after the last block: the modem stays online
  EXPECT_TRUE(Carrier());
  Wait(10s);
  EXPECT_FALSE(Carrier());
  EXPECT_EQ(report_.lines().back(), "call 1: end: the centre hung up: the station did not hang up");
}

TEST_F(LineTest, CallerGivesUpAfterMaxRings) {
  CallPlan plan;
  plan.calls = 1;
  plan.max_rings = 2;
  Make(plan);
  SetUpModem(false);
  Wait(2s);
  EXPECT_TRUE(Ringing());
  Wait(2 * kRingPeriod);
  EXPECT_FALSE(Ringing());
  EXPECT_EQ(report_.lines(), std::vector<std::string>{"call 1: end: not answered after 2 rings"});
  EXPECT_TRUE(line_->modem().rings() == 2);
}

TEST_F(LineTest, WithheldCarrierOnOneCallOnly) {
  CallPlan plan;
  plan.calls = 2;
  plan.no_carrier_calls = {1};
  Make(plan);
  SetUpModem(false);
  ASSERT_GE(SecondsToRing(5), 0);
  EXPECT_FALSE(AnswerCall());
  SetUpModem(true);
  EXPECT_EQ(report_.lines().back(), "call 1: end: the station hung up before the carrier came");
  ASSERT_GE(SecondsToRing(10), 0);
  EXPECT_TRUE(AnswerCall());
}

TEST_F(LineTest, SwitchedOffModemNeverRings) {
  CallPlan plan;
  plan.calls = 1;
  ModemSettings off;
  off.switched_off = true;
  Make(plan, off);
  SetUpModem(false);
  EXPECT_EQ(SecondsToRing(30), -1);
  EXPECT_EQ(line_->Status(), 0u);
  EXPECT_FALSE(line_->done());
}

TEST_F(LineTest, ModemOnlyNeverRings) {
  Make(CallPlan{});
  SetUpModem(false);
  EXPECT_EQ(SecondsToRing(30), -1);
  EXPECT_FALSE(line_->done());
}

}  // namespace
}  // namespace davrilon::linesim
