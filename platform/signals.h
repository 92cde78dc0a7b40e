// Stop requests that come as signals (SIGTERM, SIGINT, SIGHUP on POSIX).
#pragma once

namespace davrilon {

// Installs the handlers. A stop signal only records its number; the supervisor
// loop acts on it at its next pass, so nothing is left half-written.
void InstallStopSignalHandlers();

// The number of the first stop signal received, or 0.
int StopSignalNumber();

}  // namespace davrilon
