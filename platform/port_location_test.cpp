#include "platform/port_location.h"

#include <gtest/gtest.h>

namespace davrilon {
namespace {

TEST(PortLocation, ComNamesLeadToTheirVariableOrTheSystemDevice) {
  struct Case {
    const char* name;
    const char* configured;
    std::optional<std::string> variable;
    std::optional<std::string> location;
  };
  const Case cases[] = {
      {"COM1", nullptr, "DAVRILON_COM1", "/dev/ttyS0"},
      {"COM9", nullptr, "DAVRILON_COM9", "/dev/ttyS8"},
      {"COM3", "", "DAVRILON_COM3", "/dev/ttyS2"},
      {"COM2", "/dev/ttyUSB0", "DAVRILON_COM2", "/dev/ttyUSB0"},
      {"COM4", "rfc2217://127.0.0.1:7000", "DAVRILON_COM4", "rfc2217://127.0.0.1:7000"},
      {"COM0", "/dev/ttyUSB0", std::nullopt, std::nullopt},
      {"COM10", nullptr, std::nullopt, std::nullopt},
      {"COM", nullptr, std::nullopt, std::nullopt},
      {"com1", nullptr, std::nullopt, std::nullopt},
      {"LPT1", nullptr, std::nullopt, std::nullopt},
      {"", nullptr, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PortVariable(c.name), c.variable) << c.name;
    EXPECT_EQ(PortLocation(c.name, c.configured), c.location) << c.name;
  }
}

}  // namespace
}  // namespace davrilon
