#include "platform/telnet_codec.h"

#include <algorithm>

namespace davrilon::telnet {

namespace {

constexpr std::size_t kBaudRateBytes = 4;

bool IsNegotiationVerb(std::uint8_t byte) {
  return byte == kWill || byte == kWont || byte == kDo || byte == kDont;
}

}  // namespace

// --- Encoding ---

void AppendEscaped(Bytes& out, std::span<const std::uint8_t> data) {
  out.reserve(out.size() + data.size());
  for (std::uint8_t b : data) {
    out.push_back(b);
    if (b == kIac)
      out.push_back(kIac);
  }
}

Bytes Escape(std::span<const std::uint8_t> data) {
  Bytes out;
  AppendEscaped(out, data);
  return out;
}

Bytes Negotiation(std::uint8_t verb, std::uint8_t option) {
  return {kIac, verb, option};
}

Bytes Command(std::uint8_t command) {
  return {kIac, command};
}

Bytes Subnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload) {
  Bytes out{kIac, kSb, option};
  AppendEscaped(out, payload);
  out.push_back(kIac);
  out.push_back(kSe);
  return out;
}

Bytes ComPortValue(std::uint8_t command, std::span<const std::uint8_t> value) {
  Bytes payload{command};
  payload.insert(payload.end(), value.begin(), value.end());
  return Subnegotiation(kOptComPort, payload);
}

Bytes ComPort(std::uint8_t command) {
  return ComPortValue(command, {});
}

Bytes ComPortU8(std::uint8_t command, std::uint8_t value) {
  const std::uint8_t v[] = {value};
  return ComPortValue(command, v);
}

Bytes ComPortU32(std::uint8_t command, std::uint32_t value) {
  const std::uint8_t v[kBaudRateBytes] = {
      static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
      static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  return ComPortValue(command, v);
}

// --- Decoding ---

void TelnetDecoder::AfterIac(std::uint8_t byte) {
  if (IsNegotiationVerb(byte)) {
    verb_ = byte;
    state_ = State::kVerb;
  } else if (byte == kSb) {
    state_ = State::kSbOption;
  } else {
    state_ = State::kData;
    (*on_command_)(TelnetCommand{byte, 0, {}});
  }
}

void TelnetDecoder::Feed(std::span<const std::uint8_t> bytes, const DataHandler& on_data,
                         const CommandHandler& on_command) {
  on_command_ = &on_command;
  std::size_t run_start = 0;  // start of the current run of data bytes
  auto flush_run = [&](std::size_t end) {
    if (end > run_start)
      on_data(bytes.subspan(run_start, end - run_start));
  };
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint8_t b = bytes[i];
    bool is_data = false;
    switch (state_) {
      case State::kData:
        if (b == kIac) {
          flush_run(i);
          state_ = State::kAfterIac;
        } else {
          is_data = true;
        }
        break;
      case State::kAfterIac:
        if (b == kIac) {
          run_start = i;  // the second 0xFF is the data byte: a new run starts on it
          is_data = true;
          state_ = State::kData;
        } else {
          AfterIac(b);
        }
        break;
      case State::kVerb:
        state_ = State::kData;
        on_command(TelnetCommand{verb_, b, {}});
        break;
      case State::kSbOption:
        sb_ = TelnetCommand{kSb, b, {}};
        state_ = State::kInSb;
        break;
      case State::kInSb:
      case State::kInSbIac: {
        const bool escaped = state_ == State::kInSbIac;
        if (!escaped && b == kIac) {
          state_ = State::kInSbIac;
          break;
        }
        if (escaped && b == kSe) {
          state_ = State::kData;
          on_command(sb_);
          sb_.payload.clear();
          break;
        }
        if (escaped && b != kIac) {
          // IAC and a command inside a subnegotiation: the peer abandoned it.
          ++dropped_;
          sb_.payload.clear();
          AfterIac(b);
          break;
        }
        if (sb_.payload.size() >= kMaxSubnegotiation) {
          ++dropped_;
          sb_.payload.clear();
          state_ = State::kSbOverlong;
          break;
        }
        sb_.payload.push_back(b);
        state_ = State::kInSb;
        break;
      }
      case State::kSbOverlong:
        if (b == kIac)
          state_ = State::kSbOverlongIac;
        break;
      case State::kSbOverlongIac:
        if (b == kSe) {
          state_ = State::kData;
        } else if (b == kIac) {
          state_ = State::kSbOverlong;
        } else {
          AfterIac(b);
        }
        break;
    }
    if (!is_data)
      run_start = i + 1;
  }
  if (state_ == State::kData)
    flush_run(bytes.size());
  on_command_ = nullptr;
}

std::optional<std::uint8_t> ComPortMessage::U8() const {
  if (value.size() != 1)
    return std::nullopt;
  return value[0];
}

std::optional<std::uint32_t> ComPortMessage::U32() const {
  if (value.size() != kBaudRateBytes)
    return std::nullopt;
  return static_cast<std::uint32_t>(value[0]) << 24 | static_cast<std::uint32_t>(value[1]) << 16 |
         static_cast<std::uint32_t>(value[2]) << 8 | static_cast<std::uint32_t>(value[3]);
}

std::optional<ComPortMessage> AsComPort(const TelnetCommand& command) {
  if (command.verb != kSb || command.option != kOptComPort || command.payload.empty())
    return std::nullopt;
  return ComPortMessage{command.payload[0],
                        Bytes(command.payload.begin() + 1, command.payload.end())};
}

// --- Option negotiation ---

Bytes OptionNegotiator::Answer(Side& side, bool enable, std::uint8_t yes_verb, std::uint8_t no_verb,
                               std::uint8_t option) {
  switch (side.state) {
    case Q::kNo:
      if (!enable)
        return {};
      if (!side.allowed)
        return Negotiation(no_verb, option);
      side.state = Q::kYes;
      return Negotiation(yes_verb, option);
    case Q::kYes:
      if (enable)
        return {};
      side.state = Q::kNo;
      return Negotiation(no_verb, option);
    case Q::kWantNo:
      side.state = Q::kNo;  // the peer answered our refusal (an enable here is an error: stay off)
      return {};
    case Q::kWantYes:
      side.state = enable ? Q::kYes : Q::kNo;
      return {};
  }
  return {};
}

Bytes OptionNegotiator::RequestLocal(std::uint8_t option) {
  Side& side = local_[option];
  side.allowed = true;
  if (side.state != Q::kNo)
    return {};
  side.state = Q::kWantYes;
  return Negotiation(kWill, option);
}

Bytes OptionNegotiator::RequestRemote(std::uint8_t option) {
  Side& side = remote_[option];
  side.allowed = true;
  if (side.state != Q::kNo)
    return {};
  side.state = Q::kWantYes;
  return Negotiation(kDo, option);
}

Bytes OptionNegotiator::Receive(std::uint8_t verb, std::uint8_t option) {
  switch (verb) {
    case kWill:
      return Answer(remote_[option], true, kDo, kDont, option);
    case kWont:
      return Answer(remote_[option], false, kDo, kDont, option);
    case kDo:
      return Answer(local_[option], true, kWill, kWont, option);
    case kDont:
      return Answer(local_[option], false, kWill, kWont, option);
    default:
      return {};
  }
}

}  // namespace davrilon::telnet
