// The simulator's own log: one line per thing seen on the line, stamped with
// the seconds since the simulator started.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace davrilon::linesim {

class SimLog {
 public:
  // `out` may be null: the lines are then only kept (for tests).
  SimLog(Clock& clock, std::ostream* out);

  void Line(std::string_view text);

  // Keeps every line (without its time stamp) in `lines`; for tests.
  void KeepLines(bool keep) { keep_ = keep; }
  std::vector<std::string> lines;

  // "0x05 ENQ", "0x41 'A'": a byte as the log shows it.
  static std::string DescribeByte(unsigned char byte);
  // Printable ASCII as it stands, every other byte as "<0D>".
  static std::string Printable(std::string_view bytes);

 private:
  Clock& clock_;
  std::ostream* out_;
  std::chrono::steady_clock::time_point start_;
  bool keep_ = false;
};

}  // namespace davrilon::linesim
