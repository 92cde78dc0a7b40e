#include "platform/serial_port.h"

#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "supervisor/test_support.h"

namespace davrilon {
namespace {

TEST(OpenSerialPort, NamesOtherThanCom1ToCom9AreNotFound) {
  for (const char* name : {"COM0", "COM10", "LPT1", "", "/dev/ttyS0", "com1"}) {
    PortOpenResult r = OpenSerialPort(name);
    EXPECT_EQ(r.port, nullptr) << name;
    EXPECT_EQ(r.error, static_cast<std::uint32_t>(ENOENT)) << name;
  }
}

TEST(OpenSerialPort, VariableLeadsToADeviceOrANetworkPort) {
  int far = -1, near = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&far, &near, name, nullptr, nullptr), 0);
  {
    ScopedVariable v("DAVRILON_COM7", name);
    PortOpenResult r = OpenSerialPort("COM7");
    ASSERT_NE(r.port, nullptr) << r.error;
    std::uint32_t written = 0;
    const std::uint8_t at[] = {'A', 'T'};
    EXPECT_TRUE(r.port->Write(at, written));
    char got[2] = {};
    EXPECT_EQ(read(far, got, 2), 2);
    EXPECT_EQ(std::string(got, 2), "AT");
  }
  close(far);
  close(near);
  {
    ScopedVariable v("DAVRILON_COM8", "rfc2217://localhost");
    const PortOpenResult r = OpenSerialPort("COM8");
    EXPECT_EQ(r.error, static_cast<std::uint32_t>(EINVAL));
    EXPECT_EQ(r.reason, "DAVRILON_COM8 is not a well-formed rfc2217://HOST:PORT");
    EXPECT_EQ(r.location, "rfc2217://localhost");
  }
  {
    // Port 1 on the loopback: nobody listens, so the network backend is refused.
    ScopedVariable v("DAVRILON_COM8", "rfc2217://127.0.0.1:1");
    EXPECT_EQ(OpenSerialPort("COM8").error, static_cast<std::uint32_t>(ECONNREFUSED));
  }
}

// Values that are neither a device path nor an rfc2217 address are named as
// such, not tried as file names; the scheme is taken in any case.
TEST(OpenSerialPort, VariableThatIsNoPortIsNamedAsSuch) {
  struct Case {
    const char* value;
    std::uint32_t error;
    const char* reason;
  };
  const char* kNeither =
      "DAVRILON_COM3 is neither a device path (/dev/...) nor rfc2217://HOST:PORT";
  const Case cases[] = {
      {"COM1", EINVAL, kNeither},
      {"127.0.0.1:7801", EINVAL, kNeither},
      {"socket://127.0.0.1:7801", EINVAL, kNeither},
      {"ttyS0", EINVAL, kNeither},
      {"RFC2217://127.0.0.1:1", ECONNREFUSED, ""},  // tried as a network port
      {"Rfc2217://127.0.0.1", EINVAL, "DAVRILON_COM3 is not a well-formed rfc2217://HOST:PORT"},
      {"/dev/davrilon-no-such-device", ENOENT, ""},
  };
  for (const Case& c : cases) {
    ScopedVariable v("DAVRILON_COM3", c.value);
    const PortOpenResult r = OpenSerialPort("COM3");
    EXPECT_EQ(r.port, nullptr) << c.value;
    EXPECT_EQ(r.error, c.error) << c.value;
    EXPECT_EQ(r.reason, c.reason) << c.value;
    EXPECT_EQ(r.location, c.value);
  }
}

}  // namespace
}  // namespace davrilon
