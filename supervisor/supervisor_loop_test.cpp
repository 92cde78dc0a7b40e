#include <gtest/gtest.h>

#include <ostream>

#include "platform/fakes/scripted_port.h"
#include "supervisor/station_fixture.h"
#include "supervisor/supervisor.h"

namespace davrilon {
namespace {

constexpr int kCtrlK = 11;
constexpr char kClosing[] =
    "Port zosta\xb3 zamkni\xea"
    "ty\r\n";

class LoopTest : public ::testing::Test, protected StationFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log.Open(dir.path() / "davrilon.log"));
    station.config.modem_in_use = 0;
    station.config.network = 1;
  }
  // Runs `action` during the pause of pass `pass` (from 1).
  void DuringPass(int pass, std::function<void()> action) {
    actions_[pass] = std::move(action);
    clock.on_pause = [this](int) {
      ++passes;
      if (auto it = actions_.find(passes); it != actions_.end())
        it->second();
    };
  }
  // The log lines after the last time stamp are cut off, for readability.
  std::string LogBeforeClosing() {
    std::string text = Log();
    return text.substr(0, text.find(kClosing));
  }

  int passes = 0;

 private:
  std::map<int, std::function<void()>> actions_;
};

TEST_F(LoopTest, ACompanionProgramThatCannotStartIsLogged) {
  dir.Write("wysylka.pc", "");
  dir.Write("koniec.pc", "");
  runner.outcome = RunOutcome::kCannotStart;
  RunSupervisorLoop(station, nullptr);
  EXPECT_EQ(LogBeforeClosing(),
            "Aktualizacja ofert\r\nNie uruchomiono programu ZELPO.EXE 5\r\nZdalne zako\xf1"
            "czenie\r\n");
}

TEST_F(LoopTest, OfferUpdateRunsBeforeTheStopFileIsSeen) {
  dir.Write("wysylka.pc", "");
  dir.Write("koniec.pc", "");
  RunSupervisorLoop(station, nullptr);
  EXPECT_EQ(Log().substr(0, Log().find("Mon ")),
            "Aktualizacja ofert\r\nZdalne zako\xf1"
            "czenie\r\n" +
                std::string(kClosing));
  EXPECT_EQ(runner.commands, std::vector<std::string>{"ZELPO.EXE 5"});
  EXPECT_TRUE(dir.Exists("wysylka.pc"));
  EXPECT_FALSE(dir.Exists("koniec.pc"));
}

TEST_F(LoopTest, StopFileWinsOverCtrlKAndTheKeyIsNeverRead) {
  dir.Write("koniec.pc", "");
  console.keys = {kCtrlK};
  RunSupervisorLoop(station, nullptr);
  EXPECT_EQ(LogBeforeClosing(),
            "Zdalne zako\xf1"
            "czenie\r\n");
  EXPECT_EQ(console.keys_read, 0);
}

TEST_F(LoopTest, OtherKeysAreThrownAwayAndCtrlKAmongThemStops) {
  console.keys = {'a', 'b'};
  DuringPass(2, [this] { console.keys = {'x', kCtrlK, 'y'}; });
  RunSupervisorLoop(station, nullptr);
  EXPECT_EQ(passes, 2);
  EXPECT_EQ(console.keys_read, 5) << "every waiting key is read, also after the Ctrl+K";
  EXPECT_EQ(LogBeforeClosing(),
            "Program zako\xf1"
            "czony klawiszem\r\n");
}

TEST_F(LoopTest, MorningFileRunsModeTwoOnceAndIsDeleted) {
  dir.Write("RANO.PC", "");
  DuringPass(3, [this] { dir.Write("koniec.pc", ""); });
  bool present_at_run = false;
  runner.on_run = [&](const std::string&) { present_at_run = dir.Exists("RANO.PC"); };
  RunSupervisorLoop(station, nullptr);
  EXPECT_EQ(runner.commands, std::vector<std::string>{"zelpo.exe 2"});
  EXPECT_TRUE(present_at_run) << "rano.pc is deleted after its run, not before";
  EXPECT_FALSE(dir.Exists("RANO.PC"));
  EXPECT_EQ(LogBeforeClosing(),
            "Ranne przygotowanie danych\r\nZdalne zako\xf1"
            "czenie\r\n");
}

TEST_F(LoopTest, NetworkStartFileRunsTheLauncherInEveryPassAndSetsTheTitleAgain) {
  dir.Write("DETAL/START.PC", "params\r\n");
  DuringPass(3, [this] { dir.Write("koniec.pc", ""); });
  RunSupervisorLoop(station, nullptr);
  EXPECT_EQ(runner.commands, std::vector<std::string>(2, "\\FONTY\\RUMAX.EXE /m /w ZELPO.EXE 2"));
  EXPECT_EQ(std::count(console.events.begin(), console.events.end(),
                       "title System DAVRILON - Wersja dla Windows (32-bitowa)"),
            2);
  EXPECT_TRUE(dir.Exists("DETAL/START.PC")) << "the station never removes it";
}

TEST_F(LoopTest, ModemOnlyNeverLooksAtTheNetworkStartFile) {
  station.config.network = 0;
  station.config.modem_in_use = 1;
  ScriptedPort port(clock);
  dir.Write("DETAL/START.PC", "");
  DuringPass(2, [this] { dir.Write("koniec.pc", ""); });
  RunSupervisorLoop(station, &port);
  EXPECT_TRUE(runner.commands.empty());
  EXPECT_EQ(port.closes, 1) << "the open port is closed when the loop ends";
}

