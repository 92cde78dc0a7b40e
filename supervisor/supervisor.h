// The station's start-up, its supervisor loop and the call check.
#pragma once

#include "platform/serial_port.h"
#include "supervisor/station.h"

namespace davrilon {

// The whole run of the station: start-up, then the supervisor loop until a
// stop request. Returns when the station ends (always with exit value 0).
void RunStation(Station& station);

// What the station does all day: one pass about once a second until
// koniec.pc, Ctrl+K or a stop signal. `port` is null in network-only mode.
// Closes the port, the event log and the guard file when it ends.
void RunSupervisorLoop(Station& station, SerialPort* port);

// One look at the modem status word: answers a ring and runs the exchange.
// False when a call was not answered (the pass ends there).
bool CallCheck(Station& station, SerialPort* port);

// The activity mark drawn by the pass in mark state 1 to 4.
char ActivityMark(int state);

}  // namespace davrilon
