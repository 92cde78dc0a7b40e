#include "platform/port_location.h"

namespace davrilon {

namespace {

constexpr std::string_view kComPrefix = "COM";
constexpr std::size_t kComNameLength = 4;  // "COM" and one digit

std::optional<int> ComNumber(std::string_view com_name) {
  if (com_name.size() != kComNameLength || !com_name.starts_with(kComPrefix))
    return std::nullopt;
  const char digit = com_name.back();
  if (digit < '1' || digit > '9')
    return std::nullopt;
  return digit - '0';
}

}  // namespace

std::optional<std::string> PortVariable(std::string_view com_name) {
  if (!ComNumber(com_name))
    return std::nullopt;
  return std::string(kPortVariablePrefix) + std::string(com_name);
}

std::optional<std::string> PortLocation(std::string_view com_name, const char* configured) {
  const auto number = ComNumber(com_name);
  if (!number)
    return std::nullopt;
  if (configured != nullptr && *configured != '\0')
    return std::string(configured);
  return std::string(kDefaultDevicePrefix) + std::to_string(*number - 1);
}

}  // namespace davrilon
