// The far end of the store's cable as a whole: the modem, the centre behind
// it, and the plan of calls (when the centre rings, how often, and for how
// long it lets the phone ring). Pure logic on a clock; the RFC 2217 server
// feeds it bytes and sends what it answers.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "linesim/centre.h"
#include "linesim/modem_emulator.h"
#include "linesim/sim_log.h"
#include "platform/clock.h"

namespace davrilon::linesim {

// The caller gives up a call not answered within this many rings, and one
// answered whose carrier never comes after this long.
constexpr int kDefaultMaxRings = 15;
constexpr Millis kAnswerGiveUp{90'000};
// After the last call, the station gets this long to set its modem up again
// before the line counts as finished.
constexpr Millis kFinishLinger{10'000};

struct CallPlan {
  int calls = 0;               // 0: modem only, never rings
  Millis ring_after{2000};     // from the station's modem set-up (S0 written) to the first ring
  Millis between_calls{2000};  // from the end of a call to the next ring
  int max_rings = kDefaultMaxRings;
  std::set<int> no_carrier_calls;  // calls (from 1) whose carrier is withheld
};

class Line : private ModemListener {
 public:
  Line(Clock& clock, SimLog& log, ModemSettings modem, CentreSettings centre, CallPlan plan,
       Report& report);

  void FromStation(std::string_view bytes);
  std::string TakeToStation() { return modem_.TakeToStation(); }
  void PurgeToStation() { modem_.PurgeToStation(); }
  std::uint32_t Status() const { return modem_.Status(); }
  void Poll();
  std::optional<TimePoint> NextDeadline() const;
  // The station's port closed (its connection ended).
  void StationGone();

  bool drop_requested() const { return modem_.drop_requested(); }
  void clear_drop_request() { modem_.clear_drop_request(); }
  // Every planned call has been made and has ended, and the station has set
  // its modem up again (or had kFinishLinger to do so).
  bool done() const;
  int calls_ended() const { return calls_ended_; }

  ModemEmulator& modem() { return modem_; }
  Centre& centre() { return centre_; }

 private:
  enum class Stage { kWaitingForSetUp, kWaitingToRing, kRinging, kAnswering, kConnected, kDone };

  void OnRegisterWritten(int reg, int value) override;
  void OnAnswering() override;
  void OnConnected() override;
  void OnDataFromStation(std::string_view bytes) override;
  void OnStationHungUp() override;

  void StartCall();
  void EndCall(const std::string& how);
  void Pump();

  Clock& clock_;
  SimLog& log_;
  CallPlan plan_;
  bool withhold_always_;
  ModemEmulator modem_;
  Centre centre_;

  Stage stage_ = Stage::kWaitingForSetUp;
  int call_ = 0;
  int calls_ended_ = 0;
  TimePoint ring_at_{};
  TimePoint ring_started_{};
  TimePoint answered_at_{};
  TimePoint finished_at_{};
  bool set_up_after_last_ = false;
};

}  // namespace davrilon::linesim
