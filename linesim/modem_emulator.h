// A Hayes-style modem as the store's cable sees it: AT commands in command
// mode, the "+++" escape with its guard time, ringing with a real cadence,
// answering, the carrier and data mode. Pure logic: it is driven by the bytes
// the station writes and by a clock, and its answers are collected for the
// caller to send.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "linesim/sim_log.h"
#include "platform/clock.h"

namespace davrilon::linesim {

using TimePoint = std::chrono::steady_clock::time_point;
using Millis = std::chrono::milliseconds;

// Lines of the modem status word, as the station reads them.
constexpr std::uint32_t kLineCts = 0x0010;
constexpr std::uint32_t kLineDsr = 0x0020;
constexpr std::uint32_t kLineRing = 0x0040;
constexpr std::uint32_t kLineCarrier = 0x0080;

// Ring cadence: the ring indicator is on this long, then off this long.
constexpr Millis kRingOn{2000};
constexpr Millis kRingOff{4000};
constexpr Millis kRingPeriod = kRingOn + kRingOff;

// Characters and registers of the command language.
constexpr unsigned char kCr = 13;
constexpr unsigned char kLf = 10;
constexpr unsigned char kBackspace = 8;
constexpr unsigned char kEscapeChar = '+';
constexpr int kRegAutoAnswerRings = 0;  // S0: answer after this many rings, 0 = never
constexpr int kRegEscapeChar = 2;       // S2
constexpr int kRegGuardTime = 12;       // S12: escape guard time in fiftieths of a second
constexpr int kRegisterCount = 38;
constexpr Millis kGuardUnit{20};             // one step of S12
constexpr std::size_t kMaxCommandLine = 60;  // longer lines are answered with ERROR

struct ModemSettings {
  bool switched_off = false;      // no lines, no answers: status word 0
  Millis carrier_delay{1000};     // from the answer to the carrier
  bool withhold_carrier = false;  // answers, but the carrier never comes
  int drop_after_commands =
      0;                    // ask for the connection to drop after this many command lines; 0 never
  Millis guard_time{1000};  // the escape's guard time (S12 at power-on and after ATZ)
};

// Told what the modem did that matters beyond its own cable.
class ModemListener {
 public:
  virtual ~ModemListener() = default;
  // A command line wrote an S register (the station's set-up ends with S0).
  virtual void OnRegisterWritten(int /*reg*/, int /*value*/) {}
  // The modem went off hook to answer the ringing call.
  virtual void OnAnswering() {}
  // The carrier came: data mode; bytes now go to the far end.
  virtual void OnConnected() {}
  // Data-mode bytes from the station, for the far end.
  virtual void OnDataFromStation(std::string_view /*bytes*/) {}
  // The station ended the call (hang-up, reset, or a key during the answer).
  virtual void OnStationHungUp() {}
};

class ModemEmulator {
 public:
  enum class State {
    kIdle,           // on hook, command mode
    kAnswering,      // off hook, waiting for the carrier
    kOnline,         // carrier up, data mode
    kOnlineCommand,  // carrier up, command mode after "+++"
  };

  ModemEmulator(Clock& clock, SimLog& log, ModemSettings settings);

  void set_listener(ModemListener* listener) { listener_ = listener; }

  // Bytes the station wrote to its port.
  void FromStation(std::string_view bytes);
  // Bytes from the far end; reach the station only in data mode. Returns
  // whether they were passed on.
  bool FromFarEnd(std::string_view bytes);
  // What the modem sends to the station (echo, result codes, far-end data),
  // taken out.
  std::string TakeToStation();
  // Throws away what is waiting for the station.
  void PurgeToStation() { to_station_.clear(); }

  // Acts on the passing of time: rings, the carrier, the escape's guard time.
  void Poll();
  // When Poll next has something to do; nothing when only bytes can change the state.
  std::optional<TimePoint> NextDeadline() const;

  // The modem status word now.
  std::uint32_t Status() const;

  // An incoming call starts ringing / is given up by the caller.
  void StartRinging();
  void StopRinging();
  // The far end hangs up: the carrier goes, and the modem says NO CARRIER.
  void DropCarrier();

  void set_withhold_carrier(bool withhold) { settings_.withhold_carrier = withhold; }

  State state() const { return state_; }
  bool ringing() const { return ringing_; }
  // Rings announced since the call started ringing.
  int rings() const { return rings_; }
  bool echo() const { return echo_; }
  int reg(int n) const { return registers_[static_cast<std::size_t>(n)]; }
  int command_lines() const { return command_lines_; }
  // The drop after the configured number of command lines is due.
  bool drop_requested() const { return drop_requested_; }
  void clear_drop_request() { drop_requested_ = false; }
  // The station's side of the cable went away (its port closed): like a
  // dropped DTR, this hangs up a call in progress.
  void StationGone() { HangUpByStation("the station's port closed"); }

 private:
  enum class Result { kOk, kConnect, kRing, kNoCarrier, kError };

  void CommandByte(unsigned char byte);
  void DataByte(unsigned char byte, TimePoint now);
  void CompleteEscapeIfDue(TimePoint now);
  void ExecuteLine(const std::string& body);
  void Answer();
  void HangUpByStation(const char* why);
  void Send(Result result);
  void ResetProfile();
  Millis GuardTime() const;

  Clock& clock_;
  SimLog& log_;
  ModemSettings settings_;
  ModemListener* listener_ = nullptr;

  State state_ = State::kIdle;
  std::string to_station_;

  // Command mode.
  bool echo_ = true;
  bool verbose_ = true;
  bool quiet_ = false;
  std::array<int, kRegisterCount> registers_{};
  bool saw_a_ = false;    // an 'A' that may begin "AT"
  bool in_line_ = false;  // "AT" seen, collecting the command line
  std::string line_;
  int command_lines_ = 0;
  bool drop_requested_ = false;

  // Ringing.
  bool ringing_ = false;
  TimePoint ring_start_{};
  int rings_ = 0;

  // Answering and data mode.
  TimePoint answered_at_{};
  TimePoint last_data_{};  // the last byte from the station in data mode
  int pluses_ = 0;         // escape characters seen in a row
  TimePoint last_plus_{};
};

}  // namespace davrilon::linesim
