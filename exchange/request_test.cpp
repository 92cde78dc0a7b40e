// The request block and the three forms of the local hand-off.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "companion/companion.h"
#include "exchange/exchange.h"
#include "exchange/exchange_state.h"
#include "exchange/exchange_test_support.h"
#include "platform/fakes/failing_file_ops.h"

namespace davrilon {
namespace {

using testing::ExchangeTest;
using testing::MakeBlock;
using testing::MakeDownload;
using testing::Pattern;
using testing::RequestBlock;

class RequestTest : public ExchangeTest {
 protected:
  static bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }
  // The upload header block that says "nothing comes": block number 2, both
  // sizes 0, no name, the '#' at position 30.
  static std::string EmptyUploadHeader() {
    return MakeBlock(BlockKind::kLong, 2,
                     "START1" + testing::Padded("0", 10) + testing::Padded("0", 10) + "#");
  }

  Exchange x{station, port};
};

struct NoUploadCase {
  const char* name;
  std::string received;    // the name of the file downloaded; empty: nothing downloaded
  std::string parameters;  // at position 60, with its '#'
  std::string inf_name;    // the INF file expected, or empty
  std::string inf_content;
  std::string logged;  // the parameter text as logged
};

TEST_F(RequestTest, ARequestForNoFileMayLeaveTheInfFileForModeThree) {
  const NoUploadCase cases[] = {
      {"empty parameters", "CENNIK_NA_SKLEP.ZIP", "", "CENNIK_NA_SKLEP.INF", " ", ""},
      {"parameters", "CENNIK_NA_SKLEP.ZIP", "K12#", "CENNIK_NA_SKLEP.INF", "K12", "K12"},
      {"no NA_SKLEP", "CENNIK.ZIP", "K12#", "", "", "K12"},
      {"nothing received", "", "K12#", "", "", "K12"},
  };
  for (const NoUploadCase& c : cases) {
    TempDir scratch;
    StoreFiles scratch_files(scratch.path());
    EventLog scratch_log;
    scratch_log.Open(scratch.path() / "davrilon.log");
    ScriptedPort line(clock);
    testing::TestCentre head(line);
    head.download = c.received.empty()
                        ? std::vector<std::string>{testing::HeaderBlock("", "0", "1", "1", "")}
                        : MakeDownload("data", c.received, 1, 1);
    head.request = RequestBlock("", c.parameters);
    RecordingRunner companion;
    std::size_t upload_writes_at_run = 0;
    companion.on_run = [&](const std::string&) {
      upload_writes_at_run = head.upload_writes.size();
    };
    Station st{StationConfig{}, scratch_log, console, clock, scratch_files, companion, guard};

    EXPECT_EQ(RunExchange(st, line), 1) << c.name;
    EXPECT_TRUE(head.codes.empty()) << c.name << ": no progress code, no extra 14";
    ASSERT_EQ(head.upload_writes.size(), 1u) << c.name;
    EXPECT_EQ(head.upload_writes[0], EmptyUploadHeader()) << c.name;
    if (c.inf_name.empty()) {
      EXPECT_TRUE(companion.commands.empty()) << c.name;
    } else {
      EXPECT_EQ(scratch.Read(c.inf_name), c.inf_content) << c.name;
      EXPECT_EQ(companion.commands, std::vector<std::string>{"zelpo.exe 3"}) << c.name;
      EXPECT_EQ(upload_writes_at_run, 1u) << c.name << ": mode 3 runs at the very end";
    }
    scratch_log.Close();
    const std::string logged = scratch.Read("davrilon.log");
    EXPECT_TRUE(Contains(logged, Cp("'Sprawdzam plik INF :" +
                                    (c.received.empty() ? "" : MakeInfName(c.received)) + "\n")))
        << c.name;
    EXPECT_EQ(
        Contains(logged, Cp("Zapisuje plik wysylki INF\nzapisano plik INF:" + c.logged + "\n")),
        !c.inf_name.empty())
        << c.name;
  }
}

TEST_F(RequestTest, AnInfFileThatCannotBeCreatedRunsNoModeThree) {
  std::filesystem::create_directories(dir.path() / "CENNIK_NA_SKLEP.INF");  // in the way
  centre.download = MakeDownload("data", "CENNIK_NA_SKLEP.ZIP", 1, 1);
  centre.request = RequestBlock("", "X#");
  EXPECT_EQ(RunExchange(station, port), 1);
  EXPECT_TRUE(runner.commands.empty());
  EXPECT_TRUE(Contains(LogText(), Cp("Zapisuje plik wysylki INF\nNie stworzono pliku INF\n")));
}

TEST_F(RequestTest, APrezesRequestWritesIleDniAndRunsModeFourWhileTheCentreWaits) {
  dir.Write("INFO/ODCZYT.KAS", "stale");
  centre.download = {testing::HeaderBlock("", "0", "1", "1", "")};
  centre.request = RequestBlock("PREZES.PC", "30#", /*prezes_position=*/true);
  const std::string prepared = Pattern(1500);
  std::string handed_over;
  runner.on_run = [&](const std::string&) {
    handed_over = dir.Read("ILE_DNI.PC");
    dir.Write("PREZES.PC", prepared);
  };
  bool memo_written = false;
  centre.upload_reply = [&](std::size_t, int) {
    memo_written = memo_written || dir.Read("INFO/ODCZYT.KAS") != "stale";
    return std::string(1, static_cast<char>(ACK));
  };

  EXPECT_EQ(RunExchange(station, port), 1);
  EXPECT_EQ(runner.commands, std::vector<std::string>{"ZELPO.EXE 4"});
  EXPECT_EQ(handed_over, "30");
  EXPECT_FALSE(dir.Exists("DETAL/START.PC"));
  EXPECT_EQ(centre.codes, std::vector<std::uint8_t>{14}) << "the extra code only";
  ASSERT_EQ(centre.upload_packets.size(), 3u);
  EXPECT_EQ(centre.upload_packets[1].substr(3, 1024), prepared.substr(0, 1024));
  EXPECT_FALSE(memo_written);
  EXPECT_FALSE(dir.Exists("INFO/ODCZYT.KAS")) << "deleted at the end all the same";
  EXPECT_EQ(Progress(), std::vector<std::string>{std::string(27, ' ')}) << "only the clearing";
  const std::string logged = LogText();
  EXPECT_TRUE(Contains(logged,
                       "\xaf\xb9"
                       "danie danych do Prezesa\r\n"));
  EXPECT_TRUE(Contains(logged, "Ilo\x9c\xe6 znak\xf3w nazwy 2\r\nParametry 30\r\n"));
  EXPECT_TRUE(Contains(logged,
                       "Sprawdzenie transmisji do PREZESA\r\n30\r\nZapisuje plik "
                       "ILE_DNI.PC\r\nZapisano plik ILE_DNI.PC :30\r\n"));
}

TEST_F(RequestTest, WhichNamesMakeAPrezesRequest) {
  const std::pair<std::string, bool> cases[] = {
      {"PREZES.PC", true}, {"XPREZES.PCZ", true}, {"prezes.pc", false}, {"PREZES.P", false}};
  for (const auto& [name, prezes] : cases) {
    TempDir scratch;
    std::filesystem::create_directories(scratch.path() / "DETAL");
    StoreFiles scratch_files(scratch.path());
    EventLog scratch_log;
    scratch_log.Open(scratch.path() / "davrilon.log");
    ScriptedPort line(clock);
    testing::TestCentre head(line);
    // Both parameter fields filled, so the one read shows.
    head.request = MakeBlock(
        BlockKind::kShort, 1,
        testing::FieldsData({{10, testing::Padded(name, 20)}, {30, "AT30#"}, {60, "AT60#"}}));
    RecordingRunner companion;
    companion.on_run = [&](const std::string&) { scratch.Write("DETAL/GOTOWE.PC", ""); };
    Station st{StationConfig{}, scratch_log, console, clock, scratch_files, companion, guard};
    st.watch = &watch;
    Exchange request(st, line);

    ASSERT_TRUE(ReadRequest(request)) << name;
    HandOff(request);
    EXPECT_EQ(request.prezes, prezes) << name;
    EXPECT_EQ(AsText(request.field), prezes ? "AT30" : "AT60") << name;
    EXPECT_EQ(
        companion.commands,
        std::vector<std::string>{prezes ? "ZELPO.EXE 4" : "\\FONTY\\RUMAX.EXE /M ZELPO.EXE 2"})
        << name;
  }
}

TEST_F(RequestTest, AnIleDniFileThatCannotBeCreatedStillRunsModeFour) {
  std::filesystem::create_directories(dir.path() / "ILE_DNI.PC");  // in the way
  centre.request = RequestBlock("PREZES.PC", "7#", true);
  ASSERT_TRUE(ReadRequest(x));
  HandOff(x);
  EXPECT_EQ(runner.commands, std::vector<std::string>{"ZELPO.EXE 4"});
  EXPECT_TRUE(
      Contains(LogText(), Cp("Zapisuje plik ILE_DNI.PC\nNie stworzono pliku ILE_DNI.PC\n")));
}

TEST_F(RequestTest, AnOrdinaryRequestGoesThroughStartPcAndTheLauncher) {
  dir.Write("DETAL/POSTEP.PC", "99");
  dir.Write("DETAL/GOTOWE.PC", "");
  centre.download = MakeDownload("data", "F.ZIP", 1, 1);
  centre.request = RequestBlock("SPRZ0101.ZIP", "7#");
  std::string start_pc;
  bool detail_files_cleared = false;
  runner.on_run = [&](const std::string&) {
    start_pc = dir.Read("DETAL/START.PC");
    detail_files_cleared = !dir.Exists("DETAL/POSTEP.PC") && !dir.Exists("DETAL/GOTOWE.PC");
    dir.Write("SPRZ0101.ZIP", "upload");
    dir.Write("DETAL/POSTEP.PC", "50");
    dir.Write("DETAL/GOTOWE.PC", "");
  };

  EXPECT_EQ(RunExchange(station, port), 1);
  EXPECT_EQ(runner.commands, std::vector<std::string>{"\\FONTY\\RUMAX.EXE /M ZELPO.EXE 2"});
  EXPECT_EQ(start_pc, "7\r\n");
  EXPECT_TRUE(detail_files_cleared);
  EXPECT_EQ(console.events.back(), "at 32,21 14/1 " + std::string(27, ' '));
  EXPECT_NE(std::find(console.events.begin(), console.events.end(),
                      "title System DAVRILON - Wersja dla Windows (32-bitowa)"),
            console.events.end());
  EXPECT_EQ(centre.codes, (std::vector<std::uint8_t>{11, 14})) << "relayed 50, then the extra 14";
  ASSERT_EQ(centre.upload_packets.size(), 2u);
  EXPECT_EQ(centre.upload_packets[1].substr(3, 6), "upload");
  const std::string logged = LogText();
  EXPECT_TRUE(
      Contains(logged, "PLIK WYSY\xa3KI (SPRZ0101.ZIP)\r\nPLIK INF     (SPRZ0101.INF)\r\n"));
  EXPECT_TRUE(Contains(logged, "Parametry 7\r\nOdczyany blok START22\r\n"));
  EXPECT_TRUE(Contains(logged, "Sprawdzenie transmisji do PREZESA\r\n7\r\n7\r\n"));
}

struct ParameterCase {
  const char* name;
  std::string field;  // from position 60 on
  std::string text;
  std::string logged;
};

TEST_F(RequestTest, TheParameterTextEndsAtTheFirstHashAfterItsFirstCharacter) {
  const std::string longest(54, 'p');
  const ParameterCase cases[] = {
      {"7#", "7#", "7", "Ilość znaków nazwy 1\n"},
      {"# first", "#AB#", "#AB", "Ilość znaków nazwy 3\n"},
      {"none", "ABC", "", "Nie ma chr(35) 55\n"},
      {"54 characters", longest + "#", longest, "Ilość znaków nazwy 54\n"},
      {"55 characters", longest + "p#", "", "Nie ma chr(35) 55\n"},
  };
  for (const ParameterCase& c : cases) {
    TempDir scratch;
    std::filesystem::create_directories(scratch.path() / "DETAL");
    StoreFiles scratch_files(scratch.path());
    EventLog scratch_log;
    scratch_log.Open(scratch.path() / "davrilon.log");
    ScriptedPort line(clock);
    testing::TestCentre head(line);
    head.request = RequestBlock("UP.ZIP", c.field);
    RecordingRunner companion;
    companion.on_run = [&](const std::string&) { scratch.Write("DETAL/GOTOWE.PC", ""); };
    Station st{StationConfig{}, scratch_log, console, clock, scratch_files, companion, guard};
    st.watch = &watch;
    Exchange request(st, line);

    ASSERT_TRUE(ReadRequest(request)) << c.name;
    HandOff(request);
    EXPECT_EQ(scratch.Read("DETAL/START.PC"), c.text + "\r\n") << c.name;
    scratch_log.Close();
    EXPECT_TRUE(Contains(scratch.Read("davrilon.log"), Cp(c.logged + "Parametry " + c.text + "\n")))
        << c.name;
  }
}

TEST_F(RequestTest, TheUploadNameEndsAtABlankOrAZeroByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"ABCDEFGHIJKLMNOPQR.Z", "ABCDEFGHIJKLMNOPQR.INF"},  // all 20 used; INF name longer
      {std::string("AB.C\0DEF", 8), "AB.INF"},
      {"AB.C DEF", "AB.INF"},
  };
  for (const auto& [field, inf] : cases) {
    ScriptedPort line(clock);
    testing::TestCentre head(line);
    head.request = RequestBlock(field, "#");
    Exchange request(station, line);
    ASSERT_TRUE(ReadRequest(request));
    EXPECT_EQ(request.upload_name, CutAtBlank(AsText(field)));
    EXPECT_EQ(request.upload_inf_name, inf);
    EXPECT_EQ(request.block_number, 2) << "the upload header goes out with it";
  }
}

