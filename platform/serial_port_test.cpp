#include "platform/serial_port.h"

#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace davrilon {
namespace {

// Sets an environment variable for one test and puts back what was there.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name))
      old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedVariable() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

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
    EXPECT_EQ(OpenSerialPort("COM8").error, static_cast<std::uint32_t>(EINVAL));
  }
  {
    // Port 1 on the loopback: nobody listens, so the network backend is refused.
    ScopedVariable v("DAVRILON_COM8", "rfc2217://127.0.0.1:1");
    EXPECT_EQ(OpenSerialPort("COM8").error, static_cast<std::uint32_t>(ECONNREFUSED));
  }
}

}  // namespace
}  // namespace davrilon
