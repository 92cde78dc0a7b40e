// The supervisor loop: what the station does all day.
#include <cstdint>

#include "companion/companion.h"
#include "supervisor/supervisor.h"

namespace davrilon {

namespace {

constexpr int kMarkColumn = 40;
constexpr int kMarkRow = 21;
constexpr int kCtrlK = 11;
constexpr int kPassPauseSeconds = 1;

constexpr std::string_view kOfferUpdateFile = "wysylka.pc";
constexpr std::string_view kStopFile = "koniec.pc";
constexpr std::string_view kMorningFile = "rano.pc";
constexpr std::string_view kNetworkStartFile = "DETAL\\START.PC";

// Why a pass left the loop, or kNone.
enum class Stop { kNone, kByFile, kByKey, kBySignal };

// A stop signal is a stop request like koniec.pc: it is looked for before
// every companion run and before the call check, so nothing new is started
// after it, and once more after each of them, which may have waited long.
bool StoppedBySignal(Station& s) {
  const int number = s.stop_signal();
  if (number == 0)
    return false;
  s.log.Line("Program zakończony sygnałem ", static_cast<std::int32_t>(number));
  return true;
}

Stop OnePass(Station& s, SerialPort* port, int& mark_state, bool& stop_key) {
  s.console.SetTextColour(kYellow);
  s.console.SetBackgroundColour(kRed);
  s.console.PutCursor(kMarkColumn, kMarkRow);
  const char mark[] = {ActivityMark(mark_state), '\0'};
  s.console.WriteAtCursor(mark);
  mark_state = mark_state % 4 + 1;

  s.clock.PauseSeconds(kPassPauseSeconds);

  if (StoppedBySignal(s))
    return Stop::kBySignal;

  if (s.files.IsPresent(kOfferUpdateFile)) {
    s.log.Line("Aktualizacja ofert");
    companion::Run(s.runner, s.log, companion::kOfferUpdate);
    if (StoppedBySignal(s))
      return Stop::kBySignal;
  }

  if (s.files.IsPresent(kStopFile)) {
    s.log.Line("Zdalne zakończenie");
    s.files.Remove(kStopFile);
    return Stop::kByFile;
  }

  // Every waiting key is read and thrown away; only Ctrl+K means anything.
  while (s.console.KeyWaiting()) {
    if (s.console.ReadKey() == kCtrlK)
      stop_key = true;
  }
  if (stop_key) {
    s.log.Line("Program zakończony klawiszem");
    return Stop::kByKey;
  }

  if (s.files.IsPresent(kMorningFile)) {
    s.log.Line("Ranne przygotowanie danych");
    companion::Run(s.runner, s.log, companion::kMorning);
    s.files.Remove(kMorningFile);
    if (StoppedBySignal(s))
      return Stop::kBySignal;
  }

  if (s.config.modem_in_use) {
    const bool answered_or_no_call = CallCheck(s, port);
    if (StoppedBySignal(s))
      return Stop::kBySignal;
    if (!answered_or_no_call)
      return Stop::kNone;
  }

  if (s.config.network && s.files.IsPresent(kNetworkStartFile)) {
    s.log.Line("Start przekazywania danych siecia");
    companion::Run(s.runner, s.log, companion::kNetworkLaunch);
    s.console.SetTitle(kWindowTitle);
    if (StoppedBySignal(s))
      return Stop::kBySignal;
  }
  return Stop::kNone;
}

}  // namespace

char ActivityMark(int state) {
  static constexpr char kMarks[] = {'|', '/', '-', '\\'};
  return kMarks[(state - 1) % 4];
}

void RunSupervisorLoop(Station& s, SerialPort* port) {
  int mark_state = 1;
  bool stop_key = false;
  while (OnePass(s, port, mark_state, stop_key) == Stop::kNone) {
  }
  // The port is closed at most once: not again when a failed modem command
  // closed it during the day.
  if (port != nullptr && !port->is_closed())
    port->Close();
  s.log.Line("Port został zamknięty");
  s.TimeStamp();
  s.log.Close();
  s.guard.Close();
}

}  // namespace davrilon
