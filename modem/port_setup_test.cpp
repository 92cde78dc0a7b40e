#include "modem/port_setup.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "modem/test_rig.h"

namespace davrilon {
namespace {

using Kind = PortEvent::Kind;

// Lends the test's scripted port to SetUpPort, which owns what it opens: the
// scripted port outlives the set-up, so the test can look at it afterwards.
// Counts every Close() asked for, also those that would find the port closed.
class LentPort : public SerialPort {
 public:
  LentPort(SerialPort& port, int& close_calls) : port_(port), close_calls_(close_calls) {}
  bool GetLineSettings(LineSettings& s) override { return port_.GetLineSettings(s); }
  bool SetLineSettings(const LineSettings& s) override { return port_.SetLineSettings(s); }
  bool GetTimeouts(PortTimeouts& t) override { return port_.GetTimeouts(t); }
  bool SetTimeouts(const PortTimeouts& t) override { return port_.SetTimeouts(t); }
  bool GetModemStatus(std::uint32_t& s) override { return port_.GetModemStatus(s); }
  bool PurgeReceive() override { return port_.PurgeReceive(); }
  bool Read(std::span<std::uint8_t> into, std::uint32_t& got) override {
    return port_.Read(into, got);
  }
  bool Write(std::span<const std::uint8_t> bytes, std::uint32_t& written) override {
    return port_.Write(bytes, written);
  }
  void Close() override {
    ++close_calls_;
    port_.Close();
  }
  bool is_closed() const override { return port_.is_closed(); }
  std::uint32_t last_error() const override { return port_.last_error(); }

 private:
  SerialPort& port_;
  int& close_calls_;
};

// A console that notes, when the station waits for the key, whether the
// port, the event log and the guard file were closed already, and, when the
// console text goes out, what the log file held.
class WatchingConsole : public FakeConsole {
 public:
  explicit WatchingConsole(StationRig& rig) : rig_(rig) {}
  void WriteText(std::string_view text) override {
    log_at_text = rig_.LogFile();
    FakeConsole::WriteText(text);
  }
  int ReadKey() override {
    all_closed_at_key = rig_.port.is_closed() && !rig_.log.is_open() && !rig_.guard.held();
    return FakeConsole::ReadKey();
  }
  std::optional<std::string> log_at_text;
  std::optional<bool> all_closed_at_key;

 private:
  StationRig& rig_;
};

class PortSetUpTest : public ::testing::Test {
 protected:
  std::unique_ptr<SerialPort> Run() {
    return SetUpPort(station, [this](std::string_view name) {
      opened_names.emplace_back(name);
      if (open_error)
        return PortOpenResult{nullptr, *open_error, open_reason, "/dev/ttyS0"};
      return PortOpenResult{std::make_unique<LentPort>(rig.port, close_calls), 0, "", "/dev/ttyS0"};
    });
  }
  void SetUp() override {
    station.diagnose = [this](std::string_view line) { diagnostics.emplace_back(line); };
  }

