// The command processor against real child processes, with stand-in
// companion programs written into scratch directories.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/command_runner.h"
#include "platform/store_files.h"
#include "supervisor/test_support.h"

namespace davrilon {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Bounds for the waits of these tests; none of them is a speed goal.
constexpr milliseconds kHangGuard{10'000};  // a Run that has not returned by then never will
constexpr milliseconds kWaitStep{10};
constexpr milliseconds kStopAfter{200};

// Standard error sent to a file while it lives; Text() is what came.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    const int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~StderrCapture() { Restore(); }
  std::string Text() {
    Restore();
    std::ifstream in(file_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  void Restore() {
    if (saved_ < 0)
      return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  TempDir dir_;
  std::filesystem::path file_ = dir_.path() / "stderr";
  int saved_ = -1;
};

// The processes whose parent is this test process, as /proc lists them,
// zombies included.
std::vector<pid_t> OwnChildren() {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line))
      continue;
    // "pid (command) state ppid ...": the command may hold blanks and brackets.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos)
      continue;
    char state = 0;
    long ppid = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && ppid == getpid())
      children.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return children;
}

// The state letter of a process ('Z' for a zombie), or 0 when there is none.
char StateOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line))
    return 0;
  const std::size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? 0 : line[close + 2];
}

// Polls `done` until it holds or the hang guard runs out.
template <typename Done>
bool WaitUntil(Done done) {
  const auto end = steady_clock::now() + kHangGuard;
  while (!done()) {
    if (steady_clock::now() >= end)
      return false;
    std::this_thread::sleep_for(kWaitStep);
  }
  return true;
}

// Three places a program may be: the store directory (also the working
// directory of every run), a directory on PATH, and the drive root.
enum class Where { kStore, kPath, kRoot };

const char* Tag(Where where) {
  switch (where) {
    case Where::kStore:
      return "store";
    case Where::kPath:
      return "path";
    case Where::kRoot:
      return "root";
  }
  return "";
}

// A stand-in program: it writes where it was found and its arguments into
// RAN.TXT in the working directory.
struct StandIn {
  Where where;
  std::string name;  // below its directory, with slashes
  bool hash_bang = true;
  mode_t mode = 0755;
};

class CommandRunnerTest : public ::testing::Test {
 protected:
  CommandRunnerTest()
      : files(store.path()),
        path_env("PATH", path_dir.path().string() + ":/usr/bin:/bin"),
        root_env("DAVRILON_ROOT", root.path().string()) {}

  void Write(const StandIn& s, const std::string& body) {
    const TempDir& dir = s.where == Where::kStore  ? store
                         : s.where == Where::kPath ? path_dir
                                                   : root;
    dir.Write(s.name, (s.hash_bang ? "#!/bin/sh\n" : "") + body);
    chmod((dir.path() / s.name).c_str(), s.mode);
  }
  void Install(const StandIn& s) {
    Write(s, std::string("echo \"") + Tag(s.where) + " $#:$*\" >> RAN.TXT\n");
  }
  std::unique_ptr<CommandRunner> Runner(std::function<int()> stop = [] { return 0; }) {
    return MakeProcessRunner(files, std::move(stop));
  }
  std::optional<pid_t> ChildPid() const {
    if (!WaitUntil([this] { return store.Read("child.pid").find('\n') != std::string::npos; }))
      return std::nullopt;
    return static_cast<pid_t>(std::stol(store.Read("child.pid")));
  }
  // Runs the command line on a thread of its own; false when Run had not
  // returned within the hang guard (its child is then killed, so that it does).
  bool RunReturns(CommandRunner& runner, std::string_view command_line) {
    std::future<void> run = std::async(std::launch::async, [&] { runner.Run(command_line); });
    if (run.wait_for(kHangGuard) == std::future_status::ready)
      return true;
    if (std::optional<pid_t> child = ChildPid())
      kill(*child, SIGKILL);
    run.wait();
    return false;
  }

