// A serial port on a network access server, over Telnet with the
// COM-PORT-OPTION (RFC 2217): "rfc2217://HOST:PORT".
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "platform/serial_port.h"

namespace davrilon {

constexpr std::string_view kNetworkPortScheme = "rfc2217://";

// How long the port waits for the access server at each step; a server that
// does not answer in time fails the call with ETIMEDOUT.
constexpr std::chrono::milliseconds kConnectDeadline{5000};      // TCP connection
constexpr std::chrono::milliseconds kNegotiationDeadline{3000};  // BINARY, SGA, COM-PORT-OPTION
constexpr std::chrono::milliseconds kAcknowledgeDeadline{3000};  // each COM-PORT-OPTION answer

struct NetworkPortAddress {
  std::string host;  // name or address; an IPv6 address without its brackets
  std::string port;  // decimal, 1 to 65535
};

// The address in "rfc2217://HOST:PORT" or "rfc2217://[V6ADDR]:PORT", or
// nothing when the text is not one.
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
PortOpenResult OpenRfc2217Port(const NetworkPortAddress& address);

}  // namespace davrilon
