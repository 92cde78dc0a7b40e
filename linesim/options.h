// The simulator's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "linesim/centre.h"
#include "linesim/line.h"
#include "linesim/modem_emulator.h"

namespace davrilon::linesim {

struct SimOptions {
  std::uint16_t port = 0;  // 0: any free port
  std::string port_file;
  std::string report;
  std::string log;  // empty: stderr
  std::string send_file;
  bool exit_after_calls = false;
  ModemSettings modem;
  CentreSettings centre;
  CallPlan plan;
};

struct ParsedOptions {
  std::optional<SimOptions> options;  // none on an error or for --help
  std::string error;                  // empty for --help
};

// Parses the arguments after the program name. Does not read any file.
ParsedOptions ParseOptions(const std::vector<std::string>& args);

// Reads --send's file into the centre settings; an error text on failure.
std::optional<std::string> LoadDownload(SimOptions& options);

// The --help text.
const char* UsageText();

}  // namespace davrilon::linesim
