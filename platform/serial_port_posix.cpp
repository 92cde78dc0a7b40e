#include <cerrno>
#include <cstdlib>

#include "platform/port_location.h"
#include "platform/rfc2217_port.h"
#include "platform/serial_port.h"
#include "platform/serial_termios.h"

namespace davrilon {

PortOpenResult OpenSerialPort(std::string_view com_name) {
  const auto variable = PortVariable(com_name);
  if (!variable)
    return {nullptr, static_cast<std::uint32_t>(ENOENT), "not a COM port name", ""};
  const auto location = PortLocation(com_name, std::getenv(variable->c_str()));
  if (!location)
    return {nullptr, static_cast<std::uint32_t>(ENOENT), "not a COM port name", ""};
  PortOpenResult result;
  if (HasNetworkPortScheme(*location)) {
    const auto address = ParseNetworkPortAddress(*location);
    if (!address) {
      result = {nullptr, static_cast<std::uint32_t>(EINVAL),
                *variable + " is not a well-formed rfc2217://HOST:PORT", ""};
    } else {
      result = OpenRfc2217Port(*address);
    }
  } else if (!location->starts_with('/')) {
    // "COM1", "127.0.0.1:7801", "socket://..." are no file names to try.
    result = {nullptr, static_cast<std::uint32_t>(EINVAL),
              *variable + " is neither a device path (/dev/...) nor rfc2217://HOST:PORT", ""};
  } else {
    result = OpenTermiosPort(*location);
  }
  result.location = *location;
  return result;
}

}  // namespace davrilon
