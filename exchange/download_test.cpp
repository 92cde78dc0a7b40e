// The exchange opening and the download, against a test centre in virtual time.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>

#include "exchange/exchange_state.h"
#include "exchange/exchange_test_support.h"
#include "platform/fakes/failing_file_ops.h"

namespace davrilon {
namespace {

using testing::ExchangeTest;
using testing::HeaderBlock;
using testing::MakeBlock;
using testing::MakeDownload;
using testing::Pattern;

class DownloadTest : public ExchangeTest {
 protected:
  bool Download() {
    Exchange x(station, port);
    bool done = OpenAndDownload(x);
    packets_from_store = x.packets_from_store;
    received_inf_name = x.received_inf_name;
    return done;
  }
  static std::string Ack() { return std::string(1, static_cast<char>(ACK)); }
  static std::string Nak() { return std::string(1, static_cast<char>(NAK)); }
  static std::string Enq() { return std::string(1, static_cast<char>(ENQ)); }
  static bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  int packets_from_store = 0;
  std::string received_inf_name;
};

TEST_F(DownloadTest, ThreeHundredBytesInPacketsOfTwo) {
  const std::string content = Pattern(300);
  centre.download = MakeDownload(content, "CENNIK.ZIP", 2, 1, 'Z');

  ASSERT_TRUE(Download());
  EXPECT_EQ(dir.Read("CENNIK.ZIP"), content) << "the 44-byte tail only, not the unwritten block";
  EXPECT_FALSE(dir.Exists("CENNIK.ZIP.part"));
  EXPECT_EQ(received_inf_name, "CENNIK.INF");
  EXPECT_EQ(port.Writes(), (std::vector<std::string>{Enq(), Ack(), Ack(), Ack()}))
      << "the last ACK ends the download: nothing more is read";
  EXPECT_EQ(Progress(),
            (std::vector<std::string>{"Z CENTRUM 42 %", "Z CENTRUM 85 %", "Z CENTRUM 100 %"}));
  EXPECT_EQ(dir.Read("INFO/ODCZYT.KAS"), "Z CENTRUM 100 %");
  EXPECT_EQ(console.text_colour, kYellow);
  EXPECT_EQ(console.background_colour, kBlue);

  const std::string logged = LogText();
  EXPECT_TRUE(Contains(logged, "Odczytany blok 2 , Odebrano bajt\xf3w 256\r\n"));
  EXPECT_TRUE(
      Contains(logged, "Koniec przesy\xb3u\r\nOdczytany blok 3 , Odebrano bajt\xf3w 300\r\n"));
}

// The whole log of an opening and a download of a file of 100 bytes, once,
// byte for byte.
TEST_F(DownloadTest, LogOfAShortDownload) {
  centre.download = MakeDownload(Pattern(100), "A.ZIP", 1, 2);
  ASSERT_TRUE(Download());
  EXPECT_EQ(packets_from_store, 2);
  EXPECT_EQ(LogText(),
            "Czyszczenie bufor\xf3w\r\n"
            "Czyszczenie bufor\xf3w  OK\r\n"
            "Przesylanie bloku 1\r\n"
            "Przes\xb3"
            "anych znakow 1\r\n"
            "Start odczytu danych\r\n"
            "Dane odczytane\r\n"
            "          \r\n"
            "100       \r\n"
            "1 \r\n"
            "2 \r\n"
            "Ilo\x9c\xe6 znak\xf3w nazwy 5\r\n"
            "WielkoscPrzedSpakowaniem 0\r\n"
            "WielkoscPoSpakowaniu 100\r\n"
            "IlePaczekNaSklep 1\r\n"
            "IlePaczekZeSklepu 2\r\n"
            "NazwPliku A.ZIP\r\n"
            "Koniec przesy\xb3u\r\n"
            "Odczytany blok 2 , Odebrano bajt\xf3w 100\r\n");
  EXPECT_EQ(clock.pauses, std::vector<int>{1});
}

struct NoFileCase {
  const char* name;
  std::string header;
  std::string logged;  // from the size field's line on
};

TEST_F(DownloadTest, AHeaderWithoutDataCreatesNoFileAndEndsWithItsAck) {
  const NoFileCase cases[] = {
      {"size 0", HeaderBlock("77", "0", "1", "2", "A.ZIP#"),
       "0         \n1 \n2 \nWielkoscPrzedSpakowaniem 77\nWielkoscPoSpakowaniu 0\n"
       "IlePaczekNaSklep 1\nIlePaczekZeSklepu 2\nNazwPliku 2 \n"},
      {"no #", HeaderBlock("", "500", "1", "1", "A.ZIP"),
       "500       \n1 \n1 \nNie ma chr(35) 40\nWielkoscPrzedSpakowaniem 0\n"
       "WielkoscPoSpakowaniu 0\nIlePaczekNaSklep 1\nIlePaczekZeSklepu 1\nNazwPliku 1 \n"},
      {"# at 34 is not seen", HeaderBlock("", "500", "1", "1", "#"),
       "500       \n1 \n1 \nNie ma chr(35) 40\nWielkoscPrzedSpakowaniem 0\n"
       "WielkoscPoSpakowaniu 0\nIlePaczekNaSklep 1\nIlePaczekZeSklepu 1\nNazwPliku 1 \n"},
  };
  for (const NoFileCase& c : cases) {
    TempDir scratch;
    StoreFiles scratch_files(scratch.path());
    EventLog scratch_log;
    scratch_log.Open(scratch.path() / "davrilon.log");
    ScriptedPort line(clock);
    line.timeouts = port.timeouts;
    testing::TestCentre head(line);
    head.download = {c.header};
    Station st{StationConfig{}, scratch_log, console, clock, scratch_files, runner, guard};
    Exchange x(st, line);

    EXPECT_TRUE(OpenAndDownload(x)) << c.name;
    EXPECT_EQ(line.Writes(), (std::vector<std::string>{Enq(), Ack()})) << c.name;
    EXPECT_EQ(x.received_inf_name, "") << c.name;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.path()),
                            std::filesystem::directory_iterator()),
              1)
        << c.name << ": nothing but the log";
    scratch_log.Close();
    const std::string logged = scratch.Read("davrilon.log");
    const std::string tail = Cp(c.logged);
    ASSERT_GE(logged.size(), tail.size()) << c.name;
    EXPECT_EQ(logged.substr(logged.size() - tail.size()), tail) << c.name;
  }
}

