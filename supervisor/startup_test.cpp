#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

#include "supervisor/cp1250.h"
#include "supervisor/station_fixture.h"
#include "supervisor/supervisor.h"

namespace davrilon {
namespace {

constexpr char kSeparator[] = "----------------------------------------------\r\n";
constexpr char kStamp[] = "Mon Mar 05 14:03:09 2001\r\n\r\n";
constexpr int kCtrlK = 11;

class StartUpTest : public ::testing::Test, protected StationFixture {
 protected:
  void SetUp() override { std::filesystem::create_directory(dir.path() / "INFO"); }
  // Stops the loop in its first pass, as a Ctrl+K would.
  void StopAtFirstPass() { console.keys.push_back(kCtrlK); }
};

struct FailureRow {
  const char* name;
  const char* cfg;  // nullptr: no MODEM.CFG
  const char* log_after_stamp;
  const char* console_line;
};
// Named by its row in test listings.
void PrintTo(const FailureRow& c, std::ostream* os) {
  *os << c.name;
}

class StartUpFailure : public StartUpTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(StartUpFailure, LogsShowsPausesFiveSecondsAndEnds) {
  const FailureRow& row = GetParam();
  if (row.cfg != nullptr)
    dir.Write("MODEM.CFG", row.cfg);
  RunStation(station);
  EXPECT_EQ(Log(), std::string(kSeparator) + kStamp + row.log_after_stamp);
  ASSERT_FALSE(console.events.empty());
  EXPECT_EQ(console.events.back(), std::string("line ") + row.console_line);
  EXPECT_EQ(clock.pauses, std::vector<int>{5});
  EXPECT_TRUE(runner.commands.empty()) << "the start-up mode runs only after the configuration";
  EXPECT_FALSE(guard.held());
  EXPECT_FALSE(log.is_open());
  ASSERT_EQ(diagnostics.size(), 1u) << "one line on standard error says why";
  EXPECT_NE(diagnostics[0].find("MODEM.CFG"), std::string::npos) << diagnostics[0];
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StartUpFailure,
    ::testing::Values(
        FailureRow{"no_config", nullptr, "Brak pliku MODEM.CFG\r\n", "BRAK PLIKU KONFIGURACJI !!!"},
        FailureRow{"port_zero", "0\n", "NIEPOPRWANY NUMER PORTU COM MODEMU\r\n",
                   "NIEPOPRAWNY NUMER PORTU COM MODEMU !!!"},
        FailureRow{"empty_config", "", "NIEPOPRWANY NUMER PORTU COM MODEMU\r\n",
                   "NIEPOPRAWNY NUMER PORTU COM MODEMU !!!"},
        FailureRow{"empty_first_line", "\n4\n", "NIEPOPRWANY NUMER PORTU COM MODEMU\r\n",
                   "NIEPOPRAWNY NUMER PORTU COM MODEMU !!!"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(StartUpTest, LogThatCannotBeOpenedShowsTheConsoleTextAndPauses) {
  std::filesystem::create_directory(dir.path() /
                                    "davrilon.log");  // a directory cannot be appended to
  dir.Write("MODEM.CFG", "1\n\n4\n");
  RunStation(station);
  EXPECT_EQ(console.events.back(), "text Nie utworzono pliku logu");
  EXPECT_EQ(clock.pauses, std::vector<int>{5});
  EXPECT_TRUE(runner.commands.empty());
}

TEST_F(StartUpTest, RunningCopyIsRefusedAndItsGuardFileStays) {
  dir.Write("MODEM.CFG", "1\n\n4\n");
  GuardFile running;
  ASSERT_TRUE(running.CreateAndHold(dir.path() / "INFO" / "OBSLUGA.PC"));
  RunStation(station);
  EXPECT_EQ(Log(), std::string(kSeparator) + kStamp + "Davrilon jest juz uruchomiony\r\n");
  EXPECT_EQ(console.events.back(), "line Davrilon jest juz uruchomiony !!!");
  EXPECT_EQ(clock.pauses, std::vector<int>{5});
  EXPECT_TRUE(dir.Exists("INFO/OBSLUGA.PC"));
  EXPECT_TRUE(running.held());
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_EQ(diagnostics[0].rfind("another copy of the station runs", 0), 0u) << diagnostics[0];
}

TEST_F(StartUpTest, StaleGuardFileDoesNotStopTheStart) {
  dir.Write("MODEM.CFG", "1\n\n4\n");
  dir.Write("INFO/OBSLUGA.PC", "left by a copy that was killed");
  StopAtFirstPass();
  RunStation(station);
  EXPECT_NE(Log().find("Program zako\xf1"
                       "czony klawiszem\r\n"),
            std::string::npos);
  EXPECT_EQ(dir.Read("INFO/OBSLUGA.PC"), "") << "the guard file stays on disk, empty";
}

TEST_F(StartUpTest, MissingInfoDirectoryEndsAtTheGuardFileWithoutPause) {
  std::filesystem::remove(dir.path() / "INFO");
  dir.Write("MODEM.CFG", "1\n\n4\n");
  RunStation(station);
  EXPECT_EQ(Log(), std::string(kSeparator) + kStamp +
                       "Transmisja siecia\r\nParametrModemu : cichy\r\nParametry OK\r\n"
                       "Nie stworzono pliku lacza ze sklepem\r\n");
  EXPECT_EQ(runner.commands, std::vector<std::string>{"zelpo.exe 1"});
  EXPECT_TRUE(clock.pauses.empty());
}

TEST_F(StartUpTest, NetworkOnlyStartsInOrderAndStopsCleanly) {
  dir.Write("MODEM.CFG", "3\nx\n4\n1\n");
  dir.Write("KONIEC.PC", "");  // a stale stop request, written in capitals by other software
  StopAtFirstPass();
  std::size_t console_events_at_run = 0;
  runner.on_run = [this, &console_events_at_run](const std::string&) {
    console_events_at_run = console.events.size();
  };
  RunStation(station);
  EXPECT_EQ(console_events_at_run, 2u) << "the title is set only after the start-up mode has run";
  EXPECT_EQ(Log(), std::string(kSeparator) + kStamp +
                       "Transmisja siecia\r\nParametrModemu : glosny\r\nParametry OK\r\n"
                       "Program zako\xf1"
                       "czony klawiszem\r\nPort zosta\xb3 zamkni\xea"
                       "ty\r\n" +
                       "Mon Mar 05 14:03:10 2001\r\n\r\n");
  EXPECT_FALSE(dir.Exists("KONIEC.PC")) << "a stale stop request is deleted at start";
  EXPECT_EQ(runner.commands, std::vector<std::string>{"zelpo.exe 1"});
  ASSERT_GE(console.events.size(), 3u);
  EXPECT_EQ(console.events[0], "clear 14/1");
  EXPECT_EQ(console.events[1], "hide cursor");
  EXPECT_EQ(console.events[2], "title System DAVRILON - Wersja dla Windows (32-bitowa)");
  EXPECT_TRUE(dir.Exists("INFO/OBSLUGA.PC"));
  EXPECT_FALSE(guard.held());
  EXPECT_FALSE(log.is_open());
}

TEST_F(StartUpTest, StaleStopRequestIsDeletedInEverySpelling) {
  dir.Write("MODEM.CFG", "1\n\n4\n");
  dir.Write("koniec.pc", "");
  dir.Write("KONIEC.PC", "");
  StopAtFirstPass();
  RunStation(station);
  EXPECT_EQ(Log().find("Zdalne zako"), std::string::npos) << Log();
  EXPECT_NE(Log().find("Program zako\xf1"
                       "czony klawiszem\r\n"),
            std::string::npos);
  EXPECT_FALSE(dir.Exists("koniec.pc"));
  EXPECT_FALSE(dir.Exists("KONIEC.PC"));
}

TEST_F(StartUpTest, TwoRunsStandOneAfterTheOtherInOneLog) {
  dir.Write("MODEM.CFG", "1\n\n4\n");
  StopAtFirstPass();
  RunStation(station);
  std::string first = Log();
  StopAtFirstPass();
  RunStation(station);
  ASSERT_EQ(Log().size(), 2 * first.size()) << Log();
  EXPECT_EQ(Log().substr(first.size(), std::string(kSeparator).size()), kSeparator);
}

// With the modem in use the start-up goes on to the port; here the port
// cannot be opened, so the log shows what the configuration gave and ends.
struct ModeRow {
  const char* name;
  const char* cfg;
  const char* logged;  // between the time stamp and the port's failure
};
// Named by its row in test listings.
void PrintTo(const ModeRow& row, std::ostream* os) {
  *os << row.name;
}

class StartUpModemModes : public StartUpTest, public ::testing::WithParamInterface<ModeRow> {};

TEST_P(StartUpModemModes, LogTheTransferModeOnlyWithTheNetwork) {
  dir.Write("MODEM.CFG", GetParam().cfg);
  setenv("DAVRILON_COM2", (dir.path() / "no-such-device").c_str(), 1);
  RunStation(station);
  unsetenv("DAVRILON_COM2");
  const std::string expected = std::string(kSeparator) + kStamp + GetParam().logged +
                               "B\xb3\xb9"
                               "d otwierania po\xb3\xb9"
                               "czenia ";
  EXPECT_EQ(Log().substr(0, expected.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StartUpModemModes,
    ::testing::Values(ModeRow{"network_and_modem", "2\n\n3\n",
                              "Transmisja siecia i modemem\r\nParametrModemu : cichy\r\n"
                              "Parametry OK\r\n"},
                      ModeRow{"modem_only", "2\nx\n1\n1\n",
                              "ParametrModemu : glosny\r\nParametry OK\r\n"},
                      ModeRow{"single_line", "2", "ParametrModemu : cichy\r\nParametry OK\r\n"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(StartUpTest, ModemConfiguredHandsOverToThePortSetUp) {
  dir.Write("MODEM.CFG", "2\n");
  unsetenv("DAVRILON_COM2");
  setenv("DAVRILON_COM2", (dir.path() / "no-such-device").c_str(), 1);
  RunStation(station);
  std::string log_text = Log();
  EXPECT_NE(log_text.find("Parametry OK\r\n"), std::string::npos);
  EXPECT_NE(log_text.find("B\xb3\xb9"
                          "d otwierania po\xb3\xb9"
                          "czenia 2\r\n"),
            std::string::npos)
      << log_text;
  EXPECT_EQ(log_text.find("Port zosta"), std::string::npos) << "the loop never started";
  EXPECT_FALSE(guard.held());
  unsetenv("DAVRILON_COM2");
}

// Nothing that comes from the centre may replace the station's live files:
// the start-up tells the store files which they are.
TEST_F(StartUpTest, TheStationsOwnFilesAreProtectedFromTheStartOn) {
  dir.Write("MODEM.CFG", "3\nx\n4\n1\n");
  StopAtFirstPass();
  EXPECT_FALSE(files.IsStationFile("DAVRILON.LOG"));
  RunStation(station);
  for (const char* own : {"DAVRILON.LOG", "davrilon.log", "Modem.Cfg", "info\\obsluga.pc"})
    EXPECT_TRUE(files.IsStationFile(own)) << own;
  EXPECT_FALSE(files.IsStationFile("CENNIK.ZIP"));
  // The program itself, wherever it lies: here the test program.
  const std::optional<std::filesystem::path> program = RunningProgramPath();
  ASSERT_TRUE(program.has_value());
  std::error_code cross_device;
  std::filesystem::create_hard_link(*program, dir.path() / "PROGRAM.EXE", cross_device);
  if (!cross_device) {
    EXPECT_TRUE(files.IsStationFile("program.exe"));
  }
  EXPECT_EQ(files.WriteWhole("MODEM.CFG", "4\n"), Written::kNotCreated);
  EXPECT_EQ(dir.Read("MODEM.CFG"), "3\nx\n4\n1\n");
}

}  // namespace
}  // namespace davrilon
