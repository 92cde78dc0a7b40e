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
    return {nullptr, static_cast<std::uint32_t>(ENOENT)};
  const auto location = PortLocation(com_name, std::getenv(variable->c_str()));
  if (!location)
    return {nullptr, static_cast<std::uint32_t>(ENOENT)};
  if (location->starts_with(kNetworkPortScheme)) {
    const auto address = ParseNetworkPortAddress(*location);
    if (!address)
      return {nullptr, static_cast<std::uint32_t>(EINVAL)};
    return OpenRfc2217Port(*address);
  }
  return OpenTermiosPort(*location);
}

}  // namespace davrilon
