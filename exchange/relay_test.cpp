// The progress relay, in virtual time.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "exchange/exchange_state.h"
#include "exchange/exchange_test_support.h"

namespace davrilon {
namespace {

using testing::ExchangeTest;

class RelayTest : public ExchangeTest {
 protected:
  // The companion program: at every wait of the relay it leaves the next
  // progress value, and after the last one its ready mark.
  void CompanionLeaves(std::vector<std::string> values) {
    watch.on_wait = [this, values = std::move(values), next = std::size_t{0}]() mutable {
      if (next < values.size()) {
        dir.Write("DETAL/POSTEP.PC", values[next++]);
      } else {
        dir.Write("DETAL/GOTOWE.PC", "");
      }
      return true;
    };
  }

  Exchange x{station, port};
};

struct CodesCase {
  std::vector<std::string> values;
  std::vector<std::uint8_t> codes;
};

TEST_F(RelayTest, EveryProgressValueBecomesOneCode) {
  const CodesCase cases[] = {
      {{"50", "70", "12", "90", "99", "99"}, {11, 12, 12, 13, 14, 14}},
      {{"110"}, {11}},                         // only two characters are read
      {{"", "", "13", ""}, {11, 12, 13, 14}},  // no digits: the next code up
      {{"12", "11"}, {12, 11}},                // 11 to 14 go out as they are
      {{" 14"}, {11}},                         // " 1"
      {{"14\r\n", "14"}, {14, 14}},
  };
  for (const CodesCase& c : cases) {
    port.events.clear();
    CompanionLeaves(c.values);
    RunProgressRelay(x);
    EXPECT_EQ(ControlBytes(), c.codes) << c.values[0];
    EXPECT_FALSE(dir.Exists("DETAL/POSTEP.PC"));
    EXPECT_FALSE(dir.Exists("DETAL/GOTOWE.PC"));
  }
  EXPECT_EQ(watch.watched.front(), files.Resolve("DETAL"));
  EXPECT_FALSE(watch.watching) << "the watch is let go when the relay ends";
}

TEST_F(RelayTest, EachValueIsLoggedAsReadAndAsANumber) {
  CompanionLeaves({"50", "110", ""});
  RunProgressRelay(x);
  EXPECT_EQ(LogText(),
            "Odczytany PlikPostepu 50\r\n50\r\n"
            "Odczytany PlikPostepu 11\r\n11\r\n"
            "Odczytany PlikPostepu \r\n0\r\n");
}

TEST_F(RelayTest, AProgressFileBesideTheReadyMarkIsSentFirst) {
  dir.Write("DETAL/POSTEP.PC", "13");
  dir.Write("DETAL/GOTOWE.PC", "");
  RunProgressRelay(x);
  EXPECT_EQ(ControlBytes(), std::vector<std::uint8_t>{13});
  EXPECT_TRUE(watch.waits.empty()) << "the relay ended in its first pass";
  EXPECT_FALSE(dir.Exists("DETAL/POSTEP.PC"));
  EXPECT_FALSE(dir.Exists("DETAL/GOTOWE.PC"));
}

TEST_F(RelayTest, ACompanionThatNeverReportsReadyIsGivenUpAfter300Seconds) {
  x.upload_name = "UP.ZIP";
  RunProgressRelay(x);
  EXPECT_EQ(x.upload_name, "");
  EXPECT_TRUE(ControlBytes().empty());
  EXPECT_GE(clock.elapsed(), std::chrono::seconds(300));
  EXPECT_LT(clock.elapsed(), std::chrono::seconds(301));
  EXPECT_EQ(LogText(), "Przekroczony czs oczekiwania\r\n");
  for (auto wait : watch.waits)
    ASSERT_EQ(wait, std::chrono::milliseconds(250));
  EXPECT_TRUE(clock.pauses.empty()) << "the watch does the waiting";
}

TEST_F(RelayTest, AStopSignalEndsTheWaitWithinASecond) {
  x.upload_name = "UP.ZIP";
  watch.on_wait = [this] {
    if (clock.elapsed() >= std::chrono::seconds(42))
      signal_number = 15;
    return false;
  };
  RunProgressRelay(x);
  EXPECT_LT(clock.elapsed(), std::chrono::seconds(43));
  EXPECT_EQ(LogText(), "") << "not the time-out's line";
  EXPECT_FALSE(watch.watching);
}

// Without a file watch the relay gives up its time slice between two looks.
class PollingClock : public FakeClock {
 public:
  void PauseSeconds(int seconds) override {
    FakeClock::PauseSeconds(seconds);
    if (on_pause)
      on_pause();
  }
  std::function<void()> on_pause;
};

TEST_F(RelayTest, WithoutAWatchTheRelayPollsWithZeroPauses) {
  PollingClock polling;
  ScriptedPort line(polling);
  Station st{StationConfig{}, log, console, polling, files, runner, guard};
  st.watch = nullptr;
  int pauses = 0;
  polling.on_pause = [&] {
    ++pauses;
    if (pauses == 3)
      dir.Write("DETAL/POSTEP.PC", "50");
    if (pauses == 7)
      dir.Write("DETAL/POSTEP.PC", "13");
    polling.Advance(std::chrono::milliseconds(500));
  };
  Exchange polled(st, line);
  polled.upload_name = "UP.ZIP";
  RunProgressRelay(polled);

  EXPECT_EQ(line.Writes(), (std::vector<std::string>{"\x0b", "\x0d"}));
  EXPECT_EQ(polled.upload_name, "");
  EXPECT_EQ(std::count(polling.pauses.begin(), polling.pauses.end(), 0), pauses);
  EXPECT_EQ(pauses, 600) << "the limit counted in wall-clock seconds";
}

// A companion program that writes its value in several writes, with the file
// open in between: the relay's timed looks leave the file alone until its
// writer has closed it, so the value is taken whole and not lost in a deleted
// file.
TEST_F(RelayTest, AFileIsTakenOnlyOnceItsWriterHasClosedIt) {
  struct Writer {
    int fd = -1;
    void Open(const std::filesystem::path& path) {
      fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0);
    }
    void Put(std::string_view text) {
      ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void Close() {
      close(fd);
      fd = -1;
    }
  };
  const std::filesystem::path progress = dir.path() / "DETAL" / "POSTEP.PC";
  const std::filesystem::path ready = dir.path() / "DETAL" / "GOTOWE.PC";
  // Each step runs at one wait of the relay; true: the watch saw a closing.
  using Steps = std::vector<std::function<bool(Writer&, Writer&)>>;
  struct Case {
    const char* name;
    std::function<void(Writer&, Writer&)> before;  // before the relay's first look
    Steps steps;
    std::vector<std::uint8_t> codes;
  };
  auto timed_look = [](Writer&, Writer&) { return false; };
  const Case cases[] = {
      {"\"1\", a pause, \"2\\r\\n\"",
       [&](Writer& p, Writer&) {
         p.Open(progress);
         p.Put("1");
       },
       {timed_look, timed_look,
        [](Writer& p, Writer&) {
          p.Put("2\r\n");
          p.Close();
          return true;
        }},
       {12}},
      {"truncated, a pause, \"13\"",
       [&](Writer& p, Writer&) { p.Open(progress); },
       {timed_look, timed_look,
        [](Writer& p, Writer&) {
          p.Put("13");
          p.Close();
          return true;
        }},
       {13}},
      {"the ready mark still open",
       [&](Writer& p, Writer& r) {
         dir.Write("DETAL/POSTEP.PC", "12");
         r.Open(ready);
         (void)p;
       },
       {timed_look,
        [&](Writer&, Writer&) {
          dir.Write("DETAL/POSTEP.PC", "13");
          return true;
        },
        [](Writer&, Writer& r) {
          r.Close();
          return true;
        }},
       {12, 13}},
  };
  for (const Case& c : cases) {
    port.events.clear();
    Writer p, r;
    c.before(p, r);
    std::size_t next = 0;
    watch.on_wait = [&] {
      if (next < c.steps.size())
        return c.steps[next++](p, r);
      dir.Write("DETAL/GOTOWE.PC", "");
      return true;
    };
    RunProgressRelay(x);
    EXPECT_EQ(ControlBytes(), c.codes) << c.name;
    EXPECT_EQ(next, c.steps.size()) << c.name << ": the relay ended before the writer was done";
    EXPECT_FALSE(dir.Exists("DETAL/POSTEP.PC")) << c.name;
    p.Close();
    r.Close();
    std::filesystem::remove(ready);
  }
}

}  // namespace
}  // namespace davrilon
