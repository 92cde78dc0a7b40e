// The port set-up with the way the port is opened handed in, so that a test
// can put a scripted port where the COM port would be.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "modem/modem.h"
#include "platform/serial_port.h"
#include "supervisor/station.h"

namespace davrilon {

// Opens a port by its COM name, as OpenSerialPort does.
using PortOpener = std::function<PortOpenResult(std::string_view com_name)>;

// SetUpPort with `open` in place of OpenSerialPort.
std::unique_ptr<SerialPort> SetUpPort(Station& station, const PortOpener& open);

}  // namespace davrilon
