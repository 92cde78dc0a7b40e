#include "linesim/line.h"

namespace davrilon::linesim {

Line::Line(Clock& clock, SimLog& log, ModemSettings modem, CentreSettings centre, CallPlan plan,
           Report& report)
    : clock_(clock),
      log_(log),
      plan_(std::move(plan)),
      withhold_always_(modem.withhold_carrier),
      modem_(clock, log, modem),
      centre_(clock, log, std::move(centre), report) {
  modem_.set_listener(this);
  if (plan_.calls == 0)
    stage_ = Stage::kDone;
}

void Line::FromStation(std::string_view bytes) {
  modem_.FromStation(bytes);
  Pump();
}

void Line::StationGone() {
  modem_.StationGone();
  Pump();
}

bool Line::done() const {
  return plan_.calls > 0 && stage_ == Stage::kDone &&
         (set_up_after_last_ || clock_.Monotonic() >= finished_at_ + kFinishLinger);
}

void Line::OnRegisterWritten(int reg, int /*value*/) {
  if (reg != kRegAutoAnswerRings)
    return;
  if (stage_ == Stage::kDone && plan_.calls > 0 && !set_up_after_last_) {
    set_up_after_last_ = true;
    log_.Line("line: the station set its modem up again after the last call");
  }
  if (stage_ != Stage::kWaitingForSetUp)
    return;
  ring_at_ = clock_.Monotonic() + plan_.ring_after;
  stage_ = Stage::kWaitingToRing;
  log_.Line("line: the station's modem is set up; call 1 rings in " +
            std::to_string(plan_.ring_after.count()) + " ms");
}

void Line::StartCall() {
  ++call_;
  centre_.BeginCall(call_);
  modem_.set_withhold_carrier(withhold_always_ || plan_.no_carrier_calls.count(call_) > 0);
  stage_ = Stage::kRinging;
  ring_started_ = clock_.Monotonic();
  log_.Line("line: call " + std::to_string(call_) + " of " + std::to_string(plan_.calls) +
            " rings");
  modem_.StartRinging();
}

void Line::OnAnswering() {
  if (stage_ != Stage::kRinging)
    return;
  stage_ = Stage::kAnswering;
  answered_at_ = clock_.Monotonic();
}

void Line::OnConnected() {
  if (stage_ != Stage::kAnswering)
    return;
  stage_ = Stage::kConnected;
  centre_.OnConnected();
}

void Line::OnDataFromStation(std::string_view bytes) {
  if (stage_ == Stage::kConnected)
    centre_.OnBytes(bytes);
}

void Line::OnStationHungUp() {
  if (stage_ == Stage::kAnswering) {
    EndCall("the station hung up before the carrier came");
  } else if (stage_ == Stage::kConnected) {
    EndCall("the station hung up");
  }
}

void Line::EndCall(const std::string& how) {
  centre_.EndCall(how);
  ++calls_ended_;
  if (call_ < plan_.calls) {
    stage_ = Stage::kWaitingToRing;
    ring_at_ = clock_.Monotonic() + plan_.between_calls;
  } else {
    stage_ = Stage::kDone;
    finished_at_ = clock_.Monotonic();
    log_.Line("line: all " + std::to_string(plan_.calls) + " call(s) made");
  }
}

void Line::Pump() {
  std::string out = centre_.TakeOutput();
  if (out.empty())
    return;
  if (!modem_.FromFarEnd(out))
    log_.Line("line: " + std::to_string(out.size()) +
              " byte(s) from the centre lost: no data mode");
}

void Line::Poll() {
  TimePoint now = clock_.Monotonic();
  if (stage_ == Stage::kWaitingToRing && now >= ring_at_)
    StartCall();
  if (stage_ == Stage::kRinging && now >= ring_started_ + plan_.max_rings * kRingPeriod) {
    modem_.StopRinging();
    EndCall("not answered after " + std::to_string(plan_.max_rings) + " rings");
  }
  if (stage_ == Stage::kAnswering && now >= answered_at_ + kAnswerGiveUp) {
    modem_.DropCarrier();
    EndCall("no carrier; the caller gave up");
  }
  modem_.Poll();
  if (stage_ == Stage::kConnected) {
    centre_.Poll();
    if (centre_.wants_hang_up()) {
      std::string reason = centre_.give_up_reason();
      modem_.DropCarrier();
      EndCall("the centre hung up: " + reason);
    }
  }
  Pump();
}

std::optional<TimePoint> Line::NextDeadline() const {
  std::optional<TimePoint> next = modem_.NextDeadline();
  auto consider = [&](std::optional<TimePoint> t) {
    if (t && (!next || *t < *next))
      next = t;
  };
  switch (stage_) {
    case Stage::kWaitingToRing:
      consider(ring_at_);
      break;
    case Stage::kRinging:
      consider(ring_started_ + plan_.max_rings * kRingPeriod);
      break;
    case Stage::kAnswering:
      consider(answered_at_ + kAnswerGiveUp);
      break;
    case Stage::kConnected:
      consider(centre_.NextDeadline());
      break;
    case Stage::kDone:
      if (plan_.calls > 0 && !set_up_after_last_)
        consider(finished_at_ + kFinishLinger);
      break;
    case Stage::kWaitingForSetUp:
      break;
  }
  return next;
}

}  // namespace davrilon::linesim
