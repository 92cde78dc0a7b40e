// MODEM.CFG: four lines, each read with a fixed width, of which only the first
// character counts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "supervisor/station.h"

namespace davrilon {

// Reads lines the way the station always has: a line is taken whole when it
// holds at most `width` characters before its line end, and the line end is
// consumed. A longer line gives its first `width` characters, but reading
// stops there: every later line reads as empty. A missing line reads as empty.
// Carriage returns are dropped, so CR LF and LF files read alike.
class FixedWidthLines {
 public:
  explicit FixedWidthLines(std::string_view content);
  std::string Next(std::size_t width);

 private:
  std::string text_;  // content without carriage returns
  std::size_t pos_ = 0;
  bool stopped_ = false;
};

struct ModemCfg {
  bool port_ok = false;  // line 1 is a digit 1 to 9
  StationConfig config;  // port name, flags
  char mode = '\0';      // first character of line 3 ('3', '4' or other)
};

// Interprets the content of MODEM.CFG.
ModemCfg ParseModemCfg(std::string_view content);

}  // namespace davrilon
