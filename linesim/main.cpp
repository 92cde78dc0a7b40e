// davrilon-sim: the far end of the store's cable for runs without hardware.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "linesim/line.h"
#include "linesim/options.h"
#include "linesim/rfc2217_server.h"
#include "linesim/sim_log.h"
#include "platform/clock.h"
#include "platform/signals.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

// Written under a temporary name and renamed, so a reader never sees half a number.
bool WritePortFile(const std::string& path, std::uint16_t port) {
  std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << port << '\n';
    if (!out)
      return false;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  return !ec;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace davrilon;
  using namespace davrilon::linesim;

  std::vector<std::string> args(argv + 1, argv + argc);
  ParsedOptions parsed = ParseOptions(args);
  if (!parsed.options) {
    if (parsed.error.empty()) {
      std::cout << UsageText();
      return 0;
    }
    std::cerr << "davrilon-sim: " << parsed.error << "\n" << UsageText();
    return kExitUsage;
  }
  SimOptions& options = *parsed.options;
  if (auto error = LoadDownload(options)) {
    std::cerr << "davrilon-sim: " << *error << "\n";
    return kExitUsage;
  }

  std::ofstream log_file;
  std::ostream* log_stream = &std::cerr;
  if (!options.log.empty()) {
    log_file.open(options.log, std::ios::app);
    if (!log_file) {
      std::cerr << "davrilon-sim: cannot open the log " << options.log << "\n";
      return kExitUsage;
    }
    log_stream = &log_file;
  }
  Report report(options.report);
  if (!report.ok()) {
    std::cerr << "davrilon-sim: cannot open the report " << options.report << "\n";
    return kExitUsage;
  }

  InstallStopSignalHandlers();
  Clock& clock = SystemClock();
  SimLog log(clock, log_stream);
  Line line(clock, log, options.modem, options.centre, options.plan, report);
  Rfc2217Server server(clock, log, line);
  if (!server.Listen(options.port)) {
    std::cerr << "davrilon-sim: cannot listen on 127.0.0.1:" << options.port << "\n";
    return kExitFailure;
  }
  if (!options.port_file.empty() && !WritePortFile(options.port_file, server.port())) {
    std::cerr << "davrilon-sim: cannot write " << options.port_file << "\n";
    return kExitFailure;
  }
  std::cerr << "davrilon-sim listening on 127.0.0.1:" << server.port() << std::endl;
  server.Run([] { return StopSignalNumber() != 0; }, options.exit_after_calls);
  log.Line("davrilon-sim: stopped");
  return 0;
}
