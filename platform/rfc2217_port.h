// A serial port on a network access server, over Telnet with the
// COM-PORT-OPTION (RFC 2217): "rfc2217://HOST:PORT".
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/serial_port.h"

namespace davrilon {

constexpr std::string_view kNetworkPortScheme = "rfc2217://";

// How long the port waits for the access server at each step; a server that
// does not answer in time fails the call with ETIMEDOUT.
constexpr std::chrono::milliseconds kConnectDeadline{5000};      // TCP connection
constexpr std::chrono::milliseconds kNegotiationDeadline{3000};  // BINARY, SGA, COM-PORT-OPTION
constexpr std::chrono::milliseconds kAcknowledgeDeadline{3000};  // each COM-PORT-OPTION answer
// A reconnect runs inside a pass of the supervisor loop: connecting, agreeing
// the options, asking for the modem lines and putting the line settings back
// all end within this, so a server that is down or mute holds the loop for a
// moment only.
constexpr std::chrono::milliseconds kReconnectDeadline{1000};

// When a lost connection to the access server is tried again: the first
// attempt 1 s after the loss, each failed attempt doubling the wait for the
// next, up to 60 s. Fed with monotonic times; keeps no clock of its own.
class ReconnectSchedule {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  static constexpr std::chrono::milliseconds kFirstWait{1000};
  static constexpr std::chrono::milliseconds kLongestWait{60000};

  // The connection went at `now`. Nothing changes while it is already lost.
  void Lost(TimePoint now);
  // Whether a reconnect attempt is to be made at `now`.
  bool Due(TimePoint now) const;
  // The attempt made at `now` failed: the next comes after twice the last wait.
  void AttemptFailed(TimePoint now);
  // The connection is back: the next loss starts again at kFirstWait.
  void Reconnected();

  bool lost() const { return next_attempt_.has_value(); }

 private:
  std::optional<TimePoint> next_attempt_;  // while the connection is lost
  std::chrono::milliseconds wait_ = kFirstWait;
};

struct NetworkPortAddress {
  std::string host;  // name or address; an IPv6 address without its brackets
  std::string port;  // decimal, 1 to 65535
};

// Whether the text begins with the scheme, in any case ("RFC2217://").
bool HasNetworkPortScheme(std::string_view text);

// The address in "rfc2217://HOST:PORT" or "rfc2217://[V6ADDR]:PORT" (the
// scheme in any case), or nothing when the text is not one.
std::optional<NetworkPortAddress> ParseNetworkPortAddress(std::string_view text);

// Connects (TCP, no Nagle delay), agrees BINARY both ways, SUPPRESS-GO-AHEAD
// and COM-PORT-OPTION, and asks for every modem line change. A server that
// refuses the COM-PORT-OPTION or 8-bit transfers is refused with EPROTO.
//  - Line settings go out as SET-BAUDRATE, SET-DATASIZE, SET-PARITY and
//    SET-STOPSIZE, each answer awaited; an answer with another value than the
//    one asked for fails the call with EINVAL. GetLineSettings gives what the
//    server last answered (asking it the first time).
//  - The modem status word is the one the server last notified; reading it
//    takes in what has arrived and never waits.
//  - PurgeReceive has the server purge its receive buffer and drops the bytes
//    already received here.
//  - A dropped connection fails reads and writes with its error number
//    (ECONNRESET, EPIPE), never hangs and never raises SIGPIPE.
//  - After a dropped connection, modem status reads go on failing while the
//    port connects again by itself on the ReconnectSchedule (each attempt
//    made by a status read, within kReconnectDeadline). Once the server is
//    back and the options, the modem-state mask and the line settings last
//    set are agreed again, status reads succeed and TakeReconnected() says so
//    once. Received data not yet read is lost with the connection; the
//    time-outs are the port's own and stay as they were. A port that was
//    closed never connects again.
PortOpenResult OpenRfc2217Port(const NetworkPortAddress& address);
// The same, with the clock that times the reconnect attempts.
PortOpenResult OpenRfc2217Port(const NetworkPortAddress& address, Clock& clock);

}  // namespace davrilon
