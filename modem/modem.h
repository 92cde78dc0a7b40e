// The modem link: opening and setting up the port, and the modem's commands.
#pragma once

#include <memory>
#include <string_view>

#include "platform/serial_port.h"
#include "supervisor/station.h"

namespace davrilon {

// Opens the port named by the configuration, sets 115200 8N1 and the port
// time-outs, checks that the modem is switched on and sets the modem up. On
// success returns the open port, ready for the supervisor loop. On failure it
// has logged why, closed the port, the event log and the guard file (waiting
// for a key first when the modem is switched off), and returns null: the
// station then ends.
std::unique_ptr<SerialPort> SetUpPort(Station& station);

// Writes one command, with a carriage return when `carriage_return` is set.
// On a failed write: logs it, closes the port, returns 0. Otherwise 1.
int SendModemCommand(Station& station, SerialPort& port, std::string_view command,
                     bool carriage_return);

// Brings the modem into the state in which the station waits for calls: on
// hook, reset, echo off, speaker as configured, automatic answering off; first
// back to command mode with "+++" when `escape` is set. 1 on success.
int SetUpModem(Station& station, SerialPort& port, bool escape);

// Answers a ringing call and waits up to 60 polls for the carrier. 1 when it came.
int AnswerCall(Station& station, SerialPort& port);

}  // namespace davrilon
