#include "supervisor/config.h"

namespace davrilon {

namespace {
constexpr std::size_t kPortLineWidth = 1;
constexpr std::size_t kOtherLineWidth = 9;
}  // namespace

FixedWidthLines::FixedWidthLines(std::string_view content) {
  for (char c : content)
    if (c != '\r')
      text_.push_back(c);
}

std::string FixedWidthLines::Next(std::size_t width) {
  if (stopped_ || pos_ >= text_.size())
    return {};
  std::size_t end = text_.find('\n', pos_);
  std::size_t length = (end == std::string::npos ? text_.size() : end) - pos_;
  if (length > width) {
    stopped_ = true;
    return text_.substr(pos_, width);
  }
  std::string line = text_.substr(pos_, length);
  pos_ += length + 1;  // the line end is consumed with the line
  return line;
}

ModemCfg ParseModemCfg(std::string_view content) {
  ModemCfg cfg;
  FixedWidthLines lines(content);
  std::string port = lines.Next(kPortLineWidth);
  if (port.empty() || port[0] < '1' || port[0] > '9')
    return cfg;
  cfg.port_ok = true;
  cfg.config.port_name = std::string("COM") + port[0];
  lines.Next(kOtherLineWidth);  // line 2: read and not used
  std::string mode = lines.Next(kOtherLineWidth);
  cfg.mode = mode.empty() ? '\0' : mode[0];
  if (cfg.mode == '3') {
    cfg.config.network = 1;
  } else if (cfg.mode == '4') {
    cfg.config.network = 1;
    cfg.config.modem_in_use = 0;
  }
  std::string speaker = lines.Next(kOtherLineWidth);
  cfg.config.loud = (!speaker.empty() && speaker[0] == '1') ? 1 : 0;
  return cfg;
}

}  // namespace davrilon
