// TEMPORARY placeholder until the serial backends land.
#include <cerrno>

#include "platform/serial_port.h"

namespace davrilon {

PortOpenResult OpenSerialPort(std::string_view) {
  return {nullptr, ENOENT};
}

}  // namespace davrilon
