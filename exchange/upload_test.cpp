// The preparation of the upload, the upload and the end of the exchange.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "exchange/exchange_state.h"
#include "exchange/exchange_test_support.h"

namespace davrilon {
namespace {

using testing::ExchangeTest;
using testing::MakeBlock;
using testing::Pattern;

std::string Ack() {
  return std::string(1, static_cast<char>(ACK));
}
std::string Nak() {
  return std::string(1, static_cast<char>(NAK));
}

class UploadTest : public ExchangeTest {
 protected:
  // The colours in which the opening of the exchange left the console.
  UploadTest() {
    console.SetTextColour(kYellow);
    console.SetBackgroundColour(kBlue);
  }

  // The state the request leaves for an upload of UP.ZIP in packets of
  // `blocks` long blocks, and the file itself.
  void Upload(const std::string& content, int blocks) {
    dir.Write("UP.ZIP", content);
    x.upload_name = "UP.ZIP";
    x.upload_inf_name = "UP.INF";
    x.packets_from_store = blocks;
    x.block_number = 2;
    PrepareUpload(x);
    UploadAndEnd(x);
  }
  static bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }
  static std::string Header(std::string_view before, std::string_view after,
                            std::string_view name) {
    return MakeBlock(BlockKind::kLong, 2,
                     "START1" + testing::Padded(before, 10) + testing::Padded(after, 10) +
                         std::string(name) + "#");
  }