TEST_F(LoopTest, AnUnansweredCallEndsThePassBeforeTheNetworkCheck) {
  station.config.modem_in_use = 1;
  ScriptedPort port(clock);
  auto marks_drawn = [this] {
    return std::count_if(console.events.begin(), console.events.end(),
                         [](const std::string& e) { return e.rfind("at 40,21 ", 0) == 0; });
  };
  // It rings all through the first pass and the carrier never comes; the
  // second pass finds the line quiet.
  port.status = [&] {
    return marks_drawn() == 1 ? MS_CTS_ON | MS_DSR_ON | MS_RING_ON : MS_CTS_ON | MS_DSR_ON;
  };
  dir.Write("DETAL/START.PC", "");
  std::vector<long> launched_in_pass;
  runner.on_run = [&](const std::string&) {
    launched_in_pass.push_back(marks_drawn());
    dir.Write("koniec.pc", "");
  };
  RunSupervisorLoop(station, &port);
  EXPECT_NE(Log().find("Nie nawiazano pol\xb9"
                       "czenia: \r\n"),
            std::string::npos);
  EXPECT_EQ(launched_in_pass, std::vector<long>{2}) << "not in the pass of the failed answer";
}

TEST_F(LoopTest, ActivityMarkTurnsThroughItsFourCharactersInYellowOnRed) {
  DuringPass(5, [this] { console.keys = {kCtrlK}; });
  RunSupervisorLoop(station, nullptr);
  std::vector<std::string> marks;
  for (const auto& e : console.events)
    if (e.rfind("at 40,21 ", 0) == 0)
      marks.push_back(e);
  EXPECT_EQ(marks,
            (std::vector<std::string>{"at 40,21 14/4 |", "at 40,21 14/4 /", "at 40,21 14/4 -",
                                      "at 40,21 14/4 \\", "at 40,21 14/4 |"}));
}

TEST_F(LoopTest, StopSignalEndsTheLoopBeforeAnythingNewStarts) {
  dir.Write("wysylka.pc", "");
  DuringPass(2, [this] { signal_number = 15; });
  RunSupervisorLoop(station, nullptr);
  EXPECT_EQ(runner.commands.size(), 1u) << "no companion run after the signal";
  EXPECT_EQ(LogBeforeClosing(),
            "Aktualizacja ofert\r\nProgram zako\xf1"
            "czony sygna\xb3"
            "em 15\r\n");
  EXPECT_FALSE(log.is_open());
}

// A stop signal that comes while a companion program runs is acted on as soon
// as the run returns: nothing more is started in that pass, and no further
// pause is waited for.
struct InterruptedRunCase {
  const char* name;
  std::size_t runs;  // the interrupted run is the last of these, in pass order
};
// Named by its row in test listings.
void PrintTo(const InterruptedRunCase& c, std::ostream* os) {
  *os << c.name;
}

class StopDuringRun : public LoopTest, public ::testing::WithParamInterface<InterruptedRunCase> {};

TEST_P(StopDuringRun, EndsThePassRightAfterTheRun) {
  const std::vector<std::string> pass_order = {"ZELPO.EXE 5", "zelpo.exe 2",
                                               "\\FONTY\\RUMAX.EXE /m /w ZELPO.EXE 2"};
  dir.Write("wysylka.pc", "");
  dir.Write("rano.pc", "");
  dir.Write("DETAL/START.PC", "");
  runner.on_run = [this](const std::string&) {
    if (runner.commands.size() == GetParam().runs)
      signal_number = 15;
  };
  RunSupervisorLoop(station, nullptr);
  EXPECT_EQ(runner.commands,
            std::vector<std::string>(pass_order.begin(),
                                     pass_order.begin() + static_cast<long>(GetParam().runs)));
  EXPECT_EQ(clock.pauses, std::vector<int>{1}) << "stopped in the first pass";
  const std::string logged = LogBeforeClosing();
  EXPECT_EQ(logged.substr(logged.size() - std::string("sygna\xb3"
                                                      "em 15\r\n")
                                              .size()),
            "sygna\xb3"
            "em 15\r\n");
}

INSTANTIATE_TEST_SUITE_P(Loop, StopDuringRun,
                         ::testing::Values(InterruptedRunCase{"OfferUpdate", 1},
                                           InterruptedRunCase{"Morning", 2},
                                           InterruptedRunCase{"NetworkLaunch", 3}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(LoopTest, PortClosedDuringTheDayIsNotClosedAgainAndTheLoopGoesOn) {
  station.config.network = 0;
  station.config.modem_in_use = 1;
  ScriptedPort port(clock);
  port.Close();
  DuringPass(3, [this] { console.keys = {kCtrlK}; });
  RunSupervisorLoop(station, &port);
  EXPECT_EQ(port.closes, 1);
  EXPECT_EQ(LogBeforeClosing(),
            "Bl\xb9"
            "d obs\xb3ugi zdarze\xf1 na porcie\r\n"
            "Bl\xb9"
            "d obs\xb3ugi zdarze\xf1 na porcie\r\n"
            "Program zako\xf1"
            "czony klawiszem\r\n");
  EXPECT_NE(Log().find(kClosing), std::string::npos) << "logged also when no port was closed";
}

}  // namespace
}  // namespace davrilon
