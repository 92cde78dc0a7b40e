// The station's entry point. It takes no arguments and always ends with exit
// value 0; everything it does is written to davrilon.log.
#include <cstdlib>

#include "platform/console.h"
#include "platform/file_watch.h"
#include "platform/signals.h"
#include "supervisor/supervisor.h"

namespace {
davrilon::Console* g_console = nullptr;
void RestoreConsole() {
  if (g_console != nullptr)
    g_console->Restore();
}
}  // namespace

int main() {
  using namespace davrilon;
  InstallStopSignalHandlers();
  std::unique_ptr<Console> console = MakeTerminalConsole();
  g_console = console.get();
  std::atexit(RestoreConsole);

  StoreFiles files(".");
  std::unique_ptr<CommandRunner> runner = MakeProcessRunner(files);
  EventLog log;
  GuardFile guard;
  Station station{StationConfig{}, log, *console, SystemClock(), files, *runner, guard};
  // The progress relay waits for the companion program's files without
  // polling the processor away.
  std::unique_ptr<FileWatch> watch = MakeFileWatch();
  station.watch = watch.get();
  RunStation(station);

  console->Restore();
  g_console = nullptr;
  return 0;
}