  Exchange x{station, port};
};

TEST_F(UploadTest, FifteenHundredBytesInPacketsOfOne) {
  const std::string content = Pattern(1500);
  Upload(content, 1);

  ASSERT_EQ(centre.upload_packets.size(), 3u);
  EXPECT_EQ(centre.upload_packets[0], Header("1500", "1500", "UP.ZIP"));
  EXPECT_EQ(centre.upload_packets[1], MakeBlock(BlockKind::kLong, 3, content.substr(0, 1024)));
  // The last block's data run on with what the packet before left there.
  EXPECT_EQ(centre.upload_packets[2],
            MakeBlock(BlockKind::kLong, 4, content.substr(1024) + content.substr(476, 548)));
  EXPECT_EQ(Progress(), (std::vector<std::string>{"DO CENTRUM 0 %", "DO CENTRUM 68 %",
                                                  "DO CENTRUM 136 %", std::string(27, ' ')}));
  EXPECT_FALSE(dir.Exists("INFO/ODCZYT.KAS")) << "deleted at the end";
  EXPECT_EQ(clock.pauses, std::vector<int>{1});
  // The one purge comes right before the header block.
  ASSERT_GE(port.events.size(), 2u);
  auto header_write = std::find_if(port.events.begin(), port.events.end(),
                                   [](const PortEvent& e) { return e.bytes.size() == 1028; });
  ASSERT_NE(header_write, port.events.begin());
  EXPECT_EQ(std::prev(header_write)->kind, PortEvent::Kind::kPurge);

  EXPECT_EQ(LogText(),
            "Wys\xb3"
            "any dodatkowy kod 14, przes\xb3"
            "ano 1\r\n"
            "Brak pliku INF\r\n"
            "Wielko\x9c\xe6 przed 1500\r\n"
            "Wielko\x9c\xe6 po    1500\r\n"
            "Wysylam blok 3 Przeslanych bajtow 1024\r\n"
            "Wysylam blok 4 Przeslanych bajtow 2048\r\n"
            "Dane przes\xb3"
            "ane poprawnie\r\n");
}

TEST_F(UploadTest, TwentyFiveHundredBytesInPacketsOfTwoCarryStaleBytes) {
  const std::string content = Pattern(2500);
  Upload(content, 2);

  ASSERT_EQ(centre.upload_packets.size(), 3u);
  EXPECT_EQ(centre.upload_packets[1],
            MakeBlock(BlockKind::kLong, 3, content.substr(0, 1024)) +
                MakeBlock(BlockKind::kLong, 3, content.substr(1024, 1024)));
  EXPECT_EQ(centre.upload_packets[2],
            MakeBlock(BlockKind::kLong, 4, content.substr(2048) + content.substr(452, 572)) +
                MakeBlock(BlockKind::kLong, 4, content.substr(1024, 1024)));
  EXPECT_EQ(Progress(), (std::vector<std::string>{"DO CENTRUM 0 %", "DO CENTRUM 81 %",
                                                  "DO CENTRUM 163 %", std::string(27, ' ')}));
  EXPECT_TRUE(Contains(LogText(), "Wysylam blok 4 Przeslanych bajtow 4096\r\n"));
}

TEST_F(UploadTest, AFileOfWholePacketsEndsAtOneHundredPercent) {
  Upload(Pattern(2048), 2);
  EXPECT_EQ(centre.upload_packets.size(), 2u);
  EXPECT_EQ(Progress(),
            (std::vector<std::string>{"DO CENTRUM 0 %", "DO CENTRUM 100 %", std::string(27, ' ')}));
}

TEST_F(UploadTest, AnEmptyFileIsAllSentAtTheHeadersAck) {
  Upload("", 1);
  ASSERT_EQ(centre.upload_packets.size(), 1u);
  EXPECT_EQ(centre.upload_packets[0], Header("0", "0", "UP.ZIP"));
  EXPECT_EQ(Progress(), (std::vector<std::string>{"DO CENTRUM 100 %", std::string(27, ' ')}));
  EXPECT_TRUE(Contains(LogText(), Cp("Wielkość po    0\nDane przesłane poprawnie\n")));
}

struct ReplyCase {
  const char* name;
  std::string wrong;  // the reply to the first data packet's first writes
  int wrong_replies;
  bool completed;
  std::string logged_reply;  // the log line of one wrong reply
};

TEST_F(UploadTest, WrongRepliesRepeatThePacketUpToFiveWrites) {
  const ReplyCase cases[] = {
      {"four NAKs", Nak(), 4, true, "\x15 1\r\n"},
      {"five NAKs", Nak(), 5, false, "\x15 1\r\n"},
      {"silence", "", 5, false, std::string("\0 0\r\n", 5)},
      {"any other byte", "Q", 2, true, "Q 1\r\n"},
  };
  for (const ReplyCase& c : cases) {
    TempDir scratch;
    StoreFiles scratch_files(scratch.path());
    EventLog scratch_log;
    scratch_log.Open(scratch.path() / "davrilon.log");
    FakeClock line_clock;
    ScriptedPort line(line_clock);
    line.timeouts = port.timeouts;
    testing::TestCentre head(line);
    head.upload_reply = [&](std::size_t packet, int attempt) {
      return packet == 1 && attempt <= c.wrong_replies ? c.wrong : Ack();
    };
    Station st{StationConfig{}, scratch_log, console, line_clock, scratch_files, runner, guard};
    const std::string content = Pattern(3000);
    scratch.Write("UP.ZIP", content);
    Exchange up(st, line);
    up.upload_name = "UP.ZIP";
    up.block_number = 2;
    PrepareUpload(up);
    UploadAndEnd(up);

    const std::size_t writes_of_first =
        static_cast<std::size_t>(std::min(c.wrong_replies + 1, kMaxUploadWrites));
    ASSERT_GE(head.upload_writes.size(), 1 + writes_of_first) << c.name;
    for (std::size_t i = 1; i <= writes_of_first; ++i) {
      EXPECT_EQ(head.upload_writes[i], head.upload_writes[1]) << c.name << ": sent unchanged";
    }
    EXPECT_EQ(head.upload_packets.size(), c.completed ? 4u : 2u) << c.name;

    scratch_log.Close();
    const std::string logged = scratch.Read("davrilon.log");
    std::string repeats;
    for (int i = 1; i <= c.wrong_replies; ++i) {
      repeats += c.logged_reply + "Powt\xf3rka " + std::to_string(i) + "\r\n";
    }
    if (!c.completed) {
      repeats +=
          "Za du\xbf"
          "e przek\xb3"
          "amania\r\n";
    }
    EXPECT_TRUE(Contains(logged, Cp("Wysylam blok 3 Przeslanych bajtow 1024\n") + repeats))
        << c.name;
    EXPECT_EQ(Contains(logged, Cp("Dane przesłane poprawnie\n")), c.completed) << c.name;
  }
}

TEST_F(UploadTest, SilenceWaitsOutTheReadTimeOutsWithoutAPause) {
  centre.upload_reply = [](std::size_t, int attempt) { return attempt == 1 ? "" : Ack(); };
  Upload("x", 1);
  EXPECT_EQ(clock.pauses, std::vector<int>{1}) << "repeats follow at once";
  EXPECT_EQ(clock.elapsed(), std::chrono::seconds(1 + 3 + 3));
}

TEST_F(UploadTest, NoUploadDueSendsTheHeaderBlockAlone) {
  x.upload_due = false;
  x.block_number = 2;
  PrepareUpload(x);
  UploadAndEnd(x);
  ASSERT_EQ(centre.upload_writes.size(), 1u);
  EXPECT_EQ(centre.upload_writes[0], Header("0", "0", ""));
  EXPECT_EQ(centre.upload_writes[0][29], '#') << "position 30";
  EXPECT_EQ(Progress(), std::vector<std::string>{std::string(27, ' ')});
  EXPECT_EQ(LogText(), Cp("Wielkość przed 0\nWielkość po    0\n"));
}

TEST_F(UploadTest, NoUploadDueAndFiveWrongReplies) {
  centre.upload_reply = [](std::size_t, int) { return Nak(); };
  x.upload_due = false;
  PrepareUpload(x);
  UploadAndEnd(x);
  EXPECT_EQ(centre.upload_writes.size(), 5u);
  const std::string logged = LogText();
  EXPECT_EQ(logged.substr(logged.size() - Cp("Powtórka 5\nZa duże przekłamania\n").size()),
            Cp("Powtórka 5\nZa duże przekłamania\n"));
}

TEST_F(UploadTest, BlockNumbersWrapFrom255ToOne) {
  Upload(Pattern(254 * 1024), 1);
  ASSERT_EQ(centre.upload_packets.size(), 255u);
  EXPECT_EQ(static_cast<std::uint8_t>(centre.upload_packets[253][kNumberOffset]), 255);
  EXPECT_EQ(static_cast<std::uint8_t>(centre.upload_packets[253][kComplementOffset]), 0);
  EXPECT_EQ(static_cast<std::uint8_t>(centre.upload_packets[254][kNumberOffset]), 1);
  EXPECT_EQ(static_cast<std::uint8_t>(centre.upload_packets[254][kComplementOffset]), 254);
}

TEST_F(UploadTest, TheSizeBeforePackingComesFromTheInfFile) {
  const std::pair<std::string, std::string> cases[] = {
      {"123456\r\n", "123456"}, {"", "3"}, {"abc", "3"}, {"12345678901", "123456789"}};
  for (const auto& [inf, before] : cases) {
    ScriptedPort line(clock);
    testing::TestCentre head(line);
    dir.Write("UP.INF", inf);
    dir.Write("UP.ZIP", "abc");
    Exchange up(station, line);
    up.upload_name = "UP.ZIP";
    up.upload_inf_name = "UP.INF";
    up.block_number = 2;
    PrepareUpload(up);
    EXPECT_EQ(up.size_before, std::stoi(before)) << inf;
    UploadAndEnd(up);
    EXPECT_EQ(head.upload_packets[0], Header(before, "3", "UP.ZIP")) << inf;
  }
}

TEST_F(UploadTest, UploadNamesLeadingOutOfTheStoreAreNotOpened) {
  for (std::string name : {"/etc/hostname", "..\\UP.ZIP", "C:\\UP.ZIP"}) {
    ScriptedPort line(clock);
    testing::TestCentre head(line);
    Exchange up(station, line);
    up.upload_name = name;
    up.upload_inf_name = MakeInfName(name);
    up.block_number = 2;
    PrepareUpload(up);
    EXPECT_FALSE(up.upload_due) << name;
    UploadAndEnd(up);
    EXPECT_EQ(head.upload_writes.size(), 1u) << name;
  }
  const std::string logged = LogText();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 3 * 5);
  EXPECT_TRUE(
      Contains(logged, Cp("Brak pliku INF\nNie otwarto pliku wysyłki\nWielkość przed 0\n")));
}

