#include "platform/store_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#if defined(SYS_openat2)
#define DAVRILON_HAVE_OPENAT2 1
#endif
#endif

namespace davrilon {
namespace fs = std::filesystem;

namespace {

// A new file gets the usual mode, less the process's umask.
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kPermissionBits = 07777;
constexpr std::string_view kPartSuffix = ".part";

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i]))
      return false;
  }
  return true;
}

std::vector<std::string> SplitComponents(std::string_view name) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : name) {
    if (c == '\\' || c == '/') {
      if (!current.empty() && current != ".")
        parts.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty() && current != ".")
    parts.push_back(current);
  return parts;
}

// The entry of `dir` whose name equals `component` ignoring case: the exact
// spelling when it exists, else the first such entry in name order.
std::optional<std::string> FindEntry(const fs::path& dir, const std::string& component) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(dir / component, ec))) {
    // The file system may itself ignore case; take the name as given.
    return component;
  }
  std::optional<std::string> found;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string entry = it->path().filename().string();
    if (SameIgnoringCase(entry, component) && (!found || entry < *found))
      found = entry;
  }
  return found;
}

// The names of the entries of the open directory `dir`.
std::vector<std::string> EntriesOf(int dir) {
  std::vector<std::string> names;
  const int own = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0)
    return names;
  DIR* listing = fdopendir(own);
  if (listing == nullptr) {
    close(own);
    return names;
  }
  while (const dirent* entry = readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..")
      names.emplace_back(name);
  }
  closedir(listing);
  return names;
}

std::string ReadLine(std::FILE* file, std::size_t max_chars) {
  std::string line;
  while (line.size() < max_chars) {
    int c = std::fgetc(file);
    if (c == EOF || c == '\n')
      break;
    if (c == '\r')
      continue;
    line.push_back(static_cast<char>(c));
  }
  return line;
}

// A store name compared as the companion programs' file system compares it.
std::string StationKey(std::string_view name) {
  std::string key;
  for (const std::string& component : SplitComponents(DropTrailingBlanksAndDots(name))) {
    if (!key.empty())
      key += '\\';
    for (char c : component)
      key += AsciiLower(c);
  }
  return key;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

class SystemOps : public FileOps {
 public:
  bool Write(const std::string&, std::FILE* file, std::string_view bytes) override {
    return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  }
  bool Flush(const std::string&, std::FILE* file) override { return std::fflush(file) == 0; }
  bool Sync(const std::string&, std::FILE* file) override { return fsync(fileno(file)) == 0; }
  bool Rename(int dir, const std::string& from, const std::string& name) override {
    return renameat(dir, from.c_str(), dir, name.c_str()) == 0;
  }
  bool SyncDirectory(const std::string&, int dir) override { return fsync(dir) == 0; }
};

}  // namespace

FileOps& SystemFileOps() {
  static SystemOps ops;
  return ops;
}

// --- NewFile ---

NewFile::NewFile(FileOps& ops, int dir, std::string name, FilePtr file, Durability durability)
    : ops_(ops),
      dir_(dir),
      name_(std::move(name)),
      part_name_(name_ + std::string(kPartSuffix)),
      file_(std::move(file)),
      durability_(durability) {}

NewFile::~NewFile() {
  if (!done_)
    Discard();
  close(dir_);
}

bool NewFile::Write(std::string_view bytes) {
  return file_ && ops_.Write(name_, file_.get(), bytes);
}

bool NewFile::Flush() {
  return file_ && ops_.Flush(name_, file_.get());
}

bool NewFile::Commit() {
  if (done_ || !file_)
    return false;
  const bool safe = durability_ == Durability::kPowerCutSafe;
  bool ok = ops_.Flush(name_, file_.get());
  ok = ok && (!safe || ops_.Sync(name_, file_.get()));
  ok = std::fclose(file_.release()) == 0 && ok;
  if (!ok || !ops_.Rename(dir_, part_name_, name_)) {
    Discard();
    return false;
  }
  done_ = true;
  return !safe || ops_.SyncDirectory(name_, dir_);
}

void NewFile::Discard() {
  file_.reset();
  unlinkat(dir_, part_name_.c_str(), 0);
  done_ = true;
}

