// What every POSIX serial port backend shares: the closed state, the last
// error number and the time-outs, so that "every call on a closed port fails
// without touching any device, and Close() happens once" holds in one place.
#pragma once

#include <cerrno>
#include <cstdint>

#include "platform/serial_port.h"

namespace davrilon {

// Error numbers are errno values, logged unsigned.
inline std::uint32_t ErrorNumber(int e) {
  return static_cast<std::uint32_t>(e);
}

class PortBase : public SerialPort {
 public:
  // The time-outs are kept here and applied by the backend's own waits.
  bool GetTimeouts(PortTimeouts& timeouts) override {
    if (!Usable())
      return false;
    timeouts = timeouts_;
    return true;
  }
  bool SetTimeouts(const PortTimeouts& timeouts) override {
    if (!Usable())
      return false;
    timeouts_ = timeouts;
    return true;
  }

  void Close() final {
    if (closed_)
      return;
    closed_ = true;
    Release();
  }
  bool is_closed() const final { return closed_; }
  std::uint32_t last_error() const final { return last_error_; }

 protected:
  // Lets go of the device; called once, by Close().
  virtual void Release() = 0;

  bool Fail(int error) { return Fail(ErrorNumber(error)); }
  bool Fail(std::uint32_t error) {
    last_error_ = error;
    return false;
  }
  // False (EBADF) once the port is closed.
  bool Usable() { return closed_ ? Fail(EBADF) : true; }

  PortTimeouts timeouts_{};

 private:
  bool closed_ = false;
  std::uint32_t last_error_ = 0;
};

}  // namespace davrilon
