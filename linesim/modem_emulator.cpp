#include "linesim/modem_emulator.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace davrilon::linesim {
namespace {

// Power-on values of the S registers that mean something here.
constexpr int kDefaultEscapeChar = '+';
constexpr int kDefaultCr = 13;
constexpr int kDefaultLf = 10;
constexpr int kDefaultBackspace = 8;
constexpr int kRegCr = 3;
constexpr int kRegLf = 4;
constexpr int kRegBackspace = 5;
constexpr int kRegCarrierWait = 7;  // seconds; kept for queries only
constexpr int kDefaultCarrierWait = 50;
constexpr int kMaxRegisterValue = 255;
constexpr int kEscapeDisabledAbove = 127;  // S2 above this switches the escape off

constexpr const char* kConnectText = "CONNECT 115200";
constexpr const char* kIdentification = "DAVRILON line simulator";

}  // namespace

ModemEmulator::ModemEmulator(Clock& clock, SimLog& log, ModemSettings settings)
    : clock_(clock), log_(log), settings_(settings) {
  ResetProfile();
  last_data_ = clock_.Monotonic() - GuardTime();
  last_plus_ = last_data_;
}

void ModemEmulator::ResetProfile() {
  echo_ = true;
  verbose_ = true;
  quiet_ = false;
  registers_.fill(0);
  registers_[kRegAutoAnswerRings] = 0;
  registers_[kRegEscapeChar] = kDefaultEscapeChar;
  registers_[kRegCr] = kDefaultCr;
  registers_[kRegLf] = kDefaultLf;
  registers_[kRegBackspace] = kDefaultBackspace;
  registers_[kRegCarrierWait] = kDefaultCarrierWait;
  auto steps = settings_.guard_time / kGuardUnit;
  registers_[kRegGuardTime] =
      static_cast<int>(std::clamp<decltype(steps)>(steps, 0, kMaxRegisterValue));
}

Millis ModemEmulator::GuardTime() const {
  return kGuardUnit * registers_[kRegGuardTime];
}

void ModemEmulator::FromStation(std::string_view bytes) {
  if (settings_.switched_off)
    return;
  TimePoint now = clock_.Monotonic();
  std::string data;
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    // The guard time after "+++" may run out just as the next command comes:
    // the escape is complete first, so the command is taken as a command.
    CompleteEscapeIfDue(now);
    if (state_ == State::kOnline) {
      DataByte(byte, now);
      data.push_back(c);
    } else {
      CommandByte(byte);
    }
  }
  if (!data.empty() && listener_ != nullptr)
    listener_->OnDataFromStation(data);
}

void ModemEmulator::DataByte(unsigned char byte, TimePoint now) {
  int escape = registers_[kRegEscapeChar];
  Millis guard = GuardTime();
  if (escape <= kEscapeDisabledAbove && byte == escape) {
    if (pluses_ > 0 && pluses_ < 3 && now - last_plus_ <= guard) {
      ++pluses_;
    } else {
      // A first escape character counts only after the guard time of silence.
      pluses_ = now - last_data_ >= guard ? 1 : 0;
    }
    last_plus_ = now;
  } else {
    pluses_ = 0;
  }
  last_data_ = now;
}

void ModemEmulator::CommandByte(unsigned char byte) {
  if (state_ == State::kAnswering) {
    // As on a real modem, any character while the call is being answered aborts it.
    log_.Line("modem: " + SimLog::DescribeByte(byte) + " from the station aborts the answer");
    HangUpByStation("answer aborted");
    Send(Result::kNoCarrier);
    return;
  }
  if (echo_)
    to_station_.push_back(static_cast<char>(byte));
  if (byte == registers_[kRegCr]) {
    if (in_line_) {
      std::string body = line_;
      in_line_ = false;
      line_.clear();
      ExecuteLine(body);
    }
    saw_a_ = false;
    return;
  }
  if (byte == registers_[kRegLf])
    return;
  if (byte == registers_[kRegBackspace]) {
    if (in_line_ && !line_.empty())
      line_.pop_back();
    return;
  }
  if (!in_line_) {
    // Everything before "AT" is ignored (a stray "+++" in command mode, say).
    if (byte == 'A' || byte == 'a') {
      saw_a_ = true;
    } else if (saw_a_ && (byte == 'T' || byte == 't')) {
      in_line_ = true;
      line_.clear();
      saw_a_ = false;
    } else {
      saw_a_ = false;
    }
    return;
  }
  if (line_.size() <= kMaxCommandLine)
    line_.push_back(static_cast<char>(byte));
}