// --- StoreFiles ---

StoreFiles::StoreFiles(fs::path root, Resolution resolution)
    : root_(std::move(root)), resolution_(resolution), ops_(&SystemFileOps()) {}

fs::path StoreFiles::Resolve(std::string_view name) const {
  fs::path path = root_;
  bool searching = true;
  for (const std::string& component : SplitComponents(name)) {
    if (searching && component != "..") {
      if (auto entry = FindEntry(path, component)) {
        path /= *entry;
        continue;
      }
      searching = false;  // below a missing component nothing exists
    }
    path /= component;
  }
  return path;
}

std::string StoreFiles::RelativeSpelling(std::string_view name) const {
  return Resolve(name).lexically_relative(root_).generic_string();
}

int StoreFiles::OpenBeneath(const std::string& relative, int flags) const {
  std::vector<std::string> components = SplitComponents(relative);
  if (std::find(components.begin(), components.end(), "..") != components.end())
    return -1;
  const int root = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0)
    return -1;
#ifdef DAVRILON_HAVE_OPENAT2
  if (resolution_ == Resolution::kKernel) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const char* path = relative.empty() ? "." : relative.c_str();
    const long fd = syscall(SYS_openat2, root, path, &how, sizeof how);
    // ENOSYS: a kernel without openat2; EPERM: a sandbox that refuses
    // system calls it does not know. Both leave the walk below.
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) {
      const int error = errno;
      close(root);
      errno = error;
      return static_cast<int>(fd);
    }
  }
#endif
  // Component by component, never through a link.
  int dir = root;
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    const int next =
        openat(dir, components[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(dir);
    if (next < 0)
      return -1;
    dir = next;
  }
  const char* last = components.empty() ? "." : components.back().c_str();
  const int fd = openat(dir, last, flags | O_NOFOLLOW | O_CLOEXEC);
  close(dir);
  return fd;
}

int StoreFiles::OpenParent(std::string_view name, std::string& last) const {
  std::vector<std::string> spelled = SplitComponents(RelativeSpelling(name));
  if (spelled.empty() || SplitComponents(name).empty())
    return -1;
  last = spelled.back();
  spelled.pop_back();
  std::string parent;
  for (const std::string& component : spelled)
    parent += (parent.empty() ? "" : "/") + component;
  return OpenBeneath(parent, O_RDONLY | O_DIRECTORY);
}

FilePtr StoreFiles::OpenRegular(std::string_view name) const {
  if (SplitComponents(name).empty())
    return nullptr;
  // Without waiting: a FIFO would otherwise hold the open until a writer came.
  const int fd = OpenBeneath(RelativeSpelling(name), O_RDONLY | O_NONBLOCK);
  if (fd < 0)
    return nullptr;
  struct stat st {};
  const int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr)
    close(fd);
  return FilePtr(file);
}

bool StoreFiles::IsPresent(std::string_view name) const {
  return OpenForReading(name) != nullptr;
}