TEST_F(RequestTest, AStartFileThatCannotBeCreatedLaunchesNothingAndUploadsNothing) {
  std::filesystem::remove_all(dir.path() / "DETAL");
  dir.Write("UP.ZIP", "would be sent");
  centre.request = RequestBlock("UP.ZIP", "P#");
  ASSERT_TRUE(ReadRequest(x));
  HandOff(x);
  PrepareUpload(x);
  EXPECT_TRUE(runner.commands.empty());
  EXPECT_FALSE(x.upload_due);
  EXPECT_EQ(centre.codes, std::vector<std::uint8_t>{14}) << "the extra code goes out still";
  EXPECT_TRUE(Contains(LogText(), Cp("Nie stworzono pliku do davrilona\n")));
}

TEST_F(RequestTest, ABadRequestIsAskedForAgainAndTheSixthRejectionEndsTheExchange) {
  centre.request = RequestBlock("UP.ZIP", "P#");
  centre.spoil_request = [](int attempt, std::string good) {
    if (attempt == 1)
      good[131] ^= 0x40;
    return good;
  };
  ASSERT_TRUE(ReadRequest(x));
  EXPECT_EQ(ControlBytes(), (std::vector<std::uint8_t>{ENQ, NAK, ACK}));
  EXPECT_TRUE(Contains(LogText(), Cp("To nie jest poprawny blok (petla ) 1\nPrzesylam NACK\n")));
}

