// Where a COM port name leads on this machine.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace davrilon {

// The environment variable that moves COMn: "DAVRILON_COM1" ... "DAVRILON_COM9".
constexpr std::string_view kPortVariablePrefix = "DAVRILON_";
// Without it, COMn is the n-th serial device of the system, counted from 0.
constexpr std::string_view kDefaultDevicePrefix = "/dev/ttyS";

// The environment variable for a COM name, or nothing when the name is not
// COM1 to COM9.
std::optional<std::string> PortVariable(std::string_view com_name);

// Where COMn is: `configured` (the variable's value) when set and not empty,
// otherwise /dev/ttyS<n-1>; nothing when the name is not COM1 to COM9.
std::optional<std::string> PortLocation(std::string_view com_name, const char* configured);

}  // namespace davrilon
