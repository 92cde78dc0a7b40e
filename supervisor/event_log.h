// The event log: the station's only record of what it did.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/append_file.h"

namespace davrilon {

// Bytes that came from outside (a received block, a file name from the centre)
// and go into the log exactly as they are, with no code-page conversion.
struct Raw {
  std::string_view bytes;
};
// One byte written as the character it is, not as its number.
struct RawByte {
  std::uint8_t byte;
};

// The log is a text stream on "davrilon.log" in Windows-1250: every newline
// is stored as CR LF, and what is written collects in a 512-byte buffer that
// reaches the file when a log line or a time stamp flushes it, when the buffer
// is full, or when the log is closed. Three forms of writing:
//  - Line(text, values...): the text, the values directly after it, a newline,
//    then a flush.
//  - Bare(texts and values...): written as they stand, no flush; a bare text
//    without its own "\n" runs on into whatever is written next.
//  - TimeStamp(t): "Mon Mar 05 14:03:09 2001" and a newline, then one more
//    newline, flushed.
// Values: station texts (UTF-8 in the source, written in Windows-1250), Raw
// bytes, signed 32-bit numbers (counts, sizes, block numbers) and unsigned
// 32-bit numbers (error numbers, modem status words, byte counts of port
// transfers). Writes return nothing; a failed write is not reported.
class EventLog {
 public:
  static constexpr std::size_t kBufferSize = 512;

  bool Open(const std::filesystem::path& path);
  void Close();
  bool is_open() const { return file_.is_open(); }

  template <typename... Values>
  void Line(const Values&... values) {
    (Append(values), ...);
    AppendBytes("\n");
    Flush();
  }

  template <typename... Values>
  void Bare(const Values&... values) {
    (Append(values), ...);
  }

  void TimeStamp(std::time_t now);

  // The time stamp text for a wall-clock reading: 24 characters and "\n".
  static std::string TimeStampText(std::time_t now);

 private:
  void Append(std::string_view text);
  void Append(const char* text) { Append(std::string_view(text)); }
  void Append(const std::string& text) { Append(std::string_view(text)); }
  void Append(Raw raw) { AppendBytes(raw.bytes); }
  void Append(RawByte raw);
  void Append(std::int32_t value);
  void Append(std::uint32_t value);
  void AppendBytes(std::string_view bytes);  // newline translation and buffering
  void Flush();

  AppendFile file_;
  char buffer_[kBufferSize] = {};
  std::size_t used_ = 0;
};

}  // namespace davrilon