TEST_F(DownloadTest, ANameOfThirtyNineCharactersIsTaken) {
  const std::string name = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.ZP";
  ASSERT_EQ(name.size(), 39u);
  centre.download = MakeDownload("hello", name, 1, 1);
  ASSERT_TRUE(Download());
  EXPECT_EQ(dir.Read(name), "hello");
  EXPECT_TRUE(Contains(LogText(), Cp("Ilość znaków nazwy 39\n")));
}

TEST_F(DownloadTest, AShortPacketIsAskedForAgain) {
  const std::string content = Pattern(200);
  centre.download = MakeDownload(content, "F.ZIP", 1, 1);
  centre.spoil = [](std::size_t packet, int attempt, const std::string& good) {
    return packet == 1 && attempt == 1 ? good.substr(0, 100) : good;
  };
  ASSERT_TRUE(Download());
  EXPECT_EQ(dir.Read("F.ZIP"), content);
  EXPECT_EQ(port.Writes(), (std::vector<std::string>{Enq(), Ack(), Nak(), Ack(), Ack()}));
  EXPECT_TRUE(Contains(LogText(), Cp("Za mało znaków: 100\nPrzesylam NACK\n")));
}

// What comes in while the station pauses before a NAK (the rest of a packet,
// line noise) is thrown away after the pause, so the packet asked for again
// is read from its first byte.
TEST_F(DownloadTest, BytesThatArriveDuringTheNakPauseAreNotTakenForThePacket) {
  const std::string content = Pattern(200);
  centre.download = MakeDownload(content, "F.ZIP", 1, 1);
  centre.spoil = [](std::size_t packet, int attempt, const std::string& good) {
    return packet == 1 && attempt == 1 ? good.substr(0, 100) : good;
  };
  clock.on_pause = [this](int) { port.Feed("\x01noise"); };
  ASSERT_TRUE(Download());
  EXPECT_EQ(dir.Read("F.ZIP"), content);
  EXPECT_EQ(port.Writes(), (std::vector<std::string>{Enq(), Ack(), Nak(), Ack(), Ack()}));
}

