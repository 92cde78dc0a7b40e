// A local serial device (a COM port, a USB adapter, a pseudo-terminal).
#pragma once

#include <string>

#include "platform/serial_port.h"

namespace davrilon {

// Opens the device exclusively (a port that another program holds is refused
// with EBUSY) and puts it in raw mode, so that every byte 0 to 255 passes
// unchanged both ways: no echo, no line editing, no CR/LF mapping, no XON/XOFF
// flow control, no stripping of the eighth bit. Hardware flow control stays as
// the port had it; modem control lines do not hang the port up.
PortOpenResult OpenTermiosPort(const std::string& device_path);

}  // namespace davrilon
