// Runs companion command lines as child processes, without a shell.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/command_runner.h"
#include "platform/store_files.h"

namespace davrilon {
namespace {

using std::chrono::milliseconds;

// While a companion program runs, the runner looks for a stop request at least
// this often; a stop signal cuts the sleep in between short. The first looks
// come sooner and the sleeps double up to this, so that a program that ends
// at once is not waited for much longer than it ran.
constexpr milliseconds kStopPollInterval{100};
constexpr milliseconds kFirstPollInterval{1};
static_assert(kStopPollInterval < std::chrono::seconds(1), "a stop is acted on within a second");

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

// A file that the lookup may take: a regular file, runnable or not.
enum class Candidate { kNone, kNotRunnable, kRunnable };

Candidate Classify(const std::filesystem::path& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return Candidate::kNone;
  return access(path.c_str(), X_OK) == 0 ? Candidate::kRunnable : Candidate::kNotRunnable;
}

// The first runnable candidate wins; when there is none, the first one that
// is there but may not be run, so that it is reported as a program that
// cannot start rather than as one that is not there.
class Lookup {
 public:
  // True when the search can stop.
  bool Consider(const std::filesystem::path& path) {
    switch (Classify(path)) {
      case Candidate::kRunnable:
        found_ = path;
        return true;
      case Candidate::kNotRunnable:
        if (!not_runnable_)
          not_runnable_ = path;
        return false;
      case Candidate::kNone:
        return false;
    }
    return false;
  }
  std::optional<std::filesystem::path> Result() const { return found_ ? found_ : not_runnable_; }

 private:
  std::optional<std::filesystem::path> found_;
  std::optional<std::filesystem::path> not_runnable_;
};

void WriteToStderr(const std::string& message) {
  ssize_t ignored = write(STDERR_FILENO, message.data(), message.size());
  (void)ignored;
}

void ReportNotFound(const std::string& name) {
  WriteToStderr("'" + name +
                "' is not recognized as an internal or external command,\n"
                "operable program or batch file.\n");
}

void ReportCannotStart(const std::string& name, int error) {
  const char* reason = error == EACCES || error == EPERM
                           ? "Access is denied."
                           : "The system cannot execute the specified program.";
  WriteToStderr("'" + name + "': " + reason + "\n");
}

void Sleep(milliseconds how_long) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(how_long.count() / 1000);
  ts.tv_nsec = static_cast<long>(how_long.count() % 1000) * 1'000'000L;
  nanosleep(&ts, nullptr);  // a signal ends it early, and the caller looks again
}

class ProcessRunner final : public CommandRunner {
 public:
  ProcessRunner(const StoreFiles& files, std::function<int()> stop_signal)
      : files_(files), stop_signal_(std::move(stop_signal)) {}
  ~ProcessRunner() override { ReapEnded(); }

  RunOutcome Run(std::string_view command_line) override {
    ReapEnded();
    if (stop_signal_() != 0)
      return RunOutcome::kNotStarted;  // the station is stopping
    std::vector<std::string> words = SplitAtBlanks(command_line);
    if (words.empty())
      return RunOutcome::kCannotStart;
    std::optional<std::filesystem::path> program = Find(words[0]);
    if (!program) {
      ReportNotFound(words[0]);
      return RunOutcome::kCannotStart;
    }
    std::optional<pid_t> child = Start(*program, words);
    if (!child)
      return RunOutcome::kCannotStart;
    WaitForEnd(*child);
    return RunOutcome::kRan;
  }

