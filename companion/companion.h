// The companion programs: the data-processing program ZELPO.EXE, run with a
// mode number, and the launcher \FONTY\RUMAX.EXE. The command lines are used
// exactly as they stand, upper and lower case included: the companion
// programs were written against them.
#pragma once

#include <string_view>

#include "platform/command_runner.h"
#include "supervisor/event_log.h"

namespace davrilon::companion {

inline constexpr std::string_view kStartUp = "zelpo.exe 1";            // once at start-up
inline constexpr std::string_view kMorning = "zelpo.exe 2";            // rano.pc
inline constexpr std::string_view kAfterReceivedFile = "zelpo.exe 3";  // after an INF hand-off
inline constexpr std::string_view kPrezes = "ZELPO.EXE 4";             // Prezes request
inline constexpr std::string_view kOfferUpdate = "ZELPO.EXE 5";        // wysylka.pc
inline constexpr std::string_view kNetworkLaunch =
    "\\FONTY\\RUMAX.EXE /m /w ZELPO.EXE 2";  // DETAL\START.PC
inline constexpr std::string_view kUploadLaunch =
    "\\FONTY\\RUMAX.EXE /M ZELPO.EXE 2";  // ordinary request

// Runs one command line through the command processor and waits for its end.
// Its exit status is never looked at. A program that cannot be started is
// written to the event log too, where the store's IT looks first.
inline void Run(CommandRunner& runner, EventLog& log, std::string_view command_line) {
  if (runner.Run(command_line) == RunOutcome::kCannotStart)
    log.Line("Nie uruchomiono programu ", command_line);
}

}  // namespace davrilon::companion
