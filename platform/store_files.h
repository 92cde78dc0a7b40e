// The store's files: the station's backslash names mapped onto a directory.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace davrilon {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f != nullptr)
      std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The steps with which a new file is put in place, each told the name that
// the file is to take. The station uses the system's; a test puts a failure
// at any one of them.
class FileOps {
 public:
  virtual ~FileOps() = default;
  virtual bool Write(const std::string& name, std::FILE* file, std::string_view bytes) = 0;
  // Hands what the stream holds to the system.
  virtual bool Flush(const std::string& name, std::FILE* file) = 0;
  // Puts the file's content on the disk.
  virtual bool Sync(const std::string& name, std::FILE* file) = 0;
  // Gives the file its name, in the directory `dir`, replacing what held it.
  virtual bool Rename(int dir, const std::string& from, const std::string& name) = 0;
  // Puts the directory's entries (the rename) on the disk.
  virtual bool SyncDirectory(const std::string& name, int dir) = 0;
};
FileOps& SystemFileOps();

// How hard a new file is kept.
enum class Durability {
  kWhole,        // never seen half written, but may be lost in a power cut
  kPowerCutSafe  // on the disk when the write returns
};

class StoreFiles;

// A file that takes its name only when it is whole: it is written beside its
// name as NAME.part, and only Commit() gives it the name. Whatever stops
// short of Commit() leaves the name as it was and deletes NAME.part.
class NewFile {
 public:
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile();

  bool Write(std::string_view bytes);
  bool Flush();
  // Flushes, puts the file on the disk (power-cut safe), renames it to its
  // name and puts the directory on the disk. False when a step failed: the
  // name then still holds its previous file (or, when only the directory
  // could not be put on the disk, already the new one).
  bool Commit();
  // Deletes NAME.part.
  void Discard();

 private:
  friend class StoreFiles;
  NewFile(FileOps& ops, int dir, std::string name, FilePtr file, Durability durability);

  FileOps& ops_;
  int dir_;
  std::string name_;
  std::string part_name_;
  FilePtr file_;
  Durability durability_;
  bool done_ = false;
};

// What became of a whole file to be written.
enum class Written { kDone, kNotCreated, kWriteFailed };

// The station names its files as the store's software does: relative to the
// working directory, components separated by backslashes ("INFO\OBSLUGA.PC"),
// in whatever case the writer chose. The companion programs were written for a
// file system that ignores case, so an existing entry is found
// case-insensitively, component by component ("KONIEC.PC" written by other
// software is the stop file "koniec.pc"); a new file is created with the case
// given.
//
// Every file is opened beneath the store directory: a name never leads out
// of it, and no symbolic link below it is followed. Such a name is a file that
// cannot be opened or created.
class StoreFiles {
 public:
  // How a name is resolved beneath the store directory: by the kernel
  // (openat2 with RESOLVE_BENEATH) where it can, else component by component.
  enum class Resolution { kKernel, kWalk };

  explicit StoreFiles(std::filesystem::path root = ".",
                      Resolution resolution = Resolution::kKernel);

  const std::filesystem::path& root() const { return root_; }

  // The path of `name` below the root. Backslashes and slashes both separate
  // components; "." components are dropped.
  std::filesystem::path Resolve(std::string_view name) const;

  // A file counts as present when it can be opened for reading.
  bool IsPresent(std::string_view name) const;

  // Deletes the file in every spelling of its last component; false when it
  // was not there or could not be deleted.
  bool Remove(std::string_view name) const;

  // Opens a regular file for reading (binary: no line-end translation on any
  // platform). A directory, a FIFO or a device is not opened, so the open
  // never waits.
  FilePtr OpenForReading(std::string_view name) const;

  // Reads the first line of a text file, at most `max_chars` characters of it,
  // carriage returns dropped. nullopt when the file cannot be opened.
  std::optional<std::string> ReadFirstLine(std::string_view name, std::size_t max_chars) const;

  // Like ReadFirstLine, then deletes the file; but a file that some program
  // still holds open for writing is left alone (nullopt), so that a value
  // written in several writes is taken whole.
  std::optional<std::string> TakeWhenClosed(std::string_view name, std::size_t max_chars) const;

  // Starts a new file under `name` (see NewFile). Null when the name is one of
  // the station's own files, a directory or anything else than a regular file
  // holds it, or the file cannot be created. A file that replaces another one
  // takes its permission bits.
  std::unique_ptr<NewFile> CreateNew(std::string_view name, Durability durability) const;

  // Replaces the file's content with `bytes` exactly, whole or not at all.
  Written WriteWhole(std::string_view name, std::string_view bytes,
                     Durability durability = Durability::kWhole) const;

  // The station's own live files (the event log, the configuration, the
  // guard file, the program), which nothing from outside may replace: a store
  // name, found case-insensitively, or any path, found as the same file.
  void ProtectStationFile(std::string_view name);
  void ProtectStationPath(const std::filesystem::path& path);
  bool IsStationFile(std::string_view name) const;

  // The failures of a commit, injected by tests.
  void SetFileOps(FileOps& ops) { ops_ = &ops; }

 private:
  // An open descriptor of `relative` (components joined by '/') beneath the
  // root, or -1.
  int OpenBeneath(const std::string& relative, int flags) const;
  // The directory that holds `name`'s last component, opened beneath the
  // root, and that component as it is spelled there; -1 when there is none.
  int OpenParent(std::string_view name, std::string& last) const;
  std::string RelativeSpelling(std::string_view name) const;
  FilePtr OpenRegular(std::string_view name) const;

  std::filesystem::path root_;
  Resolution resolution_;
  FileOps* ops_;
  std::vector<std::string> station_names_;
  std::vector<std::filesystem::path> station_paths_;
};

// The path of the running program, where the platform tells it.
std::optional<std::filesystem::path> RunningProgramPath();

// Whether a file name that came from the far end of the line stays inside the
// store directory: not absolute, no drive letter, no ".." component. Names
// with subdirectories below the working directory are fine.
bool IsNameInsideStore(std::string_view name);

// The name as the companion programs' file system takes it: blanks and dots
// at the end of each component are dropped ("CENNIK.ZIP  " is "CENNIK.ZIP").
std::string DropTrailingBlanksAndDots(std::string_view name);

}  // namespace davrilon