bool StoreFiles::Remove(std::string_view name) const {
  // On a file system that keeps case, other software may have left the same
  // name in two spellings ("koniec.pc" and "KONIEC.PC"); to the companion
  // programs they are one file, so every spelling goes.
  std::string last;
  const int dir = OpenParent(name, last);
  if (dir < 0)
    return false;
  bool removed = false;
  for (const std::string& entry : EntriesOf(dir)) {
    struct stat st {};
    if (!SameIgnoringCase(entry, last) ||
        fstatat(dir, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
      continue;
    removed = unlinkat(dir, entry.c_str(), 0) == 0 || removed;
  }
  close(dir);
  return removed;
}

FilePtr StoreFiles::OpenForReading(std::string_view name) const {
  return OpenRegular(name);
}

std::optional<std::string> StoreFiles::ReadFirstLine(std::string_view name,
                                                     std::size_t max_chars) const {
  FilePtr file = OpenForReading(name);
  if (!file)
    return std::nullopt;
  return ReadLine(file.get(), max_chars);
}

std::optional<std::string> StoreFiles::TakeWhenClosed(std::string_view name,
                                                      std::size_t max_chars) const {
  FilePtr file = OpenForReading(name);
  if (!file)
    return std::nullopt;
  // A read lease is refused while any process holds the file open for
  // writing; while the station holds it, a writer's open waits for it to be
  // let go. The owner is cleared, so that such a writer sends the station no
  // signal. A file system without leases (or a file of another user) is
  // taken as it stands.
  const int fd = fileno(file.get());
  const bool leased = fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
  if (!leased && errno == EAGAIN)
    return std::nullopt;
  if (leased)
    fcntl(fd, F_SETOWN, 0);
  std::string line = ReadLine(file.get(), max_chars);
  Remove(name);
  if (leased)
    fcntl(fd, F_SETLEASE, F_UNLCK);
  return line;
}

std::unique_ptr<NewFile> StoreFiles::CreateNew(std::string_view name, Durability durability) const {
  if (!IsNameInsideStore(name) || IsStationFile(name))
    return nullptr;
  std::string last;
  const int dir = OpenParent(name, last);
  if (dir < 0)
    return nullptr;
  // Only a regular file may be replaced; it hands on its permission bits.
  mode_t mode = kNewFileMode;
  bool replaces = false;
  struct stat st {};
  if (fstatat(dir, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(st.st_mode)) {
      close(dir);
      return nullptr;
    }
    mode = st.st_mode & kPermissionBits;
    replaces = true;
  }
  // What a broken earlier download (or anyone else) left under NAME.part is
  // not written through: it goes, and the file is made anew.
  const std::string part = last + std::string(kPartSuffix);
  unlinkat(dir, part.c_str(), 0);
  const int fd =
      openat(dir, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    close(dir);
    return nullptr;
  }
  std::FILE* file = nullptr;
  if ((!replaces || fchmod(fd, mode) == 0))
    file = fdopen(fd, "wb");
  if (file == nullptr) {
    close(fd);
    unlinkat(dir, part.c_str(), 0);
    close(dir);
    return nullptr;
  }
  return std::unique_ptr<NewFile>(new NewFile(*ops_, dir, last, FilePtr(file), durability));
}

Written StoreFiles::WriteWhole(std::string_view name, std::string_view bytes,
                               Durability durability) const {
  std::unique_ptr<NewFile> file = CreateNew(name, durability);
  if (!file)
    return Written::kNotCreated;
  if (!file->Write(bytes) || !file->Commit())
    return Written::kWriteFailed;
  return Written::kDone;
}

void StoreFiles::ProtectStationFile(std::string_view name) {
  station_names_.push_back(StationKey(name));
  station_paths_.push_back(Resolve(name));
}

void StoreFiles::ProtectStationPath(const fs::path& path) {
  station_paths_.push_back(path);
}

bool StoreFiles::IsStationFile(std::string_view name) const {
  const std::string key = StationKey(name);
  if (std::find(station_names_.begin(), station_names_.end(), key) != station_names_.end())
    return true;
  struct stat target {};
  if (lstat(Resolve(name).c_str(), &target) != 0)
    return false;
  for (const fs::path& path : station_paths_) {
    struct stat own {};
    if (stat(path.c_str(), &own) == 0 && SameFile(own, target))
      return true;
  }
  return false;
}

std::optional<fs::path> RunningProgramPath() {
  std::error_code ec;
  fs::path path = fs::read_symlink("/proc/self/exe", ec);
  if (ec)
    return std::nullopt;
  return path;
}

bool IsNameInsideStore(std::string_view name) {
  if (name.empty())
    return false;
  if (name.front() == '\\' || name.front() == '/')
    return false;
  if (name.size() >= 2 && name[1] == ':')
    return false;  // a drive letter
  for (const std::string& component : SplitComponents(name)) {
    if (component == "..")
      return false;
  }
  return !SplitComponents(name).empty();
}

std::string DropTrailingBlanksAndDots(std::string_view name) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] != '\\' && name[i] != '/')
      continue;
    std::string_view component = name.substr(start, i - start);
    const std::size_t keep = component.find_last_not_of(" .");
    // A component of dots and blanks alone ("..", ".") stays as it is.
    if (keep != std::string_view::npos)
      component = component.substr(0, keep + 1);
    out += component;
    if (i < name.size())
      out += name[i];
    start = i + 1;
  }
  return out;
}

}  // namespace davrilon