// A read that fails after an ACK or a NAK is logged with its own text; the
// empty packet is then asked for again.
TEST_F(DownloadTest, FailedReadsAfterAnAckAndAfterANakAreLogged) {
  centre.download = MakeDownload("abc", "F.ZIP", 1, 1);
  // Read 1 is the enquiry's; 2 follows the header's ACK, 3 the NAK after it.
  port.failures = {{PortEvent::Kind::kRead, 2, 5}, {PortEvent::Kind::kRead, 3, 5}};
  ASSERT_TRUE(Download());
  EXPECT_EQ(dir.Read("F.ZIP"), "abc");
  EXPECT_EQ(ControlBytes(), (std::vector<std::uint8_t>{ENQ, ACK, NAK, NAK, ACK}));
  const std::string tail =
      "NazwPliku F.ZIP\r\n"
      "B\xb3\xb9"
      "d odczytu sprzeda\xbfy 1\r\n"
      "Za ma\xb3o znak\xf3w: 0\r\n"
      "Przesylam NACK\r\n"
      "B\xb3\xb9"
      "d odczytu sprzeda\xbfy 2\r\n"
      "Za ma\xb3o znak\xf3w: 0\r\n"
      "Przesylam NACK\r\n"
      "Koniec przesy\xb3u\r\n"
      "Odczytany blok 2 , Odebrano bajt\xf3w 3\r\n";
  const std::string logged = LogText();
  ASSERT_GE(logged.size(), tail.size());
  EXPECT_EQ(logged.substr(logged.size() - tail.size()), tail);
}

TEST_F(DownloadTest, ABadBlockInTheMiddleRejectsTheWholePacket) {
  const std::string content = Pattern(3 * 128);
  centre.download = MakeDownload(content, "F.ZIP", 3, 1);
  centre.spoil = [](std::size_t packet, int attempt, std::string good) {
    if (packet == 1 && attempt == 1)
      good[kShortBlockSize + 131] ^= 0x01;  // block 2's sum
    return good;
  };
  std::string file_at_nak = "unread";
  port.on_write = [&, inner = port.on_write](const std::string& w) {
    if (w == Nak())
      file_at_nak = dir.Read("F.ZIP.part");
    inner(w);
  };
  ASSERT_TRUE(Download());
  EXPECT_EQ(file_at_nak, "") << "block 1 of the rejected packet was written";
  EXPECT_EQ(dir.Read("F.ZIP"), content);
  EXPECT_TRUE(Contains(LogText(), Cp("To nie jest poprawny blok (petla ) 2\nPrzesylam NACK\n")));
}

TEST_F(DownloadTest, FiveNaksForEachPacketAreBorne) {
  const std::string content = Pattern(256);
  centre.download = MakeDownload(content, "F.ZIP", 1, 1);
  centre.spoil = [](std::size_t, int attempt, std::string good) {
    if (attempt <= 5)
      good[kNumberOffset] = 0x7E;
    return good;
  };
  ASSERT_TRUE(Download());
  EXPECT_EQ(dir.Read("F.ZIP"), content);
  // Header and two data packets, each rejected five times: the counter
  // starts again for every packet.
  const std::vector<std::uint8_t> bytes = ControlBytes();
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), NAK), 15);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), ACK), 3);
  EXPECT_EQ(clock.pauses, std::vector<int>(16, 1)) << "the opening's pause and one per NAK";
}

TEST_F(DownloadTest, TheSixthRejectionEndsTheExchangeAndKeepsThePreviousCopy) {
  dir.Write("F.ZIP", "previous copy");
  const std::string content = Pattern(300);
  centre.download = MakeDownload(content, "f.zip", 1, 1);
  centre.spoil = [](std::size_t packet, int, std::string good) {
    if (packet == 2)
      good[kComplementOffset] ^= 0x01;
    return good;
  };
  EXPECT_FALSE(Download());
  EXPECT_EQ(dir.Read("F.ZIP"), "previous copy");
  EXPECT_FALSE(dir.Exists("f.zip.part")) << "what came is deleted";
  const std::vector<std::uint8_t> bytes = ControlBytes();
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), NAK), 5);
  const std::string logged = LogText();
  const std::string tail =
      "Z\xb3y drugi numer bloku\r\nTo nie jest poprawny blok (petla ) 1\r\n"
      "ZA DUZE PRZKLAMANIA !!!";
  EXPECT_EQ(logged.substr(logged.size() - tail.size()), tail) << "no line end after it";
}

TEST_F(DownloadTest, ACentreThatNeverAnswers) {
  port.on_write = nullptr;
  EXPECT_FALSE(Download());
  EXPECT_EQ(ControlBytes(),
            (std::vector<std::uint8_t>{ENQ, ENQ, ENQ, ENQ, ENQ, NAK, NAK, NAK, NAK, NAK}));
  std::string expected =
      "Czyszczenie bufor\xf3w\r\n"
      "Czyszczenie bufor\xf3w  OK\r\n";
  for (int i = 1; i <= 5; ++i) {
    expected += "Przesylanie bloku " + std::to_string(i) +
                "\r\n"
                "Przes\xb3"
                "anych znakow 1\r\n"
                "Start odczytu danych\r\n"
                "Dane odczytane\r\n";
  }
  for (int i = 1; i <= 5; ++i)
    expected += "Za ma\xb3o znak\xf3w: 0\r\nPrzesylam NACK\r\n";
  expected += "Za ma\xb3o znak\xf3w: 0\r\nZA DUZE PRZKLAMANIA !!!";
  EXPECT_EQ(LogText(), expected);
  // Every read on the silent line ran out its 3 s; the NAKs each waited 1 s.
  EXPECT_EQ(clock.elapsed(), std::chrono::seconds(1 + 5 * 3 + 5 * (1 + 3)));
}

