// Telnet framing and the COM-PORT-OPTION vocabulary of a network serial port
// (RFC 854, RFC 1143, RFC 2217). Portable: no sockets here. The same code
// serves both ends of the link: the station's network port (the client) and
// the line simulator (the access server).
//
// An access server uses it like this:
//   OptionNegotiator options;            // agree BINARY and SGA both ways,
//   options.AllowLocal(kOptBinary);      // accept the client's WILL COM-PORT-OPTION
//   options.AllowRemote(kOptComPort); ...
//   decoder.Feed(received, on_data, on_command);
//   on_command: for WILL/WONT/DO/DONT send options.Receive(verb, option);
//     for AsComPort(command) answer ComPortU32/ComPortU8(comport::ServerReply(
//     message.command), value now in force) -- a value of 0 only asks;
//     after SET-MODEMSTATE-MASK also send NOTIFY-MODEMSTATE with the lines;
//     on PURGE-DATA drop the bytes held for the client, then answer.
//   line data to the client goes out through Escape().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace davrilon::telnet {

using Bytes = std::vector<std::uint8_t>;

// --- Telnet command bytes (each follows kIac on the wire) ---
constexpr std::uint8_t kIac = 255;   // interpret as command; doubled to send a 0xFF data byte
constexpr std::uint8_t kDont = 254;  // please stop / do not start the option on your side
constexpr std::uint8_t kDo = 253;    // please start the option on your side
constexpr std::uint8_t kWont = 252;  // I will not / no longer use the option
constexpr std::uint8_t kWill = 251;  // I will use the option
constexpr std::uint8_t kSb = 250;    // subnegotiation begins
constexpr std::uint8_t kGa = 249;    // go ahead
constexpr std::uint8_t kEl = 248;    // erase line
constexpr std::uint8_t kEc = 247;    // erase character
constexpr std::uint8_t kAyt = 246;   // are you there
constexpr std::uint8_t kAo = 245;    // abort output
constexpr std::uint8_t kIp = 244;    // interrupt process
constexpr std::uint8_t kBrk = 243;   // break
constexpr std::uint8_t kDm = 242;    // data mark
constexpr std::uint8_t kNop = 241;   // no operation
constexpr std::uint8_t kSe = 240;    // subnegotiation ends

// --- Telnet options ---
constexpr std::uint8_t kOptBinary = 0;           // 8-bit transparent data
constexpr std::uint8_t kOptEcho = 1;             // remote echo
constexpr std::uint8_t kOptSuppressGoAhead = 3;  // full duplex, no GA
constexpr std::uint8_t kOptComPort = 44;         // COM-PORT-OPTION

