// The modem's commands: writing one, setting the modem up for calls, and
// answering a call. The station never reads the modem's replies; it learns
// about the modem from the modem status word alone.
#include "modem/modem.h"

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace davrilon {

namespace {

using std::chrono::seconds;

constexpr std::string_view kEscapeCommand = "+++";  // back to command mode; sent without CR
constexpr std::string_view kHangUpCommand = "ATH0";
constexpr std::string_view kResetCommand = "ATZ0";  // stored profile 0
constexpr std::string_view kEchoOffCommand = "ATE0";
constexpr std::string_view kSpeakerLoudCommand = "ATM1L2";  // on while dialling, medium volume
constexpr std::string_view kSpeakerOffCommand = "ATM0";
constexpr std::string_view kAutoAnswerOffCommand = "ATS0=0";
constexpr std::string_view kAnswerCommand = "ATHA";
constexpr char kCarriageReturn = '\r';

// Nothing but time separates two commands: the modem is given this long after
// "+++", "ATH0" and "ATE0" before the next command goes out.
constexpr seconds kCommandSettleTime{1};
constexpr seconds kNoPause{0};
// A Hayes modem takes "+++" as the escape only after a guard time of silence
// on the line (register S12, 1 s by default); without it the three characters
// are data for the centre, and so is every command after them. The exchange's
// last bytes go out just before the set-up, so the line is kept quiet this long
// first.
constexpr seconds kEscapeGuardTime{1};

// The carrier is looked for once a second, at most sixty times.
constexpr seconds kCarrierPollInterval{1};
constexpr seconds kCarrierWait{60};
constexpr int kCarrierPolls = static_cast<int>(kCarrierWait / kCarrierPollInterval);

void Pause(Station& s, seconds how_long) {
  s.clock.PauseSeconds(static_cast<int>(how_long.count()));
}

// One step of the set-up: its log line, its command and what follows.
struct SetUpStep {
  std::string_view log_line;
  std::string_view command;
  bool carriage_return;
  seconds pause_after;
  std::string_view failure_line;
};

constexpr SetUpStep kEscapeStep{"Ustawienie trybu rozkazów", kEscapeCommand, false,
                                kCommandSettleTime, "Nie zresetowano modemu"};
constexpr SetUpStep kHangUpStep{"Odłożenie słuchawki", kHangUpCommand, true, kCommandSettleTime,
                                "Nie zresetowano modemu"};
constexpr SetUpStep kResetStep{"Reset modemu", kResetCommand, true, kNoPause,
                               "Nie zresetowano modemu"};
constexpr SetUpStep kEchoOffStep{"Wylaczenie ECHA", kEchoOffCommand, true, kCommandSettleTime,
                                 "Nie wylaczono echa"};
constexpr SetUpStep kSpeakerLoudStep{"Ustawienie glosnosci na glosny", kSpeakerLoudCommand, true,
                                     kNoPause, "Nie ustawiono glosnosci"};
constexpr SetUpStep kSpeakerOffStep{"Ustawienie glosnosci na cichy", kSpeakerOffCommand, true,
                                    kNoPause, "Nie wylaczono glosnika"};
constexpr SetUpStep kAutoAnswerOffStep{"Autoodpowiedź natychmiastowa", kAutoAnswerOffCommand, true,
                                       kNoPause, "Nie ustawiono autoodpowiedzi"};

}  // namespace

int SendModemCommand(Station& s, SerialPort& port, std::string_view command, bool carriage_return) {
  std::string bytes(command);
  if (carriage_return)
    bytes.push_back(kCarriageReturn);

  // The count written is not looked at: a write that ends by its time-out
  // still counts as sent.
  std::uint32_t written = 0;
  const std::span<const std::uint8_t> out(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                          bytes.size());
  if (port.Write(out, written))
    return 1;

  s.log.Line("BŁąd wysyłania znakow ", bytes);
  // From here on the station has no modem until it is started again; the
  // port is closed once, not again by later commands that fail on it. A
  // network port whose access server went away is left open: it connects
  // again by itself, and the modem is then set up again.
  if (!port.is_closed() && !port.WillReconnect())
    port.Close();
  return 0;
}

int SetUpModem(Station& s, SerialPort& port, bool escape) {
  std::vector<SetUpStep> steps;
  if (escape) {
    if (!port.is_closed())
      Pause(s, kEscapeGuardTime);
    steps.push_back(kEscapeStep);
  }
  steps.push_back(kHangUpStep);
  steps.push_back(kResetStep);
  steps.push_back(kEchoOffStep);
  steps.push_back(s.config.loud ? kSpeakerLoudStep : kSpeakerOffStep);
  steps.push_back(kAutoAnswerOffStep);

  for (const SetUpStep& step : steps) {
    s.log.Line(step.log_line);
    if (SendModemCommand(s, port, step.command, step.carriage_return) == 0) {
      s.log.Line(step.failure_line);
      return 0;
    }
    if (step.pause_after != kNoPause)
      Pause(s, step.pause_after);
  }
  s.log.Line("Modem został ustawiony");
  return 1;
}

int AnswerCall(Station& s, SerialPort& port) {
  if (SendModemCommand(s, port, kAnswerCommand, /*carriage_return=*/true) == 0) {
    s.log.Line("Nie przejęto polączenia");
    return 0;
  }
  // The first poll follows the command at once. A status read that fails is
  // a poll without the carrier.
  for (int poll = 1; poll <= kCarrierPolls; ++poll) {
    std::uint32_t status = 0;
    if (port.GetModemStatus(status) && (status & MS_RLSD_ON) != 0) {
      s.log.Line("Wykryto falę nośną :", status);
      s.log.Line("Polączenie zostało nawiązane");
      return 1;
    }
    Pause(s, kCarrierPollInterval);
    // A stop signal ends the wait: the station is about to close the port.
    if (s.StopRequested())
      return 0;
  }
  s.log.Line("Nie wykryto fali nośnej przez 60 s");
  return 0;
}

}  // namespace davrilon