TEST_F(DownloadTest, PortFailuresInTheOpeningAreLoggedAndTheEnquiryGoesOn) {
  centre.download = MakeDownload("x", "F.ZIP", 1, 1);
  port.failures = {{PortEvent::Kind::kPurge, 1, 5},
                   {PortEvent::Kind::kWrite, 1, 5},
                   {PortEvent::Kind::kRead, 1, 5}};
  ASSERT_TRUE(Download());
  EXPECT_EQ(dir.Read("F.ZIP"), "x");
  const std::string opening =
      "Czyszczenie bufor\xf3w\r\n"
      "B\xb3\xb9"
      "d czyszczenia\r\n"
      "Przesylanie bloku 1\r\n"
      "Blad wys\xb3"
      "ania znaku 5\r\n"
      "Przesylanie bloku 2\r\n"
      "Przes\xb3"
      "anych znakow 1\r\n"
      "Start odczytu danych\r\n"
      "Dane odczytane\r\n"
      "B\xb3\xb9"
      "d odczytu danych\r\n"
      "Przesylanie bloku 3\r\n";
  EXPECT_EQ(LogText().substr(0, opening.size()), opening);
}

// The fifth enquiry is the last: a failure there is not logged, its read is
// made all the same, and what it brought (nothing) is rejected with a NAK.
struct LastEnquiryCase {
  const char* name;
  PortEvent::Kind failing;
  std::string attempt_log;  // of attempts 1 to 4
  std::string last_attempt_log;
};

TEST_F(DownloadTest, FailuresOfTheFifthEnquiryAreNotLogged) {
  const LastEnquiryCase cases[] = {
      {"every read fails", PortEvent::Kind::kRead,
       "Przes\xb3"
       "anych znakow 1\r\nStart odczytu danych\r\nDane odczytane\r\n"
       "B\xb3\xb9"
       "d odczytu danych\r\n",
       "Przes\xb3"
       "anych znakow 1\r\nStart odczytu danych\r\nDane odczytane\r\n"},
      {"every write fails", PortEvent::Kind::kWrite,
       "Blad wys\xb3"
       "ania znaku 5\r\n",
       "Przes\xb3"
       "anych znakow 0\r\nStart odczytu danych\r\nDane odczytane\r\n"},
  };
  for (const LastEnquiryCase& c : cases) {
    TempDir scratch;
    EventLog scratch_log;
    scratch_log.Open(scratch.path() / "davrilon.log");
    StoreFiles scratch_files(scratch.path());
    ScriptedPort line(clock);
    line.timeouts = port.timeouts;
    testing::TestCentre head(line);
    head.download = MakeDownload("abc", "F.ZIP", 1, 1);
    for (int n = 1; n <= 5; ++n)
      line.failures.push_back({c.failing, n, 5});
    Station st{StationConfig{}, scratch_log, console, clock, scratch_files, runner, guard};
    Exchange x(st, line);

    EXPECT_TRUE(OpenAndDownload(x)) << c.name;
    EXPECT_EQ(scratch.Read("F.ZIP"), "abc") << c.name;
    std::string expected =
        "Czyszczenie bufor\xf3w\r\n"
        "Czyszczenie bufor\xf3w  OK\r\n";
    for (int i = 1; i <= 4; ++i)
      expected += "Przesylanie bloku " + std::to_string(i) + "\r\n" + c.attempt_log;
    expected += "Przesylanie bloku 5\r\n" + c.last_attempt_log +
                "Za ma\xb3o znak\xf3w: 0\r\n"
                "Przesylam NACK\r\n";
    scratch_log.Close();
    EXPECT_EQ(scratch.Read("davrilon.log").substr(0, expected.size()), expected) << c.name;
  }
}

TEST_F(DownloadTest, SilentEnquiriesThenAnAnswer) {
  centre.download = MakeDownload("abc", "F.ZIP", 1, 1);
  centre.silent_enquiries = 4;
  ASSERT_TRUE(Download());
  EXPECT_EQ(ControlBytes(), (std::vector<std::uint8_t>{ENQ, ENQ, ENQ, ENQ, ENQ, ACK, ACK}));
  EXPECT_EQ(dir.Read("F.ZIP"), "abc");
}

