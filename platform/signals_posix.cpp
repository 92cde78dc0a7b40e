#include "platform/signals.h"

#include <csignal>
#include <initializer_list>

namespace davrilon {
namespace {

volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void OnStopSignal(int number) {
  if (g_stop_signal == 0)
    g_stop_signal = number;
}

}  // namespace

void InstallStopSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a pause or a read ends early and the loop looks
  for (int number : {SIGTERM, SIGINT, SIGHUP})
    sigaction(number, &action, nullptr);
  // A companion program or a peer that goes away must not kill the station.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  // A companion program that opens a progress file while the station holds
  // its read lease for a moment must not kill the station with the lease's
  // signal either (taking the lease makes the station its owner until the
  // owner is cleared).
  sigaction(SIGIO, &ignore, nullptr);
}

int StopSignalNumber() {
  return g_stop_signal;
}

}  // namespace davrilon