// --- COM-PORT-OPTION commands, client to server. The server answers each
// with the same command plus kServerReplyOffset and the value now in force. ---
namespace comport {
constexpr std::uint8_t kSignature = 0;
constexpr std::uint8_t kSetBaudRate = 1;          // 4-byte value, network order; 0 asks
constexpr std::uint8_t kSetDataSize = 2;          // 1 byte: 5..8; 0 asks
constexpr std::uint8_t kSetParity = 3;            // 1 byte: kParity*
constexpr std::uint8_t kSetStopSize = 4;          // 1 byte: kStop*
constexpr std::uint8_t kSetControl = 5;           // 1 byte: kControl*
constexpr std::uint8_t kNotifyLineState = 6;      // 1 byte: kLineState* bits
constexpr std::uint8_t kNotifyModemState = 7;     // 1 byte: kModemState* bits
constexpr std::uint8_t kFlowControlSuspend = 8;   // no value
constexpr std::uint8_t kFlowControlResume = 9;    // no value
constexpr std::uint8_t kSetLineStateMask = 10;    // 1 byte mask
constexpr std::uint8_t kSetModemStateMask = 11;   // 1 byte mask
constexpr std::uint8_t kPurgeData = 12;           // 1 byte: kPurge*
constexpr std::uint8_t kServerReplyOffset = 100;  // server's answer = command + 100

constexpr std::uint8_t ServerReply(std::uint8_t command) {
  return static_cast<std::uint8_t>(command + kServerReplyOffset);
}

// A value of 0 in any SET command asks for the current setting.
constexpr std::uint8_t kQuery = 0;
constexpr std::uint32_t kQueryBaudRate = 0;

// SET-PARITY values.
constexpr std::uint8_t kParityNone = 1;
constexpr std::uint8_t kParityOdd = 2;
constexpr std::uint8_t kParityEven = 3;
constexpr std::uint8_t kParityMark = 4;
constexpr std::uint8_t kParitySpace = 5;

// SET-STOPSIZE values.
constexpr std::uint8_t kStopOne = 1;
constexpr std::uint8_t kStopTwo = 2;
constexpr std::uint8_t kStopOneAndHalf = 3;

// SET-CONTROL values.
constexpr std::uint8_t kControlQueryFlow = 0;
constexpr std::uint8_t kControlFlowNone = 1;
constexpr std::uint8_t kControlFlowXonXoff = 2;
constexpr std::uint8_t kControlFlowHardware = 3;
constexpr std::uint8_t kControlQueryBreak = 4;
constexpr std::uint8_t kControlBreakOn = 5;
constexpr std::uint8_t kControlBreakOff = 6;
constexpr std::uint8_t kControlQueryDtr = 7;
constexpr std::uint8_t kControlDtrOn = 8;
constexpr std::uint8_t kControlDtrOff = 9;
constexpr std::uint8_t kControlQueryRts = 10;
constexpr std::uint8_t kControlRtsOn = 11;
constexpr std::uint8_t kControlRtsOff = 12;
constexpr std::uint8_t kControlQueryInboundFlow = 13;
constexpr std::uint8_t kControlInboundFlowNone = 14;
constexpr std::uint8_t kControlInboundFlowXonXoff = 15;
constexpr std::uint8_t kControlInboundFlowHardware = 16;
constexpr std::uint8_t kControlFlowDcd = 17;
constexpr std::uint8_t kControlInboundFlowDtr = 18;
constexpr std::uint8_t kControlFlowDsr = 19;

// NOTIFY-LINESTATE bits.
constexpr std::uint8_t kLineStateTimeout = 0x80;
constexpr std::uint8_t kLineStateTransmitShiftEmpty = 0x40;
constexpr std::uint8_t kLineStateTransmitHoldEmpty = 0x20;
constexpr std::uint8_t kLineStateBreak = 0x10;
constexpr std::uint8_t kLineStateFramingError = 0x08;
constexpr std::uint8_t kLineStateParityError = 0x04;
constexpr std::uint8_t kLineStateOverrunError = 0x02;
constexpr std::uint8_t kLineStateDataReady = 0x01;

// NOTIFY-MODEMSTATE bits. The four state bits sit where the station's modem
// status word has them (carrier 0x80, ring 0x40, DSR 0x20, CTS 0x10).
constexpr std::uint8_t kModemStateCarrier = 0x80;  // receive line signal detect
constexpr std::uint8_t kModemStateRing = 0x40;
constexpr std::uint8_t kModemStateDsr = 0x20;
constexpr std::uint8_t kModemStateCts = 0x10;
constexpr std::uint8_t kModemStateDeltaCarrier = 0x08;
constexpr std::uint8_t kModemStateTrailingRing = 0x04;
constexpr std::uint8_t kModemStateDeltaDsr = 0x02;
constexpr std::uint8_t kModemStateDeltaCts = 0x01;
constexpr std::uint8_t kModemStateLines = 0xF0;  // the four state bits, no deltas

// PURGE-DATA values.
constexpr std::uint8_t kPurgeReceive = 1;   // the access server's receive buffer (line to network)
constexpr std::uint8_t kPurgeTransmit = 2;  // its transmit buffer (network to line)
constexpr std::uint8_t kPurgeBoth = 3;
}  // namespace comport

// --- Encoding ---

// Appends `data` to `out` with every 0xFF doubled.
void AppendEscaped(Bytes& out, std::span<const std::uint8_t> data);
// `data` with every 0xFF doubled.
Bytes Escape(std::span<const std::uint8_t> data);

// IAC verb option, verb one of kWill, kWont, kDo, kDont.
Bytes Negotiation(std::uint8_t verb, std::uint8_t option);
// IAC command, for the single-byte commands (kNop, kBrk, kAyt, ...).
Bytes Command(std::uint8_t command);
// IAC SB option payload IAC SE, with 0xFF in the payload doubled.
Bytes Subnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload);

// COM-PORT-OPTION subnegotiations. `command` is a client command
// (comport::kSetParity) or a server reply (comport::ServerReply(kSetParity)).
Bytes ComPort(std::uint8_t command);                          // no value (suspend/resume)
Bytes ComPortU8(std::uint8_t command, std::uint8_t value);    // one-byte value
Bytes ComPortU32(std::uint8_t command, std::uint32_t value);  // four bytes, network order
Bytes ComPortValue(std::uint8_t command, std::span<const std::uint8_t> value);  // any value

// --- Decoding ---

// A command taken out of the byte stream.
struct TelnetCommand {
  // kWill/kWont/kDo/kDont with `option`; kSb for a whole subnegotiation with
  // `option` and its unescaped `payload`; otherwise a single-byte command
  // (kNop, kBrk, kGa, ...) with option 0.
  std::uint8_t verb = 0;
  std::uint8_t option = 0;
  Bytes payload;