TEST_F(DownloadTest, BlockNumbersWrapFrom255ToOne) {
  // The header is packet 1; 300 data packets follow.
  const std::string content = Pattern(300 * 128);
  centre.download = MakeDownload(content, "BIG.ZIP", 1, 1);
  ASSERT_EQ(static_cast<std::uint8_t>(centre.download[254][kNumberOffset]), 255);
  ASSERT_EQ(static_cast<std::uint8_t>(centre.download[255][kNumberOffset]), 1);
  ASSERT_EQ(static_cast<std::uint8_t>(centre.download[255][kComplementOffset]), 254);
  ASSERT_TRUE(Download());
  EXPECT_EQ(dir.Read("BIG.ZIP"), content);
  EXPECT_EQ(centre.download_acks, 301u);
  EXPECT_TRUE(Contains(LogText(), Cp("Odczytany blok 255 , Odebrano bajtów 32512\n"
                                     "Odczytany blok 1 , Odebrano bajtów 32640\n")));
}

TEST_F(DownloadTest, NamesLeadingOutOfTheStoreAreNotCreated) {
  for (std::string name :
       {"/tmp/F.ZIP", "C:\\F.ZIP", "..\\F.ZIP", "SUB\\..\\..\\F.ZIP", "\\F.ZIP"}) {
    TempDir scratch;
    StoreFiles scratch_files(scratch.path());
    EventLog scratch_log;
    scratch_log.Open(scratch.path() / "davrilon.log");
    ScriptedPort line(clock);
    testing::TestCentre head(line);
    head.download = MakeDownload("data", name, 1, 1);
    Station st{StationConfig{}, scratch_log, console, clock, scratch_files, runner, guard};
    Exchange x(st, line);

    EXPECT_FALSE(OpenAndDownload(x)) << name;
    EXPECT_EQ(line.Writes(), std::vector<std::string>{Enq()})
        << name << ": header not acknowledged";
    scratch_log.Close();
    const std::string logged = scratch.Read("davrilon.log");
    EXPECT_EQ(logged.substr(logged.size() - 21), "Nie stworzono pliku\r\n") << name;
  }
}

TEST_F(DownloadTest, ASubdirectoryInsideTheStoreIsFine) {
  std::filesystem::create_directories(dir.path() / "Sub");
  centre.download = MakeDownload("data", "SUB\\F.ZIP", 1, 1);
  ASSERT_TRUE(Download());
  EXPECT_EQ(dir.Read("Sub/F.ZIP"), "data");
  EXPECT_EQ(received_inf_name, "SUB\\F.INF");
}

TEST_F(DownloadTest, AFileThatCannotBeCreatedEndsTheExchangeUnacknowledged) {
  centre.download = MakeDownload("data", "NODIR\\F.ZIP", 1, 1);
  EXPECT_FALSE(Download());
  EXPECT_EQ(port.Writes(), std::vector<std::string>{Enq()});
}

TEST_F(DownloadTest, BlocksPerPacketOutsideOneToSixteenAreRefused) {
  for (const char* count : {"0", "17", "-1"}) {
    TempDir scratch;
    StoreFiles scratch_files(scratch.path());
    EventLog scratch_log;
    scratch_log.Open(scratch.path() / "davrilon.log");
    ScriptedPort line(clock);
    testing::TestCentre head(line);
    head.download = {HeaderBlock("", "5000", count, "1", "F.ZIP#")};
    Station st{StationConfig{}, scratch_log, console, clock, scratch_files, runner, guard};
    Exchange x(st, line);

    EXPECT_FALSE(OpenAndDownload(x)) << count;
    EXPECT_EQ(line.Writes().size(), 6u) << count << ": ENQ and five NAKs, never an ACK";
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / "F.ZIP.part")) << count;
    scratch_log.Close();
    EXPECT_NE(scratch.Read("davrilon.log")
                  .find(Cp("Niepoprawna liczba bloków w paczce " + std::string(count) +
                           "\nPrzesylam NACK\n")),
              std::string::npos)
        << count;
  }
}

TEST_F(DownloadTest, SixteenBlocksPerPacketFillTheBuffer) {
  const std::string content = Pattern(16 * 128 + 1);
  centre.download = MakeDownload(content, "F.ZIP", 16, 1);
  ASSERT_TRUE(Download());
  EXPECT_EQ(dir.Read("F.ZIP"), content);
}

