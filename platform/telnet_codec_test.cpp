#include "platform/telnet_codec.h"

#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

namespace davrilon::telnet {
namespace {

using comport::ServerReply;

// What a decoder handed on: data runs merged, commands between them.
struct Piece {
  bool is_data = false;
  Bytes data;
  TelnetCommand command;
  bool operator==(const Piece&) const = default;
};

Piece Data(Bytes bytes) {
  return Piece{true, std::move(bytes), {}};
}
Piece Cmd(std::uint8_t verb, std::uint8_t option, Bytes payload = {}) {
  return Piece{false, {}, TelnetCommand{verb, option, std::move(payload)}};
}

std::string Show(const std::vector<Piece>& pieces) {
  std::string out;
  for (const auto& p : pieces) {
    out += p.is_data ? "data[" : "cmd[";
    const Bytes& b = p.is_data ? p.data : p.command.payload;
    if (!p.is_data)
      out += std::to_string(p.command.verb) + " " + std::to_string(p.command.option) + ":";
    for (auto x : b)
      out += " " + std::to_string(x);
    out += "] ";
  }
  return out;
}

// Feeds `stream` in the given chunks to one decoder and collects what it hands on.
std::vector<Piece> DecodeChunks(const Bytes& stream, const std::vector<std::size_t>& cuts,
                                TelnetDecoder& decoder) {
  std::vector<Piece> out;
  auto on_data = [&](std::span<const std::uint8_t> d) {
    EXPECT_FALSE(d.empty()) << "empty data run handed on";
    if (!out.empty() && out.back().is_data)
      out.back().data.insert(out.back().data.end(), d.begin(), d.end());
    else
      out.push_back(Data(Bytes(d.begin(), d.end())));
  };
  auto on_command = [&](const TelnetCommand& c) { out.push_back(Piece{false, {}, c}); };
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    decoder.Feed(std::span(stream).subspan(from, cut - from), on_data, on_command);
    from = cut;
  }
  decoder.Feed(std::span(stream).subspan(from), on_data, on_command);
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(TelnetEscape, DoublesEveryIacAndNothingElse) {
  struct Case {
    Bytes in, out;
  };
  const Case cases[] = {
      {{}, {}},
      {{0x00, 0x41, 0xFE}, {0x00, 0x41, 0xFE}},
      {{0xFF}, {0xFF, 0xFF}},
      {{0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}},
      {{0x01, 0xFF, 0xF0, 0xFF, 0x02}, {0x01, 0xFF, 0xFF, 0xF0, 0xFF, 0xFF, 0x02}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Escape(c.in), c.out);
}

TEST(TelnetBuilders, ComPortMessagesAreFramedAsOnTheWire) {
  struct Case {
    const char* name;
    Bytes built, wire;
  };
  const Case cases[] = {
      {"baud 115200",
       ComPortU32(comport::kSetBaudRate, 115200),
       {kIac, kSb, 44, 1, 0x00, 0x01, 0xC2, 0x00, kIac, kSe}},
      {"baud reply with 0xFF byte",
       ComPortU32(ServerReply(comport::kSetBaudRate), 0x0001FFFF),
       {kIac, kSb, 44, 101, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, kIac, kSe}},
      {"parity reply",
       ComPortU8(ServerReply(comport::kSetParity), comport::kParityNone),
       {kIac, kSb, 44, 103, 1, kIac, kSe}},
      {"modem mask 255",
       ComPortU8(comport::kSetModemStateMask, 0xFF),
       {kIac, kSb, 44, 11, 0xFF, 0xFF, kIac, kSe}},
      {"purge",
       ComPortU8(comport::kPurgeData, comport::kPurgeReceive),
       {kIac, kSb, 44, 12, 1, kIac, kSe}},
      {"suspend has no value",
       ComPort(comport::kFlowControlSuspend),
       {kIac, kSb, 44, 8, kIac, kSe}},
      {"will com port", Negotiation(kWill, kOptComPort), {kIac, kWill, 44}},
      {"nop", Command(kNop), {kIac, kNop}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.built, c.wire) << c.name;
}

struct DecodeCase {
  const char* name;
  Bytes stream;
  std::vector<Piece> expected;
  std::size_t dropped = 0;
};
// Named by its row in test listings.
void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << c.name;
}

class TelnetDecoding : public ::testing::TestWithParam<DecodeCase> {};

// The stream is decoded whole, byte by byte, and cut in two at every boundary:
// the result must always be the same.
TEST_P(TelnetDecoding, GivesTheSameResultHoweverTheStreamIsCut) {
  const DecodeCase& c = GetParam();
  {
    TelnetDecoder d;
    auto got = DecodeChunks(c.stream, {}, d);
    EXPECT_EQ(got, c.expected) << "whole: " << Show(got);
    EXPECT_EQ(d.dropped_subnegotiations(), c.dropped);
  }
  {
    std::vector<std::size_t> every;
    for (std::size_t i = 1; i < c.stream.size(); ++i)
      every.push_back(i);
    TelnetDecoder d;
    auto got = DecodeChunks(c.stream, every, d);
    EXPECT_EQ(got, c.expected) << "byte by byte: " << Show(got);
  }
  for (std::size_t cut = 0; cut <= c.stream.size(); ++cut) {
    TelnetDecoder d;
    auto got = DecodeChunks(c.stream, {cut}, d);
    EXPECT_EQ(got, c.expected) << "cut at " << cut << ": " << Show(got);
  }
}

Bytes AllByteValues() {
  Bytes all;
  for (int i = 0; i < 256; ++i)
    all.push_back(static_cast<std::uint8_t>(i));
  return all;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TelnetDecoding,
    ::testing::Values(
        DecodeCase{"plain_data", {'A', 'T', 0x0D}, {Data({'A', 'T', 0x0D})}},
        DecodeCase{"escaped_iac_in_data",
                   {'a', kIac, kIac, 'b', kIac, kIac},
                   {Data({'a', 0xFF, 'b', 0xFF})}},
        DecodeCase{"all_byte_values_escaped", Escape(AllByteValues()), {Data(AllByteValues())}},
        DecodeCase{"negotiation_between_data",
                   {'x', kIac, kDo, kOptBinary, 'y', kIac, kWill, kOptComPort},
                   {Data({'x'}), Cmd(kDo, kOptBinary), Data({'y'}), Cmd(kWill, kOptComPort)}},
        DecodeCase{"single_byte_commands",
                   {kIac, kNop, 'z', kIac, kBrk},
                   {Cmd(kNop, 0), Data({'z'}), Cmd(kBrk, 0)}},
        DecodeCase{
            "baud_reply",
            Cat({{'q'}, ComPortU32(ServerReply(comport::kSetBaudRate), 115200), {'r'}}),
            {Data({'q'}), Cmd(kSb, kOptComPort, {101, 0x00, 0x01, 0xC2, 0x00}), Data({'r'})}},
        DecodeCase{"subnegotiation_with_escaped_ff",
                   Cat({ComPortU8(comport::kSetModemStateMask, 0xFF), {kIac, kIac}}),
                   {Cmd(kSb, kOptComPort, {11, 0xFF}), Data({0xFF})}},
        DecodeCase{"subnegotiation_value_ff_then_se_bytes",
                   {kIac, kSb, 44, 107, kIac, kIac, kSe, kIac, kSe, kSe},
                   {Cmd(kSb, kOptComPort, {107, 0xFF, kSe}), Data({kSe})}},
        DecodeCase{"empty_subnegotiation",
                   {kIac, kSb, 44, kIac, kSe, 'k'},
                   {Cmd(kSb, kOptComPort), Data({'k'})}},
        DecodeCase{"abandoned_subnegotiation",
                   {kIac, kSb, 44, 1, 2, kIac, kWill, kOptBinary, 'd'},
                   {Cmd(kWill, kOptBinary), Data({'d'})},
                   1},
        DecodeCase{"overlong_subnegotiation_is_dropped",
                   Cat({{kIac, kSb, 44},
                        Bytes(TelnetDecoder::kMaxSubnegotiation + 10, 7),
                        {kIac, kIac, 9, kIac, kSe, 'e'}}),
                   {Data({'e'})},
                   1}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(TelnetDecoding, ComPortMessagesReadBackWhatWasBuilt) {
  struct Case {
    Bytes wire;
    std::uint8_t command, base;
    bool reply;
    std::optional<std::uint8_t> u8;
    std::optional<std::uint32_t> u32;
  };
  const Case cases[] = {
      {ComPortU32(ServerReply(comport::kSetBaudRate), 0xFFFF00FF), 101, 1, true, std::nullopt,
       0xFFFF00FF},
      {ComPortU8(comport::kSetDataSize, 8), 2, 2, false, 8, std::nullopt},
      {ComPortU8(ServerReply(comport::kNotifyModemState), 0xB0), 107, 7, true, 0xB0, std::nullopt},
      {ComPort(comport::kFlowControlResume), 9, 9, false, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    std::vector<TelnetCommand> got;
    TelnetDecoder d;
    d.Feed(
        c.wire, [](auto) { ADD_FAILURE() << "no data expected"; },
        [&](const TelnetCommand& cmd) { got.push_back(cmd); });
    ASSERT_EQ(got.size(), 1u);
    auto msg = AsComPort(got[0]);
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(msg->command, c.command);
    EXPECT_EQ(msg->base_command(), c.base);
    EXPECT_EQ(msg->is_server_reply(), c.reply);
    EXPECT_EQ(msg->U8(), c.u8);
    EXPECT_EQ(msg->U32(), c.u32);
  }
  EXPECT_FALSE(AsComPort(TelnetCommand{kSb, kOptBinary, {1}}).has_value());
  EXPECT_FALSE(AsComPort(TelnetCommand{kSb, kOptComPort, {}}).has_value());
  EXPECT_FALSE(AsComPort(TelnetCommand{kWill, kOptComPort, {}}).has_value());
}

// One step of a negotiation: what this side does or receives, and what it must send.
struct NegotiationStep {
  enum { kRequestLocal, kRequestRemote, kReceive } action;
  std::uint8_t verb;  // for kReceive
  std::uint8_t option;
  Bytes sends;
};

TEST(OptionNegotiation, AnswersWithoutLoopsAndRefusesWhatIsNotAllowed) {
  struct Case {
    const char* name;
    std::vector<NegotiationStep> steps;
    std::uint8_t option;
    bool local, remote;
  };
  using S = NegotiationStep;
  const Case cases[] = {
      {"our will confirmed by do, no answer",
       {{S::kRequestLocal, 0, 44, {kIac, kWill, 44}}, {S::kReceive, kDo, 44, {}}},
       44,
       true,
       false},
      {"our will refused",
       {{S::kRequestLocal, 0, 44, {kIac, kWill, 44}}, {S::kReceive, kDont, 44, {}}},
       44,
       false,
       false},
      {"second request while pending sends nothing",
       {{S::kRequestRemote, 0, 0, {kIac, kDo, 0}},
        {S::kRequestRemote, 0, 0, {}},
        {S::kReceive, kWill, 0, {}}},
       0,
       false,
       true},
      {"repeated do after agreement sends nothing",
       {{S::kRequestLocal, 0, 3, {kIac, kWill, 3}},
        {S::kReceive, kDo, 3, {}},
        {S::kReceive, kDo, 3, {}}},
       3,
       true,
       false},
      {"unknown option refused both ways",
       {{S::kReceive, kDo, 24, {kIac, kWont, 24}}, {S::kReceive, kWill, 24, {kIac, kDont, 24}}},
       24,
       false,
       false},
      {"refused option is not answered again on wont",
       {{S::kReceive, kWill, 1, {kIac, kDont, 1}}, {S::kReceive, kWont, 1, {}}},
       1,
       false,
       false},
      {"peer switches an enabled option off",
       {{S::kRequestRemote, 0, 0, {kIac, kDo, 0}},
        {S::kReceive, kWill, 0, {}},
        {S::kReceive, kWont, 0, {kIac, kDont, 0}}},
       0,
       false,
       false},
  };
  for (const auto& c : cases) {
    OptionNegotiator n;
    for (const auto& s : c.steps) {
      Bytes sent = s.action == S::kRequestLocal    ? n.RequestLocal(s.option)
                   : s.action == S::kRequestRemote ? n.RequestRemote(s.option)
                                                   : n.Receive(s.verb, s.option);
      EXPECT_EQ(sent, s.sends) << c.name;
    }
    EXPECT_EQ(n.LocalEnabled(c.option), c.local) << c.name;
    EXPECT_EQ(n.RemoteEnabled(c.option), c.remote) << c.name;
  }
}

TEST(OptionNegotiation, ServerAcceptsAllowedOptionsAndAnswersOnce) {
  OptionNegotiator server;
  server.AllowRemote(kOptComPort);
  server.AllowLocal(kOptBinary);
  EXPECT_EQ(server.Receive(kWill, kOptComPort), Negotiation(kDo, kOptComPort));
  EXPECT_EQ(server.Receive(kWill, kOptComPort), Bytes{});
  EXPECT_EQ(server.Receive(kDo, kOptBinary), Negotiation(kWill, kOptBinary));
  EXPECT_TRUE(server.RemoteEnabled(kOptComPort));
  EXPECT_TRUE(server.LocalEnabled(kOptBinary));
  EXPECT_FALSE(server.LocalPending(kOptBinary));
}

}  // namespace
}  // namespace davrilon::telnet
