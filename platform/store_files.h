// The store's files: the station's backslash names mapped onto a directory.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace davrilon {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f != nullptr)
      std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The station names its files as the store's software does: relative to the
// working directory, components separated by backslashes ("INFO\OBSLUGA.PC"),
// in whatever case the writer chose. The companion programs were written for a
// file system that ignores case, so an existing entry is found
// case-insensitively, component by component ("KONIEC.PC" written by other
// software is the stop file "koniec.pc"); a new file is created with the case
// given.
class StoreFiles {
 public:
  explicit StoreFiles(std::filesystem::path root = ".");

  const std::filesystem::path& root() const { return root_; }

  // The path of `name` below the root. Backslashes and slashes both separate
  // components; "." components are dropped.
  std::filesystem::path Resolve(std::string_view name) const;

  // A file counts as present when it can be opened for reading.
  bool IsPresent(std::string_view name) const;

  // Deletes the file in every spelling of its last component; false when it
  // was not there or could not be deleted.
  bool Remove(std::string_view name) const;

  // Opens for reading (binary: no line-end translation on any platform).
  FilePtr OpenForReading(std::string_view name) const;

  // Creates or truncates for writing (binary).
  FilePtr Create(std::string_view name) const;

  // Reads the first line of a text file, at most `max_chars` characters of it,
  // carriage returns dropped. nullopt when the file cannot be opened.
  std::optional<std::string> ReadFirstLine(std::string_view name, std::size_t max_chars) const;

  // Replaces the file's content with `bytes` exactly. False when the file
  // cannot be created.
  bool WriteWhole(std::string_view name, std::string_view bytes) const;

 private:
  std::filesystem::path root_;
};

// Whether a file name that came from the far end of the line stays inside the
// store directory: not absolute, no drive letter, no ".." component. Names
// with subdirectories below the working directory are fine.
bool IsNameInsideStore(std::string_view name);

}  // namespace davrilon
