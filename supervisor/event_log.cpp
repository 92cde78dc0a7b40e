#include "supervisor/event_log.h"

#include <array>
#include <cstdio>

#include "platform/clock.h"
#include "supervisor/cp1250.h"

namespace davrilon {

bool EventLog::Open(const std::filesystem::path& path) {
  used_ = 0;
  return file_.Open(path);
}

void EventLog::Close() {
  Flush();
  file_.Close();
}

void EventLog::Append(std::string_view text) {
  AppendBytes(Utf8ToCp1250(text));
}

void EventLog::Append(RawByte raw) {
  char c = static_cast<char>(raw.byte);
  AppendBytes(std::string_view(&c, 1));
}

void EventLog::Append(std::int32_t value) {
  AppendBytes(std::to_string(value));
}

void EventLog::Append(std::uint32_t value) {
  AppendBytes(std::to_string(value));
}

void EventLog::AppendBytes(std::string_view bytes) {
  if (!file_.is_open())
    return;
  auto put = [this](char c) {
    if (used_ == kBufferSize)
      Flush();
    buffer_[used_++] = c;
  };
  for (char c : bytes) {
    if (c == '\n')
      put('\r');
    put(c);
  }
}

void EventLog::Flush() {
  if (used_ == 0)
    return;
  file_.Write(buffer_, used_);  // a failed write is lost and not reported
  used_ = 0;
}

std::string EventLog::TimeStampText(std::time_t now) {
  static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm t = ToLocalTime(now);
  char text[32];
  std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %04d\n", kDays[t.tm_wday % 7],
                kMonths[t.tm_mon % 12], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1900);
  return text;
}

void EventLog::TimeStamp(std::time_t now) {
  Line(TimeStampText(now));
}

}  // namespace davrilon