  bool operator==(const TelnetCommand&) const = default;
};

// Splits incoming bytes into data and commands. Keeps its state between calls,
// so a command or a doubled 0xFF may be split across any chunk boundaries.
// Data and commands are handed on in the order they came.
//
// A malformed stream never corrupts data silently: a subnegotiation longer
// than kMaxSubnegotiation is dropped whole; an IAC inside a subnegotiation
// followed by anything but IAC or SE abandons the subnegotiation and is taken
// as the command it starts.
class TelnetDecoder {
 public:
  static constexpr std::size_t kMaxSubnegotiation = 512;  // payload bytes

  using DataHandler = std::function<void(std::span<const std::uint8_t>)>;
  using CommandHandler = std::function<void(const TelnetCommand&)>;

  void Feed(std::span<const std::uint8_t> bytes, const DataHandler& on_data,
            const CommandHandler& on_command);

  // Subnegotiations dropped as malformed or overlong since construction.
  std::size_t dropped_subnegotiations() const { return dropped_; }

 private:
  enum class State {
    kData,
    kAfterIac,
    kVerb,
    kSbOption,
    kInSb,
    kInSbIac,
    kSbOverlong,
    kSbOverlongIac
  };
  // Handles the byte after an IAC (outside a subnegotiation).
  void AfterIac(std::uint8_t byte);

  State state_ = State::kData;
  std::uint8_t verb_ = 0;
  TelnetCommand sb_;
  std::size_t dropped_ = 0;
  const CommandHandler* on_command_ = nullptr;
};

// A COM-PORT-OPTION message read from a subnegotiation.
struct ComPortMessage {
  std::uint8_t command = 0;  // as on the wire: a client command or a server reply (+100)
  Bytes value;

  bool is_server_reply() const { return command >= comport::kServerReplyOffset; }
  // The command without the reply offset.
  std::uint8_t base_command() const {
    return is_server_reply() ? static_cast<std::uint8_t>(command - comport::kServerReplyOffset)
                             : command;
  }
  // The one-byte value, when the value is exactly one byte.
  std::optional<std::uint8_t> U8() const;
  // The four-byte network-order value (baud rate), when it is exactly four bytes.
  std::optional<std::uint32_t> U32() const;
};

// The COM-PORT-OPTION message in `command`, or nothing when it is not a
// subnegotiation of that option or carries no command byte.
std::optional<ComPortMessage> AsComPort(const TelnetCommand& command);

// --- Option negotiation (RFC 1143, without the queue) ---

// Tracks, for each option, whether it is enabled on this side ("local": we
// sent WILL and got DO) and on the peer's side ("remote": we sent DO and got
// WILL), and answers the peer's requests without negotiation loops. Options
// not allowed are refused.
class OptionNegotiator {
 public:
  // This side agrees to enable `option` when the peer sends DO.
  void AllowLocal(std::uint8_t option) { local_[option].allowed = true; }
  // This side agrees to the peer enabling `option` when it sends WILL.
  void AllowRemote(std::uint8_t option) { remote_[option].allowed = true; }

  // Asks to enable the option on this side (WILL) / on the peer's side (DO).
  // Also allows it. Returns the bytes to send: none when already enabled or
  // asked for.
  Bytes RequestLocal(std::uint8_t option);
  Bytes RequestRemote(std::uint8_t option);

  // Handles IAC verb option from the peer (verb kWill, kWont, kDo or kDont);
  // returns the answer to send, possibly none.
  Bytes Receive(std::uint8_t verb, std::uint8_t option);

  bool LocalEnabled(std::uint8_t option) const { return local_[option].state == Q::kYes; }
  bool RemoteEnabled(std::uint8_t option) const { return remote_[option].state == Q::kYes; }
  // Asked for and not yet answered.
  bool LocalPending(std::uint8_t option) const { return local_[option].state == Q::kWantYes; }
  bool RemotePending(std::uint8_t option) const { return remote_[option].state == Q::kWantYes; }

 private:
  enum class Q : std::uint8_t { kNo, kYes, kWantNo, kWantYes };
  struct Side {
    Q state = Q::kNo;
    bool allowed = false;
  };
  // One side's answer to an enable (WILL/DO) or disable (WONT/DONT) request.
  static Bytes Answer(Side& side, bool enable, std::uint8_t yes_verb, std::uint8_t no_verb,
                      std::uint8_t option);

  std::array<Side, 256> local_{};
  std::array<Side, 256> remote_{};
};

}  // namespace davrilon::telnet
