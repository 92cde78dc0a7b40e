// Runs companion command lines as child processes, without a shell.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/command_runner.h"
#include "platform/store_files.h"

namespace davrilon {
namespace {

std::vector<std::string> SplitAtBlanks(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  for (char c : line) {
    if (c == ' ') {
      if (!word.empty())
        words.push_back(std::move(word));
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty())
    words.push_back(std::move(word));
  return words;
}

bool IsRunnableFile(const std::filesystem::path& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

class ProcessRunner final : public CommandRunner {
 public:
  explicit ProcessRunner(const StoreFiles& files) : files_(files) {}

  void Run(std::string_view command_line) override {
    std::vector<std::string> words = SplitAtBlanks(command_line);
    if (words.empty())
      return;
    std::optional<std::filesystem::path> program = Find(words[0]);
    if (!program) {
      Report(words[0]);
      return;
    }
    std::vector<char*> argv;
    for (std::string& w : words)
      argv.push_back(w.data());
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child < 0) {
      Report(words[0]);
      return;
    }
    if (child == 0) {
      signal(SIGPIPE, SIG_DFL);  // the station ignores it; the companion program must not
      if (chdir(files_.root().c_str()) != 0)
        _exit(127);
      execv(program->c_str(), argv.data());
      if (errno == ENOEXEC) {  // a script without "#!": run it as a command processor would
        std::vector<char*> sh_argv = {const_cast<char*>("sh"), const_cast<char*>(program->c_str())};
        for (std::size_t i = 1; i + 1 < argv.size(); ++i)
          sh_argv.push_back(argv[i]);
        sh_argv.push_back(nullptr);
        execv("/bin/sh", sh_argv.data());
      }
      _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }

 private:
  std::optional<std::filesystem::path> Find(const std::string& name) const {
    if (name.front() == '\\' || name.front() == '/') {
      const char* root = std::getenv("DAVRILON_ROOT");
      std::filesystem::path path = StoreFiles(root != nullptr && *root ? root : "/").Resolve(name);
      return IsRunnableFile(path) ? std::optional(path) : std::nullopt;
    }
    std::filesystem::path local = files_.Resolve(name);
    if (IsRunnableFile(local))
      return local;
    if (name.find_first_of("\\/") != std::string::npos)
      return std::nullopt;
    const char* path_env = std::getenv("PATH");
    std::string_view dirs = path_env != nullptr ? path_env : "";
    while (!dirs.empty()) {
      std::size_t colon = dirs.find(':');
      std::string dir(dirs.substr(0, colon));
      dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
      if (dir.empty())
        continue;
      std::filesystem::path candidate = StoreFiles(dir).Resolve(name);
      if (IsRunnableFile(candidate))
        return candidate;
    }
    return std::nullopt;
  }

  static void Report(const std::string& name) {
    std::string message = "'" + name +
                          "' is not recognized as an internal or external command,\n"
                          "operable program or batch file.\n";
    ssize_t ignored = write(STDERR_FILENO, message.data(), message.size());
    (void)ignored;
  }

  const StoreFiles& files_;
};

}  // namespace

std::unique_ptr<CommandRunner> MakeProcessRunner(const StoreFiles& files) {
  return std::make_unique<ProcessRunner>(files);
}

}  // namespace davrilon