  TempDir store;
  TempDir path_dir;
  TempDir root;
  StoreFiles files;
  ScopedVariable path_env;
  ScopedVariable root_env;
};

// --- which program a command line runs, and with what ---

struct LookupCase {
  const char* name;
  std::vector<StandIn> programs;
  const char* command_line;
  const char* ran;  // RAN.TXT afterwards
};
// Named by its row in test listings.
void PrintTo(const LookupCase& c, std::ostream* os) {
  *os << c.name;
}

class CommandRunnerLookup : public CommandRunnerTest,
                            public ::testing::WithParamInterface<LookupCase> {};

TEST_P(CommandRunnerLookup, RunsTheProgramItFindsWithItsArguments) {
  for (const StandIn& s : GetParam().programs)
    Install(s);
  StderrCapture errors;
  EXPECT_EQ(Runner()->Run(GetParam().command_line), RunOutcome::kRan);
  EXPECT_EQ(store.Read("RAN.TXT"), GetParam().ran);
  EXPECT_EQ(errors.Text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandRunnerLookup,
    ::testing::Values(
        LookupCase{"store_before_path",
                   {{Where::kPath, "zelpo.exe"}, {Where::kStore, "zelpo.exe"}},
                   "zelpo.exe 1",
                   "store 1:1\n"},
        LookupCase{
            "path_when_not_in_store", {{Where::kPath, "zelpo.exe"}}, "zelpo.exe 5", "path 1:5\n"},
        LookupCase{"store_name_in_other_case",
                   {{Where::kStore, "ZELPO.EXE"}},
                   "zelpo.exe 2",
                   "store 1:2\n"},
        LookupCase{
            "path_name_in_other_case", {{Where::kPath, "Zelpo.Exe"}}, "ZELPO.EXE 4", "path 1:4\n"},
        LookupCase{"runnable_on_path_before_unrunnable_in_store",
                   {{Where::kStore, "zelpo.exe", true, 0644}, {Where::kPath, "zelpo.exe"}},
                   "zelpo.exe 3",
                   "path 1:3\n"},
        LookupCase{"backslash_path_from_the_drive_root",
                   {{Where::kStore, "FONTY/RUMAX.EXE"}, {Where::kRoot, "fonty/rumax.exe"}},
                   "\\FONTY\\RUMAX.EXE /M ZELPO.EXE 2",
                   "root 3:/M ZELPO.EXE 2\n"},
        LookupCase{"arguments_split_at_every_run_of_blanks",
                   {{Where::kStore, "zelpo.exe"}},
                   "zelpo.exe  /m   /w ZELPO.EXE 2 ",
                   "store 4:/m /w ZELPO.EXE 2\n"},
        LookupCase{"script_without_hash_bang_runs_in_the_shell",
                   {{Where::kStore, "ZELPO.EXE", false}},
                   "zelpo.exe 2",
                   "store 1:2\n"}),
    [](const auto& p) { return std::string(p.param.name); });

// --- programs that cannot be run: reported on standard error, nothing left behind ---

struct CannotRunCase {
  const char* name;
  std::optional<StandIn> program;  // none: there is no such program
  const char* body;
  const char* command_line;
  const char* reported;
};
// Named by its row in test listings.
void PrintTo(const CannotRunCase& c, std::ostream* os) {
  *os << c.name;
}

class CommandRunnerCannotRun : public CommandRunnerTest,
                               public ::testing::WithParamInterface<CannotRunCase> {};

TEST_P(CommandRunnerCannotRun, ReportsItOnStderrAndReturns) {
  const CannotRunCase& c = GetParam();
  if (c.program)
    Write(*c.program, c.body);
  const std::vector<pid_t> children_before = OwnChildren();
  StderrCapture errors;
  EXPECT_EQ(Runner()->Run(c.command_line), RunOutcome::kCannotStart);
  EXPECT_EQ(errors.Text(), c.reported);
  EXPECT_EQ(OwnChildren(), children_before) << "a child that failed to start is reaped";
  EXPECT_FALSE(store.Exists("RAN.TXT"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandRunnerCannotRun,
    ::testing::Values(
        CannotRunCase{"not_found", std::nullopt, "", "nosuch.exe 1",
                      "'nosuch.exe' is not recognized as an internal or external command,\n"
                      "operable program or batch file.\n"},
        CannotRunCase{"rooted_not_found", std::nullopt, "", "\\FONTY\\RUMAX.EXE /M ZELPO.EXE 2",
                      "'\\FONTY\\RUMAX.EXE' is not recognized as an internal or external "
                      "command,\noperable program or batch file.\n"},
        CannotRunCase{"not_executable", StandIn{Where::kStore, "ZELPO.EXE", true, 0644},
                      "echo ran >> RAN.TXT\n", "zelpo.exe 1", "'zelpo.exe': Access is denied.\n"},
        CannotRunCase{"interpreter_missing", StandIn{Where::kRoot, "FONTY/RUMAX.EXE", false},
                      "#!/nonexistent/interpreter\necho ran >> RAN.TXT\n",
                      "\\FONTY\\RUMAX.EXE /m /w ZELPO.EXE 2",
                      "'\\FONTY\\RUMAX.EXE': The system cannot execute the specified program.\n"}),
    [](const auto& p) { return std::string(p.param.name); });

// --- stop requests while a companion program runs ---

// A companion program that goes on far longer than any test; it leaves its
// process id behind.
const StandIn kSleeper{Where::kStore, "ZELPO.EXE"};
constexpr char kSleeperBody[] = "echo $$ > child.pid\nexec sleep 600\n";

TEST_F(CommandRunnerTest, AStopEndsTheWaitAndLeavesTheProgramRunning) {
  Write(kSleeper, kSleeperBody);
  const auto stop_at = steady_clock::now() + kStopAfter;
  std::unique_ptr<CommandRunner> runner =
      Runner([stop_at] { return steady_clock::now() >= stop_at ? SIGTERM : 0; });

  EXPECT_TRUE(RunReturns(*runner, "zelpo.exe 2")) << "Run went on waiting after the stop";
  const std::optional<pid_t> child = ChildPid();
  ASSERT_TRUE(child.has_value()) << "the program never started";
  const char state = StateOf(*child);
  kill(*child, SIGKILL);
  waitpid(*child, nullptr, 0);
  EXPECT_NE(state, 0) << "the program was gone when Run returned";
  EXPECT_NE(state, 'Z') << "the program had ended when Run returned";
}

TEST_F(CommandRunnerTest, ARunAskedForAfterAStopStartsNothing) {
  Install({Where::kStore, "zelpo.exe"});
  const std::vector<pid_t> children_before = OwnChildren();
  std::unique_ptr<CommandRunner> runner = Runner([] { return SIGTERM; });
  EXPECT_EQ(runner->Run("zelpo.exe 1"), RunOutcome::kNotStarted);
  EXPECT_EQ(OwnChildren(), children_before);
  runner.reset();
  EXPECT_FALSE(store.Exists("RAN.TXT"));
}

TEST_F(CommandRunnerTest, AProgramLeftRunningIsReapedOnceItHasEnded) {
  Write(kSleeper, kSleeperBody);
  const std::vector<pid_t> children_before = OwnChildren();
  // The stop comes as soon as the program is under way.
  std::unique_ptr<CommandRunner> runner =
      Runner([this] { return store.Exists("child.pid") ? SIGTERM : 0; });
  ASSERT_TRUE(RunReturns(*runner, "zelpo.exe 2"));
  const std::optional<pid_t> child = ChildPid();
  ASSERT_TRUE(child.has_value());
  kill(*child, SIGTERM);
  ASSERT_TRUE(WaitUntil([&] { return StateOf(*child) == 'Z'; })) << "it did not end";

  runner.reset();
  EXPECT_EQ(StateOf(*child), 0) << "left as a zombie";
  EXPECT_EQ(OwnChildren(), children_before);
  if (StateOf(*child) != 0)
    waitpid(*child, nullptr, 0);
}

}  // namespace
}  // namespace davrilon