TEST_F(UploadTest, BlocksPerPacketOutsideOneOrTwoAreRefused) {
  for (int blocks : {0, 3, -1}) {
    ScriptedPort line(clock);
    testing::TestCentre head(line);
    dir.Write("UP.ZIP", Pattern(5000));
    Exchange up(station, line);
    up.upload_name = "UP.ZIP";
    up.packets_from_store = blocks;
    up.block_number = 2;
    PrepareUpload(up);
    UploadAndEnd(up);
    ASSERT_EQ(head.upload_writes.size(), 1u) << blocks << ": the header block alone";
    EXPECT_EQ(head.upload_writes[0], Header("0", "0", "UP.ZIP")) << blocks;
  }
  EXPECT_TRUE(Contains(LogText(), Cp("Niepoprawna liczba bloków w paczce wysyłki 3\n")));
}

TEST_F(UploadTest, AFailedPortEndsTheUploadThroughTheSameClosingSteps) {
  const std::pair<PortEvent::Kind, std::string> cases[] = {
      {PortEvent::Kind::kWrite,
       "B\xb3\xb9"
       "d wysy\xb3"
       "ania paczki\r\n"},
      {PortEvent::Kind::kRead, "Brak odpowiedzi centrum\r\n"}};
  for (const auto& [kind, logged] : cases) {
    TempDir scratch;
    std::filesystem::create_directories(scratch.path() / "INFO");
    scratch.Write("INFO/ODCZYT.KAS", "Z CENTRUM 100 %");
    scratch.Write("UP.ZIP", "abc");
    StoreFiles scratch_files(scratch.path());
    EventLog scratch_log;
    scratch_log.Open(scratch.path() / "davrilon.log");
    ScriptedPort line(clock);
    testing::TestCentre head(line);
    // The extra code is the first write; the header block the second.
    line.failures = {{kind, kind == PortEvent::Kind::kWrite ? 2 : 1, 5}};
    RecordingRunner companion;
    Station st{StationConfig{}, scratch_log, console, clock, scratch_files, companion, guard};
    Exchange up(st, line);
    up.upload_name = "UP.ZIP";
    up.inf_written = true;
    PrepareUpload(up);
    UploadAndEnd(up);

    EXPECT_FALSE(scratch.Exists("INFO/ODCZYT.KAS"));
    EXPECT_EQ(companion.commands, std::vector<std::string>{"zelpo.exe 3"});
    EXPECT_FALSE(up.upload_file);
    scratch_log.Close();
    const std::string log_text = scratch.Read("davrilon.log");
    ASSERT_GE(log_text.size(), logged.size());
    EXPECT_EQ(log_text.substr(log_text.size() - logged.size()), logged);
  }
}