// A block whose header byte calls it long is summed over 1024 bytes where it
// lies in the transfer buffer; only from the tenth block of a packet on would
// that reach past the buffer's end, and only there is it refused unsummed.
struct LongHeaderCase {
  const char* name;
  int blocks_per_packet;
  int spoiled_block;      // from 1
  const char* rejection;  // as logged, Windows-1250
};
// Named by its row in test listings.
void PrintTo(const LongHeaderCase& c, std::ostream* os) {
  *os << c.name;
}

class LongHeaderInPacket : public DownloadTest,
                           public ::testing::WithParamInterface<LongHeaderCase> {};

TEST_P(LongHeaderInPacket, IsABadPacket) {
  const LongHeaderCase& c = GetParam();
  const std::string content = Pattern(static_cast<std::size_t>(c.blocks_per_packet) * 128);
  centre.download = MakeDownload(content, "F.ZIP", c.blocks_per_packet, 1);
  centre.spoil = [&c](std::size_t packet, int attempt, std::string good) {
    if (packet == 1 && attempt == 1)
      good[static_cast<std::size_t>(c.spoiled_block - 1) * kShortBlockSize + kHeaderByteOffset] = 2;
    return good;
  };
  ASSERT_TRUE(Download());
  EXPECT_EQ(dir.Read("F.ZIP"), content);
  const std::string logged = LogText();
  const std::size_t at = logged.find(c.rejection);
  ASSERT_NE(at, std::string::npos) << logged;
  EXPECT_NE(
      logged.find("To nie jest poprawny blok (petla ) " + std::to_string(c.spoiled_block) + "\r\n",
                  at),
      std::string::npos)
      << logged;
  EXPECT_EQ(Contains(logged, "Blok wychodzi"), c.spoiled_block >= 10) << logged;
}

INSTANTIATE_TEST_SUITE_P(
    Download, LongHeaderInPacket,
    ::testing::Values(LongHeaderCase{"SecondOfTwoIsSummed", 2, 2,
                                     "B\xb3\xea"
                                     "dna suma kontrolna "},
                      LongHeaderCase{"NinthOfSixteenIsSummed", 16, 9,
                                     "B\xb3\xea"
                                     "dna suma kontrolna "},
                      LongHeaderCase{
                          "TenthOfSixteenWouldLeaveTheBuffer", 16, 10,
                          "Blok wychodzi poza odebrane dane, bajt nag\xb3\xf3wka 2\r\n"}),
    [](const ::testing::TestParamInfo<LongHeaderCase>& param) { return param.param.name; });

TEST_F(DownloadTest, AFileThatCannotBeWrittenIsNotAcknowledged) {
  FailingFileOps full_disk;  // the second data block finds the disk full
  full_disk.name = "F.ZIP";
  full_disk.fail_at = FailingFileOps::Step::kWrite;
  full_disk.fail_on_call = 2;
  files.SetFileOps(full_disk);
  dir.Write("F.ZIP", "previous copy");
  centre.download = MakeDownload(Pattern(300), "F.ZIP", 1, 1);
  EXPECT_FALSE(Download());
  EXPECT_EQ(ControlBytes(), (std::vector<std::uint8_t>{ENQ, ACK, ACK})) << "not the second block";
  EXPECT_EQ(dir.Read("F.ZIP"), "previous copy");
  EXPECT_FALSE(dir.Exists("F.ZIP.part")) << "nothing is left behind";
  const std::string logged = LogText();
  const std::string tail =
      "B\xb3\xb9"
      "d zapisu pliku F.ZIP\r\n";
  EXPECT_EQ(logged.substr(logged.size() - tail.size()), tail);
}

// A store of its own for each case of a table, with the fixture's fakes.
struct ScratchStore {
  explicit ScratchStore(FakeClock& clock) : line(clock), centre(line) {
    std::filesystem::create_directories(dir.path() / "INFO");
    log.Open(dir.path() / "davrilon.log");
  }
  std::string LogText() {
    log.Close();
    return dir.Read("davrilon.log");
  }
  std::vector<std::string> PartFiles() const {
    std::vector<std::string> parts;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path())) {
      if (e.path().extension() == ".part")
        parts.push_back(e.path().string());
    }
    return parts;
  }

  TempDir dir;
  StoreFiles files{dir.path()};
  EventLog log;
  ScriptedPort line;
  testing::TestCentre centre;
};

