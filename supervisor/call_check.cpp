// The call check: step 7 of every pass when the modem is used.
#include <cstdint>

#include "exchange/exchange.h"
#include "modem/modem.h"
#include "supervisor/supervisor.h"

namespace davrilon {

bool CallCheck(Station& s, SerialPort* port) {
  std::uint32_t status = 0;
  if (port == nullptr || !port->GetModemStatus(status)) {
    // A port closed by a failed modem command lands here in every pass.
    s.log.Line("Bląd obsługi zdarzeń na porcie");
    return true;
  }
  if (port->TakeReconnected()) {
    // A network port that lost its access server has connected again; the
    // modem behind it may have been reset or left off hook meanwhile.
    s.log.Line("Port sieciowy połączony ponownie");
    SetUpModem(s, *port, /*escape=*/true);
    return true;
  }
  if ((status & MS_RING_ON) == 0)
    return true;

  s.log.Line("Wykryto sygnał MS_RING :", status);
  s.TimeStamp();
  // A station that is being stopped does not set the modem up again: the
  // port is closed next, and a local port hangs the modem up as it closes.
  if (AnswerCall(s, *port) == 0) {
    s.log.Line("Nie nawiazano polączenia: ");
    if (!s.StopRequested())
      SetUpModem(s, *port, /*escape=*/true);
    return false;
  }
  RunExchange(s, *port);
  if (!s.StopRequested())
    SetUpModem(s, *port, /*escape=*/true);
  return true;
}

}  // namespace davrilon