 private:
  // Starts the program; nullopt (reported) when it could not be started.
  std::optional<pid_t> Start(const std::filesystem::path& path, std::vector<std::string>& words) {
    // Everything the child needs is built before the fork.
    std::string program = path.string();
    std::string root = files_.root().string();
    std::vector<char*> argv;
    for (std::string& w : words)
      argv.push_back(w.data());
    argv.push_back(nullptr);
    // A script without "#!" is run as a command processor would: by the shell.
    std::vector<char*> sh_argv = {const_cast<char*>("sh"), program.data()};
    for (std::size_t i = 1; i + 1 < argv.size(); ++i)
      sh_argv.push_back(argv[i]);
    sh_argv.push_back(nullptr);

    // The child reports a failed start through this pipe: the error number
    // of chdir or exec. A successful exec closes it, so an empty read means
    // that the program runs.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
      ReportCannotStart(words[0], errno);
      return std::nullopt;
    }
    const pid_t child = fork();
    if (child < 0) {
      const int error = errno;
      close(report[0]);
      close(report[1]);
      ReportCannotStart(words[0], error);
      return std::nullopt;
    }
    if (child == 0) {
      close(report[0]);
      // The station ignores these; the companion program must not.
      signal(SIGPIPE, SIG_DFL);
      signal(SIGIO, SIG_DFL);
      int error = 0;
      if (chdir(root.c_str()) != 0) {
        error = errno;
      } else {
        execv(program.c_str(), argv.data());
        error = errno;
        if (error == ENOEXEC) {
          execv("/bin/sh", sh_argv.data());
          error = errno;
        }
      }
      ssize_t ignored = write(report[1], &error, sizeof error);
      (void)ignored;
      _exit(127);
    }
    close(report[1]);
    int error = 0;
    ssize_t got;
    while ((got = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (got <= 0)
      return child;
    // The child ends at once after its report.
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ReportCannotStart(words[0], error);
    return std::nullopt;
  }

  // Waits for the child's end, or until a stop request, whichever comes
  // first. A signal that arrives between the look and the sleep is seen at
  // the next look, at most one poll interval later.
  void WaitForEnd(pid_t child) {
    milliseconds interval = kFirstPollInterval;
    for (;;) {
      int status = 0;
      const pid_t ended = waitpid(child, &status, WNOHANG);
      if (ended == child || (ended < 0 && errno != EINTR))
        return;
      if (stop_signal_() != 0) {
        left_running_.push_back(child);  // not killed: it may be writing the store's data
        return;
      }
      Sleep(interval);
      interval = std::min(interval * 2, kStopPollInterval);
    }
  }

  // Companion programs left running by a stop request are reaped once they
  // have ended, so that none stays a zombie while the station runs on.
  void ReapEnded() {
    std::erase_if(left_running_, [](pid_t pid) {
      int status = 0;
      const pid_t ended = waitpid(pid, &status, WNOHANG);
      return ended == pid || ended < 0;
    });
  }

  std::optional<std::filesystem::path> Find(const std::string& name) const {
    Lookup lookup;
    if (name.front() == '\\' || name.front() == '/') {
      const char* root = std::getenv("DAVRILON_ROOT");
      lookup.Consider(StoreFiles(root != nullptr && *root ? root : "/").Resolve(name));
      return lookup.Result();
    }
    if (lookup.Consider(files_.Resolve(name)))
      return lookup.Result();
    if (name.find_first_of("\\/") != std::string::npos)
      return lookup.Result();
    const char* path_env = std::getenv("PATH");
    std::string_view dirs = path_env != nullptr ? path_env : "";
    while (!dirs.empty()) {
      std::size_t colon = dirs.find(':');
      std::string dir(dirs.substr(0, colon));
      dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
      if (dir.empty())
        continue;
      if (lookup.Consider(StoreFiles(dir).Resolve(name)))
        break;
    }
    return lookup.Result();
  }

  const StoreFiles& files_;
  std::function<int()> stop_signal_;
  std::vector<pid_t> left_running_;
};

}  // namespace

std::unique_ptr<CommandRunner> MakeProcessRunner(const StoreFiles& files,
                                                 std::function<int()> stop_signal) {
  return std::make_unique<ProcessRunner>(files, std::move(stop_signal));
}

}  // namespace davrilon
