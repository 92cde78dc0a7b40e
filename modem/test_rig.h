// A station in a scratch directory, in virtual time, with a scripted port:
// what the modem and call check tests work with.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/fakes/scripted_port.h"
#include "supervisor/station_fixture.h"

namespace davrilon {

struct StationRig : StationFixture {
  StationRig() {
    station.config.port_name = "COM1";
    log_opened = log.Open(dir.path() / "davrilon.log");
    guard_held = guard.CreateAndHold(dir.path() / "OBSLUGA.PC");
  }

  // The event log as it is on disk: Windows-1250, CR LF.
  std::string LogFile() const { return Log(); }

  ScriptedPort port{clock};
  bool log_opened = false;
  bool guard_held = false;
};

// The modem commands' log lines as they stand in the log file.
namespace logged {
inline constexpr char kEscape[] = "Ustawienie trybu rozkaz\xf3w\r\n";
inline constexpr char kHangUp[] =
    "Od\xb3o\xbf"
    "enie s\xb3"
    "uchawki\r\n";
inline constexpr char kReset[] = "Reset modemu\r\n";
inline constexpr char kEchoOff[] = "Wylaczenie ECHA\r\n";
inline constexpr char kLoud[] = "Ustawienie glosnosci na glosny\r\n";
inline constexpr char kQuiet[] = "Ustawienie glosnosci na cichy\r\n";
inline constexpr char kAutoAnswer[] = "Autoodpowied\x9f natychmiastowa\r\n";
inline constexpr char kModemSet[] = "Modem zosta\xb3 ustawiony\r\n";
inline constexpr char kSendFailed[] =
    "B\xa3\xb9"
    "d wysy\xb3"
    "ania znakow ";
inline constexpr char kNotReset[] = "Nie zresetowano modemu\r\n";
}  // namespace logged

}  // namespace davrilon