TEST_F(RequestTest, ARequestBlockCalledLongIsSummedOverLongDataInTheBuffer) {
  centre.request = RequestBlock("UP.ZIP", "P#");
  centre.spoil_request = [](int attempt, std::string good) {
    if (attempt == 1)
      good[0] = 2;
    return good;
  };
  ASSERT_TRUE(ReadRequest(x));
  EXPECT_EQ(ControlBytes(), (std::vector<std::uint8_t>{ENQ, NAK, ACK}));
  const std::string logged = LogText();
  const std::size_t sum_line = logged.find(
      "B\xb3\xea"
      "dna suma kontrolna ");
  ASSERT_NE(sum_line, std::string::npos) << logged;
  EXPECT_NE(logged.find("To nie jest poprawny blok (petla ) 1\r\n", sum_line), std::string::npos);
  EXPECT_FALSE(Contains(logged, "Blok wychodzi")) << "the check stays inside the buffer";
}

TEST_F(RequestTest, BytesThatArriveDuringTheNakPauseAreNotTakenForTheRequest) {
  centre.request = RequestBlock("UP.ZIP", "P#");
  centre.spoil_request = [](int attempt, const std::string& good) {
    return attempt == 1 ? good.substr(0, 60) : good;
  };
  clock.on_pause = [this](int) { port.Feed("\x01noise"); };
  ASSERT_TRUE(ReadRequest(x));
  EXPECT_EQ(x.upload_name, "UP.ZIP");
  EXPECT_EQ(ControlBytes(), (std::vector<std::uint8_t>{ENQ, NAK, ACK}));
}

