// Opening the COM port, its line settings and time-outs, the switched-on test
// of the modem, and the modem's set-up for calls.
#include "modem/port_setup.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

namespace davrilon {

namespace {

using std::chrono::milliseconds;

// 115200 bit/s, 8 data bits, no parity, one stop bit. Everything else the
// port had (flow control, control lines, special characters) stays.
constexpr std::uint32_t kBaudRate = 115200;
constexpr std::uint8_t kByteSize = 8;

// A read ends when more than 3 s pass between two bytes, or after 3 s plus
// the per-byte part that the port had; a write after 3 s plus 3 s a byte.
constexpr milliseconds kReadInterval{3000};
constexpr milliseconds kReadTotalConstant{3000};
constexpr milliseconds kWriteTotalMultiplier{3000};  // per byte
constexpr milliseconds kWriteTotalConstant{3000};

// A modem that is switched on raises at least one of its status lines.
constexpr std::uint32_t kNoStatusLines = 0;

std::uint32_t Ms(milliseconds value) {
  return static_cast<std::uint32_t>(value.count());
}

// What the IT person reads on standard error: the port, where it leads, and
// what went wrong there.
void Diagnose(Station& s, const std::string& where, std::string_view what, std::uint32_t error) {
  s.diagnose(where + ": " + std::string(what) + ": " + ErrorText(error));
}

// Every set-up failure ends the station: the port (when it is still open),
// the event log and the guard file are closed, and nothing is retried.
std::unique_ptr<SerialPort> GiveUp(Station& s, std::unique_ptr<SerialPort> port) {
  if (port && !port->is_closed())
    port->Close();
  s.log.Close();
  s.guard.Close();
  return nullptr;
}

}  // namespace

std::unique_ptr<SerialPort> SetUpPort(Station& s) {
  return SetUpPort(s, OpenSerialPort);
}

std::unique_ptr<SerialPort> SetUpPort(Station& s, const PortOpener& open) {
  PortOpenResult opened = open(s.config.port_name);
  const std::string where = s.config.port_name + " = " + opened.location;
  if (!opened.port) {
    s.log.Line("Błąd otwierania połączenia ", opened.error);
    s.diagnose(where + ": cannot open: " +
               (opened.reason.empty() ? ErrorText(opened.error)
                                      : opened.reason + " (" + std::to_string(opened.error) + ")"));
    return GiveUp(s, nullptr);
  }
  std::unique_ptr<SerialPort> port = std::move(opened.port);
  s.log.Bare("Port ", s.config.port_name, " otwarty\n");

  LineSettings line;
  if (!port->GetLineSettings(line)) {
    const std::uint32_t error = port->last_error();
    s.log.Line("Błąd odczytu stanu portu ", error);
    Diagnose(s, where, "cannot read the line settings", error);
    return GiveUp(s, std::move(port));
  }
  s.log.Bare("Status odczytany\n");

  line.baud_rate = kBaudRate;
  line.byte_size = kByteSize;
  line.parity = kNoParity;
  line.stop_bits = kOneStopBit;
  if (!port->SetLineSettings(line)) {
    const std::uint32_t error = port->last_error();
    s.log.Line("Błąd konfiguracji portu ", error);
    Diagnose(s, where, "cannot set 115200 8N1", error);
    return GiveUp(s, std::move(port));
  }
  s.log.Bare("Port zastał skonfigurowany poprawnie.\n");

  std::uint32_t status = 0;
  if (!port->GetModemStatus(status)) {
    const std::uint32_t error = port->last_error();
    s.log.Line("Błąd Odczytu statusu ", error);
    Diagnose(s, where, "cannot read the modem status lines", error);
    return GiveUp(s, std::move(port));
  }
  if (status == kNoStatusLines) {
    // The operator is shown why before the station waits for a key.
    s.console.WriteText("Modem nie jest załączony !!!");
    s.log.Line("Modem nie jest zalaczony !!!");
    s.diagnose(where +
               ": the modem is switched off or not connected (no status line is up); "
               "waiting for a key");
    GiveUp(s, std::move(port));
    s.console.ReadKey();
    return nullptr;
  }
  s.log.Line("Modem jest zalączony,wartość odczytana: ", status);

  PortTimeouts timeouts;
  if (!port->GetTimeouts(timeouts)) {
    const std::uint32_t error = port->last_error();
    s.log.Line("Błąd odczytu TimeOut-ów .", error);
    Diagnose(s, where, "cannot read the time-outs", error);
    return GiveUp(s, std::move(port));
  }
  s.log.Bare("Timeoty odczytane\n");

  // The per-byte part of a read stays as the port had it.
  timeouts.read_interval_ms = Ms(kReadInterval);
  timeouts.read_total_constant_ms = Ms(kReadTotalConstant);
  timeouts.write_total_multiplier_ms = Ms(kWriteTotalMultiplier);
  timeouts.write_total_constant_ms = Ms(kWriteTotalConstant);
  if (!port->SetTimeouts(timeouts)) {
    const std::uint32_t error = port->last_error();
    s.log.Line("Błąd konfiguracji TimeOut-ów ", error);
    Diagnose(s, where, "cannot set the time-outs", error);
    return GiveUp(s, std::move(port));
  }
  s.log.Bare("Timeoty zostały zapisane\n");

  if (SetUpModem(s, *port, /*escape=*/false) == 0) {
    // The failed command has closed the port already.
    s.log.Line("Nie ustawiono modemu");
    s.diagnose(where + ": the modem could not be set up: a command could not be written");
    return GiveUp(s, std::move(port));
  }
  return port;
}

}  // namespace davrilon
