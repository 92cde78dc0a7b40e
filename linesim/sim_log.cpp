#include "linesim/sim_log.h"

#include <cstdio>

namespace davrilon::linesim {

SimLog::SimLog(Clock& clock, std::ostream* out)
    : clock_(clock), out_(out), start_(clock.Monotonic()) {}

void SimLog::Line(std::string_view text) {
  if (keep_)
    lines.emplace_back(text);
  if (out_ == nullptr)
    return;
  auto since = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Monotonic() - start_);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%6lld.%03lld] ",
                static_cast<long long>(since.count() / 1000),
                static_cast<long long>(since.count() % 1000));
  *out_ << stamp << text << '\n';
  out_->flush();
}

std::string SimLog::DescribeByte(unsigned char byte) {
  char text[24];
  const char* name = nullptr;
  switch (byte) {
    case 5:
      name = "ENQ";
      break;
    case 6:
      name = "ACK";
      break;
    case 21:
      name = "NAK";
      break;
    default:
      break;
  }
  if (name != nullptr) {
    std::snprintf(text, sizeof text, "0x%02X %s", byte, name);
  } else if (byte >= 0x20 && byte < 0x7F) {
    std::snprintf(text, sizeof text, "0x%02X '%c'", byte, byte);
  } else {
    std::snprintf(text, sizeof text, "0x%02X", byte);
  }
  return text;
}

std::string SimLog::Printable(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      out.push_back(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", byte);
      out += hex;
    }
  }
  return out;
}

}  // namespace davrilon::linesim
