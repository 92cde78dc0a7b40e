// The station's entry point. It takes no arguments and always ends with exit
// value 0; everything it does is written to davrilon.log. Only "--help" and
// "--version" are answered, without touching the working directory, for the
// IT person who tries them; any other argument is ignored as always.
#include <cstdio>
#include <cstdlib>
#include <string_view>

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
constexpr char kUsage[] =
    "Usage: davrilon\n"
    "The store's communication station. It takes no arguments: it works in the\n"
    "current directory (the store directory), reads MODEM.CFG there, answers the\n"
    "centre's calls on the COM port named there and writes davrilon.log.\n"
    "  DAVRILON_COM1..DAVRILON_COM9  where COMn is: a device path or rfc2217://HOST:PORT\n"
    "  DAVRILON_ROOT                 the drive root for \\FONTY\\RUMAX.EXE (default /)\n"
    "It stops on koniec.pc, Ctrl+K, SIGTERM, SIGINT or SIGHUP.\n";

// True when an argument was answered and the station is not to run.
bool AnsweredArgument(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return true;
    }
    if (arg == "--version") {
      std::printf("davrilon %s\n", DAVRILON_VERSION);
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace davrilon;
  if (AnsweredArgument(argc, argv))
    return 0;
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