// Only a regular file inside the store goes to the centre: a link leading
// out of the store is not followed, and a FIFO, a directory or a device is
// refused at once instead of holding the line in an open that never returns.
TEST_F(UploadTest, AnUploadNameThatIsNoRegularFileOfTheStoreIsNotOpened) {
  TempDir outside;
  outside.Write("SECRET.ZIP", "not the store's");
  std::filesystem::create_symlink(outside.path() / "SECRET.ZIP", dir.path() / "LINKED.ZIP");
  std::filesystem::create_directory_symlink(outside.path(), dir.path() / "OUT");
  std::filesystem::create_directories(dir.path() / "DIR.ZIP");
  ASSERT_EQ(mkfifo((dir.path() / "FIFO.ZIP").c_str(), 0644), 0);
  // The FIFO has a writer that never writes, so an open that waits for one
  // returns at once, and a wrongly opened FIFO shows as an upload.
  const int fifo_writer = open((dir.path() / "FIFO.ZIP").c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(fifo_writer, 0);
  std::vector<std::string> names{"LINKED.ZIP", "OUT\\SECRET.ZIP", "DIR.ZIP", "FIFO.ZIP"};
  // A device node (the one /dev/zero is), where this user may make one.
  if (mknod((dir.path() / "ZERO.ZIP").c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0)
    names.push_back("ZERO.ZIP");

  for (const std::string& name : names) {
    ScriptedPort line(clock);
    testing::TestCentre head(line);
    Exchange up(station, line);
    up.upload_name = name;
    up.upload_inf_name = "NONE.INF";
    up.block_number = 2;
    PrepareUpload(up);
    EXPECT_FALSE(up.upload_due) << name;
    UploadAndEnd(up);
    EXPECT_EQ(head.upload_writes.size(), 1u) << name << ": the header block alone";
    EXPECT_EQ(head.upload_writes[0], Header("0", "0", name)) << name;
  }
  close(fifo_writer);
  const std::string logged = LogText();
  std::size_t refusals = 0;
  for (std::size_t at = 0;
       (at = logged.find(Cp("Nie otwarto pliku wysyłki\n"), at)) != std::string::npos; ++at)
    ++refusals;
  EXPECT_EQ(refusals, names.size());
}

}  // namespace
}  // namespace davrilon