TEST_F(RequestTest, ASilentCentreAfterTheDownload) {
  port.on_write = nullptr;
  EXPECT_FALSE(ReadRequest(x));
  EXPECT_EQ(ControlBytes(),
            (std::vector<std::uint8_t>{ENQ, ENQ, ENQ, ENQ, ENQ, NAK, NAK, NAK, NAK, NAK}));
  std::string expected;
  for (int i = 1; i <= 5; ++i) {
    expected +=
        "Przesy\xb3"
        "anie bloku " +
        std::to_string(i) +
        "\r\n"
        "Przes\xb3"
        "anych znakow 1\r\n"
        "Start odczytu danych\r\n"
        "Dane odczytane\r\n";
  }
  for (int i = 1; i <= 5; ++i)
    expected += "Za ma\xb3o znakow:  0\r\nPrzesylam NACK\r\n";
  expected += "Za ma\xb3o znakow:  0\r\nZA DUZE PRZKLAMANIA !!!";
  EXPECT_EQ(LogText(), expected);
}

TEST_F(RequestTest, TheSecondEnquiryLogsItsOwnSpellingOfAFailedWrite) {
  centre.request = RequestBlock("", "#");
  port.failures = {{PortEvent::Kind::kWrite, 1, 5}};
  ASSERT_TRUE(ReadRequest(x));
  const std::string opening =
      "Przesy\xb3"
      "anie bloku 1\r\n"
      "B\xb3\xb9"
      "d wys\xb3"
      "ania znaku 5\r\n";
  EXPECT_EQ(LogText().substr(0, opening.size()), opening);
}

