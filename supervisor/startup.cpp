// Start-up: console, event log, single copy, MODEM.CFG, the companion
// program's start-up mode, window title, guard file; then the port or the loop.
#include <cerrno>
#include <string>

#include "companion/companion.h"
#include "modem/modem.h"
#include "supervisor/config.h"
#include "supervisor/supervisor.h"

namespace davrilon {

namespace {

constexpr std::string_view kLogName = "davrilon.log";
constexpr std::string_view kGuardName = "INFO\\OBSLUGA.PC";
constexpr std::string_view kConfigName = "MODEM.CFG";
constexpr std::string_view kStopName = "koniec.pc";
constexpr int kFailurePauseSeconds = 5;  // time to read a start-up failure on the console

std::optional<std::string> ReadWholeFile(const StoreFiles& files, std::string_view name) {
  FilePtr file = files.OpenForReading(name);
  if (!file)
    return std::nullopt;
  std::string content;
  char chunk[256];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
    content.append(chunk, n);
  return content;
}

// A start-up failure that the operator must see: log line, console line, pause.
void EndWithMessage(Station& s, std::string_view log_line, std::string_view console_line,
                    const std::string& diagnostic) {
  s.log.Line(log_line);
  s.diagnose(diagnostic);
  s.console.WriteLine(console_line);
  s.log.Close();
  s.clock.PauseSeconds(kFailurePauseSeconds);
}

// The station's own live files: nothing that comes from the centre may
// take their names.
void ProtectStationFiles(StoreFiles& files) {
  for (std::string_view name : {kLogName, kConfigName, kGuardName})
    files.ProtectStationFile(name);
  if (std::optional<std::filesystem::path> program = RunningProgramPath())
    files.ProtectStationPath(*program);
}

}  // namespace

void RunStation(Station& s) {
  ProtectStationFiles(s.files);
  s.console.SetTextColour(kYellow);
  s.console.SetBackgroundColour(kBlue);
  s.console.ClearWindow();

  if (!s.log.Open(s.files.Resolve(kLogName))) {
    s.console.WriteText("Nie utworzono pliku logu");
    s.diagnose("cannot open the event log " + s.files.Resolve(kLogName).string() + ": " +
               ErrorText(static_cast<std::uint32_t>(errno)));
    s.clock.PauseSeconds(kFailurePauseSeconds);
    return;
  }
  s.log.Line(std::string(46, '-'));
  s.console.HideCursor();
  s.TimeStamp();

  if (GuardFile::HeldByRunningCopy(s.files.Resolve(kGuardName))) {
    EndWithMessage(s, "Davrilon jest juz uruchomiony", "Davrilon jest juz uruchomiony !!!",
                   "another copy of the station runs in this store directory (it holds " +
                       s.files.Resolve(kGuardName).string() + ")");
    return;
  }

  std::optional<std::string> cfg_text = ReadWholeFile(s.files, kConfigName);
  if (!cfg_text) {
    EndWithMessage(s, "Brak pliku MODEM.CFG", "BRAK PLIKU KONFIGURACJI !!!",
                   "no MODEM.CFG in the store directory " + s.files.root().string());
    return;
  }
  ModemCfg cfg = ParseModemCfg(*cfg_text);
  if (!cfg.port_ok) {
    EndWithMessage(s, "NIEPOPRWANY NUMER PORTU COM MODEMU",
                   "NIEPOPRAWNY NUMER PORTU COM MODEMU !!!",
                   "line 1 of MODEM.CFG must hold the COM port's digit 1 to 9 alone");
    return;
  }
  s.config = cfg.config;
  if (cfg.mode == '3')
    s.log.Line("Transmisja siecia i modemem");
  if (cfg.mode == '4')
    s.log.Line("Transmisja siecia");
  s.log.Line(s.config.loud ? "ParametrModemu : glosny" : "ParametrModemu : cichy");
  s.log.Line("Parametry OK");

  s.files.Remove(kStopName);  // a stop request left from an earlier run does not stop this one
  companion::Run(s.runner, s.log, companion::kStartUp);
  s.console.SetTitle(kWindowTitle);

  if (!s.guard.CreateAndHold(s.files.Resolve(kGuardName))) {
    s.log.Line("Nie stworzono pliku lacza ze sklepem");
    s.diagnose("cannot create the guard file " + s.files.Resolve(kGuardName).string() +
               " (does the INFO directory exist?)");
    s.log.Close();
    return;
  }

  if (!s.config.modem_in_use) {
    RunSupervisorLoop(s, nullptr);
    return;
  }
  std::unique_ptr<SerialPort> port = SetUpPort(s);
  if (!port)
    return;  // SetUpPort has logged and closed what it had to
  RunSupervisorLoop(s, port.get());
}

}  // namespace davrilon