// Names that the store must not take from the centre: the station's own live
// files in any spelling, a name a directory holds, a way out through a link.
// Each is refused at the header, before anything is written, and the header
// is not acknowledged.
TEST_F(DownloadTest, NamesTheStoreMustNotTakeAreRefusedAtTheHeader) {
  struct Case {
    const char* name;
    const char* kept;  // the file that must stay as it was
  };
  for (const Case& c : {Case{"davrilon.log", "davrilon.log"}, Case{"DAVRILON.LOG", "davrilon.log"},
                        Case{"Davrilon.Log  ", "davrilon.log"}, Case{"MODEM.CFG", "MODEM.CFG"},
                        Case{"modem.cfg", "MODEM.CFG"}, Case{"INFO\\OBSLUGA.PC", "INFO/OBSLUGA.PC"},
                        Case{"info\\obsluga.pc", "INFO/OBSLUGA.PC"}, Case{"DAVRILON", "davrilon"},
                        Case{"DANE", "DANE/F.ZIP"}, Case{"LINK\\X.TXT", "OUTSIDE/X.TXT"},
                        Case{"FIFO.ZIP", "CENNIK.ZIP"}}) {
    ScratchStore store(clock);
    store.dir.Write("MODEM.CFG", "1\r\n");
    store.dir.Write("INFO/OBSLUGA.PC", "");
    store.dir.Write("davrilon", "the program");
    store.dir.Write("DANE/F.ZIP", "a file in a directory");
    store.dir.Write("OUTSIDE/X.TXT", "outside");
    store.dir.Write("CENNIK.ZIP", "prices");
    std::filesystem::create_directory_symlink(store.dir.path() / "OUTSIDE",
                                              store.dir.path() / "LINK");
    mkfifo((store.dir.path() / "FIFO.ZIP").c_str(), 0644);
    // The station protects its own files as the start-up does.
    for (const char* own : {"davrilon.log", "MODEM.CFG", "INFO\\OBSLUGA.PC"})
      store.files.ProtectStationFile(own);
    store.files.ProtectStationPath(store.dir.path() / "davrilon");
    const std::string before = store.dir.Read(c.kept);
    store.centre.download = MakeDownload("THE CENTRE'S BYTES", c.name, 1, 1);
    Station st{StationConfig{}, store.log, console, clock, store.files, runner, guard};
    Exchange x(st, store.line);

    EXPECT_FALSE(OpenAndDownload(x)) << c.name;
    EXPECT_EQ(store.line.Writes(), std::vector<std::string>{Enq()})
        << c.name << ": the header is not acknowledged";
    EXPECT_TRUE(store.PartFiles().empty()) << c.name;
    EXPECT_EQ(x.received_name, "") << c.name;
    if (std::string_view(c.kept) != "davrilon.log") {
      EXPECT_EQ(store.dir.Read(c.kept), before) << c.name;
    }
    const std::string logged = store.LogText();
    EXPECT_TRUE(
        Contains(logged, Cp("NazwPliku " + std::string(c.name) + "\nNie stworzono pliku\n")))
        << c.name;
  }
}

TEST_F(DownloadTest, AReplacedProgramKeepsItsPermissionBitsAndANewFileGetsTheUsualMode) {
  dir.Write("ZELPO.EXE", "old program");
  std::filesystem::permissions(dir.path() / "ZELPO.EXE", std::filesystem::perms(0755));
  centre.download = MakeDownload("new program", "ZELPO.EXE", 1, 1);
  ASSERT_TRUE(Download());
  EXPECT_EQ(dir.Read("ZELPO.EXE"), "new program");
  EXPECT_EQ(std::filesystem::status(dir.path() / "ZELPO.EXE").permissions(),
            std::filesystem::perms(0755));

  const mode_t mask = umask(0);
  umask(mask);
  ScratchStore store(clock);
  store.centre.download = MakeDownload("prices", "CENNIK.ZIP", 1, 1);
  Station st{StationConfig{}, store.log, console, clock, store.files, runner, guard};
  Exchange x(st, store.line);
  ASSERT_TRUE(OpenAndDownload(x));
  EXPECT_EQ(
      static_cast<unsigned>(std::filesystem::status(store.dir.path() / "CENNIK.ZIP").permissions()),
      0666u & ~mask);
}