void ModemEmulator::ExecuteLine(const std::string& body) {
  ++command_lines_;
  log_.Line("modem: command AT" + SimLog::Printable(body));
  std::string up = body;
  for (char& c : up)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  std::size_t i = 0;
  auto number = [&](int absent) {
    if (i >= up.size() || !std::isdigit(static_cast<unsigned char>(up[i])))
      return absent;
    int value = 0;
    while (i < up.size() && std::isdigit(static_cast<unsigned char>(up[i]))) {
      value = std::min(value * 10 + (up[i] - '0'), 100000);
      ++i;
    }
    return value;
  };

  bool error = up.size() > kMaxCommandLine;
  bool result_given = false;  // A and O answer with CONNECT or NO CARRIER later, not OK
  while (!error && !result_given && i < up.size()) {
    char command = up[i++];
    switch (command) {
      case ' ':
        break;
      case 'A':
        if (state_ != State::kIdle) {
          error = true;
        } else {
          Answer();
          result_given = true;
        }
        break;
      case 'E': {
        int n = number(0);
        if (n > 1)
          error = true;
        else
          echo_ = n == 1;
        break;
      }
      case 'H': {
        int n = number(0);
        if (n == 0)
          HangUpByStation("ATH0");
        else if (n != 1)
          error = true;
        break;
      }
      case 'I':
        number(0);
        if (!quiet_)
          to_station_ += std::string("\r\n") + kIdentification + "\r\n";
        break;
      case 'Q': {
        int n = number(0);
        if (n > 1)
          error = true;
        else
          quiet_ = n == 1;
        break;
      }
      case 'V': {
        int n = number(0);
        if (n > 1)
          error = true;
        else
          verbose_ = n == 1;
        break;
      }
      case 'B':
      case 'C':
      case 'L':
      case 'M':
      case 'N':
      case 'P':
      case 'T':
      case 'W':
      case 'X':
      case 'Y':
        // Speaker, dialling method, result-code set and the like: nothing to simulate.
        number(0);
        break;
      case '&':
        if (i < up.size() && std::isalpha(static_cast<unsigned char>(up[i]))) {
          ++i;
          number(0);
        } else {
          error = true;
        }
        break;
      case 'O':
        number(0);
        if (state_ != State::kOnlineCommand) {
          error = true;
        } else {
          state_ = State::kOnline;
          last_data_ = clock_.Monotonic();
          pluses_ = 0;
          log_.Line("modem: back to data mode");
          Send(Result::kConnect);
          result_given = true;
        }
        break;
      case 'S': {
        int reg = number(-1);
        if (reg < 0 || reg >= kRegisterCount || i >= up.size()) {
          error = true;
        } else if (up[i] == '=') {
          ++i;
          int value = number(-1);
          if (value < 0 || value > kMaxRegisterValue) {
            error = true;
          } else {
            registers_[static_cast<std::size_t>(reg)] = value;
            if (listener_ != nullptr)
              listener_->OnRegisterWritten(reg, value);
          }
        } else if (up[i] == '?') {
          ++i;
          char text[16];
          std::snprintf(text, sizeof text, "\r\n%03d\r\n",
                        registers_[static_cast<std::size_t>(reg)]);
          if (!quiet_)
            to_station_ += text;
        } else {
          error = true;
        }
        break;
      }
      case 'Z':
        number(0);
        HangUpByStation("ATZ");
        ResetProfile();
        break;
      case 'D':  // dialling out is not what this line is for
      default:
        error = true;
        break;
    }
  }
  if (error) {
    log_.Line("modem: ERROR for AT" + SimLog::Printable(body));
    Send(Result::kError);
  } else if (!result_given) {
    Send(Result::kOk);
  }
  if (settings_.drop_after_commands > 0 && command_lines_ == settings_.drop_after_commands) {
    log_.Line("modem: command line " + std::to_string(command_lines_) +
              ": dropping the connection");
    drop_requested_ = true;
  }
}

void ModemEmulator::Answer() {
  if (!ringing_) {
    log_.Line("modem: answer with no call: NO CARRIER");
    Send(Result::kNoCarrier);
    return;
  }
  ringing_ = false;
  state_ = State::kAnswering;
  answered_at_ = clock_.Monotonic();
  log_.Line("modem: off hook, answering after " + std::to_string(rings_) + " ring(s)" +
            (settings_.withhold_carrier ? "; the carrier will not come" : ""));
  if (listener_ != nullptr)
    listener_->OnAnswering();
}

