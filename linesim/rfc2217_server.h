// The simulated line served as a network serial port (RFC 2217 access
// server) on the loopback address, one client at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "linesim/line.h"
#include "linesim/sim_log.h"
#include "platform/clock.h"
#include "platform/telnet_codec.h"

namespace davrilon::linesim {

// One client's connection, without sockets: Telnet option negotiation, the
// COM-PORT-OPTION commands and replies, modem-state notifications, and data
// both ways with 0xFF escaped.
class Rfc2217Session {
 public:
  static constexpr const char* kSignature = "DAVRILON line simulator";

  Rfc2217Session(SimLog& log, Line& line);

  // What the server says first: its option requests.
  void Start();
  // Bytes from the client.
  void FromClient(std::span<const std::uint8_t> bytes);
  // Takes the line's output and modem-state changes into the client stream.
  // Call after the line has been polled or fed.
  void Update();
  // The bytes to send to the client, taken out.
  telnet::Bytes TakeToClient();

  std::uint32_t baud_rate() const { return baud_rate_; }
  std::uint8_t data_size() const { return data_size_; }
  std::uint8_t parity() const { return parity_; }
  std::uint8_t stop_size() const { return stop_size_; }
  bool com_port_agreed() const;

 private:
  void Command(const telnet::TelnetCommand& command);
  void ComPort(const telnet::ComPortMessage& message);
  void ReplyU8(std::uint8_t command, std::uint8_t value);
  void NotifyModemState(std::uint8_t lines, std::uint8_t deltas);

  SimLog& log_;
  Line& line_;
  telnet::TelnetDecoder decoder_;
  telnet::OptionNegotiator options_;
  telnet::Bytes to_client_;

  // The port as the client set it.
  std::uint32_t baud_rate_ = 9600;
  std::uint8_t data_size_ = 8;
  std::uint8_t parity_ = telnet::comport::kParityNone;
  std::uint8_t stop_size_ = telnet::comport::kStopOne;
  std::uint8_t flow_ = telnet::comport::kControlFlowNone;
  std::uint8_t dtr_ = telnet::comport::kControlDtrOn;
  std::uint8_t rts_ = telnet::comport::kControlRtsOn;
  std::uint8_t break_ = telnet::comport::kControlBreakOff;
  std::uint8_t inbound_flow_ = telnet::comport::kControlInboundFlowNone;
  std::uint8_t modem_state_mask_ = 0xFF;
  std::uint8_t line_state_mask_ = 0;
  bool suspended_ = false;  // the client asked us to hold data back

  bool notified_ = false;   // the first notification went out
  std::uint8_t lines_ = 0;  // the modem lines last notified
};

// The listening socket and the poll loop, on the process's real clock.
class Rfc2217Server {
 public:
  Rfc2217Server(Clock& clock, SimLog& log, Line& line);
  ~Rfc2217Server();
  Rfc2217Server(const Rfc2217Server&) = delete;
  Rfc2217Server& operator=(const Rfc2217Server&) = delete;

  // Listens on 127.0.0.1:`port` (0: any free port). False, logged, on failure.
  bool Listen(std::uint16_t port);
  // The port actually bound.
  std::uint16_t port() const { return port_; }
  // Serves until `stop` says so, or, with `exit_when_done`, until every
  // planned call has ended.
  void Run(const std::function<bool()>& stop, bool exit_when_done);

 private:
  void Accept();
  void ReadClient();
  void WriteClient();
  void CloseClient(const char* why);

  Clock& clock_;
  SimLog& log_;
  Line& line_;
  int listen_fd_ = -1;
  int client_fd_ = -1;
  std::uint16_t port_ = 0;
  std::unique_ptr<Rfc2217Session> session_;
  telnet::Bytes out_;
};

}  // namespace davrilon::linesim