TEST_F(DownloadTest, TrailingBlanksAndDotsAreDroppedAsTheCompanionsFileSystemDrops) {
  struct Case {
    const char* given;
    const char* stored;
    const char* inf;
  };
  for (const Case& c : {Case{"CENNIK.ZIP  ", "CENNIK.ZIP", "CENNIK.INF"},
                        Case{"CENNIK.ZIP.", "CENNIK.ZIP", "CENNIK.INF"},
                        Case{"INFO. \\F.ZIP . ", "INFO/F.ZIP", "INFO\\F.INF"}}) {
    ScratchStore store(clock);
    store.centre.download = MakeDownload("data", c.given, 1, 1);
    Station st{StationConfig{}, store.log, console, clock, store.files, runner, guard};
    Exchange x(st, store.line);
    ASSERT_TRUE(OpenAndDownload(x)) << c.given;
    EXPECT_EQ(store.dir.Read(c.stored), "data") << c.given;
    EXPECT_EQ(x.received_inf_name, c.inf) << c.given;
    EXPECT_FALSE(store.dir.Exists(c.given)) << c.given;
    EXPECT_TRUE(store.PartFiles().empty()) << c.given;
  }
}

TEST_F(DownloadTest, ABrokenDownloadLeavesOnlyThePreviousCopy) {
  struct Case {
    const char* how;
    bool stop_signal;
    std::optional<FailingFileOps::Step> failing;
  };
  for (const Case& c :
       {Case{"the line stays bad", false, std::nullopt}, Case{"a stop signal", true, std::nullopt},
        Case{"the disk is full", false, FailingFileOps::Step::kFlush}}) {
    ScratchStore store(clock);
    store.dir.Write("CENNIK.ZIP", "yesterday");
    FailingFileOps ops;
    ops.name = "CENNIK.ZIP";
    ops.fail_at = c.failing;
    ops.fail_on_call = 2;
    store.files.SetFileOps(ops);
    store.centre.download = MakeDownload(Pattern(48 * 128), "CENNIK.ZIP", 4, 1);
    int signal = 0;
    store.centre.spoil = [&](std::size_t packet, int, std::string good) {
      if (packet >= 3 && !c.failing) {
        good[kComplementOffset] ^= 0x01;
        signal = c.stop_signal ? 15 : 0;
      }
      return good;
    };
    Station st{StationConfig{}, store.log, console, clock,
               store.files,     runner,    guard,   [&] { return signal; }};
    Exchange x(st, store.line);
    EXPECT_FALSE(OpenAndDownload(x)) << c.how;
    EXPECT_EQ(store.dir.Read("CENNIK.ZIP"), "yesterday") << c.how;
    EXPECT_TRUE(store.PartFiles().empty()) << c.how;
  }
}

// A power cut may come between any two steps of putting the received file in
// place, and any step may fail: the name holds the whole previous file or the
// whole new one, never an empty or a partial one.
TEST_F(DownloadTest, EveryStepOfTheCommitLeavesOneWholeVersionUnderTheName) {
  using Step = FailingFileOps::Step;
  const std::string content = Pattern(5 * 128 + 7);
  struct Case {
    std::optional<Step> failing;
    int call;
    bool received;     // the new file holds the name at the end
    std::size_t acks;  // the header and the data packets acknowledged
  };
  // Three data packets of two blocks: six writes, a flush per packet and one
  // before the file is put on the disk.
  for (const Case& c : {Case{Step::kWrite, 1, false, 1}, Case{Step::kWrite, 6, false, 3},
                        Case{Step::kFlush, 1, false, 1}, Case{Step::kFlush, 4, false, 3},
                        Case{Step::kSync, 1, false, 3}, Case{Step::kRename, 1, false, 3},
                        Case{Step::kSyncDirectory, 1, true, 3}, Case{std::nullopt, 1, true, 4}}) {
    const std::string label = std::to_string(c.failing ? static_cast<int>(*c.failing) : -1) + "/" +
                              std::to_string(c.call);
    ScratchStore store(clock);
    store.dir.Write("F.ZIP", "previous copy");
    FailingFileOps ops;
    ops.name = "F.ZIP";
    ops.fail_at = c.failing;
    ops.fail_on_call = c.call;
    std::vector<std::string> seen;
    ops.before = [&](Step) { seen.push_back(store.dir.Read("F.ZIP")); };
    store.files.SetFileOps(ops);
    store.centre.download = MakeDownload(content, "F.ZIP", 2, 1);
    Station st{StationConfig{}, store.log, console, clock, store.files, runner, guard};
    Exchange x(st, store.line);

    EXPECT_EQ(OpenAndDownload(x), !c.failing) << label;
    seen.push_back(store.dir.Read("F.ZIP"));
    for (const std::string& version : seen)
      EXPECT_TRUE(version == "previous copy" || version == content)
          << label << ": " << version.size();
    EXPECT_EQ(seen.back(), c.received ? content : "previous copy") << label;
    EXPECT_TRUE(store.PartFiles().empty()) << label;
    EXPECT_EQ(store.centre.download_acks, c.acks) << label << ": no ACK for a packet not kept";
  }
}

}  // namespace
}  // namespace davrilon
