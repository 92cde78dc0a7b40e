// The exchange with the centre over a connected line.
#pragma once

#include "platform/serial_port.h"
#include "supervisor/station.h"

namespace davrilon {

// Downloads the centre's file, reads its request, hands it to the companion
// programs, relays their progress and uploads the prepared file. 1 when the
// exchange ran to its end, 0 when it was abandoned.
int RunExchange(Station& station, SerialPort& port);

}  // namespace davrilon