  StationRig rig;
  WatchingConsole console{rig};
  Station station{rig.station.config, rig.log,    console,  rig.clock,
                  rig.files,          rig.runner, rig.guard};
  std::vector<std::string> opened_names;
  std::optional<std::uint32_t> open_error;
  std::string open_reason;
  int close_calls = 0;
  std::vector<std::string> diagnostics;  // the lines for standard error
};

constexpr char kOpened[] = "Port COM1 otwarty\r\n";
constexpr char kStateRead[] = "Status odczytany\r\n";
constexpr char kConfigured[] = "Port zasta\xb3 skonfigurowany poprawnie.\r\n";
constexpr char kSwitchedOn48[] =
    "Modem jest zal\xb9"
    "czony,warto\x9c\xe6 odczytana: 48\r\n";
constexpr char kTimeoutsRead[] = "Timeoty odczytane\r\n";
constexpr char kTimeoutsWritten[] = "Timeoty zosta\xb3y zapisane\r\n";

std::string Lines(std::initializer_list<const char*> lines) {
  std::string out;
  for (const char* l : lines)
    out += l;
  return out;
}

TEST_F(PortSetUpTest, SuccessSetsTheLineAndTimeOutsAndSetsTheModemUp) {
  ASSERT_TRUE(rig.log_opened && rig.guard_held);
  rig.port.status = [] { return MS_CTS_ON | MS_DSR_ON; };  // 0x30: logged as 48
  std::unique_ptr<SerialPort> port = Run();

  ASSERT_NE(port, nullptr);
  EXPECT_EQ(opened_names, std::vector<std::string>{"COM1"});
  EXPECT_EQ(rig.LogFile(),
            Lines({kOpened, kStateRead, kConfigured, kSwitchedOn48, kTimeoutsRead, kTimeoutsWritten,
                   logged::kHangUp, logged::kReset, logged::kEchoOff, logged::kQuiet,
                   logged::kAutoAnswer, logged::kModemSet}));

  // 115200 8N1 over the port's odd start values; the per-byte read part kept.
  EXPECT_EQ(rig.port.line.baud_rate, 115200u);
  EXPECT_EQ(rig.port.line.byte_size, 8);
  EXPECT_EQ(rig.port.line.parity, kNoParity);
  EXPECT_EQ(rig.port.line.stop_bits, kOneStopBit);
  EXPECT_EQ(rig.port.timeouts.read_interval_ms, 3000u);
  EXPECT_EQ(rig.port.timeouts.read_total_multiplier_ms, 7u);
  EXPECT_EQ(rig.port.timeouts.read_total_constant_ms, 3000u);
  EXPECT_EQ(rig.port.timeouts.write_total_multiplier_ms, 3000u);
  EXPECT_EQ(rig.port.timeouts.write_total_constant_ms, 3000u);

  // Read, change, write back: in this order, before the first command.
  std::vector<Kind> kinds;
  for (const auto& e : rig.port.events)
    kinds.push_back(e.kind);
  ASSERT_GE(kinds.size(), 6u);
  EXPECT_EQ(std::vector<Kind>(kinds.begin(), kinds.begin() + 6),
            (std::vector<Kind>{Kind::kGetLine, Kind::kSetLine, Kind::kStatus, Kind::kGetTimeouts,
                               Kind::kSetTimeouts, Kind::kWrite}));

  EXPECT_EQ(rig.clock.pauses, (std::vector<int>{1, 1})) << "only the modem's own pauses";
  EXPECT_EQ(close_calls, 0);
  EXPECT_TRUE(rig.log.is_open());
  EXPECT_TRUE(rig.guard.held());
  EXPECT_TRUE(console.events.empty());
  EXPECT_EQ(console.keys_read, 0);
  EXPECT_TRUE(diagnostics.empty()) << "nothing to explain";
}

TEST_F(PortSetUpTest, APortThatCannotBeOpenedIsExplainedOnStandardError) {
  open_error = 111;
  EXPECT_EQ(Run(), nullptr);
  open_error = 22;
  open_reason = "DAVRILON_COM1 is neither a device path (/dev/...) nor rfc2217://HOST:PORT";
  EXPECT_EQ(Run(), nullptr);
  EXPECT_EQ(diagnostics,
            (std::vector<std::string>{
                "COM1 = /dev/ttyS0: cannot open: connection refused (111)",
                "COM1 = /dev/ttyS0: cannot open: DAVRILON_COM1 is neither a device path (/dev/...) "
                "nor rfc2217://HOST:PORT (22)"}));
}

TEST_F(PortSetUpTest, AnyStatusLineCountsAsSwitchedOn) {
  for (std::uint32_t bit : {MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON}) {
    StationRig other;
    other.port.status = [bit] { return bit; };
    Station s{other.station.config, other.log,    other.console, other.clock,
              other.files,          other.runner, other.guard};
    EXPECT_NE(
        SetUpPort(s,
                  [&](std::string_view) {
                    return PortOpenResult{std::make_unique<LentPort>(other.port, close_calls), 0};
                  }),
        nullptr)
        << "status " << bit;
    EXPECT_EQ(other.console.keys_read, 0);
  }
}

// --- every failure of the set-up ends the station with everything closed ---

struct FailureCase {
  const char* name;
  std::optional<std::uint32_t> open_error;  // the open itself fails
  std::optional<ScriptedPort::Failure> port_failure;
  bool modem_switched_off;
  std::string log;
  std::vector<std::string> console;
  int closes;
  int keys_read;
};
// Named by its row in test listings.
void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class PortSetUpFailure : public PortSetUpTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PortSetUpFailure, LogsWhyAndClosesEverything) {
  const FailureCase& c = GetParam();
  open_error = c.open_error;
  if (c.port_failure)
    rig.port.failures.push_back(*c.port_failure);
  if (c.modem_switched_off)
    rig.port.status = [] { return 0u; };

  EXPECT_EQ(Run(), nullptr);

  EXPECT_EQ(rig.LogFile(), c.log);
  EXPECT_EQ(console.events, c.console);
  EXPECT_EQ(rig.port.closes, c.closes);
  EXPECT_EQ(close_calls, c.closes) << "the port is closed once, not again";
  EXPECT_EQ(console.keys_read, c.keys_read);
  EXPECT_FALSE(rig.log.is_open());
  EXPECT_FALSE(rig.guard.held());
  EXPECT_TRUE(rig.clock.pauses.empty()) << "no pause anywhere in a failed set-up";
  // One line for the IT person names the port, where it leads and what failed.
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_EQ(diagnostics[0].rfind("COM1 = /dev/ttyS0: ", 0), 0u) << diagnostics[0];
  if (c.keys_read > 0) {
    ASSERT_TRUE(console.all_closed_at_key.has_value());
    EXPECT_TRUE(*console.all_closed_at_key) << "the key is waited for after everything is closed";
    ASSERT_TRUE(console.log_at_text.has_value());
    EXPECT_EQ(console.log_at_text->find("zalaczony"), std::string::npos)
        << "the console text goes out before the log line";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PortSetUpFailure,
    ::testing::Values(
        FailureCase{"open",
                    2u,
                    std::nullopt,
                    false,
                    "B\xb3\xb9"
                    "d otwierania po\xb3\xb9"
                    "czenia 2\r\n",
                    {},
                    0,
                    0},
        FailureCase{"get_line",
                    std::nullopt,
                    ScriptedPort::Failure{Kind::kGetLine, 1, 5},
                    false,
                    Lines({kOpened,
                           "B\xb3\xb9"
                           "d odczytu stanu portu 5\r\n"}),
                    {},
                    1,
                    0},
        FailureCase{"set_line",
                    std::nullopt,
                    ScriptedPort::Failure{Kind::kSetLine, 1, 22},
                    false,
                    Lines({kOpened, kStateRead,
                           "B\xb3\xb9"
                           "d konfiguracji portu 22\r\n"}),
                    {},
                    1,
                    0},
        FailureCase{"status",
                    std::nullopt,
                    ScriptedPort::Failure{Kind::kStatus, 1, 0xFFFFFFFFu},
                    false,
                    Lines({kOpened, kStateRead, kConfigured,
                           "B\xb3\xb9"
                           "d Odczytu statusu 4294967295\r\n"}),
                    {},
                    1,
                    0},
        FailureCase{"switched_off",
                    std::nullopt,
                    std::nullopt,
                    true,
                    Lines({kOpened, kStateRead, kConfigured, "Modem nie jest zalaczony !!!\r\n"}),
                    {"text Modem nie jest załączony !!!"},
                    1,
                    1},
        FailureCase{"get_timeouts",
                    std::nullopt,
                    ScriptedPort::Failure{Kind::kGetTimeouts, 1, 5},
                    false,
                    Lines({kOpened, kStateRead, kConfigured, kSwitchedOn48,
                           "B\xb3\xb9"
                           "d odczytu TimeOut-\xf3w .5\r\n"}),
                    {},
                    1,
                    0},
        FailureCase{"set_timeouts",
                    std::nullopt,
                    ScriptedPort::Failure{Kind::kSetTimeouts, 1, 5},
                    false,
                    Lines({kOpened, kStateRead, kConfigured, kSwitchedOn48, kTimeoutsRead,
                           "B\xb3\xb9"
                           "d konfiguracji TimeOut-\xf3w 5\r\n"}),
                    {},
                    1,
                    0},
        FailureCase{"modem_set_up",
                    std::nullopt,
                    ScriptedPort::Failure{Kind::kWrite, 1, 5},
                    false,
                    Lines({kOpened, kStateRead, kConfigured, kSwitchedOn48, kTimeoutsRead,
                           kTimeoutsWritten, logged::kHangUp, logged::kSendFailed, "ATH0\r\r\n",
                           logged::kNotReset, "Nie ustawiono modemu\r\n"}),
                    {},
                    1,
                    0}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace davrilon
