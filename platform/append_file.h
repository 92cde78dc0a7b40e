// A file that is only ever appended to, for the event log.
#pragma once

#include <cstddef>
#include <filesystem>

namespace davrilon {

// Every write lands at the file's current end, also when another program has
// written to the file meanwhile. Others may open the file for reading and
// writing while it is held.
class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile() { Close(); }

  bool Open(const std::filesystem::path& path);  // created when missing, never truncated
  bool Write(const char* bytes, std::size_t count);
  void Close();
  bool is_open() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace davrilon
