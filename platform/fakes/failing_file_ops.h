// The system's file operations with a failure put at one step, and a look at
// the disk before every step.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/store_files.h"

namespace davrilon {

class FailingFileOps : public FileOps {
 public:
  enum class Step { kWrite, kFlush, kSync, kRename, kSyncDirectory };

  // The `fail_on_call`-th call of step `fail_at` for a file that takes the
  // name `name` (its last component) fails without doing anything.
  std::string name;
  std::optional<Step> fail_at;
  int fail_on_call = 1;
  // Called before every step for that file; a test looks at the disk there.
  std::function<void(Step)> before;
  std::vector<Step> steps;

  bool Write(const std::string& file_name, std::FILE* file, std::string_view bytes) override {
    return Take(file_name, Step::kWrite) && SystemFileOps().Write(file_name, file, bytes);
  }
  bool Flush(const std::string& file_name, std::FILE* file) override {
    return Take(file_name, Step::kFlush) && SystemFileOps().Flush(file_name, file);
  }
  bool Sync(const std::string& file_name, std::FILE* file) override {
    return Take(file_name, Step::kSync) && SystemFileOps().Sync(file_name, file);
  }
  bool Rename(int dir, const std::string& from, const std::string& file_name) override {
    return Take(file_name, Step::kRename) && SystemFileOps().Rename(dir, from, file_name);
  }
  bool SyncDirectory(const std::string& file_name, int dir) override {
    return Take(file_name, Step::kSyncDirectory) && SystemFileOps().SyncDirectory(file_name, dir);
  }

 private:
  bool Take(const std::string& file_name, Step step) {
    if (file_name != name)
      return true;
    if (before)
      before(step);
    steps.push_back(step);
    if (fail_at != step)
      return true;
    return ++calls_ != fail_on_call;
  }
  int calls_ = 0;
};

}  // namespace davrilon
