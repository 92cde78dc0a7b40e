// The serial port on which the store's modem hangs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace davrilon {

// Bits of the modem status word.
constexpr std::uint32_t MS_CTS_ON = 0x0010;   // clear to send
constexpr std::uint32_t MS_DSR_ON = 0x0020;   // data set ready
constexpr std::uint32_t MS_RING_ON = 0x0040;  // ring indicator
constexpr std::uint32_t MS_RLSD_ON = 0x0080;  // receive line signal detect: the carrier

// The four line settings the station sets. A backend keeps every other setting
// the port had (flow control, control-line handling, special characters) and
// writes it back unchanged.
struct LineSettings {
  std::uint32_t baud_rate = 0;
  std::uint8_t byte_size = 8;
  std::uint8_t parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t stop_bits = 0;  // 0 one, 1 one and a half, 2 two
};
constexpr std::uint8_t kNoParity = 0;
constexpr std::uint8_t kOneStopBit = 0;

// Port time-outs, all in milliseconds.
//  - A read of n bytes ends when all n have come, when more than
//    read_interval_ms pass between two bytes after the first one, or when
//    read_total_constant_ms + n x read_total_multiplier_ms have passed. It
//    succeeds with the bytes that came, possibly none.
//  - A write of n bytes ends when all have been handed to the port or after
//    write_total_constant_ms + n x write_total_multiplier_ms.
// A value of 0 means "no limit" for that part.
struct PortTimeouts {
  std::uint32_t read_interval_ms = 0;
  std::uint32_t read_total_multiplier_ms = 0;
  std::uint32_t read_total_constant_ms = 0;
  std::uint32_t write_total_multiplier_ms = 0;
  std::uint32_t write_total_constant_ms = 0;
};

// One open port. Every call blocks until it has ended or its time-out has run
// out. A failing call returns false and leaves its error number (the
// platform's own, errno here) in last_error(). Once Close() has been called,
// every call fails without touching any device, and Close() does nothing more.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  virtual bool GetLineSettings(LineSettings& settings) = 0;
  virtual bool SetLineSettings(const LineSettings& settings) = 0;
  virtual bool GetTimeouts(PortTimeouts& timeouts) = 0;
  virtual bool SetTimeouts(const PortTimeouts& timeouts) = 0;

  // The modem status word; never waits.
  virtual bool GetModemStatus(std::uint32_t& status) = 0;

  // Throws away every byte received and not yet read.
  virtual bool PurgeReceive() = 0;

  // Reads up to into.size() bytes under the read time-outs; `got` is the count
  // that came. Fails only when the port itself fails.
  virtual bool Read(std::span<std::uint8_t> into, std::uint32_t& got) = 0;

  // Writes the bytes under the write time-outs; `written` is the count handed
  // to the port.
  virtual bool Write(std::span<const std::uint8_t> bytes, std::uint32_t& written) = 0;

  virtual void Close() = 0;
  virtual bool is_closed() const = 0;

  // True once after the port has connected again by itself to a network
  // access server that it had lost (the modem behind it may have been reset
  // meanwhile); false for a local device, which is never reopened.
  virtual bool TakeReconnected() { return false; }

  // True while a network port has lost its access server and is going to
  // connect again by itself; a failed command on it is no reason to close
  // it. False for a local device.
  virtual bool WillReconnect() const { return false; }

  virtual std::uint32_t last_error() const = 0;
};

struct PortOpenResult {
  std::unique_ptr<SerialPort> port;  // null on failure
  std::uint32_t error = 0;           // the platform's error number on failure
  std::string reason{};              // on failure, when the error number alone does not say it
  std::string location{};            // what was opened: a device path or rfc2217://HOST:PORT
};

// Opens the port by its COM name ("COM1" to "COM9"), exclusively. Where it is:
// the environment variable DAVRILON_COM1 ... DAVRILON_COM9 names a device path
// ("/dev/ttyUSB0") or a network serial port "rfc2217://HOST:PORT"; without it,
// COMn is /dev/ttyS<n-1>.
PortOpenResult OpenSerialPort(std::string_view com_name);

}  // namespace davrilon
