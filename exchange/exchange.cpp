// TEMPORARY placeholder until the exchange lands.
#include "exchange/exchange.h"

namespace davrilon {

int RunExchange(Station&, SerialPort&) { return 0; }

}  // namespace davrilon