// The companion programs act on a hand-off file as soon as they see it, and
// the PC may go off at any moment: whatever step of writing it fails, and
// whenever the power goes, the file holds its previous text or the new one.
TEST_F(RequestTest, HandOffFilesAreWrittenWholeOrNotAtAll) {
  using Step = FailingFileOps::Step;
  struct Case {
    const char* file;  // as the test reads it
    const char* last;  // the name the file takes
    std::string received;
    std::string request;
    std::string written;
  };
  const Case cases[] = {
      {"DETAL/START.PC", "START.PC", "", RequestBlock("SPRZ0101.ZIP", "SPRZ0101.ZIP#"),
       "SPRZ0101.ZIP\r\n"},
      {"ILE_DNI.PC", "ILE_DNI.PC", "", RequestBlock("PREZES.PC", "14#", true), "14"},
      {"CENNIK_NA_SKLEP.INF", "CENNIK_NA_SKLEP.INF", "CENNIK_NA_SKLEP.ZIP",
       RequestBlock("", "K12#"), "K12"},
  };
  for (const Case& c : cases) {
    for (std::optional<Step> failing : {std::optional<Step>(Step::kWrite),
                                        {Step::kFlush},
                                        {Step::kSync},
                                        {Step::kRename},
                                        std::optional<Step>()}) {
      const std::string label =
          std::string(c.last) + " " + std::to_string(failing ? static_cast<int>(*failing) : -1);
      TempDir scratch;
      std::filesystem::create_directories(scratch.path() / "DETAL");
      scratch.Write(c.file, "the previous text");
      StoreFiles scratch_files(scratch.path());
      FailingFileOps ops;
      ops.name = c.last;
      ops.fail_at = failing;
      std::vector<std::string> seen;
      ops.before = [&](Step) { seen.push_back(scratch.Read(c.file)); };
      scratch_files.SetFileOps(ops);
      EventLog scratch_log;
      scratch_log.Open(scratch.path() / "davrilon.log");
      ScriptedPort line(clock);
      testing::TestCentre head(line);
      head.download = c.received.empty()
                          ? std::vector<std::string>{testing::HeaderBlock("", "0", "1", "1", "")}
                          : MakeDownload("data", c.received, 1, 1);
      head.request = c.request;
      RecordingRunner companion;
      std::string seen_by_companion = "not run";
      companion.on_run = [&](const std::string&) {
        seen_by_companion = scratch.Read(c.file);
        scratch.Write("DETAL/GOTOWE.PC", "");
      };
      FakeFileWatch quiet(clock);
      Station st{StationConfig{}, scratch_log, console, clock, scratch_files, companion, guard};
      st.watch = &quiet;

      RunExchange(st, line);
      seen.push_back(scratch.Read(c.file));
      for (const std::string& text : seen)
        EXPECT_TRUE(text == "the previous text" || text == c.written) << label << ": " << text;
      EXPECT_EQ(seen.back(), failing ? "the previous text" : c.written) << label;
      EXPECT_FALSE(scratch.Exists(std::string(c.file) + ".part")) << label;
      if (!failing) {
        EXPECT_EQ(seen_by_companion, c.written) << label;
        EXPECT_EQ(ops.steps, (std::vector<Step>{Step::kWrite, Step::kFlush, Step::kSync,
                                                Step::kRename, Step::kSyncDirectory}))
            << label << ": on the disk before it takes its name, and the name on the disk";
      }
    }
  }
}

}  // namespace
}  // namespace davrilon
