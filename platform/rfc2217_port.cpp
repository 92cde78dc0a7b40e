#include "platform/rfc2217_port.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace davrilon {

namespace {

constexpr unsigned kLargestTcpPort = 65535;

bool IsTcpPort(std::string_view text) {
  if (text.empty() || text.size() > 5)
    return false;
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= 1 &&
         value <= kLargestTcpPort;
}

}  // namespace

bool HasNetworkPortScheme(std::string_view text) {
  if (text.size() < kNetworkPortScheme.size())
    return false;
  for (std::size_t i = 0; i < kNetworkPortScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != kNetworkPortScheme[i])
      return false;
  }
  return true;
}

std::optional<NetworkPortAddress> ParseNetworkPortAddress(std::string_view text) {
  if (!HasNetworkPortScheme(text))
    return std::nullopt;
  text.remove_prefix(kNetworkPortScheme.size());
  std::string_view host;
  std::string_view port;
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
      return std::nullopt;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos)
      return std::nullopt;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos)
      return std::nullopt;  // bare IPv6: brackets needed
  }
  if (host.empty() || host.find('/') != std::string_view::npos || !IsTcpPort(port))
    return std::nullopt;
  return NetworkPortAddress{std::string(host), std::string(port)};
}

void ReconnectSchedule::Lost(TimePoint now) {
  if (!next_attempt_)
    next_attempt_ = now + wait_;
}

bool ReconnectSchedule::Due(TimePoint now) const {
  return next_attempt_ && now >= *next_attempt_;
}

void ReconnectSchedule::AttemptFailed(TimePoint now) {
  wait_ = std::min(wait_ * 2, kLongestWait);
  next_attempt_ = now + wait_;
}

void ReconnectSchedule::Reconnected() {
  next_attempt_.reset();
  wait_ = kFirstWait;
}

}  // namespace davrilon
