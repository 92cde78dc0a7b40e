// TEMPORARY placeholder until the modem link lands: a port that cannot be opened.
#include "modem/modem.h"

namespace davrilon {

std::unique_ptr<SerialPort> SetUpPort(Station& s) {
  PortOpenResult opened = OpenSerialPort(s.config.port_name);
  if (!opened.port) {
    s.log.Line("Błąd otwierania połączenia ", opened.error);
    s.log.Close();
    s.guard.Close();
    return nullptr;
  }
  return std::move(opened.port);
}

int SendModemCommand(Station&, SerialPort&, std::string_view, bool) { return 0; }
int SetUpModem(Station&, SerialPort&, bool) { return 0; }
int AnswerCall(Station&, SerialPort&) { return 0; }

}  // namespace davrilon
