#include "linesim/rfc2217_server.h"

#include <string>
#include <string_view>

namespace davrilon::linesim {

namespace cp = telnet::comport;

namespace {

std::string ControlName(std::uint8_t value) {
  switch (value) {
    case cp::kControlDtrOn:
      return "DTR on";
    case cp::kControlDtrOff:
      return "DTR off";
    case cp::kControlRtsOn:
      return "RTS on";
    case cp::kControlRtsOff:
      return "RTS off";
    case cp::kControlFlowNone:
      return "no flow control";
    default:
      return "control " + std::to_string(value);
  }
}

}  // namespace

Rfc2217Session::Rfc2217Session(SimLog& log, Line& line) : log_(log), line_(line) {
  options_.AllowLocal(telnet::kOptBinary);
  options_.AllowRemote(telnet::kOptBinary);
  options_.AllowLocal(telnet::kOptSuppressGoAhead);
  options_.AllowRemote(telnet::kOptSuppressGoAhead);
  options_.AllowLocal(telnet::kOptComPort);
  options_.AllowRemote(telnet::kOptComPort);
}

void Rfc2217Session::Start() {
  auto append = [&](const telnet::Bytes& bytes) {
    to_client_.insert(to_client_.end(), bytes.begin(), bytes.end());
  };
  append(options_.RequestLocal(telnet::kOptBinary));
  append(options_.RequestRemote(telnet::kOptBinary));
  append(options_.RequestLocal(telnet::kOptSuppressGoAhead));
  append(options_.RequestRemote(telnet::kOptSuppressGoAhead));
  append(options_.RequestRemote(telnet::kOptComPort));
}

bool Rfc2217Session::com_port_agreed() const {
  return options_.RemoteEnabled(telnet::kOptComPort) || options_.LocalEnabled(telnet::kOptComPort);
}

void Rfc2217Session::FromClient(std::span<const std::uint8_t> bytes) {
  decoder_.Feed(
      bytes,
      [&](std::span<const std::uint8_t> data) {
        line_.FromStation(
            std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
      },
      [&](const telnet::TelnetCommand& command) { Command(command); });
  Update();
}

void Rfc2217Session::Command(const telnet::TelnetCommand& command) {
  switch (command.verb) {
    case telnet::kWill:
    case telnet::kWont:
    case telnet::kDo:
    case telnet::kDont: {
      telnet::Bytes answer = options_.Receive(command.verb, command.option);
      to_client_.insert(to_client_.end(), answer.begin(), answer.end());
      return;
    }
    case telnet::kSb:
      if (auto message = telnet::AsComPort(command)) {
        ComPort(*message);
      } else {
        log_.Line("server: subnegotiation of option " + std::to_string(command.option) +
                  " ignored");
      }
      return;
    default:
      return;  // NOP, BREAK and the like mean nothing to this line
  }
}

void Rfc2217Session::ReplyU8(std::uint8_t command, std::uint8_t value) {
  telnet::Bytes reply = telnet::ComPortU8(cp::ServerReply(command), value);
  to_client_.insert(to_client_.end(), reply.begin(), reply.end());
}

void Rfc2217Session::ComPort(const telnet::ComPortMessage& message) {
  if (message.is_server_reply())
    return;
  std::uint8_t value = message.U8().value_or(cp::kQuery);
  switch (message.command) {
    case cp::kSignature: {
      std::string_view text = kSignature;
      telnet::Bytes reply = telnet::ComPortValue(
          cp::ServerReply(cp::kSignature),
          std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
      to_client_.insert(to_client_.end(), reply.begin(), reply.end());
      return;
    }
    case cp::kSetBaudRate: {
      std::uint32_t rate = message.U32().value_or(cp::kQueryBaudRate);
      if (rate != cp::kQueryBaudRate) {
        baud_rate_ = rate;
        log_.Line("server: baud rate " + std::to_string(rate));
      }
      telnet::Bytes reply = telnet::ComPortU32(cp::ServerReply(cp::kSetBaudRate), baud_rate_);
      to_client_.insert(to_client_.end(), reply.begin(), reply.end());
      return;
    }
    case cp::kSetDataSize:
      if (value != cp::kQuery)
        data_size_ = value;
      log_.Line("server: data size " + std::to_string(data_size_));
      ReplyU8(message.command, data_size_);
      return;
    case cp::kSetParity:
      if (value != cp::kQuery)
        parity_ = value;
      log_.Line("server: parity " + std::to_string(parity_));
      ReplyU8(message.command, parity_);
      return;
    case cp::kSetStopSize:
      if (value != cp::kQuery)
        stop_size_ = value;
      log_.Line("server: stop size " + std::to_string(stop_size_));
      ReplyU8(message.command, stop_size_);
      return;
    case cp::kSetControl: {
      std::uint8_t* setting = nullptr;
      if (value <= cp::kControlFlowHardware || value >= cp::kControlFlowDcd)
        setting = &flow_;
      else if (value <= cp::kControlBreakOff)
        setting = &break_;
      else if (value <= cp::kControlDtrOff)
        setting = &dtr_;
      else if (value <= cp::kControlRtsOff)
        setting = &rts_;
      else
        setting = &inbound_flow_;
      bool query = value == cp::kControlQueryFlow || value == cp::kControlQueryBreak ||
                   value == cp::kControlQueryDtr || value == cp::kControlQueryRts ||
                   value == cp::kControlQueryInboundFlow;
      if (!query) {
        *setting = value;
        log_.Line("server: " + ControlName(value));
      }
      ReplyU8(message.command, *setting);
      return;
    }
    case cp::kNotifyModemState:
      // A poll: the lines as they are now.
      lines_ = static_cast<std::uint8_t>(line_.Status() & cp::kModemStateLines);
      notified_ = true;
      ReplyU8(cp::kNotifyModemState, static_cast<std::uint8_t>(lines_ & modem_state_mask_));
      return;
    case cp::kNotifyLineState:
      ReplyU8(cp::kNotifyLineState, 0);
      return;
    case cp::kFlowControlSuspend:
      suspended_ = true;
      return;
    case cp::kFlowControlResume:
      suspended_ = false;
      return;
    case cp::kSetLineStateMask:
      line_state_mask_ = value;
      ReplyU8(message.command, line_state_mask_);
      return;
    case cp::kSetModemStateMask:
      modem_state_mask_ = value;
      log_.Line("server: modem state mask " + std::to_string(value));
      ReplyU8(message.command, modem_state_mask_);
      // The client learns the lines under its new mask at once.
      lines_ = static_cast<std::uint8_t>(line_.Status() & cp::kModemStateLines);
      notified_ = true;
      NotifyModemState(lines_, 0);
      return;
    case cp::kPurgeData:
      if (value == cp::kPurgeReceive || value == cp::kPurgeBoth) {
        line_.PurgeToStation();
        log_.Line("server: purge: data queued for the station dropped");
      }
      ReplyU8(message.command, value);
      return;
    default:
      log_.Line("server: unknown COM-PORT-OPTION command " + std::to_string(message.command));
      return;
  }
}

void Rfc2217Session::NotifyModemState(std::uint8_t lines, std::uint8_t deltas) {
  auto value = static_cast<std::uint8_t>((lines | deltas) & modem_state_mask_);
  ReplyU8(cp::kNotifyModemState, value);
}

void Rfc2217Session::Update() {
  if (!suspended_) {
    std::string data = line_.TakeToStation();
    if (!data.empty()) {
      telnet::AppendEscaped(
          to_client_, std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
    }
  }
  if (!com_port_agreed())
    return;
  auto lines = static_cast<std::uint8_t>(line_.Status() & cp::kModemStateLines);
  if (!notified_) {
    notified_ = true;
    lines_ = lines;
    NotifyModemState(lines, 0);
    return;
  }
  auto changed = static_cast<std::uint8_t>(lines ^ lines_);
  if (changed == 0)
    return;
  std::uint8_t deltas = 0;
  if (changed & cp::kModemStateCts)
    deltas |= cp::kModemStateDeltaCts;
  if (changed & cp::kModemStateDsr)
    deltas |= cp::kModemStateDeltaDsr;
  if (changed & cp::kModemStateCarrier)
    deltas |= cp::kModemStateDeltaCarrier;
  if ((changed & cp::kModemStateRing) && !(lines & cp::kModemStateRing))
    deltas |= cp::kModemStateTrailingRing;
  lines_ = lines;
  if ((changed & modem_state_mask_) != 0)
    NotifyModemState(lines, deltas);
}

telnet::Bytes Rfc2217Session::TakeToClient() {
  telnet::Bytes out;
  out.swap(to_client_);
  return out;
}

}  // namespace davrilon::linesim
