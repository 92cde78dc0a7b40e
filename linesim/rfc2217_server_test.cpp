#include "linesim/rfc2217_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fakes/fake_clock.h"

namespace davrilon::linesim {
namespace {

using namespace std::chrono_literals;
namespace cp = telnet::comport;
using telnet::Bytes;

// What the client saw: data and decoded commands.
struct ClientView {
  std::string data;
  std::vector<telnet::TelnetCommand> commands;
  std::vector<std::uint8_t> modem_states;  // NOTIFY-MODEMSTATE values, in order
};

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() : line_(clock_, log_, {}, {}, Plan(), report_), session_(log_, line_) {}
  static CallPlan Plan() {
    CallPlan plan;
    plan.calls = 1;
    plan.ring_after = 0ms;
    return plan;
  }

  void FromClient(const Bytes& bytes) { session_.FromClient(bytes); }
  void Wait(Millis span) {
    for (Millis done{0}; done < span; done += 10ms) {
      clock_.Advance(10ms);
      line_.Poll();
      session_.Update();
    }
  }
  // Decodes what the session has for the client.
  ClientView Take() {
    ClientView view;
    client_decoder_.Feed(
        session_.TakeToClient(),
        [&](std::span<const std::uint8_t> d) { view.data.append(d.begin(), d.end()); },
        [&](const telnet::TelnetCommand& c) {
          view.commands.push_back(c);
          auto message = telnet::AsComPort(c);
          if (message && message->command == cp::ServerReply(cp::kNotifyModemState) &&
              message->U8())
            view.modem_states.push_back(*message->U8());
        });
    return view;
  }
  static Bytes Data(std::string_view text) { return Bytes(text.begin(), text.end()); }
  void Agree() {
    session_.Start();
    FromClient(telnet::Negotiation(telnet::kWill, telnet::kOptComPort));
  }

  FakeClock clock_;
  SimLog log_{clock_, nullptr};
  Report report_;
  Line line_;
  Rfc2217Session session_;
  telnet::TelnetDecoder client_decoder_;
};

TEST_F(SessionTest, AsksForBinarySgaAndTheComPortOption) {
  session_.Start();
  ClientView view = Take();
  std::vector<telnet::TelnetCommand> expected = {{telnet::kWill, telnet::kOptBinary, {}},
                                                 {telnet::kDo, telnet::kOptBinary, {}},
                                                 {telnet::kWill, telnet::kOptSuppressGoAhead, {}},
                                                 {telnet::kDo, telnet::kOptSuppressGoAhead, {}},
                                                 {telnet::kDo, telnet::kOptComPort, {}}};
  EXPECT_EQ(view.commands, expected);
  EXPECT_FALSE(session_.com_port_agreed());
}

TEST_F(SessionTest, NotifiesTheLinesOnceAgreedThenOnEveryChange) {
  Agree();
  EXPECT_TRUE(session_.com_port_agreed());
  EXPECT_EQ(Take().modem_states, std::vector<std::uint8_t>{0x30});
  FromClient(Data("ATE0\rATS0=0\r"));  // the call rings at once
  Wait(2s + 10ms);                     // ring on, then off
  FromClient(Data("ATHA\r"));
  Wait(1s);
  ClientView view = Take();
  EXPECT_EQ(view.modem_states,
            (std::vector<std::uint8_t>{
                cp::kModemStateCts | cp::kModemStateDsr | cp::kModemStateRing,
                cp::kModemStateCts | cp::kModemStateDsr | cp::kModemStateTrailingRing,
                cp::kModemStateCts | cp::kModemStateDsr | cp::kModemStateCarrier |
                    cp::kModemStateDeltaCarrier}));
  EXPECT_NE(view.data.find("CONNECT"), std::string::npos);
}

TEST_F(SessionTest, ModemStateMaskFiltersNotifications) {
  Agree();
  Take();
  FromClient(telnet::ComPortU8(cp::kSetModemStateMask, cp::kModemStateCarrier));
  EXPECT_EQ(Take().modem_states, std::vector<std::uint8_t>{0}) << "the lines under the new mask";
  FromClient(Data("ATE0\rATS0=0\r"));
  Wait(1s);
  FromClient(Data("ATHA\r"));
  Wait(2s);
  EXPECT_EQ(Take().modem_states, std::vector<std::uint8_t>{cp::kModemStateCarrier})
      << "the ring is not reported, the carrier is, without the masked-out bits";
}

TEST_F(SessionTest, AcknowledgesPortSettingsWithTheValueInForce) {
  Agree();
  Take();
  FromClient(telnet::ComPortU32(cp::kSetBaudRate, 115200));
  FromClient(telnet::ComPortU8(cp::kSetDataSize, 8));
  FromClient(telnet::ComPortU8(cp::kSetParity, cp::kParityNone));
  FromClient(telnet::ComPortU8(cp::kSetStopSize, cp::kStopOne));
  FromClient(telnet::ComPortU8(cp::kSetControl, cp::kControlDtrOn));
  FromClient(telnet::ComPortU8(cp::kSetDataSize, cp::kQuery));
  ClientView view = Take();
  std::vector<telnet::TelnetCommand> expected;
  for (const Bytes& reply : {telnet::ComPortU32(cp::ServerReply(cp::kSetBaudRate), 115200),
                             telnet::ComPortU8(cp::ServerReply(cp::kSetDataSize), 8),
                             telnet::ComPortU8(cp::ServerReply(cp::kSetParity), cp::kParityNone),
                             telnet::ComPortU8(cp::ServerReply(cp::kSetStopSize), cp::kStopOne),
                             telnet::ComPortU8(cp::ServerReply(cp::kSetControl), cp::kControlDtrOn),
                             telnet::ComPortU8(cp::ServerReply(cp::kSetDataSize), 8)}) {
    telnet::TelnetDecoder decoder;
    decoder.Feed(
        reply, [](auto) {}, [&](const telnet::TelnetCommand& c) { expected.push_back(c); });
  }
  EXPECT_EQ(view.commands, expected);
  EXPECT_EQ(session_.baud_rate(), 115200u);
}

TEST_F(SessionTest, DataByte255IsEscapedBothWays) {
  Agree();
  Take();
  // The modem echoes at power-on: one 0xFF from the client comes back as one.
  FromClient(Bytes{'A', telnet::kIac, telnet::kIac, 'B'});
  Bytes raw = session_.TakeToClient();
  EXPECT_EQ(raw, (Bytes{'A', telnet::kIac, telnet::kIac, 'B'}));
}

TEST_F(SessionTest, PurgeDropsWhatWaitsForTheStation) {
  Agree();
  Take();
  line_.modem().StartRinging();  // "RING" waits in the modem
  FromClient(telnet::ComPortU8(cp::kPurgeData, cp::kPurgeReceive));
  ClientView view = Take();
  EXPECT_EQ(view.data, "");
  ASSERT_FALSE(view.commands.empty());
  auto reply = telnet::AsComPort(view.commands.front());
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->command, cp::ServerReply(cp::kPurgeData));
  EXPECT_EQ(reply->U8(), cp::kPurgeReceive);
}

}  // namespace
}  // namespace davrilon::linesim
