// Measures the progress relay against a real directory: how much processor
// time it takes while it waits, and how long a progress file takes from its
// creation to the code on the line. A writer thread plays the companion
// program. Usage: relay_bench [files [interval_ms]]
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "exchange/exchange_state.h"
#include "platform/fakes/fake_console.h"
#include "platform/fakes/recording_runner.h"
#include "platform/file_watch.h"

namespace davrilon {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::milliseconds;

// A port that only notes when each byte was written.
class TimingPort : public SerialPort {
 public:
  bool GetLineSettings(LineSettings&) override { return true; }
  bool SetLineSettings(const LineSettings&) override { return true; }
  bool GetTimeouts(PortTimeouts&) override { return true; }
  bool SetTimeouts(const PortTimeouts&) override { return true; }
  bool GetModemStatus(std::uint32_t& status) override {
    status = 0;
    return true;
  }
  bool PurgeReceive() override { return true; }
  bool Read(std::span<std::uint8_t>, std::uint32_t& got) override {
    got = 0;
    return true;
  }
  bool Write(std::span<const std::uint8_t> bytes, std::uint32_t& written) override {
    std::lock_guard lock(mutex_);
    writes.push_back(Clock::now());
    written = static_cast<std::uint32_t>(bytes.size());
    return true;
  }
  void Close() override {}
  bool is_closed() const override { return false; }
  std::uint32_t last_error() const override { return 0; }

  std::vector<Clock::time_point> writes;

 private:
  std::mutex mutex_;
};

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Figures {
  double cpu_per_second = 0;
  double median_ms = 0;
  double max_ms = 0;
  std::size_t codes = 0;
};

Figures Measure(bool with_watch, int files_to_write, milliseconds interval) {
  std::string pattern = (std::filesystem::temp_directory_path() / "relay-bench-XXXXXX").string();
  const std::filesystem::path root = mkdtemp(pattern.data());
  std::filesystem::create_directories(root / "DETAL");

  StoreFiles files(root);
  EventLog log;
  log.Open(root / "davrilon.log");
  FakeConsole console;
  RecordingRunner runner;
  GuardFile guard;
  TimingPort port;
  std::unique_ptr<FileWatch> watch = MakeFileWatch();
  Station station{StationConfig{}, log, console, SystemClock(), files, runner, guard};
  station.watch = with_watch ? watch.get() : nullptr;
  Exchange x(station, port);

  std::vector<Clock::time_point> created;
  std::thread companion([&] {
    for (int i = 0; i < files_to_write; ++i) {
      std::this_thread::sleep_for(interval);
      created.push_back(Clock::now());
      std::ofstream(root / "DETAL" / "POSTEP.PC") << "50";
    }
    std::this_thread::sleep_for(interval);
    std::ofstream(root / "DETAL" / "GOTOWE.PC");
  });

  const double cpu_start = ThreadCpuSeconds();
  const auto wall_start = Clock::now();
  RunProgressRelay(x);
  const double cpu = ThreadCpuSeconds() - cpu_start;
  const double wall = duration<double>(Clock::now() - wall_start).count();
  companion.join();
  log.Close();
  std::filesystem::remove_all(root);

  Figures f;
  f.cpu_per_second = cpu / wall;
  f.codes = port.writes.size();
  std::vector<double> latencies;
  for (std::size_t i = 0; i < std::min(created.size(), port.writes.size()); ++i) {
    latencies.push_back(duration<double, std::milli>(port.writes[i] - created[i]).count());
  }
  if (!latencies.empty()) {
    std::sort(latencies.begin(), latencies.end());
    f.median_ms = latencies[latencies.size() / 2];
    f.max_ms = latencies.back();
  }
  return f;
}

void Print(const char* mode, const Figures& f, int files_to_write) {
  std::printf(
      "%-22s codes %3zu/%d  cpu %.4f s per s of waiting  latency median %.3f ms  max %.3f ms\n",
      mode, f.codes, files_to_write, f.cpu_per_second, f.median_ms, f.max_ms);
}

}  // namespace
}  // namespace davrilon

int main(int argc, char** argv) {
  const int files_to_write = argc > 1 ? std::atoi(argv[1]) : 50;
  const std::chrono::milliseconds interval(argc > 2 ? std::atoi(argv[2]) : 100);
  davrilon::Print("file watch (inotify)", davrilon::Measure(true, files_to_write, interval),
                  files_to_write);
  davrilon::Print("PauseSeconds(0) polling", davrilon::Measure(false, files_to_write, interval),
                  files_to_write);
  return 0;
}
