#include "platform/store_files.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace davrilon {
namespace fs = std::filesystem;

namespace {

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
  if (fs::exists(dir / component, ec)) {
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

}  // namespace

StoreFiles::StoreFiles(fs::path root) : root_(std::move(root)) {}

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

bool StoreFiles::IsPresent(std::string_view name) const {
  return OpenForReading(name) != nullptr;
}

bool StoreFiles::Remove(std::string_view name) const {
  // On a file system that keeps case, other software may have left the same
  // name in two spellings ("koniec.pc" and "KONIEC.PC"); to the companion
  // programs they are one file, so every spelling goes.
  const fs::path path = Resolve(name);
  std::error_code ec;
  bool removed = fs::remove(path, ec);
  const std::string last = path.filename().string();
  std::vector<fs::path> spellings;
  for (fs::directory_iterator it(path.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
    if (SameIgnoringCase(it->path().filename().string(), last) && !it->is_directory(ec))
      spellings.push_back(it->path());
  }
  for (const fs::path& spelling : spellings)
    removed = fs::remove(spelling, ec) || removed;
  return removed;
}

FilePtr StoreFiles::OpenForReading(std::string_view name) const {
  fs::path path = Resolve(name);
  std::error_code ec;
  if (fs::is_directory(path, ec))
    return nullptr;
  return FilePtr(std::fopen(path.c_str(), "rbe"));
}

FilePtr StoreFiles::Create(std::string_view name) const {
  return FilePtr(std::fopen(Resolve(name).c_str(), "wbe"));
}

std::optional<std::string> StoreFiles::ReadFirstLine(std::string_view name,
                                                     std::size_t max_chars) const {
  FilePtr file = OpenForReading(name);
  if (!file)
    return std::nullopt;
  std::string line;
  while (line.size() < max_chars) {
    int c = std::fgetc(file.get());
    if (c == EOF || c == '\n')
      break;
    if (c == '\r')
      continue;
    line.push_back(static_cast<char>(c));
  }
  return line;
}

bool StoreFiles::WriteWhole(std::string_view name, std::string_view bytes) const {
  FilePtr file = Create(name);
  if (!file)
    return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  return std::fclose(file.release()) == 0 && ok;
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

}  // namespace davrilon
