// Whole exchanges against a test centre, in virtual time.
#include "exchange/exchange.h"

#include <gtest/gtest.h>

#include "exchange/exchange_test_support.h"

namespace davrilon {
namespace {

using testing::ExchangeTest;
using testing::MakeBlock;
using testing::MakeDownload;
using testing::Pattern;
using testing::RequestBlock;

// A short ordinary exchange: an 11-byte file down, a request for UP.ZIP, the
// companion program's progress and ready mark, 100 bytes up.
TEST_F(ExchangeTest, AWholeOrdinaryExchange) {
  centre.download = MakeDownload("hello world", "CENNIK.ZIP", 1, 1);
  centre.request = RequestBlock("UP.ZIP", "P1#");
  const std::string prepared = Pattern(100);
  runner.on_run = [&](const std::string&) {
    dir.Write("UP.ZIP", prepared);
    dir.Write("UP.INF", "250\r\n");
    dir.Write("DETAL/POSTEP.PC", "50");
    dir.Write("DETAL/GOTOWE.PC", "");
  };

  EXPECT_EQ(RunExchange(station, port), 1);

  EXPECT_EQ(dir.Read("CENNIK.ZIP"), "hello world");
  EXPECT_EQ(dir.Read("DETAL/START.PC"), "P1\r\n");
  EXPECT_FALSE(dir.Exists("INFO/ODCZYT.KAS"));
  EXPECT_EQ(runner.commands, std::vector<std::string>{"\\FONTY\\RUMAX.EXE /M ZELPO.EXE 2"});
  EXPECT_EQ(centre.codes, (std::vector<std::uint8_t>{11, 14}));
  ASSERT_EQ(centre.upload_packets.size(), 2u);
  EXPECT_EQ(centre.upload_packets[0], MakeBlock(BlockKind::kLong, 2,
                                                "START1" + testing::Padded("250", 10) +
                                                    testing::Padded("100", 10) + "UP.ZIP#"));
  // The data block runs on with what the header block left in the buffer.
  // The file's bytes cover all of the header text that was left in the buffer.
  EXPECT_EQ(centre.upload_packets[1], MakeBlock(BlockKind::kLong, 3, prepared));
  EXPECT_EQ(ControlBytes(), (std::vector<std::uint8_t>{ENQ, ACK, ACK, ENQ, ACK, 11, 14}));
  EXPECT_EQ(console.events, (std::vector<std::string>{
                                "at 32,21 14/1 Z CENTRUM 100 %",
                                "title System DAVRILON - Wersja dla Windows (32-bitowa)",
                                "at 32,21 14/1 DO CENTRUM 0 %", "at 32,21 14/1 DO CENTRUM 1024 %",
                                "at 32,21 14/1 " + std::string(27, ' ')}));
  EXPECT_EQ(clock.pauses, (std::vector<int>{1, 1}));

  EXPECT_EQ(LogText(),
            "Czyszczenie bufor\xf3w\r\n"
            "Czyszczenie bufor\xf3w  OK\r\n"
            "Przesylanie bloku 1\r\n"
            "Przes\xb3"
            "anych znakow 1\r\n"
            "Start odczytu danych\r\n"
            "Dane odczytane\r\n"
            "          \r\n"
            "11        \r\n"
            "1 \r\n"
            "1 \r\n"
            "Ilo\x9c\xe6 znak\xf3w nazwy 10\r\n"
            "WielkoscPrzedSpakowaniem 0\r\n"
            "WielkoscPoSpakowaniu 11\r\n"
            "IlePaczekNaSklep 1\r\n"
            "IlePaczekZeSklepu 1\r\n"
            "NazwPliku CENNIK.ZIP\r\n"
            "Koniec przesy\xb3u\r\n"
            "Odczytany blok 2 , Odebrano bajt\xf3w 11\r\n"
            "Przesy\xb3"
            "anie bloku 1\r\n"
            "Przes\xb3"
            "anych znakow 1\r\n"
            "Start odczytu danych\r\n"
            "Dane odczytane\r\n"
            "PLIK WYSY\xa3KI (UP.ZIP)\r\n"
            "PLIK INF     (UP.INF)\r\n"
            "Ilo\x9c\xe6 znak\xf3w nazwy 2\r\n"
            "Parametry P1\r\n"
            "Odczyany blok START22\r\n"
            "Sprawdzenie transmisji do PREZESA\r\n"
            "P1\r\n"
            "P1\r\n"
            "Odczytany PlikPostepu 50\r\n"
            "50\r\n"
            "Wys\xb3"
            "any dodatkowy kod 14, przes\xb3"
            "ano 1\r\n"
            "Wielko\x9c\xe6 przed spakowaniem 250\r\n"
            "Wielko\x9c\xe6 przed 250\r\n"
            "Wielko\x9c\xe6 po    100\r\n"
            "Wysylam blok 3 Przeslanych bajtow 1024\r\n"
            "Dane przes\xb3"
            "ane poprawnie\r\n");
}

TEST_F(ExchangeTest, AnAbandonedExchangeReturnsZeroAndGoesNoFurther) {
  centre.download = MakeDownload("hello", "F.ZIP", 1, 1);
  centre.spoil_request = [](int, std::string good) { return good.substr(0, 10); };
  centre.request = RequestBlock("UP.ZIP", "P#");
  EXPECT_EQ(RunExchange(station, port), 0);
  EXPECT_EQ(dir.Read("F.ZIP"), "hello") << "the download had ended";
  EXPECT_TRUE(runner.commands.empty());
  EXPECT_TRUE(centre.upload_writes.empty());
}

// A stop signal while the companion program prepares the file ends the relay
// and the exchange: nothing more goes to the centre, and the companion's files
// stay as they are for it.
TEST_F(ExchangeTest, AStopSignalDuringTheRelayAbandonsTheExchange) {
  centre.download = MakeDownload("hello", "F.ZIP", 1, 1);
  centre.request = RequestBlock("UP.ZIP", "P#");
  watch.on_wait = [this] {
    signal_number = 15;
    return false;
  };
  EXPECT_EQ(RunExchange(station, port), 0);
  EXPECT_EQ(runner.commands, std::vector<std::string>{"\\FONTY\\RUMAX.EXE /M ZELPO.EXE 2"});
  EXPECT_EQ(watch.waits.size(), 1u) << "the relay ended at its next look";
  EXPECT_TRUE(centre.codes.empty()) << "not even the extra code 14";
  EXPECT_TRUE(centre.upload_writes.empty());
}

// A stop signal while a bad line is asked for a packet again ends the exchange
// at the next rejection instead of after five more.
TEST_F(ExchangeTest, AStopSignalEndsTheNakRetries) {
  centre.download = MakeDownload("hello", "F.ZIP", 1, 1);
  centre.spoil = [](std::size_t, int, std::string good) { return good.substr(0, 10); };
  clock.on_pause = [this](int) {  // the opening's pause, then the first NAK's
    if (clock.pauses.size() == 2)
      signal_number = 15;
  };
  EXPECT_EQ(RunExchange(station, port), 0);
  EXPECT_EQ(ControlBytes(), (std::vector<std::uint8_t>{ENQ, NAK}));
  EXPECT_EQ(LogText().find("ZA DUZE"), std::string::npos);
}

}  // namespace
}  // namespace davrilon