void ModemEmulator::HangUpByStation(const char* why) {
  if (state_ == State::kIdle)
    return;
  log_.Line(std::string("modem: on hook (") + why + ")");
  state_ = State::kIdle;
  pluses_ = 0;
  if (listener_ != nullptr)
    listener_->OnStationHungUp();
}

void ModemEmulator::DropCarrier() {
  if (state_ == State::kIdle)
    return;
  log_.Line("modem: the far end hung up: NO CARRIER");
  state_ = State::kIdle;
  pluses_ = 0;
  Send(Result::kNoCarrier);
}

void ModemEmulator::StartRinging() {
  if (settings_.switched_off) {
    log_.Line("modem: switched off, the call does not ring");
    return;
  }
  ringing_ = true;
  ring_start_ = clock_.Monotonic();
  rings_ = 0;
  Poll();
}

void ModemEmulator::StopRinging() {
  if (!ringing_)
    return;
  ringing_ = false;
  log_.Line("modem: the caller gave up after " + std::to_string(rings_) + " ring(s)");
}

void ModemEmulator::Send(Result result) {
  if (quiet_)
    return;
  static constexpr const char* kTexts[] = {"OK", kConnectText, "RING", "NO CARRIER", "ERROR"};
  static constexpr const char* kCodes[] = {"0", "1", "2", "3", "4"};
  auto index = static_cast<std::size_t>(result);
  if (verbose_) {
    to_station_ += std::string("\r\n") + kTexts[index] + "\r\n";
  } else {
    to_station_ += std::string(kCodes[index]) + "\r";
  }
}

bool ModemEmulator::FromFarEnd(std::string_view bytes) {
  if (state_ != State::kOnline)
    return false;
  to_station_.append(bytes);
  return true;
}

std::string ModemEmulator::TakeToStation() {
  std::string out;
  out.swap(to_station_);
  return out;
}

void ModemEmulator::Poll() {
  if (settings_.switched_off)
    return;
  TimePoint now = clock_.Monotonic();
  if (ringing_) {
    auto begun = static_cast<int>((now - ring_start_) / kRingPeriod) + 1;
    while (rings_ < begun) {
      ++rings_;
      log_.Line("modem: RING " + std::to_string(rings_));
      Send(Result::kRing);
    }
    int auto_answer = registers_[kRegAutoAnswerRings];
    if (auto_answer > 0 && rings_ >= auto_answer && state_ == State::kIdle) {
      log_.Line("modem: automatic answer");
      Answer();
    }
  }
  if (state_ == State::kAnswering && !settings_.withhold_carrier &&
      now - answered_at_ >= settings_.carrier_delay) {
    state_ = State::kOnline;
    last_data_ = now;
    pluses_ = 0;
    log_.Line("modem: carrier up, data mode");
    Send(Result::kConnect);
    if (listener_ != nullptr)
      listener_->OnConnected();
  }
  CompleteEscapeIfDue(now);
}

void ModemEmulator::CompleteEscapeIfDue(TimePoint now) {
  if (state_ == State::kOnline && pluses_ == 3 && now - last_plus_ >= GuardTime()) {
    state_ = State::kOnlineCommand;
    pluses_ = 0;
    log_.Line("modem: \"+++\" with its guard time: command mode, carrier kept");
    Send(Result::kOk);
  }
}

std::optional<TimePoint> ModemEmulator::NextDeadline() const {
  if (settings_.switched_off)
    return std::nullopt;
  std::optional<TimePoint> next;
  auto consider = [&](TimePoint t) {
    if (!next || t < *next)
      next = t;
  };
  if (ringing_) {
    auto elapsed = clock_.Monotonic() - ring_start_;
    auto periods = elapsed / kRingPeriod;
    TimePoint period_start = ring_start_ + periods * kRingPeriod;
    consider(elapsed % kRingPeriod < kRingOn ? period_start + kRingOn : period_start + kRingPeriod);
  }
  if (state_ == State::kAnswering && !settings_.withhold_carrier)
    consider(answered_at_ + settings_.carrier_delay);
  if (state_ == State::kOnline && pluses_ == 3)
    consider(last_plus_ + GuardTime());
  return next;
}

std::uint32_t ModemEmulator::Status() const {
  if (settings_.switched_off)
    return 0;
  std::uint32_t word = kLineCts | kLineDsr;
  if (ringing_ && (clock_.Monotonic() - ring_start_) % kRingPeriod < kRingOn)
    word |= kLineRing;
  if (state_ == State::kOnline || state_ == State::kOnlineCommand)
    word |= kLineCarrier;
  return word;
}

}  // namespace davrilon::linesim
